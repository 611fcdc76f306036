// Device events: what the modem sends (bytes, zero-length packets, line-state notifications),
// USB failures, holds and stalls, the bus driver's failures, unplugging, and the device's
// "PortName" value.
#include <strings.h>

#include "scenario/scenario.h"
#include "sim/scripted_modem.h"
#include "sim/at_modem.h"
#include "host/registry.h"

namespace mdmhost::scenario {

namespace {

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

sim::ScriptedModem& Scripted(Runner& r) {
  size_t i = r.Device();
  auto* m = dynamic_cast<sim::ScriptedModem*>(&r.stack().modem(i));
  if (m == nullptr) {
    throw Failure{"device " + r.stack().device(i).label + " has the " +
                      ModelName(r.stack().device(i).model) +
                      " modem; this step needs the scripted one ('add device COM7 scripted')",
                  "", ""};
  }
  return *m;
}

sim::Pipe ParsePipe(Args& args) {
  std::string w = args.Word("a pipe (bulk-in, bulk-out, interrupt-in)");
  if (strcasecmp(w.c_str(), "bulk-in") == 0) return sim::Pipe::BulkIn;
  if (strcasecmp(w.c_str(), "bulk-out") == 0) return sim::Pipe::BulkOut;
  if (strcasecmp(w.c_str(), "interrupt-in") == 0 || strcasecmp(w.c_str(), "interrupt") == 0) {
    return sim::Pipe::Interrupt;
  }
  args.Error("unknown pipe '" + w + "' (bulk-in, bulk-out, interrupt-in)");
}

// The USBD status that goes with an NTSTATUS when a line gives only the latter.
USBD_STATUS DefaultUsbd(NTSTATUS status) {
  switch (status) {
    case STATUS_DEVICE_NOT_CONNECTED:
      return USBD_STATUS_DEVICE_GONE;
    case STATUS_CANCELLED:
      return USBD_STATUS_CANCELED;
    case STATUS_SUCCESS:
      return USBD_STATUS_SUCCESS;
    default:
      return USBD_STATUS_DEV_NOT_RESPONDING;
  }
}

struct Fault {
  NTSTATUS status;
  USBD_STATUS usbd;
};

// STATUS [USBD]; with `nth`, also [transfer N] (which transfer from now, 1 = the next).
Fault ParseFault(Args& args, uint64_t* nth = nullptr) {
  Fault f;
  f.status = args.Status("the status it fails with");
  f.usbd = DefaultUsbd(f.status);
  if (!args.AtEnd() && !args.PeekWord("transfer")) {
    std::string w = args.Word("a USBD status");
    auto u = ParseUsbdStatus(w);
    if (!u) args.Error("unknown USBD status '" + w + "'");
    f.usbd = *u;
  }
  if (nth != nullptr && args.Take("transfer")) {
    *nth = args.Number("which transfer from now (1 = the next)");
    if (*nth == 0) args.Error("transfers count from 1 (the next one)");
  }
  args.End();
  return f;
}

// S0=D0 S3=D2 S4=unspecified ...: entries of the bus's DeviceState table.
std::vector<std::pair<SYSTEM_POWER_STATE, DEVICE_POWER_STATE>> ParsePowerStates(Args& args) {
  std::vector<std::pair<SYSTEM_POWER_STATE, DEVICE_POWER_STATE>> entries;
  while (!args.AtEnd()) {
    std::string w = args.Word("S=D pairs (S3=D2, S4=unspecified)");
    size_t eq = w.find('=');
    auto system = eq == std::string::npos ? std::nullopt : ParsePowerState(w.substr(0, eq));
    if (!system || system->type != SystemPowerState) {
      args.Error("expected a system state and a device state such as S3=D2, found '" + w + "'");
    }
    std::string d = w.substr(eq + 1);
    std::optional<ULONG> device;
    if (strcasecmp(d.c_str(), "unspecified") == 0) {
      device = PowerDeviceUnspecified;
    } else if (strcasecmp(d.c_str(), "maximum") == 0) {
      device = PowerDeviceMaximum;
    } else if (auto t = ParsePowerState(d); t && t->type == DevicePowerState) {
      device = t->state;
    }
    if (!device) args.Error("unknown device power state '" + d + "' (D0..D3, unspecified, maximum)");
    entries.emplace_back(static_cast<SYSTEM_POWER_STATE>(system->state),
                         static_cast<DEVICE_POWER_STATE>(*device));
  }
  if (entries.empty()) args.Error("expected S=D pairs (S3=D2, S4=unspecified)");
  return entries;
}

uint16_t ParseUartState(Args& args) {
  static const std::pair<const char*, uint16_t> kBits[] = {
      {"DCD", 0x01},     {"DSR", 0x02},    {"BREAK", 0x04},   {"RING", 0x08},
      {"FRAMING", 0x10}, {"PARITY", 0x20}, {"OVERRUN", 0x40},
  };
  uint16_t bits = 0;
  bool any = false;
  while (!args.AtEnd()) {
    std::string w = args.Word("line-state bits");
    any = true;
    if (strcasecmp(w.c_str(), "none") == 0) continue;
    bool found = false;
    for (const auto& [name, bit] : kBits) {
      if (strcasecmp(w.c_str(), name) == 0) {
        bits |= bit;
        found = true;
      }
    }
    if (found) continue;
    auto n = ParseNumber(w);
    if (!n || *n > 0xFFFF) {
      args.Error("unknown line-state bit '" + w + "' (DCD DSR BREAK RING FRAMING PARITY OVERRUN, none, or a number)");
    }
    bits |= static_cast<uint16_t>(*n);
  }
  if (!any) args.Error("expected line-state bits (DCD DSR ..., or none)");
  return bits;
}

}  // namespace

void AddDeviceCommands(CommandTable& table) {
  table["device"] = [](Args& args) -> Statement {
    std::string verb = args.Word("what the device does (receive, state, fail, unplug, ...)");
    for (char& c : verb) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (verb == "receive") {
      auto data = ParseData(args);
      if (!data) args.Error("expected the received data (\"text\", bytes 41 54, pattern 5000)");
      args.End();
      std::vector<uint8_t> bytes = *data;
      return Make([=](Runner& r) { Scripted(r).PushBulkIn(bytes); });
    }
    if (verb == "zero-length-packet" || verb == "zlp") {
      args.End();
      return Make([](Runner& r) { Scripted(r).PushZeroLengthPacket(); });
    }
    if (verb == "state") {
      uint16_t bits = ParseUartState(args);
      return Make([=](Runner& r) { Scripted(r).PushSerialState(bits); });
    }
    if (verb == "notify") {
      auto data = ParseData(args);
      if (!data) args.Error("expected the notification packet (bytes A1 20 ...)");
      args.End();
      std::vector<uint8_t> packet = *data;
      return Make([=](Runner& r) { Scripted(r).PushNotification(packet); });
    }
    if (verb == "fail") {
      std::string what = args.PeekString() ? "" : args.Peek().text;
      for (char& c : what) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (what == "control") {
        args.Next();
        Fault f = ParseFault(args);
        return Make([=](Runner& r) { r.stack().usb(r.Device()).FailNextClassRequest(f.status, f.usbd); });
      }
      if (what == "reset" || what == "abort") {
        args.Next();
        sim::Pipe pipe = ParsePipe(args);
        Fault f = ParseFault(args);
        bool reset = what == "reset";
        return Make([=](Runner& r) {
          if (reset) {
            r.stack().usb(r.Device()).FailNextReset(pipe, f.status, f.usbd);
          } else {
            r.stack().usb(r.Device()).FailNextAbort(pipe, f.status, f.usbd);
          }
        });
      }
      if (what == "pnp") {
        args.Next();
        std::string m = args.Word("a PnP minor function");
        auto minor = ParsePnpMinor(m);
        if (!minor) args.Error("unknown PnP minor function '" + m + "'");
        NTSTATUS status = args.Status("the status it fails with");
        args.End();
        UCHAR mi = *minor;
        return Make([=](Runner& r) {
          r.stack().device(r.Device()).bus->FailNextPnp(mi, status);
        });
      }
      if (what == "power") {
        args.Next();
        std::string m = args.Word("SET_POWER, QUERY_POWER or WAIT_WAKE");
        UCHAR minor;
        if (strcasecmp(m.c_str(), "SET_POWER") == 0) {
          minor = IRP_MN_SET_POWER;
        } else if (strcasecmp(m.c_str(), "QUERY_POWER") == 0) {
          minor = IRP_MN_QUERY_POWER;
        } else if (strcasecmp(m.c_str(), "WAIT_WAKE") == 0) {
          minor = IRP_MN_WAIT_WAKE;
        } else if (strcasecmp(m.c_str(), "POWER_SEQUENCE") == 0) {
          minor = IRP_MN_POWER_SEQUENCE;  // keyed as 'system' like WAIT_WAKE
        } else {
          args.Error("unknown power minor function '" + m + "'");
        }
        std::string type = args.Word("'system' or 'device'");
        if (type != "system" && type != "device") args.Error("expected 'system' or 'device'");
        NTSTATUS status = args.Status("the status it fails with");
        args.End();
        POWER_STATE_TYPE t = type == "system" ? SystemPowerState : DevicePowerState;
        return Make([=](Runner& r) {
          r.stack().device(r.Device()).bus->FailNextPower(minor, t, status);
        });
      }
      sim::Pipe pipe = ParsePipe(args);
      uint64_t nth = 0;
      Fault f = ParseFault(args, &nth);
      return Make([=](Runner& r) {
        if (nth == 0) {
          r.stack().usb(r.Device()).FailNextTransfer(pipe, f.status, f.usbd);
        } else {
          r.stack().usb(r.Device()).FailTransfer(pipe, nth, f.status, f.usbd);
        }
      });
    }
    if (verb == "stall") {
      // stall PIPE [after N]: now, or once N more transfers have completed on the pipe.
      sim::Pipe pipe = ParsePipe(args);
      uint64_t after = 0;
      if (args.Take("after")) after = args.Number("how many transfers complete first");
      args.End();
      return Make([=](Runner& r) { r.stack().usb(r.Device()).StallAfter(pipe, after); });
    }
    if (verb == "power-states") {
      // power-states S3=D2 ...: the DeviceState table the bus driver answers capability queries
      // with (from the next query on).
      auto entries = ParsePowerStates(args);
      return Make([=](Runner& r) {
        for (const auto& [system, device] : entries) {
          r.stack().device(r.Device()).bus->SetDeviceState(system, device);
        }
      });
    }
    if (verb == "hold" || verb == "release") {
      bool hold = verb == "hold";
      if (args.Take("wait-wake")) {
        // hold wait-wake: the bus keeps the next wait-wakes pending; release wait-wake [STATUS]:
        // the bus stops holding and completes the pending one (STATUS_SUCCESS: the device woke).
        NTSTATUS status = STATUS_SUCCESS;
        if (!hold && !args.AtEnd()) status = args.Status("the status it completes with");
        args.End();
        return Make([=](Runner& r) {
          sim::BusDevice& bus = *r.stack().device(r.Device()).bus;
          bus.HoldWaitWake(hold);
          if (!hold && !bus.ReleaseWaitWake(status)) {
            throw Failure{"no wait-wake is pending at the bus", "", ""};
          }
        });
      }
      if (args.Take("control")) {
        args.End();
        return Make([=](Runner& r) {
          if (hold) {
            r.stack().usb(r.Device()).HoldControl();
          } else {
            r.stack().usb(r.Device()).ReleaseControl();
          }
        });
      }
      sim::Pipe pipe = ParsePipe(args);
      args.End();
      return Make([=](Runner& r) {
        if (hold) {
          r.stack().usb(r.Device()).Hold(pipe);
        } else {
          r.stack().usb(r.Device()).Release(pipe);
        }
      });
    }
    if (verb == "at-once" || verb == "later") {
      // at-once PIPE: transfers on the pipe are served inside the call that submits them;
      // later PIPE: from the stack's DPC again.
      bool atOnce = verb == "at-once";
      sim::Pipe pipe = ParsePipe(args);
      args.End();
      return Make([=](Runner& r) { r.stack().usb(r.Device()).CompleteAtOnce(pipe, atOnce); });
    }
    if (verb == "unplug") {
      args.End();
      return Make([](Runner& r) { r.stack().Unplug(r.Device()); });
    }
    if (verb == "capacity") {
      uint64_t bytes = args.Number("the bulk-IN FIFO size in bytes");
      args.End();
      return Make([=](Runner& r) { r.stack().usb(r.Device()).SetBulkInCapacity(bytes); });
    }
    if (verb == "port-name") {
      // port-name NAME | none | raw TYPE [bytes ...]: the modem PDO's hardware key -- in the
      // chain the child's the parent enumerated, not the USB device's.
      auto key = [](Runner& r) {
        PDEVICE_OBJECT child = r.stack().Chain() ? r.stack().Pdo(r.Device()) : nullptr;
        return child != nullptr ? host::registry::DeviceKeyPath(child)
                                : r.stack().device(r.Device()).bus->HardwareKey();
      };
      if (args.Take("none")) {
        args.End();
        return Make([=](Runner& r) { host::registry::DeleteValue(key(r), "PortName"); });
      }
      if (args.Take("raw")) {
        std::string typeText = args.Word("a registry type (REG_SZ, REG_DWORD, REG_BINARY or a number)");
        auto parsed = ParseRegistryType(typeText);
        if (!parsed) args.Error("unknown registry type '" + typeText + "'");
        ULONG type = *parsed;
        auto data = ParseData(args);
        args.End();
        std::vector<uint8_t> bytes = data ? *data : std::vector<uint8_t>();
        return Make([=](Runner& r) { host::registry::SetValue(key(r), "PortName", type, bytes); });
      }
      std::string name = args.PeekString() ? args.Next().text : args.Word("a port name");
      args.End();
      return Make([=](Runner& r) {
        host::registry::SetValue(key(r), "PortName", REG_SZ, sim::BusDevice::Utf16Bytes(name, true));
      });
    }
    if (verb == "dial-target") {
      // dial-target NUMBER echo|busy|no-answer|no-dialtone|stream N: what a number reaches
      // on the AT modem.
      std::string number = args.PeekString() ? args.Next().text : args.Word("a telephone number");
      std::string kind = args.Word("echo, busy, no-answer, no-dialtone or stream");
      sim::DialTarget target;
      if (kind == "echo") {
        target = sim::DialTarget::Echo();
      } else if (kind == "busy") {
        target = sim::DialTarget::Busy();
      } else if (kind == "no-answer") {
        target = sim::DialTarget::NoAnswer();
      } else if (kind == "no-dialtone") {
        target = sim::DialTarget::NoDialtone();
      } else if (kind == "stream") {
        uint64_t bytes = args.Number("how many bytes the peer sends");
        bool hangUp = args.Take("then-hang-up");
        target = sim::DialTarget::Stream(bytes, hangUp);
      } else {
        args.Error("unknown dial target '" + kind + "'");
      }
      args.End();
      return Make([=](Runner& r) {
        auto* at = dynamic_cast<sim::AtModem*>(&r.stack().modem(r.Device()));
        if (at == nullptr) throw Failure{"this step needs the AT modem ('add device COM7 at')", "", ""};
        at->BindNumber(number, target);
      });
    }
    args.Error("unknown device step '" + verb +
               "' (receive, zero-length-packet, state, notify, fail, stall, hold, release, "
               "at-once, later, unplug, capacity, port-name, power-states, dial-target)");
  };
}

}  // namespace mdmhost::scenario

// Expectations: named requests, the bus trace byte for byte, what the modem got, names and
// registry values, the driver's device extension, debugger output and the verifier.
#include <strings.h>

#include <cstring>

#include "scenario/scenario.h"
#include "host/debug.h"
#include "sim/scripted_modem.h"

namespace mdmhost::scenario {

namespace {

Statement Expectation(Action action, bool claims = false) {
  Statement s;
  s.run = std::move(action);
  s.claimsViolations = claims;
  return s;
}

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

std::optional<sim::TraceKind> ParseTraceKind(const std::string& w) {
  static const std::pair<const char*, sim::TraceKind> kKinds[] = {
      {"SETUP", sim::TraceKind::Setup},     {"RESET", sim::TraceKind::ResetPipe},
      {"ABORT", sim::TraceKind::AbortPipe}, {"IN", sim::TraceKind::InSubmit},
      {"IN-DONE", sim::TraceKind::InDone},  {"OUT", sim::TraceKind::OutSubmit},
      {"OUT-DONE", sim::TraceKind::OutDone}, {"REFUSED", sim::TraceKind::Refused},
      {"PNP", sim::TraceKind::Pnp},         {"POWER", sim::TraceKind::Power},
      {"WMI", sim::TraceKind::Wmi},         {"UNPLUG", sim::TraceKind::Unplug},
      {"IOCTL", sim::TraceKind::Ioctl},
  };
  for (const auto& [name, kind] : kKinds) {
    if (strcasecmp(w.c_str(), name) == 0) return kind;
  }
  return std::nullopt;
}

std::vector<sim::TraceKind> ParseTraceKinds(Args& args) {
  std::vector<sim::TraceKind> kinds;
  while (!args.AtEnd()) {
    std::string w = args.Word("a kind of bus-trace entry");
    if (strcasecmp(w.c_str(), "in-traffic") == 0) {
      kinds.push_back(sim::TraceKind::InSubmit);
      kinds.push_back(sim::TraceKind::InDone);
    } else if (strcasecmp(w.c_str(), "out-traffic") == 0) {
      kinds.push_back(sim::TraceKind::OutSubmit);
      kinds.push_back(sim::TraceKind::OutDone);
    } else if (strcasecmp(w.c_str(), "bus-driver") == 0) {
      kinds.push_back(sim::TraceKind::Pnp);
      kinds.push_back(sim::TraceKind::Power);
      kinds.push_back(sim::TraceKind::Wmi);
    } else if (auto k = ParseTraceKind(w)) {
      kinds.push_back(*k);
    } else {
      args.Error("unknown kind of bus-trace entry '" + w +
                 "' (SETUP RESET ABORT IN IN-DONE OUT OUT-DONE REFUSED PNP POWER WMI UNPLUG "
                 "IOCTL, in-traffic, out-traffic, bus-driver)");
    }
  }
  if (kinds.empty()) args.Error("expected kinds of bus-trace entries");
  return kinds;
}

sim::TraceCursor& Cursor(Runner& r) { return r.stack().device(r.Device()).cursor; }

std::string CodingText(const sim::LineCoding& c) {
  static const char kParity[] = "NOEMS";
  std::string stop = c.stopBits == 0 ? "1" : c.stopBits == 1 ? "1.5" : c.stopBits == 2 ? "2" : "?";
  char parity = c.parity < 5 ? kParity[c.parity] : '?';
  return std::to_string(c.rate) + " " + std::to_string(c.dataBits) + parity + stop;
}

std::string LinesText(uint16_t state) {
  std::string out;
  if (state & 1) out += "DTR";
  if (state & 2) out += out.empty() ? "RTS" : " RTS";
  if (state & ~3u) out += (out.empty() ? "" : " ") + std::to_string(state & ~3u);
  return out.empty() ? "none" : out;
}

const char* PnpStateName(ULONG s) {
  static const char* const kNames[] = {"NotStarted",    "Started",         "StopPending",
                                       "RemovePending", "SurpriseRemoved", "Removed"};
  return s < 6 ? kNames[s] : "?";
}

// Fields of the driver's device extension a scenario may look at.
struct ExtField {
  const char* name;
  std::function<uint32_t(PDEVICE_EXTENSION)> read;
  enum Show { Number, Hex, Pnp, DevicePower, SystemPower, Events } show;
  // The driver's counters are read through the binding's accessor (Stack::Counters).
  std::function<uint32_t(const DriverCounters&)> counter = nullptr;
};

const std::vector<ExtField>& ExtFields() {
  static const std::vector<ExtField> fields = {
      {"PnpState", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->PnpState); }, ExtField::Pnp},
      {"PreviousPnpState", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->PreviousPnpState); }, ExtField::Pnp},
      {"DevicePowerState", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->DevicePowerState); }, ExtField::DevicePower},
      {"SystemPowerState", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->SystemPowerState); }, ExtField::SystemPower},
      {"OpenCount", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->OpenCount); }, ExtField::Number},
      {"DeviceOpen", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->DeviceOpen); }, ExtField::Number},
      {"DeviceGone", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->DeviceGone); }, ExtField::Number},
      {"IoCount", nullptr, ExtField::Number,
       [](const DriverCounters& c) { return static_cast<uint32_t>(c.ioCount); }},
      {"BaudRate", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->BaudRate); }, ExtField::Number},
      {"WaitMask", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->WaitMask); }, ExtField::Events},
      {"EventHistory", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->EventHistory); }, ExtField::Events},
      {"ModemStatus", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->ModemStatus); }, ExtField::Hex},
      {"HoldReasons", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->HoldReasons); }, ExtField::Hex},
      {"AmountInOutQueue", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->AmountInOutQueue); }, ExtField::Number},
      {"WriteActive", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->WriteActive); }, ExtField::Number},
      {"RingCount", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->RingCount); }, ExtField::Number},
      {"ReadRemaining", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->ReadRemaining); }, ExtField::Number},
      {"SystemSuspended", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->SystemSuspended); }, ExtField::Number},
      {"IntervalTimerArmed", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->IntervalTimerArmed); }, ExtField::Number},
      {"StopBits", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->LineControl.StopBits); }, ExtField::Number},
      {"Parity", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->LineControl.Parity); }, ExtField::Number},
      {"WordLength", [](PDEVICE_EXTENSION e) { return static_cast<uint32_t>(e->LineControl.WordLength); }, ExtField::Number},
  };
  return fields;
}

std::string ShowExt(const ExtField& f, uint32_t v) {
  char buffer[32];
  switch (f.show) {
    case ExtField::Pnp:
      return PnpStateName(v);
    case ExtField::DevicePower:
      return PowerStateName(DevicePowerState, v);
    case ExtField::SystemPower:
      return PowerStateName(SystemPowerState, v);
    case ExtField::Events:
      return EventMaskText(v);
    case ExtField::Hex:
      std::snprintf(buffer, sizeof buffer, "0x%X", v);
      return buffer;
    case ExtField::Number:
      break;
  }
  return std::to_string(v);
}

std::optional<uint32_t> ParseExtValue(const ExtField& f, const std::string& w) {
  if (f.show == ExtField::Pnp) {
    for (uint32_t s = 0; s < 6; ++s) {
      if (strcasecmp(w.c_str(), PnpStateName(s)) == 0) return s;
    }
  }
  if (f.show == ExtField::DevicePower || f.show == ExtField::SystemPower) {
    if (auto t = ParsePowerState(w)) {
      bool device = t->type == DevicePowerState;
      if (device == (f.show == ExtField::DevicePower)) return t->state;
    }
  }
  if (strcasecmp(w.c_str(), "DEVICE_GONE_MARK") == 0) return DEVICE_GONE_MARK;
  return ParseValue(w);
}

std::string DosLink(const std::string& name) {
  if (!name.empty() && name[0] == '\\') return name;
  return "\\DosDevices\\" + name;
}

std::optional<host::verifier::Rule> ParseRule(const std::string& w) {
  for (int i = 0; i <= static_cast<int>(host::verifier::Rule::DriverUnloadedInUse); ++i) {
    auto rule = static_cast<host::verifier::Rule>(i);
    if (strcasecmp(w.c_str(), host::verifier::RuleName(rule)) == 0) return rule;
  }
  return std::nullopt;
}

Statement ParseExpectRequest(Args& args, const std::string& name) {
  if (args.Take("pending")) {
    args.End();
    return Expectation([=](Runner& r) {
      std::shared_ptr<Runner::PendingRequest> p = r.Request(name);
      if (p->Done()) {
        throw Failure{"request " + name + " has finished", "pending",
                      DescribeResult(p->kind, p->request.Result())};
      }
    });
  }
  if (!args.AtArrow()) args.Error("expected 'pending' or '-> RESULT' after the request name");
  args.Next();
  ResultSpec spec = ParseResult(args);
  args.End();
  return Expectation([=](Runner& r) {
    std::shared_ptr<Runner::PendingRequest> p = r.Request(name);
    if (spec.any && !p->Done()) {
      r.Record("request " + name + " -> pending");
      return;
    }
    if (!p->Done()) {
      throw Failure{"request " + name + " is still pending", "-> " + spec.text, "pending"};
    }
    JudgeResult(r, spec, p->kind, p->request.Result(), "request " + name);
  });
}

// One entry of the power log as "expect power" lines give it:
//   SEND SET_POWER S3, DONE SET_POWER D3 -> STATUS_SUCCESS,
//   PoRequestPowerIrp SET_POWER D3 by tavrinmdm, PoStartNextPowerIrp WAIT_WAKE S3 by usbsim,
//   PoCallDriver SET_POWER D3 by tavrinmdm to usbsim, IoCompleteRequest ... by usbsim -> STATUS_...
std::string PowerEventText(const host::pnp::PowerEvent& e) {
  auto driver = [](const std::string& name) {
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
  };
  using K = host::pnp::PowerEvent;
  static const char* const kKinds[] = {"SEND", "DONE", "PoRequestPowerIrp", "PoStartNextPowerIrp",
                                       "", "IoCompleteRequest"};
  std::string text = e.kind == K::CallDriver ? (e.viaPoCallDriver ? "PoCallDriver" : "IoCallDriver")
                                             : kKinds[e.kind];
  text += " " + PowerMinorName(e.minor);
  if (e.minor != IRP_MN_POWER_SEQUENCE) {
    text += " " + PowerStateName(e.type, e.type == DevicePowerState
                                             ? static_cast<ULONG>(e.state.DeviceState)
                                             : static_cast<ULONG>(e.state.SystemState));
  }
  if (!e.driver.empty()) text += " by " + driver(e.driver);
  if (e.kind == K::CallDriver && !e.target.empty()) text += " to " + driver(e.target);
  if (e.kind == K::Completed || e.kind == K::CompletedBy) text += " -> " + StatusName(e.status);
  return text;
}

// The routine in a slot of the driver object, as "expect driver" lines name it.
std::string SlotText(Runner& r, const void* routine) {
  if (routine == nullptr) return "none";
  if (routine == reinterpret_cast<const void*>(host::pnp::DefaultDispatchRoutine())) return "default";
  return r.stack().RoutineName(routine);
}

// A slot of the driver object: a major function ("READ", "IRP_MJ_READ", a number), "AddDevice"
// or "DriverUnload". Returns the routine it holds.
std::optional<std::function<const void*(PDRIVER_OBJECT)>> ParseSlot(const std::string& w) {
  if (strcasecmp(w.c_str(), "AddDevice") == 0) {
    return [](PDRIVER_OBJECT d) { return reinterpret_cast<const void*>(d->DriverExtension->AddDevice); };
  }
  if (strcasecmp(w.c_str(), "DriverUnload") == 0) {
    return [](PDRIVER_OBJECT d) { return reinterpret_cast<const void*>(d->DriverUnload); };
  }
  std::optional<unsigned> major;
  for (unsigned m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; ++m) {
    std::string name = host::debug::MajorFunctionName(static_cast<UCHAR>(m));
    if (strcasecmp(w.c_str(), name.c_str()) == 0 || strcasecmp(w.c_str(), name.substr(7).c_str()) == 0) {
      major = m;
    }
  }
  if (auto n = ParseNumber(w); n && *n <= IRP_MJ_MAXIMUM_FUNCTION) major = static_cast<unsigned>(*n);
  if (!major) return std::nullopt;
  const unsigned m = *major;
  return [m](PDRIVER_OBJECT d) { return reinterpret_cast<const void*>(d->MajorFunction[m]); };
}

PDRIVER_OBJECT LoadedDriver(Runner& r) {
  if (!r.stack().Loaded()) throw Failure{"the driver is not loaded ('load' first)", "", ""};
  return r.stack().driver();
}

DriverCounters Counters(Runner& r) {
  size_t i = r.Device();
  std::optional<DriverCounters> c = r.stack().Counters(i);
  if (!c) throw Failure{"device " + r.stack().device(i).label + " has no driver device object now", "", ""};
  return *c;
}

}  // namespace

void AddExpectCommands(CommandTable& table) {
  // bus skip | bus show KINDS | bus ignore KINDS
  table["bus"] = [](Args& args) {
    std::string verb = args.Word("'skip', 'show' or 'ignore'");
    if (verb == "skip") {
      args.End();
      return Make([](Runner& r) {
        r.stack().Pump();
        Cursor(r).SeekEnd();
      });
    }
    if (verb != "show" && verb != "ignore") args.Error("expected 'skip', 'show' or 'ignore' after 'bus'");
    std::vector<sim::TraceKind> kinds = ParseTraceKinds(args);
    bool show = verb == "show";
    return Make([=](Runner& r) {
      for (sim::TraceKind k : kinds) {
        if (show) {
          Cursor(r).Show(k);
        } else {
          Cursor(r).Ignore(k);
        }
      }
    });
  };

  table["expect"] = [](Args& args) -> Statement {
    bool negated = args.Take("no");
    std::string what = args.Word("what to expect (bus, modem, link, serialcomm, ext, ...)");
    std::string lower = what;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto notNegatable = [&] {
      if (negated) args.Error("'expect no' goes with link, serialcomm, registry, device-object or dbgprint");
    };

    if (lower == "bus") {
      notNegatable();
      if (args.Take("end")) {
        args.End();
        return Expectation([](Runner& r) {
          sim::TraceCursor& c = Cursor(r);
          if (!c.AtEnd()) {
            std::string rest;
            for (const std::string& l : c.Rest()) rest += "\n              " + l;
            throw Failure{"more bus traffic than expected", "(end of trace)", rest.substr(15)};
          }
        });
      }
      std::string expected = args.Rest();
      if (expected.empty()) args.Error("expected a bus-trace line (or 'end') after 'expect bus'");
      return Expectation([=](Runner& r) {
        sim::TraceEntry entry = Cursor(r).Next();
        std::string actual = NormalizeSpaces(entry.ToString());
        if (actual != expected) throw Failure{"wrong bus traffic", expected, actual};
      });
    }

    if (lower == "modem") {
      notNegatable();
      std::string sub = args.Word("'got', 'coding' or 'lines'");
      if (sub == "got") {
        std::vector<uint8_t> expected;
        if (!args.Take("nothing")) {
          auto data = ParseData(args);
          if (!data) args.Error("expected the bytes the modem got (\"text\", bytes ..., or nothing)");
          expected = *data;
        }
        args.End();
        return Expectation([=](Runner& r) {
          size_t i = r.Device();
          auto* m = dynamic_cast<sim::ScriptedModem*>(&r.stack().modem(i));
          if (m == nullptr) throw Failure{"'expect modem got' needs the scripted modem", "", ""};
          std::string got = m->TakeBulkOut();
          CheckBytes("the modem got other bytes", expected, std::vector<uint8_t>(got.begin(), got.end()));
        });
      }
      if (sub == "coding") {
        std::string expected = args.Rest();
        return Expectation([=](Runner& r) {
          std::string actual = CodingText(r.stack().usb(r.Device()).CurrentLineCoding());
          if (actual != expected) throw Failure{"the modem's line coding differs", expected, actual};
        });
      }
      if (sub == "lines") {
        uint16_t expected = 0;
        if (!args.Take("none")) {
          while (!args.AtEnd()) {
            std::string w = args.Word("DTR, RTS or none");
            if (strcasecmp(w.c_str(), "DTR") == 0) {
              expected |= 1;
            } else if (strcasecmp(w.c_str(), "RTS") == 0) {
              expected |= 2;
            } else {
              args.Error("expected DTR, RTS or none, found '" + w + "'");
            }
          }
        }
        args.End();
        return Expectation([=](Runner& r) {
          uint16_t actual = r.stack().usb(r.Device()).CurrentControlLineState();
          if (actual != expected) {
            throw Failure{"the modem's DTR and RTS differ", LinesText(expected), LinesText(actual)};
          }
        });
      }
      args.Error("expected 'got', 'coding' or 'lines' after 'expect modem'");
    }

    if (lower == "link") {
      std::string name = args.PeekString() ? args.Next().text : args.Word("a link name (COM7)");
      std::string target;
      if (!negated) {
        if (!args.AtArrow()) args.Error("expected '-> TARGET' after the link name");
        args.Next();
        target = args.Word("the device the link names");
      }
      args.End();
      std::string link = DosLink(name);
      return Expectation([=](Runner& r) {
        auto actual = host::objects::SymbolicLinkTarget(link);
        if (negated) {
          if (actual) throw Failure{"the link exists", "no link " + link, link + " -> " + *actual};
          return;
        }
        if (!actual) throw Failure{"no such link", link + " -> " + target, "no link " + link};
        if (strcasecmp(actual->c_str(), target.c_str()) != 0) {
          throw Failure{"the link names another device", target, *actual};
        }
      });
    }

    if (lower == "serialcomm") {
      if (!negated && args.Take("empty")) {
        args.End();
        return Expectation([](Runner&) {
          auto names = host::registry::ValueNames(host::registry::kSerialComm);
          if (!names.empty()) throw Failure{"SERIALCOMM has values", "none", names.front()};
        });
      }
      std::string name = args.PeekString() ? args.Next().text : args.Word("a SERIALCOMM value name");
      std::string data;
      if (!negated) {
        args.Take("=");
        data = args.PeekString() ? args.Next().text : args.Word("the value's data (COM7)");
      }
      args.End();
      return Expectation([=](Runner&) {
        auto value = host::registry::GetValue(host::registry::kSerialComm, name);
        if (negated) {
          if (value) throw Failure{"the SERIALCOMM value exists", "no value " + name, value->AsString()};
          return;
        }
        if (!value) throw Failure{"no SERIALCOMM value " + name, name + " = " + data, "none"};
        if (value->type != REG_SZ) {
          throw Failure{"the SERIALCOMM value is not a REG_SZ", "REG_SZ", std::to_string(value->type)};
        }
        if (value->AsString() != data) throw Failure{"wrong SERIALCOMM data", data, value->AsString()};
      });
    }

    if (lower == "interface") {
      notNegatable();
      std::string state = args.Word("enabled, disabled or none");
      if (state != "enabled" && state != "disabled" && state != "none") {
        args.Error("expected enabled, disabled or none after 'expect interface'");
      }
      args.End();
      return Expectation([=](Runner& r) {
        PDEVICE_OBJECT pdo = r.stack().Pdo(r.Device());
        std::string actual = "none";
        for (const auto& info : host::objects::Interfaces()) {
          if (info.pdo == pdo && pdo != nullptr) actual = info.enabled ? "enabled" : "disabled";
        }
        if (actual != state) throw Failure{"wrong state of the device interface", state, actual};
      });
    }

    if (lower == "capabilities") {
      // expect capabilities [not] FLAG ...: bits of the last capabilities query's answer.
      notNegatable();
      struct Want {
        std::string name;
        bool set;
      };
      std::vector<Want> wants;
      bool set = true;
      while (!args.AtEnd()) {
        std::string w = args.Word("a capability (Removable, UniqueID, SurpriseRemovalOK, ...)");
        if (w == "not") {
          set = false;
          continue;
        }
        wants.push_back({w, set});
        set = true;
      }
      if (wants.empty()) args.Error("expected capability names");
      static const char* const kKnown[] = {"DeviceD1", "DeviceD2", "LockSupported", "EjectSupported",
                                           "Removable", "DockDevice", "UniqueID", "SilentInstall",
                                           "RawDeviceOK", "SurpriseRemovalOK"};
      for (const Want& want : wants) {
        bool known = false;
        for (const char* k : kKnown) known = known || want.name == k;
        if (!known) args.Error("unknown capability '" + want.name + "'");
      }
      return Expectation([=](Runner& r) {
        if (!r.capabilities()) throw Failure{"no capabilities query has been made", "", ""};
        const DEVICE_CAPABILITIES& c = *r.capabilities();
        for (const Want& want : wants) {
          bool value = want.name == "DeviceD1" ? c.DeviceD1 : want.name == "DeviceD2" ? c.DeviceD2
                     : want.name == "LockSupported" ? c.LockSupported
                     : want.name == "EjectSupported" ? c.EjectSupported
                     : want.name == "Removable" ? c.Removable : want.name == "DockDevice" ? c.DockDevice
                     : want.name == "UniqueID" ? c.UniqueID : want.name == "SilentInstall" ? c.SilentInstall
                     : want.name == "RawDeviceOK" ? c.RawDeviceOK : c.SurpriseRemovalOK;
          if (value != want.set) {
            throw Failure{"capability " + want.name, want.set ? "set" : "clear", value ? "set" : "clear"};
          }
        }
      });
    }

    if (lower == "device-object") {
      std::string name = args.Word("a device object name");
      args.End();
      return Expectation([=](Runner&) {
        PDEVICE_OBJECT d = host::objects::FindDevice(name);
        if (negated && d != nullptr) throw Failure{"the device object exists", "no " + name, name};
        if (!negated && d == nullptr) throw Failure{"no such device object", name, "none"};
      });
    }

    if (lower == "ext") {
      notNegatable();
      std::string fieldName = args.Word("a DEVICE_EXTENSION field (PnpState, OpenCount, ...)");
      const ExtField* field = nullptr;
      for (const ExtField& f : ExtFields()) {
        if (strcasecmp(f.name, fieldName.c_str()) == 0) field = &f;
      }
      if (field == nullptr) {
        std::string known;
        for (const ExtField& f : ExtFields()) known += std::string(known.empty() ? "" : " ") + f.name;
        args.Error("no field '" + fieldName + "' to look at (" + known + ")");
      }
      std::string valueText = args.Word("the expected value");
      auto value = ParseExtValue(*field, valueText);
      if (!value) args.Error("unknown value '" + valueText + "' for " + field->name);
      args.End();
      ExtField f = *field;
      uint32_t v = *value;
      return Expectation([=](Runner& r) {
        uint32_t actual = f.counter ? f.counter(Counters(r)) : f.read(r.Extension());
        if (actual != v) throw Failure{std::string("wrong ") + f.name, ShowExt(f, v), ShowExt(f, actual)};
      });
    }

    if (lower == "dbgprint" && !negated && args.PeekWord("count")) {
      // expect dbgprint count N: the number of DbgPrint calls so far.
      args.Next();
      uint64_t n = args.Number("the number of DbgPrint calls");
      args.End();
      return Expectation([=](Runner&) {
        size_t calls = host::debug::DbgPrintCalls().size();
        if (calls != n) throw Failure{"wrong number of DbgPrint calls", std::to_string(n), std::to_string(calls)};
      });
    }
    if (lower == "dbgprint" && !negated && args.PeekWord("call")) {
      // expect dbgprint call N "TEXT": the text of the Nth call (1 = the first), exactly.
      args.Next();
      uint64_t n = args.Number("which DbgPrint call (1 = the first)");
      if (n == 0) args.Error("calls count from 1");
      if (!args.PeekString()) args.Error("expected the text of the call, in quotes");
      std::string text = args.Next().text;
      args.End();
      return Expectation([=](Runner&) {
        std::vector<std::string> calls = host::debug::DbgPrintCalls();
        if (calls.size() < n) {
          throw Failure{"the driver made " + std::to_string(calls.size()) + " DbgPrint call(s)",
                        "call " + std::to_string(n) + ": " + Quote(text), "no such call"};
        }
        if (calls[n - 1] != text) {
          throw Failure{"DbgPrint call " + std::to_string(n) + " printed other text", Quote(text),
                        Quote(calls[n - 1])};
        }
      });
    }

    if (lower == "registry") {
      // expect registry serialcomm|hardware NAME TYPE LENGTH [DATA], expect no registry KEY NAME:
      // a value of the hardware device map's SERIALCOMM key or of the current device's
      // hardware key, raw.
      std::string key = args.Word("'serialcomm' or 'hardware'");
      bool hardware = strcasecmp(key.c_str(), "hardware") == 0;
      if (!hardware && strcasecmp(key.c_str(), "serialcomm") != 0) {
        args.Error("expected 'serialcomm' or 'hardware' after 'expect registry', found '" + key + "'");
      }
      std::string name = args.PeekString() ? args.Next().text : args.Word("a value name");
      ULONG type = 0;
      uint64_t length = 0;
      std::optional<std::vector<uint8_t>> data;
      if (!negated) {
        std::string typeText = args.Word("the value's type (REG_SZ, REG_DWORD, ...)");
        auto t = ParseRegistryType(typeText);
        if (!t) args.Error("unknown registry type '" + typeText + "'");
        type = *t;
        length = args.Number("the value's length in bytes");
        data = ParseData(args);
        if (data && data->size() != length) {
          args.Error("the data given is " + std::to_string(data->size()) + " bytes, the length " +
                     std::to_string(length));
        }
      }
      args.End();
      return Expectation([=](Runner& r) {
        std::string path = hardware ? r.stack().device(r.Device()).bus->HardwareKey()
                                    : std::string(host::registry::kSerialComm);
        auto value = host::registry::GetValue(path, name);
        const std::string where = (hardware ? "the hardware key's value " : "SERIALCOMM value ") + name;
        if (negated) {
          if (value) throw Failure{where + " exists", "no value", RegistryTypeName(value->type)};
          return;
        }
        if (!value) throw Failure{"no " + where, RegistryTypeName(type), "none"};
        auto shown = [](ULONG t, size_t n) { return RegistryTypeName(t) + " " + std::to_string(n) + " bytes"; };
        if (value->type != type || value->data.size() != length) {
          throw Failure{"wrong " + where, shown(type, length), shown(value->type, value->data.size())};
        }
        if (data) CheckBytes("wrong bytes in " + where, *data, value->data);
      });
    }

    if (lower == "driver") {
      // expect driver SLOT ROUTINE: what DriverEntry put in a slot of the driver object.
      notNegatable();
      std::string slotText = args.Word("a slot (READ, IRP_MJ_PNP, AddDevice, DriverUnload)");
      auto slot = ParseSlot(slotText);
      if (!slot) args.Error("unknown slot '" + slotText + "' (a major function, AddDevice or DriverUnload)");
      std::string routine = args.Word("a routine name, 'default' or 'none'");
      args.End();
      auto read = *slot;
      return Expectation([=](Runner& r) {
        std::string actual = SlotText(r, read(LoadedDriver(r)));
        if (actual != routine) throw Failure{"the driver object's " + slotText + " holds another routine", routine, actual};
      });
    }

    if (lower == "remove-lock") {
      // expect remove-lock holds N: the holds on the current device's remove lock.
      notNegatable();
      if (!args.Take("holds")) args.Error("expected 'holds N' after 'expect remove-lock'");
      uint64_t n = args.Number("the number of holds");
      args.End();
      return Expectation([=](Runner& r) {
        DriverCounters c = Counters(r);
        if (static_cast<uint64_t>(c.removeLockHolds) != n) {
          throw Failure{"wrong number of holds on the remove lock", std::to_string(n),
                        std::to_string(c.removeLockHolds) + (c.removeLockRemoved ? " (removal has begun)" : "")};
        }
      });
    }

    if (lower == "power") {
      // expect power LINE | expect power end: the next entry of the power log.
      notNegatable();
      if (args.Take("end")) {
        args.End();
        return Expectation([](Runner& r) {
          std::vector<host::pnp::PowerEvent> log = host::pnp::PowerLog(true);
          if (r.powerCursor() < log.size()) {
            throw Failure{"more power events than expected", "(end of the power log)",
                          PowerEventText(log[r.powerCursor()])};
          }
        });
      }
      std::string expected = args.Rest();
      if (expected.empty()) args.Error("expected a power-log line (or 'end') after 'expect power'");
      return Expectation([=](Runner& r) {
        std::vector<host::pnp::PowerEvent> log = host::pnp::PowerLog(true);
        if (r.powerCursor() >= log.size()) throw Failure{"no more power events", expected, "(end of the power log)"};
        std::string actual = PowerEventText(log[r.powerCursor()++]);
        if (actual != expected) throw Failure{"wrong power event", expected, actual};
      });
    }

    if (lower == "dbgprint") {
      if (negated) {
        // expect no dbgprint: the driver printed nothing after what was matched so far.
        args.End();
        return Expectation([](Runner& r) {
          std::string printed = host::debug::DbgPrintText();
          size_t& cursor = r.dbgPrintCursor();
          if (cursor < printed.size()) {
            std::string rest = Quote(printed.substr(cursor));
            cursor = printed.size();
            throw Failure{"the driver printed something", "nothing", rest};
          }
        });
      }
      if (!args.PeekString()) args.Error("expected the text the driver printed, in quotes");
      std::string text = args.Next().text;
      args.End();
      return Expectation([=](Runner& r) {
        std::string printed = host::debug::DbgPrintText();
        size_t& cursor = r.dbgPrintCursor();
        size_t at = cursor <= printed.size() ? printed.find(text, cursor) : std::string::npos;
        if (at != std::string::npos) {
          cursor = at + text.size();
          return;
        }
        std::string rest = cursor < printed.size() ? printed.substr(cursor) : "";
        throw Failure{"the driver did not print that", Quote(text), rest.empty() ? "(nothing)" : Quote(rest)};
      });
    }

    if (lower == "verifier") {
      notNegatable();
      std::string w = args.Word("'clean'");
      if (w != "clean") args.Error("expected 'clean' after 'expect verifier'");
      args.End();
      return Expectation(
          [](Runner& r) {
            auto left = r.violations().Take();
            if (!left.empty()) {
              throw Failure{"the verifier reported " + std::to_string(left.size()) + " violation(s)",
                            "none", left.front().violation.message};
            }
          },
          true);
    }

    if (lower == "violation") {
      notNegatable();
      std::string ruleText = args.Word("a verifier rule (DoubleCompletion, LockOrder, ...)");
      auto rule = ParseRule(ruleText);
      if (!rule) args.Error("unknown verifier rule '" + ruleText + "'");
      args.End();
      host::verifier::Rule rl = *rule;
      return Expectation(
          [=](Runner& r) {
            if (!r.violations().Claim(rl)) {
              throw Failure{"the verifier reported no such violation", ruleText, "none"};
            }
          },
          true);
    }

    if (lower == "device") {
      notNegatable();
      std::string sub = args.Word("'power'");
      if (sub != "power") args.Error("expected 'power' after 'expect device'");
      std::string stateText = args.Word("a device power state (D0..D3)");
      auto target = ParsePowerState(stateText);
      if (!target || target->type != DevicePowerState) args.Error("expected D0..D3");
      args.End();
      ULONG state = target->state;
      return Expectation([=](Runner& r) {
        DEVICE_POWER_STATE actual = r.stack().device(r.Device()).bus->DevicePower();
        if (static_cast<ULONG>(actual) != state) {
          throw Failure{"the modem is in another power state", PowerStateName(DevicePowerState, state),
                        PowerStateName(DevicePowerState, actual)};
        }
      });
    }

    notNegatable();
    return ParseExpectRequest(args, what);
  };

  // dump R | dump driver | dump power: everything about a named request's outcome, the driver
  // object's slots, or the power log from its cursor on (not moved); printed unless -q.
  table["dump"] = [](Args& args) {
    std::string name = args.Word("a request name, 'driver' or 'power'");
    args.End();
    if (name == "power") {
      return Make([](Runner& r) {
        std::vector<host::pnp::PowerEvent> log = host::pnp::PowerLog(true);
        std::string text = "power log from its cursor:";
        for (size_t i = r.powerCursor(); i < log.size(); ++i) text += "\n    " + PowerEventText(log[i]);
        r.Record(text);
      });
    }
    if (name == "driver") {
      return Make([](Runner& r) {
        PDRIVER_OBJECT d = LoadedDriver(r);
        std::string text = "driver object " + std::string(Stack::kDriverName) + ":";
        auto row = [&](const std::string& slot, const void* routine) {
          text += "\n    " + slot + std::string(slot.size() < 34 ? 34 - slot.size() : 1, ' ') + SlotText(r, routine);
        };
        row("DriverUnload", reinterpret_cast<const void*>(d->DriverUnload));
        row("AddDevice", reinterpret_cast<const void*>(d->DriverExtension->AddDevice));
        for (unsigned m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; ++m) {
          row(host::debug::MajorFunctionName(static_cast<UCHAR>(m)), reinterpret_cast<const void*>(d->MajorFunction[m]));
        }
        r.Record(text);
      });
    }
    return Make([=](Runner& r) {
      std::shared_ptr<Runner::PendingRequest> p = r.Request(name);
      std::string text = "request " + name + " (sent at line " + std::to_string(p->line) +
                         (p->thread != "main" ? " by thread " + p->thread : std::string()) + "): ";
      if (!p->sent) {
        text += "pending: its dispatch routine has not returned";
      } else {
        text += "dispatch routine returned " + StatusName(p->request.DispatchStatus()) + "; ";
        text += p->request.Done() ? "finished, " + DumpResult(p->kind, p->request.Result()) : "pending";
      }
      r.Record(text);
    });
  };
}

}  // namespace mdmhost::scenario

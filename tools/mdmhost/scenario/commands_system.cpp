// Driver and device steps as the system takes them: load and unload, plugging modems and adding
// devices, PnP and power requests, the low-resources simulation, virtual time.
#include <cctype>
#include <strings.h>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

// The status a step ends with against what its line expects; without "->" it must succeed.
void CheckStep(Runner& r, const ResultSpec& spec, NTSTATUS status, const std::string& what) {
  if (spec.any) {
    r.Record(what + " -> " + StatusName(status));
  } else if (spec.given) {
    if (!spec.Accepts(status)) {
      throw Failure{"wrong status of " + what, "-> " + spec.text, StatusName(status)};
    }
  } else if (!NT_SUCCESS(status)) {
    throw Failure{what + " failed", "success", StatusName(status)};
  }
}

// A step sent as a named request ("as R"), left in flight: the line's result is checked only if
// it says PENDING (not finished yet) or the request finished at once.
void CheckNamedStep(Runner& r, const ResultSpec& spec, const host::app::Request& request,
                    const std::string& what) {
  if (spec.any) {
    r.Record(what + " -> " + (request.Done() ? StatusName(request.Result().status) : "pending"));
  } else if (spec.given && spec.MayPend()) {
    if (request.Done()) {
      if (spec.OnlyPending()) {
        throw Failure{what + " finished at once", "-> PENDING", StatusName(request.Result().status)};
      }
      CheckStep(r, spec, request.Result().status, what);
    }
  } else if (spec.given) {
    if (!request.Done()) throw Failure{what + " is still pending", "-> " + spec.text, "PENDING"};
    CheckStep(r, spec, request.Result().status, what);
  }
}

void RequireLoaded(Runner& r) {
  if (!r.stack().Loaded()) throw Failure{"the driver is not loaded ('load' first)", "", ""};
}

size_t RequirePdo(Runner& r) {
  size_t i = r.Device();
  // In the chain a device not yet enumerated by its parent has only the USB device's PDO.
  const bool pending = r.stack().Chain() && r.stack().device(i).bus->Pdo() != nullptr;
  if (r.stack().Pdo(i) == nullptr && !pending) {
    throw Failure{"device " + r.stack().device(i).label + " is gone (its PDO was deleted)", "", ""};
  }
  return i;
}

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

// Steps about time itself: they do not settle the session before they run.
Statement Timeless(Action action) {
  Statement s = Make(std::move(action));
  s.settles = false;
  return s;
}

// plug [PORT] [MODEL] [no-port-name] [as LABEL]
struct PlugArgs {
  ModemModel model = ModemModel::Scripted;
  std::optional<std::string> port;
  std::string label;
};

PlugArgs ParsePlug(Args& args) {
  PlugArgs p;
  bool noPort = false;
  while (!args.AtEnd() && !args.AtArrow()) {
    if (args.Take("as")) {
      p.label = args.Word("a device label after 'as'");
      continue;
    }
    if (args.Take("no-port-name")) {
      noPort = true;
      continue;
    }
    if (args.PeekString()) {
      p.port = args.Next().text;  // a port name with odd characters, quoted
      continue;
    }
    std::string w = args.Word("a port name or a modem model");
    if (auto m = ParseModel(w)) {
      p.model = *m;
    } else if (!p.port) {
      p.port = w;
    } else {
      args.Error("unexpected '" + w + "' (models: scripted, at, loopback)");
    }
  }
  if (noPort && p.port) args.Error("both a port name and no-port-name");
  return p;
}

size_t DoPlug(Runner& r, const PlugArgs& p) {
  std::string label = p.label;
  if (label.empty()) {
    label = p.port ? *p.port : "dev" + std::to_string(r.stack().DeviceCount() + 1);
  }
  if (auto old = r.stack().FindDevice(label)) {
    // A modem pulled out and removed (its PDO deleted) gives its label up to the next one, as
    // the same port plugged in again would be named; the old one keeps a label of its own.
    if (r.stack().Pdo(*old) != nullptr) {
      throw Failure{"there is already a device labelled '" + label + "' (name it with 'as')", "", ""};
    }
    r.stack().device(*old).label = label + "~" + std::to_string(*old + 1);
  }
  size_t i = r.stack().Plug(p.model, p.port, label);
  r.UseDevice(i);
  return i;
}

Statement ParsePnpStep(Args& args, UCHAR minor) {
  std::string name;
  if (args.Take("as")) name = args.Word("a request name after 'as'");
  ResultSpec spec = ParseOptionalResult(args);
  args.End();
  if (spec.given && spec.MayPend() && name.empty()) {
    args.Error("a request expected to stay pending needs a name: add 'as NAME'");
  }
  return Make([=](Runner& r) {
    RequireLoaded(r);
    size_t i = RequirePdo(r);
    const std::string what = "IRP_MN_" + PnpMinorName(minor);
    if (!name.empty()) {
      host::app::Request request = host::pnp::SendPnpAsync(r.stack().Pdo(i), minor);
      r.AddRequest(name, RequestKind{}, request);
      CheckNamedStep(r, spec, request, what);
      return;
    }
    NTSTATUS status = r.stack().Pnp(i, minor);
    r.Note(what + " -> " + StatusName(status));
    CheckStep(r, spec, status, what);
  });
}

}  // namespace

void AddSystemCommands(CommandTable& table) {
  table["load"] = [](Args& args) {
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      if (r.stack().Loaded()) throw Failure{"the driver is loaded already", "", ""};
      NTSTATUS status = r.stack().LoadDriver();
      r.Note("DriverEntry -> " + StatusName(status));
      CheckStep(r, spec, status, "DriverEntry");
    });
  };

  table["unload"] = [](Args& args) {
    args.End();
    return Make([](Runner& r) {
      RequireLoaded(r);
      r.stack().UnloadDriver();
    });
  };

  table["plug"] = [](Args& args) {
    PlugArgs p = ParsePlug(args);
    args.End();
    return Make([=](Runner& r) { DoPlug(r, p); });
  };

  // add device [PORT] [MODEL] [no-port-name] [as LABEL] [-> STATUS]: plug, then AddDevice.
  // add [-> STATUS]: AddDevice for the current (plugged) device.
  table["add"] = [](Args& args) {
    bool plug = args.Take("device");
    PlugArgs p;
    if (plug) p = ParsePlug(args);
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      RequireLoaded(r);
      size_t i = plug ? DoPlug(r, p) : RequirePdo(r);
      NTSTATUS status = r.stack().AddDevice(i);
      r.Note("AddDevice -> " + StatusName(status));
      CheckStep(r, spec, status, "AddDevice");
    });
  };

  table["use"] = [](Args& args) {
    std::string label = args.Word("a device label");
    args.End();
    return Make([=](Runner& r) {
      auto i = r.stack().FindDevice(label);
      if (!i) throw Failure{"no device labelled '" + label + "'", "", ""};
      r.UseDevice(*i);
    });
  };

  static const std::pair<const char*, UCHAR> kSteps[] = {
      {"start", IRP_MN_START_DEVICE},
      {"stop", IRP_MN_STOP_DEVICE},
      {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
      {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
      {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
      {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
      {"surprise-remove", IRP_MN_SURPRISE_REMOVAL},
      {"remove", IRP_MN_REMOVE_DEVICE},
  };
  for (const auto& [word, minor] : kSteps) {
    UCHAR m = minor;
    table[word] = [m](Args& args) { return ParsePnpStep(args, m); };
  }

  table["pnp"] = [](Args& args) {
    std::string w = args.Word("a PnP minor function (START_DEVICE, QUERY_REMOVE_DEVICE, ...)");
    auto minor = ParsePnpMinor(w);
    if (!minor) args.Error("unknown PnP minor function '" + w + "'");
    if (*minor == IRP_MN_QUERY_CAPABILITIES) {
      // pnp QUERY_CAPABILITIES [version N] [-> STATUS]: the structure prepared as the PnP
      // manager prepares it; "expect capabilities" looks at what came back.
      uint64_t version = 1;
      if (args.Take("version")) version = args.Number("the structure's Version");
      if (version > 0xFFFF) args.Error("a Version of at most 65535");
      ResultSpec spec = ParseOptionalResult(args);
      args.End();
      USHORT v = static_cast<USHORT>(version);
      return Make([=](Runner& r) {
        RequireLoaded(r);
        size_t i = RequirePdo(r);
        DEVICE_CAPABILITIES caps{};
        NTSTATUS status = r.stack().QueryCapabilities(i, &caps, v);
        r.Note("IRP_MN_QUERY_CAPABILITIES -> " + StatusName(status));
        r.capabilities() = caps;
        CheckStep(r, spec, status, "IRP_MN_QUERY_CAPABILITIES");
      });
    }
    return ParsePnpStep(args, *minor);
  };

  // wmi MINOR [-> STATUS]: a WMI request (IRP_MJ_SYSTEM_CONTROL) to the top of the stack, as the
  // WMI service sends it (no file object).
  table["wmi"] = [](Args& args) {
    static const std::pair<const char*, UCHAR> kMinors[] = {
        {"QUERY_ALL_DATA", IRP_MN_QUERY_ALL_DATA},         {"QUERY_SINGLE_INSTANCE", IRP_MN_QUERY_SINGLE_INSTANCE},
        {"CHANGE_SINGLE_INSTANCE", IRP_MN_CHANGE_SINGLE_INSTANCE}, {"CHANGE_SINGLE_ITEM", IRP_MN_CHANGE_SINGLE_ITEM},
        {"ENABLE_EVENTS", IRP_MN_ENABLE_EVENTS},           {"DISABLE_EVENTS", IRP_MN_DISABLE_EVENTS},
        {"ENABLE_COLLECTION", IRP_MN_ENABLE_COLLECTION},   {"DISABLE_COLLECTION", IRP_MN_DISABLE_COLLECTION},
        {"REGINFO", IRP_MN_REGINFO},                       {"EXECUTE_METHOD", IRP_MN_EXECUTE_METHOD},
    };
    std::string w = args.Word("a WMI minor function (REGINFO, QUERY_ALL_DATA, ...)");
    std::optional<UCHAR> minor;
    for (const auto& [name, value] : kMinors) {
      if (strcasecmp(w.c_str(), name) == 0 || strcasecmp(w.c_str(), (std::string("IRP_MN_") + name).c_str()) == 0) {
        minor = value;
      }
    }
    if (!minor) {
      if (auto n = ParseNumber(w); n && *n <= 0xFF) minor = static_cast<UCHAR>(*n);
    }
    if (!minor) args.Error("unknown WMI minor function '" + w + "'");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    UCHAR m = *minor;
    return Make([=](Runner& r) {
      RequireLoaded(r);
      size_t i = RequirePdo(r);
      PDEVICE_OBJECT top = host::pnp::StackTop(r.stack().Pdo(i));
      host::app::IoResult result =
          host::app::SendRaw(top, IRP_MJ_SYSTEM_CONTROL, m, 0, nullptr, 0, 0).Wait();
      r.Note("IRP_MJ_SYSTEM_CONTROL -> " + StatusName(result.status));
      JudgeResult(r, spec, RequestKind{}, result, "the WMI request");
    });
  };

  // power set|query S0..S5|D0..D3 [as NAME] [-> STATUS]
  // power wait-wake S0..S5 [as NAME] [-> STATUS], power sequence [as NAME] [-> STATUS]
  // power skip
  table["power"] = [](Args& args) {
    std::string verb = args.Word("'set', 'query', 'wait-wake', 'sequence' or 'skip'");
    if (verb == "skip") {
      args.End();
      return Make([](Runner& r) { r.powerCursor() = host::pnp::PowerLog(true).size(); });
    }
    UCHAR minor;
    if (verb == "set") {
      minor = IRP_MN_SET_POWER;
    } else if (verb == "query") {
      minor = IRP_MN_QUERY_POWER;
    } else if (verb == "wait-wake") {
      minor = IRP_MN_WAIT_WAKE;
    } else if (verb == "sequence") {
      minor = IRP_MN_POWER_SEQUENCE;
    } else {
      args.Error("expected 'set', 'query', 'wait-wake', 'sequence' or 'skip' after 'power', found '" +
                 verb + "'");
    }
    PowerTarget t{SystemPowerState, PowerSystemWorking};
    if (minor != IRP_MN_POWER_SEQUENCE) {
      std::string stateText = args.Word("a power state (S0..S5, D0..D3)");
      auto target = ParsePowerState(stateText);
      if (!target) args.Error("unknown power state '" + stateText + "' (S0..S5, D0..D3)");
      if (minor == IRP_MN_WAIT_WAKE && target->type != SystemPowerState) {
        args.Error("a wait-wake names the system state the device may wake the system from (S0..S5)");
      }
      t = *target;
    }
    std::string name;
    if (args.Take("as")) name = args.Word("a request name after 'as'");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    if (spec.given && spec.MayPend() && name.empty()) {
      args.Error("a request expected to stay pending needs a name: add 'as NAME'");
    }
    return Make([=](Runner& r) {
      RequireLoaded(r);
      size_t i = RequirePdo(r);
      PDEVICE_OBJECT pdo = r.stack().Pdo(i);
      const std::string what = PowerMinorName(minor) +
                               (minor == IRP_MN_POWER_SEQUENCE ? "" : " " + PowerStateName(t.type, t.state));
      if (minor == IRP_MN_WAIT_WAKE || minor == IRP_MN_POWER_SEQUENCE) {
        // The sequence record must outlive the request: the runner keeps it.
        auto sequence = std::make_shared<POWER_SEQUENCE>();
        r.Keep(sequence);
        host::app::Request request = host::pnp::SendPowerAsync(pdo, minor, [&](PIO_STACK_LOCATION sp) {
          if (minor == IRP_MN_WAIT_WAKE) {
            sp->Parameters.WaitWake.PowerState = static_cast<SYSTEM_POWER_STATE>(t.state);
          } else {
            sp->Parameters.PowerSequence.PowerSequence = sequence.get();
          }
        });
        if (!name.empty()) {
          r.AddRequest(name, RequestKind{}, request);
          CheckNamedStep(r, spec, request, what);
          return;
        }
        NTSTATUS status = request.Wait().status;
        r.Note(what + " -> " + StatusName(status));
        CheckStep(r, spec, status, what);
        return;
      }
      if (!name.empty()) {
        if (t.type != SystemPowerState) throw Failure{"only system power requests can be named", "", ""};
        host::app::Request request =
            host::pnp::SendSystemPowerAsync(pdo, minor, static_cast<SYSTEM_POWER_STATE>(t.state));
        r.AddRequest(name, RequestKind{}, request);
        CheckNamedStep(r, spec, request, what);
        return;
      }
      NTSTATUS status =
          t.type == SystemPowerState
              ? r.stack().SystemPower(i, minor, static_cast<SYSTEM_POWER_STATE>(t.state))
              : r.stack().DevicePower(i, minor, static_cast<DEVICE_POWER_STATE>(t.state));
      r.Note(what + " -> " + StatusName(status));
      CheckStep(r, spec, status, what);
    });
  };

  // fail pool N | fail irp N | fail service NAME STATUS [N]
  table["fail"] = [](Args& args) {
    std::string what = args.Word("'pool', 'irp' or 'service'");
    // "fail driver pool N": the driver's own Nth allocation, counted apart from everyone else's
    // (the bus driver's, the simulation's, the I/O manager's for the application's requests).
    const bool driverOnly = what == "driver";
    if (driverOnly) what = args.Word("'pool' or 'irp' after 'fail driver'");
    if (what == "pool" || what == "irp") {
      uint64_t n = args.Number("which allocation from now (1 = the next)");
      args.End();
      bool pool = what == "pool";
      return Make([=](Runner& r) {
        if (driverOnly && pool) {
          host::verifier::FailPoolAllocation(static_cast<unsigned>(n), Stack::kDriverName);
        } else if (driverOnly) {
          host::verifier::FailIrpAllocation(static_cast<unsigned>(n), Stack::kDriverName);
        } else if (pool) {
          host::verifier::FailPoolAllocation(static_cast<unsigned>(n));
        } else {
          host::verifier::FailIrpAllocation(static_cast<unsigned>(n));
        }
      });
    }
    if (driverOnly) args.Error("expected 'pool' or 'irp' after 'fail driver', found '" + what + "'");
    if (what == "service") {
      std::string service = args.Word("a kernel service name (IoCreateSymbolicLink, ...)");
      NTSTATUS status = args.Status("the status it fails with");
      uint64_t n = 1;
      if (!args.AtEnd()) n = args.Number("which call from now (1 = the next)");
      args.End();
      return Make([=](Runner& r) {
        host::verifier::FailService(service, status, static_cast<unsigned>(n));
      });
    }
    args.Error("expected 'pool', 'irp' or 'service' after 'fail', found '" + what + "'");
  };

  // wdm-version 1.10: what IoIsWdmVersionAvailable answers.
  table["wdm-version"] = [](Args& args) {
    std::string v = args.Word("a version such as 1.10");
    args.End();
    auto version = ParseWdmVersion(v);
    if (!version) args.Error("expected a version such as 1.10");
    return Make([=](Runner&) { host::verifier::SetWdmVersion(version->first, version->second); });
  };

  table["advance"] = [](Args& args) {
    int64_t ticks = args.Duration();
    args.End();
    Statement s = Timeless([=](Runner& r) { r.stack().session().AdvanceTime(ticks); });
    s.mainOnly = true;
    return s;
  };

  table["pump"] = [](Args& args) {
    args.End();
    return Timeless([](Runner& r) { r.stack().Pump(); });
  };

  // settle on|off: whether each line first runs what is runnable (default on).
  table["settle"] = [](Args& args) {
    std::string w = args.Word("'on' or 'off'");
    if (w != "on" && w != "off") args.Error("expected 'on' or 'off' after 'settle'");
    args.End();
    bool on = w == "on";
    return Timeless([=](Runner& r) { r.SetSettle(on); });
  };

  table["note"] = [](Args& args) {
    std::string text = args.Rest();
    return Timeless([=](Runner& r) { r.Note(text); });
  };
}

std::optional<std::pair<UCHAR, UCHAR>> ParseWdmVersion(const std::string& text) {
  size_t dot = text.find('.');
  auto major = ParseNumber(text.substr(0, dot));
  auto minor = dot == std::string::npos ? std::optional<uint64_t>(0)
                                        : ParseNumber("0x" + text.substr(dot + 1));
  if (!major || !minor || *major > 255 || *minor > 255) return std::nullopt;
  return std::make_pair(static_cast<UCHAR>(*major), static_cast<UCHAR>(*minor));
}

}  // namespace mdmhost::scenario

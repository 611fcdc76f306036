// Driver and device steps as the system takes them: load and unload, plugging modems and adding
// devices, PnP and power requests, the low-resources simulation, virtual time.
#include <cctype>
#include <strings.h>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

// The status a step ends with against what its line expects; without "->" it must succeed.
void CheckStep(const ResultSpec& spec, NTSTATUS status, const std::string& what) {
  if (spec.given) {
    if (status != spec.status) {
      throw Failure{"wrong status of " + what, "-> " + spec.text, StatusName(status)};
    }
  } else if (!NT_SUCCESS(status)) {
    throw Failure{what + " failed", "success", StatusName(status)};
  }
}

void RequireLoaded(Runner& r) {
  if (!r.stack().Loaded()) throw Failure{"the driver is not loaded ('load' first)", "", ""};
}

size_t RequirePdo(Runner& r) {
  size_t i = r.Device();
  if (r.stack().Pdo(i) == nullptr) {
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
  if (r.stack().FindDevice(label)) {
    throw Failure{"there is already a device labelled '" + label + "' (name it with 'as')", "", ""};
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
  if (spec.given && spec.status == STATUS_PENDING && name.empty()) {
    args.Error("a request expected to stay pending needs a name: add 'as NAME'");
  }
  return Make([=](Runner& r) {
    RequireLoaded(r);
    size_t i = RequirePdo(r);
    const std::string what = "IRP_MN_" + PnpMinorName(minor);
    if (!name.empty()) {
      host::app::Request request = host::pnp::SendPnpAsync(r.stack().Pdo(i), minor);
      if (spec.given && spec.status == STATUS_PENDING) {
        if (request.Done()) {
          throw Failure{what + " finished at once", "-> PENDING", StatusName(request.Result().status)};
        }
      } else if (spec.given) {
        if (!request.Done()) throw Failure{what + " is still pending", "-> " + spec.text, "PENDING"};
        CheckStep(spec, request.Result().status, what);
      }
      r.AddRequest(name, {RequestKind{}, request, r.line()});
      return;
    }
    NTSTATUS status = r.stack().Pnp(i, minor);
    r.Note(what + " -> " + StatusName(status));
    CheckStep(spec, status, what);
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
      CheckStep(spec, status, "DriverEntry");
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
      CheckStep(spec, status, "AddDevice");
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
        CheckStep(spec, status, "IRP_MN_QUERY_CAPABILITIES");
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
      if (spec.given) {
        CheckResult(spec, RequestKind{}, result);
      } else if (!NT_SUCCESS(result.status)) {
        throw Failure{"the WMI request failed", "success", StatusName(result.status)};
      }
    });
  };

  // power set|query S0..S5|D0..D3 [as NAME] [-> STATUS]
  table["power"] = [](Args& args) {
    std::string verb = args.Word("'set' or 'query'");
    UCHAR minor;
    if (verb == "set") {
      minor = IRP_MN_SET_POWER;
    } else if (verb == "query") {
      minor = IRP_MN_QUERY_POWER;
    } else {
      args.Error("expected 'set' or 'query' after 'power', found '" + verb + "'");
    }
    std::string stateText = args.Word("a power state (S0..S5, D0..D3)");
    auto target = ParsePowerState(stateText);
    if (!target) args.Error("unknown power state '" + stateText + "' (S0..S5, D0..D3)");
    std::string name;
    if (args.Take("as")) name = args.Word("a request name after 'as'");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    if (spec.given && spec.status == STATUS_PENDING && name.empty()) {
      args.Error("a request expected to stay pending needs a name: add 'as NAME'");
    }
    PowerTarget t = *target;
    return Make([=](Runner& r) {
      RequireLoaded(r);
      size_t i = RequirePdo(r);
      const std::string what = std::string(minor == IRP_MN_SET_POWER ? "SET_POWER " : "QUERY_POWER ") +
                               PowerStateName(t.type, t.state);
      if (!name.empty()) {
        if (t.type != SystemPowerState) throw Failure{"only system power requests can be named", "", ""};
        host::app::Request request = host::pnp::SendSystemPowerAsync(
            r.stack().Pdo(i), minor, static_cast<SYSTEM_POWER_STATE>(t.state));
        if (spec.given && spec.status == STATUS_PENDING) {
          if (request.Done()) {
            throw Failure{what + " finished at once", "-> PENDING",
                          StatusName(request.Result().status)};
          }
        } else if (spec.given) {
          if (!request.Done()) throw Failure{what + " is still pending", "-> " + spec.text, "PENDING"};
          CheckStep(spec, request.Result().status, what);
        }
        r.AddRequest(name, {RequestKind{}, request, r.line()});
        return;
      }
      NTSTATUS status =
          t.type == SystemPowerState
              ? r.stack().SystemPower(i, minor, static_cast<SYSTEM_POWER_STATE>(t.state))
              : r.stack().DevicePower(i, minor, static_cast<DEVICE_POWER_STATE>(t.state));
      r.Note(what + " -> " + StatusName(status));
      CheckStep(spec, status, what);
    });
  };

  // fail pool N | fail irp N | fail service NAME STATUS [N]
  table["fail"] = [](Args& args) {
    std::string what = args.Word("'pool', 'irp' or 'service'");
    if (what == "pool" || what == "irp") {
      uint64_t n = args.Number("which allocation from now (1 = the next)");
      args.End();
      bool pool = what == "pool";
      return Make([=](Runner& r) {
        if (pool) {
          host::verifier::FailPoolAllocation(static_cast<unsigned>(n));
        } else {
          host::verifier::FailIrpAllocation(static_cast<unsigned>(n));
        }
      });
    }
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
    std::string w = args.Word("a duration (500ms, 2s, 100us)");
    auto d = ParseDuration(w);
    if (!d) args.Error("expected a duration such as 500ms, 2s or 100us, found '" + w + "'");
    args.End();
    int64_t ticks = *d;
    return Timeless([=](Runner& r) { r.stack().session().AdvanceTime(ticks); });
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

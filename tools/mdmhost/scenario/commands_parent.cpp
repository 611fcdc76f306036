// The modem's parent in the chain (mdmhost run --chain): steps for the USB device's own stack,
// where the parent bus driver (tavrinbus) stands, and what the device at hub level answers.
//
//   parent descriptors VARIANT   the device answers with these descriptors from now on
//                                (standard, wrong-class, missing-endpoint, ... packet512)
//   parent fail-select           the next SELECT_CONFIGURATION fails (no bandwidth)
//   parent start|stop|query-stop|query-remove|surprise-remove|remove [-> STATUS]
//                                a PnP step for the USB device's stack (a start enumerates again)
//   parent sleep|wake [-> STATUS]
//                                a system power step (S3, S0) for the USB device's stack
//   parent expect selects N [unconfigures M]
//                                SELECT_CONFIGURATION requests the device has seen
//   parent expect power D0|D3    the device's power state
//   parent expect child present|gone
#include <strings.h>

#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

void RequireChain(Runner& r) {
  if (!r.stack().Chain()) throw Failure{"'parent' needs the chain (mdmhost run --chain)", "", ""};
}

void Check(NTSTATUS status, bool given, NTSTATUS expected, const std::string& what) {
  if (given ? status != expected : !NT_SUCCESS(status)) {
    throw Failure{"wrong status of " + what, given ? StatusName(expected) : "success",
                  StatusName(status)};
  }
}

}  // namespace

void AddParentCommands(CommandTable& table) {
  table["parent"] = [](Args& args) {
    static const std::pair<const char*, UCHAR> kSteps[] = {
        {"start", IRP_MN_START_DEVICE},           {"stop", IRP_MN_STOP_DEVICE},
        {"query-stop", IRP_MN_QUERY_STOP_DEVICE}, {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
        {"surprise-remove", IRP_MN_SURPRISE_REMOVAL}, {"remove", IRP_MN_REMOVE_DEVICE},
    };
    std::string verb = args.Word("a parent step (descriptors, start, stop, sleep, expect ...)");
    if (strcasecmp(verb.c_str(), "descriptors") == 0) {
      std::string name = args.Word("a descriptor variant (standard, wrong-class, ...)");
      args.End();
      uint16_t packet = 64;
      std::string variantName = name;
      if (strcasecmp(name.c_str(), "packet512") == 0) {
        packet = 512;
        variantName = "standard";
      }
      auto variant = sim::DescriptorVariantFromName(variantName);
      if (!variant) args.Error("unknown descriptor variant '" + name + "'");
      sim::HubOptions options{*variant, packet, 0x0100};
      return Make([=](Runner& r) {
        RequireChain(r);
        r.stack().device(r.Device()).bus->SetHubOptions(options);
      });
    }
    if (strcasecmp(verb.c_str(), "fail-select") == 0) {
      args.End();
      return Make([](Runner& r) {
        RequireChain(r);
        r.stack().device(r.Device()).bus->FailNextSelect(STATUS_UNSUCCESSFUL,
                                                         static_cast<USBD_STATUS>(0x80000700));
      });
    }
    if (strcasecmp(verb.c_str(), "sleep") == 0 || strcasecmp(verb.c_str(), "wake") == 0) {
      const SYSTEM_POWER_STATE state =
          strcasecmp(verb.c_str(), "sleep") == 0 ? PowerSystemSleeping3 : PowerSystemWorking;
      ResultSpec spec = ParseOptionalResult(args);
      args.End();
      return Make([=](Runner& r) {
        RequireChain(r);
        NTSTATUS status = r.stack().ParentSystemPower(r.Device(), state);
        Check(status, spec.given, spec.status, "parent " + verb);
      });
    }
    if (strcasecmp(verb.c_str(), "expect") == 0) {
      std::string what = args.Word("selects, power or child");
      if (strcasecmp(what.c_str(), "selects") == 0) {
        uint64_t selects = args.Number("the SELECT_CONFIGURATION requests seen");
        std::optional<uint64_t> unconfigures;
        if (args.Take("unconfigures")) unconfigures = args.Number("the unconfigure requests");
        args.End();
        return Make([=](Runner& r) {
          RequireChain(r);
          sim::BusDevice& d = *r.stack().device(r.Device()).bus;
          std::string actual = std::to_string(d.SelectCount()) + " unconfigures " +
                               std::to_string(d.UnconfigureCount());
          if (d.SelectCount() != selects ||
              (unconfigures && d.UnconfigureCount() != *unconfigures)) {
            throw Failure{"wrong configuration requests",
                          std::to_string(selects) +
                              (unconfigures ? " unconfigures " + std::to_string(*unconfigures)
                                            : ""),
                          actual};
          }
        });
      }
      if (strcasecmp(what.c_str(), "power") == 0) {
        std::string state = args.Word("D0 or D3");
        args.End();
        DEVICE_POWER_STATE want = strcasecmp(state.c_str(), "D0") == 0 ? PowerDeviceD0
                                                                        : PowerDeviceD3;
        return Make([=](Runner& r) {
          RequireChain(r);
          DEVICE_POWER_STATE got = r.stack().device(r.Device()).bus->DevicePower();
          if (got != want) {
            throw Failure{"wrong device power state of the USB device", state,
                          "D" + std::to_string(static_cast<int>(got) - 1)};
          }
        });
      }
      if (strcasecmp(what.c_str(), "child") == 0) {
        bool present = args.Take("present");
        if (!present && !args.Take("gone")) args.Error("child present or child gone");
        args.End();
        return Make([=](Runner& r) {
          RequireChain(r);
          bool there = r.stack().Pdo(r.Device()) != nullptr;
          if (there != present) {
            throw Failure{"the modem's PDO", present ? "present" : "gone",
                          there ? "present" : "gone"};
          }
        });
      }
      args.Error("parent expect selects, power or child");
    }
    for (const auto& [word, minor] : kSteps) {
      if (strcasecmp(verb.c_str(), word) != 0) continue;
      UCHAR m = minor;
      ResultSpec spec = ParseOptionalResult(args);
      args.End();
      return Make([=](Runner& r) {
        RequireChain(r);
        NTSTATUS status = r.stack().ParentPnp(r.Device(), m);
        Check(status, spec.given, spec.status, "parent " + verb);
      });
    }
    args.Error("unknown parent step '" + verb + "'");
  };
}

}  // namespace mdmhost::scenario

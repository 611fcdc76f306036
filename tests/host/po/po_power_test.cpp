// The power manager: PoRequestPowerIrp, PoCallDriver to power-pageable devices, PoSetPowerState,
// the system power requests of the PnP manager and the power log.
#include <set>

#include <explore.h>
#include "io_test_support.h"

// Completion routines of the PoStartNextPowerIrp cases, outside the anonymous namespace so that
// reports can name them.
namespace potest {
NTSTATUS StartNextAndGoOn(PDEVICE_OBJECT, PIRP irp, PVOID) {
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}
NTSTATUS ForgetStartNextAndGoOn(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
}  // namespace potest

namespace {

using potest::ForgetStartNextAndGoOn;
using potest::StartNextAndGoOn;

using host::pnp::PowerEvent;
using iotest::Complete;
using iotest::Handlers;

struct Requested {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = HIGH_LEVEL;
};

VOID RecordPowerCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK iosb) {
  auto* r = static_cast<Requested*>(context);
  r->calls++;
  r->device = device;
  r->minor = minor;
  r->state = state;
  r->status = iosb->Status;
  r->irql = KeGetCurrentIrql();
}

class HostPower : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    fdo = CreateFdo();
    // Both drivers release every power request and pass it down / complete it.
    Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
      seenAt.push_back(KeGetCurrentIrql());
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(pdo, irp);
    };
    Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    };
    host::pnp::ClearPowerLog();
  }
  void TearDown() override {
    DeleteFdo(fdo);
    iotest::IoTest::TearDown();
  }
  PDEVICE_OBJECT fdo = nullptr;
  std::vector<KIRQL> seenAt;
};

// Sent as the platform's PoCallDriver sends it: from the caller, at the caller's IRQL, so that
// the completion function of a request the stack completes at once runs before PoRequestPowerIrp
// returns; at DISPATCH_LEVEL to a power-pageable stack, from a worker at PASSIVE_LEVEL.
TEST_F(HostPower, RequestedDeviceRequestIsSentFromTheCallerUnlessPageableAtDispatchLevel) {
  struct Case {
    KIRQL irql;
    bool pageable;
    KIRQL seen;
    bool inline_;
  };
  const Case cases[] = {{PASSIVE_LEVEL, true, PASSIVE_LEVEL, true},
                        {DISPATCH_LEVEL, false, DISPATCH_LEVEL, true},
                        {DISPATCH_LEVEL, true, PASSIVE_LEVEL, false}};
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  UCHAR minorSeen = 0xFF;
  POWER_STATE_TYPE typeSeen = SystemPowerState;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP request) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request);
    minorSeen = location->MinorFunction;
    typeSeen = location->Parameters.Power.Type;
    EXPECT_EQ(location->Parameters.Power.State.DeviceState, PowerDeviceD3);
    EXPECT_EQ(request->IoStatus.Status, STATUS_NOT_SUPPORTED);
    seenAt.push_back(KeGetCurrentIrql());
    PoStartNextPowerIrp(request);
    return Complete(request, STATUS_SUCCESS);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.irql) + (c.pageable ? " pageable" : ""));
    Requested r;
    seenAt.clear();
    host::pnp::ClearPowerLog();
    fdo->Flags = c.pageable ? fdo->Flags | DO_POWER_PAGABLE : fdo->Flags & ~DO_POWER_PAGABLE;
    PIRP irp = nullptr;
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordPowerCompletion, &r, &irp),
              STATUS_PENDING);
    KeLowerIrql(old);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(r.calls, c.inline_ ? 1 : 0);
    session().Pump();
    EXPECT_EQ(minorSeen, IRP_MN_SET_POWER);
    EXPECT_EQ(typeSeen, DevicePowerState);
    EXPECT_EQ(seenAt, std::vector<KIRQL>{c.seen});
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.device, pdo);
    EXPECT_EQ(r.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(r.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto log = host::pnp::PowerLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, PowerEvent::RequestedByDriver);
    EXPECT_EQ(log[1].kind, PowerEvent::Sent);
    EXPECT_EQ(log[2].kind, PowerEvent::Completed);
    EXPECT_EQ(log[2].status, STATUS_SUCCESS);
  }
}

TEST_F(HostPower, CompletionFunctionRunsAtTheCompletersIrql) {
  Requested r;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PIRP pending = nullptr;
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoMarkIrpPending(irp);
    pending = irp;
    return STATUS_PENDING;
  };
  ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, RecordPowerCompletion, &r, nullptr), STATUS_PENDING);
  session().Pump();
  ASSERT_NE(pending, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(pending, STATUS_DEVICE_NOT_READY);
  KeLowerIrql(old);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
}

TEST_F(HostPower, RefusedRequestSendsNothing) {
  Requested r;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  host::verifier::FailService("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordPowerCompletion, &r, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  session().Pump();
  EXPECT_EQ(r.calls, 0);
  EXPECT_TRUE(seenAt.empty());
  EXPECT_TRUE(host::pnp::PowerLog().empty());
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_EJECT, d3, RecordPowerCompletion, &r, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(HostPower, PoCallDriverAtDispatchLevelToAPowerPageableDeviceGoesThroughAWorker) {
  fdo->Flags |= DO_POWER_PAGABLE;
  PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_QUERY_POWER;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP request, PVOID) -> NTSTATUS {
        IoFreeIrp(request);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(PoCallDriver(fdo, irp), STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_TRUE(seenAt.empty());
  session().Pump();
  EXPECT_EQ(seenAt, std::vector<KIRQL>{PASSIVE_LEVEL});
}

TEST_F(HostPower, SetPowerStateReturnsThePreviousState) {
  EXPECT_EQ(host::pnp::ReportedDevicePowerState(fdo), PowerDeviceUnspecified);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoSetPowerState(fdo, DevicePowerState, d0).DeviceState, PowerDeviceUnspecified);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoSetPowerState(fdo, DevicePowerState, d3).DeviceState, PowerDeviceD0);
  EXPECT_EQ(host::pnp::ReportedDevicePowerState(fdo), PowerDeviceD3);
}

// A function driver that turns a system request into a device request (as power policy owners
// do) and finishes the system request when the device request is done.
struct PolicyContext {
  PIRP systemIrp = nullptr;
};

VOID DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* policy = static_cast<PolicyContext*>(context);
  PIRP irp = policy->systemIrp;
  PoStartNextPowerIrp(irp);
  Complete(irp, iosb->Status);
}

TEST_F(HostPower, SystemRequestIsWaitedForWithTheDeviceRequestsAskedForOnTheWay) {
  PolicyContext policy;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.Power.Type == SystemPowerState) {
      EXPECT_EQ(location->Parameters.Power.State.SystemState, PowerSystemSleeping3);
      EXPECT_EQ(location->Parameters.Power.ShutdownType, PowerActionSleep);
      IoMarkIrpPending(irp);
      policy.systemIrp = irp;
      POWER_STATE d3;
      d3.DeviceState = PowerDeviceD3;
      PoRequestPowerIrp(pdo, location->MinorFunction, d3, DeviceRequestDone, &policy, nullptr);
      return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(pdo, irp);
  };
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(host::pnp::SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  auto log = host::pnp::PowerLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].kind, PowerEvent::Sent);
  EXPECT_EQ(log[0].type, SystemPowerState);
  EXPECT_EQ(log[0].state.SystemState, PowerSystemSleeping3);
  EXPECT_EQ(log[1].kind, PowerEvent::RequestedByDriver);
  EXPECT_EQ(log[2].kind, PowerEvent::Sent);
  EXPECT_EQ(log[2].type, DevicePowerState);
  EXPECT_EQ(log[3].kind, PowerEvent::Completed);
  EXPECT_EQ(log[3].type, DevicePowerState);
  EXPECT_EQ(log[4].kind, PowerEvent::Completed);
  EXPECT_EQ(log[4].type, SystemPowerState);
  EXPECT_EQ(log[4].status, STATUS_SUCCESS);
}


// Every driver that handles a power request calls PoStartNextPowerIrp for it while the current
// location is its own, before passing it on or completing it; a driver that sets a completion
// routine may call it there. The bus driver's call does not stand in for the function driver's.

TEST_F(HostPower, EveryDriverCallsPoStartNextPowerIrpAtItsOwnLocation) {
  enum Form { CopyRoutineStarts, Skip, SkipThenStart, CopyRoutineForgets, Complete };
  struct Case {
    Form form;
    const char* report;   // what the report says the driver did ("" none)
    const char* routine;  // the routine it names
  };
  const Case cases[] = {
      {CopyRoutineStarts, "", ""},
      {Skip, " passed IRP_MN_SET_POWER", "FakeDispatch"},
      {SkipThenStart, " passed IRP_MN_SET_POWER", "FakeDispatch"},
      {CopyRoutineForgets, " let the completion of IRP_MN_SET_POWER", "ForgetStartNextAndGoOn"},
      {Complete, " completed IRP_MN_SET_POWER", "FakeDispatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.form));
    Handlers()[fdo] = [this, form = c.form](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      switch (form) {
        case Skip:
          IoSkipCurrentIrpStackLocation(irp);
          break;
        case SkipThenStart:  // the current location is no longer its own
          IoSkipCurrentIrpStackLocation(irp);
          PoStartNextPowerIrp(irp);
          break;
        case CopyRoutineStarts:
        case CopyRoutineForgets:
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoSetCompletionRoutine(
              irp, form == CopyRoutineStarts ? StartNextAndGoOn : ForgetStartNextAndGoOn, nullptr,
              TRUE, TRUE, TRUE);
          break;
        case Complete:
          return iotest::Complete(irp, STATUS_SUCCESS);
      }
      return PoCallDriver(pdo, irp);
    };
    host::verifier::ExpectViolations capture;
    EXPECT_EQ(host::pnp::SendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    if (*c.report == '\0') {
      EXPECT_TRUE(capture.seen().empty()) << capture.Text();
      continue;
    }
    EXPECT_EQ(capture.Count(host::verifier::Rule::PowerIrpWithoutStartNext), 1u) << capture.Text();
    EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
    EXPECT_NE(capture.Text().find("\\Driver\\fakefdo (in "), std::string::npos) << capture.Text();
    EXPECT_NE(capture.Text().find(c.routine), std::string::npos) << capture.Text();
    EXPECT_NE(capture.Text().find(c.report), std::string::npos) << capture.Text();
  }
}

// A policy owner's completion function that takes for granted that PoRequestPowerIrp has
// returned (it reads what the caller sets after the call): the fixed schedule shows it wrong
// (the stack completes the device request inside the call), and the exploring scheduler reaches
// the other order too (the request held back and sent by another thread).
struct Policy {
  PIRP systemIrp = nullptr;
  bool returned = false;
  std::vector<bool> seen;  // `returned` as each completion function found it
};
Policy* gPolicy = nullptr;

VOID PolicyDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK iosb) {
  gPolicy->seen.push_back(gPolicy->returned);
  PoStartNextPowerIrp(gPolicy->systemIrp);
  Complete(gPolicy->systemIrp, iosb->Status);
}

TEST(HostPowerExplore, CompletionFunctionRunsBeforeOrAfterPoRequestPowerIrpReturns) {
  std::set<bool> returnedFirst;
  host::testing::ExploreSettings settings;
  settings.schedules = 40;
  host::testing::Explore(
      [&](const host::SessionOptions& options) {
        host::testing::ScopedSession session(options);
        Handlers().clear();
        PDRIVER_OBJECT bus = host::pnp::LoadDriver(iotest::FakeEntry, "\\Driver\\fakebus");
        PDRIVER_OBJECT function = host::pnp::LoadDriver(iotest::FakeEntry, "\\Driver\\fakefdo");
        PDEVICE_OBJECT pdo = nullptr;
        PDEVICE_OBJECT fdo = nullptr;
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(function, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo),
                  STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_TRUE(host::pnp::ReportPdo(pdo, iotest::kInstance));
        ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
        Policy policy;
        gPolicy = &policy;
        Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
          PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
          if (location->Parameters.Power.Type == SystemPowerState) {
            IoMarkIrpPending(irp);
            policy.systemIrp = irp;
            POWER_STATE d3;
            d3.DeviceState = PowerDeviceD3;
            PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, PolicyDeviceDone, nullptr, nullptr);
            policy.returned = true;  // the fault: too late for a completion run inside the call
            return STATUS_PENDING;
          }
          PoStartNextPowerIrp(irp);
          IoSkipCurrentIrpStackLocation(irp);
          return PoCallDriver(pdo, irp);
        };
        Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
          PoStartNextPowerIrp(irp);
          return Complete(irp, STATUS_SUCCESS);
        };
        EXPECT_EQ(host::pnp::SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3),
                  STATUS_SUCCESS);
        ASSERT_EQ(policy.seen.size(), 1u);
        returnedFirst.insert(policy.seen[0]);
        Handlers().clear();
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
      },
      settings);
  EXPECT_EQ(returnedFirst, (std::set<bool>{false, true}));
}

}  // namespace

// The power manager: PoRequestPowerIrp, PoCallDriver to power-pageable devices, PoSetPowerState,
// the system power requests of the PnP manager and the power log.
#include "io_test_support.h"

namespace {

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
    Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    host::pnp::ClearPowerLog();
  }
  void TearDown() override {
    DeleteFdo(fdo);
    iotest::IoTest::TearDown();
  }
  PDEVICE_OBJECT fdo = nullptr;
  std::vector<KIRQL> seenAt;
};

TEST_F(HostPower, RequestedDeviceRequestGoesToTheTopFromAWorkerThenTheCompletionFunctionRuns) {
  Requested r;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PIRP irp = nullptr;
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
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordPowerCompletion, &r, &irp), STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(r.calls, 0);  // sent from a worker thread, not from the caller
  session().Pump();
  EXPECT_EQ(minorSeen, IRP_MN_SET_POWER);
  EXPECT_EQ(typeSeen, DevicePowerState);
  EXPECT_EQ(seenAt, std::vector<KIRQL>{PASSIVE_LEVEL});
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

}  // namespace

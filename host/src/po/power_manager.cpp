// The power manager: PoCallDriver, PoStartNextPowerIrp, PoRequestPowerIrp, PoSetPowerState, and
// the power log the PnP manager's power requests and the drivers' requests are recorded in.
//
// PoCallDriver passes a power request on as IofCallDriver does. When it is called at
// DISPATCH_LEVEL for a device marked DO_POWER_PAGABLE, the platform hands the call to a system
// worker thread so that the driver sees it at PASSIVE_LEVEL: the host does the same and returns
// STATUS_PENDING. The host does not hold back a second power request of a kind while one is
// active (the platform's serialisation through PoStartNextPowerIrp); it checks instead that every
// driver that handled a power request called PoStartNextPowerIrp for it at its own stack location
// before passing it on or completing it (po/start_next.cpp, PowerIrpWithoutStartNext).
//
// PoRequestPowerIrp builds a device power request for the top of the device's stack and sends it
// as the platform's PoCallDriver does, from the calling thread at the caller's IRQL: the stack's
// dispatch routines run nested inside the caller (inside a completion routine when the caller is
// one), and when the stack completes the request at once the completion function runs before
// PoRequestPowerIrp returns. Called at DISPATCH_LEVEL for a power-pageable stack, it is sent from
// a system worker at PASSIVE_LEVEL instead (PoCallDriver's rule). The platform may also hold the
// request back while another power request of the kind is active for the device and send it later
// from the thread that calls PoStartNextPowerIrp for that one: the exploring scheduler chooses
// between sending it inline and from a worker (sched/explore.cpp decides at the switch point);
// the fixed schedule and threaded mode take the common case, inline. When the stack has completed
// it the completion function runs (at the completer's IRQL, as the platform's completion routine
// does), then the request is freed. It returns STATUS_PENDING. The completion function is charged
// to the requesting driver (pool it allocates counts as that driver's).
//
// PoSetPowerState records the state per device and returns the previous one;
// PowerDeviceUnspecified before the first call.
#include <atomic>
#include <map>

#include "host/pnp.h"
#include "internal/io.h"
#include "internal/routine_call.h"
#include "po.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

struct PowerState {
  std::mutex mutex;
  std::vector<host::pnp::PowerEvent> log;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> deviceStates;
  std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> systemStates;
  long outstandingRequests = 0;  // PoRequestPowerIrp requests not yet finished
};
PowerState& S() {
  static auto* s = new PowerState;
  return *s;
}

PDRIVER_OBJECT RequestingDriver() {
  const ThreadState& t = CurrentThread();
  for (size_t i = t.frames.size(); i-- > 0;) {
    if (t.frames[i].driver != nullptr) return t.frames[i].driver;
    if (t.frames[i].device != nullptr && IopIsLiveDevice(t.frames[i].device)) {
      return t.frames[i].device->DriverObject;
    }
  }
  return nullptr;
}

}  // namespace

namespace host::internal {

void IopPowerLog(host::pnp::PowerEvent::Kind kind, UCHAR minor, POWER_STATE_TYPE type,
                 POWER_STATE state, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().log.push_back(host::pnp::PowerEvent{kind, minor, type, state, status});
}

void IopPowerParameters(PIO_STACK_LOCATION sp, POWER_STATE_TYPE* type, POWER_STATE* state) {
  state->DeviceState = PowerDeviceUnspecified;
  *type = SystemPowerState;
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      *type = sp->Parameters.Power.Type;
      *state = sp->Parameters.Power.State;
      break;
    case IRP_MN_WAIT_WAKE:
      state->SystemState = sp->Parameters.WaitWake.PowerState;
      break;
    default:
      break;
  }
}

void IopPowerCall(host::pnp::PowerEvent::Kind kind, PIO_STACK_LOCATION sp, NTSTATUS status,
                  PDEVICE_OBJECT target, bool viaPoCallDriver) {
  PDRIVER_OBJECT driver = RequestingDriver();
  if (driver == nullptr) return;
  host::pnp::PowerEvent e{kind, sp->MinorFunction, SystemPowerState, {}, status};
  IopPowerParameters(sp, &e.type, &e.state);
  e.driver = IopUtf8(&driver->DriverName);
  if (target != nullptr && IopIsLiveDevice(target) && target->DriverObject != nullptr) {
    e.target = IopUtf8(&target->DriverObject->DriverName);
  }
  e.viaPoCallDriver = viaPoCallDriver;
  std::lock_guard<std::mutex> lock(S().mutex);
  S().log.push_back(std::move(e));
}

long IopOutstandingPowerRequests() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().outstandingRequests;
}

void IopPowerSessionStart() {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().log.clear();
    S().deviceStates.clear();
    S().systemStates.clear();
    S().outstandingRequests = 0;
  }
  PopStartNextSessionStart();
}

}  // namespace host::internal

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (CurrentThread().irql == DISPATCH_LEVEL && IopIsLiveDevice(DeviceObject) &&
      (DeviceObject->Flags & DO_POWER_PAGABLE)) {
    if (TraceOn()) Trace("PoCallDriver(%s, %s) at DISPATCH_LEVEL: passed to a worker thread", DescribeDevice(DeviceObject).c_str(), IopHex(Irp).c_str());
    {
      std::lock_guard<NoSwitchMutex> lock(IopLock());
      if (std::shared_ptr<IrpRecord> record = IopFindIrpLocked(Irp)) record->inFlight = true;
    }
    // Logged here, in the driver's call: the worker that sends it runs no driver routine.
    IopPowerCall(host::pnp::PowerEvent::CallDriver, IoGetNextIrpStackLocation(Irp), STATUS_PENDING,
                 DeviceObject, true);
    PopCheckPowerPasser(Irp);
    QueueSystemWork([DeviceObject, Irp] { IopCallDriver(DeviceObject, Irp, true); },
                    "PoCallDriver to a power-pageable device, from DISPATCH_LEVEL");
    return STATUS_PENDING;
  }
  return IopCallDriver(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  HostSwitchPoint("PoStartNextPowerIrp");
  if (TraceOn()) Trace("PoStartNextPowerIrp(%s)", IopHex(Irp).c_str());
  IopCheckIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
  if (!IopFindIrp(Irp)) return;
  if (Irp->CurrentLocation <= Irp->StackCount) {
    PopStartNext(Irp, RequestingDriver());
    IopPowerCall(host::pnp::PowerEvent::StartNext, IoGetCurrentIrpStackLocation(Irp), STATUS_SUCCESS);
  }
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, PIRP* Irp) {
  NTSTATUS status = STATUS_PENDING;
  PIRP irp = nullptr;
  bool decided = false;  // the switch point made
  if (!IopCheckIrql("PoRequestPowerIrp", DISPATCH_LEVEL)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (auto fault = ServiceFault("PoRequestPowerIrp")) {
    status = *fault;
  } else if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
             MinorFunction != IRP_MN_WAIT_WAKE) {
    status = STATUS_INVALID_PARAMETER;
  } else if (!IopIsLiveDevice(DeviceObject)) {
    Report(Rule::DeviceMisuse, "PoRequestPowerIrp for " + IopHex(DeviceObject) +
                                   ", which is not a device object");
    status = STATUS_INVALID_PARAMETER;
  } else {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    irp = IopAllocateIrp(top->StackSize, IrpOrigin::Host, false);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
      next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
      next->Parameters.Power.Type = DevicePowerState;
      next->Parameters.Power.State = PowerState;
    }
    PDRIVER_OBJECT requester = RequestingDriver();
    auto hooks = std::make_shared<HostIrpHooks>();
    hooks->sender = "power manager (PoRequestPowerIrp)";
    hooks->completed = [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context,
                        requester](PIRP completed) {
      IO_STATUS_BLOCK iosb = completed->IoStatus;
      IopPowerLog(host::pnp::PowerEvent::Completed, MinorFunction, DevicePowerState, PowerState,
                  iosb.Status);
      if (CompletionFunction == nullptr) return;
      Frame frame;
      frame.kind = Frame::PowerCompletion;
      frame.routine = reinterpret_cast<const void*>(CompletionFunction);
      frame.device = DeviceObject;
      frame.irp = completed;
      frame.major = IRP_MJ_POWER;
      frame.minor = MinorFunction;
      frame.driver = requester;
      FrameScope scope(frame);
      CallRoutine(CompletionFunction, DeviceObject, MinorFunction, PowerState, Context, &iosb);
    };
    hooks->finished = [] {
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().outstandingRequests--;
      }
      WakeWaiters();
    };
    IopFindIrp(irp)->host = hooks;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      S().outstandingRequests++;
    }
    {
      host::pnp::PowerEvent e{host::pnp::PowerEvent::RequestedByDriver, MinorFunction,
                              MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState,
                              PowerState, STATUS_PENDING};
      if (requester != nullptr) e.driver = IopUtf8(&requester->DriverName);
      std::lock_guard<std::mutex> lock(S().mutex);
      S().log.push_back(std::move(e));
    }
    // The caller has the request before it is sent: its completion function may run before
    // this call returns.
    if (Irp != nullptr) *Irp = irp;
    auto send = [top, irp, MinorFunction, PowerState](KIRQL irql) {
      IopPowerLog(host::pnp::PowerEvent::Sent, MinorFunction, DevicePowerState, PowerState,
                  STATUS_PENDING);
      IopSendHostIrp(top, irp, irql, true);
    };
    const KIRQL irql = CurrentThread().irql;
    if (irql == DISPATCH_LEVEL && (top->Flags & DO_POWER_PAGABLE)) {
      QueueSystemWork([send] { send(PASSIVE_LEVEL); },
                      "PoRequestPowerIrp at DISPATCH_LEVEL: sending the device power request to "
                      "a power-pageable device");
    } else if (Exploring()) {
      // Inline or held back and sent later by another thread: a worker is offered the sending
      // and the scheduler chooses at the switch point whether it runs first; whoever comes first
      // sends. The offer counts as outstanding until the worker has taken it (so that whoever
      // waits for the driver's power requests also waits for it).
      auto claimed = std::make_shared<std::atomic<bool>>(false);
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().outstandingRequests++;
      }
      QueueSystemWork(
          [send, claimed] {
            if (!claimed->exchange(true)) send(PASSIVE_LEVEL);
            {
              std::lock_guard<std::mutex> lock(S().mutex);
              S().outstandingRequests--;
            }
            WakeWaiters();
          },
          "PoRequestPowerIrp: sending the device power request later");
      HostSwitchPoint("PoRequestPowerIrp");
      decided = true;
      if (!claimed->exchange(true)) send(irql);
    } else {
      HostSwitchPoint("PoRequestPowerIrp");
      decided = true;
      send(irql);
    }
  }
  if (!decided) HostSwitchPoint("PoRequestPowerIrp");
  if (Irp != nullptr && irp == nullptr) *Irp = nullptr;
  if (TraceOn()) {
    Trace("PoRequestPowerIrp(%s, %s, state %d) -> %s %s", DescribeDevice(DeviceObject).c_str(),
          MinorName(IRP_MJ_POWER, MinorFunction), static_cast<int>(PowerState.DeviceState),
          IopStatusText(status).c_str(), IopHex(irp).c_str());
  }
  return status;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (Type == DevicePowerState) {
      auto it = S().deviceStates.find(DeviceObject);
      previous.DeviceState = it != S().deviceStates.end() ? it->second : PowerDeviceUnspecified;
      S().deviceStates[DeviceObject] = State.DeviceState;
    } else {
      auto it = S().systemStates.find(DeviceObject);
      previous.SystemState = it != S().systemStates.end() ? it->second : PowerSystemUnspecified;
      S().systemStates[DeviceObject] = State.SystemState;
    }
  }
  if (TraceOn()) {
    Trace("PoSetPowerState(%s, %s, %d) -> previous %d", DescribeDevice(DeviceObject).c_str(),
          Type == DevicePowerState ? "DevicePowerState" : "SystemPowerState",
          static_cast<int>(State.DeviceState), static_cast<int>(previous.DeviceState));
  }
  return previous;
}

}  // extern "C"

namespace host::pnp {

DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto it = S().deviceStates.find(device);
  return it != S().deviceStates.end() ? it->second : PowerDeviceUnspecified;
}

std::vector<PowerEvent> PowerLog(bool driverCalls) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (driverCalls) return S().log;
  std::vector<PowerEvent> log;
  for (const PowerEvent& e : S().log) {
    if (e.kind == PowerEvent::Sent || e.kind == PowerEvent::Completed ||
        e.kind == PowerEvent::RequestedByDriver) {
      log.push_back(e);
    }
  }
  return log;
}

void ClearPowerLog() {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().log.clear();
}

}  // namespace host::pnp

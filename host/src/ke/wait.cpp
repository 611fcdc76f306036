// KeWaitForSingleObject and KeDelayExecutionThread on top of WaitUntil (sched/scheduler.cpp).
//
// The objects a driver waits on here are events and timers. Timeout: NULL waits forever, 0 polls
// (allowed at DISPATCH_LEVEL), negative is relative, positive an absolute system time. A
// satisfied wait on a synchronization event or timer resets the object in the same step that
// releases the waiter (under the dispatcher lock), so exactly one waiter gets each signal.
//
// A thread that can take kernel APCs (PASSIVE_LEVEL, no fast mutex) runs those queued to it
// before it blocks and whenever one is queued while it is blocked, then waits on (ke/thread.cpp).
// A thread that cannot, and waits for the event of a request it built, waits for the APC that
// would set the event: on the platform it waits forever. That is reported (Deadlock, naming the
// waiting routine, the routine that built the request and the one that completed it, if one has),
// and the host then lets this wait take the APC anyway, so the run goes on.
#include <algorithm>
#include <climits>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

enum ObjectType : UCHAR {
  kNotificationEvent = 0,
  kSynchronizationEvent = 1,
  kNotificationTimer = 8,
  kSynchronizationTimer = 9,
};

// A timeout ends at a clock tick, as the platform's wait timer (a timer of the thread's own) does:
// a relative one at the first tick boundary at or after now + timeout.
std::optional<int64_t> RelativeTimeout(PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return std::nullopt;
  const int64_t now = NowTicks();
  int64_t relative = timeout->QuadPart <= 0 ? -timeout->QuadPart
                                            : timeout->QuadPart - (kSystemTimeEpoch + now);
  if (relative <= 0) return 0;
  if (relative > INT64_MAX - now) return relative;
  return TickBoundaryAtOrAfter(now + relative) - now;
}

std::string TimeoutText(PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return "forever";
  return std::to_string(timeout->QuadPart);
}

std::string RoutineText(const void* routine) {
  return routine != nullptr ? Symbolize(routine) : std::string("code outside any driver routine");
}

// The calling thread cannot take kernel APCs and waits on `object`: if that is the event of a
// request it built, the wait can never end on the platform. Returns true when it reported so.
bool ReportWaitForOwnRequest(ThreadState& t, const void* object, const std::string& what) {
  if (!KernelApcsDisabled(t)) return false;
  std::optional<ThreadRequest> request = OutstandingThreadRequest(t, object);
  if (!request) return false;
  std::string why = IrqlName(t.irql);
  if (!t.heldFastMutexes.empty()) {
    why += ", holding fast mutex " + Hex(reinterpret_cast<uintptr_t>(t.heldFastMutexes.back()));
  }
  std::string built = Symbolize(request->builtBy);
  if (request->builtIn != nullptr && request->builtIn != request->builtBy) {
    built += " in " + Symbolize(request->builtIn);
  }
  std::string state =
      request->completed
          ? "it was completed by " + RoutineText(request->completedIn) + " on '" +
                request->completer + "', and its final stage waits as a kernel APC queued to "
                "this thread"
          : "its final stage will run as a kernel APC queued to this thread when it completes";
  Report(Rule::Deadlock,
         Format("'%s' waits in %s at %s for request %s built by %s: %s, which the thread cannot "
                "take until it is back at PASSIVE_LEVEL, so the event is never set (the wait "
                "takes the APC to go on)",
                t.name.c_str(), what.c_str(), why.c_str(),
                Hex(reinterpret_cast<uintptr_t>(request->irp)).c_str(),
                built.c_str(), state.c_str()));
  return true;
}

}  // namespace

// WaitUntilEx for a thread that takes its kernel APCs while it waits (when it can, or when
// `takeApcs`): the APCs queued before the wait run first; one queued during the wait ends the
// blocked wait, runs, and the wait goes on for what is left of its timeout.
NTSTATUS WaitTakingApcs(const std::function<bool()>& satisfied, const std::string& what,
                        std::optional<int64_t> timeout, const void* object, bool takeApcs) {
  ThreadState& t = CurrentThread();
  if ((!takeApcs && KernelApcsDisabled(t)) || RunningKernelApcs()) {
    return WaitUntilEx(satisfied, what, timeout, object, false);
  }
  std::optional<int64_t> deadline;
  if (timeout) deadline = NowTicks() + *timeout;
  for (;;) {
    RunKernelApcs(t);
    std::optional<int64_t> left;
    if (deadline) left = std::max<int64_t>(0, *deadline - NowTicks());
    bool apc = false;
    NTSTATUS status = WaitUntilEx(
        [&t, &apc, &satisfied] {
          if (!t.kernelApcs.empty()) {
            apc = true;
            return true;
          }
          return satisfied();
        },
        what, left, object, false);
    if (status != STATUS_SUCCESS || !apc) return status;
  }
}
}  // namespace host::internal

using namespace host::internal;

extern "C" {

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  HostSwitchPoint("KeWaitForSingleObject");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const void* caller = __builtin_return_address(0);
  const UCHAR type = header->Type;
  const char* kind = type == kNotificationEvent || type == kSynchronizationEvent ? "event" : "timer";
  if (type != kNotificationEvent && type != kSynchronizationEvent && type != kNotificationTimer &&
      type != kSynchronizationTimer) {
    Report(Rule::ObjectMisuse, Format("KeWaitForSingleObject on %s, which is not an initialised "
                                      "event or timer (type %u)",
                                      Hex(reinterpret_cast<uintptr_t>(Object)).c_str(), type));
    return STATUS_INVALID_PARAMETER;
  }
  const bool autoReset = type == kSynchronizationEvent || type == kSynchronizationTimer;
  std::string what = Format("KeWaitForSingleObject on %s %s (timeout %s) called from %s", kind,
                            Hex(reinterpret_cast<uintptr_t>(Object)).c_str(),
                            TimeoutText(Timeout).c_str(), Symbolize(caller).c_str());
  if (TraceOn()) Trace("%s ...", what.c_str());
  const bool forced = ReportWaitForOwnRequest(CurrentThread(), Object, what);
  NTSTATUS status = WaitTakingApcs(
      [header, autoReset] {
        if (header->SignalState <= 0) return false;
        if (autoReset) header->SignalState = 0;
        return true;
      },
      what, RelativeTimeout(Timeout), Object, forced);
  if (TraceOn()) Trace("KeWaitForSingleObject(%p) -> 0x%X", Object, static_cast<unsigned>(status));
  return status;
}

// Interval: negative relative, positive absolute system time. Returns STATUS_SUCCESS when the
// interval has passed (STATUS_ABANDONED if a deterministic wait deadlocked).
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  KIRQL irql = CurrentThread().irql;
  if (TraceOn()) Trace("KeDelayExecutionThread(%s)", TimeoutText(Interval).c_str());
  if (irql > APC_LEVEL) {
    Report(Rule::IrqlMisuse, "KeDelayExecutionThread at " + IrqlName(irql) + " (APC_LEVEL at most)");
    return STATUS_SUCCESS;
  }
  std::optional<int64_t> timeout = RelativeTimeout(Interval);
  if (!timeout) timeout = 0;
  std::string what = "KeDelayExecutionThread(" + TimeoutText(Interval) + ") called from " +
                     Symbolize(__builtin_return_address(0));
  NTSTATUS status = WaitTakingApcs([] { return false; }, what, timeout, nullptr, false);
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

}  // extern "C"

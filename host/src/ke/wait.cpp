// KeWaitForSingleObject and KeDelayExecutionThread on top of WaitUntil (sched/scheduler.cpp).
//
// The objects a driver waits on here are events and timers. Timeout: NULL waits forever, 0 polls
// (allowed at DISPATCH_LEVEL), negative is relative, positive an absolute system time. A
// satisfied wait on a synchronization event or timer resets the object in the same step that
// releases the waiter (under the dispatcher lock), so exactly one waiter gets each signal.
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

}  // namespace
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
  NTSTATUS status = WaitUntilEx(
      [header, autoReset] {
        if (header->SignalState <= 0) return false;
        if (autoReset) header->SignalState = 0;
        return true;
      },
      what, RelativeTimeout(Timeout), Object, false);
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
  NTSTATUS status = WaitUntilEx([] { return false; }, what, timeout, nullptr, false);
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

}  // extern "C"

// Events. The signal state lives in the event (Header.SignalState) and changes only under the
// dispatcher lock, where waits evaluate it: a notification event releases every waiter and stays
// signalled; a synchronization event releases one waiter and is reset by that release (the
// waiter's condition consumes it, see wait.cpp).
#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

void CheckAtMostDispatch(const char* service, PRKEVENT event) {
  KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s on event %s at %s (above DISPATCH_LEVEL)", service,
                                    Hex(reinterpret_cast<uintptr_t>(event)).c_str(),
                                    IrqlName(irql).c_str()));
  }
}

}  // namespace
}  // namespace host::internal

using namespace host::internal;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (TraceOn()) Trace("KeInitializeEvent(%p, %s, %d)", static_cast<void*>(Event), Type == SynchronizationEvent ? "SynchronizationEvent" : "NotificationEvent", State);
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  Event->Header.Type = static_cast<UCHAR>(Type == SynchronizationEvent ? 1 : 0);
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

// Returns the previous state. `Wait` (the caller waits right after, keeping its IRQL) has no
// meaning on the host.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  HostSwitchPoint("KeSetEvent");
  CheckAtMostDispatch("KeSetEvent", Event);
  LONG previous;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  if (TraceOn()) Trace("KeSetEvent(%p, %d, %d) -> %d", static_cast<void*>(Event), Increment, Wait, previous);
  WakeWaiters(Event);
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  HostSwitchPoint("KeClearEvent");
  CheckAtMostDispatch("KeClearEvent", Event);
  if (TraceOn()) Trace("KeClearEvent(%p)", static_cast<void*>(Event));
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  HostSwitchPoint("KeResetEvent");
  CheckAtMostDispatch("KeResetEvent", Event);
  LONG previous;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
  }
  if (TraceOn()) Trace("KeResetEvent(%p) -> %d", static_cast<void*>(Event), previous);
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  return Event->Header.SignalState;
}

}  // extern "C"

// Fast mutexes: acquire raises to APC_LEVEL (saving the old IRQL in the mutex) and blocks while
// another thread owns it; not recursive. Count is 1 when free and 0 when owned; Owner is the
// owning thread's state. Both change only under the dispatcher lock.
#include <algorithm>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

std::string MutexText(PFAST_MUTEX m) { return "fast mutex " + Hex(reinterpret_cast<uintptr_t>(m)); }

// Above APC_LEVEL the platform cannot block the caller: reported, and the acquire goes on only
// if the mutex is free.
bool CheckAcquire(const char* service, PFAST_MUTEX m, ThreadState& t) {
  if (t.irql > APC_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s of %s at %s (APC_LEVEL at most)", service,
                                    MutexText(m).c_str(), IrqlName(t.irql).c_str()));
  }
  bool mine;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    mine = m->Owner == &t;
  }
  if (mine) {
    Report(Rule::FastMutexMisuse, Format("%s of %s, which this thread already owns (fast mutexes "
                                         "are not recursive: the thread would wait for itself)",
                                         service, MutexText(m).c_str()));
    return false;
  }
  return true;
}

// Dispatcher lock held.
bool TakeLocked(PFAST_MUTEX m, ThreadState& t) {
  if (m->Count != 1) return false;
  m->Count = 0;
  m->Owner = &t;
  return true;
}

void Acquired(PFAST_MUTEX m, ThreadState& t, KIRQL old) {
  m->OldIrql = old;
  t.heldFastMutexes.push_back(m);
  if (t.irql < APC_LEVEL) t.irql = APC_LEVEL;
}

}  // namespace

void ForceReleaseFastMutexes(ThreadState& t, size_t keep) {
  bool released = false;
  while (t.heldFastMutexes.size() > keep) {
    auto* m = static_cast<PFAST_MUTEX>(const_cast<void*>(t.heldFastMutexes.back()));
    t.heldFastMutexes.pop_back();
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    if (m->Owner == &t) {
      m->Owner = nullptr;
      m->Count = 1;
      released = true;
    }
  }
  if (released) WakeWaiters();
}

}  // namespace host::internal

using namespace host::internal;

extern "C" {

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  if (TraceOn()) Trace("ExInitializeFastMutex(%p)", static_cast<void*>(FastMutex));
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
  }
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  HostSwitchPoint("ExAcquireFastMutex");
  ThreadState& t = CurrentThread();
  const KIRQL old = t.irql;
  if (TraceOn()) Trace("ExAcquireFastMutex(%p) at %s", static_cast<void*>(FastMutex), IrqlName(old).c_str());
  if (!CheckAcquire("ExAcquireFastMutex", FastMutex, t)) return;
  bool taken;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    taken = TakeLocked(FastMutex, t);
    if (!taken) FastMutex->Contention++;
  }
  if (!taken) {
    if (old > APC_LEVEL) return;  // reported above; cannot block here
    // Raised before blocking, as on the platform: the waiter sits at APC_LEVEL.
    t.irql = APC_LEVEL;
    std::string what = "ExAcquireFastMutex of " + MutexText(FastMutex) + " called from " +
                       Symbolize(__builtin_return_address(0));
    NTSTATUS status = WaitUntilEx([FastMutex, &t] { return TakeLocked(FastMutex, t); }, what,
                                  std::nullopt, FastMutex, false);
    if (status != STATUS_SUCCESS) {
      t.irql = old;  // deadlock reported (or the session ends): the mutex was not acquired
      return;
    }
  }
  Acquired(FastMutex, t, old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  ThreadState& t = CurrentThread();
  const KIRQL old = t.irql;
  if (!CheckAcquire("ExTryToAcquireFastMutex", FastMutex, t)) return FALSE;
  bool taken;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    taken = TakeLocked(FastMutex, t);
  }
  if (taken) Acquired(FastMutex, t, old);
  if (TraceOn()) Trace("ExTryToAcquireFastMutex(%p) -> %s", static_cast<void*>(FastMutex), taken ? "TRUE" : "FALSE");
  return taken ? TRUE : FALSE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  HostSwitchPoint("ExReleaseFastMutex");
  ThreadState& t = CurrentThread();
  if (TraceOn()) Trace("ExReleaseFastMutex(%p)", static_cast<void*>(FastMutex));
  PVOID owner;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    owner = FastMutex->Owner;
  }
  if (owner != &t) {
    std::string who = owner == nullptr ? "it is not owned" : "thread '" + ThreadNameOf(owner) + "' owns it";
    Report(Rule::FastMutexMisuse, Format("ExReleaseFastMutex of %s by a thread that does not own "
                                         "it (%s)",
                                         MutexText(FastMutex).c_str(), who.c_str()));
    return;
  }
  if (t.irql != APC_LEVEL) {
    Report(Rule::IrqlMisuse, Format("ExReleaseFastMutex of %s at %s (it runs at APC_LEVEL)",
                                    MutexText(FastMutex).c_str(), IrqlName(t.irql).c_str()));
  }
  const KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
  }
  auto it = std::find(t.heldFastMutexes.rbegin(), t.heldFastMutexes.rend(), FastMutex);
  if (it != t.heldFastMutexes.rend()) t.heldFastMutexes.erase(std::next(it).base());
  WakeWaiters(FastMutex);
  LowerIrqlFor("ExReleaseFastMutex", old);
}

}  // extern "C"

// The freed-range check: before memory goes back (pool, a device extension, a request), nothing
// the kernel still holds on to may lie inside it. Found and reported as FreedObjectInUse, then
// let go so the kernel never touches the freed memory:
//  - an armed timer (cancelled), or a timer whose DPC lies inside (cancelled);
//  - a queued DPC (dequeued) and a queued work item (dequeued);
//  - an object a thread is waiting on (the wait is abandoned: STATUS_ABANDONED);
//  - a spin lock or fast mutex the freeing thread holds (released).
// Lock-order declarations inside the range are dropped silently. Then the I/O half's checks run
// (remove locks, requests...).
#include <array>
#include <atomic>
#include <cstdlib>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

// The I/O half's checks, registered while the program starts (static initialisers) and never
// removed: read on every free without a lock or a copy.
struct Checks {
  std::mutex mutex;  // registration
  std::array<FreedRangeCheckFn, 8> checks{};
  std::atomic<size_t> count{0};
};
Checks& C() {
  static Checks* c = new Checks;
  return *c;
}

bool InRange(const void* p, const void* base, size_t size) {
  auto c = static_cast<const char*>(p);
  auto b = static_cast<const char*>(base);
  return c >= b && c < b + size;
}

}  // namespace

void AddFreedRangeCheck(FreedRangeCheckFn check) {
  Checks& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  const size_t n = c.count.load();
  if (n == c.checks.size()) std::abort();  // more checks than the table holds: make it larger
  c.checks[n] = check;
  c.count.store(n + 1);
}

void CheckFreedRange(const void* base, size_t size, const char* what) {
  if (base == nullptr || size == 0) return;
  if (what == nullptr) what = "memory";
  std::vector<std::string> findings;
  bool abandoned = false;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    FreedRangeTimersDpcs(base, size, what, &findings);
    FreedRangeWorkItems(base, size, what, &findings);
    for (WaitRecord* w : ActiveWaits()) {
      if (w->object != nullptr && !w->abandoned && InRange(w->object, base, size)) {
        findings.push_back("thread '" + w->thread + "' is waiting on object " +
                           Hex(reinterpret_cast<uintptr_t>(w->object)) + " inside " + what +
                           " being freed (in " + w->what + "); the wait is abandoned");
        w->abandoned = true;
        abandoned = true;
      }
    }
  }
  ThreadState& t = CurrentThread();
  for (size_t i = t.heldLocks.size(); i-- > 0;) {
    if (i < t.heldLocks.size() && InRange(t.heldLocks[i].lock, base, size)) {
      const void* lock = t.heldLocks[i].lock;
      findings.push_back(LockName(lock) + ", held by this thread, is inside " + what +
                         " being freed; it is released");
      ForceReleaseSpinLock(t, lock);
    }
  }
  for (auto it = t.heldFastMutexes.begin(); it != t.heldFastMutexes.end();) {
    if (InRange(*it, base, size)) {
      findings.push_back("fast mutex " + Hex(reinterpret_cast<uintptr_t>(*it)) +
                         ", owned by this thread, is inside " + what + " being freed");
      it = t.heldFastMutexes.erase(it);
    } else {
      ++it;
    }
  }
  DropLockDeclarationsIn(base, size);
  if (abandoned) WakeWaiters();
  for (const std::string& f : findings) Report(Rule::FreedObjectInUse, f);
  Checks& c = C();
  const size_t n = c.count.load();
  for (size_t i = 0; i < n; ++i) c.checks[i](base, size, what);
}

}  // namespace host::internal

// The freed-range check: before memory goes back (pool, a device extension, a request), nothing
// the kernel still holds on to may lie inside it. Found and reported as FreedObjectInUse, then
// let go so the kernel never touches the freed memory:
//  - an armed timer (cancelled), or a timer whose DPC lies inside (cancelled);
//  - a queued DPC (dequeued) and a queued work item (dequeued);
//  - an object a thread is waiting on (the wait is abandoned: STATUS_ABANDONED);
//  - a spin lock or fast mutex the freeing thread holds (released).
// Lock-order declarations inside the range are dropped silently. Then the I/O half's checks run
// (remove locks, requests...).
#include "core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

struct Checks {
  std::mutex mutex;
  std::vector<std::function<void(const void*, size_t, const char*)>> checks;
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

void AddFreedRangeCheck(std::function<void(const void*, size_t, const char*)> check) {
  Checks& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.checks.push_back(std::move(check));
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
  std::vector<std::function<void(const void*, size_t, const char*)>> checks;
  {
    Checks& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    checks = c.checks;
  }
  for (auto& check : checks) check(base, size, what);
}

}  // namespace host::internal

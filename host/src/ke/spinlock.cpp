// Spin locks and the lock-order check.
//
// A KSPIN_LOCK word is 0 when free and holds the owner's ThreadState address when taken. It is a
// real lock in both modes: taken with an acquiring compare-exchange, given back with a releasing
// store, so ThreadSanitizer sees the synchronisation the driver relies on.
//
// Where the platform would hang, the host reports and goes on instead:
//  - taking a lock the thread already holds (the platform spins forever): SpinLockMisuse; the
//    thread is recorded as holding it twice, and the lock is free again after both releases;
//  - deterministic mode, a lock held by another thread (which cannot run while this one spins):
//    SpinLockMisuse; the caller goes on as if it had the lock (the word keeps the first owner).
//    Under the exploring scheduler the holder may merely be switched out: the caller is then not
//    run until the lock is free, and only a holder that can never run again is reported;
//  - threaded mode, a lock word held by a thread that no longer exists (or never initialised):
//    SpinLockMisuse after a while of spinning; the caller takes the lock over.
#include <map>
#include <thread>

#include "internal/core.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

struct Declaration {
  std::string name;
  int rank;
};

struct Declarations {
  std::mutex mutex;
  std::map<const void*, Declaration> locks;
};
Declarations& Decls() {
  static Declarations* d = new Declarations;
  return *d;
}

KSPIN_LOCK gCancelSpinLock = 0;

std::optional<Declaration> FindDeclaration(const void* lock) {
  Declarations& d = Decls();
  std::lock_guard<std::mutex> guard(d.mutex);
  auto it = d.locks.find(lock);
  if (it == d.locks.end()) return std::nullopt;
  return it->second;
}

// The rank alone, without the name: taken on every acquisition made while another lock is held.
std::optional<int> FindRank(const void* lock) {
  Declarations& d = Decls();
  std::lock_guard<std::mutex> guard(d.mutex);
  auto it = d.locks.find(lock);
  if (it == d.locks.end()) return std::nullopt;
  return it->second.rank;
}

// A thread holding declared lock H may take declared lock L only if rank(H) < rank(L); rank 0
// is held alone.
void CheckLockOrder(const ThreadState& t, const void* lock) {
  if (t.heldLocks.empty()) return;
  std::optional<int> takenRank = FindRank(lock);
  if (!takenRank) return;
  for (const HeldLock& held : t.heldLocks) {
    if (held.lock == lock) continue;
    std::optional<int> heldRank = FindRank(held.lock);
    if (!heldRank) continue;
    if (*heldRank != 0 && *takenRank != 0 && *heldRank < *takenRank) continue;
    std::optional<Declaration> taken = FindDeclaration(lock);
    std::optional<Declaration> h = FindDeclaration(held.lock);
    if (!taken || !h) continue;  // declarations dropped meanwhile
    std::string problem;
    if (h->rank == 0) {
      problem = Format("%s taken while holding %s, which must be held alone",
                       LockName(lock).c_str(), LockName(held.lock).c_str());
    } else if (taken->rank == 0) {
      problem = Format("%s, which must be held alone, taken while holding %s",
                       LockName(lock).c_str(), LockName(held.lock).c_str());
    } else if (!(h->rank < taken->rank)) {
      problem = Format("%s (rank %d) taken while holding %s (rank %d): the declared order takes "
                       "%s before %s",
                       LockName(lock).c_str(), taken->rank, LockName(held.lock).c_str(), h->rank,
                       taken->name.c_str(), h->name.c_str());
    }
    if (!problem.empty()) {
      Report(Rule::LockOrder, problem);
      return;
    }
  }
}

bool Holds(const ThreadState& t, const void* lock) {
  for (const HeldLock& held : t.heldLocks) {
    if (held.lock == lock) return true;
  }
  return false;
}

// Takes the word for the calling thread; `irqlBefore` is what the release will restore.
void AcquireWord(const char* service, PKSPIN_LOCK lock, KIRQL irqlBefore) {
  ThreadState& t = CurrentThread();
  const bool cancel = lock == &gCancelSpinLock;
  if (Holds(t, lock)) {
    Report(Rule::SpinLockMisuse,
           Format("%s of %s, which this thread already holds (the processor would spin forever)",
                  service, LockName(lock).c_str()));
    t.heldLocks.push_back(HeldLock{lock, irqlBefore, cancel});
    return;
  }
  CheckLockOrder(t, lock);
  const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&t);
  unsigned long spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    if (Deterministic()) {
      // Exploring: the holder was switched out while holding it; it runs until it lets go.
      if (ExploreSpin(lock)) continue;
      std::string owner = ThreadNameOf(reinterpret_cast<const void*>(expected));
      Report(Rule::SpinLockMisuse,
             Format("%s of %s, held by %s, which cannot run while this thread spins", service,
                    LockName(lock).c_str(),
                    owner.empty() ? "no live thread (not initialised?)" : ("thread '" + owner + "'").c_str()));
      break;
    }
    if (++spins % (1u << 20) == 0 && !IsLiveThreadState(reinterpret_cast<const void*>(expected))) {
      Report(Rule::SpinLockMisuse,
             Format("%s of %s: its word (%s) names no live thread (never initialised, or its "
                    "owner ended without releasing it)",
                    service, LockName(lock).c_str(), Hex(expected).c_str()));
      // Take the word over, with the acquire a normal acquisition has.
      __atomic_exchange_n(lock, me, __ATOMIC_ACQ_REL);
      break;
    }
    std::this_thread::yield();
  }
  t.heldLocks.push_back(HeldLock{lock, irqlBefore, cancel});
}

// Gives the word back. False (and reported) if the thread does not hold the lock.
bool ReleaseWord(const char* service, PKSPIN_LOCK lock) {
  ThreadState& t = CurrentThread();
  size_t index = t.heldLocks.size();
  size_t count = 0;
  for (size_t i = 0; i < t.heldLocks.size(); ++i) {
    if (t.heldLocks[i].lock == lock) {
      index = i;
      ++count;
    }
  }
  if (count == 0) {
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    std::string owner = word ? ThreadNameOf(reinterpret_cast<const void*>(word)) : "";
    Report(Rule::SpinLockMisuse,
           Format("%s of %s, which this thread does not hold%s", service, LockName(lock).c_str(),
                  word == 0 ? " (it is free)"
                            : (owner.empty() ? " (its word is not a thread's)"
                                             : (" (thread '" + owner + "' holds it)").c_str())));
    return false;
  }
  t.heldLocks.erase(t.heldLocks.begin() + static_cast<std::ptrdiff_t>(index));
  if (count == 1) {
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&t);
    ULONG_PTR expected = me;
    // Not ours when deterministic mode let this thread go on past another owner.
    __atomic_compare_exchange_n(lock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
  }
  return true;
}

}  // namespace

KSPIN_LOCK* CancelSpinLock() { return &gCancelSpinLock; }

std::string LockName(const void* lock) {
  std::optional<Declaration> d = FindDeclaration(lock);
  if (d) return d->name + " (" + Hex(reinterpret_cast<uintptr_t>(lock)) + ")";
  return "spin lock " + Hex(reinterpret_cast<uintptr_t>(lock));
}

std::string HeldLocksText(const ThreadState& state) {
  std::string text;
  for (const HeldLock& held : state.heldLocks) {
    if (!text.empty()) text += ", ";
    text += LockName(held.lock);
  }
  return text.empty() ? "none" : text;
}

void ForceReleaseSpinLock(ThreadState& state, const void* lock) {
  for (size_t i = state.heldLocks.size(); i-- > 0;) {
    if (state.heldLocks[i].lock != lock) continue;
    state.heldLocks.erase(state.heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
    if (!Holds(state, lock)) {
      ULONG_PTR expected = reinterpret_cast<ULONG_PTR>(&state);
      __atomic_compare_exchange_n(const_cast<PKSPIN_LOCK>(static_cast<const KSPIN_LOCK*>(lock)),
                                  &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
    }
    return;
  }
}

void DropLockDeclarationsIn(const void* base, size_t size) {
  Declarations& d = Decls();
  std::lock_guard<std::mutex> guard(d.mutex);
  auto begin = static_cast<const char*>(base);
  auto it = d.locks.lower_bound(base);
  while (it != d.locks.end() && static_cast<const char*>(it->first) < begin + size) {
    it = d.locks.erase(it);
  }
}

void ResetLockDeclarations() {
  {
    Declarations& d = Decls();
    std::lock_guard<std::mutex> guard(d.mutex);
    d.locks.clear();
  }
  __atomic_store_n(&gCancelSpinLock, 0, __ATOMIC_RELEASE);
  verifier::DeclareLock(&gCancelSpinLock, "cancel spin lock", verifier::kCancelSpinLockRank);
}

}  // namespace host::internal

namespace host::verifier {
void DeclareLock(const void* lock, const char* name, int rank) {
  auto& d = internal::Decls();
  std::lock_guard<std::mutex> guard(d.mutex);
  d.locks[lock] = internal::Declaration{name ? name : "spin lock", rank};
}
}  // namespace host::verifier

using namespace host::internal;

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (TraceOn()) Trace("KeInitializeSpinLock(%s)", LockName(SpinLock).c_str());
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// Raises to DISPATCH_LEVEL, then takes the lock. Callable at up to DISPATCH_LEVEL.
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  HostSwitchPoint("KeAcquireSpinLock");
  ThreadState& t = CurrentThread();
  KIRQL old = t.irql;
  if (TraceOn()) Trace("KeAcquireSpinLock(%s) at %s", LockName(SpinLock).c_str(), IrqlName(old).c_str());
  if (old > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("KeAcquireSpinLock of %s at %s (above DISPATCH_LEVEL)",
                                    LockName(SpinLock).c_str(), IrqlName(old).c_str()));
  } else {
    t.irql = DISPATCH_LEVEL;
  }
  *OldIrql = old;
  AcquireWord("KeAcquireSpinLock", SpinLock, old);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (TraceOn()) Trace("KeReleaseSpinLock(%s, %s)", LockName(SpinLock).c_str(), IrqlName(NewIrql).c_str());
  if (ReleaseWord("KeReleaseSpinLock", SpinLock)) {
    LowerIrqlFor("KeReleaseSpinLock", NewIrql);
  } else if (NewIrql <= CurrentThread().irql) {
    CurrentThread().irql = NewIrql;
  }
  // After the release: the lock is free for whoever runs next.
  HostSwitchPoint("KeReleaseSpinLock");
}

// The caller is already at DISPATCH_LEVEL (a DPC, a completion routine at DISPATCH_LEVEL, or
// inside another spin lock).
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  HostSwitchPoint("KeAcquireSpinLockAtDpcLevel");
  ThreadState& t = CurrentThread();
  if (TraceOn()) Trace("KeAcquireSpinLockAtDpcLevel(%s) at %s", LockName(SpinLock).c_str(), IrqlName(t.irql).c_str());
  if (t.irql != DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("KeAcquireSpinLockAtDpcLevel of %s at %s (it requires "
                                    "DISPATCH_LEVEL)",
                                    LockName(SpinLock).c_str(), IrqlName(t.irql).c_str()));
  }
  AcquireWord("KeAcquireSpinLockAtDpcLevel", SpinLock, t.irql);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ThreadState& t = CurrentThread();
  if (TraceOn()) Trace("KeReleaseSpinLockFromDpcLevel(%s)", LockName(SpinLock).c_str());
  if (t.irql != DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("KeReleaseSpinLockFromDpcLevel of %s at %s (it requires "
                                    "DISPATCH_LEVEL)",
                                    LockName(SpinLock).c_str(), IrqlName(t.irql).c_str()));
  }
  ReleaseWord("KeReleaseSpinLockFromDpcLevel", SpinLock);
  HostSwitchPoint("KeReleaseSpinLockFromDpcLevel");
}

}  // extern "C"

// Remove locks.
//
// The count starts at 1: the lock's own bias, which only IoReleaseRemoveLockAndWait gives back
// (implementations differ here; this is the platform's free build, and the count a driver sees
// in IoCount after IoInitializeRemoveLock is 1). Acquire adds one and fails with
// STATUS_DELETE_PENDING once release-and-wait has begun (Removed); release takes one away and
// signals RemoveEvent at 0; release-and-wait sets Removed, gives back the caller's hold and the
// bias, and waits until RemoveEvent is signalled (the count has reached 0 and the last releaser
// has finished signalling).
//
// Holds are tracked per tag (a multiset kept beside the lock, keyed by its address) with the
// file and line of the acquire:
//  - releasing a tag that holds nothing is RemoveLockReleaseWithoutAcquire, and the count is
//    not touched (it would otherwise reach 0 while a real holder still works);
//  - memory holding a lock with holds left is freed (the device deleted): RemoveLockHeldAtDelete
//    listing every tag still held and where it was acquired.
#include <cstring>
#include <map>

#include "iop.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

// A driver takes and gives back a hold for every request, so a hold keeps where it was taken
// without allocating: the end of the acquiring file's path and the line.
struct Hold {
  PVOID tag;
  ULONG line = 0;
  char file[40] = {};
};

Hold MakeHold(PVOID tag, PCSTR file, ULONG line) {
  Hold h;
  h.tag = tag;
  h.line = line;
  if (file != nullptr) {
    size_t n = strlen(file);
    const char* tail = n < sizeof h.file ? file : file + n - (sizeof h.file - 1);
    strncpy(h.file, tail, sizeof h.file - 1);
  }
  return h;
}

// By the lock's address, in order: every free looks for the locks inside the freed range.
struct RemoveLockTable {
  std::mutex mutex;
  std::map<const void*, std::vector<Hold>> holds;
};
RemoveLockTable& L() {
  static auto* table = new RemoveLockTable;
  return *table;
}

std::string HoldsText(const std::vector<Hold>& holds) {
  std::string text;
  for (const Hold& h : holds) {
    if (!text.empty()) text += ", ";
    text += "tag " + IopHex(h.tag);
    if (h.file[0] != 0) text += " (acquired at " + std::string(h.file) + ":" + std::to_string(h.line) + ")";
  }
  return text.empty() ? "none" : text;
}

// Takes one hold of `tag` away; false (and a report) if there is none.
bool TakeHold(PIO_REMOVE_LOCK lock, PVOID tag, const char* service) {
  std::string held;
  {
    std::lock_guard<std::mutex> guard(L().mutex);
    std::vector<Hold>& holds = L().holds[lock];
    for (auto it = holds.begin(); it != holds.end(); ++it) {
      if (it->tag == tag) {
        holds.erase(it);
        return true;
      }
    }
    held = HoldsText(holds);
  }
  Report(Rule::RemoveLockReleaseWithoutAcquire,
         std::string(service) + " of remove lock " + IopHex(lock) + " with tag " + IopHex(tag) +
             ", which was not acquired with that tag (holds: " + held + ")");
  return false;
}

void Decrement(PIO_REMOVE_LOCK lock) {
  if (InterlockedDecrement(&lock->Common.IoCount) == 0) {
    KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  // The count concerns waits on no object only (release-and-wait waits on its event's state).
  WakeWaiters(lock);
}

struct RegisterRangeCheck {
  RegisterRangeCheck() { AddFreedRangeCheck(IopRemoveLockCheckRange); }
};
RegisterRangeCheck gRegisterRangeCheck;

}  // namespace

namespace host::internal {

void IopRemoveLockCheckRange(const void* base, size_t size, const char* what) {
  std::vector<std::string> findings;
  {
    std::lock_guard<std::mutex> guard(L().mutex);
    const auto* end = static_cast<const UCHAR*>(base) + size;
    for (auto it = L().holds.lower_bound(base);
         it != L().holds.end() && static_cast<const UCHAR*>(it->first) < end;
         it = L().holds.erase(it)) {
      if (!it->second.empty()) {
        findings.push_back("remove lock " + IopHex(it->first) + " in " + what + " still has " +
                           std::to_string(it->second.size()) + " hold" +
                           (it->second.size() == 1 ? "" : "s") +
                           " when it is freed: " + HoldsText(it->second));
      }
    }
  }
  for (const std::string& f : findings) Report(Rule::RemoveLockHeldAtDelete, f);
}

void IopRemoveLockSessionStart() {
  std::lock_guard<std::mutex> guard(L().mutex);
  L().holds.clear();
}

}  // namespace host::internal

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
  if (TraceOn()) Trace("IoInitializeRemoveLockEx(%s)", IopHex(Lock).c_str());
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  std::lock_guard<std::mutex> guard(L().mutex);
  L().holds[Lock].clear();
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
  HostSwitchPoint("IoAcquireRemoveLock");
  IopCheckIrql("IoAcquireRemoveLock", DISPATCH_LEVEL);
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  NTSTATUS status;
  if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    const Hold hold = MakeHold(Tag, File, Line);
    std::lock_guard<std::mutex> guard(L().mutex);
    L().holds[RemoveLock].push_back(hold);
    status = STATUS_SUCCESS;
  } else {
    Decrement(RemoveLock);
    status = STATUS_DELETE_PENDING;
  }
  if (TraceOn()) {
    Trace("IoAcquireRemoveLock(%s, tag %s) -> %s", IopHex(RemoveLock).c_str(),
          IopHex(Tag).c_str(), IopStatusText(status).c_str());
  }
  return status;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  HostSwitchPoint("IoReleaseRemoveLock");
  if (TraceOn()) Trace("IoReleaseRemoveLock(%s, tag %s)", IopHex(RemoveLock).c_str(), IopHex(Tag).c_str());
  IopCheckIrql("IoReleaseRemoveLock", DISPATCH_LEVEL);
  if (TakeHold(RemoveLock, Tag, "IoReleaseRemoveLock")) Decrement(RemoveLock);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  HostSwitchPoint("IoReleaseRemoveLockAndWait");
  if (TraceOn()) Trace("IoReleaseRemoveLockAndWait(%s, tag %s)", IopHex(RemoveLock).c_str(), IopHex(Tag).c_str());
  IopCheckIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
  __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
  bool held = TakeHold(RemoveLock, Tag, "IoReleaseRemoveLockAndWait");
  Decrement(RemoveLock);  // the bias
  if (held) Decrement(RemoveLock);
  // Wait for the event, not for the count: the holder that brings the count to 0 signals the
  // event afterwards, and the device (with the lock and its event inside the extension) may be
  // deleted as soon as this returns. The event's state is read under the dispatcher lock, which
  // KeSetEvent holds for its whole access to the event, so the releasing thread is done with the
  // memory by the time the wait can end.
  WaitUntil([RemoveLock] { return RemoveLock->Common.RemoveEvent.Header.SignalState != 0; },
            "IoReleaseRemoveLockAndWait on remove lock " + IopHex(RemoveLock) + " (holds: " +
                [&] {
                  std::lock_guard<std::mutex> guard(L().mutex);
                  return HoldsText(L().holds[RemoveLock]);
                }() + ")",
            std::nullopt);
}

}  // extern "C"

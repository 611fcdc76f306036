// Timers and DPCs.
//
// The host keeps its own tables (under the dispatcher lock) beside the driver's objects: the DPC
// queue in FIFO order (HighImportance DPCs go to the front) and the armed timers ordered by the
// moment they expire, then by due time, then by the order they were set. The objects' own fields
// mirror the state the platform gives them: KDPC::DpcData is non-NULL while queued,
// KTIMER::Header.Inserted is TRUE while set, Header.SignalState is the timer's signal state,
// DueTime the absolute interrupt time it is due at.
//
// The clock: the platform expires timers from its clock interrupt, so a timer due at interrupt
// time t expires at the first tick boundary at or after t (KeQueryTimeIncrement gives the tick);
// one already due when it is set expires at once. Timers expiring in the same tick have no order
// the platform guarantees: the fixed order takes them by due time, the exploring scheduler in an
// order of its choosing.
//
// Expiry signals the timer, re-arms it when periodic (Period milliseconds after the tick it
// expired at) and queues its DPC with KeInsertQueueDpc semantics; SystemArgument1/2 carry the
// low and high words of the expiry's system time, as on the platform.
//
// DPC processors. The platform keeps a DPC queue per processor: KeInsertQueueDpc puts a DPC on
// the queue of the processor it is called on, and each processor runs its own queue. A KDPC is on
// at most one queue at a time (inserting it again while queued returns FALSE); once its routine
// has started it is off the queue and may be queued again, and then run on another processor
// while the first run goes on. So here: a DPC queued by a DPC routine stays on that DPC
// processor's queue (a routine that queues itself again runs again after it, never beside it);
// one queued by a thread, or by the clock, may be taken by any DPC processor, including while the
// same KDPC still runs on another (the platform's behaviour, which the host follows). The fixed
// loop of deterministic mode has one processor: the thread that pumps.
//
// A KDPC is read when its DPC runs, not when it was queued, and never touched after its routine
// returns (the routine may free it).
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

#include "internal/core.h"
#include "internal/routine_call.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 19;

struct ArmedTimer {
  int64_t expiry;  // the tick it expires at
  int64_t due;
  uint64_t sequence;
  PKDPC dpc;
  PKDEFERRED_ROUTINE routine;  // for reports (the KDPC may be gone by then)
};

struct TimerDpcState {
  std::deque<DpcEntry> queue;
  std::unordered_set<PKDPC> queued;
  std::unordered_map<PKDPC, unsigned> running;  // how many DPC processors run it now
  unsigned inFlight = 0;
  std::set<std::tuple<int64_t, int64_t, uint64_t, PKTIMER>> timers;  // expiry, due, sequence
  std::unordered_map<PKTIMER, ArmedTimer> armed;
  uint64_t nextSequence = 0;
  uint64_t timerGeneration = 0;
  std::vector<std::shared_ptr<Thread>> threads;
};
TimerDpcState& T() {
  static TimerDpcState* t = new TimerDpcState;
  return *t;
}

bool InRange(const void* p, const void* base, size_t size) {
  auto c = static_cast<const char*>(p);
  auto b = static_cast<const char*>(base);
  return c >= b && c < b + size;
}

// Dispatcher lock held.
void DisarmLocked(PKTIMER timer) {
  TimerDpcState& t = T();
  auto it = t.armed.find(timer);
  if (it == t.armed.end()) return;
  t.timers.erase({it->second.expiry, it->second.due, it->second.sequence, timer});
  t.armed.erase(it);
  t.timerGeneration++;
}

// Dispatcher lock held. A timer due at `now` or before expires at once (the next clock
// interrupt of the host: the next pump or decision); later, at the tick boundary.
void ArmLocked(PKTIMER timer, int64_t due, PKDPC dpc, int64_t now) {
  TimerDpcState& t = T();
  const int64_t expiry = due <= now ? now : TickBoundaryAtOrAfter(due);
  ArmedTimer a{expiry, due, t.nextSequence++, dpc, dpc ? dpc->DeferredRoutine : nullptr};
  t.armed[timer] = a;
  t.timers.insert({expiry, due, a.sequence, timer});
  timer->Header.Inserted = TRUE;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  t.timerGeneration++;
}

// The DPC processor the calling thread is (its index), or -1.
thread_local int tlsDpcProcessor = -1;

// Dispatcher lock held. KeInsertQueueDpc's semantics; `processor` is the queue (-1: any DPC
// processor may take it).
bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2, int processor) {
  TimerDpcState& t = T();
  if (t.queued.count(dpc)) return false;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = &t.queue;
  DpcEntry entry;
  entry.dpc = dpc;
  entry.routine = dpc->DeferredRoutine;
  entry.processor = processor;
  if (dpc->Importance == HighImportance) {
    t.queue.push_front(std::move(entry));
  } else {
    t.queue.push_back(std::move(entry));
  }
  t.queued.insert(dpc);
  return true;
}

bool RemoveDpcLocked(PKDPC dpc) {
  TimerDpcState& t = T();
  if (!t.queued.count(dpc)) return false;
  for (auto it = t.queue.begin(); it != t.queue.end(); ++it) {
    if (it->dpc == dpc) {
      t.queue.erase(it);
      break;
    }
  }
  t.queued.erase(dpc);
  dpc->DpcData = nullptr;
  return true;
}

std::string TimerText(PKTIMER timer, const ArmedTimer& a) {
  std::string text = "timer " + Hex(reinterpret_cast<uintptr_t>(timer)) + " (set, due at " +
                     std::to_string(a.due) + ", expiring at " + std::to_string(a.expiry);
  if (a.dpc) text += ", DPC routine " + Symbolize(reinterpret_cast<const void*>(a.routine));
  return text + ")";
}

std::string DpcText(const DpcEntry& e) {
  if (e.dpc == nullptr) return "kernel DPC work '" + e.what + "'";
  return "DPC " + Hex(reinterpret_cast<uintptr_t>(e.dpc)) + " (routine " +
         Symbolize(reinterpret_cast<const void*>(e.routine)) + ")";
}

void CheckTimerObject(const char* service, PKTIMER timer) {
  UCHAR type = timer->Header.Type;
  if (type != kTimerNotificationObject && type != kTimerSynchronizationObject) {
    Report(Rule::ObjectMisuse, Format("%s on timer %s, which was never initialised "
                                      "(KeInitializeTimer)",
                                      service, Hex(reinterpret_cast<uintptr_t>(timer)).c_str()));
  }
}

void CheckDpcObject(const char* service, PKDPC dpc) {
  if (dpc->Type != kDpcObject) {
    Report(Rule::ObjectMisuse, Format("%s on DPC %s, which was never initialised "
                                      "(KeInitializeDpc)",
                                      service, Hex(reinterpret_cast<uintptr_t>(dpc)).c_str()));
  }
}

void CheckAtMostDispatch(const char* service) {
  KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, Format("%s at %s (above DISPATCH_LEVEL)", service,
                                    IrqlName(irql).c_str()));
  }
}

void DpcThreadMain(int processor) {
  tlsDpcProcessor = processor;
  for (;;) {
    DpcEntry entry;
    bool got = false;
    WaitUntilEx(
        [&] {
          if (Core().stopping) return true;
          got = ClaimDpc(&entry, processor);  // evaluated by whichever thread decides
          return got;
        },
        "DPC thread idle", std::nullopt, nullptr, true);
    if (!got) {
      if (Core().stopping) return;
      continue;
    }
    RunClaimedDpc(entry);
  }
}

void TimerThreadMain() {
  while (!Core().stopping) {
    if (ExpireDueTimers(NowTicks())) continue;
    std::optional<int64_t> next;
    {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      next = EarliestTimerDue();
    }
    std::optional<int64_t> timeout;
    if (next) timeout = std::max<int64_t>(*next - NowTicks(), 1);
    // Woken only by a timer due before the moment it sleeps until: one set later, or cancelled,
    // leaves it asleep (it then wakes to nothing due and looks again). A read's interval timer,
    // set and cancelled for every read, costs no thread switch.
    WaitUntilEx(
        [&] {
          if (Core().stopping) return true;
          std::optional<int64_t> earliest = EarliestTimerDue();
          return (earliest && (!next || *earliest < *next)) || (next && NowTicks() >= *next);
        },
        "timer thread idle", timeout, nullptr, true);
  }
}

}  // namespace

bool ClaimDpc(DpcEntry* out, int me) {
  TimerDpcState& t = T();
  for (auto it = t.queue.begin(); it != t.queue.end(); ++it) {
    if (me >= 0 && it->processor >= 0 && it->processor != me) continue;
    *out = std::move(*it);
    t.queue.erase(it);
    if (PKDPC dpc = out->dpc) {
      t.queued.erase(dpc);
      t.running[dpc]++;
      out->routine = dpc->DeferredRoutine;
      out->context = dpc->DeferredContext;
      out->argument1 = dpc->SystemArgument1;
      out->argument2 = dpc->SystemArgument2;
      dpc->DpcData = nullptr;
    }
    t.inFlight++;
    return true;
  }
  return false;
}

// Runs at DISPATCH_LEVEL inside a FrameScope(Dpc); in the fixed loop with the DPC processor's
// thread state, so that the IRQL and locks of the thread that pumps are not the DPC's (a DPC
// processor of the exploring scheduler or of threaded mode is a thread of its own). A bug check
// inside the routine ends the DPC.
void RunClaimedDpc(DpcEntry& entry) {
  auto run = [&] {
    try {
      RunAtIrql(DISPATCH_LEVEL, [&] {
        if (entry.dpc != nullptr) {
          if (TraceOn()) {
            Trace("DPC %s(%p, %p, %p, %p)", Symbolize(reinterpret_cast<const void*>(entry.routine)).c_str(),
                  static_cast<void*>(entry.dpc), entry.context, entry.argument1, entry.argument2);
          }
          Frame frame;
          frame.kind = Frame::Dpc;
          frame.routine = reinterpret_cast<const void*>(entry.routine);
          FrameScope scope(frame);
          CallRoutine(entry.routine, entry.dpc, entry.context, entry.argument1, entry.argument2);
        } else {
          entry.fn();
        }
      });
    } catch (const BugCheckUnwind&) {
      AbandonThreadState(CurrentThread());
    }
  };
  if (Deterministic() && tlsDpcProcessor < 0) {
    ThreadStateSwap swap(&DpcProcessorState());
    run();
  } else {
    run();
  }
  entry.fn = nullptr;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    TimerDpcState& t = T();
    if (entry.dpc != nullptr) {
      auto it = t.running.find(entry.dpc);
      if (it != t.running.end() && --it->second == 0) t.running.erase(it);
    }
    t.inFlight--;
  }
  WakeWaiters();
}

bool DpcWorkPending() {
  TimerDpcState& t = T();
  return !t.queue.empty() || t.inFlight != 0;
}

std::optional<int64_t> EarliestTimerDue() {
  TimerDpcState& t = T();
  if (t.timers.empty()) return std::nullopt;
  return std::get<0>(*t.timers.begin());
}

void TimerTableChanged() { T().timerGeneration++; }

// Every timer expiring at or before `now` expires in this one step, tick by tick, as the clock
// interrupt expires them on the platform: a DPC shared by two timers expiring together is queued
// once. Within a tick the fixed order takes them by due time, then the order they were set; the
// exploring scheduler chooses the order (the platform guarantees none).
bool ExpireDueTimers(int64_t now) {
  std::vector<std::pair<PKTIMER, int64_t>> expired;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    TimerDpcState& t = T();
    std::vector<PKTIMER> tick;
    while (!t.timers.empty() && std::get<0>(*t.timers.begin()) <= now) {
      const int64_t at = std::get<0>(*t.timers.begin());
      tick.clear();
      for (auto it = t.timers.begin(); it != t.timers.end() && std::get<0>(*it) == at; ++it) {
        tick.push_back(std::get<3>(*it));
      }
      for (size_t i = 0; i + 1 < tick.size(); ++i) {
        std::swap(tick[i], tick[i + ExploreChoice(static_cast<unsigned>(tick.size() - i))]);
      }
      for (PKTIMER timer : tick) {
        ArmedTimer a = t.armed[timer];
        DisarmLocked(timer);
        timer->Header.Inserted = FALSE;
        timer->Header.SignalState = 1;
        if (timer->Period > 0) {
          const int64_t period = static_cast<int64_t>(timer->Period) * 10000;
          int64_t next = a.expiry + period;
          if (next <= now) next = now + period;
          ArmLocked(timer, next, a.dpc, now);
        }
        if (a.dpc != nullptr) {
          ULARGE_INTEGER systemTime;
          systemTime.QuadPart = static_cast<ULONGLONG>(kSystemTimeEpoch + a.expiry);
          InsertDpcLocked(a.dpc,
                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.HighPart)),
                          -1);
        }
        expired.emplace_back(timer, a.expiry);
      }
    }
  }
  if (expired.empty()) return false;
  if (TraceOn()) {
    for (auto& [timer, due] : expired) {
      Trace("timer %p expired (tick %lld)", static_cast<void*>(timer), static_cast<long long>(due));
    }
  }
  WakeWaiters();
  return true;
}

void TimerDpcSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  TimerDpcState& t = T();
  t.queue.clear();
  t.queued.clear();
  t.running.clear();
  t.inFlight = 0;
  t.timers.clear();
  t.armed.clear();
  t.nextSequence = 0;
  t.timerGeneration++;
}

// The objects are not touched: they may live in memory the test has already released.
void TimerDpcSessionEnd() {
  std::vector<std::string> leftovers;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    TimerDpcState& t = T();
    for (auto& [expiry, due, sequence, timer] : t.timers) {
      leftovers.push_back("session ended with " + TimerText(timer, t.armed[timer]) + " still set");
    }
    for (const DpcEntry& e : t.queue) {
      leftovers.push_back("session ended with " + DpcText(e) + " still queued");
    }
    t.queue.clear();
    t.queued.clear();
    t.timers.clear();
    t.armed.clear();
  }
  for (const std::string& text : leftovers) Report(Rule::FreedObjectInUse, text);
}

// A timer set, or a DPC queued, inside freed memory would be touched by the kernel after the
// free: each is reported and cancelled. So is a set timer whose DPC lies in the freed memory.
void FreedRangeTimersDpcs(const void* base, size_t size, const char* what,
                          std::vector<std::string>* findings) {
  TimerDpcState& t = T();
  std::vector<PKTIMER> cancel;
  for (auto& [timer, a] : t.armed) {
    if (InRange(timer, base, size)) {
      findings->push_back(TimerText(timer, a) + " inside " + what + " being freed");
      cancel.push_back(timer);
    } else if (a.dpc != nullptr && InRange(a.dpc, base, size)) {
      findings->push_back(TimerText(timer, a) + " whose DPC " +
                          Hex(reinterpret_cast<uintptr_t>(a.dpc)) + " is inside " + what +
                          " being freed");
      cancel.push_back(timer);
    }
  }
  for (PKTIMER timer : cancel) {
    DisarmLocked(timer);
    if (!InRange(timer, base, size)) timer->Header.Inserted = FALSE;
  }
  std::vector<PKDPC> dequeue;
  for (const DpcEntry& e : t.queue) {
    if (e.dpc != nullptr && InRange(e.dpc, base, size)) {
      findings->push_back(DpcText(e) + " queued inside " + what + " being freed");
      dequeue.push_back(e.dpc);
    }
  }
  for (PKDPC dpc : dequeue) RemoveDpcLocked(dpc);
}

static void StartDpcThreads(unsigned count) {
  TimerDpcState& t = T();
  for (unsigned i = 0; i < std::max(1u, count); ++i) {
    const int processor = static_cast<int>(i);
    t.threads.push_back(
        SpawnThread("DPC " + std::to_string(i), [processor] { DpcThreadMain(processor); }, true));
  }
}

void StartThreadedTimerAndDpcThreads() {
  StartDpcThreads(Core().options.dpcThreads);
  T().threads.push_back(SpawnThread("timer", TimerThreadMain, true));
}

void StartDpcProcessors(unsigned count) { StartDpcThreads(count); }

void StopThreadedTimerAndDpcThreads() {
  WakeWaiters();
  JoinKernelThreads(T().threads);
}

}  // namespace host::internal

using namespace host::internal;

extern "C" {

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (TraceOn()) Trace("KeInitializeTimerEx(%p, %d)", static_cast<void*>(Timer), Type);
  bool wasSet;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    wasSet = T().armed.count(Timer) != 0;
    DisarmLocked(Timer);
  }
  if (wasSet) {
    Report(Rule::ObjectMisuse, Format("KeInitializeTimer on timer %s while it is set",
                                      Hex(reinterpret_cast<uintptr_t>(Timer)).c_str()));
  }
  Timer->Header.Type =
      Type == SynchronizationTimer ? kTimerSynchronizationObject : kTimerNotificationObject;
  Timer->Header.Absolute = FALSE;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

// DueTime: negative = relative to now (100 ns units), else absolute system time. Returns TRUE if
// the timer was already set (it is set again from scratch).
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  HostSwitchPoint("KeSetTimer");
  CheckAtMostDispatch("KeSetTimer");
  CheckTimerObject("KeSetTimer", Timer);
  if (Dpc != nullptr) CheckDpcObject("KeSetTimer", Dpc);
  const int64_t now = NowTicks();
  int64_t due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart - kSystemTimeEpoch;
  if (due < now) due = now;  // an absolute time already past: expires at once (the next pump)
  bool wasSet;
  int64_t expiry;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    wasSet = T().armed.count(Timer) != 0;
    DisarmLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Period = Period > 0 ? Period : 0;
    Timer->Dpc = Dpc;
    ArmLocked(Timer, due, Dpc, now);
    expiry = T().armed[Timer].expiry;
  }
  if (TraceOn()) {
    Trace("KeSetTimerEx(%p, due %lld, period %d, DPC %p) -> %s (due at %lld, expires at %lld)",
          static_cast<void*>(Timer), static_cast<long long>(DueTime.QuadPart), Period,
          static_cast<void*>(Dpc), wasSet ? "TRUE" : "FALSE", static_cast<long long>(due),
          static_cast<long long>(expiry));
  }
  WakeWaiters();
  return wasSet ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// Returns TRUE if the timer was set. A DPC the timer already queued stays queued.
BOOLEAN KeCancelTimer(PKTIMER Timer) {
  HostSwitchPoint("KeCancelTimer");
  CheckAtMostDispatch("KeCancelTimer");
  bool wasSet;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    wasSet = T().armed.count(Timer) != 0;
    DisarmLocked(Timer);
    Timer->Header.Inserted = FALSE;
  }
  if (TraceOn()) Trace("KeCancelTimer(%p) -> %s", static_cast<void*>(Timer), wasSet ? "TRUE" : "FALSE");
  WakeWaiters();
  return wasSet ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  if (TraceOn()) Trace("KeInitializeDpc(%p, %s, %p)", static_cast<void*>(Dpc), Symbolize(reinterpret_cast<const void*>(DeferredRoutine)).c_str(), DeferredContext);
  bool wasQueued;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    wasQueued = RemoveDpcLocked(Dpc);
  }
  if (wasQueued) {
    Report(Rule::ObjectMisuse, Format("KeInitializeDpc on DPC %s while it is queued",
                                      Hex(reinterpret_cast<uintptr_t>(Dpc)).c_str()));
  }
  Dpc->Type = kDpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  NoteDriverCode(reinterpret_cast<const void*>(DeferredRoutine), ChargedDriver());
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// FALSE if the DPC is already queued (its arguments are then left as they were).
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  HostSwitchPoint("KeInsertQueueDpc");
  CheckDpcObject("KeInsertQueueDpc", Dpc);
  bool inserted;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    inserted = InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2, tlsDpcProcessor);
  }
  if (TraceOn()) Trace("KeInsertQueueDpc(%p, %p, %p) -> %s", static_cast<void*>(Dpc), SystemArgument1, SystemArgument2, inserted ? "TRUE" : "FALSE");
  if (inserted) WakeWaiters();
  return inserted ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  HostSwitchPoint("KeRemoveQueueDpc");
  bool removed;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    removed = RemoveDpcLocked(Dpc);
  }
  if (TraceOn()) Trace("KeRemoveQueueDpc(%p) -> %s", static_cast<void*>(Dpc), removed ? "TRUE" : "FALSE");
  if (removed) WakeWaiters();
  return removed ? TRUE : FALSE;
}

// Returns when every DPC queued before the call has run. PASSIVE_LEVEL only.
VOID KeFlushQueuedDpcs(VOID) {
  if (TraceOn()) Trace("KeFlushQueuedDpcs()");
  KIRQL irql = CurrentThread().irql;
  if (irql != PASSIVE_LEVEL) {
    Report(Rule::IrqlMisuse, "KeFlushQueuedDpcs at " + IrqlName(irql) + " (PASSIVE_LEVEL only)");
    return;
  }
  if (Deterministic() && !Exploring()) {
    for (;;) {
      DpcEntry entry;
      bool got;
      {
        std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
        got = ClaimDpc(&entry, -1);
      }
      if (!got) return;
      RunClaimedDpc(entry);
    }
  }
  WaitUntil([] { return !DpcWorkPending(); }, "KeFlushQueuedDpcs", std::nullopt);
}

}  // extern "C"

namespace host::internal {

void QueueDpcCall(std::function<void()> fn, const std::string& what) {
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    DpcEntry entry;
    entry.fn = std::move(fn);
    entry.what = what;
    T().queue.push_back(std::move(entry));
  }
  if (TraceOn()) Trace("queued DPC work: %s", what.c_str());
  WakeWaiters();
}

}  // namespace host::internal

namespace host::internal {

// At a driver's unload (image/driver_code.cpp): the DPCs queued and the timers set whose DPC
// routine is the driver's code would run it after the code is gone. Each is reported, dequeued
// and disarmed, as its object says on the platform after KeRemoveQueueDpc / KeCancelTimer.
void UnloadedDriverTimersDpcs(const std::function<bool(const void*)>& isDriverCode,
                              std::vector<std::string>* findings) {
  TimerDpcState& t = T();
  std::vector<PKTIMER> cancel;
  for (auto& [timer, a] : t.armed) {
    if (a.dpc != nullptr && isDriverCode(reinterpret_cast<const void*>(a.routine))) {
      findings->push_back(TimerText(timer, a) + " is still set");
      cancel.push_back(timer);
    }
  }
  for (PKTIMER timer : cancel) {
    DisarmLocked(timer);
    timer->Header.Inserted = FALSE;
  }
  std::vector<PKDPC> dequeue;
  for (const DpcEntry& e : t.queue) {
    if (e.dpc != nullptr && isDriverCode(reinterpret_cast<const void*>(e.routine))) {
      findings->push_back(DpcText(e) + " is still queued");
      dequeue.push_back(e.dpc);
    }
  }
  for (PKDPC dpc : dequeue) RemoveDpcLocked(dpc);
}

}  // namespace host::internal

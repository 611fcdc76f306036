// The scheduler of both modes: waits, the deterministic baton, spawned threads, pumping and
// virtual time.
//
// Deterministic mode. Exactly one thread runs at a time: it holds the baton. Cooperative threads
// (spawned threads and the system workers) are real OS threads that run only when resumed, like
// coroutines: Resume(t) hands the baton to t and waits until t hands it back, which t does when it
// blocks in a wait or finishes. The thread that hands the baton on is t's resumer; t always
// yields to it. The loop that decides what runs (RunOneStep) is run by whoever pumps: the test's
// thread inside Pump(), AdvanceTime(), RunUntil() or a wait of its own, or a cooperative thread
// that pumps. One step, in this fixed order:
//   1. the first queued DPC (run on the calling OS thread with the DPC processor's state);
//   2. every timer that is due (one clock interrupt);
//   3. the first cooperative thread (in creation order) whose wait is satisfied, timed out or
//      abandoned: its condition is evaluated under the dispatcher lock and, when true, the wait
//      is complete (a synchronization event is consumed right there) and the thread resumed.
// A waiting non-cooperative thread (the test's own) checks its condition after every step; when
// nothing can run it moves the virtual clock to the next timer or wait deadline (auto-advance),
// and otherwise reports a Deadlock naming every blocked thread and returns STATUS_ABANDONED.
//
// Threaded mode. Waits are real, and satisfied the platform's way: by the thread that changes
// what they wait for. A blocked waiter is listed with its condition; WakeWaiters evaluates the
// listed conditions under the dispatcher lock and wakes only the waiters whose condition now
// holds (or whose wait was abandoned). A condition that returned true has done its part (a
// synchronization event consumed, a DPC or a work item claimed), so the woken waiter returns
// without evaluating it again. The waiter lists itself in the same hold of the dispatcher lock in
// which its condition was last found false, so a change between evaluation and sleep is never
// lost; a thread that is not blocked is never woken for nothing.
//
// Exploring strategies (SessionOptions::schedule) replace the fixed loop by the preemptive
// scheduler of explore.cpp; waits, spawns, pumps and the passing of time go there.
#include <algorithm>
#include <cstdio>

#include "scheduler.h"

using host::verifier::Rule;

namespace host::internal {

// A blocked wait of threaded mode, on the waiting thread's stack while it is listed.
struct ThreadedWaiter {
  const std::function<bool()>* condition = nullptr;
  WaitRecord* record = nullptr;
  const void* key = nullptr;  // the object waited on, if any (WakeWaiters' key)
  bool kernelIdle = false;
  bool satisfied = false;  // dispatcher lock: a waker found the condition true
  // Lock order: the dispatcher lock, then `mutex` (a waker signals with both held; the waiter
  // sleeps holding only `mutex`).
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;  // `mutex`
};

namespace {

thread_local CoThread* tlsCo = nullptr;
thread_local Participant tlsRoot;

Participant* Self() { return tlsCo != nullptr ? static_cast<Participant*>(tlsCo) : &tlsRoot; }

// Hands the baton to `t` and waits until it comes back.
void Resume(CoThread* t) {
  Participant* self = Self();
  SchedulerState& s = S();
  std::unique_lock<std::mutex> lock(s.baton);
  t->resumer = self;
  self->go = false;
  t->go = true;
  t->cv.notify_one();
  self->cv.wait(lock, [self] { return self->go; });
}

// Gives the baton back to the resumer; unless finishing, waits until resumed again.
void YieldBaton(CoThread* me, bool finishing) {
  SchedulerState& s = S();
  std::unique_lock<std::mutex> lock(s.baton);
  Participant* r = me->resumer;
  me->resumer = nullptr;
  if (finishing) me->finished = true;
  me->go = false;
  r->go = true;
  r->cv.notify_one();
  if (!finishing) me->cv.wait(lock, [me] { return me->go; });
}

void CooperativeMain(std::shared_ptr<CoThread> self) {
  tlsCo = self.get();
  SetCurrentThreadName(self->Participant::name);
  {
    std::unique_lock<std::mutex> lock(S().baton);
    self->cv.wait(lock, [&] { return self->go; });
  }
  try {
    self->body();
  } catch (const BugCheckUnwind&) {
    AbandonThreadState(CurrentThread());
  }
  self->body = nullptr;
  CoThread* raw = self.get();
  self.reset();  // the scheduler's list keeps it alive
  if (Exploring()) {
    ExploreFinish(raw);
  } else {
    YieldBaton(raw, true);
  }
}

class RealThread : public Thread {
 public:
  ~RealThread() override {
    if (os.joinable()) os.detach();
  }
  const std::string& name() const override { return name_; }
  bool Finished() const override { return finished.load(); }
  void Join() override {
    WaitUntilEx([this] { return finished.load(); }, "Join(" + name_ + ")", std::nullopt, nullptr,
                false);
    std::lock_guard<std::mutex> lock(joinMutex);
    if (finished && os.joinable()) os.join();
  }
  std::string name_;
  std::thread os;
  std::atomic<bool> finished{false};
  std::mutex joinMutex;
};

}  // namespace

CoThread::~CoThread() {
  if (os.joinable()) {
    if (os.get_id() == std::this_thread::get_id()) {
      os.detach();
    } else {
      os.join();
    }
  }
}

void CoThread::Join() {
  WaitUntilEx([this] { return finished.load(); }, "Join(" + Participant::name + ")",
              std::nullopt, nullptr, false);
}

SchedulerState& S() {
  static SchedulerState* s = new SchedulerState;
  return *s;
}

Participant* CurrentParticipant() { return Self(); }
CoThread* CurrentCoThread() { return tlsCo; }

void HandBaton(Participant* from, Participant* to, bool finishing) {
  std::unique_lock<std::mutex> lock(S().baton);
  from->go = false;
  to->go = true;
  to->cv.notify_one();
  if (!finishing) from->cv.wait(lock, [from] { return from->go; });
}

namespace {

// The earliest moment something is due: an armed timer or a blocked cooperative thread's
// deadline (and `own`, the calling waiter's).
std::optional<int64_t> NextEventTime(std::optional<int64_t> own) {
  if (Exploring()) return ExploreNextEventTime(own);
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  std::optional<int64_t> next = EarliestTimerDue();
  auto consider = [&](std::optional<int64_t> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  consider(own);
  for (auto& t : S().cooperative) {
    if (t->blocked && !t->detached) consider(t->deadline);
  }
  return next;
}

// One step of the deterministic scheduler (see the top of the file). False if nothing ran.
bool RunOneStep() {
  DpcEntry entry;
  bool haveDpc;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    haveDpc = ClaimDpc(&entry, -1);
  }
  if (haveDpc) {
    RunClaimedDpc(entry);
    return true;
  }
  const int64_t now = NowTicks();
  if (ExpireDueTimers(now)) return true;
  SchedulerState& s = S();
  for (size_t i = 0; i < s.cooperative.size(); ++i) {
    std::shared_ptr<CoThread> t = s.cooperative[i];
    if (t->finished || t->detached) continue;
    bool ready = false;
    {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      if (!t->blocked) continue;
      if (t->record->abandoned) {
        t->result = STATUS_ABANDONED;
        ready = true;
      } else if ((*t->condition)()) {
        t->result = STATUS_SUCCESS;
        ready = true;
      } else if (t->deadline && now >= *t->deadline) {
        t->result = STATUS_TIMEOUT;
        ready = true;
      }
      if (ready) t->blocked = false;
    }
    if (ready) {
      Resume(t.get());
      return true;
    }
  }
  return false;
}

std::string BlockedThreadsText() {
  std::string text;
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  for (auto& t : S().cooperative) {
    if (!t->blocked || t->idle || t->detached || t->finished) continue;
    text += "\n  thread '" + t->name() + "' waits in " + t->record->what;
    if (t->deadline) text += " (until " + std::to_string(*t->deadline) + ")";
  }
  return text;
}

}  // namespace

void ReportDeadlock(const std::string& what, std::optional<int64_t> deadline) {
  std::string message = "'" + CurrentThread().name + "' waits in " + what +
                        ", which nothing can ever satisfy: no DPC, timer, work item or thread "
                        "can run";
  if (!Core().options.autoAdvanceTime && NextEventTime(deadline)) {
    message += " (a timer or timed wait is pending, but auto-advance of the clock is off)";
  }
  std::string blocked = Exploring() ? ExploreBlockedText() : BlockedThreadsText();
  if (!blocked.empty()) message += "; blocked:" + blocked;
  Report(Rule::Deadlock, message);
}

namespace {

// Checks the IRQL rules of a wait; true if the wait may block.
bool CheckWaitRules(const std::string& what, std::optional<int64_t> timeout) {
  ThreadState& t = CurrentThread();
  if (timeout && *timeout == 0) {
    if (t.irql > DISPATCH_LEVEL) {
      Report(Rule::IrqlMisuse, what + " at " + IrqlName(t.irql) + " (above DISPATCH_LEVEL)");
    }
    return true;
  }
  if (t.irql >= DISPATCH_LEVEL) {
    std::string message = what + " at " + IrqlName(t.irql) + " with a non-zero timeout";
    if (!t.heldLocks.empty()) message += ", holding spin lock " + HeldLocksText(t);
    Report(Rule::WaitAtDispatchLevel, message);
    return false;
  }
  if (!t.heldLocks.empty()) {
    Report(Rule::SpinLockMisuse, what + " while holding spin lock " + HeldLocksText(t));
  }
  return true;
}

NTSTATUS WaitDeterministic(const std::function<bool()>& satisfied, const std::string& what,
                           std::optional<int64_t> timeout, WaitRecord& record, bool kernelIdle) {
  std::optional<int64_t> deadline;
  if (timeout) deadline = NowTicks() + *timeout;
  if (tlsCo != nullptr && &CurrentThread() != &DpcProcessorState()) {
    CoThread* me = tlsCo;
    {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      me->condition = &satisfied;
      me->deadline = deadline;
      me->record = &record;
      me->idle = kernelIdle;
      me->blocked = true;
    }
    YieldBaton(me, false);
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    me->idle = false;
    me->condition = nullptr;
    return me->result;
  }
  unsigned steps = 0;
  for (;;) {
    {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      if (record.abandoned) return STATUS_ABANDONED;
      if (satisfied()) return STATUS_SUCCESS;
    }
    const int64_t now = NowTicks();
    if (deadline && now >= *deadline) return STATUS_TIMEOUT;
    if (RunOneStep()) {
      if (++steps == kStepLimit) {
        Report(Rule::Deadlock, Format("'%s' waits in %s while the scheduler ran %u steps without "
                                      "the clock moving (a DPC or threads that keep each other "
                                      "busy)",
                                      CurrentThread().name.c_str(), what.c_str(), kStepLimit));
        return STATUS_ABANDONED;
      }
      continue;
    }
    steps = 0;
    std::optional<int64_t> next = NextEventTime(deadline);
    if (next && Core().options.autoAdvanceTime) {
      SetVirtualNow(std::max(now, *next));
      continue;
    }
    ReportDeadlock(what, deadline);
    return STATUS_ABANDONED;
  }
}

// Dispatcher lock held. Why a listed waiter should run again, if it should.
bool WaiterReleasedLocked(ThreadedWaiter& w) {
  if (w.satisfied || w.record->abandoned) return true;
  if (!w.kernelIdle && Core().ending) return true;
  if ((*w.condition)()) {
    w.satisfied = true;
    return true;
  }
  return false;
}

NTSTATUS WaitThreaded(const std::function<bool()>& satisfied, std::optional<int64_t> timeout,
                      WaitRecord& record, bool kernelIdle, const void* key) {
  SchedulerState& s = S();
  const bool timed = timeout.has_value();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::nanoseconds(timed ? *timeout * 100 : 0);
  ThreadedWaiter w;
  w.condition = &satisfied;
  w.record = &record;
  w.kernelIdle = kernelIdle;
  w.key = key;
  auto unlist = [&] {
    auto& list = s.threadedWaiters;
    list.erase(std::remove(list.begin(), list.end(), &w), list.end());
  };
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    if (record.abandoned) return STATUS_ABANDONED;
    if (satisfied()) return STATUS_SUCCESS;
    if (!kernelIdle && Core().ending) return STATUS_ABANDONED;
    s.threadedWaiters.push_back(&w);
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(w.mutex);
      if (timed) {
        w.cv.wait_until(lock, deadline, [&] { return w.signalled; });
      } else {
        w.cv.wait(lock, [&] { return w.signalled; });
      }
      w.signalled = false;
    }
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    // Satisfied by a waker, or found true now (a condition on the clock needs no waker).
    if (w.satisfied || satisfied()) {
      unlist();
      return STATUS_SUCCESS;
    }
    if (record.abandoned || (!kernelIdle && Core().ending)) {
      unlist();
      return STATUS_ABANDONED;
    }
    if (timed && std::chrono::steady_clock::now() >= deadline) {
      unlist();
      return STATUS_TIMEOUT;
    }
  }
}

}  // namespace

NoSwitchMutex& DispatcherLock() {
  static auto* lock = new NoSwitchMutex;
  return *lock;
}

std::vector<WaitRecord*>& ActiveWaits() { return S().waits; }

bool Deterministic() { return !SessionActive() || Core().options.mode == Mode::Deterministic; }

bool OnCooperativeThread() { return tlsCo != nullptr; }

void WakeWaiters(const void* key) {
  if (Deterministic()) return;  // the scheduler evaluates every condition at each step
  SchedulerState& s = S();
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  for (ThreadedWaiter* w : s.threadedWaiters) {
    if (key != nullptr && w->key != nullptr && w->key != key) continue;
    if (w->satisfied || !WaiterReleasedLocked(*w)) continue;
    {
      std::lock_guard<std::mutex> signal(w->mutex);
      w->signalled = true;
    }
    w->cv.notify_one();
  }
}

NTSTATUS WaitUntil(const std::function<bool()>& satisfied, const std::string& what,
                   std::optional<int64_t> timeout, const void* object) {
  return WaitTakingApcs(satisfied, what, timeout, object, false);  // ke/wait.cpp
}

// A wait at DISPATCH_LEVEL or above with a non-zero timeout is reported and then does not block
// (it answers at once: STATUS_SUCCESS if the condition holds, else STATUS_TIMEOUT): blocking
// there would stop the processor on the platform, and on the host would run the scheduler from
// inside a DPC.
NTSTATUS WaitUntilEx(const std::function<bool()>& satisfied, const std::string& what,
                     std::optional<int64_t> timeout, const void* object, bool kernelIdle) {
  const bool mayBlock = kernelIdle || CheckWaitRules(what, timeout);
  WaitRecord record;
  record.object = object;
  record.what = what;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    if (satisfied()) return STATUS_SUCCESS;
    if (!mayBlock || (timeout && *timeout <= 0)) return STATUS_TIMEOUT;
    if (!kernelIdle && Core().ending) return STATUS_ABANDONED;
  }
  record.thread = CurrentThread().name;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    S().waits.push_back(&record);
  }
  struct Unlist {
    WaitRecord* record;
    ~Unlist() {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      auto& w = S().waits;
      w.erase(std::remove(w.begin(), w.end(), record), w.end());
    }
  } unlist{&record};
  if (Deterministic() && Exploring()) {
    std::optional<int64_t> deadline;
    if (timeout) deadline = NowTicks() + *timeout;
    return ExploreWait(satisfied, what, deadline, record, kernelIdle);
  }
  if (Deterministic()) return WaitDeterministic(satisfied, what, timeout, record, kernelIdle);
  return WaitThreaded(satisfied, timeout, record, kernelIdle, object);
}

std::shared_ptr<Thread> SpawnThread(const std::string& name, std::function<void()> body,
                                    bool daemon) {
  SchedulerState& s = S();
  if (Deterministic()) {
    auto t = std::make_shared<CoThread>();
    t->Participant::name = name;
    t->body = std::move(body);
    t->daemon = daemon;
    s.cooperative.push_back(t);
    t->os = std::thread(CooperativeMain, t);
    if (Exploring()) {
      ExploreAdmit(t.get());
    } else {
      Resume(t.get());
    }
    return t;
  }
  auto t = std::make_shared<RealThread>();
  t->name_ = name;
  RealThread* raw = t.get();
  t->os = std::thread([raw, body = std::move(body)]() mutable {
    SetCurrentThreadName(raw->name_);
    try {
      body();
    } catch (const BugCheckUnwind&) {
      AbandonThreadState(CurrentThread());
    }
    body = nullptr;
    raw->finished = true;
    WakeWaiters();
  });
  if (!daemon) {
    std::lock_guard<std::mutex> lock(s.spawnedMutex);
    s.spawned.push_back(t);
  }
  return t;
}

void PumpDeterministic() {
  if (Exploring()) {
    ExplorePump();
    return;
  }
  unsigned steps = 0;
  while (RunOneStep()) {
    if (++steps == kStepLimit) {
      Report(Rule::Deadlock, Format("Pump: still running after %u steps without the clock "
                                    "moving (a DPC or threads that keep each other busy)",
                                    kStepLimit));
      return;
    }
  }
}

void PumpThreaded() {
  // Bounded: a work item that waits for something the test has not done yet would otherwise
  // hold the test here forever.
  constexpr int64_t kLimit = 30LL * 10000000;
  NTSTATUS status = WaitUntilEx(
      [] { return !DpcWorkPending() && !WorkPending() && !(EarliestTimerDue() && *EarliestTimerDue() <= NowTicks()); },
      "Pump", kLimit, nullptr, false);
  if (status == STATUS_TIMEOUT) {
    Report(Rule::Deadlock, "Pump: the DPC and work queues did not drain within 30 s");
  }
}

void AdvanceTimeDeterministic(int64_t delta) {
  const int64_t target = NowTicks() + std::max<int64_t>(delta, 0);
  PumpDeterministic();
  for (;;) {
    std::optional<int64_t> next = NextEventTime(std::nullopt);
    if (!next || *next > target) break;
    SetVirtualNow(*next);
    PumpDeterministic();
  }
  SetVirtualNow(target);
  PumpDeterministic();
}

bool RunUntilDeterministic(const std::function<bool()>& done, int64_t limit) {
  const int64_t end = NowTicks() + std::max<int64_t>(limit, 0);
  PumpDeterministic();
  while (!done()) {
    std::optional<int64_t> next = NextEventTime(std::nullopt);
    if (!next || *next > end) break;
    SetVirtualNow(*next);
    PumpDeterministic();
  }
  return done();
}

void JoinKernelThreads(std::vector<std::shared_ptr<Thread>>& threads) {
  for (auto& t : threads) {
    if (auto* real = dynamic_cast<RealThread*>(t.get())) {
      std::lock_guard<std::mutex> lock(real->joinMutex);
      if (real->os.joinable()) real->os.join();
    }
  }
  threads.clear();
}

void SchedulerSessionStart() {
  SchedulerState& s = S();
  s.cooperative.clear();
  {
    std::lock_guard<std::mutex> lock(s.spawnedMutex);
    s.spawned.clear();
  }
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    s.waits.clear();
  }
  ExploreSessionStart();
}

// Threads the test left behind. Deterministic: a blocked thread is reported and left blocked for
// good (resuming it now would run driver code against objects the test has already destroyed);
// the kernel's idle workers leave their loops when the session stops. Threaded: every wait gives
// up (STATUS_ABANDONED) and the threads get a bounded time to finish; one that does not is
// reported and detached.
void SchedulerSessionEnd() {
  SchedulerState& s = S();
  if (Deterministic() && Exploring()) {
    ExploreEndThreads();
    for (auto& t : s.cooperative) {
      if (t->finished && t->os.joinable()) t->os.join();
      if (!t->finished && t->os.joinable()) t->os.detach();
    }
    s.cooperative.clear();
    return;
  }
  if (Deterministic()) {
    for (auto& t : s.cooperative) {
      bool stuck;
      std::string what;
      {
        std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
        stuck = t->blocked && !t->idle && !t->finished;
        if (stuck) what = t->record->what;
      }
      if (stuck) {
        Report(Rule::Deadlock, "session ended while thread '" + t->name() + "' waits in " + what +
                                   "; the thread is left blocked");
        t->detached = true;
        if (t->os.joinable()) t->os.detach();
      }
    }
    PumpDeterministic();  // idle kernel threads see `stopping` and finish
    for (auto& t : s.cooperative) {
      if (!t->finished && !t->detached) {
        Report(Rule::Deadlock, "session ended while thread '" + t->name() + "' is still running");
        t->detached = true;
        if (t->os.joinable()) t->os.detach();
      }
      if (t->finished && t->os.joinable()) t->os.join();
    }
    s.cooperative.clear();
    return;
  }
  std::vector<std::shared_ptr<Thread>> spawned;
  {
    std::lock_guard<std::mutex> lock(s.spawnedMutex);
    spawned.swap(s.spawned);
  }
  for (auto& t : spawned) {
    if (!t->Finished()) {
      Report(Rule::Deadlock, "session ended while thread '" + t->name() +
                                 "' is still running; its waits are abandoned");
    }
  }
  Core().ending = true;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    for (WaitRecord* w : s.waits) w->abandoned = true;
  }
  WakeWaiters();
  for (auto& t : spawned) {
    auto* real = static_cast<RealThread*>(t.get());
    constexpr int64_t kTenSeconds = 10LL * 10000000;
    WaitUntilEx([real] { return real->finished.load(); }, "the end of thread '" + real->name_ + "'",
                kTenSeconds, nullptr, true);
    std::lock_guard<std::mutex> lock(real->joinMutex);
    if (real->finished && real->os.joinable()) real->os.join();
  }
}

}  // namespace host::internal

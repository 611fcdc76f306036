// The exploring scheduler: the deterministic scheduler made preemptive, its every choice of the
// next thread made by a strategy from a seed (host/schedule.h).
//
// Participants are the session's own thread, the cooperative threads the test spawns, the system
// workers and the DPC processors ("DPC 0", "DPC 1"...: cooperative kernel threads that run queued
// DPCs at DISPATCH_LEVEL, concurrently with everything else and with each other, as every
// processor of the platform runs its own DPC queue; ke/timer_dpc.cpp says which queued DPC each
// may take). Exactly one participant holds the baton. It gives the baton up only at a decision:
//   - a switch point: a kernel service called from inside a driver routine (HostSwitchPoint at
//     the service's entry, after it for spin lock releases); the caller stays runnable;
//   - a wait that is not satisfied, a spin lock held by another participant, Pump(), the start
//     of a thread and the end of one.
// At each decision the due timers expire (a clock interrupt; those of one tick in an order the
// strategy chooses, ExploreChoice), then the strategy orders the participants and the first that
// can run gets the baton: one switched out at a switch point,
// one whose wait is now satisfied, timed out or abandoned (its condition is evaluated and, when
// true, the wait completes right there, as in the fixed loop), one whose spin lock is free. A
// participant at raised IRQL holds a processor: one at PASSIVE_LEVEL may run only while fewer
// than `processors` others hold one. A participant in Pump() runs again only when nothing else
// can. When nothing can run, the clock moves to the next timer or timed wait (auto-advance); when
// it cannot, the session's thread is handed the baton to report the deadlock (or a spinner goes
// on past a lock whose holder can never run, reported as the fixed loop does).
//
// The fixed order (used under directives): the running thread goes on at switch points and a
// spawned thread runs at once; after a wait, the session's thread, then the DPC processors in
// their order (the second takes a DPC only while the first is busy: the platform's common case of
// one DPC at a time), then the other threads in creation order; timers of one tick expire by due
// time.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HOST_HAVE_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HOST_HAVE_SANITIZER 1
#endif
#endif
#ifdef HOST_HAVE_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

#include "scheduler.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

thread_local int tlsNoSwitch = 0;
std::atomic<bool> gExploring{false};

// Decisions without the clock moving before the scheduler calls it a livelock (far more than the
// fixed loop's step limit: every kernel call is a decision here).
constexpr uint64_t kLivelockLimit = 20ull * kStepLimit;

enum class Why { Switch, Spawn, Block, Spin, Finish, Pump };

// splitmix64: tiny, fast, and any seed gives a well-mixed sequence.
class Random {
 public:
  explicit Random(uint64_t seed = 0) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  uint64_t state_;
};

class Policy {
 public:
  virtual ~Policy() = default;
  virtual void Admit(Participant&) {}
  // Called at every decision, with the participant that makes it.
  virtual void Decision(Participant&) {}
  // Puts the candidates (in creation order) in the order they are tried.
  virtual void Order(std::vector<Participant*>& candidates, Participant* me, Why why) = 0;
};

struct DirectiveState {
  ScheduleDirective directive;
  unsigned seen = 0;
  bool fired = false;
};

struct Explorer {
  ScheduleOptions options;
  Random random;
  std::unique_ptr<Policy> strategy;
  std::vector<Participant*> participants;  // creation order, the session's thread first
  Participant* root = nullptr;
  Participant* favoured = nullptr;  // a directed thread, until it blocks
  std::vector<DirectiveState> directives;
  std::vector<Participant*> order;  // scratch
  ScheduleStats stats;
  uint64_t quiet = 0;  // decisions since the clock last moved
  int64_t quietAt = 0;
  std::string text;
};
Explorer& X() {
  static auto* x = new Explorer;
  return *x;
}

ScheduleStats gLastStats;
std::function<std::string(const std::string&)> gHint;
char gDeathText[2048];

class FixedOrder : public Policy {
 public:
  void Order(std::vector<Participant*>& c, Participant* me, Why why) override {
    Explorer& x = X();
    auto rank = [&](const Participant* p) {
      if (why == Why::Switch && p == me) return 0;
      if (p == x.root) return 1;
      if (p->dpcProcessor) return 2;
      return 3;
    };
    std::stable_sort(c.begin(), c.end(),
                     [&](const Participant* a, const Participant* b) { return rank(a) < rank(b); });
  }
};

class RandomWalk : public Policy {
 public:
  void Order(std::vector<Participant*>& c, Participant*, Why) override {
    Random& r = X().random;
    for (size_t i = c.size(); i > 1; --i) std::swap(c[i - 1], c[r.Below(i)]);
  }
};

// Probabilistic concurrency testing (Burckhardt, Kothari, Musuvathi, Nagarakatte, ASPLOS 2010):
// distinct random initial priorities from depth upward; change point i (of depth - 1, uniform
// over the expected steps) drops the participant that makes it to priority i.
class Pct : public Policy {
 public:
  Pct(unsigned depth, uint64_t steps) : depth_(depth < 1 ? 1 : depth) {
    Random& r = X().random;
    for (unsigned i = 1; i < depth_; ++i) changeAt_.push_back(1 + r.Below(steps < 1 ? 1 : steps));
    std::sort(changeAt_.begin(), changeAt_.end());
  }
  void Admit(Participant& p) override { p.priority = depth_ + X().random.Unit(); }
  void Decision(Participant& me) override {
    ++step_;
    while (next_ < changeAt_.size() && changeAt_[next_] == step_) {
      me.priority = static_cast<double>(++next_);
    }
  }
  void Order(std::vector<Participant*>& c, Participant*, Why) override {
    std::stable_sort(c.begin(), c.end(), [](const Participant* a, const Participant* b) {
      return a->priority > b->priority;
    });
  }

 private:
  unsigned depth_;
  std::vector<uint64_t> changeAt_;
  size_t next_ = 0;
  uint64_t step_ = 0;
};

bool IsParticipant(const Participant* p) {
  return p == X().root || (p != nullptr && p == CurrentCoThread());
}

void ResetParticipant(Participant& p) {
  p.run = Run::Runnable;
  p.spinLock = nullptr;
  p.irql = PASSIVE_LEVEL;
  p.priority = 0;
  p.heldBack = false;
  p.frozen = false;
  p.gaveUp = false;
  p.dpcProcessor = false;
}

// A participant at PASSIVE_LEVEL needs a processor that no other participant holds at raised
// IRQL (switched out there, or spinning).
bool ProcessorFree(const Participant* p) {
  Explorer& x = X();
  if (p->irql >= DISPATCH_LEVEL) return true;
  unsigned busy = 0;
  for (const Participant* q : x.participants) {
    if (q != p && !q->frozen && q->irql >= DISPATCH_LEVEL &&
        (q->run == Run::Runnable || q->run == Run::Spinning)) {
      ++busy;
    }
  }
  return busy < x.options.processors;
}

// True if `p` can run now; a wait that can end ends here (its condition may consume what it
// waits for, exactly once).
bool TakeIfReady(Participant* p, int64_t now) {
  switch (p->run) {
    case Run::Runnable:
      return true;
    case Run::Spinning:
      if (__atomic_load_n(static_cast<const KSPIN_LOCK*>(p->spinLock), __ATOMIC_ACQUIRE) != 0) {
        return false;
      }
      p->run = Run::Runnable;
      return true;
    case Run::Blocked: {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      if (p->record->abandoned) {
        p->result = STATUS_ABANDONED;
      } else if ((*p->condition)()) {
        p->result = STATUS_SUCCESS;
      } else if (p->deadline && now >= *p->deadline) {
        p->result = STATUS_TIMEOUT;
      } else {
        return false;
      }
      p->run = Run::Runnable;
      return true;
    }
    default:
      return false;
  }
}

Participant* Pick(Participant* me, Why why, Participant* prefer, int64_t now) {
  Explorer& x = X();
  std::vector<Participant*>& order = x.order;
  order.clear();
  for (Participant* p : x.participants) {
    if (p->run == Run::Finished || p->run == Run::Pumping || p->heldBack || p->frozen) continue;
    order.push_back(p);
  }
  x.strategy->Order(order, me, why);
  if (Participant* first = prefer != nullptr ? prefer : x.favoured) {
    auto it = std::find(order.begin(), order.end(), first);
    if (it != order.end()) std::rotate(order.begin(), it, it + 1);
  }
  for (Participant* p : order) {
    if (ProcessorFree(p) && TakeIfReady(p, now)) return p;
  }
  return nullptr;
}

// Nothing can run and the clock cannot move: a spinner goes on past its lock (its holder can
// never let go), else the session's thread gives its wait up and reports.
Participant* GiveUp() {
  Explorer& x = X();
  for (Participant* p : x.participants) {
    if (p->run == Run::Spinning && !p->frozen) {
      p->gaveUp = true;
      p->run = Run::Runnable;
      return p;
    }
  }
  if (x.root->run == Run::Blocked) x.root->gaveUp = true;
  x.root->run = Run::Runnable;
  return x.root;
}

// Participants kept busy for ever without the clock moving are frozen once reported, so the
// session's thread gets on.
void Livelock() {
  Explorer& x = X();
  Report(Rule::Deadlock, Format("the scheduler made %" PRIu64 " decisions without the clock "
                                "moving (a DPC or threads that keep each other busy); every "
                                "thread but the session's own is stopped",
                                x.quiet));
  for (Participant* p : x.participants) {
    if (p != x.root && p->run != Run::Finished) p->frozen = true;
  }
  x.quiet = 0;
}

void Decide(Participant* me, Why why, Participant* prefer = nullptr) {
  Explorer& x = X();
  if (why != Why::Finish) me->irql = CurrentThread().irql;
  if ((why == Why::Block || why == Why::Finish) && x.favoured == me) x.favoured = nullptr;
  ++x.stats.decisions;
  x.strategy->Decision(*me);
  Participant* chosen = nullptr;
  for (;;) {
    const int64_t now = NowTicks();
    if (now != x.quietAt) {
      x.quietAt = now;
      x.quiet = 0;
    }
    if (++x.quiet > kLivelockLimit) Livelock();
    ExpireDueTimers(now);
    chosen = Pick(me, why, prefer, now);
    if (chosen != nullptr) break;
    for (Participant* p : x.participants) {
      if (p->run == Run::Pumping && !p->frozen) {
        chosen = p;
        break;
      }
    }
    if (chosen != nullptr) {
      chosen->run = Run::Runnable;
      break;
    }
    std::optional<int64_t> next = ExploreNextEventTime(std::nullopt);
    if (next && Core().options.autoAdvanceTime) {
      SetVirtualNow(std::max(now, *next));
      continue;
    }
    chosen = GiveUp();
    break;
  }
  if (chosen == me) return;
  ++x.stats.switches;
  HandBaton(me, chosen, why == Why::Finish);
}

// The directives counting `me`'s switch points; returns the thread one of them lets go.
Participant* FireDirectives(Participant* me, const char* service, const ThreadState& t) {
  Explorer& x = X();
  Participant* released = nullptr;
  for (DirectiveState& d : x.directives) {
    const ScheduleDirective& rule = d.directive;
    if (d.fired) continue;
    if (rule.after != me->name && !(rule.after == "DPC" && me->dpcProcessor)) continue;
    if (!rule.service.empty() && rule.service != service) continue;
    if (!rule.routine.empty() &&
        Symbolize(t.frames.back().routine).find(rule.routine) == std::string::npos) {
      continue;
    }
    if (++d.seen < rule.nth) continue;
    d.fired = true;
    for (Participant* p : x.participants) {
      if (p->name == rule.thread && p->run != Run::Finished) {
        p->heldBack = false;
        released = p;
        x.favoured = p;
      }
    }
  }
  return released;
}

bool HeldBackByDirective(const std::string& name) {
  for (const DirectiveState& d : X().directives) {
    if (!d.fired && d.directive.thread == name) return true;
  }
  return false;
}

std::string Hex64(uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
  return buf;
}

void DeathCallback() {
  if (gDeathText[0] != '\0') std::fputs(gDeathText, stderr);
}

}  // namespace

bool Exploring() { return gExploring.load(std::memory_order_relaxed); }

unsigned ExploreChoice(unsigned n) {
  if (n < 2 || !Exploring() || X().options.strategy == Strategy::Fixed) return 0;
  return static_cast<unsigned>(X().random.Below(n));
}

std::string CurrentScheduleText() { return Exploring() ? X().text : std::string(); }

void ExploreSessionStart() {
  const SessionOptions& options = Core().options;
  Explorer& x = X();
  x.participants.clear();
  x.order.clear();
  x.directives.clear();
  x.root = x.favoured = nullptr;
  x.stats = ScheduleStats{};
  x.quiet = 0;
  x.quietAt = 0;
  const bool on = options.mode == Mode::Deterministic && options.schedule.Exploring();
  gExploring = on;
  if (!on) return;
  x.options = options.schedule;
  if (x.options.processors < 1) x.options.processors = 1;
  x.random = Random(x.options.seed);
  switch (x.options.strategy) {
    case Strategy::Fixed:
      x.strategy = std::make_unique<FixedOrder>();
      break;
    case Strategy::RandomWalk:
      x.strategy = std::make_unique<RandomWalk>();
      break;
    case Strategy::Pct:
      x.strategy = std::make_unique<Pct>(x.options.depth, x.options.steps);
      break;
  }
  for (const ScheduleDirective& d : x.options.directives) x.directives.push_back({d, 0, false});
  x.text = FormatSchedule(x.options);
  Participant* root = CurrentParticipant();
  ResetParticipant(*root);
  root->name = CurrentThread().name;
  x.root = root;
  x.participants.push_back(root);
  x.strategy->Admit(*root);

  std::string hint = gHint ? gHint(x.text) : std::string();
  std::snprintf(gDeathText, sizeof gDeathText,
                "host kernel: the process ended inside schedule %s%s%s\n", x.text.c_str(),
                hint.empty() ? "" : ", ", hint.c_str());
#ifdef HOST_HAVE_SANITIZER
  static bool registered = [] {
    __sanitizer_set_death_callback(DeathCallback);
    return true;
  }();
  (void)registered;
#endif
}

void ExploreSessionEnd() {
  Explorer& x = X();
  if (gExploring) gLastStats = x.stats;
  gExploring = false;
  gDeathText[0] = '\0';
  x.participants.clear();
  x.root = x.favoured = nullptr;
  x.strategy.reset();
}

void ExploreAdmit(CoThread* thread) {
  Explorer& x = X();
  ResetParticipant(*thread);
  thread->heldBack = HeldBackByDirective(thread->Participant::name);
  // The kernel's DPC processors (ke/timer_dpc.cpp names them so).
  thread->dpcProcessor = thread->daemon && thread->Participant::name.rfind("DPC ", 0) == 0;
  x.participants.push_back(thread);
  x.strategy->Admit(*thread);
  Participant* me = CurrentParticipant();
  if (!IsParticipant(me) || tlsNoSwitch != 0) return;
  // The kernel's own threads run at once to their idle wait, as the fixed order runs new threads.
  const bool atOnce = thread->daemon || x.options.strategy == Strategy::Fixed;
  Decide(me, Why::Spawn, atOnce && !thread->heldBack ? thread : nullptr);
}

void ExploreFinish(CoThread* thread) {
  thread->run = Run::Finished;
  thread->finished = true;
  Decide(thread, Why::Finish);
}

NTSTATUS ExploreWait(const std::function<bool()>& satisfied, const std::string& what,
                     std::optional<int64_t> deadline, WaitRecord& record, bool kernelIdle) {
  Participant* me = CurrentParticipant();
  if (!IsParticipant(me)) {
    std::fprintf(stderr, "host kernel: '%s' waits in %s, but only the session's thread and its "
                         "cooperative threads may call the kernel in deterministic mode\n",
                 CurrentThread().name.c_str(), what.c_str());
    std::abort();
  }
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    me->condition = &satisfied;
    me->deadline = deadline;
    me->record = &record;
    me->idle = kernelIdle;
  }
  me->run = Run::Blocked;
  Decide(me, Why::Block);
  NTSTATUS result = me->result;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    me->condition = nullptr;
    me->record = nullptr;
    me->idle = false;
  }
  if (me->gaveUp) {
    me->gaveUp = false;
    ReportDeadlock(what, deadline);
    return STATUS_ABANDONED;
  }
  return result;
}

bool ExploreSpin(const void* lock) {
  Participant* me = CurrentParticipant();
  if (!Exploring() || !IsParticipant(me) || tlsNoSwitch != 0) return false;
  me->run = Run::Spinning;
  me->spinLock = lock;
  Decide(me, Why::Spin);
  me->spinLock = nullptr;
  if (me->gaveUp) {
    me->gaveUp = false;
    return false;
  }
  return true;
}

void ExplorePump() {
  Participant* me = CurrentParticipant();
  if (!IsParticipant(me)) return;
  me->run = Run::Pumping;
  Decide(me, Why::Pump);
}

std::optional<int64_t> ExploreNextEventTime(std::optional<int64_t> own) {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  std::optional<int64_t> next = EarliestTimerDue();
  auto consider = [&](std::optional<int64_t> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  consider(own);
  for (const Participant* p : X().participants) {
    if (p->run == Run::Blocked && !p->frozen) consider(p->deadline);
  }
  return next;
}

std::string ExploreBlockedText() {
  std::string text;
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  for (const Participant* p : X().participants) {
    if (p->heldBack && p->run != Run::Finished) {
      text += "\n  thread '" + p->name + "' is held back by a directive that has not fired";
    }
    if (p->run == Run::Spinning && !p->frozen) {
      text += "\n  thread '" + p->name + "' spins on " + LockName(p->spinLock);
    }
    if (p->run != Run::Blocked || p->idle || p->frozen || p->record == nullptr) continue;
    text += "\n  thread '" + p->name + "' waits in " + p->record->what;
    if (p->deadline) text += " (until " + std::to_string(*p->deadline) + ")";
  }
  return text;
}

void ExploreEndThreads() {
  Explorer& x = X();
  if (!gExploring) return;
  auto leave = [&](bool onlyTestThreads) {
    for (Participant* p : x.participants) {
      if (p == x.root || p->run == Run::Finished || p->frozen) continue;
      auto* t = static_cast<CoThread*>(p);
      std::string what;
      {
        std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
        if (p->run == Run::Blocked) {
          if (p->idle) continue;
          what = p->record->what;
        }
      }
      if (onlyTestThreads && t->daemon && what.empty()) continue;
      Report(Rule::Deadlock, "session ended while thread '" + p->name + "' " +
                                 (what.empty() ? std::string("is still running")
                                               : "waits in " + what + "; the thread is left "
                                                                       "blocked"));
      p->frozen = true;
      t->detached = true;
    }
  };
  leave(true);
  ExplorePump();  // the kernel's own threads finish what they do, see `stopping` and end
  leave(false);
  ExploreSessionEnd();
}

}  // namespace host::internal

namespace host {

std::string FormatSchedule(const ScheduleOptions& s) {
  switch (s.strategy) {
    case Strategy::Fixed:
      return "fixed";
    case Strategy::RandomWalk:
      return "random:" + internal::Hex64(s.seed);
    case Strategy::Pct:
      return "pct:" + std::to_string(s.depth) + ":" + std::to_string(s.steps) + ":" +
             internal::Hex64(s.seed);
  }
  return "fixed";
}

bool ParseSchedule(const std::string& text, ScheduleOptions* schedule) {
  unsigned depth = 0;
  unsigned long long steps = 0, seed = 0;
  int used = 0;
  if (text == "fixed") {
    schedule->strategy = Strategy::Fixed;
    return true;
  }
  if (std::sscanf(text.c_str(), "random:%llx%n", &seed, &used) == 1 &&
      static_cast<size_t>(used) == text.size()) {
    schedule->strategy = Strategy::RandomWalk;
    schedule->seed = seed;
    return true;
  }
  if (std::sscanf(text.c_str(), "pct:%u:%llu:%llx%n", &depth, &steps, &seed, &used) == 3 &&
      static_cast<size_t>(used) == text.size() && depth >= 1 && steps >= 1) {
    schedule->strategy = Strategy::Pct;
    schedule->depth = depth;
    schedule->steps = steps;
    schedule->seed = seed;
    return true;
  }
  return false;
}

ScheduleStats LastScheduleStats() { return internal::gLastStats; }

ScheduleSequence::ScheduleSequence(const ScheduleOptions& base, uint64_t baseSeed,
                                   unsigned maxDepth)
    : base_(base), baseSeed_(baseSeed), maxDepth_(maxDepth < 2 ? 2 : maxDepth) {}

ScheduleOptions ScheduleSequence::Next() {
  const unsigned i = next_++;
  const bool directed = !base_.directives.empty();
  ScheduleOptions s = base_;
  if (directed && i == 0) {
    s.strategy = Strategy::Fixed;
    return s;
  }
  const unsigned k = directed ? i - 1 : i;
  internal::Random mix(baseSeed_ + i);
  s.seed = mix.Next();
  if (k % 2 == 0) {
    s.strategy = Strategy::RandomWalk;
    ++randomWalks_;
  } else {
    s.strategy = Strategy::Pct;
    s.depth = 2 + (k / 2) % (maxDepth_ - 1);
    s.steps = steps_ < 100 ? 100 : steps_;
    ++pcts_;
  }
  return s;
}

void ScheduleSequence::Ran(const ScheduleStats& stats) {
  if (stats.decisions > steps_) steps_ = stats.decisions;
  decisions_ += stats.decisions;
}

void SetReplayHint(std::function<std::string(const std::string&)> hint) {
  internal::gHint = std::move(hint);
}

void NoSwitchMutex::lock() {
  mutex_.lock();
  ++internal::tlsNoSwitch;
}

void NoSwitchMutex::unlock() {
  --internal::tlsNoSwitch;
  mutex_.unlock();
}

bool NoSwitchMutex::try_lock() {
  if (!mutex_.try_lock()) return false;
  ++internal::tlsNoSwitch;
  return true;
}

}  // namespace host

using namespace host::internal;

extern "C" void HostSwitchPoint(const char* service) {
  if (!gExploring.load(std::memory_order_relaxed) || tlsNoSwitch != 0) return;
  Participant* me = CurrentParticipant();
  if (!IsParticipant(me)) return;
  const ThreadState& t = CurrentThread();
  if (t.frames.empty()) return;  // only the calls of driver routines
  Explorer& x = X();
  ++x.stats.points;
  Participant* released = x.directives.empty() ? nullptr : FireDirectives(me, service, t);
  Decide(me, Why::Switch, released);
}

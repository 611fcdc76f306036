// Schedules as data: how the deterministic scheduler chooses the next thread.
//
// The fixed strategy (the default) is the classic deterministic loop: a thread runs until it
// blocks, DPCs and timers run inside pumps and waits, in one fixed order (host-kernel.md).
// The exploring strategies give the scheduler a choice at every switch point: each kernel call a
// driver routine makes (spin lock acquire and release, completing or sending a request, events,
// DPCs, work items, timers, remove locks, pool, interlocked operations...), and every wait. DPCs
// run on `dpcProcessors` DPC processors of their own, concurrently with the threads and with
// each other; at most `processors` threads run at raised IRQL at once. Timers that expire in the
// same clock tick expire in an order the strategy chooses. A thread switched out while it holds
// a spin lock keeps it: another thread that wants the lock spins (is not run) until it is free.
// A seed fixes every choice, so a schedule written as text (FormatSchedule) replays exactly.
//
//  - random walk: at each switch point, a thread chosen uniformly among those that can run;
//  - PCT (probabilistic concurrency testing): random distinct thread priorities, the highest
//    priority thread that can run runs, and at depth-1 random switch points out of `steps` the
//    running thread drops below every other; a bug that needs `depth` ordering constraints is
//    found by one run with probability at least 1/(threads * steps^(depth-1)).
//
// Directives turn any strategy into a directed schedule: "hold thread T back until the DPC
// processor reaches its first kernel call inside ReadTotalTimeoutDpc, then run T until it
// blocks".
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host {

enum class Strategy { Fixed, RandomWalk, Pct };

struct ScheduleDirective {
  // The thread held back: it does not run at all until the directive fires; then it runs at
  // once, ahead of every other thread, until it blocks or ends.
  std::string thread;
  // The thread whose switch points are counted ("DPC" is any DPC processor; the session's own
  // thread is named "main" unless it was named otherwise).
  std::string after;
  unsigned nth = 1;     // fires at `after`'s nth switch point that matches both filters below
  std::string service;  // only calls of this kernel service ("KeAcquireSpinLock"); "" any
  std::string routine;  // only inside a driver routine whose name contains this; "" any
};

struct ScheduleOptions {
  Strategy strategy = Strategy::Fixed;
  uint64_t seed = 0;
  unsigned depth = 3;       // PCT: priority change points are depth - 1
  uint64_t steps = 2000;    // PCT: the scheduling decisions one run is expected to take
  unsigned processors = 2;  // threads (the DPC processor among them) at raised IRQL at once
  std::vector<ScheduleDirective> directives;
  // DPC processors ("DPC 0", "DPC 1", ...): each runs the DPCs queued on it, all of them at once,
  // as every processor of the platform runs its own DPC queue (host-kernel.md, "Exploring"). An
  // idle one starts a DPC only on a free processor, so more than `processors` add nothing.
  unsigned dpcProcessors = 2;

  // The scheduler is the exploring one (any strategy but the fixed one, or directives).
  bool Exploring() const { return strategy != Strategy::Fixed || !directives.empty(); }
};

// The text that replays a schedule (directives are not part of it): "fixed",
// "random:SEED" or "pct:DEPTH:STEPS:SEED", SEED in hexadecimal.
std::string FormatSchedule(const ScheduleOptions& schedule);
// Parses what FormatSchedule wrote into `schedule` (other fields untouched); false if malformed.
bool ParseSchedule(const std::string& text, ScheduleOptions* schedule);

// What the last exploring session's scheduler did (recorded when the session ends).
struct ScheduleStats {
  uint64_t points = 0;     // switch points reached
  uint64_t decisions = 0;  // choices made (switch points, waits, spins, thread starts and ends)
  uint64_t switches = 0;   // decisions that ran another thread
};
ScheduleStats LastScheduleStats();

// The schedules of one exploration, in order. With directives, the first is the fixed order
// under them; then random walk and PCT alternate, PCT's depth cycling from 2 to `maxDepth` and
// its expected steps the most decisions any earlier schedule took (at least 100). Each
// schedule's seed comes from the base seed and its number, so the sequence repeats exactly.
class ScheduleSequence {
 public:
  ScheduleSequence(const ScheduleOptions& base, uint64_t baseSeed, unsigned maxDepth = 3);
  ScheduleOptions Next();
  // After a schedule ran: its figures (LastScheduleStats()).
  void Ran(const ScheduleStats& stats);
  unsigned randomWalks() const { return randomWalks_; }
  unsigned pcts() const { return pcts_; }
  uint64_t decisions() const { return decisions_; }  // over every schedule that ran

 private:
  ScheduleOptions base_;
  uint64_t baseSeed_;
  unsigned maxDepth_;
  unsigned next_ = 0;
  uint64_t steps_ = 0;
  uint64_t decisions_ = 0;
  unsigned randomWalks_ = 0;
  unsigned pcts_ = 0;
};
// The base seed of explorations when none is given (runs repeat unless asked otherwise).
constexpr uint64_t kDefaultExploreSeed = 0x5EED0F7A0D1E5C0DULL;

// What a failure report prints to replay the schedule it happened in: `hint` is called with the
// schedule's text when an exploring session starts (for example it returns
// "HOST_EXPLORE_REPLAY=pct:3:2000:1f... ./tests --gtest_filter=Suite.Test"). When the process
// dies under a sanitizer during that session, the line is printed before it ends.
void SetReplayHint(std::function<std::string(const std::string& schedule)> hint);

// A mutex for code beside the kernel (a simulated device, a test tool) that calls kernel services
// while holding it: the exploring scheduler never switches threads while the calling thread
// holds one, since the thread switched to could block on it while its holder cannot run.
class NoSwitchMutex {
 public:
  void lock();
  void unlock();
  bool try_lock();

 private:
  std::mutex mutex_;
};

}  // namespace host

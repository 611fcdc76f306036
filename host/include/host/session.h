// The host kernel's control surface for tests and tools: one kernel session at a time.
//
// A Session is the whole kernel: creating one resets every kernel service to a clean state
// (empty object namespace, registry, pool, queues, virtual clock at zero); destroying it runs the
// end-of-session checks of the verifier (pool and requests leaked, timers, DPCs or work items
// left queued), stops the kernel's threads and reports what it found.
//
// Two ways to run:
//  - Deterministic: nothing happens behind the test's back. DPCs, expired timers, work items and
//    cooperative threads run only inside Pump(), AdvanceTime() and blocking waits. Exactly one
//    thread runs at any moment, so every interleaving is reproducible. A wait that nothing can
//    ever satisfy is reported as a deadlock naming the waiter (never a hang).
//  - Threaded: DPC threads at DISPATCH_LEVEL, a timer thread on real time, worker threads for the
//    delayed work queue, and any number of caller threads; used by stress tests, the demo and
//    the serial bridge.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/schedule.h"

namespace host {

enum class Mode { Deterministic, Threaded };

struct SessionOptions {
  Mode mode = Mode::Deterministic;
  // Deterministic mode: when every thread waits and no DPC, work item or thread is runnable,
  // move the virtual clock to the next timer's due time instead of reporting a deadlock.
  bool autoAdvanceTime = true;
  unsigned dpcThreads = 2;     // threaded mode: DPC threads (processors running DPCs)
  unsigned workerThreads = 2;  // delayed work queue threads (both modes; cooperative threads in
                               // deterministic mode, so a blocked work item blocks only its own)
  bool traceServices = false;  // print every kernel service call with its arguments (also
                               // switched on by the environment variable HOST_TRACE=1)
  ScheduleOptions schedule;    // deterministic mode: how the next thread is chosen (schedule.h)
  // The clock tick in 100 ns units (KeQueryTimeIncrement): timers expire, and timed waits end,
  // at the first tick boundary at or after their due time (ticks counted from session start).
  // 156250 (15.625 ms) is the increment of the platform's multiprocessor x86 systems (single-
  // processor ones tick about every 10 ms); 1 makes due times exact.
  int64_t clockTick = 156250;
};

class Thread;

class Session {
 public:
  explicit Session(SessionOptions options = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The session in force; aborts when there is none.
  static Session& Current();
  static bool Active();

  Mode mode() const;
  const SessionOptions& options() const;

  // Interrupt time in 100 ns units since the session started (virtual in deterministic mode).
  int64_t Now() const;

  // Deterministic mode: move the virtual clock forward by `delta` (100 ns units), expiring every
  // timer that falls due on the way, in due-time order, and running what becomes runnable
  // (DPCs, work items, cooperative threads) at each expiry before going on.
  // Threaded mode: sleeps for the real time.
  void AdvanceTime(int64_t delta);
  void AdvanceTimeMs(int64_t ms) { AdvanceTime(ms * 10000); }

  // Runs everything runnable now — queued DPCs (at DISPATCH_LEVEL), work items (on a worker
  // thread at PASSIVE_LEVEL) and cooperative threads that can proceed — until nothing is
  // runnable. Does not move the clock. Threaded mode: waits (bounded) until the DPC and work
  // queues are empty.
  void Pump();

  // Deterministic mode: pumps, and while `done` is false moves the clock to the next timer,
  // up to `limit` (100 ns units) of virtual time. Returns done().
  bool RunUntil(const std::function<bool()>& done, int64_t limit);

  // Waits on the calling thread until `done()` holds, as a kernel wait does: in deterministic
  // mode the test's thread runs the session meanwhile (the clock jumping to the next timer when
  // nothing else can run; a wait nothing can ever end is reported as a Deadlock naming `what`),
  // and a cooperative thread yields until it can go on. `timeout` (100 ns units) bounds the wait.
  // `done` is evaluated under the dispatcher lock: it reads flags, nothing more. Returns done().
  bool WaitFor(const std::function<bool()>& done, const std::string& what,
               std::optional<int64_t> timeout = std::nullopt);

  // Starts a thread that runs `body` at PASSIVE_LEVEL. Deterministic mode: a cooperative thread,
  // run at once until it blocks or finishes, then again whenever it can proceed inside Pump(),
  // AdvanceTime() or another thread's wait. Threaded mode: a real thread.
  std::shared_ptr<Thread> Spawn(const std::string& name, std::function<void()> body);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct SessionAccess;
};

class Thread {
 public:
  virtual ~Thread() = default;
  virtual const std::string& name() const = 0;
  virtual bool Finished() const = 0;
  // Waits until the thread has finished (pumping in deterministic mode; a deadlock is reported
  // if it can never finish).
  virtual void Join() = 0;
};

// Names the calling thread in reports and traces (threads the host did not start are
// registered on first use of a kernel service).
void SetThreadName(const std::string& name);

}  // namespace host

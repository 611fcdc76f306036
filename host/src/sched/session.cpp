// The session: the whole kernel's life cycle, one at a time.
//
// Start: every core service back to a clean state (clock at 0, empty queues and tables, no
// faults, no captured output or violations, the cancel spin lock declared), the creating thread
// back at PASSIVE_LEVEL, the I/O half's start hooks, then the kernel's threads.
// End, in this order:
//   1. the I/O half's end hooks (its leak checks), with everything still running;
//   2. the kernel threads stop taking work; timers still set, DPCs and work items still queued
//      are reported (FreedObjectInUse: they would run against memory the test is about to
//      release) and dropped;
//   3. threads the test left behind are reported (Deadlock) and abandoned; the kernel's own
//      threads end;
//   4. pool still allocated is reported (PoolLeak) and released.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "internal/core.h"

namespace host::internal {
namespace {

Session* gCurrent = nullptr;
std::mutex gSessionMutex;

struct Hooks {
  std::mutex mutex;
  std::vector<std::function<void()>> start;
  std::vector<std::function<void()>> end;
};
Hooks& H() {
  static Hooks* h = new Hooks;
  return *h;
}

}  // namespace

CoreState& Core() {
  static CoreState* c = new CoreState;
  return *c;
}

bool SessionActive() { return Core().active.load(); }

void RequireSession(const char* service) {
  if (!SessionActive()) {
    std::fprintf(stderr, "host kernel: %s called with no session (create a host::Session first)\n",
                 service);
    std::abort();
  }
}

void AddSessionStartHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(H().mutex);
  H().start.push_back(std::move(hook));
}

void AddSessionEndHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(H().mutex);
  H().end.push_back(std::move(hook));
}

void RunSessionStartHooks() {
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard<std::mutex> lock(H().mutex);
    hooks = H().start;
  }
  for (auto& hook : hooks) hook();
}

void RunSessionEndHooks() {
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard<std::mutex> lock(H().mutex);
    hooks = H().end;
  }
  for (auto& hook : hooks) hook();
}

bool RunUntilThreaded(const std::function<bool()>& done, int64_t limit) {
  auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(limit * 100);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    // Something changes only when a kernel thread or a caller wakes waiters; poll gently in
    // between so that conditions outside the kernel's knowledge are seen too.
    WaitUntilEx([] { return false; }, "RunUntil", 10000, nullptr, true);
  }
  return true;
}

}  // namespace host::internal

namespace host {

using namespace internal;

struct Session::Impl {
  SessionOptions options;
};

Session::Session(SessionOptions options) : impl_(std::make_unique<Impl>()) {
  std::lock_guard<std::mutex> lock(gSessionMutex);
  if (gCurrent != nullptr) {
    std::fprintf(stderr, "host kernel: a session is already active (one at a time)\n");
    std::abort();
  }
  impl_->options = options;
  CoreState& c = Core();
  c.options = options;
  c.stopping = false;
  c.ending = false;
  c.virtualNow = 0;
  c.start = std::chrono::steady_clock::now();

  ThreadState& me = CurrentThread();
  ResetThreadState(me);
  if (me.name.rfind("thread ", 0) == 0) SetCurrentThreadName("main");
  ResetThreadState(DpcProcessorState());

  VerifierSessionStart();
  ResetLockDeclarations();
  FaultsSessionStart();
  PoolSessionStart();
  DebugSessionStart();
  TraceSessionStart(options.traceServices);
  TimerDpcSessionStart();
  WorkSessionStart();
  SchedulerSessionStart();
  c.active = true;
  gCurrent = this;
  if (TraceOn()) {
    Trace("session start (%s mode)", options.mode == Mode::Deterministic ? "deterministic" : "threaded");
  }
  RunSessionStartHooks();
  StartWorkers();
  if (options.mode == Mode::Threaded) StartThreadedTimerAndDpcThreads();
  if (Exploring()) StartDpcProcessors(std::max(1u, options.schedule.dpcProcessors));
}

Session::~Session() {
  CoreState& c = Core();
  RunSessionEndHooks();
  c.stopping = true;
  WakeWaiters();
  TimerDpcSessionEnd();
  WorkSessionEnd();
  SchedulerSessionEnd();
  if (c.options.mode == Mode::Threaded) {
    StopThreadedTimerAndDpcThreads();
    StopWorkers();
  } else {
    StopWorkers();  // their cooperative threads have already finished
    StopThreadedTimerAndDpcThreads();  // so has the exploring scheduler's DPC processor
  }
  PoolSessionEnd();
  if (TraceOn()) Trace("session end");
  ResetThreadState(CurrentThread());
  std::lock_guard<std::mutex> lock(gSessionMutex);
  c.active = false;
  gCurrent = nullptr;
}

Session& Session::Current() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "host kernel: no session is active\n");
    std::abort();
  }
  return *gCurrent;
}

bool Session::Active() { return SessionActive(); }

Mode Session::mode() const { return impl_->options.mode; }

const SessionOptions& Session::options() const { return impl_->options; }

int64_t Session::Now() const { return NowTicks(); }

void Session::AdvanceTime(int64_t delta) {
  if (TraceOn()) Trace("AdvanceTime(%lld)", static_cast<long long>(delta));
  if (mode() == Mode::Deterministic) {
    AdvanceTimeDeterministic(delta);
  } else if (delta > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(delta * 100));
  }
}

void Session::Pump() {
  if (mode() == Mode::Deterministic) {
    PumpDeterministic();
  } else {
    PumpThreaded();
  }
}

bool Session::RunUntil(const std::function<bool()>& done, int64_t limit) {
  if (mode() == Mode::Deterministic) return RunUntilDeterministic(done, limit);
  return RunUntilThreaded(done, limit);
}

bool Session::WaitFor(const std::function<bool()>& done, const std::string& what,
                      std::optional<int64_t> timeout) {
  return WaitUntilEx(done, what, timeout, nullptr, false) == STATUS_SUCCESS;
}

std::shared_ptr<Thread> Session::Spawn(const std::string& name, std::function<void()> body) {
  return SpawnThread(name, std::move(body), false);
}

}  // namespace host

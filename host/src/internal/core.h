// What the executive and kernel core's own files share (never used by the I/O half, which sees
// only internal/kernel.h).
//
// Locks inside the core, in the order they may be taken:
//   DispatcherLock()  object signal states, the DPC queue, the timer table, the work queue, the
//                     wait records and the cooperative threads' wait data;
//   SchedulerMutex()  the baton of the deterministic scheduler (who runs);
//   the wait mutex    the threaded mode's condition variable (ke/wait.cpp);
//   pool, verifier, trace and debug mutexes: leaves, never held while taking another.
// Report() is never called with the dispatcher lock held: its handler may do anything.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "host/session.h"
#include "internal/kernel.h"

namespace host::internal {

// ---------------------------------------------------------------------------------------------
// Session state
// ---------------------------------------------------------------------------------------------
struct CoreState {
  std::atomic<bool> active{false};
  SessionOptions options;
  std::atomic<bool> stopping{false};  // session end: kernel threads leave their loops
  std::atomic<bool> ending{false};    // session end: waits no longer block (STATUS_ABANDONED)
  std::atomic<int64_t> virtualNow{0};
  std::chrono::steady_clock::time_point start;
};
CoreState& Core();
bool SessionActive();
// Aborts with a message naming `service` when no session is active.
void RequireSession(const char* service);

// Interrupt time since the session started, 100 ns units.
int64_t NowTicks();
// Deterministic mode: moves the virtual clock (never backwards).
void SetVirtualNow(int64_t ticks);
// The clock tick (SessionOptions::clockTick, at least 1) and the first tick boundary at or after
// interrupt time `t`: when a timer due at `t` expires.
int64_t ClockTick();
int64_t TickBoundaryAtOrAfter(int64_t t);
// The system time at interrupt time 0 (2001-01-01 00:00 UTC, 100 ns units since 1601).
constexpr int64_t kSystemTimeEpoch = 126227808000000000LL;

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------
// Replaces the calling OS thread's ThreadState for a scope (the deterministic DPC "processor").
class ThreadStateSwap {
 public:
  explicit ThreadStateSwap(ThreadState* state);
  ~ThreadStateSwap();
  ThreadStateSwap(const ThreadStateSwap&) = delete;
  ThreadStateSwap& operator=(const ThreadStateSwap&) = delete;

 private:
  ThreadState* saved_;
};
// The name of the thread whose state is `state`, if it is still alive ("" otherwise).
std::string ThreadNameOf(const void* state);
bool IsLiveThreadState(const void* state);
void SetCurrentThreadName(const std::string& name);
std::string DescribeFrame(const Frame& frame);
// Session start: the calling thread's state back to PASSIVE_LEVEL with nothing held.
void ResetThreadState(ThreadState& state);
// After a bug check unwound a routine: releases what the state still holds, back to PASSIVE.
void AbandonThreadState(ThreadState& state);
// The state the deterministic scheduler runs DPCs with.
ThreadState& DpcProcessorState();
// Kernel APCs (ke/thread.cpp). True if the thread cannot take a special kernel APC: above
// PASSIVE_LEVEL or holding a fast mutex.
bool KernelApcsDisabled(const ThreadState& state);
// Runs the APCs queued to `state`, the calling thread's own, whatever its IRQL (the waits that
// take them, and the verifier's recovery after a Deadlock report).
void RunKernelApcs(ThreadState& state);
// True on a thread that is running its kernel APCs (an APC is never run inside another).
bool RunningKernelApcs();
// A request `state` built, not yet through its final stage, whose event is `event`.
std::optional<ThreadRequest> OutstandingThreadRequest(const ThreadState& state, const void* event);
// Every live thread's name and frames, copied (each thread's under its framesMutex).
struct ThreadFrames {
  std::string thread;
  std::vector<Frame> frames;
};
std::vector<ThreadFrames> AllThreadFrames();
// FrameScope, before the call: notes the routine of a completion frame as its device's driver's
// code, and reports a routine of an unloaded driver (image/driver_code.cpp).
void EnteringDriverRoutine(const Frame& frame);

// IRQL bookkeeping without checks, and names for reports.
void SetIrql(KIRQL irql);
std::string IrqlName(KIRQL irql);
// KeLowerIrql's checks for another service (a spin lock release lowering the IRQL).
void LowerIrqlFor(const char* service, KIRQL newIrql);

// ---------------------------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------------------------
std::string LockName(const void* lock);  // declared name and address, or the address
std::string HeldLocksText(const ThreadState& state);
// Clears the lock word of a lock the thread holds without the normal checks (verifier recovery).
void ForceReleaseSpinLock(ThreadState& state, const void* lock);
// Gives up the fast mutexes the thread took beyond the first `keep` (verifier recovery).
void ForceReleaseFastMutexes(ThreadState& state, size_t keep);
void DropLockDeclarationsIn(const void* base, size_t size);
void ResetLockDeclarations();

// ---------------------------------------------------------------------------------------------
// Bug checks
// ---------------------------------------------------------------------------------------------
// Thrown by KeBugCheckEx when the verifier's handler returns: unwinds the routine that called it
// up to the kernel code that started it (a DPC, a work item, a cooperative or spawned thread,
// host::verifier::RunCatchingBugCheck). Driver code has no cleanups, so unwinding through it is
// safe; the host's own scopes tolerate it.
struct BugCheckUnwind {
  ULONG code;
};

// ---------------------------------------------------------------------------------------------
// Waiting
// ---------------------------------------------------------------------------------------------
// One blocked wait, listed while the wait lasts (guarded by the dispatcher lock).
struct WaitRecord {
  const void* object = nullptr;  // the dispatcher object waited on, if any
  std::string thread;
  std::string what;
  bool abandoned = false;  // the object was freed or the session ends: the wait gives up
};

// WaitUntil with the object waited on (for the freed-range check) and, for the kernel's own idle
// loops, without the verifier's checks and without counting as a deadlocked waiter.
NTSTATUS WaitUntilEx(const std::function<bool()>& satisfied, const std::string& what,
                     std::optional<int64_t> timeout, const void* object, bool kernelIdle);

// WaitUntilEx for a thread that takes its kernel APCs while it waits, when it can (or always,
// with `takeApcs`): queued ones run before it blocks, one queued while it is blocked runs and
// the wait goes on (ke/wait.cpp). KeWaitForSingleObject, KeDelayExecutionThread and WaitUntil.
NTSTATUS WaitTakingApcs(const std::function<bool()>& satisfied, const std::string& what,
                        std::optional<int64_t> timeout, const void* object, bool takeApcs);

// Every wait in progress (dispatcher lock held).
std::vector<WaitRecord*>& ActiveWaits();

// Deterministic scheduler (sched/scheduler.cpp).
void SchedulerSessionStart();
void SchedulerSessionEnd();
void PumpDeterministic();
void PumpThreaded();
void AdvanceTimeDeterministic(int64_t delta);
bool RunUntilDeterministic(const std::function<bool()>& done, int64_t limit);
std::shared_ptr<Thread> SpawnThread(const std::string& name, std::function<void()> body,
                                    bool daemon);
// True on a cooperative thread of the deterministic scheduler.
bool OnCooperativeThread();
// The session's scheduler is the exploring one (SessionOptions::schedule).
bool Exploring();
// Exploring scheduler: the calling thread wants `lock`, which another thread holds; other
// threads run until the lock is free (true) or until nothing else can run (false: it never will).
bool ExploreSpin(const void* lock);
// Exploring scheduler: a choice among `n` equal possibilities the strategy makes (0 under the
// fixed order, or when not exploring).
unsigned ExploreChoice(unsigned n);
// The schedule's text while an exploring session runs (for reports).
std::string CurrentScheduleText();
// Threaded mode, session end: joins the kernel's own threads (they leave their loops once
// Core().stopping is set and the waiters are woken).
void JoinKernelThreads(std::vector<std::shared_ptr<Thread>>& threads);

// ---------------------------------------------------------------------------------------------
// DPCs and timers (ke/timer_dpc.cpp)
// ---------------------------------------------------------------------------------------------
struct DpcEntry {
  PKDPC dpc = nullptr;  // NULL for QueueDpcCall
  PKDEFERRED_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
  std::function<void()> fn;
  std::string what;
  int processor = -1;  // the DPC processor whose queue holds it; -1: any (see ClaimDpc)
};
// Dispatcher lock held. Takes the first queued DPC that DPC processor `processor` may run (-1,
// the fixed loop's one processor: the first of all), marks it running and clears its queued mark.
bool ClaimDpc(DpcEntry* out, int processor);
// Runs a claimed DPC at DISPATCH_LEVEL on the calling thread, then marks it finished.
void RunClaimedDpc(DpcEntry& entry);
// Dispatcher lock held: anything queued or running?
bool DpcWorkPending();
// Dispatcher lock held: earliest due time of an armed timer.
std::optional<int64_t> EarliestTimerDue();
// Expires every timer due at or before `now`; false if none is due.
bool ExpireDueTimers(int64_t now);
void TimerDpcSessionStart();
// Session end: reports and forgets armed timers and queued DPCs.
void TimerDpcSessionEnd();
void FreedRangeTimersDpcs(const void* base, size_t size, const char* what,
                          std::vector<std::string>* findings);
// Dispatcher lock held: every queued DPC and set timer whose DPC routine `isDriverCode` says is
// the unloading driver's is described in `findings`, dequeued and disarmed.
void UnloadedDriverTimersDpcs(const std::function<bool(const void*)>& isDriverCode,
                              std::vector<std::string>* findings);
// Threaded mode: the timer thread and the DPC threads.
void StartThreadedTimerAndDpcThreads();
// Exploring scheduler: the DPC processors, cooperative kernel threads named "DPC 0", "DPC 1"...
void StartDpcProcessors(unsigned count);
// Either mode: the threads above end.
void StopThreadedTimerAndDpcThreads();
// Dispatcher lock held: the timer table changed (wakes the timer thread).
void TimerTableChanged();

// ---------------------------------------------------------------------------------------------
// Work items (ex/workitem.cpp)
// ---------------------------------------------------------------------------------------------
bool WorkPending();  // dispatcher lock held
void WorkSessionStart();
void WorkSessionEnd();
void StartWorkers();
void StopWorkers();
void FreedRangeWorkItems(const void* base, size_t size, const char* what,
                         std::vector<std::string>* findings);
// Dispatcher lock held: every queued work item of `driver` (queued inside its routines, or an
// I/O work item on its device) or whose routine `isDriverCode` says is the driver's is described
// in `findings` and dequeued. Device references of dequeued I/O work items go to `release`.
void UnloadedDriverWorkItems(PDRIVER_OBJECT driver,
                             const std::function<bool(const void*)>& isDriverCode,
                             std::vector<std::string>* findings,
                             std::vector<PDEVICE_OBJECT>* release);

// ---------------------------------------------------------------------------------------------
// Pool (ex/pool.cpp), faults (verifier/faults.cpp), debug (diag/debug.cpp), trace
// (diag/trace.cpp), verifier
// ---------------------------------------------------------------------------------------------
void PoolSessionStart();
void PoolSessionEnd();
void FaultsSessionStart();
void DebugSessionStart();
void TraceSessionStart(bool on);
void VerifierSessionStart();
void RunSessionStartHooks();
void RunSessionEndHooks();

std::string Hex(uint64_t value);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace host::internal

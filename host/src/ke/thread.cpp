// Threads as the kernel sees them: each OS thread that calls a kernel service has a ThreadState
// (name, IRQL, spin locks and fast mutexes held, the driver routines it is inside, the kernel
// APCs queued to it).
//
// Kernel APCs. The host models the one kind a driver meets: the special kernel APC the platform's
// I/O manager queues to the thread that built a request (IoBuildDeviceIoControlRequest records it
// in Irp->Tail.Overlay.Thread) to run the request's final stage in that thread's context. The
// thread takes it only at PASSIVE_LEVEL: at APC_LEVEL, which a fast mutex raises to, it stays
// queued. It runs
//  - at once, when the completer is that thread and can take it;
//  - when the thread waits (KeWaitForSingleObject, KeDelayExecutionThread and the kernel's own
//    waits through WaitUntil): before it blocks, and whenever one is queued while it is blocked;
//  - when the thread lowers its IRQL to PASSIVE_LEVEL (KeLowerIrql, a spin lock or fast mutex
//    release);
//  - in deterministic mode, when a DPC that ran on the thread's OS thread returns to it (the
//    interrupted thread takes its pending APC as the interrupt returns).
// It runs at APC_LEVEL. Critical regions (KeEnterCriticalRegion) hold off normal kernel APCs
// only, never this one; guarded regions, which would, do not exist on Windows 2000.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <unordered_map>

#include "internal/core.h"

namespace host::internal {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<const void*, ThreadState*> live;
  unsigned next = 1;
};
Registry& Threads() {
  static Registry* registry = new Registry;  // outlives every thread_local destructor
  return *registry;
}

struct OwnState {
  ThreadState state;
  OwnState() {
    Registry& r = Threads();
    std::lock_guard<std::mutex> lock(r.mutex);
    state.name = "thread " + std::to_string(r.next++);
    r.live[&state] = &state;
  }
  ~OwnState() {
    Registry& r = Threads();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.erase(&state);
  }
};

thread_local ThreadState* tlsCurrent = nullptr;

ThreadState& OwnThreadState() {
  thread_local OwnState own;
  return own.state;
}

const char* FrameKindName(Frame::Kind kind) {
  switch (kind) {
    case Frame::DriverEntry: return "DriverEntry";
    case Frame::DriverUnload: return "unload routine";
    case Frame::AddDevice: return "AddDevice routine";
    case Frame::Dispatch: return "dispatch routine";
    case Frame::Completion: return "completion routine";
    case Frame::Cancel: return "cancel routine";
    case Frame::Dpc: return "DPC routine";
    case Frame::WorkItem: return "work item routine";
    case Frame::PowerCompletion: return "power completion function";
    case Frame::Other: return "routine";
  }
  return "routine";
}

}  // namespace

ThreadState& CurrentThread() {
  if (tlsCurrent == nullptr) tlsCurrent = &OwnThreadState();
  return *tlsCurrent;
}

ThreadStateSwap::ThreadStateSwap(ThreadState* state) : saved_(&CurrentThread()) {
  tlsCurrent = state;
}
ThreadStateSwap::~ThreadStateSwap() {
  tlsCurrent = saved_;
  DeliverKernelApcs();
}

ThreadState& DpcProcessorState() {
  static ThreadState* state = [] {
    auto* s = new ThreadState;
    s->name = "DPC";
    Registry& r = Threads();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live[s] = s;
    return s;
  }();
  return *state;
}

std::string ThreadNameOf(const void* state) {
  Registry& r = Threads();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.live.find(state);
  return it == r.live.end() ? std::string() : it->second->name;
}

bool IsLiveThreadState(const void* state) {
  Registry& r = Threads();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.live.count(state) != 0;
}

void ResetThreadState(ThreadState& state) {
  state.irql = PASSIVE_LEVEL;
  state.heldLocks.clear();
  {
    std::lock_guard<std::mutex> lock(state.framesMutex);
    state.frames.clear();
  }
  state.heldFastMutexes.clear();
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  state.kernelApcs.clear();
  state.threadRequests.clear();
}

void AbandonThreadState(ThreadState& state) {
  while (!state.heldLocks.empty()) {
    ForceReleaseSpinLock(state, state.heldLocks.back().lock);
  }
  ForceReleaseFastMutexes(state, 0);
  state.irql = PASSIVE_LEVEL;
}

void SetIrql(KIRQL irql) { CurrentThread().irql = irql; }

// ---- Kernel APCs -----------------------------------------------------------------------------

namespace {

const void* InnermostRoutine(const ThreadState& t) {
  for (size_t i = t.frames.size(); i-- > 0;) {
    if (t.frames[i].routine != nullptr) return t.frames[i].routine;
  }
  return nullptr;
}

thread_local bool tlsRunningApcs = false;

}  // namespace

bool KernelApcsDisabled(const ThreadState& state) {
  return state.irql != PASSIVE_LEVEL || !state.heldFastMutexes.empty() ||
         !state.heldLocks.empty();
}

void* NoteThreadRequest(PIRP irp, PKEVENT event, const void* caller) {
  ThreadState& t = CurrentThread();
  if (t.irql >= DISPATCH_LEVEL) return nullptr;
  ThreadRequest request;
  request.irp = irp;
  request.event = event;
  request.builtBy = caller;
  request.builtIn = InnermostRoutine(t);
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  t.threadRequests.push_back(std::move(request));
  return &t;
}

void QueueThreadRequestApc(void* thread, PIRP irp, std::function<void()> finalStage) {
  auto* target = static_cast<ThreadState*>(thread);
  ThreadState& me = CurrentThread();
  bool queued = false;
  if (target != nullptr) {
    const void* completedIn = InnermostRoutine(me);
    Registry& r = Threads();
    std::lock_guard<std::mutex> live(r.mutex);  // the thread stays alive while its APC is queued
    if (r.live.count(target) != 0) {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      for (ThreadRequest& request : target->threadRequests) {
        if (request.irp != irp) continue;
        request.completed = true;
        request.completedIn = completedIn;
        request.completer = me.name;
      }
      target->kernelApcs.push_back(KernelApc{irp, std::move(finalStage)});
      queued = true;
    }
  }
  if (!queued) {
    finalStage();
  } else if (target == &me) {
    DeliverKernelApcs();
  } else {
    WakeWaiters();  // the thread may be blocked in a wait that takes APCs
  }
}

void ForgetThreadRequest(void* thread, PIRP irp) {
  auto* target = static_cast<ThreadState*>(thread);
  if (target == nullptr) return;
  Registry& r = Threads();
  std::lock_guard<std::mutex> live(r.mutex);
  if (r.live.count(target) == 0) return;
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  auto& list = target->threadRequests;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [irp](const ThreadRequest& request) { return request.irp == irp; }),
             list.end());
}

bool RunningKernelApcs() { return tlsRunningApcs; }

// An APC runs at APC_LEVEL; one queued while another runs waits for the loop (never nested).
void RunKernelApcs(ThreadState& state) {
  if (tlsRunningApcs) return;
  tlsRunningApcs = true;
  for (;;) {
    KernelApc apc;
    {
      std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
      if (state.kernelApcs.empty()) break;
      apc = std::move(state.kernelApcs.front());
      state.kernelApcs.pop_front();
      auto& list = state.threadRequests;
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&apc](const ThreadRequest& r) { return r.irp == apc.irp; }),
                 list.end());
    }
    const KIRQL irql = state.irql;
    if (state.irql < APC_LEVEL) state.irql = APC_LEVEL;
    apc.run();
    state.irql = irql;
  }
  tlsRunningApcs = false;
}

void DeliverKernelApcs() {
  ThreadState& t = CurrentThread();
  if (KernelApcsDisabled(t)) return;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    if (t.kernelApcs.empty()) return;
  }
  RunKernelApcs(t);
}

std::optional<ThreadRequest> OutstandingThreadRequest(const ThreadState& state, const void* event) {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  for (const ThreadRequest& request : state.threadRequests) {
    if (request.event == event) return request;
  }
  return std::nullopt;
}

std::string IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
  }
}

std::string DescribeFrame(const Frame& frame) {
  std::string text = std::string(FrameKindName(frame.kind)) + " " + Symbolize(frame.routine);
  if (frame.irp != nullptr) {
    text += " for " + DescribeIrp(frame.irp);
  } else if (frame.device != nullptr) {
    text += " for " + DescribeDevice(frame.device);
  }
  return text;
}

// A routine that returns with a lock still held is reported once (SpinLockMisuse) and the locks
// are released for it, so that the rest of the run does not spin on them; otherwise a changed
// IRQL is reported (IrqlMisuse) and put back. Nothing is checked while a bug check unwinds.
FrameScope::FrameScope(const Frame& frame) {
  if (GuardTouchesPending()) ReportGuardTouches();
  // A routine of an unloaded driver is reported before it is called (image/driver_code.cpp).
  EnteringDriverRoutine(frame);
  ThreadState& t = CurrentThread();
  irql_ = t.irql;
  locks_ = t.heldLocks.size();
  std::lock_guard<std::mutex> lock(t.framesMutex);
  t.frames.push_back(frame);
}

FrameScope::~FrameScope() {
  if (GuardTouchesPending()) ReportGuardTouches();
  ThreadState& t = CurrentThread();
  if (std::uncaught_exceptions() == 0 && !t.frames.empty()) {
    const Frame& frame = t.frames.back();
    if (t.heldLocks.size() > locks_) {
      std::string names;
      for (size_t i = locks_; i < t.heldLocks.size(); ++i) {
        if (!names.empty()) names += ", ";
        names += LockName(t.heldLocks[i].lock);
      }
      Report(verifier::Rule::SpinLockMisuse,
             DescribeFrame(frame) + " returned holding spin lock " + names + " (at " +
                 IrqlName(t.irql) + ")");
      while (t.heldLocks.size() > locks_) ForceReleaseSpinLock(t, t.heldLocks.back().lock);
      t.irql = irql_;
    } else if (t.irql != irql_) {
      Report(verifier::Rule::IrqlMisuse, DescribeFrame(frame) + " returned at " +
                                             IrqlName(t.irql) + "; it was called at " +
                                             IrqlName(irql_));
      t.irql = irql_;
    }
  }
  std::lock_guard<std::mutex> lock(t.framesMutex);
  if (!t.frames.empty()) t.frames.pop_back();
}

std::vector<ThreadFrames> AllThreadFrames() {
  std::vector<ThreadFrames> out;
  Registry& r = Threads();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const auto& [key, state] : r.live) {
    std::lock_guard<std::mutex> frames(state->framesMutex);
    if (!state->frames.empty()) out.push_back({state->name, state->frames});
  }
  return out;
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
  struct Restore {
    KIRQL old;
    ~Restore() { CurrentThread().irql = old; }
  } restore{CurrentThread().irql};
  CurrentThread().irql = irql;
  fn();
}

void SetCurrentThreadName(const std::string& name) {
  ThreadState& state = CurrentThread();  // registers first: that takes the registry's lock
  Registry& r = Threads();
  std::lock_guard<std::mutex> lock(r.mutex);  // reports on other threads read names
  state.name = name;
}

}  // namespace host::internal

namespace host {
void SetThreadName(const std::string& name) { internal::SetCurrentThreadName(name); }
}  // namespace host

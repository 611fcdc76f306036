// Threads as the kernel sees them: each OS thread that calls a kernel service has a ThreadState
// (name, IRQL, spin locks and fast mutexes held, the driver routines it is inside).
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
ThreadStateSwap::~ThreadStateSwap() { tlsCurrent = saved_; }

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
}

void AbandonThreadState(ThreadState& state) {
  while (!state.heldLocks.empty()) {
    ForceReleaseSpinLock(state, state.heldLocks.back().lock);
  }
  ForceReleaseFastMutexes(state, 0);
  state.irql = PASSIVE_LEVEL;
}

void SetIrql(KIRQL irql) { CurrentThread().irql = irql; }

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
  // A routine of an unloaded driver is reported before it is called (image/driver_code.cpp).
  EnteringDriverRoutine(frame);
  ThreadState& t = CurrentThread();
  irql_ = t.irql;
  locks_ = t.heldLocks.size();
  std::lock_guard<std::mutex> lock(t.framesMutex);
  t.frames.push_back(frame);
}

FrameScope::~FrameScope() {
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

// Work items and the system worker threads.
//
// One delayed work queue (the critical and hypercritical queues are the same queue on the host),
// served in FIFO order by SessionOptions::workerThreads workers, in both modes: in deterministic
// mode the workers are cooperative threads (so a work item may block without blocking the test,
// and the first idle worker in creation order takes the next item); in threaded mode they are
// real threads. The kernel's own deferred work (QueueSystemWork) shares the queue.
//
// While an item is queued, its List.Flink is non-NULL (ExInitializeWorkItem leaves it NULL);
// the worker reads WorkerRoutine and Parameter when it takes the item and clears Flink, and
// never touches the item again (the routine usually frees it).
#include "internal/core.h"
#include "internal/routine_call.h"

using host::verifier::Rule;

namespace host::internal {
namespace {

struct WorkEntry {
  PWORK_QUEUE_ITEM item = nullptr;
  PWORKER_THREAD_ROUTINE routine = nullptr;
  PVOID parameter = nullptr;
  std::function<void()> fn;
  std::string what;
};

struct WorkState {
  std::deque<WorkEntry> queue;
  std::unordered_set<PWORK_QUEUE_ITEM> queued;
  unsigned inFlight = 0;
  std::vector<std::shared_ptr<Thread>> workers;
};
WorkState& W() {
  static WorkState* w = new WorkState;
  return *w;
}

std::string ItemText(const WorkEntry& e) {
  if (e.item == nullptr) return "kernel work '" + e.what + "'";
  return "work item " + Hex(reinterpret_cast<uintptr_t>(e.item)) + " (routine " +
         Symbolize(reinterpret_cast<const void*>(e.routine)) + ")";
}

// Dispatcher lock held.
bool ClaimWork(WorkEntry* out) {
  WorkState& w = W();
  if (w.queue.empty()) return false;
  *out = std::move(w.queue.front());
  w.queue.pop_front();
  if (PWORK_QUEUE_ITEM item = out->item) {
    w.queued.erase(item);
    out->routine = item->WorkerRoutine;
    out->parameter = item->Parameter;
    item->List.Flink = nullptr;
  }
  w.inFlight++;
  return true;
}

// At PASSIVE_LEVEL inside a FrameScope(WorkItem): returning at another IRQL or holding a lock is
// reported. A bug check inside the routine ends the work item; the worker goes on.
void RunWork(WorkEntry& entry) {
  try {
    if (entry.item != nullptr) {
      if (TraceOn()) {
        Trace("work item %s(%p)", Symbolize(reinterpret_cast<const void*>(entry.routine)).c_str(),
              entry.parameter);
      }
      Frame frame;
      frame.kind = Frame::WorkItem;
      frame.routine = reinterpret_cast<const void*>(entry.routine);
      FrameScope scope(frame);
      CallRoutine(entry.routine, entry.parameter);
    } else {
      entry.fn();
    }
  } catch (const BugCheckUnwind&) {
    AbandonThreadState(CurrentThread());
  }
  entry.fn = nullptr;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    W().inFlight--;
  }
  WakeWaiters();
}

void WorkerMain() {
  for (;;) {
    WorkEntry entry;
    bool got = false;
    WaitUntilEx(
        [&] {
          if (Core().stopping) return true;
          got = ClaimWork(&entry);
          return got;
        },
        "worker idle", std::nullopt, nullptr, true);
    if (!got) {
      if (Core().stopping) return;
      continue;
    }
    RunWork(entry);
  }
}

}  // namespace

bool WorkPending() {
  WorkState& w = W();
  return !w.queue.empty() || w.inFlight != 0;
}

void WorkSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
  WorkState& w = W();
  w.queue.clear();
  w.queued.clear();
  w.inFlight = 0;
  w.workers.clear();
}

void WorkSessionEnd() {
  std::vector<std::string> leftovers;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    WorkState& w = W();
    for (const WorkEntry& e : w.queue) {
      leftovers.push_back("session ended with " + ItemText(e) + " still queued");
    }
    w.queue.clear();
    w.queued.clear();
  }
  for (const std::string& text : leftovers) Report(Rule::FreedObjectInUse, text);
}

void StartWorkers() {
  unsigned n = std::max(1u, Core().options.workerThreads);
  for (unsigned i = 0; i < n; ++i) {
    W().workers.push_back(SpawnThread("worker " + std::to_string(i), WorkerMain, true));
  }
}

void StopWorkers() {
  WakeWaiters();
  JoinKernelThreads(W().workers);
}

// Dispatcher lock held.
void FreedRangeWorkItems(const void* base, size_t size, const char* what,
                         std::vector<std::string>* findings) {
  WorkState& w = W();
  auto b = static_cast<const char*>(base);
  for (auto it = w.queue.begin(); it != w.queue.end();) {
    auto p = reinterpret_cast<const char*>(it->item);
    if (it->item != nullptr && p >= b && p < b + size) {
      findings->push_back(ItemText(*it) + " queued inside " + what + " being freed");
      w.queued.erase(it->item);
      it = w.queue.erase(it);
    } else {
      ++it;
    }
  }
}

void QueueSystemWork(std::function<void()> fn, const std::string& what) {
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    WorkEntry entry;
    entry.fn = std::move(fn);
    entry.what = what;
    W().queue.push_back(std::move(entry));
  }
  if (TraceOn()) Trace("queued system work: %s", what.c_str());
  WakeWaiters();
}

}  // namespace host::internal

using namespace host::internal;

extern "C" {

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  HostSwitchPoint("ExQueueWorkItem");
  KIRQL irql = CurrentThread().irql;
  if (TraceOn()) {
    Trace("ExQueueWorkItem(%p, %s, %p, queue %d) at %s", static_cast<void*>(WorkItem),
          Symbolize(reinterpret_cast<const void*>(WorkItem->WorkerRoutine)).c_str(),
          WorkItem->Parameter, QueueType, IrqlName(irql).c_str());
  }
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, "ExQueueWorkItem at " + IrqlName(irql) + " (above DISPATCH_LEVEL)");
  }
  bool again;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    WorkState& w = W();
    again = w.queued.count(WorkItem) != 0;
    if (!again) {
      WorkEntry entry;
      entry.item = WorkItem;
      entry.routine = WorkItem->WorkerRoutine;
      WorkItem->List.Flink = &WorkItem->List;
      w.queue.push_back(std::move(entry));
      w.queued.insert(WorkItem);
    }
  }
  if (again) {
    Report(Rule::ObjectMisuse, Format("ExQueueWorkItem of work item %s, which is still queued",
                                      Hex(reinterpret_cast<uintptr_t>(WorkItem)).c_str()));
    return;
  }
  WakeWaiters();
}

}  // extern "C"

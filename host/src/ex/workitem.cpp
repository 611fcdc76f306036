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
//
// The I/O manager's work items (IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem) share the
// queue. As on the platform, IoQueueWorkItem references the device object (ObReferenceObject)
// and the I/O manager's own code calls the routine and drops the reference after the routine has
// returned into it: the driver, whose unload waits for that reference, is never unloaded while
// its routine runs (WaitForDriverIoWorkItems). A work item queued with ExQueueWorkItem holds
// nothing: its routine runs on after it gave back what it held (a remove lock), and an unload
// meanwhile is reported (DriverUnloadedInUse, image/driver_code.cpp).
#include <unordered_map>

#include "internal/core.h"
#include "internal/routine_call.h"

using host::verifier::Rule;

// The platform's IO_WORKITEM is opaque to drivers; this is the host's.
struct _IO_WORKITEM {
  WORK_QUEUE_ITEM Item;  // on the system's queue while queued (the freed-range check sees it)
  PDEVICE_OBJECT DeviceObject;
};

namespace host::internal {
namespace {

constexpr ULONG kIoWorkItemTag = 0x6B576F49;  // 'IoWk'

struct WorkEntry {
  PWORK_QUEUE_ITEM item = nullptr;
  PWORKER_THREAD_ROUTINE routine = nullptr;
  PVOID parameter = nullptr;
  // The driver whose routine queued the item (charged for what the routine allocates, and
  // checked at its unload); for an I/O work item, the device's driver.
  PDRIVER_OBJECT owner = nullptr;
  // I/O work items: the device referenced while queued and running, the routine and context.
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM_ROUTINE ioRoutine = nullptr;
  PVOID ioContext = nullptr;
  std::function<void()> fn;
  std::string what;
};

struct WorkState {
  std::deque<WorkEntry> queue;
  std::unordered_set<PWORK_QUEUE_ITEM> queued;
  unsigned inFlight = 0;
  // I/O work items running, by driver (their device reference not yet dropped).
  std::unordered_map<PDRIVER_OBJECT, unsigned> ioRunning;
  std::vector<std::shared_ptr<Thread>> workers;
};
WorkState& W() {
  static WorkState* w = new WorkState;
  return *w;
}

std::string ItemText(const WorkEntry& e) {
  if (e.item == nullptr) return "kernel work '" + e.what + "'";
  if (e.device != nullptr) {
    return "I/O work item " + Hex(reinterpret_cast<uintptr_t>(e.item)) + " (routine " +
           Symbolize(reinterpret_cast<const void*>(e.ioRoutine)) + ")";
  }
  return "work item " + Hex(reinterpret_cast<uintptr_t>(e.item)) + " (routine " +
         Symbolize(reinterpret_cast<const void*>(e.routine)) + ")";
}

const void* EntryRoutine(const WorkEntry& e) {
  return e.device != nullptr ? reinterpret_cast<const void*>(e.ioRoutine)
                             : reinterpret_cast<const void*>(e.routine);
}

// Dispatcher lock held. A queued entry that must not run: an I/O work item's device reference
// goes to `release`, or without one is given back by kernel work put in the item's place;
// anything else is dropped. Returns the entry after it.
std::deque<WorkEntry>::iterator DropEntry(std::deque<WorkEntry>::iterator it,
                                          std::vector<PDEVICE_OBJECT>* release) {
  WorkState& w = W();
  w.queued.erase(it->item);
  if (it->device != nullptr && release == nullptr) {
    PDEVICE_OBJECT device = it->device;
    WorkEntry replacement;
    replacement.fn = [device] { ObDereferenceObject(device); };
    replacement.what = "dereference of the device of a dropped I/O work item";
    *it = std::move(replacement);
    return ++it;
  }
  if (it->device != nullptr) release->push_back(it->device);
  return w.queue.erase(it);
}

// Dispatcher lock held.
bool ClaimWork(WorkEntry* out) {
  WorkState& w = W();
  if (w.queue.empty()) return false;
  *out = std::move(w.queue.front());
  w.queue.pop_front();
  if (PWORK_QUEUE_ITEM item = out->item) {
    w.queued.erase(item);
    if (out->device == nullptr) {
      out->routine = item->WorkerRoutine;
      out->parameter = item->Parameter;
    } else {
      w.ioRunning[out->owner]++;
    }
    item->List.Flink = nullptr;
  }
  w.inFlight++;
  return true;
}

// At PASSIVE_LEVEL inside a FrameScope(WorkItem): returning at another IRQL or holding a lock is
// reported. A bug check inside the routine ends the work item; the worker goes on. An I/O work
// item's device reference is dropped after its routine has returned, by the I/O manager.
void RunWork(WorkEntry& entry) {
  try {
    if (entry.item != nullptr) {
      if (TraceOn()) {
        Trace("%s %s(%p)", entry.device != nullptr ? "I/O work item" : "work item",
              Symbolize(EntryRoutine(entry)).c_str(),
              entry.device != nullptr ? entry.ioContext : entry.parameter);
      }
      Frame frame;
      frame.kind = Frame::WorkItem;
      frame.routine = EntryRoutine(entry);
      frame.driver = entry.owner;
      frame.device = entry.device;
      FrameScope scope(frame);
      if (entry.device != nullptr) {
        CallRoutine(entry.ioRoutine, entry.device, entry.ioContext);
      } else {
        CallRoutine(entry.routine, entry.parameter);
      }
    } else {
      entry.fn();
    }
  } catch (const BugCheckUnwind&) {
    AbandonThreadState(CurrentThread());
  }
  if (entry.item != nullptr && entry.device != nullptr) ObDereferenceObject(entry.device);
  entry.fn = nullptr;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    WorkState& w = W();
    w.inFlight--;
    if (entry.item != nullptr && entry.device != nullptr) {
      auto it = w.ioRunning.find(entry.owner);
      if (it != w.ioRunning.end() && --it->second == 0) w.ioRunning.erase(it);
    }
  }
  WakeWaiters();
}

// Puts a work item on the queue: ExQueueWorkItem's and IoQueueWorkItem's common part.
void QueueItem(const char* service, WorkEntry entry) {
  KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, std::string(service) + " at " + IrqlName(irql) +
                                 " (above DISPATCH_LEVEL)");
  }
  NoteDriverCode(EntryRoutine(entry), entry.owner);
  PWORK_QUEUE_ITEM item = entry.item;
  PDEVICE_OBJECT device = entry.device;
  bool again;
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    WorkState& w = W();
    again = w.queued.count(item) != 0;
    if (!again) {
      item->List.Flink = &item->List;
      w.queue.push_back(std::move(entry));
      w.queued.insert(item);
    }
  }
  if (again) {
    Report(Rule::ObjectMisuse, Format("%s of work item %s, which is still queued", service,
                                      Hex(reinterpret_cast<uintptr_t>(item)).c_str()));
    if (device != nullptr) ObDereferenceObject(device);
    return;
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
      it = DropEntry(it, nullptr);
    } else {
      ++it;
    }
  }
}

void UnloadedDriverWorkItems(PDRIVER_OBJECT driver,
                             const std::function<bool(const void*)>& isDriverCode,
                             std::vector<std::string>* findings,
                             std::vector<PDEVICE_OBJECT>* release) {
  WorkState& w = W();
  for (auto it = w.queue.begin(); it != w.queue.end();) {
    if (it->item != nullptr && (it->owner == driver || isDriverCode(EntryRoutine(*it)))) {
      findings->push_back(ItemText(*it) + " is still queued");
      it->item->List.Flink = nullptr;
      it = DropEntry(it, release);
    } else {
      ++it;
    }
  }
}

void WaitForDriverIoWorkItems(PDRIVER_OBJECT driver, const std::string& name) {
  auto pending = [driver] {
    WorkState& w = W();
    if (w.ioRunning.count(driver) != 0) return true;
    for (const WorkEntry& e : w.queue) {
      if (e.item != nullptr && e.device != nullptr && e.owner == driver) return true;
    }
    return false;
  };
  {
    std::lock_guard<NoSwitchMutex> lock(DispatcherLock());
    if (!pending()) return;
  }
  WaitUntil([&] { return !pending(); },
            "unload of " + name + " waiting for the I/O work items that reference its devices",
            std::nullopt);
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
  if (TraceOn()) {
    Trace("ExQueueWorkItem(%p, %s, %p, queue %d) at %s", static_cast<void*>(WorkItem),
          Symbolize(reinterpret_cast<const void*>(WorkItem->WorkerRoutine)).c_str(),
          WorkItem->Parameter, QueueType, IrqlName(CurrentThread().irql).c_str());
  }
  WorkEntry entry;
  entry.item = WorkItem;
  entry.routine = WorkItem->WorkerRoutine;
  entry.owner = ChargedDriver();
  QueueItem("ExQueueWorkItem", std::move(entry));
}

// Pool for the item, charged as the caller's (the low-resources simulation may fail it).
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, "IoAllocateWorkItem at " + IrqlName(irql) + " (above DISPATCH_LEVEL)");
  }
  auto* item = static_cast<PIO_WORKITEM>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kIoWorkItemTag));
  if (item != nullptr) {
    ExInitializeWorkItem(&item->Item, nullptr, item);
    item->DeviceObject = DeviceObject;
  }
  if (TraceOn()) {
    Trace("IoAllocateWorkItem(%s) -> %p", DescribeDevice(DeviceObject).c_str(),
          static_cast<void*>(item));
  }
  return item;
}

// The device object is referenced until the routine has returned into the I/O manager.
VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  HostSwitchPoint("IoQueueWorkItem");
  if (TraceOn()) {
    Trace("IoQueueWorkItem(%p, %s, queue %d, %p) at %s", static_cast<void*>(IoWorkItem),
          Symbolize(reinterpret_cast<const void*>(WorkerRoutine)).c_str(), QueueType, Context,
          IrqlName(CurrentThread().irql).c_str());
  }
  if (IoWorkItem == nullptr) {
    Report(Rule::ObjectMisuse, "IoQueueWorkItem(NULL): IoAllocateWorkItem failed and its result "
                               "was not checked");
    return;
  }
  PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
  ObReferenceObject(device);
  WorkEntry entry;
  entry.item = &IoWorkItem->Item;
  entry.device = device;
  entry.owner = device->DriverObject;
  entry.ioRoutine = WorkerRoutine;
  entry.ioContext = Context;
  QueueItem("IoQueueWorkItem", std::move(entry));
}

// A queued item freed is reported by the freed-range check (FreedObjectInUse).
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (TraceOn()) Trace("IoFreeWorkItem(%p)", static_cast<void*>(IoWorkItem));
  KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, "IoFreeWorkItem at " + IrqlName(irql) + " (above DISPATCH_LEVEL)");
  }
  ExFreePoolWithTag(IoWorkItem, kIoWorkItemTag);
}

}  // extern "C"

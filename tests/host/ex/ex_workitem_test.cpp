// Work items on the delayed work queue: where and how they run, blocking, and what is reported;
// the I/O manager's work items; and a driver unloaded while its code still runs or waits to run.
#include <host_test.h>

#include "host/pnp.h"
#include "internal/kernel.h"

using host::internal::CurrentThread;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

struct HostWorkItemTestContext {
  WORK_QUEUE_ITEM item;
  KIRQL irql = 0xFF;
  std::string thread;
  int runs = 0;
  PKEVENT wait = nullptr;
  NTSTATUS waitStatus = -1;
};

VOID HostWorkItemTestRoutine(PVOID Parameter) {
  auto* c = static_cast<HostWorkItemTestContext*>(Parameter);
  c->irql = KeGetCurrentIrql();
  c->thread = CurrentThread().name;
  ++c->runs;
  if (c->wait != nullptr) {
    c->waitStatus = KeWaitForSingleObject(c->wait, Executive, KernelMode, FALSE, nullptr);
  }
}

VOID HostWorkItemTestRoutineRaises(PVOID Parameter) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
}

// Frees its own item, as drivers usually do.
VOID HostWorkItemTestRoutineFrees(PVOID Parameter) {
  auto* item = static_cast<PWORK_QUEUE_ITEM>(Parameter);
  ExFreePool(item);
}

// A driver whose worker gives its remove lock back and then goes on running its own code (the
// epilogue: here a short delay), queued with ExQueueWorkItem or IoQueueWorkItem; and a timer and
// a DPC it may leave behind.
struct UnloadProbeState {
  PDEVICE_OBJECT device = nullptr;
  IO_REMOVE_LOCK lock;
  WORK_QUEUE_ITEM item;
  PIO_WORKITEM ioItem = nullptr;
  enum { kNoWork, kExWorkItem, kIoWorkItem } work = kNoWork;
  bool leaveTimer = false;
  KTIMER timer;
  KDPC timerDpc;
  KDPC dpc;
  int dpcRuns = 0;
  bool epilogueDone = false;
};
UnloadProbeState gProbe;

VOID UnloadProbeEpilogue() {
  IoReleaseRemoveLock(&gProbe.lock, &gProbe);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * 1000 * 10;  // 10 ms more of this driver's code after the release
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  gProbe.epilogueDone = true;
}
VOID UnloadProbeExWorker(PVOID) { UnloadProbeEpilogue(); }
VOID UnloadProbeIoWorker(PDEVICE_OBJECT, PVOID) {
  IoFreeWorkItem(gProbe.ioItem);
  UnloadProbeEpilogue();
}
VOID UnloadProbeDpc(PKDPC, PVOID, PVOID, PVOID) { gProbe.dpcRuns++; }
VOID UnloadProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS UnloadProbeDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (gProbe.work != UnloadProbeState::kNoWork &&
      NT_SUCCESS(IoAcquireRemoveLock(&gProbe.lock, &gProbe))) {
    if (gProbe.work == UnloadProbeState::kIoWorkItem) {
      gProbe.ioItem = IoAllocateWorkItem(device);
      IoQueueWorkItem(gProbe.ioItem, UnloadProbeIoWorker, DelayedWorkQueue, nullptr);
    } else {
      ExInitializeWorkItem(&gProbe.item, UnloadProbeExWorker, nullptr);
      ExQueueWorkItem(&gProbe.item, DelayedWorkQueue);
    }
  }
  if (gProbe.leaveTimer) {
    LARGE_INTEGER due;
    due.QuadPart = -10 * 1000 * 1000;
    KeSetTimer(&gProbe.timer, due, &gProbe.timerDpc);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS UnloadProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = UnloadProbeUnload;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UnloadProbeDispatch;
  KeInitializeTimer(&gProbe.timer);
  KeInitializeDpc(&gProbe.timerDpc, UnloadProbeDpc, nullptr);
  KeInitializeDpc(&gProbe.dpc, UnloadProbeDpc, nullptr);
  IoInitializeRemoveLock(&gProbe.lock, 0, 0, 0);
  return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gProbe.device);
}

namespace {

class HostWorkItem : public host::testing::DeterministicTest {};

// The driver sends itself a request, then is removed and unloaded as the PnP manager does once
// the remove routine has waited for the last hold. What still runs or waits to run is reported;
// an I/O work item's device reference makes the unload wait until its routine has returned.
TEST_F(HostWorkItem, UnloadWithTheDriversCodeStillRunningOrQueuedIsReported) {
  using P = UnloadProbeState;
  struct Case {
    const char* what;
    decltype(P::work) work;
    bool leaveTimerAndDpc;
    std::vector<const char*> reports;
  };
  const Case cases[] = {
      {"a system worker routine that runs on after its release", P::kExWorkItem, false,
       {"work item routine UnloadProbeExWorker is still running on thread worker 0"}},
      {"an I/O work item: the unload waits for its routine", P::kIoWorkItem, false, {}},
      {"a timer set and a DPC queued", P::kNoWork, true,
       {"DPC routine UnloadProbeDpc) is still set", "(routine UnloadProbeDpc) is still queued"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gProbe = UnloadProbeState{};
    gProbe.work = c.work;
    gProbe.leaveTimer = c.leaveTimerAndDpc;
    PDRIVER_OBJECT driver = host::pnp::LoadDriver(UnloadProbeEntry, "\\Driver\\probe");
    ASSERT_NE(driver, nullptr);
    host::app::SendRaw(gProbe.device, IRP_MJ_DEVICE_CONTROL, 0, 0, nullptr, 0, 0).Wait();
    ExpectViolations capture;
    IoAcquireRemoveLock(&gProbe.lock, driver);
    IoReleaseRemoveLockAndWait(&gProbe.lock, driver);  // the worker has given its hold back
    // The device's last completion queued the DPC.
    if (c.leaveTimerAndDpc) KeInsertQueueDpc(&gProbe.dpc, nullptr, nullptr);
    IoDeleteDevice(gProbe.device);
    EXPECT_TRUE(host::pnp::UnloadDriver(driver));
    ASSERT_EQ(capture.Count(Rule::DriverUnloadedInUse), c.reports.size()) << capture.Text();
    for (size_t i = 0; i < c.reports.size(); ++i) {
      EXPECT_NE(capture.seen()[i].message.find(c.reports[i]), std::string::npos)
          << capture.seen()[i].message;
      EXPECT_NE(capture.seen()[i].message.find("driver \\Driver\\probe was unloaded while"),
                std::string::npos);
    }
    EXPECT_EQ(gProbe.epilogueDone, c.work == P::kIoWorkItem);
    session().AdvanceTimeMs(2000);  // the worker ends; what was dequeued at unload never runs
    EXPECT_EQ(gProbe.epilogueDone, c.work != P::kNoWork);
    EXPECT_EQ(gProbe.dpcRuns, 0);
  }
}

// The host-compiled driver's code cannot be unmapped: a routine of an unloaded driver that the
// kernel is about to call (its DPC queued again by someone who kept the object) is reported.
TEST_F(HostWorkItem, ARoutineOfAnUnloadedDriverCalledLaterIsReported) {
  gProbe = UnloadProbeState{};
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(UnloadProbeEntry, "\\Driver\\probe");
  IoDeleteDevice(gProbe.device);
  host::pnp::UnloadDriver(driver);
  ExpectViolations capture;
  KeInsertQueueDpc(&gProbe.dpc, nullptr, nullptr);
  session().Pump();
  ASSERT_EQ(capture.Count(Rule::DriverUnloadedInUse), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("DPC routine UnloadProbeDpc is called after its driver "
                                "\\Driver\\probe was unloaded"),
            std::string::npos)
      << capture.Text();
  // Loaded again, the same code is live again.
  driver = host::pnp::LoadDriver(UnloadProbeEntry, "\\Driver\\probe");
  KeInsertQueueDpc(&gProbe.dpc, nullptr, nullptr);
  session().Pump();
  EXPECT_EQ(capture.Count(Rule::DriverUnloadedInUse), 1u) << capture.Text();
  IoDeleteDevice(gProbe.device);
  host::pnp::UnloadDriver(driver);
}

// IoAllocateWorkItem takes pool (the low-resources simulation fails it), and a queued item keeps
// its device object: deleted meanwhile, the device stays until the routine has returned.
TEST_F(HostWorkItem, AnIoWorkItemReferencesItsDeviceAndItsAllocationMayFail) {
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(UnloadProbeEntry, "\\Driver\\probe");
  host::verifier::FailPoolAllocation(1);
  EXPECT_EQ(IoAllocateWorkItem(gProbe.device), nullptr);
  PIO_WORKITEM item = IoAllocateWorkItem(gProbe.device);
  ASSERT_NE(item, nullptr);
  struct Seen {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    USHORT type = 0;
  } seen;
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT device, PVOID context) {
        auto* s = static_cast<Seen*>(context);
        s->device = device;
        s->irql = KeGetCurrentIrql();
        s->type = device->Type;  // still the device's memory (AddressSanitizer would see a free)
      },
      DelayedWorkQueue, &seen);
  PDEVICE_OBJECT device = gProbe.device;
  IoDeleteDevice(device);
  session().Pump();
  EXPECT_EQ(seen.device, device);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.type, 3);  // IO_TYPE_DEVICE
  IoFreeWorkItem(item);
  host::pnp::UnloadDriver(driver);
}

TEST_F(HostWorkItem, RunsOnAWorkerAtPassiveLevelWhenPumped) {
  HostWorkItemTestContext c;
  ExInitializeWorkItem(&c.item, HostWorkItemTestRoutine, &c);
  EXPECT_EQ(c.item.List.Flink, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExQueueWorkItem(&c.item, DelayedWorkQueue);
  KeLowerIrql(old);
  EXPECT_NE(c.item.List.Flink, nullptr);
  EXPECT_EQ(c.runs, 0);
  session().Pump();
  EXPECT_EQ(c.runs, 1);
  EXPECT_EQ(c.irql, PASSIVE_LEVEL);
  EXPECT_EQ(c.thread, "worker 0");
  EXPECT_EQ(c.item.List.Flink, nullptr);
}

TEST_F(HostWorkItem, ABlockedWorkItemDoesNotBlockTheTestOrTheNextItem) {
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  HostWorkItemTestContext blocked, next;
  blocked.wait = &gate;
  ExInitializeWorkItem(&blocked.item, HostWorkItemTestRoutine, &blocked);
  ExInitializeWorkItem(&next.item, HostWorkItemTestRoutine, &next);
  ExQueueWorkItem(&blocked.item, DelayedWorkQueue);
  ExQueueWorkItem(&next.item, DelayedWorkQueue);
  session().Pump();
  EXPECT_EQ(blocked.runs, 1);
  EXPECT_EQ(blocked.waitStatus, -1);  // still waiting
  EXPECT_EQ(next.runs, 1);            // on the second worker
  EXPECT_EQ(next.thread, "worker 1");
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  session().Pump();
  EXPECT_EQ(blocked.waitStatus, STATUS_SUCCESS);
}

TEST_F(HostWorkItem, RoutineMayFreeItsOwnItem) {
  auto* item = static_cast<PWORK_QUEUE_ITEM>(ExAllocatePool(NonPagedPool, sizeof(WORK_QUEUE_ITEM)));
  ExInitializeWorkItem(item, HostWorkItemTestRoutineFrees, item);
  ExQueueWorkItem(item, DelayedWorkQueue);
  session().Pump();
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);
}

TEST_F(HostWorkItem, ReturningAtAnotherIrqlIsReported) {
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, HostWorkItemTestRoutineRaises, nullptr);
  ExpectViolations capture;
  ExQueueWorkItem(&item, DelayedWorkQueue);
  session().Pump();
  ASSERT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("work item routine HostWorkItemTestRoutineRaises"),
            std::string::npos)
      << capture.seen()[0].message;
}

TEST_F(HostWorkItem, QueueingAQueuedItemAgainIsObjectMisuse) {
  HostWorkItemTestContext c;
  ExInitializeWorkItem(&c.item, HostWorkItemTestRoutine, &c);
  ExpectViolations capture;
  ExQueueWorkItem(&c.item, DelayedWorkQueue);
  ExQueueWorkItem(&c.item, CriticalWorkQueue);
  EXPECT_EQ(capture.Count(Rule::ObjectMisuse), 1u);
  session().Pump();
  EXPECT_EQ(c.runs, 1);
}

TEST_F(HostWorkItem, SystemWorkSharesTheQueueInOrder) {
  std::vector<int> order;
  host::internal::QueueSystemWork([&] { order.push_back(1); }, "first");
  host::internal::QueueSystemWork([&] { order.push_back(2); }, "second");
  session().Pump();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(HostWorkItem, ItemStillQueuedAtSessionEndIsReportedAndNotRun) {
  HostWorkItemTestContext c;
  ExInitializeWorkItem(&c.item, HostWorkItemTestRoutine, &c);
  ExQueueWorkItem(&c.item, DelayedWorkQueue);
  ExpectViolations capture;
  EndSession();
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_EQ(c.runs, 0);
}

TEST_F(HostWorkItem, WorkItemBlockedAtSessionEndIsReported) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto* c = new HostWorkItemTestContext;  // the worker is left blocked on it for good
  c->wait = &never;
  ExInitializeWorkItem(&c->item, HostWorkItemTestRoutine, c);
  ExQueueWorkItem(&c->item, DelayedWorkQueue);
  session().Pump();
  ExpectViolations capture;
  EndSession();
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("worker 0"), std::string::npos);
}

}  // namespace

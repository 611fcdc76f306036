// Work items on the delayed work queue: where and how they run, blocking, and what is reported.
#include <host_test.h>

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

namespace {

class HostWorkItem : public host::testing::DeterministicTest {};

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

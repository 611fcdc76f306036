// Cancel: IoCancelIrp with and without a cancel routine, the cancel spin lock and CancelIrql,
// and the exchange that decides who owns a queued request.
#include "io_test_support.h"

#include "internal/kernel.h"

namespace {

using host::app::Request;
using host::app::SendRaw;
using iotest::Complete;
using iotest::FakeQueue;
using iotest::Handlers;

class HostCancel : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    fdo = CreateFdo();
    queue = std::make_unique<FakeQueue>();
    Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) { return queue->Queue(irp); };
  }
  void TearDown() override {
    DeleteFdo(fdo);
    iotest::IoTest::TearDown();
  }
  Request Read() { return SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 16); }

  PDEVICE_OBJECT fdo = nullptr;
  std::unique_ptr<FakeQueue> queue;
};

TEST_F(HostCancel, RoutineRunsWithTheCancelSpinLockHeldAndCancelIrqlSet) {
  Request read = Read();
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(read.Done());
  bool called = false;
  queue->onCancel = [&](PDEVICE_OBJECT device, PIRP irp) {
    called = true;
    EXPECT_EQ(device, fdo);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(irp->CancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    const auto& held = host::internal::CurrentThread().heldLocks;
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].lock, host::internal::CancelSpinLock());
  };
  EXPECT_TRUE(read.Cancel());
  EXPECT_TRUE(called);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(read.Result().information, 0u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(host::internal::CurrentThread().heldLocks.empty());
  EXPECT_FALSE(read.Cancel());  // finished: nothing to cancel
}

TEST_F(HostCancel, CancelAtDispatchLevelGivesThatLevelBackThroughCancelIrql) {
  Request read = Read();
  queue->onCancel = [](PDEVICE_OBJECT, PIRP irp) { EXPECT_EQ(irp->CancelIrql, DISPATCH_LEVEL); };
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
}

TEST_F(HostCancel, WithoutARoutineOnlyTheFlagIsSet) {
  PIRP held = nullptr;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  Request read = Read();
  EXPECT_FALSE(read.Cancel());
  EXPECT_FALSE(read.Done());
  EXPECT_TRUE(held->Cancel);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);  // not left held by IoCancelIrp
  IoReleaseCancelSpinLock(irql);
  Complete(held, STATUS_CANCELLED);
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
}

TEST_F(HostCancel, DequeueTakesTheRoutineFirstAndCancelThenFindsNone) {
  Request read = Read();
  PIRP irp = queue->Dequeue();
  ASSERT_EQ(irp, read.Irp());
  EXPECT_FALSE(read.Cancel());
  EXPECT_EQ(queue->Dequeue(), nullptr);
  Complete(irp, STATUS_SUCCESS, 3);
  EXPECT_EQ(read.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(read.Result().information, 3u);
}

TEST_F(HostCancel, DequeueSkipsARequestWhoseRoutineTheIoManagerTook) {
  Request first = Read();
  Request second = Read();
  // The cancel of the first starts and, inside its routine, the driver dequeues on another path.
  PIRP dequeued = nullptr;
  queue->onCancel = [&](PDEVICE_OBJECT, PIRP) {
    // The queue lock is free here (the routine has not taken it yet).
    dequeued = queue->Dequeue();
  };
  EXPECT_TRUE(first.Cancel());
  EXPECT_EQ(dequeued, second.Irp());
  EXPECT_EQ(first.Result().status, STATUS_CANCELLED);
  Complete(dequeued, STATUS_SUCCESS);
  EXPECT_EQ(second.Result().status, STATUS_SUCCESS);
}

TEST_F(HostCancel, RequestCancelledBeforeItIsQueuedIsCompletedAtOnce) {
  Request read = SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 16, PASSIVE_LEVEL,
                         [](PIRP irp) { irp->Cancel = TRUE; });
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(queue->Dequeue(), nullptr);
}

}  // namespace

// The request queues, driven directly: what each queue admits, in which order requests come out,
// and who completes a request that is not left queued.

#include <gtest/gtest.h>

#include "port_testbed.h"
#include "queues_test_irp.h"

namespace {

using queuetest::IrpSet;
using queuetest::RemoveLockCount;

TEST(QueuesOrder, ImmediateCharacterOvertakesWaitingWritesAndWritesKeepTheirOrder) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);

  PIRP w1 = irps.Write(10), w2 = irps.Write(20), w3 = irps.Write(30);
  for (PIRP w : {w1, w2, w3}) EXPECT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);
  PIRP ic = irps.ImmediateChar();
  EXPECT_EQ(QueueWriteIrp(ext, ic, TRUE), STATUS_PENDING);
  EXPECT_EQ(RemoveLockCount(ext), idle + 4);  // one hold per queued request

  // Taken from the head: the immediate character, then the writes as they came.
  std::vector<PIRP> out;
  while (PIRP irp = DequeueWriteIrp(ext, FALSE)) {
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_NE(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED, 0);
    out.push_back(irp);
  }
  EXPECT_EQ(out, (std::vector<PIRP>{ic, w1, w2, w3}));
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));

  // A request handed out is the caller's: cancelling it now does nothing.
  EXPECT_FALSE(IoCancelIrp(w2));
  for (PIRP irp : out) irps.CompleteOwned(irp, STATUS_SUCCESS);
  irps.ExpectEachCompletedOnce();
  EXPECT_EQ(irps.Status(w2), STATUS_SUCCESS);
  EXPECT_EQ(RemoveLockCount(ext), idle);
}

TEST(QueuesOrder, DequeueWithTheLockAlreadyHeldLeavesTheLockToTheCaller) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP w = irps.Write(5);
  ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);

  KIRQL old;
  KeAcquireSpinLock(&ext->SpinLock, &old);
  PIRP got = DequeueWriteIrp(ext, TRUE);
  PIRP none = DequeueWriteIrp(ext, TRUE);
  KeReleaseSpinLock(&ext->SpinLock, old);  // still ours: the verifier would see a double release
  EXPECT_EQ(got, w);
  EXPECT_EQ(none, nullptr);
  irps.CompleteOwned(w, STATUS_SUCCESS);
}

TEST(QueuesOrder, ReadAndWaitQueuesHoldOneRequestEach) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();

  PIRP r1 = irps.Read(), r2 = irps.Read();
  EXPECT_EQ(QueueReadIrp(ext, r1), STATUS_PENDING);
  EXPECT_EQ(r1->IoStatus.Status, STATUS_PENDING);
  // The second read is refused and completed at once, never marked pending.
  EXPECT_EQ(QueueReadIrp(ext, r2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(irps.Completions(r2), 1);
  EXPECT_EQ(irps.Status(r2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(irps.Of(r2).information.load(), 0u);
  EXPECT_FALSE(irps.Of(r2).pendingReturned.load());

  PIRP t1 = irps.Wait(), t2 = irps.Wait();
  EXPECT_EQ(QueueWaitIrp(ext, t1), STATUS_PENDING);
  // The second wait is refused but left to the caller to complete.
  EXPECT_EQ(QueueWaitIrp(ext, t2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(irps.Completions(t2), 0);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(t2)->Control & SL_PENDING_RETURNED, 0);
  EXPECT_EQ(t2->CancelRoutine, nullptr);
  irps.CompleteOwned(t2, STATUS_INVALID_PARAMETER);

  // The first of each is still queued and comes out once.
  EXPECT_EQ(DequeueReadIrp(ext), r1);
  EXPECT_EQ(DequeueReadIrp(ext), nullptr);
  EXPECT_EQ(DequeueWaitIrp(ext), t1);
  EXPECT_EQ(DequeueWaitIrp(ext), nullptr);
  irps.CompleteOwned(r1, STATUS_SUCCESS, 3);
  irps.CompleteOwned(t1, STATUS_SUCCESS, 4);
  irps.ExpectEachCompletedOnce();
  EXPECT_TRUE(irps.Of(r1).pendingReturned.load());
}

TEST(QueuesOrder, EmptyQueuesGiveNothingAndCancellingThemIsHarmless) {
  porttest::PortTestbed tb;
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);
  EXPECT_EQ(DequeueReadIrp(ext), nullptr);
  EXPECT_EQ(DequeueWaitIrp(ext), nullptr);
  EXPECT_EQ(DequeueWriteIrp(ext, FALSE), nullptr);
  CancelAllQueues(tb.fdo());
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
  EXPECT_EQ(RemoveLockCount(ext), idle);
}

}  // namespace

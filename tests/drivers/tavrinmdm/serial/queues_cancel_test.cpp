// Cancelling queued requests: by the application (IoCancelIrp), by a whole-queue cancel, before
// or while a request is queued, and the hand-over when a dequeue meets a request whose cancel
// routine is already taken. Every request is completed exactly once and gives back its
// RemoveLock hold.

#include <gtest/gtest.h>

#include "port_testbed.h"
#include "queues_test_irp.h"

namespace {

using queuetest::IrpSet;
using queuetest::RemoveLockCount;

TEST(QueuesCancel, CancelAllQueuesCompletesWritesNewestFirstThenTheReadThenTheWait) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);

  PIRP w1 = irps.Write(1), w2 = irps.Write(2), w3 = irps.Write(3);
  PIRP read = irps.Read(), wait = irps.Wait();
  ASSERT_EQ(QueueWaitIrp(ext, wait), STATUS_PENDING);
  ASSERT_EQ(QueueReadIrp(ext, read), STATUS_PENDING);
  for (PIRP w : {w1, w2, w3}) ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);
  ext->AmountInOutQueue = 6;

  CancelAllQueues(tb.fdo());

  EXPECT_EQ(irps.CompletionOrder(), (std::vector<PIRP>{w3, w2, w1, read, wait}));
  irps.ExpectEachCompletedOnce();
  for (PIRP irp : {w1, w2, w3, read, wait}) {
    EXPECT_EQ(irps.Status(irp), STATUS_CANCELLED);
    EXPECT_EQ(irps.Of(irp).information.load(), 0u);
    EXPECT_TRUE(irps.Of(irp).pendingReturned.load());
    // Too late for the application: the request is finished.
    EXPECT_FALSE(IoCancelIrp(irp));
  }
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
  EXPECT_EQ(RemoveLockCount(ext), idle);
}

TEST(QueuesCancel, CancellingOneQueueLeavesTheOthers) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP w = irps.Write(4), read = irps.Read(), wait = irps.Wait();
  ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);
  ASSERT_EQ(QueueReadIrp(ext, read), STATUS_PENDING);
  ASSERT_EQ(QueueWaitIrp(ext, wait), STATUS_PENDING);
  ext->AmountInOutQueue = 4;

  CancelQueue(tb.fdo(), &ext->WriteQueue);
  EXPECT_EQ(irps.Completions(w), 1);
  EXPECT_EQ(irps.Completions(read), 0);
  EXPECT_EQ(irps.Completions(wait), 0);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);

  EXPECT_EQ(DequeueReadIrp(ext), read);
  EXPECT_EQ(DequeueWaitIrp(ext), wait);
  irps.CompleteOwned(read, STATUS_SUCCESS);
  irps.CompleteOwned(wait, STATUS_SUCCESS);
  irps.ExpectEachCompletedOnce();
}

TEST(QueuesCancel, ApplicationCancelOfAQueuedReadGivesNoBytesAndFreesTheQueue) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);

  PIRP r1 = irps.Read();
  ASSERT_EQ(QueueReadIrp(ext, r1), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(r1));
  EXPECT_EQ(irps.Completions(r1), 1);
  EXPECT_EQ(irps.Status(r1), STATUS_CANCELLED);
  EXPECT_EQ(irps.Of(r1).information.load(), 0u);
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  EXPECT_EQ(RemoveLockCount(ext), idle);

  PIRP r2 = irps.Read();
  EXPECT_EQ(QueueReadIrp(ext, r2), STATUS_PENDING);
  PIRP t = irps.Wait();
  ASSERT_EQ(QueueWaitIrp(ext, t), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(t));
  EXPECT_EQ(irps.Status(t), STATUS_CANCELLED);
  EXPECT_EQ(DequeueReadIrp(ext), r2);
  irps.CompleteOwned(r2, STATUS_SUCCESS);
  irps.ExpectEachCompletedOnce();
  EXPECT_EQ(RemoveLockCount(ext), idle);
}

TEST(QueuesCancel, CancelledWritesTakeTheirBytesOffTheOutputQueue) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP w = irps.Write(100), ic = irps.ImmediateChar(), other = irps.Write(7);
  ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);
  ASSERT_EQ(QueueWriteIrp(ext, other, FALSE), STATUS_PENDING);
  ASSERT_EQ(QueueWriteIrp(ext, ic, TRUE), STATUS_PENDING);
  ext->AmountInOutQueue = 108;

  EXPECT_TRUE(IoCancelIrp(w));
  EXPECT_EQ(ext->AmountInOutQueue, 8u);
  EXPECT_EQ(irps.Status(w), STATUS_CANCELLED);
  EXPECT_EQ(irps.Of(w).information.load(), 0u);
  // An immediate character carries one byte, whatever its stack location's length word says.
  EXPECT_TRUE(IoCancelIrp(ic));
  EXPECT_EQ(ext->AmountInOutQueue, 7u);
  // The count is never wrapped below zero.
  ext->AmountInOutQueue = 3;
  EXPECT_TRUE(IoCancelIrp(other));
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  irps.ExpectEachCompletedOnce();
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
}

TEST(QueuesCancel, RequestCancelledBeforeItIsQueuedNeverStaysInTheQueue) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);
  PIRP read = irps.Read(), wait = irps.Wait(), write = irps.Write(9);
  for (PIRP irp : {read, wait, write}) {
    // IoCancelIrp found no cancel routine: it only set the flag.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
  }
  ext->AmountInOutQueue = 9;

  // The read is completed by its queue routine, and marked pending first (its dispatch routine
  // returns STATUS_PENDING).
  EXPECT_EQ(QueueReadIrp(ext, read), STATUS_CANCELLED);
  EXPECT_EQ(irps.Completions(read), 1);
  EXPECT_EQ(irps.Status(read), STATUS_CANCELLED);
  EXPECT_EQ(irps.Of(read).information.load(), 0u);
  EXPECT_TRUE(irps.Of(read).pendingReturned.load());

  // The wait and the write come back to their callers to complete.
  EXPECT_EQ(QueueWaitIrp(ext, wait), STATUS_CANCELLED);
  EXPECT_EQ(wait->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(QueueWriteIrp(ext, write, FALSE), STATUS_CANCELLED);
  for (PIRP irp : {wait, write}) {
    EXPECT_EQ(irps.Completions(irp), 0);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_NE(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED, 0);
  }
  // Only the caller takes the write's bytes back.
  EXPECT_EQ(ext->AmountInOutQueue, 9u);
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
  irps.CompleteOwned(wait, STATUS_CANCELLED);
  irps.CompleteOwned(write, STATUS_CANCELLED);
  irps.ExpectEachCompletedOnce();
  EXPECT_EQ(RemoveLockCount(ext), idle);

  // The queues still work.
  PIRP again = irps.Read();
  EXPECT_EQ(QueueReadIrp(ext, again), STATUS_PENDING);
  CancelAllQueues(tb.fdo());
  EXPECT_EQ(irps.Status(again), STATUS_CANCELLED);
}

// What IoCancelIrp does up to the call of the cancel routine: with the cancel spin lock held,
// set Cancel and take the routine away. The caller calls `routine` (which releases the lock).
PDRIVER_CANCEL BeginIoCancel(PIRP irp, KIRQL* irql) {
  IoAcquireCancelSpinLock(irql);
  irp->Cancel = TRUE;
  return IoSetCancelRoutine(irp, nullptr);
}

TEST(QueuesCancel, DequeueSkipsARequestTheIoManagerIsCancellingAndHandsOutTheNext) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP w1 = irps.Write(1), w2 = irps.Write(2), w3 = irps.Write(3);
  for (PIRP w : {w1, w2, w3}) ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);
  ext->AmountInOutQueue = 6;

  KIRQL irql;
  PDRIVER_CANCEL routine = BeginIoCancel(w1, &irql);
  ASSERT_EQ(routine, &CancelWriteIrp);
  // The cancel routine is about to run (it waits for SpinLock on another processor); the
  // dequeue meets w1 first.
  PIRP got = DequeueWriteIrp(ext, FALSE);
  EXPECT_EQ(got, w2);
  // w1 is out of the queue, linked to itself, so the routine's unlink disturbs nothing.
  EXPECT_EQ(w1->Tail.Overlay.ListEntry.Flink, &w1->Tail.Overlay.ListEntry);
  w1->CancelIrql = irql;
  routine(tb.fdo(), w1);

  EXPECT_EQ(irps.Completions(w1), 1);
  EXPECT_EQ(irps.Status(w1), STATUS_CANCELLED);
  EXPECT_EQ(ext->AmountInOutQueue, 5u);
  EXPECT_EQ(DequeueWriteIrp(ext, FALSE), w3);
  EXPECT_EQ(DequeueWriteIrp(ext, FALSE), nullptr);
  irps.CompleteOwned(w2, STATUS_SUCCESS, 2);
  irps.CompleteOwned(w3, STATUS_SUCCESS, 3);
  irps.ExpectEachCompletedOnce();
}

TEST(QueuesCancel, DequeueOfTheOnlyReadBeingCancelledGivesNothing) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP r = irps.Read();
  ASSERT_EQ(QueueReadIrp(ext, r), STATUS_PENDING);

  KIRQL irql;
  PDRIVER_CANCEL routine = BeginIoCancel(r, &irql);
  ASSERT_EQ(routine, &CancelQueuedIrp);
  EXPECT_EQ(DequeueReadIrp(ext), nullptr);
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
  r->CancelIrql = irql;
  routine(tb.fdo(), r);
  EXPECT_EQ(irps.Completions(r), 1);
  EXPECT_EQ(irps.Status(r), STATUS_CANCELLED);
  EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
}

TEST(QueuesCancel, WholeQueueCancelLeavesARequestWhoseRoutineIsTakenToItsOwner) {
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP w1 = irps.Write(1), w2 = irps.Write(2), w3 = irps.Write(3);
  for (PIRP w : {w1, w2, w3}) ASSERT_EQ(QueueWriteIrp(ext, w, FALSE), STATUS_PENDING);

  // Someone has already claimed w2 by taking its routine away but not unlinked it yet.
  ASSERT_EQ(IoSetCancelRoutine(w2, nullptr), &CancelWriteIrp);
  CancelQueue(tb.fdo(), &ext->WriteQueue);
  EXPECT_EQ(irps.CompletionOrder(), (std::vector<PIRP>{w3, w1}));
  EXPECT_EQ(irps.Completions(w2), 0);
  EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
  EXPECT_EQ(w2->Tail.Overlay.ListEntry.Flink, &w2->Tail.Overlay.ListEntry);
  irps.CompleteOwned(w2, STATUS_CANCELLED);
  irps.ExpectEachCompletedOnce();
}

TEST(QueuesCancel, CancelRoutineOfARequestTheWholeQueueCancelTookRunsOnce) {
  // IoCancelIrp arriving after CancelQueue finds nothing to call; arriving before, it completes
  // the request and CancelQueue no longer sees it.
  porttest::PortTestbed tb;
  IrpSet irps(tb.fdo());
  PDEVICE_EXTENSION ext = tb.Ext();
  PIRP a = irps.Write(1), b = irps.Write(1);
  ASSERT_EQ(QueueWriteIrp(ext, a, FALSE), STATUS_PENDING);
  ASSERT_EQ(QueueWriteIrp(ext, b, FALSE), STATUS_PENDING);
  ext->AmountInOutQueue = 2;
  EXPECT_TRUE(IoCancelIrp(a));
  CancelQueue(tb.fdo(), &ext->WriteQueue);
  EXPECT_FALSE(IoCancelIrp(b));
  EXPECT_EQ(irps.CompletionOrder(), (std::vector<PIRP>{a, b}));
  irps.ExpectEachCompletedOnce();
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

}  // namespace

// The request queues on real threads: queueing, IoCancelIrp, the dequeue routines and the
// whole-queue cancel all racing for the same requests, round after round. Whoever takes a
// request's cancel routine by exchange owns it; every request must be completed exactly once,
// give back its RemoveLock hold, and leave AmountInOutQueue balanced. The verifier (double
// completion, completion with a cancel routine set or a spin lock held, lock order) fails the
// test on any slip. Bounded by a round count, not by time.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "port_testbed.h"
#include "queues_test_irp.h"

namespace {

using queuetest::IrpSet;
using queuetest::RemoveLockCount;

// A phase barrier whose wait gives up (and fails the test) instead of hanging when a party
// never arrives.
class PhaseBarrier {
 public:
  explicit PhaseBarrier(int parties) : parties_(parties) {}
  // Releases every waiter for good (the test is ending early).
  void Break() {
    std::lock_guard<std::mutex> lock(mutex_);
    broken_ = true;
    cv_.notify_all();
  }
  bool ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (broken_) return false;
    const long phase = phase_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++phase_;
      cv_.notify_all();
      return true;
    }
    if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return phase_ != phase || broken_; })) {
      broken_ = true;
      cv_.notify_all();
      ADD_FAILURE() << "a racing thread never reached the end of its phase";
    }
    return !broken_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const int parties_;
  int arrived_ = 0;
  long phase_ = 0;
  bool broken_ = false;
};

// One round's requests, published to the racing threads between the barriers.
struct Round {
  std::unique_ptr<IrpSet> irps;
  std::vector<PIRP> all;  // in queueing order
  std::vector<PIRP> writes;
  int number = 0;
};

VOID AddToOutQueue(PDEVICE_EXTENSION ext, LONG bytes) {
  KIRQL old;
  KeAcquireSpinLock(&ext->SpinLock, &old);
  ext->AmountInOutQueue += bytes;
  KeReleaseSpinLock(&ext->SpinLock, old);
}

VOID TakeFromOutQueue(PDEVICE_EXTENSION ext, ULONG bytes) {
  KIRQL old;
  KeAcquireSpinLock(&ext->SpinLock, &old);
  ext->AmountInOutQueue -= bytes;
  KeReleaseSpinLock(&ext->SpinLock, old);
}

TEST(QueuesRace, QueueCancelDequeueAndWholeQueueCancelCompleteEveryRequestOnce) {
  porttest::PortTestbedOptions options;
  options.mode = host::Mode::Threaded;
  porttest::PortTestbed tb(std::move(options));
  PDEVICE_OBJECT fdo = tb.fdo();
  PDEVICE_EXTENSION ext = tb.Ext();
  const LONG idle = RemoveLockCount(ext);

  constexpr int kRounds = 1000;
  PhaseBarrier start(4), end(4);
  Round round;
  std::atomic<long> dequeued{0}, cancelledByApp{0}, wholeQueue{0};

  // Takes what the queues hand out and completes it, as the read, write and wait paths do, from
  // DISPATCH_LEVEL like a completion routine or a DPC.
  auto dequeuer = tb.session().Spawn("dequeuer", [&] {
    for (int r = 0; r < kRounds; ++r) {
      if (!start.ArriveAndWait()) return;
      for (int i = 0; i < 12; ++i) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PIRP got[3] = {DequeueWriteIrp(ext, FALSE), DequeueReadIrp(ext), DequeueWaitIrp(ext)};
        for (int q = 0; q < 3; ++q) {
          if (got[q] == nullptr) continue;
          // A write handed out leaves the output queue when it is sent.
          if (q == 0) TakeFromOutQueue(ext, WriteRequestByteCount(got[q]));
          round.irps->CompleteOwned(got[q], STATUS_SUCCESS);
          dequeued++;
        }
        KeLowerIrql(old);
        std::this_thread::yield();
      }
      if (!end.ArriveAndWait()) return;
    }
  });

  // The application cancelling its requests, in a different order each round.
  auto canceller = tb.session().Spawn("canceller", [&] {
    for (int r = 0; r < kRounds; ++r) {
      if (!start.ArriveAndWait()) return;
      const size_t n = round.all.size();
      for (size_t i = 0; i < n; ++i) {
        PIRP irp = round.all[(r % 2 == 0) ? i : n - 1 - i];
        if (IoCancelIrp(irp)) cancelledByApp++;
      }
      if (!end.ArriveAndWait()) return;
    }
  });

  // Cleanup or a purge cancelling whole queues.
  auto purger = tb.session().Spawn("purger", [&] {
    for (int r = 0; r < kRounds; ++r) {
      if (!start.ArriveAndWait()) return;
      std::this_thread::yield();
      if (r % 3 == 0) {
        CancelQueue(fdo, &ext->WriteQueue);
      } else {
        CancelAllQueues(fdo);
      }
      wholeQueue++;
      if (!end.ArriveAndWait()) return;
    }
  });

  for (int r = 0; r < kRounds; ++r) {
    round.irps = std::make_unique<IrpSet>(fdo);
    round.number = r;
    round.all.clear();
    round.writes.clear();
    PIRP w1 = round.irps->Write(10), w2 = round.irps->Write(20), w3 = round.irps->Write(30);
    PIRP ic = round.irps->ImmediateChar();
    PIRP read = round.irps->Read(), wait = round.irps->Wait();
    round.all = {w1, read, w2, wait, ic, w3};
    round.writes = {w1, w2, ic, w3};
    if (!start.ArriveAndWait()) break;

    // The dispatch side: queue everything while the others race for it.
    for (PIRP irp : round.all) {
      if (irp == read) {
        // Refused reads do not happen here (one read per round), cancelled ones are completed
        // by the queue routine.
        NTSTATUS s = QueueReadIrp(ext, irp);
        EXPECT_TRUE(s == STATUS_PENDING || s == STATUS_CANCELLED) << std::hex << s;
      } else if (irp == wait) {
        NTSTATUS s = QueueWaitIrp(ext, irp);
        if (s == STATUS_CANCELLED) {
          round.irps->CompleteOwned(irp, STATUS_CANCELLED);
        } else {
          EXPECT_EQ(s, STATUS_PENDING);
        }
      } else {
        const BOOLEAN atHead = irp == ic;
        const ULONG bytes = WriteRequestByteCount(irp);
        AddToOutQueue(ext, bytes);
        NTSTATUS s = QueueWriteIrp(ext, irp, atHead);
        if (s == STATUS_CANCELLED) {
          TakeFromOutQueue(ext, bytes);
          round.irps->CompleteOwned(irp, STATUS_CANCELLED);
        } else {
          EXPECT_EQ(s, STATUS_PENDING);
        }
      }
    }

    if (!end.ArriveAndWait()) break;
    // What is still queued (queued after the others were done with it) goes now.
    CancelAllQueues(fdo);
    round.irps->ExpectEachCompletedOnce();
    EXPECT_EQ(ext->AmountInOutQueue, 0u) << "round " << r;
    EXPECT_EQ(RemoveLockCount(ext), idle) << "round " << r;
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue) && IsListEmpty(&ext->WaitQueue) &&
                IsListEmpty(&ext->WriteQueue));
    round.irps.reset();
    if (::testing::Test::HasFailure()) break;
  }

  start.Break();
  end.Break();
  dequeuer->Join();
  canceller->Join();
  purger->Join();
  ::testing::Test::RecordProperty("dequeued", static_cast<int>(dequeued.load()));
  ::testing::Test::RecordProperty("cancelledByApplication", static_cast<int>(cancelledByApp.load()));
  std::printf("dequeued %ld, cancelled by IoCancelIrp %ld, whole-queue cancels %ld\n",
              dequeued.load(), cancelledByApp.load(), wholeQueue.load());
}

}  // namespace

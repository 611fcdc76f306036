// IoCancelIrp racing a driver's dequeue on real threads: whoever takes the cancel routine by
// exchange owns the request, and every request is completed exactly once (the verifier fails the
// test on a double completion or a completion with the cancel routine still set).
#include <atomic>

#include "io_test_support.h"

namespace {

using host::app::Request;
using host::app::SendRaw;
using iotest::Complete;
using iotest::FakeQueue;
using iotest::Handlers;

class HostCancelConcurrency : public iotest::ThreadedIoTest {};

TEST_F(HostCancelConcurrency, CancelRacingDequeueCompletesEveryRequestOnce) {
  PDEVICE_OBJECT fdo = CreateFdo();
  FakeQueue queue;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) { return queue.Queue(irp); };
  constexpr int kRounds = 300;
  int cancelled = 0;
  int completed = 0;
  for (int round = 0; round < kRounds; ++round) {
    Request read = SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 8);
    ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    auto dequeuer = session().Spawn("dequeuer", [&] {
      ready++;
      while (!go.load()) {
      }
      if (PIRP irp = queue.Dequeue()) Complete(irp, STATUS_SUCCESS, 1);
    });
    auto canceller = session().Spawn("canceller", [&] {
      ready++;
      while (!go.load()) {
      }
      read.Cancel();
    });
    while (ready.load() != 2) {
    }
    go = true;
    dequeuer->Join();
    canceller->Join();
    host::app::IoResult result = read.Wait();
    ASSERT_TRUE(read.Done()) << "round " << round;
    if (result.status == STATUS_CANCELLED) {
      cancelled++;
      EXPECT_EQ(result.information, 0u);
    } else {
      ASSERT_EQ(result.status, STATUS_SUCCESS) << "round " << round;
      completed++;
    }
    ASSERT_TRUE(IsListEmpty(&queue.head));
  }
  EXPECT_EQ(cancelled + completed, kRounds);
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
}

}  // namespace

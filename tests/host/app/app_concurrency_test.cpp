// Requests completed on another thread while their dispatch routine is still returning: the I/O
// manager's final stage and the dispatch return meet, and exactly one of them ends the request.
#include <atomic>

#include "io_test_support.h"

namespace {

using host::app::Request;
using host::app::SendRaw;
using iotest::Complete;
using iotest::Handlers;

class HostAppConcurrency : public iotest::ThreadedIoTest {};

TEST_F(HostAppConcurrency, CompletionOnAnotherThreadRacingTheDispatchReturn) {
  PDEVICE_OBJECT fdo = CreateFdo();
  fdo->Flags |= DO_BUFFERED_IO;
  std::atomic<PIRP> handedOver{nullptr};
  std::atomic<bool> stop{false};
  // The driver marks each read pending and hands it to its "hardware" thread, which completes
  // it at once; the dispatch routine returns STATUS_PENDING meanwhile.
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    handedOver.store(irp);
    return STATUS_PENDING;
  };
  auto hardware = session().Spawn("hardware", [&] {
    while (!stop.load()) {
      PIRP irp = handedOver.exchange(nullptr);
      if (irp == nullptr) continue;
      memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 4);
      Complete(irp, STATUS_SUCCESS, 4);
    }
  });
  constexpr int kRounds = 500;
  for (int round = 0; round < kRounds; ++round) {
    Request read = SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 4);
    host::app::IoResult result = read.Wait();
    ASSERT_EQ(result.status, STATUS_SUCCESS) << "round " << round;
    ASSERT_EQ(result.output, std::vector<uint8_t>(4, 0x5A)) << "round " << round;
    ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
  }
  stop = true;
  hardware->Join();
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
}

// The classic late look at a request handed to another thread: the dispatch routine reads the
// request after the "hardware" thread has completed it (here it waits for that, so every round
// is one). Each read is reported at the routine's return, on whichever thread completed it.
TEST_F(HostAppConcurrency, ALateLookAtARequestCompletedOnAnotherThreadIsReported) {
  PDEVICE_OBJECT fdo = CreateFdo();
  std::atomic<PIRP> handedOver{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<int> lateLooks{0};
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    handedOver.store(irp);
    while (handedOver.load() != nullptr) {
    }
    // Completed by now: the request may be gone.
    lateLooks += *static_cast<volatile NTSTATUS*>(&irp->IoStatus.Status) == STATUS_SUCCESS;
    return STATUS_PENDING;
  };
  auto hardware = session().Spawn("hardware", [&] {
    while (!stop.load()) {
      PIRP irp = handedOver.load();
      if (irp == nullptr) continue;
      Complete(irp, STATUS_SUCCESS);
      handedOver.store(nullptr);
    }
  });
  host::verifier::ExpectViolations capture;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 0).Wait();
  stop = true;
  hardware->Join();
  EXPECT_EQ(lateLooks.load(), kRounds);
  EXPECT_EQ(capture.Count(host::verifier::Rule::RequestUsedAfterRelease), size_t{kRounds})
      << capture.Text();
  DeleteFdo(fdo);
}

}  // namespace

// Writes that fail: transfer errors, no memory for the request's context, a lower driver that
// fails every request at once, the device becoming unavailable, the close with a write in flight.
// A failed write completes with its error and the requests behind it are still sent.

#include "write_test_support.h"

namespace {

using porttest::PortTestbed;
using sim::Pipe;
using namespace writetest;

class WriteFailure : public ::testing::Test {
 protected:
  PortTestbed tb;
  ioctltest::ControlPort port{tb};
  PDEVICE_EXTENSION ext = tb.Ext();
  sim::ScriptedModem& modem = tb.modem();
};

TEST_F(WriteFailure, ATransferErrorFailsThatWriteAndTheChainGoesOn) {
  tb.usb().Hold(Pipe::BulkOut);
  tb.usb().FailNextTransfer(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  ULONG transmitted = ext->PerfStats.TransmittedCount;
  auto bad = port.file().WriteAsync("lost", 4);
  auto good = port.file().WriteAsync("kept", 4);
  tb.usb().Release(Pipe::BulkOut);

  auto r = bad.Wait();
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.information, 0u);
  r = good.Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(modem.BulkOut(), "kept");
  EXPECT_EQ(ext->PerfStats.TransmittedCount - transmitted, 4u);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);
}

TEST(WriteFailureChunks, AnErrorOnALaterChunkTakesTheWholeWriteOffTheOutputQueue) {
  PortTestbed tb(WithStepModem());
  ioctltest::ControlPort port(tb);
  PDEVICE_EXTENSION ext = tb.Ext();
  auto& modem = tb.Testbed::modem<StepModem>();
  // The transfer after the first one fails.
  modem.onBulkOut = [](sim::UsbStack& usb, size_t delivery) {
    if (delivery == 1) usb.FailNextTransfer(Pipe::BulkOut, STATUS_DEVICE_NOT_READY, USBD_STATUS_STALL_PID);
  };
  std::vector<uint8_t> data = Pattern(10000);
  size_t mark = tb.fullTrace().Size();
  ULONG transmitted = ext->PerfStats.TransmittedCount;
  tb.usb().Hold(Pipe::BulkOut);
  auto w = port.file().WriteAsync(data.data(), 10000);
  auto after = port.file().WriteAsync("after", 5);
  EXPECT_EQ(ext->AmountInOutQueue, 10005u);
  tb.usb().Release(Pipe::BulkOut);

  auto r = w.Wait();
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(after.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_EQ(ext->PerfStats.TransmittedCount - transmitted, 5u);
  EXPECT_EQ(OutTraffic(tb, mark),
            (std::vector<std::string>{"OUT 4096", "DONE 4096", "OUT 4096",
                                      "FAIL STATUS_DEVICE_NOT_READY", "OUT 5", "DONE 5"}));
  // A later write on the same handle goes out too.
  EXPECT_EQ(port.file().Write("later", 5).status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut().substr(4096), "afterlater");
}

TEST_F(WriteFailure, NoMemoryForTheContextFailsThatWriteAndTheNextIsSent) {
  tb.usb().Hold(Pipe::BulkOut);
  auto first = port.file().WriteAsync("first", 5);
  tb.Pump();
  auto starved = port.file().WriteAsync("starved", 7);
  auto last = port.file().WriteAsync("last", 4);
  EXPECT_EQ(ext->AmountInOutQueue, 16u);
  // The next pool allocation is the context of the second write, when the first one ends.
  host::verifier::FailPoolAllocation(1);
  tb.usb().Release(Pipe::BulkOut);

  EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
  auto r = starved.Wait();
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(last.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut(), "firstlast");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

TEST_F(WriteFailure, NoMemoryForTheFirstWriteOfAChain) {
  host::verifier::FailPoolAllocation(1);
  auto r = port.file().Write("abc", 3);
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);
  EXPECT_EQ(port.file().Write("def", 3).status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut(), "def");
}

TEST_F(WriteFailure, ALowerDriverThatFailsEveryRequestAtOnceFailsEveryQueuedWrite) {
  // The bulk-OUT handle goes stale while 2000 writes wait behind the one in flight: the USB stack
  // refuses each of them inside IoCallDriver. Each completion leaves the next send to the thread
  // already sending, so the 2000 refusals run one after another instead of nesting.
  constexpr int kQueued = 2000;
  tb.usb().Hold(Pipe::BulkOut);
  auto first = port.file().WriteAsync("first", 5);
  tb.Pump();
  std::vector<host::app::Request> queued;
  for (int i = 0; i < kQueued; ++i) queued.push_back(port.file().WriteAsync("q", 1));
  EXPECT_EQ(ext->AmountInOutQueue, 5u + kQueued);

  USBD_PIPE_HANDLE good = ext->BulkOutPipe;
  ext->BulkOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{0x5BFFFFF1});
  tb.usb().Release(Pipe::BulkOut);

  EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
  for (auto& q : queued) {
    auto r = q.Wait();
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);

  ext->BulkOutPipe = good;
  EXPECT_EQ(port.file().Write("again", 5).status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut(), "firstagain");
}

TEST(WriteFailureCancel, AWriteCancelledBetweenItsChunksEndsCancelledAndTheNextIsSent) {
  PortTestbed tb(WithStepModem());
  ioctltest::ControlPort port(tb);
  auto& modem = tb.Testbed::modem<StepModem>();
  modem.onBulkOut = [](sim::UsbStack& usb, size_t) { usb.Hold(Pipe::BulkOut); };
  std::vector<uint8_t> data = Pattern(9000);
  tb.usb().Hold(Pipe::BulkOut);
  auto w = port.file().WriteAsync(data.data(), 9000);
  auto next = port.file().WriteAsync("next", 4);
  tb.Pump();
  tb.usb().Release(Pipe::BulkOut);  // the first chunk completes, the second is in flight
  tb.Pump();
  ASSERT_FALSE(w.Done());

  EXPECT_TRUE(w.Cancel());
  auto r = w.Wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  tb.usb().Release(Pipe::BulkOut);
  EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut().substr(4096), "next");
  EXPECT_EQ(tb.Ext()->AmountInOutQueue, 0u);
}

TEST_F(WriteFailure, AnUnavailableDeviceRefusesWritesAtDispatch) {
  ext->DeviceGone = DEVICE_GONE_MARK;
  auto r = port.file().Write("abc", 3);
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  ext->DeviceGone = 0;
}

TEST_F(WriteFailure, TheChainStopsWhenTheDeviceBecomesUnavailableAndTheQueueWaitsForCancel) {
  tb.usb().Hold(Pipe::BulkOut);
  auto first = port.file().WriteAsync("first", 5);
  auto waiting = port.file().WriteAsync("waiting", 7);
  tb.Pump();
  ext->DeviceGone = DEVICE_GONE_MARK;  // as a failing reader marks it
  tb.usb().Release(Pipe::BulkOut);
  EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_FALSE(waiting.Done());
  EXPECT_TRUE(ext->WriteActive);
  EXPECT_EQ(ext->AmountInOutQueue, 7u);
  EXPECT_EQ(port.file().Cleanup(), STATUS_SUCCESS);
  EXPECT_EQ(waiting.Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  ext->DeviceGone = 0;
}

// A kernel client's write: it has no handle whose close would wait for it.
host::app::Request RawWrite(PortTestbed& tb, const std::vector<uint8_t>& data) {
  return host::app::SendRaw(tb.fdo(), IRP_MJ_WRITE, 0, 0, data.data(),
                            static_cast<ULONG>(data.size()), 0);
}

TEST_F(WriteFailure, TheCloseAbortsAWriteInFlightAndNothingMoreIsSent) {
  std::vector<uint8_t> data = Pattern(10000);
  tb.usb().Hold(Pipe::BulkOut);
  auto w = RawWrite(tb, data);
  auto queued = RawWrite(tb, Pattern(10));
  tb.Pump();
  ASSERT_EQ(tb.usb().PendingTransfers(Pipe::BulkOut), 1u);
  size_t mark = tb.fullTrace().Size();

  EXPECT_EQ(port.file().Close(), STATUS_SUCCESS);  // returns once the write has ended
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(w.Result().information, 0u);
  EXPECT_EQ(OutTraffic(tb, mark), (std::vector<std::string>{"FAIL STATUS_CANCELLED"}));
  // The cleanup before the close cancelled the request queued behind it.
  ASSERT_TRUE(queued.Done());
  EXPECT_EQ(queued.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  tb.usb().Release(Pipe::BulkOut);
}

TEST_F(WriteFailure, AChunkThatCompletesAfterTheCloseBeganEndsTheWriteWithTheBytesSentSoFar) {
  std::vector<uint8_t> data = Pattern(10000);
  tb.usb().Hold(Pipe::BulkOut);
  auto w = RawWrite(tb, data);
  tb.Pump();
  size_t mark = tb.fullTrace().Size();

  // The close stops in its line-state request, after it has marked the port closed.
  tb.usb().HoldControl();
  auto close = tb.session().Spawn("close", [&] { port.file().Close(); });
  ASSERT_FALSE(close->Finished());
  ASSERT_FALSE(ext->DeviceOpen);

  tb.usb().Release(Pipe::BulkOut);
  tb.Pump();
  ASSERT_TRUE(w.Done());
  EXPECT_EQ(w.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(w.Result().information, 4096u);
  EXPECT_EQ(ext->PerfStats.TransmittedCount, 4096u);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_EQ(OutTraffic(tb, mark), (std::vector<std::string>{"DONE 4096"}));

  tb.usb().ReleaseControl();
  close->Join();
  EXPECT_EQ(OutTraffic(tb, mark), (std::vector<std::string>{"DONE 4096"}));
}

}  // namespace

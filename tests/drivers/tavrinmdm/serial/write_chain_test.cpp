// The write chain: chunking, order, the immediate character, the output-queue count, the
// transmit-empty event, cancellation of queued writes, zero-length writes.

#include "write_test_support.h"

namespace {

using porttest::PortTestbed;
using sim::Pipe;
using namespace writetest;

class WriteChain : public ::testing::Test {
 protected:
  PortTestbed tb;
  ioctltest::ControlPort port{tb};
  PDEVICE_EXTENSION ext = tb.Ext();
  sim::ScriptedModem& modem = tb.modem();
};

TEST_F(WriteChain, TenThousandBytesGoOutAsThreeChunksEachAfterThePreviousCompleted) {
  std::vector<uint8_t> data = Pattern(10000);
  size_t mark = tb.fullTrace().Size();
  ULONG transmittedBefore = ext->PerfStats.TransmittedCount;

  auto w = port.file().WriteAsync(data.data(), 10000);
  EXPECT_EQ(w.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(ext->AmountInOutQueue, 10000u);
  auto r = w.Wait();

  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 10000u);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_EQ(ext->PerfStats.TransmittedCount - transmittedBefore, 10000u);
  EXPECT_TRUE(SameBytes(modem.BulkOut(), data));
  EXPECT_EQ(OutTraffic(tb, mark),
            (std::vector<std::string>{"OUT 4096", "DONE 4096", "OUT 4096", "DONE 4096", "OUT 1808",
                                      "DONE 1808"}));
}

TEST_F(WriteChain, ExactlyOneChunkOf4096AndTwoFor4097) {
  std::vector<uint8_t> data = Pattern(4097);
  size_t mark = tb.fullTrace().Size();
  EXPECT_EQ(port.file().Write(data.data(), 4096).information, 4096u);
  EXPECT_EQ(OutTraffic(tb, mark), (std::vector<std::string>{"OUT 4096", "DONE 4096"}));

  mark = tb.fullTrace().Size();
  EXPECT_EQ(port.file().Write(data.data(), 4097).information, 4097u);
  EXPECT_EQ(OutTraffic(tb, mark),
            (std::vector<std::string>{"OUT 4096", "DONE 4096", "OUT 1", "DONE 1"}));
}

TEST(WriteChunks, TheRequestItselfCarriesTheUrbAndEachChunkIsSentFromItsBuffer) {
  PortTestbed tb(WithStepModem());
  ioctltest::ControlPort port(tb);
  auto& modem = tb.Testbed::modem<StepModem>();
  // Every delivery holds the pipe again, so the chunks complete one release at a time.
  modem.onBulkOut = [](sim::UsbStack& usb, size_t) { usb.Hold(Pipe::BulkOut); };

  std::vector<uint8_t> data = Pattern(9000);
  tb.usb().Hold(Pipe::BulkOut);
  auto w = port.file().WriteAsync(data.data(), 9000);
  tb.Pump();
  PIRP irp = w.Irp();
  ASSERT_NE(irp, nullptr);
  PUCHAR system = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  PURB first = nullptr;

  const ULONG offsets[] = {0, 4096, 8192};
  const ULONG lengths[] = {4096, 4096, 808};
  for (int chunk = 0; chunk < 3; ++chunk) {
    SCOPED_TRACE(chunk);
    ASSERT_FALSE(w.Done());
    EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkOut), 1u);
    // The request is down in the USB stack: its current stack location is the stack's, with
    // the URB in it, pointing into the request's own system buffer.
    PIO_STACK_LOCATION below = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(below->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(below->Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
    auto* urb = static_cast<PURB>(below->Parameters.Others.Argument1);
    ASSERT_NE(urb, nullptr);
    if (first == nullptr) first = urb;
    EXPECT_EQ(urb, first);  // one URB for all the chunks
    const auto& t = urb->UrbBulkOrInterruptTransfer;
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(t.PipeHandle, tb.Ext()->BulkOutPipe);
    EXPECT_EQ(t.TransferFlags, 0u);
    EXPECT_EQ(t.TransferBuffer, system + offsets[chunk]);
    EXPECT_EQ(t.TransferBufferLength, lengths[chunk]);
    EXPECT_EQ(t.TransferBufferMDL, nullptr);
    EXPECT_EQ(t.UrbLink, nullptr);
    tb.usb().Release(Pipe::BulkOut);
    tb.Pump();
  }
  auto r = w.Wait();
  EXPECT_EQ(r.information, 9000u);
  EXPECT_TRUE(SameBytes(modem.BulkOut(), data));
}

TEST_F(WriteChain, OnePoolAllocationPerWriteWhateverItsChunkCount) {
  std::vector<uint8_t> data = Pattern(40000);
  uint64_t before = host::verifier::PoolAllocationCount();
  ASSERT_EQ(port.file().Write(data.data(), 10).status, STATUS_SUCCESS);
  uint64_t small = host::verifier::PoolAllocationCount() - before;
  before = host::verifier::PoolAllocationCount();
  ASSERT_EQ(port.file().Write(data.data(), 40000).status, STATUS_SUCCESS);
  uint64_t large = host::verifier::PoolAllocationCount() - before;
  EXPECT_EQ(large, small);
  EXPECT_LE(small, 1u);
}

TEST_F(WriteChain, WritesGoOutInTheOrderTheyArrived) {
  tb.usb().Hold(Pipe::BulkOut);
  std::vector<host::app::Request> writes;
  std::string expected;
  for (int i = 0; i < 5; ++i) {
    std::string text = "write" + std::to_string(i) + std::string(i * 1000, 'a' + i);
    expected += text;
    writes.push_back(port.file().WriteAsync(text.data(), static_cast<ULONG>(text.size())));
  }
  EXPECT_EQ(ext->AmountInOutQueue, expected.size());
  tb.usb().Release(Pipe::BulkOut);
  for (auto& w : writes) EXPECT_EQ(w.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut(), expected);
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

TEST_F(WriteChain, ImmediateCharacterOvertakesQueuedWritesButNotTheOneInFlight) {
  std::vector<uint8_t> longWrite(9000, 'L');
  tb.usb().Hold(Pipe::BulkOut);
  auto inFlight = port.file().WriteAsync(longWrite.data(), 9000);
  auto second = port.file().WriteAsync("second", 6);
  auto third = port.file().WriteAsync("third", 5);
  tb.Pump();
  EXPECT_EQ(ext->AmountInOutQueue, 9011u);

  UCHAR x = 'X';
  auto immediate = port.Send(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
  EXPECT_EQ(immediate.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(ext->AmountInOutQueue, 9012u);

  tb.usb().Release(Pipe::BulkOut);
  auto ir = immediate.Wait();
  EXPECT_EQ(ir.status, STATUS_SUCCESS);
  EXPECT_EQ(ir.information, 0u);  // no data goes back through a control request's buffer
  EXPECT_EQ(inFlight.Wait().information, 9000u);
  EXPECT_EQ(second.Wait().information, 6u);
  EXPECT_EQ(third.Wait().information, 5u);
  EXPECT_EQ(modem.BulkOut(), std::string(9000, 'L') + "X" + "second" + "third");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

TEST_F(WriteChain, ImmediateCharacterOnAnIdlePortGoesOutAtOnce) {
  UCHAR x = 0x7E;
  auto r = port.Call(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(modem.BulkOut(), "\x7E");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  EXPECT_FALSE(ext->WriteActive);
}

TEST_F(WriteChain, ImmediateCharacterNeedsOneByteOfInput) {
  auto r = port.Call(IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);
  tb.Pump();
  EXPECT_EQ(modem.BulkOut(), "");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

TEST_F(WriteChain, ZeroLengthWriteSucceedsAtOnceAndNeverReachesTheQueue) {
  size_t mark = tb.fullTrace().Size();
  auto w = port.file().WriteAsync("", 0);
  EXPECT_TRUE(w.Done());
  EXPECT_EQ(w.DispatchStatus(), STATUS_SUCCESS);
  EXPECT_EQ(w.Result().information, 0u);
  tb.Pump();
  EXPECT_TRUE(OutTraffic(tb, mark).empty());
  EXPECT_FALSE(ext->WriteActive);
}

TEST_F(WriteChain, TransmitEmptyCompletesAPendingWaitWhenTheLastWriteIsDone) {
  ULONG mask = SERIAL_EV_TXEMPTY;
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  auto wait = port.Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(wait.DispatchStatus(), STATUS_PENDING);

  tb.usb().Hold(Pipe::BulkOut);
  auto w1 = port.file().WriteAsync("one", 3);
  auto w2 = port.file().WriteAsync("two", 3);
  tb.usb().Release(Pipe::BulkOut);
  w1.Wait();
  w2.Wait();

  ASSERT_TRUE(wait.Done());
  auto r = wait.Wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, 4u);
  ULONG events;
  memcpy(&events, r.output.data(), 4);
  EXPECT_TRUE(events & SERIAL_EV_TXEMPTY);
  EXPECT_EQ(ext->EventHistory, 0u);
}

TEST_F(WriteChain, TransmitEmptyWithNoWaitPendingIsDropped) {
  ULONG mask = SERIAL_EV_TXEMPTY;
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  ASSERT_EQ(port.file().Write("abc", 3).status, STATUS_SUCCESS);
  EXPECT_EQ(ext->EventHistory, 0u);
  auto wait = port.Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  tb.Pump();
  EXPECT_FALSE(wait.Done());
  wait.Cancel();
  EXPECT_EQ(wait.Wait().status, STATUS_CANCELLED);
}

TEST_F(WriteChain, TransmitEmptyIsNotRaisedWithoutTheMaskBit) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  auto wait = port.Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(port.file().Write("abc", 3).status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_FALSE(wait.Done());
  EXPECT_EQ(ext->EventHistory, 0u);
  wait.Cancel();
  wait.Wait();
}

TEST_F(WriteChain, QueuedWritesCanBeCancelledAndTheOneInFlightRunsToItsEnd) {
  tb.usb().Hold(Pipe::BulkOut);
  auto first = port.file().WriteAsync("first", 5);
  auto second = port.file().WriteAsync("second!", 7);
  auto third = port.file().WriteAsync("third", 5);
  tb.Pump();
  EXPECT_EQ(ext->AmountInOutQueue, 17u);

  EXPECT_TRUE(second.Cancel());
  auto r = second.Wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ext->AmountInOutQueue, 10u);

  tb.usb().Release(Pipe::BulkOut);
  EXPECT_EQ(first.Wait().information, 5u);
  EXPECT_EQ(third.Wait().information, 5u);
  EXPECT_EQ(modem.BulkOut(), "firstthird");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
}

TEST_F(WriteChain, ACancelledImmediateCharacterTakesItsByteBackOff) {
  tb.usb().Hold(Pipe::BulkOut);
  auto first = port.file().WriteAsync("first", 5);
  UCHAR x = 'X';
  auto immediate = port.Send(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
  tb.Pump();
  EXPECT_EQ(ext->AmountInOutQueue, 6u);
  EXPECT_TRUE(immediate.Cancel());
  EXPECT_EQ(immediate.Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(ext->AmountInOutQueue, 5u);
  tb.usb().Release(Pipe::BulkOut);
  first.Wait();
  EXPECT_EQ(modem.BulkOut(), "first");
}

// A write in flight holds the handle's file object, and a modem that never takes it would keep
// the close from coming for ever: the cleanup has the USB stack end it (an abort of bulk-OUT).
TEST_F(WriteChain, CleanupCancelsQueuedWritesAndEndsTheWriteInFlight) {
  std::vector<uint8_t> data = Pattern(10000);
  tb.usb().Hold(Pipe::BulkOut);
  auto inFlight = port.file().WriteAsync(data.data(), 10000);
  auto queued = port.file().WriteAsync("queued", 6);
  tb.Pump();
  EXPECT_EQ(port.file().Cleanup(), STATUS_SUCCESS);
  EXPECT_EQ(queued.Wait().status, STATUS_CANCELLED);
  auto r = inFlight.Wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(modem.BulkOut(), "");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  tb.usb().Release(Pipe::BulkOut);
}

}  // namespace

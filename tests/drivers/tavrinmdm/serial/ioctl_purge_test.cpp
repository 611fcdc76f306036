// IOCTL_SERIAL_PURGE: the four bits in their order, with a waiting read, queued writes and
// received bytes.

#include "ioctl_test_support.h"
#include "tavrinmdm/usb/usb.h"

namespace {

using porttest::PortTestbed;
using sim::Pipe;

class IoctlPurge : public ::testing::Test {
 protected:
  PortTestbed tb;
  ioctltest::ControlPort port{tb};
  PDEVICE_EXTENSION ext = tb.Ext();

  host::app::IoResult Purge(ULONG mask) { return port.Set(IOCTL_SERIAL_PURGE, mask); }

  // Bytes in the ring that no bulk-IN completion has announced (so a waiting read has not been
  // served from them).
  void PutInRing(const std::string& bytes) {
    ULONG stored = 0;
    ASSERT_EQ(RingPut(ext, bytes.data(), static_cast<ULONG>(bytes.size()), &stored),
              STATUS_SUCCESS);
    ASSERT_EQ(stored, bytes.size());
  }
};

TEST_F(IoctlPurge, ReceiveAbortFinishesAWaitingReadWithWhatTheRingHoldsInsteadOfCancellingIt) {
  auto read = port.file().ReadAsync(100);
  tb.Pump();
  ASSERT_FALSE(read.Done());

  auto r = Purge(SERIAL_PURGE_RXABORT);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(read.Result().information, 0u);
}

TEST_F(IoctlPurge, ReceiveAbortGivesTheWaitingReadTheBytesAlreadyInTheRing) {
  auto read = port.file().ReadAsync(5);
  tb.Pump();
  PutInRing("hello world");
  ASSERT_FALSE(read.Done());
  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(porttest::Text(read.Result().output), "hello");
  EXPECT_EQ(RingAvailable(ext), 6);
}

TEST_F(IoctlPurge, AbortAndClearTogetherServeTheReadFirstAndEmptyTheRingAfter) {
  auto read = port.file().ReadAsync(100);
  tb.Pump();
  PutInRing("abc");
  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR).status, STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(porttest::Text(read.Result().output), "abc");
  EXPECT_EQ(RingAvailable(ext), 0);
}

TEST_F(IoctlPurge, ReceiveClearDiscardsUnreadBytesAndLeavesAWaitingReadWaiting) {
  tb.modem().PushBulkIn("old bytes");
  tb.Pump();
  EXPECT_EQ(port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 9u);
  EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR).status, STATUS_SUCCESS);
  EXPECT_EQ(port.Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);

  auto read = port.file().ReadAsync(100);
  tb.Pump();
  EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR).status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_FALSE(read.Done());
  tb.modem().PushBulkIn("new");
  auto r = read.Wait();
  EXPECT_EQ(porttest::Text(r.output), "new");
}

TEST_F(IoctlPurge, TransmitAbortCancelsQueuedWritesButNotTheOneInFlight) {
  tb.usb().Hold(Pipe::BulkOut);
  auto inFlight = port.file().WriteAsync("in flight", 9);
  auto queued1 = port.file().WriteAsync("queued one", 10);
  auto queued2 = port.file().WriteAsync("queued two", 10);
  UCHAR x = 'X';
  auto immediate = port.Send(IOCTL_SERIAL_IMMEDIATE_CHAR, &x, 1, 0);
  tb.Pump();
  EXPECT_EQ(ext->AmountInOutQueue, 30u);

  EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT).status, STATUS_SUCCESS);
  for (auto* q : {&queued1, &queued2, &immediate}) {
    ASSERT_TRUE(q->Done());
    EXPECT_EQ(q->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(q->Result().information, 0u);
  }
  EXPECT_FALSE(inFlight.Done());
  EXPECT_EQ(ext->AmountInOutQueue, 9u);

  tb.usb().Release(Pipe::BulkOut);
  EXPECT_EQ(inFlight.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(tb.modem().BulkOut(), "in flight");
  EXPECT_EQ(ext->AmountInOutQueue, 0u);
  // The chain is idle again, not stuck.
  EXPECT_EQ(port.file().Write("next", 4).status, STATUS_SUCCESS);
  EXPECT_EQ(tb.modem().BulkOut(), "in flightnext");
}

TEST_F(IoctlPurge, TransmitClearAndUnknownBitsChangeNothing) {
  tb.modem().PushBulkIn("kept");
  tb.Pump();
  ULONG mask = SERIAL_EV_RING;  // never raised: the wait stays pending
  ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).status, STATUS_SUCCESS);
  ASSERT_EQ(port.Call(IOCTL_SERIAL_PURGE, &mask, 0, 0).status, STATUS_BUFFER_TOO_SMALL);
  auto wait = port.Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_FALSE(wait.Done());
  tb.usb().Hold(Pipe::BulkOut);
  auto inFlight = port.file().WriteAsync("one", 3);
  auto queued = port.file().WriteAsync("two", 3);
  auto read = port.file().ReadAsync(2);
  ASSERT_TRUE(read.Done());  // took "ke"
  read = port.file().ReadAsync(2);
  ASSERT_TRUE(read.Done());  // took "pt"
  read = port.file().ReadAsync(10);
  tb.Pump();
  ASSERT_FALSE(read.Done());
  PutInRing("ring");

  for (ULONG purge : {ULONG{SERIAL_PURGE_TXCLEAR}, 0xFFFFFFF0u, 0u}) {
    EXPECT_EQ(Purge(purge).status, STATUS_SUCCESS);
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(queued.Done());
    EXPECT_FALSE(wait.Done());  // no purge touches a pending wait
    EXPECT_EQ(RingAvailable(ext), 4);
    EXPECT_EQ(ext->AmountInOutQueue, 6u);
  }

  // And the whole mask still leaves the wait alone.
  EXPECT_EQ(Purge(0xF).status, STATUS_SUCCESS);
  EXPECT_TRUE(read.Done());
  EXPECT_TRUE(queued.Done());
  EXPECT_FALSE(wait.Done());
  tb.usb().Release(Pipe::BulkOut);
  inFlight.Wait();
  wait.Cancel();
  EXPECT_EQ(wait.Wait().status, STATUS_CANCELLED);
}

}  // namespace

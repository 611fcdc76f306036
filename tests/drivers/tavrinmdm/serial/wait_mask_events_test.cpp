// Wait-on-mask through an open port: the three control codes, the event history, and the events
// each producer raises (line-state notifications, arriving data, the ring's fill level, the loss
// of the modem).

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;
using rxtest::EventWord;
using rxtest::SetWaitMask;
using rxtest::WaitOnMask;
using sim::Pipe;

class WaitMaskTest : public ::testing::Test {
 protected:
  PDEVICE_EXTENSION ext() { return tb.Ext(); }
  PortTestbed tb;
  host::app::File port = rxtest::OpenPort(tb);
};

class WaitMaskCodes : public WaitMaskTest {};
class WaitMaskEvents : public WaitMaskTest {};

TEST_F(WaitMaskCodes, AllThirteenBitsAreAcceptedAndAHigherOneRefused) {
  const ULONG all = 0x1FFF;
  auto r = port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &all, 4, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  ULONG mask = 0;
  r = port.DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  memcpy(&mask, r.output.data(), 4);
  EXPECT_EQ(mask, 0x1FFFu);

  auto wait = WaitOnMask(port);
  tb.Pump();
  ASSERT_FALSE(wait.Done());
  ULONG bad = 0x2000;
  r = port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &bad, 4, 0);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.information, 0u);
  EXPECT_FALSE(wait.Done()) << "a refused mask leaves the pending wait alone";
  EXPECT_EQ(ext()->WaitMask, 0x1FFFu);
  wait.Cancel();
  wait.Wait();
}

TEST_F(WaitMaskCodes, SetReportsFourOnlyWhereItFitsTheOutputBuffer) {
  ULONG mask = SERIAL_EV_RXCHAR;
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0).information, 4u);
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 8).information, 4u);
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 4).information, 4u);
  auto r = port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 3);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 1).information, 0u);
}

TEST_F(WaitMaskCodes, ShortBuffersAreRefusedAndChangeNothing) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_DSR), STATUS_SUCCESS);
  ULONG mask = SERIAL_EV_RXCHAR;
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 3, 0).status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(port.DeviceIoControl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 3).status,
            STATUS_BUFFER_TOO_SMALL);
  auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 3);
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ext()->WaitMask, ULONG(SERIAL_EV_DSR));
  EXPECT_TRUE(IsListEmpty(&ext()->WaitQueue));
}

TEST_F(WaitMaskCodes, SettingAMaskEndsThePendingWaitWithNoEvents) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.Pump();
  ASSERT_FALSE(wait.Done());
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_DSR), STATUS_SUCCESS);
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(wait.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(wait.Result().information, 4u);
  EXPECT_EQ(EventWord(wait.Result()), 0u);
}

TEST_F(WaitMaskCodes, WaitRightAfterOpenIsRefused) {
  auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.information, 0u);
}

TEST_F(WaitMaskCodes, SecondWaitIsRefusedAndEndsTheFirstWithNoEvents) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
  auto first = WaitOnMask(port);
  tb.Pump();
  ASSERT_FALSE(first.Done());
  auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  ASSERT_TRUE(first.Done());
  EXPECT_EQ(first.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(EventWord(first.Result()), 0u);
  EXPECT_EQ(ext()->EventHistory, 0u);
}

TEST_F(WaitMaskCodes, CleanupCancelsThePendingWait) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.Pump();
  EXPECT_EQ(port.Cleanup(), STATUS_SUCCESS);
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(wait.Result().status, STATUS_CANCELLED);
}

TEST_F(WaitMaskEvents, CarrierChangeIsRememberedForTheNextWait) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RLSD), STATUS_SUCCESS);
  tb.modem().PushSerialState(0x01);  // DCD on
  tb.Pump();
  EXPECT_EQ(ext()->EventHistory, ULONG(SERIAL_EV_RLSD));
  auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(EventWord(r), ULONG(SERIAL_EV_RLSD));
  auto next = WaitOnMask(port);
  tb.Pump();
  EXPECT_FALSE(next.Done());
  tb.modem().PushSerialState(0x00);  // DCD off
  tb.Pump();
  ASSERT_TRUE(next.Done());
  EXPECT_EQ(EventWord(next.Result()), ULONG(SERIAL_EV_RLSD));
  EXPECT_EQ(ext()->EventHistory, 0u);
}

TEST_F(WaitMaskEvents, SerialStateSetsCarrierDsrAndCtsButNeverRaisesCts) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RLSD | SERIAL_EV_DSR | SERIAL_EV_CTS), STATUS_SUCCESS);
  ext()->ModemStatus = 0;
  auto wait = WaitOnMask(port);
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  EXPECT_EQ(ext()->ModemStatus, 0xB0);
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(EventWord(wait.Result()), ULONG(SERIAL_EV_RLSD | SERIAL_EV_DSR));

  // The same state again changes nothing and raises nothing.
  auto again = WaitOnMask(port);
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  EXPECT_FALSE(again.Done());
  EXPECT_EQ(ext()->EventHistory, 0u);
  again.Cancel();
  again.Wait();
}

TEST_F(WaitMaskEvents, OnlyCtsInTheMaskSeesNothingFromDsrAndCts) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_CTS), STATUS_SUCCESS);
  ext()->ModemStatus = 0;
  auto wait = WaitOnMask(port);
  tb.modem().PushSerialState(0x02);
  tb.Pump();
  EXPECT_EQ(ext()->ModemStatus, 0x30);
  EXPECT_FALSE(wait.Done());
  EXPECT_EQ(ext()->EventHistory, 0u);
  wait.Cancel();
  wait.Wait();
}

TEST_F(WaitMaskEvents, ShortSerialStateIsIgnoredAndTheReaderGoesOn) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RLSD | SERIAL_EV_DSR), STATUS_SUCCESS);
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  ASSERT_EQ(ext()->ModemStatus & 0xB0, 0xB0);
  // Leave a 0 at offset 8 of the buffer with a notification of another kind...
  tb.modem().PushNotification({0xA1, 0x2A, 0, 0, 0, 0, 2, 0, 0x00, 0x00});
  // ... then a SERIAL_STATE too short to carry its bitmap: offset 8 is stale and not applied.
  tb.modem().PushNotification({0xA1, 0x20, 0, 0, 0, 0, 2, 0});
  tb.Pump();
  EXPECT_EQ(ext()->ModemStatus & 0xB0, 0xB0);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u) << "the reader re-armed";
  tb.modem().PushSerialState(0x00);
  tb.Pump();
  EXPECT_EQ(ext()->ModemStatus & 0xB0, 0);
  port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);  // takes the history
}

TEST_F(WaitMaskEvents, DataCompletesAPendingWaitOrIsRemembered) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.modem().PushBulkIn("a");
  tb.Pump();
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(EventWord(wait.Result()), ULONG(SERIAL_EV_RXCHAR));

  auto next = WaitOnMask(port);
  tb.Pump();
  EXPECT_FALSE(next.Done());
  tb.modem().PushBulkIn("b");
  tb.Pump();
  ASSERT_TRUE(next.Done());

  tb.modem().PushBulkIn("c");
  tb.Pump();
  auto r = port.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(EventWord(r), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(WaitMaskEvents, ZeroLengthTransferStillRaisesTheDataEvents) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.modem().PushZeroLengthPacket();
  tb.Pump();
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(EventWord(wait.Result()), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
}

TEST_F(WaitMaskEvents, EightyPercentMeans820000BytesNot819200) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RX80FULL), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.modem().PushBulkIn(std::vector<uint8_t>(819999, 0x55));
  tb.Pump();
  ASSERT_EQ(RingAvailable(ext()), 819999);
  EXPECT_FALSE(wait.Done());
  tb.modem().PushBulkIn(std::vector<uint8_t>(1, 0x55));
  tb.Pump();
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(EventWord(wait.Result()), ULONG(SERIAL_EV_RX80FULL));
}

TEST_F(WaitMaskEvents, LossReportReachesAWaitWhateverItsMask) {
  ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = WaitOnMask(port);
  tb.Pump();
  tb.usb().FailNextTransfer(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.Pump();
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(EventWord(wait.Result()) & 0x38u, 0x38u);
  EXPECT_EQ(ext()->EventHistory, 0u);
  EXPECT_EQ(ext()->DeviceGone, ULONG(DEVICE_GONE_MARK));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 0u) << "the failed reader is not re-armed";

  // A later loss report with no wait pending is dropped the same way.
  tb.usb().FailNextTransfer(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.Pump();
  EXPECT_EQ(ext()->EventHistory, 0u);
}

}  // namespace

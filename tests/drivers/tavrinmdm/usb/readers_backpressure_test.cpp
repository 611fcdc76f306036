// The two readers: their URBs, back-pressure on the bulk-IN reader (park on a nearly full ring,
// re-arm when a read or a receive purge makes room, exactly one transfer in flight), the failure
// and suspend paths, and submission without a request (low resources).

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;
using sim::Pipe;

class ReadersTest : public ::testing::Test {
 protected:
  PDEVICE_EXTENSION ext() { return tb.Ext(); }
  ULONG BulkState() { return ext()->BulkInReaderState; }
  PortTestbed tb;
  host::app::File port = rxtest::OpenPort(tb);
};

class ReadersUrbs : public ReadersTest {};
class ReadersBackPressure : public ReadersTest {};
class ReadersFailure : public ReadersTest {};

TEST_F(ReadersUrbs, BothReadersAreArmedWithTheirTransfers) {
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(ext()->IoCount, 3);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
  EXPECT_EQ(ext()->InterruptReaderState, ULONG(ReaderArmed));

  const auto& bulk = ext()->BulkInUrb.UrbBulkOrInterruptTransfer;
  EXPECT_EQ(bulk.Hdr.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(bulk.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(bulk.PipeHandle, ext()->BulkInPipe);
  EXPECT_EQ(bulk.TransferFlags, 3u);
  EXPECT_EQ(bulk.TransferBufferLength, 4096u);
  EXPECT_EQ(bulk.TransferBuffer, ext()->BulkInBuffer);
  EXPECT_EQ(bulk.TransferBufferMDL, nullptr);
  EXPECT_EQ(bulk.UrbLink, nullptr);
  const auto& notify = ext()->InterruptUrb.UrbBulkOrInterruptTransfer;
  EXPECT_EQ(notify.PipeHandle, ext()->InterruptPipe);
  EXPECT_EQ(notify.TransferFlags, 3u);
  EXPECT_EQ(notify.TransferBufferLength, 16u);
  EXPECT_EQ(notify.TransferBuffer, ext()->NotifyBuffer);

  // Each completion submits the same transfer again with its full length.
  auto trace = tb.trace();
  trace.SeekEnd();
  tb.modem().PushBulkIn("hi");
  tb.Pump();
  EXPECT_EQ(trace.NextLine(), "IN-DONE bulk-in 2: 68 69");
  EXPECT_EQ(trace.NextLine(), "IN bulk-in 4096");
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST_F(ReadersBackPressure, ThreeMegabytesWhileNobodyReadsAllArriveInOrder) {
  const size_t total = 3 * 1024 * 1024;
  tb.modem().PushBulkIn(rxtest::PatternBytes(0, total));
  tb.Pump();

  // The ring filled to within one transfer of full and the reader parked with nothing in flight;
  // the rest waits in the modem.
  EXPECT_EQ(BulkState(), ULONG(ReaderParked));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  EXPECT_GT(RingAvailable(ext()), LONG(RING_BUFFER_SIZE - BULK_IN_REARM_ROOM));
  EXPECT_EQ(ext()->IoCount, 2) << "a parked reader holds no unit";
  EXPECT_GT(tb.modem().PendingBulkIn() + tb.usb().BulkInQueued(), 0u);

  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  uint64_t got = 0;
  for (int rounds = 0; got < total && rounds < 10000; ++rounds) {
    auto r = port.Read(65536);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    for (size_t k = 0; k < r.output.size(); ++k) {
      ASSERT_EQ(r.output[k], rxtest::Pattern(got + k)) << "byte " << got + k;
    }
    got += r.output.size();
    tb.Pump();
    ASSERT_LE(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  }
  EXPECT_EQ(got, total);
  EXPECT_EQ(tb.usb().BytesToHost(), total);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
}

TEST_F(ReadersBackPressure, ReadThatLeavesLessThanATransferOfRoomDoesNotReArm) {
  tb.modem().PushBulkIn(std::vector<uint8_t>(2 * 1024 * 1024, 0x42));
  tb.Pump();
  ASSERT_EQ(BulkState(), ULONG(ReaderParked));
  const LONG room = LONG(RING_BUFFER_SIZE) - RingAvailable(ext());
  ASSERT_LT(room, LONG(BULK_IN_REARM_ROOM));

  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  const ULONG tooFew = ULONG(BULK_IN_REARM_ROOM - room - 1);
  if (tooFew > 0) {
    EXPECT_EQ(port.Read(tooFew).information, tooFew);
    EXPECT_EQ(BulkState(), ULONG(ReaderParked));
    EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  }
  EXPECT_EQ(port.Read(1).information, 1u);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST_F(ReadersBackPressure, ReceivePurgeReArmsAParkedReader) {
  tb.modem().PushBulkIn(std::vector<uint8_t>(1100 * 1000, 0x42));
  tb.Pump();
  ASSERT_EQ(BulkState(), ULONG(ReaderParked));
  ASSERT_EQ(rxtest::Purge(port, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
  tb.Pump();
  EXPECT_GT(RingAvailable(ext()), 0) << "what the modem kept arrives after the purge";
}

TEST_F(ReadersBackPressure, CloseTreatsAParkedReaderAsIdle) {
  tb.modem().PushBulkIn(std::vector<uint8_t>(1100 * 1000, 0x42));
  tb.Pump();
  ASSERT_EQ(BulkState(), ULONG(ReaderParked));
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(BulkState(), ULONG(ReaderIdle));
  EXPECT_EQ(ext()->IoCount, 0);
  // The next open starts with an empty ring and an armed reader.
  port = rxtest::OpenPort(tb);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST_F(ReadersBackPressure, ReadThatMakesRoomWhileParkedOnASuspendedPortDoesNotArm) {
  tb.modem().PushBulkIn(std::vector<uint8_t>(1100 * 1000, 0x42));
  tb.Pump();
  ASSERT_EQ(BulkState(), ULONG(ReaderParked));
  ext()->SystemSuspended = TRUE;
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(port.Read(65536).information, 65536u);
  EXPECT_EQ(BulkState(), ULONG(ReaderParked));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  // The resume path's start routine treats the parked reader as idle.
  ext()->SystemSuspended = FALSE;
  EXPECT_EQ(StartBulkInRead(ext()), STATUS_SUCCESS);
  EXPECT_EQ(BulkState(), ULONG(ReaderArmed));
  // Starting an armed reader again submits nothing: its URB is in flight.
  EXPECT_EQ(StartBulkInRead(ext()), STATUS_SUCCESS);
  EXPECT_EQ(StartInterruptRead(ext()), STATUS_SUCCESS);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);
}

TEST_F(ReadersFailure, BulkInFailureMarksTheDeviceGoneAndStopsOnlyThatReader) {
  tb.usb().FailNextTransfer(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.Pump();
  EXPECT_EQ(ext()->DeviceGone, ULONG(DEVICE_GONE_MARK));
  EXPECT_EQ(BulkState(), ULONG(ReaderIdle));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);
  EXPECT_EQ(ext()->IoCount, 2);
  EXPECT_EQ(port.Read(5).status, STATUS_DELETE_PENDING);
}

TEST_F(ReadersFailure, FailureDuringASuspendChangesNothingButTheCounts) {
  ext()->SystemSuspended = TRUE;
  ASSERT_EQ(rxtest::SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = rxtest::WaitOnMask(port);
  tb.usb().FailNextTransfer(Pipe::BulkIn, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  tb.usb().FailNextTransfer(Pipe::Interrupt, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  tb.Pump();
  EXPECT_EQ(ext()->DeviceGone, 0u);
  EXPECT_EQ(ext()->EventHistory, 0u);
  EXPECT_FALSE(wait.Done());
  EXPECT_EQ(ext()->IoCount, 1);
  EXPECT_EQ(BulkState(), ULONG(ReaderIdle));
  EXPECT_EQ(ext()->InterruptReaderState, ULONG(ReaderIdle));
  ext()->SystemSuspended = FALSE;
}

TEST_F(ReadersFailure, NoRequestForTheReArmGivesBackTheUnitAndHoldAndTheNextReadRetries) {
  host::verifier::FailIrpAllocation(1);
  tb.modem().PushBulkIn("abc");
  tb.Pump();
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  EXPECT_EQ(BulkState(), ULONG(ReaderRetry)) << "waits for the re-arm timer, or a read";
  EXPECT_EQ(ext()->IoCount, 2) << "the unit of the transfer that was never sent is given back";
  EXPECT_EQ(ext()->DeviceGone, 0u) << "an allocation failure is not the modem's loss";

  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(rxtest::Text(port.Read(10).output), "abc");
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  tb.modem().PushBulkIn("de");
  tb.Pump();
  EXPECT_EQ(rxtest::Text(port.Read(10).output), "de");
}

// The same, but the read that was waiting took the whole block, so the ring is empty when the
// next read comes: the reader must still go again, or reception would stop for good.
TEST_F(ReadersFailure, ARearmThatFailedIsRetriedByTheNextReadAlsoOnAnEmptyRing) {
  auto waiting = port.ReadAsync(10);
  ASSERT_FALSE(waiting.Done());
  host::verifier::FailIrpAllocation(1);
  tb.modem().PushBulkIn("abc");
  tb.Pump();
  EXPECT_EQ(rxtest::Text(waiting.Wait().output), "abc");
  EXPECT_EQ(BulkState(), ULONG(ReaderRetry));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);

  auto next = port.ReadAsync(10);  // finds the ring empty and waits
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  tb.modem().PushBulkIn("de");
  tb.Pump();
  ASSERT_TRUE(next.Done());
  EXPECT_EQ(rxtest::Text(next.Result().output), "de");
}

// A reader failure on a device that stays attached marks it gone; a read that was waiting then
// has nothing left to finish it (no transfer will come, its timers are stopped) and is finished
// with what the ring holds instead of waiting until the handle is closed.
TEST_F(ReadersFailure, AReadWaitingWhenTheModemIsLostIsFinished) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);  // wait for data, however long
  auto waiting = port.ReadAsync(10);
  ASSERT_FALSE(waiting.Done());
  tb.usb().FailNextTransfer(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  tb.Pump();
  EXPECT_EQ(ext()->DeviceGone, ULONG(DEVICE_GONE_MARK));
  ASSERT_TRUE(waiting.Done());
  EXPECT_EQ(waiting.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(waiting.Result().information, 0u);
}

// The notification reader waits for the re-arm timer (exploring tests check that it comes back);
// a close meanwhile takes the timer out and still drains.
TEST_F(ReadersFailure, NoRequestForTheNotificationReArmLeavesItWaitingAndCloseStillDrains) {
  host::verifier::FailIrpAllocation(1);
  tb.modem().PushSerialState(0x01);
  tb.Pump();
  EXPECT_EQ(ext()->InterruptReaderState, ULONG(ReaderRetry));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 0u);
  EXPECT_EQ(ext()->IoCount, 2);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(ext()->IoCount, 0);
  EXPECT_EQ(ext()->InterruptReaderState, ULONG(ReaderIdle));
}

}  // namespace

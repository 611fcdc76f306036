// Bulk and interrupt transfers: pending until the modem has something, short and zero-length
// transfers, notifications of any length, bulk-OUT delivery, the bulk-IN FIFO's flow control,
// cancel, holds, injected failures and power.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

using UsbStackTransfers = UsbStackTest;

TEST_F(UsbStackTransfers, BulkInStaysPendingUntilTheModemSendsThenCompletesInAPump) {
  uint8_t b[4096];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&urb);
  EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
  Pump();
  EXPECT_FALSE(r->done);

  modem().PushBulkIn("hello");
  EXPECT_FALSE(r->done);  // nothing happens behind the test's back
  Pump();
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->irql, DISPATCH_LEVEL);  // a DPC completed it
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength), "hello");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"IN bulk-in 4096",
                                               "IN-DONE bulk-in 5: 68 65 6C 6C 6F"}));
  EXPECT_EQ(usb().BytesToHost(), 5u);
}

TEST_F(UsbStackTransfers, DataAlreadyWaitingCompletesTheNextTransferAtThePump) {
  modem().PushBulkIn("abc");
  Pump();
  EXPECT_EQ(usb().BulkInQueued(), 3u);
  uint8_t b[64];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&urb);
  EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);  // never completed inside the submission
  EXPECT_FALSE(r->done);
  Pump();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength), "abc");
}

TEST_F(UsbStackTransfers, MoreDataThanATransferTakesIsSplitInOrder) {
  std::string text(100, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
  modem().PushBulkIn(text);
  std::string got;
  uint8_t b[32];
  for (int i = 0; i < 4; ++i) {
    URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
    auto r = client().Async(&urb);
    Pump();
    ASSERT_TRUE(r->done);
    got += Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(got, text);
  TraceCursor c = usb().Trace().Cursor().Ignore(TraceKind::InSubmit);
  std::vector<uint32_t> sizes;
  for (TraceEntry e = c.NextOf(TraceKind::InDone); e.kind != TraceKind::End;
       e = c.NextOf(TraceKind::InDone)) {
    sizes.push_back(e.length);
  }
  EXPECT_EQ(sizes, (std::vector<uint32_t>{32, 32, 32, 4}));
}

TEST_F(UsbStackTransfers, ZeroLengthPacketsEndTransfersAtTheirPlaceInTheStream) {
  modem().PushZeroLengthPacket();
  modem().PushBulkIn("ab");
  modem().PushZeroLengthPacket();
  modem().PushBulkIn("cd");
  std::vector<std::string> got;
  uint8_t b[64];
  for (int i = 0; i < 4; ++i) {
    URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
    auto r = client().Async(&urb);
    Pump();
    ASSERT_TRUE(r->done) << i;
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    got.push_back(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"", "ab", "", "cd"}));
  EXPECT_EQ(cursor().IgnoreInTraffic().Show(TraceKind::InDone).Rest(),
            (std::vector<std::string>{"IN-DONE bulk-in 0", "IN-DONE bulk-in 2: 61 62",
                                      "IN-DONE bulk-in 0", "IN-DONE bulk-in 2: 63 64"}));
}

TEST_F(UsbStackTransfers, AShortTransferWithoutShortTransferOkIsAnUnderrun) {
  modem().PushBulkIn("xy");
  uint8_t b[8];
  URB urb = TransferUrb(H(Pipe::BulkIn), USBD_TRANSFER_DIRECTION_IN, b, sizeof b);
  auto r = client().Async(&urb);
  Pump();
  EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, kUsbdStatusDataUnderrun);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

TEST_F(UsbStackTransfers, SerialStateNotificationArrivesAsTenBytes) {
  uint8_t b[16] = {};
  URB urb = TransferUrb(H(Pipe::Interrupt), kInFlags, b, sizeof b);
  auto r = client().Async(&urb);
  modem().PushSerialState(0x0003);
  Pump();
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_EQ(HexBytes(b, 10), "A1 20 00 00 00 00 02 00 03 00");
  EXPECT_EQ(Lines().back(), "IN-DONE interrupt-in 10: A1 20 00 00 00 00 02 00 03 00");
}

TEST_F(UsbStackTransfers, NotificationsOfAnyLengthAndContent) {
  struct Case {
    std::vector<uint8_t> packet;
    NTSTATUS status;
    USBD_STATUS usbd;
    uint32_t received;
  };
  std::vector<uint8_t> exact(16, 0x5A);
  std::vector<uint8_t> tooLong(17, 0x33);
  const std::vector<Case> cases = {
      {{0xA1}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1},
      {{0xA1, 0x2A, 0, 0, 0, 0, 0, 0}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8},  // other bNotification
      {exact, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 16},
      {tooLong, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, 16},
      {{}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0},
  };
  for (const Case& c : cases) modem().PushNotification(c.packet);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.packet.size());
    uint8_t b[16] = {};
    URB urb = TransferUrb(H(Pipe::Interrupt), kInFlags, b, sizeof b);
    auto r = client().Async(&urb);
    Pump();
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.received);
    EXPECT_EQ(std::vector<uint8_t>(b, b + c.received),
              std::vector<uint8_t>(c.packet.begin(), c.packet.begin() + c.received));
  }
  EXPECT_EQ(usb().NotificationsQueued(), 0u);
}

TEST_F(UsbStackTransfers, BulkOutDeliversTheBytesToTheModemThenCompletes) {
  char text[] = "ATDT5551234\r";
  URB urb = TransferUrb(H(Pipe::BulkOut), 0, text, 12);
  auto r = client().Async(&urb);
  EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
  EXPECT_TRUE(modem().BulkOut().empty());
  Pump();
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 12u);
  EXPECT_EQ(modem().BulkOut(), "ATDT5551234\r");
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "OUT bulk-out 12: 41 54 44 54 35 35 35 31 32 33 34 0D",
                         "OUT-DONE bulk-out 12"}));

  URB empty = TransferUrb(H(Pipe::BulkOut), 0, nullptr, 0);
  auto z = client().Async(&empty);
  Pump();
  EXPECT_EQ(z->status, STATUS_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"OUT bulk-out 0", "OUT-DONE bulk-out 0"}));
}

TEST_F(UsbStackTransfers, LongOutTransfersPrintShortenedButKeepEveryByte) {
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  URB urb = TransferUrb(H(Pipe::BulkOut), 0, data.data(), 4096);
  client().Async(&urb);
  Pump();
  TraceEntry e = cursor().Next();
  EXPECT_EQ(e.kind, TraceKind::OutSubmit);
  EXPECT_EQ(e.data, data);
  EXPECT_EQ(e.ToString(),
            "OUT bulk-out 4096: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ... (+4080)");
  EXPECT_EQ(modem().BulkOut().size(), 4096u);
}

TEST_F(UsbStackTransfers, TheFifoHoldsItsCapacityAndTheModemKeepsTheRest) {
  std::string big(100 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  modem().PushBulkIn(big);
  Pump();
  EXPECT_EQ(usb().BulkInQueued(), 64u * 1024);
  EXPECT_EQ(usb().HostRoom(), 0u);
  EXPECT_EQ(modem().PendingBulkIn(), big.size() - 64 * 1024);

  std::string got;
  std::vector<uint8_t> b(4096);
  while (got.size() < big.size()) {
    URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b.data(), 4096);
    auto r = client().Async(&urb);
    Pump();
    ASSERT_TRUE(r->done) << got.size();
    got += Str(b.data(), urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(got, big);
  EXPECT_EQ(modem().PendingBulkIn(), 0u);
  EXPECT_EQ(usb().BulkInQueued(), 0u);
}

TEST_F(UsbStackTransfers, APendingTransferCanBeCancelled) {
  uint8_t b[8];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&urb);
  ASSERT_FALSE(r->done);
  EXPECT_TRUE(IoCancelIrp(client().LastIrp()));
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(usb().PendingTransfers(Pipe::BulkIn), 0u);
  // Its bytes were never taken: the next transfer gets them.
  modem().PushBulkIn("z");
  urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);  // a completion leaves the count
  auto next = client().Async(&urb);
  Pump();
  EXPECT_EQ(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength), "z");
  EXPECT_EQ(next->completions, 1);
  EXPECT_EQ(r->completions, 1);
}

TEST_F(UsbStackTransfers, HeldPipeCompletesNothingUntilReleased) {
  usb().Hold(Pipe::BulkIn);
  uint8_t in[8];
  char out[] = "x";
  URB inUrb = TransferUrb(H(Pipe::BulkIn), kInFlags, in, sizeof in);
  URB outUrb = TransferUrb(H(Pipe::BulkOut), 0, out, 1);
  auto ri = client().Async(&inUrb);
  auto ro = client().Async(&outUrb);
  modem().PushBulkIn("q");
  Pump();
  EXPECT_FALSE(ri->done);
  EXPECT_TRUE(ro->done);  // other pipes go on
  usb().Release(Pipe::BulkIn);
  EXPECT_FALSE(ri->done);  // completions still wait for the pump
  Pump();
  EXPECT_TRUE(ri->done);
  EXPECT_EQ(Str(in, inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength), "q");
}

TEST_F(UsbStackTransfers, InjectedTransferFailureHitsTheNextCompletionOnly) {
  uint8_t b[16];
  URB urb = TransferUrb(H(Pipe::Interrupt), kInFlags, b, sizeof b);
  auto r1 = client().Async(&urb);
  usb().FailNextTransfer(Pipe::Interrupt, STATUS_IO_DEVICE_ERROR, USBD_STATUS_XACT_ERROR);
  Pump();
  EXPECT_EQ(r1->status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);

  modem().PushSerialState(1);
  urb = TransferUrb(H(Pipe::Interrupt), kInFlags, b, sizeof b);
  auto r2 = client().Async(&urb);
  Pump();
  EXPECT_EQ(r2->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

  // A failure queued with nothing pending waits for the next transfer, held or not.
  usb().FailNextTransfer(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  char out[] = "ab";
  URB o = TransferUrb(H(Pipe::BulkOut), 0, out, 2);
  auto r3 = client().Async(&o);
  Pump();
  EXPECT_EQ(r3->status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(modem().BulkOut().empty());
  EXPECT_EQ(cursor().NextOf(TraceKind::OutDone).ToString(),
            "OUT-DONE bulk-out 0 -> STATUS_UNSUCCESSFUL USBD_STATUS_DEV_NOT_RESPONDING");
}

TEST_F(UsbStackTransfers, LeavingD0CancelsPendingTransfersAndLaterOnesWaitForD0) {
  uint8_t b[8];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r1 = client().Async(&urb);
  ASSERT_EQ(host::pnp::SendDevicePower(tb().pdo(), IRP_MN_SET_POWER, PowerDeviceD3),
            STATUS_SUCCESS);
  Pump();
  EXPECT_EQ(r1->status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);

  modem().PushBulkIn("wake");
  urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r2 = client().Async(&urb);
  Pump();
  EXPECT_FALSE(r2->done);
  // Pipe requests are served while suspended.
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkOut));
  EXPECT_EQ(client().Sync(&reset), STATUS_SUCCESS);

  ASSERT_EQ(host::pnp::SendDevicePower(tb().pdo(), IRP_MN_SET_POWER, PowerDeviceD0),
            STATUS_SUCCESS);
  Pump();
  EXPECT_TRUE(r2->done);
  EXPECT_EQ(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength), "wake");
}

TEST_F(UsbStackTransfers, ASubmissionAtDispatchLevelIsAccepted) {
  uint8_t b[8];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&urb, DISPATCH_LEVEL);
  EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
  modem().PushBulkIn("1");
  Pump();
  EXPECT_TRUE(r->done);
}

}  // namespace
}  // namespace sim::testing

// Class requests on the default pipe: the SETUP packets and data stages on the bus, what reaches
// the modem, what the function STALLs and what the stack refuses.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

using UsbStackControl = UsbStackTest;

TEST_F(UsbStackControl, SetLineCodingGoesOutAsSetupAndDataStageAndReachesTheModem) {
  // 460800 bit/s, 2 stop bits, no parity, 8 data bits, as the driver builds the block.
  uint8_t block[8] = {0x00, 0x08, 0x07, 0x00, 0x02, 0x00, 0x08, 0xEE};
  URB urb = ClassUrb(0x20, 0, block, 7);
  EXPECT_EQ(client().Sync(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Lines(), std::vector<std::string>{
                         "SETUP 21 20 00 00 00 00 07 00 DATA 00 08 07 00 02 00 08"});
  ASSERT_EQ(modem().LineCodings().size(), 1u);
  EXPECT_EQ(modem().LineCodings()[0], (LineCoding{460800, 2, 0, 8}));
  EXPECT_EQ(usb().CurrentLineCoding(), (LineCoding{460800, 2, 0, 8}));

  TraceEntry e = usb().Trace().At(usb().Trace().Size() - 1);
  EXPECT_EQ(e.kind, TraceKind::Setup);
  EXPECT_EQ(HexBytes(e.setup, 8), "21 20 00 00 00 00 07 00");
  EXPECT_EQ(e.data, (std::vector<uint8_t>{0x00, 0x08, 0x07, 0x00, 0x02, 0x00, 0x08}));
}

TEST_F(UsbStackControl, SetControlLineStateHasNoDataStageAndPassesTheValue) {
  URB off = ClassUrb(0x22, 0, nullptr, 0);
  URB both = ClassUrb(0x22, 3, nullptr, 0);
  EXPECT_EQ(client().Sync(&off), STATUS_SUCCESS);
  EXPECT_EQ(client().Sync(&both), STATUS_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"SETUP 21 22 00 00 00 00 00 00",
                                               "SETUP 21 22 03 00 00 00 00 00"}));
  EXPECT_EQ(modem().ControlLineStates(), (std::vector<uint16_t>{0, 3}));
  EXPECT_EQ(usb().CurrentControlLineState(), 3);
}

TEST_F(UsbStackControl, ZeroRequestTypeLetsTheStackFillItIn) {
  URB urb = ClassUrb(0x22, 1, nullptr, 0, false, /*bmRequestType=*/0);
  EXPECT_EQ(client().Sync(&urb), STATUS_SUCCESS);
  EXPECT_EQ(Lines(), std::vector<std::string>{"SETUP 21 22 01 00 00 00 00 00"});
}

TEST_F(UsbStackControl, GetLineCodingReturnsTheLastCodingSet) {
  uint8_t in[7] = {};
  URB get = ClassUrb(0x21, 0, in, 7, /*in=*/true, 0xA1);
  EXPECT_EQ(client().Sync(&get), STATUS_SUCCESS);
  EXPECT_EQ(HexBytes(in, 7), "80 25 00 00 00 00 08");  // 9600 8N1 until set

  uint8_t block[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x02, 0x07};  // 115200 7E1
  URB set = ClassUrb(0x20, 0, block, 7);
  EXPECT_EQ(client().Sync(&set), STATUS_SUCCESS);
  URB again = ClassUrb(0x21, 0, in, 7, true, 0xA1);
  EXPECT_EQ(client().Sync(&again), STATUS_SUCCESS);
  EXPECT_EQ(HexBytes(in, 7), "00 C2 01 00 00 02 07");
  EXPECT_EQ(again.UrbControlVendorClassRequest.TransferBufferLength, 7u);
  EXPECT_EQ(Lines().back(), "SETUP A1 21 00 00 00 00 07 00 DATA 00 C2 01 00 00 02 07");
}

TEST_F(UsbStackControl, TheFunctionStallsWhatItDoesNotAnswer) {
  uint8_t six[6] = {};
  uint8_t eight[8] = {};
  uint8_t one = 0;
  URB unknown = ClassUrb(0x23, 0, nullptr, 0);              // SEND_BREAK: not offered
  URB shortCoding = ClassUrb(0x20, 0, six, 6);              // SET_LINE_CODING needs 7 bytes
  URB longCoding = ClassUrb(0x20, 0, eight, 8);
  URB linesWithData = ClassUrb(0x22, 1, &one, 1);           // SET_CONTROL_LINE_STATE has none
  URB otherInterface = ClassUrb(0x22, 1, nullptr, 0, false, 0x21, /*index=*/1);
  URB setAsIn = ClassUrb(0x20, 0, six, 6, /*in=*/true, 0xA1);
  URB vendor = ClassUrb(0x01, 0, nullptr, 0, false, 0x41, 0, URB_FUNCTION_VENDOR_INTERFACE);
  for (URB* urb : {&unknown, &shortCoding, &longCoding, &linesWithData, &otherInterface, &setAsIn,
                   &vendor}) {
    EXPECT_EQ(client().Sync(urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 0u);
  }
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                "SETUP 21 23 00 00 00 00 00 00 -> STATUS_UNSUCCESSFUL USBD_STATUS_STALL_PID",
                "SETUP 21 20 00 00 00 00 06 00 DATA 00 00 00 00 00 00 -> STATUS_UNSUCCESSFUL "
                "USBD_STATUS_STALL_PID",
                "SETUP 21 20 00 00 00 00 08 00 DATA 00 00 00 00 00 00 00 00 -> "
                "STATUS_UNSUCCESSFUL USBD_STATUS_STALL_PID",
                "SETUP 21 22 01 00 00 00 01 00 DATA 00 -> STATUS_UNSUCCESSFUL "
                "USBD_STATUS_STALL_PID",
                "SETUP 21 22 01 00 01 00 00 00 -> STATUS_UNSUCCESSFUL USBD_STATUS_STALL_PID",
                "SETUP A1 20 00 00 00 00 06 00 -> STATUS_UNSUCCESSFUL USBD_STATUS_STALL_PID",
                "SETUP 41 01 00 00 00 00 00 00 -> STATUS_UNSUCCESSFUL USBD_STATUS_STALL_PID"}));
  EXPECT_TRUE(modem().LineCodings().empty());
  EXPECT_TRUE(modem().ControlLineStates().empty());

  // The default pipe's STALL does not stick: the next request goes through.
  URB good = ClassUrb(0x22, 0, nullptr, 0);
  EXPECT_EQ(client().Sync(&good), STATUS_SUCCESS);
}

TEST_F(UsbStackControl, RefusesMalformedClassRequestsWithoutReachingTheBus) {
  URB wrongType = ClassUrb(0x22, 0, nullptr, 0, false, 0xA1);  // says IN, flags say OUT
  EXPECT_EQ(client().Sync(&wrongType), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wrongType.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  URB noBuffer = ClassUrb(0x20, 0, nullptr, 7);
  EXPECT_EQ(client().Sync(&noBuffer), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noBuffer.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  uint8_t block[7] = {};
  URB badLength = ClassUrb(0x20, 0, block, 7);
  badLength.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) - 8;
  EXPECT_EQ(client().Sync(&badLength), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(badLength.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "REFUSED: class request with bmRequestType 0xA1 where the function and direction give "
            "0x21 -> STATUS_INVALID_PARAMETER USBD_STATUS_INVALID_PARAMETER");
  EXPECT_EQ(lines[1],
            "REFUSED: class request with no buffer for its data stage -> "
            "STATUS_INVALID_PARAMETER USBD_STATUS_INVALID_PARAMETER");
  EXPECT_NE(lines[2].find("REFUSED: class request with header length"), std::string::npos);
  EXPECT_EQ(usb().Trace().Count(TraceKind::Setup), 0u);
  EXPECT_TRUE(modem().LineCodings().empty());
}

TEST_F(UsbStackControl, ClassRequestsToAnUnconfiguredDeviceStall) {
  ASSERT_EQ(tb().Stop(), STATUS_SUCCESS);
  URB urb = ClassUrb(0x22, 1, nullptr, 0);
  EXPECT_EQ(client().Sync(&urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(modem().ControlLineStates().empty());
}

TEST_F(UsbStackControl, InjectedFailureFailsOneRequestWithoutReachingTheModem) {
  usb().FailNextClassRequest(STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
  URB first = ClassUrb(0x22, 1, nullptr, 0);
  URB second = ClassUrb(0x22, 1, nullptr, 0);
  EXPECT_EQ(client().Sync(&first), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(client().Sync(&second), STATUS_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "SETUP 21 22 01 00 00 00 00 00 -> STATUS_IO_DEVICE_ERROR "
                         "USBD_STATUS_DEV_NOT_RESPONDING",
                         "SETUP 21 22 01 00 00 00 00 00"}));
  EXPECT_EQ(modem().ControlLineStates(), std::vector<uint16_t>{1});
}

TEST_F(UsbStackControl, HeldRequestsPendUntilReleasedThenRunInOrder) {
  usb().HoldControl();
  uint8_t block[7] = {0x80, 0x25, 0, 0, 0, 0, 8};
  URB coding = ClassUrb(0x20, 0, block, 7);
  URB lines = ClassUrb(0x22, 3, nullptr, 0);
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkIn));
  auto a = client().Async(&coding);
  auto b = client().Async(&lines);
  auto c = client().Async(&reset);
  Pump();
  EXPECT_EQ(a->dispatchStatus, STATUS_PENDING);
  EXPECT_FALSE(a->done || b->done || c->done);
  EXPECT_EQ(usb().HeldControlRequests(), 3u);
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(modem().LineCodings().empty());

  usb().ReleaseControl();
  EXPECT_TRUE(a->done && b->done && c->done);
  EXPECT_EQ(a->status, STATUS_SUCCESS);
  EXPECT_EQ(b->status, STATUS_SUCCESS);
  EXPECT_EQ(c->status, STATUS_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"SETUP 21 20 00 00 00 00 07 00 DATA 80 25 00 00 00 00 08",
                                               "SETUP 21 22 03 00 00 00 00 00", "RESET bulk-in"}));
}

TEST_F(UsbStackControl, HeldRequestCanBeCancelled) {
  usb().HoldControl();
  URB lines = ClassUrb(0x22, 3, nullptr, 0);
  auto a = client().Async(&lines);
  ASSERT_FALSE(a->done);
  EXPECT_TRUE(IoCancelIrp(client().LastIrp()));
  EXPECT_TRUE(a->done);
  EXPECT_EQ(a->status, STATUS_CANCELLED);
  EXPECT_EQ(usb().HeldControlRequests(), 0u);
  usb().ReleaseControl();
  EXPECT_EQ(a->completions, 1);
  EXPECT_TRUE(modem().ControlLineStates().empty());
}

}  // namespace
}  // namespace sim::testing

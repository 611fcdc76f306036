// Pipe handles, resets, aborts and stalls, and the URBs the stack refuses.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

using UsbStackPipes = UsbStackTest;

TEST_F(UsbStackPipes, ResetAndAbortAreTracedByPipeName) {
  for (Pipe p : {Pipe::BulkIn, Pipe::BulkOut, Pipe::Interrupt}) {
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(p));
    EXPECT_EQ(client().Sync(&reset), STATUS_SUCCESS);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
  }
  for (Pipe p : {Pipe::Interrupt, Pipe::BulkIn, Pipe::BulkOut}) {
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(p));
    EXPECT_EQ(client().Sync(&abort), STATUS_SUCCESS);
  }
  EXPECT_EQ(Lines(), (std::vector<std::string>{"RESET bulk-in", "RESET bulk-out",
                                               "RESET interrupt-in", "ABORT interrupt-in",
                                               "ABORT bulk-in", "ABORT bulk-out"}));
}

TEST_F(UsbStackPipes, AbortCompletesWhatIsPendingOnThePipeThenItself) {
  uint8_t a[16], b[4096];
  URB notify = TransferUrb(H(Pipe::Interrupt), kInFlags, a, sizeof a);
  URB data = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto n = client().Async(&notify);
  auto d = client().Async(&data);
  Pump();
  ASSERT_FALSE(n->done || d->done);

  URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(Pipe::BulkIn));
  EXPECT_EQ(client().Sync(&abort), STATUS_SUCCESS);
  EXPECT_TRUE(d->done);
  EXPECT_EQ(d->status, STATUS_CANCELLED);
  EXPECT_EQ(data.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(data.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_FALSE(n->done);  // another pipe
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "IN interrupt-in 16", "IN bulk-in 4096", "ABORT bulk-in",
                         "IN-DONE bulk-in 0 -> STATUS_CANCELLED USBD_STATUS_CANCELED"}));

  // The URB is free again once its transfer has completed.
  auto again = client().Async(&data);
  EXPECT_EQ(again->dispatchStatus, STATUS_PENDING);
  URB abortAll = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(Pipe::Interrupt));
  EXPECT_EQ(client().Sync(&abortAll), STATUS_SUCCESS);
  URB abortIn = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(Pipe::BulkIn));
  EXPECT_EQ(client().Sync(&abortIn), STATUS_SUCCESS);
  EXPECT_TRUE(n->done && again->done);
  EXPECT_EQ(n->completions, 1);
}

TEST_F(UsbStackPipes, StallFailsPendingTransfersThenHaltsTheEndpointUntilReset) {
  uint8_t b[64];
  URB first = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r1 = client().Async(&first);
  usb().StallPipe(Pipe::BulkIn);
  Pump();
  EXPECT_EQ(r1->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(usb().Halted(Pipe::BulkIn));

  modem().PushBulkIn("data");
  first = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r2 = client().Async(&first);
  Pump();
  EXPECT_EQ(r2->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkIn));
  EXPECT_EQ(client().Sync(&reset), STATUS_SUCCESS);
  EXPECT_FALSE(usb().Halted(Pipe::BulkIn));
  first = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r3 = client().Async(&first);
  Pump();
  EXPECT_EQ(r3->status, STATUS_SUCCESS);
  EXPECT_EQ(Str(b, first.UrbBulkOrInterruptTransfer.TransferBufferLength), "data");
}

TEST_F(UsbStackPipes, ResetOfAPipeWithPendingTransfersIsRefusedAsBusy) {
  uint8_t b[16];
  URB& notify = Keep(TransferUrb(H(Pipe::Interrupt), kInFlags, b, sizeof b));
  auto r = client().Async(&notify);
  URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::Interrupt));
  EXPECT_EQ(client().Sync(&reset), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  EXPECT_FALSE(r->done);
  EXPECT_EQ(Lines().back(), "RESET interrupt-in -> STATUS_UNSUCCESSFUL USBD_STATUS_ERROR_BUSY");
}

TEST_F(UsbStackPipes, InjectedResetAndAbortFailuresHitOnlyTheirPipe) {
  usb().FailNextReset(Pipe::BulkOut, STATUS_IO_DEVICE_ERROR, USBD_STATUS_XACT_ERROR);
  usb().FailNextAbort(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  URB resetIn = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkIn));
  URB resetOut = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkOut));
  URB abortInt = PipeUrb(URB_FUNCTION_ABORT_PIPE, H(Pipe::Interrupt));
  EXPECT_EQ(client().Sync(&resetIn), STATUS_SUCCESS);
  EXPECT_EQ(client().Sync(&resetOut), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(resetOut.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(client().Sync(&abortInt), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(client().Sync(&resetOut), STATUS_SUCCESS);  // once only
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "RESET bulk-in",
                         "RESET bulk-out -> STATUS_IO_DEVICE_ERROR USBD_STATUS_XACT_ERROR",
                         "ABORT interrupt-in -> STATUS_UNSUCCESSFUL USBD_STATUS_DEV_NOT_RESPONDING",
                         "RESET bulk-out"}));
}

TEST_F(UsbStackPipes, HandlesAreZeroBeforeStartAndGoStaleAtStop) {
  // A second device, never started: its words are 0.
  const size_t second = tb().Plug(std::make_unique<ScriptedModem>());
  EXPECT_EQ(ExtensionWord(tb().pdo(second), 12), 0u);
  EXPECT_EQ(ExtensionWord(tb().pdo(second), 16), 0u);
  EXPECT_EQ(ExtensionWord(tb().pdo(second), 20), 0u);

  const uint32_t oldIn = H(Pipe::BulkIn);
  EXPECT_NE(oldIn, 0u);
  EXPECT_NE(H(Pipe::BulkIn), H(Pipe::BulkOut));
  EXPECT_NE(H(Pipe::BulkOut), H(Pipe::Interrupt));

  ASSERT_EQ(tb().Stop(0), STATUS_SUCCESS);
  EXPECT_EQ(H(Pipe::BulkIn), 0u);
  uint8_t b[8];
  URB stale = TransferUrb(oldIn, kInFlags, b, sizeof b);
  EXPECT_EQ(client().Sync(&stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  ASSERT_EQ(tb().Start(0), STATUS_SUCCESS);
  const uint32_t newIn = H(Pipe::BulkIn);
  EXPECT_NE(newIn, oldIn);
  auto r = client().Async(&stale);  // still the old handle
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_INVALID_PARAMETER);
  URB& fresh = Keep(TransferUrb(newIn, kInFlags, b, sizeof b));
  auto ok = client().Async(&fresh);
  EXPECT_EQ(ok->dispatchStatus, STATUS_PENDING);

  std::vector<std::string> refusals;
  for (TraceEntry e = cursor().NextOf(TraceKind::Refused); e.kind != TraceKind::End;
       e = cursor().NextOf(TraceKind::Refused)) {
    refusals.push_back(e.ToString());
  }
  ASSERT_EQ(refusals.size(), 2u);
  EXPECT_NE(refusals[0].find("stale bulk-in pipe handle"), std::string::npos) << refusals[0];
  EXPECT_NE(refusals[1].find("USBD_STATUS_INVALID_PIPE_HANDLE"), std::string::npos);
}

TEST_F(UsbStackPipes, StopCancelsPendingTransfers) {
  uint8_t b[8];
  URB in = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto r = client().Async(&in);
  ASSERT_EQ(tb().Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(UsbStackPipes, UnknownHandlesAndOtherDevicesHandlesAreRefused) {
  const size_t second = tb().Plug(std::make_unique<ScriptedModem>());
  ASSERT_EQ(tb().Start(second), STATUS_SUCCESS);
  const uint32_t otherIn = ExtensionWord(tb().pdo(second), 12);
  uint8_t b[8];
  URB foreign = TransferUrb(otherIn, kInFlags, b, sizeof b);
  URB zero = TransferUrb(0, kInFlags, b, sizeof b);
  URB junk = TransferUrb(0x12345678, kInFlags, b, sizeof b);
  URB resetJunk = PipeUrb(URB_FUNCTION_RESET_PIPE, 0xDEAD);
  for (URB* u : {&foreign, &zero, &junk, &resetJunk}) {
    EXPECT_EQ(client().Sync(u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("of another device"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("unknown pipe handle 0x00000000"), std::string::npos) << lines[1];
  EXPECT_NE(lines[3].find("RESET_PIPE on unknown pipe handle"), std::string::npos) << lines[3];
}

TEST_F(UsbStackPipes, RefusesMalformedUrbs) {
  uint8_t b[8];
  struct Case {
    URB urb;
    USBD_STATUS usbd;
    const char* reason;
  };
  std::vector<Case> cases;
  {
    URB u = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
    u.UrbHeader.Length += 4;
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "header length"});
  }
  {
    URB u = PipeUrb(URB_FUNCTION_RESET_PIPE, H(Pipe::BulkIn));
    u.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "RESET_PIPE with header length"});
  }
  {
    URB u = PipeUrb(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, 0);
    cases.push_back({u, USBD_STATUS_INVALID_URB_FUNCTION, "unsupported URB function 0x0007"});
  }
  {
    URB u = TransferUrb(H(Pipe::BulkIn), USBD_SHORT_TRANSFER_OK, b, sizeof b);
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "without USBD_TRANSFER_DIRECTION_IN"});
  }
  {
    URB u = TransferUrb(H(Pipe::Interrupt), 0, b, sizeof b);
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "without USBD_TRANSFER_DIRECTION_IN"});
  }
  {
    URB u = TransferUrb(H(Pipe::BulkOut), USBD_TRANSFER_DIRECTION_IN, b, sizeof b);
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "with USBD_TRANSFER_DIRECTION_IN on the OUT"});
  }
  {
    URB u = TransferUrb(H(Pipe::BulkOut), 0, nullptr, 5);
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "transfer of 5 bytes with no buffer"});
  }
  {
    URB u = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
    u.UrbBulkOrInterruptTransfer.UrbLink = &u;
    cases.push_back({u, USBD_STATUS_INVALID_PARAMETER, "linked URB"});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(client().Sync(&c.urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c.urb.UrbHeader.Status, c.usbd);
    const std::string line = cursor().NextLine();
    EXPECT_EQ(line.rfind("REFUSED", 0), 0u) << line;
    EXPECT_NE(line.find(c.reason), std::string::npos) << line;
  }
  EXPECT_EQ(usb().PendingTransfers(Pipe::BulkIn), 0u);
  EXPECT_TRUE(modem().BulkOut().empty());

  // No URB at all.
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, tb().pdo(), nullptr, 0,
                                           nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(tb().pdo(), irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cursor().NextLine(),
            "REFUSED: no URB -> STATUS_INVALID_PARAMETER USBD_STATUS_INVALID_PARAMETER");
}

TEST_F(UsbStackPipes, AUrbAlreadyInFlightIsRefusedAndLeftAlone) {
  uint8_t b[64];
  URB urb = TransferUrb(H(Pipe::BulkIn), kInFlags, b, sizeof b);
  auto first = client().Async(&urb);
  ASSERT_EQ(first->dispatchStatus, STATUS_PENDING);
  urb.UrbHeader.Status = USBD_STATUS_PENDING;  // what the transfer in flight holds
  auto second = client().Async(&urb);
  EXPECT_TRUE(second->done);
  EXPECT_EQ(second->status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_PENDING);  // not written
  EXPECT_FALSE(first->done);
  EXPECT_EQ(usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(cursor().IgnoreInTraffic().NextLine(),
            "REFUSED: BULK_OR_INTERRUPT_TRANSFER with a URB already in flight -> "
            "STATUS_INVALID_PARAMETER USBD_STATUS_INVALID_PARAMETER");

  // The first transfer is unaffected.
  modem().PushBulkIn("abc");
  Pump();
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_EQ(Str(b, urb.UrbBulkOrInterruptTransfer.TransferBufferLength), "abc");
}

TEST_F(UsbStackPipes, OtherInternalControlCodesAreNotOffered) {
  auto r = host::app::SendRaw(tb().pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                              IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr, 0, 0);
  EXPECT_EQ(r.Wait().status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Lines(), std::vector<std::string>{"IOCTL 0x00220013 -> STATUS_INVALID_DEVICE_REQUEST"});
}

}  // namespace
}  // namespace sim::testing

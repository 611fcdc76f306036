// URB submission: what reaches the bus for each builder (SETUP packets byte for byte), the
// synchronous primitive's handling of immediate, pending and failed requests, the asynchronous
// primitive's ownership rules, and the abort sequence.

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;
using sim::Pipe;
using sim::TraceKind;

class UrbRequests : public ::testing::Test {
 protected:
  UrbRequests() {
    rxtest::EnsureStarted(tb);
    trace = tb.fullTrace().CursorAtEnd();
    trace.IgnoreBusDriver();
  }
  PDEVICE_OBJECT fdo() { return tb.fdo(); }
  PortTestbed tb;
  sim::TraceCursor trace;
};

TEST_F(UrbRequests, ControlLineStateZeroIsASetupWithoutDataStage) {
  EXPECT_EQ(SendSetControlLineState(fdo(), 0), STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "SETUP 21 22 00 00 00 00 00 00");
  EXPECT_TRUE(trace.AtEnd());
}

TEST_F(UrbRequests, ControlLineStatePassesTheCallersBitsThrough) {
  EXPECT_EQ(SendSetControlLineState(fdo(), 0x0003), STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "SETUP 21 22 03 00 00 00 00 00");
  EXPECT_EQ(tb.modem().ControlLineStates(), std::vector<uint16_t>{3});
}

TEST_F(UrbRequests, LineCodingCarriesTheSettingsInSevenBytes) {
  PDEVICE_EXTENSION ext = tb.Ext();
  ext->BaudRate = 460800;
  ext->LineControl.StopBits = 2;
  ext->LineControl.Parity = 0;
  ext->LineControl.WordLength = 8;
  EXPECT_EQ(SendSetLineCoding(fdo()), STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "SETUP 21 20 00 00 00 00 07 00 DATA 00 08 07 00 02 00 08");

  // Every byte of the rate and the three format codes, copied untranslated.
  ext->BaudRate = 0x01020304;
  ext->LineControl.StopBits = 1;
  ext->LineControl.Parity = 4;
  ext->LineControl.WordLength = 5;
  EXPECT_EQ(SendSetLineCoding(fdo()), STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "SETUP 21 20 00 00 00 00 07 00 DATA 04 03 02 01 01 04 05");
  sim::LineCoding want{0x01020304, 1, 4, 5};
  EXPECT_EQ(tb.usb().CurrentLineCoding(), want);
}

TEST_F(UrbRequests, ALowerFailureIsReturnedUnchanged) {
  tb.usb().FailNextClassRequest(STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID);
  EXPECT_EQ(SendSetLineCoding(fdo()), STATUS_IO_DEVICE_ERROR);
  tb.usb().FailNextReset(Pipe::BulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(ResetPipe(fdo(), tb.Ext()->BulkOutPipe), STATUS_UNSUCCESSFUL);
}

TEST_F(UrbRequests, AFailedUrbStatusUnderASuccessfulRequestCountsAsSuccess) {
  tb.usb().FailNextClassRequest(STATUS_SUCCESS, USBD_STATUS_STALL_PID);
  EXPECT_EQ(SendSetControlLineState(fdo(), 1), STATUS_SUCCESS);
}

TEST_F(UrbRequests, APendingRequestIsWaitedForAndItsFinalStatusReturned) {
  tb.usb().HoldControl();
  NTSTATUS status = STATUS_PENDING;
  auto caller = tb.session().Spawn("caller", [&] { status = ResetPipe(fdo(), tb.Ext()->BulkInPipe); });
  tb.Pump();
  EXPECT_FALSE(caller->Finished());
  EXPECT_EQ(tb.usb().HeldControlRequests(), 1u);

  tb.usb().FailNextReset(Pipe::BulkIn, STATUS_DEVICE_NOT_READY, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.usb().ReleaseControl();
  caller->Join();
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
}

TEST_F(UrbRequests, PipeRequestsNameTheirPipe) {
  PDEVICE_EXTENSION ext = tb.Ext();
  EXPECT_EQ(ResetPipe(fdo(), ext->BulkInPipe), STATUS_SUCCESS);
  EXPECT_EQ(ResetPipe(fdo(), ext->BulkOutPipe), STATUS_SUCCESS);
  EXPECT_EQ(AbortPipe(fdo(), ext->InterruptPipe), STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(),
            (std::vector<std::string>{"RESET bulk-in", "RESET bulk-out", "ABORT interrupt-in"}));
}

TEST_F(UrbRequests, AbortAllPipesGoesOnAfterAFailedAbort) {
  tb.usb().FailNextAbort(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  AbortAllPipes(fdo());
  auto lines = trace.Rest();
  ASSERT_EQ(lines.size(), 3u) << tb.fullTrace().Dump();
  EXPECT_EQ(lines[0].rfind("ABORT interrupt-in", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("STATUS_UNSUCCESSFUL"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "ABORT bulk-in");
  EXPECT_EQ(lines[2], "ABORT bulk-out");
}

TEST_F(UrbRequests, NoRequestForASynchronousUrbMeansNothingIsSent) {
  host::verifier::FailIrpAllocation(1);
  EXPECT_EQ(SendSetControlLineState(fdo(), 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(trace.AtEnd()) << tb.fullTrace().Dump();
}

struct AsyncProbe {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG length = 0;
};

NTSTATUS NTAPI UrbTestAsyncCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* probe = static_cast<AsyncProbe*>(context);
  ++probe->calls;
  probe->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

URB BulkInUrb(PDEVICE_EXTENSION ext, UCHAR* buffer, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = ext->BulkInPipe;
  urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
  return urb;
}

TEST_F(UrbRequests, AsyncRequestIsOwnedByItsCompletionRoutine) {
  UCHAR buffer[64] = {};
  URB urb = BulkInUrb(tb.Ext(), buffer, sizeof buffer);
  AsyncProbe probe;
  BOOLEAN sent = FALSE;
  EXPECT_EQ(SubmitUrbAsyncEx(tb.Ext()->LowerDeviceObject, &urb, UrbTestAsyncCompletion, &probe, &sent),
            STATUS_PENDING);
  EXPECT_TRUE(sent);
  EXPECT_EQ(probe.calls, 0);
  tb.modem().PushBulkIn("abc");
  tb.Pump();
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(memcmp(buffer, "abc", 3), 0);
}

TEST_F(UrbRequests, AsyncWithoutARequestNeverCallsTheCompletionRoutine) {
  UCHAR buffer[64] = {};
  URB urb = BulkInUrb(tb.Ext(), buffer, sizeof buffer);
  AsyncProbe probe;
  BOOLEAN sent = TRUE;
  host::verifier::FailIrpAllocation(1);
  EXPECT_EQ(SubmitUrbAsyncEx(tb.Ext()->LowerDeviceObject, &urb, UrbTestAsyncCompletion, &probe, &sent),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(sent);
  host::verifier::FailIrpAllocation(1);
  EXPECT_EQ(SubmitUrbAsync(tb.Ext()->LowerDeviceObject, &urb, UrbTestAsyncCompletion, &probe),
            STATUS_INSUFFICIENT_RESOURCES);
  tb.Pump();
  EXPECT_EQ(probe.calls, 0);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
}

TEST_F(UrbRequests, AsyncRequestFailedBelowStillReachesTheCompletionRoutine) {
  UCHAR buffer[64] = {};
  URB urb = BulkInUrb(tb.Ext(), buffer, sizeof buffer);
  AsyncProbe probe;
  BOOLEAN sent = FALSE;
  tb.usb().StallPipe(Pipe::BulkIn);
  NTSTATUS status =
      SubmitUrbAsyncEx(tb.Ext()->LowerDeviceObject, &urb, UrbTestAsyncCompletion, &probe, &sent);
  tb.Pump();
  EXPECT_TRUE(sent);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(status == STATUS_PENDING || status == STATUS_UNSUCCESSFUL) << std::hex << status;
}

}  // namespace

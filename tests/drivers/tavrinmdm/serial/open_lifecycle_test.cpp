// Open, close, cleanup and flush through the driver: admission, the open-time defaults, the bus
// traffic of an open and of the last close, failed opens, and the closes of a device that is gone
// (surprise-removed, or marked gone while still attached).

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;
using porttest::PortTestbedOptions;
using sim::Pipe;
using sim::TraceKind;

class OpenTest : public ::testing::Test {
 protected:
  OpenTest() {
    rxtest::EnsureStarted(tb);
    trace = tb.trace();
    trace.SeekEnd();
  }
  PDEVICE_EXTENSION ext() { return tb.Ext(); }
  PortTestbed tb;
  sim::TraceCursor trace;
};

class OpenAdmission : public OpenTest {};
class OpenClose : public OpenTest {};

TEST_F(OpenAdmission, OpenResetsThreePipesBulkInFirstThenArmsTheReaders) {
  auto port = rxtest::OpenPort(tb);
  EXPECT_EQ(trace.Rest(), (std::vector<std::string>{"RESET bulk-in", "RESET bulk-out",
                                                    "RESET interrupt-in", "IN interrupt-in 16",
                                                    "IN bulk-in 4096"}));
  EXPECT_EQ(ext()->OpenCount, 1);
  EXPECT_TRUE(ext()->DeviceOpen);
  EXPECT_EQ(ext()->IoCount, 3);
  EXPECT_EQ(ext()->ControlLineState, LINE_STATE_DTR | LINE_STATE_RTS);
  EXPECT_TRUE(tb.modem().LineCodings().empty());
  EXPECT_TRUE(tb.modem().ControlLineStates().empty());
}

TEST_F(OpenAdmission, SecondOpenIsDeniedAndTouchesNothing) {
  auto port = rxtest::OpenPort(tb);
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  ext()->BaudRate = 9600;  // as a control request would have set it
  auto read = port.ReadAsync(5);
  tb.Pump();
  trace.SeekEnd();

  host::app::File second;
  host::app::OpenOptions options;
  options.bypassExclusiveCheck = true;
  EXPECT_EQ(host::app::File::Open(rxtest::DeviceName(tb), &second, options), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ext()->OpenCount, 1);
  EXPECT_EQ(ext()->BaudRate, 9600u);
  EXPECT_FALSE(read.Done());
  EXPECT_TRUE(trace.AtEnd()) << "nothing sent: " << tb.fullTrace().Dump();
  tb.modem().PushBulkIn("still");
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(rxtest::Text(read.Result().output), "still");
}

TEST(OpenBeforeStart, IsRefusedWithInsufficientResources) {
  PortTestbedOptions options;
  options.start = false;
  PortTestbed tb(std::move(options));
  ASSERT_EQ(tb.LoadDriver(), STATUS_SUCCESS);
  tb.Plug(std::make_unique<sim::ScriptedModem>());
  ASSERT_EQ(tb.AddDevice(), STATUS_SUCCESS);
  host::app::File port;
  EXPECT_EQ(host::app::File::Open(rxtest::DeviceName(tb), &port), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb.Ext()->OpenCount, 0);
}

// An open that passed the state test and then waited for OpenMutex while a query-stop was
// accepted (under that mutex) must see the new state: the device is about to stop.
TEST_F(OpenAdmission, AQueryStopAcceptedWhileTheOpenWaitsForTheMutexRefusesIt) {
  ExAcquireFastMutex(&ext()->OpenMutex);
  NTSTATUS status = STATUS_PENDING;
  auto opener = tb.session().Spawn("opener", [&] {
    host::app::File port;
    status = host::app::File::Open(rxtest::DeviceName(tb), &port);
  });
  ASSERT_FALSE(opener->Finished());  // past the state test, waiting for OpenMutex
  // What an accepted query-stop does under OpenMutex.
  ext()->PnpState = StopPending;
  ExReleaseFastMutex(&ext()->OpenMutex);
  opener->Join();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(ext()->DeviceOpen);
  EXPECT_EQ(ext()->OpenCount, 0);
  EXPECT_TRUE(trace.AtEnd()) << "an open refused sends nothing";
  ext()->PnpState = Started;
}

TEST_F(OpenAdmission, OnceMarkedGoneEveryOpenIsRefusedWithDeletePending) {
  {
    auto port = rxtest::OpenPort(tb);
    tb.usb().FailNextTransfer(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    tb.Pump();
    ASSERT_EQ(ext()->DeviceGone, ULONG(DEVICE_GONE_MARK));
  }
  host::app::File again;
  EXPECT_EQ(rxtest::TryOpen(tb, &again), STATUS_DELETE_PENDING);
  EXPECT_EQ(ext()->OpenCount, 0);
}

TEST_F(OpenAdmission, FailedBulkOutResetFailsTheOpenAndTheNextOpenSucceeds) {
  tb.usb().FailNextReset(Pipe::BulkOut, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
  host::app::File port;
  EXPECT_EQ(rxtest::TryOpen(tb, &port), STATUS_IO_DEVICE_ERROR);
  auto lines = trace.Rest();
  ASSERT_EQ(lines.size(), 2u) << tb.fullTrace().Dump();
  EXPECT_EQ(lines[0], "RESET bulk-in");
  EXPECT_EQ(lines[1].rfind("RESET bulk-out", 0), 0u);
  EXPECT_EQ(ext()->OpenCount, 0);
  EXPECT_FALSE(ext()->DeviceOpen);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);

  // The failed open does not keep the device from being removed.
  EXPECT_EQ(tb.QueryRemove(), STATUS_SUCCESS);
  EXPECT_EQ(tb.CancelRemove(), STATUS_SUCCESS);

  auto good = rxtest::OpenPort(tb);
  EXPECT_EQ(ext()->OpenCount, 1);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST_F(OpenAdmission, ReopenRestoresDefaultsButKeepsTimeoutsAndStatistics) {
  SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 5, 6};
  {
    auto port = rxtest::OpenPort(tb);
    ASSERT_EQ(port.DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0).status,
              STATUS_SUCCESS);
    ASSERT_EQ(rxtest::SetWaitMask(port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    SERIAL_BAUD_RATE baud{9600};
    ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_BAUD_RATE, baud).status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{0, 2, 7};
    ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_LINE_CONTROL, line).status, STATUS_SUCCESS);
    SERIAL_CHARS chars{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(porttest::IoctlIn(port, IOCTL_SERIAL_SET_CHARS, chars).status, STATUS_SUCCESS);
    ASSERT_EQ(ext()->BaudRate, 9600u);
    // The handshake limits are kept by an open; no control code stores them.
    ext()->HandFlow = {0, 0, 100, 200};
    tb.modem().PushBulkIn("twelve bytes");
    tb.Pump();
    ASSERT_EQ(port.Read(12).information, 12u);
    ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  }
  auto port = rxtest::OpenPort(tb);
  EXPECT_EQ(porttest::IoctlOut<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate,
            460800u);
  auto line = porttest::IoctlOut<SERIAL_LINE_CONTROL>(port, IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(line.StopBits, 2);
  EXPECT_EQ(line.Parity, 0);
  EXPECT_EQ(line.WordLength, 8);
  EXPECT_EQ(ext()->HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
  EXPECT_EQ(ext()->HandFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
  EXPECT_EQ(ext()->HandFlow.XonLimit, 100);
  EXPECT_EQ(ext()->HandFlow.XoffLimit, 200);
  EXPECT_EQ(ext()->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(ext()->SpecialChars.XoffChar, 0x13);
  EXPECT_EQ(ext()->SpecialChars.EofChar, 1);
  EXPECT_EQ(ext()->SpecialChars.EventChar, 4);
  EXPECT_EQ(ext()->WaitMask, 0u);
  EXPECT_EQ(ext()->ModemStatus & SERIAL_MSR_DSR, SERIAL_MSR_DSR);
  EXPECT_EQ(ext()->PerfStats.ReceivedCount, 12u);
  auto r = port.DeviceIoControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(memcmp(r.output.data(), &timeouts, sizeof timeouts), 0);
}

TEST_F(OpenClose, LastCloseDropsTheLinesThenAbortsInterruptBulkInBulkOutAndDrains) {
  auto port = rxtest::OpenPort(tb);
  trace.SeekEnd();
  trace.Show(TraceKind::InSubmit);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "SETUP 21 22 00 00 00 00 00 00");
  EXPECT_EQ(trace.NextLine(), "ABORT interrupt-in");
  EXPECT_EQ(trace.Next().kind, TraceKind::InDone);
  EXPECT_EQ(trace.NextLine(), "ABORT bulk-in");
  EXPECT_EQ(trace.Next().kind, TraceKind::InDone);
  EXPECT_EQ(trace.NextLine(), "ABORT bulk-out");
  EXPECT_TRUE(trace.AtEnd()) << "no reader re-armed: " << tb.fullTrace().Dump();
  EXPECT_EQ(ext()->IoCount, 0);
  EXPECT_EQ(ext()->OpenCount, 0);
  EXPECT_EQ(ext()->ControlLineState, 0);
  EXPECT_EQ(ext()->DeviceGone, 0u) << "the aborted transfers are not a loss";
  EXPECT_EQ(ext()->BulkInReaderState, ULONG(ReaderIdle));
  EXPECT_EQ(ext()->InterruptReaderState, ULONG(ReaderIdle));
}

TEST_F(OpenClose, CleanupCancelsTheWaitingReadAndWait) {
  auto port = rxtest::OpenPort(tb);
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  ASSERT_EQ(rxtest::SetWaitMask(port, SERIAL_EV_DSR), STATUS_SUCCESS);
  auto read = port.ReadAsync(3);
  auto wait = rxtest::WaitOnMask(port);
  tb.Pump();
  EXPECT_EQ(port.Cleanup(), STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
  EXPECT_EQ(wait.Result().status, STATUS_CANCELLED);
}

TEST_F(OpenClose, FlushSucceedsAtOnce) {
  auto port = rxtest::OpenPort(tb);
  auto r = port.Flush();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
}

TEST_F(OpenClose, LifeCycleWithTheModemStreamingAndAWaitPending) {
  for (int round = 0; round < 3; ++round) {
    auto port = rxtest::OpenPort(tb);
    ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(rxtest::SetWaitMask(port, SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    auto wait = rxtest::WaitOnMask(port);
    tb.modem().PushBulkIn(rxtest::PatternBytes(0, 300000));
    tb.Pump();
    auto r = port.Read(1000);
    ASSERT_EQ(r.information, 1000u);
    EXPECT_EQ(r.output, rxtest::PatternBytes(0, 1000)) << "round " << round;
    tb.modem().PushBulkIn(rxtest::PatternBytes(300000, 200000));  // in flight at the close
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(ext()->IoCount, 0);
    EXPECT_EQ(ext()->OpenCount, 0);
    // Bytes the modem still holds belong to no one; the next open starts empty.
    tb.Pump();
    while (tb.modem().PendingBulkIn() + tb.usb().BulkInQueued() != 0) {
      auto drain = rxtest::OpenPort(tb);
      ASSERT_EQ(rxtest::Purge(drain, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
      tb.Pump();
      ASSERT_EQ(drain.Close(), STATUS_SUCCESS);
    }
  }
}

TEST_F(OpenClose, CloseAfterSurpriseRemovalSendsNothingAndSucceeds) {
  auto port = rxtest::OpenPort(tb);
  tb.Unplug();
  tb.Pump();
  tb.SurpriseRemove();
  if (ext()->PnpState != SurpriseRemoved) ext()->PnpState = SurpriseRemoved;  // until PnP lands
  trace.SeekEnd();
  trace.IgnoreInTraffic();
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_TRUE(trace.AtEnd()) << tb.fullTrace().Dump();
  EXPECT_EQ(ext()->IoCount, 0);
  EXPECT_EQ(ext()->OpenCount, 0);
}

TEST_F(OpenClose, CloseOfAGoneButAttachedDeviceAbortsThePipesInsteadOfWaitingForever) {
  auto port = rxtest::OpenPort(tb);
  // The bulk-IN reader fails and marks the device gone; the notification reader's transfer stays
  // outstanding, and nothing would ever end it without an abort.
  tb.usb().FailNextTransfer(Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.Pump();
  ASSERT_EQ(ext()->DeviceGone, ULONG(DEVICE_GONE_MARK));
  ASSERT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);
  trace.SeekEnd();
  trace.IgnoreInTraffic();
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (std::vector<std::string>{"ABORT interrupt-in", "ABORT bulk-in",
                                                    "ABORT bulk-out"}));
  EXPECT_EQ(ext()->IoCount, 0);
  EXPECT_EQ(ext()->OpenCount, 0);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 0u);
}

}  // namespace

namespace {

// Every request allocation of an open and a close failed in turn: the open either fails with
// the resources status or succeeds with a reader left idle or parked; either way nothing leaks,
// the close drains, and the port opens normally afterwards.
TEST(OpenLowResources, EachRequestAllocationOfOpenAndCloseMayFail) {
  for (unsigned n = 1; n <= 12; ++n) {
    SCOPED_TRACE("failing request allocation " + std::to_string(n));
    porttest::PortTestbed tb;
    rxtest::EnsureStarted(tb);
    host::verifier::FailIrpAllocation(n);
    host::app::File port;
    NTSTATUS status = rxtest::TryOpen(tb, &port);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
        << std::hex << status;
    if (NT_SUCCESS(status)) {
      tb.modem().PushBulkIn("after");
      tb.Pump();
      EXPECT_EQ(port.Close(), STATUS_SUCCESS);
      EXPECT_EQ(tb.Ext()->IoCount, 0);
    }
    host::verifier::ClearFaults();
    EXPECT_EQ(tb.Ext()->OpenCount, 0);
    EXPECT_FALSE(tb.Ext()->DeviceOpen);

    auto again = rxtest::OpenPort(tb);
    tb.modem().PushBulkIn("x");
    tb.Pump();
    ASSERT_EQ(rxtest::SetTimeouts(again, MAXULONG, 0, 0), STATUS_SUCCESS);
    auto r = again.Read(10);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(r.output.empty());
  }
}

}  // namespace

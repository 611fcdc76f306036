// Suspend and resume of an open port, deterministic: the readers end quietly when the device goes
// down for a sleep, the pipes are reset and both readers armed when the working state returns,
// and received data goes on with no byte lost. Also what must not happen: a resume that submits
// a reader's URB still in flight, resets where no suspend was marked, a port given up for gone
// after a standby.

#include <climits>

#include "power_test_support.h"
#include "sim/loopback_modem.h"

namespace {

using powertest::PowerFixture;
using powertest::PowerLogLines;
using powertest::Sent;
using rxtest::Pattern;
using rxtest::PatternBytes;
using sim::Pipe;
using sim::TraceKind;
using Lines = std::vector<std::string>;

class PowerSuspend : public PowerFixture {
 protected:
  explicit PowerSuspend(porttest::PortTestbedOptions options = {})
      : PowerFixture(std::move(options)) {}

  // Opens the port with reads that return at once with what the ring holds.
  void OpenPort() {
    port = rxtest::OpenPort(tb);
    ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  }

  std::string ReadAvailable() {
    host::app::IoResult r = port.Read(2 * RING_BUFFER_SIZE);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return porttest::Text(r.output);
  }

  ULONG ReaderState(bool bulkIn) {
    return bulkIn ? ext()->BulkInReaderState : ext()->InterruptReaderState;
  }

  // Trace from here, without the bus driver's PnP and WMI entries.
  sim::TraceCursor Trace() {
    sim::TraceCursor c = tb.fullTrace().CursorAtEnd();
    c.Ignore({TraceKind::Pnp, TraceKind::Wmi});
    return c;
  }

  host::app::File port;
};

TEST_F(PowerSuspend, ASleepEndsTheReadersQuietlyAndTheReturnResetsThePipesAndArmsBoth) {
  QueryCapabilities();
  OpenPort();
  ASSERT_EQ(rxtest::SetWaitMask(port, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD),
            STATUS_SUCCESS);
  host::app::Request wait = rxtest::WaitOnMask(port);
  tb.modem().PushBulkIn("before");
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "before");

  sim::TraceCursor trace = Trace();
  Sent sleep = SetSystem(PowerSystemSleeping3);
  EXPECT_EQ(sleep.dispatch, STATUS_PENDING);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  // The readers' transfers end with the device's power: the port cancels them as the device
  // leaves D0, before the system request goes down.
  EXPECT_EQ(trace.Rest(),
            (Lines{"POWER SET_POWER D3",
                   "IN-DONE bulk-in 0 -> STATUS_CANCELLED USBD_STATUS_CANCELED",
                   "IN-DONE interrupt-in 0 -> STATUS_CANCELLED USBD_STATUS_CANCELED",
                   "POWER SET_POWER S3"}));
  // Quietly: the device is not taken for gone and no loss is reported to the waiting request.
  EXPECT_TRUE(ext()->SystemSuspended);
  EXPECT_EQ(ext()->DeviceGone, 0u);
  EXPECT_FALSE(wait.Done());
  EXPECT_EQ(ReaderState(true), ReaderIdle);
  EXPECT_EQ(ReaderState(false), ReaderIdle);
  EXPECT_EQ(ext()->IoCount, 1);

  // What the modem sends while the computer sleeps waits in the device.
  tb.modem().PushBulkIn("during");
  tb.Pump();

  host::pnp::ClearPowerLog();
  Sent wake = SetSystem(PowerSystemWorking);
  EXPECT_EQ(wake.dispatch, STATUS_PENDING);
  EXPECT_EQ(wake.status, STATUS_SUCCESS);
  // Resets and readers when the request arrives; the readers' transfers wait for D0.
  EXPECT_EQ(trace.Rest(),
            (Lines{"RESET bulk-in", "RESET bulk-out", "RESET interrupt-in", "IN interrupt-in 16",
                   "IN bulk-in 4096", "POWER SET_POWER S0", "POWER SET_POWER D0",
                   "IN-DONE bulk-in 6: 64 75 72 69 6E 67", "IN bulk-in 4096"}));
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S0", "requested SET_POWER D0",
                                    "sent SET_POWER D0", "completed SET_POWER D0",
                                    "completed SET_POWER S0"}));
  EXPECT_FALSE(ext()->SystemSuspended);
  EXPECT_EQ(ReaderState(true), ReaderArmed);
  EXPECT_EQ(ReaderState(false), ReaderArmed);

  EXPECT_EQ(ReadAvailable(), "during");
  tb.modem().PushBulkIn("after");
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "after");
  // The notification reader is back too: the carrier change reaches the waiting request.
  ASSERT_TRUE(wait.Done());
  EXPECT_EQ(rxtest::EventWord(wait.Result()), ULONG(SERIAL_EV_RLSD));
}

TEST_F(PowerSuspend, HibernateSuspendsAsS3Does) {
  OpenPort();
  EXPECT_EQ(SetSystem(PowerSystemHibernate).status, STATUS_SUCCESS);
  EXPECT_TRUE(ext()->SystemSuspended);
  EXPECT_EQ(ext()->DeviceGone, 0u);
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  tb.modem().PushBulkIn("back");
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "back");
}

TEST_F(PowerSuspend, AStandbyTakesTheDeviceDownTooSoTheReadersEndQuietlyAndComeBack) {
  // S1 and S2 put the device in D3 as every sleep state does (the capabilities' D1 and D2 are
  // raised to D3): without the suspend mark the readers' cancelled transfers would take the
  // device for gone, for good.
  tb.device().SetDeviceState(PowerSystemSleeping1, PowerDeviceD1);
  QueryCapabilities();
  OpenPort();
  for (SYSTEM_POWER_STATE standby : {PowerSystemSleeping1, PowerSystemSleeping2}) {
    SCOPED_TRACE(standby);
    EXPECT_EQ(SetSystem(standby).status, STATUS_SUCCESS);
    EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD3);
    EXPECT_TRUE(ext()->SystemSuspended);
    EXPECT_EQ(ext()->DeviceGone, 0u);
    EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
    tb.modem().PushBulkIn("awake");
    tb.Pump();
    EXPECT_EQ(ReadAvailable(), "awake");
  }
}

TEST_F(PowerSuspend, ShutdownNeverMarksASuspend) {
  OpenPort();
  EXPECT_EQ(QuerySystem(PowerSystemShutdown).status, STATUS_SUCCESS);
  EXPECT_FALSE(ext()->SystemSuspended);
  EXPECT_EQ(SetSystem(PowerSystemShutdown).status, STATUS_SUCCESS);
  EXPECT_FALSE(ext()->SystemSuspended);
}

TEST_F(PowerSuspend, AQueryForASleepMarksTheSuspendAlready) {
  OpenPort();
  sim::TraceCursor trace = Trace();
  EXPECT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_TRUE(ext()->SystemSuspended);
  // Nothing was powered down: the readers are still armed.
  EXPECT_EQ(trace.Rest(), (Lines{"POWER QUERY_POWER D3", "POWER QUERY_POWER S3"}));
  EXPECT_EQ(ReaderState(true), ReaderArmed);
  EXPECT_EQ(ReaderState(false), ReaderArmed);
}

TEST_F(PowerSuspend, AfterARefusedSleepTheResumeLeavesTheArmedReadersAlone) {
  OpenPort();
  ASSERT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  // Another driver refused the sleep; the power manager sends the working state again.
  sim::TraceCursor trace = Trace();
  Sent s = SetSystem(PowerSystemWorking);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  // No reset under a transfer in flight and no second submission of a URB in flight (the stack
  // would refuse both); only the idle bulk-OUT pipe is reset.
  EXPECT_EQ(trace.Rest(),
            (Lines{"RESET bulk-out", "POWER SET_POWER D0", "POWER SET_POWER S0"}));
  EXPECT_FALSE(ext()->SystemSuspended);
  EXPECT_EQ(ext()->DeviceGone, 0u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);

  tb.modem().PushBulkIn("still here");
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "still here");
}

TEST_F(PowerSuspend, AfterARefusedSleepOnlyAReaderThatEndedMeanwhileIsResetAndArmed) {
  OpenPort();
  ASSERT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  // The notification reader's transfer fails while the suspend is marked: it ends quietly.
  tb.usb().FailNextTransfer(Pipe::Interrupt, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  tb.Pump();
  ASSERT_EQ(ReaderState(false), ReaderIdle);
  EXPECT_EQ(ext()->DeviceGone, 0u);

  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"RESET bulk-out", "RESET interrupt-in", "IN interrupt-in 16",
                                 "POWER SET_POWER D0", "POWER SET_POWER S0"}));
  EXPECT_EQ(ReaderState(false), ReaderArmed);
  EXPECT_EQ(ReaderState(true), ReaderArmed);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
}

TEST_F(PowerSuspend, AResumeWithAWriteInFlightLeavesTheBulkOutPipeAlone) {
  OpenPort();
  ASSERT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  tb.usb().Hold(Pipe::BulkOut);
  host::app::Request write = port.WriteAsync("ATZ\r", 4);
  tb.Pump();
  ASSERT_EQ(tb.usb().PendingTransfers(Pipe::BulkOut), 1u);

  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"POWER SET_POWER D0", "POWER SET_POWER S0"}));

  tb.usb().Release(Pipe::BulkOut);
  EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(tb.modem().TakeBulkOut(), "ATZ\r");
}

TEST_F(PowerSuspend, AParkedBulkInReaderStaysParkedUntilAReadMakesRoom) {
  OpenPort();
  // Fill the ring: the bulk-IN reader parks with no room for a whole transfer.
  tb.modem().PushBulkIn(PatternBytes(0, RING_BUFFER_SIZE));
  tb.Pump();
  ASSERT_EQ(ext()->RingCount, LONG(RING_BUFFER_SIZE));
  ASSERT_EQ(ReaderState(true), ReaderParked);
  tb.modem().PushBulkIn(PatternBytes(RING_BUFFER_SIZE, 5000));

  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(ReaderState(false), ReaderIdle);
  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"RESET bulk-in", "RESET bulk-out", "RESET interrupt-in",
                                 "IN interrupt-in 16", "POWER SET_POWER S0",
                                 "POWER SET_POWER D0"}));
  EXPECT_EQ(ReaderState(true), ReaderParked);

  // Every byte, in order, once the read makes room.
  std::string got = ReadAvailable();
  tb.Pump();
  got += ReadAvailable();
  std::vector<uint8_t> want = PatternBytes(0, RING_BUFFER_SIZE + 5000);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == porttest::Text(want));
  EXPECT_EQ(ReaderState(true), ReaderArmed);
}

TEST_F(PowerSuspend, AReturnToWorkingWithNoSuspendMarkedResetsNothing) {
  OpenPort();
  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"POWER SET_POWER D0", "POWER SET_POWER S0"}));
}

TEST_F(PowerSuspend, AReturnToWorkingWithThePortClosedResetsNothing) {
  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_FALSE(ext()->SystemSuspended);
  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"POWER SET_POWER S0", "POWER SET_POWER D0"}));

  // Closed while asleep: the mark goes with the port, nothing is reset at the return.
  OpenPort();
  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_TRUE(ext()->SystemSuspended);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  trace.SeekEnd();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.Rest(), (Lines{"POWER SET_POWER S0", "POWER SET_POWER D0"}));
}

TEST_F(PowerSuspend, APortOpenedWhileAsleepStartsItsReadersWhichWaitForD0) {
  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  OpenPort();
  EXPECT_FALSE(ext()->SystemSuspended);
  tb.modem().PushBulkIn("queued");
  tb.Pump();
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);

  sim::TraceCursor trace = Trace();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(trace.NextLine(), "POWER SET_POWER S0");
  EXPECT_EQ(trace.NextLine(), "POWER SET_POWER D0");
  EXPECT_EQ(ReadAvailable(), "queued");
}

TEST_F(PowerSuspend, AClosedPortAfterASleepDrainsAndReopensNormally) {
  OpenPort();
  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(ext()->IoCount, 0);
  OpenPort();
  tb.modem().PushBulkIn("again");
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "again");
}

// The machine's own hold of the remove lock is refused when a removal begins while the request
// is on its way in (here: the resume's pipe resets are held up). The machine then releases
// nothing of its own at the end (a release would take DispatchPower's hold away: the verifier
// reports the release of a tag that holds nothing), and keeps DispatchPower's hold until it is
// done, so the removal cannot delete the device under the request still in the machine.
TEST_F(PowerSuspend, AMachineHoldRefusedByABeginningRemovalIsNotReleased) {
  OpenPort();
  ASSERT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);

  tb.usb().HoldControl();
  host::app::Request wake =
      host::pnp::SendSystemPowerAsync(tb.pdo(), IRP_MN_SET_POWER, PowerSystemWorking);
  tb.Pump();
  ASSERT_EQ(tb.usb().HeldControlRequests(), 1u);

  // The removal's release-and-wait: refuses new holds from now on, waits for DispatchPower's.
  ASSERT_EQ(IoAcquireRemoveLock(&ext()->RemoveLock, &removeTag), STATUS_SUCCESS);
  bool wakeFinishedFirst = false;
  auto remover = tb.session().Spawn("remover", [&] {
    IoReleaseRemoveLockAndWait(&ext()->RemoveLock, &removeTag);
    wakeFinishedFirst = wake.Done();
  });
  tb.Pump();
  EXPECT_FALSE(remover->Finished());

  tb.usb().ReleaseControl();
  // The D0 request meets the refusing remove lock at DispatchPower's door.
  EXPECT_EQ(wake.Wait().status, STATUS_DELETE_PENDING);
  EXPECT_EQ(wake.DispatchStatus(), STATUS_PENDING);
  remover->Join();
  EXPECT_TRUE(wakeFinishedFirst) << "the removal went on while the request was in the machine";
  EXPECT_EQ(ext()->RemoveLock.Common.IoCount, 0);
  // The readers could not take their holds either: nothing is in flight.
  EXPECT_EQ(ext()->IoCount, 1);

  RestoreRemoveLock();
}

// The readers decide whether a failed transfer is quiet by the suspend mark as they find it when
// the failure reaches them. The USB stack cancels what is pending on the port as the device
// leaves D0, before the D3 request completes, so a working state that returns right after the
// power-down finds the readers already ended quietly.
TEST_F(PowerSuspend, ACancellationDeliveredBeforeTheResumeIsQuiet) {
  OpenPort();
  ASSERT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  // D3 straight to the device, then at once the working state.
  host::app::Request down =
      host::pnp::SendPowerAsync(tb.pdo(), IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
      });
  ASSERT_TRUE(down.Done());
  ASSERT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);

  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(ext()->DeviceGone, 0u);
  tb.modem().PushBulkIn("on");
  tb.Pump();
  EXPECT_EQ(ReadAvailable(), "on");
}

// ---- Data flowing from the loopback modem across a suspend ------------------------------------

class PowerSuspendLoopback : public PowerSuspend {
 protected:
  static constexpr uint64_t kRate = 8000;  // bytes per second on the modem's line
  static porttest::PortTestbedOptions LoopbackOptions() {
    porttest::PortTestbedOptions o;
    o.modem = std::make_unique<sim::LoopbackModem>(kRate);
    return o;
  }
  PowerSuspendLoopback() : PowerSuspend(LoopbackOptions()) {}
  sim::LoopbackModem& loopback() { return tb.Testbed::modem<sim::LoopbackModem>(); }
};

TEST_F(PowerSuspendLoopback, DataFlowsAgainAfterTheSleepWithNoByteLost) {
  constexpr size_t kTotal = 40000;
  QueryCapabilities();
  OpenPort();
  std::vector<uint8_t> sent = PatternBytes(0, kTotal);
  ASSERT_EQ(port.Write(sent.data(), ULONG(sent.size())).status, STATUS_SUCCESS);

  std::string got;
  tb.session().AdvanceTimeMs(1000);
  got += ReadAvailable();
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), kTotal / 2);

  // Sleep in the middle of the flow; the line goes on filling the device's FIFO meanwhile.
  ASSERT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  got += ReadAvailable();
  size_t beforeSleep = got.size();
  tb.session().AdvanceTimeMs(2000);
  EXPECT_EQ(ReadAvailable(), "");
  EXPECT_EQ(ext()->DeviceGone, 0u);

  ASSERT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  for (int i = 0; i < 40 && got.size() < kTotal; ++i) {
    tb.session().AdvanceTimeMs(500);
    got += ReadAvailable();
  }
  EXPECT_GT(got.size(), beforeSleep);
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == porttest::Text(sent)) << "the bytes differ from what was sent";
  EXPECT_EQ(loopback().Pending(), 0u);
}

TEST_F(PowerSuspendLoopback, RepeatedSleepsLoseNothing) {
  constexpr size_t kTotal = 24000;
  OpenPort();
  std::vector<uint8_t> sent = PatternBytes(7, kTotal);
  ASSERT_EQ(port.Write(sent.data(), ULONG(sent.size())).status, STATUS_SUCCESS);

  std::string got;
  for (int cycle = 0; cycle < 5; ++cycle) {
    tb.session().AdvanceTimeMs(300);
    got += ReadAvailable();
    ASSERT_EQ(SetSystem(cycle % 2 ? PowerSystemHibernate : PowerSystemSleeping3).status,
              STATUS_SUCCESS);
    tb.session().AdvanceTimeMs(200);
    ASSERT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  }
  for (int i = 0; i < 40 && got.size() < kTotal; ++i) {
    tb.session().AdvanceTimeMs(500);
    got += ReadAvailable();
  }
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == porttest::Text(sent)) << "the bytes differ from what was sent";
  EXPECT_EQ(ext()->DeviceGone, 0u);
}

}  // namespace

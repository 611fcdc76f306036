// The power state machine through the power manager and the bus driver, with the port closed:
// the order of system and device requests in both directions, every failure on the way, the
// device-state mapping from the capabilities, device requests, queries, pass-down of the other
// minor functions, and the refusals at entry.

#include "power_test_support.h"

namespace {

using powertest::PowerFixture;
using powertest::PowerLogLines;
using powertest::PowerTraceFromHere;
using powertest::Sent;
using Lines = std::vector<std::string>;

// ---- System requests ------------------------------------------------------------------------

class PowerSystem : public PowerFixture {
 protected:
  // Takes the machine to S3/D3 and clears the log, for the flows back to the working state.
  void Asleep() {
    QueryCapabilities();
    Sent s = SetSystem(PowerSystemSleeping3);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    ASSERT_EQ(ext()->SystemPowerState, PowerSystemSleeping3);
    ASSERT_EQ(ext()->DevicePowerState, PowerDeviceD3);
    host::pnp::ClearPowerLog();
  }
};

TEST_F(PowerSystem, ASleepTakesTheDeviceDownFirstAndSendsTheSystemRequestAfterIt) {
  QueryCapabilities();
  sim::TraceCursor power = PowerTraceFromHere(tb);

  Sent s = SetSystem(PowerSystemSleeping3);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S3", "requested SET_POWER D3",
                                    "sent SET_POWER D3", "completed SET_POWER D3",
                                    "completed SET_POWER S3"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER D3", "POWER SET_POWER S3"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD3);
  EXPECT_EQ(tb.device().SystemPower(), PowerSystemSleeping3);
}

TEST_F(PowerSystem, TheReturnToWorkingSendsTheSystemRequestDownBeforeAskingForD0) {
  Asleep();
  sim::TraceCursor power = PowerTraceFromHere(tb);

  Sent s = SetSystem(PowerSystemWorking);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  // The system request is held until D0 is done and completed only then.
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S0", "requested SET_POWER D0",
                                    "sent SET_POWER D0", "completed SET_POWER D0",
                                    "completed SET_POWER S0"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S0", "POWER SET_POWER D0"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD0);
}

TEST_F(PowerSystem, ASetToTheCurrentStateAsksForTheDeviceStateFirst) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  Sent s = SetSystem(PowerSystemWorking);
  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER D0", "POWER SET_POWER S0"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
}

TEST_F(PowerSystem, LowerDriversFailingTheReturnToWorkingEndItWithoutADeviceRequest) {
  Asleep();
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_SET_POWER, SystemPowerState, STATUS_IO_DEVICE_ERROR);

  Sent s = SetSystem(PowerSystemWorking);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(PowerLogLines(),
            (Lines{"sent SET_POWER S0", "completed SET_POWER S0 -> STATUS_IO_DEVICE_ERROR"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S0 -> STATUS_IO_DEVICE_ERROR"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
}

TEST_F(PowerSystem, AFailedD0RequestFailsTheReturnToWorkingAndLeavesD3Recorded) {
  Asleep();
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);

  Sent s = SetSystem(PowerSystemWorking);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S0", "requested SET_POWER D0",
                                    "sent SET_POWER D0",
                                    "completed SET_POWER D0 -> STATUS_IO_DEVICE_ERROR",
                                    "completed SET_POWER S0 -> STATUS_IO_DEVICE_ERROR"}));
  EXPECT_EQ(power.Rest(),
            (Lines{"POWER SET_POWER S0", "POWER SET_POWER D0 -> STATUS_IO_DEVICE_ERROR"}));
  // The lower drivers took the system request; only the device stayed down.
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
}

TEST_F(PowerSystem, ARefusedD0RequestLetsTheReturnToWorkingFinishWithTheLowerDriversStatus) {
  Asleep();
  sim::TraceCursor power = PowerTraceFromHere(tb);
  host::verifier::FailService("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES);

  Sent s = SetSystem(PowerSystemWorking);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S0", "completed SET_POWER S0"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S0"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
}

TEST_F(PowerSystem, AFailedD3RequestCompletesTheSleepWithItsStatusWithoutSendingItDown) {
  QueryCapabilities();
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);

  Sent s = SetSystem(PowerSystemSleeping3);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER D3 -> STATUS_IO_DEVICE_ERROR"}));
  EXPECT_EQ(tb.device().PowerCount(IRP_MN_SET_POWER), 1u);
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  // Recorded before the device request went down, and left so by its failure.
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
}

// The power manager could not build the D3 request (its IRP, for want of memory): a system set is
// never failed for that, so the sleep goes down with the device left in D0.
TEST_F(PowerSystem, ARefusedD3RequestStillSendsTheSleepDownWithTheDeviceLeftInD0) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  host::verifier::FailService("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES);

  Sent s = SetSystem(PowerSystemSleeping3);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(PowerLogLines(), (Lines{"sent SET_POWER S3", "completed SET_POWER S3"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S3"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
}

TEST_F(PowerSystem, LowerDriversFailingASleepStillHaveItRecorded) {
  QueryCapabilities();
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_SET_POWER, SystemPowerState, STATUS_IO_DEVICE_ERROR);

  Sent s = SetSystem(PowerSystemSleeping3);

  EXPECT_EQ(s.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(power.Rest(),
            (Lines{"POWER SET_POWER D3", "POWER SET_POWER S3 -> STATUS_IO_DEVICE_ERROR"}));
  // The device is down already, so the next S0 is a return towards more power.
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
  power.SeekEnd();
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S0", "POWER SET_POWER D0"}));
}

// ---- Queries ----------------------------------------------------------------------------------

TEST_F(PowerSystem, ASleepQueryAsksTheDeviceFirstAndChangesNoState) {
  QueryCapabilities();
  sim::TraceCursor power = PowerTraceFromHere(tb);

  Sent s = QuerySystem(PowerSystemHibernate);

  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(PowerLogLines(), (Lines{"sent QUERY_POWER S4", "requested QUERY_POWER D3",
                                    "sent QUERY_POWER D3", "completed QUERY_POWER D3",
                                    "completed QUERY_POWER S4"}));
  EXPECT_EQ(power.Rest(), (Lines{"POWER QUERY_POWER D3", "POWER QUERY_POWER S4"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD0);
}

TEST_F(PowerSystem, ARefusedDeviceQueryRefusesTheSystemQueryWithoutSendingItDown) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY);
  Sent s = QuerySystem(PowerSystemSleeping3);
  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(power.Rest(), (Lines{"POWER QUERY_POWER D3 -> STATUS_DEVICE_BUSY"}));
}

TEST_F(PowerSystem, LowerDriversRefusingASleepQueryRefuseIt) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  tb.device().FailNextPower(IRP_MN_QUERY_POWER, SystemPowerState, STATUS_DEVICE_BUSY);
  Sent s = QuerySystem(PowerSystemSleeping3);
  EXPECT_EQ(s.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(power.Rest(),
            (Lines{"POWER QUERY_POWER D3", "POWER QUERY_POWER S3 -> STATUS_DEVICE_BUSY"}));
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
}

TEST_F(PowerSystem, ARefusedDeviceQueryRequestRefusesTheSystemQuery) {
  host::verifier::FailService("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES);
  Sent s = QuerySystem(PowerSystemSleeping3);
  EXPECT_EQ(s.dispatch, STATUS_PENDING);
  EXPECT_EQ(s.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(tb.device().PowerCount(IRP_MN_QUERY_POWER), 0u);
}

// ---- The device state asked for each system state --------------------------------------------

class PowerMapping : public PowerFixture {
 protected:
  // The device state the driver asks for with a query for `state`.
  std::string Asked(SYSTEM_POWER_STATE state) {
    host::pnp::ClearPowerLog();
    EXPECT_EQ(QuerySystem(state).status, STATUS_SUCCESS);
    for (const std::string& line : PowerLogLines()) {
      if (line.rfind("requested ", 0) == 0) return line.substr(10);
    }
    return "(nothing requested)";
  }
};

TEST_F(PowerMapping, SleepStatesAboveD3AreRaisedToD3AndWorkingIsAlwaysD0) {
  tb.device().SetDeviceState(PowerSystemWorking, PowerDeviceD3);
  tb.device().SetDeviceState(PowerSystemSleeping1, PowerDeviceD1);
  tb.device().SetDeviceState(PowerSystemSleeping2, PowerDeviceD2);
  tb.device().SetDeviceState(PowerSystemSleeping3, PowerDeviceUnspecified);
  tb.device().SetDeviceState(PowerSystemHibernate, PowerDeviceD0);
  QueryCapabilities();
  EXPECT_EQ(ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD1);

  EXPECT_EQ(Asked(PowerSystemWorking), "QUERY_POWER D0");
  EXPECT_EQ(Asked(PowerSystemSleeping1), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemSleeping2), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemSleeping3), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemHibernate), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemShutdown), "QUERY_POWER D3");
}

TEST_F(PowerMapping, PowerDeviceMaximumIsAskedForUnchanged) {
  tb.device().SetDeviceState(PowerSystemHibernate, PowerDeviceMaximum);
  QueryCapabilities();
  EXPECT_EQ(Asked(PowerSystemHibernate), "QUERY_POWER D4");
}

TEST_F(PowerMapping, WithoutACapabilitiesQueryEverySleepStateIsD3) {
  EXPECT_EQ(ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceUnspecified);
  EXPECT_EQ(Asked(PowerSystemSleeping1), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemSleeping3), "QUERY_POWER D3");
  EXPECT_EQ(Asked(PowerSystemWorking), "QUERY_POWER D0");
}

TEST_F(PowerMapping, ASystemStateBeyondTheCapabilitiesTableIsNotLookedUp) {
  // No power manager sends one; the table must not be read past its end.
  std::fill(std::begin(ext()->DeviceCapabilities.DeviceState),
            std::end(ext()->DeviceCapabilities.DeviceState), PowerDeviceD1);
  EXPECT_EQ(Asked(PowerSystemMaximum), "QUERY_POWER D3");
}

// ---- Device requests --------------------------------------------------------------------------

class PowerDevice : public PowerFixture {};

TEST_F(PowerDevice, D0ToD3RecordsD3BeforeTheRequestGoesDown) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  // The lower drivers fail it: D3 was recorded on the way down and stays.
  tb.device().FailNextPower(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER D3 -> STATUS_IO_DEVICE_ERROR"}));
}

TEST_F(PowerDevice, D3ToD0IsRecordedOnlyOnceTheLowerDriversSucceeded) {
  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD3);

  tb.device().FailNextPower(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);

  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(tb.device().DevicePower(), PowerDeviceD0);
  // A set to the state the device is in goes down and changes nothing.
  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(tb.device().PowerCount(IRP_MN_SET_POWER), 4u);
}

TEST_F(PowerDevice, QueriesGoDownInBothDirectionsAndRecordNothing) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  tb.device().FailNextPower(IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_DEVICE_BUSY);

  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  power.SeekEnd();
  EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
  tb.device().FailNextPower(IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_DEVICE_BUSY);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(power.Rest(),
            (Lines{"POWER QUERY_POWER D0", "POWER QUERY_POWER D0 -> STATUS_DEVICE_BUSY"}));
}

TEST_F(PowerDevice, ASetCompletedBeforeDispatchReturnedIsStillAnsweredPending) {
  // The bus driver completes at once, so the whole flow runs inside DispatchPower.
  host::app::Request r = host::app::SendRaw(
      tb.fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, 0, nullptr, 0, 0, PASSIVE_LEVEL, [](PIRP irp) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = PowerDeviceD3;
      });
  EXPECT_TRUE(r.Done());
  EXPECT_EQ(r.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(r.Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
}

// ---- Entry: pass-down, remove lock, pool --------------------------------------------------------

class PowerDispatch : public PowerFixture {};

TEST_F(PowerDispatch, WaitWakeAndPowerSequenceArePassedDownWithoutAContext) {
  sim::TraceCursor power = PowerTraceFromHere(tb);
  uint64_t allocations = host::verifier::PoolAllocationCount();

  host::app::Request wake =
      host::pnp::SendPowerAsync(tb.pdo(), IRP_MN_WAIT_WAKE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
      });
  host::app::IoResult wakeResult = wake.Wait();
  host::app::Request sequence = host::pnp::SendPowerAsync(tb.pdo(), IRP_MN_POWER_SEQUENCE);
  host::app::IoResult sequenceResult = sequence.Wait();

  // The bus answers both with the status they came with; the driver returns what it got.
  EXPECT_EQ(wakeResult.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(wake.DispatchStatus(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(sequenceResult.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(sequence.DispatchStatus(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(tb.device().PowerCount(IRP_MN_WAIT_WAKE), 1u);
  EXPECT_EQ(tb.device().PowerCount(IRP_MN_POWER_SEQUENCE), 1u);
  EXPECT_EQ(host::verifier::PoolAllocationCount(), allocations);
  for (const std::string& line : PowerLogLines()) EXPECT_EQ(line.find("requested"), std::string::npos);
}

TEST_F(PowerDispatch, ARefusedRemoveLockCompletesEveryPowerRequestWithItsStatus) {
  RefuseRemoveLock();
  sim::TraceCursor power = PowerTraceFromHere(tb);

  Sent set = SetSystem(PowerSystemSleeping3);
  EXPECT_EQ(set.dispatch, STATUS_DELETE_PENDING);
  EXPECT_EQ(set.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_DELETE_PENDING);
  host::app::Request wake = host::pnp::SendPowerAsync(tb.pdo(), IRP_MN_WAIT_WAKE);
  EXPECT_EQ(wake.Wait().status, STATUS_DELETE_PENDING);
  EXPECT_EQ(wake.DispatchStatus(), STATUS_DELETE_PENDING);

  EXPECT_TRUE(power.AtEnd()) << power.Peek().ToString();
  EXPECT_EQ(ext()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  RestoreRemoveLock();
}

// The contexts of a system request and of its device request are the extension's own: with no
// pool at all, sleeps, returns and queries all run their whole flow. Only a request of a kind
// whose context is taken (a second system request before the first has finished, which the power
// manager never sends) needs pool; then a query is refused and a set goes down unhandled.
TEST_F(PowerDispatch, NoPowerRequestNeedsMemoryWhileOneOfAKindIsSentAtATime) {
  QueryCapabilities();
  sim::TraceCursor power = PowerTraceFromHere(tb);

  host::verifier::FailPoolAllocation(1, 1000);
  EXPECT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(ext()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(power.Rest(),
            (Lines{"POWER QUERY_POWER D3", "POWER QUERY_POWER S3", "POWER SET_POWER D3",
                   "POWER SET_POWER S3", "POWER SET_POWER S0", "POWER SET_POWER D0",
                   "POWER QUERY_POWER D3"}));

  // The system context taken: a query finds no pool and is refused before its suspend step; a
  // set goes down as it is.
  ext()->SystemPowerContext.Busy = 1;
  Sent query = QuerySystem(PowerSystemSleeping3);
  EXPECT_EQ(query.dispatch, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(query.status, STATUS_INSUFFICIENT_RESOURCES);
  Sent set = SetSystem(PowerSystemSleeping1);
  EXPECT_EQ(set.status, STATUS_SUCCESS);
  EXPECT_EQ(power.Rest(), (Lines{"POWER SET_POWER S1"}));
  ext()->SystemPowerContext.Busy = 0;
}

// ---- The table itself ---------------------------------------------------------------------------

TEST(PowerMachine, TheTableHoldsTheFirstActionOfEachStateAndEvent) {
  static_assert(sizeof(PowerMachineTable) == 39 * sizeof(uint32_t));
  // (state, event) -> action, every entry that has one; all others are 0.
  const std::vector<std::tuple<int, int, ULONG>> entries = {
      {0, 0, 1},  {1, 1, 4},  {2, 2, 10}, {3, 2, 11}, {4, 1, 5},   {5, 1, 12},
      {6, 1, 8},  {7, 2, 14}, {8, 2, 15}, {9, 1, 16}, {10, 1, 18}, {11, 2, 2}};
  ULONG expected[39] = {};
  for (auto [state, event, action] : entries) expected[state * 3 + event] = action;
  for (int i = 0; i < 39; ++i) EXPECT_EQ(PowerMachineTable[i], expected[i]) << "index " << i;
}

TEST(PowerMachine, AnEventWithoutAnActionDoesNothing) {
  PowerContext context{};
  context.State = PowerCtxDone;
  EXPECT_EQ(PowerStateMachine(&context, PowerEventLowerComplete), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(PowerStateMachine(&context, PowerEventRequestComplete), STATUS_UNSUCCESSFUL);
  context.State = PowerCtxSysUpLower;
  EXPECT_EQ(PowerStateMachine(&context, PowerEventNewIrp), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(PowerStateMachine(&context, PowerEventRequestComplete), STATUS_UNSUCCESSFUL);
  // Out of the table's range: looked up nowhere.
  context.State = 13;
  EXPECT_EQ(PowerStateMachine(&context, PowerEventNewIrp), STATUS_UNSUCCESSFUL);
  context.State = PowerCtxStart;
  EXPECT_EQ(PowerStateMachine(&context, POWER_EVENT(3)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context.State, PowerCtxStart);
}

}  // namespace

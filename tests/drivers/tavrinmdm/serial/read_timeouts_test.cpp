// Reads through an open port, in virtual time: what each time-out setting does to a read that
// finds the ring empty, the total timer's due time (saturated, always relative), the interval
// amounts, the timer routines' busy flags, and reads served from the ring at once.

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;

constexpr int64_t kMs = 10000;  // 100 ns units

// The interrupt time a timer due at `due` expires at: the first clock tick at or after it.
int64_t ExpiryOf(int64_t due) {
  const int64_t tick = KeQueryTimeIncrement();
  return (due + tick - 1) / tick * tick;
}

class ReadTest : public ::testing::Test {
 protected:
  PDEVICE_EXTENSION ext() { return tb.Ext(); }
  bool TotalTimerSet() { return ext()->ReadTotalTimer.Header.Inserted != FALSE; }
  PortTestbed tb;
  host::app::File port = rxtest::OpenPort(tb);
};

class ReadTimeouts : public ReadTest {};
class ReadDispatch : public ReadTest {};

TEST_F(ReadTimeouts, MaxIntervalWithoutTotalReturnsAtOnceEvenEmpty) {
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  auto r = port.Read(10);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_FALSE(TotalTimerSet());
}

TEST_F(ReadTimeouts, MaxMultiplierMeansConstantOnlyAndDataEndsTheWaitEarly) {
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 500), STATUS_SUCCESS);
  const int64_t start = tb.session().Now();
  auto read = port.ReadAsync(10);
  tb.Pump();
  ASSERT_FALSE(read.Done());
  EXPECT_EQ(int64_t(ext()->ReadTotalTimer.DueTime.QuadPart), start + 500 * kMs);

  tb.session().AdvanceTimeMs(100);
  EXPECT_FALSE(read.Done());
  tb.modem().PushBulkIn("abc");
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);  // fewer bytes than asked for
  EXPECT_EQ(rxtest::Text(read.Result().output), "abc");
  EXPECT_FALSE(TotalTimerSet()) << "the bulk-IN completion cancels the total timer";
}

TEST_F(ReadTimeouts, TotalTimerExpiryCompletesWithWhatTheRingHolds) {
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 500), STATUS_SUCCESS);
  const int64_t start = tb.session().Now();
  auto read = port.ReadAsync(10);
  ASSERT_EQ(ExpiryOf(start + 500 * kMs), start + 500 * kMs);  // 32 ticks: due on a tick
  tb.session().AdvanceTime(500 * kMs - 1);
  EXPECT_FALSE(read.Done());
  tb.session().AdvanceTime(1);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(tb.session().Now() - start, 500 * kMs);
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(read.Result().information, 0u);
}

TEST_F(ReadTimeouts, AllZeroWaitsUntilDataHoweverLong) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(4);
  tb.session().AdvanceTimeMs(3600 * 1000);
  EXPECT_FALSE(read.Done());
  EXPECT_FALSE(TotalTimerSet());
  tb.modem().PushBulkIn("wxyz");
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(rxtest::Text(read.Result().output), "wxyz");
}

TEST_F(ReadTimeouts, MaxIntervalAndMaxConstantWaitWithoutTimer) {
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 7, MAXULONG), STATUS_SUCCESS);
  auto read = port.ReadAsync(4);
  tb.Pump();
  EXPECT_FALSE(read.Done());
  EXPECT_FALSE(TotalTimerSet());
  ASSERT_EQ(rxtest::Purge(port, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  EXPECT_TRUE(read.Done());
}

TEST_F(ReadTimeouts, MultiplierTimesLengthPlusConstant) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 10, 100), STATUS_SUCCESS);
  const int64_t start = tb.session().Now();
  auto read = port.ReadAsync(50);
  tb.Pump();
  ASSERT_TRUE(TotalTimerSet());
  EXPECT_EQ(int64_t(ext()->ReadTotalTimer.DueTime.QuadPart), start + 6000000);
  const int64_t expiry = ExpiryOf(start + 6000000);
  tb.session().AdvanceTime(expiry - tb.session().Now() - 1);
  EXPECT_FALSE(read.Done());
  tb.session().AdvanceTime(1);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(read.Result().information, 0u);
}

TEST_F(ReadTimeouts, MaxIntervalMaxMultiplierZeroConstantIsTheShortestRelativeWait) {
  // A due time of 0 would be an absolute time already past; the read waits for the clock.
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(10);
  tb.Pump();
  EXPECT_FALSE(read.Done());
  tb.session().AdvanceTime(ExpiryOf(tb.session().Now() + 1) - tb.session().Now());  // next tick
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
}

TEST_F(ReadTimeouts, HugeTotalTimeoutIsALongWaitNotAnOverflow) {
  // MAXULONG x 1,000,000 bytes + MAXULONG ms is far beyond what 64 bits of 100 ns hold.
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, MAXULONG, MAXULONG), STATUS_SUCCESS);
  const int64_t start = tb.session().Now();
  auto read = port.ReadAsync(1000000);
  tb.Pump();
  ASSERT_TRUE(TotalTimerSet());
  EXPECT_GT(int64_t(ext()->ReadTotalTimer.DueTime.QuadPart), start + 100LL * 365 * 24 * 3600 * 1000 * kMs);
  tb.session().AdvanceTimeMs(10LL * 24 * 3600 * 1000);
  EXPECT_FALSE(read.Done());
  tb.modem().PushBulkIn("x");
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(rxtest::Text(read.Result().output), "x");
}

TEST(ReadTotalDueTimeArithmetic, SaturatesAndStaysRelative) {
  EXPECT_EQ(ReadTotalDueTime(10, 100, 50), -6000000LL);
  EXPECT_EQ(ReadTotalDueTime(0, 500, 12345), -5000000LL);
  EXPECT_EQ(ReadTotalDueTime(0, 0, 5), -1LL);
  EXPECT_EQ(ReadTotalDueTime(MAXULONG, MAXULONG, MAXULONG), -0x3FFFFFFFFFFFFFFFLL);
  // Large but representable: exact.
  EXPECT_EQ(ReadTotalDueTime(MAXULONG, MAXULONG, 1), -(LONGLONG(MAXULONG) * 2 * 10000));
  EXPECT_EQ(ReadTotalDueTime(MAXULONG, 0, MAXULONG), -0x3FFFFFFFFFFFFFFFLL);
  EXPECT_EQ(ReadTotalDueTime(1000, 0, 1000), -10000000000LL);
}

TEST_F(ReadTimeouts, IntervalAmountBelowCutOverIsShortAndAtItLong) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 2000, 0, 0), STATUS_SUCCESS);
  auto first = port.ReadAsync(5);
  tb.Pump();
  ASSERT_FALSE(first.Done());
  EXPECT_TRUE(ext()->IntervalTimerArmed);
  EXPECT_EQ(ext()->IntervalTime.QuadPart, 20000000);
  EXPECT_EQ(ext()->IntervalTimeToUse, &ext()->ShortIntervalAmount);
  EXPECT_EQ(ext()->IntervalTimeToUse->QuadPart, -1);
  ASSERT_EQ(rxtest::Purge(port, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(first.Done());

  ASSERT_EQ(rxtest::SetTimeouts(port, 20000, 0, 0), STATUS_SUCCESS);
  auto second = port.ReadAsync(5);
  tb.Pump();
  EXPECT_EQ(ext()->IntervalTime.QuadPart, 200000000);
  EXPECT_EQ(ext()->IntervalTimeToUse, &ext()->LongIntervalAmount);
  EXPECT_EQ(ext()->IntervalTimeToUse->QuadPart, -10000000);
  ASSERT_EQ(rxtest::Purge(port, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(second.Done());

  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(port.Read(5).status, STATUS_SUCCESS);
  EXPECT_FALSE(ext()->IntervalTimerArmed) << "no interval time-out: the flag is cleared";
}

TEST_F(ReadTimeouts, TotalRoutineDoesNothingWhileTheIntervalRoutineIsBusy) {
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, MAXULONG, 500), STATUS_SUCCESS);
  auto read = port.ReadAsync(10);
  tb.Pump();
  ext()->IntervalDpcBusy = TRUE;  // as if the interval routine were servicing the queue
  tb.session().AdvanceTimeMs(500);
  EXPECT_FALSE(TotalTimerSet());
  EXPECT_FALSE(read.Done());
  EXPECT_FALSE(ext()->TotalDpcBusy);

  ext()->IntervalDpcBusy = FALSE;
  tb.modem().PushBulkIn("z");
  tb.Pump();
  EXPECT_TRUE(read.Done());
}

TEST_F(ReadTimeouts, IntervalRoutineDoesNothingWhileTheTotalRoutineIsBusy) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(10);
  tb.Pump();
  // The interval timer is set the way the bulk-IN completion sets it, with its hold.
  auto expireIntervalTimer = [&] {
    KIRQL old;
    LARGE_INTEGER due;
    due.QuadPart = -1;
    KeAcquireSpinLock(&ext()->SpinLock, &old);
    ReadTimerSetLocked(ext(), &ext()->ReadIntervalTimer, due);
    KeReleaseSpinLock(&ext()->SpinLock, old);
    tb.session().AdvanceTime(ExpiryOf(tb.session().Now() + 1) - tb.session().Now());
  };
  ext()->TotalDpcBusy = TRUE;
  expireIntervalTimer();
  EXPECT_FALSE(read.Done());
  EXPECT_FALSE(ext()->IntervalDpcBusy);

  ext()->TotalDpcBusy = FALSE;
  expireIntervalTimer();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_FALSE(ext()->IntervalDpcBusy) << "cleared again after servicing";
}

TEST_F(ReadDispatch, RingContentsAreTakenAtOnceWhateverTheTimeouts) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  tb.modem().PushBulkIn("0123456789");
  tb.Pump();
  auto r = port.Read(100);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(rxtest::Text(r.output), "0123456789");
  EXPECT_EQ(RingAvailable(ext()), 0);
  EXPECT_FALSE(TotalTimerSet());
}

TEST_F(ReadDispatch, ZeroLengthReadSucceedsAndLeavesTheWaitingReadsTimerAlone) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 300), STATUS_SUCCESS);
  auto waiting = port.ReadAsync(10);
  tb.Pump();
  ASSERT_TRUE(TotalTimerSet());
  auto r = port.Read(0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_TRUE(TotalTimerSet());
  tb.session().AdvanceTime(ExpiryOf(int64_t(ext()->ReadTotalTimer.DueTime.QuadPart)) -
                           tb.session().Now());
  EXPECT_TRUE(waiting.Done());
}

TEST_F(ReadDispatch, SecondReadIsRefusedAndTheFirstKeepsItsTimeoutAndLength) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 500), STATUS_SUCCESS);
  const int64_t start = tb.session().Now();
  auto first = port.ReadAsync(10);
  tb.session().AdvanceTimeMs(100);

  auto second = port.Read(3);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(second.information, 0u);
  EXPECT_EQ(ext()->ReadRemaining, 10u);
  ASSERT_TRUE(TotalTimerSet());
  EXPECT_EQ(int64_t(ext()->ReadTotalTimer.DueTime.QuadPart), start + 500 * kMs);

  // Five bytes are fewer than the first read's own ten, however short the refused read was.
  tb.modem().PushBulkIn("12345");
  tb.Pump();
  ASSERT_TRUE(first.Done());
  EXPECT_EQ(first.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(rxtest::Text(first.Result().output), "12345");
}

TEST_F(ReadDispatch, SecondReadDoesNotTakeAwayTheFirstReadsExpiry) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 500), STATUS_SUCCESS);
  auto first = port.ReadAsync(10);
  tb.session().AdvanceTimeMs(100);
  EXPECT_EQ(port.Read(3).status, STATUS_INVALID_PARAMETER);
  tb.session().AdvanceTimeMs(400);
  ASSERT_TRUE(first.Done());
  EXPECT_EQ(first.Result().status, STATUS_TIMEOUT);
}

TEST_F(ReadDispatch, ZeroLengthTransferCompletesTheWaitingReadWithTimeout) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(8);
  tb.Pump();
  tb.modem().PushZeroLengthPacket();
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(read.Result().information, 0u);
}

TEST_F(ReadDispatch, ReceiveAbortFinishesTheWaitingReadInsteadOfCancellingIt) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(8);
  tb.Pump();
  ASSERT_EQ(rxtest::Purge(port, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_TIMEOUT);
  EXPECT_EQ(read.Result().information, 0u);
}

TEST_F(ReadDispatch, AWaitingReadTakesAsMuchAsItAskedAndLeavesTheRest) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(4);
  tb.Pump();
  tb.modem().PushBulkIn("abcdefg");
  tb.Pump();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_SUCCESS);
  EXPECT_EQ(rxtest::Text(read.Result().output), "abcd");
  EXPECT_EQ(rxtest::Text(port.Read(10).output), "efg");
}

TEST_F(ReadDispatch, ReceivedCountCountsBytesDeliveredToReads) {
  const ULONG before = ext()->PerfStats.ReceivedCount;
  tb.modem().PushBulkIn(std::string(100, 'r'));
  tb.Pump();
  EXPECT_EQ(ext()->PerfStats.ReceivedCount, before);
  EXPECT_EQ(port.Read(40).information, 40u);
  EXPECT_EQ(ext()->PerfStats.ReceivedCount, before + 40);
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 0), STATUS_SUCCESS);
  auto read = port.ReadAsync(100);
  tb.Pump();
  EXPECT_TRUE(read.Done());
  EXPECT_EQ(ext()->PerfStats.ReceivedCount, before + 100);
}

TEST_F(ReadDispatch, CleanupCancelsTheWaitingReadAndStopsItsTimer) {
  ASSERT_EQ(rxtest::SetTimeouts(port, 0, 0, 500), STATUS_SUCCESS);
  auto read = port.ReadAsync(8);
  tb.Pump();
  ASSERT_TRUE(TotalTimerSet());
  EXPECT_EQ(port.Cleanup(), STATUS_SUCCESS);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
  EXPECT_FALSE(TotalTimerSet());
}

}  // namespace

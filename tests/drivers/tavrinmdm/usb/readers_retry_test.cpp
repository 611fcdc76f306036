// The readers' re-arm retry (a reader whose transfer found no request waits in ReaderRetry for
// RearmTimer): the delays between tries, one timer and one hold for both readers, and what a
// close, a sleep or a full ring meanwhile make of a retry that falls due. Virtual time with a
// clock tick of 1 (100 ns), so that each due time is exact.

#include "../power/power_test_support.h"

namespace {

using sim::Pipe;

porttest::PortTestbedOptions ExactClock() {
  porttest::PortTestbedOptions options;
  options.session.clockTick = 1;
  return options;
}

class ReadersRetry : public powertest::PowerFixture {
 protected:
  ReadersRetry() : PowerFixture(ExactClock()) {}

  uint64_t DriverIrps() {
    return host::verifier::IrpAllocationCount();
  }
  LONG Holds() { return ext()->RemoveLock.Common.IoCount; }
  ULONG Bulk() { return ext()->BulkInReaderState; }
  ULONG Notify() { return ext()->InterruptReaderState; }

  // Moves the clock 1 ms at a time for `ms`; returns the gaps (ms) between the driver's request
  // allocations (each a re-arm try, failed or not), the first measured from `start`.
  std::vector<int64_t> TryGaps(int64_t ms, int64_t start) {
    std::vector<int64_t> gaps;
    uint64_t count = DriverIrps();
    int64_t last = start;
    for (int64_t t = 0; t < ms; ++t) {
      tb.session().AdvanceTimeMs(1);
      uint64_t now = DriverIrps();
      if (now != count) {
        int64_t at = tb.session().Now() / 10000;
        gaps.push_back(at - last);
        last = at;
        count = now;
      }
    }
    return gaps;
  }

  host::app::File port;
};

// Ten tries fail: 10, 20, 40 ... 640 ms, then 1 s, and the bound holds; the eleventh arms the
// reader and the delay is back at 10 ms. The next shortage starts again at 10 ms.
TEST_F(ReadersRetry, TheDelayDoublesFromTenMillisecondsToOneSecondAndStartsAgainAfterASuccess) {
  port = rxtest::OpenPort(tb);
  host::verifier::FailIrpAllocation(1, 10);
  tb.modem().PushBulkIn("a");
  tb.Pump();
  ASSERT_EQ(Bulk(), ULONG(ReaderRetry));
  int64_t start = tb.session().Now() / 10000;
  EXPECT_EQ(TryGaps(5100, start),
            (std::vector<int64_t>{10, 20, 40, 80, 160, 320, 640, 1000, 1000, 1000}));
  EXPECT_EQ(Bulk(), ULONG(ReaderArmed));
  EXPECT_EQ(ext()->RearmDelay, ULONG(REARM_DELAY_FIRST_MS));

  host::verifier::FailIrpAllocation(1, 2);
  tb.modem().PushBulkIn("b");
  tb.Pump();
  start = tb.session().Now() / 10000;
  EXPECT_EQ(TryGaps(100, start), (std::vector<int64_t>{10, 20}));
  EXPECT_EQ(Bulk(), ULONG(ReaderArmed));
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(porttest::Text(port.Read(10).output), "ab");
}

// Both readers waiting: one timer, one hold (tag: the timer), one expiry arms both. A close with
// the retry pending takes the timer out and gives the hold back; the port opened again arms
// each reader once, and the old due time arms nothing more.
TEST_F(ReadersRetry, BothReadersShareOneTimerAndOneHoldAndACloseTakesItOut) {
  port = rxtest::OpenPort(tb);
  const LONG open = Holds();
  host::verifier::FailIrpAllocation(1, 2);
  tb.modem().PushBulkIn("x");
  tb.modem().PushSerialState(0x01);
  tb.Pump();
  ASSERT_EQ(Bulk(), ULONG(ReaderRetry));
  ASSERT_EQ(Notify(), ULONG(ReaderRetry));
  EXPECT_TRUE(ext()->RearmTimerHeld);
  EXPECT_EQ(Holds(), open - 2 + 1) << "two transfers ended, one timer hold";
  tb.session().AdvanceTimeMs(10);
  EXPECT_EQ(Bulk(), ULONG(ReaderArmed));
  EXPECT_EQ(Notify(), ULONG(ReaderArmed));
  EXPECT_EQ(Holds(), open);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);

  host::verifier::FailIrpAllocation(1, 2);
  tb.modem().PushBulkIn("y");
  tb.modem().PushSerialState(0x03);
  tb.Pump();
  ASSERT_EQ(Bulk(), ULONG(ReaderRetry));
  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_FALSE(ext()->RearmTimerHeld);
  EXPECT_EQ(Bulk(), ULONG(ReaderIdle));
  EXPECT_EQ(Notify(), ULONG(ReaderIdle));
  port = rxtest::OpenPort(tb);
  EXPECT_EQ(Holds(), open);
  tb.session().AdvanceTimeMs(2000);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 1u);
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::Interrupt), 1u);
  EXPECT_EQ(Holds(), open);
  tb.modem().PushBulkIn("z");
  tb.Pump();
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(porttest::Text(port.Read(10).output), "z") << "a reopen empties the ring";
}

// A retry that falls due while the system sleeps arms nothing in D3 (the readers go idle); the
// return to the working state arms them, and what the modem sent meanwhile arrives.
TEST_F(ReadersRetry, ARetryDueWhileTheSystemSleepsArmsNothingAndTheResumeDoes) {
  QueryCapabilities();
  port = rxtest::OpenPort(tb);
  host::verifier::FailIrpAllocation(1, 1);
  tb.modem().PushBulkIn("one");
  tb.Pump();
  ASSERT_EQ(Bulk(), ULONG(ReaderRetry));
  ASSERT_EQ(QuerySystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_EQ(SetSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  tb.modem().PushBulkIn("two");
  tb.session().AdvanceTimeMs(50);
  EXPECT_EQ(Bulk(), ULONG(ReaderIdle));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);
  EXPECT_FALSE(ext()->RearmTimerHeld);
  ASSERT_EQ(SetSystem(PowerSystemWorking).status, STATUS_SUCCESS);
  tb.Pump();
  EXPECT_EQ(Bulk(), ULONG(ReaderArmed));
  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(porttest::Text(port.Read(10).output), "onetwo");
}

// A retry that falls due with less than a transfer of room in the ring parks the bulk-IN reader
// (the modem keeps its data); reading makes room, the reader goes again, and no byte is lost.
TEST_F(ReadersRetry, ARetryDueWithAFullRingParksTheReaderAndLosesNoByte) {
  port = rxtest::OpenPort(tb);
  host::verifier::FailIrpAllocation(1, 1);
  tb.modem().PushBulkIn(rxtest::PatternBytes(0, 100));
  tb.Pump();
  ASSERT_EQ(Bulk(), ULONG(ReaderRetry));
  // The ring fills up meanwhile (as if by the bytes of transfers already on their way).
  std::vector<uint8_t> fill = rxtest::PatternBytes(100, RING_BUFFER_SIZE - 100 - 10);
  ULONG stored = 0;
  ASSERT_EQ(RingPut(ext(), fill.data(), ULONG(fill.size()), &stored), STATUS_SUCCESS);
  tb.modem().PushBulkIn(rxtest::PatternBytes(RING_BUFFER_SIZE - 10, 5000));
  tb.session().AdvanceTimeMs(10);
  EXPECT_EQ(Bulk(), ULONG(ReaderParked));
  EXPECT_EQ(tb.usb().PendingTransfers(Pipe::BulkIn), 0u);

  ASSERT_EQ(rxtest::SetTimeouts(port, MAXULONG, 0, 0), STATUS_SUCCESS);
  uint64_t got = 0;
  const uint64_t total = RING_BUFFER_SIZE - 10 + 5000;
  for (int rounds = 0; got < total && rounds < 1000; ++rounds) {
    host::app::IoResult r = port.Read(65536);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    for (size_t k = 0; k < r.output.size(); ++k) {
      ASSERT_EQ(r.output[k], rxtest::Pattern(got + k)) << "byte " << got + k;
    }
    got += r.output.size();
    tb.Pump();
  }
  EXPECT_EQ(got, total);
}

}  // namespace

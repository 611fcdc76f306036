// The paced line: character times for each framing, bulk-OUT transfers waiting on the modem's
// transmit buffer as it drains at the line rate in virtual time, the receive side coming at the
// rate, the peer holding the modem off (CTS low), RTS flow control, and the cancel of a transfer
// the buffer took in part.

#include <gtest/gtest.h>

#include "usb_client.h"

namespace sim::testing {
namespace {

TEST(LineClock, CharacterTimesFollowTheFraming) {
  struct Case {
    uint32_t bps;
    uint8_t dataBits, parity, stopBits;
    uint64_t perSecond;  // whole characters in one second
    uint64_t nsFor4096;  // time of 4096 characters, rounded up
  } cases[] = {
      {9600, 8, 0, 0, 960, 4266666667},       // 10 bits: 4.27 s for 4 KiB
      {9600, 7, 2, 2, 872, 4693333334},       // 1 + 7 + 1 + 2 = 11 bits
      {300, 8, 0, 1, 28, 143360000000},       // 10.5 bits (1.5 stop bits)
      {460800, 8, 0, 2, 41890, 97777778},     // 11 bits
      {33600, 8, 0, 0, 3360, 1219047620},
  };
  for (const Case& c : cases) {
    LineClock clock(c.bps, HalfBitsPerCharacter(c.dataBits, c.parity, c.stopBits));
    EXPECT_EQ(clock.CharactersPerSecond(), c.perSecond) << c.bps;
    EXPECT_EQ(clock.NsFor(4096), c.nsFor4096) << c.bps;
    EXPECT_EQ(clock.CharactersIn(clock.NsFor(4096)), 4096u) << c.bps;
    EXPECT_EQ(clock.CharactersIn(clock.NsFor(4096) - 1), 4095u) << c.bps;
  }
  // The meter banks no more than its burst and restarts so that it stays dropped.
  LineClock clock(9600, 20);
  LineMeter m;
  m.Start(0);
  EXPECT_EQ(m.Available(clock, 1000000000, 64), 64u);
  m.Take(64);
  EXPECT_EQ(m.Available(clock, 1000000000, 64), 0u);
  EXPECT_EQ(m.Available(clock, 1000000000 + clock.NsFor(10), 64), 10u);
}

class UsbStackLine : public UsbStackTest {
 protected:
  void Pace(size_t txBuffer, bool shortOut = false, uint32_t bps = 0, bool rtsFlow = false) {
    LineOptions line;
    line.paced = true;
    line.txBuffer = txBuffer;
    line.shortOut = shortOut;
    line.bitsPerSecond = bps;
    line.rtsFlow = rtsFlow;
    usb().SetLine(line);
    Pump();
  }
  // Runs the session until `done` or `limitMs` of virtual time; returns the virtual ms it took.
  double RunMs(const std::function<bool()>& done, int64_t limitMs) {
    const int64_t start = tb().session().Now();
    tb().session().RunUntil(done, limitMs * 10000);
    return static_cast<double>(tb().session().Now() - start) / 10000.0;
  }
  std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return b;
  }
};

// A bulk-OUT transfer completes when its last byte is in the transmit buffer: the time the line
// needs for everything but the buffer's worth (to the next 15.625 ms clock tick), and every byte
// reaches the modem once the buffer has drained.
TEST_F(UsbStackLine, BulkOutWaitsForTheTransmitBufferToDrainAtTheLineRate) {
  struct Case {
    uint32_t bps;
    size_t txBuffer;
    bool shortOut;
    uint32_t bytes;
    double expectMs;     // completion, in virtual ms
    uint32_t completed;  // TransferBufferLength at completion
  } cases[] = {
      {9600, 64, false, 4096, (4096 - 64) / 0.960, 4096},
      {9600, 4096, false, 4096, 0, 4096},
      {9600, 64, true, 4096, 0, 64},  // the function ends the transfer short
      {115200, 1024, false, 10000, (10000 - 1024) / 11.520, 10000},
      {1200, 16, false, 100, (100 - 16) / 0.120, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bps) + " bit/s, buffer " + std::to_string(c.txBuffer));
    Pace(c.txBuffer, c.shortOut, c.bps);
    modem().TakeBulkOut();
    std::vector<uint8_t> data = Pattern(c.bytes);
    URB& urb = Keep(TransferUrb(H(Pipe::BulkOut), 0, data.data(), c.bytes));
    auto r = client().Async(&urb);
    const double ms = RunMs([&] { return r->done; }, 600000);
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.completed);
    EXPECT_GE(ms, c.expectMs - 1);
    EXPECT_LE(ms, c.expectMs + 16);
    // The buffer drains in its own time; everything accepted reaches the modem, in order.
    RunMs([&] { return usb().TxBuffered() == 0; }, 600000);
    data.resize(c.completed);
    EXPECT_EQ(modem().TakeBulkOut(), std::string(data.begin(), data.end()));
  }
}

// The peer holds the modem off: CTS (bit 1) goes low, the drain stops and the transfer waits for
// as long as the hold lasts; a cancel then reports the bytes the buffer took. Letting go raises
// CTS and the line runs on.
TEST_F(UsbStackLine, AHeldPeerStopsTheDrainAndLowersCtsAndACancelReportsWhatWasTaken) {
  Pace(64);
  modem().PushSerialState(0x0003);
  uint8_t note[16];
  URB& n1 = Keep(TransferUrb(H(Pipe::Interrupt), kInFlags, note, sizeof note));
  auto first = client().Async(&n1);
  Pump();
  ASSERT_TRUE(first->done);
  EXPECT_EQ(note[8], 0x03);

  usb().HoldPeer(true);
  URB& n2 = Keep(TransferUrb(H(Pipe::Interrupt), kInFlags, note, sizeof note));
  auto lowered = client().Async(&n2);
  std::vector<uint8_t> data = Pattern(1000);
  URB& out = Keep(TransferUrb(H(Pipe::BulkOut), 0, data.data(), 1000));
  auto w = client().Async(&out);
  tb().session().AdvanceTimeMs(10000);  // ten seconds: ten times what 1000 bytes need
  ASSERT_TRUE(lowered->done);
  EXPECT_EQ(note[8], 0x01);  // DCD stays, CTS/DSR low
  EXPECT_FALSE(w->done);
  EXPECT_EQ(usb().TxBuffered(), 64u);
  EXPECT_TRUE(modem().BulkOut().empty());

  IoCancelIrp(client().LastIrp());
  ASSERT_TRUE(w->done);
  EXPECT_EQ(w->status, STATUS_CANCELLED);
  EXPECT_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);  // what it sent

  URB& n3 = Keep(TransferUrb(H(Pipe::Interrupt), kInFlags, note, sizeof note));
  auto raised = client().Async(&n3);
  usb().HoldPeer(false);
  RunMs([&] { return usb().TxBuffered() == 0; }, 1000);
  ASSERT_TRUE(raised->done);
  EXPECT_EQ(note[8], 0x03);
  data.resize(64);
  EXPECT_EQ(modem().TakeBulkOut(), std::string(data.begin(), data.end()));
}

// What the modem sends the computer comes at the line rate (after a burst of what idle time
// banked), and under RTS flow control not at all while the computer holds RTS low.
TEST_F(UsbStackLine, TheReceiveSideDeliversAtTheRateAndHonoursRts) {
  for (bool rtsFlow : {false, true}) {
    SCOPED_TRACE(rtsFlow ? "RTS flow control" : "no flow control");
    Pace(64, false, 9600, rtsFlow);
    modem().PushBulkIn(std::string(960, 'r'));
    std::vector<uint8_t> b(4096);
    size_t got = 0;
    double ms = 0;
    if (rtsFlow) {
      URB& in = Keep(TransferUrb(H(Pipe::BulkIn), kInFlags, b.data(), 4096));
      auto r = client().Async(&in);
      tb().session().AdvanceTimeMs(3000);
      EXPECT_FALSE(r->done);  // RTS is low: nothing comes
      URB lines = ClassUrb(0x22, 0x0002, nullptr, 0);
      ASSERT_EQ(client().Sync(&lines), STATUS_SUCCESS);
      ms += RunMs([&] { return r->done; }, 1000);
      got += in.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    while (got < 960) {
      URB& in = Keep(TransferUrb(H(Pipe::BulkIn), kInFlags, b.data(), 4096));
      auto r = client().Async(&in);
      ms += RunMs([&] { return r->done; }, 5000);
      ASSERT_TRUE(r->done);
      got += in.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    EXPECT_EQ(got, 960u);
    // 960 bytes at 960 bytes/s, less the 64-byte burst, to the clock tick.
    EXPECT_GE(ms, (960 - 64) / 0.960 - 1);
    EXPECT_LE(ms, 1000 + 32);
    URB lines = ClassUrb(0x22, 0x0000, nullptr, 0);
    ASSERT_EQ(client().Sync(&lines), STATUS_SUCCESS);
  }
}

}  // namespace
}  // namespace sim::testing

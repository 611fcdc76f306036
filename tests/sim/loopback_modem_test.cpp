#include "sim/loopback_modem.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fake_modem_host.h"

namespace sim::testing {
namespace {

class ModemLoopback : public ::testing::Test {
 protected:
  void Attach(LoopbackModem& m) { m.Attach(&host); }
  void Send(LoopbackModem& m, const std::string& s) {
    m.OnBulkOut(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  FakeModemHost host;
};

TEST_F(ModemLoopback, EchoesEveryByteInOrderAndCounts) {
  LoopbackModem m;
  Attach(m);
  Send(m, "hello ");
  Send(m, std::string("\0\xff world", 8));
  EXPECT_EQ(host.Take(), std::string("hello \0\xff world", 14));
  EXPECT_EQ(m.BytesIn(), 14u);
  EXPECT_EQ(m.BytesOut(), 14u);
  EXPECT_EQ(m.Pending(), 0u);
  EXPECT_TRUE(host.wakes.empty()) << "an unlimited line never needs a timer";
}

TEST_F(ModemLoopback, DsrAtAttachAndCarrierFollowsDtr) {
  LoopbackModem m;
  Attach(m);
  ASSERT_EQ(host.states, (std::vector<uint16_t>{0x0002}));
  m.OnControlLineState(0x0003);  // DTR and RTS
  m.OnControlLineState(0x0001);  // RTS drops, DTR stays: no new notification
  m.OnControlLineState(0x0000);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
  EXPECT_EQ(m.SerialState(), 0x0002);
}

TEST_F(ModemLoopback, FullFifoHoldsBytesBackUntilRoomFrees) {
  LoopbackModem m;
  Attach(m);
  host.room = 3;
  Send(m, "0123456789");
  EXPECT_EQ(host.received, "012");
  EXPECT_EQ(m.Pending(), 7u);
  host.FreeRoom(m, 4);
  EXPECT_EQ(host.received, "0123456");
  Send(m, "abc");  // behind what is still waiting
  EXPECT_EQ(host.received, "0123456");
  host.room = FakeModemHost::kUnlimited;
  m.Poll();
  EXPECT_EQ(host.Take(), "0123456789abc");
  EXPECT_EQ(m.Pending(), 0u);
}

TEST_F(ModemLoopback, RandomWritesAndRoomNeverLoseOrReorder) {
  std::mt19937 rng(1234);
  LoopbackModem m;
  Attach(m);
  host.room = 0;
  std::string sent;
  for (int round = 0; round < 2000; ++round) {
    if (rng() % 2) {
      std::string chunk(rng() % 300, '\0');
      for (auto& c : chunk) c = static_cast<char>(rng());
      sent += chunk;
      Send(m, chunk);
    } else {
      host.FreeRoom(m, rng() % 400);
    }
  }
  host.room = FakeModemHost::kUnlimited;
  m.Poll();
  EXPECT_EQ(host.received.size(), sent.size());
  EXPECT_TRUE(host.received == sent) << "bytes lost, duplicated or reordered";
}

TEST_F(ModemLoopback, LineRatePacesDeliveryWithWakes) {
  LoopbackModem m(1000);  // 1000 bytes/s: one byte per millisecond
  Attach(m);
  Send(m, "0123456789");
  EXPECT_EQ(host.received, "") << "a byte needs line time before it comes back";
  EXPECT_EQ(host.NextWake(), 1 * kMs);
  host.AdvanceTo(m, 5 * kMs + kMs / 2);
  EXPECT_EQ(host.received, "01234");
  host.AdvanceTo(m, 10 * kMs);
  EXPECT_EQ(host.received, "0123456789");
  EXPECT_EQ(host.NextWake(), UINT64_MAX);
}

TEST_F(ModemLoopback, FastLineWakesAboutOncePerMillisecond) {
  LoopbackModem m(10'000'000);  // 10 MB/s
  Attach(m);
  std::string data(100'000, 'x');
  Send(m, data);
  unsigned polls = 0;
  while (!host.wakes.empty() && polls < 1000) {
    host.AdvanceTo(m, host.NextWake());
    ++polls;
  }
  EXPECT_EQ(host.received.size(), data.size());
  EXPECT_EQ(host.now, 10 * kMs);
  EXPECT_LE(polls, 11u);
}

TEST_F(ModemLoopback, IdleLineBanksNoCreditButBusyLineDoes) {
  LoopbackModem m(1000);
  Attach(m);
  host.AdvanceTo(m, 10 * kSecond);
  Send(m, "abc");  // after a long silence: still one millisecond per byte
  EXPECT_EQ(host.received, "");
  host.Advance(m, 3 * kMs);
  EXPECT_EQ(host.Take(), "abc");

  // While the FIFO is full the looped bytes keep arriving in the modem; when room frees they
  // come out at once, as far as the line has carried them.
  host.room = 0;
  Send(m, "0123456789");
  host.Advance(m, 6 * kMs);
  EXPECT_EQ(host.received, "");
  host.FreeRoom(m, 100);
  EXPECT_EQ(host.Take(), "012345");
  host.Advance(m, 4 * kMs);
  EXPECT_EQ(host.Take(), "6789");
}

TEST_F(ModemLoopback, RateChangesApplyToWaitingBytes) {
  LoopbackModem m(10);
  Attach(m);
  Send(m, "0123456789");
  host.Advance(m, 100 * kMs);
  EXPECT_EQ(host.received, "0");
  m.SetLineRate(0);
  EXPECT_EQ(host.received, "0123456789");
}

TEST_F(ModemLoopback, PaceFromLineCodingCountsEveryBitOnTheWire) {
  LoopbackModem m;
  Attach(m);
  m.OnLineCoding(9600, 0, 0, 8);  // not following the line coding yet
  EXPECT_EQ(m.LineRate(), 0u);
  m.SetPaceFromLineCoding(true);
  m.OnLineCoding(9600, 0, 0, 8);  // 8N1: 10 bits per byte
  EXPECT_EQ(m.LineRate(), 960u);
  m.OnLineCoding(460800, 2, 0, 8);  // 8N2: 11 bits
  EXPECT_EQ(m.LineRate(), 41890u);
  m.OnLineCoding(1200, 1, 2, 7);  // 7E1.5: 1 + 7 + 1 + 1.5 = 10.5 bits
  EXPECT_EQ(m.LineRate(), 114u);
}

}  // namespace
}  // namespace sim::testing

// Dialling built-in targets, result codes of failed calls, CONNECT rates, incoming calls.
#include <string>

#include "at_fixture.h"

namespace sim::testing {
namespace {

using ModemAtDial = AtModemTest;

TEST_F(ModemAtDial, PlainNumberReachesTheEchoPeer) {
  EXPECT_EQ(Cmd("ATD5551234\r"), "ATD5551234\r\r\nCONNECT 9600\r\n");
  EXPECT_TRUE(modem.CallUp());
  EXPECT_EQ(Cmd("ping"), "ping");
}

TEST_F(ModemAtDial, ToneAndPulsePrefixesAndPunctuation) {
  modem.BindNumber("555-1234", DialTarget::Busy());
  EXPECT_EQ(Cmd("ATDT5551234\r"), "ATDT5551234\r\r\nBUSY\r\n");
  EXPECT_EQ(Cmd("ATDP (555) 12-34\r"), "ATDP (555) 12-34\r\r\nBUSY\r\n");
  EXPECT_EQ(Cmd("atdt555,1234\r"), "atdt555,1234\r\r\nBUSY\r\n");
  EXPECT_EQ(Cmd("ATDT5551235\r"), "ATDT5551235\r\r\nCONNECT 9600\r\n") << "unbound: echo";
}

TEST_F(ModemAtDial, MalformedDialStringsAreErrors) {
  for (const char* line : {"ATD\r", "ATDT\r", "ATD12X\r", "ATD1.2.3\r", "ATD1.2.3.256:80\r",
                           "ATD127.0.0.1:\r", "ATD127.0.0.1:0\r", "ATD127.0.0.1:65536\r",
                           "ATD127.0.0.1:2x\r", "ATDexample.com:23\r", "ATD1234.1.1.1:23\r"}) {
    EXPECT_EQ(Cmd(line), std::string(line) + "\r\nERROR\r\n") << line;
    EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  }
}

TEST_F(ModemAtDial, CommandsBeforeTheDialRunAndTheDialEndsTheLine) {
  EXPECT_EQ(Cmd("ATE0V0D1\r"), "ATE0V0D1\r12\r");  // CONNECT 9600 is numeric 12
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtDial, FailedCallsAndTheirResultCodes) {
  modem.BindNumber("7", DialTarget::Busy());
  modem.BindNumber("6", DialTarget::NoDialtone());
  EXPECT_EQ(Cmd("ATD7\r"), "ATD7\r\r\nBUSY\r\n");
  EXPECT_EQ(Cmd("ATD6\r"), "ATD6\r\r\nNO DIALTONE\r\n");
  EXPECT_EQ(Cmd("ATV0D7\r"), "ATV0D7\r7\r");
  EXPECT_EQ(Cmd("ATD6\r"), "ATD6\r6\r");
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002})) << "no carrier for a failed call";
  EXPECT_EQ(modem.GetCounters().calls, 0u);
}

TEST_F(ModemAtDial, ExtendedResultLevelsFoldUnknownResults) {
  modem.BindNumber("7", DialTarget::Busy());
  modem.BindNumber("6", DialTarget::NoDialtone());
  struct Case {
    const char* x;
    const char* busy;
    const char* dialtone;
  } cases[] = {
      {"0", "NO CARRIER", "NO CARRIER"}, {"1", "NO CARRIER", "NO CARRIER"},
      {"2", "NO CARRIER", "NO DIALTONE"}, {"3", "BUSY", "NO CARRIER"},
      {"4", "BUSY", "NO DIALTONE"},
  };
  ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
  for (const auto& c : cases) {
    ASSERT_EQ(Cmd(std::string("ATX") + c.x + "\r"), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("ATD7\r"), std::string("\r\n") + c.busy + "\r\n") << "X" << c.x;
    EXPECT_EQ(Cmd("ATD6\r"), std::string("\r\n") + c.dialtone + "\r\n") << "X" << c.x;
  }
  ASSERT_EQ(Cmd("ATX0D1\r"), "\r\nCONNECT\r\n") << "X0: no rate";
}

TEST_F(ModemAtDial, ConnectRateFollowsTheLineCodingOrTheConfiguration) {
  ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
  struct Case {
    uint32_t rate;
    const char* numeric;
  } cases[] = {{1200, "5"}, {2400, "10"}, {9600, "12"}, {19200, "16"}, {57600, "18"},
               {115200, "19"}, {460800, "1"}, {300, "1"}};
  for (const auto& c : cases) {
    modem.OnLineCoding(c.rate, 0, 0, 8);
    EXPECT_EQ(Cmd("ATV1D1\r"), "\r\nCONNECT " + std::to_string(c.rate) + "\r\n");
    modem.OnControlLineState(1);
    modem.OnControlLineState(0);  // &D2: hang up
    EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Cmd("ATV0D1\r"), std::string(c.numeric) + "\r") << c.rate;
    modem.OnControlLineState(1);
    modem.OnControlLineState(0);
    EXPECT_EQ(host.Take(), "3\r");
  }
  modem.SetConnectRate(33600);
  EXPECT_EQ(Cmd("ATV1D1\r"), "\r\nCONNECT 33600\r\n");
}

TEST_F(ModemAtDial, AnswerDelayHoldsTheResultBack) {
  modem.BindNumber("8", DialTarget::Echo(3 * kSecond));
  EXPECT_EQ(Cmd("ATD8\r"), "ATD8\r");
  EXPECT_EQ(modem.GetState(), AtModem::State::Dialling);
  EXPECT_EQ(Cmd("\n"), "") << "LF does not abort the dial; nothing is echoed while dialling";
  EXPECT_EQ(host.NextWake(), 3 * kSecond);
  host.AdvanceTo(modem, 3 * kSecond - 1);
  EXPECT_EQ(host.received, "");
  host.AdvanceTo(modem, 3 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(modem.SerialState(), 0x0003);
}

TEST_F(ModemAtDial, DelayedBusy) {
  modem.BindNumber("7", DialTarget::Busy(2 * kSecond));
  EXPECT_EQ(Cmd("ATD7\r"), "ATD7\r");
  host.AdvanceTo(modem, 2 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nBUSY\r\n");
}

TEST_F(ModemAtDial, NoAnswerTimesOutAfterS7) {
  modem.BindNumber("9", DialTarget::NoAnswer());
  ASSERT_EQ(Cmd("ATS7=5\r"), "ATS7=5\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATD9\r"), "ATD9\r");
  host.AdvanceTo(modem, 5 * kSecond - 1);
  EXPECT_EQ(host.received, "");
  EXPECT_EQ(modem.GetState(), AtModem::State::Dialling);
  host.AdvanceTo(modem, 5 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
}

TEST_F(ModemAtDial, AKeyPressAbortsTheDial) {
  modem.BindNumber("9", DialTarget::NoAnswer());
  EXPECT_EQ(Cmd("ATD9\r\n"), "ATD9\r");
  EXPECT_EQ(Cmd(" AT\r"), "\r\nNO CARRIER\r\nAT\r\r\nOK\r\n")
      << "the abort swallows its key; the rest is commands again";
}

TEST_F(ModemAtDial, DefaultTargetAndBindings) {
  modem.SetDefaultTarget(DialTarget::Busy());
  EXPECT_EQ(Cmd("ATD1\r"), "ATD1\r\r\nBUSY\r\n");
  modem.BindNumber("1", DialTarget::Echo());
  EXPECT_EQ(Cmd("ATD1\r"), "ATD1\r\r\nCONNECT 9600\r\n");
  modem.OnControlLineState(1);
  modem.OnControlLineState(0);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  modem.UnbindNumber("1");
  EXPECT_EQ(Cmd("ATD1\r"), "ATD1\r\r\nBUSY\r\n");
}

TEST_F(ModemAtDial, RepeatRedialsTheLastNumber) {
  modem.BindNumber("7", DialTarget::Busy());
  EXPECT_EQ(Cmd("ATD7\r"), "ATD7\r\r\nBUSY\r\n");
  EXPECT_EQ(Cmd("A/"), "A/\r\nBUSY\r\n");
  modem.BindNumber("7", DialTarget::Echo());
  EXPECT_EQ(Cmd("A/"), "A/\r\nCONNECT 9600\r\n");
}

TEST_F(ModemAtDial, StreamingPeerSendsItsPattern) {
  modem.BindNumber("2", DialTarget::Stream(5000));
  ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
  std::string got = Cmd("ATD2\r");
  std::string head = "\r\nCONNECT 9600\r\n";
  ASSERT_EQ(got.substr(0, head.size()), head);
  got.erase(0, head.size());
  ASSERT_EQ(got.size(), 5000u);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(got[i]), StreamPatternByte(i)) << i;
  }
}

TEST_F(ModemAtDial, StreamPatternHasNoShortPeriod) {
  // A reader's check only catches a lost or repeated run if the pattern does not repeat itself.
  for (uint64_t shift : {1u, 2u, 255u, 256u, 257u, 4096u, 65536u}) {
    unsigned same = 0;
    for (uint64_t i = 0; i < 4096; ++i) same += StreamPatternByte(i) == StreamPatternByte(i + shift);
    EXPECT_LT(same, 64u) << "shift " << shift;
  }
}

// --- incoming calls -----------------------------------------------------------------------

TEST_F(ModemAtDial, RingThenAnswer) {
  EXPECT_TRUE(modem.Ring(DialTarget::Echo()));
  EXPECT_EQ(host.Take(), "\r\nRING\r\n");
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x000A, 0x0002}));
  EXPECT_EQ(modem.SRegister(1), 1u);
  host.AdvanceTo(modem, 6 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nRING\r\n");
  EXPECT_EQ(modem.SRegister(1), 2u);
  EXPECT_EQ(Cmd("ATA\r"), "ATA\r\r\nCONNECT 9600\r\n");
  EXPECT_EQ(modem.SRegister(1), 0u);
  EXPECT_EQ(modem.SerialState(), 0x0003);
  EXPECT_EQ(Cmd("hi"), "hi");
  EXPECT_FALSE(modem.Ring(DialTarget::Echo())) << "the line is busy";
}

TEST_F(ModemAtDial, AutoAnswerAfterS0Rings) {
  ASSERT_EQ(Cmd("ATS0=2\r"), "ATS0=2\r\r\nOK\r\n");
  EXPECT_TRUE(modem.Ring(DialTarget::Stream(3)));
  EXPECT_EQ(host.Take(), "\r\nRING\r\n");
  host.AdvanceTo(modem, 6 * kSecond);
  std::string expect = "\r\nRING\r\n\r\nCONNECT 9600\r\n";
  for (int i = 0; i < 3; ++i) expect.push_back(static_cast<char>(StreamPatternByte(i)));
  EXPECT_EQ(host.Take(), expect);
  EXPECT_EQ(modem.GetCounters().calls, 1u);
}

TEST_F(ModemAtDial, CallerGivesUpAfterItsRings) {
  EXPECT_TRUE(modem.Ring(DialTarget::Echo(), 2));
  host.AdvanceTo(modem, 6 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nRING\r\n\r\nRING\r\n");
  EXPECT_TRUE(modem.Ringing());
  host.AdvanceTo(modem, 12 * kSecond);
  EXPECT_FALSE(modem.Ringing());
  EXPECT_EQ(host.Take(), "");
  EXPECT_EQ(modem.SRegister(1), 0u);
  EXPECT_EQ(Cmd("ATA\r"), "ATA\r\r\nNO CARRIER\r\n");
}

TEST_F(ModemAtDial, DiallingOutDropsTheIncomingCall) {
  EXPECT_TRUE(modem.Ring(DialTarget::Echo()));
  EXPECT_EQ(host.Take(), "\r\nRING\r\n");
  EXPECT_EQ(Cmd("ATD1\r"), "ATD1\r\r\nCONNECT 9600\r\n");
  EXPECT_FALSE(modem.Ringing());
  host.Advance(modem, 7 * kSecond);
  EXPECT_EQ(host.Take(), "") << "no RING in the middle of the data";
}

TEST_F(ModemAtDial, RingRefusesCallersThatCannotTalk) {
  EXPECT_FALSE(modem.Ring(DialTarget::Busy()));
  EXPECT_FALSE(modem.Ring(DialTarget::NoAnswer()));
  EXPECT_FALSE(modem.Ring(DialTarget::Echo(), 0));
  EXPECT_TRUE(modem.Ring(DialTarget::Echo()));
  EXPECT_FALSE(modem.Ring(DialTarget::Echo())) << "one caller at a time";
}

}  // namespace
}  // namespace sim::testing

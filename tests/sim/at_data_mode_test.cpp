// Data mode: the path both ways, the "+++" escape and its guard times, online command mode,
// DTR handling, carrier notifications and back-pressure.
#include <random>
#include <string>

#include "at_fixture.h"

namespace sim::testing {
namespace {

using ModemAtDataMode = AtModemTest;
using ModemAtEscape = AtModemTest;

TEST_F(ModemAtDataMode, ConnectRaisesCarrierAndDataTravelsBothWays) {
  ConnectEcho();
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003}));
  EXPECT_EQ(Cmd("ATH\r"), "ATH\r") << "in data mode commands are data (the echo peer returns them)";
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  std::string binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
  EXPECT_EQ(Cmd(binary), binary);
  const auto& c = modem.GetCounters();
  EXPECT_EQ(c.bytesToPeer, 4u + 256u);
  EXPECT_EQ(c.bytesFromPeer, 4u + 256u);
  EXPECT_EQ(c.calls, 1u);
}

TEST_F(ModemAtDataMode, NoLocalEchoInDataMode) {
  modem.BindNumber("2", DialTarget::Stream(0));  // a peer that says nothing
  ASSERT_EQ(Cmd("ATD2\r"), "ATD2\r\r\nCONNECT 9600\r\n");
  EXPECT_EQ(Cmd("hello\r"), "");
  EXPECT_EQ(modem.GetCounters().bytesToPeer, 6u);
}

TEST_F(ModemAtDataMode, CommandsAfterConnectInTheSameWriteAreData) {
  ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATD1\rAT\r"), "\r\nCONNECT 9600\r\nAT\r");
}

TEST_F(ModemAtDataMode, BackPressureLosesNothing) {
  std::mt19937 rng(77);
  modem.BindNumber("3", DialTarget::Stream(200000));
  host.room = 0;
  Send("ATD3\r");
  std::string out;
  for (int i = 0; i < 100000 && out.size() < 200000 + 64; ++i) {
    host.FreeRoom(modem, rng() % 5000);
    out += host.Take();
  }
  std::string head = "ATD3\r\r\nCONNECT 9600\r\n";
  ASSERT_EQ(out.substr(0, head.size()), head);
  std::string data = out.substr(head.size());
  ASSERT_EQ(data.size(), 200000u);
  for (size_t i = 0; i < data.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(data[i]), StreamPatternByte(i)) << "at byte " << i;
  }
  EXPECT_EQ(modem.GetState(), AtModem::State::Online) << "a streaming peer stays on the line";
}

TEST_F(ModemAtDataMode, EchoUnderBackPressureKeepsOrder) {
  ConnectEcho();
  host.room = 7;
  std::string sent;
  for (int i = 0; i < 50; ++i) {
    std::string chunk = "chunk" + std::to_string(i) + ";";
    sent += chunk;
    Send(chunk);
    host.FreeRoom(modem, 5);
  }
  host.room = FakeModemHost::kUnlimited;
  modem.Poll();
  EXPECT_EQ(host.Take(), sent);
}

TEST_F(ModemAtDataMode, PeerHangUpAfterItsDataGivesNoCarrier) {
  modem.BindNumber("4", DialTarget::Stream(10, true));
  ASSERT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");
  host.room = 15;
  Send("ATD4\r");
  EXPECT_EQ(host.Take(), "\r\nCONNECT 9600\r");  // no room yet for the rest
  EXPECT_TRUE(modem.CallUp());
  host.FreeRoom(modem, 6);
  std::string got = host.Take();
  EXPECT_EQ(got.substr(0, 1), "\n");
  EXPECT_EQ(got.size(), 6u);
  EXPECT_TRUE(modem.CallUp()) << "the carrier stays until every byte of the peer is delivered";
  host.room = FakeModemHost::kUnlimited;
  modem.Poll();
  got += host.Take();
  std::string expect = "\n";
  for (int i = 0; i < 10; ++i) expect.push_back(static_cast<char>(StreamPatternByte(i)));
  EXPECT_EQ(got, expect + "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
}

// --- the escape ---------------------------------------------------------------------------

TEST_F(ModemAtEscape, GuardTimeBothSidesGoesToOnlineCommandKeepingTheCall) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  EXPECT_EQ(Cmd("+++"), "+++") << "escape characters are data too";
  host.AdvanceTo(modem, 2 * kSecond - 1);
  EXPECT_EQ(host.received, "");
  EXPECT_EQ(host.NextWake(), 2 * kSecond);
  host.AdvanceTo(modem, 2 * kSecond);
  EXPECT_EQ(host.Take(), "\r\nOK\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
  EXPECT_EQ(modem.SerialState(), 0x0003) << "carrier kept";
  EXPECT_EQ(Cmd("ATI3\r"), "\r\nONLINE COMMAND\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATD2\r"), "\r\nERROR\r\n") << "no second call while one is up";
  EXPECT_EQ(Cmd("ATA\r"), "\r\nERROR\r\n");
  EXPECT_EQ(Cmd("ATO\r"), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  EXPECT_EQ(Cmd("back"), "back");
}

TEST_F(ModemAtEscape, EscapeNeedsNoPollWhenTheNextBytesArriveLate) {
  ConnectEcho();
  host.now = kSecond;
  EXPECT_EQ(Cmd("+++"), "+++");
  host.now = 5 * kSecond;  // no poll in between: the bytes themselves reveal the escape
  EXPECT_EQ(Cmd("AT\r"), "\r\nOK\r\n\r\nOK\r\n");
}

TEST_F(ModemAtEscape, EscapeTooSoonAfterDataIsData) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("a");
  host.Advance(modem, kSecond - 1);
  Send("+++");
  host.Advance(modem, 5 * kSecond);
  EXPECT_EQ(host.Take(), "a+++");
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, EscapeTooSoonAfterConnectIsData) {
  ConnectEcho();
  host.Advance(modem, kSecond / 2);
  Send("+++");
  host.Advance(modem, 5 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, ExactGuardTimesCount) {
  ConnectEcho();
  host.AdvanceTo(modem, kSecond);  // exactly one guard time after CONNECT
  Send("+++");
  host.AdvanceTo(modem, 2 * kSecond);  // exactly one guard time after the last '+'
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
}

TEST_F(ModemAtEscape, DataAfterTheEscapeWithinTheGuardCancelsIt) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("+++");
  host.Advance(modem, kSecond / 2);
  Send("b");
  host.Advance(modem, 5 * kSecond);
  EXPECT_EQ(host.Take(), "+++b");
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, MixedWithDataInOneWriteIsData) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("x+++");
  host.Advance(modem, 2 * kSecond);
  Send("+++y");
  host.Advance(modem, 2 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, FourEscapeCharactersAreData) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("++++");
  host.Advance(modem, 5 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  Send("++");
  Send("++");
  host.Advance(modem, 5 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, EscapeCharactersMayBeTypedSlowly) {
  ConnectEcho();
  host.AdvanceTo(modem, 2 * kSecond);
  Send("+");
  host.AdvanceTo(modem, 2 * kSecond + 900 * kMs);
  Send("+");
  host.AdvanceTo(modem, 3 * kSecond + 800 * kMs);
  Send("+");
  host.AdvanceTo(modem, 4 * kSecond + 800 * kMs - 1);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  host.AdvanceTo(modem, 4 * kSecond + 800 * kMs);
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
}

TEST_F(ModemAtEscape, PauseOfAGuardTimeInsideTheSequenceRestartsIt) {
  ConnectEcho();
  host.AdvanceTo(modem, 2 * kSecond);
  Send("+");
  host.AdvanceTo(modem, 3 * kSecond);  // a full guard time: this '+' begins a new sequence
  Send("++");
  host.AdvanceTo(modem, 4 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online) << "only two in the new sequence";
  Send("+");
  host.AdvanceTo(modem, 5 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online) << "too late for the sequence, too soon for a new one";
}

TEST_F(ModemAtEscape, GuardTimeAndEscapeCharacterFollowS12AndS2) {
  ASSERT_EQ(Cmd("ATS12=10S2=42\r"), "ATS12=10S2=42\r\r\nOK\r\n");  // 200 ms, '*'
  ConnectEcho();
  host.Advance(modem, 200 * kMs);
  Send("+++");
  host.Advance(modem, 200 * kMs);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  host.Advance(modem, 200 * kMs);
  Send("***");
  host.Advance(modem, 199 * kMs);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
  host.Advance(modem, 1 * kMs);
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
}

TEST_F(ModemAtEscape, EscapeCharacterAbove127DisablesTheEscape) {
  ASSERT_EQ(Cmd("ATS2=200\r"), "ATS2=200\r\r\nOK\r\n");
  ConnectEcho();
  host.Advance(modem, 2 * kSecond);
  Send("\xc8\xc8\xc8");
  host.Advance(modem, 2 * kSecond);
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtEscape, ZeroGuardTimeEscapesAtOnce) {
  ASSERT_EQ(Cmd("ATS12=0\r"), "ATS12=0\r\r\nOK\r\n");
  ConnectEcho();
  // The peer's echo of "data+++" waits while the modem is in online command mode.
  EXPECT_EQ(Cmd("data+++AT\r"), "\r\nOK\r\n\r\nOK\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
  EXPECT_EQ(Cmd("ATO\r"), "\r\nCONNECT 9600\r\ndata+++");
}

TEST_F(ModemAtEscape, HangUpFromOnlineCommandMode) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("+++");
  host.Advance(modem, kSecond);
  EXPECT_EQ(host.Take(), "+++\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATH\r"), "\r\nOK\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
  EXPECT_EQ(Cmd("ATO\r"), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemAtEscape, ResetInOnlineCommandModeHangsUp) {
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("+++");
  host.Advance(modem, kSecond);
  host.Take();
  EXPECT_EQ(Cmd("ATZ\r"), "\r\nOK\r\n");
  EXPECT_FALSE(modem.CallUp());
  EXPECT_EQ(modem.SerialState(), 0x0002);
}

// --- DTR ----------------------------------------------------------------------------------

TEST_F(ModemAtDataMode, DtrDropWithD2HangsUp) {
  modem.OnControlLineState(0x0003);
  ConnectEcho();
  host.Take();
  modem.OnControlLineState(0x0002);  // DTR off, RTS on
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
  modem.OnControlLineState(0x0003);
  modem.OnControlLineState(0x0002);
  EXPECT_EQ(host.Take(), "") << "nothing to hang up";
}

TEST_F(ModemAtDataMode, DtrDropWithD2InOnlineCommandModeHangsUp) {
  modem.OnControlLineState(0x0001);
  ConnectEcho();
  host.Advance(modem, kSecond);
  Send("+++");
  host.Advance(modem, kSecond);
  host.Take();
  modem.OnControlLineState(0x0000);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.CallUp());
}

TEST_F(ModemAtDataMode, DtrDropWithD1GoesToCommandMode) {
  ASSERT_EQ(Cmd("AT&D1\r"), "AT&D1\r\r\nOK\r\n");
  modem.OnControlLineState(0x0001);
  ConnectEcho();
  modem.OnControlLineState(0x0000);
  EXPECT_EQ(host.Take(), "\r\nOK\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::OnlineCommand);
  EXPECT_EQ(modem.SerialState(), 0x0003);
  modem.OnControlLineState(0x0001);
  EXPECT_EQ(Cmd("ATO\r"), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(Cmd("x"), "x");
}

TEST_F(ModemAtDataMode, DtrDropWithD0IsIgnored) {
  ASSERT_EQ(Cmd("AT&D0\r"), "AT&D0\r\r\nOK\r\n");
  modem.OnControlLineState(0x0001);
  ConnectEcho();
  modem.OnControlLineState(0x0000);
  EXPECT_EQ(host.Take(), "");
  EXPECT_EQ(modem.GetState(), AtModem::State::Online);
}

TEST_F(ModemAtDataMode, DtrDropWithD3HangsUpAndResets) {
  ASSERT_EQ(Cmd("AT&D3\r"), "AT&D3\r\r\nOK\r\n");
  modem.OnControlLineState(0x0001);
  ConnectEcho();  // leaves echo off
  modem.OnControlLineState(0x0000);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(Cmd("AT\r"), "AT\r\r\nOK\r\n") << "profile reset: echo is back on";
}

TEST_F(ModemAtDataMode, DtrDropWhileDiallingAbandonsTheCall) {
  modem.BindNumber("5", DialTarget::NoAnswer());
  modem.OnControlLineState(0x0001);
  ASSERT_EQ(Cmd("ATD5\r"), "ATD5\r");
  modem.OnControlLineState(0x0000);
  EXPECT_EQ(host.Take(), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002})) << "no carrier was ever up";
}

}  // namespace
}  // namespace sim::testing

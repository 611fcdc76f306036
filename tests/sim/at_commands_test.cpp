// The AT interpreter in command mode: editing, echo, result forms, every command, S-registers.
#include <string>

#include "at_fixture.h"

namespace sim::testing {
namespace {

using ModemAtCommands = AtModemTest;

TEST_F(ModemAtCommands, AttachReportsDsrOnly) {
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002}));
  EXPECT_EQ(modem.GetState(), AtModem::State::Command);
}

TEST_F(ModemAtCommands, PlainAtEchoesAndAnswersOk) {
  EXPECT_EQ(Cmd("AT\r"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("at\r"), "at\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("aT\r"), "aT\r\r\nOK\r\n");
  // Whatever comes before the 'A' is echoed and ignored; so is a CR with no command line.
  EXPECT_EQ(Cmd("xy\r\nAT\r"), "xy\r\nAT\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("\r"), "\r");
  EXPECT_EQ(Cmd("AAT\r"), "AAT\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("AXAT\r"), "AXAT\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, CommandLineMayArriveByteByByte) {
  std::string all;
  for (char c : std::string("ATE0\r")) all += Cmd(std::string(1, c));
  EXPECT_EQ(all, "ATE0\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, UnknownCommandAndBadValuesAreErrors) {
  for (const char* line : {"ATJ\r", "ATE2\r", "ATQ2\r", "ATV2\r", "ATX5\r", "ATH2\r", "AT&D4\r",
                           "AT&C2\r", "AT&\r", "AT&Z\r", "AT&F1\r", "ATZ2\r", "ATM4\r",
                           "ATE99999999999\r", "ATI9\r", "ATO2\r"}) {
    EXPECT_EQ(Cmd(line), std::string(line) + "\r\nERROR\r\n") << line;
  }
}

TEST_F(ModemAtCommands, EchoOffAndOn) {
  EXPECT_EQ(Cmd("ATE0\r"), "ATE0\r\r\nOK\r\n");  // typed while echo was on
  EXPECT_EQ(Cmd("AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATE\r"), "\r\nOK\r\n");  // no digit means 0
  EXPECT_EQ(Cmd("ATE1\r"), "\r\nOK\r\n");
  EXPECT_EQ(Cmd("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, QuietSuppressesResultsButNotEchoOrInformation) {
  EXPECT_EQ(Cmd("ATQ1\r"), "ATQ1\r");
  EXPECT_EQ(Cmd("AT\r"), "AT\r");
  EXPECT_EQ(Cmd("ATJ\r"), "ATJ\r");
  EXPECT_EQ(Cmd("ATI0\r"), "ATI0\r\r\nTAVRINMDM\r\n");
  EXPECT_EQ(Cmd("ATQ0\r"), "ATQ0\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, NumericResultsAndInformation) {
  EXPECT_EQ(Cmd("ATV0\r"), "ATV0\r0\r");
  EXPECT_EQ(Cmd("ATJ\r"), "ATJ\r4\r");
  EXPECT_EQ(Cmd("ATI0\r"), "ATI0\rTAVRINMDM\r\n0\r");
  EXPECT_EQ(Cmd("ATA\r"), "ATA\r3\r");  // nobody calling: NO CARRIER
  EXPECT_EQ(Cmd("ATV1\r"), "ATV1\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, SeveralCommandsOnOneLine) {
  EXPECT_EQ(Cmd("ATE0V0Q0\r"), "ATE0V0Q0\r0\r");
  EXPECT_EQ(Cmd("AT E1 V1 X4 &D2 &C1 L1 M0 &K3 P T\r"), "\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATS0?S7?\r"), "ATS0?S7?\r\r\n000\r\n\r\n050\r\n\r\nOK\r\n");
}

TEST_F(ModemAtCommands, ErrorStopsTheLineButEarlierCommandsStand) {
  EXPECT_EQ(Cmd("ATE0JE1\r"), "ATE0JE1\r\r\nERROR\r\n");
  EXPECT_EQ(Cmd("AT\r"), "\r\nOK\r\n") << "E0 took effect, E1 never ran";
}

TEST_F(ModemAtCommands, BackspaceEditsTheLine) {
  EXPECT_EQ(Cmd("ATJ\bE0\r"), "ATJ\b \bE0\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATE1\r"), "\r\nOK\r\n");
  // Back over "AT" itself, then a fresh line.
  EXPECT_EQ(Cmd("AT\b\b\bAT\r"), "AT\b \b\b \bAT\r\r\nOK\r\n");
  // S5 chooses the editing character; BS is then an ordinary (ignored) control character.
  EXPECT_EQ(Cmd("ATS5=127\r"), "ATS5=127\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATJ\x7f\b\r"), "ATJ\x7f \x7f\b\r\r\nOK\r\n");
}

TEST_F(ModemAtCommands, RepeatLastCommandWithoutCr) {
  EXPECT_EQ(Cmd("ATI0\r"), "ATI0\r\r\nTAVRINMDM\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("A/"), "A/\r\nTAVRINMDM\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("a/"), "a/\r\nTAVRINMDM\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATJ\r"), "ATJ\r\r\nERROR\r\n");
  EXPECT_EQ(Cmd("A/"), "A/\r\nERROR\r\n");
  // A '/' not right after the 'A' is nothing special.
  EXPECT_EQ(Cmd("AT/\r"), "AT/\r\r\nERROR\r\n");
}

TEST_F(ModemAtCommands, RepeatBeforeAnyCommandIsPlainAt) {
  EXPECT_EQ(Cmd("A/"), "A/\r\nOK\r\n");
}

TEST_F(ModemAtCommands, OverlongLineIsAnError) {
  std::string line = "AT" + std::string(300, 'E') + "\r";
  EXPECT_EQ(Cmd(line), line + "\r\nERROR\r\n");
  EXPECT_EQ(Cmd("AT\r"), "AT\r\r\nOK\r\n") << "the next line starts clean";
}

TEST_F(ModemAtCommands, ControlCharactersInsideALineAreIgnored) {
  EXPECT_EQ(Cmd("ATE\x01" "0\r"), "ATE\x01" "0\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("AT\r"), "\r\nOK\r\n");
}

TEST_F(ModemAtCommands, ResetAndFactoryDefaultsRestoreTheProfile) {
  for (const char* reset : {"ATZ\r", "AT&F\r"}) {
    ASSERT_EQ(Cmd("ATE0V0X0&D0S7=10S12=5\r"), "ATE0V0X0&D0S7=10S12=5\r0\r");
    EXPECT_EQ(Cmd(reset), "\r\nOK\r\n") << "the result already in the restored form";
    EXPECT_EQ(modem.SRegister(7), 50u);
    EXPECT_EQ(modem.SRegister(12), 50u);
    EXPECT_EQ(Cmd("ATI4\r"),
              "ATI4\r\r\nE1 Q0 V1 X4 &C1 &D2\r\n"
              "\r\nS0=0 S2=43 S3=13 S4=10 S5=8 S6=2 S7=50 S8=2 S10=14 S12=50\r\n\r\nOK\r\n");
  }
}

TEST_F(ModemAtCommands, IdentityAndInformation) {
  EXPECT_EQ(Cmd("ATI\r"), "ATI\r\r\nTAVRINMDM\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATI1\r"), "ATI1\r\r\nTAVRINMDM SIMULATED AT MODEM 1.0\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATI2\r"), "ATI2\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATI3\r"), "ATI3\r\r\nIDLE\r\n\r\nOK\r\n");
}

TEST_F(ModemAtCommands, LineCodingIsReportedByI5AndSRegisters) {
  EXPECT_EQ(Cmd("ATI5\r"), "ATI5\r\r\n9600,8,N,1\r\n\r\nOK\r\n") << "power-on line coding";
  EXPECT_EQ(Cmd("ATS104?\r"), "ATS104?\r\r\n0\r\n\r\nOK\r\n");
  modem.OnLineCoding(460800, 2, 0, 8);
  EXPECT_EQ(Cmd("ATI5\r"), "ATI5\r\r\n460800,8,N,2\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATS100?S101?S102?S103?S104?\r"),
            "ATS100?S101?S102?S103?S104?\r\r\n460800\r\n\r\n8\r\n\r\n0\r\n\r\n2\r\n\r\n1\r\n\r\nOK\r\n");
  modem.OnLineCoding(1200, 1, 2, 7);
  EXPECT_EQ(Cmd("ATI5\r"), "ATI5\r\r\n1200,7,E,1.5\r\n\r\nOK\r\n");
  modem.OnLineCoding(300, 9, 9, 5);
  EXPECT_EQ(Cmd("ATI5\r"), "ATI5\r\r\n300,5,?,?\r\n\r\nOK\r\n");
  EXPECT_EQ(modem.SRegister(104), 3u);
  EXPECT_EQ(Cmd("ATS100=5\r"), "ATS100=5\r\r\nERROR\r\n") << "read-only";
}

TEST_F(ModemAtCommands, SRegistersSetShowAndCheckRanges) {
  EXPECT_EQ(Cmd("ATS7=30\r"), "ATS7=30\r\r\nOK\r\n");
  EXPECT_EQ(modem.SRegister(7), 30u);
  EXPECT_EQ(Cmd("ATS7?\r"), "ATS7?\r\r\n030\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATS7=256\r"), "ATS7=256\r\r\nERROR\r\n");
  EXPECT_EQ(modem.SRegister(7), 30u);
  EXPECT_EQ(Cmd("ATS99=255\r"), "ATS99=255\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATS105?\r"), "ATS105?\r\r\nERROR\r\n");
  EXPECT_EQ(Cmd("ATS99999999999?\r"), "ATS99999999999?\r\r\nERROR\r\n");
  EXPECT_EQ(Cmd("ATS8=\r"), "ATS8=\r\r\nOK\r\n");  // no value means 0
  EXPECT_EQ(modem.SRegister(8), 0u);
  // A bare "Sn" selects the register that "?" and "=" then address.
  EXPECT_EQ(Cmd("ATS12\r"), "ATS12\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("AT?\r"), "AT?\r\r\n050\r\n\r\nOK\r\n");
  EXPECT_EQ(Cmd("AT=25\r"), "AT=25\r\r\nOK\r\n");
  EXPECT_EQ(modem.SRegister(12), 25u);
}

TEST_F(ModemAtCommands, LineCharactersFollowS3AndS4) {
  // The result of the very command that changes S3 already uses it.
  EXPECT_EQ(Cmd("ATS3=33\r"), "ATS3=33\r!\nOK!\n");
  EXPECT_EQ(Cmd("AT\r"), "AT\r") << "CR no longer ends a line";
  EXPECT_EQ(Cmd("!"), "!!\nOK!\n") << "...which went on until the '!'";
  EXPECT_EQ(Cmd("ATS4=35!"), "ATS4=35!!#OK!#");
  EXPECT_EQ(Cmd("ATV0!"), "ATV0!0!");
}

TEST_F(ModemAtCommands, HangUpAndOnlineWithoutACall) {
  EXPECT_EQ(Cmd("ATH\r"), "ATH\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATH0\r"), "ATH0\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATH1\r"), "ATH1\r\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATO\r"), "ATO\r\r\nNO CARRIER\r\n");
  EXPECT_EQ(Cmd("ATA\r"), "ATA\r\r\nNO CARRIER\r\n");
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002})) << "no carrier was ever reported";
}

TEST_F(ModemAtCommands, CarrierDetectModeC0HoldsDcdOn) {
  EXPECT_EQ(Cmd("AT&C0\r"), "AT&C0\r\r\nOK\r\n");
  EXPECT_EQ(modem.SerialState(), 0x0003);
  EXPECT_EQ(Cmd("ATD1\r"), "ATD1\r\r\nCONNECT 9600\r\n");
  host.Advance(modem, kSecond);
  EXPECT_EQ(Cmd("+++"), "+++");
  host.Advance(modem, kSecond);
  EXPECT_EQ(host.Take(), "\r\nOK\r\n");
  EXPECT_EQ(Cmd("ATH\r"), "ATH\r\r\nOK\r\n");
  EXPECT_EQ(modem.SerialState(), 0x0003) << "DCD stays on under &C0 after the hang-up";
  EXPECT_EQ(Cmd("AT&C1\r"), "AT&C1\r\r\nOK\r\n");
  EXPECT_EQ(host.states, (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));
}

TEST_F(ModemAtCommands, OutputWaitsForRoomAndKeepsItsOrder) {
  host.room = 0;
  Send("ATI0\r");
  Send("ATJ\r");
  EXPECT_EQ(host.received, "");
  while (host.received.size() < 100 && modem.PendingToHost() != 0) host.FreeRoom(modem, 3);
  EXPECT_EQ(host.received, "ATI0\r\r\nTAVRINMDM\r\n\r\nOK\r\nATJ\r\r\nERROR\r\n");
  EXPECT_EQ(modem.GetCounters().bytesToHost, host.received.size());
  EXPECT_EQ(modem.GetCounters().bytesFromHost, 9u);
}

}  // namespace
}  // namespace sim::testing

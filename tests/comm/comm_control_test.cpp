// The one-request serial functions: which control code each sends, with which input and output
// length, how the answers are turned into the Windows records, and that the driver's status
// comes back unchanged.
#include <cstring>
#include <functional>

#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::Port;

class CommControl : public CommFixture {};

struct Call {
  const char* name;
  std::function<NTSTATUS(Port&)> call;
  ULONG code;
  std::vector<uint8_t> input;
  ULONG outputLength;
};

std::vector<Call> OneRequestCalls() {
  comm::COMMTIMEOUTS timeouts{comm::MAXDWORD, 0, 500, 10, 1000};
  SERIAL_TIMEOUTS serialTimeouts{MAXULONG, 0, 500, 10, 1000};
  SERIAL_QUEUE_SIZE queue{4096, 2048};
  static comm::COMMTIMEOUTS gotTimeouts;
  static DWORD word;
  static comm::COMSTAT stat;
  static comm::COMMPROP prop;
  static SERIALPERF_STATS stats;
  return {
      {"SetCommTimeouts", [=](Port& p) { return comm::SetCommTimeouts(p, timeouts); },
       IOCTL_SERIAL_SET_TIMEOUTS, Bytes(serialTimeouts), 0},
      {"GetCommTimeouts", [](Port& p) { return comm::GetCommTimeouts(p, &gotTimeouts); },
       IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
      {"SetCommMask", [](Port& p) { return comm::SetCommMask(p, comm::EV_RLSD | comm::EV_RXCHAR); },
       IOCTL_SERIAL_SET_WAIT_MASK, Word(0x21), 0},
      {"GetCommMask", [](Port& p) { return comm::GetCommMask(p, &word); },
       IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
      {"PurgeComm", [](Port& p) {
         return comm::PurgeComm(p, comm::PURGE_TXABORT | comm::PURGE_RXABORT |
                                       comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
       },
       IOCTL_SERIAL_PURGE, Word(0xF), 0},
      {"PurgeComm(RXCLEAR)", [](Port& p) { return comm::PurgeComm(p, comm::PURGE_RXCLEAR); },
       IOCTL_SERIAL_PURGE, Word(SERIAL_PURGE_RXCLEAR), 0},
      {"SETXOFF", [](Port& p) { return comm::EscapeCommFunction(p, comm::SETXOFF); },
       IOCTL_SERIAL_SET_XOFF, {}, 0},
      {"SETXON", [](Port& p) { return comm::EscapeCommFunction(p, comm::SETXON); },
       IOCTL_SERIAL_SET_XON, {}, 0},
      {"SETRTS", [](Port& p) { return comm::EscapeCommFunction(p, comm::SETRTS); },
       IOCTL_SERIAL_SET_RTS, {}, 0},
      {"CLRRTS", [](Port& p) { return comm::EscapeCommFunction(p, comm::CLRRTS); },
       IOCTL_SERIAL_CLR_RTS, {}, 0},
      {"SETDTR", [](Port& p) { return comm::EscapeCommFunction(p, comm::SETDTR); },
       IOCTL_SERIAL_SET_DTR, {}, 0},
      {"CLRDTR", [](Port& p) { return comm::EscapeCommFunction(p, comm::CLRDTR); },
       IOCTL_SERIAL_CLR_DTR, {}, 0},
      {"RESETDEV", [](Port& p) { return comm::EscapeCommFunction(p, comm::RESETDEV); },
       IOCTL_SERIAL_RESET_DEVICE, {}, 0},
      {"SETBREAK", [](Port& p) { return comm::EscapeCommFunction(p, comm::SETBREAK); },
       IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
      {"CLRBREAK", [](Port& p) { return comm::EscapeCommFunction(p, comm::CLRBREAK); },
       IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
      {"SetCommBreak", [](Port& p) { return comm::SetCommBreak(p); },
       IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
      {"ClearCommBreak", [](Port& p) { return comm::ClearCommBreak(p); },
       IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
      {"ClearCommError", [](Port& p) { return comm::ClearCommError(p, &word, &stat); },
       IOCTL_SERIAL_GET_COMMSTATUS, {}, 20},
      {"GetCommModemStatus", [](Port& p) { return comm::GetCommModemStatus(p, &word); },
       IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
      {"GetCommProperties", [](Port& p) { return comm::GetCommProperties(p, &prop); },
       IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
      {"TransmitCommChar", [](Port& p) { return comm::TransmitCommChar(p, 'A'); },
       IOCTL_SERIAL_IMMEDIATE_CHAR, {'A'}, 0},
      {"SetupComm", [](Port& p) { return comm::SetupComm(p, 4096, 2048); },
       IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(queue), 0},
      {"GetCommStatistics", [](Port& p) { return comm::GetCommStatistics(p, &stats); },
       IOCTL_SERIAL_GET_STATS, {}, 24},
      {"ClearCommStatistics", [](Port& p) { return comm::ClearCommStatistics(p); },
       IOCTL_SERIAL_CLEAR_STATS, {}, 0},
  };
}

TEST_F(CommControl, EachCallSendsItsOneControlRequest) {
  Port port = OpenPort();
  for (const Call& c : OneRequestCalls()) {
    SCOPED_TRACE(c.name);
    fake().ClearLog();
    // Record-returning calls need the full record back.
    if (c.outputLength) {
      fake().AnswerNextControl(c.code,
                               {STATUS_SUCCESS, std::vector<uint8_t>(c.outputLength, 0)});
    }
    EXPECT_EQ(c.call(port), STATUS_SUCCESS);
    std::vector<Seen> log = fake().Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(CodeName(log[0].code), CodeName(c.code));
    EXPECT_EQ(log[0].input, c.input);
    EXPECT_EQ(log[0].length, c.outputLength);
  }
}

TEST_F(CommControl, TheDriversStatusComesBackUnchanged) {
  Port port = OpenPort();
  const NTSTATUS statuses[] = {STATUS_INVALID_PARAMETER, STATUS_DELETE_PENDING,
                               STATUS_INVALID_DEVICE_REQUEST, STATUS_BUFFER_TOO_SMALL,
                               STATUS_CANCELLED, STATUS_UNSUCCESSFUL, STATUS_DEVICE_BUSY,
                               STATUS_TIMEOUT, static_cast<NTSTATUS>(0xC0001234)};
  for (const Call& c : OneRequestCalls()) {
    for (NTSTATUS status : statuses) {
      SCOPED_TRACE(testing::Message() << c.name << " " << comm::StatusName(status));
      fake().ClearLog();
      Answer answer{status};
      if (NT_SUCCESS(status)) answer.output.assign(c.outputLength, 0);
      fake().AnswerNextControl(c.code, answer);
      EXPECT_EQ(c.call(port), status);
      EXPECT_EQ(port.LastStatus(), status);
      EXPECT_EQ(comm::GetLastStatus(), status);
      EXPECT_EQ(fake().Log().size(), 1u);
    }
  }
}

TEST_F(CommControl, EscapeCommFunctionRefusesAnUnknownFunctionWithoutSending) {
  Port port = OpenPort();
  for (DWORD function : {0u, 10u, 0xFFFFFFFFu}) {
    EXPECT_EQ(comm::EscapeCommFunction(port, function), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(port.LastStatus(), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(fake().Log().empty());
}

TEST_F(CommControl, ClearCommErrorTranslatesEachErrorAndHoldBit) {
  Port port = OpenPort();
  struct ErrorCase {
    ULONG serial;
    DWORD ce;
  };
  for (ErrorCase e : {ErrorCase{SERIAL_ERROR_BREAK, comm::CE_BREAK},
                      ErrorCase{SERIAL_ERROR_FRAMING, comm::CE_FRAME},
                      ErrorCase{SERIAL_ERROR_OVERRUN, comm::CE_OVERRUN},
                      ErrorCase{SERIAL_ERROR_QUEUEOVERRUN, comm::CE_RXOVER},
                      ErrorCase{SERIAL_ERROR_PARITY, comm::CE_RXPARITY}}) {
    SERIAL_STATUS serial{};
    serial.Errors = e.serial;
    fake().AnswerNextControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_SUCCESS, Bytes(serial)});
    DWORD errors = 0xDEAD;
    ASSERT_EQ(comm::ClearCommError(port, &errors, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(errors, e.ce) << std::hex << e.serial;
  }

  SERIAL_STATUS serial{};
  serial.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD |
                       SERIAL_TX_WAITING_XOFF_SENT;
  serial.AmountInInQueue = 1000;
  serial.AmountInOutQueue = 77;
  serial.EofReceived = TRUE;
  fake().AnswerNextControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_SUCCESS, Bytes(serial)});
  comm::COMSTAT stat;
  DWORD errors = 0xDEAD;
  ASSERT_EQ(comm::ClearCommError(port, &errors, &stat), STATUS_SUCCESS);
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(stat.fCtsHold, 1u);
  EXPECT_EQ(stat.fDsrHold, 0u);
  EXPECT_EQ(stat.fRlsdHold, 1u);
  EXPECT_EQ(stat.fXoffHold, 0u);
  EXPECT_EQ(stat.fXoffSent, 1u);
  EXPECT_EQ(stat.fEof, 1u);
  EXPECT_EQ(stat.fTxim, 0u);
  EXPECT_EQ(stat.cbInQue, 1000u);
  EXPECT_EQ(stat.cbOutQue, 77u);

  serial = {};
  serial.HoldReasons = SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_XON;
  serial.WaitForImmediate = TRUE;
  fake().AnswerNextControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_SUCCESS, Bytes(serial)});
  ASSERT_EQ(comm::ClearCommError(port, nullptr, &stat), STATUS_SUCCESS);
  EXPECT_EQ(stat.fCtsHold + stat.fRlsdHold + stat.fXoffSent + stat.fEof, 0u);
  EXPECT_EQ(stat.fDsrHold, 1u);
  EXPECT_EQ(stat.fXoffHold, 1u);
  EXPECT_EQ(stat.fTxim, 1u);
}

TEST_F(CommControl, ModemStatusAndPropertiesAreTheDriversWords) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_GET_MODEMSTATUS,
                           {STATUS_SUCCESS, Word(SERIAL_DCD_STATE | SERIAL_DSR_STATE |
                                                 SERIAL_CTS_STATE)});
  DWORD modem = 0;
  ASSERT_EQ(comm::GetCommModemStatus(port, &modem), STATUS_SUCCESS);
  EXPECT_EQ(modem, comm::MS_RLSD_ON | comm::MS_DSR_ON | comm::MS_CTS_ON);
  EXPECT_EQ(comm::MS_RING_ON, DWORD(SERIAL_RI_STATE));

  SERIAL_COMMPROP serial{};
  serial.PacketLength = 64;
  serial.PacketVersion = 2;
  serial.ServiceMask = SERIAL_SP_SERIALCOMM;
  serial.MaxBaud = SERIAL_BAUD_USER;
  serial.ProvSubType = SERIAL_SP_RS232;
  serial.ProvCapabilities = 0xCF;
  serial.SettableParams = 0x7F;
  serial.SettableBaud = 0x1007FFFF;
  serial.SettableData = 0x000F;
  serial.SettableStopParity = 0x1F07;
  serial.CurrentRxQueue = 1024000;
  serial.ProvSpec2 = 9;
  fake().AnswerNextControl(IOCTL_SERIAL_GET_PROPERTIES, {STATUS_SUCCESS, Bytes(serial)});
  comm::COMMPROP prop;
  ASSERT_EQ(comm::GetCommProperties(port, &prop), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&prop, &serial, sizeof(prop)), 0);
  EXPECT_EQ(prop.dwProvCapabilities,
            comm::PCF_DTRDSR | comm::PCF_RTSCTS | comm::PCF_RLSD | comm::PCF_PARITY_CHECK |
                comm::PCF_TOTALTIMEOUTS | comm::PCF_INTTIMEOUTS);
  EXPECT_EQ(prop.wSettableStopParity,
            comm::WORD(comm::STOPBITS_10 | comm::STOPBITS_15 | comm::STOPBITS_20 | comm::PARITY_NONE |
                  comm::PARITY_ODD | comm::PARITY_EVEN | comm::PARITY_MARK |
                  comm::PARITY_SPACE));
  EXPECT_EQ(prop.dwCurrentRxQueue, 1024000u);
}

TEST_F(CommControl, RecordsComeBackAsTheDriverHoldsThem) {
  Port port = OpenPort();
  comm::COMMTIMEOUTS set{comm::MAXDWORD, comm::MAXDWORD, 500, 0, 0};
  ASSERT_EQ(comm::SetCommTimeouts(port, set), STATUS_SUCCESS);
  comm::COMMTIMEOUTS got{1, 1, 1, 1, 1};
  ASSERT_EQ(comm::GetCommTimeouts(port, &got), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&got, &set, sizeof(got)), 0);

  ASSERT_EQ(comm::SetCommMask(port, 0x1FFF), STATUS_SUCCESS);
  DWORD mask = 0;
  ASSERT_EQ(comm::GetCommMask(port, &mask), STATUS_SUCCESS);
  EXPECT_EQ(mask, 0x1FFFu);

  SERIALPERF_STATS stats{1000, 500, 1, 2, 3, 4};
  fake().AnswerNextControl(IOCTL_SERIAL_GET_STATS, {STATUS_SUCCESS, Bytes(stats)});
  SERIALPERF_STATS got_stats{};
  ASSERT_EQ(comm::GetCommStatistics(port, &got_stats), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&got_stats, &stats, sizeof(stats)), 0);
}

TEST_F(CommControl, AFailedOrShortAnswerLeavesTheOutputAlone) {
  Port port = OpenPort();
  DWORD modem = 0x5A5A;
  fake().AnswerNextControl(IOCTL_SERIAL_GET_MODEMSTATUS, {STATUS_DELETE_PENDING});
  EXPECT_EQ(comm::GetCommModemStatus(port, &modem), STATUS_DELETE_PENDING);
  EXPECT_EQ(modem, 0x5A5Au);
  fake().AnswerNextControl(IOCTL_SERIAL_GET_MODEMSTATUS, {STATUS_SUCCESS, Word(0x30), 2});
  EXPECT_EQ(comm::GetCommModemStatus(port, &modem), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(modem, 0x5A5Au);

  comm::COMMTIMEOUTS timeouts{7, 7, 7, 7, 7};
  fake().AnswerNextControl(IOCTL_SERIAL_GET_TIMEOUTS,
                           {STATUS_SUCCESS, std::vector<uint8_t>(20, 0), 19});
  EXPECT_EQ(comm::GetCommTimeouts(port, &timeouts), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 7u);

  DWORD errors = 0x77;
  comm::COMSTAT stat;
  stat.cbInQue = 5;
  fake().AnswerNextControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_INVALID_DEVICE_REQUEST});
  EXPECT_EQ(comm::ClearCommError(port, &errors, &stat), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(errors, 0x77u);
  EXPECT_EQ(stat.cbInQue, 5u);
}

}  // namespace
}  // namespace commtest

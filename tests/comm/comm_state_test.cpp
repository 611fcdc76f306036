// SetCommState and GetCommState: the exact request sequences, the records built from the DCB,
// the DCB built back, and stopping at the first failure.
#include <cstring>

#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::DCB;
using comm::Port;

class CommState : public CommFixture {};

DCB Modem115200() {
  DCB dcb;
  dcb.BaudRate = comm::CBR_115200;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = comm::NOPARITY;
  dcb.StopBits = comm::ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  return dcb;
}

std::vector<std::string> Names(std::initializer_list<ULONG> codes) {
  return CodeNames(std::vector<ULONG>(codes));
}

TEST_F(CommState, SetCommStateSendsTheWindowsSequenceWithTheRecordsBuiltFromTheDcb) {
  Port port = OpenPort();
  ASSERT_EQ(comm::SetCommState(port, Modem115200()), STATUS_SUCCESS);
  std::vector<Seen> log = fake().Log();
  ASSERT_EQ(CodeNames(fake().ControlCodes()),
            Names({IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR,
                   IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                   IOCTL_SERIAL_SET_HANDFLOW}));
  EXPECT_EQ(log[0].input, Word(115200));
  EXPECT_TRUE(log[1].input.empty());
  EXPECT_TRUE(log[2].input.empty());
  EXPECT_EQ(log[3].input, (std::vector<uint8_t>{STOP_BIT_1, NO_PARITY, 8}));
  // EofChar, ErrorChar, BreakChar (the error character), EventChar, XonChar, XoffChar.
  EXPECT_EQ(log[4].input, (std::vector<uint8_t>{0x1A, '?', '?', '\n', 0x11, 0x13}));
  SERIAL_HANDFLOW handFlow{};
  ASSERT_EQ(log[5].input.size(), sizeof(handFlow));
  std::memcpy(&handFlow, log[5].input.data(), sizeof(handFlow));
  EXPECT_EQ(handFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE));
  EXPECT_EQ(handFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT |
                                        SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE));
  EXPECT_EQ(handFlow.XonLimit, 2048);
  EXPECT_EQ(handFlow.XoffLimit, 512);
  for (const Seen& seen : log) EXPECT_EQ(seen.length, 0u) << CodeName(seen.code);
}

TEST_F(CommState, LineRequestsFollowTheControlModesAndHandshakeModesSendNone) {
  struct Case {
    DWORD rts, dtr;
    std::vector<ULONG> lineCodes;
    ULONG controlHandShake, flowReplace;
  };
  const Case cases[] = {
      {comm::RTS_CONTROL_DISABLE, comm::DTR_CONTROL_DISABLE,
       {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}, 0, 0},
      {comm::RTS_CONTROL_ENABLE, comm::DTR_CONTROL_DISABLE,
       {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR}, 0, SERIAL_RTS_CONTROL},
      {comm::RTS_CONTROL_HANDSHAKE, comm::DTR_CONTROL_HANDSHAKE, {},
       SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE},
      {comm::RTS_CONTROL_TOGGLE, comm::DTR_CONTROL_ENABLE, {IOCTL_SERIAL_SET_DTR},
       SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE},
      {comm::RTS_CONTROL_DISABLE, comm::DTR_CONTROL_HANDSHAKE, {IOCTL_SERIAL_CLR_RTS},
       SERIAL_DTR_HANDSHAKE, 0},
  };
  Port port = OpenPort();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rts " << c.rts << " dtr " << c.dtr);
    fake().ClearLog();
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.fRtsControl = c.rts;
    dcb.fDtrControl = c.dtr;
    ASSERT_EQ(comm::SetCommState(port, dcb), STATUS_SUCCESS);
    std::vector<ULONG> expected{IOCTL_SERIAL_SET_BAUD_RATE};
    expected.insert(expected.end(), c.lineCodes.begin(), c.lineCodes.end());
    expected.insert(expected.end(), {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                     IOCTL_SERIAL_SET_HANDFLOW});
    EXPECT_EQ(CodeNames(fake().ControlCodes()), CodeNames(expected));
    SERIAL_HANDFLOW handFlow{};
    std::memcpy(&handFlow, fake().Log().back().input.data(), sizeof(handFlow));
    EXPECT_EQ(handFlow.ControlHandShake, c.controlHandShake);
    EXPECT_EQ(handFlow.FlowReplace, c.flowReplace);
  }
}

TEST_F(CommState, EachDcbFlagHasItsOwnHandFlowBit) {
  struct Case {
    const char* flag;
    void (*set)(DCB&);
    ULONG controlHandShake, flowReplace;
  };
  const Case cases[] = {
      {"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, SERIAL_CTS_HANDSHAKE, 0},
      {"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, SERIAL_DSR_HANDSHAKE, 0},
      {"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, SERIAL_DSR_SENSITIVITY, 0},
      {"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, SERIAL_ERROR_ABORT, 0},
      {"fOutX", [](DCB& d) { d.fOutX = 1; }, 0, SERIAL_AUTO_TRANSMIT},
      {"fInX", [](DCB& d) { d.fInX = 1; }, 0, SERIAL_AUTO_RECEIVE},
      {"fErrorChar", [](DCB& d) { d.fErrorChar = 1; }, 0, SERIAL_ERROR_CHAR},
      {"fNull", [](DCB& d) { d.fNull = 1; }, 0, SERIAL_NULL_STRIPPING},
      {"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0, SERIAL_XOFF_CONTINUE},
      {"fBinary and fParity", [](DCB& d) { d.fBinary = d.fParity = 1; }, 0, 0},
  };
  for (const Case& c : cases) {
    DCB dcb;
    c.set(dcb);
    SERIAL_HANDFLOW handFlow = comm::HandFlowFromDcb(dcb);
    EXPECT_EQ(handFlow.ControlHandShake, c.controlHandShake) << c.flag;
    EXPECT_EQ(handFlow.FlowReplace, c.flowReplace) << c.flag;
    // And back: the flag alone comes back (fBinary and fParity are always reported set).
    DCB back = comm::DcbFromRecords({0}, {}, {}, handFlow);
    dcb.fBinary = dcb.fParity = 1;
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof(DCB)), 0) << c.flag;
  }
}

TEST_F(CommState, SetCommStateStopsAtTheFirstFailureAndReturnsIt) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_SET_LINE_CONTROL, {STATUS_INVALID_PARAMETER});
  DCB dcb = Modem115200();
  dcb.ByteSize = 9;
  EXPECT_EQ(comm::SetCommState(port, dcb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CodeNames(fake().ControlCodes()),
            Names({IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR,
                   IOCTL_SERIAL_SET_LINE_CONTROL}));
  EXPECT_EQ(port.LastStatus(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(comm::GetLastStatus(), STATUS_INVALID_PARAMETER);

  fake().ClearLog();
  fake().AnswerNextControl(IOCTL_SERIAL_SET_BAUD_RATE, {STATUS_INVALID_PARAMETER});
  EXPECT_EQ(comm::SetCommState(port, dcb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CodeNames(fake().ControlCodes()), Names({IOCTL_SERIAL_SET_BAUD_RATE}));

  // A failing line request stops the sequence too: the driver's word is final.
  fake().ClearLog();
  fake().AnswerNextControl(IOCTL_SERIAL_SET_DTR, {STATUS_DELETE_PENDING});
  EXPECT_EQ(comm::SetCommState(port, Modem115200()), STATUS_DELETE_PENDING);
  EXPECT_EQ(CodeNames(fake().ControlCodes()),
            Names({IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR}));

  // A warning is a failure as well.
  fake().ClearLog();
  fake().AnswerNextControl(IOCTL_SERIAL_SET_CHARS, {STATUS_DEVICE_BUSY});
  EXPECT_EQ(comm::SetCommState(port, Modem115200()), STATUS_DEVICE_BUSY);
  EXPECT_EQ(fake().ControlCodes().back(), ULONG(IOCTL_SERIAL_SET_CHARS));
}

TEST_F(CommState, GetCommStateAsksForTheFourRecordsInOrderAndBuildsTheDcb) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_GET_BAUD_RATE, {STATUS_SUCCESS, Word(460800)});
  fake().AnswerNextControl(IOCTL_SERIAL_GET_LINE_CONTROL,
                           {STATUS_SUCCESS, {STOP_BITS_2, EVEN_PARITY, 7}});
  fake().AnswerNextControl(IOCTL_SERIAL_GET_CHARS,
                           {STATUS_SUCCESS, {0x04, 0x7F, 0x00, 0x0D, 0x11, 0x13}});
  SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY,
                           SERIAL_RTS_HANDSHAKE | SERIAL_NULL_STRIPPING, 100, 200};
  fake().AnswerNextControl(IOCTL_SERIAL_GET_HANDFLOW, {STATUS_SUCCESS, Bytes(handFlow)});
  DCB dcb;
  ASSERT_EQ(comm::GetCommState(port, &dcb), STATUS_SUCCESS);
  std::vector<Seen> log = fake().Log();
  ASSERT_EQ(CodeNames(fake().ControlCodes()),
            Names({IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                   IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW}));
  EXPECT_EQ(log[0].length, 4u);
  EXPECT_EQ(log[1].length, 3u);
  EXPECT_EQ(log[2].length, 6u);
  EXPECT_EQ(log[3].length, 16u);
  for (const Seen& seen : log) EXPECT_TRUE(seen.input.empty());

  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 460800u);
  EXPECT_EQ(dcb.StopBits, comm::TWOSTOPBITS);
  EXPECT_EQ(dcb.Parity, comm::EVENPARITY);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.EofChar, 0x04);
  EXPECT_EQ(dcb.ErrorChar, 0x7F);
  EXPECT_EQ(dcb.EvtChar, 0x0D);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.fDtrControl, comm::DTR_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fRtsControl, comm::RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(dcb.fDsrSensitivity, 1u);
  EXPECT_EQ(dcb.fNull, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutxDsrFlow + dcb.fOutX + dcb.fInX + dcb.fErrorChar +
                dcb.fTXContinueOnXoff + dcb.fAbortOnError,
            0u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.XoffLim, 200);
}

TEST_F(CommState, WhatIsSetComesBackThroughTheDriver) {
  Port port = OpenPort();
  std::vector<DCB> dcbs;
  dcbs.push_back(Modem115200());
  DCB odd;
  odd.BaudRate = 300;
  odd.fBinary = odd.fParity = 1;
  odd.fOutxDsrFlow = odd.fDsrSensitivity = odd.fErrorChar = odd.fNull = odd.fAbortOnError = 1;
  odd.fDtrControl = comm::DTR_CONTROL_HANDSHAKE;
  odd.fRtsControl = comm::RTS_CONTROL_TOGGLE;
  odd.XonLim = 0xFFFF;
  odd.XoffLim = 1;
  odd.ByteSize = 5;
  odd.Parity = comm::SPACEPARITY;
  odd.StopBits = comm::ONE5STOPBITS;
  odd.XonChar = static_cast<char>(0x91);
  odd.XoffChar = static_cast<char>(0x93);
  odd.ErrorChar = static_cast<char>(0xFF);
  odd.EofChar = 0;
  odd.EvtChar = 0x7E;
  dcbs.push_back(odd);
  for (const DCB& set : dcbs) {
    SCOPED_TRACE(set.BaudRate);
    ASSERT_EQ(comm::SetCommState(port, set), STATUS_SUCCESS);
    DCB got;
    got.BaudRate = 1;
    ASSERT_EQ(comm::GetCommState(port, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &set, sizeof(DCB)), 0);
  }
}

TEST_F(CommState, GetCommStateStopsAtTheFirstFailureAndLeavesTheDcb) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_GET_CHARS, {STATUS_BUFFER_TOO_SMALL});
  DCB dcb;
  dcb.BaudRate = 1234;
  EXPECT_EQ(comm::GetCommState(port, &dcb), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(CodeNames(fake().ControlCodes()),
            Names({IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                   IOCTL_SERIAL_GET_CHARS}));
  EXPECT_EQ(dcb.BaudRate, 1234u);
  EXPECT_EQ(comm::ErrorFromStatus(port.LastStatus()).code, 122u);  // ERROR_INSUFFICIENT_BUFFER
}

TEST_F(CommState, ASuccessWithAShortRecordIsNotASuccess) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_GET_HANDFLOW,
                           {STATUS_SUCCESS, std::vector<uint8_t>(16, 0xAB), 8});
  DCB dcb;
  dcb.BaudRate = 1234;
  EXPECT_EQ(comm::GetCommState(port, &dcb), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(dcb.BaudRate, 1234u);
  EXPECT_EQ(comm::ErrorFromStatus(STATUS_INFO_LENGTH_MISMATCH).code, 24u);  // ERROR_BAD_LENGTH
}

}  // namespace
}  // namespace commtest

// The example of docs/comm-api.md, run against the fake driver: the whole conversation of an
// application that sets the line, dials, reads the answer and waits for the carrier.
#include "comm_fixture.h"

namespace commtest {
namespace {

using namespace comm;

class CommExample : public CommFixture {};

TEST_F(CommExample, DialAndWaitForCarrier) {
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, {'C', 'O', 'N', 'N', 'E', 'C', 'T'}});
  fake().AnswerNextControl(IOCTL_SERIAL_GET_MODEMSTATUS, {STATUS_SUCCESS, Word(MS_DSR_ON)});
  fake().AnswerNextControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_SUCCESS, Word(EV_RLSD)});
  fake().AnswerNextControl(IOCTL_SERIAL_GET_MODEMSTATUS,
                           {STATUS_SUCCESS, Word(MS_DSR_ON | MS_RLSD_ON)});

  Port port;
  ASSERT_EQ(CreateFile("COM7", &port), STATUS_SUCCESS);
  DCB dcb;
  ASSERT_EQ(GetCommState(port, &dcb), STATUS_SUCCESS);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_EQ(SetCommState(port, dcb), STATUS_SUCCESS);
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 2000, 0, 0};
  ASSERT_EQ(SetCommTimeouts(port, timeouts), STATUS_SUCCESS);
  DWORD n = 0;
  ASSERT_EQ(WriteFile(port, "ATDT5551234\r", 12, &n), STATUS_SUCCESS);
  char reply[256];
  ASSERT_EQ(ReadFile(port, reply, sizeof(reply), &n), STATUS_SUCCESS);
  EXPECT_EQ(std::string(reply, n), "CONNECT");
  ASSERT_EQ(SetCommMask(port, EV_RLSD), STATUS_SUCCESS);
  DWORD modem = 0, events = 0, waits = 0;
  while (GetCommModemStatus(port, &modem) == STATUS_SUCCESS && !(modem & MS_RLSD_ON)) {
    if (!NT_SUCCESS(WaitCommEvent(port, &events))) break;
    ++waits;
  }
  EXPECT_EQ(waits, 1u);
  EXPECT_EQ(events, EV_RLSD);
  EXPECT_EQ(CloseHandle(port), STATUS_SUCCESS);

  std::vector<std::string> conversation;
  for (const Seen& seen : fake().Log()) {
    switch (seen.major) {
      case IRP_MJ_CREATE: conversation.push_back("CREATE"); break;
      case IRP_MJ_CLEANUP: conversation.push_back("CLEANUP"); break;
      case IRP_MJ_CLOSE: conversation.push_back("CLOSE"); break;
      case IRP_MJ_READ: conversation.push_back("READ"); break;
      case IRP_MJ_WRITE: conversation.push_back("WRITE " + Text(seen.input)); break;
      default: conversation.push_back(CodeName(seen.code)); break;
    }
  }
  EXPECT_EQ(conversation,
            (std::vector<std::string>{
                "CREATE", "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW",
                "SET_BAUD_RATE", "SET_RTS", "SET_DTR", "SET_LINE_CONTROL", "SET_CHARS",
                "SET_HANDFLOW", "SET_TIMEOUTS", "WRITE ATDT5551234\r", "READ", "SET_WAIT_MASK",
                "GET_MODEMSTATUS", "WAIT_ON_MASK", "GET_MODEMSTATUS", "CLEANUP", "CLOSE"}));
}

}  // namespace
}  // namespace commtest

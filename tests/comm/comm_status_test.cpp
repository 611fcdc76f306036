// Status values as shown to the user, and the last status kept per handle and per thread.
#include "comm_fixture.h"

namespace commtest {
namespace {

TEST(CommStatus, StatusesTranslateToTheWindowsErrors) {
  struct Case {
    NTSTATUS status;
    uint32_t code;
    const char* name;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, 0, "ERROR_SUCCESS"},
      {STATUS_TIMEOUT, 0, "ERROR_SUCCESS"},
      {STATUS_PENDING, 997, "ERROR_IO_PENDING"},
      {STATUS_CANCELLED, 995, "ERROR_OPERATION_ABORTED"},
      {STATUS_INVALID_PARAMETER, 87, "ERROR_INVALID_PARAMETER"},
      {STATUS_ACCESS_DENIED, 5, "ERROR_ACCESS_DENIED"},
      {STATUS_DELETE_PENDING, 5, "ERROR_ACCESS_DENIED"},
      {STATUS_BUFFER_TOO_SMALL, 122, "ERROR_INSUFFICIENT_BUFFER"},
      {STATUS_INVALID_DEVICE_REQUEST, 1, "ERROR_INVALID_FUNCTION"},
      {STATUS_INSUFFICIENT_RESOURCES, 1450, "ERROR_NO_SYSTEM_RESOURCES"},
      {STATUS_UNSUCCESSFUL, 31, "ERROR_GEN_FAILURE"},
      {STATUS_OBJECT_NAME_NOT_FOUND, 2, "ERROR_FILE_NOT_FOUND"},
      {STATUS_OBJECT_NAME_INVALID, 123, "ERROR_INVALID_NAME"},
      {STATUS_INVALID_HANDLE, 6, "ERROR_INVALID_HANDLE"},
      {STATUS_NOT_FOUND, 1168, "ERROR_NOT_FOUND"},
      {STATUS_INFO_LENGTH_MISMATCH, 24, "ERROR_BAD_LENGTH"},
      {STATUS_DEVICE_BUSY, 170, "ERROR_BUSY"},  // a warning is a failure
      {STATUS_NOT_SUPPORTED, 50, "ERROR_NOT_SUPPORTED"},
      {static_cast<NTSTATUS>(0xC0001234), 317, "ERROR_MR_MID_NOT_FOUND"},
      {static_cast<NTSTATUS>(0x00000105), 0, "ERROR_SUCCESS"},
  };
  for (const Case& c : cases) {
    comm::Win32Error error = comm::ErrorFromStatus(c.status);
    EXPECT_EQ(error.code, c.code) << comm::StatusName(c.status);
    EXPECT_STREQ(error.name, c.name) << comm::StatusName(c.status);
  }
}

TEST(CommStatus, NamesForDisplay) {
  EXPECT_EQ(comm::StatusName(STATUS_CANCELLED), "STATUS_CANCELLED");
  EXPECT_EQ(comm::StatusName(STATUS_TIMEOUT), "STATUS_TIMEOUT");
  EXPECT_EQ(comm::StatusName(static_cast<NTSTATUS>(0xC0001234)), "0xC0001234");
  EXPECT_EQ(comm::DescribeStatus(STATUS_CANCELLED),
            "STATUS_CANCELLED (0xC0000120) = ERROR_OPERATION_ABORTED (995)");
  EXPECT_EQ(comm::DescribeStatus(static_cast<NTSTATUS>(0xC0001234)),
            "0xC0001234 = ERROR_MR_MID_NOT_FOUND (317)");
}

class CommLastStatus : public CommFixture {};

TEST_F(CommLastStatus, KeptPerHandleAndPerThread) {
  comm::Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_SET_BREAK_ON, {STATUS_INVALID_DEVICE_REQUEST});
  EXPECT_EQ(comm::SetCommBreak(port), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(port.LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(comm::GetLastStatus(), STATUS_INVALID_DEVICE_REQUEST);

  NTSTATUS otherThreadsLast = STATUS_PENDING;
  session().Spawn("other", [&] {
    fake().AnswerNextControl(IOCTL_SERIAL_SET_BREAK_OFF, {STATUS_CANCELLED});
    comm::ClearCommBreak(port);
    otherThreadsLast = comm::GetLastStatus();
  })->Join();
  EXPECT_EQ(otherThreadsLast, STATUS_CANCELLED);
  EXPECT_EQ(port.LastStatus(), STATUS_CANCELLED) << "the handle's last call was the other thread's";
  EXPECT_EQ(comm::GetLastStatus(), STATUS_INVALID_DEVICE_REQUEST) << "this thread's is its own";

  EXPECT_EQ(comm::ClearCommBreak(port), STATUS_SUCCESS);
  EXPECT_EQ(port.LastStatus(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace commtest

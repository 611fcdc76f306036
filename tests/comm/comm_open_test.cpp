// Opening a port by its COM name, exclusivity, and the close sequence.
#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::Port;

class CommOpen : public CommFixture {};

TEST_F(CommOpen, EveryFormOfTheDosNameReachesTheDevice) {
  for (const char* name : {"COM7", "\\\\.\\COM7", "\\\\?\\COM7", "\\DosDevices\\COM7"}) {
    SCOPED_TRACE(name);
    fake().ClearLog();
    Port port;
    ASSERT_EQ(comm::CreateFile(name, &port), STATUS_SUCCESS);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Device(), fake().Device());
    ASSERT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    std::vector<Seen> log = fake().Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(log[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(log[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(log[1].file, log[0].file);
    EXPECT_EQ(log[2].file, log[0].file);
    EXPECT_EQ(fake().OpenCount(), 0);
  }
}

TEST_F(CommOpen, NamesThatAreNoPortSendNothing) {
  Port port;
  NTSTATUS status = comm::CreateFile("COM9", &port);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND) << comm::DescribeStatus(status);
  EXPECT_EQ(comm::ErrorFromStatus(status).code, 2u);  // ERROR_FILE_NOT_FOUND
  for (const char* name : {"", "\\\\.\\", "COM7\\x", "C:COM7", "\\\\.\\COM7/x"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(comm::CreateFile(name, &port), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(port.LastStatus(), STATUS_OBJECT_NAME_INVALID);
  }
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(fake().Log().empty());
}

TEST_F(CommOpen, SecondOpenOfAnExclusiveDeviceIsRefusedBeforeTheDriver) {
  Port first = OpenPort();
  Port second;
  NTSTATUS status = comm::CreateFile("COM7", &second);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_STREQ(comm::ErrorFromStatus(status).name, "ERROR_ACCESS_DENIED");
  EXPECT_FALSE(second.IsOpen());
  EXPECT_TRUE(fake().Log().empty()) << "the I/O manager refuses it; the driver sees nothing";
  // The first handle is untouched.
  EXPECT_EQ(comm::SetCommMask(first, comm::EV_RXCHAR), STATUS_SUCCESS);
  EXPECT_EQ(fake().ControlCodes(), std::vector<ULONG>{IOCTL_SERIAL_SET_WAIT_MASK});
}

class CommOpenShared : public CommFixture {
  FakeSerial::Options FakeOptions() override {
    FakeSerial::Options options;
    options.exclusiveDevice = false;
    return options;
  }
};

TEST_F(CommOpenShared, SecondOpenRefusedByTheDriverReportsItsStatus) {
  Port first = OpenPort();
  Port second;
  EXPECT_EQ(comm::CreateFile("\\\\.\\COM7", &second), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(fake().Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
  EXPECT_EQ(fake().OpenCount(), 1);
}

class CommOpenRefused : public CommFixture {
  FakeSerial::Options FakeOptions() override {
    FakeSerial::Options options;
    options.createStatus = STATUS_INSUFFICIENT_RESOURCES;
    return options;
  }
};

TEST_F(CommOpenRefused, DriverRefusalIsReturnedAndNothingFollows) {
  Port port;
  NTSTATUS status = comm::CreateFile("COM7", &port);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(comm::ErrorFromStatus(status).code, 1450u);  // ERROR_NO_SYSTEM_RESOURCES
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(comm::CloseHandle(port), STATUS_INVALID_HANDLE);
  EXPECT_EQ(fake().Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
}

TEST_F(CommOpen, CloseCancelsWhatIsQueuedThenCloses) {
  Port port = OpenPort();
  comm::Overlapped read;
  char buffer[8];
  ASSERT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), nullptr, &read), STATUS_PENDING);
  EXPECT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
  session().Pump();
  EXPECT_EQ(fake().Majors(),
            (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  DWORD bytes = 99;
  EXPECT_EQ(comm::GetOverlappedResult(port, read, &bytes, false), STATUS_CANCELLED);
  EXPECT_EQ(bytes, 0u);
}

class CommOpenLingering : public CommFixture {
  FakeSerial::Options FakeOptions() override {
    FakeSerial::Options options;
    options.cancelAtCleanup = false;
    return options;
  }
};

TEST_F(CommOpenLingering, CloseRequestWaitsForTheLastRequestOfTheHandle) {
  Port port = OpenPort();
  comm::Overlapped read;
  char buffer[8] = {};
  ASSERT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), nullptr, &read), STATUS_PENDING);
  EXPECT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
  session().Pump();
  EXPECT_EQ(fake().Majors(), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP}))
      << "IRP_MJ_CLOSE goes only once the read has finished";
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_READ, 0, {STATUS_SUCCESS, {'o', 'k'}}));
  session().Pump();
  EXPECT_EQ(fake().Majors(),
            (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  DWORD bytes = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, read, &bytes, false), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, bytes), "ok");
}

TEST_F(CommOpen, ClosedHandleRefusesEveryCallAndSendsNothing) {
  Port port = OpenPort();
  ASSERT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
  fake().ClearLog();
  char buffer[4];
  DWORD n = 7;
  comm::DCB dcb;
  comm::Overlapped ov;
  EXPECT_EQ(comm::ReadFile(port, buffer, 4, &n), STATUS_INVALID_HANDLE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(comm::ReadFile(port, buffer, 4, &n, &ov), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::WriteFile(port, "x", 1, &n), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::FlushFileBuffers(port), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::SetCommState(port, dcb), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::GetCommState(port, &dcb), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::SetCommMask(port, 1), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::CancelIo(port), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::CancelIoEx(port, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(comm::CloseHandle(port), STATUS_INVALID_HANDLE);
  EXPECT_EQ(port.LastStatus(), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(fake().Log().empty());
}

TEST_F(CommOpen, DestroyingAnOpenPortClosesItAndThePortCanBeOpenedAgain) {
  {
    Port port = OpenPort();
  }
  EXPECT_EQ(fake().Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(fake().OpenCount(), 0);
  Port again;
  EXPECT_EQ(comm::CreateFile("COM7", &again), STATUS_SUCCESS);
  // Opening into a port that is open closes the old handle first.
  fake().ClearLog();
  EXPECT_EQ(comm::CreateFile("COM7", &again), STATUS_SUCCESS);
  EXPECT_EQ(fake().Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CREATE}));
}

TEST_F(CommOpen, MovedPortKeepsTheHandle) {
  Port port = OpenPort();
  Port moved = std::move(port);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_EQ(comm::ClearCommBreak(moved), STATUS_SUCCESS);
  EXPECT_EQ(comm::ClearCommBreak(port), STATUS_INVALID_HANDLE);
  EXPECT_EQ(fake().ControlCodes(), std::vector<ULONG>{IOCTL_SERIAL_SET_BREAK_OFF});
}

}  // namespace
}  // namespace commtest

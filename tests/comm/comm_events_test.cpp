// Waiting for events: WaitCommEvent blocking and overlapped, its results and its cancellation.
#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::Overlapped;
using comm::Port;

class CommEvents : public CommFixture {};

TEST_F(CommEvents, BlockingWaitReturnsTheDriversEventWord) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_SUCCESS, Word(comm::EV_RLSD)});
  DWORD events = 0;
  ASSERT_EQ(comm::WaitCommEvent(port, &events), STATUS_SUCCESS);
  EXPECT_EQ(events, comm::EV_RLSD);
  std::vector<Seen> log = fake().Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(CodeName(log[0].code), CodeName(IOCTL_SERIAL_WAIT_ON_MASK));
  EXPECT_TRUE(log[0].input.empty());
  EXPECT_EQ(log[0].length, 4u);
}

TEST_F(CommEvents, BlockingWaitSleepsUntilTheDriverReports) {
  Port port = OpenPort();
  ASSERT_EQ(comm::SetCommMask(port, comm::EV_RLSD | comm::EV_DSR), STATUS_SUCCESS);
  DWORD events = 0;
  NTSTATUS status = STATUS_PENDING;
  auto waiter = session().Spawn("waiter", [&] { status = comm::WaitCommEvent(port, &events); });
  EXPECT_FALSE(waiter->Finished());
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK,
                                     {STATUS_SUCCESS, Word(0x38)}));
  waiter->Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(events, 0x38u);
}

TEST_F(CommEvents, OverlappedWaitFillsTheMaskWhenCollected) {
  Port port = OpenPort();
  Overlapped ov;
  DWORD events = 0xAAAA;
  ASSERT_EQ(comm::WaitCommEvent(port, &events, &ov), STATUS_PENDING);
  EXPECT_EQ(events, 0xAAAAu) << "nothing is known yet";
  DWORD n = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, false), STATUS_PENDING);
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK,
                                     {STATUS_SUCCESS, Word(comm::EV_RXCHAR | comm::EV_RXFLAG)}));
  ASSERT_EQ(comm::GetOverlappedResult(port, ov, &n, false), STATUS_SUCCESS);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(events, comm::EV_RXCHAR | comm::EV_RXFLAG);
}

TEST_F(CommEvents, WaitFinishedInDispatchFillsTheMaskAtOnce) {
  Port port = OpenPort();
  fake().AnswerNextControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_SUCCESS, Word(comm::EV_TXEMPTY)});
  Overlapped ov;
  DWORD events = 0;
  ASSERT_EQ(comm::WaitCommEvent(port, &events, &ov), STATUS_SUCCESS);
  EXPECT_EQ(events, comm::EV_TXEMPTY);
}

TEST_F(CommEvents, RefusedOrCancelledWaitReportsItsStatusAndNoEvents) {
  Port port = OpenPort();
  DWORD events = 0xFFFF;
  fake().AnswerNextControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_INVALID_PARAMETER});
  EXPECT_EQ(comm::WaitCommEvent(port, &events), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(events, 0u);
  EXPECT_EQ(comm::ErrorFromStatus(port.LastStatus()).code, 87u);

  Overlapped ov;
  events = 0xFFFF;
  ASSERT_EQ(comm::WaitCommEvent(port, &events, &ov), STATUS_PENDING);
  ASSERT_EQ(comm::CancelIoEx(port, &ov), STATUS_SUCCESS);
  DWORD n = 9;
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_CANCELLED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(events, 0u);
}

TEST_F(CommEvents, ASuccessfulWaitWithoutItsWordIsNotASuccess) {
  Port port = OpenPort();
  DWORD events = 0xFFFF;
  fake().AnswerNextControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_SUCCESS, {}, 0});
  EXPECT_EQ(comm::WaitCommEvent(port, &events), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(events, 0u);
}

TEST_F(CommEvents, CloseEndsAPendingWait) {
  Port port = OpenPort();
  Overlapped ov;
  DWORD events = 1;
  ASSERT_EQ(comm::WaitCommEvent(port, &events, &ov), STATUS_PENDING);
  ASSERT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
  DWORD n = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_CANCELLED);
  session().Pump();
  EXPECT_EQ(fake().Majors(),
            (std::vector<UCHAR>{IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace
}  // namespace commtest

// Reads and writes, blocking and overlapped, and their cancellation.
#include <cstring>
#include <thread>

#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::Overlapped;
using comm::Port;

std::vector<uint8_t> Data(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class CommIo : public CommFixture {};

TEST_F(CommIo, BlockingReadDeliversWhatTheDriverGave) {
  Port port = OpenPort();
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("hello")});
  char buffer[100];
  DWORD n = 0;
  ASSERT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "hello");
  std::vector<Seen> log = fake().Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].major, IRP_MJ_READ);
  EXPECT_EQ(log[0].length, 100u);
}

TEST_F(CommIo, ReadFinishedByItsTimeoutIsASuccessWithFewerBytes) {
  Port port = OpenPort();
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_TIMEOUT, Data("ab")});
  char buffer[10];
  DWORD n = 0;
  NTSTATUS status = comm::ReadFile(port, buffer, sizeof(buffer), &n);
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_TRUE(NT_SUCCESS(status));
  EXPECT_EQ(comm::ErrorFromStatus(status).code, 0u);
  EXPECT_EQ(std::string(buffer, n), "ab");

  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_TIMEOUT});
  EXPECT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n), STATUS_TIMEOUT);
  EXPECT_EQ(n, 0u);
}

TEST_F(CommIo, BlockingReadWaitsForTheDriverToFinishIt) {
  Port port = OpenPort();
  NTSTATUS status = STATUS_PENDING;
  char buffer[16] = {};
  DWORD n = 0;
  auto reader = session().Spawn("reader", [&] {
    status = comm::ReadFile(port, buffer, sizeof(buffer), &n);
  });
  session().Pump();
  EXPECT_FALSE(reader->Finished());
  EXPECT_EQ(fake().PendingCount(), 1u);
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("late")}));
  reader->Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "late");
}

TEST_F(CommIo, ReadNeverDeliversMoreThanTheBufferOrTheDriversCount) {
  Port port = OpenPort();
  // The driver says 3 bytes although it wrote 5 into the buffer: 3 count.
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("12345"), 3});
  char buffer[8] = {};
  DWORD n = 0;
  ASSERT_EQ(comm::ReadFile(port, buffer, 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buffer, 4), std::string("123\0", 4));
}

TEST_F(CommIo, WriteReportsTheDriversByteCountAndStatus) {
  Port port = OpenPort();
  DWORD n = 0;
  ASSERT_EQ(comm::WriteFile(port, "ATDT123\r", 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 8u);
  fake().AnswerNext(IRP_MJ_WRITE, 0, {STATUS_SUCCESS, {}, 3});
  ASSERT_EQ(comm::WriteFile(port, "hello", 5, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 3u);
  fake().AnswerNext(IRP_MJ_WRITE, 0, {STATUS_CANCELLED});
  EXPECT_EQ(comm::WriteFile(port, "x", 1, &n), STATUS_CANCELLED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(comm::ErrorFromStatus(port.LastStatus()).code, 995u);
  std::vector<Seen> log = fake().Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(Text(log[0].input), "ATDT123\r");
  EXPECT_EQ(log[0].length, 8u);
  EXPECT_EQ(Text(log[1].input), "hello");
}

TEST_F(CommIo, FlushSendsFlushBuffers) {
  Port port = OpenPort();
  EXPECT_EQ(comm::FlushFileBuffers(port), STATUS_SUCCESS);
  fake().AnswerNext(IRP_MJ_FLUSH_BUFFERS, 0, {STATUS_DELETE_PENDING});
  EXPECT_EQ(comm::FlushFileBuffers(port), STATUS_DELETE_PENDING);
  EXPECT_EQ(fake().Majors(), (std::vector<UCHAR>{IRP_MJ_FLUSH_BUFFERS, IRP_MJ_FLUSH_BUFFERS}));
}

class CommOverlapped : public CommFixture {};

TEST_F(CommOverlapped, PendingReadIsCollectedWithItsData) {
  Port port = OpenPort();
  Overlapped ov;
  EXPECT_TRUE(comm::HasOverlappedIoCompleted(ov));
  char buffer[16] = {};
  DWORD n = 77;
  ASSERT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n, &ov), STATUS_PENDING);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.LastStatus(), STATUS_PENDING);
  EXPECT_EQ(comm::ErrorFromStatus(STATUS_PENDING).code, 997u);
  EXPECT_FALSE(comm::HasOverlappedIoCompleted(ov));
  EXPECT_EQ(ov.Internal(), STATUS_PENDING);
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, false), STATUS_PENDING);

  ASSERT_TRUE(fake().CompletePending(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("xyz")}));
  session().Pump();
  EXPECT_TRUE(comm::HasOverlappedIoCompleted(ov));
  EXPECT_EQ(ov.Internal(), STATUS_SUCCESS);
  EXPECT_EQ(ov.InternalHigh(), 3u);
  ASSERT_EQ(comm::GetOverlappedResult(port, ov, &n, false), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "xyz");
}

TEST_F(CommOverlapped, ReadFinishedInDispatchReturnsAtOnceAndStaysCollectable) {
  Port port = OpenPort();
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("now")});
  Overlapped ov;
  char buffer[8] = {};
  DWORD n = 0;
  ASSERT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n, &ov), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "now");
  std::memset(buffer, 0, sizeof(buffer));
  ASSERT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "now");
}

TEST_F(CommOverlapped, WaitingForTheResultWaitsForTheDriver) {
  Port port = OpenPort();
  Overlapped ov;
  ASSERT_EQ(comm::WriteFile(port, "abc", 3, nullptr, &ov), STATUS_SUCCESS);
  fake().AnswerNext(IRP_MJ_WRITE, 0, {STATUS_SUCCESS, {}, {}, true});
  ASSERT_EQ(comm::WriteFile(port, "defg", 4, nullptr, &ov), STATUS_PENDING);
  NTSTATUS status = STATUS_PENDING;
  DWORD n = 0;
  auto waiter = session().Spawn("waiter", [&] {
    status = comm::GetOverlappedResult(port, ov, &n, true);
  });
  EXPECT_FALSE(waiter->Finished());
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_WRITE, 0, {STATUS_SUCCESS}));
  waiter->Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(n, 4u);
}

TEST_F(CommOverlapped, AnOverlappedInUseIsRefusedAndKeepsItsRequest) {
  Port port = OpenPort();
  Overlapped ov;
  char first[4] = {}, second[4] = {};
  ASSERT_EQ(comm::ReadFile(port, first, 4, nullptr, &ov), STATUS_PENDING);
  EXPECT_EQ(comm::ReadFile(port, second, 4, nullptr, &ov), STATUS_INVALID_PARAMETER);
  DWORD mask = 0;
  EXPECT_EQ(comm::WaitCommEvent(port, &mask, &ov), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(fake().Majors(), std::vector<UCHAR>{IRP_MJ_READ});
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("ok")}));
  DWORD n = 0;
  ASSERT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_SUCCESS);
  EXPECT_EQ(std::string(first, n), "ok");
  EXPECT_EQ(second[0], 0);
  // Finished: reusable.
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("re")});
  EXPECT_EQ(comm::ReadFile(port, second, 4, &n, &ov), STATUS_SUCCESS);
}

TEST_F(CommOverlapped, ResultOfAnOverlappedNeverStartedOnThePortIsRefused) {
  Port port = OpenPort();
  Overlapped unused;
  DWORD n = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, unused, &n, true), STATUS_INVALID_PARAMETER);
  Port other;
  Overlapped ov;
  fake().AnswerNext(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("a")});
  char c;
  ASSERT_EQ(comm::ReadFile(port, &c, 1, &n, &ov), STATUS_SUCCESS);
  EXPECT_EQ(comm::GetOverlappedResult(other, ov, &n, true), STATUS_INVALID_PARAMETER);
}

TEST_F(CommOverlapped, CancelIoExCancelsOneRequestOrAll) {
  Port port = OpenPort();
  Overlapped read, wait;
  char buffer[4];
  DWORD mask = 0xFF, n = 0;
  ASSERT_EQ(comm::ReadFile(port, buffer, 4, nullptr, &read), STATUS_PENDING);
  ASSERT_EQ(comm::WaitCommEvent(port, &mask, &wait), STATUS_PENDING);
  ASSERT_EQ(fake().PendingCount(), 2u);

  EXPECT_EQ(comm::CancelIoEx(port, &read), STATUS_SUCCESS);
  EXPECT_EQ(comm::GetOverlappedResult(port, read, &n, true), STATUS_CANCELLED);
  EXPECT_EQ(comm::ErrorFromStatus(STATUS_CANCELLED).code, 995u);
  EXPECT_STREQ(comm::ErrorFromStatus(STATUS_CANCELLED).name, "ERROR_OPERATION_ABORTED");
  EXPECT_FALSE(comm::HasOverlappedIoCompleted(wait));
  EXPECT_EQ(comm::CancelIoEx(port, &read), STATUS_NOT_FOUND);
  EXPECT_EQ(comm::ErrorFromStatus(STATUS_NOT_FOUND).code, 1168u);

  ASSERT_EQ(comm::ReadFile(port, buffer, 4, nullptr, &read), STATUS_PENDING);
  EXPECT_EQ(comm::CancelIoEx(port, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(comm::GetOverlappedResult(port, read, &n, true), STATUS_CANCELLED);
  EXPECT_EQ(comm::GetOverlappedResult(port, wait, &n, true), STATUS_CANCELLED);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(comm::CancelIoEx(port, nullptr), STATUS_NOT_FOUND);
  EXPECT_EQ(fake().PendingCount(), 0u);
}

TEST_F(CommOverlapped, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  Port port = OpenPort();
  Overlapped mine, theirs;
  char a[4], b[4];
  ASSERT_EQ(comm::ReadFile(port, a, 4, nullptr, &mine), STATUS_PENDING);
  NTSTATUS started = STATUS_SUCCESS;
  session().Spawn("other", [&] {
    started = comm::ReadFile(port, b, 4, nullptr, &theirs);
  })->Join();
  ASSERT_EQ(started, STATUS_PENDING);
  EXPECT_EQ(comm::CancelIo(port), STATUS_SUCCESS);
  DWORD n = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, mine, &n, true), STATUS_CANCELLED);
  EXPECT_FALSE(comm::HasOverlappedIoCompleted(theirs));
  EXPECT_EQ(comm::CancelIo(port), STATUS_SUCCESS) << "CancelIo succeeds with nothing to cancel";
  EXPECT_FALSE(comm::HasOverlappedIoCompleted(theirs));
  EXPECT_EQ(comm::CancelIoEx(port, &theirs), STATUS_SUCCESS);
  EXPECT_EQ(comm::GetOverlappedResult(port, theirs, &n, true), STATUS_CANCELLED);
}

TEST_F(CommOverlapped, CancelIoExReachesABlockingReadInAnotherThread) {
  Port port = OpenPort();
  NTSTATUS status = STATUS_PENDING;
  DWORD n = 55;
  char buffer[4];
  auto reader = session().Spawn("reader", [&] {
    status = comm::ReadFile(port, buffer, sizeof(buffer), &n);
  });
  ASSERT_EQ(fake().PendingCount(), 1u);
  EXPECT_EQ(comm::CancelIoEx(port, nullptr), STATUS_SUCCESS);
  reader->Join();
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(n, 0u);
}

TEST_F(CommOverlapped, ACancelThatComesWhileTheRequestIsBeingSentIsNotLost) {
  Port port = OpenPort();
  NTSTATUS cancel = STATUS_PENDING;
  fake().OnDispatch([&](const Seen& seen) {
    if (seen.major == IRP_MJ_READ) cancel = comm::CancelIoEx(port, nullptr);
  });
  char buffer[4];
  DWORD n = 0;
  EXPECT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n), STATUS_CANCELLED);
  EXPECT_EQ(cancel, STATUS_SUCCESS);
  EXPECT_EQ(fake().PendingCount(), 0u);

  Overlapped ov;
  EXPECT_EQ(comm::ReadFile(port, buffer, sizeof(buffer), &n, &ov), STATUS_PENDING);
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_CANCELLED);
  fake().OnDispatch(nullptr);
}

TEST_F(CommOverlapped, CancelOfARequestTheDriverDoesNotCancelWaitsForTheDriver) {
  Port port = OpenPort();
  Overlapped ov;
  char buffer[4] = {};
  ASSERT_EQ(comm::ReadFile(port, buffer, 4, nullptr, &ov), STATUS_PENDING);
  // The driver finishes it with data before the cancel reaches it: the data wins.
  ASSERT_TRUE(fake().CompletePending(IRP_MJ_READ, 0, {STATUS_SUCCESS, Data("won")}));
  EXPECT_EQ(comm::CancelIoEx(port, &ov), STATUS_NOT_FOUND);
  DWORD n = 0;
  EXPECT_EQ(comm::GetOverlappedResult(port, ov, &n, true), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, n), "won");
}

}  // namespace
}  // namespace commtest

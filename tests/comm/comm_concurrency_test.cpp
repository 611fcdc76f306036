// One handle used from several real threads (threaded host mode), as a Windows handle may be.
// Phases are ordered by the fake driver's own state (requests pending, opens), never by sleeps.
#include <atomic>
#include <set>

#include "comm_fixture.h"

namespace commtest {
namespace {

using comm::Overlapped;
using comm::Port;

class CommConcurrency : public CommFixture {
  host::SessionOptions Options() const override {
    host::SessionOptions options;
    options.mode = host::Mode::Threaded;
    return options;
  }
};

TEST_F(CommConcurrency, ThreadsSharingAHandleEachGetTheirOwnAnswers) {
  Port port = OpenPort();
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::shared_ptr<host::Thread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("user" + std::to_string(t), [&, t] {
      const DWORD myMask = 1u << t;
      const std::string data = "thread " + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        if (comm::SetCommMask(port, myMask) != STATUS_SUCCESS) ++failures;
        DWORD mask = 0;
        // Another thread may have set its own mask in between; never anything else.
        if (comm::GetCommMask(port, &mask) != STATUS_SUCCESS || mask == 0 ||
            mask >= (1u << kThreads) || (mask & (mask - 1)) != 0) {
          ++failures;
        }
        DWORD written = 0;
        if (comm::WriteFile(port, data.data(), DWORD(data.size()), &written) !=
                STATUS_SUCCESS ||
            written != data.size()) {
          ++failures;
        }
        comm::DCB dcb;
        if (comm::GetCommState(port, &dcb) != STATUS_SUCCESS) ++failures;
      }
      if (comm::GetLastStatus() != STATUS_SUCCESS) ++failures;
    }));
  }
  for (auto& thread : threads) thread->Join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<Seen> log = fake().Log();
  EXPECT_EQ(log.size(), size_t(kThreads) * kRounds * 7);
  std::map<std::string, int> writes;
  for (const Seen& seen : log) {
    if (seen.major == IRP_MJ_WRITE) ++writes[Text(seen.input)];
  }
  ASSERT_EQ(writes.size(), size_t(kThreads));
  for (const auto& [text, count] : writes) EXPECT_EQ(count, kRounds) << text;
}

TEST_F(CommConcurrency, CancelIoExReachesReadersBlockedInEveryThread) {
  Port port = OpenPort();
  constexpr int kReaders = 3;
  std::vector<NTSTATUS> statuses(kReaders, STATUS_PENDING);
  std::vector<std::shared_ptr<host::Thread>> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.push_back(session().Spawn("reader" + std::to_string(r), [&, r] {
      char buffer[16];
      DWORD n = 0;
      statuses[r] = comm::ReadFile(port, buffer, sizeof(buffer), &n);
    }));
  }
  ASSERT_TRUE(fake().WaitForPending(kReaders));
  EXPECT_EQ(comm::CancelIoEx(port, nullptr), STATUS_SUCCESS);
  for (auto& reader : readers) reader->Join();
  for (NTSTATUS status : statuses) EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(fake().PendingCount(), 0u);
}

TEST_F(CommConcurrency, OneThreadWaitsOnAnOverlappedWhileAnotherCancelsIt) {
  Port port = OpenPort();
  Overlapped ov;
  DWORD events = 7;
  ASSERT_EQ(comm::WaitCommEvent(port, &events, &ov), STATUS_PENDING);
  NTSTATUS status = STATUS_PENDING;
  auto waiter = session().Spawn("waiter", [&] {
    DWORD n = 0;
    status = comm::GetOverlappedResult(port, ov, &n, true);
  });
  auto canceller = session().Spawn("canceller", [&] { comm::CancelIoEx(port, &ov); });
  canceller->Join();
  waiter->Join();
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(events, 0u);
}

TEST_F(CommConcurrency, CloseWhileOtherThreadsWaitEndsTheirRequests) {
  Port port = OpenPort();
  NTSTATUS readStatus = STATUS_PENDING, waitStatus = STATUS_PENDING;
  auto reader = session().Spawn("reader", [&] {
    char buffer[4];
    DWORD n = 0;
    readStatus = comm::ReadFile(port, buffer, sizeof(buffer), &n);
  });
  auto waiter = session().Spawn("waiter", [&] {
    DWORD events = 0;
    waitStatus = comm::WaitCommEvent(port, &events);
  });
  ASSERT_TRUE(fake().WaitForPending(2));
  EXPECT_EQ(comm::CloseHandle(port), STATUS_SUCCESS);
  reader->Join();
  waiter->Join();
  EXPECT_EQ(readStatus, STATUS_CANCELLED);
  EXPECT_EQ(waitStatus, STATUS_CANCELLED);
  ASSERT_TRUE(fake().WaitForOpenCount(0)) << "IRP_MJ_CLOSE never came";
  std::vector<UCHAR> majors = fake().Majors();
  ASSERT_GE(majors.size(), 2u);
  EXPECT_EQ(majors[majors.size() - 2], IRP_MJ_CLEANUP);
  EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
}

}  // namespace
}  // namespace commtest

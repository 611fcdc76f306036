// Remove-lock acquire and release from many threads against release-and-wait: when
// release-and-wait returns, nobody holds the lock, and every acquisition after removal began is
// refused.
#include <atomic>

#include "io_test_support.h"

namespace {

class HostRemoveLockConcurrency : public host::testing::ThreadedTest {};

TEST_F(HostRemoveLockConcurrency, ReleaseAndWaitReturnsOnlyWhenEveryHolderHasReleased) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  constexpr int kThreads = 4;
  constexpr int kWarmUp = 200;            // acquisitions each thread makes before removal begins
  constexpr long kMaxIterations = 2000000;  // bound, should removal never come
  std::atomic<int> holders{0};
  std::atomic<int> warm{0};
  std::atomic<int> refusedThreads{0};
  std::atomic<bool> grantedAfterRefusal{false};
  std::vector<std::shared_ptr<host::Thread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("holder", [&] {
      int tag = 0;
      bool refused = false;
      for (long i = 0; i < kMaxIterations; ++i) {
        NTSTATUS status = IoAcquireRemoveLock(&lock, &tag);
        if (!NT_SUCCESS(status)) {
          EXPECT_EQ(status, STATUS_DELETE_PENDING);
          if (!refused) refusedThreads++;
          refused = true;
          if (i > kWarmUp) break;
          continue;
        }
        if (refused) grantedAfterRefusal = true;
        holders++;
        if (i == kWarmUp) warm++;
        holders--;
        IoReleaseRemoveLock(&lock, &tag);
      }
    }));
  }
  while (warm.load() != kThreads) {
  }
  int own = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &own), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, &own);
  // Refused acquisitions may still move the count for a moment; holders may not exist.
  EXPECT_EQ(holders.load(), 0);
  for (auto& thread : threads) thread->Join();
  EXPECT_EQ(refusedThreads.load(), kThreads);
  EXPECT_FALSE(grantedAfterRefusal.load());
  EXPECT_EQ(__atomic_load_n(&lock.Common.IoCount, __ATOMIC_SEQ_CST), 0);
}

}  // namespace

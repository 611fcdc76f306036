// Remove locks: the starting count (the bias), acquire and release, release-and-wait waiting for
// the other holders, and acquisitions refused once removal has begun.
#include "io_test_support.h"

namespace {

class HostRemoveLock : public host::testing::DeterministicTest {
 protected:
  void SetUp() override {
    DeterministicTest::SetUp();
    IoInitializeRemoveLock(&lock, 0, 0, 0);
  }
  IO_REMOVE_LOCK lock;
  int tagA = 0;
  int tagB = 0;
};

TEST_F(HostRemoveLock, CountStartsAtOneForTheLocksOwnBias) {
  EXPECT_EQ(lock.Common.IoCount, 1);
  EXPECT_FALSE(lock.Common.Removed);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_SUCCESS);  // the same tag twice
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // no tag is a tag too
  EXPECT_EQ(lock.Common.IoCount, 4);
  IoReleaseRemoveLock(&lock, &tagA);
  IoReleaseRemoveLock(&lock, nullptr);
  IoReleaseRemoveLock(&lock, &tagA);
  EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(HostRemoveLock, ReleaseAndWaitGivesBackTheHoldAndTheBiasThenRefusesNewHolders) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, &tagA);
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_EQ(lock.Common.IoCount, 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagB), STATUS_DELETE_PENDING);
  EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(HostRemoveLock, ReleaseAndWaitBlocksUntilTheLastOtherHolderReleases) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_SUCCESS);  // the remover's own hold
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tagB), STATUS_SUCCESS);  // a request still in flight
  bool returned = false;
  auto remover = session().Spawn("remover", [&] {
    IoReleaseRemoveLockAndWait(&lock, &tagA);
    returned = true;
  });
  session().Pump();
  EXPECT_FALSE(returned);
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_EQ(lock.Common.IoCount, 1);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_DELETE_PENDING);
  IoReleaseRemoveLock(&lock, &tagB);
  remover->Join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(lock.Common.IoCount, 0);
}

}  // namespace

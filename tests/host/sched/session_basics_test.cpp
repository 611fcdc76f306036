// The session's life cycle and the deterministic scheduler's basic promises.
#include <host_test.h>

#include "internal/kernel.h"

namespace {

using host::Mode;
using host::Session;
using host::SessionOptions;
using host::testing::DeterministicTest;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

TEST(HostSession, OneAtATimeAndCurrent) {
  EXPECT_FALSE(Session::Active());
  {
    Session session;
    EXPECT_TRUE(Session::Active());
    EXPECT_EQ(&Session::Current(), &session);
    EXPECT_EQ(session.mode(), Mode::Deterministic);
    EXPECT_EQ(session.Now(), 0);
  }
  EXPECT_FALSE(Session::Active());
}

TEST(HostSession, CurrentWithoutSessionAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the kernel has threads running
  EXPECT_DEATH(Session::Current(), "no session");
}

TEST(HostSession, SecondSessionAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the kernel has threads running
  Session session;
  EXPECT_DEATH(Session second, "already active");
}

class HostSchedulerBasics : public DeterministicTest {};

TEST_F(HostSchedulerBasics, SpawnedThreadRunsAtOnceUntilItBlocks) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::vector<std::string> order;
  auto t = session().Spawn("waiter", [&] {
    order.push_back("before wait");
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    order.push_back("after wait");
  });
  order.push_back("spawn returned");
  EXPECT_FALSE(t->Finished());
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  order.push_back("event set");
  session().Pump();
  EXPECT_TRUE(t->Finished());
  EXPECT_EQ(order, (std::vector<std::string>{"before wait", "spawn returned", "event set",
                                              "after wait"}));
  t->Join();
}

}  // namespace

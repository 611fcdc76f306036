// Events and waits: signal states, who is released, timeouts, and the wait rules.
#include <host_test.h>

#include "internal/kernel.h"

using host::verifier::ExpectViolations;
using host::verifier::Rule;

namespace {

// The default clock tick: a timeout ends, as a timer expires, at the first tick at or after it.
constexpr int64_t kTick = 156250;

LARGE_INTEGER Relative(int64_t ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

class HostEvent : public host::testing::DeterministicTest {};

TEST_F(HostEvent, SetAndResetReturnThePreviousState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KEVENT initiallySet;
  KeInitializeEvent(&initiallySet, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&initiallySet), 1);
}

TEST_F(HostEvent, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  int released = 0;
  auto a = session().Spawn("a", [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ++released;
  });
  auto b = session().Spawn("b", [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ++released;
  });
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  session().Pump();
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(HostEvent, SynchronizationEventReleasesOneWaiterPerSignalAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::vector<std::string> released;
  auto a = session().Spawn("a", [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    released.push_back("a");
  });
  auto b = session().Spawn("b", [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    released.push_back("b");
  });
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  session().Pump();
  EXPECT_EQ(released, std::vector<std::string>{"a"});  // the first waiter, in a fixed order
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  session().Pump();
  EXPECT_EQ(released, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(HostEvent, SignalledSynchronizationEventIsConsumedByTheWait) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(HostEvent, SetAboveDispatchLevelIsMisuse) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeLowerIrql(old);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
}

class HostWait : public host::testing::DeterministicTest {};

TEST_F(HostWait, ZeroTimeoutPollsAndIsAllowedAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_TRUE(host::verifier::Violations().empty());
  EXPECT_EQ(session().Now(), 0);
}

TEST_F(HostWait, RelativeTimeoutExpiresOnTheVirtualClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(50 * 10000);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(session().Now(), 4 * kTick);  // auto-advanced to the tick after 50 ms (62.5 ms)
}

TEST_F(HostWait, AbsoluteTimeoutIsSystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  session().AdvanceTimeMs(10);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + 30 * 10000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(session().Now(), 3 * kTick);  // 40 ms, at the tick after it
  LARGE_INTEGER past;
  past.QuadPart = now.QuadPart - 1;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
  EXPECT_EQ(session().Now(), 3 * kTick);
}

TEST_F(HostWait, WaitIsSatisfiedBeforeItsTimeoutByAThread) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  auto setter = session().Spawn("setter", [&] {
    LARGE_INTEGER delay = Relative(20 * 10000);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout = Relative(100 * 10000);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(session().Now(), 2 * kTick);  // the setter's 20 ms delay ended at a tick
  setter->Join();
}

TEST_F(HostWait, WaitAtDispatchLevelIsReportedAndDoesNotBlock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(status, STATUS_TIMEOUT);
  ASSERT_EQ(capture.Count(Rule::WaitAtDispatchLevel), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("KeWaitForSingleObject"), std::string::npos);
}

TEST_F(HostWait, WaitHoldingASpinLockIsReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  ExpectViolations capture;
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeReleaseSpinLock(&lock, old);
  ASSERT_EQ(capture.seen().size(), 1u) << capture.Text();
  EXPECT_EQ(capture.seen()[0].rule, Rule::WaitAtDispatchLevel);
  EXPECT_NE(capture.seen()[0].message.find("holding spin lock"), std::string::npos);
}

TEST_F(HostWait, WaitOnAnUninitialisedObjectIsObjectMisuse) {
  KEVENT event;
  memset(&event, 0xCD, sizeof event);
  ExpectViolations capture;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(capture.Count(Rule::ObjectMisuse), 1u) << capture.Text();
}

TEST_F(HostWait, TimersAreWaitableAndSynchronizationTimersReset) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, Relative(5 * 10000), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(session().Now(), kTick);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  KTIMER notification;
  KeInitializeTimer(&notification);
  KeSetTimer(&notification, Relative(1), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(KeReadStateTimer(&notification));
}

TEST_F(HostWait, DelayExecutionMovesTheClockAndRunsWhatFallsDue) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  bool ran = false;
  auto waiter = session().Spawn("waiter", [&] {
    LARGE_INTEGER t = Relative(10 * 10000);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    ran = true;
  });
  LARGE_INTEGER delay = Relative(30 * 10000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_TRUE(ran);
  EXPECT_EQ(session().Now(), 2 * kTick);  // 30 ms, at the tick after it
}

class HostFastMutex : public host::testing::DeterministicTest {
 protected:
  void SetUp() override {
    DeterministicTest::SetUp();
    ExInitializeFastMutex(&mutex);
  }
  FAST_MUTEX mutex;
};

TEST_F(HostFastMutex, AcquireRaisesToApcLevelAndReleaseRestores) {
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  EXPECT_EQ(mutex.Count, 0);
  EXPECT_EQ(mutex.OldIrql, static_cast<ULONG>(PASSIVE_LEVEL));
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(mutex.Count, 1);
  EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
  ExReleaseFastMutex(&mutex);
  EXPECT_TRUE(host::verifier::Violations().empty());
}

TEST_F(HostFastMutex, ContentionBlocksUntilTheOwnerReleases) {
  std::vector<std::string> order;
  ExAcquireFastMutex(&mutex);
  auto other = session().Spawn("other", [&] {
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    order.push_back("other waits");
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    order.push_back("other owns");
    ExReleaseFastMutex(&mutex);
  });
  order.push_back("main releases");
  ExReleaseFastMutex(&mutex);
  session().Pump();
  EXPECT_EQ(order, (std::vector<std::string>{"other waits", "main releases", "other owns"}));
  EXPECT_EQ(mutex.Contention, 1u);
  other->Join();
}

TEST_F(HostFastMutex, RecursiveAcquireIsReported) {
  ExpectViolations capture;
  ExAcquireFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
  EXPECT_EQ(capture.Count(Rule::FastMutexMisuse), 2u) << capture.Text();
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostFastMutex, ReleaseByANonOwnerIsReported) {
  ExpectViolations capture;
  ExReleaseFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  auto other = session().Spawn("other", [&] { ExReleaseFastMutex(&mutex); });
  EXPECT_EQ(capture.Count(Rule::FastMutexMisuse), 2u) << capture.Text();
  EXPECT_NE(capture.Text().find("thread 'main' owns it"), std::string::npos) << capture.Text();
  ExReleaseFastMutex(&mutex);
}

TEST_F(HostFastMutex, AcquireAboveApcLevelIsMisuse) {
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  KeLowerIrql(old);
}

TEST_F(HostFastMutex, AThreadWaitingForAMutexNobodyReleasesIsADeadlock) {
  ExpectViolations capture;
  auto owner = session().Spawn("owner", [&] { ExAcquireFastMutex(&mutex); });  // never released
  ExAcquireFastMutex(&mutex);
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("ExAcquireFastMutex"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace

// The deterministic scheduler: reproducible order, virtual time, auto-advance, deadlocks, spawned
// threads, and what the end of a session reports.
#include <host_test.h>

#include <string>
#include <vector>

#include "internal/kernel.h"

using host::Session;
using host::SessionOptions;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

namespace {

// The default clock tick: timers expire, and timeouts end, at its boundaries.
constexpr int64_t kTick = 156250;

LARGE_INTEGER Relative(int64_t ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

// A small scenario with threads, a timer-driven DPC and events; returns the order of events.
std::vector<std::string> Scenario() {
  Session session;
  std::vector<std::string> log;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  struct Ctx {
    std::vector<std::string>* log;
    KEVENT* ping;
  } ctx{&log, &ping};
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
    auto* x = static_cast<Ctx*>(c);
    x->log->push_back("dpc at " + std::to_string(KeQueryInterruptTime()));
    KeSetEvent(x->ping, IO_NO_INCREMENT, FALSE);
  }, &ctx);
  KeSetTimerEx(&timer, Relative(1000), 1, &dpc);
  auto a = session.Spawn("a", [&] {
    for (int i = 0; i < 3; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      log.push_back("a " + std::to_string(i));
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  auto b = session.Spawn("b", [&] {
    for (int i = 0; i < 3; ++i) {
      KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
      log.push_back("b " + std::to_string(i));
    }
  });
  a->Join();
  b->Join();
  KeCancelTimer(&timer);
  session.Pump();
  return log;
}

TEST(HostScheduler, RunsAreReproducible) {
  std::vector<std::string> first = Scenario();
  EXPECT_EQ(first.size(), 9u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Scenario(), first);
  EXPECT_EQ(first[0], "dpc at 156250");  // due at 1000, expired at the tick
  EXPECT_EQ(first[1], "a 0");
  EXPECT_EQ(first[2], "b 0");
}

class HostSchedulerTest : public host::testing::DeterministicTest {};

TEST_F(HostSchedulerTest, DeadlockIsReportedNamingEveryWaiterAndReturnsAbandoned) {
  KEVENT never, alsoNever;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeInitializeEvent(&alsoNever, NotificationEvent, FALSE);
  auto helper = session().Spawn("helper", [&] {
    KeWaitForSingleObject(&alsoNever, Executive, KernelMode, FALSE, nullptr);
  });
  ExpectViolations capture;
  NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(status, STATUS_ABANDONED);
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u);
  const std::string& message = capture.seen()[0].message;
  EXPECT_NE(message.find("'main' waits in KeWaitForSingleObject on event"), std::string::npos)
      << message;
  EXPECT_NE(message.find("thread 'helper' waits in KeWaitForSingleObject"), std::string::npos)
      << message;
  EXPECT_EQ(message.find("worker"), std::string::npos) << "idle workers are not deadlocked";
  KeSetEvent(&alsoNever, IO_NO_INCREMENT, FALSE);
  helper->Join();
}

TEST_F(HostSchedulerTest, AutoAdvanceMovesTheClockToTheNextTimer) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(kTick + 123456), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(session().Now(), 2 * kTick);  // the tick its due time falls in
}

class HostSchedulerNoAutoAdvance : public host::testing::DeterministicTest {
 protected:
  SessionOptions Options() const override {
    SessionOptions o;
    o.autoAdvanceTime = false;
    return o;
  }
};

TEST_F(HostSchedulerNoAutoAdvance, WaitOnATimerIsADeadlockWithoutAutoAdvance) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(100), nullptr);
  ExpectViolations capture;
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED);
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u);
  EXPECT_NE(capture.seen()[0].message.find("auto-advance"), std::string::npos);
  EXPECT_EQ(session().Now(), 0);
  session().AdvanceTime(kTick);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostSchedulerTest, AdvanceTimeRunsTimeoutsAndTimersInTimeOrder) {
  std::vector<std::string> log;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto sleeper = session().Spawn("sleeper", [&] {
    LARGE_INTEGER t = Relative(2 * kTick + 300);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
    log.push_back("timeout at " + std::to_string(KeQueryInterruptTime()));
  });
  struct Ctx {
    std::vector<std::string>* log;
  } ctx{&log};
  KTIMER early, late;
  KDPC earlyDpc, lateDpc;
  KeInitializeTimer(&early);
  KeInitializeTimer(&late);
  auto record = [](PKDPC, PVOID c, PVOID, PVOID) {
    static_cast<Ctx*>(c)->log->push_back("timer at " + std::to_string(KeQueryInterruptTime()));
  };
  KeInitializeDpc(&earlyDpc, record, &ctx);
  KeInitializeDpc(&lateDpc, record, &ctx);
  KeSetTimer(&early, Relative(kTick + 200), &earlyDpc);
  KeSetTimer(&late, Relative(3 * kTick + 400), &lateDpc);
  session().AdvanceTime(10 * kTick + 1000);
  // Each at the tick after its due time: 2, 3 and 4 ticks.
  EXPECT_EQ(log, (std::vector<std::string>{"timer at 312500", "timeout at 468750",
                                           "timer at 625000"}));
  EXPECT_EQ(session().Now(), 10 * kTick + 1000);
}

TEST_F(HostSchedulerTest, RunUntilStopsWhenDoneOrAtTheLimit) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(500), nullptr);
  EXPECT_FALSE(session().RunUntil([&] { return KeReadStateTimer(&timer) != 0; }, kTick - 1));
  EXPECT_EQ(session().Now(), 0);
  EXPECT_TRUE(session().RunUntil([&] { return KeReadStateTimer(&timer) != 0; }, 2 * kTick));
  EXPECT_EQ(session().Now(), kTick);
}

TEST_F(HostSchedulerTest, WaitsAreWokenByDpcs) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  host::internal::QueueDpcCall([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, "set");
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(session().Now(), 0);
}

TEST_F(HostSchedulerTest, SpawnedThreadsCanSpawnPumpAndJoin) {
  std::vector<std::string> log;
  auto outer = session().Spawn("outer", [&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    auto inner = Session::Current().Spawn("inner", [&] {
      LARGE_INTEGER t = Relative(50);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      log.push_back("inner done");
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    log.push_back("outer waits");
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    inner->Join();
    log.push_back("outer done");
  });
  EXPECT_EQ(log, std::vector<std::string>{"outer waits"});
  outer->Join();
  EXPECT_EQ(log, (std::vector<std::string>{"outer waits", "inner done", "outer done"}));
  EXPECT_TRUE(outer->Finished());
  EXPECT_EQ(outer->name(), "outer");
}

TEST_F(HostSchedulerTest, JoinOfAThreadThatNeverFinishesIsADeadlock) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto stuck = session().Spawn("stuck", [&] {
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  });
  ExpectViolations capture;
  stuck->Join();
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u);
  EXPECT_NE(capture.seen()[0].message.find("Join(stuck)"), std::string::npos);
  KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
  stuck->Join();
}

TEST_F(HostSchedulerTest, ThreadLeftBlockedAtSessionEndIsReported) {
  auto* never = new KEVENT;  // the thread stays blocked on it for good
  KeInitializeEvent(never, NotificationEvent, FALSE);
  session().Spawn("forgotten", [never] {
    KeWaitForSingleObject(never, Executive, KernelMode, FALSE, nullptr);
  });
  ExpectViolations capture;
  EndSession();
  ASSERT_EQ(capture.Count(Rule::Deadlock), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("'forgotten'"), std::string::npos);
}

TEST_F(HostSchedulerTest, StallMovesTheVirtualClockOnly) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(10), nullptr);
  KeStallExecutionProcessor(kTick / 10);  // microseconds: past the tick the timer expires at
  EXPECT_EQ(session().Now(), kTick);
  EXPECT_FALSE(KeReadStateTimer(&timer));  // overdue, expires at the next pump
  session().Pump();
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostSchedulerTest, TimeServicesDeriveFromTheSessionClock) {
  session().AdvanceTime(156250 * 3 + 7);
  LARGE_INTEGER ticks, system, frequency;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 3);
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
  EXPECT_EQ(KeQueryInterruptTime(), 156250u * 3 + 7);
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 156250 * 3 + 7);
  EXPECT_EQ(frequency.QuadPart, 10000000);
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, 126227808000000000LL + 156250 * 3 + 7);  // 2001-01-01 + clock
}

}  // namespace

// Timers and DPCs: set and cancel results, expiry order, DPC queueing, periodic timers, the DPC's
// environment, and what is reported.
#include <host_test.h>

#include <string>
#include <vector>

#include "internal/kernel.h"

using host::internal::CurrentThread;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

struct HostTimerTestLog {
  std::vector<std::string> entries;
  KIRQL irql = 0xFF;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
  int64_t at = -1;
};

VOID HostTimerTestDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  auto* log = static_cast<HostTimerTestLog*>(Context);
  log->entries.push_back("dpc");
  log->irql = KeGetCurrentIrql();
  log->argument1 = Argument1;
  log->argument2 = Argument2;
  log->at = static_cast<int64_t>(KeQueryInterruptTime());
}

VOID HostTimerTestDpcRaises(PKDPC Dpc, PVOID Context, PVOID, PVOID) {
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
}

namespace {

// The default clock tick (KeQueryTimeIncrement): timers expire at its boundaries.
constexpr int64_t kTick = 156250;

LARGE_INTEGER Relative(int64_t ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

struct Named {
  std::vector<std::string>* order;
  const char* name;
};
VOID RecordName(PKDPC, PVOID Context, PVOID, PVOID) {
  auto* n = static_cast<Named*>(Context);
  n->order->push_back(n->name);
}

class HostTimer : public host::testing::DeterministicTest {};

TEST_F(HostTimer, SetReturnsWhetherItWasSetAndCancelLikewise) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(100), nullptr));
  EXPECT_TRUE(timer.Header.Inserted);
  EXPECT_TRUE(KeSetTimer(&timer, Relative(200), nullptr));
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_FALSE(timer.Header.Inserted);
  session().AdvanceTime(1000);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(HostTimer, ResettingMovesTheDueTimeAndClearsTheSignal) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(100), nullptr);
  session().AdvanceTime(kTick);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  KeSetTimer(&timer, Relative(100), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(kTick - 1);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostTimer, ExpiryQueuesTheDpcWhichRunsAtDispatchLevelWithTheTickItExpiredAt) {
  HostTimerTestLog log;
  KTIMER timer;
  KDPC dpc;
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimer(&timer, Relative(5000), &dpc);
  session().AdvanceTime(kTick - 1);  // due at 5000, but the clock interrupt comes at kTick
  EXPECT_TRUE(log.entries.empty());
  session().AdvanceTime(10000);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.irql, DISPATCH_LEVEL);
  EXPECT_EQ(log.at, kTick);  // ran when it expired, not at the end of the advance
  ULARGE_INTEGER expected;
  expected.QuadPart = start.QuadPart + kTick;
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(log.argument1), expected.LowPart);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(log.argument2), expected.HighPart);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostTimer, TimersExpireInDueOrderThenSetOrder) {
  std::vector<std::string> order;
  Named a{&order, "a"}, b{&order, "b"}, c{&order, "c"};
  KTIMER ta, tb, tc;
  KDPC da, db, dc;
  for (KTIMER* t : {&ta, &tb, &tc}) KeInitializeTimer(t);
  KeInitializeDpc(&da, RecordName, &a);
  KeInitializeDpc(&db, RecordName, &b);
  KeInitializeDpc(&dc, RecordName, &c);
  KeSetTimer(&ta, Relative(300), &da);
  KeSetTimer(&tb, Relative(100), &db);
  KeSetTimer(&tc, Relative(300), &dc);
  session().AdvanceTime(kTick);  // one tick: the fixed order takes them by due time
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "c"}));
}

TEST_F(HostTimer, MinusOneExpiresAtTheNextTickNotAtPump) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  session().AdvanceTime(kTick / 2);
  KeSetTimer(&timer, Relative(1), nullptr);
  session().Pump();
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(kTick / 2 - 1);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_EQ(session().Now(), kTick);
}

TEST_F(HostTimer, AbsoluteDueTimesAreSystemTimesAndThePastIsDueAtOnce) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart + 700;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(timer.DueTime.QuadPart, 700u);  // interrupt time it is due at
  session().AdvanceTime(kTick - 1);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);  // the tick after it fell due
  EXPECT_TRUE(KeReadStateTimer(&timer));
  due.QuadPart = 0;  // long past
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(timer.DueTime.QuadPart, static_cast<ULONGLONG>(kTick));
  session().Pump();
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostTimer, PeriodicTimerRearmsAfterEachExpiry) {
  HostTimerTestLog log;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimerEx(&timer, Relative(10 * 10000), 20, &dpc);
  // Each expiry at a tick (15.625 ms), the next 20 ms after it, at the tick after that: 15.625,
  // 46.875, 78.125 ms.
  session().AdvanceTimeMs(75);
  EXPECT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.at, 3 * kTick);
  session().AdvanceTimeMs(4);
  EXPECT_EQ(log.entries.size(), 3u);
  EXPECT_EQ(log.at, 5 * kTick);
  EXPECT_TRUE(timer.Header.Inserted);
  EXPECT_TRUE(KeCancelTimer(&timer));
  session().AdvanceTimeMs(100);
  EXPECT_EQ(log.entries.size(), 3u);
}

TEST_F(HostTimer, TimersDueTogetherQueueTheirSharedDpcOnce) {
  HostTimerTestLog log;
  KTIMER t1, t2;
  KDPC dpc;
  KeInitializeTimer(&t1);
  KeInitializeTimer(&t2);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimer(&t1, Relative(100), &dpc);
  KeSetTimer(&t2, Relative(5000), &dpc);
  session().AdvanceTime(kTick);
  EXPECT_EQ(log.entries.size(), 1u);  // both expired in one clock interrupt; KeInsertQueueDpc
                                      // found the DPC queued the second time
  EXPECT_TRUE(KeReadStateTimer(&t1));
  EXPECT_TRUE(KeReadStateTimer(&t2));
  KeSetTimer(&t1, Relative(100), &dpc);
  KeSetTimer(&t2, Relative(kTick + 100), &dpc);
  session().AdvanceTime(2 * kTick);
  EXPECT_EQ(log.entries.size(), 3u);  // a tick apart, each expiry runs it
}

TEST_F(HostTimer, SettingAnUninitialisedTimerIsObjectMisuse) {
  KTIMER timer;
  memset(&timer, 0xCD, sizeof timer);
  ExpectViolations capture;
  KeSetTimer(&timer, Relative(100), nullptr);
  EXPECT_EQ(capture.Count(Rule::ObjectMisuse), 1u) << capture.Text();
  KeCancelTimer(&timer);
}

TEST_F(HostTimer, TimerLeftSetAtSessionEndIsReported) {
  KTIMER timer;
  KDPC dpc;
  HostTimerTestLog log;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimer(&timer, Relative(1000), &dpc);
  ExpectViolations capture;
  EndSession();
  ASSERT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("HostTimerTestDpc"), std::string::npos);
  EXPECT_TRUE(log.entries.empty());
}

// The tick is a session option: KeQueryTimeIncrement and KeQueryTickCount follow it; a timer
// expires, and a timeout ends, at the first tick boundary at or after its due time.
TEST(HostClock, TimersAndTimeoutsEndAtTheSessionsTick) {
  struct Case {
    int64_t tick, due, ends;
  };
  for (Case c : {Case{kTick, 10000, kTick}, Case{100000, 10000, 100000},
                 Case{100000, 250000, 300000}, Case{100000, 300000, 300000}, Case{1, 1234, 1234}}) {
    SCOPED_TRACE(testing::Message() << "tick " << c.tick << ", due " << c.due);
    host::SessionOptions options;
    options.clockTick = c.tick;
    host::testing::ScopedSession session(options);
    EXPECT_EQ(KeQueryTimeIncrement(), static_cast<ULONG>(c.tick));
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(c.due), nullptr);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(c.due);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(session->Now(), c.ends);
    session->Pump();  // the timer expired in the same tick
    EXPECT_TRUE(KeReadStateTimer(&timer));
    LARGE_INTEGER count;
    KeQueryTickCount(&count);
    EXPECT_EQ(count.QuadPart, c.ends / c.tick);
  }
}

class HostDpc : public host::testing::DeterministicTest {};

TEST_F(HostDpc, InsertReturnsFalseWhileQueuedAndRemoveDequeues) {
  HostTimerTestLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(2), nullptr));
  EXPECT_NE(dpc.DpcData, nullptr);
  session().Pump();
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.argument1, reinterpret_cast<PVOID>(1));
  EXPECT_EQ(dpc.DpcData, nullptr);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  session().Pump();
  EXPECT_EQ(log.entries.size(), 1u);
}

TEST_F(HostDpc, DpcsRunFifoAndHighImportanceFirst) {
  std::vector<std::string> order;
  Named a{&order, "a"}, b{&order, "b"}, c{&order, "c"};
  KDPC da, db, dc;
  KeInitializeDpc(&da, RecordName, &a);
  KeInitializeDpc(&db, RecordName, &b);
  KeInitializeDpc(&dc, RecordName, &c);
  dc.Importance = HighImportance;
  KeInsertQueueDpc(&da, nullptr, nullptr);
  KeInsertQueueDpc(&db, nullptr, nullptr);
  KeInsertQueueDpc(&dc, nullptr, nullptr);
  session().Pump();
  EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b"}));
}

TEST_F(HostDpc, DpcRunsWithItsOwnStateNotThePumpingThreads) {
  HostTimerTestLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);  // the pumping thread is at APC_LEVEL
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  session().Pump();
  EXPECT_EQ(log.irql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  ExReleaseFastMutex(&mutex);
}

TEST_F(HostDpc, DpcReturningAtAnotherIrqlIsReported) {
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpcRaises, nullptr);
  ExpectViolations capture;
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  session().Pump();
  ASSERT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("DPC routine HostTimerTestDpcRaises returned at HIGH_LEVEL"),
            std::string::npos)
      << capture.seen()[0].message;
  // The next DPC starts at DISPATCH_LEVEL again.
  HostTimerTestLog log;
  KDPC next;
  KeInitializeDpc(&next, HostTimerTestDpc, &log);
  KeInsertQueueDpc(&next, nullptr, nullptr);
  session().Pump();
  EXPECT_EQ(log.irql, DISPATCH_LEVEL);
}

VOID RequeueForever(PKDPC Dpc, PVOID, PVOID, PVOID) { KeInsertQueueDpc(Dpc, nullptr, nullptr); }

TEST_F(HostDpc, ADpcThatRequeuesItselfForeverIsReportedNotSpunOn) {
  KDPC dpc;
  KeInitializeDpc(&dpc, RequeueForever, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ExpectViolations capture;
  session().Pump();
  EXPECT_EQ(capture.Count(Rule::Deadlock), 1u) << capture.Text();
  KeRemoveQueueDpc(&dpc);
}

TEST_F(HostDpc, FlushRunsQueuedDpcsNow) {
  HostTimerTestLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.entries.size(), 1u);
}

TEST_F(HostDpc, QueueDpcCallRunsAtDispatchLevel) {
  KIRQL seen = 0;
  host::internal::QueueDpcCall([&] { seen = KeGetCurrentIrql(); }, "test");
  EXPECT_EQ(seen, 0);
  session().Pump();
  EXPECT_EQ(seen, DISPATCH_LEVEL);
}

TEST_F(HostDpc, ReinitialisingAQueuedDpcIsReportedAndDequeued) {
  HostTimerTestLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ExpectViolations capture;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  EXPECT_EQ(capture.Count(Rule::ObjectMisuse), 1u);
  session().Pump();
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(HostDpc, DpcLeftQueuedAtSessionEndIsReportedNotRun) {
  HostTimerTestLog log;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ExpectViolations capture;
  EndSession();
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_TRUE(log.entries.empty());
}

}  // namespace

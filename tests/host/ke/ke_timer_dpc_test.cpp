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
  session().AdvanceTime(100);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  KeSetTimer(&timer, Relative(100), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(99);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostTimer, ExpiryQueuesTheDpcWhichRunsAtDispatchLevelWithTheDueTime) {
  HostTimerTestLog log;
  KTIMER timer;
  KDPC dpc;
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimer(&timer, Relative(5000), &dpc);
  session().AdvanceTime(4999);
  EXPECT_TRUE(log.entries.empty());
  session().AdvanceTime(10000);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.irql, DISPATCH_LEVEL);
  EXPECT_EQ(log.at, 5000);  // ran when it fell due, not at the end of the advance
  ULARGE_INTEGER expected;
  expected.QuadPart = start.QuadPart + 5000;
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
  session().AdvanceTime(1000);
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "c"}));
}

TEST_F(HostTimer, MinusOneExpiresAtTheNextClockMovementNotAtPump) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(1), nullptr);
  session().Pump();
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(HostTimer, AbsoluteDueTimesAreSystemTimesAndThePastIsDueAtOnce) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart + 700;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(timer.DueTime.QuadPart, 700u);  // interrupt time of expiry
  session().AdvanceTime(699);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  session().AdvanceTime(1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  due.QuadPart = 0;  // long past
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(timer.DueTime.QuadPart, 700u);
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
  session().AdvanceTimeMs(75);
  EXPECT_EQ(log.entries.size(), 4u);  // 10, 30, 50, 70 ms
  EXPECT_TRUE(timer.Header.Inserted);
  EXPECT_TRUE(KeCancelTimer(&timer));
  session().AdvanceTimeMs(100);
  EXPECT_EQ(log.entries.size(), 4u);
}

TEST_F(HostTimer, TimersDueTogetherQueueTheirSharedDpcOnce) {
  HostTimerTestLog log;
  KTIMER t1, t2;
  KDPC dpc;
  KeInitializeTimer(&t1);
  KeInitializeTimer(&t2);
  KeInitializeDpc(&dpc, HostTimerTestDpc, &log);
  KeSetTimer(&t1, Relative(100), &dpc);
  KeSetTimer(&t2, Relative(100), &dpc);
  session().AdvanceTime(100);
  EXPECT_EQ(log.entries.size(), 1u);  // both expired in one clock interrupt; KeInsertQueueDpc
                                      // found the DPC queued the second time
  EXPECT_TRUE(KeReadStateTimer(&t1));
  EXPECT_TRUE(KeReadStateTimer(&t2));
  KeSetTimer(&t1, Relative(100), &dpc);
  KeSetTimer(&t2, Relative(101), &dpc);
  session().AdvanceTime(200);
  EXPECT_EQ(log.entries.size(), 3u);  // apart, each expiry runs it
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

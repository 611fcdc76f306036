// Threaded mode: many real threads on spin locks, events, fast mutexes, timers, DPCs and work
// items. Bounded in time (every wait has a way to finish), sequenced by events, never by sleeps;
// clean under ThreadSanitizer.
#include <host_test.h>

#include <atomic>
#include <vector>

#include "internal/kernel.h"

using host::internal::CurrentThread;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

namespace {

constexpr int kThreads = 4;
constexpr int kIterations = 2000;

LARGE_INTEGER Relative(int64_t ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

class HostConcurrency : public host::testing::ThreadedTest {};

TEST_F(HostConcurrency, SpinLockGivesMutualExclusion) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // plain memory: only the spin lock orders it
  std::vector<std::shared_ptr<host::Thread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("spinner " + std::to_string(t), [&] {
      for (int i = 0; i < kIterations; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        long seen = counter;
        counter = seen + 1;
        KeReleaseSpinLock(&lock, old);
      }
    }));
  }
  for (auto& t : threads) t->Join();
  EXPECT_EQ(counter, kThreads * kIterations);
  EXPECT_EQ(lock, 0u);
}

TEST_F(HostConcurrency, FastMutexGivesMutualExclusionAndBlocksWaiters) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  long counter = 0;
  std::vector<std::shared_ptr<host::Thread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("mutexer " + std::to_string(t), [&] {
      for (int i = 0; i < kIterations / 4; ++i) {
        ExAcquireFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ++counter;
        ExReleaseFastMutex(&mutex);
      }
    }));
  }
  for (auto& t : threads) t->Join();
  EXPECT_EQ(counter, kThreads * kIterations / 4);
  EXPECT_EQ(mutex.Count, 1);
}

TEST_F(HostConcurrency, SynchronizationEventHandsEachSignalToExactlyOneWaiter) {
  KEVENT event, done, exited;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  KeInitializeEvent(&exited, SynchronizationEvent, FALSE);
  constexpr int kSignals = 400;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::vector<std::shared_ptr<host::Thread>> waiters;
  for (int t = 0; t < kThreads; ++t) {
    waiters.push_back(session().Spawn("waiter " + std::to_string(t), [&] {
      for (;;) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        if (stop) break;
        ++received;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
      }
      KeSetEvent(&exited, IO_NO_INCREMENT, FALSE);
    }));
  }
  for (int i = 0; i < kSignals; ++i) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);  // phase: one taken
  }
  EXPECT_EQ(received.load(), kSignals);
  stop = true;
  for (int t = 0; t < kThreads; ++t) {  // one signal per waiter, each seen by exactly one
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&exited, Executive, KernelMode, FALSE, nullptr);
  }
  for (auto& w : waiters) w->Join();
  EXPECT_EQ(received.load(), kSignals);
}

struct DpcCounter {
  std::atomic<int> runs{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
  std::atomic<int> wrongIrql{0};
  KEVENT done;
  int target = 0;
};

VOID CountingDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  auto* c = static_cast<DpcCounter*>(Context);
  int now = ++c->concurrent;
  int max = c->maxConcurrent.load();
  while (now > max && !c->maxConcurrent.compare_exchange_weak(max, now)) {
  }
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++c->wrongIrql;
  --c->concurrent;
  if (++c->runs == c->target) KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
}

// A DPC queued by its own routine stays on that processor's queue and runs after itself; only
// one queued again by a thread while it runs may run beside itself, as on the platform. Either
// way each queueing runs once.
VOID RequeuingDpc(PKDPC Dpc, PVOID Context, PVOID, PVOID) {
  auto* c = static_cast<DpcCounter*>(Context);
  int now = ++c->concurrent;
  int max = c->maxConcurrent.load();
  while (now > max && !c->maxConcurrent.compare_exchange_weak(max, now)) {
  }
  const bool again = ++c->runs < c->target;
  if (again) KeInsertQueueDpc(Dpc, nullptr, nullptr);
  // Long enough for another DPC thread to take it, were that allowed.
  for (int i = 0; i < 100000 && c->concurrent.load() == now; ++i) {
  }
  --c->concurrent;
  if (!again) KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(HostConcurrency, ADpcRunsOnceForEachQueueingAndBesideItselfOnlyWhenAThreadQueuedIt) {
  DpcCounter counter;
  counter.target = 1;
  KeInitializeEvent(&counter.done, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, CountingDpc, &counter);
  std::vector<std::shared_ptr<host::Thread>> threads;
  std::atomic<int> inserted{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("inserter " + std::to_string(t), [&] {
      for (int i = 0; i < 300; ++i) {
        if (KeInsertQueueDpc(&dpc, nullptr, nullptr)) ++inserted;
      }
    }));
  }
  for (auto& t : threads) t->Join();
  session().Pump();
  EXPECT_EQ(counter.runs.load(), inserted.load());
  EXPECT_LE(counter.maxConcurrent.load(), 2);  // two DPC threads
  EXPECT_EQ(counter.wrongIrql.load(), 0);

  DpcCounter self;
  self.target = 300;
  KeInitializeEvent(&self.done, NotificationEvent, FALSE);
  KDPC requeuing;
  KeInitializeDpc(&requeuing, RequeuingDpc, &self);
  KeInsertQueueDpc(&requeuing, nullptr, nullptr);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10LL * 10000000;
  EXPECT_EQ(KeWaitForSingleObject(&self.done, Executive, KernelMode, FALSE, &timeout),
            STATUS_SUCCESS);
  session().Pump();
  EXPECT_EQ(self.runs.load(), 300);
  EXPECT_EQ(self.maxConcurrent.load(), 1);
}

TEST_F(HostConcurrency, TimersFireTheirDpcsOnTheDpcThreads) {
  constexpr int kTimers = 16;
  DpcCounter counter;
  counter.target = kTimers;
  KeInitializeEvent(&counter.done, NotificationEvent, FALSE);
  std::vector<KTIMER> timers(kTimers);
  std::vector<KDPC> dpcs(kTimers);
  for (int i = 0; i < kTimers; ++i) {
    KeInitializeTimer(&timers[i]);
    KeInitializeDpc(&dpcs[i], CountingDpc, &counter);
    KeSetTimer(&timers[i], Relative(10000 * (i % 4)), &dpcs[i]);  // 0..3 ms
  }
  LARGE_INTEGER limit = Relative(10LL * 10000000);  // generous bound; normally a few ms
  EXPECT_EQ(KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  session().Pump();
  EXPECT_EQ(counter.runs.load(), kTimers);
  EXPECT_EQ(counter.wrongIrql.load(), 0);
  for (auto& t : timers) EXPECT_FALSE(KeCancelTimer(&t));
}

struct WorkCounter {
  WORK_QUEUE_ITEM item;
  std::atomic<int>* runs;
  std::atomic<int>* wrongIrql;
};

VOID CountingWork(PVOID Parameter) {
  auto* w = static_cast<WorkCounter*>(Parameter);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++*w->wrongIrql;
  ++*w->runs;
  ExFreePool(w);
}

TEST_F(HostConcurrency, WorkItemsQueuedFromManyThreadsAllRunAndPumpWaitsForThem) {
  std::atomic<int> runs{0}, wrongIrql{0};
  std::vector<std::shared_ptr<host::Thread>> threads;
  constexpr int kPerThread = 100;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(session().Spawn("queuer " + std::to_string(t), [&] {
      for (int i = 0; i < kPerThread; ++i) {
        auto* w = static_cast<WorkCounter*>(ExAllocatePool(NonPagedPool, sizeof(WorkCounter)));
        w->runs = &runs;
        w->wrongIrql = &wrongIrql;
        ExInitializeWorkItem(&w->item, CountingWork, w);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExQueueWorkItem(&w->item, DelayedWorkQueue);
        KeLowerIrql(old);
      }
    }));
  }
  for (auto& t : threads) t->Join();
  session().Pump();
  EXPECT_EQ(runs.load(), kThreads * kPerThread);
  EXPECT_EQ(wrongIrql.load(), 0);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);
}

TEST_F(HostConcurrency, LockOrderIsCheckedOnEveryThread) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  host::verifier::DeclareLock(&a, "A", 1);
  host::verifier::DeclareLock(&b, "B", 2);
  ExpectViolations capture;
  auto t = session().Spawn("reverse", [&] {
    KIRQL old;
    KeAcquireSpinLock(&b, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
  });
  t->Join();
  EXPECT_EQ(capture.Count(Rule::LockOrder), 1u) << capture.Text();
}

// The timer thread sleeps until the earliest timer; one set to fall due before that must wake
// it, and ones set later or cancelled must not hold the earlier ones back. Timer B (2 ms) is set
// after A (30 s) and a cancelled C (1 ms): B fires long before A, which has not fired when B's DPC
// has run.
TEST_F(HostConcurrency, ATimerSetBeforeTheEarliestWakesTheTimerThread) {
  DpcCounter counter;
  counter.target = 1;
  KeInitializeEvent(&counter.done, NotificationEvent, FALSE);
  KTIMER a, b, c;
  KDPC dpcA, dpcB, dpcC;
  for (auto [timer, dpc] : {std::pair{&a, &dpcA}, std::pair{&b, &dpcB}, std::pair{&c, &dpcC}}) {
    KeInitializeTimer(timer);
    KeInitializeDpc(dpc, CountingDpc, &counter);
  }
  KeSetTimer(&a, Relative(30LL * 10000000), &dpcA);
  KeSetTimer(&c, Relative(10000), &dpcC);
  EXPECT_TRUE(KeCancelTimer(&c));
  KeSetTimer(&b, Relative(20000), &dpcB);
  LARGE_INTEGER limit = Relative(60LL * 10000000);  // only ends a broken run
  EXPECT_EQ(KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  EXPECT_TRUE(KeCancelTimer(&a)) << "the 30 s timer fired with the 2 ms one";
  EXPECT_FALSE(KeReadStateTimer(&a));
  EXPECT_TRUE(KeReadStateTimer(&b));
  session().Pump();
  EXPECT_EQ(counter.runs.load(), 1);
}

TEST_F(HostConcurrency, TimedWaitTimesOutOnTheRealClock) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(20000);  // 2 ms
  int64_t before = session().Now();
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(session().Now() - before, 20000);
}

}  // namespace

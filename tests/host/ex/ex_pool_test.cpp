// Pool: tracking, the fill pattern, misuse, leaks, the low-resources simulation and the
// freed-range check.
#include <host_test.h>

#include "internal/core.h"

using host::internal::CheckPoolLeaks;
using host::internal::Frame;
using host::internal::FrameScope;
using host::internal::OutstandingDriverPool;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

// Pool tags as drivers write them ('Tavr', 'Test'): four characters, the first in the low byte.
constexpr ULONG kTagTavr = 0x72766154;
constexpr ULONG kTagTest = 0x74736554;

// A fake driver routine that allocates and forgets.
__attribute__((noinline)) PVOID HostPoolTestAllocateContext() { return ExAllocatePoolWithTag(NonPagedPool, 48, kTagTavr); }

namespace {

class HostPool : public host::testing::DeterministicTest {};

TEST_F(HostPool, NewPoolIsFilledNotZeroedAndTracked) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTagTest));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0xCD) << i;
  EXPECT_TRUE(host::internal::IsPoolAllocation(p));
  EXPECT_FALSE(host::internal::IsPoolAllocation(p + 1));
  auto usage = host::verifier::CurrentPoolUsage();
  EXPECT_EQ(usage.allocations, 1u);
  EXPECT_EQ(usage.bytes, 16u);
  ExFreePoolWithTag(p, kTagTest);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);
  EXPECT_EQ(host::verifier::PoolAllocationCount(), 1u);
}

TEST_F(HostPool, DoubleFreeAndForeignFreeAreMisuseAndDoNotCrash) {
  void* p = ExAllocatePool(NonPagedPool, 8);
  ExFreePool(p);
  int local = 0;
  ExpectViolations capture;
  ExFreePool(p);
  ExFreePool(&local);
  ExFreePool(nullptr);
  ASSERT_EQ(capture.Count(Rule::PoolMisuse), 3u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("already freed"), std::string::npos);
  EXPECT_NE(capture.seen()[1].message.find("not the start of a pool allocation"), std::string::npos);
}

TEST_F(HostPool, SystemMemoryIsNotTheDriversToFree) {
  void* p = host::internal::SystemAllocate(32, "device extension");
  EXPECT_EQ(static_cast<unsigned char*>(p)[5], 0);  // zeroed
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 0u);
  ExpectViolations capture;
  ExFreePool(p);
  EXPECT_EQ(capture.Count(Rule::PoolMisuse), 1u);
  EXPECT_TRUE(host::internal::IsPoolAllocation(p));
  host::internal::SystemFree(p);
  void* handed = host::internal::SystemAllocate(8, "interface name", true);
  EXPECT_EQ(host::verifier::CurrentPoolUsage().allocations, 1u);
  ExFreePool(handed);  // the driver frees what the system handed to it
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostPool, AllocationAboveDispatchOrPagedAtDispatchIsIrqlMisuse) {
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void* paged = ExAllocatePool(PagedPool, 8);
  void* nonPaged = ExAllocatePool(NonPagedPool, 8);
  KeRaiseIrql(HIGH_LEVEL, &old);
  void* high = ExAllocatePool(NonPagedPool, 8);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 2u) << capture.Text();
  EXPECT_EQ(host::verifier::PagedPoolAllocationCount(), 1u);
  ExFreePool(paged);
  ExFreePool(nonPaged);
  ExFreePool(high);
}

// What Driver Verifier stops on and the platform's own rules for pool: each misuse in one table,
// beside the uses next to it that are right. The memory is always allocated / freed after the
// report.
TEST_F(HostPool, ZeroBytesWrongTagsAndPagedPoolFreedAtDispatchLevel) {
  constexpr ULONG kNone = 0x656E6F4E;  // ExAllocatePool's tag, 'None'
  struct Case {
    const char* name;
    POOL_TYPE type;
    SIZE_T bytes;
    bool tagged;      // allocated with kTagTavr (else ExAllocatePool)
    KIRQL freeIrql;
    ULONG freeTag;    // 0: ExFreePool
    Rule rule;        // reported
    size_t count;
  } cases[] = {
      {"zero bytes", NonPagedPool, 0, true, PASSIVE_LEVEL, 0, Rule::PoolMisuse, 1},
      {"zero bytes untagged", PagedPool, 0, false, PASSIVE_LEVEL, 0, Rule::PoolMisuse, 1},
      {"another tag", NonPagedPool, 8, true, PASSIVE_LEVEL, kTagTest, Rule::PoolMisuse, 1},
      {"a tag for untagged pool", NonPagedPool, 8, false, PASSIVE_LEVEL, kTagTavr, Rule::PoolMisuse, 1},
      {"its tag", NonPagedPool, 8, true, DISPATCH_LEVEL, kTagTavr, Rule::PoolMisuse, 0},
      {"its tag, protected", NonPagedPool, 8, true, PASSIVE_LEVEL, kTagTavr | 0x80000000u, Rule::PoolMisuse, 0},
      {"'None' for untagged pool", NonPagedPool, 8, false, PASSIVE_LEVEL, kNone, Rule::PoolMisuse, 0},
      {"paged at DISPATCH_LEVEL", PagedPool, 8, true, DISPATCH_LEVEL, 0, Rule::IrqlMisuse, 1},
      {"paged at APC_LEVEL", PagedPool, 8, true, APC_LEVEL, kTagTavr, Rule::IrqlMisuse, 0},
  };
  for (const Case& c : cases) {
    ExpectViolations capture;
    void* p = c.tagged ? ExAllocatePoolWithTag(c.type, c.bytes, kTagTavr) : ExAllocatePool(c.type, c.bytes);
    ASSERT_NE(p, nullptr) << c.name;
    KIRQL old;
    KeRaiseIrql(c.freeIrql, &old);
    if (c.freeTag != 0) {
      ExFreePoolWithTag(p, c.freeTag);
    } else {
      ExFreePool(p);
    }
    KeLowerIrql(old);
    EXPECT_EQ(capture.Count(c.rule), c.count) << c.name << ": " << capture.Text();
    EXPECT_EQ(capture.seen().size(), c.count) << c.name << ": " << capture.Text();
    EXPECT_FALSE(host::internal::IsPoolAllocation(p)) << c.name;
  }
}

TEST_F(HostPool, LeakAtSessionEndNamesSizeTagAndAllocatingRoutine) {
  HostPoolTestAllocateContext();
  ExpectViolations capture;
  EndSession();
  ASSERT_EQ(capture.Count(Rule::PoolLeak), 1u) << capture.Text();
  const std::string& message = capture.seen()[0].message;
  EXPECT_NE(message.find("48 bytes"), std::string::npos) << message;
  EXPECT_NE(message.find("tag 'Tavr'"), std::string::npos) << message;
  EXPECT_NE(message.find("HostPoolTestAllocateContext"), std::string::npos) << message;
}

TEST_F(HostPool, LeakCheckByDriverReportsOnceAndOnlyThatDriversPool) {
  DRIVER_OBJECT ours{}, theirs{};
  Frame frame;
  frame.kind = Frame::DriverEntry;
  frame.driver = &ours;
  void* mine;
  {
    FrameScope scope(frame);
    mine = ExAllocatePool(NonPagedPool, 10);
  }
  frame.driver = &theirs;
  void* other;
  {
    FrameScope scope(frame);
    other = ExAllocatePool(NonPagedPool, 20);
  }
  ASSERT_EQ(OutstandingDriverPool(&ours).size(), 1u);
  EXPECT_EQ(OutstandingDriverPool(&ours)[0].address, mine);
  EXPECT_EQ(OutstandingDriverPool().size(), 2u);
  ExpectViolations capture;
  EXPECT_EQ(CheckPoolLeaks(&ours, "at unload of the test driver"), 1u);
  EXPECT_EQ(CheckPoolLeaks(&ours, "again"), 0u);
  ASSERT_EQ(capture.Count(Rule::PoolLeak), 1u);
  EXPECT_NE(capture.seen()[0].message.find("10 bytes"), std::string::npos);
  ExFreePool(mine);
  ExFreePool(other);
}

TEST_F(HostPool, FailNthAllocationFailsExactlyThatOne) {
  host::verifier::FailPoolAllocation(2);
  void* first = ExAllocatePool(NonPagedPool, 4);
  void* second = ExAllocatePool(NonPagedPool, 4);
  void* third = ExAllocatePool(NonPagedPool, 4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  host::verifier::FailPoolAllocation(1);
  host::verifier::ClearFaults();
  void* fourth = ExAllocatePool(NonPagedPool, 4);
  EXPECT_NE(fourth, nullptr);
  for (void* p : {first, third, fourth}) ExFreePool(p);
}

TEST_F(HostPool, OneDriversAllocationsAreCountedApartAndOnlyTheyFail) {
  std::u16string oursName = u"\\Driver\\ours";
  DRIVER_OBJECT ours{}, theirs{};
  ours.DriverName.Buffer = reinterpret_cast<PWSTR>(oursName.data());
  ours.DriverName.Length = ours.DriverName.MaximumLength = static_cast<USHORT>(oursName.size() * 2);
  host::verifier::FailPoolAllocation(2, "\\Driver\\ours");
  host::verifier::FailIrpAllocation(1, "\\Driver\\ours");
  Frame frame;
  frame.kind = Frame::DriverEntry;
  std::vector<void*> pool;
  std::vector<PIRP> irps;
  for (PDRIVER_OBJECT driver : {&theirs, &ours, &theirs, &ours, &ours}) {
    frame.driver = driver;
    FrameScope scope(frame);
    pool.push_back(ExAllocatePool(NonPagedPool, 8));
    irps.push_back(IoAllocateIrp(1, FALSE));
  }
  // Ours: the second pool allocation and the first request allocation; theirs never.
  for (size_t i = 0; i < pool.size(); ++i) {
    EXPECT_EQ(pool[i] == nullptr, i == 3) << "pool allocation " << i;
    EXPECT_EQ(irps[i] == nullptr, i == 1) << "request allocation " << i;
  }
  host::verifier::AllocationCounts counts = host::verifier::DriverAllocationCounts("\\Driver\\ours");
  EXPECT_EQ(counts.pool, 3u);
  EXPECT_EQ(counts.irp, 3u);
  EXPECT_EQ(host::verifier::PoolAllocationCount(), 5u);
  for (void* p : pool) {
    if (p != nullptr) ExFreePool(p);
  }
  for (PIRP irp : irps) {
    if (irp != nullptr) IoFreeIrp(irp);
  }
}

TEST_F(HostPool, FreeingPoolWithAnArmedTimerInsideCancelsItAndReports) {
  struct Context {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
  };
  auto* c = static_cast<Context*>(ExAllocatePool(NonPagedPool, sizeof(Context)));
  KeInitializeTimer(&c->timer);
  KeInitializeDpc(&c->dpc, [](PKDPC, PVOID, PVOID, PVOID) { FAIL() << "ran after free"; }, nullptr);
  ExInitializeWorkItem(&c->item, [](PVOID) { FAIL() << "ran after free"; }, nullptr);
  KeSetTimer(&c->timer, LARGE_INTEGER{{static_cast<ULONG>(-100), -1}}, &c->dpc);
  ExQueueWorkItem(&c->item, DelayedWorkQueue);
  ExpectViolations capture;
  ExFreePool(c);
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 2u) << capture.Text();
  session().AdvanceTime(1000);  // nothing runs, nothing touches the freed memory
  KDPC queued;
  KeInitializeDpc(&queued, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  auto* holder = static_cast<KDPC*>(ExAllocatePool(NonPagedPool, sizeof(KDPC)));
  *holder = queued;
  KeInsertQueueDpc(holder, nullptr, nullptr);
  ExFreePool(holder);
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 3u) << capture.Text();
  session().Pump();
}

TEST_F(HostPool, FreeingTheDpcOfASetTimerCancelsTheTimer) {
  KTIMER timer;  // outside the freed memory
  KeInitializeTimer(&timer);
  auto* dpc = static_cast<KDPC*>(ExAllocatePool(NonPagedPool, sizeof(KDPC)));
  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) { FAIL() << "ran after free"; }, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -100;
  KeSetTimer(&timer, due, dpc);
  ExpectViolations capture;
  ExFreePool(dpc);
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_FALSE(timer.Header.Inserted);
  session().AdvanceTime(1000);
}

TEST_F(HostPool, FreeingAnEventSomeoneWaitsOnAbandonsTheWait) {
  auto* event = static_cast<KEVENT*>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
  KeInitializeEvent(event, NotificationEvent, FALSE);
  NTSTATUS status = -1;
  auto waiter = session().Spawn("waiter", [&] {
    status = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  });
  ExpectViolations capture;
  ExFreePool(event);
  session().Pump();
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("thread 'waiter'"), std::string::npos);
  EXPECT_EQ(status, STATUS_ABANDONED);
}

TEST_F(HostPool, FreeingAHeldSpinLockOrDroppingADeclarationIsHandled) {
  auto* lock = static_cast<KSPIN_LOCK*>(ExAllocatePool(NonPagedPool, sizeof(KSPIN_LOCK)));
  KeInitializeSpinLock(lock);
  host::verifier::DeclareLock(lock, "SpinLock", 20);
  KIRQL old;
  KeAcquireSpinLock(lock, &old);
  ExpectViolations capture;
  ExFreePool(lock);
  EXPECT_EQ(capture.Count(Rule::FreedObjectInUse), 1u) << capture.Text();
  EXPECT_TRUE(host::internal::CurrentThread().heldLocks.empty());
  KeLowerIrql(old);
  // The declaration went with the memory: a new lock at the same address is undeclared.
  EXPECT_EQ(host::internal::LockName(lock).find("SpinLock"), std::string::npos);
}

}  // namespace

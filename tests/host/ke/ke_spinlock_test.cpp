// Spin locks: IRQL effects, the misuse reports, and the declared lock order.
#include <host_test.h>

#include "internal/kernel.h"

using host::internal::CancelSpinLock;
using host::internal::CurrentThread;
using host::internal::Frame;
using host::internal::FrameScope;
using host::verifier::DeclareLock;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

struct HostSpinLockTestDevice {
  KSPIN_LOCK SpinLock;
  KSPIN_LOCK RingLock;
  KSPIN_LOCK StateLock;
  KDPC Dpc;
};

// A DPC routine that returns with its lock still held.
VOID HostSpinLockTestDpcKeepsLock(PKDPC Dpc, PVOID Context, PVOID, PVOID) {
  auto* device = static_cast<HostSpinLockTestDevice*>(Context);
  KeAcquireSpinLockAtDpcLevel(&device->SpinLock);
}

namespace {

class HostSpinLock : public host::testing::DeterministicTest {
 protected:
  void SetUp() override {
    DeterministicTest::SetUp();
    KeInitializeSpinLock(&device.SpinLock);
    KeInitializeSpinLock(&device.RingLock);
    KeInitializeSpinLock(&device.StateLock);
    DeclareLock(&device.SpinLock, "SpinLock", 20);
    DeclareLock(&device.RingLock, "RingLock", 30);
    DeclareLock(&device.StateLock, "StateLock", 0);
  }
  HostSpinLockTestDevice device{};
};

TEST_F(HostSpinLock, AcquireRaisesToDispatchAndReleaseRestores) {
  KIRQL old = 0xFF;
  KeAcquireSpinLock(&device.SpinLock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(device.SpinLock, 0u);
  ASSERT_EQ(CurrentThread().heldLocks.size(), 1u);
  KeAcquireSpinLockAtDpcLevel(&device.RingLock);
  KeReleaseSpinLockFromDpcLevel(&device.RingLock);
  KeReleaseSpinLock(&device.SpinLock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(device.SpinLock, 0u);
  EXPECT_TRUE(CurrentThread().heldLocks.empty());
  EXPECT_TRUE(host::verifier::Violations().empty());
}

TEST_F(HostSpinLock, AtDpcLevelRequiresDispatchLevel) {
  ExpectViolations capture;
  KeAcquireSpinLockAtDpcLevel(&device.SpinLock);
  KeReleaseSpinLockFromDpcLevel(&device.SpinLock);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 2u) << capture.Text();
}

TEST_F(HostSpinLock, ReleasingALockNotHeldIsMisuse) {
  ExpectViolations capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&device.SpinLock, PASSIVE_LEVEL);
  ASSERT_EQ(capture.Count(Rule::SpinLockMisuse), 1u);
  EXPECT_NE(capture.seen()[0].message.find("SpinLock"), std::string::npos);
  EXPECT_NE(capture.seen()[0].message.find("does not hold"), std::string::npos);
}

TEST_F(HostSpinLock, RecursiveAcquireIsReportedInsteadOfSpinningForever) {
  ExpectViolations capture;
  KIRQL old, inner;
  KeAcquireSpinLock(&device.SpinLock, &old);
  KeAcquireSpinLock(&device.SpinLock, &inner);
  ASSERT_EQ(capture.Count(Rule::SpinLockMisuse), 1u);
  EXPECT_NE(capture.seen()[0].message.find("already holds"), std::string::npos);
  // The state stays consistent: both releases are accepted, then the lock is free.
  KeReleaseSpinLock(&device.SpinLock, inner);
  EXPECT_NE(device.SpinLock, 0u);
  KeReleaseSpinLock(&device.SpinLock, old);
  EXPECT_EQ(device.SpinLock, 0u);
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostSpinLock, LockHeldByABlockedThreadIsReportedInDeterministicMode) {
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  ExpectViolations capture;  // the holder's own misuse is captured too
  auto holder = session().Spawn("holder", [&] {
    KIRQL old;
    KeAcquireSpinLock(&device.SpinLock, &old);
    KeLowerIrql(PASSIVE_LEVEL);  // (misuse too, to be able to block while holding it)
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&device.SpinLock, PASSIVE_LEVEL);
  });
  ASSERT_EQ(capture.Count(Rule::SpinLockMisuse), 1u) << capture.Text();  // waits holding it
  KIRQL old;
  KeAcquireSpinLock(&device.SpinLock, &old);
  EXPECT_EQ(capture.Count(Rule::SpinLockMisuse), 2u) << capture.Text();
  EXPECT_NE(capture.Text().find("thread 'holder'"), std::string::npos) << capture.Text();
  KeReleaseSpinLock(&device.SpinLock, old);
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  holder->Join();
}

TEST_F(HostSpinLock, DeclaredOrderIsAcceptedAndReverseOrderIsReported) {
  KIRQL old;
  KeAcquireSpinLock(&device.SpinLock, &old);
  KeAcquireSpinLockAtDpcLevel(&device.RingLock);
  KeReleaseSpinLockFromDpcLevel(&device.RingLock);
  KeReleaseSpinLock(&device.SpinLock, old);
  EXPECT_TRUE(host::verifier::Violations().empty());

  ExpectViolations capture;
  KeAcquireSpinLock(&device.RingLock, &old);
  KeAcquireSpinLockAtDpcLevel(&device.SpinLock);
  KeReleaseSpinLockFromDpcLevel(&device.SpinLock);
  KeReleaseSpinLock(&device.RingLock, old);
  ASSERT_EQ(capture.Count(Rule::LockOrder), 1u);
  const std::string& message = capture.seen()[0].message;
  EXPECT_NE(message.find("SpinLock"), std::string::npos) << message;
  EXPECT_NE(message.find("RingLock"), std::string::npos) << message;
}

TEST_F(HostSpinLock, RankZeroLockMustBeHeldAlone) {
  ExpectViolations capture;
  KIRQL old;
  KeAcquireSpinLock(&device.StateLock, &old);
  KeAcquireSpinLockAtDpcLevel(&device.SpinLock);
  KeReleaseSpinLockFromDpcLevel(&device.SpinLock);
  KeReleaseSpinLock(&device.StateLock, old);
  KeAcquireSpinLock(&device.SpinLock, &old);
  KeAcquireSpinLockAtDpcLevel(&device.StateLock);
  KeReleaseSpinLockFromDpcLevel(&device.StateLock);
  KeReleaseSpinLock(&device.SpinLock, old);
  EXPECT_EQ(capture.Count(Rule::LockOrder), 2u) << capture.Text();
  EXPECT_NE(capture.Text().find("StateLock"), std::string::npos);
}

TEST_F(HostSpinLock, CancelSpinLockComesBeforeSpinLock) {
  KIRQL old;
  KeAcquireSpinLock(CancelSpinLock(), &old);
  EXPECT_TRUE(CurrentThread().heldLocks.back().cancelSpinLock);
  KeAcquireSpinLockAtDpcLevel(&device.SpinLock);
  KeReleaseSpinLockFromDpcLevel(&device.SpinLock);
  KeReleaseSpinLock(CancelSpinLock(), old);
  EXPECT_TRUE(host::verifier::Violations().empty());

  ExpectViolations capture;
  KeAcquireSpinLock(&device.SpinLock, &old);
  KeAcquireSpinLockAtDpcLevel(CancelSpinLock());
  KeReleaseSpinLockFromDpcLevel(CancelSpinLock());
  KeReleaseSpinLock(&device.SpinLock, old);
  ASSERT_EQ(capture.Count(Rule::LockOrder), 1u);
  EXPECT_NE(capture.seen()[0].message.find("cancel spin lock"), std::string::npos)
      << capture.seen()[0].message;
}

TEST_F(HostSpinLock, UndeclaredLocksAreNotOrdered) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL old;
  KeAcquireSpinLock(&b, &old);
  KeAcquireSpinLockAtDpcLevel(&device.SpinLock);
  KeAcquireSpinLockAtDpcLevel(&a);
  KeReleaseSpinLockFromDpcLevel(&a);
  KeReleaseSpinLockFromDpcLevel(&device.SpinLock);
  KeReleaseSpinLock(&b, old);
  EXPECT_TRUE(host::verifier::Violations().empty());
}

TEST_F(HostSpinLock, LoweringBelowDispatchWhileHoldingALockIsMisuse) {
  ExpectViolations capture;
  KIRQL first, second;
  KeAcquireSpinLock(&device.SpinLock, &first);
  KeAcquireSpinLock(&device.RingLock, &second);
  KeReleaseSpinLock(&device.SpinLock, first);  // out of order, back to PASSIVE with RingLock held
  ASSERT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  EXPECT_NE(capture.seen()[0].message.find("RingLock"), std::string::npos);
  KeRaiseIrql(DISPATCH_LEVEL, &first);
  KeReleaseSpinLock(&device.RingLock, PASSIVE_LEVEL);
}

TEST_F(HostSpinLock, DpcReturningWithALockHeldIsReportedAndTheLockFreed) {
  KeInitializeDpc(&device.Dpc, HostSpinLockTestDpcKeepsLock, &device);
  ExpectViolations capture;
  KeInsertQueueDpc(&device.Dpc, nullptr, nullptr);
  session().Pump();
  ASSERT_EQ(capture.Count(Rule::SpinLockMisuse), 1u) << capture.Text();
  const std::string& message = capture.seen()[0].message;
  EXPECT_NE(message.find("DPC routine HostSpinLockTestDpcKeepsLock"), std::string::npos) << message;
  EXPECT_NE(message.find("SpinLock"), std::string::npos);
  EXPECT_EQ(device.SpinLock, 0u);
}

}  // namespace

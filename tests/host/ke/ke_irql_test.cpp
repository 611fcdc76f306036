// IRQL per thread: raising, lowering, the misuse reports, and the checks on routine return.
#include <host_test.h>

#include "internal/kernel.h"

using host::internal::Frame;
using host::internal::FrameScope;
using host::internal::RunAtIrql;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

// A fake driver routine that forgets to lower the IRQL it raised.
void HostIrqlTestRoutineLeavesRaised() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

namespace {

class HostIrql : public host::testing::DeterministicTest {};

TEST_F(HostIrql, RaiseAndLowerAreTrackedPerThread) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = 0xFF;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL other = 0xFF;
  auto t = session().Spawn("other", [&] { other = KeGetCurrentIrql(); });
  EXPECT_TRUE(t->Finished());
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(APC_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);
  t->Join();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(host::verifier::Violations().empty());
}

TEST_F(HostIrql, RaisingToALowerLevelIsMisuse) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExpectViolations capture;
  KIRQL ignored;
  KeRaiseIrql(APC_LEVEL, &ignored);
  EXPECT_EQ(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
}

TEST_F(HostIrql, LoweringToAHigherLevelIsMisuse) {
  ExpectViolations capture;
  KeLowerIrql(DISPATCH_LEVEL);
  ASSERT_EQ(capture.Count(Rule::IrqlMisuse), 1u);
  EXPECT_NE(capture.seen()[0].message.find("KeLowerIrql to DISPATCH_LEVEL"), std::string::npos)
      << capture.seen()[0].message;
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostIrql, RoutineReturningAtAnotherIrqlIsReportedAndPutBack) {
  ExpectViolations capture;
  {
    Frame frame;
    frame.kind = Frame::Dispatch;
    frame.routine = reinterpret_cast<const void*>(&HostIrqlTestRoutineLeavesRaised);
    FrameScope scope(frame);
    HostIrqlTestRoutineLeavesRaised();
  }
  ASSERT_EQ(capture.Count(Rule::IrqlMisuse), 1u);
  const std::string& message = capture.seen()[0].message;
  EXPECT_NE(message.find("HostIrqlTestRoutineLeavesRaised returned at DISPATCH_LEVEL"),
            std::string::npos)
      << message;
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostIrql, RunAtIrqlRaisesForTheCallOnly) {
  KIRQL seen = 0;
  RunAtIrql(DISPATCH_LEVEL, [&] { seen = KeGetCurrentIrql(); });
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostIrql, SessionStartPutsTheThreadBackAtPassive) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EndSession();
  host::Session next;
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace

namespace {

// Each service called above the highest IRQL it allows is reported once.
TEST_F(HostIrql, ServicesCalledAboveTheirMaximumIrqlAreReported) {
  struct Case {
    const char* name;
    KIRQL at;
    std::function<void()> call;
  };
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KTIMER timer;
  KeInitializeTimer(&timer);
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, [](PVOID) {}, nullptr);
  LARGE_INTEGER shortDelay;
  shortDelay.QuadPart = -1;
  const std::vector<Case> cases = {
      {"KeAcquireSpinLock", HIGH_LEVEL, [&] { KIRQL o; KeAcquireSpinLock(&lock, &o); KeReleaseSpinLock(&lock, HIGH_LEVEL); }},
      {"KeSetTimer", HIGH_LEVEL, [&] { LARGE_INTEGER d; d.QuadPart = -10; KeSetTimer(&timer, d, nullptr); KeCancelTimer(&timer); }},
      {"ExQueueWorkItem", HIGH_LEVEL, [&] { ExQueueWorkItem(&item, DelayedWorkQueue); }},
      {"KeDelayExecutionThread", DISPATCH_LEVEL, [&] { KeDelayExecutionThread(KernelMode, FALSE, &shortDelay); }},
      {"KeFlushQueuedDpcs", APC_LEVEL, [&] { KeFlushQueuedDpcs(); }},
  };
  for (const Case& c : cases) {
    ExpectViolations capture;
    RunAtIrql(c.at, c.call);
    EXPECT_GE(capture.Count(Rule::IrqlMisuse), 1u) << c.name << "\n" << capture.Text();
    EXPECT_NE(capture.Text().find(c.name), std::string::npos) << capture.Text();
  }
  session().Pump();
}

}  // namespace

// The verifier's machinery: messages, capture scopes, the handler, bug checks, fault injection,
// debugger output and the service trace.
#include <host_test.h>

#include "internal/kernel.h"

using host::internal::Frame;
using host::internal::FrameScope;
using host::internal::Report;
using host::verifier::ExpectViolations;
using host::verifier::Rule;

// Fake driver routines, named in reports.
NTSTATUS HostVerifierTestDispatch(PDEVICE_OBJECT, PIRP) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLockFromDpcLevel(&lock);  // never acquired
  return STATUS_SUCCESS;
}

VOID HostVerifierTestBugCheckDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  *static_cast<int*>(Context) += 1;
  KeBugCheckEx(0xF7, 1, 2, 3, 4);
}

namespace {

class HostVerifier : public host::testing::DeterministicTest {};

TEST_F(HostVerifier, MessageNamesRuleRequestAndRoutineAndDetailsTheThread) {
  IRP irp{};
  Frame frame;
  frame.kind = Frame::Dispatch;
  frame.routine = reinterpret_cast<const void*>(&HostVerifierTestDispatch);
  frame.irp = &irp;
  ExpectViolations capture;
  {
    FrameScope scope(frame);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HostVerifierTestDispatch(nullptr, &irp);
    KeLowerIrql(old);
  }
  ASSERT_EQ(capture.seen().size(), 1u) << capture.Text();
  const auto& v = capture.seen()[0];
  EXPECT_EQ(v.rule, Rule::SpinLockMisuse);
  EXPECT_EQ(v.message.rfind("SpinLockMisuse: KeReleaseSpinLockFromDpcLevel", 0), 0u) << v.message;
  EXPECT_NE(v.message.find("request: " + host::internal::DescribeIrp(&irp)), std::string::npos)
      << v.message;
  EXPECT_NE(v.message.find("in dispatch routine HostVerifierTestDispatch"), std::string::npos)
      << v.message;
  EXPECT_NE(v.details.find("thread 'main' at DISPATCH_LEVEL"), std::string::npos) << v.details;
  EXPECT_EQ(host::verifier::Violations().size(), 1u);
}

TEST_F(HostVerifier, CaptureScopesNestAndTheInnermostTakesTheViolation) {
  ExpectViolations outer;
  Report(Rule::DeviceMisuse, "one");
  {
    ExpectViolations inner;
    Report(Rule::IrpLeak, "two");
    EXPECT_EQ(inner.seen().size(), 1u);
    EXPECT_TRUE(inner.Saw(Rule::IrpLeak));
  }
  Report(Rule::DeviceMisuse, "three");
  EXPECT_EQ(outer.Count(Rule::DeviceMisuse), 2u);
  EXPECT_FALSE(outer.Saw(Rule::IrpLeak));
  EXPECT_EQ(host::verifier::Violations().size(), 3u);  // the session keeps every report
}

TEST_F(HostVerifier, HandlerReceivesViolationsOutsideCaptureScopes) {
  std::vector<host::verifier::Violation> seen;
  host::verifier::SetHandler([&](const host::verifier::Violation& v) { seen.push_back(v); });
  Report(Rule::PoolMisuse, "by hand");
  host::testing::InstallFailureHandler();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, "PoolMisuse: by hand");
  EXPECT_STREQ(host::verifier::RuleName(Rule::FreedObjectInUse), "FreedObjectInUse");
}

TEST(HostVerifierDefault, DefaultHandlerPrintsAndEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the kernel has threads running
  EXPECT_DEATH(
      {
        host::verifier::SetHandler(nullptr);
        host::Session session;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeLowerIrql(HIGH_LEVEL);
      },
      "host kernel verifier: IrqlMisuse: KeLowerIrql to HIGH_LEVEL");
}

TEST_F(HostVerifier, BugCheckIsReportedAndUnwindsTheCaller) {
  ExpectViolations capture;
  bool after = false;
  EXPECT_TRUE(host::verifier::RunCatchingBugCheck([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeBugCheckEx(0xF7, 0x11, 0x22, 0x33, 0x44);
    after = true;
  }));
  EXPECT_FALSE(after);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ASSERT_EQ(capture.Count(Rule::BugCheck), 1u);
  EXPECT_NE(capture.seen()[0].message.find("KeBugCheckEx(0x000000F7 DRIVER_OVERRAN_STACK_BUFFER, "
                                           "0x11, 0x22, 0x33, 0x44)"),
            std::string::npos)
      << capture.seen()[0].message;
  EXPECT_FALSE(host::verifier::RunCatchingBugCheck([] {}));
}

TEST_F(HostVerifier, BugCheckInADpcEndsThatDpcOnly) {
  int runs = 0;
  KDPC dpc;
  KeInitializeDpc(&dpc, HostVerifierTestBugCheckDpc, &runs);
  ExpectViolations capture;
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  session().Pump();
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  session().Pump();
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(capture.Count(Rule::BugCheck), 2u);
  EXPECT_NE(capture.Text().find("HostVerifierTestBugCheckDpc"), std::string::npos) << capture.Text();
}

TEST_F(HostVerifier, BugCheckInASpawnedThreadEndsThatThread) {
  ExpectViolations capture;
  bool after = false;
  auto t = session().Spawn("doomed", [&] {
    KeBugCheckEx(0x44, 0, 0, 0, 0);
    after = true;
  });
  EXPECT_TRUE(t->Finished());
  EXPECT_FALSE(after);
  EXPECT_EQ(capture.Count(Rule::BugCheck), 1u);
  t->Join();
}

TEST_F(HostVerifier, ServiceFaultsFailTheNthCallOfThatServiceOnly) {
  using host::internal::ServiceFault;
  host::verifier::FailService("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES, 2);
  EXPECT_FALSE(ServiceFault("IoCreateDevice"));
  EXPECT_FALSE(ServiceFault("IoCreateSymbolicLink"));
  EXPECT_EQ(ServiceFault("IoCreateDevice"), std::optional<NTSTATUS>(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_FALSE(ServiceFault("IoCreateDevice"));
  host::verifier::FailService("ZwQueryValueKey", STATUS_OBJECT_NAME_NOT_FOUND);
  host::verifier::ClearFaults();
  EXPECT_FALSE(ServiceFault("ZwQueryValueKey"));
}

TEST_F(HostVerifier, IrpAllocationFaultsCountAttempts) {
  using host::internal::ShouldFailIrpAllocation;
  host::verifier::FailIrpAllocation(3);
  EXPECT_FALSE(ShouldFailIrpAllocation());
  EXPECT_FALSE(ShouldFailIrpAllocation());
  EXPECT_TRUE(ShouldFailIrpAllocation());
  EXPECT_FALSE(ShouldFailIrpAllocation());
  EXPECT_EQ(host::verifier::IrpAllocationCount(), 4u);
}

TEST_F(HostVerifier, WdmVersionDefaultsTo120AndCanBeLowered) {
  using host::internal::WdmVersionAvailable;
  EXPECT_TRUE(WdmVersionAvailable(1, 0));
  EXPECT_TRUE(WdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(WdmVersionAvailable(1, 0x30));
  host::verifier::SetWdmVersion(0, 0);
  EXPECT_FALSE(WdmVersionAvailable(1, 0));
  EndSession();
  host::Session next;  // back to the default
  EXPECT_TRUE(WdmVersionAvailable(1, 0x20));
}

TEST_F(HostVerifier, DbgPrintFormatsAsTheKernelDoesAndIsCaptured) {
  const WCHAR wide[] = L"COM7";
  UNICODE_STRING name{8, 10, const_cast<PWSTR>(wide)};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"  // the kernel's own conversions ('l' is 32 bits)
#pragma GCC diagnostic ignored "-Wformat-extra-args"
  DbgPrint("tavrinmdm: %s %ws %wZ %S\n", "loaded", wide, &name, wide);
  DbgPrint("%lu %lx %08X %I64d %c %% %-4d|\n", 4000000000u, 0xABCDEFu, 0x1234u,
           static_cast<long long>(-5000000000LL), 'x', 7);
#pragma GCC diagnostic pop
  auto calls = host::debug::DbgPrintCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "tavrinmdm: loaded COM7 COM7 COM7\n");
  EXPECT_EQ(calls[1], "4000000000 abcdef 00001234 -5000000000 x % 7   |\n");
  EXPECT_EQ(host::debug::DbgPrintText(), calls[0] + calls[1]);
  host::debug::ClearDbgPrint();
  EXPECT_TRUE(host::debug::DbgPrintCalls().empty());
}

TEST_F(HostVerifier, ServiceTraceRecordsCallsWhenOn) {
  EXPECT_FALSE(host::debug::ServiceTraceOn());
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  host::debug::SetServiceTrace(true);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  host::debug::SetServiceTrace(false);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  auto lines = host::debug::TraceLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("main PASSIVE_LEVEL] KeSetEvent("), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("-> 0"), std::string::npos) << lines[0];
}

TEST_F(HostVerifier, SymbolizeNamesExportedRoutinesAndFallsBackToTheAddress) {
  using host::internal::Symbolize;
  EXPECT_EQ(Symbolize(reinterpret_cast<const void*>(&HostVerifierTestDispatch)),
            "HostVerifierTestDispatch");
  EXPECT_EQ(Symbolize(reinterpret_cast<const void*>(&KeSetEvent)), "KeSetEvent");
  EXPECT_EQ(Symbolize(nullptr), "(no routine)");
  int local;
  EXPECT_EQ(Symbolize(&local).rfind("0x", 0), 0u);
}

}  // namespace

// A request built with IoBuildDeviceIoControlRequest completes in the thread that built it: its
// final stage is a kernel APC, which the thread takes only at PASSIVE_LEVEL. A driver routine that
// waits for such a request holding a fast mutex waits forever on the platform. Every case runs in
// deterministic, exploring and threaded mode.
#include <explore.h>

#include "internal/kernel.h"
#include "io_test_support.h"

using host::verifier::ExpectViolations;
using host::verifier::Rule;

struct ApcProbe {
  PDEVICE_OBJECT lower = nullptr;
  bool completeInDpc = false;  // the lower driver pends it and a DPC completes it
  bool underMutex = false;     // the caller holds a fast mutex while it sends (and waits)
  bool wait = false;           // waits for the event even when IoCallDriver did not pend
  FAST_MUTEX mutex;
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KDPC dpc;
  PIRP pending = nullptr;
  LONG signalledBeforeRelease = -1;
};

__attribute__((noinline)) VOID ApcProbeCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* p = static_cast<ApcProbe*>(context);
  iotest::Complete(p->pending, STATUS_SUCCESS);
}

__attribute__((noinline)) PIRP ApcProbeBuildRequest(ApcProbe* p) {
  return IoBuildDeviceIoControlRequest(0x222003, p->lower, nullptr, 0, nullptr, 0, TRUE, &p->event,
                                       &p->iosb);
}

// The planted fault, when `underMutex` and `wait`: the request is built at PASSIVE_LEVEL, then
// sent and waited for inside a fast mutex.
__attribute__((noinline)) void ApcProbeSendAndWait(ApcProbe* p) {
  PIRP irp = ApcProbeBuildRequest(p);
  if (p->underMutex) ExAcquireFastMutex(&p->mutex);
  if (IoCallDriver(p->lower, irp) == STATUS_PENDING || p->wait) {
    KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, nullptr);
  }
  p->signalledBeforeRelease = KeReadStateEvent(&p->event);
  if (p->underMutex) ExReleaseFastMutex(&p->mutex);
}

__attribute__((noinline)) void ApcProbeDriverRoutine(ApcProbe* p) { ApcProbeSendAndWait(p); }

namespace {

struct Case {
  const char* name;
  bool completeInDpc, underMutex, wait;
  LONG signalledBeforeRelease;
  std::vector<const char*> named;  // what the Deadlock report names; empty: no report
};

const Case kCases[] = {
    {"pending, waited for at PASSIVE_LEVEL", true, false, false, 1, {}},
    {"completed at once by its builder at PASSIVE_LEVEL", false, false, true, 1, {}},
    // The completion waits for the release: the event is set by the release, not before.
    {"completed at once inside a fast mutex, not waited for", false, true, false, 0, {}},
    {"pending, waited for inside a fast mutex", true, true, false, 1,
     {"ApcProbeSendAndWait", "ApcProbeBuildRequest", "ApcProbeDriverRoutine", "APC_LEVEL"}},
    {"completed at once, waited for inside a fast mutex", false, true, true, 1,
     {"ApcProbeSendAndWait", "ApcProbeBuildRequest", "FakeDispatch"}},
};

void RunCase(const host::SessionOptions& options, const Case& c) {
  SCOPED_TRACE(c.name);
  host::testing::ScopedSession session(options);
  iotest::Handlers().clear();
  PDRIVER_OBJECT driver = host::pnp::LoadDriver(iotest::FakeEntry, "\\Driver\\apcprobe");
  ApcProbe p;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &p.lower),
            STATUS_SUCCESS);
  p.lower->Flags &= ~DO_DEVICE_INITIALIZING;
  p.completeInDpc = c.completeInDpc;
  p.underMutex = c.underMutex;
  p.wait = c.wait;
  ExInitializeFastMutex(&p.mutex);
  KeInitializeEvent(&p.event, NotificationEvent, FALSE);
  KeInitializeDpc(&p.dpc, ApcProbeCompleteDpc, &p);
  p.iosb.Status = STATUS_UNSUCCESSFUL;
  iotest::Handlers()[p.lower] = [&p](PDEVICE_OBJECT, PIRP irp) {
    if (!p.completeInDpc) return iotest::Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    p.pending = irp;
    KeInsertQueueDpc(&p.dpc, nullptr, nullptr);
    return STATUS_PENDING;
  };
  {
    ExpectViolations capture;
    host::internal::Frame frame;
    frame.kind = host::internal::Frame::Dispatch;
    frame.routine = reinterpret_cast<const void*>(&ApcProbeDriverRoutine);
    frame.driver = driver;
    {
      host::internal::FrameScope scope(frame);
      ApcProbeDriverRoutine(&p);
    }
    if (c.named.empty()) {
      EXPECT_TRUE(capture.seen().empty()) << capture.Text();
    } else {
      ASSERT_EQ(capture.Count(Rule::Deadlock), 1u) << capture.Text();
      for (const char* name : c.named) {
        EXPECT_NE(capture.seen()[0].message.find(name), std::string::npos)
            << name << " in " << capture.seen()[0].message;
      }
    }
  }
  EXPECT_EQ(p.signalledBeforeRelease, c.signalledBeforeRelease);
  EXPECT_EQ(KeReadStateEvent(&p.event), 1);
  EXPECT_EQ(p.iosb.Status, STATUS_SUCCESS);
  IoDeleteDevice(p.lower);
  iotest::Handlers().clear();
}

TEST(HostThreadRequest, FinalStageRunsInTheBuildingThreadAtPassiveLevel) {
  host::SessionOptions deterministic;
  deterministic.mode = host::Mode::Deterministic;
  host::SessionOptions threaded;
  threaded.mode = host::Mode::Threaded;
  for (const Case& c : kCases) {
    RunCase(deterministic, c);
    RunCase(threaded, c);
    host::testing::ExploreSettings settings;
    settings.schedules = 20;
    host::testing::Explore([&c](const host::SessionOptions& options) { RunCase(options, c); },
                           settings);
  }
}

}  // namespace

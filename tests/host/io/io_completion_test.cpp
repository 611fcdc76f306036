// IofCompleteRequest's walk: order, device arguments, invoke flags, STATUS_MORE_PROCESSING_REQUIRED,
// PendingReturned propagation, cleared locations, and the IRQL completion runs at.
#include "io_test_support.h"

namespace {

using iotest::Complete;
using iotest::Handlers;

struct Seen {
  std::vector<std::string> order;
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<bool> pendingReturned;
  std::vector<KIRQL> irqls;
};
Seen* gSeen = nullptr;

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  gSeen->order.push_back(static_cast<const char*>(context));
  gSeen->devices.push_back(device);
  gSeen->pendingReturned.push_back(irp->PendingReturned != FALSE);
  gSeen->irqls.push_back(KeGetCurrentIrql());
  return STATUS_SUCCESS;
}

NTSTATUS RecordAndPropagate(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return Record(device, irp, context);
}

NTSTATUS StopHere(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  Record(device, irp, context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A stack of three: the PDO, a function device and a filter above it; each of the upper two
// passes requests down with a completion routine.
class HostCompletion : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    gSeen = &seen;
    fdo = CreateFdo();
    ASSERT_EQ(IoCreateDevice(fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  void TearDown() override {
    IoDetachDevice(fdo);
    IoDeleteDevice(filter);
    DeleteFdo(fdo);
    gSeen = nullptr;
    iotest::IoTest::TearDown();
  }

  void PassDownWith(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PIO_COMPLETION_ROUTINE routine,
                    const char* name, bool onSuccess = true, bool onError = true, bool onCancel = true) {
    Handlers()[device] = [=](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, routine, const_cast<char*>(name), onSuccess, onError, onCancel);
      return IoCallDriver(lower, irp);
    };
  }

  // A request from above the filter, as a driver allocating it would send it: its own routine
  // at the top location.
  PIRP Allocate(PIO_COMPLETION_ROUTINE routine, const char* name) {
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 77;
    IoSetCompletionRoutine(irp, routine, const_cast<char*>(name), TRUE, TRUE, TRUE);
    return irp;
  }

  Seen seen;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT filter = nullptr;
};

NTSTATUS TopRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  Record(device, irp, context);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(HostCompletion, RoutinesRunBottomUpWithTheDeviceOfTheLocationAbove) {
  PassDownWith(filter, fdo, Record, "filter");
  PassDownWith(fdo, pdo, Record, "fdo");
  PIO_STACK_LOCATION bottom = nullptr;
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    bottom = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(bottom->Parameters.Read.Length, 77u);
    return Complete(irp, STATUS_SUCCESS, 5);
  };
  PIRP irp = Allocate(TopRoutine, "top");
  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo", "filter", "top"}));
  EXPECT_EQ(seen.devices, (std::vector<PDEVICE_OBJECT>{fdo, filter, nullptr}));
}

TEST_F(HostCompletion, InvokeFlagsChooseWhichRoutinesRun) {
  PassDownWith(filter, fdo, Record, "filter-success-only", true, false, false);
  PassDownWith(fdo, pdo, Record, "fdo-error-only", false, true, false);
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_DEVICE_NOT_READY); };
  EXPECT_EQ(IoCallDriver(filter, Allocate(TopRoutine, "top")), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo-error-only", "top"}));

  seen = Seen{};
  PassDownWith(fdo, pdo, Record, "fdo-cancel-only", false, false, true);
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  PIRP irp = Allocate(TopRoutine, "top");
  irp->Cancel = TRUE;
  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo-cancel-only", "filter-success-only", "top"}));
}

TEST_F(HostCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  PassDownWith(filter, fdo, Record, "filter");
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, StopHere, const_cast<char*>("fdo-stop"), TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    // The request is the function driver's again: it finishes it with a status of its own.
    return Complete(irp, STATUS_CANCELLED);
  };
  EXPECT_EQ(IoCallDriver(filter, Allocate(TopRoutine, "top")), STATUS_CANCELLED);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo-stop", "filter", "top"}));
}

// A completion routine may hand its request on and have it completed again before the routine
// itself has returned STATUS_MORE_PROCESSING_REQUIRED (a power request's continuation running on
// another processor does exactly that). Here the routine completes it itself, re-entrantly.
NTSTATUS CompleteAgainThenStop(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  Record(device, irp, context);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(HostCompletion, ARoutineMayCompleteItsRequestAgainBeforeReturningMoreProcessing) {
  PassDownWith(filter, fdo, Record, "filter");
  PassDownWith(fdo, pdo, CompleteAgainThenStop, "fdo-hand-off");
  EXPECT_EQ(IoCallDriver(filter, Allocate(TopRoutine, "top")), STATUS_SUCCESS);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo-hand-off", "filter", "top"}));
}

// The same hand-off, but the routine then lets the first completion go on as well: two
// completions of one request.
NTSTATUS CompleteAgainThenContinue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  Record(device, irp, context);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(HostCompletion, ARoutineThatCompletesAgainAndDoesNotStopIsADoubleCompletion) {
  PassDownWith(filter, fdo, Record, "filter");
  PassDownWith(fdo, pdo, CompleteAgainThenContinue, "fdo-both");
  host::verifier::ExpectViolations violations;
  IoCallDriver(filter, Allocate(TopRoutine, "top"));
  EXPECT_EQ(violations.Count(host::verifier::Rule::DoubleCompletion), 1u) << violations.Text();
  // Only the second completion went on up the stack.
  EXPECT_EQ(seen.order, (std::vector<std::string>{"fdo-both", "filter", "top"}));
}

TEST_F(HostCompletion, PendingReturnedMarksTheLocationAboveWhenNoRoutineIsThere) {
  PIRP pending = nullptr;
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    pending = irp;
    return STATUS_PENDING;
  };
  // The function driver passes it on without a routine (the I/O manager propagates the mark);
  // the filter propagates it in its routine.
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(pdo, irp);
  };
  PassDownWith(filter, fdo, RecordAndPropagate, "filter");
  EXPECT_EQ(IoCallDriver(filter, Allocate(TopRoutine, "top")), STATUS_PENDING);
  Complete(pending, STATUS_SUCCESS);
  ASSERT_EQ(seen.order, (std::vector<std::string>{"filter", "top"}));
  EXPECT_TRUE(seen.pendingReturned[0]);
  EXPECT_TRUE(seen.pendingReturned[1]);

  // A routine that does not propagate leaves the location above unmarked.
  seen = Seen{};
  PassDownWith(filter, fdo, Record, "filter-forgets");
  EXPECT_EQ(IoCallDriver(filter, Allocate(TopRoutine, "top")), STATUS_PENDING);
  Complete(pending, STATUS_SUCCESS);
  ASSERT_EQ(seen.order.size(), 2u);
  EXPECT_TRUE(seen.pendingReturned[0]);
  EXPECT_FALSE(seen.pendingReturned[1]);
}

TEST_F(HostCompletion, WalkedLocationsAreClearedAndCompletionRunsAtTheCompletersIrql) {
  PIRP pending = nullptr;
  PIO_STACK_LOCATION bottom = nullptr;
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    pending = irp;
    bottom = IoGetCurrentIrpStackLocation(irp);
    return STATUS_PENDING;
  };
  PassDownWith(fdo, pdo, RecordAndPropagate, "fdo");
  PassDownWith(filter, fdo, RecordAndPropagate, "filter");
  PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 77;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT device, PIRP request, PVOID context) -> NTSTATUS {
        Record(device, request, context);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      const_cast<char*>("top"), TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(filter, irp), STATUS_PENDING);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(pending, STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(seen.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL}));
  EXPECT_EQ(bottom->Parameters.Read.Length, 0u);
  EXPECT_EQ(bottom->Control, 0);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);  // stopped at the allocator's level
  IoFreeIrp(irp);
}

// A driver that re-arms its own request from the completion routine allocates there: the memory
// is its own, even though the driver below is the one completing (and its routine is on the
// stack). Counted and failed as the routine's driver's, whether the request is the driver's
// own (no location of its own: no device above) or one passed down with IoSetCompletionRoutine.
NTSTATUS AllocateInRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* got = static_cast<std::vector<bool>*>(context);
  void* pool = ExAllocatePool(NonPagedPool, 16);
  PIRP again = IoAllocateIrp(2, FALSE);
  got->push_back(pool != nullptr);
  got->push_back(again != nullptr);
  if (pool != nullptr) ExFreePool(pool);
  if (again != nullptr) IoFreeIrp(again);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

TEST_F(HostCompletion, AllocationsInACompletionRoutineAreChargedToTheDriverThatSetIt) {
  std::vector<bool> own, passed;
  Handlers()[filter] = [&](PDEVICE_OBJECT, PIRP request) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT device, PIRP mine, PVOID context) -> NTSTATUS {
          AllocateInRoutine(device, mine, context);
          IoFreeIrp(mine);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &own, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    IoCopyCurrentIrpStackLocationToNext(request);
    IoSetCompletionRoutine(request, AllocateInRoutine, &passed, TRUE, TRUE, TRUE);
    return IoCallDriver(fdo, request);
  };
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP request) {
    IoSkipCurrentIrpStackLocation(request);  // the filter's routine passes on to the bus
    return IoCallDriver(pdo, request);
  };
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  const std::string bus = "\\Driver\\fakebus", ours = "\\Driver\\fakefdo";
  for (int round = 0; round < 2; ++round) {
    // Ours per round: request 1 (the filter's own), pool 1 and request 2 (its routine), pool 2
    // and request 3 (the passed-down request's routine). Round 0 fails the first routine's,
    // round 1 the second's.
    host::verifier::FailPoolAllocation(round + 1, ours);
    host::verifier::FailIrpAllocation(round + 2, ours);
    PIRP irp = Allocate(TopRoutine, "top");
    EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
    ASSERT_EQ(own.size(), 2u * (round + 1));
    ASSERT_EQ(passed.size(), 2u * (round + 1));
    EXPECT_EQ(own[2 * round], round != 0) << "round " << round;
    EXPECT_EQ(own[2 * round + 1], round != 0) << "round " << round;
    EXPECT_EQ(passed[2 * round], round == 0) << "round " << round;
    EXPECT_EQ(passed[2 * round + 1], round == 0) << "round " << round;
  }
  EXPECT_EQ(host::verifier::DriverAllocationCounts(bus).pool, 0u);
  EXPECT_EQ(host::verifier::DriverAllocationCounts(bus).irp, 0u);
}

}  // namespace

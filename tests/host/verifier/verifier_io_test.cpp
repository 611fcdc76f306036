// The I/O manager's verifier checks: each rule provoked by a fake driver that breaks it, and seen
// reported exactly once; the correct patterns next to them report nothing.
#include "io_test_support.h"

#include "internal/kernel.h"

namespace {

using host::app::Request;
using host::app::SendRaw;
using host::verifier::ExpectViolations;
using host::verifier::Rule;
using iotest::Complete;
using iotest::Handlers;

const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Extension {
  IO_REMOVE_LOCK removeLock;
  KSPIN_LOCK spinLock;
};

class HostVerifierIo : public iotest::IoTest {
 protected:
  void SetUp() override {
    iotest::IoTest::SetUp();
    fdo = CreateFdo("", false, sizeof(Extension));
    extension = static_cast<Extension*>(fdo->DeviceExtension);
    KeInitializeSpinLock(&extension->spinLock);
    IoInitializeRemoveLock(&extension->removeLock, 0, 0, 0);
  }
  void TearDown() override {
    if (fdo != nullptr) DeleteFdo(fdo);
    iotest::IoTest::TearDown();
  }
  Request Send(UCHAR major = IRP_MJ_READ, ULONG outputLength = 8, ULONG code = 0) {
    return SendRaw(fdo, major, 0, code, nullptr, 0, outputLength);
  }
  // The PDO holds what it is sent until the test completes it.
  void PdoPends() {
    Handlers()[pdo] = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
  }

  PDEVICE_OBJECT fdo = nullptr;
  Extension* extension = nullptr;
  PIRP held = nullptr;
};

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FreeAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS Continue(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

VOID SomeCancelRoutine(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }
VOID CancelRoutineKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  // Forgets IoReleaseCancelSpinLock.
}

TEST_F(HostVerifierIo, DoubleCompletionIsReportedAndTheSecondIgnored) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS, 1);
    irp->IoStatus.Information = 99;  // the request may be gone: a touch after its release
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  ExpectViolations capture;
  Request read = Send();
  EXPECT_EQ(capture.Count(Rule::DoubleCompletion), 1u) << capture.Text();
  EXPECT_EQ(capture.Count(Rule::RequestUsedAfterRelease), 1u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 2u) << capture.Text();
  EXPECT_EQ(read.Result().information, 1u);
}

TEST_F(HostVerifierIo, CompletingARequestThatIsAlreadyFinishedAndFreedIsADoubleCompletion) {
  PIRP kept = nullptr;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    kept = irp;
    return Complete(irp, STATUS_SUCCESS);
  };
  Send();
  ExpectViolations capture;
  IoCompleteRequest(kept, IO_NO_INCREMENT);  // the host's request is gone by now
  EXPECT_EQ(capture.Count(Rule::DoubleCompletion), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, CompletedWithCancelRoutineStillSet) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, SomeCancelRoutine);
    return Complete(irp, STATUS_SUCCESS);
  };
  ExpectViolations capture;
  Send();
  EXPECT_EQ(capture.Count(Rule::CompletedWithCancelRoutine), 1u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, CompletedWithSpinLockHeld) {
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->spinLock, &irql);
    Complete(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&extension->spinLock, irql);
    return STATUS_SUCCESS;
  };
  ExpectViolations capture;
  Send();
  EXPECT_EQ(capture.Count(Rule::CompletedWithSpinLockHeld), 1u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, SentWithSpinLockHeldIncludingTheCancelSpinLock) {
  PdoPends();
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->spinLock, &irql);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(pdo, irp);
    KeReleaseSpinLock(&extension->spinLock, irql);
    return status;
  };
  ExpectViolations capture;
  Request first = Send();
  EXPECT_EQ(capture.Count(Rule::SentWithSpinLockHeld), 1u) << capture.Text();
  Complete(held, STATUS_SUCCESS);

  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(pdo, irp);
    IoReleaseCancelSpinLock(irql);
    return status;
  };
  Request second = Send();
  EXPECT_EQ(capture.Count(Rule::SentWithSpinLockHeld), 2u) << capture.Text();
  EXPECT_NE(capture.seen().back().message.find("cancel spin lock"), std::string::npos);
  Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(capture.seen().size(), 2u) << capture.Text();
}

TEST_F(HostVerifierIo, CompletedWithPendingStatus) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  ExpectViolations capture;
  Send();
  EXPECT_EQ(capture.Count(Rule::CompletedWithPendingStatus), 1u) << capture.Text();
  // ...and returned another status than the one it completed with.
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 2u) << capture.Text();
}

TEST_F(HostVerifierIo, InformationLargerThanTheBufferedOutputIsReportedAndNotCopied) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    memset(irp->AssociatedIrp.SystemBuffer, 'x', 4);
    return Complete(irp, STATUS_SUCCESS, 8);
  };
  ExpectViolations capture;
  Request control = Send(IRP_MJ_DEVICE_CONTROL, 4, kBufferedCode);
  EXPECT_EQ(capture.Count(Rule::InformationTooLarge), 1u) << capture.Text();
  EXPECT_EQ(control.Result().output, std::vector<uint8_t>(4, 'x'));

  // The same for a request a driver built.
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 100); };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  char output[4];
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, output, 4, FALSE, &event, &iosb);
  IoCallDriver(pdo, irp);
  EXPECT_EQ(capture.Count(Rule::InformationTooLarge), 2u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 2u) << capture.Text();
}

TEST_F(HostVerifierIo, PendingReturnedWithoutMarkingPending) {
  PIRP kept = nullptr;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    kept = irp;
    return STATUS_PENDING;  // no IoMarkIrpPending
  };
  ExpectViolations capture;
  Request read = Send();
  EXPECT_TRUE(capture.seen().empty()) << capture.Text();  // could still be marked later
  Complete(kept, STATUS_SUCCESS);
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("not marked pending"), std::string::npos);
  EXPECT_TRUE(read.Done());
}

TEST_F(HostVerifierIo, ReturnedWithoutCompletingPassingDownOrPending) {
  PIRP kept = nullptr;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    kept = irp;
    return STATUS_SUCCESS;  // neither completed nor pending
  };
  ExpectViolations capture;
  Send();
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("without completing it"), std::string::npos);
  Complete(kept, STATUS_SUCCESS);
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, MarkedPendingButReturnedANonPendingStatus) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  ExpectViolations capture;
  Send();
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("was marked pending"), std::string::npos);
}

TEST_F(HostVerifierIo, CorrectPendingPatternsReportNothing) {
  PdoPends();
  // Passed down with the location skipped: the lower driver's mark is the top's.
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pdo, irp);
  };
  ExpectViolations capture;
  Request skipped = Send();
  Complete(held, STATUS_SUCCESS);
  // Passed down with a routine that propagates the mark, completed after the dispatch returned.
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP request, PVOID) -> NTSTATUS {
          if (request->PendingReturned) IoMarkIrpPending(request);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(pdo, irp);
  };
  Request propagated = Send();
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(skipped.Done());
  EXPECT_TRUE(propagated.Done());
  EXPECT_TRUE(capture.seen().empty()) << capture.Text();
}

TEST_F(HostVerifierIo, RoutineThatDoesNotPropagateThePendingMarkIsCaught) {
  PdoPends();
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Continue, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(pdo, irp);  // returns the lower STATUS_PENDING
  };
  ExpectViolations capture;
  Send();
  Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, FreeingARequestALowerDriverStillHas) {
  PdoPends();
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FreeAndStop, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  ExpectViolations capture;
  IoFreeIrp(irp);
  EXPECT_EQ(capture.Count(Rule::IrpFreedInUse), 1u) << capture.Text();
  Complete(held, STATUS_SUCCESS);  // the routine frees it properly
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, FreeingARequestTheIoManagerOwns) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ExpectViolations capture;
  IoFreeIrp(irp);
  EXPECT_EQ(capture.Count(Rule::IrpFreedInUse), 1u) << capture.Text();
  IoCallDriver(pdo, irp);  // still valid: the I/O manager frees it at completion
}

TEST_F(HostVerifierIo, FreeingInACompletionRoutineThatDoesNotStopTheWalk) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FreeAndContinue, nullptr, TRUE, TRUE, TRUE);
  ExpectViolations capture;
  IoCallDriver(pdo, irp);
  EXPECT_EQ(capture.Count(Rule::IrpFreedInUse), 1u) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, FreeingTwiceIsPoolMisuse) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  ExpectViolations capture;
  IoFreeIrp(irp);
  EXPECT_EQ(capture.Count(Rule::PoolMisuse), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, DriverAllocatedRequestCompletedPastItsTop) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, Continue, nullptr, TRUE, TRUE, TRUE);
  ExpectViolations capture;
  IoCallDriver(pdo, irp);
  EXPECT_EQ(capture.Count(Rule::BugCheck), 1u) << capture.Text();
  IoFreeIrp(irp);  // left to the driver
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, PowerRequestCompletedWithoutPoStartNextPowerIrp) {
  Handlers()[fdo] = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(pdo, irp);
  };
  ExpectViolations capture;
  host::pnp::SendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD3);
  // Each driver that handled it: the function driver passing it on, the bus driver completing it.
  EXPECT_EQ(capture.Count(Rule::PowerIrpWithoutStartNext), 2u) << capture.Text();

  // The bus driver's call does not stand in for the function driver's.
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  host::pnp::SendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0);
  EXPECT_EQ(capture.seen().size(), 3u) << capture.Text();
}

TEST_F(HostVerifierIo, RemoveLockReleasedWithATagThatHoldsNothing) {
  int tag = 0;
  int other = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&extension->removeLock, &tag), STATUS_SUCCESS);
  ExpectViolations capture;
  IoReleaseRemoveLock(&extension->removeLock, &other);
  EXPECT_EQ(capture.Count(Rule::RemoveLockReleaseWithoutAcquire), 1u) << capture.Text();
  EXPECT_EQ(extension->removeLock.Common.IoCount, 2);  // not decremented
  IoReleaseRemoveLock(&extension->removeLock, &tag);
  IoReleaseRemoveLock(&extension->removeLock, &tag);  // once too often
  EXPECT_EQ(capture.Count(Rule::RemoveLockReleaseWithoutAcquire), 2u) << capture.Text();
  EXPECT_EQ(extension->removeLock.Common.IoCount, 1);
}

TEST_F(HostVerifierIo, RemoveLockHoldsLeftWhenTheDeviceIsDeleted) {
  int tag = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&extension->removeLock, &tag), STATUS_SUCCESS);
  ExpectViolations capture;
  DeleteFdo(fdo);
  fdo = nullptr;
  ASSERT_EQ(capture.Count(Rule::RemoveLockHeldAtDelete), 1u) << capture.Text();
  EXPECT_NE(capture.Text().find("verifier_io_test.cpp"), std::string::npos) << capture.Text();
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, RequestsNeverFreedOrNeverCompletedLeak) {
  IoAllocateIrp(2, FALSE);
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;  // and never completed
  };
  Send();
  ExpectViolations capture;
  DeleteFdo(fdo);
  fdo = nullptr;
  EndSession();
  EXPECT_EQ(capture.Count(Rule::IrpLeak), 2u) << capture.Text();
}

TEST_F(HostVerifierIo, DeletingADeviceThatIsStillAttached) {
  ExpectViolations capture;
  IoDeleteDevice(fdo);  // no IoDetachDevice first
  fdo = nullptr;
  EXPECT_EQ(capture.Count(Rule::DeviceMisuse), 1u) << capture.Text();
  EXPECT_EQ(pdo->AttachedDevice, nullptr);  // the stack is repaired
  IoDetachDevice(pdo);  // nothing attached any more
  EXPECT_EQ(capture.Count(Rule::DeviceMisuse), 2u) << capture.Text();
}

TEST_F(HostVerifierIo, CancelRoutineReturningWithTheCancelSpinLockHeld) {
  PIRP kept = nullptr;
  Handlers()[fdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRoutineKeepingTheLock);
    kept = irp;
    return STATUS_PENDING;
  };
  Request read = Send();
  ExpectViolations capture;
  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(capture.Count(Rule::SpinLockMisuse), 1u) << capture.Text();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(host::internal::CurrentThread().heldLocks.empty());
  Complete(kept, STATUS_CANCELLED);
  EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
}

TEST_F(HostVerifierIo, SendingAboveDispatchLevel) {
  ExpectViolations capture;
  Request read = SendRaw(fdo, IRP_MJ_READ, 0, 0, nullptr, 0, 1, HIGH_LEVEL);
  EXPECT_GE(capture.Count(Rule::IrqlMisuse), 1u) << capture.Text();
  EXPECT_TRUE(read.Done());
}

}  // namespace

// A request is gone once its completion has left the top location (and an allocated one once it
// is freed): each late touch is reported once, naming the routine, read or written, and the field.
TEST_F(HostVerifierIo, TouchingARequestAfterItWasHandedBack) {
  static PIRP allocated;
  struct Case {
    const char* name;
    std::function<NTSTATUS(PIRP)> dispatch;
    const char* expected;  // in the report; nullptr: nothing reported
  };
  const Case cases[] = {
      {"status read after IoCompleteRequest",
       [](PIRP irp) {
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return irp->IoStatus.Status;
       },
       "read: request"},
      {"status read after IoCallDriver to a driver that completes at once",
       [this](PIRP irp) {
         IoSkipCurrentIrpStackLocation(irp);
         IoCallDriver(pdo, irp);
         return irp->IoStatus.Status;
       },
       "IoStatus.Status after its completion left the top stack location"},
      {"written after IoFreeIrp",
       [](PIRP irp) {
         allocated = IoAllocateIrp(2, FALSE);
         IoFreeIrp(allocated);
         allocated->IoStatus.Information = 1;
         return Complete(irp, STATUS_SUCCESS);
       },
       "written: request"},
      {"status read before IoCompleteRequest", [](PIRP irp) {
         NTSTATUS status = irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return status;
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handlers()[fdo] = [&c](PDEVICE_OBJECT, PIRP irp) { return c.dispatch(irp); };
    ExpectViolations capture;
    Send();
    if (c.expected == nullptr) {
      EXPECT_EQ(capture.seen().size(), 0u) << capture.Text();
      continue;
    }
    ASSERT_EQ(capture.Count(Rule::RequestUsedAfterRelease), 1u) << capture.Text();
    EXPECT_EQ(capture.seen().size(), 1u) << capture.Text();
    EXPECT_NE(capture.Text().find(c.expected), std::string::npos) << capture.Text();
    EXPECT_NE(capture.Text().find("in dispatch routine"), std::string::npos) << capture.Text();
  }
}

// A caller that is not told STATUS_PENDING takes the status the dispatch routine returned.
TEST_F(HostVerifierIo, ReturnedStatusOtherThanTheCompletedOne) {
  Handlers()[fdo] = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_UNSUCCESSFUL;
  };
  ExpectViolations capture;
  Request read = Send();
  EXPECT_EQ(capture.Count(Rule::DispatchStatusMismatch), 1u) << capture.Text();
  EXPECT_EQ(read.Wait().status, STATUS_UNSUCCESSFUL);
}

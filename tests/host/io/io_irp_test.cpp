// Requests: allocation, initialisation, reuse, IoBuildDeviceIoControlRequest and the I/O
// manager's end of the requests it builds.
#include "io_test_support.h"

namespace {

using host::verifier::ExpectViolations;
using host::verifier::Rule;
using iotest::Complete;
using iotest::Handlers;

const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class HostIrp : public iotest::IoTest {};

TEST_F(HostIrp, AllocatedRequestStartsAboveItsLastLocation) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), &locations[2]);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  EXPECT_FALSE(irp->Cancel);
  irp->AllocationFlags = 0x5A;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetNextIrpStackLocation(irp);
  IoReuseIrp(irp, STATUS_CANCELLED);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(irp->AllocationFlags, 0x5A);
  EXPECT_EQ(locations[2].MajorFunction, 0);
  IoFreeIrp(irp);
}

TEST_F(HostIrp, LowResourcesFailTheNthRequestAllocationOfEitherKind) {
  uint64_t before = host::verifier::IrpAllocationCount();
  host::verifier::FailIrpAllocation(2);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, nullptr, 0, FALSE, &event, &iosb),
            nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(host::verifier::IrpAllocationCount(), before + 3);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

TEST_F(HostIrp, DriverAllocatedRequestSentDownAndFreedInItsCompletionRoutine) {
  PDEVICE_OBJECT fdo = CreateFdo();
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  NTSTATUS seen = STATUS_PENDING;
  IoSetCompletionRoutine(irp, FreeAndStop, &seen, TRUE, TRUE, TRUE);
  Handlers()[pdo] = [](PDEVICE_OBJECT device, PIRP request) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(request)->DeviceObject, device);
    return Complete(request, STATUS_DEVICE_NOT_READY);
  };
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(seen, STATUS_DEVICE_NOT_READY);
  DeleteFdo(fdo);
}

TEST_F(HostIrp, RequestInitialisedInTheDriversOwnMemory) {
  USHORT size = IoSizeOfIrp(pdo->StackSize);
  auto* irp = static_cast<PIRP>(ExAllocatePool(NonPagedPool, size));
  IoInitializeIrp(irp, size, pdo->StackSize);
  EXPECT_EQ(irp->CurrentLocation, pdo->StackSize + 1);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  NTSTATUS seen = STATUS_PENDING;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP request, PVOID context) -> NTSTATUS {
        *static_cast<NTSTATUS*>(context) = request->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, STATUS_SUCCESS);
  ExFreePool(irp);
}

TEST_F(HostIrp, BuiltControlRequestCopiesTheOutputBackAndSignalsTheCaller) {
  PDEVICE_OBJECT fdo = CreateFdo();
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
    EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              static_cast<ULONG>(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(buffer[2], 'c');
    memcpy(buffer, "OUTPUT!!", 8);
    return Complete(irp, STATUS_SUCCESS, 6);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char output[8] = {'-', '-', '-', '-', '-', '-', '-', '-'};
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, const_cast<char*>("abc"), 3, output,
                                           8, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, pdo->StackSize);
  EXPECT_EQ(irp->UserEvent, &event);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::string(output, 8), "OUTPUT--");
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  DeleteFdo(fdo);
  // The I/O manager freed it: nothing is left at session end (IrpLeak would fail the test).
}

TEST_F(HostIrp, NeitherMethodPassesTheCallersBuffersAsTheyAre) {
  char input[4] = "in";
  char output[4];
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(location->Parameters.DeviceIoControl.Type3InputBuffer, input);
    EXPECT_EQ(location->Parameters.Others.Argument4, input);  // the same word, as on the platform
    EXPECT_EQ(irp->UserBuffer, output);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    return Complete(irp, STATUS_SUCCESS);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kNeitherCode, pdo, input, 4, output, 4, TRUE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
}

// As on the platform: a request that fails at once (not pending) gets neither its status block
// nor its event; the caller has the status from IoCallDriver. A pending one gets both.
TEST_F(HostIrp, BuiltRequestFailingSynchronouslyLeavesEventAndStatusBlockAlone) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = 12345;
  Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_DEVICE_NOT_READY); };
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(iosb.Status, 12345);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  PIRP pending = nullptr;
  Handlers()[pdo] = [&](PDEVICE_OBJECT, PIRP request) {
    IoMarkIrpPending(request);
    pending = request;
    return STATUS_PENDING;
  };
  irp = IoBuildDeviceIoControlRequest(kBufferedCode, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  Complete(pending, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(HostIrp, SendingWithNoLocationLeftIsTheBugCheck) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetNextIrpStackLocation(irp);  // the caller used the only location itself
  ExpectViolations capture;
  bool stopped = host::verifier::RunCatchingBugCheck([&] { IoCallDriver(pdo, irp); });
  EXPECT_TRUE(stopped);
  EXPECT_EQ(capture.Count(Rule::BugCheck), 1u);
  IoFreeIrp(irp);
}

}  // namespace

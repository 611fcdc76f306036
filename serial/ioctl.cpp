// Serial control requests: the IRP_MJ_DEVICE_CONTROL routine, the hand-off of requests that
// arrive above PASSIVE_LEVEL to a system worker thread, and the serial control codes.
//
// Every code is METHOD_BUFFERED: the system buffer carries the input and receives the output.
// The length a code needs is checked before its buffer is read or any state is changed, so a
// request refused for its length (STATUS_BUFFER_TOO_SMALL, Information 0) changes nothing.

#include "serial/serial.h"
#include "driver/request.h"
#include "usb/usb.h"

// DeviceOpen as seen under SpinLock (the close clears it under SpinLock).
static BOOLEAN IsPortOpen(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Open;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Open = DeviceExtension->DeviceOpen;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Open;
}

// IRP_MJ_DEVICE_CONTROL. Any IRQL up to DISPATCH_LEVEL. At PASSIVE_LEVEL the request is processed
// in the caller's thread; above it, in a system worker thread (the class requests wait for the
// modem), and STATUS_PENDING is returned.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DeviceControlContext* Context;
    NTSTATUS Status;

    if (!IsPortOpen(DeviceExtension)) {
        // Information stays as it arrived.
        return CompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    if (IsDeviceUnavailable(DeviceExtension)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        // Only a probe: ProcessDeviceControl takes its own hold.
        Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
        if (!NT_SUCCESS(Status)) {
            return CompleteRequest(Irp, Status, 0);
        }
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return ProcessDeviceControl(DeviceObject, Irp);
    }

    Context = (DeviceControlContext*)ExAllocatePool(NonPagedPool, sizeof(DeviceControlContext));
    if (Context == NULL) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }

    // The hand-off keeps the device (and this driver) in place until the worker has run: a hold
    // tagged with the context, released by DeviceControlWorker as its last act.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Context);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(Context);
        return CompleteRequest(Irp, Status, 0);
    }

    Context->DeviceExtension = DeviceExtension;
    Context->Irp = Irp;
    Context->DeviceObject = DeviceObject;
    ExInitializeWorkItem(&Context->WorkItem, DeviceControlWorker, Context);

    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&Context->WorkItem, DelayedWorkQueue);
    return STATUS_PENDING;
}

// System worker routine of a control request handed over by DispatchDeviceControl. PASSIVE_LEVEL.
// The request is judged as if it arrived now: the port may have been closed, or the device lost,
// while it waited for the worker, and a closed port must not get a wait or an immediate character
// queued that nothing would ever complete.
VOID NTAPI DeviceControlWorker(PVOID Parameter)
{
    DeviceControlContext* Context = (DeviceControlContext*)Parameter;
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;

    if (Context == NULL) {
        return;
    }

    DeviceExtension = Context->DeviceExtension;
    Irp = Context->Irp;

    if (!IsPortOpen(DeviceExtension)) {
        CompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    } else if (IsDeviceUnavailable(DeviceExtension)) {
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    } else {
        ProcessDeviceControl(Context->DeviceObject, Irp);
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Context);
    ExFreePool(Context);
}

// Serves one control code. PASSIVE_LEVEL, no lock held on entry or exit; it may block while a
// class request is on its way to the modem. Completes the request, except when a wait or an
// immediate character was queued (STATUS_PENDING): that request keeps its RemoveLock hold, and
// the routine that completes it releases the hold.
NTSTATUS ProcessDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN QueuedAndCancelled = FALSE;
    KIRQL OldIrql;
    NTSTATUS Status;

    Irp->IoStatus.Information = 0;

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (InputLength < sizeof(SERIAL_TIMEOUTS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(&DeviceExtension->Timeouts, Buffer, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (OutputLength < sizeof(SERIAL_TIMEOUTS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->Timeouts, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessGetWaitMask(DeviceExtension, Irp);
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (InputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessSetWaitMask(DeviceExtension, Irp);
        break;

    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessWaitOnMask(DeviceExtension, Irp);
        QueuedAndCancelled = Status == STATUS_CANCELLED;
        break;

    case IOCTL_SERIAL_PURGE: {
        ULONG Mask;

        if (InputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Mask = *(PULONG)Buffer;
        // In this order: a receive abort finishes the waiting read with what the ring holds
        // before a receive clear empties the ring.
        if (Mask & SERIAL_PURGE_TXABORT) {
            // Only queued requests: a write already on its way to the modem runs to its end.
            CancelQueue(DeviceObject, &DeviceExtension->WriteQueue);
        }
        if (Mask & SERIAL_PURGE_RXABORT) {
            ServiceReadQueue(DeviceExtension);
        }
        // SERIAL_PURGE_TXCLEAR: the driver holds no transmit buffer.
        if (Mask & SERIAL_PURGE_RXCLEAR) {
            RingReset(DeviceExtension);
        }
        Status = STATUS_SUCCESS;
        break;
    }

    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }

    if (Status == STATUS_PENDING) {
        return STATUS_PENDING;
    }

    if (QueuedAndCancelled) {
        // The queue routine marked the request pending before it found it cancelled.
        CompleteRequestStatus(Irp, STATUS_CANCELLED);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return STATUS_PENDING;
    }

    CompleteRequestStatus(Irp, Status);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return Status;
}

BOOLEAN IsValidBaudRate(ULONG BaudRate) { return FALSE; }
BOOLEAN IsValidWordLength(UCHAR WordLength) { return FALSE; }

VOID FillCommProperties(PDEVICE_EXTENSION DeviceExtension, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
}

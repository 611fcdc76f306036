// Wait-on-mask: the three wait-mask control codes and the delivery of events to the one pending
// IOCTL_SERIAL_WAIT_ON_MASK request. WaitMask and EventHistory are changed, and WaitQueue tested,
// only under SpinLock; CompleteWaitIrp is always called with SpinLock released.

#include "tavrinmdm/serial/serial.h"

#define WAIT_MASK_VALID_BITS 0x00001FFFUL

// Up to DISPATCH_LEVEL, no spin lock held. Completes the pending wait with Events (boost
// IO_SERIAL_INCREMENT) and releases the RemoveLock hold it has kept since it arrived.
BOOLEAN CompleteWaitIrp(PDEVICE_EXTENSION DeviceExtension, ULONG Events)
{
    PIRP Irp = DequeueWaitIrp(DeviceExtension);

    if (Irp == NULL) {
        return FALSE;
    }

    // Its output length (at least 4 bytes) was checked before it was queued.
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return TRUE;
}

// Up to DISPATCH_LEVEL, no spin lock held. Another producer may have raised an event since the
// delivered copy was taken: only the delivered bits go.
VOID ClearDeliveredEvents(PDEVICE_EXTENSION DeviceExtension, ULONG Events)
{
    KIRQL OldIrql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->EventHistory &= ~Events;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
}

// PASSIVE_LEVEL, no lock held.
NTSTATUS ProcessSetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG Mask;
    KIRQL OldIrql;

    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    Mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (Mask & ~WAIT_MASK_VALID_BITS) {
        return STATUS_INVALID_PARAMETER;
    }

    // A wait pending under the old mask ends successfully with no events.
    CompleteWaitIrp(DeviceExtension, 0);

    // The count of 4 is reported without data; it must never exceed an output buffer the caller
    // did pass.
    Irp->IoStatus.Information =
        (OutputLength == 0 || OutputLength >= sizeof(ULONG)) ? sizeof(ULONG) : 0;

    // EventHistory is kept: events collected under the old mask reach the next wait.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->WaitMask = Mask;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, no lock held.
NTSTATUS ProcessGetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL OldIrql;

    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = DeviceExtension->WaitMask;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, no lock held. See serial/serial.h for what the caller does with each outcome.
NTSTATUS ProcessWaitOnMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PULONG Output = (PULONG)Irp->AssociatedIrp.SystemBuffer;
    ULONG Events = 0;
    BOOLEAN Refuse;
    KIRQL OldIrql;
    NTSTATUS Status;

    Irp->IoStatus.Information = 0;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Once queued, the request (and its hold) may be completed and gone on another processor
    // while this routine still looks at the events: it holds the device for its own duration.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, (PVOID)ProcessWaitOnMask);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Refuse = DeviceExtension->WaitMask == 0 || !IsListEmpty(&DeviceExtension->WaitQueue);
    if (Refuse) {
        *Output = 0;
        DeviceExtension->EventHistory = 0;
    } else if (DeviceExtension->EventHistory != 0) {
        Events = DeviceExtension->EventHistory;
        DeviceExtension->EventHistory = 0;
        *Output = Events;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Refuse) {
        // The earlier wait, if any, ends with no events; this one is refused.
        CompleteWaitIrp(DeviceExtension, 0);
        Status = STATUS_INVALID_PARAMETER;
    } else if (Events != 0) {
        Irp->IoStatus.Information = sizeof(ULONG);
        Status = STATUS_SUCCESS;
    } else {
        Status = QueueWaitIrp(DeviceExtension, Irp);
        if (Status == STATUS_PENDING) {
            // An event raised between the test above and the queueing found no wait to deliver
            // to and stayed in EventHistory; without this look it would wait for the next one.
            KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
            Events = DeviceExtension->EventHistory;
            KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
            if (Events != 0 && CompleteWaitIrp(DeviceExtension, Events)) {
                ClearDeliveredEvents(DeviceExtension, Events);
            }
        }
        // The request may already be completed here: only the status is returned.
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, (PVOID)ProcessWaitOnMask);
    return Status;
}

// Placeholder request queues until they are written: nothing is ever queued.

#include "serial/serial.h"

// Refused as if the queue were occupied; completed here as the contract says.
NTSTATUS QueueReadIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS QueueWaitIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) { return STATUS_INVALID_PARAMETER; }

NTSTATUS QueueWriteIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN AtHead)
{
    return STATUS_CANCELLED;
}

PIRP DequeueReadIrp(PDEVICE_EXTENSION DeviceExtension) { return NULL; }
PIRP DequeueWaitIrp(PDEVICE_EXTENSION DeviceExtension) { return NULL; }
PIRP DequeueWriteIrp(PDEVICE_EXTENSION DeviceExtension, BOOLEAN LockHeld) { return NULL; }

// Never installed while the queues are placeholders; correct all the same.
VOID NTAPI CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID NTAPI CancelWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue) {}
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject) {}

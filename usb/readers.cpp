// Placeholder readers until they are written: nothing is armed.

#include "usb/usb.h"

NTSTATUS StartInterruptRead(PDEVICE_EXTENSION DeviceExtension) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION DeviceExtension) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS NTAPI InterruptReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI BulkInReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID ProcessSerialState(PDEVICE_EXTENSION DeviceExtension) {}

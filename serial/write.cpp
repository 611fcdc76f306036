// Placeholder writes until they are written: every write fails, nothing is sent.

#include "serial/serial.h"
#include "driver/request.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Not queued: the caller completes the request.
NTSTATUS QueueImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS StartNextWrite(PDEVICE_EXTENSION DeviceExtension) { return STATUS_UNSUCCESSFUL; }

NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return Irp->IoStatus.Status;
}

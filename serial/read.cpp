// Placeholder reads until they are written: every read fails, the timer routines do nothing.

#include "serial/serial.h"
#include "driver/request.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID ServiceReadQueue(PDEVICE_EXTENSION DeviceExtension) {}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2)
{
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2)
{
}

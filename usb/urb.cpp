// Placeholder URB submission until it is written: nothing is sent to the modem.

#include "usb/usb.h"

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SendSetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SendSetLineCoding(PDEVICE_OBJECT DeviceObject) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    return STATUS_NOT_IMPLEMENTED;
}

VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject) {}

// Placeholder serial control requests until they are written: every control code fails.

#include "serial/serial.h"
#include "driver/request.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID NTAPI DeviceControlWorker(PVOID Parameter) {}

NTSTATUS ProcessDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

BOOLEAN IsValidBaudRate(ULONG BaudRate) { return FALSE; }
BOOLEAN IsValidWordLength(UCHAR WordLength) { return FALSE; }

VOID FillCommProperties(PDEVICE_EXTENSION DeviceExtension, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
}

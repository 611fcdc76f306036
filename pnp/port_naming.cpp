// Placeholder port naming until it is written: no names are created or removed.

#include "pnp/pnp.h"

NTSTATUS ReadPortName(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer, ULONG BufferSize)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CreatePortNames(PDEVICE_EXTENSION DeviceExtension) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS RemovePortNames(PDEVICE_EXTENSION DeviceExtension) { return STATUS_SUCCESS; }
NTSTATUS DeleteDosLinkByPortName(PDEVICE_EXTENSION DeviceExtension) { return STATUS_SUCCESS; }

NTSTATUS EnableDeviceInterface(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Enable)
{
    return STATUS_NOT_IMPLEMENTED;
}

VOID DisableDeviceInterface(PDEVICE_EXTENSION DeviceExtension) {}

// Plug and Play: the device's PnP state machine and the serial port's names.
#pragma once

#include "tavrinmdm/extension.h"

// IRP_MJ_PNP. PASSIVE_LEVEL, one request at a time per device.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The minor-function handlers. Each either completes the request or passes it down, never both.
typedef NTSTATUS (*PNP_MINOR_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Indexed by the minor function code 0x00 to 0x17; codes from 0x18 up are passed down.
#define PNP_MINOR_TABLE_SIZE 24
extern const PNP_MINOR_HANDLER PnpMinorTable[PNP_MINOR_TABLE_SIZE];

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Copies the three pipe handles from the parent bus driver's device extension (32-bit words at
// byte offsets 12, 16 and 20, common/parent_pdo.h) into BulkInPipe, BulkOutPipe and
// InterruptPipe, once the PDO's enumerator name says it is the parent's (TAVRIN); otherwise
// nothing is read and the start fails with STATUS_NOT_SUPPORTED.
NTSTATUS CopyPipeHandles(PDEVICE_OBJECT DeviceObject);

// Port naming, all at PASSIVE_LEVEL from the PnP handlers.
// Reads the "PortName" value of the device's hardware key into Buffer (BufferSize bytes).
NTSTATUS ReadPortName(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer, ULONG BufferSize);
// DOS name, SERIALCOMM value and device interface, at start.
NTSTATUS CreatePortNames(PDEVICE_EXTENSION DeviceExtension);
// Undoes CreatePortNames; callers ignore the result.
NTSTATUS RemovePortNames(PDEVICE_EXTENSION DeviceExtension);
// Fallback of RemovePortNames: deletes "\DosDevices\<PortName>" built from the registry value.
NTSTATUS DeleteDosLinkByPortName(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS EnableDeviceInterface(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Enable);
VOID DisableDeviceInterface(PDEVICE_EXTENSION DeviceExtension);

// Placeholder PnP handling until the PnP state machine is written: every request goes down
// unchanged, and removal deletes the device so that nothing is left behind.

#include "pnp/pnp.h"
#include "driver/add_device.h"
#include "driver/request.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return PassDown(DeviceObject, Irp);
    }

    DeviceExtension->PnpState = Removed;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = PassDown(DeviceObject, Irp);

    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&DeviceExtension->InterfaceName);
    }
    if (DeviceExtension->DeviceName.Buffer != NULL) {
        ExFreePool(DeviceExtension->DeviceName.Buffer);
        DeviceExtension->DeviceName.Buffer = NULL;
    }
    DetachAndDeleteDevice(DeviceObject);
    return Status;
}

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassDown(DeviceObject, Irp); }

NTSTATUS CopyPipeHandles(PDEVICE_OBJECT DeviceObject) { return STATUS_SUCCESS; }

// The bus driver's entry point and its request table: each request goes to the FDO's or the
// child's handler by the signature at the head of the device extension.

#include "tavrinbus/extension.h"

#ifndef TAVRIN_VERSION
#error "TAVRIN_VERSION (the build's version string) must be defined by the build"
#endif

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    return BusFdoAddDevice(DriverObject, PhysicalDeviceObject);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (BusIsFdo(DeviceObject)) {
        return BusFdoPnp((PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    return BusPdoPnp((PBUS_PDO_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (BusIsFdo(DeviceObject)) {
        return BusFdoPower((PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    return BusPdoPower((PBUS_PDO_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (BusIsFdo(DeviceObject)) {
        return BusComplete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return BusPdoInternalControl((PBUS_PDO_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

// WMI: the FDO passes it down; the child is no provider and completes it as it came.
static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PBUS_FDO_EXTENSION Fdo;
    NTSTATUS Status;

    if (!BusIsFdo(DeviceObject)) {
        return BusComplete(Irp, Irp->IoStatus.Status);
    }
    Fdo = (PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension;
    Status = IoAcquireRemoveLock(&Fdo->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return BusComplete(Irp, Status);
    }
    Status = BusPassDown(Fdo, Irp);
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    return Status;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    // Every device object went with its removal.
    DbgPrint("TAVRINBUS(%s) unloaded\n", TAVRIN_VERSION);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    // Every other major code keeps the I/O manager's default (STATUS_INVALID_DEVICE_REQUEST).
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DbgPrint("TAVRINBUS(%s) loaded\n", TAVRIN_VERSION);
    return STATUS_SUCCESS;
}

// WMI (system control) and internal device control requests.

#include "tavrinmdm/control.h"
#include "tavrinmdm/extension.h"
#include "tavrinmdm/request.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    if (IsDeviceUnavailable(DeviceExtension)) {
        return CompleteRequestStatus(Irp, STATUS_DELETE_PENDING);
    }

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    IoSkipCurrentIrpStackLocation(Irp);
    Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);

    return Status;
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    if (IsDeviceUnavailable(DeviceExtension)) {
        return CompleteRequestStatus(Irp, STATUS_DELETE_PENDING);
    }

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    Irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
        Status = STATUS_NOT_SUPPORTED;
        break;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        Status = STATUS_SUCCESS;
        break;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
        Status = STATUS_NOT_SUPPORTED;
        break;
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        Status = STATUS_NOT_SUPPORTED;
        break;
    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }

    CompleteRequestStatus(Irp, Status);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);

    return Status;
}

// Placeholder power handling until the power state machine is written: every power request is
// released to the power manager and passed down unchanged.

#include "power/power.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PassPowerDown((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

NTSTATUS PassPowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

NTSTATUS PowerStateMachine(PowerContext* Context, POWER_EVENT Event) { return STATUS_UNSUCCESSFUL; }

NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return Irp->IoStatus.Status;
}

VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                  POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus)
{
}

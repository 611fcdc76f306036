// The two small request routines of the frame: WMI (system control) and internal device control.
#pragma once

#include "tavrinmdm/platform.h"

// IRP_MJ_SYSTEM_CONTROL: the driver is no WMI provider and forwards WMI requests unchanged.
// Any IRQL <= DISPATCH_LEVEL. The lower driver completes the request.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_INTERNAL_DEVICE_CONTROL: the serial internal codes other kernel drivers send. Completed
// here, never passed down, never changes any state. Any IRQL <= DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

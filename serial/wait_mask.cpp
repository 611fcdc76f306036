// Placeholder wait-on-mask until it is written: no wait request is ever pending.

#include "serial/serial.h"

BOOLEAN CompleteWaitIrp(PDEVICE_EXTENSION DeviceExtension, ULONG Events) { return FALSE; }

// Placeholders for the three wait-mask control codes (declared in serial/serial.h, called by
// ProcessDeviceControl) until the wait-mask handling replaces this file.
NTSTATUS ProcessSetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ProcessGetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ProcessWaitOnMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) { return STATUS_NOT_IMPLEMENTED; }

// Device creation and deletion, and the driver's counted-string allocator.
#pragma once

#include "tavrinmdm/platform.h"

// The driver's private device interface class, registered for every device at creation and
// enabled while the device is started.
extern const GUID GUID_DEVINTERFACE_TAVRINMDM;

// Instance number of the next device: "\Device\TAVRINMDM<n>". Touched only by AddDevice, which
// runs at PASSIVE_LEVEL one call at a time; numbers are never reused while the driver is loaded.
extern ULONG DeviceInstanceCounter;

// Called by the PnP manager for each modem the parent bus driver reports. PASSIVE_LEVEL.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Detaches from LowerDeviceObject (if attached) and deletes the device object, which frees the
// extension. The last step of removal. PASSIVE_LEVEL.
VOID DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject);

// Gives String a zeroed non-paged buffer of MaximumLength + 2 bytes and length 0, so that its
// contents are always terminated. On failure the buffer is null and the result is
// STATUS_INSUFFICIENT_RESOURCES. The caller frees the buffer with ExFreePool.
NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT MaximumLength);

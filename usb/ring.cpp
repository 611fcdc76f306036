// Placeholder receive ring until it is written: always empty, stores nothing.

#include "usb/usb.h"

NTSTATUS RingPut(PDEVICE_EXTENSION DeviceExtension, const VOID* Source, ULONG Count,
                 PULONG Stored)
{
    *Stored = 0;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS RingGet(PDEVICE_EXTENSION DeviceExtension, PVOID Destination, ULONG Count,
                 PULONG Taken)
{
    *Taken = 0;
    return STATUS_UNSUCCESSFUL;
}

LONG RingAvailable(PDEVICE_EXTENSION DeviceExtension) { return 0; }
NTSTATUS RingReset(PDEVICE_EXTENSION DeviceExtension) { return STATUS_SUCCESS; }

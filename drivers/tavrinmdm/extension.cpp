// The shared operations on DEVICE_EXTENSION: the device-unavailable test and the I/O counter.

#include "tavrinmdm/extension.h"

BOOLEAN IsDeviceUnavailable(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Unavailable;

    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    Unavailable = DeviceExtension->DeviceGone == DEVICE_GONE_MARK ||
                  DeviceExtension->PnpState == RemovePending ||
                  DeviceExtension->PnpState == SurpriseRemoved ||
                  DeviceExtension->PnpState == Removed;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);

    return Unavailable;
}

VOID IoCountIncrement(PDEVICE_EXTENSION DeviceExtension)
{
    // Going from idle to busy: a closer that waits from now on must wait for this transfer.
    if (InterlockedIncrement(&DeviceExtension->IoCount) == 1) {
        KeClearEvent(&DeviceExtension->IoIdleEvent);
    }
}

VOID IoCountDecrement(PDEVICE_EXTENSION DeviceExtension)
{
    if (InterlockedDecrement(&DeviceExtension->IoCount) == 0) {
        KeSetEvent(&DeviceExtension->IoIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID IoCountDecrementAndWait(PDEVICE_EXTENSION DeviceExtension)
{
    // The open's own unit keeps the count above 0 while the port is open, so the transfer whose
    // completion brings it to 0 is the last one and sets the event we wait on.
    if (InterlockedDecrement(&DeviceExtension->IoCount) != 0) {
        KeWaitForSingleObject(&DeviceExtension->IoIdleEvent, Executive, KernelMode, FALSE, NULL);
    }
}

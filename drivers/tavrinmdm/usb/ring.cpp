// The receive ring: RING_BUFFER_SIZE bytes inside the device extension between the bulk-IN reader
// (producer) and the read requests (consumers). RingCount alone tells empty from full, since
// RingHead equals RingTail in both; the capacity is not a power of two, so indices wrap by
// subtraction. Each routine holds RingLock for its whole run, copies included, and takes nothing
// else while it holds it; SpinLock may be held by the caller (never the reverse order).

#include "tavrinmdm/usb/usb.h"

NTSTATUS RingPut(PDEVICE_EXTENSION DeviceExtension, const VOID* Source, ULONG Count,
                 PULONG Stored)
{
    KIRQL OldIrql;
    ULONG Room;
    ULONG Length;
    ULONG First;
    NTSTATUS Status = STATUS_SUCCESS;

    KeAcquireSpinLock(&DeviceExtension->RingLock, &OldIrql);

    if (DeviceExtension->RingCount == RING_BUFFER_SIZE) {
        Length = 0;
        Status = STATUS_UNSUCCESSFUL;
    } else {
        // Truncating contract: what does not fit is dropped, bytes held are never overwritten.
        // The bulk-IN reader never offers more than the room it checked before arming.
        Room = RING_BUFFER_SIZE - (ULONG)DeviceExtension->RingCount;
        Length = Count < Room ? Count : Room;

        First = RING_BUFFER_SIZE - DeviceExtension->RingHead;
        if (First > Length) {
            First = Length;
        }
        RtlCopyMemory(&DeviceExtension->RingBuffer[DeviceExtension->RingHead], Source, First);
        if (Length != First) {
            RtlCopyMemory(&DeviceExtension->RingBuffer[0], (const UCHAR*)Source + First,
                          Length - First);
        }

        DeviceExtension->RingHead += Length;
        if (DeviceExtension->RingHead >= RING_BUFFER_SIZE) {
            DeviceExtension->RingHead -= RING_BUFFER_SIZE;
        }
        InterlockedExchangeAdd(&DeviceExtension->RingCount, (LONG)Length);
    }

    *Stored = Length;
    KeReleaseSpinLock(&DeviceExtension->RingLock, OldIrql);
    return Status;
}

NTSTATUS RingGet(PDEVICE_EXTENSION DeviceExtension, PVOID Destination, ULONG Count,
                 PULONG Taken)
{
    KIRQL OldIrql;
    ULONG Length;
    ULONG First;
    NTSTATUS Status = STATUS_SUCCESS;

    KeAcquireSpinLock(&DeviceExtension->RingLock, &OldIrql);

    if (DeviceExtension->RingCount == 0) {
        Length = 0;
        Status = STATUS_UNSUCCESSFUL;
    } else {
        Length = (ULONG)DeviceExtension->RingCount;
        if (Count < Length) {
            Length = Count;
        }

        First = RING_BUFFER_SIZE - DeviceExtension->RingTail;
        if (First > Length) {
            First = Length;
        }
        RtlCopyMemory(Destination, &DeviceExtension->RingBuffer[DeviceExtension->RingTail], First);
        if (Length != First) {
            RtlCopyMemory((UCHAR*)Destination + First, &DeviceExtension->RingBuffer[0],
                          Length - First);
        }

        DeviceExtension->RingTail += Length;
        if (DeviceExtension->RingTail >= RING_BUFFER_SIZE) {
            DeviceExtension->RingTail -= RING_BUFFER_SIZE;
        }
        InterlockedExchangeAdd(&DeviceExtension->RingCount, -(LONG)Length);
    }

    *Taken = Length;
    KeReleaseSpinLock(&DeviceExtension->RingLock, OldIrql);
    return Status;
}

LONG RingAvailable(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    LONG Count;

    KeAcquireSpinLock(&DeviceExtension->RingLock, &OldIrql);
    Count = DeviceExtension->RingCount;
    KeReleaseSpinLock(&DeviceExtension->RingLock, OldIrql);
    return Count;
}

NTSTATUS RingReset(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;

    KeAcquireSpinLock(&DeviceExtension->RingLock, &OldIrql);
    DeviceExtension->RingHead = 0;
    DeviceExtension->RingTail = 0;
    DeviceExtension->RingCount = 0;
    KeReleaseSpinLock(&DeviceExtension->RingLock, OldIrql);

    // A receive purge empties the ring: a bulk-IN reader parked on a full ring may go on. At open
    // the readers are idle, not parked, and this does nothing.
    ResumeBulkInReader(DeviceExtension);
    return STATUS_SUCCESS;
}

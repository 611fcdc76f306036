// Read requests: copies out of the receive ring under the serial time-out rules, the one waiting
// read, and the two timer routines that finish it.
//
// A read takes what the ring holds at once and never waits for more once it has something; only
// a read that finds the ring empty waits, and the first ServiceReadQueue after it was queued
// (bulk-IN completion, a timer, a receive purge) completes it with whatever the ring then holds.
// Every completion of a read uses IO_SERIAL_INCREMENT.

#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/usb/usb.h"

// Largest magnitude of a total time-out's due time: about 14,600 years in 100 ns units. Any
// larger value could overflow the kernel's conversion of a relative time into an absolute one.
#define READ_TOTAL_DUE_LIMIT 0x3FFFFFFFFFFFFFFFLL
#define MS_TO_100NS 10000ULL

static NTSTATUS ReadpComplete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return Status;
}

LONGLONG ReadTotalDueTime(ULONG Multiplier, ULONG Constant, ULONG Length)
{
    // (2^32 - 1)^2 + (2^32 - 1) < 2^64: the millisecond sum itself cannot overflow.
    ULONGLONG Milliseconds = (ULONGLONG)Multiplier * Length + Constant;
    ULONGLONG Ticks;

    if (Milliseconds > (ULONGLONG)READ_TOTAL_DUE_LIMIT / MS_TO_100NS) {
        Ticks = (ULONGLONG)READ_TOTAL_DUE_LIMIT;
    } else {
        Ticks = Milliseconds * MS_TO_100NS;
    }
    // A due time of 0 would be an absolute time; the shortest relative one is 100 ns.
    if (Ticks == 0) {
        Ticks = 1;
    }
    return -(LONGLONG)Ticks;
}

// IRP_MJ_READ. PASSIVE_LEVEL. Completes the request, or queues it (STATUS_PENDING); a queued read
// keeps its RemoveLock hold until ServiceReadQueue or the cancel routine completes it.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    SERIAL_TIMEOUTS Timeouts;
    ULONG Interval;
    ULONG Multiplier = 0;
    ULONG Constant = 0;
    BOOLEAN ReturnAtOnce = FALSE;
    BOOLEAN UseTotalTimer = FALSE;
    BOOLEAN AnotherWaits;
    BOOLEAN Wait;
    ULONG Taken;
    LARGE_INTEGER DueTime;
    KIRQL OldIrql;
    NTSTATUS Status;

    Irp->IoStatus.Information = 0;

    if (IsDeviceUnavailable(DeviceExtension)) {
        return ReadpComplete(Irp, STATUS_DELETE_PENDING);
    }

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return ReadpComplete(Irp, Status);
    }

    if (Length == 0) {
        ReadpComplete(Irp, STATUS_SUCCESS);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return STATUS_SUCCESS;
    }

    // One read waits at a time. A read arriving while one waits is refused here, before it
    // cancels the waiting read's timers or replaces its ReadRemaining.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    AnotherWaits = !IsListEmpty(&DeviceExtension->ReadQueue);
    if (!AnotherWaits) {
        DeviceExtension->ReadRemaining = Length;
        Timeouts = DeviceExtension->Timeouts;
        DeviceExtension->IntervalDpcBusy = FALSE;
        DeviceExtension->TotalDpcBusy = FALSE;

        // The interval time-out only chooses how soon the bulk-IN completion has the queue
        // looked at again; it never delays a read.
        DeviceExtension->IntervalTimerArmed = FALSE;
        Interval = Timeouts.ReadIntervalTimeout;
        if (Interval != 0 && Interval != MAXULONG) {
            DeviceExtension->IntervalTimerArmed = TRUE;
            DeviceExtension->IntervalTime.QuadPart = (LONGLONG)((ULONGLONG)Interval * MS_TO_100NS);
            DeviceExtension->IntervalTimeToUse =
                DeviceExtension->IntervalTime.QuadPart < DeviceExtension->CutOverAmount.QuadPart
                    ? &DeviceExtension->ShortIntervalAmount
                    : &DeviceExtension->LongIntervalAmount;
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (AnotherWaits) {
        ReadpComplete(Irp, STATUS_INVALID_PARAMETER);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return STATUS_INVALID_PARAMETER;
    }

    // A timer set for an earlier read must never finish this one.
    CancelReadTimers(DeviceExtension);

    if (Timeouts.ReadIntervalTimeout == MAXULONG) {
        if (Timeouts.ReadTotalTimeoutMultiplier == 0 && Timeouts.ReadTotalTimeoutConstant == 0) {
            ReturnAtOnce = TRUE;
        } else if (Timeouts.ReadTotalTimeoutConstant == MAXULONG) {
            // No total timer: the read waits until data arrives.
        } else if (Timeouts.ReadTotalTimeoutMultiplier == MAXULONG) {
            UseTotalTimer = TRUE;
            Multiplier = 0;
            Constant = Timeouts.ReadTotalTimeoutConstant;
        } else {
            UseTotalTimer = TRUE;
            Multiplier = Timeouts.ReadTotalTimeoutMultiplier;
            Constant = Timeouts.ReadTotalTimeoutConstant;
        }
    } else if (Timeouts.ReadTotalTimeoutMultiplier != 0 ||
               Timeouts.ReadTotalTimeoutConstant != 0) {
        UseTotalTimer = TRUE;
        Multiplier = Timeouts.ReadTotalTimeoutMultiplier;
        Constant = Timeouts.ReadTotalTimeoutConstant;
    }

    RingGet(DeviceExtension, Irp->AssociatedIrp.SystemBuffer, Length, &Taken);
    Irp->IoStatus.Information = Taken;

    // Whether to wait is judged from this read's own length, as ServiceReadQueue judges it:
    // ReadRemaining is shared, and a read dispatched at the same time on another thread may have
    // set it and been served meanwhile.
    Wait = !ReturnAtOnce && Taken == 0;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->ReadRemaining -=
        Taken < DeviceExtension->ReadRemaining ? Taken : DeviceExtension->ReadRemaining;
    if (!Wait) {
        DeviceExtension->PerfStats.ReceivedCount += Taken;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // A bulk-IN reader parked for want of room, or because its re-arm could not be sent, goes
    // again once there is room: also when this read found the ring empty (the read that took the
    // last block may have been served from the queue).
    ResumeBulkInReader(DeviceExtension);

    if (!Wait) {
        ReadpComplete(Irp, STATUS_SUCCESS);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return STATUS_SUCCESS;
    }

    // Once queued, the request (and its hold) may be completed and gone on another processor
    // while this routine still serves the queue and sets the timer: it holds the device for its
    // own duration.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, (PVOID)DispatchRead);
    if (!NT_SUCCESS(Status)) {
        ReadpComplete(Irp, Status);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return Status;
    }

    Status = QueueReadIrp(DeviceExtension, Irp);
    if (Status == STATUS_INVALID_PARAMETER || Status == STATUS_CANCELLED) {
        // Completed by QueueReadIrp: another read got into the queue since the test above, or
        // this one was cancelled while being queued (then marked pending first).
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, (PVOID)DispatchRead);
        return Status == STATUS_CANCELLED ? STATUS_PENDING : Status;
    }

    // A bulk-IN completion on another processor may have stored a block and served the read
    // queue between the empty RingGet above and the queueing: it found no read, and this one
    // would wait for the next transfer (for ever, without a total time-out) with the bytes in
    // the ring. Serve it now; the dequeue's cancel-routine exchange keeps it to one completion.
    if (RingAvailable(DeviceExtension) != 0) {
        ServiceReadQueue(DeviceExtension);
    }

    if (UseTotalTimer) {
        DueTime.QuadPart = ReadTotalDueTime(Multiplier, Constant, Length);
        // The timer is set only while this read is still the one waiting: if data or a purge
        // finished it meanwhile, a timer set now could finish the next read early. Only the
        // request's address is compared; the request itself may be gone.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (DeviceExtension->ReadQueue.Flink == &Irp->Tail.Overlay.ListEntry) {
            ReadTimerSetLocked(DeviceExtension, &DeviceExtension->ReadTotalTimer, DueTime);
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, (PVOID)DispatchRead);
    return STATUS_PENDING;
}

// Up to DISPATCH_LEVEL (bulk-IN completion, timer DPCs) or PASSIVE_LEVEL (receive purge); no spin
// lock held. Completes the waiting read and releases its RemoveLock hold.
//
// One dequeue: the queue holds at most one read, so that is every read waiting when the call
// began. Looping until the queue stays empty would also serve reads that an application issues
// while this runs, each with whatever is left (often nothing), and a fast reader could then keep
// the bulk-IN completion that called this from ever re-arming.
VOID ServiceReadQueue(PDEVICE_EXTENSION DeviceExtension)
{
    PIRP Irp;
    ULONG Length;
    ULONG Taken;
    KIRQL OldIrql;

    Irp = DequeueReadIrp(DeviceExtension);
    if (Irp != NULL) {
        Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;

        // A queued read has taken nothing yet.
        RingGet(DeviceExtension, Irp->AssociatedIrp.SystemBuffer, Length, &Taken);
        Irp->IoStatus.Information = Taken;

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->ReadRemaining -=
            Taken < DeviceExtension->ReadRemaining ? Taken : DeviceExtension->ReadRemaining;
        DeviceExtension->PerfStats.ReceivedCount += Taken;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        ResumeBulkInReader(DeviceExtension);

        // Judged against the read's own length, which nothing else can change.
        ReadpComplete(Irp, Taken < Length ? STATUS_TIMEOUT : STATUS_SUCCESS);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
}

static PREAD_TIMER_HOLD ReadpTimerHold(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer)
{
    return Timer == &DeviceExtension->ReadTotalTimer ? &DeviceExtension->TotalTimerHold
                                                     : &DeviceExtension->IntervalTimerHold;
}

static PKDPC ReadpTimerDpcObject(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer)
{
    return Timer == &DeviceExtension->ReadTotalTimer ? &DeviceExtension->ReadTotalDpc
                                                     : &DeviceExtension->ReadIntervalDpc;
}

// SpinLock held; the timer holds nothing. Takes its hold and sets it, unless removal has begun.
static VOID ReadpTimerArmLocked(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer,
                                LARGE_INTEGER DueTime)
{
    if (NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Timer))) {
        ReadpTimerHold(DeviceExtension, Timer)->Held = TRUE;
        KeSetTimer(Timer, DueTime, ReadpTimerDpcObject(DeviceExtension, Timer));
    }
}

// The timer and its hold change together under SpinLock, so a set, a cancel and the DPC's claim
// never see each other half done. A timer is set afresh only while it holds nothing or while it
// has not yet expired; after an expiry its DPC claims the hold before the timer can expire again,
// which keeps expiries and DPC runs one to one (a DPC queued twice runs once).
VOID ReadTimerSetLocked(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer, LARGE_INTEGER DueTime)
{
    PREAD_TIMER_HOLD Hold = ReadpTimerHold(DeviceExtension, Timer);

    if (!Hold->Held) {
        ReadpTimerArmLocked(DeviceExtension, Timer, DueTime);
    } else if (KeCancelTimer(Timer)) {
        // Not yet expired: set again under the same hold.
        KeSetTimer(Timer, DueTime, ReadpTimerDpcObject(DeviceExtension, Timer));
    } else {
        // Expired, its DPC still to run: it sets the timer again when it claims the hold.
        Hold->Deferred = TRUE;
        Hold->DeferredDue = DueTime;
    }
}

// SpinLock held. TRUE if the caller must give the timer's hold back (after releasing SpinLock):
// the timer was taken out before it expired, so no DPC will run for it.
static BOOLEAN ReadpTimerCancelLocked(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer)
{
    PREAD_TIMER_HOLD Hold = ReadpTimerHold(DeviceExtension, Timer);
    BOOLEAN Release = FALSE;

    Hold->Deferred = FALSE;
    if (Hold->Held) {
        if (KeCancelTimer(Timer)) {
            Hold->Held = FALSE;
            Release = TRUE;
        } else {
            // Its DPC is queued or about to claim the hold: it may run, but only to give it back.
            Hold->Stale = TRUE;
        }
    }
    return Release;
}

VOID CancelReadTimers(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN ReleaseTotal;
    BOOLEAN ReleaseInterval;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    ReleaseTotal = ReadpTimerCancelLocked(DeviceExtension, &DeviceExtension->ReadTotalTimer);
    ReleaseInterval = ReadpTimerCancelLocked(DeviceExtension, &DeviceExtension->ReadIntervalTimer);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // The caller holds the device (or, for cleanup, its handle keeps removal away), so these are
    // never the last holds.
    if (ReleaseTotal) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, &DeviceExtension->ReadTotalTimer);
    }
    if (ReleaseInterval) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, &DeviceExtension->ReadIntervalTimer);
    }
}

// The body of both timer DPCs. DISPATCH_LEVEL. Claims the timer's hold, serves the read queue
// unless the timer was cancelled after it expired or the other timer's DPC is serving it, and
// gives the hold back as the very last touch of the device: removal may delete it right after.
static VOID ReadpTimerDpc(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer, BOOLEAN* OwnBusy,
                          const BOOLEAN* OtherBusy)
{
    PREAD_TIMER_HOLD Hold = ReadpTimerHold(DeviceExtension, Timer);
    BOOLEAN Owned;
    BOOLEAN Service;

    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
    // Every expiry follows a set that took the hold, and no cancel gives back a hold whose timer
    // has expired, so the hold is here to claim.
    Owned = Hold->Held;
    Service = Owned && !Hold->Stale && !*OtherBusy;
    Hold->Held = FALSE;
    Hold->Stale = FALSE;
    if (Hold->Deferred) {
        Hold->Deferred = FALSE;
        ReadpTimerArmLocked(DeviceExtension, Timer, Hold->DeferredDue);
    }
    if (Service) {
        *OwnBusy = TRUE;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

    if (Service) {
        ServiceReadQueue(DeviceExtension);

        KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
        *OwnBusy = FALSE;
        KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);
    }

    if (Owned) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Timer);
    }
}

// DPC of ReadTotalTimer; DeferredContext is the extension. DISPATCH_LEVEL.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeferredContext;

    ReadpTimerDpc(DeviceExtension, &DeviceExtension->ReadTotalTimer,
                  &DeviceExtension->TotalDpcBusy, &DeviceExtension->IntervalDpcBusy);
}

// DPC of ReadIntervalTimer; DeferredContext is the extension. DISPATCH_LEVEL.
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeferredContext;

    ReadpTimerDpc(DeviceExtension, &DeviceExtension->ReadIntervalTimer,
                  &DeviceExtension->IntervalDpcBusy, &DeviceExtension->TotalDpcBusy);
}

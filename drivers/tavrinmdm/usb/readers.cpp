// The two continuous readers: a 16-byte interrupt-IN read that brings line-state notifications,
// and a 4096-byte bulk-IN read that brings received data into the ring. The readers' states and
// their transitions are listed in usb/usb.h.
//
// Back-pressure: after a bulk-IN completion the reader re-arms only while the ring has room for a
// whole transfer; otherwise it parks, and the read path (ResumeBulkInReader) arms it again once a
// read, a read-queue service or a receive purge has made room. The decision to arm and the test
// of the ring's room are made in one SpinLock section on both sides, so a read that makes room on
// one processor while the completion parks on another neither loses the re-arm nor arms twice.
//
// Ordering against close: every arm decision is made under SpinLock with DeviceOpen set and is
// counted in ReaderSubmits until the request has been handed to the USB stack. Close clears
// DeviceOpen under SpinLock, waits for ReaderSubmits to drain, and only then aborts the pipes, so
// no transfer can slip in behind the aborts and hold the close's drain for ever.

#include "tavrinmdm/usb/usb.h"
#include "tavrinmdm/serial/serial.h"

#define UrbpTransfer(Urb) (&(Urb)->UrbBulkOrInterruptTransfer)

static VOID ReaderpLossPath(PDEVICE_EXTENSION DeviceExtension);
static BOOLEAN ReaderpRingHasRoom(PDEVICE_EXTENSION DeviceExtension);

// Fills the reader's URB, takes the transfer's IoCount unit and remove-lock hold, and hands the
// transfer down. Returns STATUS_SUCCESS when it was sent; otherwise why nothing was sent (the
// remove lock's refusal, or STATUS_INSUFFICIENT_RESOURCES when no request could be allocated),
// the unit and the hold then given back here, since no completion routine will run. Up to
// DISPATCH_LEVEL, no spin lock held.
static NTSTATUS ReaderpSubmit(PDEVICE_EXTENSION DeviceExtension, PURB Urb,
                              USBD_PIPE_HANDLE Pipe, PVOID Buffer, ULONG Length,
                              PIO_COMPLETION_ROUTINE CompletionRoutine)
{
    NTSTATUS Status;
    BOOLEAN Sent = FALSE;

    IoCountIncrement(DeviceExtension);

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, NULL);
    if (NT_SUCCESS(Status)) {
        UrbpTransfer(Urb)->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        UrbpTransfer(Urb)->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        UrbpTransfer(Urb)->PipeHandle = Pipe;
        UrbpTransfer(Urb)->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        UrbpTransfer(Urb)->TransferBufferLength = Length;
        UrbpTransfer(Urb)->TransferBuffer = Buffer;
        UrbpTransfer(Urb)->TransferBufferMDL = NULL;
        UrbpTransfer(Urb)->UrbLink = NULL;

        SubmitUrbAsyncEx(DeviceExtension->LowerDeviceObject, Urb, CompletionRoutine,
                         DeviceExtension, &Sent);
        if (!Sent) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            IoReleaseRemoveLock(&DeviceExtension->RemoveLock, NULL);
        }
    }

    if (!Sent) {
        IoCountDecrement(DeviceExtension);
    }
    return Status;
}

// SpinLock held; a reader has just gone ReaderRetry. Sets RearmTimer unless it is set already
// (its DPC retries every reader that waits), taking the timer's hold first; without the hold
// (removal has begun) nothing is set and the waiting readers go idle.
static VOID ReaderpRetryLaterLocked(PDEVICE_EXTENSION DeviceExtension)
{
    LARGE_INTEGER Due;

    if (DeviceExtension->RearmTimerHeld) {
        return;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock,
                                        &DeviceExtension->RearmTimer))) {
        if (DeviceExtension->BulkInReaderState == ReaderRetry) {
            DeviceExtension->BulkInReaderState = ReaderIdle;
        }
        if (DeviceExtension->InterruptReaderState == ReaderRetry) {
            DeviceExtension->InterruptReaderState = ReaderIdle;
        }
        return;
    }
    DeviceExtension->RearmTimerHeld = TRUE;
    Due.QuadPart = -(LONGLONG)DeviceExtension->RearmDelay * 10000;
    KeSetTimer(&DeviceExtension->RearmTimer, Due, &DeviceExtension->RearmDpc);
    // 10, 20, 40, ... 640 ms, then the bound (1 s) for every further try.
    DeviceExtension->RearmDelay *= 2;
    if (DeviceExtension->RearmDelay > REARM_DELAY_LIMIT_MS) {
        DeviceExtension->RearmDelay = REARM_DELAY_LIMIT_MS;
    }
}

// Hands down the transfer of a reader whose state the caller has just made Armed (under
// SpinLock, counted in ReaderSubmits). On a failure to send, the reader's state is settled here:
// when no request could be allocated while the port is open and not suspended, the reader waits
// in ReaderRetry for the re-arm timer (a transient shortage must not silence the port); when the
// remove lock refused, or the port is closed or suspended, the notification reader becomes idle
// and the bulk-IN reader parks while the port is open (the next read tries again), else is idle.
// Finally the submission leaves ReaderSubmits.
static VOID ReaderpArmDecided(PDEVICE_EXTENSION DeviceExtension, BOOLEAN BulkIn)
{
    KIRQL OldIrql;
    NTSTATUS Status;
    PULONG State = BulkIn ? &DeviceExtension->BulkInReaderState
                          : &DeviceExtension->InterruptReaderState;

    if (BulkIn) {
        Status = ReaderpSubmit(DeviceExtension, &DeviceExtension->BulkInUrb,
                               DeviceExtension->BulkInPipe, DeviceExtension->BulkInBuffer,
                               BULK_IN_BUFFER_SIZE, BulkInReadComplete);
    } else {
        Status = ReaderpSubmit(DeviceExtension, &DeviceExtension->InterruptUrb,
                               DeviceExtension->InterruptPipe, DeviceExtension->NotifyBuffer,
                               NOTIFY_BUFFER_SIZE, InterruptReadComplete);
    }

    if (!NT_SUCCESS(Status)) {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (Status == STATUS_INSUFFICIENT_RESOURCES && DeviceExtension->DeviceOpen &&
            !DeviceExtension->SystemSuspended) {
            *State = ReaderRetry;
            ReaderpRetryLaterLocked(DeviceExtension);
        } else if (BulkIn) {
            *State = DeviceExtension->DeviceOpen ? ReaderParked : ReaderIdle;
        } else {
            *State = ReaderIdle;
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    }

    InterlockedDecrement(&DeviceExtension->ReaderSubmits);
}

// DPC of RearmTimer; DeferredContext is the extension. DISPATCH_LEVEL. Claims the timer's hold and
// arms again each reader that waits in ReaderRetry, while the port is open and not suspended (a
// reader that fails again sets the timer anew, further off); otherwise they go idle. The hold
// goes back as the very last touch of the device.
VOID NTAPI ReaderRearmDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeferredContext;
    BOOLEAN Owned;
    BOOLEAN Go;
    BOOLEAN ArmBulkIn = FALSE;
    BOOLEAN ArmInterrupt = FALSE;

    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
    Owned = DeviceExtension->RearmTimerHeld;
    DeviceExtension->RearmTimerHeld = FALSE;
    Go = DeviceExtension->DeviceOpen && !DeviceExtension->SystemSuspended;
    if (DeviceExtension->InterruptReaderState == ReaderRetry) {
        DeviceExtension->InterruptReaderState = Go ? ReaderArmed : ReaderIdle;
        if (Go) {
            InterlockedIncrement(&DeviceExtension->ReaderSubmits);
            ArmInterrupt = TRUE;
        }
    }
    if (DeviceExtension->BulkInReaderState == ReaderRetry) {
        if (!Go) {
            DeviceExtension->BulkInReaderState = ReaderIdle;
        } else if (ReaderpRingHasRoom(DeviceExtension)) {
            DeviceExtension->BulkInReaderState = ReaderArmed;
            InterlockedIncrement(&DeviceExtension->ReaderSubmits);
            ArmBulkIn = TRUE;
        } else {
            DeviceExtension->BulkInReaderState = ReaderParked;
        }
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

    if (ArmInterrupt) {
        ReaderpArmDecided(DeviceExtension, FALSE);
    }
    if (ArmBulkIn) {
        ReaderpArmDecided(DeviceExtension, TRUE);
    }

    // Back to the shortest delay once no reader waits any more.
    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
    if (DeviceExtension->InterruptReaderState != ReaderRetry &&
        DeviceExtension->BulkInReaderState != ReaderRetry) {
        DeviceExtension->RearmDelay = REARM_DELAY_FIRST_MS;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

    if (Owned) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, &DeviceExtension->RearmTimer);
    }
}

VOID CancelReaderRearm(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Release = FALSE;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (DeviceExtension->RearmTimerHeld && KeCancelTimer(&DeviceExtension->RearmTimer)) {
        DeviceExtension->RearmTimerHeld = FALSE;
        Release = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // The caller holds the device, so this is never the last hold.
    if (Release) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, &DeviceExtension->RearmTimer);
    }
}

// SpinLock held. Room for one whole bulk-IN transfer (RingLock taken inside SpinLock).
static BOOLEAN ReaderpRingHasRoom(PDEVICE_EXTENSION DeviceExtension)
{
    return RING_BUFFER_SIZE - RingAvailable(DeviceExtension) >= BULK_IN_REARM_ROOM;
}

// Open and resume arm the notification reader here. An armed reader is left alone: its URB is in
// flight (a resume after a refused sleep finds the readers still armed). Up to DISPATCH_LEVEL.
NTSTATUS StartInterruptRead(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    NTSTATUS Status = STATUS_SUCCESS;
    BOOLEAN Arm = FALSE;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!DeviceExtension->DeviceOpen) {
        Status = STATUS_INVALID_DEVICE_STATE;
    } else if (DeviceExtension->InterruptReaderState != ReaderArmed) {
        DeviceExtension->InterruptReaderState = ReaderArmed;
        InterlockedIncrement(&DeviceExtension->ReaderSubmits);
        Arm = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Arm) {
        ReaderpArmDecided(DeviceExtension, FALSE);
    }
    return Status;
}

// Open and resume arm the bulk-IN reader here; a parked reader counts as idle. With less than a
// whole transfer of room in the ring the reader parks instead. Up to DISPATCH_LEVEL.
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    NTSTATUS Status = STATUS_SUCCESS;
    BOOLEAN Arm = FALSE;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!DeviceExtension->DeviceOpen) {
        Status = STATUS_INVALID_DEVICE_STATE;
    } else if (DeviceExtension->BulkInReaderState != ReaderArmed) {
        if (ReaderpRingHasRoom(DeviceExtension)) {
            DeviceExtension->BulkInReaderState = ReaderArmed;
            InterlockedIncrement(&DeviceExtension->ReaderSubmits);
            Arm = TRUE;
        } else {
            DeviceExtension->BulkInReaderState = ReaderParked;
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Arm) {
        ReaderpArmDecided(DeviceExtension, TRUE);
    }
    return Status;
}

VOID ResumeBulkInReader(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Arm = FALSE;

    // A reader waiting for its re-arm timer goes now too: the read is as good a moment to try.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if ((DeviceExtension->BulkInReaderState == ReaderParked ||
         DeviceExtension->BulkInReaderState == ReaderRetry) &&
        DeviceExtension->DeviceOpen && !DeviceExtension->SystemSuspended &&
        ReaderpRingHasRoom(DeviceExtension)) {
        DeviceExtension->BulkInReaderState = ReaderArmed;
        InterlockedIncrement(&DeviceExtension->ReaderSubmits);
        Arm = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Arm) {
        ReaderpArmDecided(DeviceExtension, TRUE);
    }
}

VOID ReaderPortClosedLocked(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->BulkInReaderState == ReaderParked ||
        DeviceExtension->BulkInReaderState == ReaderRetry) {
        DeviceExtension->BulkInReaderState = ReaderIdle;
    }
    if (DeviceExtension->InterruptReaderState == ReaderRetry) {
        DeviceExtension->InterruptReaderState = ReaderIdle;
    }
}

VOID WaitForReaderSubmissions(PDEVICE_EXTENSION DeviceExtension)
{
    LARGE_INTEGER Delay;

    // A submission counted here is between its decision and the return of IoCallDriver: a few
    // instructions on another processor. Nothing new is counted once DeviceOpen is clear.
    Delay.QuadPart = -10000;  // 1 ms
    while (InterlockedCompareExchange(&DeviceExtension->ReaderSubmits, 0, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    }
}

// First step of both completion routines: a failed transfer, or one that completed after the
// close cleared DeviceOpen, ends the reader (its state goes Idle under SpinLock) and takes the
// loss path. Returns TRUE in that case.
static BOOLEAN ReaderpTransferLost(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, PULONG State)
{
    KIRQL OldIrql;
    BOOLEAN Lost = FALSE;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!NT_SUCCESS(Irp->IoStatus.Status) || !DeviceExtension->DeviceOpen) {
        *State = ReaderIdle;
        Lost = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Lost;
}

// Last step of both completion routines, after any re-arm: the request goes, then the
// transfer's IoCount unit and remove-lock hold.
static NTSTATUS ReaderpTransferDone(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    IoFreeIrp(Irp);
    IoCountDecrement(DeviceExtension);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, NULL);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion routine of the notification reader. DISPATCH_LEVEL or below, any thread; Context is
// the extension. Frees the request and returns STATUS_MORE_PROCESSING_REQUIRED; the re-arm comes
// before the transfer's IoCount unit and remove-lock hold are given back, so neither drops to
// zero between two transfers of a working reader.
NTSTATUS NTAPI InterruptReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    KIRQL OldIrql;
    BOOLEAN Rearm = FALSE;
    ULONG Received;

    if (ReaderpTransferLost(DeviceExtension, Irp, &DeviceExtension->InterruptReaderState)) {
        ReaderpLossPath(DeviceExtension);
    } else {
        // A notification too short to carry the UART bitmap is ignored: byte 8 would be what an
        // earlier notification left in the buffer.
        Received = UrbpTransfer(&DeviceExtension->InterruptUrb)->TransferBufferLength;
        if (Received >= SERIAL_STATE_NOTIFICATION_LENGTH &&
            DeviceExtension->NotifyBuffer[1] == SERIAL_STATE_NOTIFICATION) {
            ProcessSerialState(DeviceExtension);
        }

        // The close may have cleared DeviceOpen since the test above; then the reader stops here
        // instead of submitting behind the close's aborts.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (DeviceExtension->DeviceOpen) {
            InterlockedIncrement(&DeviceExtension->ReaderSubmits);
            Rearm = TRUE;
        } else {
            DeviceExtension->InterruptReaderState = ReaderIdle;
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        if (Rearm) {
            ReaderpArmDecided(DeviceExtension, FALSE);
        }
    }

    return ReaderpTransferDone(DeviceExtension, Irp);
}

// Raises events into EventHistory under SpinLock (done by the caller's section), then delivers
// the copy; a wait that took it clears from EventHistory what it took. No spin lock held on entry.
static VOID ReaderpDeliver(PDEVICE_EXTENSION DeviceExtension, ULONG Events)
{
    if (Events != 0 && CompleteWaitIrp(DeviceExtension, Events)) {
        ClearDeliveredEvents(DeviceExtension, Events);
    }
}

VOID ProcessSerialState(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    USHORT Old;
    USHORT New;
    UCHAR State = DeviceExtension->NotifyBuffer[8];
    ULONG Events;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Old = DeviceExtension->ModemStatus;
    DeviceExtension->HoldReasons = 0;

    New = Old;
    if (State & 0x01) {
        New |= SERIAL_MSR_DCD;
    } else {
        New &= (USHORT)~SERIAL_MSR_DCD;
    }
    // The modem reports DSR alone; CTS follows it.
    if (State & 0x02) {
        New |= SERIAL_MSR_DSR | SERIAL_MSR_CTS;
    } else {
        New &= (USHORT)~(SERIAL_MSR_DSR | SERIAL_MSR_CTS);
    }
    DeviceExtension->ModemStatus = New;

    if (((Old ^ New) & SERIAL_MSR_DCD) && (DeviceExtension->WaitMask & SERIAL_EV_RLSD)) {
        DeviceExtension->EventHistory |= SERIAL_EV_RLSD;
    }
    if (((Old ^ New) & SERIAL_MSR_DSR) && (DeviceExtension->WaitMask & SERIAL_EV_DSR)) {
        DeviceExtension->EventHistory |= SERIAL_EV_DSR;
    }
    Events = DeviceExtension->EventHistory;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    ReaderpDeliver(DeviceExtension, Events);
}

// Completion routine of the bulk-IN reader. DISPATCH_LEVEL or below, any thread; Context is the
// extension. Stores the block, serves the waiting read, raises the data events, and re-arms while
// the ring has room for a whole transfer (else parks). Frees the request and returns
// STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI BulkInReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    KIRQL OldIrql;
    BOOLEAN Rearm = FALSE;
    ULONG Received;
    ULONG Stored;
    ULONG Events;

    if (ReaderpTransferLost(DeviceExtension, Irp, &DeviceExtension->BulkInReaderState)) {
        ReaderpLossPath(DeviceExtension);
    } else {
        Received = UrbpTransfer(&DeviceExtension->BulkInUrb)->TransferBufferLength;
        if (Received > BULK_IN_BUFFER_SIZE) {
            Received = BULK_IN_BUFFER_SIZE;
        }
        if (Received != 0) {
            // The reader armed only with a whole transfer of room, and only this routine puts,
            // so the block always fits.
            RingPut(DeviceExtension, DeviceExtension->BulkInBuffer, Received, &Stored);
        }

        CancelReadTimers(DeviceExtension);

        ServiceReadQueue(DeviceExtension);

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->IntervalTimerArmed = FALSE;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (DeviceExtension->WaitMask & SERIAL_EV_RXFLAG) {
            DeviceExtension->EventHistory |= SERIAL_EV_RXFLAG;
        }
        if (DeviceExtension->WaitMask & SERIAL_EV_RXCHAR) {
            DeviceExtension->EventHistory |= SERIAL_EV_RXCHAR;
        }
        if ((DeviceExtension->WaitMask & SERIAL_EV_RX80FULL) &&
            RingAvailable(DeviceExtension) >= RING_RX80FULL_LEVEL) {
            DeviceExtension->EventHistory |= SERIAL_EV_RX80FULL;
        }
        Events = DeviceExtension->EventHistory;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        ReaderpDeliver(DeviceExtension, Events);

        // Set again only by a read with an interval time-out dispatched since it was cleared.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (DeviceExtension->IntervalTimerArmed) {
            ReadTimerSetLocked(DeviceExtension, &DeviceExtension->ReadIntervalTimer,
                               *DeviceExtension->IntervalTimeToUse);
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        if (!DeviceExtension->DeviceOpen) {
            DeviceExtension->BulkInReaderState = ReaderIdle;
        } else if (ReaderpRingHasRoom(DeviceExtension)) {
            InterlockedIncrement(&DeviceExtension->ReaderSubmits);
            Rearm = TRUE;
        } else {
            DeviceExtension->BulkInReaderState = ReaderParked;
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        if (Rearm) {
            ReaderpArmDecided(DeviceExtension, TRUE);
        }
    }

    return ReaderpTransferDone(DeviceExtension, Irp);
}

// A reader transfer failed, or completed after the close cleared DeviceOpen. No spin lock held.
// Never re-arms.
static VOID ReaderpLossPath(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Suspended;
    BOOLEAN MarkGone;
    ULONG Events = 0;

    CancelReadTimers(DeviceExtension);

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Suspended = DeviceExtension->SystemSuspended;
    MarkGone = !Suspended && DeviceExtension->DeviceOpen;
    if (!Suspended) {
        DeviceExtension->EventHistory |= SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;
        Events = DeviceExtension->EventHistory;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // During a system suspend the failure is the power-down's doing: nothing is reported.
    if (!Suspended) {
        // DeviceGone is written under StateLock, the lock under which the unavailable test reads
        // it; StateLock is never held with SpinLock, so this is a section of its own.
        if (MarkGone) {
            KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
            DeviceExtension->DeviceGone = DEVICE_GONE_MARK;
            KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);
        }

        // The loss report is cleared whether or not a wait took it; what a wait took goes with it.
        ClearDeliveredEvents(DeviceExtension,
                             CompleteWaitIrp(DeviceExtension, Events)
                                 ? Events
                                 : (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD));

        // With the modem gone no transfer will ever serve a read that waits now, and its timers
        // were cancelled above: it is finished here with what the ring holds (STATUS_TIMEOUT),
        // rather than left waiting until the handle is closed.
        if (MarkGone) {
            ServiceReadQueue(DeviceExtension);
        }
    }
}

// Open, close, cleanup and flush: the life cycle of a port that one application at a time owns.
//
//   Closed   OpenCount 0, DeviceOpen 0          --open admitted-->                 Open
//   Open     OpenCount 1, DeviceOpen 1, readers armed (or the bulk-IN reader parked)
//                                               --close begins-->                  Closing
//   Closing  OpenCount 1, DeviceOpen 0           --the close gives its count back--> Closed
//
// Lock order: CloseMutex, then OpenMutex, then a spin lock. Open and the PnP queries take
// OpenMutex alone and never CloseMutex, so the close's pair cannot deadlock against them. The
// close holds OpenMutex across its last-close decision: an open changes OpenCount only while it
// holds OpenMutex (its increment and, when refused, its decrement), so the close reads the exact
// number of handles and the close of the only handle always does the last-close steps and always
// gives its count back. Neither mutex is held while a request goes to the modem or while the
// close waits for its transfers to drain.

#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/usb/usb.h"
#include "tavrinmdm/request.h"

#define DEFAULT_BAUD_RATE 460800

// PASSIVE_LEVEL. True while the device is still attached below us (not surprise-removed or
// removed): only then can pipe aborts reach it. Takes StateLock alone.
static BOOLEAN OpenpDeviceAttached(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Attached;

    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    Attached = DeviceExtension->PnpState != SurpriseRemoved &&
               DeviceExtension->PnpState != Removed;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);
    return Attached;
}

// PASSIVE_LEVEL, no lock held; the caller holds a remove-lock hold. Gives back the open's IoCount
// unit and waits until every transfer has ended. The caller has aborted the pipes once; should a
// transfer still be outstanding a second later (an abort that could not even be allocated, so
// never reached the stack), the pipes are aborted again, so the close never waits without bound
// on a device that is still attached.
static VOID OpenpDrainWithAborts(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    LARGE_INTEGER Timeout;

    if (InterlockedDecrement(&DeviceExtension->IoCount) != 0) {
        Timeout.QuadPart = -10000000;  // 1 s
        while (KeWaitForSingleObject(&DeviceExtension->IoIdleEvent, Executive, KernelMode, FALSE,
                                     &Timeout) == STATUS_TIMEOUT) {
            AbortAllPipes(DeviceObject);
        }
    }
}

// Called by DispatchCreate with OpenMutex held, before any transfer of this open exists; nothing
// else touches these fields while the port is closed, so no spin lock is taken.
VOID ResetPortState(PDEVICE_EXTENSION DeviceExtension)
{
    InitializeListHead(&DeviceExtension->ReadQueue);
    InitializeListHead(&DeviceExtension->WaitQueue);
    InitializeListHead(&DeviceExtension->WriteQueue);
    DeviceExtension->ModemStatus |= SERIAL_MSR_DSR;
    DeviceExtension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    DeviceExtension->DeviceOpen = TRUE;
    DeviceExtension->IoCount = 1;
    DeviceExtension->WaitMask = 0;
    DeviceExtension->EventHistory = 0;
    DeviceExtension->BaudRate = DEFAULT_BAUD_RATE;
    DeviceExtension->LineControl.StopBits = STOP_BITS_2;
    DeviceExtension->LineControl.Parity = NO_PARITY;
    DeviceExtension->LineControl.WordLength = 8;
    DeviceExtension->AmountInOutQueue = 0;
    DeviceExtension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    DeviceExtension->SpecialChars.XonChar = 0x11;
    DeviceExtension->SpecialChars.XoffChar = 0x13;
    DeviceExtension->WriteActive = FALSE;
    DeviceExtension->QueuesClosed = FALSE;
    DeviceExtension->IntervalDpcBusy = FALSE;
    DeviceExtension->TotalDpcBusy = FALSE;
    KeInitializeEvent(&DeviceExtension->IoIdleEvent, NotificationEvent, FALSE);
    DeviceExtension->SystemSuspended = FALSE;
    DeviceExtension->ControlLineState = LINE_STATE_DTR | LINE_STATE_RTS;
    // The last close drained every transfer, so both readers are idle; say so explicitly, in case
    // a failure left the bulk-IN reader parked.
    DeviceExtension->BulkInReaderState = ReaderIdle;
    DeviceExtension->InterruptReaderState = ReaderIdle;
    DeviceExtension->RearmDelay = REARM_DELAY_FIRST_MS;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL; completes the request (no boost).
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    KIRQL OldIrql;
    BOOLEAN Started;

    Irp->IoStatus.Information = 0;

    // The state test comes before OpenMutex (under StateLock, like every read of PnpState that can
    // race with a PnP transition).
    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    Started = DeviceExtension->PnpState == ::Started;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);
    if (!Started) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    ExAcquireFastMutex(&DeviceExtension->OpenMutex);

    // A query-stop (or a query-stop and a stop) accepted between the test above and OpenMutex has
    // left the state other than Started: the open must see it, or the device would stop under an
    // open handle. Query-stop and query-remove decide under OpenMutex, so inside it the state and
    // DeviceOpen agree.
    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    Started = DeviceExtension->PnpState == ::Started;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);

    if (IsDeviceUnavailable(DeviceExtension)) {
        Status = STATUS_DELETE_PENDING;
    } else if (!Started) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
        if (NT_SUCCESS(Status)) {
            if (InterlockedIncrement(&DeviceExtension->OpenCount) != 1) {
                // Another handle is open (or closing): its state is not touched.
                InterlockedDecrement(&DeviceExtension->OpenCount);
                IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
                Status = STATUS_ACCESS_DENIED;
            } else {
                ResetPortState(DeviceExtension);
            }
        }
    }

    ExReleaseFastMutex(&DeviceExtension->OpenMutex);

    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    Status = ResetPipe(DeviceObject, DeviceExtension->BulkInPipe);
    if (NT_SUCCESS(Status)) {
        Status = ResetPipe(DeviceObject, DeviceExtension->BulkOutPipe);
    }
    if (NT_SUCCESS(Status)) {
        Status = ResetPipe(DeviceObject, DeviceExtension->InterruptPipe);
    }

    if (NT_SUCCESS(Status)) {
        RingReset(DeviceExtension);
        StartInterruptRead(DeviceExtension);
        StartBulkInRead(DeviceExtension);
    } else {
        // Undo the admission; no reader was armed, so nothing is in flight. DeviceOpen is cleared
        // before the count is given back: the other way round, an open admitted in between would
        // have its DeviceOpen cleared by this one.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->DeviceOpen = FALSE;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        InterlockedDecrement(&DeviceExtension->OpenCount);
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return CompleteRequest(Irp, Status, 0);
}

// IRP_MJ_CLOSE. PASSIVE_LEVEL; always succeeds; waits until every transfer of the port has ended.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Unavailable;
    BOOLEAN Held = FALSE;
    BOOLEAN LastClose;
    KIRQL OldIrql;

    ExAcquireFastMutex(&DeviceExtension->CloseMutex);
    ExAcquireFastMutex(&DeviceExtension->OpenMutex);

    // From here on the readers stop re-arming and control requests are refused.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->DeviceOpen = FALSE;
    DeviceExtension->ControlLineState = 0;  // what the last close sends below
    ReaderPortClosedLocked(DeviceExtension);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    Irp->IoStatus.Information = 0;

    Unavailable = IsDeviceUnavailable(DeviceExtension);
    if (!Unavailable) {
        Held = NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp));
    }
    // A reader waiting to retry its re-arm will not: its timer goes now rather than at expiry
    // (under the close's own hold; without one, the timer's DPC gives its hold back itself).
    if (Held) {
        CancelReaderRearm(DeviceExtension);
    }

    // Exact under OpenMutex: an open attempt's increment is always undone before it lets go.
    LastClose = DeviceExtension->OpenCount == 1;

    if (Unavailable || !Held || !LastClose) {
        InterlockedDecrement(&DeviceExtension->OpenCount);
    }

    ExReleaseFastMutex(&DeviceExtension->OpenMutex);
    ExReleaseFastMutex(&DeviceExtension->CloseMutex);

    // Reader submissions decided before DeviceOpen was cleared reach the USB stack before the
    // aborts below, so the aborts end them.
    WaitForReaderSubmissions(DeviceExtension);

    if (Unavailable || !Held) {
        // Nothing is sent to a device that is gone. A device marked gone by a reader while still
        // attached can leave the other reader's transfer outstanding with nothing to end it:
        // abort the pipes as the last close does, so the drain below is bounded.
        if (OpenpDeviceAttached(DeviceExtension) &&
            NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp))) {
            AbortAllPipes(DeviceObject);
            OpenpDrainWithAborts(DeviceObject);
            IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        } else {
            // Surprise-removed or removed: the stack below fails every transfer by itself.
            IoCountDecrementAndWait(DeviceExtension);
        }
        CompleteRequest(Irp, STATUS_SUCCESS, 0);
    } else if (LastClose) {
        SendSetControlLineState(DeviceObject, 0);
        AbortAllPipes(DeviceObject);
        OpenpDrainWithAborts(DeviceObject);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        CompleteRequest(Irp, STATUS_SUCCESS, 0);
        // Given back after the completion: an open arriving meanwhile is refused.
        InterlockedDecrement(&DeviceExtension->OpenCount);
    } else {
        // Not reached with one opener at a time; a close that is not the last gives its count
        // back above and leaves the port's transfers alone.
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    return STATUS_SUCCESS;
}

// IRP_MJ_CLEANUP. PASSIVE_LEVEL. Until the next open a request reaching a queue is cancelled
// there (QueuesClosed).
//
// A write already sent is in the USB stack, not in a queue, and holds the handle's file object:
// the close does not come until it ends. A modem whose buffer is full and whose peer holds it off
// keeps it for as long as the hold lasts, which may be for ever, and once the handle is gone the
// application cannot cancel it any more. The cleanup therefore has the USB stack end it: while
// the write in flight is one of this handle's (WriteFileObject; a kernel client's write, or
// another handle's, is left alone), it aborts the bulk-OUT pipe, and the write completes as a
// failed transfer does, with STATUS_CANCELLED. The abort is sent under a remove-lock hold of the
// cleanup's own, and only while the device is attached and available: after a surprise removal
// the stack below fails every transfer by itself.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PVOID FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN WriteInFlight;
    KIRQL OldIrql;

    // The queues first: once they are closed and empty no read waits, so nothing can set a read
    // timer again after the timers are cancelled, and no queued write can be sent after the abort.
    CloseAndCancelAllQueues(DeviceObject);
    CancelReadTimers(DeviceExtension);

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    WriteInFlight = FileObject != NULL && DeviceExtension->WriteFileObject == FileObject;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    if (WriteInFlight && !IsDeviceUnavailable(DeviceExtension) &&
        OpenpDeviceAttached(DeviceExtension) &&
        NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp))) {
        AbortPipe(DeviceObject, DeviceExtension->BulkOutPipe);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_FLUSH_BUFFERS: neither waits for nor discards queued writes.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

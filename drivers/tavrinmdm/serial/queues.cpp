// The three queues of pending requests: ReadQueue and WaitQueue (at most one request each) and
// WriteQueue (writes at the tail, immediate characters at the head, taken from the head).
//
// Ownership of a queued request is decided by one thing only: the atomic exchange of its
// CancelRoutine with NULL. Whoever takes a non-NULL routine away owns the request and completes
// it exactly once:
//   - a dequeue routine (the request goes to the code that asked for it);
//   - a queue routine that finds Cancel already set after installing the routine;
//   - the I/O manager's IoCancelIrp, which then calls the cancel routine;
//   - CancelQueue, which then calls the cancel routine itself.
// Whoever takes NULL back must leave the request alone: its owner will complete it. A dequeue
// routine that meets such a request unlinks it and makes its link point to itself, so that the
// cancel routine's own unlink changes nothing.
//
// The links of the three queues are read and changed only under SpinLock. The cancel spin lock is
// taken before SpinLock, never after. No spin lock is held while a request is completed.
//
// A queued request keeps the RemoveLock hold its dispatch routine took (tag: the request); the
// routine that completes it releases the hold right after completing it, and touches nothing of
// the device afterwards (the release may let a removal finish and delete the device).

#include "tavrinmdm/serial/serial.h"

// IoCancelIrp sets Cancel on another processor under the cancel spin lock, which the queue
// routines do not hold: read it as the single atomic byte load it is (a plain load on x86).
static BOOLEAN QueCancelFlagSet(PIRP Irp)
{
    return __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
}

// Completes a request with STATUS_CANCELLED and gives back its RemoveLock hold. No spin lock
// held; up to DISPATCH_LEVEL.
static VOID QueCompleteCancelled(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
}

// Links Irp into Queue, marks it pending and installs CancelRoutine; then, if Irp->Cancel is
// already set, tries to take the routine back. SpinLock held by the caller.
// Returns STATUS_PENDING (queued, or being cancelled by the I/O manager, which completes it) or
// STATUS_CANCELLED (unlinked again, or never linked because the handle's cleanup has run; the
// caller's side completes it).
static NTSTATUS QueInsertLocked(PDEVICE_EXTENSION DeviceExtension, PLIST_ENTRY Queue, PIRP Irp,
                                BOOLEAN AtHead, PDRIVER_CANCEL CancelRoutine)
{
    NTSTATUS Status = STATUS_PENDING;

    // A request dispatched before the cleanup and reaching its queue after it: cancelled as if it
    // had been cancelled while being queued.
    if (DeviceExtension->QueuesClosed) {
        IoMarkIrpPending(Irp);
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
        return STATUS_CANCELLED;
    }

    if (AtHead) {
        InsertHeadList(Queue, &Irp->Tail.Overlay.ListEntry);
    } else {
        InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    }
    IoMarkIrpPending(Irp);
    (VOID)IoSetCancelRoutine(Irp, CancelRoutine);

    // IoCancelIrp sets Cancel before it exchanges the routine. If it ran before the routine was
    // installed it found NULL and left the request to us; if it runs now it takes the routine
    // and its call waits for SpinLock, which we hold. The exchange tells the two apart.
    if (QueCancelFlagSet(Irp)) {
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            InitializeListHead(&Irp->Tail.Overlay.ListEntry);
            Status = STATUS_CANCELLED;
        }
    }
    return Status;
}

// Takes the oldest claimable request from the head of Queue. SpinLock held by the caller.
static PIRP QueRemoveHeadLocked(PLIST_ENTRY Queue)
{
    PIRP Result = NULL;

    while (Result == NULL && !IsListEmpty(Queue)) {
        PLIST_ENTRY Entry = RemoveHeadList(Queue);
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);

        // Self-linked either way: a cancel routine already under way unlinks it again without
        // touching the queue, and the request we hand out carries no stale neighbours.
        InitializeListHead(Entry);
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            Result = Irp;
        }
    }
    return Result;
}

// Read requests. PASSIVE_LEVEL (DispatchRead). Completes the request itself when it is not left
// queued: STATUS_INVALID_PARAMETER when a read is already queued (not marked pending; the caller
// returns that status), STATUS_CANCELLED when it was cancelled while being queued (marked
// pending; the caller returns STATUS_PENDING).
NTSTATUS QueueReadIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    KIRQL OldIrql;
    NTSTATUS Status;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!IsListEmpty(&DeviceExtension->ReadQueue)) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        Irp->IoStatus.Status = STATUS_PENDING;
        Status = QueInsertLocked(DeviceExtension, &DeviceExtension->ReadQueue, Irp, FALSE,
                                 CancelQueuedIrp);
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Status == STATUS_INVALID_PARAMETER) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    } else if (Status == STATUS_CANCELLED) {
        QueCompleteCancelled(DeviceExtension, Irp);
    }
    return Status;
}

// IOCTL_SERIAL_WAIT_ON_MASK requests. PASSIVE_LEVEL. Never completes the request: on
// STATUS_INVALID_PARAMETER (a wait already queued; not marked pending) and STATUS_CANCELLED
// (marked pending, status already STATUS_CANCELLED) the caller completes it.
NTSTATUS QueueWaitIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    KIRQL OldIrql;
    NTSTATUS Status;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!IsListEmpty(&DeviceExtension->WaitQueue)) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        Status = QueInsertLocked(DeviceExtension, &DeviceExtension->WaitQueue, Irp, FALSE,
                                 CancelQueuedIrp);
        if (Status == STATUS_CANCELLED) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Status;
}

// Write and immediate-character requests. PASSIVE_LEVEL. Never completes the request: on
// STATUS_CANCELLED (marked pending) the caller completes it and takes its bytes back off
// AmountInOutQueue.
NTSTATUS QueueWriteIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN AtHead)
{
    KIRQL OldIrql;
    NTSTATUS Status;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Status = QueInsertLocked(DeviceExtension, &DeviceExtension->WriteQueue, Irp, AtHead,
                             CancelWriteIrp);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Status;
}

// Up to DISPATCH_LEVEL, no spin lock held. The request returned is the caller's to complete.
PIRP DequeueReadIrp(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    PIRP Irp;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Irp = QueRemoveHeadLocked(&DeviceExtension->ReadQueue);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Irp;
}

PIRP DequeueWaitIrp(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    PIRP Irp;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Irp = QueRemoveHeadLocked(&DeviceExtension->WaitQueue);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Irp;
}

// LockHeld: the caller holds SpinLock (StartNextWrite) and keeps it; otherwise taken here.
PIRP DequeueWriteIrp(PDEVICE_EXTENSION DeviceExtension, BOOLEAN LockHeld)
{
    KIRQL OldIrql;
    PIRP Irp;

    if (LockHeld) {
        Irp = QueRemoveHeadLocked(&DeviceExtension->WriteQueue);
    } else {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        Irp = QueRemoveHeadLocked(&DeviceExtension->WriteQueue);
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    }
    return Irp;
}

// Cancel routine of ReadQueue and WaitQueue. DISPATCH_LEVEL, entered with the cancel spin lock
// held (by IoCancelIrp or CancelQueue) and Irp->CancelIrql set; releases it. This routine owns
// the request and completes it with STATUS_CANCELLED, 0 bytes.
VOID NTAPI CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // A dequeue routine that met this request first has made its link point to itself.
    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    QueCompleteCancelled(DeviceExtension, Irp);
}

// Cancel routine of WriteQueue. As CancelQueuedIrp; also takes the request's bytes (1 for an
// immediate character) back off AmountInOutQueue.
VOID NTAPI CancelWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG Bytes = WriteRequestByteCount(Irp);

    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    // Never wrap below zero: the count is reported to applications as the output queue's size.
    if (DeviceExtension->AmountInOutQueue >= Bytes) {
        DeviceExtension->AmountInOutQueue -= Bytes;
    } else {
        DeviceExtension->AmountInOutQueue = 0;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    QueCompleteCancelled(DeviceExtension, Irp);
}

// Cancels every request of Queue, the most recently queued first. Up to DISPATCH_LEVEL, no spin
// lock held on entry or exit. Each request whose cancel routine is taken here is completed by
// that routine, called as IoCancelIrp would call it; one whose routine is already gone belongs to
// whoever took it (an IoCancelIrp under way, or a dequeue) and is only unlinked.
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL CancelIrql;
    BOOLEAN Done = FALSE;

    IoAcquireCancelSpinLock(&CancelIrql);
    while (!Done) {
        PIRP Irp = NULL;
        PDRIVER_CANCEL Routine = NULL;

        KeAcquireSpinLockAtDpcLevel(&DeviceExtension->SpinLock);
        if (IsListEmpty(Queue)) {
            Done = TRUE;
        } else {
            PLIST_ENTRY Entry = RemoveTailList(Queue);
            InitializeListHead(Entry);
            Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
            Routine = IoSetCancelRoutine(Irp, NULL);
        }
        KeReleaseSpinLockFromDpcLevel(&DeviceExtension->SpinLock);

        if (Routine != NULL) {
            Irp->CancelIrql = CancelIrql;
            Irp->Cancel = TRUE;
            // The routine releases the cancel spin lock and completes the request.
            Routine(DeviceObject, Irp);
            IoAcquireCancelSpinLock(&CancelIrql);
        }
    }
    IoReleaseCancelSpinLock(CancelIrql);
}

// Cleanup: from now until the next open, a request reaching a queue is cancelled there. Then
// every queued request is cancelled, as by CancelAllQueues. PASSIVE_LEVEL, no spin lock held.
VOID CloseAndCancelAllQueues(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL OldIrql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->QueuesClosed = TRUE;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    CancelAllQueues(DeviceObject);
}

// Cleanup, surprise removal and removal: writes first (newest first), then the read, then the
// wait. Up to DISPATCH_LEVEL, no spin lock held.
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    CancelQueue(DeviceObject, &DeviceExtension->WriteQueue);
    CancelQueue(DeviceObject, &DeviceExtension->ReadQueue);
    CancelQueue(DeviceObject, &DeviceExtension->WaitQueue);
}

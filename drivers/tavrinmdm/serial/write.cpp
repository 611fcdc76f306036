// Writes: the write chain that sends IRP_MJ_WRITE and IOCTL_SERIAL_IMMEDIATE_CHAR requests to the
// modem's bulk-OUT pipe, one request at a time, in chunks of at most WRITE_CHUNK_SIZE bytes.
//
// The application's own request carries each chunk's URB down in its next stack location; the
// USB stack reads the bytes straight from the request's system buffer, so nothing is copied and
// nothing is allocated but one WRITE_CONTEXT per request. The chain's states are described with
// WRITE_CONTEXT in serial/serial.h.
//
// Who sends: a request is sent by the thread that starts the chain (DispatchWrite or
// QueueImmediateChar) or by the completion of the request before it; a chunk by the completion of
// the chunk before it. All of it goes through WriteSend, which lets one thread at a time be the
// sender: a completion that arrives while another thread is inside WriteSend (typically because
// the lower driver completed the request inside IoCallDriver) leaves its follow-up to that thread
// instead of sending from inside the completion. However many requests a lower driver fails at
// once, the stack never grows with the length of the queue.

#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/request.h"

static NTSTATUS WriteSend(PDEVICE_EXTENSION DeviceExtension, PWRITE_CONTEXT FollowUp,
                          PIRP Handed);

// Builds the URB for the next chunk of Context's request, fills the request's next stack location
// and sends it. Up to DISPATCH_LEVEL, no spin lock held. The request, and Context with it, may be
// finished by the time this returns.
static VOID WriteSendChunk(PDEVICE_EXTENSION DeviceExtension, PWRITE_CONTEXT Context)
{
    PIRP Irp = Context->Irp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer = &Context->Urb.UrbBulkOrInterruptTransfer;
    ULONG Chunk = Context->BytesLeft < WRITE_CHUNK_SIZE ? Context->BytesLeft : WRITE_CHUNK_SIZE;
    PIO_STACK_LOCATION Next;

    // The same URB carries every chunk; the USB stack has changed it since the last one.
    RtlZeroMemory(Transfer, sizeof(*Transfer));
    Transfer->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Transfer->PipeHandle = DeviceExtension->BulkOutPipe;
    Transfer->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;  // and short transfers not allowed
    Transfer->TransferBufferLength = Chunk;
    Transfer->TransferBuffer = Context->NextByte;

    Context->NextByte += Chunk;
    Context->BytesLeft -= Chunk;

    Next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(Next, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = &Context->Urb;
    IoSetCompletionRoutine(Irp, WriteCompletion, Context, TRUE, TRUE, TRUE);

    IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

// One start of the next queued request: takes it from WriteQueue and sends its first chunk, or
// ends the chain when the queue is empty. *TakeNext is set when the request taken could not be
// sent (no WRITE_CONTEXT; it has been completed with STATUS_INSUFFICIENT_RESOURCES) and the port
// is still open, so the caller goes on with the next one. Up to DISPATCH_LEVEL, no spin lock held.
static NTSTATUS WriteStartOne(PDEVICE_EXTENSION DeviceExtension, BOOLEAN* TakeNext)
{
    PWRITE_CONTEXT Context;
    KIRQL OldIrql;
    ULONG Events = 0;
    ULONG Total;
    BOOLEAN Open;
    PIRP Irp;

    *TakeNext = FALSE;

    // The chain stops here with WriteActive still set: the queued requests wait until the
    // removal (or a cleanup) cancels them.
    if (IsDeviceUnavailable(DeviceExtension)) {
        return STATUS_DELETE_PENDING;
    }

    // Taking the request and ending the chain are one SpinLock hold, so a write queued by another
    // thread meanwhile is either taken here or finds WriteActive clear and starts a new chain.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Irp = DequeueWriteIrp(DeviceExtension, TRUE);
    DeviceExtension->WriteFileObject =
        Irp != NULL ? IoGetCurrentIrpStackLocation(Irp)->FileObject : NULL;
    if (Irp == NULL) {
        DeviceExtension->WriteActive = FALSE;
        if (DeviceExtension->WaitMask & SERIAL_EV_TXEMPTY) {
            DeviceExtension->EventHistory |= SERIAL_EV_TXEMPTY;
            Events = DeviceExtension->EventHistory;
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Irp == NULL) {
        if (Events != 0) {
            // Transmit-empty is cleared whether or not a wait took it (with no wait pending it is
            // dropped); the other bits go only with the wait that took them.
            ClearDeliveredEvents(DeviceExtension, CompleteWaitIrp(DeviceExtension, Events)
                                                      ? Events
                                                      : SERIAL_EV_TXEMPTY);
        }
        return STATUS_UNSUCCESSFUL;
    }

    Total = WriteRequestByteCount(Irp);

    Context = (PWRITE_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(WRITE_CONTEXT));
    if (Context == NULL) {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->AmountInOutQueue -= Total;
        DeviceExtension->WriteFileObject = NULL;
        Open = DeviceExtension->DeviceOpen;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        *TakeNext = Open;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(Context, sizeof(WRITE_CONTEXT));
    Context->NextByte = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Context->BytesLeft = Total;
    Context->ByteCount = Total;
    Context->Irp = Irp;

    IoCountIncrement(DeviceExtension);

    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    WriteSendChunk(DeviceExtension, Context);
    return STATUS_PENDING;
}

// A request that has ended gives back its IoCount unit and remove-lock hold (tag: the request).
// Once given back, the device may be deleted: the caller touches nothing of it afterwards.
static VOID WritepGiveBack(PDEVICE_EXTENSION DeviceExtension, PIRP Ended)
{
    IoCountDecrement(DeviceExtension);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Ended);
}

// The chain's sender: sends the next chunk of FollowUp's request, or (FollowUp NULL) starts the
// next queued request, and then every follow-up that completions leave while it runs. If another
// thread is the sender already, the follow-up is left to it. Up to DISPATCH_LEVEL, no spin lock
// held on entry or exit. Returns the outcome of its own first start (STATUS_PENDING when it sent
// a chunk or handed the follow-up over).
//
// Handed: a request that has just ended (WriteCompletion), whose IoCount unit and remove-lock hold
// go along with the follow-up. Whichever thread runs the follow-up gives them back only once it
// is done with the device (keeping the newest such hold while it loops), so that from the
// completion until the next request has been started someone always holds the device: neither a
// close's drain nor a removal's wait can finish in between, and the sender never runs on a
// device that has gone.
static NTSTATUS WriteSend(PDEVICE_EXTENSION DeviceExtension, PWRITE_CONTEXT FollowUp, PIRP Handed)
{
    NTSTATUS Result = STATUS_PENDING;
    BOOLEAN First = TRUE;
    BOOLEAN TakeNext;
    BOOLEAN More;
    NTSTATUS Status;
    KIRQL OldIrql;
    PIRP Kept = Handed;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (DeviceExtension->WriteSenderBusy) {
        // At most one follow-up is ever waiting: only the request in flight produces one, and
        // it is in flight only after the sender has taken the previous follow-up.
        DeviceExtension->WriteFollowUp = FollowUp;
        DeviceExtension->WriteFollowUpHold = Handed;
        DeviceExtension->WriteFollowUpPending = TRUE;
        More = FALSE;
        Kept = NULL;
    } else {
        DeviceExtension->WriteSenderBusy = TRUE;
        More = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    while (More) {
        if (FollowUp != NULL) {
            WriteSendChunk(DeviceExtension, FollowUp);
        } else {
            do {
                Status = WriteStartOne(DeviceExtension, &TakeNext);
                if (First) {
                    Result = Status;
                    First = FALSE;
                }
            } while (TakeNext);
        }

        Handed = NULL;
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        More = DeviceExtension->WriteFollowUpPending;
        if (More) {
            FollowUp = (PWRITE_CONTEXT)DeviceExtension->WriteFollowUp;
            Handed = (PIRP)DeviceExtension->WriteFollowUpHold;
            DeviceExtension->WriteFollowUp = NULL;
            DeviceExtension->WriteFollowUpHold = NULL;
            DeviceExtension->WriteFollowUpPending = FALSE;
        } else {
            DeviceExtension->WriteSenderBusy = FALSE;
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        // The newer hold keeps the device from here on.
        if (Handed != NULL) {
            if (Kept != NULL) {
                WritepGiveBack(DeviceExtension, Kept);
            }
            Kept = Handed;
        }
    }

    if (Kept != NULL) {
        WritepGiveBack(DeviceExtension, Kept);
    }
    return Result;
}

NTSTATUS StartNextWrite(PDEVICE_EXTENSION DeviceExtension)
{
    return WriteSend(DeviceExtension, NULL, NULL);
}

// After a request has been queued: starts the chain unless it is running (or stopped) already.
// PASSIVE_LEVEL, no lock held.
static VOID WriteStartChainIfIdle(PDEVICE_EXTENSION DeviceExtension)
{
    BOOLEAN Start = FALSE;
    KIRQL OldIrql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!DeviceExtension->WriteActive) {
        DeviceExtension->WriteActive = TRUE;
        Start = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Start) {
        StartNextWrite(DeviceExtension);
    }
}

// IRP_MJ_WRITE. PASSIVE_LEVEL. A write is queued and sent by the chain; it is completed by
// WriteCompletion, by its cancel routine while queued, or here when it is refused.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    KIRQL OldIrql;
    NTSTATUS Status;

    Irp->IoStatus.Information = 0;

    if (IsDeviceUnavailable(DeviceExtension)) {
        return CompleteRequestStatus(Irp, STATUS_DELETE_PENDING);
    }

    if (Length == 0) {
        return CompleteRequestStatus(Irp, STATUS_SUCCESS);
    }

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequestStatus(Irp, Status);
    }

    // Once queued, the request (and its hold) may be sent, completed and gone on another processor
    // while this routine still runs the chain: it holds the device for its own duration.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, (PVOID)DispatchWrite);
    if (!NT_SUCCESS(Status)) {
        CompleteRequestStatus(Irp, Status);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return Status;
    }

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->AmountInOutQueue += Length;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    ClearImmediateCharMark(Irp);

    Status = QueueWriteIrp(DeviceExtension, Irp, FALSE);
    if (Status == STATUS_PENDING) {
        WriteStartChainIfIdle(DeviceExtension);
    } else {
        // Cancelled while being queued; the queue routine had marked it pending.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->AmountInOutQueue -= Length;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, (PVOID)DispatchWrite);
    return STATUS_PENDING;
}

// IOCTL_SERIAL_IMMEDIATE_CHAR, from ProcessDeviceControl, which has checked that the input holds
// at least one byte and holds RemoveLock for the request. PASSIVE_LEVEL. The request goes to the
// head of WriteQueue, so it is the next one sent after the request in flight.
NTSTATUS QueueImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL OldIrql;
    NTSTATUS Status;

    // As DispatchWrite: the device is held for this routine's own duration.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, (PVOID)QueueImmediateChar);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->AmountInOutQueue += 1;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    SetImmediateCharMark(Irp);

    Status = QueueWriteIrp(DeviceExtension, Irp, TRUE);
    if (Status == STATUS_PENDING) {
        WriteStartChainIfIdle(DeviceExtension);
    } else {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->AmountInOutQueue -= 1;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    }

    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, (PVOID)QueueImmediateChar);
    return Status;
}

// Completion of each chunk; Context is the request's WRITE_CONTEXT. Up to DISPATCH_LEVEL, no lock
// held. Returns STATUS_MORE_PROCESSING_REQUIRED while more chunks follow; otherwise the request
// ends here and the I/O manager goes on completing it with the USB stack's status.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PWRITE_CONTEXT WriteContext = (PWRITE_CONTEXT)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG Transferred = WriteContext->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    PUCHAR SentTo =
        (PUCHAR)WriteContext->Urb.UrbBulkOrInterruptTransfer.TransferBuffer + Transferred;
    BOOLEAN Stalled = FALSE;
    KIRQL OldIrql;
    BOOLEAN Open;

    // As the USB stack left it: the bytes it transferred.
    WriteContext->BytesSent += Transferred;

    // A chunk reported sent in part, successfully: the bytes after the part sent must not be
    // skipped (the next chunk would follow a gap, and the request would count bytes that are not
    // the ones the modem got). The rest of the chunk goes again; a chunk of which nothing was sent
    // ends the request with what was sent so far, which is then exactly the buffer's first
    // BytesSent bytes. The platform's USB stack does not end an OUT transfer short by itself; a
    // lower driver or a device may.
    if (NT_SUCCESS(Status) && SentTo < WriteContext->NextByte) {
        if (Transferred == 0) {
            Stalled = TRUE;
        } else {
            WriteContext->BytesLeft += (ULONG)(WriteContext->NextByte - SentTo);
            WriteContext->NextByte = SentTo;
        }
    }

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Open = DeviceExtension->DeviceOpen;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (NT_SUCCESS(Status) && WriteContext->BytesLeft != 0 && Open && !Stalled) {
        WriteSend(DeviceExtension, WriteContext, NULL);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // The request ends, sent or not. Its whole byte count leaves AmountInOutQueue, so the
    // communication status never counts bytes that will not be sent.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    DeviceExtension->AmountInOutQueue -= WriteContext->ByteCount;
    DeviceExtension->WriteFileObject = NULL;
    if (NT_SUCCESS(Status)) {
        DeviceExtension->PerfStats.TransmittedCount += WriteContext->BytesSent;
    }
    Open = DeviceExtension->DeviceOpen;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // An immediate character returns no data: its count would exceed the control request's
    // output buffer, which the I/O manager copies Information bytes into.
    if (NT_SUCCESS(Status) && !HasImmediateCharMark(Irp)) {
        Irp->IoStatus.Information = WriteContext->BytesSent;
    } else {
        Irp->IoStatus.Information = 0;
    }

    ExFreePool(WriteContext);

    // The chain goes on with the next request after a failure too: a write that failed must not
    // leave the ones behind it waiting for ever. It stops once the close has begun. This request's
    // IoCount unit and RemoveLock hold go along with the start of the next one, to whichever
    // thread sends it, and are given back once that thread is done: a close cannot finish its
    // drain, nor a removal its wait, in between.
    if (Open) {
        WriteSend(DeviceExtension, NULL, Irp);
    } else {
        WritepGiveBack(DeviceExtension, Irp);
    }
    return Status;
}

// Serial port emulation: open and close, reads with time-outs, writes, the serial control
// requests, wait-on-mask, and the queues of pending requests.
#pragma once

#include "tavrinmdm/extension.h"

// --- Open, close, cleanup, flush (PASSIVE_LEVEL; each completes its request itself) ---
// Lock order of the open/close path: CloseMutex before OpenMutex (only close takes both; open and
// the PnP queries take OpenMutex alone), both before any spin lock; both are released before any
// request is sent to the modem.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Puts the port's settings, queues and counters back to their open-time values. Called by
// DispatchCreate with OpenMutex held; takes no spin lock.
VOID ResetPortState(PDEVICE_EXTENSION DeviceExtension);

// --- Reads ---
// IRP_MJ_READ, PASSIVE_LEVEL. Takes what the ring holds at once; a read that finds the ring empty
// waits in ReadQueue (one at a time: a read arriving while one waits is refused with
// STATUS_INVALID_PARAMETER before it touches the waiting read's timers or length).
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completes every claimable read in ReadQueue from the ring (STATUS_TIMEOUT when it got less than
// it asked for). Up to DISPATCH_LEVEL, no spin lock held on entry.
VOID ServiceReadQueue(PDEVICE_EXTENSION DeviceExtension);
// The relative due time (100 ns units, negative) of a read's total time-out:
// -10,000 x (Multiplier x Length + Constant) milliseconds, saturated so that a huge time-out is a
// long wait, never an overflow into an absolute or immediate one; never 0 (an absolute time).
LONGLONG ReadTotalDueTime(ULONG Multiplier, ULONG Constant, ULONG Length);
// The read timers. A timer that is set holds RemoveLock (tag: the timer) until its DPC has run or
// a cancel took it out before it expired (see READ_TIMER_HOLD in extension.h), so no
// timer DPC can run against a device that removal has deleted.
// Sets ReadTotalTimer or ReadIntervalTimer with its own DPC. SpinLock held (DISPATCH_LEVEL). Does
// nothing once removal has begun (the hold is refused).
VOID ReadTimerSetLocked(PDEVICE_EXTENSION DeviceExtension, PKTIMER Timer, LARGE_INTEGER DueTime);
// Cancels ReadTotalTimer, then ReadIntervalTimer; a DPC already due for either does nothing but
// give its hold back. Up to DISPATCH_LEVEL, no spin lock held.
VOID CancelReadTimers(PDEVICE_EXTENSION DeviceExtension);
// Deferred routines of ReadTotalDpc and ReadIntervalDpc; DeferredContext is the extension.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2);

// --- Writes ---

#define WRITE_CHUNK_SIZE 4096

// One per write or immediate-character request in flight on the bulk-OUT pipe: non-paged,
// zero-filled by StartNextWrite, freed by WriteCompletion when the request ends.
typedef struct _WRITE_CONTEXT {
    URB Urb;            // the chunk in flight, as a _URB_BULK_OR_INTERRUPT_TRANSFER
    PUCHAR NextByte;    // next byte of the request not yet handed to the USB stack
    ULONG BytesLeft;    // bytes of the request not yet handed to the USB stack
    ULONG BytesSent;    // bytes the USB stack reported transferred, over all chunks
    // Added after the fields above:
    ULONG ByteCount;    // the request's whole byte count, taken off AmountInOutQueue when it ends
    PIRP Irp;           // the request (the sender needs it when it sends the next chunk)
} WRITE_CONTEXT, *PWRITE_CONTEXT;

// The write chain. WriteActive is its state bit; the states, as the routines below move it:
//
//   Idle     WriteActive 0, nothing in flight.
//            --a write or immediate character queued (DispatchWrite, QueueImmediateChar set
//              WriteActive under SpinLock)-->  Running
//   Running  WriteActive 1, at most one request in flight on the bulk-OUT pipe.
//            --a request ends (sent, failed, or no WRITE_CONTEXT) while the port is open-->
//              Running with the next queued request
//            --StartNextWrite finds WriteQueue empty (clears WriteActive in the same SpinLock
//              hold as the dequeue, raises SERIAL_EV_TXEMPTY when the mask asks)-->  Idle
//            --a request ends after the close has begun, or StartNextWrite finds the device
//              unavailable-->  Stopped
//   Stopped  WriteActive 1, nothing in flight; queued requests wait until they are cancelled
//            (cleanup, purge, removal). The next open clears WriteActive.

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Puts an IOCTL_SERIAL_IMMEDIATE_CHAR request at the head of WriteQueue. Returns STATUS_PENDING,
// or STATUS_CANCELLED for a request cancelled while being queued (the caller completes it).
NTSTATUS QueueImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Takes the next request from WriteQueue and sends its first chunk; a request that cannot be
// sent (no WRITE_CONTEXT) is completed with STATUS_INSUFFICIENT_RESOURCES and the next one is
// taken. Returns the outcome of its first attempt (STATUS_PENDING: sent, or handed to the sender
// already running; STATUS_UNSUCCESSFUL: queue empty; STATUS_DELETE_PENDING: device unavailable;
// STATUS_INSUFFICIENT_RESOURCES); no caller needs it. Up to DISPATCH_LEVEL, no spin lock held.
NTSTATUS StartNextWrite(PDEVICE_EXTENSION DeviceExtension);
// Completion routine of each chunk; Context is the WRITE_CONTEXT. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The immediate-character mark: 0xFFFFFFFF in the fourth parameter word of the request's current
// stack location. On x86 that word is Parameters.DeviceIoControl.Type3InputBuffer of the control
// request and Parameters.Write.ByteOffset.HighPart of a write (checked in x86/layout.cpp);
// reading and writing it only through these helpers keeps both builds on the same word.
#define IMMEDIATE_CHAR_MARK ((ULONG_PTR)0xFFFFFFFFUL)

inline VOID SetImmediateCharMark(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = (PVOID)IMMEDIATE_CHAR_MARK;
}

inline VOID ClearImmediateCharMark(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = NULL;
}

inline BOOLEAN HasImmediateCharMark(PIRP Irp)
{
    return (ULONG_PTR)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 ==
           IMMEDIATE_CHAR_MARK;
}

// Bytes a queued write-queue request carries: 1 for an immediate character, else the write length.
inline ULONG WriteRequestByteCount(PIRP Irp)
{
    return HasImmediateCharMark(Irp) ? 1 : IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// --- Serial control requests ---

// SET_CONTROL_LINE_STATE bits, as kept in ControlLineState.
#define LINE_STATE_DTR 0x0001
#define LINE_STATE_RTS 0x0002

// One per control request that arrives above PASSIVE_LEVEL: non-paged, allocated by
// DispatchDeviceControl, freed by DeviceControlWorker.
struct DeviceControlContext {
    PIO_WORKITEM WorkItem;              // the I/O manager's item: routine DeviceControlWorker,
                                        // context this record
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;
    PDEVICE_OBJECT DeviceObject;
};

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Work item routine (IoQueueWorkItem); Context is the DeviceControlContext. PASSIVE_LEVEL.
VOID NTAPI DeviceControlWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
// Serves one control code. Always PASSIVE_LEVEL.
NTSTATUS ProcessDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsValidBaudRate(ULONG BaudRate);
BOOLEAN IsValidWordLength(UCHAR WordLength);
VOID FillCommProperties(PDEVICE_EXTENSION DeviceExtension, PSERIAL_COMMPROP Properties);

// --- Wait-on-mask ---

// The three wait-mask control codes, carried out in serial/wait_mask.cpp. ProcessDeviceControl
// calls them at PASSIVE_LEVEL with no lock held, holding the request's RemoveLock, after it has
// checked the buffer lengths (SET: input 4; GET and WAIT: output 4). Each sets
// Irp->IoStatus.Information and returns the outcome without completing the request:
// ProcessDeviceControl completes it, except for STATUS_PENDING (the wait is queued and keeps its
// RemoveLock hold) and STATUS_CANCELLED from QueueWaitIrp (it completes it and returns
// STATUS_PENDING). ProcessSetWaitMask reports Information 4 only where that cannot exceed the
// caller's output buffer: 4 with no output buffer or one of at least 4 bytes, 0 with 1 to 3.
NTSTATUS ProcessSetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS ProcessGetWaitMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS ProcessWaitOnMask(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);

// Completes the pending IOCTL_SERIAL_WAIT_ON_MASK request, if any, with Events; TRUE if there was
// one. Up to DISPATCH_LEVEL, never with SpinLock held (it takes SpinLock).
BOOLEAN CompleteWaitIrp(PDEVICE_EXTENSION DeviceExtension, ULONG Events);
// Clears Events from EventHistory under SpinLock, leaving every other bit: what a producer
// delivered (or drops), never what another producer raised meanwhile. Up to DISPATCH_LEVEL, no
// spin lock held.
VOID ClearDeliveredEvents(PDEVICE_EXTENSION DeviceExtension, ULONG Events);

// --- Pending-request queues (links guarded by SpinLock; cancel by CancelRoutine exchange) ---
// Each queued request keeps the RemoveLock hold its dispatch routine took; whoever completes it
// releases that hold. Completions from these routines use IO_SERIAL_INCREMENT.

// STATUS_PENDING, STATUS_INVALID_PARAMETER (queue occupied) or STATUS_CANCELLED; in the last two
// cases the request has been completed here. A request found cancelled was marked pending first:
// its dispatch routine returns STATUS_PENDING for it. A refused one was not marked pending.
NTSTATUS QueueReadIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
// Same results; the caller completes a request that was not queued (a cancelled one already
// carries STATUS_CANCELLED and is marked pending).
NTSTATUS QueueWaitIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
// STATUS_PENDING or STATUS_CANCELLED (marked pending); the caller completes a cancelled request.
NTSTATUS QueueWriteIrp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN AtHead);
// The oldest claimable request, with its cancel routine taken away, or NULL.
PIRP DequeueReadIrp(PDEVICE_EXTENSION DeviceExtension);
PIRP DequeueWaitIrp(PDEVICE_EXTENSION DeviceExtension);
// LockHeld: the caller already holds SpinLock.
PIRP DequeueWriteIrp(PDEVICE_EXTENSION DeviceExtension, BOOLEAN LockHeld);
// Cancel routines, entered with the cancel spin lock held; they release it.
VOID NTAPI CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI CancelWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Cancels every request of Queue (a list head of the extension), or of all three queues: the
// write queue, then the read queue, then the wait queue.
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject);
// Cleanup's: marks the queues closed (QueuesClosed) until the next open, so that a request
// reaching one afterwards is cancelled there, then cancels every queued request.
VOID CloseAndCancelAllQueues(PDEVICE_OBJECT DeviceObject);

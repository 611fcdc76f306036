// USB transport: URB submission and the class requests, the two continuous readers, and the
// receive ring.
#pragma once

#include "tavrinmdm/extension.h"

// --- URB submission and class requests (all to LowerDeviceObject) ---

// Sends Urb in an IOCTL_INTERNAL_USB_SUBMIT_URB request and waits for it. PASSIVE_LEVEL, no lock
// held. Only the request's NTSTATUS counts.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Sends Urb in a request of the driver's own to TargetDevice (always LowerDeviceObject); the
// completion routine frees the request and returns STATUS_MORE_PROCESSING_REQUIRED.
// Up to DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);
// SubmitUrbAsync that also tells whether the request reached the target: *Sent is FALSE only when
// no request could be allocated, in which case the completion routine never runs and the caller
// undoes what it prepared for it. When *Sent is TRUE the completion routine runs (or has run),
// whatever the returned status. Up to DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsyncEx(PDEVICE_OBJECT TargetDevice, PURB Urb,
                          PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                          PBOOLEAN Sent);

// SET_CONTROL_LINE_STATE with the caller's line-state bits (0x1 DTR, 0x2 RTS). PASSIVE_LEVEL.
NTSTATUS SendSetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState);
// SET_LINE_CODING from BaudRate and LineControl. PASSIVE_LEVEL.
NTSTATUS SendSetLineCoding(PDEVICE_OBJECT DeviceObject);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
// Aborts InterruptPipe, BulkInPipe, BulkOutPipe; results ignored. PASSIVE_LEVEL.
VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject);

// --- The two continuous readers ---
//
// Each reader's state (BulkInReaderState, InterruptReaderState; READER_STATE values) is changed
// only under SpinLock, and every decision to submit is made under SpinLock together with the test
// of DeviceOpen, so a URB is never in flight twice:
//
//   Idle   --open / resume (StartXxxRead), port open, [bulk-IN: ring has room]-->       Armed
//   Idle   --StartBulkInRead, port open, ring lacks room for a whole transfer-->           Parked
//   Armed  --success, port open, [bulk-IN: ring has room for a whole transfer]-->          Armed
//   Armed  --bulk-IN success, port open, ring lacks room-->                                Parked
//   Armed  --failure, or completion after the close cleared DeviceOpen-->                  Idle
//   Armed  --no IRP could be allocated, port open, not suspended-->                        Retry
//   Armed  --no request could be sent otherwise (remove lock refused, port closed or
//            suspended)-->                        bulk-IN: Parked if the port is open, else Idle;
//                                                 notification: Idle
//   Retry  --RearmTimer's DPC, port open, not suspended, [bulk-IN: ring has room]-->       Armed
//   Retry  --bulk-IN: as Parked below (ResumeBulkInReader)-->                              Armed
//   Retry  --the same, bulk-IN, ring lacks room-->                                         Parked
//   Retry  --the same with the port closed or suspended, or close-->                       Idle
//   Parked --a read, a read-queue service or a receive purge made room, port open, not
//            suspended (ResumeBulkInReader)-->                                             Armed
//   Parked --close clears DeviceOpen (ReaderPortClosedLocked)-->                           Idle
//
// Armed means one transfer is in flight or about to be handed down; only Armed holds an IoCount
// unit and an untagged RemoveLock hold. Parked, Retry and Idle hold nothing (the re-arm timer
// holds the device for itself), so close, suspend and resume treat them as idle. Only the
// bulk-IN reader parks: while it is parked the modem keeps its data (USB flow control) instead
// of the ring dropping it. A reader in Retry is armed again by the re-arm timer's DPC after a
// delay that starts at REARM_DELAY_FIRST_MS and doubles after each failed try up to
// REARM_DELAY_LIMIT_MS, so a transient shortage of requests never silences the port.
enum READER_STATE : ULONG {
    ReaderIdle = 0,
    ReaderArmed = 1,
    ReaderParked = 2,
    ReaderRetry = 3,
};

#define REARM_DELAY_FIRST_MS 10
#define REARM_DELAY_LIMIT_MS 1000

// Bytes the ring must have free for the bulk-IN reader to (re-)arm: one whole transfer.
#define BULK_IN_REARM_ROOM BULK_IN_BUFFER_SIZE

// ModemStatus bits, as the modem status register has them.
#ifndef SERIAL_MSR_DCD
#define SERIAL_MSR_DCD 0x80
#endif
#ifndef SERIAL_MSR_DSR
#define SERIAL_MSR_DSR 0x20
#endif
#ifndef SERIAL_MSR_CTS
#define SERIAL_MSR_CTS 0x10
#endif

// bNotification of the communications class's UART-state notification.
#define SERIAL_STATE_NOTIFICATION 0x20

// Ring fill level (bytes) from which a bulk-IN completion raises SERIAL_EV_RX80FULL.
#define RING_RX80FULL_LEVEL 820000

// A UART-state notification carries 8 header bytes and a 2-byte bitmap; a shorter one is ignored.
#define SERIAL_STATE_NOTIFICATION_LENGTH 10

// Arm the notification reader (16 bytes on InterruptPipe) and the bulk-IN reader (4096 bytes on
// BulkInPipe). Each outstanding transfer holds one IoCount unit and one untagged RemoveLock hold.
// Up to DISPATCH_LEVEL; no caller examines the result.
NTSTATUS StartInterruptRead(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION DeviceExtension);

// Completion routines of the readers; Context is the DEVICE_EXTENSION. Up to DISPATCH_LEVEL.
// Both return STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI InterruptReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI BulkInReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Applies a SERIAL_STATE notification in NotifyBuffer to ModemStatus and raises its events.
VOID ProcessSerialState(PDEVICE_EXTENSION DeviceExtension);

// Re-arms a parked bulk-IN reader (or one waiting to retry its re-arm) once the ring has room for
// a whole transfer again, while the port is open and not suspended. Called by the read path after it took bytes from the ring, and
// by RingReset. Up to DISPATCH_LEVEL, no spin lock held.
VOID ResumeBulkInReader(PDEVICE_EXTENSION DeviceExtension);

// Close's part: called with SpinLock held, in the section that clears DeviceOpen. A parked reader,
// or one waiting to retry its re-arm, holds nothing and simply becomes idle.
VOID ReaderPortClosedLocked(PDEVICE_EXTENSION DeviceExtension);

// Deferred routine of RearmDpc; DeferredContext is the extension. DISPATCH_LEVEL.
VOID NTAPI ReaderRearmDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2);
// Takes RearmTimer out if it has not expired yet, giving its hold back (its DPC gives it back
// otherwise): close and removal need not wait out the delay. The caller holds the device; up to
// DISPATCH_LEVEL, no spin lock held.
VOID CancelReaderRearm(PDEVICE_EXTENSION DeviceExtension);

// Waits (PASSIVE_LEVEL) until every reader submission decided before DeviceOpen was cleared has
// been handed to the USB stack, so that the pipe aborts that follow find it there.
VOID WaitForReaderSubmissions(PDEVICE_EXTENSION DeviceExtension);

// --- The receive ring (RING_BUFFER_SIZE bytes in the extension, guarded by RingLock) ---
// Each takes RingLock for its whole run; PASSIVE_LEVEL or DISPATCH_LEVEL.

// Stores up to Count bytes; *Stored is always written. STATUS_UNSUCCESSFUL when the ring is full.
NTSTATUS RingPut(PDEVICE_EXTENSION DeviceExtension, const VOID* Source, ULONG Count,
                 PULONG Stored);
// Takes up to Count bytes; *Taken is always written. STATUS_UNSUCCESSFUL when the ring is empty.
NTSTATUS RingGet(PDEVICE_EXTENSION DeviceExtension, PVOID Destination, ULONG Count,
                 PULONG Taken);
// RingCount as read under RingLock.
LONG RingAvailable(PDEVICE_EXTENSION DeviceExtension);
// Empties the ring, then lets a parked bulk-IN reader go on (ResumeBulkInReader), since a receive
// purge is one of the ways room is made. Always STATUS_SUCCESS. No spin lock held on entry.
NTSTATUS RingReset(PDEVICE_EXTENSION DeviceExtension);

// USB transport: URB submission and the class requests, the two continuous readers, and the
// receive ring.
#pragma once

#include "driver/extension.h"

// --- URB submission and class requests (all to LowerDeviceObject) ---

// Sends Urb in an IOCTL_INTERNAL_USB_SUBMIT_URB request and waits for it. PASSIVE_LEVEL, no lock
// held. Only the request's NTSTATUS counts.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Sends Urb in a request of the driver's own to TargetDevice (always LowerDeviceObject); the
// completion routine frees the request and returns STATUS_MORE_PROCESSING_REQUIRED.
// Up to DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);

// SET_CONTROL_LINE_STATE with the caller's line-state bits (0x1 DTR, 0x2 RTS). PASSIVE_LEVEL.
NTSTATUS SendSetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState);
// SET_LINE_CODING from BaudRate and LineControl. PASSIVE_LEVEL.
NTSTATUS SendSetLineCoding(PDEVICE_OBJECT DeviceObject);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
// Aborts InterruptPipe, BulkInPipe, BulkOutPipe; results ignored. PASSIVE_LEVEL.
VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject);

// --- The two continuous readers ---

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
// Empties the ring. Always STATUS_SUCCESS.
NTSTATUS RingReset(PDEVICE_EXTENSION DeviceExtension);

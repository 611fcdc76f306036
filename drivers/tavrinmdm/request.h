// Finishing and forwarding requests: the small routines every request path shares.
#pragma once

#include "tavrinmdm/platform.h"

// Stores Status and Information and completes the request with no priority boost. Returns Status;
// the request must not be touched afterwards. Any IRQL <= DISPATCH_LEVEL, no spin lock held.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// As CompleteRequest, but leaves IoStatus.Information as the caller set it.
NTSTATUS CompleteRequestStatus(PIRP Irp, NTSTATUS Status);

// Hands the request unchanged to LowerDeviceObject (skipping the current stack location) and
// returns what the lower driver returned. Touches neither the status nor the remove lock.
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the request to LowerDeviceObject and waits until the lower drivers have completed it; the
// request then belongs to the caller again, which must complete it. Returns the final
// IoStatus.Status. PASSIVE_LEVEL only, no lock held (it waits).
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completion routine of ForwardAndWait: signals the event given as context and stops the
// completion with STATUS_MORE_PROCESSING_REQUIRED. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardAndWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

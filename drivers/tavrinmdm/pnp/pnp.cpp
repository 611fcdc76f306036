// Plug and Play: the device's PnP state machine (PnpState, see extension.h for the
// transitions), the start-time contract with the parent bus driver (the three pipe handles), the
// port's names at start, stop and removal, the capability bits, and removal that waits for every
// holder of the remove lock before the device object goes.
//
// PnP requests arrive at PASSIVE_LEVEL, one at a time for a device. They race only with the
// request routines: OpenMutex makes the query-stop and query-remove decisions atomic with respect
// to an open, and StateLock makes every PnpState change atomic with respect to the
// device-unavailable test (which reads PnpState under it from any thread).
//
// Remove lock: DispatchPnp holds it (tag: the request) from the start until the handler has
// completed the request or passed it down, and releases it on every path; HandleRemoveDevice
// alone releases it itself, with release-and-wait, after passing the removal down.

#include "tavrinmdm/pnp/pnp.h"
#include "tavrinmdm/add_device.h"
#include "tavrinmdm/request.h"
#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/usb/usb.h"

// The byte offsets of the pipe handle words in the parent's PDO extension, and its enumerator.
#include "common/parent_pdo.h"

const PNP_MINOR_HANDLER PnpMinorTable[PNP_MINOR_TABLE_SIZE] = {
    HandleStartDevice,          // 0x00 IRP_MN_START_DEVICE
    HandleQueryRemoveDevice,    // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemoveDevice,         // 0x02 IRP_MN_REMOVE_DEVICE
    HandleCancelRemoveDevice,   // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStopDevice,           // 0x04 IRP_MN_STOP_DEVICE
    HandleQueryStopDevice,      // 0x05 IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStopDevice,     // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    PassDown,                   // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown,                   // 0x08 IRP_MN_QUERY_INTERFACE
    HandleQueryCapabilities,    // 0x09 IRP_MN_QUERY_CAPABILITIES
    PassDown,                   // 0x0A IRP_MN_QUERY_RESOURCES
    PassDown,                   // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown,                   // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    PassDown,                   // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown,                   // 0x0E (no code)
    PassDown,                   // 0x0F IRP_MN_READ_CONFIG
    PassDown,                   // 0x10 IRP_MN_WRITE_CONFIG
    PassDown,                   // 0x11 IRP_MN_EJECT
    PassDown,                   // 0x12 IRP_MN_SET_LOCK
    PassDown,                   // 0x13 IRP_MN_QUERY_ID
    PassDown,                   // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown,                   // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    PassDown,                   // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    HandleSurpriseRemoval,      // 0x17 IRP_MN_SURPRISE_REMOVAL
};

// Every PnpState change goes through StateLock, so that the unavailable test, which runs on any
// thread, never sees a half-made change. StateLock is taken alone; OpenMutex may be held.
static VOID PnpSetState(PDEVICE_EXTENSION DeviceExtension, DEVICE_PNP_STATE State)
{
    KIRQL OldIrql;

    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    DeviceExtension->PnpState = State;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);
}

// Sets the state, returning the one it replaces, in one step under StateLock.
static DEVICE_PNP_STATE PnpExchangeState(PDEVICE_EXTENSION DeviceExtension,
                                         DEVICE_PNP_STATE State)
{
    KIRQL OldIrql;
    DEVICE_PNP_STATE Previous;

    KeAcquireSpinLock(&DeviceExtension->StateLock, &OldIrql);
    Previous = DeviceExtension->PnpState;
    DeviceExtension->PnpState = State;
    KeReleaseSpinLock(&DeviceExtension->StateLock, OldIrql);
    return Previous;
}

static ULONG PnpParentWord(PDEVICE_OBJECT PhysicalDeviceObject, ULONG Offset)
{
    return *(ULONG*)((PUCHAR)PhysicalDeviceObject->DeviceExtension + Offset);
}

// IRP_MJ_PNP. PASSIVE_LEVEL. Completes the request or passes it down through its handler.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status;

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    if (MinorFunction < PNP_MINOR_TABLE_SIZE) {
        Status = PnpMinorTable[MinorFunction](DeviceObject, Irp);
        // After a removal the device object and its extension are gone: its handler has released
        // the lock itself.
        if (MinorFunction != IRP_MN_REMOVE_DEVICE) {
            IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        }
    } else {
        Status = PassDown(DeviceObject, Irp);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
    return Status;
}

// The lower drivers start the device first; then the pipe handles are taken from the parent bus
// driver and the port is named. A naming failure is undone and fails the start. The current
// state is not examined: a start after a stop takes the same steps.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(Status)) {
        Status = CopyPipeHandles(DeviceObject);
    }
    if (NT_SUCCESS(Status)) {
        Status = CreatePortNames(DeviceExtension);
        if (NT_SUCCESS(Status)) {
            PnpSetState(DeviceExtension, Started);
        } else {
            RemovePortNames(DeviceExtension);
        }
    }
    return CompleteRequestStatus(Irp, Status);
}

// The three words are the parent's only on a PDO the parent enumerated: any other bus driver's
// extension holds something else there. So the PDO's enumerator name (IoGetDeviceProperty,
// DevicePropertyEnumeratorName, which the PnP manager answers from the device's instance path)
// must be the parent's before a word is read.
static NTSTATUS PnpCheckParent(PDEVICE_OBJECT PhysicalDeviceObject)
{
    static const WCHAR Expected[] = TAVRIN_PARENT_ENUMERATOR;
    WCHAR Name[16];
    CHAR Shown[16];
    ULONG Length = 0;
    ULONG Index;
    NTSTATUS Status;

    RtlZeroMemory(Name, sizeof(Name));
    Status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyEnumeratorName,
                                 sizeof(Name) - sizeof(WCHAR), Name, &Length);
    if (NT_SUCCESS(Status) && Length == sizeof(Expected)) {
        for (Index = 0; Index < sizeof(Expected) / sizeof(WCHAR) && Name[Index] == Expected[Index];
             Index++) {
        }
        if (Index == sizeof(Expected) / sizeof(WCHAR)) {
            return STATUS_SUCCESS;
        }
    }
    for (Index = 0; Index + 1 < sizeof(Shown) && Name[Index] != 0; Index++) {
        Shown[Index] = Name[Index] >= 0x20 && Name[Index] < 0x7F ? (CHAR)Name[Index] : '?';
    }
    Shown[Index] = 0;
    DbgPrint("tavrinmdm: start refused: the PDO's enumerator is \"%s\" (status %08lx), not "
             "TAVRIN; the pipe handles are not read from it\n",
             Shown, (ULONG)Status);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS CopyPipeHandles(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT Parent = DeviceExtension->PhysicalDeviceObject;
    NTSTATUS Status;

    Status = PnpCheckParent(Parent);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    // The words are used as they are, zero included: the USB stack below compares handles as
    // the widened words.
    DeviceExtension->BulkInPipe =
        (USBD_PIPE_HANDLE)(ULONG_PTR)PnpParentWord(Parent, TAVRIN_PARENT_BULK_IN_PIPE_OFFSET);
    DeviceExtension->BulkOutPipe =
        (USBD_PIPE_HANDLE)(ULONG_PTR)PnpParentWord(Parent, TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET);
    DeviceExtension->InterruptPipe =
        (USBD_PIPE_HANDLE)(ULONG_PTR)PnpParentWord(Parent, TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET);
    return STATUS_SUCCESS;
}

// Refused while the port is open. Inside OpenMutex an open either sees StopPending or has
// already set DeviceOpen.
NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Busy;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (DeviceExtension->PnpState != Started) {
        return PassDown(DeviceObject, Irp);
    }

    ExAcquireFastMutex(&DeviceExtension->OpenMutex);
    Busy = DeviceExtension->DeviceOpen;
    if (!Busy) {
        PnpSetState(DeviceExtension, StopPending);
    }
    ExReleaseFastMutex(&DeviceExtension->OpenMutex);

    if (Busy) {
        return CompleteRequestStatus(Irp, STATUS_DEVICE_BUSY);
    }
    return PassDown(DeviceObject, Irp);
}

NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (DeviceExtension->PnpState != StopPending) {
        return PassDown(DeviceObject, Irp);
    }
    Status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(Status)) {
        PnpSetState(DeviceExtension, Started);
    }
    return CompleteRequestStatus(Irp, Status);
}

// The pipe handles stay as they are; the next start reads them again.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (DeviceExtension->PnpState == Started || DeviceExtension->PnpState == StopPending) {
        RemovePortNames(DeviceExtension);
    }
    PnpSetState(DeviceExtension, NotStarted);
    return PassDown(DeviceObject, Irp);
}

// Refused while the port is open; otherwise any state is saved for a cancel-remove.
NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN Busy;

    Irp->IoStatus.Status = STATUS_SUCCESS;

    ExAcquireFastMutex(&DeviceExtension->OpenMutex);
    Busy = DeviceExtension->DeviceOpen;
    if (!Busy) {
        DeviceExtension->PreviousPnpState = PnpExchangeState(DeviceExtension, RemovePending);
    }
    ExReleaseFastMutex(&DeviceExtension->OpenMutex);

    if (Busy) {
        return CompleteRequestStatus(Irp, STATUS_DEVICE_BUSY);
    }
    return PassDown(DeviceObject, Irp);
}

NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (DeviceExtension->PnpState != RemovePending) {
        return PassDown(DeviceObject, Irp);
    }
    Status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(Status)) {
        PnpSetState(DeviceExtension, DeviceExtension->PreviousPnpState);
    }
    return CompleteRequestStatus(Irp, Status);
}

// From here on every request that makes the unavailable test fails; what is queued is cancelled
// and the names go, whatever the state: the device name is freed below, so the SERIALCOMM value
// could not be found again at removal, and a query-remove or stop already accepted would
// otherwise leave the link and the interface name behind.
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PnpExchangeState(DeviceExtension, SurpriseRemoved);
    CancelAllQueues(DeviceObject);
    RemovePortNames(DeviceExtension);
    if (DeviceExtension->DeviceName.Buffer != NULL) {
        ExFreePool(DeviceExtension->DeviceName.Buffer);
        DeviceExtension->DeviceName.Buffer = NULL;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

// Entered holding the remove lock for Irp (taken by DispatchPnp) and returns with it released
// and the device object deleted: after passing the removal down it waits until every other
// holder (queued requests being completed, transfers in flight) has let go.
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DEVICE_PNP_STATE Previous;
    NTSTATUS Status;

    Previous = PnpExchangeState(DeviceExtension, Removed);
    CancelAllQueues(DeviceObject);
    // A read timer still set holds the device until it expires; one that has expired holds it
    // until its DPC has run, which the release-and-wait below waits for.
    CancelReadTimers(DeviceExtension);
    CancelReaderRearm(DeviceExtension);
    if (Previous != SurpriseRemoved) {
        RemovePortNames(DeviceExtension);
    }
    if (DeviceExtension->DeviceName.Buffer != NULL) {
        ExFreePool(DeviceExtension->DeviceName.Buffer);
        DeviceExtension->DeviceName.Buffer = NULL;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = PassDown(DeviceObject, Irp);

    // Every other holder has let go when this returns: the queued requests, the transfers in
    // flight and the read timers, whose DPCs give their holds back as their last act.
    IoReleaseRemoveLockAndWait(&DeviceExtension->RemoveLock, Irp);

    DetachAndDeleteDevice(DeviceObject);
    return Status;
}

// Adds Removable, UniqueID and SurpriseRemovalOK to what the lower drivers report and keeps a
// copy for the power state machine. A structure of version 0 (or none) is passed down untouched.
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_CAPABILITIES Capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS Status;

    if (Capabilities == NULL || Capabilities->Version < 1) {
        return PassDown(DeviceObject, Irp);
    }
    Status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(Status)) {
        Capabilities->Removable = 1;
        Capabilities->UniqueID = 1;
        Capabilities->SurpriseRemovalOK = 1;
        RtlCopyMemory(&DeviceExtension->DeviceCapabilities, Capabilities,
                      sizeof(DEVICE_CAPABILITIES));
    }
    return CompleteRequestStatus(Irp, Status);
}

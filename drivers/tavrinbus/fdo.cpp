// The FDO: the function driver of the USB device. It reads the device's descriptors and selects
// its configuration at start, unconfigures it at stop and removal, reports the modem's PDO in its
// bus relations, and owns the USB device's power policy.
//
// PnP requests arrive at PASSIVE_LEVEL, one at a time. The remove lock is held (tag: the request)
// from the dispatch routine until the request is completed or passed down; the removal releases
// it and waits for every other holder before the FDO goes.

#include "tavrinbus/extension.h"

static const DEVICE_POWER_STATE DefaultDeviceState[PowerSystemMaximum] = {
    PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
    PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};

NTSTATUS BusFdoAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT DeviceObject;
    PBUS_FDO_EXTENSION Fdo;
    NTSTATUS Status;
    ULONG Index;

    Status = IoCreateDevice(DriverObject, sizeof(BUS_FDO_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                            0, FALSE, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Fdo = (PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension;
    RtlZeroMemory(Fdo, sizeof(*Fdo));
    Fdo->Signature = BUS_FDO_SIGNATURE;
    Fdo->Self = DeviceObject;
    Fdo->PhysicalDeviceObject = PhysicalDeviceObject;
    IoInitializeRemoveLock(&Fdo->RemoveLock, BUS_POOL_TAG, 0, 0);
    KeInitializeSpinLock(&Fdo->Lock);
    for (Index = 0; Index < PowerSystemMaximum; Index++) {
        Fdo->DeviceState[Index] = DefaultDeviceState[Index];
    }
    Fdo->DevicePower = PowerDeviceD0;
    Fdo->SystemPower = PowerSystemWorking;

    Fdo->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (Fdo->LowerDeviceObject == NULL) {
        IoDeleteDevice(DeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    DeviceObject->Flags |= DO_POWER_PAGABLE;
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// ---- Descriptors and configuration ------------------------------------------------------------

static NTSTATUS GetDescriptor(PBUS_FDO_EXTENSION Fdo, UCHAR Type, PVOID Buffer, ULONG Length,
                              ULONG* Read)
{
    PURB Urb;
    NTSTATUS Status;

    Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                      BUS_POOL_TAG);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.DescriptorType = Type;
    Urb->UrbControlDescriptorRequest.Index = 0;
    Status = BusSubmitUrb(Fdo, Urb);
    *Read = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (*Read > Length) {
        *Read = Length;  // a stack that claims more than the buffer holds is not believed
    }
    ExFreePool(Urb);
    return Status;
}

// Size of a USBD_INTERFACE_INFORMATION with `Pipes` pipes.
static ULONG InterfaceInfoSize(ULONG Pipes)
{
    return sizeof(USBD_INTERFACE_INFORMATION) + (Pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}

static VOID PrepareInterface(PUSBD_INTERFACE_INFORMATION Info, UCHAR Number, ULONG Pipes)
{
    ULONG Index;

    Info->Length = (USHORT)InterfaceInfoSize(Pipes);
    Info->InterfaceNumber = Number;
    Info->AlternateSetting = 0;
    Info->NumberOfPipes = Pipes;
    for (Index = 0; Index < Pipes; Index++) {
        Info->Pipes[Index].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        Info->Pipes[Index].PipeFlags = 0;
    }
}

// The handle of the pipe of endpoint `Address` in the interface's answer (0 if none).
static ULONG PipeWord(PUSBD_INTERFACE_INFORMATION Info, UCHAR Address)
{
    ULONG Index;

    for (Index = 0; Index < Info->NumberOfPipes && Index < 2; Index++) {
        if (Info->Pipes[Index].EndpointAddress == Address) {
            return (ULONG)(ULONG_PTR)Info->Pipes[Index].PipeHandle;
        }
    }
    return 0;
}

static NTSTATUS SelectConfiguration(PBUS_FDO_EXTENSION Fdo, PUCHAR Descriptor)
{
    ULONG Size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                 InterfaceInfoSize(1) + InterfaceInfoSize(2);
    PURB Urb;
    PUSBD_INTERFACE_INFORMATION Comm;
    PUSBD_INTERFACE_INFORMATION Data;
    NTSTATUS Status;
    KIRQL OldIrql;

    Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, Size, BUS_POOL_TAG);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Urb, Size);
    Urb->UrbHeader.Length = (USHORT)Size;
    Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Urb->UrbSelectConfiguration.ConfigurationDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)Descriptor;
    Comm = &Urb->UrbSelectConfiguration.Interface;
    PrepareInterface(Comm, Fdo->Layout.CommInterface, 1);
    Data = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Comm + Comm->Length);
    PrepareInterface(Data, Fdo->Layout.DataInterface, 2);

    Status = BusSubmitUrb(Fdo, Urb);
    if (NT_SUCCESS(Status)) {
        ULONG BulkIn = PipeWord(Data, Fdo->Layout.BulkIn.Address);
        ULONG BulkOut = PipeWord(Data, Fdo->Layout.BulkOut.Address);
        ULONG Interrupt = Comm->NumberOfPipes == 1 &&
                                  Comm->Pipes[0].EndpointAddress == Fdo->Layout.InterruptIn.Address
                              ? (ULONG)(ULONG_PTR)Comm->Pipes[0].PipeHandle
                              : 0;
        if (BulkIn == 0 || BulkOut == 0 || Interrupt == 0) {
            DbgPrint("tavrinbus: the USB stack returned no handle for a pipe of the modem\n");
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else {
            KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
            Fdo->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
            Fdo->BulkInPipe = BulkIn;
            Fdo->BulkOutPipe = BulkOut;
            Fdo->InterruptPipe = Interrupt;
            KeReleaseSpinLock(&Fdo->Lock, OldIrql);
        }
    } else {
        DbgPrint("tavrinbus: SELECT_CONFIGURATION failed: status %08lx, USBD status %08lx\n",
                 (ULONG)Status, (ULONG)Urb->UrbHeader.Status);
    }
    ExFreePool(Urb);
    return Status;
}

// The device goes back to the unconfigured state (a null configuration descriptor). Not sent to
// a device that left the bus.
static VOID Unconfigure(PBUS_FDO_EXTENSION Fdo)
{
    struct _URB_SELECT_CONFIGURATION* Urb;
    ULONG Size = sizeof(struct _URB_SELECT_CONFIGURATION);
    KIRQL OldIrql;
    BOOLEAN Send;

    KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
    Send = Fdo->ConfigurationHandle != NULL && !Fdo->Gone;
    Fdo->ConfigurationHandle = NULL;
    Fdo->BulkInPipe = 0;
    Fdo->BulkOutPipe = 0;
    Fdo->InterruptPipe = 0;
    KeReleaseSpinLock(&Fdo->Lock, OldIrql);
    if (!Send) {
        return;
    }
    Urb = (struct _URB_SELECT_CONFIGURATION*)ExAllocatePoolWithTag(NonPagedPool, Size,
                                                                    BUS_POOL_TAG);
    if (Urb == NULL) {
        return;  // the device stays configured; the hub deconfigures it at its own removal
    }
    RtlZeroMemory(Urb, Size);
    // Only the header and the null descriptor: no interface follows.
    Urb->Hdr.Length = (USHORT)(sizeof(struct _URB_SELECT_CONFIGURATION) -
                               sizeof(USBD_INTERFACE_INFORMATION));
    Urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Urb->ConfigurationDescriptor = NULL;
    BusSubmitUrb(Fdo, (PURB)Urb);
    ExFreePool(Urb);
}

// Reads and checks the descriptors, then selects the configuration with both interfaces.
static NTSTATUS Configure(PBUS_FDO_EXTENSION Fdo)
{
    UCHAR Head[BUS_DEVICE_DESCRIPTOR_LENGTH];
    const char* Why = "";
    ULONG Read = 0;
    ULONG Total;
    PUCHAR Configuration;
    NTSTATUS Status;

    Status = GetDescriptor(Fdo, USB_DEVICE_DESCRIPTOR_TYPE, Head, sizeof(Head), &Read);
    if (NT_SUCCESS(Status)) {
        Status = BusParseDeviceDescriptor(Head, Read, &Fdo->Ids, &Why);
    }
    if (NT_SUCCESS(Status)) {
        Status = GetDescriptor(Fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, Head,
                               BUS_CONFIGURATION_HEADER_LENGTH, &Read);
        if (NT_SUCCESS(Status)) {
            Total = BusConfigurationTotalLength(Head, Read);
            if (Total < BUS_CONFIGURATION_HEADER_LENGTH) {
                Why = "configuration descriptor head (bLength, type or wTotalLength)";
                Status = STATUS_DEVICE_CONFIGURATION_ERROR;
            }
        }
    }
    if (!NT_SUCCESS(Status)) {
        DbgPrint("tavrinbus: device refused: %s (status %08lx)\n", Why, (ULONG)Status);
        return Status;
    }

    Configuration = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Total, BUS_POOL_TAG);
    if (Configuration == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = GetDescriptor(Fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, Configuration, Total, &Read);
    if (NT_SUCCESS(Status)) {
        Status = BusParseConfiguration(Configuration, Read, &Fdo->Layout, &Why);
        if (!NT_SUCCESS(Status)) {
            DbgPrint("tavrinbus: device refused, not a CDC ACM modem: %s\n", Why);
        }
    }
    if (NT_SUCCESS(Status)) {
        Status = SelectConfiguration(Fdo, Configuration);
    }
    ExFreePool(Configuration);
    return Status;
}

// ---- PnP ----------------------------------------------------------------------------------

static NTSTATUS StartDevice(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    NTSTATUS Status;
    KIRQL OldIrql;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = BusForwardAndWait(Fdo, Irp);
    if (NT_SUCCESS(Status)) {
        Status = Configure(Fdo);
    }
    if (NT_SUCCESS(Status)) {
        KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
        Fdo->Started = TRUE;
        Fdo->Gone = FALSE;
        KeReleaseSpinLock(&Fdo->Lock, OldIrql);
        Fdo->DevicePower = PowerDeviceD0;
        BusPublishHandles(Fdo, TRUE);  // a child stopped with its parent starts again as it was
        IoInvalidateDeviceRelations(Fdo->PhysicalDeviceObject, BusRelations);
    }
    return BusComplete(Irp, Status);
}

// Bus relations: the child while the device is started and on the bus, nothing otherwise. What
// drivers above put in the list is kept.
static NTSTATUS QueryBusRelations(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    PDEVICE_RELATIONS Previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG Count = Previous != NULL ? Previous->Count : 0;
    PDEVICE_RELATIONS Relations;
    BOOLEAN Report;
    KIRQL OldIrql;

    // A child removed after it was reported missing is never reported again: a new one is made.
    BusDeleteRemovedChild(Fdo);
    KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
    Report = Fdo->Started && !Fdo->Gone;
    KeReleaseSpinLock(&Fdo->Lock, OldIrql);
    if (Report && Fdo->Child == NULL) {
        if (!NT_SUCCESS(BusCreateChild(Fdo))) {
            Report = FALSE;
        }
    }
    if (Fdo->Child != NULL) {
        PBUS_PDO_EXTENSION Child = (PBUS_PDO_EXTENSION)Fdo->Child->DeviceExtension;
        KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
        Child->Present = Report;
        KeReleaseSpinLock(&Fdo->Lock, OldIrql);
    }

    Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + Count * sizeof(PDEVICE_OBJECT), BUS_POOL_TAG);
    if (Relations == NULL) {
        return BusComplete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    Relations->Count = 0;
    if (Previous != NULL) {
        RtlCopyMemory(Relations->Objects, Previous->Objects, Count * sizeof(PDEVICE_OBJECT));
        Relations->Count = Count;
        ExFreePool(Previous);
    }
    if (Report) {
        ObReferenceObject(Fdo->Child);
        Relations->Objects[Relations->Count++] = Fdo->Child;
    }
    Irp->IoStatus.Information = (ULONG_PTR)Relations;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return BusPassDown(Fdo, Irp);
}

// The hub's answer, on its way up, tells the D-state of the device in each S-state: the child's
// capabilities are derived from it.
static NTSTATUS QueryCapabilities(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    PDEVICE_CAPABILITIES Caps =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS Status;
    ULONG Index;

    Status = BusForwardAndWait(Fdo, Irp);
    if (NT_SUCCESS(Status) && Caps->Version >= 1) {
        for (Index = 0; Index < PowerSystemMaximum; Index++) {
            Fdo->DeviceState[Index] = Caps->DeviceState[Index];
        }
        Fdo->UINumber = Caps->UINumber;
    }
    return BusComplete(Irp, Status);
}

static NTSTATUS RemoveDevice(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    PDEVICE_OBJECT Self = Fdo->Self;
    PDEVICE_OBJECT Lower = Fdo->LowerDeviceObject;
    NTSTATUS Status;
    KIRQL OldIrql;

    KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
    Fdo->Started = FALSE;
    KeReleaseSpinLock(&Fdo->Lock, OldIrql);
    BusPublishHandles(Fdo, FALSE);
    Unconfigure(Fdo);
    // A child still here (removed but present, or never removed) goes with its parent, first.
    BusDeleteChild(Fdo);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    Status = IoCallDriver(Lower, Irp);
    IoReleaseRemoveLockAndWait(&Fdo->RemoveLock, Irp);
    IoDetachDevice(Lower);
    IoDeleteDevice(Self);
    return Status;
}

NTSTATUS BusFdoPnp(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    KIRQL OldIrql;

    Status = IoAcquireRemoveLock(&Fdo->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return BusComplete(Irp, Status);
    }
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = StartDevice(Fdo, Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            Status = QueryBusRelations(Fdo, Irp);
        } else {
            Status = BusPassDown(Fdo, Irp);
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        Status = QueryCapabilities(Fdo, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = BusPassDown(Fdo, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
        Fdo->Started = FALSE;
        KeReleaseSpinLock(&Fdo->Lock, OldIrql);
        BusPublishHandles(Fdo, FALSE);
        Unconfigure(Fdo);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = BusPassDown(Fdo, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        // The device left the bus: the child is reported missing from now on, and its requests
        // fail with the device-gone statuses.
        KeAcquireSpinLock(&Fdo->Lock, &OldIrql);
        Fdo->Gone = TRUE;
        Fdo->Started = FALSE;
        if (Fdo->Child != NULL) {
            ((PBUS_PDO_EXTENSION)Fdo->Child->DeviceExtension)->Present = FALSE;
        }
        KeReleaseSpinLock(&Fdo->Lock, OldIrql);
        BusPublishHandles(Fdo, FALSE);
        Unconfigure(Fdo);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = BusPassDown(Fdo, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(Fdo, Irp);  // releases the remove lock itself
    default:
        Status = BusPassDown(Fdo, Irp);
        break;
    }
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    return Status;
}

// ---- Power --------------------------------------------------------------------------------

typedef struct _POWER_REQUEST_CONTEXT {
    PBUS_FDO_EXTENSION Fdo;
    BUS_POWER_DONE* Done;
    PVOID Context;
} POWER_REQUEST_CONTEXT;

static VOID NTAPI DevicePowerRequested(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState, PVOID Context,
                                       PIO_STATUS_BLOCK IoStatus)
{
    POWER_REQUEST_CONTEXT* Request = (POWER_REQUEST_CONTEXT*)Context;

    if (Request->Done != NULL) {
        Request->Done(Request->Context, IoStatus->Status);
    }
    ExFreePool(Request);
}

NTSTATUS BusFdoRequestDevicePower(PBUS_FDO_EXTENSION Fdo, DEVICE_POWER_STATE State,
                                  BUS_POWER_DONE* Done, PVOID Context)
{
    POWER_REQUEST_CONTEXT* Request;
    POWER_STATE PowerState;
    NTSTATUS Status;

    if (Fdo->DevicePower == State) {
        if (Done != NULL) {
            Done(Context, STATUS_SUCCESS);
        }
        return STATUS_SUCCESS;
    }
    Request = (POWER_REQUEST_CONTEXT*)ExAllocatePoolWithTag(NonPagedPool, sizeof(*Request),
                                                            BUS_POOL_TAG);
    if (Request == NULL) {
        if (Done != NULL) {
            Done(Context, STATUS_INSUFFICIENT_RESOURCES);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Request->Fdo = Fdo;
    Request->Done = Done;
    Request->Context = Context;
    PowerState.DeviceState = State;
    Status = PoRequestPowerIrp(Fdo->PhysicalDeviceObject, IRP_MN_SET_POWER, PowerState,
                               DevicePowerRequested, Request, NULL);
    if (Status != STATUS_PENDING) {
        ExFreePool(Request);
        if (Done != NULL) {
            Done(Context, Status);
        }
    }
    return Status;
}

// A device power-up is recorded once the hub has powered the device.
static NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                              PVOID Context)
{
    PBUS_FDO_EXTENSION Fdo = (PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        Fdo->DevicePower = Stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, Stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

// A system set-power request at the FDO, the device's power policy owner ("Managing Device
// Power Policy", "Handling IRP_MN_SET_POWER for System Power States"): the policy owner requests
// the device power request the S-state maps to with PoRequestPowerIrp -- for a power-up from the
// S-IRP's completion routine once the hub has passed it, for a power-down before passing it down
// -- and completes or passes on the S-IRP only when that request's completion function runs,
// calling PoStartNextPowerIrp first. Nothing here waits: the S-IRP is held in Fdo->SystemIrp.

static DEVICE_POWER_STATE DeviceStateFor(PBUS_FDO_EXTENSION Fdo, SYSTEM_POWER_STATE System)
{
    DEVICE_POWER_STATE Device =
        System == PowerSystemWorking ? PowerDeviceD0 : Fdo->DeviceState[System];
    return Device == PowerDeviceUnspecified ? PowerDeviceD3 : Device;
}

// Ends the held S-IRP with the device request's status `DeviceStatus`, as the port driver does
// with its own: a power-up completes it (it has come back from the hub), with that status if the
// device request failed; a power-down passes it on down, or completes it with that status
// without sending it down if the device request failed.
static VOID ReleaseSystemIrp(PBUS_FDO_EXTENSION Fdo, PIRP Irp, BOOLEAN PowerUp,
                             NTSTATUS DeviceStatus)
{
    PoStartNextPowerIrp(Irp);
    if (!NT_SUCCESS(DeviceStatus)) {
        Irp->IoStatus.Status = DeviceStatus;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else if (PowerUp) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
        PoCallDriver(Fdo->LowerDeviceObject, Irp);
    }
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
}

static VOID NTAPI SystemDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus)
{
    PBUS_FDO_EXTENSION Fdo = (PBUS_FDO_EXTENSION)Context;
    PIRP Irp = Fdo->SystemIrp;

    // Not from the D-state asked for: a sleep state may map to D0 too.
    Fdo->SystemIrp = NULL;
    ReleaseSystemIrp(Fdo, Irp, Fdo->SystemIrpUp, IoStatus->Status);
}

// Requests device state `Device` for the S-IRP `Irp`; TRUE if the request is in flight (the S-IRP
// is then held until SystemDevicePowerDone), FALSE if none was needed or it could not be sent.
static BOOLEAN HoldSystemIrp(PBUS_FDO_EXTENSION Fdo, PIRP Irp, DEVICE_POWER_STATE Device,
                             BOOLEAN PowerUp)
{
    POWER_STATE PowerState;
    NTSTATUS Status;

    if (Fdo->DevicePower == Device) {
        return FALSE;
    }
    Fdo->SystemIrp = Irp;
    Fdo->SystemIrpUp = PowerUp;
    PowerState.DeviceState = Device;
    Status = PoRequestPowerIrp(Fdo->PhysicalDeviceObject, IRP_MN_SET_POWER, PowerState,
                               SystemDevicePowerDone, Fdo, NULL);
    if (Status != STATUS_PENDING) {
        Fdo->SystemIrp = NULL;
        return FALSE;
    }
    return TRUE;
}

// A power-up S-IRP back from the hub: D0 is requested now, and the S-IRP completed when it is done.
static NTSTATUS NTAPI SystemPowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PBUS_FDO_EXTENSION Fdo = (PBUS_FDO_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        Fdo->SystemPower = Stack->Parameters.Power.State.SystemState;
        if (HoldSystemIrp(Fdo, Irp, PowerDeviceD0, TRUE)) {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

static NTSTATUS SystemSetPower(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    SYSTEM_POWER_STATE System = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;

    // Pending either way: the S-IRP may be completed or passed on from a completion function.
    IoMarkIrpPending(Irp);
    if (System == PowerSystemWorking) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SystemPowerUpCompletion, NULL, TRUE, TRUE, TRUE);
        PoCallDriver(Fdo->LowerDeviceObject, Irp);
        return STATUS_PENDING;
    }
    Fdo->SystemPower = System;
    if (!HoldSystemIrp(Fdo, Irp, DeviceStateFor(Fdo, System), FALSE)) {
        ReleaseSystemIrp(Fdo, Irp, FALSE, STATUS_SUCCESS);
    }
    return STATUS_PENDING;
}

NTSTATUS BusFdoPower(PBUS_FDO_EXTENSION Fdo, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    Status = IoAcquireRemoveLock(&Fdo->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        return BusComplete(Irp, Status);
    }
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState &&
        Stack->Parameters.Power.State.DeviceState < Fdo->DevicePower) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, DevicePowerUpCompletion, NULL, TRUE, TRUE, TRUE);
        return PoCallDriver(Fdo->LowerDeviceObject, Irp);
    }
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState) {
        // Down (or the same state): told before the hub powers the device down.
        Fdo->DevicePower = Stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(Fdo->Self, DevicePowerState, Stack->Parameters.Power.State);
    }
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == SystemPowerState) {
        return SystemSetPower(Fdo, Irp);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    Status = PoCallDriver(Fdo->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    return Status;
}

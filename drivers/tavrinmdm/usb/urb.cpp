// URB submission: the synchronous and asynchronous primitives, the two communications-class
// requests, pipe resets and aborts. Every URB goes to LowerDeviceObject in an
// IRP_MJ_INTERNAL_DEVICE_CONTROL request with IOCTL_INTERNAL_USB_SUBMIT_URB. Only the request's
// NTSTATUS counts: the URB's own UrbHeader.Status is never looked at.

#include "tavrinmdm/usb/usb.h"

#define CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT 0x21
#define CDC_SET_LINE_CODING 0x20
#define CDC_SET_CONTROL_LINE_STATE 0x22
#define LINE_CODING_LENGTH 7

// PASSIVE_LEVEL, no lock held: waits without a time-out for a request the USB stack left pending.
// The request belongs to the I/O manager, which frees it when it completes.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    PIRP Irp;
    PIO_STACK_LOCATION NextStack;
    NTSTATUS Status;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;

    Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                        DeviceExtension->LowerDeviceObject, NULL, 0, NULL, 0,
                                        TRUE, &Event, &IoStatus);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NextStack = IoGetNextIrpStackLocation(Irp);
    NextStack->Parameters.Others.Argument1 = Urb;

    Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    return Status;
}

NTSTATUS SubmitUrbAsyncEx(PDEVICE_OBJECT TargetDevice, PURB Urb,
                          PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                          PBOOLEAN Sent)
{
    PIRP Irp;
    PIO_STACK_LOCATION NextStack;

    *Sent = FALSE;

    // No location is reserved for this driver: the completion routine's device object argument
    // therefore carries nothing, and the routine works from its context.
    Irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NextStack = IoGetNextIrpStackLocation(Irp);
    NextStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    NextStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    NextStack->Parameters.Others.Argument1 = Urb;

    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);

    // From here on the completion routine owns the request; it may already have run and freed it
    // when IoCallDriver returns.
    *Sent = TRUE;
    return IoCallDriver(TargetDevice, Irp);
}

NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                        PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context)
{
    BOOLEAN Sent;

    return SubmitUrbAsyncEx(TargetDevice, Urb, CompletionRoutine, Context, &Sent);
}

static VOID UrbpBuildClassRequest(PURB Urb, UCHAR Request, USHORT Value, PVOID Buffer,
                                  ULONG BufferLength)
{
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* Class = &Urb->UrbControlVendorClassRequest;

    RtlZeroMemory(Urb, sizeof(URB));
    Class->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    Class->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    Class->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    Class->TransferBufferLength = BufferLength;
    Class->TransferBuffer = Buffer;
    Class->TransferBufferMDL = NULL;
    Class->UrbLink = NULL;
    Class->RequestTypeReservedBits = CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT;
    Class->Request = Request;
    Class->Value = Value;
    Class->Index = 0;
}

NTSTATUS SendSetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState)
{
    URB Urb;

    UrbpBuildClassRequest(&Urb, CDC_SET_CONTROL_LINE_STATE, LineState, NULL, 0);
    return SubmitUrbSync(DeviceObject, &Urb);
}

NTSTATUS SendSetLineCoding(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR LineCoding[8];
    ULONG BaudRate;
    KIRQL OldIrql;
    URB Urb;

    RtlZeroMemory(LineCoding, sizeof(LineCoding));

    // One snapshot, so that a concurrent change never sends a rate with another request's format.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    BaudRate = DeviceExtension->BaudRate;
    LineCoding[4] = DeviceExtension->LineControl.StopBits;
    LineCoding[5] = DeviceExtension->LineControl.Parity;
    LineCoding[6] = DeviceExtension->LineControl.WordLength;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    // dwDTERate, little-endian whatever the build's byte order.
    LineCoding[0] = (UCHAR)(BaudRate & 0xFF);
    LineCoding[1] = (UCHAR)((BaudRate >> 8) & 0xFF);
    LineCoding[2] = (UCHAR)((BaudRate >> 16) & 0xFF);
    LineCoding[3] = (UCHAR)((BaudRate >> 24) & 0xFF);

    UrbpBuildClassRequest(&Urb, CDC_SET_LINE_CODING, 0, LineCoding, LINE_CODING_LENGTH);
    return SubmitUrbSync(DeviceObject, &Urb);
}

static NTSTATUS UrbpPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle,
                                USHORT Function)
{
    URB Urb;

    RtlZeroMemory(&Urb, sizeof(Urb));
    Urb.UrbPipeRequest.Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    Urb.UrbPipeRequest.Hdr.Function = Function;
    Urb.UrbPipeRequest.PipeHandle = PipeHandle;
    return SubmitUrbSync(DeviceObject, &Urb);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    return UrbpPipeRequest(DeviceObject, PipeHandle, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    return UrbpPipeRequest(DeviceObject, PipeHandle, URB_FUNCTION_ABORT_PIPE);
}

VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // Each abort is tried whatever the one before it returned.
    AbortPipe(DeviceObject, DeviceExtension->InterruptPipe);
    AbortPipe(DeviceObject, DeviceExtension->BulkInPipe);
    AbortPipe(DeviceObject, DeviceExtension->BulkOutPipe);
}

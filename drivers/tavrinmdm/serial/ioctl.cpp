// Serial control requests: the IRP_MJ_DEVICE_CONTROL routine, the hand-off of requests that
// arrive above PASSIVE_LEVEL to a system worker thread, and the serial control codes.
//
// Every code is METHOD_BUFFERED: the system buffer carries the input and receives the output.
// The length a code needs is checked before its buffer is read or any state is changed, so a
// request refused for its length (STATUS_BUFFER_TOO_SMALL, Information 0) changes nothing.

#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/request.h"
#include "tavrinmdm/usb/usb.h"

// Functions 33 and 34 of the serial interface; not every edition of the published headers names
// them.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// DeviceOpen as seen under SpinLock (the close clears it under SpinLock).
static BOOLEAN IsPortOpen(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    BOOLEAN Open;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    Open = DeviceExtension->DeviceOpen;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
    return Open;
}

// Sets or clears DTR or RTS in ControlLineState and sends the whole value. PASSIVE_LEVEL, no lock
// held. Control requests are not serialised against each other (nor against the close, which
// sends 0), so two of these may reach the modem in the other order than they changed the record;
// whoever finds, after its class request, that the record has moved on sends the record again,
// so the modem always ends with the levels last asked for. The result of the class request is
// not reported.
static VOID SetControlLines(PDEVICE_OBJECT DeviceObject, USHORT Set, USHORT Clear)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    USHORT Value;
    USHORT Current;
    KIRQL OldIrql;

    // A request that passed the open test before a close cleared DeviceOpen must not raise a
    // line again after the close has dropped both: once the port is closed the record stays 0.
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (!DeviceExtension->DeviceOpen) {
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        return;
    }
    Value = (USHORT)((DeviceExtension->ControlLineState | Set) & ~Clear);
    DeviceExtension->ControlLineState = Value;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    for (;;) {
        SendSetControlLineState(DeviceObject, Value);

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        Current = DeviceExtension->ControlLineState;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        if (Current == Value) {
            break;
        }
        Value = Current;
    }
}

// IRP_MJ_DEVICE_CONTROL. Any IRQL up to DISPATCH_LEVEL. At PASSIVE_LEVEL the request is processed
// in the caller's thread; above it, in a system worker thread (the class requests wait for the
// modem), and STATUS_PENDING is returned.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DeviceControlContext* Context;
    NTSTATUS Status;

    if (!IsPortOpen(DeviceExtension)) {
        // Information stays as it arrived.
        return CompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    if (IsDeviceUnavailable(DeviceExtension)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        // Only a probe: ProcessDeviceControl takes its own hold.
        Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
        if (!NT_SUCCESS(Status)) {
            return CompleteRequest(Irp, Status, 0);
        }
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return ProcessDeviceControl(DeviceObject, Irp);
    }

    Context = (DeviceControlContext*)ExAllocatePool(NonPagedPool, sizeof(DeviceControlContext));
    if (Context == NULL) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    // The I/O manager's work item, not ExQueueWorkItem: it keeps the device object referenced
    // until DeviceControlWorker has returned into the I/O manager, so this driver cannot be
    // unloaded while the worker still runs its own code after giving back its hold.
    Context->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (Context->WorkItem == NULL) {
        ExFreePool(Context);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }

    // The hand-off keeps the device in place until the worker has run: a hold tagged with the
    // context, released by DeviceControlWorker as its last act.
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Context);
    if (!NT_SUCCESS(Status)) {
        IoFreeWorkItem(Context->WorkItem);
        ExFreePool(Context);
        return CompleteRequest(Irp, Status, 0);
    }

    Context->DeviceExtension = DeviceExtension;
    Context->Irp = Irp;
    Context->DeviceObject = DeviceObject;

    IoMarkIrpPending(Irp);
    IoQueueWorkItem(Context->WorkItem, DeviceControlWorker, DelayedWorkQueue, Context);
    return STATUS_PENDING;
}

// Work item routine of a control request handed over by DispatchDeviceControl. PASSIVE_LEVEL.
// The request is judged as if it arrived now: the port may have been closed, or the device lost,
// while it waited for the worker, and a closed port must not get a wait or an immediate character
// queued that nothing would ever complete.
VOID NTAPI DeviceControlWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DeviceControlContext* Control = (DeviceControlContext*)Context;
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (Control == NULL) {
        return;
    }

    DeviceExtension = Control->DeviceExtension;
    Irp = Control->Irp;

    if (!IsPortOpen(DeviceExtension)) {
        CompleteRequestStatus(Irp, STATUS_INVALID_DEVICE_REQUEST);
    } else if (IsDeviceUnavailable(DeviceExtension)) {
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    } else {
        ProcessDeviceControl(Control->DeviceObject, Irp);
    }

    // The hold goes last: once it is given back, a removal may delete the device. Its tag is
    // only a value, so the context can be freed first; the work item may be freed inside its own
    // routine. What runs after the release is this routine's return into the I/O manager, whose
    // reference on the device object keeps the driver loaded until then.
    IoFreeWorkItem(Control->WorkItem);
    ExFreePool(Control);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Control);
}

// Serves one control code. PASSIVE_LEVEL, no lock held on entry or exit; it may block while a
// class request is on its way to the modem. Completes the request, except when a wait or an
// immediate character was queued (STATUS_PENDING): that request keeps its RemoveLock hold, and
// the routine that completes it releases the hold.
NTSTATUS ProcessDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN QueuedAndCancelled = FALSE;
    KIRQL OldIrql;
    NTSTATUS Status;

    Irp->IoStatus.Information = 0;

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        ULONG BaudRate;

        if (InputLength < sizeof(SERIAL_BAUD_RATE)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        BaudRate = ((PSERIAL_BAUD_RATE)Buffer)->BaudRate;
        if (!IsValidBaudRate(BaudRate)) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->BaudRate = BaudRate;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        // The new rate stays stored even if the modem does not take it.
        Status = SendSetLineCoding(DeviceObject);
        if (NT_SUCCESS(Status)) {
            Status = STATUS_SUCCESS;
        }
        break;
    }

    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_BREAK_ON:   // no break is sent
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:     // nothing is written
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:    // nothing is written
    case IOCTL_SERIAL_GET_MODEM_CONTROL:  // nothing is written
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL LineControl;

        if (InputLength < sizeof(SERIAL_LINE_CONTROL)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlCopyMemory(&LineControl, Buffer, sizeof(SERIAL_LINE_CONTROL));
        if (!IsValidWordLength(LineControl.WordLength) || LineControl.StopBits > STOP_BITS_2 ||
            LineControl.Parity > SPACE_PARITY) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->LineControl = LineControl;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = SendSetLineCoding(DeviceObject);
        break;
    }

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (InputLength < sizeof(UCHAR)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = QueueImmediateChar(DeviceObject, Irp);
        QueuedAndCancelled = Status == STATUS_CANCELLED;
        break;

    case IOCTL_SERIAL_SET_DTR:
        SetControlLines(DeviceObject, LINE_STATE_DTR, 0);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_CLR_DTR:
        SetControlLines(DeviceObject, 0, LINE_STATE_DTR);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_SET_RTS:
        SetControlLines(DeviceObject, LINE_STATE_RTS, 0);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_CLR_RTS:
        SetControlLines(DeviceObject, 0, LINE_STATE_RTS);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
        Status = STATUS_INVALID_PARAMETER;
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        if (OutputLength < sizeof(SERIAL_BAUD_RATE)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        ((PSERIAL_BAUD_RATE)Buffer)->BaudRate = DeviceExtension->BaudRate;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        if (OutputLength < sizeof(SERIAL_LINE_CONTROL)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->LineControl, sizeof(SERIAL_LINE_CONTROL));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_CHARS:
        if (OutputLength < sizeof(SERIAL_CHARS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->SpecialChars, sizeof(SERIAL_CHARS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_SET_CHARS:
        if (InputLength < sizeof(SERIAL_CHARS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(&DeviceExtension->SpecialChars, Buffer, sizeof(SERIAL_CHARS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_HANDFLOW:
        if (OutputLength < sizeof(SERIAL_HANDFLOW)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->HandFlow, sizeof(SERIAL_HANDFLOW));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW HandFlow;

        if (InputLength < sizeof(SERIAL_HANDFLOW)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlCopyMemory(&HandFlow, Buffer, sizeof(SERIAL_HANDFLOW));
        // Stored and reported only; the limits are not taken.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->HandFlow.ControlHandShake = HandFlow.ControlHandShake;
        DeviceExtension->HandFlow.FlowReplace = HandFlow.FlowReplace;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = STATUS_SUCCESS;
        break;
    }

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        *(PULONG)Buffer = DeviceExtension->ModemStatus;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS: {
        PSERIAL_STATUS SerialStatus = (PSERIAL_STATUS)Buffer;

        if (OutputLength < sizeof(SERIAL_STATUS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlZeroMemory(SerialStatus, sizeof(SERIAL_STATUS));
        // RingLock inside SpinLock: the bytes in both directions are one snapshot.
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        SerialStatus->Errors = 0;
        SerialStatus->HoldReasons = DeviceExtension->HoldReasons;
        SerialStatus->AmountInInQueue = (ULONG)RingAvailable(DeviceExtension);
        SerialStatus->AmountInOutQueue = DeviceExtension->AmountInOutQueue;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        Status = STATUS_SUCCESS;
        break;
    }

    case IOCTL_SERIAL_GET_PROPERTIES:
        if (OutputLength < sizeof(SERIAL_COMMPROP)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        FillCommProperties(DeviceExtension, (PSERIAL_COMMPROP)Buffer);
        Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_STATS:
        if (OutputLength < sizeof(SERIALPERF_STATS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->PerfStats, sizeof(SERIALPERF_STATS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_CLEAR_STATS:
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlZeroMemory(&DeviceExtension->PerfStats, sizeof(SERIALPERF_STATS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (InputLength < sizeof(SERIAL_TIMEOUTS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(&DeviceExtension->Timeouts, Buffer, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (OutputLength < sizeof(SERIAL_TIMEOUTS)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        RtlCopyMemory(Buffer, &DeviceExtension->Timeouts, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        Status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessGetWaitMask(DeviceExtension, Irp);
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (InputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessSetWaitMask(DeviceExtension, Irp);
        break;

    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = ProcessWaitOnMask(DeviceExtension, Irp);
        QueuedAndCancelled = Status == STATUS_CANCELLED;
        break;

    case IOCTL_SERIAL_PURGE: {
        ULONG Mask;

        if (InputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Mask = *(PULONG)Buffer;
        // In this order: a receive abort finishes the waiting read with what the ring holds
        // before a receive clear empties the ring.
        if (Mask & SERIAL_PURGE_TXABORT) {
            // Only queued requests: a write already on its way to the modem runs to its end.
            CancelQueue(DeviceObject, &DeviceExtension->WriteQueue);
        }
        if (Mask & SERIAL_PURGE_RXABORT) {
            ServiceReadQueue(DeviceExtension);
        }
        // SERIAL_PURGE_TXCLEAR: the driver holds no transmit buffer.
        if (Mask & SERIAL_PURGE_RXCLEAR) {
            RingReset(DeviceExtension);
        }
        Status = STATUS_SUCCESS;
        break;
    }

    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }

    if (Status == STATUS_PENDING) {
        return STATUS_PENDING;
    }

    if (QueuedAndCancelled) {
        // The queue routine marked the request pending before it found it cancelled.
        CompleteRequestStatus(Irp, STATUS_CANCELLED);
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
        return STATUS_PENDING;
    }

    CompleteRequestStatus(Irp, Status);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return Status;
}

// The sixteen rates the modem is given, and no others (110, 56000 and 921600 are refused).
BOOLEAN IsValidBaudRate(ULONG BaudRate)
{
    switch (BaudRate) {
    case 300:
    case 600:
    case 1200:
    case 1800:
    case 2400:
    case 4800:
    case 7200:
    case 9600:
    case 14400:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
    case 128000:
    case 230400:
    case 460800:
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN IsValidWordLength(UCHAR WordLength)
{
    return WordLength >= 5 && WordLength <= 8;
}

// The port's properties as IOCTL_SERIAL_GET_PROPERTIES reports them; Properties is 64 bytes.
// SettableBaud and the rates IsValidBaudRate accepts are independent lists: the former names
// rates (75 to 150, 56000) that are refused, and covers 230400 and 460800 only through
// SERIAL_BAUD_USER.
VOID FillCommProperties(PDEVICE_EXTENSION DeviceExtension, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));

    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 |
                               SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 |
                               SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 |
                               SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
                               SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 |
                               SERIAL_BAUD_56K | SERIAL_BAUD_128K | SERIAL_BAUD_115200 |
                               SERIAL_BAUD_57600 | SERIAL_BAUD_USER;
    Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 |
                               SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 |
                                     SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    Properties->CurrentRxQueue = RING_BUFFER_SIZE;
}

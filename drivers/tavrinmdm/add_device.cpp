// Device creation: AddDevice builds one functional device object per modem, with its
// DEVICE_EXTENSION, attaches it above the parent bus driver's device and registers the port's
// device interface. DetachAndDeleteDevice is the reverse step, used at removal.

#include "tavrinmdm/add_device.h"
#include "tavrinmdm/extension.h"
#include "tavrinmdm/serial/serial.h"
#include "tavrinmdm/usb/usb.h"

// {D756B7CA-6ED9-4CEF-A6D1-CC4B3FA8F0C3}
const GUID GUID_DEVINTERFACE_TAVRINMDM = {
    0xD756B7CA, 0x6ED9, 0x4CEF, {0xA6, 0xD1, 0xCC, 0x4B, 0x3F, 0xA8, 0xF0, 0xC3}};

ULONG DeviceInstanceCounter = 0;

#define DEVICE_NAME_PREFIX L"\\Device\\TAVRINMDM"
#define DEVICE_NAME_MAXIMUM_LENGTH 256
#define INSTANCE_NUMBER_LENGTH 40

NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT MaximumLength)
{
    SIZE_T Size = (SIZE_T)MaximumLength + sizeof(WCHAR);

    String->Length = 0;
    String->Buffer = (PWSTR)ExAllocatePool(NonPagedPool, Size);
    if (String->Buffer == NULL) {
        String->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The two bytes beyond MaximumLength stay zero, so the contents are always terminated.
    RtlZeroMemory(String->Buffer, Size);
    String->MaximumLength = MaximumLength;
    return STATUS_SUCCESS;
}

// AddDevice: PASSIVE_LEVEL, before the device receives any request. Returns with the device
// NotStarted, attached, its interface registered but disabled, in D0, with no pipe handles and no
// DOS name; or, on failure, with nothing left behind but a used instance number.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING TemporaryName;
    WCHAR NumberBuffer[INSTANCE_NUMBER_LENGTH / sizeof(WCHAR)];
    UNICODE_STRING Number;
    ULONG Instance;
    PDEVICE_OBJECT DeviceObject = NULL;
    PDEVICE_EXTENSION DeviceExtension;
    POWER_STATE PowerState;
    NTSTATUS Status;

    Status = AllocateUnicodeString(&TemporaryName, DEVICE_NAME_MAXIMUM_LENGTH);
    if (!NT_SUCCESS(Status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&TemporaryName, DEVICE_NAME_PREFIX);

    // Numbers are not given back when a later step fails.
    Instance = DeviceInstanceCounter;
    DeviceInstanceCounter++;

    RtlZeroMemory(NumberBuffer, sizeof(NumberBuffer));
    Number.Length = 0;
    Number.MaximumLength = sizeof(NumberBuffer);
    Number.Buffer = NumberBuffer;
    RtlIntegerToUnicodeString(Instance, 10, &Number);
    RtlAppendUnicodeStringToString(&TemporaryName, &Number);

    Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &TemporaryName,
                            FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(TemporaryName.Buffer);
        return Status;
    }

    DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    RtlZeroMemory(DeviceExtension, sizeof(DEVICE_EXTENSION));
    DeviceExtension->Self = DeviceObject;
    DeviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;

    Status = AllocateUnicodeString(&DeviceExtension->DeviceName, TemporaryName.Length);
    if (!NT_SUCCESS(Status)) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Unwind;
    }
    RtlCopyUnicodeString(&DeviceExtension->DeviceName, &TemporaryName);

    DeviceExtension->PnpState = NotStarted;
    DeviceObject->Flags |= DO_BUFFERED_IO;

    DeviceExtension->LowerDeviceObject =
        IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (DeviceExtension->LowerDeviceObject == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Unwind;
    }

    // Power requests then arrive at PASSIVE_LEVEL.
    DeviceObject->Flags |= DO_POWER_PAGABLE;

    Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_TAVRINMDM, NULL,
                                       &DeviceExtension->InterfaceName);
    if (!NT_SUCCESS(Status)) {
        goto Unwind;
    }

    DeviceExtension->DevicePowerState = PowerDeviceD0;
    DeviceExtension->SystemPowerState = PowerSystemWorking;
    PowerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, PowerState);

    // The flag is cleared before the locks below are initialised, in the order the creation
    // steps have always had. Nothing reaches the device in between: opens are refused until the
    // device is started, the PnP and power managers send nothing before AddDevice returns, and
    // the driver registers with no WMI or other client that could send system or internal
    // control requests.
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    IoInitializeRemoveLock(&DeviceExtension->RemoveLock, 0, 0, 0);
    KeInitializeSpinLock(&DeviceExtension->SpinLock);

    InitializeListHead(&DeviceExtension->ReadQueue);
    InitializeListHead(&DeviceExtension->WaitQueue);
    InitializeListHead(&DeviceExtension->WriteQueue);

    DeviceExtension->ShortIntervalAmount.QuadPart = -1;
    DeviceExtension->LongIntervalAmount.QuadPart = -10000000;
    DeviceExtension->CutOverAmount.QuadPart = 200000000;

    KeInitializeTimer(&DeviceExtension->ReadTotalTimer);
    KeInitializeDpc(&DeviceExtension->ReadTotalDpc, ReadTotalTimeoutDpc, DeviceExtension);
    KeInitializeTimer(&DeviceExtension->ReadIntervalTimer);
    KeInitializeDpc(&DeviceExtension->ReadIntervalDpc, ReadIntervalTimeoutDpc, DeviceExtension);
    KeInitializeTimer(&DeviceExtension->RearmTimer);
    KeInitializeDpc(&DeviceExtension->RearmDpc, ReaderRearmDpc, DeviceExtension);

    KeInitializeSpinLock(&DeviceExtension->RingLock);
    KeInitializeSpinLock(&DeviceExtension->StateLock);

    ExInitializeFastMutex(&DeviceExtension->OpenMutex);
    ExInitializeFastMutex(&DeviceExtension->CloseMutex);

    DeviceExtension->DeviceGone = 0;
    DeviceExtension->DeviceOpen = FALSE;
    DeviceExtension->ModemStatus = 0;

    ExFreePool(TemporaryName.Buffer);
    return Status;

Unwind:
    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&DeviceExtension->InterfaceName);
    }
    if (DeviceExtension->DeviceName.Buffer != NULL) {
        ExFreePool(DeviceExtension->DeviceName.Buffer);
        DeviceExtension->DeviceName.Buffer = NULL;
    }
    if (DeviceExtension->LowerDeviceObject != NULL) {
        IoDetachDevice(DeviceExtension->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
    ExFreePool(TemporaryName.Buffer);
    return Status;
}

VOID DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (DeviceExtension->LowerDeviceObject != NULL) {
        IoDetachDevice(DeviceExtension->LowerDeviceObject);
    }
    // The extension goes with the device object: nothing of it may be used after this.
    IoDeleteDevice(DeviceObject);
}

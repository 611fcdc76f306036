// The serial port's names: the COM name stored as "PortName" in the device's hardware key, the
// DOS name "\DosDevices\<port name>" linked to the device object, the device's value under the
// hardware device map's SERIALCOMM key, and the device interface registered at creation.
//
// Everything here runs at PASSIVE_LEVEL from the PnP handlers, one request at a time for a
// device, so no lock is taken.
//
// What the "PortName" value must be before it becomes a DOS device name: a string (REG_SZ, or
// REG_EXPAND_SZ taken literally, without expansion), a whole number of UTF-16 units, not empty,
// not starting with a NUL, and terminated within the 128-byte port name buffer. Anything else
// fails the start and leaves nothing behind. The buffer is never read or written past its end.
//
// A device deletes only a DOS link it created itself: DosName holds a buffer exactly while the
// link named by it is this device's, so a name held by another object when the link was to be
// created is left alone by the undo step.

#include "tavrinmdm/pnp/pnp.h"
#include "tavrinmdm/add_device.h"

#define PORT_NAME_BUFFER_SIZE 128
#define PORT_NAME_CHARACTERS (PORT_NAME_BUFFER_SIZE / sizeof(WCHAR))
#define DOS_NAME_MAXIMUM_LENGTH 256

static const WCHAR PortNameValueName[] = L"PortName";
static const WCHAR SerialCommKey[] = L"SERIALCOMM";
static const WCHAR DosNameFormat[] = L"\\DosDevices\\%ws";

// Characters before the terminating NUL; Name holds one within MaximumCharacters.
static ULONG PnnNameLength(const WCHAR* Name, ULONG MaximumCharacters)
{
    ULONG Length = 0;

    while (Length < MaximumCharacters && Name[Length] != 0) {
        Length++;
    }
    return Length;
}

// Checks a "PortName" value as ZwQueryValueKey returned it (QueryLength bytes of record written)
// before any of its data is copied into a destination of BufferSize bytes.
static NTSTATUS PnnCheckPortNameValue(PKEY_VALUE_FULL_INFORMATION Information, ULONG QueryLength,
                                      ULONG BufferSize)
{
    const WCHAR* Data;
    ULONG Units;

    if (Information->DataLength > BufferSize) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A binary blob or a number must not become a DOS device name.
    if (Information->Type != REG_SZ && Information->Type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (Information->DataLength == 0 || (Information->DataLength % sizeof(WCHAR)) != 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // The configuration manager places the data inside the record; never trust it further.
    if (Information->DataOffset > QueryLength ||
        Information->DataLength > QueryLength - Information->DataOffset ||
        (Information->DataOffset % sizeof(WCHAR)) != 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    Data = (const WCHAR*)((PUCHAR)Information + Information->DataOffset);
    Units = Information->DataLength / sizeof(WCHAR);
    // "\DosDevices\" alone would name the directory itself.
    if (Data[0] == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // Data that fills the whole buffer leaves no room for the terminator unless it carries one:
    // refused like a value that is too long.
    if (Information->DataLength + sizeof(WCHAR) > BufferSize && PnnNameLength(Data, Units) == Units) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Builds "\DosDevices\<PortName>" in a fresh counted string of maximum length 256 bytes. The
// caller frees Name->Buffer.
static NTSTATUS PnnFormatDosName(PUNICODE_STRING Name, const WCHAR* PortName)
{
    NTSTATUS Status;
    int Characters;

    Status = AllocateUnicodeString(Name, DOS_NAME_MAXIMUM_LENGTH);
    if (!NT_SUCCESS(Status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Characters = _snwprintf(Name->Buffer, DOS_NAME_MAXIMUM_LENGTH / sizeof(WCHAR), DosNameFormat,
                            PortName);
    // Cannot happen with a port name of at most 63 characters; kept so a change of the limits
    // can never leave an unterminated name behind.
    if (Characters < 0) {
        ExFreePool(Name->Buffer);
        Name->Buffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Name->Length = (USHORT)(Characters * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

static VOID PnnFreeDosName(PDEVICE_EXTENSION DeviceExtension)
{
    ExFreePool(DeviceExtension->DosName.Buffer);
    DeviceExtension->DosName.Buffer = NULL;
    DeviceExtension->DosName.Length = 0;
    DeviceExtension->DosName.MaximumLength = 0;
}

// Deletes this device's DOS link (by DosName, else by the name rebuilt from "PortName") and frees
// DosName. DosName holds a buffer. Returns the deletion's status.
static NTSTATUS PnnDeleteDosLink(PDEVICE_EXTENSION DeviceExtension)
{
    NTSTATUS Status;

    Status = IoDeleteSymbolicLink(&DeviceExtension->DosName);
    if (!NT_SUCCESS(Status)) {
        Status = DeleteDosLinkByPortName(DeviceExtension);
    }
    PnnFreeDosName(DeviceExtension);
    return Status;
}

// Reads the "PortName" value of the device's hardware key into Buffer (BufferSize bytes, at most
// 128). On success Buffer holds a terminated name; the bytes after the value's data are zero.
NTSTATUS ReadPortName(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer, ULONG BufferSize)
{
    HANDLE Key;
    UNICODE_STRING ValueName;
    PKEY_VALUE_FULL_INFORMATION Information;
    ULONG QueryLength;
    ULONG ResultLength = 0;
    NTSTATUS Status;

    Status = IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                     STANDARD_RIGHTS_READ, &Key);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    RtlInitUnicodeString(&ValueName, PortNameValueName);
    QueryLength = sizeof(KEY_VALUE_FULL_INFORMATION) + ValueName.Length + BufferSize;
    Information = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePool(NonPagedPool, QueryLength);
    if (Information == NULL) {
        ZwClose(Key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Warnings such as STATUS_BUFFER_OVERFLOW (data too long for the record) are failures here.
    Status = ZwQueryValueKey(Key, &ValueName, KeyValueFullInformation, Information, QueryLength,
                             &ResultLength);
    if (NT_SUCCESS(Status)) {
        // Only the bytes the query wrote are the record; the rest of the buffer is not.
        Status = PnnCheckPortNameValue(Information, ResultLength < QueryLength ? ResultLength
                                                                               : QueryLength,
                                       BufferSize);
    }
    if (NT_SUCCESS(Status)) {
        RtlCopyMemory(Buffer, (PUCHAR)Information + Information->DataOffset,
                      Information->DataLength);
        RtlZeroMemory((PUCHAR)Buffer + Information->DataLength,
                      BufferSize - Information->DataLength);
    }

    ZwClose(Key);
    ExFreePool(Information);
    return Status;
}

// At start: DOS link, SERIALCOMM value, interface enabled. On failure the caller undoes what was
// done with RemovePortNames. PASSIVE_LEVEL.
NTSTATUS CreatePortNames(PDEVICE_EXTENSION DeviceExtension)
{
    WCHAR PortName[PORT_NAME_CHARACTERS];
    UNICODE_STRING TemporaryName;
    NTSTATUS Status;

    // The device object's name went with a surprise removal; nothing can be named after it.
    if (DeviceExtension->DeviceName.Buffer == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }

    RtlZeroMemory(PortName, sizeof(PortName));
    Status = ReadPortName(DeviceExtension, PortName, sizeof(PortName));
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = PnnFormatDosName(&TemporaryName, PortName);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    // A start that finds the link of an earlier start still in place (no stop in between)
    // replaces it rather than losing track of its buffer.
    if (DeviceExtension->DosName.Buffer != NULL) {
        PnnDeleteDosLink(DeviceExtension);
    }

    Status = AllocateUnicodeString(&DeviceExtension->DosName, TemporaryName.Length);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(TemporaryName.Buffer);
        return Status;
    }
    RtlCopyUnicodeString(&DeviceExtension->DosName, &TemporaryName);
    ExFreePool(TemporaryName.Buffer);

    Status = IoCreateUnprotectedSymbolicLink(&DeviceExtension->DosName, &DeviceExtension->DeviceName);
    if (!NT_SUCCESS(Status)) {
        // The link is not ours (for example the name belongs to another port): forget the name
        // so that the undo step does not delete somebody else's link.
        PnnFreeDosName(DeviceExtension);
        return Status;
    }

    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey,
                                   DeviceExtension->DeviceName.Buffer, REG_SZ, PortName,
                                   (PnnNameLength(PortName, PORT_NAME_CHARACTERS) + 1) *
                                       sizeof(WCHAR));
    if (NT_SUCCESS(Status)) {
        EnableDeviceInterface(DeviceExtension, TRUE);
    }
    return Status;
}

// Undoes CreatePortNames, as far as it got: interface disabled and its name released, SERIALCOMM
// value deleted, this device's DOS link deleted and DosName freed. Every step is best effort;
// callers ignore the result. PASSIVE_LEVEL.
NTSTATUS RemovePortNames(PDEVICE_EXTENSION DeviceExtension)
{
    NTSTATUS Status = STATUS_SUCCESS;

    DisableDeviceInterface(DeviceExtension);

    if (DeviceExtension->DeviceName.Buffer != NULL) {
        Status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey,
                                        DeviceExtension->DeviceName.Buffer);
    }

    if (DeviceExtension->DosName.Buffer != NULL) {
        Status = PnnDeleteDosLink(DeviceExtension);
    }
    return Status;
}

// Fallback when the link cannot be deleted by DosName: deletes "\DosDevices\<PortName>" with the
// name as the hardware key holds it now.
NTSTATUS DeleteDosLinkByPortName(PDEVICE_EXTENSION DeviceExtension)
{
    WCHAR PortName[PORT_NAME_CHARACTERS];
    UNICODE_STRING Name;
    NTSTATUS Status;

    RtlZeroMemory(PortName, sizeof(PortName));
    Status = ReadPortName(DeviceExtension, PortName, sizeof(PortName));
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = PnnFormatDosName(&Name, PortName);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = IoDeleteSymbolicLink(&Name);
    ExFreePool(Name.Buffer);
    return Status;
}

// Sets the interface's state. The interface's name is released by the first RemovePortNames, so
// after a stop or a failed start there is nothing left to enable: STATUS_SUCCESS.
NTSTATUS EnableDeviceInterface(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Enable)
{
    NTSTATUS Status = STATUS_SUCCESS;

    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        Status = IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, Enable);
    }
    return Status;
}

// Disables the interface and releases its name (a buffer the system allocated).
VOID DisableDeviceInterface(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, FALSE);
        RtlFreeUnicodeString(&DeviceExtension->InterfaceName);
        DeviceExtension->InterfaceName.Buffer = NULL;
        DeviceExtension->InterfaceName.Length = 0;
        DeviceExtension->InterfaceName.MaximumLength = 0;
    }
}

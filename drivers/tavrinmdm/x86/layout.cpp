// Compile-time checks of the platform records and values the driver relies on, as the x86
// platform headers lay them out. A header that disagrees stops the image build here instead of
// producing a driver that talks nonsense to the USB stack or to applications.
//
// The 32-bit host build compiles this file too, against the host kernel's own declarations: the
// image runs on that host kernel, so every record the two exchange must be the platform's, byte
// for byte.

#include "tavrinmdm/platform.h"
#include "common/parent_pdo.h"

#include <stddef.h>

// The parent PDO's pipe-handle words, as the one shared definition lays them out (the bus
// driver's image asserts the same offsets of its own extension, tavrinbus/extension.h).
static_assert(TAVRIN_PARENT_BULK_IN_PIPE_OFFSET == 12);
static_assert(TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET == 16);
static_assert(TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET == 20);
static_assert(sizeof(TAVRIN_PARENT_PDO_HEAD) == 24);

// 32-bit platform.
static_assert(sizeof(PVOID) == 4);
static_assert(sizeof(ULONG_PTR) == 4);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(alignof(LARGE_INTEGER) == 8 && alignof(ULONGLONG) == 8);
static_assert(sizeof(KSPIN_LOCK) == 4);
static_assert(sizeof(UNICODE_STRING) == 8 && offsetof(UNICODE_STRING, Buffer) == 4);
static_assert(sizeof(LIST_ENTRY) == 8);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(URB) == 96);

// Records the kernel and the driver share: requests and stack locations, the objects, dispatcher
// objects, DPCs, timers, fast mutexes, remove locks, work items, the PnP and power parameters.
static_assert(sizeof(IRP) == 112);
static_assert(offsetof(IRP, MdlAddress) == 4);
static_assert(offsetof(IRP, Flags) == 8);
static_assert(offsetof(IRP, AssociatedIrp) == 12);
static_assert(offsetof(IRP, ThreadListEntry) == 16);
static_assert(offsetof(IRP, IoStatus) == 24);
static_assert(offsetof(IRP, RequestorMode) == 32);
static_assert(offsetof(IRP, PendingReturned) == 33);
static_assert(offsetof(IRP, StackCount) == 34);
static_assert(offsetof(IRP, CurrentLocation) == 35);
static_assert(offsetof(IRP, Cancel) == 36);
static_assert(offsetof(IRP, CancelIrql) == 37);
static_assert(offsetof(IRP, UserIosb) == 40);
static_assert(offsetof(IRP, UserEvent) == 44);
static_assert(offsetof(IRP, Overlay) == 48);
static_assert(offsetof(IRP, CancelRoutine) == 56);
static_assert(offsetof(IRP, UserBuffer) == 60);
static_assert(offsetof(IRP, Tail.Overlay.DriverContext) == 64);
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 80);
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == 88);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 96);
static_assert(offsetof(IRP, Tail.Overlay.OriginalFileObject) == 100);
static_assert(sizeof(IO_STACK_LOCATION) == 36);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 12);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 12);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 16);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 12);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.ShutdownType) == 16);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type) == 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities) == 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.UsageNotification.Type) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 4);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 20);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 24);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 28);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 32);
static_assert(sizeof(DEVICE_OBJECT) == 184);
static_assert(offsetof(DEVICE_OBJECT, ReferenceCount) == 4);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 8);
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == 12);
static_assert(offsetof(DEVICE_OBJECT, AttachedDevice) == 16);
static_assert(offsetof(DEVICE_OBJECT, CurrentIrp) == 20);
static_assert(offsetof(DEVICE_OBJECT, Flags) == 28);
static_assert(offsetof(DEVICE_OBJECT, Characteristics) == 32);
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 40);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 44);
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 48);
static_assert(offsetof(DEVICE_OBJECT, AlignmentRequirement) == 92);
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 176);
static_assert(sizeof(DRIVER_OBJECT) == 168);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 4);
static_assert(offsetof(DRIVER_OBJECT, Flags) == 8);
static_assert(offsetof(DRIVER_OBJECT, DriverStart) == 12);
static_assert(offsetof(DRIVER_OBJECT, DriverSize) == 16);
static_assert(offsetof(DRIVER_OBJECT, DriverSection) == 20);
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 24);
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 28);
static_assert(offsetof(DRIVER_OBJECT, HardwareDatabase) == 36);
static_assert(offsetof(DRIVER_OBJECT, FastIoDispatch) == 40);
static_assert(offsetof(DRIVER_OBJECT, DriverInit) == 44);
static_assert(offsetof(DRIVER_OBJECT, DriverStartIo) == 48);
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 52);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 56);
static_assert(sizeof(DRIVER_EXTENSION) == 20);
static_assert(offsetof(DRIVER_EXTENSION, AddDevice) == 4);
static_assert(offsetof(DRIVER_EXTENSION, Count) == 8);
static_assert(offsetof(DRIVER_EXTENSION, ServiceKeyName) == 12);
static_assert(sizeof(FILE_OBJECT) == 128);
static_assert(offsetof(FILE_OBJECT, DeviceObject) == 4);
static_assert(offsetof(FILE_OBJECT, FsContext) == 12);
static_assert(offsetof(FILE_OBJECT, FsContext2) == 16);
static_assert(offsetof(FILE_OBJECT, FinalStatus) == 28);
static_assert(offsetof(FILE_OBJECT, LockOperation) == 36);
static_assert(offsetof(FILE_OBJECT, Flags) == 44);
static_assert(offsetof(FILE_OBJECT, FileName) == 48);
static_assert(offsetof(FILE_OBJECT, CurrentByteOffset) == 56);
static_assert(sizeof(IO_STATUS_BLOCK) == 8);
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 4);
static_assert(sizeof(KEVENT) == 16);
static_assert(sizeof(DISPATCHER_HEADER) == 16);
static_assert(offsetof(DISPATCHER_HEADER, SignalState) == 4);
static_assert(offsetof(DISPATCHER_HEADER, WaitListHead) == 8);
static_assert(sizeof(KDPC) == 32);
static_assert(offsetof(KDPC, DpcListEntry) == 4);
static_assert(offsetof(KDPC, DeferredRoutine) == 12);
static_assert(offsetof(KDPC, DeferredContext) == 16);
static_assert(offsetof(KDPC, SystemArgument1) == 20);
static_assert(offsetof(KDPC, SystemArgument2) == 24);
static_assert(offsetof(KDPC, DpcData) == 28);
static_assert(sizeof(KTIMER) == 40);
static_assert(offsetof(KTIMER, DueTime) == 16);
static_assert(offsetof(KTIMER, TimerListEntry) == 24);
static_assert(offsetof(KTIMER, Dpc) == 32);
static_assert(offsetof(KTIMER, Period) == 36);
static_assert(sizeof(KSPIN_LOCK) == 4);
static_assert(sizeof(FAST_MUTEX) == 32);
static_assert(offsetof(FAST_MUTEX, Owner) == 4);
static_assert(offsetof(FAST_MUTEX, Contention) == 8);
static_assert(offsetof(FAST_MUTEX, Event) == 12);
static_assert(offsetof(FAST_MUTEX, OldIrql) == 28);
static_assert(sizeof(IO_REMOVE_LOCK) == 24);
static_assert(offsetof(IO_REMOVE_LOCK, Common.IoCount) == 4);
static_assert(offsetof(IO_REMOVE_LOCK, Common.RemoveEvent) == 8);
static_assert(sizeof(WORK_QUEUE_ITEM) == 16);
static_assert(offsetof(WORK_QUEUE_ITEM, WorkerRoutine) == 8);
static_assert(offsetof(WORK_QUEUE_ITEM, Parameter) == 12);
static_assert(sizeof(UNICODE_STRING) == 8);
static_assert(offsetof(UNICODE_STRING, Buffer) == 4);
static_assert(sizeof(LIST_ENTRY) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8);
static_assert(offsetof(DEVICE_CAPABILITIES, UINumber) == 12);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16);
static_assert(offsetof(DEVICE_CAPABILITIES, SystemWake) == 44);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceWake) == 48);
static_assert(offsetof(DEVICE_CAPABILITIES, D1Latency) == 52);
static_assert(sizeof(POWER_STATE) == 4);
static_assert(sizeof(DEVICE_RELATIONS) == 8);
static_assert(offsetof(DEVICE_RELATIONS, Objects) == 4);
static_assert(sizeof(URB) == 96);
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 80);
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 72);
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);
static_assert(sizeof(GUID) == 16);

// URBs built by the driver: the sizes go into UrbHeader.Length and the USB stack checks them.
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 16);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 16);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 20);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 28);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 72);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76);
static_assert(URB_FUNCTION_CLASS_INTERFACE == 0x001B);
static_assert(URB_FUNCTION_RESET_PIPE == 0x001E);
static_assert(URB_FUNCTION_ABORT_PIPE == 0x0002);
static_assert(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER == 0x0009);
static_assert((USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) == 3);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);

// The parent bus driver publishes the three pipe handles as 32-bit words at offsets 12, 16, 20 of
// its device extension; a pipe handle must be exactly such a word.
static_assert(sizeof(USBD_PIPE_HANDLE) == 4);

// Serial records returned to applications and kernel clients.
static_assert(sizeof(SERIAL_COMMPROP) == 64);
// The "PortName" query buffer is sized as this record's fixed part (24 bytes with the first name
// unit and padding) plus the name and the data.
static_assert(sizeof(SERIALPERF_STATS) == 24);
static_assert(offsetof(SERIALPERF_STATS, ReceivedCount) == 0);
static_assert(offsetof(SERIALPERF_STATS, TransmittedCount) == 4);
static_assert(sizeof(SERIAL_STATUS) == 20);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_BAUD_RATE) == 4);
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(offsetof(SERIAL_LINE_CONTROL, StopBits) == 0);
static_assert(offsetof(SERIAL_LINE_CONTROL, Parity) == 1);
static_assert(offsetof(SERIAL_LINE_CONTROL, WordLength) == 2);

// The immediate-character mark is kept in the fourth parameter word of the stack location: the
// same word is Argument4, the control request's Type3InputBuffer and a write's ByteOffset.HighPart.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) ==
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer));
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) ==
              offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) + 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) ==
              offsetof(IO_STACK_LOCATION, Parameters) + 12);
static_assert(sizeof(((IO_STACK_LOCATION*)0)->Parameters.Others.Argument4) == 4);

// Values the driver exchanges with the system.
static_assert(IO_SERIAL_INCREMENT == 2);
static_assert(FILE_DEVICE_SERIAL_PORT == 0x1B);
static_assert(FILE_DEVICE_SECURE_OPEN == 0x100);
static_assert(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE == 0x1B0004);
static_assert(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE == 0x1B0008);
static_assert(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS == 0x1B000C);
static_assert(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS == 0x1B0010);
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004);
static_assert(IOCTL_SERIAL_IMMEDIATE_CHAR == 0x1B0018);
static_assert(IOCTL_SERIAL_GET_WAIT_MASK == 0x1B0040);
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x1B0044);
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048);
static_assert(PowerDeviceD0 == 1 && PowerSystemWorking == 1);

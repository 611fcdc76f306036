// Compile-time checks of the platform records and values the driver relies on, as the x86
// platform headers lay them out. A header that disagrees stops the image build here instead of
// producing a driver that talks nonsense to the USB stack or to applications.

#include "driver/platform.h"

#include <stddef.h>

// 32-bit platform.
static_assert(sizeof(PVOID) == 4);
static_assert(sizeof(ULONG_PTR) == 4);
static_assert(sizeof(LARGE_INTEGER) == 8);

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
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);
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

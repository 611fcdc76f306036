// The USB device's descriptors, as the bus driver reads them at start: which devices it accepts.
//
// It accepts a CDC ACM modem only: in configuration 1 of the device, a communications interface
// (class 02h, subclass 02h) whose one endpoint is interrupt-IN, and a data interface (class 0Ah)
// with exactly one bulk-IN and one bulk-OUT endpoint, and no other interface. The descriptors are
// read as the bytes the device sent (never cast to records): every length is checked against the
// buffer before a byte of the descriptor is read, so a device that lies about its lengths is
// refused, never read past.
#pragma once

#include "tavrinbus/platform.h"

// The device descriptor's fields the bus driver uses.
typedef struct _BUS_DEVICE_IDS {
    USHORT VendorId;
    USHORT ProductId;
    USHORT Revision;  // bcdDevice
    UCHAR NumConfigurations;
} BUS_DEVICE_IDS;

// One endpoint the modem's function uses.
typedef struct _BUS_ENDPOINT {
    UCHAR Address;
    UCHAR Interval;
    USHORT MaxPacketSize;
} BUS_ENDPOINT;

// What the configuration descriptor says about the modem's two interfaces.
typedef struct _BUS_MODEM_LAYOUT {
    UCHAR ConfigurationValue;
    UCHAR CommInterface;  // bInterfaceNumber of the communications interface
    UCHAR CommProtocol;
    UCHAR DataInterface;
    UCHAR DataSubClass;
    UCHAR DataProtocol;
    BUS_ENDPOINT InterruptIn;
    BUS_ENDPOINT BulkIn;
    BUS_ENDPOINT BulkOut;
} BUS_MODEM_LAYOUT;

#define BUS_DEVICE_DESCRIPTOR_LENGTH 18
#define BUS_CONFIGURATION_HEADER_LENGTH 9
#define BUS_CDC_COMM_CLASS 0x02
#define BUS_CDC_ACM_SUBCLASS 0x02
#define BUS_CDC_DATA_CLASS 0x0A

// The device descriptor in `Length` bytes. STATUS_SUCCESS, or STATUS_DEVICE_CONFIGURATION_ERROR
// with *Why saying what is wrong.
NTSTATUS BusParseDeviceDescriptor(const UCHAR* Buffer, ULONG Length, BUS_DEVICE_IDS* Ids,
                                  const char** Why);

// The wTotalLength a configuration descriptor's first 9 bytes announce (0 if they are not the
// head of a configuration descriptor).
ULONG BusConfigurationTotalLength(const UCHAR* Buffer, ULONG Length);

// The whole configuration descriptor (`Length` bytes read). STATUS_SUCCESS with the layout, or
// STATUS_DEVICE_CONFIGURATION_ERROR with *Why saying what is wrong.
NTSTATUS BusParseConfiguration(const UCHAR* Buffer, ULONG Length, BUS_MODEM_LAYOUT* Layout,
                               const char** Why);

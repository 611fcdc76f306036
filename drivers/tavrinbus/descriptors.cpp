// Reading the device and configuration descriptors (see descriptors.h).

#include "tavrinbus/descriptors.h"

#define DESCRIPTOR_DEVICE 0x01
#define DESCRIPTOR_CONFIGURATION 0x02
#define DESCRIPTOR_INTERFACE 0x04
#define DESCRIPTOR_ENDPOINT 0x05
#define INTERFACE_LENGTH 9
#define ENDPOINT_LENGTH 7
#define ENDPOINT_IN 0x80
#define ENDPOINT_TYPE_BULK 0x02
#define ENDPOINT_TYPE_INTERRUPT 0x03

static USHORT Word(const UCHAR* Bytes)
{
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}

static NTSTATUS Refuse(const char** Why, const char* Reason)
{
    *Why = Reason;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS BusParseDeviceDescriptor(const UCHAR* Buffer, ULONG Length, BUS_DEVICE_IDS* Ids,
                                  const char** Why)
{
    if (Length < BUS_DEVICE_DESCRIPTOR_LENGTH) {
        return Refuse(Why, "device descriptor shorter than 18 bytes");
    }
    if (Buffer[0] != BUS_DEVICE_DESCRIPTOR_LENGTH || Buffer[1] != DESCRIPTOR_DEVICE) {
        return Refuse(Why, "device descriptor with a wrong bLength or type");
    }
    if (Buffer[17] == 0) {
        return Refuse(Why, "device without a configuration");
    }
    Ids->VendorId = Word(Buffer + 8);
    Ids->ProductId = Word(Buffer + 10);
    Ids->Revision = Word(Buffer + 12);
    Ids->NumConfigurations = Buffer[17];
    return STATUS_SUCCESS;
}

ULONG BusConfigurationTotalLength(const UCHAR* Buffer, ULONG Length)
{
    if (Length < BUS_CONFIGURATION_HEADER_LENGTH || Buffer[0] != BUS_CONFIGURATION_HEADER_LENGTH ||
        Buffer[1] != DESCRIPTOR_CONFIGURATION) {
        return 0;
    }
    return Word(Buffer + 2);
}

// Where the walk stands: the interface whose endpoints are being read.
typedef struct _WALK {
    UCHAR Class;               // of the current interface
    UCHAR EndpointsAnnounced;  // its bNumEndpoints
    UCHAR EndpointsSeen;
    BOOLEAN Skipping;          // an alternate setting other than 0: its endpoints are not ours
    BOOLEAN InInterface;
} WALK;

// The interface that ends here (at the next interface or at the end) had the endpoints it said.
static BOOLEAN EndpointsAddUp(const WALK* Walk)
{
    return !Walk->InInterface || Walk->EndpointsSeen == Walk->EndpointsAnnounced;
}

static NTSTATUS TakeEndpoint(const UCHAR* Bytes, WALK* Walk, BUS_MODEM_LAYOUT* Layout,
                             ULONG* Found, const char** Why)
{
    UCHAR Address = Bytes[2];
    UCHAR Type = Bytes[3] & 0x03;
    USHORT MaxPacket = Word(Bytes + 4) & 0x07FF;
    BUS_ENDPOINT* Slot;
    ULONG Bit;

    if (Walk->Class == BUS_CDC_COMM_CLASS) {
        if (Type != ENDPOINT_TYPE_INTERRUPT || !(Address & ENDPOINT_IN)) {
            return Refuse(Why, "communications interface endpoint is not interrupt-IN");
        }
        Slot = &Layout->InterruptIn;
        Bit = 1;
    } else {
        if (Type != ENDPOINT_TYPE_BULK) {
            return Refuse(Why, "data interface endpoint is not bulk");
        }
        Slot = (Address & ENDPOINT_IN) ? &Layout->BulkIn : &Layout->BulkOut;
        Bit = (Address & ENDPOINT_IN) ? 2 : 4;
    }
    if (*Found & Bit) {
        return Refuse(Why, "a second endpoint of the same kind");
    }
    if (MaxPacket == 0) {
        return Refuse(Why, "endpoint with wMaxPacketSize 0");
    }
    *Found |= Bit;
    Slot->Address = Address;
    Slot->Interval = Bytes[6];
    Slot->MaxPacketSize = MaxPacket;
    return STATUS_SUCCESS;
}

NTSTATUS BusParseConfiguration(const UCHAR* Buffer, ULONG Length, BUS_MODEM_LAYOUT* Layout,
                               const char** Why)
{
    ULONG Total = BusConfigurationTotalLength(Buffer, Length);
    ULONG Offset;
    ULONG Interfaces = 0;
    ULONG Found = 0;  // bits: 1 interrupt-IN, 2 bulk-IN, 4 bulk-OUT, 8 comm, 16 data
    WALK Walk = {0, 0, 0, FALSE, FALSE};
    NTSTATUS Status;

    if (Total == 0) {
        return Refuse(Why, "not a configuration descriptor (bLength or type)");
    }
    if (Total != Length) {
        return Refuse(Why, "wTotalLength does not match the bytes read");
    }
    RtlZeroMemory(Layout, sizeof(*Layout));
    Layout->ConfigurationValue = Buffer[5];

    for (Offset = BUS_CONFIGURATION_HEADER_LENGTH; Offset < Total;) {
        const UCHAR* Bytes = Buffer + Offset;
        ULONG Left = Total - Offset;
        UCHAR DescriptorLength;

        if (Left < 2) {
            return Refuse(Why, "descriptor truncated by wTotalLength");
        }
        DescriptorLength = Bytes[0];
        if (DescriptorLength < 2 || DescriptorLength > Left) {
            return Refuse(Why, "descriptor bLength runs past wTotalLength or is below 2");
        }
        if (Bytes[1] == DESCRIPTOR_INTERFACE) {
            if (DescriptorLength < INTERFACE_LENGTH) {
                return Refuse(Why, "interface descriptor shorter than 9 bytes");
            }
            if (!EndpointsAddUp(&Walk)) {
                return Refuse(Why, "bNumEndpoints does not match the endpoints that follow");
            }
            Walk.InInterface = TRUE;
            Walk.Class = Bytes[5];
            Walk.EndpointsAnnounced = Bytes[4];
            Walk.EndpointsSeen = 0;
            Walk.Skipping = Bytes[3] != 0;
            if (!Walk.Skipping) {
                Interfaces++;
                if (Bytes[5] == BUS_CDC_COMM_CLASS && Bytes[6] == BUS_CDC_ACM_SUBCLASS &&
                    !(Found & 8)) {
                    Found |= 8;
                    Layout->CommInterface = Bytes[2];
                    Layout->CommProtocol = Bytes[7];
                } else if (Bytes[5] == BUS_CDC_DATA_CLASS && !(Found & 16)) {
                    Found |= 16;
                    Layout->DataInterface = Bytes[2];
                    Layout->DataSubClass = Bytes[6];
                    Layout->DataProtocol = Bytes[7];
                } else {
                    return Refuse(Why, "an interface that is not CDC ACM communications or data");
                }
            }
        } else if (Bytes[1] == DESCRIPTOR_ENDPOINT) {
            if (DescriptorLength < ENDPOINT_LENGTH) {
                return Refuse(Why, "endpoint descriptor shorter than 7 bytes");
            }
            if (!Walk.InInterface) {
                return Refuse(Why, "endpoint descriptor outside an interface");
            }
            Walk.EndpointsSeen++;
            if (Walk.EndpointsSeen > Walk.EndpointsAnnounced) {
                return Refuse(Why, "bNumEndpoints does not match the endpoints that follow");
            }
            if (!Walk.Skipping) {
                Status = TakeEndpoint(Bytes, &Walk, Layout, &Found, Why);
                if (!NT_SUCCESS(Status)) {
                    return Status;
                }
            }
        }
        // Class-specific (CDC functional) and other descriptors are skipped by their length.
        Offset += DescriptorLength;
    }

    if (!EndpointsAddUp(&Walk)) {
        return Refuse(Why, "bNumEndpoints does not match the endpoints that follow");
    }
    if (Interfaces != Buffer[4]) {
        return Refuse(Why, "bNumInterfaces does not match the interfaces that follow");
    }
    if (!(Found & 8)) {
        return Refuse(Why, "no communications interface of class 02h subclass 02h");
    }
    if (!(Found & 16)) {
        return Refuse(Why, "no data interface of class 0Ah");
    }
    if (!(Found & 1)) {
        return Refuse(Why, "no interrupt-IN endpoint on the communications interface");
    }
    if ((Found & 6) != 6) {
        return Refuse(Why, "the data interface lacks a bulk-IN or a bulk-OUT endpoint");
    }
    return STATUS_SUCCESS;
}

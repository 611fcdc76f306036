// The bus driver's two kinds of device object and their extensions.
//
//  - The FDO, attached above the hub's PDO of the USB device: it reads the descriptors, selects
//    the configuration, and enumerates one child.
//  - The child PDO, the modem, which the port driver (tavrinmdm) attaches to: its extension
//    begins with the words drivers/common/parent_pdo.h lays down, the pipe handles at offsets 12,
//    16 and 20.
//
// Both extensions begin with a signature word, which tells the dispatch routines which kind a
// device object is.
//
// Locks: the FDO's Lock (a spin lock) guards the child's presence flags and the pipe-handle words
// of both extensions; nothing is completed or sent while it is held. Each device object has its
// own remove lock: a request for the child holds the child's and the FDO's while it is below.
#pragma once

#include "tavrinbus/platform.h"
#include "tavrinbus/descriptors.h"
#include "common/parent_pdo.h"

#define BUS_FDO_SIGNATURE 0x4F444656  // 'VFDO'
#define BUS_PDO_SIGNATURE 0x4F445056  // 'VPDO'
#define BUS_POOL_TAG 0x73627654       // 'Tvbs'

typedef struct _BUS_FDO_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    KSPIN_LOCK Lock;

    // PnP state; changed by PnP requests only (one at a time), read anywhere under Lock.
    BOOLEAN Started;          // configured and serving the child
    BOOLEAN Gone;             // surprise removal: the device left the bus
    PDEVICE_OBJECT Child;     // the modem PDO, NULL until the first bus relations after a start

    BUS_DEVICE_IDS Ids;
    BUS_MODEM_LAYOUT Layout;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    ULONG BulkInPipe;
    ULONG BulkOutPipe;
    ULONG InterruptPipe;

    // The device's D-state for each S-state, from the hub's answer to the capabilities query
    // that passed through this FDO (S0 -> D0 and D3 elsewhere until one did).
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    ULONG UINumber;
    DEVICE_POWER_STATE DevicePower;  // of the USB device, this driver being its policy owner
    SYSTEM_POWER_STATE SystemPower;
    // The system set-power request held while the device power request it caused is in flight
    // (the power manager sends one system power request to a device at a time).
    PIRP SystemIrp;
    BOOLEAN SystemIrpUp;  // it is a power-up, already back from the hub: completed, not passed on
} BUS_FDO_EXTENSION, *PBUS_FDO_EXTENSION;

typedef struct _BUS_PDO_EXTENSION {
    // The first six words are the layout both drivers share (drivers/common/parent_pdo.h).
    ULONG Signature;      // 0
    ULONG Present;        // 4: reported in the last bus relations
    ULONG Started;        // 8
    ULONG BulkInPipe;     // 12
    ULONG BulkOutPipe;    // 16
    ULONG InterruptPipe;  // 20
    // The bus driver's own.
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Fdo;
    IO_REMOVE_LOCK RemoveLock;
    BOOLEAN SurpriseRemoved;  // IRP_MN_SURPRISE_REMOVAL reached it
    BOOLEAN RemovedMissing;   // removed after it was reported missing: never reported again (Lock)
    DEVICE_POWER_STATE DevicePower;
    SYSTEM_POWER_STATE SystemPower;
} BUS_PDO_EXTENSION, *PBUS_PDO_EXTENSION;

static_assert(offsetof(BUS_PDO_EXTENSION, BulkInPipe) == TAVRIN_PARENT_BULK_IN_PIPE_OFFSET,
              "bulk-IN word");
static_assert(offsetof(BUS_PDO_EXTENSION, BulkOutPipe) == TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET,
              "bulk-OUT word");
static_assert(offsetof(BUS_PDO_EXTENSION, InterruptPipe) == TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET,
              "interrupt-IN word");

inline BOOLEAN BusIsFdo(PDEVICE_OBJECT DeviceObject)
{
    return *(ULONG*)DeviceObject->DeviceExtension == BUS_FDO_SIGNATURE;
}

// entry.cpp
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// request.cpp: finishing and forwarding.
NTSTATUS BusComplete(PIRP Irp, NTSTATUS Status);
NTSTATUS BusPassDown(PBUS_FDO_EXTENSION Fdo, PIRP Irp);
NTSTATUS BusForwardAndWait(PBUS_FDO_EXTENSION Fdo, PIRP Irp);
// A URB sent down the FDO's stack and waited for (PASSIVE_LEVEL).
NTSTATUS BusSubmitUrb(PBUS_FDO_EXTENSION Fdo, PURB Urb);

// fdo.cpp
NTSTATUS BusFdoAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS BusFdoPnp(PBUS_FDO_EXTENSION Fdo, PIRP Irp);
NTSTATUS BusFdoPower(PBUS_FDO_EXTENSION Fdo, PIRP Irp);
// Asks the FDO's own stack for device power state `State` (the policy owner's request);
// `Done` is called with its status when it is complete (at once if the device is already there).
typedef VOID BUS_POWER_DONE(PVOID Context, NTSTATUS Status);
NTSTATUS BusFdoRequestDevicePower(PBUS_FDO_EXTENSION Fdo, DEVICE_POWER_STATE State,
                                  BUS_POWER_DONE* Done, PVOID Context);

// pdo.cpp
NTSTATUS BusCreateChild(PBUS_FDO_EXTENSION Fdo);
// Deletes the child (each caller takes it from Fdo->Child under Lock: one of them deletes it).
VOID BusDeleteChild(PBUS_FDO_EXTENSION Fdo);
// Deletes the child if it was removed after it was reported missing.
VOID BusDeleteRemovedChild(PBUS_FDO_EXTENSION Fdo);
NTSTATUS BusPdoPnp(PBUS_PDO_EXTENSION Pdo, PIRP Irp);
NTSTATUS BusPdoPower(PBUS_PDO_EXTENSION Pdo, PIRP Irp);
NTSTATUS BusPdoInternalControl(PBUS_PDO_EXTENSION Pdo, PIRP Irp);
// The pipe-handle words of the child: published (from the FDO's selection) or cleared.
VOID BusPublishHandles(PBUS_FDO_EXTENSION Fdo, BOOLEAN Publish);

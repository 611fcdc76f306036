// The driver's entry point, its request table and its unload routine.

#include "tavrinmdm/entry.h"
#include "tavrinmdm/add_device.h"
#include "tavrinmdm/control.h"
#include "tavrinmdm/pnp/pnp.h"
#include "tavrinmdm/power/power.h"
#include "tavrinmdm/serial/serial.h"

#ifndef TAVRIN_VERSION
#error "TAVRIN_VERSION (the build's version string) must be defined by the build"
#endif

static const char BannerRule[] =
    "*******************************************************************************\n";
static_assert(sizeof(BannerRule) == 79 + 1 + 1, "79 asterisks and a newline");

static VOID PrintBanner(BOOLEAN Loaded)
{
    DbgPrint("%s", BannerRule);
    if (Loaded) {
        DbgPrint("RIVEZUVE(%s)  Time: %s  Date: %s LOADED \n", TAVRIN_VERSION, __TIME__, __DATE__);
    } else {
        DbgPrint("RIVEZUVE(%s)  Time: %s  Date: %s UNLOADED \n", TAVRIN_VERSION, __TIME__,
                 __DATE__);
    }
    DbgPrint("%s\n", BannerRule);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    // A fresh image starts with the counter at 0 anyway; a host that loads the driver again in
    // the same process must see the same numbering.
    DeviceInstanceCounter = 0;

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;

    // Every other major code keeps the I/O manager's default, which fails the request with
    // STATUS_INVALID_DEVICE_REQUEST.
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    PrintBanner(TRUE);
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    // Every device object was deleted by its removal; nothing else is held.
    PrintBanner(FALSE);
}

// Placeholder entry for the first image build; replaced by the full dispatch table.
#include "driver/entry.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }
    DriverObject->DriverUnload = DriverUnload;
    DbgPrint("RIVEZUVE(%s)  Time: %s  Date: %s LOADED \n", TAVRIN_VERSION, __TIME__, __DATE__);
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("RIVEZUVE(%s)  Time: %s  Date: %s UNLOADED \n", TAVRIN_VERSION, __TIME__, __DATE__);
}

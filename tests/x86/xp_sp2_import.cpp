// A driver image that imports KeFlushQueuedDpcs, which the kernel exports only from Windows XP SP2
// on: the image check must refuse it, naming the routine and the platform it needs.

#include "tavrinmdm/platform.h"

extern "C" {
ULONG_PTR __stack_chk_guard = 0xBB40E64EUL;
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    KeBugCheckEx(0xF7, 0, 0, 0, 0);
    __builtin_unreachable();
}
}

extern "C" __attribute__((section("INIT"))) NTSTATUS NTAPI GsDriverEntry(PDRIVER_OBJECT DriverObject,
                                                                        PUNICODE_STRING RegistryPath)
{
    KeFlushQueuedDpcs();
    return STATUS_SUCCESS;
}

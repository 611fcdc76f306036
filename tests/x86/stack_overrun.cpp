// A driver image whose DriverEntry overruns a buffer on its stack: the stack cookie check at the
// overrunning routine's return calls __stack_chk_fail, which stops the machine with bug check
// 0xF7 as the driver's own start-up code does. The 32-bit host's image tests load it to see the
// bug check unwind out of the image's frames.

#include "tavrinmdm/platform.h"

extern "C" {
ULONG_PTR __stack_chk_guard = 0xBB40E64EUL;
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    KeBugCheckEx(0xF7, __stack_chk_guard, 0, 0, 0);
    __builtin_unreachable();
}
}

static volatile ULONG OverrunLength = 24;

static __attribute__((noinline)) VOID Overrun(ULONG Length)
{
    volatile UCHAR Buffer[16];
    ULONG Index;

    for (Index = 0; Index < Length; Index++) {
        Buffer[Index] = 0xA5;  // past the end on purpose: over the cookie above the buffer
    }
    (void)Buffer;
}

extern "C" __attribute__((section("INIT"))) NTSTATUS NTAPI GsDriverEntry(PDRIVER_OBJECT DriverObject,
                                                                        PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    Overrun(OverrunLength);
    return STATUS_SUCCESS;
}

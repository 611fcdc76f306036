// Start-up stub of the x86 image: the image's entry point.
//
// It lives in the section INIT, which the build marks discardable, so the loader frees it once
// DriverEntry has returned. It seeds the stack-protection cookie before any protected frame exists
// and then calls DriverEntry with the same two arguments.

#include "tavrinbus/platform.h"
#include "tavrinbus/extension.h"

// The code the kernel uses for a corrupted stack cookie in a driver.
#define TAVRIN_DRIVER_OVERRAN_STACK_BUFFER 0x000000F7

// Compared by every protected frame on its way out. The starting value only matters if a
// protected frame could run before GsDriverEntry, which none can; it is non-zero all the same.
extern "C" {
ULONG_PTR __stack_chk_guard = 0xBB40E64EUL;
}

extern "C" __attribute__((noreturn, no_stack_protector)) void __stack_chk_fail(void)
{
    // The frame that called us has a smashed stack; nothing in it can be trusted. Stop the system.
    KeBugCheckEx(TAVRIN_DRIVER_OVERRAN_STACK_BUFFER, __stack_chk_guard, 0, 0, 0);
    __builtin_unreachable();
}

static __attribute__((section("INIT"), no_stack_protector)) ULONG GsMix(ULONG Hash, ULONG Value)
{
    Hash ^= Value;
    Hash *= 0x9E3779B1UL;
    Hash ^= Hash >> 15;
    return Hash;
}

// GsDriverEntry: runs at PASSIVE_LEVEL in the system process, once per load. It must not itself be
// stack-protected: the cookie changes under its feet.
extern "C" __attribute__((section("INIT"), no_stack_protector)) NTSTATUS NTAPI
GsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    LARGE_INTEGER Counter = KeQueryPerformanceCounter(NULL);
    LARGE_INTEGER SystemTime;
    ULONG Cookie;
    ULONGLONG Tsc = __builtin_ia32_rdtsc();

    KeQuerySystemTime(&SystemTime);

    // Every input varies from boot to boot or from load to load: the performance counter, the
    // time stamp counter, the system time, and where the loader put the stack and the objects.
    Cookie = GsMix(0x6A09E667UL, Counter.LowPart);
    Cookie = GsMix(Cookie, Counter.HighPart);
    Cookie = GsMix(Cookie, (ULONG)Tsc);
    Cookie = GsMix(Cookie, (ULONG)(Tsc >> 32));
    Cookie = GsMix(Cookie, SystemTime.LowPart);
    Cookie = GsMix(Cookie, SystemTime.HighPart);
    Cookie = GsMix(Cookie, (ULONG)(ULONG_PTR)&Counter);
    Cookie = GsMix(Cookie, (ULONG)(ULONG_PTR)DriverObject);
    Cookie = GsMix(Cookie, (ULONG)(ULONG_PTR)RegistryPath);

    if (Cookie == 0 || Cookie == __stack_chk_guard) {
        Cookie ^= 0x5A3C96E1UL;
    }
    __stack_chk_guard = Cookie;

    return DriverEntry(DriverObject, RegistryPath);
}

// The bus driver's one view of the kernel (as tavrinmdm/platform.h is the port driver's).
//
// Every driver source includes this header and nothing else from the platform. It chooses between
// the two builds of the same sources:
//  - the x86 image, compiled by i686-w64-mingw32-g++ against the platform's published DDK headers;
//  - the host build, compiled natively against the host kernel's own declarations of the same
//    names (host/include/wdk), linked with the host kernel.
// Driver code never tests which build it is in; anything that differs is settled here.
#pragma once

#if defined(_WIN32)

// The DDK's InterlockedBitTestAndSet/Reset clash with the compiler's intrinsics header in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ntddk.h>
#include <wdm.h>
}
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>

// Exported by ntoskrnl.exe; the DDK headers do not declare it.
extern "C" int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);

#else

#include <wdk/wdk.h>

#endif

static_assert(sizeof(WCHAR) == 2, "WCHAR is a 16-bit code unit in both builds");

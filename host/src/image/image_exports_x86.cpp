// The kernel's exports as an image sees them on i386: ntoskrnl.exe and HAL.dll routines by name,
// each bound to the host kernel's routine through a small thunk with the platform's calling
// convention for it.
//
// The platform's conventions that differ from the host's (System V i386):
//  - stdcall for nearly everything: the routine pops its arguments;
//  - fastcall for the Iof*, Kf*, Kef*, Obf* routines and the HAL's fast-mutex routines: the
//    first two arguments in ECX and EDX (IofCompleteRequest's boost and KfReleaseSpinLock's IRQL
//    are in DL);
//  - cdecl for DbgPrint, _snwprintf and the C library's memory routines;
//  - an 8-byte record (LARGE_INTEGER) or a 4-byte one (POWER_STATE) is returned in EDX:EAX or
//    EAX, where System V returns records through a hidden pointer;
//  - the stack is 4-byte aligned only, where the host's code may rely on 16: every thunk
//    realigns before it calls the host (force_align_arg_pointer).
// Each thunk also measures the image's stack at the call and turns an exception thrown by the
// host (a bug check unwinding its caller) into a jump over the image's frames (image_call_x86.h).
// The outer thunk keeps a frame pointer (this file is compiled with -fno-omit-frame-pointer), so
// the image's stack pointer at the call is the frame address plus the saved frame pointer and the
// return address.
#include <strings.h>

#include <cstdarg>
#include <cstring>
#include <exception>

#include "internal/core.h"
#include "image_call_x86.h"
#include "image_internal.h"

#if defined(__i386__)

namespace host::internal {
namespace {

#define THUNK_REALIGN __attribute__((force_align_arg_pointer, noinline))

inline uint32_t CallerStack(void* frame) { return reinterpret_cast<uint32_t>(frame) + 8; }

template <typename R, typename... A>
R THUNK_REALIGN Serve(R (*routine)(A...), uint32_t stack, A... arguments) {
  ImageServiceEntered(reinterpret_cast<const void*>(routine), stack);
  std::exception_ptr pending;
  try {
    return routine(arguments...);
  } catch (...) {
    pending = std::current_exception();
  }
  ImageUnwind(std::move(pending));
}

template <auto F>
struct Bind;

template <typename R, typename... A, R (*F)(A...)>
struct Bind<F> {
  static R __attribute__((stdcall)) Stdcall(A... arguments) {
    return Serve(F, CallerStack(__builtin_frame_address(0)), arguments...);
  }
  static R __attribute__((fastcall)) Fastcall(A... arguments) {
    return Serve(F, CallerStack(__builtin_frame_address(0)), arguments...);
  }
  static R __attribute__((cdecl)) Cdecl(A... arguments) {
    return Serve(F, CallerStack(__builtin_frame_address(0)), arguments...);
  }
};

}  // namespace

// Routines the platform exports under these names and the host spells differently, or that
// return a record in registers. Not static: reports name them through the dynamic symbol table.
namespace exports {

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old;
  KeAcquireSpinLock(SpinLock, &old);
  return old;
}
VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }
KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old;
  KeRaiseIrql(NewIrql, &old);
  return old;
}
VOID KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }
ULONGLONG KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  return static_cast<ULONGLONG>(::KeQueryPerformanceCounter(PerformanceFrequency).QuadPart);
}
ULONG PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous = ::PoSetPowerState(DeviceObject, Type, State);
  ULONG word;
  std::memcpy(&word, &previous, sizeof(word));
  return word;
}
void* memcpy(void* destination, const void* source, size_t count) {
  return std::memcpy(destination, source, count);
}
void* memmove(void* destination, const void* source, size_t count) {
  return std::memmove(destination, source, count);
}
void* memset(void* destination, int value, size_t count) {
  return std::memset(destination, value, count);
}

ULONG THUNK_REALIGN DbgPrintServe(uint32_t stack, PCSTR format, va_list arguments) {
  ImageServiceEntered(reinterpret_cast<const void*>(&::DbgPrint), stack);
  return DbgPrintList(format, arguments);
}
ULONG __attribute__((cdecl)) DbgPrint(PCSTR Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  ULONG status = DbgPrintServe(CallerStack(__builtin_frame_address(0)), Format, arguments);
  va_end(arguments);
  return status;
}

int THUNK_REALIGN SnwprintfServe(uint32_t stack, WCHAR* buffer, size_t count, const WCHAR* format,
                                 va_list arguments) {
  ImageServiceEntered(reinterpret_cast<const void*>(&::_snwprintf), stack);
  return SnwprintfList(buffer, count, format, arguments);
}
int __attribute__((cdecl)) _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  int written = SnwprintfServe(CallerStack(__builtin_frame_address(0)), Buffer, Count, Format, arguments);
  va_end(arguments);
  return written;
}

}  // namespace exports

namespace {

struct Export {
  const char* dll;
  const char* name;
  const void* routine;
};

#define NT "ntoskrnl.exe"
#define HAL "hal.dll"
#define STDCALL(f) reinterpret_cast<const void*>(&Bind<&f>::Stdcall)
#define FASTCALL_(f) reinterpret_cast<const void*>(&Bind<&f>::Fastcall)
#define CDECL(f) reinterpret_cast<const void*>(&Bind<&f>::Cdecl)

const Export kExports[] = {
    // Debugger output and formatting (cdecl, variable arguments).
    {NT, "DbgPrint", reinterpret_cast<const void*>(&exports::DbgPrint)},
    {NT, "_snwprintf", reinterpret_cast<const void*>(&exports::_snwprintf)},
    {NT, "memcpy", CDECL(exports::memcpy)},
    {NT, "memmove", CDECL(exports::memmove)},
    {NT, "memset", CDECL(exports::memset)},
    // Executive.
    {NT, "ExAllocatePool", STDCALL(ExAllocatePool)},
    {NT, "ExAllocatePoolWithTag", STDCALL(ExAllocatePoolWithTag)},
    {NT, "ExFreePool", STDCALL(ExFreePool)},
    {NT, "ExFreePoolWithTag", STDCALL(ExFreePoolWithTag)},
    {NT, "ExQueueWorkItem", STDCALL(ExQueueWorkItem)},
    {NT, "IoAllocateWorkItem", STDCALL(IoAllocateWorkItem)},
    {NT, "IoQueueWorkItem", STDCALL(IoQueueWorkItem)},
    {NT, "IoFreeWorkItem", STDCALL(IoFreeWorkItem)},
    // I/O manager.
    {NT, "IofCallDriver", FASTCALL_(IofCallDriver)},
    {NT, "IofCompleteRequest", FASTCALL_(IofCompleteRequest)},
    {NT, "IoCallDriver", STDCALL(IofCallDriver)},
    {NT, "IoCompleteRequest", STDCALL(IofCompleteRequest)},
    {NT, "IoAllocateIrp", STDCALL(IoAllocateIrp)},
    {NT, "IoFreeIrp", STDCALL(IoFreeIrp)},
    {NT, "IoInitializeIrp", STDCALL(IoInitializeIrp)},
    {NT, "IoReuseIrp", STDCALL(IoReuseIrp)},
    {NT, "IoBuildDeviceIoControlRequest", STDCALL(IoBuildDeviceIoControlRequest)},
    {NT, "IoCancelIrp", STDCALL(IoCancelIrp)},
    {NT, "IoAcquireCancelSpinLock", STDCALL(IoAcquireCancelSpinLock)},
    {NT, "IoReleaseCancelSpinLock", STDCALL(IoReleaseCancelSpinLock)},
    {NT, "IoInitializeRemoveLockEx", STDCALL(IoInitializeRemoveLockEx)},
    {NT, "IoAcquireRemoveLockEx", STDCALL(IoAcquireRemoveLockEx)},
    {NT, "IoReleaseRemoveLockEx", STDCALL(IoReleaseRemoveLockEx)},
    {NT, "IoReleaseRemoveLockAndWaitEx", STDCALL(IoReleaseRemoveLockAndWaitEx)},
    {NT, "IoCreateDevice", STDCALL(IoCreateDevice)},
    {NT, "IoDeleteDevice", STDCALL(IoDeleteDevice)},
    {NT, "IoAttachDeviceToDeviceStack", STDCALL(IoAttachDeviceToDeviceStack)},
    {NT, "IoDetachDevice", STDCALL(IoDetachDevice)},
    {NT, "IoGetAttachedDevice", STDCALL(IoGetAttachedDevice)},
    {NT, "IoGetAttachedDeviceReference", STDCALL(IoGetAttachedDeviceReference)},
    {NT, "ObfReferenceObject", FASTCALL_(ObReferenceObject)},
    {NT, "ObfDereferenceObject", FASTCALL_(ObDereferenceObject)},
    {NT, "IoIsWdmVersionAvailable", STDCALL(IoIsWdmVersionAvailable)},
    {NT, "IoRegisterDeviceInterface", STDCALL(IoRegisterDeviceInterface)},
    {NT, "IoSetDeviceInterfaceState", STDCALL(IoSetDeviceInterfaceState)},
    {NT, "IoCreateSymbolicLink", STDCALL(IoCreateSymbolicLink)},
    {NT, "IoCreateUnprotectedSymbolicLink", STDCALL(IoCreateUnprotectedSymbolicLink)},
    {NT, "IoDeleteSymbolicLink", STDCALL(IoDeleteSymbolicLink)},
    {NT, "IoOpenDeviceRegistryKey", STDCALL(IoOpenDeviceRegistryKey)},
    {NT, "IoGetDeviceProperty", STDCALL(IoGetDeviceProperty)},
    {NT, "IoInvalidateDeviceRelations", STDCALL(IoInvalidateDeviceRelations)},
    // Kernel.
    {NT, "KeBugCheckEx", STDCALL(KeBugCheckEx)},
    {NT, "KeInitializeSpinLock", STDCALL(KeInitializeSpinLock)},
    {NT, "KeAcquireSpinLockAtDpcLevel", STDCALL(KeAcquireSpinLockAtDpcLevel)},
    {NT, "KeReleaseSpinLockFromDpcLevel", STDCALL(KeReleaseSpinLockFromDpcLevel)},
    {NT, "KefAcquireSpinLockAtDpcLevel", FASTCALL_(KeAcquireSpinLockAtDpcLevel)},
    {NT, "KefReleaseSpinLockFromDpcLevel", FASTCALL_(KeReleaseSpinLockFromDpcLevel)},
    {NT, "KeInitializeEvent", STDCALL(KeInitializeEvent)},
    {NT, "KeSetEvent", STDCALL(KeSetEvent)},
    {NT, "KeClearEvent", STDCALL(KeClearEvent)},
    {NT, "KeResetEvent", STDCALL(KeResetEvent)},
    {NT, "KeReadStateEvent", STDCALL(KeReadStateEvent)},
    {NT, "KeWaitForSingleObject", STDCALL(KeWaitForSingleObject)},
    {NT, "KeDelayExecutionThread", STDCALL(KeDelayExecutionThread)},
    {NT, "KeInitializeTimer", STDCALL(KeInitializeTimer)},
    {NT, "KeInitializeTimerEx", STDCALL(KeInitializeTimerEx)},
    {NT, "KeSetTimer", STDCALL(KeSetTimer)},
    {NT, "KeSetTimerEx", STDCALL(KeSetTimerEx)},
    {NT, "KeCancelTimer", STDCALL(KeCancelTimer)},
    {NT, "KeReadStateTimer", STDCALL(KeReadStateTimer)},
    {NT, "KeInitializeDpc", STDCALL(KeInitializeDpc)},
    {NT, "KeInsertQueueDpc", STDCALL(KeInsertQueueDpc)},
    {NT, "KeRemoveQueueDpc", STDCALL(KeRemoveQueueDpc)},
    {NT, "KeFlushQueuedDpcs", STDCALL(KeFlushQueuedDpcs)},
    {NT, "KeQuerySystemTime", STDCALL(KeQuerySystemTime)},
    {NT, "KeQueryInterruptTime", STDCALL(KeQueryInterruptTime)},
    {NT, "KeQueryTimeIncrement", STDCALL(KeQueryTimeIncrement)},
    // Power manager.
    {NT, "PoCallDriver", STDCALL(PoCallDriver)},
    {NT, "PoStartNextPowerIrp", STDCALL(PoStartNextPowerIrp)},
    {NT, "PoRequestPowerIrp", STDCALL(PoRequestPowerIrp)},
    {NT, "PoSetPowerState", STDCALL(exports::PoSetPowerState)},
    // Run-time library and registry.
    {NT, "RtlInitUnicodeString", STDCALL(RtlInitUnicodeString)},
    {NT, "RtlInitAnsiString", STDCALL(RtlInitAnsiString)},
    {NT, "RtlCopyUnicodeString", STDCALL(RtlCopyUnicodeString)},
    {NT, "RtlAppendUnicodeToString", STDCALL(RtlAppendUnicodeToString)},
    {NT, "RtlAppendUnicodeStringToString", STDCALL(RtlAppendUnicodeStringToString)},
    {NT, "RtlIntegerToUnicodeString", STDCALL(RtlIntegerToUnicodeString)},
    {NT, "RtlUnicodeStringToInteger", STDCALL(RtlUnicodeStringToInteger)},
    {NT, "RtlEqualUnicodeString", STDCALL(RtlEqualUnicodeString)},
    {NT, "RtlCompareUnicodeString", STDCALL(RtlCompareUnicodeString)},
    {NT, "RtlFreeUnicodeString", STDCALL(RtlFreeUnicodeString)},
    {NT, "RtlCompareMemory", STDCALL(RtlCompareMemory)},
    {NT, "RtlWriteRegistryValue", STDCALL(RtlWriteRegistryValue)},
    {NT, "RtlDeleteRegistryValue", STDCALL(RtlDeleteRegistryValue)},
    {NT, "ZwQueryValueKey", STDCALL(ZwQueryValueKey)},
    {NT, "ZwSetValueKey", STDCALL(ZwSetValueKey)},
    {NT, "ZwClose", STDCALL(ZwClose)},
    // Hardware abstraction layer.
    {HAL, "KeGetCurrentIrql", STDCALL(KeGetCurrentIrql)},
    {HAL, "KfRaiseIrql", FASTCALL_(exports::KfRaiseIrql)},
    {HAL, "KfLowerIrql", FASTCALL_(exports::KfLowerIrql)},
    {HAL, "KeRaiseIrqlToDpcLevel", STDCALL(KeRaiseIrqlToDpcLevel)},
    {HAL, "KfAcquireSpinLock", FASTCALL_(exports::KfAcquireSpinLock)},
    {HAL, "KfReleaseSpinLock", FASTCALL_(exports::KfReleaseSpinLock)},
    {HAL, "ExAcquireFastMutex", FASTCALL_(ExAcquireFastMutex)},
    {HAL, "ExReleaseFastMutex", FASTCALL_(ExReleaseFastMutex)},
    {HAL, "ExTryToAcquireFastMutex", FASTCALL_(ExTryToAcquireFastMutex)},
    {HAL, "KeQueryPerformanceCounter", STDCALL(exports::KeQueryPerformanceCounter)},
    {HAL, "KeStallExecutionProcessor", STDCALL(KeStallExecutionProcessor)},
};

bool SameDll(const char* a, const std::string& b) {
  return strcasecmp(a, b.c_str()) == 0;
}

}  // namespace

const void* FindImageExport(const std::string& dll, const std::string& name) {
  for (const Export& e : kExports) {
    if (name == e.name && SameDll(e.dll, dll)) return e.routine;
  }
  return nullptr;
}

}  // namespace host::internal

#else

namespace host::internal {
const void* FindImageExport(const std::string&, const std::string&) { return nullptr; }
}  // namespace host::internal

#endif

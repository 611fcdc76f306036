// Calls from the kernel into a driver's routines: dispatch, completion, cancel, DPC, work item,
// DriverEntry, AddDevice, unload and power-request completion routines.
//
// On x86-64 this is a plain call. On i386 the routine may be the host-compiled driver's (the
// System V convention: the caller pops the arguments) or a loaded image's (the platform's
// stdcall: the routine pops them, and it keeps only a 4-byte aligned stack). Every such call goes
// through one trampoline that lays the arguments out as 32-bit words on a 16-byte aligned stack
// and restores the stack pointer itself afterwards, so both kinds of routine return correctly.
// Calls into an image are also where its kernel-stack use is measured (image/image_call_x86.cpp).
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace host::internal {

#if defined(__i386__)
// Calls `routine` with `count` 32-bit argument words; returns EAX.
uint32_t CallRoutineWords(const void* routine, const uint32_t* words, unsigned count);

template <typename A>
uint32_t RoutineWord(A argument) {
  static_assert(sizeof(A) <= 4 && std::is_trivially_copyable_v<A>,
                "driver routines take 32-bit arguments on i386");
  uint32_t word = 0;
  std::memcpy(&word, &argument, sizeof(A));
  return word;
}
#endif

template <typename R, typename... A, typename... B>
R CallRoutine(R (*routine)(A...), B... arguments) {
#if defined(__i386__)
  const uint32_t words[sizeof...(A) + 1] = {RoutineWord<A>(arguments)..., 0};
  uint32_t result =
      CallRoutineWords(reinterpret_cast<const void*>(routine), words, sizeof...(A));
  if constexpr (std::is_void_v<R>) {
    (void)result;
  } else {
    static_assert(sizeof(R) == 4, "driver routines return NTSTATUS or nothing");
    R value;
    std::memcpy(&value, &result, sizeof(R));
    return value;
  }
#else
  return routine(arguments...);
#endif
}

}  // namespace host::internal

// What the bindings of the kernel's exports (image_exports_x86.cpp) use of image_call_x86.cpp.
#pragma once

#include <cstdint>
#include <exception>

namespace host::internal {

// The image called kernel service `service` with its stack pointer at `stack` (measured).
void ImageServiceEntered(const void* service, uint32_t stack);

// A kernel service the image called has thrown `pending` (a bug check unwinding the routine):
// jumps back to the trampoline call that entered the image and throws it again from there. The
// exception moves into the activation: the jump skips the destructors of the frames it leaves,
// so none of them may still own a reference to it (the exception would never be freed).
[[noreturn]] void ImageUnwind(std::exception_ptr&& pending);

}  // namespace host::internal

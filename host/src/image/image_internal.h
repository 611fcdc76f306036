// What the image loader, the calls into images (internal/routine_call.h), the bindings of the
// kernel's exports and the naming of routines (symbolize.cpp) share.
#pragma once

#include <string>

#include "host/image.h"

namespace host::internal {

// The host routine bound to `dll`!`name` (the DLL name compared without case), with the
// platform's calling convention for it; NULL when the host does not provide it. Only an i386 host
// provides any (image_exports_x86.cpp).
const void* FindImageExport(const std::string& dll, const std::string& name);

// Loaded images, for naming routines in reports and for telling image code from host code.
void RegisterImage(const image::Image* image);
void UnregisterImage(const image::Image* image);
// The loaded image that contains `address`, or NULL.
const image::Image* FindImage(const void* address);

// A C++ symbol demangled and without its parameter list; any other name as it is.
std::string Demangle(const std::string& symbol);

}  // namespace host::internal

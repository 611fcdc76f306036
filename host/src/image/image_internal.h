// What the image loader, the calls into images (internal/routine_call.h), the bindings of the
// kernel's exports and the naming of routines (symbolize.cpp) share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/image.h"

namespace host::internal {

// The host routine bound to `dll`!`name` (the DLL name compared without case), with the
// platform's calling convention for it; NULL when the host does not provide it. Only an i386 host
// provides any (image_exports_x86.cpp).
const void* FindImageExport(const std::string& dll, const std::string& name);

// While a program is loaded on this thread (program_loader.cpp): the binder of its imports,
// used by the loader instead of the kernel's exports.
extern thread_local host::image::ImportResolver tProgramImports;

// Loaded images, for naming routines in reports and for telling image code from host code.
void RegisterImage(const image::Image* image);
void UnregisterImage(const image::Image* image);
// The loaded image that contains `address`, or NULL.
const image::Image* FindImage(const void* address);

// A C++ symbol demangled and without its parameter list; any other name as it is.
std::string Demangle(const std::string& symbol);

// The protection of a range of an image's pages.
struct PageProtection {
  uintptr_t start;
  size_t size;
  int protection;  // PROT_*
};

// What the unload of an image's driver needs of the image (driver_code.cpp, image_loader.cpp).
struct ImageUnloadAccess {
  // The protections the image's sections ask for (the discarded ones inaccessible).
  static std::vector<PageProtection> Protections(const image::Image& image);
  // At the unload of the image's driver: every page inaccessible until the image is destroyed
  // (and after it, while the mapping is kept), a touch reported by the fault handler.
  static void Unload(image::Image& image, const std::string& driver);
};

// ~Image of an unloaded image: the mapping is handed over to be kept reserved and inaccessible
// for a while; false if it cannot be kept (the caller unmaps it).
bool KeepUnloadedMapping(const image::Image* image);

}  // namespace host::internal

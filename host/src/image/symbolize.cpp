// Names of routines for reports: the dynamic symbol table (executables link with -rdynamic),
// demangled, without the parameter list; the address where there is no symbol (static functions).
// Code of a loaded driver image is named by the image (its own symbol table, or an offset).
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "internal/core.h"
#include "host/debug.h"
#include "image_internal.h"

namespace host::internal {
namespace {

// "ns::DispatchRead(_DEVICE_OBJECT*, _IRP*)" -> "ns::DispatchRead"
std::string WithoutParameters(std::string name) {
  int depth = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '<') ++depth;
    if (c == '>') --depth;
    if (c == '(' && depth == 0 && i > 0) return name.substr(0, i);
  }
  return name;
}

}  // namespace

std::string Demangle(const std::string& symbol) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? WithoutParameters(demangled) : symbol;
  std::free(demangled);
  return name;
}

// The names of the program's own code are remembered: the kernel names the routine a request
// was allocated in, and the caller of every wait, far more often than it reports, and dladdr
// with demangling costs tens of microseconds. Nothing the program maps is ever unmapped again
// (driver images are named by the image, since another may be mapped at the same address later).
std::string Symbolize(const void* routine) {
  if (routine == nullptr) return "(no routine)";
  if (const image::Image* image = FindImage(routine)) return image->Name(routine);
  static std::mutex* cacheMutex = new std::mutex;
  static auto* cache = new std::unordered_map<const void*, std::string>;
  {
    std::lock_guard<std::mutex> lock(*cacheMutex);
    auto it = cache->find(routine);
    if (it != cache->end()) return it->second;
  }
  Dl_info info{};
  if (dladdr(routine, &info) == 0 || info.dli_sname == nullptr) {
    return Hex(reinterpret_cast<uintptr_t>(routine));  // not code with a name: not remembered
  }
  std::string name = Demangle(info.dli_sname);
  uintptr_t offset =
      reinterpret_cast<uintptr_t>(routine) - reinterpret_cast<uintptr_t>(info.dli_saddr);
  if (offset != 0) name += "+" + Hex(offset);
  std::lock_guard<std::mutex> lock(*cacheMutex);
  cache->emplace(routine, name);
  return name;
}

}  // namespace host::internal

namespace host::debug {

std::string RoutineName(const void* routine) { return internal::Symbolize(routine); }

}  // namespace host::debug

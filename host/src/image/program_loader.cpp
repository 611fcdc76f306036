// Windows programs mapped as the platform's loader maps a user-mode image: the driver loader's
// mapping, relocation and protections, with the imports bound by the caller's resolver (the
// program's kernel32.dll and advapi32.dll) instead of the kernel's exports.
#include "image_internal.h"

namespace host::internal {

thread_local host::image::ImportResolver tProgramImports = nullptr;

}  // namespace host::internal

namespace host::image {

std::unique_ptr<Image> LoadProgram(const std::string& path, ImportResolver resolve,
                                   std::string* error) {
  if (resolve == nullptr) {
    if (error) *error = path + ": no binder for the program's imports";
    return nullptr;
  }
  host::internal::tProgramImports = resolve;
  std::unique_ptr<Image> image = Load(path, error);
  host::internal::tProgramImports = nullptr;
  return image;
}

}  // namespace host::image

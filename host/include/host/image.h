// Driver images: a PE image built for the platform (x86), mapped into the host kernel and bound
// to its routines, as the platform's loader does it. The loader knows the image format and the
// kernel's exports, nothing of any particular driver.
//
// Only a 32-bit host (i386) runs an image: its records have the platform's layouts there, and
// the image's code runs natively. Every import of ntoskrnl.exe and HAL.dll is bound by name to
// the host kernel's routine, called with the platform's convention for it (stdcall; fastcall for
// the Iof*, Kf*, Kef*, Obf* and the HAL's fast-mutex routines; cdecl for DbgPrint, _snwprintf,
// memcpy, memset, ...). An image that imports a routine the host does not provide is refused,
// naming it, as the platform's loader refuses it.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host::internal {
struct ImageUnloadAccess;
}

namespace host::image {

// True when this host can run an image (i386).
bool Supported();

// Unloaded images: when the driver of an image is unloaded (host::pnp::UnloadDriver) the kernel
// makes every page of its image inaccessible, as the platform unmaps a driver's image. Any later
// touch of them — code of the driver still running returns into it, a routine of it is called,
// its data is read — faults, and the fault is reported (DriverUnloadedInUse, with the address
// and what was there); the pages are then made accessible again so the run can go on. The
// mapping stays reserved after the Image is destroyed (the most recent ones), so that the
// addresses are not reused by another mapping while something may still reach them.
//
// The fault handler is installed by the first unload of an image (and again by this call when
// another handler has replaced it since). A fault anywhere else goes to the handler that was
// installed before it (a sanitizer's, a test's) or, if there was none, ends the process as the
// signal would.
void InstallUnloadedImageFaultHandler();

class Image {
 public:
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::string& path() const { return path_; }
  const std::string& fileName() const { return fileName_; }
  // The image's entry point (the start-up stub), with DriverEntry's signature.
  PDRIVER_INITIALIZE entry() const { return entry_; }
  uintptr_t base() const { return base_; }
  size_t size() const { return size_; }
  uintptr_t preferredBase() const { return preferredBase_; }
  size_t relocations() const { return relocations_; }
  size_t imports() const { return imports_; }
  // From reading the file to the image ready to run, in microseconds.
  uint64_t loadMicroseconds() const { return loadMicroseconds_; }
  bool Contains(const void* address) const;
  // "tavrinmdm.sys!DispatchRead+0x12" from the image's symbol table when it has one, else
  // "tavrinmdm.sys+0x1234".
  std::string Name(const void* address) const;
  // Once DriverEntry has returned the platform frees the image's discardable sections: here
  // their pages become inaccessible, so that any later use of them faults. A driver loaded again
  // is a new mapping of its image, as on the platform.
  void DiscardInitSections();
  // True once the image's driver has been unloaded (its pages inaccessible).
  bool unloaded() const { return unloaded_; }

 private:
  friend std::unique_ptr<Image> Load(const std::string& path, std::string* error);
  friend struct host::internal::ImageUnloadAccess;
  Image() = default;
  struct Section {
    std::string name;
    uint32_t rva;
    uint32_t size;
    uint32_t characteristics;
  };
  struct Symbol {
    uint32_t rva;
    std::string name;
  };
  std::string path_;
  std::string fileName_;
  PDRIVER_INITIALIZE entry_ = nullptr;
  uintptr_t base_ = 0;
  size_t size_ = 0;
  size_t mapping_ = 0;
  uintptr_t preferredBase_ = 0;
  size_t relocations_ = 0;
  size_t imports_ = 0;
  uint64_t loadMicroseconds_ = 0;
  std::vector<Section> sections_;
  std::vector<Symbol> symbols_;  // by rva
  uint32_t headersSize_ = 0;
  bool initDiscarded_ = false;
  bool unloaded_ = false;
};

// Maps the image at `path` at a base other than its preferred one, applies its base relocations,
// binds its imports and protects its sections. On failure returns NULL and one line in `*error`:
// the file cannot be read, is truncated, is not an i386 PE image, has no relocations, has a
// section outside the image, imports a routine the host does not provide, ...
std::unique_ptr<Image> Load(const std::string& path, std::string* error);

// ---- User-mode programs (program_loader.cpp) --------------------------------------------------
// A program's imports: the function `dll`!`name` binds to (with the platform's convention for
// it), or NULL when there is none here.
using ImportResolver = const void* (*)(const std::string& dll, const std::string& name);

// Maps a Windows program (a PE32 i386 image, the console programs that ship beside the driver)
// as Load maps a driver — away from its preferred base, relocated, sections protected — but
// binds each import through `resolve` (any DLL, by name): an import it cannot bind refuses the
// program, naming it ("imports KERNEL32.dll!Foo, which the host does not provide to
// programs"). entry() is then the program's entry point (stdcall, no arguments).
std::unique_ptr<Image> LoadProgram(const std::string& path, ImportResolver resolve,
                                   std::string* error);

// ---- Kernel stack used by image code ---------------------------------------------------------
// Measured at every call the image makes into the host kernel: the distance, in bytes of image
// stack, from the frame of the routine the kernel first called on that thread (a dispatch routine,
// a completion routine, a DPC, ...) down to the call. Where the kernel calls image code again
// from inside such a call (a completion routine run by IoCompleteRequest inside a dispatch
// routine), the outer routines' stack counts too; the host kernel's own frames in between do not.
struct StackUse {
  std::string routine;  // the outermost routine: "dispatch IRP_MJ_WRITE DispatchWrite"
  uint32_t deepest = 0;  // bytes
  std::string path;      // the image routines and the kernel service at the deepest point
  uint64_t calls = 0;    // kernel calls measured under this routine
};
// One entry per outermost routine, deepest first.
std::vector<StackUse> StackUses();
void ResetStackUses();

}  // namespace host::image

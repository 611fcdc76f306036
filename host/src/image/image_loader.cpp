// The image loader: maps a PE image built for the platform (i386, PE32) as the platform's loader
// maps a driver — sections at their virtual addresses, base relocations applied, imports bound by
// name — and names the image's routines for reports.
//
// Every structure is read from the file through bounds-checked copies: a damaged file gets one
// clear error, never a read outside the buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "internal/core.h"
#include "image_internal.h"

namespace host::image {
namespace {

using host::internal::Hex;

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseReloc = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kImportByOrdinal = 0x80000000;

// A failed load: the message is the one line the caller gets.
struct LoadError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw LoadError{message}; }

// Bounds-checked reads from a byte range (the file, or the mapped image).
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size, const char* what) : data_(data), size_(size), what_(what) {}
  template <typename T>
  T Read(uint64_t offset, const char* field) const {
    T value;
    if (offset > size_ || sizeof(T) > size_ - offset) {
      Fail(std::string("truncated: ") + field + " at " + Hex(offset) + " lies beyond the " +
           what_ + " (" + std::to_string(size_) + " bytes)");
    }
    std::memcpy(&value, data_ + offset, sizeof(T));
    return value;
  }
  // A NUL-terminated name that must end inside the range.
  std::string Name(uint64_t offset, const char* field) const {
    if (offset >= size_) Fail(std::string(field) + " at " + Hex(offset) + " lies outside the " + what_);
    const uint8_t* start = data_ + offset;
    const void* end = std::memchr(start, 0, size_ - offset);
    if (end == nullptr) Fail(std::string(field) + " at " + Hex(offset) + " is not terminated");
    return std::string(reinterpret_cast<const char*>(start), static_cast<const uint8_t*>(end) - start);
  }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  const char* what_;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// "_DispatchRead@8" -> "DispatchRead"; "__Z12DispatchReadP14_DEVICE_OBJECTP4_IRP@8" -> the
// demangled name without parameters.
std::string SymbolName(std::string raw) {
  size_t at = raw.rfind('@');
  if (at != std::string::npos && at > 0 && at + 1 < raw.size() &&
      raw.find_first_not_of("0123456789", at + 1) == std::string::npos) {
    raw.resize(at);
  }
  if (!raw.empty() && raw[0] == '_') raw.erase(0, 1);
  return host::internal::Demangle(raw);
}

// Never destroyed: an image may be unmapped by a static destructor after this file's would run.
std::mutex& RegistryMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<const Image*>& Registry() {
  static auto* images = new std::vector<const Image*>;
  return *images;
}

}  // namespace

bool Supported() {
#if defined(__i386__)
  return true;
#else
  return false;
#endif
}

Image::~Image() {
  host::internal::UnregisterImage(this);
  if (mapping_ == 0) return;
  // An unloaded image's pages stay reserved (and inaccessible) for a while.
  if (!unloaded_ || !host::internal::KeepUnloadedMapping(this)) {
    munmap(reinterpret_cast<void*>(base_), mapping_);
  }
}

bool Image::Contains(const void* address) const {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  return a >= base_ && a - base_ < size_;
}

std::string Image::Name(const void* address) const {
  uint32_t rva = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - base_);
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](uint32_t r, const Symbol& s) { return r < s.rva; });
  if (after != symbols_.begin()) {
    const Symbol& symbol = *std::prev(after);
    std::string name = fileName_ + "!" + symbol.name;
    if (rva != symbol.rva) name += "+" + Hex(rva - symbol.rva);
    return name;
  }
  return fileName_ + "+" + Hex(rva);
}

void Image::DiscardInitSections() {
  initDiscarded_ = true;
  for (const Section& section : sections_) {
    if ((section.characteristics & kScnDiscardable) == 0 || section.size == 0) continue;
    // Sections start on a page of their own (the section alignment is a page or more), and the
    // rest of the section's last page is the section's too.
    uintptr_t start = base_ + section.rva;
    uintptr_t end = (base_ + section.rva + section.size + 0xFFF) & ~uintptr_t{0xFFF};
    mprotect(reinterpret_cast<void*>(start), end - start, PROT_NONE);
  }
}

std::unique_ptr<Image> Load(const std::string& path, std::string* error) {
  auto started = std::chrono::steady_clock::now();
  std::unique_ptr<Image> image(new Image());
  image->path_ = path;
  size_t slash = path.find_last_of('/');
  image->fileName_ = slash == std::string::npos ? path : path.substr(slash + 1);
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot be read");
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes file(data.data(), data.size(), "file");

    // ---- Headers ------------------------------------------------------------------------------
    if (file.Read<uint16_t>(0, "DOS header") != 0x5A4D) Fail("not a PE image (no MZ signature)");
    uint32_t pe = file.Read<uint32_t>(0x3C, "PE header offset");
    if (file.Read<uint32_t>(pe, "PE signature") != 0x00004550) Fail("not a PE image (no PE signature)");
    uint64_t coff = pe + 4;
    uint16_t machine = file.Read<uint16_t>(coff, "machine");
    if (machine != kMachineI386) Fail("wrong machine " + Hex(machine) + ": not an i386 image");
    uint16_t sectionCount = file.Read<uint16_t>(coff + 2, "section count");
    uint32_t symbolTable = file.Read<uint32_t>(coff + 8, "symbol table offset");
    uint32_t symbolCount = file.Read<uint32_t>(coff + 12, "symbol count");
    uint16_t optionalSize = file.Read<uint16_t>(coff + 16, "optional header size");
    uint16_t characteristics = file.Read<uint16_t>(coff + 18, "characteristics");
    uint64_t opt = coff + 20;
    if (file.Read<uint16_t>(opt, "optional header magic") != kOptionalMagicPe32) {
      Fail("not a PE32 image (optional header magic " + Hex(file.Read<uint16_t>(opt, "magic")) + ")");
    }
    uint32_t entryRva = file.Read<uint32_t>(opt + 16, "entry point");
    uint32_t preferred = file.Read<uint32_t>(opt + 28, "image base");
    uint32_t sectionAlignment = file.Read<uint32_t>(opt + 32, "section alignment");
    uint32_t imageSize = file.Read<uint32_t>(opt + 56, "image size");
    uint32_t headersSize = file.Read<uint32_t>(opt + 60, "headers size");
    uint32_t directoryCount = file.Read<uint32_t>(opt + 92, "directory count");
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
      *rva = *size = 0;
      if (index >= directoryCount || 96 + 8 * (index + 1) > optionalSize) return;
      *rva = file.Read<uint32_t>(opt + 96 + 8 * index, "data directory");
      *size = file.Read<uint32_t>(opt + 100 + 8 * index, "data directory");
    };
    if (sectionAlignment < 0x1000 || (sectionAlignment & (sectionAlignment - 1)) != 0) {
      Fail("section alignment " + Hex(sectionAlignment) + " is not a power of two of a page or more");
    }
    if (imageSize == 0 || imageSize > (256u << 20)) Fail("image size " + Hex(imageSize) + " out of range");
    if (headersSize > imageSize || headersSize > data.size()) {
      Fail("truncated: the headers (" + std::to_string(headersSize) + " bytes) do not fit");
    }
    if (entryRva == 0 || entryRva >= imageSize) Fail("entry point " + Hex(entryRva) + " outside the image");

    // ---- Sections -----------------------------------------------------------------------------
    uint64_t sectionTable = opt + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      uint64_t h = sectionTable + 40ull * i;
      char rawName[9] = {};
      for (int k = 0; k < 8; ++k) rawName[k] = static_cast<char>(file.Read<uint8_t>(h + k, "section name"));
      Image::Section s;
      s.name = rawName;
      uint32_t virtualSize = file.Read<uint32_t>(h + 8, "section size");
      s.rva = file.Read<uint32_t>(h + 12, "section address");
      uint32_t rawSize = file.Read<uint32_t>(h + 16, "section raw size");
      uint32_t rawOffset = file.Read<uint32_t>(h + 20, "section raw offset");
      s.characteristics = file.Read<uint32_t>(h + 36, "section flags");
      s.size = virtualSize != 0 ? virtualSize : rawSize;
      if (s.rva < headersSize || s.rva > imageSize || s.size > imageSize - s.rva) {
        Fail("section " + s.name + " (" + Hex(s.rva) + ", " + std::to_string(s.size) +
             " bytes) lies outside the image (" + std::to_string(imageSize) + " bytes)");
      }
      if (rawSize != 0 && (rawOffset > data.size() || rawSize > data.size() - rawOffset)) {
        Fail("truncated: section " + s.name + " needs file bytes up to " +
             Hex(uint64_t{rawOffset} + rawSize) + ", the file has " + std::to_string(data.size()));
      }
      image->sections_.push_back(s);
    }

    // ---- Mapping, away from the preferred base --------------------------------------------------
    size_t mapping = (imageSize + 0xFFF) & ~size_t{0xFFF};
    void* at = mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at != MAP_FAILED && reinterpret_cast<uintptr_t>(at) == preferred) {
      // Relocations must be exercised: take another place, then give the first one back.
      void* again = mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      munmap(at, mapping);
      at = again;
    }
    if (at == MAP_FAILED) Fail("cannot map " + std::to_string(mapping) + " bytes");
    image->base_ = reinterpret_cast<uintptr_t>(at);
    image->mapping_ = mapping;
    image->size_ = imageSize;
    image->preferredBase_ = preferred;
    uint8_t* base = static_cast<uint8_t*>(at);
    std::memcpy(base, data.data(), headersSize);
    image->headersSize_ = headersSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      uint64_t h = sectionTable + 40ull * i;
      uint32_t rawSize = file.Read<uint32_t>(h + 16, "section raw size");
      uint32_t rawOffset = file.Read<uint32_t>(h + 20, "section raw offset");
      const Image::Section& s = image->sections_[i];
      std::memcpy(base + s.rva, data.data() + rawOffset, std::min(rawSize, s.size));
    }
    Bytes mapped(base, imageSize, "image");

    // ---- Base relocations ----------------------------------------------------------------------
    uint32_t relocRva, relocSize;
    directory(kDirectoryBaseReloc, &relocRva, &relocSize);
    if ((characteristics & kFileRelocsStripped) != 0 || relocRva == 0 || relocSize == 0) {
      Fail("no relocations: the image can only be loaded at " + Hex(preferred));
    }
    if (relocRva > imageSize || relocSize > imageSize - relocRva) Fail("the relocations lie outside the image");
    uint32_t delta = static_cast<uint32_t>(image->base_ - preferred);
    for (uint32_t block = relocRva; block < relocRva + relocSize;) {
      uint32_t page = mapped.Read<uint32_t>(block, "relocation block");
      uint32_t blockSize = mapped.Read<uint32_t>(block + 4, "relocation block size");
      if (blockSize < 8 || blockSize > relocRva + relocSize - block) Fail("relocation block at " + Hex(block) + " is damaged");
      for (uint32_t e = block + 8; e + 2 <= block + blockSize; e += 2) {
        uint16_t entry = mapped.Read<uint16_t>(e, "relocation");
        uint16_t type = entry >> 12;
        uint32_t target = page + (entry & 0xFFF);
        if (type == kRelocAbsolute) continue;
        if (type != kRelocHighLow) Fail("relocation type " + std::to_string(type) + " at " + Hex(target) + " is not an i386 one");
        uint32_t word = mapped.Read<uint32_t>(target, "relocated word");
        word += delta;
        std::memcpy(base + target, &word, 4);
        image->relocations_++;
      }
      block += blockSize;
    }

    // ---- Imports, by name --------------------------------------------------------------------
    uint32_t importRva, importSize;
    directory(kDirectoryImport, &importRva, &importSize);
    for (uint32_t d = importRva; importRva != 0; d += 20) {
      uint32_t lookup = mapped.Read<uint32_t>(d, "import descriptor");
      uint32_t dllName = mapped.Read<uint32_t>(d + 12, "import descriptor");
      uint32_t thunks = mapped.Read<uint32_t>(d + 16, "import descriptor");
      if (dllName == 0 && thunks == 0) break;
      std::string dll = mapped.Name(dllName, "imported DLL name");
      std::string dllKey = Lower(dll);
      if (host::internal::tProgramImports == nullptr && dllKey != "ntoskrnl.exe" &&
          dllKey != "hal.dll") {
        Fail("imports from " + dll + ": a driver may import from ntoskrnl.exe and HAL.dll only");
      }
      if (lookup == 0) lookup = thunks;
      for (uint32_t k = 0;; k += 4) {
        uint32_t entry = mapped.Read<uint32_t>(lookup + k, "import lookup entry");
        if (entry == 0) break;
        if (entry & kImportByOrdinal) {
          Fail("imports ordinal " + std::to_string(entry & 0xFFFF) + " of " + dll + ": the host binds by name only");
        }
        std::string name = mapped.Name(entry + 2, "imported routine name");
        if (host::internal::tProgramImports != nullptr) {
          const void* function = host::internal::tProgramImports(dll, name);
          if (function == nullptr) {
            Fail("imports " + dll + "!" + name + ", which the host does not provide to programs");
          }
          uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(function));
          mapped.Read<uint32_t>(thunks + k, "import address entry");
          std::memcpy(base + thunks + k, &address, 4);
          image->imports_++;
          continue;
        }
        const void* routine = host::internal::FindImageExport(dll, name);
        if (routine == nullptr) {
          Fail(Supported() ? "imports " + dll + "!" + name + ", which the host kernel does not provide"
                           : "imports " + dll + "!" + name + ": an image runs on the 32-bit host only");
        }
        uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
        mapped.Read<uint32_t>(thunks + k, "import address entry");
        std::memcpy(base + thunks + k, &address, 4);
        image->imports_++;
      }
    }

    // ---- Symbols (a GNU-linked image keeps its COFF symbol table) ------------------------------
    if (symbolTable != 0 && symbolCount != 0 && symbolTable < data.size()) {
      uint64_t strings = symbolTable + 18ull * symbolCount;
      for (uint32_t i = 0; i < symbolCount && symbolTable + 18ull * (i + 1) <= data.size(); ++i) {
        uint64_t s = symbolTable + 18ull * i;
        int16_t section = file.Read<int16_t>(s + 12, "symbol");
        uint16_t type = file.Read<uint16_t>(s + 14, "symbol");
        uint8_t auxiliary = file.Read<uint8_t>(s + 17, "symbol");
        if (section > 0 && section <= sectionCount && (type & 0x30) == 0x20) {
          std::string raw;
          if (file.Read<uint32_t>(s, "symbol") == 0) {
            uint32_t offset = file.Read<uint32_t>(s + 4, "symbol");
            if (strings + offset < data.size()) raw = file.Name(strings + offset, "symbol name");
          } else {
            char shortName[9] = {};
            for (int k = 0; k < 8; ++k) shortName[k] = static_cast<char>(file.Read<uint8_t>(s + k, "symbol"));
            raw = shortName;
          }
          uint32_t value = file.Read<uint32_t>(s + 8, "symbol");
          if (!raw.empty()) image->symbols_.push_back({image->sections_[section - 1].rva + value, SymbolName(raw)});
        }
        i += auxiliary;
      }
      std::sort(image->symbols_.begin(), image->symbols_.end(),
                [](const Image::Symbol& a, const Image::Symbol& b) { return a.rva < b.rva; });
    }

    // ---- Protections, as the sections ask -----------------------------------------------------
    for (const host::internal::PageProtection& p : host::internal::ImageUnloadAccess::Protections(*image)) {
      mprotect(reinterpret_cast<void*>(p.start), p.size, p.protection);
    }
    image->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(image->base_ + entryRva);
  } catch (const LoadError& e) {
    if (error) *error = image->fileName_ + ": " + e.message;
    return nullptr;
  }
  image->loadMicroseconds_ = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started).count());
  host::internal::RegisterImage(image.get());
  return image;
}

}  // namespace host::image

namespace host::internal {

std::vector<PageProtection> ImageUnloadAccess::Protections(const image::Image& image) {
  using image::kScnCode;
  using image::kScnDiscardable;
  using image::kScnExecute;
  using image::kScnRead;
  using image::kScnWrite;
  std::vector<PageProtection> out;
  out.push_back({image.base_, (image.headersSize_ + 0xFFFu) & ~0xFFFu, PROT_READ});
  for (const image::Image::Section& s : image.sections_) {
    int protection = 0;
    if (s.characteristics & kScnRead) protection |= PROT_READ;
    if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
    if (s.characteristics & (kScnExecute | kScnCode)) protection |= PROT_EXEC | PROT_READ;
    // Sections are page-aligned in a driver image; one that shares a page keeps the union.
    if ((s.rva & 0xFFF) != 0) protection |= PROT_READ | PROT_WRITE;
    if (image.initDiscarded_ && (s.characteristics & kScnDiscardable) != 0) protection = PROT_NONE;
    uintptr_t start = image.base_ + (s.rva & ~uint32_t{0xFFF});
    uintptr_t end = (image.base_ + s.rva + s.size + 0xFFF) & ~uintptr_t{0xFFF};
    if (end > start) out.push_back({start, end - start, protection});
  }
  return out;
}

void RegisterImage(const image::Image* image) {
  std::lock_guard<std::mutex> lock(image::RegistryMutex());
  image::Registry().push_back(image);
}

void UnregisterImage(const image::Image* image) {
  std::lock_guard<std::mutex> lock(image::RegistryMutex());
  auto& images = image::Registry();
  images.erase(std::remove(images.begin(), images.end(), image), images.end());
}

const image::Image* FindImage(const void* address) {
  std::lock_guard<std::mutex> lock(image::RegistryMutex());
  for (const image::Image* image : image::Registry()) {
    if (image->Contains(address)) return image;
  }
  return nullptr;
}

}  // namespace host::internal

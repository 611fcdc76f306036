#include "binding.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>

#include "host/debug.h"
#include "tavrinmdm/entry.h"

// The parent bus driver's entry point in the host build (drivers/tavrinbus/CMakeLists.txt).
extern "C" NTSTATUS TavrinBusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace mdmhost {
namespace {

struct Selection {
  DriverBinding binding;
  uint64_t maxStack = 0;  // 0: no limit
  bool stackReport = false;
  std::vector<std::unique_ptr<host::image::Image>> mappings;  // every load's, the latest last
  std::vector<std::unique_ptr<host::image::Image>> busMappings;
};

Selection& Selected() {
  static Selection s;
  return s;
}

std::string HexAddress(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

// "_Z13DispatchCloseP14_DEVICE_OBJECTP4_IRP" -> "DispatchClose"
std::string Demangled(const std::string& symbol) {
  int status = 0;
  char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  std::string name = status == 0 && text != nullptr ? text : symbol;
  std::free(text);
  size_t paren = name.find('(');
  return paren == std::string::npos ? name : name.substr(0, paren);
}

// An image built by clang has no symbol table of its own, so reports name its routines by offset
// ("tavrinmdm.sys+0x39b0"). Where llvm-symbolizer is installed it reads the image's PDB: each such
// offset becomes the name of the routine it is in (not of a function inlined there, which is what
// the symbolizer names first otherwise).
std::string WithPdbNames(const std::string& text, const host::image::Image& image) {
  const std::string prefix = image.fileName() + "+0x";
  std::map<uint32_t, std::string> names;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
    names[static_cast<uint32_t>(std::strtoul(text.c_str() + at + prefix.size(), nullptr, 16))];
  }
  if (names.empty() || image.path().find('\'') != std::string::npos) return text;
  std::string command = "llvm-symbolizer --no-inlines --obj='" + image.path() + "'";
  for (const auto& entry : names) command += " " + HexAddress(image.preferredBase() + entry.first);
  command += " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char line[1024];
  auto next = names.begin();
  bool expectName = true;
  while (next != names.end() && std::fgets(line, sizeof(line), pipe) != nullptr) {
    std::string l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.empty()) {
      expectName = true;
      ++next;
    } else if (expectName) {
      if (l != "??") next->second = Demangled(l);
      expectName = false;
    }
  }
  pclose(pipe);
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, from)) {
    char* end = nullptr;
    uint32_t rva = static_cast<uint32_t>(std::strtoul(text.c_str() + at + prefix.size(), &end, 16));
    out += text.substr(from, at - from);
    const std::string& name = names[rva];
    out += name.empty() ? text.substr(at, end - (text.c_str() + at)) : image.fileName() + "!" + name;
    from = end - text.c_str();
  }
  return out + text.substr(from);
}

}  // namespace

PDRIVER_INITIALIZE DriverBinding::Load() const {
  if (imagePath.empty()) return DriverEntry;
  std::string error;
  std::unique_ptr<host::image::Image> image = host::image::Load(imagePath, &error);
  if (!image) throw RunError(error);
  PDRIVER_INITIALIZE entry = image->entry();
  Selected().mappings.push_back(std::move(image));
  return entry;
}

PDRIVER_INITIALIZE DriverBinding::LoadBus() const {
  if (busImagePath.empty()) return TavrinBusDriverEntry;
  std::string error;
  std::unique_ptr<host::image::Image> image = host::image::Load(busImagePath, &error);
  if (!image) throw RunError(error);
  PDRIVER_INITIALIZE entry = image->entry();
  Selected().busMappings.push_back(std::move(image));
  return entry;
}

void DriverBinding::BusLoaded() const {
  if (!busImagePath.empty()) Selected().busMappings.back()->DiscardInitSections();
}

void DriverBinding::Loaded() const {
  if (!imagePath.empty()) Selected().mappings.back()->DiscardInitSections();
}

std::string DriverBinding::Describe() const {
  if (imagePath.empty()) return "the host-compiled driver";
  const auto& image = Selected().mappings.back();
  return image->path() + " mapped at " + HexAddress(image->base()) + " (preferred " +
         HexAddress(image->preferredBase()) + "), " + std::to_string(image->relocations()) +
         " relocations, " + std::to_string(image->imports()) + " imports bound, loaded in " +
         std::to_string(image->loadMicroseconds()) + " us";
}

std::string DriverBinding::RoutineName(const void* routine) const {
  std::string name = host::debug::RoutineName(routine);
  if (imagePath.empty()) return name;
  const host::image::Image& image = *Selected().mappings.back();
  name = WithPdbNames(name, image);
  const std::string prefix = image.fileName() + "!";
  return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

void SelectDriverFromOptions(Options& options) {
  Selection& s = Selected();
  if (auto limit = options.Number("--max-stack", 1, 1u << 20)) s.maxStack = *limit;
  s.stackReport = options.Flag("--stack-report");
  s.binding.chain = options.Flag("--chain");
  if (auto bus = options.Value("--bus-image")) {
    if (!host::image::Supported()) {
      throw UsageError("--bus-image needs the 32-bit host (build/host32/tools/mdmhost)");
    }
    s.binding.chain = true;
    s.binding.busImagePath = *bus;
    s.binding.LoadBus();
  }
  auto path = options.Value("--image");
  if (!path) return;
  if (!host::image::Supported()) {
    throw UsageError("--image needs the 32-bit host (build/host32/tools/mdmhost): the image's code runs natively there");
  }
  s.binding.imagePath = *path;
  s.binding.Load();
}

const DriverBinding& SelectedDriver() { return Selected().binding; }

bool CheckImageStack(std::ostream& out) {
  const Selection& s = Selected();
  if (s.binding.imagePath.empty()) return true;
  std::vector<host::image::StackUse> uses = host::image::StackUses();
  const host::image::Image& image = *s.mappings.back();
  std::string report;
  if (s.stackReport) {
    report += "kernel stack used by " + image.fileName() + ", per routine the kernel called:\n";
    for (const auto& use : uses) {
      report += "  " + std::to_string(use.deepest) + " bytes  " + use.routine + "  (" +
                std::to_string(use.calls) + " kernel calls)\n";
    }
    if (!uses.empty()) report += "deepest: " + std::to_string(uses.front().deepest) + " bytes: " + uses.front().path + "\n";
  }
  bool within = s.maxStack == 0 || uses.empty() || uses.front().deepest <= s.maxStack;
  if (!within) {
    report += "FAIL  kernel stack: " + std::to_string(uses.front().deepest) + " bytes, more than " +
              std::to_string(s.maxStack) + ", in " + uses.front().routine + ": " + uses.front().path + "\n";
  }
  out << WithPdbNames(report, image);
  return within;
}

}  // namespace mdmhost

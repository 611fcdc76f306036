#include "binding.h"

#include <ostream>

#include "driver/entry.h"

namespace mdmhost {
namespace {

struct Selection {
  DriverBinding binding;
  uint64_t maxStack = 0;  // 0: no limit
  bool stackReport = false;
  std::vector<std::unique_ptr<host::image::Image>> mappings;  // every load's, the latest last
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

void SelectDriverFromOptions(Options& options) {
  Selection& s = Selected();
  if (auto limit = options.Number("--max-stack", 1, 1u << 20)) s.maxStack = *limit;
  s.stackReport = options.Flag("--stack-report");
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
  if (s.stackReport) {
    out << "kernel stack used by " << s.mappings.back()->fileName() << ", per routine the kernel called:\n";
    for (const auto& use : uses) {
      out << "  " << use.deepest << " bytes  " << use.routine << "  (" << use.calls << " kernel calls)\n";
    }
    if (!uses.empty()) out << "deepest: " << uses.front().deepest << " bytes: " << uses.front().path << "\n";
  }
  if (s.maxStack != 0 && !uses.empty() && uses.front().deepest > s.maxStack) {
    out << "FAIL  kernel stack: " << uses.front().deepest << " bytes, more than " << s.maxStack
        << ", in " << uses.front().routine << ": " << uses.front().path << "\n";
    return false;
  }
  return true;
}

}  // namespace mdmhost

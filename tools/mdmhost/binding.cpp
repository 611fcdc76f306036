#include "binding.h"

#include <ostream>

#include "driver/entry.h"

namespace mdmhost {
namespace {

struct Selection {
  DriverBinding binding{DriverEntry, nullptr};
  uint64_t maxStack = 0;  // 0: no limit
  bool stackReport = false;
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

std::string DriverBinding::Describe() const {
  if (!image) return "the host-compiled driver";
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
  std::string error;
  std::unique_ptr<host::image::Image> image = host::image::Load(*path, &error);
  if (!image) throw RunError(error);
  s.binding.entry = image->entry();
  s.binding.image = std::move(image);
}

const DriverBinding& SelectedDriver() { return Selected().binding; }

bool CheckImageStack(std::ostream& out) {
  const Selection& s = Selected();
  if (!s.binding.image) return true;
  std::vector<host::image::StackUse> uses = host::image::StackUses();
  if (s.stackReport) {
    out << "kernel stack used by " << s.binding.image->fileName() << ", per routine the kernel called:\n";
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

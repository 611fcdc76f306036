// The driver mdmhost runs, through one small interface: the host-compiled driver (its DriverEntry
// linked into the program) or the x86 image itself, mapped and bound by the host kernel's loader
// (--image PATH, on the 32-bit host). Nothing above this knows which one runs.
#pragma once

#include <wdk/wdk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "host/image.h"

namespace mdmhost {

struct DriverBinding {
  PDRIVER_INITIALIZE entry = nullptr;
  std::shared_ptr<host::image::Image> image;  // set for an image; keeps it mapped
  // "the host-compiled driver" or "build/x86/tavrinmdm.sys at 0x..., 62 imports, ..."
  std::string Describe() const;
};

// Reads --image PATH (and --max-stack BYTES, --stack-report for an image) from a command's options
// and selects the driver the command runs. RunError when the image cannot be loaded, with the
// loader's message; UsageError for --image on a host that cannot run images.
void SelectDriverFromOptions(Options& options);
const DriverBinding& SelectedDriver();

// For an image: prints the kernel-stack use per outermost routine when --stack-report was given,
// and checks the deepest against --max-stack. Returns false (after printing the worst path) when
// the limit was exceeded; true otherwise, and always for the host-compiled driver.
bool CheckImageStack(std::ostream& out);

}  // namespace mdmhost

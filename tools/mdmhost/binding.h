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
  std::string imagePath;  // empty: the host-compiled driver
  // The entry point to give the PnP manager: DriverEntry, or the entry point of a new mapping of
  // the image (each load of a driver maps its image afresh, with its own data, as the platform
  // does; the mappings stay until the program ends, since kernel tables may still name them).
  PDRIVER_INITIALIZE Load() const;
  // Called once the entry point has returned: the image's discardable section goes.
  void Loaded() const;
  // "the host-compiled driver" or "build/x86/tavrinmdm.sys mapped at 0x..., ... loaded in N us"
  // (the latest mapping).
  std::string Describe() const;
  // The name of one of the driver's routines: its symbol ("DispatchRead"); for an image, the name
  // its symbol table or its PDB gives, else its offset ("tavrinmdm.sys+0x39b0").
  std::string RoutineName(const void* routine) const;

  // The chain (--chain, or --bus-image PATH): the modem is plugged as the raw USB device and the
  // modem's parent bus driver (tavrinbus) stands between it and the port driver, host-compiled or
  // the x86 image at busImagePath.
  bool chain = false;
  std::string busImagePath;
  PDRIVER_INITIALIZE LoadBus() const;
  void BusLoaded() const;
};

// Reads --image PATH (and --max-stack BYTES, --stack-report for an image), --chain and
// --bus-image PATH from a command's options and selects the drivers the command runs. The image is mapped once here to check it: RunError
// when it cannot be loaded, with the loader's message; UsageError for --image on a host that
// cannot run images.
void SelectDriverFromOptions(Options& options);
const DriverBinding& SelectedDriver();

// For an image: prints the kernel-stack use per outermost routine when --stack-report was given,
// and checks the deepest against --max-stack. Returns false (after printing the worst path) when
// the limit was exceeded; true otherwise, and always for the host-compiled driver.
bool CheckImageStack(std::ostream& out);

}  // namespace mdmhost

#include "driver_locks.h"

#include "host/verifier.h"
#include "tavrinmdm/extension.h"

namespace porttest {

void DeclareDriverLocks(PDEVICE_OBJECT fdo) {
  auto* ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
  host::verifier::DeclareLock(&ext->SpinLock, "SpinLock", 20);
  host::verifier::DeclareLock(&ext->RingLock, "RingLock", 30);
  host::verifier::DeclareLock(&ext->StateLock, "StateLock", 0);
}

}  // namespace porttest

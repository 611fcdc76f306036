// The driver's lock order, declared to the verifier for a device the driver added.
#pragma once

#include <wdk/wdk.h>

namespace porttest {

// Declares the extension's spin locks in the order the driver keeps: the cancel spin lock (10)
// before SpinLock (20) before RingLock (30); StateLock is always taken alone.
void DeclareDriverLocks(PDEVICE_OBJECT fdo);

}  // namespace porttest

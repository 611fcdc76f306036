// What only the I/O manager's own files (io/) share; the rest of the I/O half sees internal/io.h.
#pragma once

#include <memory>

#include "internal/io.h"

namespace host::internal {

// ---- Devices (io/device_object.cpp) ------------------------------------------------------------
// Open-file and object references that keep a deleted device's memory (IopLock not held).
void IopReferenceDevice(PDEVICE_OBJECT device);
// Frees every device object still allocated (session end).
void IopFreeAllDevices();

// ---- Requests (io/irp.cpp) --------------------------------------------------------------------
bool IopIsQuarantinedLocked(PIRP irp);  // freed by the host, memory kept
// The record of `irp`, entering a request the host never saw (a driver's own packet) as one
// initialised by the driver.
std::shared_ptr<IrpRecord> IopTrackIrp(PIRP irp);
// Frees a request the I/O manager owns (and its system buffer); the memory is kept poisoned a
// while so that a late use is reported instead of corrupting the heap.
void IopReleaseIrp(const std::shared_ptr<IrpRecord>& record);

// ---- Call and completion (io/call_complete.cpp) ----------------------------------------------
// The I/O manager's final stage after the completion left the top location.
void IopCompleteAtTop(const std::shared_ptr<IrpRecord>& record, PIRP irp);

// ---- Remove locks (io/remove_lock.cpp) --------------------------------------------------------
// Holds left on remove locks inside [base, base + size) are reported (RemoveLockHeldAtDelete)
// and the locks forgotten.
void IopRemoveLockCheckRange(const void* base, size_t size, const char* what);

// ---- Driver objects (io/driver_object.cpp) ----------------------------------------------------
bool IopIsDriverObject(PVOID object);

}  // namespace host::internal

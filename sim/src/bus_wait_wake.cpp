// A wait-wake the bus driver keeps pending at the PDO, as a bus driver whose device can wake the
// system does ("Handling a Wait/Wake IRP in a Bus Driver"): one at a time (a second fails with
// STATUS_DEVICE_BUSY), pending with a cancel routine, completed when the device signals wake,
// cancelled by its sender, or completed with STATUS_NO_SUCH_DEVICE when the PDO is removed.
// PoStartNextPowerIrp is called before the request is left pending.
#include "sim/bus.h"

namespace sim {

void BusDevice::HoldWaitWake(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  holdWaitWake_ = hold;
}

bool BusDevice::WaitWakePending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waitWake_ != nullptr;
}

NTSTATUS BusDevice::PendWaitWake(PIRP irp) {
  PoStartNextPowerIrp(irp);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waitWake_ == nullptr) {
      waitWake_ = irp;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, &BusDevice::CancelWaitWake);
      if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr) return STATUS_PENDING;
      // Cancelled before the routine was set: complete it here.
      waitWake_ = nullptr;
      irp->IoStatus.Status = STATUS_CANCELLED;
    } else {
      irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    }
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

bool BusDevice::ReleaseWaitWake(NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    irp = waitWake_;
    if (irp == nullptr) return false;
    // The cancel routine already running owns it.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    waitWake_ = nullptr;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

VOID NTAPI BusDevice::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusDevice* self = UsbBus::FromPdo(device);
  if (self != nullptr) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->waitWake_ == irp) self->waitWake_ = nullptr;
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace sim

// Cancel: the I/O manager's cancel spin lock and IoCancelIrp.
//
// IoCancelIrp takes the cancel spin lock, sets Cancel and takes the cancel routine away by an
// atomic exchange. With a routine, it stores the IRQL to return to in CancelIrql and calls the
// routine with the lock held; the routine must release it (IoReleaseCancelSpinLock with
// CancelIrql). Without one, it releases the lock and returns FALSE: whoever owns the request sees
// Cancel when it next looks.
//
// The routine's frame is opened before the lock is taken, so that the frame's checks (the IRQL
// and the locks on return) compare with the caller's state: a routine that returns holding the
// cancel spin lock is reported (SpinLockMisuse) and the lock is released for it.
#include "internal/routine_call.h"
#include "iop.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

bool HoldsCancelSpinLock() {
  for (const HeldLock& held : CurrentThread().heldLocks) {
    if (held.lock == CancelSpinLock()) return true;
  }
  return false;
}

}  // namespace

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(CancelSpinLock(), Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(CancelSpinLock(), Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  HostSwitchPoint("IoCancelIrp");
  if (TraceOn()) Trace("IoCancelIrp(%s)", DescribeIrp(Irp).c_str());
  IopCheckIrql("IoCancelIrp", DISPATCH_LEVEL);
  bool freed;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    freed = !IopFindIrpLocked(Irp) && IopIsQuarantinedLocked(Irp);
  }
  if (freed) {
    Report(Rule::IrpFreedInUse, "IoCancelIrp of request " + IopHex(Irp) + ", which was already freed");
    return FALSE;
  }
  Frame frame;
  frame.kind = Frame::Cancel;
  frame.irp = Irp;
  FrameScope scope(frame);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Written under the cancel spin lock; owners read it without (see IofCompleteRequest).
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    KeBugCheckEx(0x48 /* CANCEL_STATE_IN_COMPLETED_IRP */, reinterpret_cast<ULONG_PTR>(Irp),
                 reinterpret_cast<ULONG_PTR>(routine), 0, 0);
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  Frame& current = CurrentThread().frames.back();
  current.routine = reinterpret_cast<const void*>(routine);
  current.device = device;
  CallRoutine(routine, device, Irp);
  if (HoldsCancelSpinLock()) {
    Report(Rule::SpinLockMisuse, "cancel routine " + Symbolize(reinterpret_cast<const void*>(routine)) +
                                     " returned holding the cancel spin lock (it must release it "
                                     "with IoReleaseCancelSpinLock(Irp->CancelIrql))");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

}  // extern "C"

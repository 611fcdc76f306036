// IofCallDriver and IofCompleteRequest: passing a request down a stack and completing it back
// up, with the I/O manager's final stage for the requests it owns.
//
// IofCompleteRequest walks the stack locations upward exactly as the platform does. For each
// location, from the completing driver's to the top:
//   PendingReturned = the location's SL_PENDING_RETURNED; the location moves up (the routine
//   sees the request at its own driver's location); the location below is cleared; if the
//   location has a completion routine whose invoke flag matches (success, error, or Cancel set),
//   it runs with the device object of the location above (NULL above the top location) and may
//   stop the walk with STATUS_MORE_PROCESSING_REQUIRED (the request is its driver's again);
//   otherwise PendingReturned marks the location above pending.
// When the walk leaves the top location the request is finished: CurrentLocation ends at
// StackCount + 2, so that a second IofCompleteRequest is recognised as the platform does.
//
// The I/O manager's final stage:
//  - IoBuildDeviceIoControlRequest, a thread's request: METHOD_BUFFERED output copied back
//    (Information bytes, never more than the output buffer: InformationTooLarge), *UserIosb and
//    UserEvent set, the request and its system buffer freed, all in a special kernel APC queued
//    to the thread that built it (Irp->Tail.Overlay.Thread), which runs it when it can take
//    kernel APCs: at once if the completer is that thread at PASSIVE_LEVEL, otherwise when it
//    waits or comes back to PASSIVE_LEVEL (ke/thread.cpp). As on the platform, a request that
//    fails (NT_ERROR) without having been pending gets no APC, neither the status block nor the
//    event: it is freed here and the caller has the status from IoCallDriver.
//  - the host's requests: the same copy-back, then the sender's completion hook, then the request
//    is freed (its record stays until the dispatch routine has returned, for the dispatch check).
//  - a request the driver allocated that reaches the top without a routine returning
//    STATUS_MORE_PROCESSING_REQUIRED would be taken for a thread's request on the platform and
//    crash it: reported (Rule::BugCheck) and left to the driver.
#include "internal/routine_call.h"
#include "iop.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

std::string HeldLocksDescription() {
  const ThreadState& t = CurrentThread();
  std::string text;
  for (const HeldLock& held : t.heldLocks) {
    if (!text.empty()) text += ", ";
    text += held.cancelSpinLock ? std::string("the cancel spin lock") : "spin lock " + IopHex(held.lock);
  }
  return text;
}

// The platform clears the location it leaves (the completion routine and its context stay).
void ClearLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control = 0;
  location->Parameters.Others.Argument1 = nullptr;
  location->Parameters.Others.Argument2 = nullptr;
  location->Parameters.Others.Argument3 = nullptr;
  location->Parameters.Others.Argument4 = nullptr;
  location->FileObject = nullptr;
}

// IopLock held. The completion routine at `location` (index CurrentLocation) is the sender's,
// unless the same routine is already recorded there: a driver that skipped its own location
// passes on the routine the driver above it set.
void NoteRoutineOwnerLocked(IrpRecord& record, PIRP irp, PIO_STACK_LOCATION location,
                            PDRIVER_OBJECT sender) {
  const size_t index = static_cast<size_t>(irp->CurrentLocation);
  if (record.routineOwners.size() <= index) record.routineOwners.resize(index + 1);
  IrpRecord::RoutineOwner& owner = record.routineOwners[index];
  const void* routine = reinterpret_cast<const void*>(location->CompletionRoutine);
  // A routine set by no driver (sent by a test or the host itself) stays no driver's when a
  // driver that skips its location passes it on.
  if (routine != nullptr && owner.noted && owner.routine == routine) return;
  owner.routine = routine;
  owner.driver = sender;
  owner.noted = true;
}

// IopLock held. The driver a completion routine found at location `index` belongs to, if known.
PDRIVER_OBJECT RoutineOwnerLocked(const IrpRecord& record, size_t index, const void* routine) {
  if (index >= record.routineOwners.size()) return nullptr;
  const IrpRecord::RoutineOwner& owner = record.routineOwners[index];
  return owner.routine == routine ? owner.driver : nullptr;
}

inline bool NtError(NTSTATUS status) { return static_cast<ULONG>(status) >> 30 == 3; }

void CopyBack(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
  if (!record->copyBackOutput || NtError(irp->IoStatus.Status)) return;
  ULONG_PTR length = irp->IoStatus.Information;
  if (length > record->outputLength) {
    Report(Rule::InformationTooLarge,
           "request " + IopHex(irp) + " completed with Information " + std::to_string(length) +
               " for an output buffer of " + std::to_string(record->outputLength) +
               " bytes; only the buffer's size is copied back");
    length = record->outputLength;
  }
  // A host request without a user output takes its result from the system buffer itself.
  if (length != 0 && record->systemBuffer != nullptr && record->userOutput != nullptr) {
    memcpy(record->userOutput, record->systemBuffer, length);
  }
}

}  // namespace

namespace host::internal {

NTSTATUS IopCallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo) {
  const char* service = viaPo ? "PoCallDriver" : "IofCallDriver";
  HostSwitchPoint(service);
  ThreadState& t = CurrentThread();
  if (TraceOn()) Trace("%s(%s, %s)", service, DescribeDevice(device).c_str(), DescribeIrp(irp).c_str());
  std::shared_ptr<IrpRecord> record;
  bool freed;
  bool liveDevice;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record = IopFindIrpLocked(irp);
    freed = !record && IopIsQuarantinedLocked(irp);
    liveDevice = IopIsLiveDeviceLocked(device);
  }
  if (freed) {
    Report(Rule::IrpFreedInUse, std::string(service) + " of request " + IopHex(irp) +
                                    ", which was already freed (completed or IoFreeIrp)");
    return STATUS_INVALID_PARAMETER;
  }
  if (!liveDevice) {
    Report(Rule::DeviceMisuse, std::string(service) + " of " + DescribeIrp(irp) + " to " +
                                   IopHex(device) + ", which is not a device object");
    return STATUS_INVALID_PARAMETER;
  }
  if (t.irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, std::string(service) + " at IRQL " + std::to_string(t.irql) +
                                 " (above DISPATCH_LEVEL)");
  }
  if (!t.heldLocks.empty()) {
    Report(Rule::SentWithSpinLockHeld, std::string(service) + " of " + DescribeIrp(irp) +
                                           " to " + DescribeDevice(device) + " while holding " +
                                           HeldLocksDescription());
  }
  if (irp->CurrentLocation <= 1) {
    KeBugCheckEx(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0);
  }
  // A request the host never saw (a packet the driver built itself) is tracked from here on.
  if (!record) record = IopTrackIrp(irp);
  if (IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    IopPowerSending(record, irp, device, viaPo);
  }
  PDRIVER_OBJECT sender = ChargedDriver();
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = device;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    NoteRoutineOwnerLocked(*record, irp, location, sender);
    record->inFlight = true;
    record->completable = true;
    record->sendGeneration++;
    record->viaPoCallDriver = viaPo;
  }
  const UCHAR major = location->MajorFunction;
  PDRIVER_DISPATCH routine = major <= IRP_MJ_MAXIMUM_FUNCTION
                                 ? device->DriverObject->MajorFunction[major]
                                 : nullptr;
  Frame frame;
  frame.kind = Frame::Dispatch;
  frame.routine = reinterpret_cast<const void*>(routine);
  frame.device = device;
  frame.irp = irp;
  frame.major = major;
  frame.minor = location->MinorFunction;
  NTSTATUS status;
  {
    FrameScope scope(frame);
    if (routine != nullptr) {
      status = CallRoutine(routine, device, irp);
    } else {
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      status = STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  // The request may be gone by now: only its address is used below.
  if (TraceOn()) Trace("%s(%s, IRP %s) -> %s", service, DescribeDevice(device).c_str(), IopHex(irp).c_str(), IopStatusText(status).c_str());
  return status;
}

void IopCompleteAtTop(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
  switch (record->origin) {
    case IrpOrigin::Allocated:
    case IrpOrigin::DriverInitialized: {
      {
        std::lock_guard<NoSwitchMutex> lock(IopLock());
        record->faultReported = true;
      }
      Report(Rule::BugCheck,
             "request " + IopHex(irp) + " (" +
                 (record->origin == IrpOrigin::Allocated ? "IoAllocateIrp" : "IoInitializeIrp") +
                 (record->allocatedBy.empty() ? std::string() : " by " + record->allocatedBy) +
                 ") was completed past its top stack location: the driver that allocated it "
                 "must stop the completion with STATUS_MORE_PROCESSING_REQUIRED (the platform "
                 "would take it for a thread's request and crash)");
      return;
    }
    case IrpOrigin::BuiltIoctl: {
      void* thread = irp->Tail.Overlay.Thread;
      if (NtError(irp->IoStatus.Status) && !irp->PendingReturned) {
        ForgetThreadRequest(thread, irp);
        IopReleaseIrp(record);
        return;
      }
      QueueThreadRequestApc(thread, irp, [record, irp] {
        CopyBack(record, irp);
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
        IopReleaseIrp(record);
      });
      return;
    }
    case IrpOrigin::Host: {
      CopyBack(record, irp);
      record->topPendingReturned = irp->PendingReturned != FALSE;
      if (record->host->request) IopRequestCompleted(record->host->request, irp);
      if (record->host->completed) record->host->completed(irp);
      bool finalize;
      {
        std::lock_guard<NoSwitchMutex> lock(IopLock());
        record->completedAtTop = true;
        record->completedStatus = irp->IoStatus.Status;
        finalize = record->dispatchReturned;
      }
      // The platform may free the request from here on, whether or not its dispatch routine has
      // returned.
      IopReleaseHostIrp(record);
      if (finalize) IopFinalizeHostIrp(record);
      return;
    }
  }
}

}  // namespace host::internal

extern "C" {

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IopCallDriver(DeviceObject, Irp, false);
}

// Runs at the caller's IRQL (up to DISPATCH_LEVEL); completion routines run on this thread at
// that IRQL. Takes no lock of its own while a completion routine runs.
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  HostSwitchPoint("IoCompleteRequest");
  ThreadState& t = CurrentThread();
  if (TraceOn()) {
    Trace("IofCompleteRequest(%s, status %s, information %llu)", DescribeIrp(Irp).c_str(),
          IopStatusText(Irp->IoStatus.Status).c_str(),
          static_cast<unsigned long long>(Irp->IoStatus.Information));
  }
  std::shared_ptr<IrpRecord> record;
  bool freed;
  bool twice = false;
  unsigned generation = 0;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record = IopFindIrpLocked(Irp);
    freed = !record && IopIsQuarantinedLocked(Irp);
  }
  if (freed) {
    Report(Rule::DoubleCompletion, "IoCompleteRequest of request " + IopHex(Irp) +
                                       ", which was already completed and freed");
    return;
  }
  if (!record) record = IopTrackIrp(Irp);
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    const bool duringRoutine = record->inRoutine && !record->completedDuringRoutine;
    if ((!record->completable && !duringRoutine) || Irp->CurrentLocation > Irp->StackCount + 1) {
      twice = true;
    } else {
      if (duringRoutine) record->completedDuringRoutine = true;
      record->completable = false;
      record->walking = true;
      generation = ++record->completeGeneration;
    }
  }
  if (twice) {
    Report(Rule::DoubleCompletion, "IoCompleteRequest of " + DescribeIrp(Irp) +
                                       ", which was already completed (the second completion "
                                       "is ignored)");
    return;
  }
  if (Irp->CurrentLocation <= Irp->StackCount &&
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    IopPowerCompleting(record, Irp);
  }
  if (t.irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlMisuse, "IoCompleteRequest at IRQL " + std::to_string(t.irql) +
                                 " (above DISPATCH_LEVEL)");
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Report(Rule::CompletedWithPendingStatus,
           "IoCompleteRequest of " + DescribeIrp(Irp) + " with IoStatus.Status STATUS_PENDING");
  }
  // Read as IoCancelIrp writes it, by atomic exchange (it may run on another processor).
  if (PDRIVER_CANCEL cancel = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
    Report(Rule::CompletedWithCancelRoutine,
           "IoCompleteRequest of " + DescribeIrp(Irp) + " while its cancel routine " +
               Symbolize(reinterpret_cast<const void*>(cancel)) +
               " is still set (the routine is cleared)");
    IoSetCancelRoutine(Irp, nullptr);
  }
  if (!t.heldLocks.empty()) {
    Report(Rule::CompletedWithSpinLockHeld,
           "IoCompleteRequest of " + DescribeIrp(Irp) + " while holding " + HeldLocksDescription());
  }

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction == IRP_MJ_POWER) IopPowerLeaving(record, Irp);
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    const UCHAR control = location->Control;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    const size_t locationIndex = static_cast<size_t>(Irp->CurrentLocation);
    IoSkipCurrentIrpStackLocation(Irp);
    ClearLocation(location);
    const NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
    if (!invoke) {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
      continue;
    }
    PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    unsigned sendGeneration;
    PDRIVER_OBJECT owner;
    {
      std::lock_guard<NoSwitchMutex> lock(IopLock());
      owner = RoutineOwnerLocked(*record, locationIndex, reinterpret_cast<const void*>(routine));
      sendGeneration = record->sendGeneration;
      record->inRoutine = true;
      record->completedDuringRoutine = false;
    }
    Frame frame;
    frame.kind = Frame::Completion;
    frame.routine = reinterpret_cast<const void*>(routine);
    frame.device = device;
    frame.irp = Irp;
    frame.major = major;
    frame.minor = minor;
    // Charged to the driver that set the routine, not the one below that completes (a request
    // the driver allocated itself has no location of its own: the device above is NULL).
    frame.driver = owner;
    NTSTATUS result;
    {
      FrameScope scope(frame);
      result = CallRoutine(routine, device, Irp, context);
    }
    bool freedByRoutine;
    bool overtaken;
    {
      std::lock_guard<NoSwitchMutex> lock(IopLock());
      freedByRoutine = record->freed;
      overtaken = record->completeGeneration != generation;
      record->inRoutine = false;
      record->completedDuringRoutine = false;
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The request is the routine's driver's again, unless the routine has already sent it
        // on or it was completed again meanwhile.
        if (!record->freed && record->completeGeneration == generation &&
            record->sendGeneration == sendGeneration) {
          record->completable = true;
          record->inFlight = false;
          record->walking = false;
        }
      }
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
    if (overtaken) {
      // The request was completed again while the routine ran, and the routine let this
      // completion go on as well: two completions of one request. The other one owns it now.
      Report(Rule::DoubleCompletion,
             "completion routine " + Symbolize(reinterpret_cast<const void*>(routine)) +
                 " returned " + IopStatusText(result) + " for request " + IopHex(Irp) +
                 " after the request had been completed again while it ran");
      return;
    }
    if (freedByRoutine) {
      Report(Rule::IrpFreedInUse,
             "completion routine " + Symbolize(reinterpret_cast<const void*>(routine)) +
                 " freed request " + IopHex(Irp) + " and returned " + IopStatusText(result) +
                 " instead of STATUS_MORE_PROCESSING_REQUIRED");
      return;
    }
  }
  // Past the top location, as the platform leaves it.
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record->walking = false;
    record->inFlight = false;
    record->finishedByIoManager = true;
  }
  IopCompleteAtTop(record, Irp);
}

}  // extern "C"

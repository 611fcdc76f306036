// Requests (IRPs): allocation, initialisation, reuse and freeing, IoBuildDeviceIoControlRequest,
// the table of requests the I/O manager knows, and the end of the requests the host itself sends.
//
// Every request the host allocates is entered in a table with its origin and state, so that the
// verifier can tell who may complete, free or reuse it:
//  - IoAllocateIrp: the allocating driver frees it (IoFreeIrp), normally in its completion
//    routine, which then returns STATUS_MORE_PROCESSING_REQUIRED. Freeing it while a lower
//    driver still has it is IrpFreedInUse; never freeing it is IrpLeak at session end.
//  - IoBuildDeviceIoControlRequest: the I/O manager frees it when its completion leaves the top
//    location; IoFreeIrp by a driver is IrpFreedInUse.
//  - IoInitializeIrp on the driver's own memory: tracked until that memory is freed.
//  - The host's own requests (application side, PnP and power managers): freed as soon as their
//    completion has left the top location, as the platform's I/O manager may free them there
//    (the final stage of a thread's request runs as soon as the issuing thread can take it,
//    which is at once when that thread completes it; a power request's completion routine frees
//    it). The record stays until the dispatch routine has returned too, for the dispatch check.
// A freed request's memory is kept for a while (a quarantine), so that a late IoCompleteRequest,
// IoCallDriver, IoCancelIrp or IoFreeIrp on it is reported as the fault it is instead of touching
// freed memory. Requests live on guarded pages (verifier/guarded_pages.cpp) where one fits: a
// freed request's page is protected, and any touch of it (reading IoStatus after
// IoCompleteRequest or IoCallDriver, say) is reported as RequestUsedAfterRelease with the
// instruction's routine. A request that does not fit a page comes from the heap and is only
// poisoned under AddressSanitizer.
#include <deque>
#include <set>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define IOP_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define IOP_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define IOP_POISON(p, n) ((void)(p), (void)(n))
#define IOP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "internal/host_request.h"
#include "iop.h"

using namespace host::internal;
using host::verifier::Rule;

namespace {

const size_t kQuarantine = 1024;

// Guarded by IopLock().
struct IrpTable {
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live;
  std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> freed;
  std::deque<PIRP> freedOrder;
  // Requests initialised in a driver's own memory, by address: every free looks for those
  // inside the freed range (a superset: entries whose record went are dropped when met).
  std::set<PIRP> initialized;
};
IrpTable& T() {
  static auto* t = new IrpTable;
  return *t;
}

// The fields IoInitializeIrp sets; everything else is zero.
void InitializePacket(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  memset(irp, 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ResetState(IrpRecord& r) {
  r.completable = true;
  r.inFlight = false;
  r.walking = false;
  r.finishedByIoManager = false;
  r.completedAtTop = false;
  r.faultReported = false;
}

void* AllocateIrpMemory(size_t size) {
  void* p = GuardAllocate(size);
  return p != nullptr ? p : IopSystemAllocate(size, "IRP");
}

void FreeIrpMemory(PIRP irp) {
  if (irp == nullptr) return;
  if (IsGuarded(irp)) {
    GuardFree(irp);
  } else {
    IopSystemFree(irp);
  }
}

// IopLock held. Moves a record from the live table to the quarantine; returns a request whose
// memory is now really released (or NULL).
PIRP QuarantineLocked(const std::shared_ptr<IrpRecord>& record) {
  record->freed = true;
  T().live.erase(record->irp);
  T().freed[record->irp] = record;
  T().freedOrder.push_back(record->irp);
  if (IsGuarded(record->irp)) {
    GuardRelease(record->irp);
  } else {
    IOP_POISON(record->irp, record->size);
  }
  if (T().freedOrder.size() <= kQuarantine) return nullptr;
  PIRP oldest = T().freedOrder.front();
  T().freedOrder.pop_front();
  auto it = T().freed.find(oldest);
  if (it != T().freed.end()) {
    if (!IsGuarded(oldest)) IOP_UNPOISON(oldest, it->second->size);
    T().freed.erase(it);
  }
  return oldest;
}

// The part of the packet at `offset`, for a report of a late touch.
std::string IrpField(size_t offset) {
  if (offset >= offsetof(IRP, IoStatus) && offset < offsetof(IRP, IoStatus) + sizeof(IO_STATUS_BLOCK)) {
    return offset < offsetof(IRP, IoStatus) + offsetof(IO_STATUS_BLOCK, Information)
               ? "IoStatus.Status"
               : "IoStatus.Information";
  }
  if (offset >= offsetof(IRP, Tail) && offset < sizeof(IRP)) return "Tail";
  if (offset >= sizeof(IRP)) {
    return "stack location " + std::to_string((offset - sizeof(IRP)) / sizeof(IO_STACK_LOCATION) + 1);
  }
  return "offset " + std::to_string(offset);
}

const char* OriginText(IrpOrigin origin);

// GuardDescribeFn for requests.
std::string DescribeReleasedIrp(const void* base, size_t offset) {
  std::shared_ptr<IrpRecord> record;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    auto it = T().freed.find(static_cast<PIRP>(const_cast<void*>(base)));
    if (it != T().freed.end()) record = it->second;
  }
  std::string text = "request " + IopHex(base);
  if (!record) return text + " (" + IrpField(offset) + ") after it was freed";
  if (record->target) text += " (" + IopHostRequestText(*record) + ")";
  text += " " + IrpField(offset) + " after ";
  switch (record->origin) {
    case IrpOrigin::Host:
      return text + "its completion left the top stack location, where the I/O manager may "
                    "free it (read what is needed before IoCompleteRequest, or before "
                    "IoCallDriver when a lower driver may complete it)";
    case IrpOrigin::BuiltIoctl:
      return text + "its completion left the top stack location and the I/O manager freed it";
    default:
      return text + "it was freed with IoFreeIrp";
  }
}

struct RegisterDescriber {
  RegisterDescriber() { SetGuardDescriber(DescribeReleasedIrp); }
};
RegisterDescriber gRegisterDescriber;

// Driver memory holding a request initialised with IoInitializeIrp is being freed.
void FreedRangeCheck(const void* base, size_t size, const char* what) {
  std::vector<std::string> inUse;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    const auto* end = static_cast<const UCHAR*>(base) + size;
    std::set<PIRP>& initialized = T().initialized;
    for (auto it = initialized.lower_bound(static_cast<PIRP>(const_cast<void*>(base)));
         it != initialized.end() && reinterpret_cast<const UCHAR*>(*it) < end;
         it = initialized.erase(it)) {
      auto record = T().live.find(*it);
      if (record == T().live.end() || record->second->origin != IrpOrigin::DriverInitialized) continue;
      if (record->second->inFlight) {
        inUse.push_back("request " + IopHex(*it) + " in " + what +
                        " is freed while a driver still has it");
      }
      T().live.erase(record);
    }
  }
  for (const std::string& m : inUse) Report(Rule::IrpFreedInUse, m);
}

struct RegisterRangeCheck {
  RegisterRangeCheck() { AddFreedRangeCheck(FreedRangeCheck); }
};
RegisterRangeCheck gRegisterRangeCheck;

const char* OriginText(IrpOrigin origin) {
  switch (origin) {
    case IrpOrigin::Allocated: return "allocated with IoAllocateIrp";
    case IrpOrigin::DriverInitialized: return "initialised with IoInitializeIrp";
    case IrpOrigin::BuiltIoctl: return "built with IoBuildDeviceIoControlRequest";
    case IrpOrigin::Host: return "sent by the host";
  }
  return "";
}

}  // namespace

namespace host::internal {

PIRP IopAllocateIrp(CCHAR stackSize, IrpOrigin origin, bool countAsAllocation) {
  if (countAsAllocation && ShouldFailIrpAllocation()) return nullptr;
  if (stackSize < 1) stackSize = 1;
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(AllocateIrpMemory(size));
  InitializePacket(irp, size, stackSize);
  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->size = size;
  record->origin = origin;
  record->allocatedBy = IopCurrentRoutine();
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  T().live[irp] = record;
  return irp;
}

std::shared_ptr<IrpRecord> IopFindIrpLocked(PIRP irp) {
  auto it = T().live.find(irp);
  return it != T().live.end() ? it->second : nullptr;
}

std::shared_ptr<IrpRecord> IopFindIrp(PIRP irp) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  return IopFindIrpLocked(irp);
}

bool IopIsQuarantinedLocked(PIRP irp) { return T().freed.count(irp) != 0; }

std::shared_ptr<IrpRecord> IopTrackIrp(PIRP irp) {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  std::shared_ptr<IrpRecord>& record = T().live[irp];
  if (!record) {
    record = std::make_shared<IrpRecord>();
    record->irp = irp;
    record->size = irp->Size;
    record->origin = IrpOrigin::DriverInitialized;
    record->allocatedBy = IopCurrentRoutine();
    T().initialized.insert(irp);
  }
  return record;
}

void IopReleaseIrp(const std::shared_ptr<IrpRecord>& record) {
  IopSystemFree(record->systemBuffer);
  record->systemBuffer = nullptr;
  PIRP release;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    release = QuarantineLocked(record);
  }
  FreeIrpMemory(release);
}

void IopReleaseHostIrp(const std::shared_ptr<IrpRecord>& record) {
  PIRP release;
  void* buffer;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (record->freed) return;
    if (record->pins > 0) {
      record->releasePending = true;
      return;
    }
    buffer = record->systemBuffer;
    record->systemBuffer = nullptr;
    if (record->host && record->host->request) record->host->request->irp = nullptr;
    release = QuarantineLocked(record);
  }
  IopSystemFree(buffer);
  FreeIrpMemory(release);
}

NTSTATUS IopSendHostIrp(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, bool power) {
  std::shared_ptr<IrpRecord> record = IopFindIrp(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  record->major = next->MajorFunction;
  record->minor = next->MinorFunction;
  if (!record->target) record->target = IopDeviceText(device);
  NTSTATUS status = STATUS_PENDING;
  if (CurrentThread().irql == irql) {
    status = IopCallDriver(device, irp, power);
  } else {
    RunAtIrql(irql, [&] { status = IopCallDriver(device, irp, power); });
  }
  bool finalizeNow;
  bool unfinished;
  bool otherStatus;
  NTSTATUS completedStatus;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record->dispatchReturned = true;
    record->dispatchStatus = status;
    // Another thread may still be in the I/O manager's final stage: the one that finishes
    // second ends the request.
    finalizeNow = record->completedAtTop;
    unfinished = !record->finishedByIoManager && status != STATUS_PENDING;
    completedStatus = record->completedStatus;
    otherStatus = record->completedAtTop && status != STATUS_PENDING && status != completedStatus;
  }
  if (unfinished && record->host->checkDispatch) {
    Report(Rule::DispatchStatusMismatch,
           "the dispatch routine returned " + IopStatusText(status) + " for " +
               IopHostRequestText(*record) +
               " without completing it (a request that is not complete must be marked pending "
               "and STATUS_PENDING returned)");
  }
  // A caller that is not told STATUS_PENDING takes the returned status as the request's result
  // (the platform's I/O manager returns it from the system service), so the two must agree.
  if (otherStatus && record->host->checkDispatch) {
    Report(Rule::DispatchStatusMismatch,
           "the dispatch routine completed " + IopHostRequestText(*record) + " with " +
               IopStatusText(completedStatus) + " but returned " + IopStatusText(status) +
               " (a synchronous caller gets the returned status)");
  }
  if (finalizeNow) IopFinalizeHostIrp(record);
  return status;
}

void IopFinalizeHostIrp(const std::shared_ptr<IrpRecord>& record) {
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (record->finalized) return;
    record->finalized = true;
  }
  if (record->host->checkDispatch) {
    if (record->dispatchStatus == STATUS_PENDING && !record->topPendingReturned) {
      Report(Rule::DispatchStatusMismatch,
             "the dispatch routine returned STATUS_PENDING for " + IopHostRequestText(*record) +
                 " but the request was not marked pending (IoMarkIrpPending) when it completed");
    } else if (record->dispatchStatus != STATUS_PENDING && record->topPendingReturned) {
      Report(Rule::DispatchStatusMismatch,
             "the request " + IopHostRequestText(*record) +
                 " was marked pending (IoMarkIrpPending) but its dispatch routine returned " +
                 IopStatusText(record->dispatchStatus) + " instead of STATUS_PENDING");
    }
  }
  std::shared_ptr<HostIrpHooks> hooks = record->host;
  IopReleaseHostIrp(record);  // normally done at completion already
  std::shared_ptr<app::Request::State> request;
  {
    // A pinned release may still look at the handle's state on another thread.
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    request = std::move(hooks->request);
  }
  if (request) {
    // A request whose dispatch routine did not return STATUS_PENDING ends with the status the
    // routine returned, as the caller of the system service sees it.
    if (record->dispatchStatus != STATUS_PENDING) request->result.status = record->dispatchStatus;
    // The record stays a while in quarantine: it lets go of the handle's state now.
    IopRequestFinished(request);
  }
  if (hooks->finished) hooks->finished();
}

void IopIrpSessionStart() {
  std::lock_guard<NoSwitchMutex> lock(IopLock());
  for (auto& [irp, record] : T().freed) {
    if (!IsGuarded(irp)) IOP_UNPOISON(irp, record->size);
  }
  T().live.clear();
  T().freed.clear();
  T().freedOrder.clear();
  T().initialized.clear();
  GuardReset();
}

// Requests still allocated are reported (the session's pool goes with the core's own end).
void IopIrpSessionEnd() {
  std::vector<std::string> leaks;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    for (auto& [irp, record] : T().live) {
      if (record->origin == IrpOrigin::DriverInitialized || record->faultReported) continue;
      std::string text = "request " + IopHex(irp) + " " + OriginText(record->origin);
      if (!record->allocatedBy.empty()) text += " by " + record->allocatedBy;
      if (record->target) text += " (" + IopHostRequestText(*record) + ")";
      text += record->inFlight ? " was never completed" : " was never freed";
      leaks.push_back(text);
    }
    for (auto& [irp, record] : T().freed) {
      if (!IsGuarded(irp)) IOP_UNPOISON(irp, record->size);
    }
    // The hooks of a request that never ended refer to its handle, which refers to the record.
    for (auto& [irp, record] : T().live) record->host.reset();
    T().live.clear();
    T().freed.clear();
    T().freedOrder.clear();
    T().initialized.clear();
  }
  for (const std::string& leak : leaks) Report(Rule::IrpLeak, leak);
}

}  // namespace host::internal

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  HostSwitchPoint("IoAllocateIrp");
  IopCheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
  PIRP irp = IopAllocateIrp(StackSize, IrpOrigin::Allocated, true);
  if (TraceOn()) {
    Trace("IoAllocateIrp(%d, %s) -> %s", StackSize, ChargeQuota ? "TRUE" : "FALSE",
          irp != nullptr ? IopHex(irp).c_str() : "NULL (low-resources simulation)");
  }
  return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (TraceOn()) Trace("IoInitializeIrp(%s, %u, %d)", IopHex(Irp).c_str(), PacketSize, StackSize);
  bool inUse = false;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    std::shared_ptr<IrpRecord> record = IopFindIrpLocked(Irp);
    if (record) {
      inUse = record->inFlight;
      ResetState(*record);
    } else {
      record = std::make_shared<IrpRecord>();
      record->irp = Irp;
      record->size = PacketSize;
      record->origin = IrpOrigin::DriverInitialized;
      record->allocatedBy = IopCurrentRoutine();
      T().live[Irp] = record;
      T().initialized.insert(Irp);
    }
  }
  if (inUse) {
    Report(Rule::IrpFreedInUse,
           "IoInitializeIrp of request " + IopHex(Irp) + " while a driver still has it");
  }
  InitializePacket(Irp, PacketSize, StackSize);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  if (TraceOn()) Trace("IoReuseIrp(%s, %s)", IopHex(Irp).c_str(), IopStatusText(Status).c_str());
  bool inUse = false;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    if (std::shared_ptr<IrpRecord> record = IopFindIrpLocked(Irp)) {
      inUse = record->inFlight && !record->walking;
      ResetState(*record);
    }
  }
  if (inUse) {
    Report(Rule::IrpFreedInUse, "IoReuseIrp of request " + IopHex(Irp) + " while a driver still has it");
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  InitializePacket(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Status;
}

// Freeing is allowed for a request the caller allocated and that no lower driver has: before
// it is sent, after its completion came back (normally inside the completion routine, which
// must then return STATUS_MORE_PROCESSING_REQUIRED).
VOID IoFreeIrp(PIRP Irp) {
  HostSwitchPoint("IoFreeIrp");
  if (TraceOn()) Trace("IoFreeIrp(%s)", IopHex(Irp).c_str());
  IopCheckIrql("IoFreeIrp", DISPATCH_LEVEL);
  std::string fault;
  Rule rule = Rule::IrpFreedInUse;
  PIRP release = nullptr;
  std::shared_ptr<IrpRecord> record;
  {
    std::lock_guard<NoSwitchMutex> lock(IopLock());
    record = IopFindIrpLocked(Irp);
    if (!record) {
      rule = Rule::PoolMisuse;
      fault = IopIsQuarantinedLocked(Irp)
                  ? "IoFreeIrp of request " + IopHex(Irp) + ", which was already freed"
                  : "IoFreeIrp of " + IopHex(Irp) + ", which is not a request the I/O manager allocated";
    } else if (record->origin == IrpOrigin::BuiltIoctl || record->origin == IrpOrigin::Host) {
      fault = "IoFreeIrp of request " + IopHex(Irp) + " " + OriginText(record->origin) +
              ": the I/O manager frees it when it completes";
    } else if (record->origin == IrpOrigin::DriverInitialized) {
      rule = Rule::PoolMisuse;
      fault = "IoFreeIrp of request " + IopHex(Irp) +
              ", which the driver initialised in its own memory (free that memory instead)";
    } else if (record->inFlight && !record->walking) {
      fault = "IoFreeIrp of request " + IopHex(Irp) +
              " while a lower driver still has it (it was sent and has not completed)";
    } else {
      release = QuarantineLocked(record);
    }
  }
  if (!fault.empty()) {
    Report(rule, fault);
    return;
  }
  FreeIrpMemory(release);
}

// The request belongs to the I/O manager: buffers as the control code's method asks, one stack
// location per location of the target's stack, the next location prepared, freed at completion.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  HostSwitchPoint("IoBuildDeviceIoControlRequest");
  IopCheckIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
  PIRP irp = nullptr;
  if (!IopIsLiveDevice(DeviceObject)) {
    Report(Rule::DeviceMisuse, "IoBuildDeviceIoControlRequest for " + IopHex(DeviceObject) +
                                   ", which is not a device object");
  } else {
    irp = IopAllocateIrp(DeviceObject->StackSize, IrpOrigin::BuiltIoctl, true);
  }
  if (irp != nullptr) {
    std::shared_ptr<IrpRecord> record = IopFindIrp(irp);
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    // A thread's request: its final stage runs as a kernel APC to this thread (call_complete.cpp).
    irp->Tail.Overlay.Thread = NoteThreadRequest(irp, Event, __builtin_return_address(0));
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
      case METHOD_BUFFERED: {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
          record->systemBuffer = IopSystemAllocate(length, "system buffer");
          if (InputBuffer != nullptr && InputBufferLength != 0) {
            memcpy(record->systemBuffer, InputBuffer, InputBufferLength);
          }
          irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
          irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
          if (OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        record->userOutput = OutputBuffer;
        record->outputLength = OutputBufferLength;
        record->copyBackOutput = OutputBufferLength != 0 && OutputBuffer != nullptr;
        break;
      }
      case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
      default:
        // Direct I/O: the input is buffered; the host has no MDLs, so the output buffer is
        // passed as UserBuffer.
        if (InputBuffer != nullptr && InputBufferLength != 0) {
          record->systemBuffer = IopSystemAllocate(InputBufferLength, "system buffer");
          memcpy(record->systemBuffer, InputBuffer, InputBufferLength);
          irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
          irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
  }
  if (TraceOn()) {
    // A NULL for a live device comes from the low-resources simulation.
    std::string result = irp != nullptr ? IopHex(irp)
                         : IopIsLiveDevice(DeviceObject) ? "NULL (low-resources simulation)"
                                                         : "NULL";
    Trace("IoBuildDeviceIoControlRequest(0x%x, %s, in %u, out %u, %s) -> %s", IoControlCode,
          DescribeDevice(DeviceObject).c_str(), InputBufferLength, OutputBufferLength,
          InternalDeviceIoControl ? "internal" : "external", result.c_str());
  }
  return irp;
}

}  // extern "C"

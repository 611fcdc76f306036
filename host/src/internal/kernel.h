// Internal interfaces shared by the host kernel's own files (never included by drivers, the
// simulated device side or tests).
//
// The kernel is split in two halves that meet here:
//  - the executive and kernel core (threads and IRQL, the scheduler of both modes, spin locks,
//    dispatcher objects and waits, fast mutexes, timers and DPCs, work items, pool, time,
//    debugger output, the service trace and the verifier's reporting machinery);
//  - the I/O manager and its neighbours (driver and device objects, requests, completion,
//    cancel, remove locks, object namespace, device interfaces, registry, counted strings,
//    power manager, PnP manager, application-side requests).
// The I/O half uses only what this header declares of the core.
#pragma once

#include <wdk/wdk.h>

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/schedule.h"
#include "host/verifier.h"

namespace host::internal {

using host::NoSwitchMutex;

// ---------------------------------------------------------------------------------------------
// Threads, IRQL and the routines running on a thread
// ---------------------------------------------------------------------------------------------

// A routine the kernel called into: what it is, for which device and request. Reports name the
// innermost frames.
struct Frame {
  enum Kind {
    DriverEntry,
    DriverUnload,
    AddDevice,
    Dispatch,
    Completion,
    Cancel,
    Dpc,
    WorkItem,
    PowerCompletion,
    Other
  };
  Kind kind = Other;
  const void* routine = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PIRP irp = nullptr;
  UCHAR major = 0xFF;
  UCHAR minor = 0xFF;
  // The driver the routine belongs to. Pool allocated inside the frame is charged to it (for the
  // leak check at unload). When NULL the device's DriverObject is used; set it where the device
  // is not the driver's own (DriverEntry, AddDevice with the PDO, DriverUnload).
  PDRIVER_OBJECT driver = nullptr;
};

struct HeldLock {
  const void* lock;
  KIRQL previousIrql;
  bool cancelSpinLock;
};

// A special kernel APC queued to a thread: the final stage of a request the thread built.
struct KernelApc {
  const void* irp = nullptr;
  std::function<void()> run;
};

// A request the thread built whose final stage has not run yet (IoBuildDeviceIoControlRequest).
struct ThreadRequest {
  const void* irp = nullptr;
  const void* event = nullptr;      // the caller's event, set by the final stage
  const void* builtBy = nullptr;    // the code that called IoBuildDeviceIoControlRequest
  const void* builtIn = nullptr;    // the innermost driver routine it was called in
  bool completed = false;           // its final stage is queued
  const void* completedIn = nullptr;  // the innermost driver routine that completed it
  std::string completer;            // the thread that completed it
};

struct ThreadState {
  std::string name;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<HeldLock> heldLocks;  // in the order taken
  std::vector<Frame> frames;        // innermost last; pushed and popped under framesMutex
  std::vector<const void*> heldFastMutexes;
  // Guarded by the dispatcher lock (ke/thread.cpp): kernel APCs queued to the thread and not
  // yet run, and the requests it built whose final stage has not run.
  std::deque<KernelApc> kernelApcs;
  std::vector<ThreadRequest> threadRequests;
  // Taken by FrameScope around a push or pop and by readers on other threads (the unload
  // check); the owning thread reads (and IoCancelIrp fills in) its own frames without it.
  std::mutex framesMutex;
};

// The calling thread's state (registered on first use).
ThreadState& CurrentThread();

// Pushes a frame for the duration of a call into a driver routine. On exit checks that the
// routine returned at the IRQL it was called at and released every spin lock it took
// (verifier: IrqlMisuse / SpinLockMisuse), then pops the frame.
class FrameScope {
 public:
  explicit FrameScope(const Frame& frame);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  KIRQL irql_;
  size_t locks_;
};

// Runs `fn` at `irql` on the calling thread (raising and lowering around it).
void RunAtIrql(KIRQL irql, const std::function<void()>& fn);

// Thread requests and their kernel APCs (ke/thread.cpp). On the platform a request built with
// IoBuildDeviceIoControlRequest belongs to the thread that built it (Irp->Tail.Overlay.Thread):
// its final stage (copy-back, status block, event, free) runs as a special kernel APC queued to
// that thread, which takes it only at PASSIVE_LEVEL (a fast mutex raises to APC_LEVEL and so
// disables it). A thread that waits for the request's event while it cannot take the APC waits
// forever.
//
// The calling thread built `irp` (`caller`: the code that called the service), whose final
// stage sets `event`. Returns the thread to record
// in Irp->Tail.Overlay.Thread (NULL above PASSIVE_LEVEL, where nothing may build one: the final
// stage then runs on the completer).
void* NoteThreadRequest(PIRP irp, PKEVENT event, const void* caller);
// `irp`, built by `thread`, has completed: `finalStage` is queued to the thread as a special
// kernel APC and runs when the thread can take it (at once when the caller is that thread and can
// take it now). A thread that no longer exists, or none, has it run here.
void QueueThreadRequestApc(void* thread, PIRP irp, std::function<void()> finalStage);
// `irp` ends without a final stage (it failed without ever pending): the thread forgets it.
void ForgetThreadRequest(void* thread, PIRP irp);
// Runs the kernel APCs queued to the calling thread if it can take them now (PASSIVE_LEVEL, no
// fast mutex held).
void DeliverKernelApcs();

// ---------------------------------------------------------------------------------------------
// Verifier reporting
// ---------------------------------------------------------------------------------------------

// Reports a violation: adds the thread, IRQL, held locks and frames to the details, records it
// and passes it to the capture scope or the handler.
void Report(verifier::Rule rule, const std::string& message);

// Names for reports: "IRP 0x7f.. IRP_MJ_READ to \Device\TAVRINMDM0", "DispatchRead", ...
std::string DescribeIrp(PIRP irp);
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string Symbolize(const void* routine);
const char* MajorName(UCHAR major);
const char* MinorName(UCHAR major, UCHAR minor);

// Memory about to be freed (pool, a device extension, an IRP): every armed timer, queued DPC or
// work item, held spin lock and lock declaration inside [base, base + size) is reported
// (FreedObjectInUse) or dropped as appropriate. Other parts of the kernel add their own checks
// (for example remove locks) with AddFreedRangeCheck.
void CheckFreedRange(const void* base, size_t size, const char* what);
using FreedRangeCheckFn = void (*)(const void* base, size_t size, const char* what);
void AddFreedRangeCheck(FreedRangeCheckFn check);

// Fault injection (see verifier.h). Each call counts one attempt, for everyone and for the
// driver the allocation is charged to (ChargedDriver).
bool ShouldFailPoolAllocation();
bool ShouldFailIrpAllocation();
// The driver that memory allocated now is charged to: the innermost frame's driver, else the
// driver of its device (NULL outside driver code).
PDRIVER_OBJECT ChargedDriver();
std::optional<NTSTATUS> ServiceFault(const char* service);
bool WdmVersionAvailable(UCHAR major, UCHAR minor);

// ---------------------------------------------------------------------------------------------
// Waiting and the dispatcher lock
// ---------------------------------------------------------------------------------------------

// The dispatcher lock guards the state of every waitable object (event signal states, remove
// lock counts as waited on, request completion flags) and the evaluation of wait conditions.
// It is not recursive: kernel services (KeSetEvent, ExFreePool, SystemFree, CheckFreedRange,
// queueing DPCs and work...) take it themselves, so call none of them with it held, nor from a
// WaitUntil condition.
NoSwitchMutex& DispatcherLock();

// Blocks the calling thread until `satisfied()` is true. `satisfied` is evaluated with the
// dispatcher lock held. `timeout`: relative, 100 ns units; nullopt waits forever. `what` names
// the wait in deadlock reports ("KeWaitForSingleObject on event 0x.. in IoCountDecrementAndWait").
// Deterministic mode: while not satisfied, runs whatever else is runnable (DPCs, work items,
// other cooperative threads, expired timers, the clock moved to the next timer when allowed);
// a wait that nothing can satisfy is reported as a Deadlock and returns STATUS_ABANDONED.
// Returns STATUS_SUCCESS or STATUS_TIMEOUT. Checks the IRQL rule (WaitAtDispatchLevel) itself.
// `object`: what the wait is on, when it is on one thing only (WakeWaiters' key); memory holding
// it that is freed while waited on abandons the wait (FreedObjectInUse).
NTSTATUS WaitUntil(const std::function<bool()>& satisfied, const std::string& what,
                   std::optional<int64_t> timeout, const void* object = nullptr);

// Call after changing any state that wait conditions read, without the dispatcher lock held
// (nor any lock a condition takes): in threaded mode the conditions of the blocked waiters are
// evaluated here, and only the waiters whose condition now holds are woken. With a `key`, only
// the waits made on that object (WaitUntilEx's `object`) and the waits made on none are looked
// at: the change concerned that object alone (an event set, a request finished).
void WakeWaiters(const void* key = nullptr);

// The I/O manager's cancel spin lock: the core owns the word and declares it (rank
// verifier::kCancelSpinLockRank, "cancel spin lock") at every session start, so that
// IoAcquireCancelSpinLock is KeAcquireSpinLock(CancelSpinLock(), Irql) and the lock-order check
// and reports name it.
KSPIN_LOCK* CancelSpinLock();

// ---------------------------------------------------------------------------------------------
// Deferred execution
// ---------------------------------------------------------------------------------------------

// Runs `fn` later at PASSIVE_LEVEL on a system worker thread (the power manager's own work, for
// example sending the device power request of PoRequestPowerIrp).
void QueueSystemWork(std::function<void()> fn, const std::string& what);

// Runs `fn` later at DISPATCH_LEVEL as a DPC would run.
void QueueDpcCall(std::function<void()> fn, const std::string& what);

// True in deterministic mode.
bool Deterministic();
// True when the exploring scheduler runs the session (a choice the platform leaves open is then
// the scheduler's, made at a switch point).
bool Exploring();

// ---------------------------------------------------------------------------------------------
// Driver code and its unload (image/driver_code.cpp)
// ---------------------------------------------------------------------------------------------

// Routines are attributed to the driver that hands them to the kernel: its driver object's
// routines, DPC routines initialised and work items queued inside its routines, completion
// routines called for its devices. Code of a loaded image is the image's driver's
// wherever it is handed over.
void NoteDriverCode(const void* routine, PDRIVER_OBJECT driver);
// Before DriverEntry of a driver whose code is `entry`: code of an earlier unload of the same
// code (the host-compiled driver loaded again) is reachable again.
void DriverCodeLoading(PDRIVER_INITIALIZE entry);
// After the unload routine of `driver` has returned: reports (DriverUnloadedInUse) every routine
// of the driver still on a thread's stack and every work item, DPC or timer of the driver still
// queued or set (dequeued and disarmed after the report, so that they never run); then makes
// the driver's code unreachable: an image's pages inaccessible (a later touch is a fault,
// reported), the host-compiled driver's routines reported when the kernel is about to call one.
// `ownDevice` tells the I/O half's devices of the driver (deleted devices still referenced
// included) for frames that name a device.
void UnloadDriverCode(PDRIVER_OBJECT driver, const std::string& name,
                      const std::function<bool(PDEVICE_OBJECT)>& ownDevice);
// Waits until no I/O work item (IoQueueWorkItem) on a device of `driver` is queued or running:
// the I/O manager's reference on the device object defers the driver's unload until the routine
// has returned (ex/workitem.cpp).
void WaitForDriverIoWorkItems(PDRIVER_OBJECT driver, const std::string& name);

// ---------------------------------------------------------------------------------------------
// Memory the system allocates for itself
// ---------------------------------------------------------------------------------------------

// Zeroed, non-paged memory owned by the system (device extensions, interface name buffers...).
// `what` names it in reports and must live as long as the program (a string literal).
// Not counted as driver pool and never failed by the low-resources simulation, but freed through
// CheckFreedRange like pool. `ownerIsDriver`: the buffer is handed to a driver, which frees it
// with ExFreePool or RtlFreeUnicodeString (then it counts as that driver's pool for leak checks).
void* SystemAllocate(size_t size, const char* what, bool ownerIsDriver = false);
void SystemFree(void* p);
// True if `p` is the start of a live allocation made by ExAllocatePool* or SystemAllocate.
bool IsPoolAllocation(const void* p);

// Pool charged to drivers and not yet freed (ExAllocatePool* and SystemAllocate(ownerIsDriver)).
struct PoolAllocationInfo {
  const void* address;
  size_t size;
  ULONG tag;
  const void* caller;     // the code that called ExAllocatePool* (return address)
  const void* routine;    // the innermost frame's routine when it was allocated
  PDRIVER_OBJECT driver;  // the driver charged (see Frame::driver); NULL if none
  std::string what;
};
// `driver` NULL: every allocation; otherwise those charged to that driver.
std::vector<PoolAllocationInfo> OutstandingDriverPool(PDRIVER_OBJECT driver = nullptr);
// Reports one PoolLeak listing every allocation OutstandingDriverPool(driver) returns (size,
// tag, allocating routine), `when` saying when it was found ("at unload of \Driver\x").
// Reported allocations are not reported again at session end. Returns how many there were.
size_t CheckPoolLeaks(PDRIVER_OBJECT driver, const char* when);

// ---------------------------------------------------------------------------------------------
// Guarded pages (verifier/guarded_pages.cpp)
// ---------------------------------------------------------------------------------------------

// A block in a slot of its own (zeroed), or NULL when it does not fit one or none is free (the
// caller then takes ordinary memory). Released blocks are protected: a touch is reported as
// RequestUsedAfterRelease, naming the instruction's routine, when the touching thread next
// passes a driver routine's frame (FrameScope). GuardFree ends the block's quarantine.
void* GuardAllocate(size_t size);
bool IsGuarded(const void* p);
void GuardRelease(void* p);
void GuardFree(void* p);
// Text for a touch of the released block at `base`, `offset` bytes in ("request 0x.. IRP_MJ_READ
// ... at IoStatus, after ..."); registered by the owner of the blocks.
using GuardDescribeFn = std::string (*)(const void* base, size_t offset);
void SetGuardDescriber(GuardDescribeFn describe);
// The calling thread's touches, reported now (FrameScope calls it).
bool GuardTouchesPending();
void ReportGuardTouches();
// Every slot free and protected again (the owner's session start, once its table is cleared:
// no thread of an earlier session runs any more).
void GuardReset();
// The kernel's SIGSEGV handler serves every owner of protected memory: a hook gets the faults
// outside the guarded pages (`info` is a siginfo_t*, `context` a ucontext_t*) and returns true
// for one it handled. AddFaultHook installs the handler in front of the current one unless it is
// there already (InstallFaultHandler does only that).
using FaultHook = bool (*)(void* info, void* context);
void AddFaultHook(FaultHook hook);
void InstallFaultHandler();
// The faulting instruction of a fault's `context`, and whether the access was a write.
uintptr_t FaultingInstruction(void* context, bool* write = nullptr);

// ---------------------------------------------------------------------------------------------
// Session life cycle
// ---------------------------------------------------------------------------------------------

// Called when a session starts (to clear state) and when it ends (to check for leaks, before the
// kernel's threads stop). Hooks are registered once per process, typically from a static
// initialiser of the file that owns the state.
void AddSessionStartHook(std::function<void()> hook);
void AddSessionEndHook(std::function<void()> hook);

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------

// DbgPrint and _snwprintf with their arguments as a va_list (the image's bindings forward to them).
ULONG DbgPrintList(PCSTR Format, va_list Arguments);
int SnwprintfList(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list Arguments);

// UTF-8 for 16-bit code units (surrogate pairs joined; a lone surrogate is encoded as it is).
std::string Utf16ToUtf8(const uint16_t* units, size_t count);
void AppendUtf8(std::string& out, uint32_t codePoint);

// ---------------------------------------------------------------------------------------------
// Service trace
// ---------------------------------------------------------------------------------------------
bool TraceOn();
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace host::internal

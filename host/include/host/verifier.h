// The verifier: rules every driver running on the host kernel must keep, checked on every call,
// and the low-resources simulation.
//
// A broken rule is reported as a Violation naming the rule, the request (IRP address, major and
// minor function, device) and the routine that broke it (the dispatch, completion, cancel, DPC
// or worker routine that was running, symbolised where possible). By default a violation is fatal:
// the report is printed and the process ends, as the platform's own I/O manager stops the system.
// The test support library installs a handler that fails the current test instead; a test that
// checks the verifier itself captures violations with ExpectViolations.
#pragma once

#include <wdk/wdk.h>

#include <functional>
#include <string>
#include <vector>

namespace host::verifier {

enum class Rule {
  // Requests
  DoubleCompletion,             // a request completed twice
  CompletedWithCancelRoutine,   // completed while its cancel routine is still set
  CompletedWithSpinLockHeld,    // completed while the completing thread holds a spin lock
  SentWithSpinLockHeld,         // IoCallDriver/PoCallDriver while holding a spin lock
  CompletedWithPendingStatus,   // IoCompleteRequest with IoStatus.Status == STATUS_PENDING
  InformationTooLarge,          // Information larger than the buffered output buffer
  DispatchStatusMismatch,       // returned without completing, passing down or marking pending;
                                // or returned STATUS_PENDING without IoMarkIrpPending
  IrpFreedInUse,                // IoFreeIrp on a request still owned by a driver / not finished
  PowerIrpWithoutStartNext,     // a power request completed without PoStartNextPowerIrp
  // Interrupt levels, locks, waits
  WaitAtDispatchLevel,          // a wait (non-zero timeout) at DISPATCH_LEVEL or above
  IrqlMisuse,                   // bad raise/lower, routine returned at a changed IRQL, service
                                // called above its maximum IRQL
  SpinLockMisuse,               // release of a lock not held, recursive acquire, returned from
                                // a routine with a lock held
  LockOrder,                    // spin locks taken out of the declared order
  FastMutexMisuse,              // recursive acquire, release by a non-owner, acquire above APC
  Deadlock,                     // deterministic mode: a wait nothing can ever satisfy
  // Remove locks
  RemoveLockReleaseWithoutAcquire,
  RemoveLockHeldAtDelete,       // holds left when the device object is deleted
  // Memory and objects
  PoolLeak,                     // pool left allocated at driver unload or session end
  IrpLeak,                      // requests allocated and never freed
  PoolMisuse,                   // double free, free of memory that is not pool
  FreedObjectInUse,             // a timer, DPC, work item or remove lock inside memory being
                                // freed is still armed, queued or held
  DeviceMisuse,                 // delete of an attached device, detach of a non-attached one...
  BugCheck,                     // KeBugCheckEx was called
  ObjectMisuse,                 // a kernel object used in a way that corrupts it: a wait on
                                // something that is not an initialised dispatcher object, a
                                // work item queued again while queued, a set timer or queued
                                // DPC initialised again
  RequestUsedAfterRelease,      // a request touched after it was handed back (completed, or
                                // passed down) at a point where the platform may have freed it
  DriverUnloadedInUse,          // unload while the driver's code still runs or is queued to run
                                // (a routine on a stack, a work item, DPC or timer), or its code
                                // reached after unload
};

const char* RuleName(Rule rule);

struct Violation {
  Rule rule;
  std::string message;  // one line: rule, what happened, request and routine
  std::string details;  // further lines: thread, IRQL, held locks, context frames
};

using Handler = std::function<void(const Violation&)>;

// Replaces the handler (nullptr restores the default: print and end the process).
void SetHandler(Handler handler);

// Every violation reported in the current session, in order.
std::vector<Violation> Violations();

// Captures violations for its lifetime instead of passing them to the handler.
class ExpectViolations {
 public:
  ExpectViolations();
  ~ExpectViolations();
  ExpectViolations(const ExpectViolations&) = delete;
  ExpectViolations& operator=(const ExpectViolations&) = delete;
  const std::vector<Violation>& seen() const;
  bool Saw(Rule rule) const;
  size_t Count(Rule rule) const;
  // Every captured message, one per line (for assertion messages).
  std::string Text() const;
  // Called by the kernel for each violation it captures (under the verifier's lock).
  void Record(const Violation& violation);

 private:
  std::vector<Violation> seen_;
  ExpectViolations* previous_;
};

// Runs `fn` and returns true if a bug check (KeBugCheckEx, reported as Rule::BugCheck) ended it
// there: when the handler or a capture scope lets a bug check return, the host unwinds the
// routine that called KeBugCheckEx up to the nearest kernel code that started it — a DPC, a work
// item, a cooperative or spawned thread, or this call.
bool RunCatchingBugCheck(const std::function<void()>& fn);

// Declares a spin lock's place in the lock order. A thread holding declared lock H may take
// declared lock L only if rank(H) < rank(L). Rank 0 means the lock must be held alone (no other
// declared lock held when it is taken, none taken while it is held). The I/O manager's cancel
// spin lock is declared by the host with rank 10. Undeclared locks are not ordered.
// Declarations are removed when the memory holding the lock is freed.
void DeclareLock(const void* lock, const char* name, int rank);
constexpr int kCancelSpinLockRank = 10;

// ---- Guarded requests -----------------------------------------------------------------------
// Requests live on guarded pages (on by default): a read or write of a request after the point
// where the platform may have freed it is reported (RequestUsedAfterRelease). It costs two page
// protection changes a request; off, requests come from the heap and only AddressSanitizer sees
// a late touch (from the host-compiled driver). For the process, from the next request on.
void SetGuardedRequests(bool on);

// ---- Low-resources simulation -------------------------------------------------------------
// Fails the nth pool allocation from now (1 = the next one), and the count - 1 after it:
// ExAllocatePool* returns NULL. 0 cancels. Only allocations made by drivers through
// ExAllocatePool* count.
void FailPoolAllocation(unsigned nth, unsigned count = 1);
// Fails the nth request allocation from now (and the count - 1 after it): IoAllocateIrp or
// IoBuildDeviceIoControlRequest returns NULL.
void FailIrpAllocation(unsigned nth, unsigned count = 1);
// Counters for sweeps: allocations made so far in this session.
uint64_t PoolAllocationCount();
uint64_t IrpAllocationCount();
// The same for one driver's allocations, counted apart from everyone else's: its nth pool or
// request allocation from now fails, and no other allocation counts towards it or fails by it.
// `driver` is the driver object's name ("\Driver\tavrinmdm"); an allocation is charged to the
// driver whose routine is running (as the leak checks charge pool).
void FailPoolAllocation(unsigned nth, const std::string& driver);
void FailIrpAllocation(unsigned nth, const std::string& driver);
struct AllocationCounts {
  uint64_t pool = 0;
  uint64_t irp = 0;
};
AllocationCounts DriverAllocationCounts(const std::string& driver);

// Makes the nth call from now of the named kernel service fail with `status` (services that
// return a pointer return NULL instead; IoIsWdmVersionAvailable answers FALSE). Names:
// IoCreateDevice, IoAttachDeviceToDeviceStack, IoRegisterDeviceInterface,
// IoSetDeviceInterfaceState, IoCreateSymbolicLink, IoCreateUnprotectedSymbolicLink,
// IoDeleteSymbolicLink, IoOpenDeviceRegistryKey, ZwQueryValueKey, RtlWriteRegistryValue,
// RtlDeleteRegistryValue, PoRequestPowerIrp, IoIsWdmVersionAvailable.
void FailService(const std::string& service, NTSTATUS status, unsigned nth = 1);
void ClearFaults();

// What IoIsWdmVersionAvailable answers (default: WDM 1.20, as on the second platform release).
// The minor version is written as the platform writes it: 0x20 for 1.20, 0x10 for 1.10.
void SetWdmVersion(UCHAR major, UCHAR minor);

// Pool currently allocated by drivers (outstanding allocations and bytes).
struct PoolUsage {
  size_t allocations = 0;
  size_t bytes = 0;
};
PoolUsage CurrentPoolUsage();
// Paged pool allocations made in this session (allowed below DISPATCH_LEVEL, but this driver
// keeps everything resident).
uint64_t PagedPoolAllocationCount();

}  // namespace host::verifier

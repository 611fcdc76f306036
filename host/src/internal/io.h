// What the subsystems of the I/O half share (io, ob, cm, po, pnp, rtl, app and the host's
// requests): the host's per-device record, the request table, the object namespace, the PnP
// and power managers' entry points for the I/O manager, and the small checks every service
// makes. What only the I/O manager's own files share is in io/iop.h. Never included by the core
// (which sees the I/O half only through internal/kernel.h) nor by drivers.
//
// Locks of the I/O half, all leaves with respect to the core: none is held while a driver
// routine runs, while Report() is called, while the core allocates or frees memory (its freed-
// range checks call back into this half) or while a wait is made.
//   IopLock()          device records, attachments, the namespace, interfaces, the request
//                      table, file objects;
//   the registry lock  the registry tree and key handles (cm/registry.cpp);
//   the remove-lock table lock (io/remove_lock.cpp);
//   the power manager's lock (po/power_manager.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/pnp.h"
#include "internal/kernel.h"

// Object type codes the platform stores in the Type field of its records.
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
#define IO_TYPE_DEVICE 3

// The host's own record for each device object (DEVICE_OBJECT::DeviceObjectExtension).
// Guarded by IopLock().
struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT device = nullptr;
  size_t allocationSize = 0;       // device object + extension, one system allocation
  std::string name;                // "" for an unnamed device
  // DescribeDevice's text, made when first asked and dropped with `name`; shared with the
  // requests sent to the device, which name it in reports.
  std::shared_ptr<const std::string> description;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
  bool deleted = false;            // IoDeleteDevice called; freed once no reference is left
  long references = 0;             // ObReferenceObject, open file objects
  bool isPdo = false;              // reported with pnp::ReportPdo
};

namespace host::internal {

NoSwitchMutex& IopLock();

// ---- Names --------------------------------------------------------------------------------
// UTF-16 <-> UTF-8 without the C library's wide functions.
std::string IopUtf8(const WCHAR* s, size_t units);
std::u16string IopUtf16(const std::string& s);
std::string IopUtf8(const UNICODE_STRING* s);
size_t IopWcsLen(const WCHAR* s);
// A namespace name in its canonical form: "\DosDevices\" and "\GLOBAL??\" become "\??\".
std::string IopCanonicalName(const std::string& name);
// Case-insensitive key for a canonical name.
std::string IopNameKey(const std::string& name);
std::string IopLower(const std::string& s);

// ---- Devices (io/device_object.cpp) ------------------------------------------------------------
// True while `device` is a device object the host allocated and has not freed (IopLock held).
bool IopIsLiveDeviceLocked(PDEVICE_OBJECT device);
bool IopIsLiveDevice(PDEVICE_OBJECT device);
// Open-file and object references that keep a deleted device's memory (IopLock not held); the
// I/O manager takes them (io/iop.h), the application side gives its back.
void IopDereferenceDevice(PDEVICE_OBJECT device);

// ---- Namespace (ob/namespace.cpp) -------------------------------------------------------------
// IopLock held.
NTSTATUS IopInsertDeviceNameLocked(const std::string& name, PDEVICE_OBJECT device);
void IopRemoveDeviceNameLocked(PDEVICE_OBJECT device);
// Symbolic links (IopLock not held).
NTSTATUS IopCreateLink(const std::string& link, const std::string& target);
NTSTATUS IopDeleteLink(const std::string& link);
// Resolves `name` through symbolic links to a device. When the whole name is no object, the
// longest prefix that is one is taken and the rest goes to `*remainder` (an open of a device
// interface link with a reference string). IopLock not held.
PDEVICE_OBJECT IopResolve(const std::string& name, std::string* remainder);

// ---- Interfaces (io/interfaces.cpp) -----------------------------------------------------------
// Disables every enabled interface of `pdo` (the device goes away).
void IopDisableInterfacesOf(PDEVICE_OBJECT pdo);

// ---- PnP manager (pnp/pnp_manager.cpp) ---------------------------------------------------------
// The instance path of a reported PDO, "" when `pdo` is not one (IopLock not held).
std::string IopInstancePath(PDEVICE_OBJECT pdo);
// The device is deleted: the PnP manager forgets it if it was a reported PDO.
void IopForgetDeletedDevice(PDEVICE_OBJECT device);

// ---- Requests (io/irp.cpp) --------------------------------------------------------------------
enum class IrpOrigin {
  Allocated,          // IoAllocateIrp: the allocating driver frees it
  DriverInitialized,  // IoInitializeIrp on the driver's own memory
  BuiltIoctl,         // IoBuildDeviceIoControlRequest: the I/O manager frees it
  Host,               // sent by the host (application side, PnP and power managers)
};

// The I/O manager's completion of a request the host sent, and the end of its life.
struct HostIrpHooks {
  const char* sender = "host";  // "application (IRP_MJ_READ)", "PnP manager", ...: a literal
  // Runs when the completion has left the top stack location, at the completer's IRQL, with
  // the request still valid (copy back buffers, take the result).
  std::function<void(PIRP)> completed;
  // Runs once the request is freed: completed and its dispatch routine returned.
  std::function<void()> finished;
  // A request with a Request handle (application side, PnP manager): instead of the two above,
  // its result goes to the handle's state (IopRequestCompleted, IopRequestFinished).
  std::shared_ptr<host::app::Request::State> request;
  bool checkDispatch = true;  // check what the top dispatch routine returned
};

// The two ends of a request with a Request handle (app/app.cpp).
void IopRequestCompleted(const std::shared_ptr<host::app::Request::State>& state, PIRP irp);
void IopRequestFinished(const std::shared_ptr<host::app::Request::State>& state);

// One request known to the I/O manager. Fields below `size` are guarded by IopLock().
struct IrpRecord {
  PIRP irp = nullptr;
  size_t size = 0;
  IrpOrigin origin = IrpOrigin::Allocated;
  std::string allocatedBy;  // the routine that allocated it (for leak reports)
  bool freed = false;
  bool completable = true;       // in a driver's hands: it may complete it
  bool inFlight = false;         // sent down and not yet back with its allocator
  bool walking = false;          // IofCompleteRequest is walking its stack locations
  // A completion routine is running. Its driver owns the request if the routine will return
  // STATUS_MORE_PROCESSING_REQUIRED, and may hand it to another thread that completes it again
  // before the routine has returned; one such completion is accepted while the routine runs,
  // and judged when the routine returns.
  bool inRoutine = false;
  bool completedDuringRoutine = false;
  unsigned sendGeneration = 0;   // IofCallDriver calls
  unsigned completeGeneration = 0;
  bool finishedByIoManager = false;  // the completion left the top location
  bool completedAtTop = false;       // ...and the I/O manager's final stage is done
  bool faultReported = false;        // a fault that ends its tracking was already reported
  bool viaPoCallDriver = false;      // set while PoCallDriver passes it on
  // IoBuildDeviceIoControlRequest and the host's requests: buffers the I/O manager owns.
  void* systemBuffer = nullptr;
  void* userOutput = nullptr;
  ULONG outputLength = 0;
  bool copyBackOutput = false;   // METHOD_BUFFERED output / buffered read
  // Host requests.
  std::shared_ptr<HostIrpHooks> host;
  bool dispatchReturned = false;
  NTSTATUS dispatchStatus = STATUS_PENDING;
  bool topPendingReturned = false;
  NTSTATUS completedStatus = STATUS_PENDING;  // IoStatus.Status when the completion left the top
  int pins = 0;  // IoCancelIrp through a Request handle in progress: keep the memory
  bool releasePending = false;  // ...and free it when the last pin goes
  bool finalized = false;
  UCHAR major = 0xFF;  // of the location the host sent it to (the walk clears the locations)
  UCHAR minor = 0xFF;
  // The device the host sent it to, named as it was then; with the major, minor and sender it
  // makes IopHostRequestText, built only for a report.
  std::shared_ptr<const std::string> target;
  // Per stack location (index CurrentLocation), the completion routine found there when the
  // request was sent to it and the driver that sent it: the driver that called
  // IoSetCompletionRoutine (a driver that skips its own location passes the routine of the
  // driver above on, which keeps it). A completion routine's frame is charged to that driver.
  struct RoutineOwner {
    const void* routine = nullptr;
    PDRIVER_OBJECT driver = nullptr;  // NULL: set by no driver (a test's or the host's own)
    bool noted = false;
  };
  std::vector<RoutineOwner> routineOwners;
};

// "IRP_MJ_READ 0x.. from the application (IRP_MJ_READ) to \Device\TAVRINMDM0 of \Driver\x".
std::string IopHostRequestText(const IrpRecord& record);
// DescribeDevice's text, shared (IopLock not held).
std::shared_ptr<const std::string> IopDeviceText(PDEVICE_OBJECT device);

// Allocates and initialises a request of `stackSize` locations and enters it in the table.
// Returns NULL (and enters nothing) when `countAsAllocation` and the low-resources simulation
// fails it.
PIRP IopAllocateIrp(CCHAR stackSize, IrpOrigin origin, bool countAsAllocation);
std::shared_ptr<IrpRecord> IopFindIrp(PIRP irp);         // IopLock not held
std::shared_ptr<IrpRecord> IopFindIrpLocked(PIRP irp);   // IopLock held
// The host's requests: sends `irp` (next location prepared) to `device` at `irql` and handles the
// dispatch routine's return (the dispatch check, and the request's end when it is complete).
NTSTATUS IopSendHostIrp(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, bool power);
// Called with the record when both its completion and its dispatch return have happened.
void IopFinalizeHostIrp(const std::shared_ptr<IrpRecord>& record);
// Frees a host request's memory (and system buffer) once its completion has left the top
// location; the record stays for the dispatch check. Put off while the request is pinned.
void IopReleaseHostIrp(const std::shared_ptr<IrpRecord>& record);

// ---- Call and completion (io/call_complete.cpp) ----------------------------------------------
NTSTATUS IopCallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo);

// ---- Power manager (po/power_manager.cpp) ----------------------------------------------------
void IopPowerLog(host::pnp::PowerEvent::Kind kind, UCHAR minor, POWER_STATE_TYPE type,
                 POWER_STATE state, NTSTATUS status);
// The type and state the power log shows for the power request at `sp` (a wait-wake: its
// system state; a power sequence: none).
void IopPowerParameters(PIO_STACK_LOCATION sp, POWER_STATE_TYPE* type, POWER_STATE* state);
// A driver's call for the power request at `sp` (StartNext, CallDriver, CompletedBy), logged
// when a driver routine is running (the power manager's own sending is not a driver's call).
void IopPowerCall(host::pnp::PowerEvent::Kind kind, PIO_STACK_LOCATION sp, NTSTATUS status,
                  PDEVICE_OBJECT target = nullptr, bool viaPoCallDriver = false);
long IopOutstandingPowerRequests();  // PoRequestPowerIrp requests not finished yet
// PoStartNextPowerIrp per driver and stack location (po/start_next.cpp), called by the I/O
// manager for power requests: `irp` is being passed on to `device` (next location prepared; the
// call is logged too), completed (IoCompleteRequest; logged too), and its completion walk is
// leaving the current location.
void IopPowerSending(const std::shared_ptr<IrpRecord>& record, PIRP irp, PDEVICE_OBJECT device,
                     bool viaPoCallDriver);
void IopPowerCompleting(const std::shared_ptr<IrpRecord>& record, PIRP irp);
void IopPowerLeaving(const std::shared_ptr<IrpRecord>& record, PIRP irp);

// ---- Removal (pnp/pnp_manager.cpp) ------------------------------------------------------------
// The bottom of `device`'s stack (IopLock held).
PDEVICE_OBJECT IopStackBottomLocked(PDEVICE_OBJECT device);
// True while `device`'s stack is being removed (an accepted query-remove, a surprise removal):
// the I/O manager refuses creates (IopLock held).
bool IopRemovalPendingLocked(PDEVICE_OBJECT device);
// A file object open on `device` was freed (the close is done): a removal waiting for the last
// handle may go on (IopLock not held).
void IopFileObjectFreed(PDEVICE_OBJECT device);

// ---- Driver objects (io/driver_object.cpp) ----------------------------------------------------
PDRIVER_OBJECT IopCreateDriverObject(const std::string& name, PDRIVER_INITIALIZE entry);
void IopDeleteDriverObject(PDRIVER_OBJECT driver);

// ---- Application side (app/app.cpp) ------------------------------------------------------------
// ObReferenceObject/ObDereferenceObject on a file object; false if `object` is none.
bool IopObReferenceFile(PVOID object, bool reference);

// ---- Devices: naming a PDO that has no name (io/device_object.cpp) ----------------------------
void IopEnsureDeviceName(PDEVICE_OBJECT device);

// ---- Shared checks ------------------------------------------------------------------------
// Reports IrqlMisuse when the caller runs above `maximum`; returns false then.
bool IopCheckIrql(const char* service, KIRQL maximum);
std::string IopHex(const void* p);
std::string IopStatusText(NTSTATUS status);
// The innermost frame's routine, symbolised ("" when outside every driver routine).
std::string IopCurrentRoutine();

// Memory the host allocates for its records: counted as system memory, freed with the checks.
void* IopSystemAllocate(size_t size, const char* what, bool ownerIsDriver = false);
void IopSystemFree(void* p);

}  // namespace host::internal

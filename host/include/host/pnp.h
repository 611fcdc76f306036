// Loading drivers and driving devices as the PnP manager and the power manager do.
#pragma once

#include <wdk/wdk.h>

#include <functional>
#include <string>
#include <vector>

#include "host/app.h"

namespace host::pnp {

// Creates a driver object named `name` (for example "\Driver\tavrinmdm"), calls `entry` with it
// and a registry path at PASSIVE_LEVEL, and returns it; `*status` receives DriverEntry's status.
// On failure the driver object is deleted again and NULL is returned.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::string& name,
                          NTSTATUS* status = nullptr);
// What the I/O manager puts in every slot of a new driver's dispatch table (the request is not
// supported: STATUS_INVALID_DEVICE_REQUEST).
PDRIVER_DISPATCH DefaultDispatchRoutine();
// Calls the driver's unload routine (if any), then checks what the driver left behind: device
// objects still present, pool still allocated (verifier: PoolLeak), and deletes the driver
// object. Returns false if the driver has no unload routine (it cannot be unloaded).
bool UnloadDriver(PDRIVER_OBJECT driver);

// A bus driver reports a physical device object it created, with the device's instance path
// (for example "USB\VID_1A2B&PID_0001\5&1234&0&1"). The PnP manager keeps the device's registry
// keys and interface names by it. Returns false if the path is already in use.
bool ReportPdo(PDEVICE_OBJECT pdo, const std::string& instancePath);
// The PnP manager forgets the device (called by the bus driver when it deletes the PDO).
void ForgetPdo(PDEVICE_OBJECT pdo);
std::string InstancePath(PDEVICE_OBJECT pdo);

// IoInvalidateDeviceRelations calls made for `pdo` so far in this session, and an observer called
// (in the caller's thread, at its IRQL) for each such call; an empty observer clears both.
unsigned RelationsInvalidated(PDEVICE_OBJECT pdo);
void OnRelationsInvalidated(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> observer);

// Driver selection from INF files (pnp/inf_select.cpp): the files are read when added; the
// service (AddService name, lower case) of the best-ranked models entry for a device's IDs is
// returned — a hardware ID before a compatible ID, an earlier ID before a later — or "" if no
// INF names any of them.
bool AddInfFile(const std::string& path);
void ClearInfFiles();
std::string SelectService(const std::vector<std::string>& hardwareIds,
                          const std::vector<std::string>& compatibleIds);

// Calls the driver's AddDevice routine for `pdo` at PASSIVE_LEVEL and returns its status.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// The top of the device stack that `pdo` is the bottom of.
PDEVICE_OBJECT StackTop(PDEVICE_OBJECT pdo);

// Sends an IRP_MJ_PNP request with minor function `minor` to the top of `pdo`'s stack, as the
// PnP manager does (IoStatus.Status starts as STATUS_NOT_SUPPORTED, Information 0), after
// `prepare` has filled its parameters; waits until the stack has completed it and returns
// the final status (and Information through `information` when given).
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>&
                                                      prepare = {},
                 ULONG_PTR* information = nullptr);
// Asynchronous form (for a removal that must wait on something the test releases later).
app::Request SendPnpAsync(PDEVICE_OBJECT pdo, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& prepare = {});

NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
NTSTATUS QueryStopDevice(PDEVICE_OBJECT pdo);
NTSTATUS CancelStopDevice(PDEVICE_OBJECT pdo);
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemoveDevice(PDEVICE_OBJECT pdo);
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE. The function driver detaches and deletes its device object; the PDO is
// the bus driver's business. After a surprise removal the PnP manager sends it only once every
// handle open on the stack is closed: SendPnp and RemoveDevice wait for that first (a wait
// nothing can end is a Deadlock in deterministic mode; File::CloseAllOn ends the handles on
// shutdown paths).
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_CAPABILITIES with a structure prepared as the PnP manager prepares it (Size,
// Version 1, Address and UINumber 0xFFFFFFFF); the result is copied to `*caps`.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps, USHORT version = 1);

// ---- Power manager -----------------------------------------------------------------------
// Sends a system power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) for `state` to the top
// of `pdo`'s stack and waits until it is complete, including the device power requests the
// drivers ask for on the way. Returns the final status.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                         POWER_ACTION action = PowerActionSleep);
app::Request SendSystemPowerAsync(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                                  POWER_ACTION action = PowerActionSleep);
NTSTATUS SendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);
// Any other power minor function (IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE).
app::Request SendPowerAsync(PDEVICE_OBJECT pdo, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& prepare = {});

// What the power manager has been told with PoSetPowerState for this device object.
DEVICE_POWER_STATE ReportedDevicePowerState(PDEVICE_OBJECT device);

// Every power request the power manager has seen, in order (system and device requests, with
// the direction: sent to the stack, completed by the stack), and the drivers' calls for them
// (PoStartNextPowerIrp, passing one on with PoCallDriver or IoCallDriver, completing one), for
// asserting the order of events. A wait-wake request carries its system state; a power sequence
// request none (state 0).
struct PowerEvent {
  enum Kind {
    Sent,               // the power manager sends it to the top of a stack
    Completed,          // the stack has completed it (status)
    RequestedByDriver,  // PoRequestPowerIrp (driver)
    StartNext,          // PoStartNextPowerIrp (driver)
    CallDriver,         // passed on by `driver` to a device of `target` (viaPoCallDriver or not)
    CompletedBy,        // IoCompleteRequest by `driver` (status)
  } kind;
  UCHAR minor;
  POWER_STATE_TYPE type;
  POWER_STATE state;
  NTSTATUS status;  // for Completed and CompletedBy
  std::string driver = {};  // the calling driver's name ("\Driver\tavrinmdm")
  std::string target = {};  // CallDriver: the driver of the device it was passed to
  bool viaPoCallDriver = false;
};
// The power manager's own events (Sent, Completed, RequestedByDriver); with `driverCalls`, the
// drivers' calls too, in the one order they happened.
std::vector<PowerEvent> PowerLog(bool driverCalls = false);
void ClearPowerLog();

}  // namespace host::pnp

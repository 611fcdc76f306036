// Power: the table-driven machine for set and query power requests, and the suspend and resume
// of the port's USB traffic.
//
// A system request is turned into a device request for the same device (PoRequestPowerIrp);
// towards more power the system request goes down first and its device request follows, towards
// less or equal power the device request comes first and the system request goes down after it.
// Device requests (also the ones asked for here) come back down the stack to DispatchPower like
// any other and run through the same machine. Other minor functions are passed down unchanged.
#pragma once

#include "tavrinmdm/extension.h"

// How the machine is entered.
enum POWER_EVENT : ULONG {
    PowerEventNewIrp = 0,           // DispatchPower, with a new context
    PowerEventLowerComplete = 1,    // PowerIrpCompletion: the lower drivers completed the request
    PowerEventRequestComplete = 2,  // PowerRequestCompletion: the requested device request is done
};

#define POWER_EVENT_COUNT 3

// Machine states (PowerContext.State). 7 and 8 are reached by no action; their table rows exist
// only to keep the table's shape.
//
//   Start(0) --new system request, more power-->           SysUpLower(1)   system request down
//   SysUpLower(1) --lower done, success-->                 SysUpDevice(2)  device request asked
//   SysUpDevice(2) --device request done-->                Done(12)        system request completed
//   Start(0) --new system request, less or equal power-->  SysDownDevice(3) device request asked
//   SysDownDevice(3) --device request done, success-->     SysDownLower(4) system request down
//   SysDownLower(4) --lower done-->                        Done(12)
//   Start(0) --new device request--> DevReceived(11), left within the same call for
//       DevUpLower(5) / DevDownLower(6) (set) or DevQueryUpLower(9) / DevQueryDownLower(10)
//       (query), each with the request sent down, then --lower done--> Done(12).
// Every failure on the way goes straight to Done(12) through ActFinish.
enum POWER_CONTEXT_STATE : ULONG {
    PowerCtxStart = 0,
    PowerCtxSysUpLower = 1,
    PowerCtxSysUpDevice = 2,
    PowerCtxSysDownDevice = 3,
    PowerCtxSysDownLower = 4,
    PowerCtxDevUpLower = 5,
    PowerCtxDevDownLower = 6,
    PowerCtxDevQueryUpLower = 9,
    PowerCtxDevQueryDownLower = 10,
    PowerCtxDevReceived = 11,
    PowerCtxDone = 12,
};

#define POWER_STATE_COUNT 13

// The machine's actions, by number. Each action names the next one itself; 0 ends the run.
enum POWER_ACTION_NUMBER : ULONG {
    PowerActNone = 0,
    PowerActBegin = 1,
    PowerActDeviceIrp = 2,
    PowerActForward = 3,
    PowerActSysUpLowerDone = 4,
    PowerActSysDownLowerDone = 5,
    PowerActChooseDeviceState = 6,
    PowerActRequestDeviceIrp = 7,
    PowerActFinish = 8,
    PowerActRelease = 9,
    PowerActSysUpDeviceDone = 10,
    PowerActSysDownDeviceDone = 11,
    PowerActDevUpLowerDone = 12,
    PowerActDevSetDown = 13,
    PowerActDevDownForward = 14,
    PowerActDevUpFinish = 15,
    PowerActDevQueryUpDone = 16,
    PowerActDevQueryDown = 17,
    PowerActDevQueryDownDone = 18,
};

// The first action of each (state, event) entry, row by row: index = state * 3 + event. 0: the
// entry has no action.
extern const ULONG PowerMachineTable[POWER_STATE_COUNT * POWER_EVENT_COUNT];

// PowerContext: tavrinmdm/power/power_context.h (included through extension.h).


// IRP_MJ_POWER. PASSIVE_LEVEL (the device object is power-pageable). Set and query requests are
// answered STATUS_PENDING and finished by the machine; the others are passed down.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// PoStartNextPowerIrp, skip, PoCallDriver to LowerDeviceObject. PASSIVE_LEVEL. Neither the status
// nor the remove lock is touched.
NTSTATUS PassPowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);

// Runs the actions for Context->State and Event. Up to DISPATCH_LEVEL, never waits, no lock held
// on entry or exit. The context may be freed (and the request finished) by the time it returns.
NTSTATUS PowerStateMachine(PowerContext* Context, POWER_EVENT Event);

// Completion routine of a request the machine sent down; Context is the PowerContext. Up to
// DISPATCH_LEVEL. Returns STATUS_MORE_PROCESSING_REQUIRED while the machine keeps the request.
NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Completion function of PoRequestPowerIrp; Context is the PowerContext. Up to DISPATCH_LEVEL.
VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                  POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus);

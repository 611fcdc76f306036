// Power: the table-driven machine for set and query power requests, and the suspend and resume
// of the port's USB traffic.
#pragma once

#include "driver/extension.h"

// How the machine is entered.
enum POWER_EVENT : ULONG {
    PowerEventNewIrp = 0,           // DispatchPower, with a new context
    PowerEventLowerComplete = 1,    // PowerIrpCompletion: the lower drivers completed the request
    PowerEventRequestComplete = 2,  // PowerRequestCompletion: the requested device request is done
};

// Machine states (PowerContext.State). 7 and 8 are reached by no action.
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

// One per set or query request: non-paged, zero-filled by DispatchPower, freed by the machine
// when the request is finished.
struct PowerContext {
    PDEVICE_EXTENSION Extension;
    PIRP Irp;                        // the power request being handled (system or device)
    ULONG State;                     // POWER_CONTEXT_STATE
    NTSTATUS Status;                 // last completion status reported to the machine
    DEVICE_POWER_STATE DeviceState;  // device state to request for a system request
    UCHAR MinorFunction;             // IRP_MN_SET_POWER or IRP_MN_QUERY_POWER for that request
};

// IRP_MJ_POWER. PASSIVE_LEVEL (the device object is power-pageable).
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// PoStartNextPowerIrp, skip, PoCallDriver to LowerDeviceObject. PASSIVE_LEVEL.
NTSTATUS PassPowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);

// Runs the actions for Context->State and Event. Up to DISPATCH_LEVEL, never waits.
NTSTATUS PowerStateMachine(PowerContext* Context, POWER_EVENT Event);

// Completion routine of a request the machine sent down; Context is the PowerContext.
NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Completion function of PoRequestPowerIrp; Context is the PowerContext.
VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                  POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus);

// PowerContext: what the power machine keeps for one set or query request while it handles it.
// Kept apart from power.h so that the device extension can hold the contexts of its own power
// requests (extension.h includes this header; power.h includes extension.h).
#pragma once

#include "tavrinmdm/platform.h"

struct _DEVICE_EXTENSION;

// One per set or query request while the machine handles it, zero-filled by DispatchPower. At
// most one operation on a context is outstanding at a time, so the machine never runs twice on
// it at once.
//
// The device extension holds one for system requests and one for device requests
// (SystemPowerContext, DevicePowerContext): the power manager sends one request of each kind at a
// time for a device and the next only once the driver has called PoStartNextPowerIrp for the
// last, and the machine gives a context back before it calls PoStartNextPowerIrp, so a set-power
// request never waits for memory (the platform does not let a driver fail one). Only a request
// that finds its kind's context taken (a sender that broke that serialisation) gets one from
// non-paged pool.
struct PowerContext {
    struct _DEVICE_EXTENSION* Extension;
    PIRP Irp;                        // the power request being handled (system or device)
    ULONG State;                     // POWER_CONTEXT_STATE
    NTSTATUS Status;                 // last completion status reported to the machine, or the
                                     // status of a refused PoRequestPowerIrp
    DEVICE_POWER_STATE DeviceState;  // device state to request for a system request
    UCHAR MinorFunction;             // IRP_MN_SET_POWER or IRP_MN_QUERY_POWER for that request
    // TRUE once ActBegin has its own hold of RemoveLock (tagged with Irp). The hold is refused
    // when a removal has begun since DispatchPower took its hold; the machine then releases
    // nothing of its own.
    BOOLEAN HoldTaken;
    // Without a hold of its own the machine must not outlive the device: it keeps the hold
    // DispatchPower took instead (DispatchPower does not give it back), and ActRelease gives it
    // back as its very last touch of the device. DispatchKeepsHold points at DispatchPower's
    // flag and is valid only while ActBegin runs inside DispatchPower.
    BOOLEAN DispatchHoldKept;
    PBOOLEAN DispatchKeepsHold;
    // TRUE for the extension's own contexts (given back by clearing Busy), FALSE for one from
    // pool (freed).
    BOOLEAN InExtension;
    // Last, so that DispatchPower can zero-fill the rest: 1 while one of the extension's contexts
    // is taken (interlocked; 0 in pool contexts).
    volatile LONG Busy;
};

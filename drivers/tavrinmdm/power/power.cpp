// Power requests: the table-driven machine that orders system and device power requests, and the
// suspend and resume of the port's USB traffic around a system sleep.
//
// The machine keeps no lock. A context has at most one operation outstanding (a request sent
// down, or a device request asked for), so only one thread runs the machine on it at a time. An
// action that hands the request on (ActForward, or ActRequestDeviceIrp when accepted) ends the run
// without touching the context again: the continuation may already have run on another thread and
// freed it.
//
// SystemPowerState and DevicePowerState are read and written without a lock: only system
// requests write the first, only device requests the second, and the power manager sends one
// request of each kind at a time.

#include "tavrinmdm/power/power.h"
#include "tavrinmdm/request.h"
#include "tavrinmdm/usb/usb.h"

// Rows are states, columns the events NewIrp, LowerComplete, RequestComplete.
const ULONG PowerMachineTable[POWER_STATE_COUNT * POWER_EVENT_COUNT] = {
    1, 0,  0,   // 0  PowerCtxStart
    0, 4,  0,   // 1  PowerCtxSysUpLower
    0, 0,  10,  // 2  PowerCtxSysUpDevice
    0, 0,  11,  // 3  PowerCtxSysDownDevice
    0, 5,  0,   // 4  PowerCtxSysDownLower
    0, 12, 0,   // 5  PowerCtxDevUpLower
    0, 8,  0,   // 6  PowerCtxDevDownLower
    0, 0,  14,  // 7  (no action leads here)
    0, 0,  15,  // 8  (no action leads here)
    0, 16, 0,   // 9  PowerCtxDevQueryUpLower
    0, 18, 0,   // 10 PowerCtxDevQueryDownLower
    0, 0,  2,   // 11 PowerCtxDevReceived
    0, 0,  0,   // 12 PowerCtxDone
};

// One run of the machine: the context, the event that started the run and the run's result,
// which starts unset.
struct POWER_RUN {
    PowerContext* Context;
    POWER_EVENT Event;
    NTSTATUS Result;
    BOOLEAN ResultSet;
    // What ActRelease needs once ActFinish has given the context back.
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    NTSTATUS Status;
    BOOLEAN HoldTaken;
    BOOLEAN DispatchHoldKept;
};

static VOID PowerpSetResult(POWER_RUN* Run, NTSTATUS Result)
{
    Run->Result = Result;
    Run->ResultSet = TRUE;
}

static PIO_STACK_LOCATION PowerpStack(POWER_RUN* Run)
{
    return IoGetCurrentIrpStackLocation(Run->Context->Irp);
}

static BOOLEAN PowerpIsSet(POWER_RUN* Run)
{
    return PowerpStack(Run)->MinorFunction == IRP_MN_SET_POWER;
}

// S of the request, as a number: a SYSTEM_POWER_STATE for a system request, a
// DEVICE_POWER_STATE for a device request. Lower means more power.
static ULONG PowerpTarget(POWER_RUN* Run)
{
    PIO_STACK_LOCATION Stack = PowerpStack(Run);

    if (Stack->Parameters.Power.Type == DevicePowerState) {
        return (ULONG)Stack->Parameters.Power.State.DeviceState;
    }
    return (ULONG)Stack->Parameters.Power.State.SystemState;
}

// 1. Marks the request pending and takes the machine's own hold of RemoveLock, then chooses the
// flow.
static ULONG ActBegin(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    PDEVICE_EXTENSION DeviceExtension = Context->Extension;
    PIRP Irp = Context->Irp;

    IoMarkIrpPending(Irp);
    // DispatchPower holds the lock already, but a removal may have begun since; then this hold
    // is refused and ActFinish must not release one. The machine keeps DispatchPower's hold
    // instead, so that the removal waits until the machine is done with the device.
    Context->HoldTaken = NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp));
    if (!Context->HoldTaken) {
        Context->DispatchHoldKept = TRUE;
        *Context->DispatchKeepsHold = TRUE;
    }
    PowerpSetResult(Run, STATUS_PENDING);

    if (PowerpStack(Run)->Parameters.Power.Type == DevicePowerState) {
        Context->State = PowerCtxDevReceived;
        return PowerActDeviceIrp;
    }
    if (PowerpTarget(Run) < (ULONG)DeviceExtension->SystemPowerState) {
        Context->State = PowerCtxSysUpLower;
        return PowerActForward;
    }
    Context->State = PowerCtxSysDownDevice;
    return PowerActChooseDeviceState;
}

// 2. A device request: towards more power it goes down and is looked at afterwards; otherwise
// DevicePowerState (set) or nothing (query) is settled first.
static ULONG ActDeviceIrp(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    BOOLEAN Up = PowerpTarget(Run) < (ULONG)Context->Extension->DevicePowerState;

    if (PowerpIsSet(Run)) {
        if (Up) {
            Context->State = PowerCtxDevUpLower;
            return PowerActForward;
        }
        return PowerActDevSetDown;
    }
    if (Up) {
        Context->State = PowerCtxDevQueryUpLower;
        return PowerActForward;
    }
    return PowerActDevQueryDown;
}

// 3. Sends the request down with PowerIrpCompletion. The context is not touched after
// PoCallDriver: the completion may have run and freed it already.
static ULONG ActForward(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    PIRP Irp = Context->Irp;
    PDEVICE_OBJECT Lower = Context->Extension->LowerDeviceObject;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerIrpCompletion, Context, TRUE, TRUE, TRUE);
    PoCallDriver(Lower, Irp);
    return PowerActNone;
}

// 4. A system request towards more power came back from the lower drivers: on success it is
// held (STATUS_MORE_PROCESSING_REQUIRED) until its device request is done.
static ULONG ActSysUpLowerDone(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;

    if (!NT_SUCCESS(Context->Status)) {
        return PowerActFinish;
    }
    if (PowerpIsSet(Run)) {
        Context->Extension->SystemPowerState = (SYSTEM_POWER_STATE)PowerpTarget(Run);
    }
    Context->State = PowerCtxSysUpDevice;
    PowerpSetResult(Run, STATUS_MORE_PROCESSING_REQUIRED);
    return PowerActChooseDeviceState;
}

// 5. A system request towards less or equal power came back: a set is recorded whatever the
// lower drivers said, since its device request has already taken the device down.
static ULONG ActSysDownLowerDone(POWER_RUN* Run)
{
    if (PowerpIsSet(Run)) {
        Run->Context->Extension->SystemPowerState = (SYSTEM_POWER_STATE)PowerpTarget(Run);
    }
    return PowerActFinish;
}

// 6. D0 for the working state; otherwise what the capabilities give for S, never above D3 (D0,
// D1, D2 and unspecified all become D3). A state beyond the capabilities' table (no valid system
// request has one) is not looked up and gets D3.
static ULONG ActChooseDeviceState(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    ULONG Target = PowerpTarget(Run);
    DEVICE_POWER_STATE DeviceState;

    if (Target == PowerSystemWorking) {
        DeviceState = PowerDeviceD0;
    } else if (Target < (ULONG)PowerSystemMaximum) {
        DeviceState = Context->Extension->DeviceCapabilities.DeviceState[Target];
        if (DeviceState < PowerDeviceD3) {
            DeviceState = PowerDeviceD3;
        }
    } else {
        DeviceState = PowerDeviceD3;
    }
    Context->DeviceState = DeviceState;
    Context->MinorFunction = PowerpStack(Run)->MinorFunction;
    return PowerActRequestDeviceIrp;
}

// 7. Asks the power manager for the device request. Accepted: the context belongs to
// PowerRequestCompletion from here on and is not touched again.
static ULONG ActRequestDeviceIrp(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    POWER_STATE State;
    NTSTATUS Status;

    State.DeviceState = Context->DeviceState;
    Status = PoRequestPowerIrp(Context->Extension->PhysicalDeviceObject, Context->MinorFunction,
                               State, PowerRequestCompletion, Context, NULL);
    if (NT_SUCCESS(Status)) {
        return PowerActNone;
    }
    // The power manager could not build the device request (no memory for it, typically). A
    // system set towards less power is not failed for that (the platform does not let a driver
    // fail a system set-power request): it goes down with the device left where it is. A query
    // is refused with the refusal's status; a set towards more power finishes with the lower
    // drivers' status (ActFinish from the completion routine).
    if (Context->State == PowerCtxSysDownDevice && Context->MinorFunction == IRP_MN_SET_POWER) {
        Context->State = PowerCtxSysDownLower;
        return PowerActForward;
    }
    Context->Status = Status;
    return PowerActFinish;
}

// Gives a context back: one of the extension's is free again, one from pool is freed. Not touched
// afterwards: the next request of its kind may take it at once.
static VOID PowerpPutContext(PowerContext* Context)
{
    Context->State = PowerCtxDone;
    if (Context->InExtension) {
        InterlockedExchange(&Context->Busy, 0);
    } else {
        ExFreePool(Context);
    }
}

// 8. The request is finished: what its release needs moves into the run and the context is given
// back, before PoStartNextPowerIrp lets the power manager send the next request of the kind
// (which takes the same context of the extension).
static ULONG ActFinish(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;

    Run->Extension = Context->Extension;
    Run->Irp = Context->Irp;
    Run->Status = Context->Status;
    Run->HoldTaken = Context->HoldTaken;
    Run->DispatchHoldKept = Context->DispatchHoldKept;
    Run->Context = NULL;
    PowerpPutContext(Context);
    return PowerActRelease;
}

// 9. Releases the request to the power manager and lets it finish: from a completion routine it
// goes on completing with the lower drivers' status (the routine returns Status); otherwise it is
// completed here with Status. Then the machine's hold goes, and last the hold kept from
// DispatchPower when the machine had none of its own (Irp is only a tag there: the request may be
// gone already).
static ULONG ActRelease(POWER_RUN* Run)
{
    PDEVICE_EXTENSION DeviceExtension = Run->Extension;
    PIRP Irp = Run->Irp;

    PoStartNextPowerIrp(Irp);
    if (Run->Event == PowerEventLowerComplete) {
        PowerpSetResult(Run, Run->Status);
    } else {
        Irp->IoStatus.Status = Run->Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    if (Run->HoldTaken) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
    if (Run->DispatchHoldKept) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
    return PowerActNone;
}

// 10. The device request of a system request towards more power is done: the system request is
// completed with its status.
static ULONG ActSysUpDeviceDone(POWER_RUN* Run)
{
    if (!Run->ResultSet) {
        PowerpSetResult(Run, STATUS_SUCCESS);
    }
    return PowerActFinish;
}

// 11. The device request of a system request towards less or equal power is done: on success
// the system request goes down now; on failure it is completed with that status, never sent down.
static ULONG ActSysDownDeviceDone(POWER_RUN* Run)
{
    if (!Run->ResultSet) {
        PowerpSetResult(Run, STATUS_SUCCESS);
    }
    if (!NT_SUCCESS(Run->Context->Status)) {
        return PowerActFinish;
    }
    Run->Context->State = PowerCtxSysDownLower;
    return PowerActForward;
}

// 12. A device request towards more power came back: a successful set is recorded.
static ULONG ActDevUpLowerDone(POWER_RUN* Run)
{
    if (!NT_SUCCESS(Run->Context->Status) || !PowerpIsSet(Run)) {
        return PowerActFinish;
    }
    Run->Context->Extension->DevicePowerState = (DEVICE_POWER_STATE)PowerpTarget(Run);
    return PowerActDevUpFinish;
}

// 13.
static ULONG ActDevSetDown(POWER_RUN* Run)
{
    UNREFERENCED_PARAMETER(Run);
    return PowerActDevDownForward;
}

// 14. A device set towards less or equal power: the lower state is recorded before the request
// goes down.
static ULONG ActDevDownForward(POWER_RUN* Run)
{
    PowerContext* Context = Run->Context;
    ULONG Target = PowerpTarget(Run);

    if (Run->Event == PowerEventRequestComplete) {
        PowerpSetResult(Run, STATUS_SUCCESS);
    }
    Context->State = PowerCtxDevDownLower;
    if (Target > (ULONG)Context->Extension->DevicePowerState) {
        Context->Extension->DevicePowerState = (DEVICE_POWER_STATE)Target;
    }
    return PowerActForward;
}

// 15.
static ULONG ActDevUpFinish(POWER_RUN* Run)
{
    if (Run->Event == PowerEventRequestComplete) {
        PowerpSetResult(Run, STATUS_SUCCESS);
    }
    return PowerActFinish;
}

// 16.
static ULONG ActDevQueryUpDone(POWER_RUN* Run)
{
    UNREFERENCED_PARAMETER(Run);
    return PowerActFinish;
}

// 17.
static ULONG ActDevQueryDown(POWER_RUN* Run)
{
    Run->Context->State = PowerCtxDevQueryDownLower;
    return PowerActForward;
}

// 18.
static ULONG ActDevQueryDownDone(POWER_RUN* Run)
{
    UNREFERENCED_PARAMETER(Run);
    return PowerActFinish;
}

typedef ULONG (*POWER_ACTION_ROUTINE)(POWER_RUN* Run);

// Indexed by action number; entry 0 is unused.
static const POWER_ACTION_ROUTINE PowerActions[] = {
    NULL,
    ActBegin,
    ActDeviceIrp,
    ActForward,
    ActSysUpLowerDone,
    ActSysDownLowerDone,
    ActChooseDeviceState,
    ActRequestDeviceIrp,
    ActFinish,
    ActRelease,
    ActSysUpDeviceDone,
    ActSysDownDeviceDone,
    ActDevUpLowerDone,
    ActDevSetDown,
    ActDevDownForward,
    ActDevUpFinish,
    ActDevQueryUpDone,
    ActDevQueryDown,
    ActDevQueryDownDone,
};

static_assert(sizeof(PowerActions) / sizeof(PowerActions[0]) == PowerActDevQueryDownDone + 1,
              "one routine per action number");

NTSTATUS PowerStateMachine(PowerContext* Context, POWER_EVENT Event)
{
    POWER_RUN Run;
    ULONG Action = PowerActNone;

    Run.Context = Context;
    Run.Event = Event;
    Run.Result = STATUS_UNSUCCESSFUL;
    Run.ResultSet = FALSE;
    Run.Extension = NULL;
    Run.Irp = NULL;
    Run.Status = STATUS_SUCCESS;
    Run.HoldTaken = FALSE;
    Run.DispatchHoldKept = FALSE;

    if (Context->State < POWER_STATE_COUNT && (ULONG)Event < POWER_EVENT_COUNT) {
        Action = PowerMachineTable[Context->State * POWER_EVENT_COUNT + (ULONG)Event];
    }
    // The context may be gone once an action has handed the request on or freed it; from then
    // on only Run's own fields are read.
    while (Action != PowerActNone && Action <= PowerActDevQueryDownDone) {
        Action = PowerActions[Action](&Run);
    }
    return Run.Result;
}

// Completion routine of the requests the machine sends down. Up to DISPATCH_LEVEL. The request's
// location was marked pending by ActBegin, so it is not marked again here.
NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PowerContext* PowerCtx = (PowerContext*)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    PowerCtx->Status = Irp->IoStatus.Status;
    return PowerStateMachine(PowerCtx, PowerEventLowerComplete);
}

// Completion function of the device requests asked for with PoRequestPowerIrp. Up to
// DISPATCH_LEVEL, in whatever thread completed the device request.
VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                  POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus)
{
    PowerContext* PowerCtx = (PowerContext*)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PowerCtx->Status = IoStatus->Status;
    PowerStateMachine(PowerCtx, PowerEventRequestComplete);
}

NTSTATUS PassPowerDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

// The suspend and resume steps of a system set or query, when it arrives. PASSIVE_LEVEL, no lock
// held on entry or exit; the caller holds RemoveLock.
//
// Every sleep state (S1 to S4) marks the open port suspended: each of them takes the device to
// D3 at least, which ends the readers' transfers, and the mark makes the readers end quietly
// instead of taking the device for gone. Shutdown leaves the mark alone.
//
// The resume resets only the pipes with nothing of ours in flight on them (the USB stack must not
// reset an endpoint under queued transfers), and arms only the readers that are idle (or parked):
// after a sleep that was refused (a query for S3 marks the port as a set does) the readers are
// still armed, their URBs in flight, and a write may be under way. A reader found idle or parked
// stays so while SystemSuspended is set: only open, the resume and the read path's
// ResumeBulkInReader arm one, and the last waits for the mark to go. So the mark is cleared only
// after the resets, and the start routines, which leave an armed reader alone, run after that.
// The write chain is only sampled (WriteActive clear: nothing in flight on bulk-OUT); a write that
// starts between the test and the reset meets a reset the stack refuses, which is ignored.
static VOID PowerpSuspendOrResume(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension,
                                  SYSTEM_POWER_STATE Target)
{
    KIRQL OldIrql;
    BOOLEAN Resume = FALSE;
    BOOLEAN ResetBulkIn = FALSE;
    BOOLEAN ResetBulkOut = FALSE;
    BOOLEAN ResetInterrupt = FALSE;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
    if (DeviceExtension->DeviceOpen) {
        if (Target == PowerSystemWorking && DeviceExtension->SystemSuspended) {
            Resume = TRUE;
            ResetBulkIn = DeviceExtension->BulkInReaderState != ReaderArmed;
            ResetBulkOut = !DeviceExtension->WriteActive;
            ResetInterrupt = DeviceExtension->InterruptReaderState != ReaderArmed;
        } else if (Target >= PowerSystemSleeping1 && Target <= PowerSystemHibernate) {
            DeviceExtension->SystemSuspended = TRUE;
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

    if (Resume) {
        // Best effort: a failed reset does not keep the readers from starting.
        if (ResetBulkIn) {
            ResetPipe(DeviceObject, DeviceExtension->BulkInPipe);
        }
        if (ResetBulkOut) {
            ResetPipe(DeviceObject, DeviceExtension->BulkOutPipe);
        }
        if (ResetInterrupt) {
            ResetPipe(DeviceObject, DeviceExtension->InterruptPipe);
        }

        KeAcquireSpinLock(&DeviceExtension->SpinLock, &OldIrql);
        DeviceExtension->SystemSuspended = FALSE;
        KeReleaseSpinLock(&DeviceExtension->SpinLock, OldIrql);

        StartInterruptRead(DeviceExtension);
        StartBulkInRead(DeviceExtension);
    }
}

// A context for a new set or query request, zero-filled: the extension's own for the request's
// kind when it is free (always, while the power manager sends one request of a kind at a time),
// else one from non-paged pool; NULL when that fails too.
static PowerContext* PowerpTakeContext(PDEVICE_EXTENSION DeviceExtension, POWER_STATE_TYPE Type)
{
    PowerContext* Context = Type == SystemPowerState ? &DeviceExtension->SystemPowerContext
                                                     : &DeviceExtension->DevicePowerContext;

    if (InterlockedCompareExchange(&Context->Busy, 1, 0) == 0) {
        RtlZeroMemory(Context, FIELD_OFFSET(PowerContext, Busy));
        Context->InExtension = TRUE;
        return Context;
    }
    Context = (PowerContext*)ExAllocatePool(NonPagedPool, sizeof(PowerContext));
    if (Context != NULL) {
        RtlZeroMemory(Context, sizeof(PowerContext));
    }
    return Context;
}

// IRP_MJ_POWER. PASSIVE_LEVEL. Takes RemoveLock (request as tag) for its own run. A set or query
// is handed to the machine, which marks it pending and finishes it (DispatchPower returns
// STATUS_PENDING even when it is already complete); the other minor functions are passed down.
//
// The context is taken before the suspend or resume steps, so that a request without one leaves
// no trace: a query is then refused (STATUS_INSUFFICIENT_RESOURCES), a set (which no driver may
// fail) goes down unhandled after its suspend or resume steps, as another minor function would.
// Neither happens while the power manager keeps to one request of a kind at a time.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PowerContext* Context;
    NTSTATUS Status;
    BOOLEAN HoldKeptByMachine = FALSE;

    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, Status, 0);
    }

    if (Stack->MinorFunction != IRP_MN_SET_POWER && Stack->MinorFunction != IRP_MN_QUERY_POWER) {
        Status = PassPowerDown(DeviceExtension, Irp);
    } else {
        Context = PowerpTakeContext(DeviceExtension, Stack->Parameters.Power.Type);
        if (Context == NULL && Stack->MinorFunction == IRP_MN_QUERY_POWER) {
            PoStartNextPowerIrp(Irp);
            Status = CompleteRequestStatus(Irp, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            if (Stack->Parameters.Power.Type == SystemPowerState) {
                PowerpSuspendOrResume(DeviceObject, DeviceExtension,
                                      Stack->Parameters.Power.State.SystemState);
            }
            if (Context == NULL) {
                Status = PassPowerDown(DeviceExtension, Irp);
            } else {
                Context->Extension = DeviceExtension;
                Context->Irp = Irp;
                Context->DispatchKeepsHold = &HoldKeptByMachine;
                // The context may be gone (or taken by the next request) when this returns.
                Status = PowerStateMachine(Context, PowerEventNewIrp);
            }
        }
    }

    if (!HoldKeptByMachine) {
        IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    }
    return Status;
}

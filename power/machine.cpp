// The power state machine: each set-power and query-power request is carried by a
// POWER_CONTEXT through the steps that PowerStepTable names for its stage and the event
// at hand. Three events drive it: the dispatch, the completion of the request by the
// lower drivers, and the completion of a device request that the machine asked for.
// Context: PASSIVE_LEVEL from DispatchPower; up to DISPATCH_LEVEL from the two
// completion entry points, in whatever thread completes the request.
#include "power/power.h"

// First step for each stage and event. Rows 7 and 8 are unused stages.
const ULONG PowerStepTable[POWER_STAGE_COUNT][POWER_EVENT_COUNT] = {
    //            Dispatch        IrpComplete                 RequestComplete
    /* 0  StageStart            */ { StepBegin, StepNone,                StepNone },
    /* 1  StageSystemUpLower    */ { StepNone,  StepSystemUpLowerDone,   StepNone },
    /* 2  StageSystemUpDevice   */ { StepNone,  StepNone,                StepSystemUpDeviceDone },
    /* 3  StageSystemDownDevice */ { StepNone,  StepNone,                StepSystemDownDeviceDone },
    /* 4  StageSystemDownLower  */ { StepNone,  StepSystemDownLowerDone, StepNone },
    /* 5  StageDeviceSetUp      */ { StepNone,  StepDeviceSetUpDone,     StepNone },
    /* 6  StageDeviceSetDown    */ { StepNone,  StepFinish,              StepNone },
    /* 7  (unused)              */ { StepNone,  StepNone,                StepNone },
    /* 8  (unused)              */ { StepNone,  StepNone,                StepNone },
    /* 9  StageDeviceQueryUp    */ { StepNone,  StepDeviceQueryUpDone,   StepNone },
    /* 10 StageDeviceQueryDown  */ { StepNone,  StepDeviceQueryDownDone, StepNone },
    /* 11 StageDeviceStart      */ { StepNone,  StepNone,                StepDeviceBegin },
    /* 12 StageFinished         */ { StepNone,  StepNone,                StepNone },
};
static_assert(sizeof(PowerStepTable) == sizeof(ULONG) * POWER_STAGE_COUNT * POWER_EVENT_COUNT,
              "one row per stage, one column per event");

/*
 * RecordDevicePowerState - records the device state and tells the power manager, as a
 * function driver does at each change (before the device leaves D0, after it is back
 * in it). The data path tests the state under DataLock from other threads, so it is
 * written under DataLock; the power path, its only writer, reads it without.
 * Context: up to DISPATCH_LEVEL; takes DataLock.
 */
static VOID RecordDevicePowerState(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State)
{
    POWER_STATE state;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    Extension->DevicePowerState = State;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    state.DeviceState = State;
    PoSetPowerState(Extension->SelfDevice, DevicePowerState, state);
}

/*
 * PowerStateMachine - runs the steps for Context's stage and Event, one after another,
 * until a step hands the context over (StepPassDown to the lower drivers,
 * StepRequestDeviceIrp to the power manager) or frees it (StepRelease).
 * Context: PASSIVE_LEVEL for PowerEventDispatch, up to DISPATCH_LEVEL otherwise; no
 * lock held or taken. Every step sets Stage before a hand-over, because the
 * completion may run inside PoCallDriver or PoRequestPowerIrp, or on another
 * processor, and reads it.
 * Return: STATUS_PENDING for PowerEventDispatch (the IRP is marked pending and belongs
 * to the machine); for PowerEventIrpComplete STATUS_MORE_PROCESSING_REQUIRED while the
 * request is held, otherwise the status its completion goes on with; nobody reads it
 * for PowerEventRequestComplete. STATUS_UNSUCCESSFUL, with nothing done, for a stage
 * and event that have no step. The context must not be touched after the return.
 */
NTSTATUS PowerStateMachine(PPOWER_CONTEXT Context, POWER_EVENT Event)
{
    PDEVICE_EXTENSION extension = Context->Extension;
    PIRP irp = Context->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN isSystem = (BOOLEAN)(stack->Parameters.Power.Type == SystemPowerState);
    BOOLEAN isSet = (BOOLEAN)(stack->MinorFunction == IRP_MN_SET_POWER);
    // Parameters.Power.State is a union: read as a plain number, the two kinds
    // compare against the recorded states the same way (smaller = more power).
    ULONG newState = isSystem ? (ULONG)stack->Parameters.Power.State.SystemState
                              : (ULONG)stack->Parameters.Power.State.DeviceState;
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    POWER_STATE requested;
    BOOLEAN running = TRUE;
    ULONG step = StepNone;

    if ((ULONG)Context->Stage < POWER_STAGE_COUNT && (ULONG)Event < POWER_EVENT_COUNT) {
        step = PowerStepTable[Context->Stage][Event];
    }

    while (running) {
        switch (step) {
        case StepBegin:
            IoMarkIrpPending(irp);
            result = STATUS_PENDING;
            // The run holds a reference of its own until StepFinish. Removal may have
            // begun since the dispatch took its reference: then the request fails as a
            // late one does, and StepFinish, which would release what was never
            // acquired, is not reached.
            status = IoAcquireRemoveLock(&extension->RemoveLock, irp);
            if (!NT_SUCCESS(status)) {
                PoStartNextPowerIrp(irp);
                CompleteRequest(irp, status);
                step = StepRelease;
            } else if (!isSystem) {
                Context->Stage = StageDeviceStart;
                step = StepDeviceBegin;
            } else if (newState < (ULONG)extension->SystemPowerState) {
                Context->Stage = StageSystemUpLower;
                step = StepPassDown;
            } else {
                Context->Stage = StageSystemDownDevice;
                step = StepChooseDeviceState;
            }
            break;

        case StepDeviceBegin:
            if (newState < (ULONG)extension->DevicePowerState) {
                Context->Stage = isSet ? StageDeviceSetUp : StageDeviceQueryUp;
                step = StepPassDown;
            } else {
                step = isSet ? StepDeviceSetDown : StepDeviceQueryDown;
            }
            break;

        case StepPassDown:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PowerIrpComplete, Context, TRUE, TRUE, TRUE);
            // The context belongs to PowerIrpComplete from here; it may already be
            // gone when PoCallDriver returns.
            PoCallDriver(extension->LowerDevice, irp);
            running = FALSE;
            break;

        case StepSystemUpLowerDone:
            if (!NT_SUCCESS(Context->LastStatus)) {
                step = StepFinish;
                break;
            }
            if (isSet) {
                extension->SystemPowerState = (SYSTEM_POWER_STATE)newState;
            }
            Context->Stage = StageSystemUpDevice;
            // The system request stays ours until the device request is through.
            result = STATUS_MORE_PROCESSING_REQUIRED;
            step = StepChooseDeviceState;
            break;

        case StepSystemDownLowerDone:
            if (isSet) {
                extension->SystemPowerState = (SYSTEM_POWER_STATE)newState;
                // The working state again, with the device request for D0 through.
                if (newState == PowerSystemWorking && NT_SUCCESS(Context->LastStatus)) {
                    QueuePowerResume(extension);
                }
            }
            step = StepFinish;
            break;

        case StepChooseDeviceState:
            // The device keeps no state between fully on and off: D1 and D2 are never
            // asked for, whatever the capabilities map a sleep state to, and nothing
            // beyond D3 is a device state at all.
            Context->TargetDeviceState = newState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
            Context->RequestMinor = stack->MinorFunction;
            step = StepRequestDeviceIrp;
            break;

        case StepRequestDeviceIrp:
            requested.DeviceState = (DEVICE_POWER_STATE)Context->TargetDeviceState;
            status = PoRequestPowerIrp(extension->PhysicalDevice, Context->RequestMinor, requested,
                                       PowerRequestComplete, Context, NULL);
            if (NT_SUCCESS(status)) {
                // PowerRequestComplete owns the context now.
                running = FALSE;
            } else {
                if (Context->RequestMinor == IRP_MN_SET_POWER && Context->TargetDeviceState == PowerDeviceD0) {
                    FailStuckAsleep(extension);
                }
                Context->LastStatus = status;
                step = StepFinish;
            }
            break;

        case StepFinish:
            PoStartNextPowerIrp(irp);
            if (Event == PowerEventIrpComplete) {
                // The request is completing already: it goes on with what the lower
                // drivers gave it, and the completion routine returns this.
                result = Context->LastStatus;
            } else {
                irp->IoStatus.Status = Context->LastStatus;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            IoReleaseRemoveLock(&extension->RemoveLock, irp);
            step = StepRelease;
            break;

        case StepRelease:
            Context->Stage = StageFinished;
            ExFreePool(Context);
            running = FALSE;
            break;

        case StepSystemUpDeviceDone:
            // The device is in D0 again: the data path can resume.
            if (isSet && newState == PowerSystemWorking) {
                if (NT_SUCCESS(Context->LastStatus)) {
                    QueuePowerResume(extension);
                } else {
                    FailStuckAsleep(extension);
                }
            }
            step = StepFinish;
            break;

        case StepSystemDownDeviceDone:
            if (!NT_SUCCESS(Context->LastStatus)) {
                step = StepFinish;
            } else {
                Context->Stage = StageSystemDownLower;
                step = StepPassDown;
            }
            break;

        case StepDeviceSetUpDone:
            if (!NT_SUCCESS(Context->LastStatus) || !isSet) {
                step = StepFinish;
            } else {
                RecordDevicePowerState(extension, (DEVICE_POWER_STATE)newState);
                step = StepDeviceSetUpRecorded;
            }
            break;

        case StepDeviceSetDown:
            step = StepDeviceSetDownPass;
            break;

        case StepDeviceSetDownPass:
            Context->Stage = StageDeviceSetDown;
            // Recorded before the lower drivers see it: from here on nothing may count
            // on the device being powered.
            if (newState > (ULONG)extension->DevicePowerState) {
                RecordDevicePowerState(extension, (DEVICE_POWER_STATE)newState);
            }
            step = StepPassDown;
            break;

        case StepDeviceSetUpRecorded:
        case StepDeviceQueryUpDone:
        case StepDeviceQueryDownDone:
            step = StepFinish;
            break;

        case StepDeviceQueryDown:
            Context->Stage = StageDeviceQueryDown;
            step = StepPassDown;
            break;

        default:
            // A stage and event with no step: nothing is touched.
            result = STATUS_UNSUCCESSFUL;
            running = FALSE;
            break;
        }
    }
    return result;
}

/*
 * PowerIrpComplete - completion routine of a carried request passed down by
 * StepPassDown; Context is its POWER_CONTEXT.
 * Context: up to DISPATCH_LEVEL, in the completing thread; no lock held.
 * Return: STATUS_MORE_PROCESSING_REQUIRED while the machine holds the request for a
 * device request, otherwise the status the completion goes on with.
 */
NTSTATUS PowerIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PPOWER_CONTEXT context = (PPOWER_CONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    context->LastStatus = Irp->IoStatus.Status;
    return PowerStateMachine(context, PowerEventIrpComplete);
}

/*
 * PowerRequestComplete - called by the power manager when the device request asked
 * for by StepRequestDeviceIrp has completed; Context is the system request's context.
 * Context: up to DISPATCH_LEVEL, in the completing thread; no lock held.
 */
VOID PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                          PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PPOWER_CONTEXT context = (PPOWER_CONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    context->LastStatus = IoStatus->Status;
    PowerStateMachine(context, PowerEventRequestComplete);
}

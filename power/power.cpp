// Power requests: set-power and query-power go through the power state machine, each
// with a context of its own; every other power request passes down. A system request
// for the working state after a sleep with the port open resets both pipes and starts
// the receive pump again before the request goes on.
// Context: PASSIVE_LEVEL in the power manager's thread (the device is power-pageable).
#include "power/power.h"
#include "usb/usb.h"

/*
 * ResumeAfterSleep - notes a sleep or hibernation that finds the port open, and at the
 * next system request for the working state resets both pipes and restarts the pump
 * (its transfer failed or was dropped while the device was off, and BulkInComplete
 * did not restart it while SleptWhileOpen was set).
 * Context: PASSIVE_LEVEL; takes and releases DataLock, and calls ResetPipe, which
 * waits for the bus, with it released. Nothing happens while the port is closed.
 */
static VOID ResumeAfterSleep(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE Requested)
{
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    if (Extension->IsOpen) {
        if (Requested == PowerSystemWorking && Extension->SleptWhileOpen) {
            Extension->SleptWhileOpen = FALSE;
            KeReleaseSpinLock(&Extension->DataLock, irql);
            ResetPipe(Extension->SelfDevice, Extension->BulkInPipe);
            ResetPipe(Extension->SelfDevice, Extension->BulkOutPipe);
            StartBulkInRead(Extension, Extension->BulkInPipe);
            irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
        }
        if (Requested == PowerSystemSleeping3 || Requested == PowerSystemHibernate) {
            Extension->SleptWhileOpen = TRUE;
        }
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
}

/*
 * DispatchPower - IRP_MJ_POWER.
 * Context: PASSIVE_LEVEL; no lock held on entry or exit.
 * Return: STATUS_PENDING for set-power and query-power, which the machine owns and
 * completes; PoCallDriver's status for every other minor function, passed down
 * untouched; or a failure with the IRP completed here (removal under way, no pool
 * for the context). PoStartNextPowerIrp is called before the request leaves.
 */
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PPOWER_CONTEXT context;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        goto out;
    }

    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = PoCallDriver(extension->LowerDevice, Irp);
        goto release;
    }

    if (stack->Parameters.Power.Type == SystemPowerState) {
        ResumeAfterSleep(extension, stack->Parameters.Power.State.SystemState);
    }

    context = (PPOWER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(POWER_CONTEXT));
    if (context == NULL) {
        PoStartNextPowerIrp(Irp);
        status = STATUS_INSUFFICIENT_RESOURCES;
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        goto release;
    }
    RtlZeroMemory(context, sizeof(POWER_CONTEXT));
    context->Extension = extension;
    context->Irp = Irp;
    status = PowerStateMachine(context, PowerEventDispatch);

release:
    // The machine holds a reference of its own while it has the request, so this one
    // only covers the dispatch.
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
out:
    return status;
}

// Power requests: set-power and query-power go through the power state machine, each
// with a context of its own; every other power request passes down. After a sleep with
// the port open, the return to the working state resets both pipes and starts the
// receive pump again, from a worker thread once the device is back in D0.
// Context: PASSIVE_LEVEL in the power manager's thread (the device is power-pageable);
// QueuePowerResume up to DISPATCH_LEVEL; PowerResumeWorker in a system worker thread.
#include "power/power.h"
#include "usb/usb.h"

/*
 * NoteSleep - remembers that a system sleep or hibernation (set or query) found the port
 * open, so that the return to the working state resumes the data path. Every sleeping
 * state counts, S1 and S2 as well as S3 and S4: each puts the device in D3, where the
 * bus cancels the bulk-in transfer, and without the resume the pump would keep failing
 * against a suspended port until it declared the device failed.
 * Context: PASSIVE_LEVEL; takes and releases DataLock. Nothing while the port is closed.
 */
static VOID NoteSleep(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE Requested)
{
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    if (Extension->IsOpen && Requested >= PowerSystemSleeping1 && Requested <= PowerSystemHibernate) {
        Extension->SleptWhileOpen = TRUE;
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
}

/*
 * QueuePowerResume - once the system is working and the device is in D0 again, has a
 * worker thread reset both pipes and restart the pump if a sleep found the port open.
 * It cannot be done when the request for the working state arrives: the device is
 * still in D3 then (the system request goes down before the device request for D0),
 * and a suspended port refuses the new transfer.
 * Context: up to DISPATCH_LEVEL (the machine's completion steps); takes DataLock.
 * Without pool or once removal has begun nothing is queued and SleptWhileOpen stays
 * set, so the next request for the working state tries again.
 */
VOID QueuePowerResume(PDEVICE_EXTENSION Extension)
{
    PPOWER_RESUME_ITEM item = NULL;
    BOOLEAN due;
    KIRQL irql;

    // The item counts as outstanding work (close waits for it) until its worker has run.
    // The count is taken in the same hold of DataLock as the test of IsOpen: cleanup
    // clears IsOpen under it, so a count taken here comes before the close's drain and
    // is waited for. Taken after the lock, it could land after the drain had ended and
    // be lost when the next open sets the count afresh, and the close after that would
    // wait for ever.
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    due = (BOOLEAN)(Extension->IsOpen && Extension->SleptWhileOpen);
    if (due) {
        InterlockedIncrement(&Extension->OutstandingIo);
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
    if (!due) {
        goto out;
    }
    item = (PPOWER_RESUME_ITEM)ExAllocatePool(NonPagedPool, sizeof(POWER_RESUME_ITEM));
    if (item == NULL) {
        ReleaseOutstandingIo(Extension);
        goto out;
    }
    // The item holds off removal until its worker has run.
    if (!NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, item))) {
        ExFreePool(item);
        ReleaseOutstandingIo(Extension);
        goto out;
    }
    RtlZeroMemory(item, sizeof(POWER_RESUME_ITEM));
    ExInitializeWorkItem(&item->WorkItem, PowerResumeWorker, item);
    item->Extension = Extension;
    ExQueueWorkItem(&item->WorkItem, DelayedWorkQueue);
out:
    return;
}

/*
 * FailStuckAsleep - the system is working again but the device could not be brought back
 * to D0 (no device power request to be had, or the request failed). The writes held for
 * the resume, the parked read and the queued wait would wait for ever, and every later
 * transfer would fail against the suspended port: the device is declared failed, as a
 * dead phone is. What it holds ends now with STATUS_DELETE_PENDING; new requests are
 * refused until the device is removed.
 * Context: up to DISPATCH_LEVEL (the machine's steps); takes DataLock.
 */
VOID FailStuckAsleep(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    DeclareDeviceFailed(Extension);
    KeReleaseSpinLock(&Extension->DataLock, irql);
}

/*
 * PowerResumeWorker - resets both pipes and starts the pump again.
 * Context: system worker thread, PASSIVE_LEVEL; DataLock taken and released, and not
 * held across the pipe requests, which wait for the bus. Frees its item.
 */
VOID PowerResumeWorker(PVOID Parameter)
{
    PPOWER_RESUME_ITEM item = (PPOWER_RESUME_ITEM)Parameter;
    PDEVICE_EXTENSION extension = item->Extension;
    BOOLEAN resume;
    KIRQL irql;

    // A transfer still in flight (a query for a sleep that never came, or a transfer
    // started while SleptWhileOpen was set) is aborted first: ReadUrb exists once.
    // Its completion sees SleptWhileOpen still set and does not restart it.
    AbortPipe(extension->SelfDevice, extension->BulkInPipe);
    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    resume = (BOOLEAN)(extension->IsOpen && extension->SleptWhileOpen);
    extension->SleptWhileOpen = FALSE;
    KeReleaseSpinLock(&extension->DataLock, irql);
    if (resume) {
        ResetPipe(extension->SelfDevice, extension->BulkInPipe);
        // A close may come while the pipe is reset: the start tests the port again.
        StartBulkInReadWhileOpen(extension);
        // The bulk-out pipe only while no chain runs on it; then the writes held
        // across the sleep go on.
        ResumeWrites(extension);
    }
    ReleaseOutstandingIo(extension);
    IoReleaseRemoveLock(&extension->RemoveLock, item);
    ExFreePool(item);
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
        CompleteRequest(Irp, status);
        goto out;
    }

    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = PoCallDriver(extension->LowerDevice, Irp);
        goto release;
    }

    if (stack->Parameters.Power.Type == SystemPowerState) {
        NoteSleep(extension, stack->Parameters.Power.State.SystemState);
    }

    context = (PPOWER_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(POWER_CONTEXT));
    if (context == NULL) {
        PoStartNextPowerIrp(Irp);
        status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
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

// Requests the driver passes down untouched (internal device control, system
// control), and what every queue and handler shares: completing a request it owns
// with a status, claiming a queued request from its cancel routine, and completing a
// queued request its cancel routine has taken.
// Context: PASSIVE_LEVEL up to DISPATCH_LEVEL, in the sender's thread.
#include "core/core.h"

/*
 * DispatchPassDown - sends the request to the lower driver with the same parameters.
 * Context: up to DISPATCH_LEVEL.
 * Return: the lower driver's status, which then owns and completes the IRP; or, once
 * removal has begun, the remove lock's failure status with the IRP completed here.
 * The remove lock is held across IoCallDriver so that removal waits for the call.
 */
NTSTATUS DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * CompleteRequest - completes a request this driver owns with Status; a failure carries
 * no byte count.
 * Context: up to DISPATCH_LEVEL; no driver spin lock held (completion runs the
 * callers' routines).
 * Return: Status.
 */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = 0;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * CompleteCancelled - the common body of the queue cancel routines (ReadCancel,
 * WriteCancel, WaitOnMaskCancel): unlinks Irp from its queue under DataLock, taken
 * inside the cancel spin lock (the documented order), so that no queue is changed by a
 * cancel routine and the data path at once; takes UnqueuedBytes off OutQueueBytes
 * there too (a write's length, 0 otherwise); releases the cancel spin lock and
 * completes the request with STATUS_CANCELLED. The caller releases the request's
 * outstanding count and remove lock afterwards, the remove lock last.
 * Context: DISPATCH_LEVEL, entered holding the cancel spin lock, which it releases.
 */
VOID CompleteCancelled(PDEVICE_EXTENSION Extension, PIRP Irp, LONG UnqueuedBytes)
{
    KeAcquireSpinLockAtDpcLevel(&Extension->DataLock);
    Extension->OutQueueBytes -= UnqueuedBytes;
    // Whoever dequeued the request while this routine was on its way (the data path,
    // the cancel loop) pointed its entry at itself: the unlink then changes nothing.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLockFromDpcLevel(&Extension->DataLock);

    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * ClaimQueuedRequest - takes the oldest request of Queue whose cancel routine can still
 * be taken: whoever takes the routine owns the request. A request whose routine is
 * already gone belongs to its cancel routine, which will unlink it through its own
 * entry; pointed at itself here, that unlink changes nothing.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit (the lock of every queue).
 * Return: the claimed request, unlinked, the caller's to complete or send; or NULL.
 */
PIRP ClaimQueuedRequest(PLIST_ENTRY Queue)
{
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);

        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        InitializeListHead(entry);
    }
    return NULL;
}

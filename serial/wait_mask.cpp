// Wait-on-mask events: a wait is answered at once from PendingEvents, or queued (one at
// a time) until the receive or transmit path, or a new wait mask, delivers an event word
// through CompleteWaitOnMask.
// Context: the wait-on-mask request at PASSIVE_LEVEL in the application's thread;
// CompleteWaitOnMask from the bulk completion routines at DISPATCH_LEVEL with DataLock
// held, or from set-wait-mask at PASSIVE_LEVEL; WaitOnMaskCancel at DISPATCH_LEVEL
// under the cancel spin lock.
#include "serial/serial.h"

/*
 * WaitOnMaskIoctl - the IOCTL_SERIAL_WAIT_ON_MASK branch of the serial control switch.
 * Context: PASSIVE_LEVEL, no driver lock held on entry or exit; the caller holds the
 * remove lock with the IRP as tag.
 * Return: STATUS_PENDING when the IRP now belongs to this module with its remove lock:
 * queued (completed later by CompleteWaitOnMask or WaitOnMaskCancel), or found cancelled
 * while being queued and already completed here with STATUS_CANCELLED, since it had been
 * marked pending. Any other status leaves the IRP to the caller, who releases the remove
 * lock and completes it with that status: STATUS_SUCCESS with the event word answered at
 * once (Information 4), STATUS_BUFFER_TOO_SMALL, or STATUS_INVALID_PARAMETER when a
 * wait is already queued (that one is not disturbed).
 */
NTSTATUS WaitOnMaskIoctl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN cancelledHere = FALSE;
    NTSTATUS status;
    KIRQL irql;

    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto out;
    }

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);

    if (Extension->PendingEvents != 0 || Extension->WaitMask == 0) {
        // With an empty mask there is nothing to wait for: the answer is 0 at once.
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->PendingEvents;
        Extension->PendingEvents = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
        goto out_unlock;
    }

    if (!IsListEmpty(&Extension->WaitQueue)) {
        status = STATUS_INVALID_PARAMETER;
        goto out_unlock;
    }

    IoMarkIrpPending(Irp);
    InsertTailList(&Extension->WaitQueue, &Irp->Tail.Overlay.ListEntry);
    // Installed by exchange only: the cancel spin lock comes before DataLock, which is
    // held. IoCancelIrp sets Cancel before it takes the routine, so either it found
    // none and we see Cancel now, or it took ours and WaitOnMaskCancel will unlink the
    // wait once it gets DataLock.
    IoSetCancelRoutine(Irp, WaitOnMaskCancel);
    // A wait that reaches the queue after cleanup emptied it would never end (cleanup
    // clears IsOpen under DataLock before it cancels the queues): cancel it here.
    if ((Irp->Cancel || !Extension->IsOpen) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        cancelledHere = TRUE;
    }
    status = STATUS_PENDING;

out_unlock:
    KeReleaseSpinLock(&Extension->DataLock, irql);
    if (cancelledHere) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    }
out:
    return status;
}

/*
 * CompleteWaitOnMask - hands Events to the queued wait, if there is one.
 * Context: up to DISPATCH_LEVEL. LockHeld says whether the caller holds DataLock (the
 * bulk completion paths); it is held on exit exactly as on entry. With LockHeld the
 * waiter is completed while DataLock is held; without it, after DataLock is released.
 * The caller decides whether Events matter to WaitMask; PendingEvents is not changed.
 * With no waiter the word is dropped.
 * Return: TRUE when a waiter was given the word, so that the caller can take the events
 * it reported out of PendingEvents.
 */
// Not analysed: whether DataLock is taken here depends on LockHeld, which the lock
// analysis cannot follow.
BOOLEAN CompleteWaitOnMask(PDEVICE_EXTENSION Extension, ULONG Events, BOOLEAN LockHeld)
    NO_THREAD_SAFETY_ANALYSIS
{
    PIRP waiter;
    KIRQL irql = PASSIVE_LEVEL;

    if (!LockHeld) {
        irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    }

    waiter = ClaimQueuedRequest(&Extension->WaitQueue);

    if (!LockHeld) {
        KeReleaseSpinLock(&Extension->DataLock, irql);
    }

    if (waiter != NULL) {
        *(PULONG)waiter->AssociatedIrp.SystemBuffer = Events;
        waiter->IoStatus.Status = STATUS_SUCCESS;
        waiter->IoStatus.Information = sizeof(ULONG);
        IoCompleteRequest(waiter, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&Extension->RemoveLock, waiter);
    }
    return (BOOLEAN)(waiter != NULL);
}

/*
 * FailWaitOnMask - ends the queued wait with Status, Information 0: no event will come
 * from a device that is gone.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit; the wait is completed
 * with it held.
 */
VOID FailWaitOnMask(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    PIRP waiter = ClaimQueuedRequest(&Extension->WaitQueue);

    if (waiter != NULL) {
        waiter->IoStatus.Status = Status;
        waiter->IoStatus.Information = 0;
        IoCompleteRequest(waiter, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&Extension->RemoveLock, waiter);
    }
}

/*
 * WaitOnMaskCancel - the cancel routine of a queued wait.
 * Context: DISPATCH_LEVEL; entered holding the cancel spin lock, which it releases.
 * Takes DataLock inside it (the documented order) to unlink the wait, so the wait queue
 * is never changed by this routine and by CompleteWaitOnMask at the same time.
 * Completes the wait with STATUS_CANCELLED and releases its remove lock.
 */
VOID WaitOnMaskCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // CompleteWaitOnMask may have unlinked it already and pointed it at itself.
    CompleteCancelled(extension, Irp, 0);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
}

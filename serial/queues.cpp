// Ending queued requests through their own cancel routines: cleanup and removal empty
// every queue, the purge request one of them.
// Context: PASSIVE_LEVEL up to DISPATCH_LEVEL, no driver lock held; the cancel routines
// run under the cancel spin lock as IoCancelIrp would run them.
#include "serial/serial.h"

// Runs a cancel routine, as IoCancelIrp does, with the cancel spin lock held; the routine
// releases it. The lock analysis does not follow a call through a pointer: the release
// is stated here, and each cancel routine's own declaration says the same.
static VOID CallCancelRoutine(PDRIVER_CANCEL Routine, PDEVICE_OBJECT DeviceObject, PIRP Irp)
    RELEASE(CancelSpinLock) NO_THREAD_SAFETY_ANALYSIS
{
    Routine(DeviceObject, Irp);
}

/*
 * CancelQueuedRequests - hands every request of Queue, newest first, to its cancel
 * routine (ReadCancel, WriteCancel or WaitOnMaskCancel), which completes it with
 * STATUS_CANCELLED.
 * Context: up to DISPATCH_LEVEL; no lock held on entry or on exit. Takes the cancel
 * spin lock, then DataLock, for each request.
 */
static VOID CancelQueuedRequests(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    for (;;) {
        PDRIVER_CANCEL routine;
        PLIST_ENTRY entry;
        PIRP irp;
        KIRQL cancelIrql;

        IoAcquireCancelSpinLock(&cancelIrql);
        // The data paths link and unlink under DataLock alone, so the unlink here needs
        // it too; the cancel spin lock keeps IoCancelIrp away while the routine is taken.
        KeAcquireSpinLockAtDpcLevel(&extension->DataLock);
        if (IsListEmpty(Queue)) {
            KeReleaseSpinLockFromDpcLevel(&extension->DataLock);
            IoReleaseCancelSpinLock(cancelIrql);
            break;
        }
        entry = RemoveTailList(Queue);
        // The cancel routine unlinks the request once more: pointed at itself, that
        // unlink cannot touch a request queued after this one left.
        InitializeListHead(entry);
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        routine = IoSetCancelRoutine(irp, NULL);
        // Every cancel routine takes DataLock inside the cancel spin lock.
        KeReleaseSpinLockFromDpcLevel(&extension->DataLock);

        if (routine == NULL) {
            // Whoever took the routine owns the request and ends it.
            IoReleaseCancelSpinLock(cancelIrql);
            continue;
        }
        irp->Cancel = TRUE;
        irp->CancelIrql = cancelIrql;
        CallCancelRoutine(routine, DeviceObject, irp);
    }
}

/*
 * FlushReadQueue - stops the read timer, then cancels the queued reads.
 * Context: up to DISPATCH_LEVEL; no lock held on entry or on exit.
 */
VOID FlushReadQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    KeCancelTimer(&extension->ReadTimer);
    CancelQueuedRequests(DeviceObject, Queue);
}

/*
 * FlushWriteQueue - cancels the writes still waiting in the queue, newest first. The
 * write whose transfer is in progress has left the queue and runs to its end.
 * Context: up to DISPATCH_LEVEL; no lock held on entry or on exit.
 */
VOID FlushWriteQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    CancelQueuedRequests(DeviceObject, Queue);
}

/*
 * CancelAllQueues - ends every queued request: the writes, the read, then the wait.
 * Context: up to DISPATCH_LEVEL; no lock held on entry or on exit. Called by cleanup
 * and by the removal paths.
 */
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    FlushWriteQueue(DeviceObject, &extension->WriteQueue);
    FlushReadQueue(DeviceObject, &extension->ReadQueue);
    CancelQueuedRequests(DeviceObject, &extension->WaitQueue);
}

// Open, close, cleanup and flush of the emulated serial port: one opener at a time; the
// first open starts the data path, cleanup ends the queued requests, close stops the
// pipes and waits until nothing is in flight. Also the pipe aborts of the removal paths.
// Context: PASSIVE_LEVEL, in the application's thread (create, cleanup, close, flush)
// or the Plug and Play thread (AbortPipesIfOpen).
#include "serial/serial.h"
#include "usb/usb.h"

/*
 * InitSerialState - the serial defaults every first open starts from. Timeouts, the
 * statistics, the limits and the first four special characters carry over; XON and
 * XOFF start as the standard pair, since an application's settings call refuses a
 * DCB whose two flow characters are equal.
 * Context: PASSIVE_LEVEL, OpenMutex held, no transfer running.
 */
VOID InitSerialState(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    // No transfer runs yet, but a request on a stale file object may still look at
    // the settings: they change under their lock.
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WaitQueue);
    InitializeListHead(&Extension->WriteQueue);
    Extension->WaitMask = 0;
    Extension->ModemStatus = 0;
    Extension->OutQueueBytes = 0;
    Extension->PendingEvents = 0;
    Extension->BaudRate = 115200;
    Extension->LineControl.StopBits = STOP_BITS_2;
    Extension->LineControl.Parity = NO_PARITY;
    Extension->LineControl.WordLength = 8;
    Extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Extension->SpecialChars.XonChar = SERIAL_DEFAULT_XON;
    Extension->SpecialChars.XoffChar = SERIAL_DEFAULT_XOFF;
    Extension->WriteActive = FALSE;
    // Cleared before IsOpen is set, in the same hold: a system sleep noted as soon as
    // the port shows open must not be forgotten, or the resume would not restart the
    // pump and the held writes.
    Extension->SleptWhileOpen = FALSE;
    Extension->IsOpen = TRUE;
    KeReleaseSpinLock(&Extension->DataLock, irql);

    // The open bias: OutstandingIo cannot reach 0 while the port is open, so only the
    // close's drain is woken by IoIdleEvent. Interlocked: the removal paths read it
    // from their own thread once IsOpen is set.
    InterlockedExchange(&Extension->OutstandingIo, 1);
    KeInitializeEvent(&Extension->IoIdleEvent, SynchronizationEvent, FALSE);
    Extension->ErrorCount = 0;
}

/*
 * UndoFirstOpen - a first open that could not start the data path leaves the port as
 * closed as it found it: query-stop and query-remove see it closed, and the next create
 * runs the whole first-open sequence again.
 * Context: PASSIVE_LEVEL; OpenMutex not held on entry, taken and released here.
 */
static VOID UndoFirstOpen(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->OpenMutex)
{
    KIRQL irql;

    ExAcquireFastMutex(&Extension->OpenMutex);
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    Extension->IsOpen = FALSE;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    // Nothing was started, so the bias is the only unit: no drain to wake.
    InterlockedDecrement(&Extension->OutstandingIo);
    // Last: a create that sees the count at 0 finds everything else undone.
    InterlockedDecrement(&Extension->OpenCount);
    ExReleaseFastMutex(&Extension->OpenMutex);
}

/*
 * StartDataPath - the part of the first open that talks to the phone: both pipes reset,
 * the bytes of before the open discarded, the receive pump started.
 * Context: PASSIVE_LEVEL, no lock held; the caller holds the remove lock.
 * Return: the bulk-out reset's status, or STATUS_UNSUCCESSFUL when a reset failed, in
 * which case the open has been undone.
 */
static NTSTATUS StartDataPath(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    BOOLEAN asleep;
    NTSTATUS status;
    KIRQL irql;

    // An open while the device is out of D0 (the system going to sleep or not yet
    // resumed, while applications still run): the suspended port would refuse the
    // resets and fail every transfer of the pump until the device was declared dead.
    // The data path is left to the resume, as for a port that was open when the sleep
    // came. The test and the mark share one hold of DataLock, and the resume tests the
    // mark under it after the device is recorded in D0: either the resume sees the mark,
    // or this sees D0.
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    asleep = (BOOLEAN)(Extension->DevicePowerState != PowerDeviceD0);
    if (asleep) {
        Extension->SleptWhileOpen = TRUE;
        Extension->RxRing.Head = 0;
        Extension->RxRing.Tail = 0;
        Extension->RxRing.Count = 0;
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
    if (asleep) {
        status = STATUS_SUCCESS;
        goto out;
    }

    status = ResetPipe(DeviceObject, Extension->BulkInPipe);
    if (!NT_SUCCESS(status)) {
        goto fail;
    }
    status = ResetPipe(DeviceObject, Extension->BulkOutPipe);
    if (!NT_SUCCESS(status)) {
        goto fail;
    }

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    Extension->RxRing.Head = 0;
    Extension->RxRing.Tail = 0;
    Extension->RxRing.Count = 0;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    // A pump that cannot start is seen as a failed transfer by the data path; the open
    // itself stands.
    StartBulkInRead(Extension, Extension->BulkInPipe);
    goto out;

fail:
    status = STATUS_UNSUCCESSFUL;
    UndoFirstOpen(Extension);
out:
    return status;
}

/*
 * DispatchCreate - IRP_MJ_CREATE: opens the port for its one opener.
 * Context: PASSIVE_LEVEL. Takes OpenMutex across the state tests (StateLock inside it
 * for PnpState), the count and the defaults; the pipe resets run after it is released.
 * The remove lock is held only while the create runs.
 * Return: the status of the open; the IRP is completed here.
 */
// Not analysed: OpenMutex is released early on success and at the exit otherwise, as
// mutexHeld records, which the lock analysis cannot follow.
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) NO_THREAD_SAFETY_ANALYSIS
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN removeLockHeld = FALSE;
    BOOLEAN mutexHeld = TRUE;
    BOOLEAN started;
    NTSTATUS status;
    KIRQL irql;

    ExAcquireFastMutex(&extension->OpenMutex);
    Irp->IoStatus.Information = 0;

    // A surprise removal changes PnpState under StateLock alone, OpenMutex or not.
    irql = KeAcquireSpinLockRaiseToDpc(&extension->StateLock);
    started = (BOOLEAN)(extension->PnpState == Started);
    KeReleaseSpinLock(&extension->StateLock, irql);
    if (!started) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    if (IsDeviceUnavailable(extension)) {
        status = STATUS_DELETE_PENDING;
        goto out;
    }
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    removeLockHeld = TRUE;

    // A refused opener never changes the count: were it raised to 2 for a moment, a
    // close running then would see no single opener and leave the count stuck at 1.
    if (InterlockedCompareExchange(&extension->OpenCount, 1, 0) != 0) {
        status = STATUS_ACCESS_DENIED;
        goto out;
    }

    InitSerialState(extension);
    ExReleaseFastMutex(&extension->OpenMutex);
    mutexHeld = FALSE;
    status = StartDataPath(DeviceObject, extension);

out:
    if (removeLockHeld) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (mutexHeld) {
        ExReleaseFastMutex(&extension->OpenMutex);
    }
    return status;
}

/*
 * DispatchClose - IRP_MJ_CLOSE: the last reference to the port is gone. Stops both
 * pipes, waits until every unit of work has ended, then makes the port openable again.
 * Context: PASSIVE_LEVEL. CloseMutex is held around the tests only; the drain blocks
 * and runs after it is released.
 * Return: STATUS_SUCCESS; the remove lock's status when removal has begun; or
 * STATUS_INVALID_DEVICE_REQUEST when the port has no single opener. The IRP is
 * completed here.
 */
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN removeLockHeld = FALSE;
    BOOLEAN closesOpener = TRUE;
    NTSTATUS status;

    ExAcquireFastMutex(&extension->CloseMutex);
    Irp->IoStatus.Information = 0;

    // Held through the drain in every state, a surprise-removed one included: a removal
    // that begins meanwhile waits for this close before the pipes and the lower device go.
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (NT_SUCCESS(status)) {
        removeLockHeld = TRUE;
        if (IsDeviceUnavailable(extension)) {
            status = STATUS_SUCCESS;
        } else if (InterlockedCompareExchange(&extension->OpenCount, 1, 1) != 1) {
            // An interlocked read: creates change the count on other threads.
            closesOpener = FALSE;
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    ExReleaseFastMutex(&extension->CloseMutex);

    // Without the remove lock the removal has begun, and it ends the transfers itself:
    // the pipes may already be gone.
    if (removeLockHeld) {
        AbortPipesAndDrain(DeviceObject);
    }
    // The count drops only after the drain, so that a new open cannot start (and
    // re-arm IoIdleEvent) while this one is still draining.
    if (closesOpener) {
        InterlockedDecrement(&extension->OpenCount);
    }
    if (removeLockHeld) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * DispatchCleanup - IRP_MJ_CLEANUP: the last handle is closed. Marks the port closed
 * (device control is refused and the pump stops re-arming from now on) and ends every
 * queued request: writes, the read, the wait.
 * Context: PASSIVE_LEVEL; no remove lock and no state test, whatever the device state.
 * Return: STATUS_SUCCESS, the IRP completed here.
 */
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    extension->IsOpen = FALSE;
    KeReleaseSpinLock(&extension->DataLock, irql);
    KeCancelTimer(&extension->ReadTimer);
    CancelAllQueues(DeviceObject);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

/*
 * DispatchFlush - IRP_MJ_FLUSH_BUFFERS: ends when the writes queued before it have
 * ended (see FlushWrites), at once when there are none.
 * Context: PASSIVE_LEVEL.
 * Return: STATUS_SUCCESS with the IRP completed here, or STATUS_PENDING.
 */
NTSTATUS DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return FlushWrites((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

/*
 * AbortPipesAndDrain - stops both pipes, so that the bulk transfers in flight come back
 * to their completion routines, drops the open bias and waits until the last unit of
 * work has ended. Leaves OutstandingIo at 1.
 * Context: PASSIVE_LEVEL, no lock held; blocks.
 */
VOID AbortPipesAndDrain(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    AbortPipe(DeviceObject, extension->BulkInPipe);
    AbortPipe(DeviceObject, extension->BulkOutPipe);
    // The unit whose release reaches 0 signals IoIdleEvent; if the bias was the last
    // one, nothing will.
    if (InterlockedDecrement(&extension->OutstandingIo) != 0) {
        KeWaitForSingleObject(&extension->IoIdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedExchange(&extension->OutstandingIo, 1);
}

/*
 * AbortPipesIfOpen - the removal paths' pipe stop: both pipes aborted when the port is
 * open, so that the transfers in flight end. Does not wait and leaves OutstandingIo.
 * Context: PASSIVE_LEVEL, no lock held.
 */
VOID AbortPipesIfOpen(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN open;
    KIRQL irql;

    // OutstandingIo is interlocked, not under DataLock: a close's drain on another
    // thread changes it meanwhile, so it is read the interlocked way too.
    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    open = (BOOLEAN)(InterlockedCompareExchange(&extension->OutstandingIo, 0, 0) != 0 && extension->IsOpen);
    KeReleaseSpinLock(&extension->DataLock, irql);
    if (open) {
        AbortPipe(DeviceObject, extension->BulkInPipe);
        AbortPipe(DeviceObject, extension->BulkOutPipe);
    }
}

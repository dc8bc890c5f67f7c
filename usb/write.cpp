// Write requests and bulk-out transfers. Writes are served strictly one after the
// other: each waits in WriteQueue until the running chain ends, then travels down the
// stack itself, once per chunk of at most BULK_TRANSFER_SIZE bytes and once more for a
// trailing zero-length packet when its length is a multiple of MaxPacketSize.
// Context: DispatchWrite in the application's thread (raised to DISPATCH_LEVEL by
// DataLock); BulkOutComplete at DISPATCH_LEVEL or below in the bus's completion
// context; WriteCancel at DISPATCH_LEVEL holding the I/O cancel spin lock.
#include "usb/usb.h"
#include "serial/serial.h"

// Line-change events reported to a waiter, whatever its mask, when a transfer fails.
#define WRITE_FAILURE_EVENTS (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD)

/*
 * WritesHeld - the device is out of D0 (recorded before it leaves, cleared only once it
 * is back): no chain starts, the queued writes wait for the resume, and a chunk that
 * fails meanwhile failed because of the sleep, which must not count toward the limit.
 * Context: any IRQL; DataLock held by the callers.
 */
static BOOLEAN WritesHeld(PDEVICE_EXTENSION Extension) REQUIRES(Extension->DataLock)
{
    return (BOOLEAN)(Extension->DevicePowerState != PowerDeviceD0 || Extension->SleptWhileOpen);
}

/*
 * QueuedBytes - the bytes a request in the write queue counts in OutQueueBytes: a
 * write's length; nothing for a flush waiting for the writes before it.
 * Context: any IRQL.
 */
static ULONG QueuedBytes(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    return stack->MajorFunction == IRP_MJ_WRITE ? stack->Parameters.Write.Length : 0;
}

/*
 * PrepareChunk - points the request's transfer at the Length bytes at Buffer (0 for a
 * zero-length packet) and fills the lower driver's stack location with it, ready for
 * IoCallDriver.
 * Context: DISPATCH_LEVEL, DataLock held; the request is claimed by the caller (no
 * cancel routine of ours, in no queue).
 */
static VOID PrepareChunk(PDEVICE_EXTENSION Extension, PIRP Irp, PWRITE_CONTEXT Context,
                         PUCHAR Buffer, ULONG Length) REQUIRES(Extension->DataLock)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Context->Urb.UrbBulkOrInterruptTransfer;
    PIO_STACK_LOCATION next;

    RtlZeroMemory(&Context->Urb, sizeof(URB));
    transfer->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Extension->BulkOutPipe;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK;  // direction out
    transfer->TransferBuffer = Buffer;
    transfer->TransferBufferLength = Length;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;
    Context->ChunkLength = Length;

    next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &Context->Urb;
    IoSetCompletionRoutine(Irp, BulkOutComplete, Context, TRUE, TRUE, TRUE);

    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
}

/*
 * FailClaimedWrite - completes a claimed request that never went down with Status (a
 * flush whose turn came: with success): its bytes leave the output count, its holds
 * are given back.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit.
 */
static VOID FailClaimedWrite(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status)
    REQUIRES(Extension->DataLock)
{
    Extension->OutQueueBytes -= (LONG)QueuedBytes(Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseOutstandingIo(Extension);
}

/*
 * FailQueuedWrites - ends every queued request it can claim with Status; the write
 * whose chain is running is not in the queue and ends with its own transfer.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit; the requests are
 * completed with it held.
 */
VOID FailQueuedWrites(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    PIRP irp;

    while ((irp = ClaimQueuedRequest(&Extension->WriteQueue)) != NULL) {
        FailClaimedWrite(Extension, irp, Status);
    }
}

/*
 * QueueWriteRequest - links a write, or a flush that waits for the writes before it, at
 * the tail of WriteQueue, marked pending, with WriteCancel as its cancel routine. The
 * request holds the remove lock and one OutstandingIo count; a write's bytes are
 * already in OutQueueBytes.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit.
 * Return: TRUE when queued; FALSE when it was found cancelled and has been completed
 * here with STATUS_CANCELLED, its holds and its bytes given back.
 */
static BOOLEAN QueueWriteRequest(PDEVICE_EXTENSION Extension, PIRP Irp) REQUIRES(Extension->DataLock)
{
    InsertTailList(&Extension->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, WriteCancel);
    // A cancel that came before the routine was installed found nothing to call: take
    // the routine back and cancel here. If it is already gone, WriteCancel is running
    // and waits for DataLock to unlink the request; leave it queued for it.
    // A request that arrives after cleanup has emptied the queue (IsOpen is cleared
    // under DataLock first) would be stranded there, and the close waits for it: it is
    // cancelled as cleanup would have cancelled it.
    if ((Irp->Cancel || !Extension->IsOpen) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        FailClaimedWrite(Extension, Irp, STATUS_CANCELLED);
        return FALSE;
    }
    return TRUE;
}

/*
 * FlushWrites - the flush request: it ends once every write queued before it has
 * ended, so that "write, flush, close" loses nothing. It waits in WriteQueue behind
 * them and is completed by StartNextWrite when its turn comes (or cancelled with the
 * queue, or failed with it when the device is declared failed).
 * Context: PASSIVE_LEVEL in the caller's thread; no lock held on entry or exit.
 * Return: STATUS_PENDING when queued; otherwise the status it was completed with here:
 * STATUS_SUCCESS when no write is queued or running, STATUS_DELETE_PENDING on a device
 * that is unavailable, the remove lock's failure.
 */
NTSTATUS FlushWrites(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    InterlockedIncrement(&Extension->OutstandingIo);
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    Irp->IoStatus.Information = 0;
    if (IsDeviceUnavailable(Extension)) {
        // Nothing more goes out of a dead device, and nothing would end the wait.
        status = STATUS_DELETE_PENDING;
    } else if (Extension->WriteActive || !IsListEmpty(&Extension->WriteQueue)) {
        status = IoAcquireRemoveLock(&Extension->RemoveLock, Irp);
        if (NT_SUCCESS(status)) {
            (VOID)QueueWriteRequest(Extension, Irp);
            KeReleaseSpinLock(&Extension->DataLock, irql);
            status = STATUS_PENDING;
            goto out;
        }
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseOutstandingIo(Extension);
out:
    return status;
}

/*
 * RunWriteQueue - what follows the end of a chain (or the claim of WriteActive to start
 * one): the next queued request goes down, and the one after it when that chain has
 * ended before IoCallDriver returned (a bus refusing each at once), and so on, in one
 * loop: a chain that ends inside the loop, on this thread or another, leaves the next
 * start to it, so that queued writes never nest one completion inside the other.
 * With the port closed or the device gone nothing starts and WriteActive stays set
 * until the next first open (cleanup cancels what a closed port queues; a dead device
 * ended its queue when it was declared dead). Out of D0 the queue waits for the resume
 * (ResumeWrites), since the bus would refuse each at once.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit (acquired at *Irql),
 * released around each IoCallDriver; WriteActive is set.
 */
static BOOLEAN QueueWriteReset(PDEVICE_EXTENSION Extension) REQUIRES(Extension->DataLock);

static VOID RunWriteQueue(PDEVICE_EXTENSION Extension, PKIRQL Irql) REQUIRES(Extension->DataLock)
{
    BOOLEAN outermost = (BOOLEAN)!Extension->WriteStarting;
    PIRP next;

    Extension->WriteStarting = TRUE;
    do {
        Extension->WriteStartDue = FALSE;
        if (!Extension->IsOpen || IsDeviceUnavailable(Extension)) {
            break;
        }
        if (Extension->DevicePowerState != PowerDeviceD0) {
            Extension->WriteActive = FALSE;
            break;
        }
        if (!outermost && !IsListEmpty(&Extension->WriteQueue)) {
            // The loop further out starts it once its IoCallDriver has returned. An
            // empty queue is settled here and now, so that TXEMPTY is not told late.
            Extension->WriteStartDue = TRUE;
            break;
        }
        StartNextWrite(Extension, &next);
        if (next == NULL) {
            break;
        }
        // Outside DataLock: the lower driver may complete the transfer at once, and
        // BulkOutComplete takes DataLock.
        KeReleaseSpinLock(&Extension->DataLock, *Irql);
        IoCallDriver(Extension->LowerDevice, next);
        *Irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    } while (outermost && Extension->WriteStartDue);
    if (outermost) {
        Extension->WriteStarting = FALSE;
    }
}

/*
 * DispatchWrite - the IRP_MJ_WRITE dispatch routine: queues the request and, when no
 * chain is running, starts one.
 * Context: PASSIVE_LEVEL in the caller's thread; no lock held on entry or exit.
 * Return: STATUS_PENDING once the request has been queued: from then on only the party
 * that takes it out of the queue completes it (BulkOutComplete at the end of its chain,
 * StartNextWrite for lack of memory, WriteCancel), never this routine. Otherwise the
 * status with which the request was completed here.
 */
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    NTSTATUS status;
    KIRQL irql;

    // The request is outstanding work until whoever completes it releases the count.
    InterlockedIncrement(&extension->OutstandingIo);
    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    Irp->IoStatus.Information = 0;

    if (IsDeviceUnavailable(extension)) {
        extension->PendingEvents = 0;
        KeReleaseSpinLock(&extension->DataLock, irql);
        status = STATUS_DELETE_PENDING;
        goto complete;
    }
    if (length == 0) {
        KeReleaseSpinLock(&extension->DataLock, irql);
        status = STATUS_SUCCESS;
        goto complete;
    }
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        KeReleaseSpinLock(&extension->DataLock, irql);
        goto complete;
    }

    extension->OutQueueBytes += (LONG)length;
    if (!QueueWriteRequest(extension, Irp)) {
        KeReleaseSpinLock(&extension->DataLock, irql);
        // Marked pending, so the caller learns STATUS_CANCELLED from the request itself.
        status = STATUS_PENDING;
        goto out;
    }

    if (!extension->WriteActive && extension->DevicePowerState == PowerDeviceD0) {
        extension->WriteActive = TRUE;
        RunWriteQueue(extension, &irql);
    }
    KeReleaseSpinLock(&extension->DataLock, irql);
    status = STATUS_PENDING;
    goto out;

complete:
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseOutstandingIo(extension);
out:
    return status;
}

/*
 * StartNextWrite - claims the oldest queued request that is not being cancelled and
 * prepares the first transfer of its chain.
 * Context: DISPATCH_LEVEL, DataLock held on entry and exit; WriteActive is set.
 * Return: STATUS_PENDING with *Prepared the request, which the caller passes to
 * LowerDevice once it has released DataLock. Otherwise *Prepared is NULL, the queue is
 * empty and WriteActive is clear: STATUS_INSUFFICIENT_RESOURCES when the last request
 * claimed was completed here for lack of memory, STATUS_UNSUCCESSFUL when there was
 * nothing to claim. A request failed for lack of memory does not end the chain: the
 * next queued one is tried, so later writes are not left waiting behind WriteActive.
 */
NTSTATUS StartNextWrite(PDEVICE_EXTENSION Extension, PIRP *Prepared)
{
    PWRITE_CONTEXT context;
    PIRP irp;
    ULONG length;
    ULONG chunk;
    PUCHAR buffer;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    *Prepared = NULL;
    for (;;) {
        irp = ClaimQueuedRequest(&Extension->WriteQueue);
        if (irp == NULL) {
            Extension->WriteActive = FALSE;
            if (Extension->WaitMask & SERIAL_EV_TXEMPTY) {
                CompleteWaitOnMask(Extension, SERIAL_EV_TXEMPTY, TRUE);
            }
            break;
        }

        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
            // Every write queued before the flush has ended.
            FailClaimedWrite(Extension, irp, STATUS_SUCCESS);
            continue;
        }
        length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        context = (PWRITE_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(WRITE_CONTEXT));
        if (context == NULL) {
            FailClaimedWrite(Extension, irp, STATUS_INSUFFICIENT_RESOURCES);
            status = STATUS_INSUFFICIENT_RESOURCES;
            continue;
        }

        RtlZeroMemory(context, sizeof(WRITE_CONTEXT));
        buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        chunk = length < BULK_TRANSFER_SIZE ? length : BULK_TRANSFER_SIZE;
        PrepareChunk(Extension, irp, context, buffer, chunk);
        context->NextBuffer = buffer + chunk;
        context->Remaining = length - chunk;
        context->Transferred = 0;
        // MaxPacketSize is 0 only on a device that was never started; no packet rule then.
        context->SendZeroLengthPacket =
            (BOOLEAN)(Extension->ZeroLengthPacket && Extension->MaxPacketSize != 0 &&
                      length % Extension->MaxPacketSize == 0);
        *Prepared = irp;
        status = STATUS_PENDING;
        break;
    }
    return status;
}

/*
 * BulkOutComplete - completion routine of every chunk of a write request. Sends the
 * same request down again for the next chunk (or the zero-length packet) while the
 * chain goes on; at its end settles the counts, frees the WRITE_CONTEXT and starts the
 * next queued request.
 * Context: DISPATCH_LEVEL or below; no lock held on entry or exit. DeviceObject is our
 * device, Context the request's WRITE_CONTEXT.
 * Return: STATUS_MORE_PROCESSING_REQUIRED while the chain goes on (the request is with
 * the lower driver again); at its end the request's status, so that it completes to
 * the I/O manager with that status and its Information.
 */
NTSTATUS BulkOutComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PWRITE_CONTEXT context = (PWRITE_CONTEXT)Context;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &context->Urb.UrbBulkOrInterruptTransfer;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    NTSTATUS status = Irp->IoStatus.Status;
    USBD_STATUS usbdStatus;
    NTSTATUS result;
    ULONG moved;
    ULONG chunk;
    BOOLEAN fatal;
    LONG errors;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    usbdStatus = transfer->Hdr.Status;
    // No more than the chunk asked for can have moved, whatever the lower driver says.
    moved = transfer->TransferBufferLength;
    if (moved > context->ChunkLength) {
        moved = context->ChunkLength;
    }
    context->Transferred += moved;
    // The bytes a short chunk did not take go at the head of the next one, so that the
    // phone gets every byte, in order.
    context->Remaining += context->ChunkLength - moved;
    context->NextBuffer -= context->ChunkLength - moved;
    // A failed URB fails the chunk even under a successful request; so does a chunk
    // that took nothing, which no retry would move on.
    if (NT_SUCCESS(status) &&
        (usbdStatus != USBD_STATUS_SUCCESS || (moved == 0 && context->ChunkLength != 0))) {
        status = STATUS_UNSUCCESSFUL;
        Irp->IoStatus.Status = status;
    }

    if (NT_SUCCESS(status) && (context->Remaining > 0 || context->SendZeroLengthPacket) &&
        extension->IsOpen) {
        if (context->Remaining == 0) {
            context->SendZeroLengthPacket = FALSE;
        }
        chunk = context->Remaining < BULK_TRANSFER_SIZE ? context->Remaining : BULK_TRANSFER_SIZE;
        PrepareChunk(extension, Irp, context, context->NextBuffer, chunk);
        context->Remaining -= chunk;
        context->NextBuffer += chunk;
        KeReleaseSpinLock(&extension->DataLock, irql);
        // The request travels down again; its completion comes back here.
        IoCallDriver(extension->LowerDevice, Irp);
        result = STATUS_MORE_PROCESSING_REQUIRED;
        goto out;
    }

    // The chain has ended: the request's bytes leave the output queue, however many of
    // them went out.
    extension->OutQueueBytes -= (LONG)length;
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        fatal = FALSE;
        if (extension->IsOpen && !WritesHeld(extension)) {
            errors = InterlockedIncrement(&extension->ErrorCount);
            fatal = (BOOLEAN)(usbdStatus == USBD_STATUS_DEV_NOT_RESPONDING ||
                              status == STATUS_DEVICE_NOT_CONNECTED ||
                              status == STATUS_DEVICE_DATA_ERROR || errors > MAX_TRANSFER_ERRORS);
        }
        // The waiter hears of the line change before a dead device ends what it holds.
        CompleteWaitOnMask(extension, WRITE_FAILURE_EVENTS, TRUE);
        if (fatal) {
            DeclareDeviceFailed(extension);
        }
    } else {
        Irp->IoStatus.Information = context->Transferred;
        extension->PerfStats.TransmittedCount += context->Transferred;
    }

    ExFreePool(context);

    // A stalled pipe fails every chunk until it is reset, which only a worker can do:
    // the queue waits for it (WriteActive stays set), then goes on.
    if (!(usbdStatus == USBD_STATUS_STALL_PID && extension->IsOpen && !IsDeviceUnavailable(extension) &&
          QueueWriteReset(extension))) {
        RunWriteQueue(extension, &irql);
    }
    KeReleaseSpinLock(&extension->DataLock, irql);
    // The request's holds go last: once both are released, close and removal may
    // finish and the device go away, so nothing here touches the extension after them.
    ReleaseOutstandingIo(extension);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    // The request completes on to the I/O manager from here; it was marked pending
    // when it was queued.
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    result = status;
out:
    return result;
}

/*
 * ResetAndRunWrites - resets the bulk-out pipe, then starts the queued writes.
 * Context: PASSIVE_LEVEL in a worker, no lock held; WriteActive is set by the caller,
 * so that no chain starts under the reset.
 */
static VOID ResetAndRunWrites(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    ResetPipe(Extension->SelfDevice, Extension->BulkOutPipe);
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    RunWriteQueue(Extension, &irql);
    KeReleaseSpinLock(&Extension->DataLock, irql);
}

/*
 * ResumeWrites - after a sleep: resets the bulk-out pipe, unless a chain already runs on
 * it again (a reset under a transfer in flight would upset it) or a stall's reset is on
 * its way, then starts the writes held in the queue while the device was out of D0.
 * Context: PASSIVE_LEVEL in the resume worker, no lock held; the device is in D0.
 */
VOID ResumeWrites(PDEVICE_EXTENSION Extension)
{
    BOOLEAN reset = FALSE;
    KIRQL irql;

    // Claimed for the reset, so that no chain starts under it.
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    if (!Extension->WriteActive) {
        Extension->WriteActive = TRUE;
        reset = TRUE;
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
    if (reset) {
        ResetAndRunWrites(Extension);
    }
}

/*
 * QueueWriteReset - has a worker reset the stalled bulk-out pipe and go on with the
 * queue. The item counts as outstanding work: close waits until its worker has run.
 * Context: DISPATCH_LEVEL, DataLock held; WriteActive is set and stays set until the
 * worker has reset the pipe.
 * Return: TRUE when queued; FALSE without pool (nothing queued: the caller goes on
 * with the queue, and the next stall tries again).
 */
static BOOLEAN QueueWriteReset(PDEVICE_EXTENSION Extension) REQUIRES(Extension->DataLock)
{
    PREAD_RESTART_ITEM item;

    item = (PREAD_RESTART_ITEM)ExAllocatePool(NonPagedPool, sizeof(READ_RESTART_ITEM));
    if (item != NULL) {
        InterlockedIncrement(&Extension->OutstandingIo);
        RtlZeroMemory(item, sizeof(READ_RESTART_ITEM));
        ExInitializeWorkItem(&item->WorkItem, WriteResetWorker, item);
        item->Extension = Extension;
        item->ResetPipe = TRUE;
        ExQueueWorkItem(&item->WorkItem, DelayedWorkQueue);
    }
    return (BOOLEAN)(item != NULL);
}

/*
 * WriteResetWorker - resets the stalled bulk-out pipe, unless the port was closed or the
 * device became unavailable meanwhile, and starts the next queued write; frees its item.
 * Context: PASSIVE_LEVEL in a system worker thread; takes and releases DataLock.
 */
VOID WriteResetWorker(PVOID Parameter)
{
    PREAD_RESTART_ITEM item = (PREAD_RESTART_ITEM)Parameter;
    PDEVICE_EXTENSION extension = item->Extension;
    BOOLEAN open;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    open = extension->IsOpen;
    KeReleaseSpinLock(&extension->DataLock, irql);
    if (open && !IsDeviceUnavailable(extension)) {
        ResetAndRunWrites(extension);
    }
    // The count goes last: once it is released, close may finish and the device go.
    ExFreePool(item);
    ReleaseOutstandingIo(extension);
}

/*
 * WriteCancel - cancel routine of a queued write request (or of a flush queued behind
 * the writes).
 * Context: DISPATCH_LEVEL, entered holding the I/O cancel spin lock, which it releases;
 * called by the I/O manager or by the write-queue flush. DataLock is taken inside the
 * cancel spin lock (the driver's lock order), so the unlink cannot meet StartNextWrite
 * or DispatchWrite changing the queue.
 * Return: none; the request is completed here with STATUS_CANCELLED.
 */
VOID WriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // StartNextWrite may have unlinked it already and pointed it at itself.
    CompleteCancelled(extension, Irp, (LONG)QueuedBytes(Irp));
    // The remove lock goes last: removal may delete the device once it is released.
    ReleaseOutstandingIo(extension);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
}

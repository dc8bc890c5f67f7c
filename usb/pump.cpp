// The receive pump: while the port is open one bulk-in transfer is always outstanding.
// Its completion puts the data into the ring, ends the parked read, tells a waiter
// about receive events and has the next transfer started from a worker thread.
// Context: StartBulkInRead at PASSIVE_LEVEL (open, resume, the restart worker);
// BulkInComplete at DISPATCH_LEVEL or below in the bus's completion context;
// ReadRestartWorker in a system worker thread at PASSIVE_LEVEL.
#include "usb/usb.h"
#include "serial/serial.h"

// SERIAL_EV_RX80FULL is raised from this many bytes in the ring on.
#define RX80FULL_THRESHOLD 820000

/*
 * DeclareDeviceFailed - marks the device dead: IsDeviceUnavailable is TRUE from now on
 * and reads, writes and control requests are refused. What the device still holds, the
 * parked read, the queued wait and the queued writes, ends now with the status a new
 * request would get: none of them would ever end otherwise before the handle is closed.
 * A write whose chain is running ends with its own transfer. Never undone while the
 * device exists.
 * Context: DISPATCH_LEVEL, DataLock held (StateLock comes after it); the requests are
 * completed with it held.
 */
VOID DeclareDeviceFailed(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
    Extension->DeviceFailure = DEVICE_FAILED_MARK;
    KeReleaseSpinLock(&Extension->StateLock, irql);

    KeCancelTimer(&Extension->ReadTimer);
    FailPendingReads(Extension, STATUS_DELETE_PENDING);
    FailWaitOnMask(Extension, STATUS_DELETE_PENDING);
    FailQueuedWrites(Extension, STATUS_DELETE_PENDING);
}

/*
 * StartBulkInRead - builds the bulk-in transfer of up to BULK_TRANSFER_SIZE bytes into
 * ReadStaging and sends it down on Pipe (always BulkInPipe).
 * Context: PASSIVE_LEVEL or DISPATCH_LEVEL; never with DataLock held: it takes it, and
 * the lower driver may complete the transfer, and BulkInComplete take DataLock, before
 * IoCallDriver returns. Only one transfer may be in flight: ReadUrb and ReadStaging
 * exist once, and ReadInFlight says who owns them.
 * Return: STATUS_INSUFFICIENT_RESOURCES when no IRP could be had (the start is tried
 * again from a worker, as after a failed transfer), STATUS_DEVICE_BUSY when a transfer
 * is already in flight (nothing sent), otherwise what IoCallDriver returned. Callers
 * ignore it.
 */
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION Extension, USBD_PIPE_HANDLE Pipe)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Extension->ReadUrb.UrbBulkOrInterruptTransfer;
    PIO_STACK_LOCATION next;
    PIRP irp;
    BOOLEAN retry;
    NTSTATUS status;
    KIRQL irql;

    // Several paths start the pump (open, the restart worker, the resume after a sleep),
    // and a restart queued before a sleep may run after the resume has started its own
    // transfer. The first to get here owns ReadUrb; the others leave the pump to it,
    // since its completion has the next transfer started.
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    if (Extension->ReadInFlight) {
        KeReleaseSpinLock(&Extension->DataLock, irql);
        status = STATUS_DEVICE_BUSY;
        goto out;
    }
    Extension->ReadInFlight = TRUE;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    // The transfer counts as outstanding work from here until BulkInComplete has
    // finished with it, so that close waits for it.
    InterlockedIncrement(&Extension->OutstandingIo);

    RtlZeroMemory(&Extension->ReadUrb, sizeof(URB));
    transfer->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe;
    transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer->TransferBuffer = Extension->ReadStaging;
    transfer->TransferBufferLength = READ_STAGING_SIZE;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;

    irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        // A transfer that could not be sent counts as a failed one: tried again from
        // a worker, and after too many the device is declared failed. Were the pump
        // simply to stop, the port would stay open and never receive again, and a
        // wait for a receive event would never end.
        irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
        Extension->ReadInFlight = FALSE;
        retry = (BOOLEAN)(InterlockedIncrement(&Extension->ErrorCount) <= MAX_TRANSFER_ERRORS);
        if (!retry) {
            DeclareDeviceFailed(Extension);
        }
        KeReleaseSpinLock(&Extension->DataLock, irql);
        if (retry) {
            QueueReadRestart(Extension, FALSE);
        }
        ReleaseOutstandingIo(Extension);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &Extension->ReadUrb;
    IoSetCompletionRoutine(irp, BulkInComplete, Extension, TRUE, TRUE, TRUE);

    // From here the outstanding count belongs to BulkInComplete, which releases it
    // whatever IoCallDriver returns.
    status = IoCallDriver(Extension->LowerDevice, irp);
out:
    return status;
}

/*
 * BulkInComplete - completion routine of the bulk-in transfer.
 * Context: DISPATCH_LEVEL or below, any thread; no lock held on entry or exit. Context
 * is the device extension; DeviceObject is NULL (the IRP has no location of ours).
 * Return: STATUS_MORE_PROCESSING_REQUIRED always: the IRP is ours and is freed here.
 * The IRP and its outstanding count end here; a restart, if any, holds a count of its
 * own.
 */
NTSTATUS BulkInComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &extension->ReadUrb.UrbBulkOrInterruptTransfer;
    NTSTATUS status = Irp->IoStatus.Status;
    USBD_STATUS usbdStatus;
    BOOLEAN fatal;
    LONG errors;
    ULONG received;
    KIRQL irql;

    UNREFERENCED_PARAMETER(DeviceObject);

    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    usbdStatus = transfer->Hdr.Status;
    // The URB and the staging buffer are read below within this hold of DataLock, and a
    // new transfer takes DataLock before it touches them.
    extension->ReadInFlight = FALSE;

    if (!NT_SUCCESS(status) || usbdStatus != USBD_STATUS_SUCCESS || !extension->IsOpen) {
        errors = InterlockedIncrement(&extension->ErrorCount);
        // A transfer ended by close, or failing around a system sleep, only counts:
        // the pump stops and the open or the resume path starts it again.
        if (!extension->SleptWhileOpen && extension->IsOpen) {
            fatal = (BOOLEAN)(usbdStatus == USBD_STATUS_DEV_NOT_RESPONDING ||
                              status == STATUS_DEVICE_NOT_CONNECTED ||
                              status == STATUS_DEVICE_DATA_ERROR ||
                              errors > MAX_TRANSFER_ERRORS);
            if (fatal) {
                DeclareDeviceFailed(extension);
            } else {
                KeReleaseSpinLock(&extension->DataLock, irql);
                // A stalled pipe fails every transfer until it is reset: the restart
                // resets it first, so that one stall costs one error, not twenty.
                QueueReadRestart(extension, (BOOLEAN)(usbdStatus == USBD_STATUS_STALL_PID));
                irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
            }
        }
        KeReleaseSpinLock(&extension->DataLock, irql);
    } else {
        extension->ErrorCount = 0;

        // The bus never reports more than the transfer asked for; the bound keeps a
        // faulty report from copying beyond the staging buffer.
        received = transfer->TransferBufferLength;
        if (received > READ_STAGING_SIZE) {
            received = READ_STAGING_SIZE;
        }
        RingAppend(&extension->RxRing, extension->ReadStaging, received);

        KeCancelTimer(&extension->ReadTimer);
        CompletePendingReads(extension);

        // Receive events only for bytes that the read did not take. RXFLAG replaces
        // whatever was pending; no event character is compared.
        if (extension->RxRing.Count != 0) {
            if (extension->WaitMask & SERIAL_EV_RXFLAG) {
                extension->PendingEvents = SERIAL_EV_RXFLAG;
            }
            if (extension->WaitMask & SERIAL_EV_RXCHAR) {
                extension->PendingEvents |= SERIAL_EV_RXCHAR;
            }
            if (extension->RxRing.Count >= RX80FULL_THRESHOLD &&
                (extension->WaitMask & SERIAL_EV_RX80FULL)) {
                extension->PendingEvents |= SERIAL_EV_RX80FULL;
            }
            // Each event is reported once: what a waiter was told is no longer pending,
            // and only an event after that ends the next wait.
            if (extension->PendingEvents != 0 &&
                CompleteWaitOnMask(extension, extension->PendingEvents, TRUE)) {
                extension->PendingEvents = 0;
            }
        }

        KeReleaseSpinLock(&extension->DataLock, irql);
        QueueReadRestart(extension, FALSE);
    }

    IoFreeIrp(Irp);
    ReleaseOutstandingIo(extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * QueueReadRestart - has a system worker thread start the next bulk-in transfer, after
 * resetting the pipe when ResetPipe is set (a reset-pipe request is PASSIVE_LEVEL only).
 * The completion routine does not start it itself: it runs at DISPATCH_LEVEL, possibly
 * inside the previous IoCallDriver, and a fresh start from a worker keeps the stack
 * flat.
 * Context: up to DISPATCH_LEVEL; DataLock not held.
 * Return: STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when no item could be had
 * (the pump stops; callers ignore it).
 */
NTSTATUS QueueReadRestart(PDEVICE_EXTENSION Extension, BOOLEAN ResetPipe)
{
    PREAD_RESTART_ITEM item;
    NTSTATUS status;

    item = (PREAD_RESTART_ITEM)ExAllocatePool(NonPagedPool, sizeof(READ_RESTART_ITEM));
    if (item == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    // The queued item is outstanding work: close waits until its worker has run.
    InterlockedIncrement(&Extension->OutstandingIo);
    RtlZeroMemory(item, sizeof(READ_RESTART_ITEM));
    ExInitializeWorkItem(&item->WorkItem, ReadRestartWorker, item);
    item->Extension = Extension;
    item->ResetPipe = ResetPipe;
    ExQueueWorkItem(&item->WorkItem, DelayedWorkQueue);
    status = STATUS_SUCCESS;
out:
    return status;
}

/*
 * PortIsOpen - IsOpen as it stands: written under DataLock (open, cleanup, a failed first
 * open) and read under it, since cleanup may be clearing it on another processor.
 * Context: up to DISPATCH_LEVEL; DataLock not held.
 */
BOOLEAN PortIsOpen(PDEVICE_EXTENSION Extension)
{
    BOOLEAN open;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    open = Extension->IsOpen;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    return open;
}

/*
 * StartBulkInReadWhileOpen - starts the next bulk-in transfer if the port is open. The
 * test and the transfer reaching the bus are not one step: a cleanup that clears IsOpen
 * in between, and the close's abort after it, find nothing pending, and the close would
 * wait for ever on the transfer sent after them. So the test is made again once the
 * transfer is sent, and a port that closed meanwhile has the pipe aborted here: the
 * transfer then comes back, and its completion sees the port closed.
 * Context: PASSIVE_LEVEL (the abort waits); no lock held. The caller holds a unit of
 * OutstandingIo, so the close's drain cannot end before this returns.
 */
VOID StartBulkInReadWhileOpen(PDEVICE_EXTENSION Extension)
{
    if (!PortIsOpen(Extension)) {
        return;
    }
    StartBulkInRead(Extension, Extension->BulkInPipe);
    if (!PortIsOpen(Extension)) {
        AbortPipe(Extension->SelfDevice, Extension->BulkInPipe);
    }
}

/*
 * ReadRestartWorker - resets the stalled bulk-in pipe if asked, and starts the next
 * bulk-in transfer, unless the port was closed or the device became unavailable
 * meanwhile; frees its item.
 * Context: PASSIVE_LEVEL in a system worker thread; takes and releases DataLock.
 */
VOID ReadRestartWorker(PVOID Parameter)
{
    PREAD_RESTART_ITEM item = (PREAD_RESTART_ITEM)Parameter;
    PDEVICE_EXTENSION extension = item->Extension;

    if (!IsDeviceUnavailable(extension)) {
        if (item->ResetPipe && PortIsOpen(extension)) {
            ResetPipe(extension->SelfDevice, extension->BulkInPipe);
        }
        StartBulkInReadWhileOpen(extension);
    }

    // The item goes before the count: once the count is released, close may finish and
    // the device go away, so nothing of the pump may be left behind by then.
    ExFreePool(item);
    ReleaseOutstandingIo(extension);
}

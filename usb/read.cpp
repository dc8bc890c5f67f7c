// Read requests and their total timeouts. A read takes what the receive ring holds and
// completes at once; on an empty ring it is parked (one at a time) until the next good
// bulk-in transfer, its ReadTimer, or its cancellation ends it.
// Context: DispatchRead in the application's thread (raised to DISPATCH_LEVEL by
// DataLock); CompletePendingReads in the bulk-in completion routine and in
// ReadTimeoutDpc, at DISPATCH_LEVEL with DataLock held; ReadCancel at DISPATCH_LEVEL
// under the cancel spin lock.
#include "usb/usb.h"

// What a read does when the ring has nothing for it.
typedef enum _READ_WAIT_KIND {
    ReadWaitNone = 0,    // complete at once with what the ring holds, possibly nothing
    ReadWaitForever,     // park without a timer
    ReadWaitTimed,       // park with ReadTimer armed for the total timeout
} READ_WAIT_KIND;

// The two read totals a row looks at.
typedef enum _READ_TOTALS_MATCH {
    TotalsBothZero = 0,      // multiplier 0 and constant 0
    TotalsConstantMax,       // constant MAXULONG, any multiplier
    TotalsAny,               // every other case
} READ_TOTALS_MATCH;

typedef struct _READ_TIMEOUT_RULE {
    BOOLEAN IntervalMax;            // the row is for ReadIntervalTimeout == MAXULONG
    READ_TOTALS_MATCH Totals;
    READ_WAIT_KIND Wait;
    BOOLEAN MaxMultiplierIsZero;    // a MAXULONG multiplier counts as 0
} READ_TIMEOUT_RULE;

// The serial timeout rules, tried in order; the first row that matches decides. The
// interval timeout only matters as MAXULONG or not: no interval timer exists, a read
// returns as soon as it has any byte.
static const READ_TIMEOUT_RULE ReadTimeoutRules[] = {
    /* 0 */ { TRUE,  TotalsBothZero,    ReadWaitNone,    FALSE },
    /* 1 */ { TRUE,  TotalsConstantMax, ReadWaitForever, FALSE },
    /* 2 */ { TRUE,  TotalsAny,         ReadWaitTimed,   TRUE  },
    /* 3 */ { FALSE, TotalsBothZero,    ReadWaitForever, FALSE },
    /* 4 */ { FALSE, TotalsAny,         ReadWaitTimed,   FALSE },
};
static_assert(sizeof(ReadTimeoutRules) / sizeof(ReadTimeoutRules[0]) == 5,
              "one row per case of the timeout rules");

// 100-ns units per millisecond, the unit of the serial timeouts.
#define HUNDRED_NS_PER_MS 10000ULL

/*
 * ClassifyReadTimeouts - turns a copy of the serial timeouts into what a read does when
 * it finds nothing to take.
 * Context: any IRQL; touches only its arguments.
 * Return: the wait kind; for ReadWaitTimed also the multiplier and constant, in ms.
 */
static READ_WAIT_KIND ClassifyReadTimeouts(const SERIAL_TIMEOUTS *Timeouts, PULONG Multiplier,
                                           PULONG Constant)
{
    const READ_TIMEOUT_RULE *rule = NULL;
    BOOLEAN intervalMax = (BOOLEAN)(Timeouts->ReadIntervalTimeout == MAXULONG);
    ULONG m = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG c = Timeouts->ReadTotalTimeoutConstant;
    ULONG i;

    for (i = 0; i < sizeof(ReadTimeoutRules) / sizeof(ReadTimeoutRules[0]); i++) {
        const READ_TIMEOUT_RULE *candidate = &ReadTimeoutRules[i];
        BOOLEAN totals;

        if (candidate->IntervalMax != intervalMax) {
            continue;
        }
        switch (candidate->Totals) {
        case TotalsBothZero:
            totals = (BOOLEAN)(m == 0 && c == 0);
            break;
        case TotalsConstantMax:
            totals = (BOOLEAN)(c == MAXULONG);
            break;
        default:
            totals = TRUE;
            break;
        }
        if (totals) {
            rule = candidate;
            break;
        }
    }

    // The last row of each half matches anything, so a rule is always found.
    *Multiplier = (rule->MaxMultiplierIsZero && m == MAXULONG) ? 0 : m;
    *Constant = c;
    return rule->Wait;
}

/*
 * ReadDueTime - the relative due time of ReadTimer for a read that still wants
 * Remaining bytes: Remaining x Multiplier + Constant milliseconds.
 * Context: any IRQL.
 * Return: a negative (relative) time in 100-ns units. The product of two 32-bit values
 * plus a third always fits in 64 unsigned bits, but in 100-ns units it may not fit in a
 * signed 64-bit relative time; such a wait saturates at the longest relative time the
 * timer can take, rather than wrapping round into a short or an absolute due time.
 */
static LARGE_INTEGER ReadDueTime(ULONG Remaining, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG ms = (ULONGLONG)Remaining * Multiplier + Constant;
    LARGE_INTEGER due;

    if (ms > (ULONGLONG)MAXLONGLONG / HUNDRED_NS_PER_MS) {
        due.QuadPart = -MAXLONGLONG;
    } else {
        due.QuadPart = -(LONGLONG)(ms * HUNDRED_NS_PER_MS);
    }
    return due;
}

/*
 * DispatchRead - the IRP_MJ_READ dispatch routine.
 * Context: PASSIVE_LEVEL up to DISPATCH_LEVEL, in the caller's thread; no driver lock
 * held on entry or on exit.
 * Return: STATUS_PENDING when the read is parked: it then belongs to the read queue,
 * with the remove lock and one OutstandingIo count, and is completed by
 * CompletePendingReads or ReadCancel. Also STATUS_PENDING when it was cancelled while it
 * was being parked: it had been marked pending, and it has been completed here with
 * STATUS_CANCELLED. Otherwise the status the read was completed with here.
 */
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;
    SERIAL_TIMEOUTS timeouts;
    READ_WAIT_KIND wait;
    ULONG multiplier;
    ULONG constant;
    LONG copied = 0;
    BOOLEAN removeLockHeld = FALSE;
    CCHAR boost = IO_NO_INCREMENT;
    NTSTATUS status;
    NTSTATUS returned;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    // Released exactly once when the read is completed, by whoever completes it.
    InterlockedIncrement(&extension->OutstandingIo);
    Irp->IoStatus.Information = 0;

    if (IsDeviceUnavailable(extension)) {
        extension->PendingEvents = 0;
        status = STATUS_DELETE_PENDING;
        boost = IO_SERIAL_INCREMENT;
        goto out_unlock;
    }

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        goto out_unlock;
    }
    removeLockHeld = TRUE;

    if (length == 0) {
        // An empty read leaves an armed ReadTimer alone: it belongs to the parked read.
        status = STATUS_SUCCESS;
        goto out_unlock;
    }

    KeCancelTimer(&extension->ReadTimer);
    extension->ReadRemaining = length;
    // A private copy: timeouts changed while this read is parked do not apply to it.
    timeouts = extension->Timeouts;
    wait = ClassifyReadTimeouts(&timeouts, &multiplier, &constant);

    if (extension->RxRing.Count != 0) {
        RingRead((PUCHAR)Irp->AssociatedIrp.SystemBuffer, length, &copied, &extension->RxRing);
        Irp->IoStatus.Information += (ULONG_PTR)copied;
        extension->ReadRemaining -= (ULONG)copied;
    }

    if (wait == ReadWaitNone || extension->ReadRemaining == 0 || Irp->IoStatus.Information != 0) {
        extension->PerfStats.ReceivedCount += (ULONG)copied;
        status = STATUS_SUCCESS;
        goto out_unlock;
    }

    status = QueuePendingRead(extension, Irp);
    if (status == STATUS_PENDING && wait == ReadWaitTimed) {
        // Nothing was copied, so ReadRemaining is the whole length here.
        KeSetTimer(&extension->ReadTimer,
                   ReadDueTime(extension->ReadRemaining, multiplier, constant),
                   &extension->ReadTimerDpc);
    }

out_unlock:
    // A parked read may be completed by the bulk-in path or its cancel routine as soon
    // as DataLock is released: nothing below may touch it then.
    KeReleaseSpinLock(&extension->DataLock, irql);
    returned = status;
    if (status != STATUS_PENDING) {
        // A read cancelled while it was being parked was already marked pending, so
        // the I/O manager is told STATUS_PENDING; the request carries STATUS_CANCELLED.
        if (status == STATUS_CANCELLED) {
            returned = STATUS_PENDING;
        }
        Irp->IoStatus.Status = status;
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = 0;
        }
        IoCompleteRequest(Irp, boost);
        ReleaseOutstandingIo(extension);
        if (removeLockHeld) {
            IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        }
    }
    return returned;
}

/*
 * QueuePendingRead - parks a read that found nothing to take.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit.
 * Return: STATUS_PENDING: parked, marked pending, ReadCancel installed; from here the
 * read belongs to whoever takes its cancel routine. STATUS_SUCCESS: another read is
 * already parked, this one was not marked and the caller completes it (with 0 bytes).
 * STATUS_CANCELLED: the read was cancelled while being parked, or the port's cleanup
 * has already run; it was marked pending and unlinked again, and the caller completes it.
 */
NTSTATUS QueuePendingRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsListEmpty(&Extension->ReadQueue)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }

    InsertTailList(&Extension->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    // The cancel spin lock is not taken here: it comes before DataLock, which is held.
    // The exchange alone is enough, because IoCancelIrp sets Cancel before it takes the
    // routine: either it found no routine yet and we see Cancel below, or it took ours
    // and ReadCancel will unlink the read once it gets DataLock.
    IoSetCancelRoutine(Irp, ReadCancel);
    // Cleanup clears IsOpen under DataLock before it empties the queues: a read that
    // arrives after that point would be parked behind the cleanup for ever, and the
    // close waits for every parked request. It ends as cleanup would have ended it.
    if ((Irp->Cancel || !Extension->IsOpen) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

/*
 * EndClaimedRead - completes a claimed read with Status and gives back its holds.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit.
 */
static VOID EndClaimedRead(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status)
    REQUIRES(Extension->DataLock)
{
    Irp->IoStatus.Status = Status;
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = 0;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseOutstandingIo(Extension);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
}

/*
 * CompletePendingReads - ends every parked read it can claim: with the bytes the ring
 * holds, or with STATUS_TIMEOUT and no bytes when it holds none.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit; called by the bulk-in
 * completion after each good transfer and by ReadTimeoutDpc. Completes the claimed
 * reads with DataLock held.
 */
VOID CompletePendingReads(PDEVICE_EXTENSION Extension)
{
    PIRP irp;

    while ((irp = ClaimQueuedRequest(&Extension->ReadQueue)) != NULL) {
        PIO_STACK_LOCATION stack;
        LONG copied = 0;
        NTSTATUS status;

        stack = IoGetCurrentIrpStackLocation(irp);
        if (Extension->RxRing.Count != 0) {
            // A parked read got nothing at dispatch, so Information is 0 here; the
            // subtraction keeps the copy inside the buffer regardless.
            RingRead((PUCHAR)irp->AssociatedIrp.SystemBuffer + irp->IoStatus.Information,
                     stack->Parameters.Read.Length - (ULONG)irp->IoStatus.Information, &copied,
                     &Extension->RxRing);
            irp->IoStatus.Information += (ULONG_PTR)copied;
            Extension->PerfStats.ReceivedCount += (ULONG)copied;
            // ReadRemaining belongs to the newest read, which may be a shorter one that
            // was completed at once while this one stayed parked.
            Extension->ReadRemaining = (Extension->ReadRemaining > (ULONG)copied)
                                           ? Extension->ReadRemaining - (ULONG)copied
                                           : 0;
            status = STATUS_SUCCESS;
        } else {
            irp->IoStatus.Information = 0;
            Extension->ReadRemaining = 0;
            status = STATUS_TIMEOUT;
        }
        EndClaimedRead(Extension, irp, status);
    }
}

/*
 * FailPendingReads - ends every parked read it can claim with Status and no bytes: the
 * device that would have served it is gone.
 * Context: DISPATCH_LEVEL, DataLock held on entry and on exit. Completes the claimed
 * reads with DataLock held.
 */
VOID FailPendingReads(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    PIRP irp;

    while ((irp = ClaimQueuedRequest(&Extension->ReadQueue)) != NULL) {
        Extension->ReadRemaining = 0;
        EndClaimedRead(Extension, irp, Status);
    }
}

/*
 * ReadCancel - the cancel routine of a parked read.
 * Context: DISPATCH_LEVEL; entered holding the cancel spin lock, which it releases.
 * Takes DataLock inside it (the documented order) to unlink the read, so the read
 * queue is never changed by this routine and the data path at the same time.
 * Completes the read with STATUS_CANCELLED. ReadTimer stays armed: the next read
 * cancels it, and if it fires first it finds nothing to complete.
 */
VOID ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // CompletePendingReads may have unlinked it already and pointed it at itself.
    CompleteCancelled(extension, Irp, 0);
    ReleaseOutstandingIo(extension);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
}

/*
 * ReadTimeoutDpc - ReadTimer expired: the parked read, if any, ends with STATUS_TIMEOUT
 * (or with the bytes that arrived, should the ring hold any).
 * Context: DISPATCH_LEVEL, DPC; DeferredContext is the device extension. Takes and
 * releases DataLock.
 */
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;

    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DataLock);
    CompletePendingReads(extension);
    KeReleaseSpinLockFromDpcLevel(&extension->DataLock);
}

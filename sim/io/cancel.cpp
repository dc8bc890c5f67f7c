// Cancellation: the cancel spin lock (a real spin lock, ranked before every driver
// lock) and IoCancelIrp, which calls an IRP's cancel routine with that lock held.
// IoSetCancelRoutine is the inline exchange of wdm.h; whoever takes the routine by
// exchange owns the IRP, which is the race the driver's queues rely on.
//
// Context: any thread at PASSIVE_LEVEL up to DISPATCH_LEVEL. Not modelled: the
// per-thread cancellation of a terminating thread's IRPs (CancelIo over the request
// API cancels requests one by one instead).
#include "sim/io/internal.h"

#include "sim/ke/ke.h"
#include "sim/verifier.h"

using namespace sim::io::detail;
using sim::verifier::Report;
using sim::verifier::Rule;

namespace {

KSPIN_LOCK g_cancelLock;

// Rank 0: the cancel spin lock is taken before any lock of a driver (whose ranks
// start at 1). Given at every acquisition because the lock-order records are
// cleared whenever the platform restarts.
void RankCancelLock()
{
    sim::ke::SetLockRank(&g_cancelLock, 0, "the cancel spin lock");
}

}  // namespace

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) noexcept
{
    RankCancelLock();
    *Irql = KfAcquireSpinLock(&g_cancelLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) noexcept
{
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) noexcept
{
    {
        std::lock_guard<std::mutex> guard(S().lock);
        IrpRecord *record = FindIrp(Irp);
        if (record == nullptr || record->freed) {
            Report(Rule::InvalidParameter, "IoCancelIrp(%p): not a live IRP", (void *)Irp);
            return FALSE;
        }
    }
    // The cancel routine releases the cancel spin lock at CancelIrql, so the check
    // that it left IRQL and locks as found spans the acquisition made here.
    sim::ke::DriverCall call("cancel routine", Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Report(Rule::InvalidParameter,
               "IoCancelIrp(%p): a cancel routine is set on an IRP that no driver holds",
               (void *)Irp);
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

}  // extern "C"

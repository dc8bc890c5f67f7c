// Fast mutexes: a count (1 free, 0 owned), the owning thread and a synchronization
// event that contended acquirers wait on, all in the FAST_MUTEX itself. Acquiring
// raises to APC_LEVEL and the release restores the IRQL saved at acquisition; both
// take part in the lock order check, and in a scheduled run both are synchronization
// points (the release through the set of that event). Callable at IRQL <= APC_LEVEL
// only: above it, the acquisition is reported as BlockingAtDispatch (and still made,
// since the caller will release it).
//
// Not modelled: APC delivery being held off while the mutex is owned, and the
// unsafe variants (ExAcquireFastMutexUnsafe).
#include "sim/ex/ex.h"

#include "sim/ke/internal.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

namespace sim::ex {
namespace {

PKTHREAD OwnerMark()
{
    return reinterpret_cast<PKTHREAD>(ke::detail::ThreadToken());
}

void Unlock(PFAST_MUTEX mutex)
{
    mutex->Owner = NULL;
    __atomic_store_n(&mutex->Count, 1, __ATOMIC_RELEASE);
    // Always signalled, waiter or not: a waiter that finds the event set but the
    // mutex taken again just waits once more, while a missed signal would hang it.
    KeSetEvent(&mutex->Event, IO_NO_INCREMENT, FALSE);
}

void ForceRelease(const void *lock)
{
    Unlock(static_cast<PFAST_MUTEX>(const_cast<void *>(lock)));
}

bool TryLock(PFAST_MUTEX mutex)
{
    LONG free = 1;
    return __atomic_compare_exchange_n(&mutex->Count, &free, 0, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

bool CheckIrql(PFAST_MUTEX mutex, const char *routine)
{
    KIRQL irql = ke::CurrentIrql();
    if (irql > APC_LEVEL) {
        verifier::Report(verifier::Rule::BlockingAtDispatch, "%s of %s at IRQL %d", routine,
                         ke::detail::LockName(mutex).c_str(), irql);
        return false;
    }
    return true;
}

// Raises to APC_LEVEL unless the caller is already higher (which was reported).
KIRQL Raise()
{
    KIRQL old = ke::CurrentIrql();
    if (old < APC_LEVEL) {
        ke::SetIrql(APC_LEVEL);
    }
    return old;
}

}  // namespace
}  // namespace sim::ex

using namespace sim;

extern "C" {

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) noexcept
{
    FastMutex->Count = 1;
    FastMutex->Owner = NULL;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) noexcept
{
    ke::sched::Point("ExAcquireFastMutex", FastMutex);
    ex::CheckIrql(FastMutex, "ExAcquireFastMutex");
    verifier::CheckNotDeleted(FastMutex, "ExAcquireFastMutex");
    if (!ke::detail::NoteAcquire(FastMutex, ke::detail::LockKind::FastMutex, ex::ForceRelease,
                                 "ExAcquireFastMutex")) {
        return;  // already owned by this thread: waiting would never end
    }
    KIRQL old = ex::Raise();
    while (!ex::TryLock(FastMutex)) {
        InterlockedIncrement(reinterpret_cast<volatile LONG *>(&FastMutex->Contention));
        ke::detail::WaitForObject(&FastMutex->Event, ke::detail::kNoDeadline);
    }
    FastMutex->Owner = ex::OwnerMark();
    FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) noexcept
{
    ke::sched::Point("ExTryToAcquireFastMutex", FastMutex);
    ex::CheckIrql(FastMutex, "ExTryToAcquireFastMutex");
    if (FastMutex->Owner == ex::OwnerMark()) {
        return FALSE;
    }
    KIRQL old = ex::Raise();
    if (!ex::TryLock(FastMutex)) {
        ke::SetIrql(old);
        return FALSE;
    }
    ke::detail::NoteAcquire(FastMutex, ke::detail::LockKind::FastMutex, ex::ForceRelease,
                            "ExTryToAcquireFastMutex", true);
    FastMutex->Owner = ex::OwnerMark();
    FastMutex->OldIrql = old;
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) noexcept
{
    if (FastMutex->Owner != ex::OwnerMark() || !ke::detail::NoteRelease(FastMutex)) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "ExReleaseFastMutex of %s by a thread that does not own it",
                         ke::detail::LockName(FastMutex).c_str());
        return;
    }
    if (ke::CurrentIrql() != APC_LEVEL) {
        verifier::Report(verifier::Rule::InvalidParameter, "ExReleaseFastMutex of %s at IRQL %d",
                         ke::detail::LockName(FastMutex).c_str(), ke::CurrentIrql());
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    ex::Unlock(FastMutex);
    ke::SetIrql(old);
}

}  // extern "C"

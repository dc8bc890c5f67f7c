// Spin locks. The KSPIN_LOCK word itself is the lock: zero when free, the owning
// thread's token while held, so exclusion is real between platform threads. Taking
// one raises the thread to DISPATCH_LEVEL (the raise-and-spin variants) and enters
// it in the thread's held list for the order check and for DriverCall.
//
// Callable from any thread. Not modelled: queued spin locks, interrupt spin locks,
// and the single-processor build where a spin lock is only an IRQL raise.
#include "sim/ke/internal.h"

#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <thread>

namespace sim::ke {
namespace {

void Spin(PKSPIN_LOCK lock)
{
    ULONG_PTR token = detail::ThreadToken();
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
        // In a scheduled run the holder runs only once this thread hands the turn on.
        if (sched::Await("a spin lock", lock, [lock] { return __atomic_load_n(lock, __ATOMIC_ACQUIRE) == 0; })) {
            continue;
        }
        // Yielding rather than pausing: two cores are shared by many threads here,
        // and the holder may be waiting for this core.
        std::this_thread::yield();
    }
}

void ForceReleaseSpinLock(const void *lock)
{
    __atomic_store_n(const_cast<PKSPIN_LOCK>(static_cast<const KSPIN_LOCK *>(lock)), 0,
                     __ATOMIC_RELEASE);
}

// Takes the lock at the current IRQL; the caller raised it already.
void Take(PKSPIN_LOCK lock, const char *routine)
{
    verifier::CheckNotDeleted(lock, routine);
    sched::Point(routine, lock);
    if (!detail::NoteAcquire(lock, detail::LockKind::SpinLock, ForceReleaseSpinLock, routine)) {
        return;  // already held by this thread: spinning would never end
    }
    detail::NoteActivity();
    Spin(lock);
}

// Gives the lock back; false (after reporting) when this thread does not hold it,
// in which case the word is left alone: it may be another thread's.
bool Give(PKSPIN_LOCK lock, const char *routine)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != detail::ThreadToken() ||
        !detail::NoteRelease(lock)) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "%s of %s, which this thread does not hold", routine,
                         detail::LockName(lock).c_str());
        return false;
    }
    if (CurrentIrql() < DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql, "%s of %s at IRQL %d", routine,
                         detail::LockName(lock).c_str(), CurrentIrql());
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    sched::Point(routine, lock);
    return true;
}

KIRQL RaiseAndTake(PKSPIN_LOCK lock, const char *routine)
{
    KIRQL old = CurrentIrql();
    if (old > DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql, "%s of %s at IRQL %d", routine,
                         detail::LockName(lock).c_str(), old);
    } else {
        SetIrql(DISPATCH_LEVEL);
    }
    Take(lock, routine);
    return old;
}

void GiveAndLower(PKSPIN_LOCK lock, KIRQL newIrql, const char *routine)
{
    Give(lock, routine);
    KIRQL current = CurrentIrql();
    if (newIrql > current) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "%s of %s restores IRQL %d, above the current IRQL %d", routine,
                         detail::LockName(lock).c_str(), newIrql, current);
        return;
    }
    // Releasing out of order with the saved IRQLs swapped drops the thread below
    // DISPATCH_LEVEL while it still holds the other lock.
    if (newIrql < DISPATCH_LEVEL && SpinLocksHeld() > 0) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "%s of %s lowers to IRQL %d while %zu other spin lock(s) are held",
                         routine, detail::LockName(lock).c_str(), newIrql, SpinLocksHeld());
    }
    SetIrql(newIrql);
}

}  // namespace
}  // namespace sim::ke

using namespace sim;

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) noexcept
{
    *SpinLock = 0;
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) noexcept
{
    return ke::RaiseAndTake(SpinLock, "KeAcquireSpinLock");
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) noexcept
{
    ke::GiveAndLower(SpinLock, NewIrql, "KeReleaseSpinLock");
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) noexcept
{
    return ke::RaiseAndTake(SpinLock, "KeAcquireSpinLockRaiseToDpc");
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) noexcept
{
    ke::GiveAndLower(SpinLock, NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) noexcept
{
    if (ke::CurrentIrql() < DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "KeAcquireSpinLockAtDpcLevel of %s at IRQL %d",
                         ke::detail::LockName(SpinLock).c_str(), ke::CurrentIrql());
    }
    ke::Take(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) noexcept
{
    ke::Give(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

}  // extern "C"

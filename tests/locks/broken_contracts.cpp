// Each routine here breaks one lock contract of the driver and must not compile in the
// lock check build; expect_errors.cmake requires exactly the diagnostics listed, one
// per "expect:" line, so the file fails for these reasons and no other.
#include "usb/usb.h"

// expect: writing variable 'ReadRemaining' requires holding spin lock 'Extension->DataLock' exclusively
VOID MemberWithoutItsLock(PDEVICE_EXTENSION Extension)
{
    Extension->ReadRemaining = 0;
}

// expect: reading variable 'DeviceFailure' requires holding spin lock 'Extension->StateLock'
// expect: calling function 'FailPendingReads' requires holding spin lock 'Extension->DataLock' exclusively
ULONG WrongLockAndNoLock(PDEVICE_EXTENSION Extension)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    ULONG failure = Extension->DeviceFailure;
    KeReleaseSpinLock(&Extension->DataLock, irql);
    FailPendingReads(Extension, STATUS_CANCELLED);
    return failure;
}

// expect: mutex 'DataLock' must be acquired before 'StateLock'
// expect: mutex 'Extension->DataLock' is still held at the end of function
VOID OutOfOrderAndKept(PDEVICE_EXTENSION Extension)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
    KeAcquireSpinLockAtDpcLevel(&Extension->DataLock);
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

// expect: releasing spin lock 'CancelSpinLock' that was not held
VOID CancelledWithoutTheCancelLock(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    CompleteCancelled(Extension, Irp, 0);
}

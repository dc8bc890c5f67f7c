// The availability test that every data path makes before it works, and the
// outstanding-I/O count that lets close wait until nothing is in flight.
// Context: PASSIVE_LEVEL or DISPATCH_LEVEL; IsDeviceUnavailable also with DataLock held.
#include "core/core.h"

/*
 * IsDeviceUnavailable - the device was declared dead by the transfer paths, or is on
 * its way out of the system (RemovePending, SurpriseRemoved, Removed).
 * Context: up to DISPATCH_LEVEL; may be called with DataLock held (StateLock is taken
 * inside it, and StateLock comes after DataLock).
 * Return: TRUE when no new work may start. Stopped, StopPending and NeverStarted do not
 * count: the open path refuses them by its own test.
 */
BOOLEAN IsDeviceUnavailable(PDEVICE_EXTENSION Extension)
{
    BOOLEAN unavailable;
    KIRQL irql;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
    unavailable = (BOOLEAN)(Extension->DeviceFailure == DEVICE_FAILED_MARK ||
                            Extension->PnpState == RemovePending ||
                            Extension->PnpState == SurpriseRemoved ||
                            Extension->PnpState == Removed);
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return unavailable;
}

/*
 * ReleaseOutstandingIo - ends one unit of work. The unit whose release takes the count
 * to zero wakes the close path waiting on IoIdleEvent.
 * Context: up to DISPATCH_LEVEL.
 */
VOID ReleaseOutstandingIo(PDEVICE_EXTENSION Extension)
{
    if (InterlockedDecrement(&Extension->OutstandingIo) == 0) {
        KeSetEvent(&Extension->IoIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

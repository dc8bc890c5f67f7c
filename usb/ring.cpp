// The receive ring: RingAppend stores what a bulk-in transfer brought, RingRead hands
// bytes to a read. Both run with DataLock held (bulk-in completion, read dispatch, the
// read-timer DPC), at DISPATCH_LEVEL. Count changes only atomically, so the port status
// request may read it without the lock and still see a whole value.
#include "usb/usb.h"

/*
 * RingAppend - stores up to Received bytes of Source after the newest byte.
 * Context: DISPATCH_LEVEL, DataLock held.
 * Return: the number of bytes stored. What does not fit is dropped without a report: a
 * transfer that finds the ring full is dropped whole.
 */
ULONG RingAppend(PRX_RING Ring, const UCHAR *Source, ULONG Received)
{
    ULONG n;
    ULONG first;

    if (Received == 0 || Ring->Count == RX_RING_SIZE) {
        return 0;
    }
    n = Received;
    if (n > (ULONG)(RX_RING_SIZE - Ring->Count)) {
        n = (ULONG)(RX_RING_SIZE - Ring->Count);
    }
    first = n;
    if (first > (ULONG)(RX_RING_SIZE - Ring->Head)) {
        first = (ULONG)(RX_RING_SIZE - Ring->Head);
    }
    RtlCopyMemory(&Ring->Data[Ring->Head], Source, first);
    if (n > first) {
        RtlCopyMemory(&Ring->Data[0], Source + first, n - first);
    }
    Ring->Head += (LONG)n;
    if (Ring->Head >= RX_RING_SIZE) {
        Ring->Head -= RX_RING_SIZE;
    }
    InterlockedExchangeAdd(&Ring->Count, (LONG)n);
    return n;
}

/*
 * RingRead - moves min(Wanted, Count) of the oldest bytes to Destination.
 * Context: DISPATCH_LEVEL, DataLock held.
 * Return: STATUS_SUCCESS, with the number moved in *Copied.
 */
NTSTATUS RingRead(PUCHAR Destination, ULONG Wanted, PLONG Copied, PRX_RING Ring)
{
    ULONG n = Wanted;
    ULONG first;

    if (n > (ULONG)Ring->Count) {
        n = (ULONG)Ring->Count;
    }
    first = n;
    if (first > (ULONG)(RX_RING_SIZE - Ring->Tail)) {
        first = (ULONG)(RX_RING_SIZE - Ring->Tail);
    }
    RtlCopyMemory(Destination, &Ring->Data[Ring->Tail], first);
    if (n > first) {
        RtlCopyMemory(Destination + first, &Ring->Data[0], n - first);
    }
    Ring->Tail += (LONG)n;
    if (Ring->Tail >= RX_RING_SIZE) {
        Ring->Tail -= RX_RING_SIZE;
    }
    *Copied = (LONG)n;
    InterlockedExchangeAdd(&Ring->Count, -(LONG)n);
    return STATUS_SUCCESS;
}

// The receive ring: bytes that arrived on the bulk-in pipe and that no read has taken
// yet. It lives inline in the device extension; every access holds DataLock.
#pragma once

#include "kernel/kernel.h"

#define RX_RING_SIZE 1024000

typedef struct _RX_RING {
    LONG Head;                 // next write index, below RX_RING_SIZE
    LONG Tail;                 // next read index, below RX_RING_SIZE
    LONG Count;                // bytes stored, at most RX_RING_SIZE
    UCHAR Data[RX_RING_SIZE];
} RX_RING, *PRX_RING;

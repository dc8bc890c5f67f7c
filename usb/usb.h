// The USB data path: synchronous USB requests, the bulk-in receive pump, reads with
// their timeouts, writes over the bulk-out pipe, and the receive ring.
#pragma once

#include "core/core.h"

// ---- the receive ring (ring.cpp); DataLock held (the ring alone names no lock the
// analysis could check)
ULONG RingAppend(PRX_RING Ring, const UCHAR *Source, ULONG Received);
NTSTATUS RingRead(PUCHAR Destination, ULONG Wanted, PLONG Copied, PRX_RING Ring);

// ---- synchronous USB requests (sync.cpp); PASSIVE_LEVEL only
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT Target, PIRP Irp);
IO_COMPLETION_ROUTINE SendIrpComplete;
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);

// ---- the receive pump (pump.cpp)
// Size of every bulk transfer the driver asks for, in and out.
#define BULK_TRANSFER_SIZE 4096
// Failed transfers since the last good bulk-in completion that the device survives.
#define MAX_TRANSFER_ERRORS 20

// One restart of the receive pump, or of the write queue after a stalled chunk: queued
// by the completion, run by a system worker thread, freed by its worker.
typedef struct _READ_RESTART_ITEM {
    WORK_QUEUE_ITEM WorkItem;       // worker ReadRestartWorker or WriteResetWorker
    PDEVICE_EXTENSION Extension;    // the device whose pump or write queue is restarted
    BOOLEAN ResetPipe;              // the pipe stalled: reset it first (at PASSIVE_LEVEL)
} READ_RESTART_ITEM, *PREAD_RESTART_ITEM;

NTSTATUS StartBulkInRead(PDEVICE_EXTENSION Extension, USBD_PIPE_HANDLE Pipe)
    EXCLUDES(Extension->DataLock);
IO_COMPLETION_ROUTINE BulkInComplete;
NTSTATUS QueueReadRestart(PDEVICE_EXTENSION Extension, BOOLEAN ResetPipe);
WORKER_THREAD_ROUTINE ReadRestartWorker;
VOID StartBulkInReadWhileOpen(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->DataLock);
BOOLEAN PortIsOpen(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->DataLock);
// Marks the device dead after a fatal transfer failure and ends the requests it holds.
VOID DeclareDeviceFailed(PDEVICE_EXTENSION Extension) REQUIRES(Extension->DataLock);

// ---- reads (read.cpp); DispatchRead and ReadTimeoutDpc are declared in core/core.h
NTSTATUS QueuePendingRead(PDEVICE_EXTENSION Extension, PIRP Irp) REQUIRES(Extension->DataLock);
VOID CompletePendingReads(PDEVICE_EXTENSION Extension) REQUIRES(Extension->DataLock);
VOID FailPendingReads(PDEVICE_EXTENSION Extension, NTSTATUS Status) REQUIRES(Extension->DataLock);
DRIVER_CANCEL ReadCancel RELEASE(CancelSpinLock);

// ---- writes (write.cpp); DispatchWrite is declared in core/core.h
// The state of one write request's chain of bulk-out transfers, from the start of its
// chain to its end. Guarded by DataLock.
typedef struct _WRITE_CONTEXT {
    URB Urb;                        // the transfer of the current chunk
    PUCHAR NextBuffer;              // where the next chunk starts in the request's buffer
    ULONG Remaining;                // bytes not yet handed to the USB stack
    ULONG Transferred;              // bytes the USB stack took, over finished chunks
    BOOLEAN SendZeroLengthPacket;   // a trailing zero-length packet is still due
    ULONG ChunkLength;              // bytes the chunk in flight asked for
} WRITE_CONTEXT, *PWRITE_CONTEXT;

NTSTATUS StartNextWrite(PDEVICE_EXTENSION Extension, PIRP *Prepared) REQUIRES(Extension->DataLock);
VOID FailQueuedWrites(PDEVICE_EXTENSION Extension, NTSTATUS Status) REQUIRES(Extension->DataLock);
NTSTATUS FlushWrites(PDEVICE_EXTENSION Extension, PIRP Irp) EXCLUDES(Extension->DataLock);
VOID ResumeWrites(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->DataLock);
WORKER_THREAD_ROUTINE WriteResetWorker;
DRIVER_CANCEL WriteCancel RELEASE(CancelSpinLock);
IO_COMPLETION_ROUTINE BulkOutComplete;

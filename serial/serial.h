// Serial port emulation: open and close, the serial control requests, and the
// wait-on-mask events. Also what the Plug and Play removal paths share with close:
// the queue flushes and the pipe aborts.
#pragma once

#include "core/core.h"

// ---- open, close, cleanup and flush (open_close.cpp); the dispatch routines are
// declared in core/core.h
VOID InitSerialState(PDEVICE_EXTENSION Extension) REQUIRES(Extension->OpenMutex)
    EXCLUDES(Extension->DataLock);
// The flow-control characters every open starts with: the standard XON and XOFF, two
// different characters, so that a DCB read back with GetCommState can be set again.
#define SERIAL_DEFAULT_XON 0x11
#define SERIAL_DEFAULT_XOFF 0x13
// Close: aborts both pipes, then waits until every unit of work in flight has ended.
VOID AbortPipesAndDrain(PDEVICE_OBJECT DeviceObject);
// Removal: aborts both pipes when the port is open; does not wait.
VOID AbortPipesIfOpen(PDEVICE_OBJECT DeviceObject);

// ---- the queue flushes (queues.cpp); PASSIVE_LEVEL up to DISPATCH_LEVEL, no lock held
// Cancels every queued write, then the read, then the wait (cleanup and removal).
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject);
VOID FlushReadQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID FlushWriteQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);

// ---- the serial control requests (ioctl.cpp); DispatchDeviceControl is declared in
// core/core.h
NTSTATUS SerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- wait-on-mask events (wait_mask.cpp)
// The IOCTL_SERIAL_WAIT_ON_MASK branch of the serial control switch; entered without
// locks. STATUS_PENDING leaves the IRP queued, with its remove lock, to this module.
NTSTATUS WaitOnMaskIoctl(PDEVICE_EXTENSION Extension, PIRP Irp) EXCLUDES(Extension->DataLock);
BOOLEAN CompleteWaitOnMask(PDEVICE_EXTENSION Extension, ULONG Events, BOOLEAN LockHeld);
// The events the receive pump raises for bytes in the ring.
#define RECEIVE_EVENTS (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL)
// Ends the queued wait, if any, with a failure status and no event word.
VOID FailWaitOnMask(PDEVICE_EXTENSION Extension, NTSTATUS Status) REQUIRES(Extension->DataLock);
DRIVER_CANCEL WaitOnMaskCancel RELEASE(CancelSpinLock);

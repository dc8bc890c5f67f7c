// Serial port emulation: open and close, the serial control requests, and the
// wait-on-mask events.
#pragma once

#include "core/core.h"

// ---- wait-on-mask events (wait_mask.cpp)
// The IOCTL_SERIAL_WAIT_ON_MASK branch of the serial control switch; entered without
// locks. STATUS_PENDING leaves the IRP queued, with its remove lock, to this module.
NTSTATUS WaitOnMaskIoctl(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID CompleteWaitOnMask(PDEVICE_EXTENSION Extension, ULONG Events, BOOLEAN LockHeld);
DRIVER_CANCEL WaitOnMaskCancel;

// The driver core: entry, device creation, the pass-down dispatch, counted strings,
// the availability test and the outstanding-I/O accounting that every data path
// shares. Also the prototypes of every dispatch routine the driver object carries.
#pragma once

#include "core/extension.h"

// Driver version shown in the load and unload banners; the build sets it (from
// VARNOOBEX_BANNER_VERSION in CMakeLists.txt) for both builds.
#ifndef VARNOOBEX_VERSION
#error "VARNOOBEX_VERSION is set by the build"
#endif

// The kernel device name prefix; AddDevice appends the device number.
#define DEVICE_NAME_PREFIX WIDE("\\Device\\VARNOOBEX")
// Capacity of AddDevice's name buffer, in bytes.
#define DEVICE_NAME_MAX_BYTES 256
// Capacity of the decimal device number text, in bytes (20 characters).
#define DEVICE_NUMBER_MAX_BYTES 40

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH DispatchPassDown;

// Dispatch routines of the other subsystems.
DRIVER_DISPATCH DispatchCreate;          // serial/
DRIVER_DISPATCH DispatchClose;           // serial/
DRIVER_DISPATCH DispatchCleanup;         // serial/
DRIVER_DISPATCH DispatchFlush;           // serial/
DRIVER_DISPATCH DispatchDeviceControl;   // serial/
DRIVER_DISPATCH DispatchRead;            // usb/
DRIVER_DISPATCH DispatchWrite;           // usb/
DRIVER_DISPATCH DispatchPnp;             // pnp/
DRIVER_DISPATCH DispatchPower;           // power/
KDEFERRED_ROUTINE ReadTimeoutDpc;        // usb/

NTSTATUS InitCountedString(PUNICODE_STRING String, USHORT MaxBytes);
BOOLEAN IsDeviceUnavailable(PDEVICE_EXTENSION Extension) EXCLUDES(Extension->StateLock);
VOID ReleaseOutstandingIo(PDEVICE_EXTENSION Extension);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
VOID CompleteCancelled(PDEVICE_EXTENSION Extension, PIRP Irp, LONG UnqueuedBytes)
    RELEASE(CancelSpinLock) EXCLUDES(Extension->DataLock);
// DataLock held; the queue alone names no lock the analysis could check.
PIRP ClaimQueuedRequest(PLIST_ENTRY Queue);


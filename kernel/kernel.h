// The platform as the driver sees it: the one header every driver file includes.
//
// In the Windows build it takes the real kernel, USB and serial headers that the
// mingw-w64 cross toolchain ships; in the host build it takes our own declarations
// in kernel/host/, which the host platform (sim/) implements. Everything here is
// the platform's, not the driver's: names, values and layouts are the published ones.
#pragma once

#include "kernel/lock_annotations.h"

#if defined(VARNOOBEX_HOST)

#include "host/wdm.h"
#include "host/usb.h"
#include "host/ntddser.h"

// A 16-bit wide string literal: char16_t text on the host, whose own wchar_t is 32 bits.
#define WIDE2(s) u##s
#define WIDE(s) WIDE2(s)

#else  // the Windows build

// In C++ mode wdm.h's inline InterlockedBitTestAndSet/Reset collide with the
// compiler's intrinsics of the same names; these two definitions keep the header's
// own versions out of the way.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
// ntddser.h declares GUID_DEVINTERFACE_COMPORT through DEFINE_GUID. With initguid.h in
// front that is a selectany definition, so every translation unit may carry it and
// the linker keeps one copy; without it the image would need a separate GUID library.
#include <initguid.h>
#include <ntddser.h>

// The comm-config control codes are published but missing from the cross toolchain's
// ntddser.h.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// ntoskrnl exports swprintf (no count argument, 16-bit WCHAR); no kernel header
// declares it.
extern "C" int __cdecl swprintf(wchar_t *Buffer, const wchar_t *Format, ...);

#define WIDE2(s) L##s
#define WIDE(s) WIDE2(s)

#endif

// Sizes that the driver's transfers and its callers' buffers depend on. A mismatch
// here would corrupt a request silently, so both builds refuse to compile with one.
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32 bits");
static_assert(sizeof(PVOID) == 8, "pointers are 64 bits");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk transfer URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request URB");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(IO_REMOVE_LOCK) == 32, "free-build remove lock");
static_assert(sizeof(IRP) == 208, "IRP");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");

// Marks a mutable driver-wide variable. On Windows every load of the driver maps a
// fresh image, so such a variable starts from its initial value at each load. The
// host build links the driver into the process once; its loader restores the section
// these variables live in at each load instead (tests/image/check_driver_symbols.sh
// refuses driver data outside it).
#if defined(VARNOOBEX_HOST)
#define DRIVER_GLOBAL __attribute__((section("varnoobex_globals")))
#else
#define DRIVER_GLOBAL
#endif

// The I/O manager's request hook: every request entering and leaving the devices of
// one driver, and every request that driver sends to another driver's device, as the
// I/O manager sees them pass in IoCallDriver and IoCompleteRequest. For the request
// trace of the tools (tools/trace.h) and for tests that follow a request through a
// driver.
//
// Which requests count as the driver's own: those sent to one of its devices (Enter,
// Return, Leave); and those sent to another driver's device either from a stack
// location of the driver's (passed down, with a completion routine or by skipping its
// location) or, allocated with IoAllocateIrp, fresh into the device directly below
// one of the driver's devices (the driver's own request to its lower device) (SendDown,
// CameBack). The hook cannot tell who called IoAllocateIrp: such an IRP that other
// code sends straight to the device under the driver's counts as the driver's too.
// Requests the I/O manager builds (sim::io::Send) are never taken for the driver's.
//
// Not modelled: IoCancelIrp is not an event of its own (the cancelled request leaves
// with STATUS_CANCELLED); requests already in flight when the observer is set show
// only the events that happen after.
#pragma once

#include "kernel/kernel.h"

#include <cstdint>
#include <functional>

namespace sim::io {

struct RequestEvent {
    enum class Kind {
        Enter,     // sent to a device of the driver: its dispatch routine runs next
        Return,    // that dispatch routine returned `status` (STATUS_PENDING: the
                   // driver kept the request); the IRP may already be freed
        Leave,     // the completion walked past the driver's stack location: the
                   // request is done as far as the driver is concerned
        SendDown,  // the driver sent a request to another driver's device
        CameBack,  // the lower driver completed it: the completion reached the driver's
                   // completion routine (or the owner of an IRP it allocated)
    };
    Kind kind = Kind::Enter;
    PIRP irp = nullptr;          // an identity only: the IRP may be gone (Return)
    uint64_t irpId = 0;          // one number per IRP and use (IoReuseIrp starts a new one)
    PDEVICE_OBJECT device = nullptr;  // the driver's device; for SendDown/CameBack the
                                      // other driver's device the request went to
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;     // device and internal device control, else 0
    ULONG length = 0;            // read and write: the length asked for, else 0
    bool hasPower = false;       // IRP_MJ_POWER set or query power: the state
    POWER_STATE_TYPE powerType = SystemPowerState;
    ULONG powerState = 0;        // a SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
    // IOCTL_INTERNAL_USB_SUBMIT_URB: the URB's function; for a bulk or interrupt
    // transfer its direction and length (SendDown: asked for; CameBack: transferred),
    // and on CameBack the URB's USBD status.
    bool hasUrb = false;
    USHORT urbFunction = 0;
    ULONG urbTransferFlags = 0;
    ULONG urbTransferLength = 0;
    USBD_STATUS urbStatus = 0;
    NTSTATUS status = 0;         // Return: what the dispatch returned; Leave, CameBack:
                                 // IoStatus.Status; Enter, SendDown: 0
    ULONG_PTR information = 0;   // Leave, CameBack: IoStatus.Information
    int64_t time = 0;            // sim::ke::Now(), 100-ns units since the platform's start
    const char *thread = "";     // sim::ke::ThreadName(); valid during the call only
    KIRQL irql = PASSIVE_LEVEL;
};

// Calls `observer` for every request event of `driver`'s devices, from the thread where
// it happens (any thread, any IRQL up to DISPATCH_LEVEL), one call at a time and in the
// order of their time stamps. No I/O manager lock is held during the call; the observer
// must not call into the platform (no I/O manager, no kernel wait) nor set an observer.
// One driver at a time: a new call replaces the observer; an empty observer (or a
// NULL driver) stops it. When this returns, the previous observer is no longer running
// and is never called again. Without an observer the hook costs one atomic load.
// Reset does not clear it: its owner does.
void SetRequestObserver(PDRIVER_OBJECT driver, std::function<void(const RequestEvent &)> observer);

}  // namespace sim::io

// The request hook: which IoCallDriver and IoCompleteRequest steps are events of the
// observed driver, what each event carries, and the observer itself.
//
// The observer runs under a lock of its own, so that its calls never overlap and a
// caller of SetRequestObserver knows that the previous observer has finished. That lock
// is never taken with the I/O manager's lock held, and the observer calls nothing of
// the platform, so it cannot close a cycle with the driver's own locks.
#include "sim/io/internal.h"

#include "sim/ke/ke.h"

#include <atomic>

namespace sim::io::detail {

namespace {

std::atomic<PDRIVER_OBJECT> g_driver{nullptr};
std::atomic<uint64_t> g_generation{0};

struct Observer {
    std::mutex lock;
    PDRIVER_OBJECT driver = nullptr;  // g_driver and g_generation as the lock sees them
    uint64_t generation = 0;
    std::function<void(const RequestEvent &)> call;
};

Observer &O()
{
    static Observer observer;
    return observer;
}

// The driver a live device belongs to (lock held); NULL for a stale or absent pointer,
// which a stack location left over from an earlier use may hold.
PDRIVER_OBJECT DriverOf(PDEVICE_OBJECT device)
{
    return device != nullptr && FindDevice(device) != nullptr ? device->DriverObject : nullptr;
}

// What the location a request is sent with says about it: the major and minor
// function, the control code, a read or write length, a power state, a URB.
void Describe(const IO_STACK_LOCATION &sp, RequestEvent &event, const URB **urb)
{
    event.major = sp.MajorFunction;
    event.minor = sp.MinorFunction;
    *urb = nullptr;
    switch (sp.MajorFunction) {
    case IRP_MJ_READ:
        event.length = sp.Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        event.length = sp.Parameters.Write.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        event.ioControlCode = sp.Parameters.DeviceIoControl.IoControlCode;
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        event.ioControlCode = sp.Parameters.DeviceIoControl.IoControlCode;
        if (event.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && sp.Parameters.Others.Argument1 != nullptr) {
            *urb = static_cast<const URB *>(sp.Parameters.Others.Argument1);
            event.hasUrb = true;
            event.urbFunction = (*urb)->UrbHeader.Function;
            if (event.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                event.urbTransferFlags = (*urb)->UrbBulkOrInterruptTransfer.TransferFlags;
                event.urbTransferLength = (*urb)->UrbBulkOrInterruptTransfer.TransferBufferLength;
            }
        }
        break;
    case IRP_MJ_POWER:
        if (sp.MinorFunction == IRP_MN_SET_POWER || sp.MinorFunction == IRP_MN_QUERY_POWER) {
            event.hasPower = true;
            event.powerType = sp.Parameters.Power.Type;
            event.powerState = sp.Parameters.Power.Type == SystemPowerState
                                   ? (ULONG)sp.Parameters.Power.State.SystemState
                                   : (ULONG)sp.Parameters.Power.State.DeviceState;
        }
        break;
    default:
        break;
    }
}

}  // namespace

PDRIVER_OBJECT TracedDriver()
{
    return g_driver.load(std::memory_order_acquire);
}

uint64_t TraceGeneration()
{
    return g_generation.load(std::memory_order_acquire);
}

bool TraceCallLocked(PIRP irp, IrpRecord &record, PDEVICE_OBJECT device, PDRIVER_OBJECT driver,
                     RequestEvent *event, uint64_t *generation)
{
    // Called before IofCallDriver moves to the next location: the current one is the
    // sender's, and the next one, which the target will see, still names the device
    // that set it up (a skipped location is the sender's own; a copied one carries
    // the sender's device too).
    RequestEvent::Kind kind;
    if (device->DriverObject == driver) {
        kind = RequestEvent::Kind::Enter;
    } else {
        const bool fromDriversLocation =
            (irp->CurrentLocation <= irp->StackCount &&
             DriverOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject) == driver) ||
            DriverOf(IoGetNextIrpStackLocation(irp)->DeviceObject) == driver;
        // An IRP from IoAllocateIrp on its first trip: a driver's own request. The I/O
        // manager's requests (an application's, the PnP or power manager's) come
        // from outside the driver even when they go straight to the device below it.
        const bool freshIntoDeviceBelow = !record.byIoManager && irp->CurrentLocation > irp->StackCount &&
                                          DriverOf(device->AttachedDevice) == driver;
        if (!fromDriversLocation && !freshIntoDeviceBelow) {
            return false;
        }
        kind = RequestEvent::Kind::SendDown;
    }
    *event = RequestEvent{};
    event->kind = kind;
    event->irp = irp;
    event->irpId = record.serial;
    event->device = device;
    const URB *urb = nullptr;
    Describe(*IoGetNextIrpStackLocation(irp), *event, &urb);
    *generation = TraceGeneration();
    record.traced.push_back(TracedLocation{irp->CurrentLocation - 1, *event,
                                           kind == RequestEvent::Kind::SendDown ? urb : nullptr,
                                           driver, *generation});
    return true;
}

void TakeTracedLocked(IrpRecord &record, int location, std::vector<TracedLocation> *out)
{
    // Latest first: where a driver skipped its location, the lower driver's CameBack
    // comes before the driver's own Leave at the same location.
    for (auto it = record.traced.end(); it != record.traced.begin();) {
        --it;
        if (it->location == location) {
            out->push_back(*it);
            it = record.traced.erase(it);
        }
    }
}

void TraceCompletion(PIRP irp, std::vector<TracedLocation> &taken)
{
    for (TracedLocation &entry : taken) {
        RequestEvent &event = entry.event;
        event.kind = event.kind == RequestEvent::Kind::Enter ? RequestEvent::Kind::Leave
                                                               : RequestEvent::Kind::CameBack;
        event.status = irp->IoStatus.Status;
        event.information = irp->IoStatus.Information;
        if (entry.urb != nullptr) {
            // Still the sender's: its completion routine has not run yet.
            event.urbStatus = entry.urb->UrbHeader.Status;
            if (event.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                event.urbTransferLength = entry.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            }
        }
        EmitRequestEvent(event, entry.driver, entry.generation);
    }
    taken.clear();
}

void EmitRequestEvent(RequestEvent &event, PDRIVER_OBJECT driver, uint64_t generation)
{
    Observer &o = O();
    event.thread = sim::ke::ThreadName();
    event.irql = sim::ke::CurrentIrql();
    std::lock_guard<std::mutex> guard(o.lock);
    if (!o.call || o.driver != driver || o.generation != generation) {
        return;
    }
    // Taken under the lock, so that the observer sees the times in order.
    event.time = sim::ke::Now();
    o.call(event);
}

}  // namespace sim::io::detail

namespace sim::io {

void SetRequestObserver(PDRIVER_OBJECT driver, std::function<void(const RequestEvent &)> observer)
{
    using namespace detail;
    Observer &o = O();
    if (driver == nullptr || !observer) {
        driver = nullptr;
        observer = nullptr;
    }
    std::function<void(const RequestEvent &)> previous;
    {
        std::lock_guard<std::mutex> guard(o.lock);
        o.generation++;
        o.driver = driver;
        previous = std::move(o.call);
        o.call = std::move(observer);
        g_generation.store(o.generation, std::memory_order_release);
        g_driver.store(driver, std::memory_order_release);
    }
    // Destroyed outside the lock: whatever it captured may not be destroyable under it.
    previous = nullptr;
}

}  // namespace sim::io

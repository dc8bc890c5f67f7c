// The power manager's routines for drivers, first layer: device power state records,
// PoStartNextPowerIrp bookkeeping, and PoCallDriver as a checked IoCallDriver. Called
// at PASSIVE_LEVEL or DISPATCH_LEVEL from any thread. Not modelled yet: the power
// manager itself (system power transitions, PoRequestPowerIrp), the one-power-IRP-
// at-a-time serialisation that PoStartNextPowerIrp releases on older systems.
#include "sim/po/po.h"

#include "sim/verifier.h"

#include <map>
#include <mutex>

using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::po {

namespace {

struct DeviceRecord {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
};

struct State {
    std::mutex mutex;
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::map<PIRP, int> startNext;
};

State &S()
{
    static State state;
    return state;
}

}  // namespace

DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().devices.find(device);
    return it == S().devices.end() ? PowerDeviceUnspecified : it->second.device;
}

SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().devices.find(device);
    return it == S().devices.end() ? PowerSystemUnspecified : it->second.system;
}

int StartNextPowerIrpCalls(PIRP irp)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().startNext.find(irp);
    return it == S().startNext.end() ? 0 : it->second;
}

void ForgetIrp(PIRP irp)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().startNext.erase(irp);
}

void ForgetDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().devices.erase(device);
}

void Reset()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().devices.clear();
    S().startNext.clear();
}

}  // namespace sim::po

namespace {

bool IsPowerIrpAt(PIO_STACK_LOCATION location)
{
    return location != nullptr && location->MajorFunction == IRP_MJ_POWER;
}

}  // namespace

extern "C" {

// Records the device's new state of the given type.
// Return: the state of that type recorded before (Unspecified the first time).
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceUnspecified;
    if (DeviceObject == nullptr) {
        Report(Rule::InvalidParameter, "PoSetPowerState: DeviceObject is NULL");
        return previous;
    }
    auto &s = sim::po::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    sim::po::DeviceRecord &record = s.devices[DeviceObject];
    if (Type == DevicePowerState) {
        previous.DeviceState = record.device;
        record.device = State.DeviceState;
    } else {
        previous.SystemState = record.system;
        record.system = State.SystemState;
    }
    return previous;
}

// Counts the call against the IRP; the IRP must be a power IRP at the caller's
// stack location.
VOID PoStartNextPowerIrp(PIRP Irp)
{
    if (Irp == nullptr || !IsPowerIrpAt(IoGetCurrentIrpStackLocation(Irp))) {
        Report(Rule::InvalidParameter, "PoStartNextPowerIrp: IRP %p is not a power IRP", static_cast<void *>(Irp));
        return;
    }
    std::lock_guard<std::mutex> lock(sim::po::S().mutex);
    sim::po::S().startNext[Irp]++;
}

// Passes a power IRP to the next driver: IoCallDriver, after checking that the next
// stack location is set up as a power request.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp != nullptr && !IsPowerIrpAt(IoGetNextIrpStackLocation(Irp))) {
        Report(Rule::InvalidParameter, "PoCallDriver: IRP %p's next stack location is not IRP_MJ_POWER",
               static_cast<void *>(Irp));
    }
    return IofCallDriver(DeviceObject, Irp);
}

// The power manager that builds and sends device power IRPs comes with the power
// layer of the platform; until then no request can be made.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    (void)DeviceObject;
    (void)MinorFunction;
    (void)PowerState;
    (void)CompletionFunction;
    (void)Context;
    if (Irp != nullptr) {
        *Irp = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"

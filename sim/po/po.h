// The host power manager as the rest of sim/ sees it (first layer): the power state
// each device last reported with PoSetPowerState, and the record of
// PoStartNextPowerIrp calls per IRP that a verifier rule checks when a power IRP
// completes. The driver sees PoSetPowerState, PoStartNextPowerIrp, PoCallDriver and
// PoRequestPowerIrp (kernel/host/wdm.h). Thread-safe.
#pragma once

#include "kernel/kernel.h"

namespace sim::po {

// The state last set with PoSetPowerState; PowerDeviceUnspecified and
// PowerSystemUnspecified for a device that never reported one.
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device);

// How many times PoStartNextPowerIrp was called for `irp` since it was last forgotten.
int StartNextPowerIrpCalls(PIRP irp);
// Drops the records of an IRP (when it is freed or reused) or of a device (when it
// is deleted), so that a later object at the same address starts clean.
void ForgetIrp(PIRP irp);
void ForgetDevice(PDEVICE_OBJECT device);

void Reset();

}  // namespace sim::po

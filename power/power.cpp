// Power requests.
// Context: PASSIVE_LEVEL (the device is power-pageable).
// Not part of the driver yet: the entry fails its requests until it is, after letting
// the power manager send the next power request.
#include "core/core.h"

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    return CompleteNotYetHandled(Irp);
}

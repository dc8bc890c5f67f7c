// Plug and Play requests and the device's state.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread.
// Not part of the driver yet: the entry fails its requests until it is.
#include "core/core.h"

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

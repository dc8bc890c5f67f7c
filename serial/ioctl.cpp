// The serial control requests of the emulated port.
// Context: PASSIVE_LEVEL, in the application's thread.
// Not part of the driver yet: the entry fails its requests until it is.
#include "core/core.h"

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

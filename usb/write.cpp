// Write requests and bulk-out transfers.
// Context: dispatch in the application's thread.
// Not part of the driver yet: writes fail until they are.
#include "core/core.h"

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

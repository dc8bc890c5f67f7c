// Open, close, cleanup and flush of the emulated serial port.
// Context: PASSIVE_LEVEL, in the application's thread.
// The port's open and close sequences are not part of the driver yet: these entries
// fail their requests as the I/O manager's default would, until they are.
#include "core/core.h"

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

NTSTATUS DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

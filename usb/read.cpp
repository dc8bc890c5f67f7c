// Read requests and read timeouts.
// Context: dispatch in the application's thread; the timeout DPC at DISPATCH_LEVEL.
// Not part of the driver yet: reads fail until they are, and nothing arms ReadTimer,
// so its DPC has nothing to do.
#include "core/core.h"

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteNotYetHandled(Irp);
}

VOID ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(DeferredContext);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
}

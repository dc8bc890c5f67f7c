// Requests the driver passes down untouched (internal device control, system
// control).
// Context: PASSIVE_LEVEL up to DISPATCH_LEVEL, in the sender's thread.
#include "core/core.h"

/*
 * DispatchPassDown - sends the request to the lower driver with the same parameters.
 * Context: up to DISPATCH_LEVEL.
 * Return: the lower driver's status, which then owns and completes the IRP; or, once
 * removal has begun, the remove lock's failure status with the IRP completed here.
 * The remove lock is held across IoCallDriver so that removal waits for the call.
 */
NTSTATUS DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// Requests the driver passes down untouched (internal device control, system
// control), and the placeholder for handlers that are not part of the driver yet.
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

/*
 * CompleteNotYetHandled - fails a request whose handler the driver does not have yet,
 * as the I/O manager's default dispatch would.
 * Return: STATUS_INVALID_DEVICE_REQUEST, with the IRP completed.
 */
NTSTATUS CompleteNotYetHandled(PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

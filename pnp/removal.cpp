// Surprise removal and removal: the state changes the data paths test under StateLock,
// the queued requests cancelled, the pipes aborted, the port names undone once, and at
// removal the wait for every request still holding the remove lock before the
// configuration's copies are released and the device is deleted.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread; reads, writes, DPCs and
// bus completions run concurrently until the remove lock has drained.
#include "pnp/pnp.h"
#include "serial/serial.h"

/*
 * ExchangePnpState - sets PnpState under StateLock, so that IsDeviceUnavailable and a
 * create's test see either the old or the new state whole. Every write of PnpState
 * after AddDevice goes through it.
 * Context: up to DISPATCH_LEVEL; StateLock not held on entry.
 * Return: the old state.
 */
ULONG ExchangePnpState(PDEVICE_EXTENSION Extension, ULONG NewState)
{
    KIRQL irql;
    ULONG old;

    irql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
    old = Extension->PnpState;
    Extension->PnpState = NewState;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return old;
}

// Ends what the data path still holds: queued requests first (they would otherwise
// wait for transfers), then the transfers themselves.
static VOID StopDataPath(PDEVICE_OBJECT DeviceObject)
{
    CancelAllQueues(DeviceObject);
    AbortPipesIfOpen(DeviceObject);
}

// Frees the kernel device name; nothing names the device from here on.
static VOID FreeDeviceName(PDEVICE_EXTENSION Extension)
{
    if (Extension->DeviceName.Buffer != NULL) {
        ExFreePool(Extension->DeviceName.Buffer);
        Extension->DeviceName.Buffer = NULL;
        Extension->DeviceName.Length = 0;
        Extension->DeviceName.MaximumLength = 0;
    }
}

/*
 * PnpSurpriseRemoval - IRP_MN_SURPRISE_REMOVAL: the phone is gone. The device object
 * stays until the removal, which comes once the last handle is closed.
 * Context: PASSIVE_LEVEL; takes StateLock around the state change. The IRP is passed
 * down. Return: the lower driver's status.
 */
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    (VOID)ExchangePnpState(extension, SurpriseRemoved);
    StopDataPath(DeviceObject);

    // Whatever the state: a device pulled out between a granted query and its stop or
    // removal still carries its names, and the removal after a surprise removal does
    // not look at them again.
    if (!extension->PortNamesReleased) {
        RemovePortNames(extension);
        extension->PortNamesReleased = TRUE;
    }
    FreeDeviceName(extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PnpPassDown(extension, Irp);
}

/*
 * PnpRemoveDevice - IRP_MN_REMOVE_DEVICE: tears the device down and deletes it.
 * Context: PASSIVE_LEVEL; takes StateLock around the state change. Entered holding
 * RemoveLock (tag: the IRP) from DispatchPnp and releases it here, then waits for every
 * other holder. The IRP is passed down. The device and its extension are gone on return.
 * Return: the lower driver's status.
 */
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT lower = extension->LowerDevice;
    ULONG old;
    NTSTATUS status;

    old = ExchangePnpState(extension, Removed);
    StopDataPath(DeviceObject);

    if (old != SurpriseRemoved && !extension->PortNamesReleased) {
        RemovePortNames(extension);
        extension->PortNamesReleased = TRUE;
    }
    // Kept since AddDevice registered it, so that every restart could enable it again.
    if (extension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&extension->InterfaceName);
        extension->InterfaceName.Buffer = NULL;
    }
    FreeDeviceName(extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PnpPassDown(extension, Irp);

    // Reads, writes, control and power requests still inside the driver hold the lock;
    // the pipe information they may use goes only after the last one has left.
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
    ReleaseInterfaceInfo(extension);
    // Cancelling the read timer cannot recall a DPC it has already queued, nor stop one
    // running: each must have run before the extension goes.
    KeCancelTimer(&extension->ReadTimer);
    KeFlushQueuedDpcs();

    if (lower != NULL) {
        IoDetachDevice(lower);
    }
    IoDeleteDevice(DeviceObject);
    return status;
}

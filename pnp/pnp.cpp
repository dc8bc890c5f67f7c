// Plug and Play requests and the device's state: the dispatch through the minor-function
// table, the start (USB configuration at the first one, port names at each), the
// queries that refuse while the port is open, stop and its cancellations, and the
// capabilities a removable phone reports. Removal lives in removal.cpp.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread, one request per device
// at a time; opens and closes run concurrently on application threads.
#include "pnp/pnp.h"
#include "usb/usb.h"

// Minor codes 0x00 to 0x17, in code order.
static PDRIVER_DISPATCH const PnpHandlers[] = {
    PnpStartDevice,          // 0x00 IRP_MN_START_DEVICE
    PnpQueryRemove,          // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    PnpRemoveDevice,         // 0x02 IRP_MN_REMOVE_DEVICE
    PnpCancelRemove,         // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    PnpStopDevice,           // 0x04 IRP_MN_STOP_DEVICE
    PnpQueryStop,            // 0x05 IRP_MN_QUERY_STOP_DEVICE
    PnpCancelStop,           // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    PnpDefault,              // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    PnpDefault,              // 0x08 IRP_MN_QUERY_INTERFACE
    PnpQueryCapabilities,    // 0x09 IRP_MN_QUERY_CAPABILITIES
    PnpDefault,              // 0x0A IRP_MN_QUERY_RESOURCES
    PnpDefault,              // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PnpDefault,              // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    PnpDefault,              // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PnpDefault,              // 0x0E (unused code)
    PnpDefault,              // 0x0F IRP_MN_READ_CONFIG
    PnpDefault,              // 0x10 IRP_MN_WRITE_CONFIG
    PnpDefault,              // 0x11 IRP_MN_EJECT
    PnpDefault,              // 0x12 IRP_MN_SET_LOCK
    PnpDefault,              // 0x13 IRP_MN_QUERY_ID
    PnpQueryPnpDeviceState,  // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    PnpDefault,              // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    PnpDefault,              // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    PnpSurpriseRemoval,      // 0x17 IRP_MN_SURPRISE_REMOVAL
};
static_assert(sizeof(PnpHandlers) / sizeof(PnpHandlers[0]) == PNP_MINOR_TABLE_SIZE,
              "one handler per minor code from 0x00 to 0x17");

/*
 * DispatchPnp - the IRP_MJ_PNP entry.
 * Context: PASSIVE_LEVEL. Holds RemoveLock (tag: the IRP) while the handler runs; the
 * removal handler releases it itself.
 * Return: the handler's status, the lower driver's for codes from 0x18, or the remove
 * lock's failure status (the IRP completed here).
 */
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Irp, status);
        goto out;
    }

    if (minor >= PNP_MINOR_TABLE_SIZE) {
        status = PnpPassDown(extension, Irp);
    } else {
        status = PnpHandlers[minor](DeviceObject, Irp);
    }
    // The removal handler has released the lock and deleted the device by now.
    if (minor != IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
out:
    return status;
}

/*
 * PnpPassDown - passes the request to the lower driver with this stack location skipped.
 * Context: PASSIVE_LEVEL. The lower drivers own and complete the IRP afterwards.
 */
NTSTATUS PnpPassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * ForwardAndWait - sends the request down and waits until the lower drivers finish it.
 * Context: PASSIVE_LEVEL only.
 * Return: the request's final status, or STATUS_INSUFFICIENT_RESOURCES when it could not
 * be sent. Either way the IRP is the caller's again, to complete.
 */
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    return SendIrpAndWait(extension->LowerDevice, Irp);
}

/*
 * PnpDefault - every minor code without a handler of its own.
 * Context: PASSIVE_LEVEL. The status the request arrived with is left as it is.
 * Return: the lower driver's status; the lower drivers complete the IRP.
 */
NTSTATUS PnpDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PnpPassDown((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

/*
 * PnpQueryPnpDeviceState - passed down without being looked at.
 * Context: PASSIVE_LEVEL. Return: IoCallDriver's status; the lower drivers complete it.
 */
NTSTATUS PnpQueryPnpDeviceState(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

// Takes the pipes from the configuration just selected: the first pipe of interface
// 7/1 is the bulk-in pipe, the second the bulk-out pipe, whose own packet size decides
// when a write needs a zero-length packet to end it. A missing copy of the
// interface information (or of its array) or an interface with fewer than two pipes is
// refused (and the configuration's copies released), so nothing reads past what exists.
static NTSTATUS TakePipes(PDEVICE_EXTENSION Extension)
{
    PUSBD_INTERFACE_INFORMATION info = Extension->InterfaceInfo != NULL ? Extension->InterfaceInfo[0] : NULL;
    NTSTATUS status = STATUS_SUCCESS;

    if (info == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (info->NumberOfPipes < OBEX_PIPE_COUNT) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ReleaseInterfaceInfo(Extension);
        goto out;
    }
    Extension->BulkInPipe = info->Pipes[0].PipeHandle;
    Extension->MaxPacketSize = info->Pipes[1].MaximumPacketSize;
    Extension->ZeroLengthPacket = TRUE;
    Extension->BulkOutPipe = info->Pipes[1].PipeHandle;
out:
    return status;
}

/*
 * PnpStartDevice - IRP_MN_START_DEVICE: after the lower drivers, configures USB at the
 * first start and creates the port names at every start.
 * Context: PASSIVE_LEVEL; no lock (PnpState is PnP serial here: no open is admitted
 * before Started). Completes the IRP.
 * Return: STATUS_SUCCESS with the device Started; otherwise the failure, with PnpState
 * and PortNamesReleased unchanged and no port name left behind.
 */
NTSTATUS PnpStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        goto out;
    }

    // After a stop the configuration and its pipes are still selected. A stop can come
    // before the first start, so a device without a configuration gets one whatever
    // its state.
    if (extension->PnpState == NeverStarted || extension->InterfaceInfo == NULL) {
        status = ConfigureDevice(DeviceObject);
        if (!NT_SUCCESS(status)) {
            goto out;
        }
        status = TakePipes(extension);
        if (!NT_SUCCESS(status)) {
            goto out;
        }
    }

    status = CreatePortNames(extension);
    if (!NT_SUCCESS(status)) {
        RemovePortNames(extension);
        goto out;
    }
    (VOID)ExchangePnpState(extension, Started);
    extension->PortNamesReleased = FALSE;
out:
    return CompleteRequest(Irp, status);
}

/*
 * PortInUse - the port is in use from its create until its close has drained: cleanup
 * clears IsOpen first, but the close that follows still aborts the pipes and waits for
 * the transfers in flight, so a stop or removal granted in between would take the
 * pipes and the lower device away under it. OpenCount drops only after that drain.
 * Context: PASSIVE_LEVEL, OpenMutex held (no create can raise the count meanwhile);
 * takes DataLock for IsOpen, which a cleanup clears under DataLock alone.
 */
static BOOLEAN PortInUse(PDEVICE_EXTENSION Extension) REQUIRES(Extension->OpenMutex)
{
    // Cleanup clears IsOpen under DataLock alone: read under it.
    return (BOOLEAN)(PortIsOpen(Extension) || InterlockedCompareExchange(&Extension->OpenCount, 0, 0) != 0);
}

/*
 * PnpQueryStop - IRP_MN_QUERY_STOP_DEVICE: refused while the port is in use.
 * Context: PASSIVE_LEVEL; takes OpenMutex, so that no open slips in between the test of
 * IsOpen and the state change.
 * Return: STATUS_DEVICE_BUSY (the IRP completed here) or the lower driver's status
 * (passed down).
 */
NTSTATUS PnpQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN busy = FALSE;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState == Started) {
        ExAcquireFastMutex(&extension->OpenMutex);
        if (PortInUse(extension)) {
            busy = TRUE;
        } else {
            (VOID)ExchangePnpState(extension, StopPending);
        }
        ExReleaseFastMutex(&extension->OpenMutex);
    }
    if (busy) {
        status = CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    } else {
        status = PnpPassDown(extension, Irp);
    }
    return status;
}

/*
 * PnpCancelStop - IRP_MN_CANCEL_STOP_DEVICE: back to Started from StopPending once the
 * lower drivers agree.
 * Context: PASSIVE_LEVEL. Completes the IRP in StopPending, passes it down otherwise.
 */
NTSTATUS PnpCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState != StopPending) {
        status = PnpPassDown(extension, Irp);
        goto out;
    }
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        (VOID)ExchangePnpState(extension, Started);
    }
    status = CompleteRequest(Irp, status);
out:
    return status;
}

/*
 * PnpStopDevice - IRP_MN_STOP_DEVICE: removes the port names once; the configuration
 * stays selected. The query-stop before it refused an open port, so there are no
 * queues to cancel and no transfers to abort.
 * Context: PASSIVE_LEVEL. Return: the lower driver's status (passed down).
 */
NTSTATUS PnpStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if ((extension->PnpState == Started || extension->PnpState == StopPending) &&
        !extension->PortNamesReleased) {
        RemovePortNames(extension);
        extension->PortNamesReleased = TRUE;
    }
    (VOID)ExchangePnpState(extension, Stopped);
    return PnpPassDown(extension, Irp);
}

/*
 * PnpQueryRemove - IRP_MN_QUERY_REMOVE_DEVICE: refused while the port is in use, granted
 * in every other case (the state it leaves is saved for a cancel-remove).
 * Context: PASSIVE_LEVEL; takes OpenMutex as PnpQueryStop does.
 * Return: STATUS_DEVICE_BUSY (completed here) or the lower driver's status.
 */
NTSTATUS PnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN busy = FALSE;
    ULONG old;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    ExAcquireFastMutex(&extension->OpenMutex);
    if (PortInUse(extension)) {
        busy = TRUE;
    } else {
        // A second query without a cancel between keeps the state from before the
        // first, which is what a cancel-remove goes back to.
        old = ExchangePnpState(extension, RemovePending);
        if (old != RemovePending) {
            extension->PreviousPnpState = old;
        }
    }
    ExReleaseFastMutex(&extension->OpenMutex);
    if (busy) {
        status = CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    } else {
        status = PnpPassDown(extension, Irp);
    }
    return status;
}

/*
 * PnpCancelRemove - IRP_MN_CANCEL_REMOVE_DEVICE: back to the state saved by the query
 * once the lower drivers agree.
 * Context: PASSIVE_LEVEL. Completes the IRP in RemovePending, passes it down otherwise.
 */
NTSTATUS PnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState != RemovePending) {
        status = PnpPassDown(extension, Irp);
        goto out;
    }
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        (VOID)ExchangePnpState(extension, extension->PreviousPnpState);
    }
    status = CompleteRequest(Irp, status);
out:
    return status;
}

/*
 * PnpQueryCapabilities - IRP_MN_QUERY_CAPABILITIES: after the bus driver has filled the
 * structure, the phone is reported removable, safe to pull out and without a unique ID,
 * and the result is kept in Capabilities.
 * Context: PASSIVE_LEVEL. A Version 0 structure is passed down untouched; otherwise the
 * IRP is completed here with the lower drivers' status.
 */
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status;

    if (capabilities->Version == 0) {
        status = PnpPassDown(extension, Irp);
        goto out;
    }
    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->UniqueID = 0;
        capabilities->Removable = 1;
        capabilities->SurpriseRemovalOK = 1;
        // The whole structure as this driver knows it, whatever its Size says.
        RtlCopyMemory(&extension->Capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    status = CompleteRequest(Irp, status);
out:
    return status;
}

// The USB configuration chosen at the first start: the device and configuration
// descriptors read, the configuration selected with the OBEX data interface (7,
// alternate setting 1) alone, and a private copy of the interface information the bus
// driver returns, which the device keeps until removal.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread; every USB request
// blocks until the bus driver has answered it.
#include "pnp/pnp.h"
#include "usb/usb.h"

// Fills the one descriptor request of the configuration completely, as every
// submission needs it.
static VOID FillDescriptorRequest(struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request, PVOID Buffer,
                                  ULONG Length, UCHAR DescriptorType)
{
    RtlZeroMemory(Request, sizeof(*Request));
    Request->Hdr.Length = sizeof(*Request);
    Request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Request->TransferBuffer = Buffer;
    Request->TransferBufferLength = Length;
    Request->TransferBufferMDL = NULL;
    Request->UrbLink = NULL;
    Request->Index = 0;
    Request->LanguageId = 0;
    Request->DescriptorType = DescriptorType;
}

/*
 * ReleaseInterfaceInfo - frees the copies of the interface information and their array.
 * Context: PASSIVE_LEVEL, PnP serial (the first start and the removal); no lock.
 */
VOID ReleaseInterfaceInfo(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    if (Extension->InterfaceInfo == NULL) {
        return;
    }
    for (i = 0; i < Extension->InterfaceCount; i++) {
        if (Extension->InterfaceInfo[i] != NULL) {
            ExFreePool(Extension->InterfaceInfo[i]);
            Extension->InterfaceInfo[i] = NULL;
        }
    }
    ExFreePool(Extension->InterfaceInfo);
    Extension->InterfaceInfo = NULL;
}

/*
 * ConfigureDevice - selects the configuration with the OBEX data interface alone.
 * Context: PASSIVE_LEVEL, from the start handler; no lock (the port cannot be open yet).
 * Return: STATUS_SUCCESS with ConfigurationHandle set and InterfaceInfo holding one
 * entry (the copy of interface 7/1's information, NULL when no pool was left for it);
 * otherwise the failing request's status, STATUS_INSUFFICIENT_RESOURCES or
 * STATUS_NO_MEMORY for pool, STATUS_UNSUCCESSFUL without interface 7/1, or
 * STATUS_DEVICE_DATA_ERROR for a configuration descriptor that is shorter than its
 * header or than it says. Every temporary is released on every exit, and InterfaceInfo
 * is NULL after a failure.
 */
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
    USB_CONFIGURATION_DESCRIPTOR header;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = NULL;
    PUSBD_INTERFACE_LIST_ENTRY list = NULL;
    PUSB_INTERFACE_DESCRIPTOR found;
    PURB select = NULL;
    PUSBD_INTERFACE_INFORMATION *info;
    PUSBD_INTERFACE_INFORMATION copy;
    USHORT totalLength;
    ULONG i;
    ULONG j;
    NTSTATUS status;

    // A start that follows a successful configuration whose start failed later (at the
    // port names) configures again; the earlier copies would be lost otherwise.
    ReleaseInterfaceInfo(extension);

    FillDescriptorRequest(&request, &extension->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR),
                          USB_DEVICE_DESCRIPTOR_TYPE);
    status = SubmitUrbSync(DeviceObject, (PURB)&request);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    extension->ZeroLengthPacket = TRUE;

    FillDescriptorRequest(&request, &header, sizeof(header), USB_CONFIGURATION_DESCRIPTOR_TYPE);
    status = SubmitUrbSync(DeviceObject, (PURB)&request);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    // The header must have arrived whole and claim at least itself: bNumInterfaces is
    // written below and the USB library walks wTotalLength bytes of the buffer.
    totalLength = header.wTotalLength;
    if (request.TransferBufferLength < sizeof(header) || totalLength < sizeof(header)) {
        status = STATUS_DEVICE_DATA_ERROR;
        goto out;
    }

    configuration = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, totalLength);
    if (configuration == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    FillDescriptorRequest(&request, configuration, totalLength, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    status = SubmitUrbSync(DeviceObject, (PURB)&request);
    if (!NT_SUCCESS(status)) {
        goto out_free_configuration;
    }
    // Bytes the device did not send, or a length it now states differently, would let
    // the parsers below read what the buffer does not hold.
    if (request.TransferBufferLength < totalLength || configuration->wTotalLength != totalLength) {
        status = STATUS_DEVICE_DATA_ERROR;
        goto out_free_configuration;
    }

    // From here on the configuration has one interface, whatever the device reports:
    // the select request then carries interface 7/1 alone.
    configuration->bNumInterfaces = 1;

    list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
        NonPagedPool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY), CONFIG_POOL_TAG);
    if (list == NULL) {
        status = STATUS_NO_MEMORY;
        goto out_free_configuration;
    }
    extension->InterfaceCount = configuration->bNumInterfaces;

    found = USBD_ParseConfigurationDescriptorEx(configuration, configuration, OBEX_INTERFACE_NUMBER,
                                                OBEX_ALTERNATE_SETTING, -1, -1, -1);
    if (found == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto out_free_list;
    }
    list[0].InterfaceDescriptor = found;
    list[0].Interface = NULL;
    list[1].InterfaceDescriptor = NULL;
    list[1].Interface = NULL;

    select = USBD_CreateConfigurationRequestEx(configuration, list);
    if (select == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out_free_list;
    }
    for (i = 0; i < configuration->bNumInterfaces; i++) {
        if (list[i].Interface == NULL) {
            continue;
        }
        for (j = 0; j < list[i].Interface->NumberOfPipes; j++) {
            list[i].Interface->Pipes[j].MaximumTransferSize = PIPE_MAX_TRANSFER_SIZE;
        }
    }

    status = SubmitUrbSync(DeviceObject, select);
    if (!NT_SUCCESS(status)) {
        goto out_free_select;
    }
    extension->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;

    info = (PUSBD_INTERFACE_INFORMATION *)ExAllocatePool(
        NonPagedPool, configuration->bNumInterfaces * sizeof(PUSBD_INTERFACE_INFORMATION));
    if (info == NULL) {
        status = STATUS_NO_MEMORY;
        goto out_free_select;
    }
    // The information lives inside the select URB, which goes below; the device keeps
    // copies. A copy that finds no pool stays NULL: the start handler refuses it.
    for (i = 0; i < configuration->bNumInterfaces; i++) {
        info[i] = NULL;
        if (list[i].Interface == NULL) {
            continue;
        }
        copy = (PUSBD_INTERFACE_INFORMATION)ExAllocatePool(NonPagedPool, list[i].Interface->Length);
        if (copy != NULL) {
            RtlCopyMemory(copy, list[i].Interface, list[i].Interface->Length);
            info[i] = copy;
        }
    }
    extension->InterfaceInfo = info;
    status = STATUS_SUCCESS;

out_free_select:
    ExFreePool(select);
out_free_list:
    ExFreePool(list);
out_free_configuration:
    ExFreePool(configuration);
out:
    return status;
}

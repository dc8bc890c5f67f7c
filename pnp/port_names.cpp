// The port names of a started device: the COM name read from "PortName" in the device's
// hardware key, the link "\DosDevices\<name>" to the kernel device name, the REG_SZ
// value under SERIALCOMM, and the COM-port interface enabled. Made at every start,
// undone at stop, surprise removal and removal.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread; no lock (the PnP
// manager serialises the callers).
#include "pnp/pnp.h"

#define SERIALCOMM_KEY WIDE("SERIALCOMM")
#define LINK_NAME_FORMAT WIDE("\\DosDevices\\%ws")

/*
 * ReadPortName - reads "PortName" into a zero-filled port-name buffer.
 * @PortName: PORT_NAME_BUFFER_CHARS characters, zero-filled by the caller; at most
 *            PORT_NAME_MAX_BYTES of them are written, so the last two stay zero.
 * @Key: an open handle to the device's hardware key; closed on every exit.
 * Context: PASSIVE_LEVEL.
 * Return: the query's status; STATUS_INSUFFICIENT_RESOURCES without pool or for data
 * above PORT_NAME_MAX_BYTES (data too long for the record fails the query itself with
 * STATUS_BUFFER_OVERFLOW). The value's type is not examined.
 */
NTSTATUS ReadPortName(PWCHAR PortName, PHANDLE Key)
{
    UNICODE_STRING valueName;
    PKEY_VALUE_FULL_INFORMATION record;
    ULONG length;
    NTSTATUS status;

    RtlInitUnicodeString(&valueName, WIDE("PortName"));
    length = valueName.Length + PORT_NAME_RECORD_EXTRA;
    record = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePool(NonPagedPool, length);
    if (record == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out_close;
    }
    status = ZwQueryValueKey(*Key, &valueName, KeyValueFullInformation, record, length, &length);
    if (NT_SUCCESS(status)) {
        if (record->DataLength > PORT_NAME_MAX_BYTES) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(PortName, (PUCHAR)record + record->DataOffset, record->DataLength);
        }
    }

out_close:
    ZwClose(*Key);
    *Key = NULL;
    if (record != NULL) {
        ExFreePool(record);
    }
    return status;
}

// Reads the port name from the device's hardware key into a zero-filled buffer.
static NTSTATUS OpenAndReadPortName(PDEVICE_EXTENSION Extension, PWCHAR PortName)
{
    HANDLE key = NULL;
    NTSTATUS status;

    RtlZeroMemory(PortName, PORT_NAME_BUFFER_CHARS * sizeof(WCHAR));
    // STANDARD_RIGHTS_READ, not KEY_READ: the key is only queried through a kernel handle.
    status = IoOpenDeviceRegistryKey(Extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE,
                                     STANDARD_RIGHTS_READ, &key);
    if (NT_SUCCESS(status)) {
        status = ReadPortName(PortName, &key);
    }
    return status;
}

/*
 * BuildDosLinkName - reads "PortName" into PortName and makes "\DosDevices\<name>" in a
 * new work string of LINK_NAME_MAX_BYTES.
 * Context: PASSIVE_LEVEL.
 * Return: STATUS_SUCCESS with Work's buffer the caller's to free (ExFreePool); otherwise
 * the read's or the allocation's failure, with nothing allocated.
 */
static NTSTATUS BuildDosLinkName(PDEVICE_EXTENSION Extension, PWCHAR PortName, PUNICODE_STRING Work)
{
    NTSTATUS status;

    status = OpenAndReadPortName(Extension, PortName);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    status = InitCountedString(Work, LINK_NAME_MAX_BYTES);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    // At most 12 + 64 characters and the NUL: well inside the 256-byte work string.
    swprintf(Work->Buffer, LINK_NAME_FORMAT, PortName);
    RtlInitUnicodeString(Work, Work->Buffer);
out:
    return status;
}

/*
 * CreatePortNames - links the COM name to the device, records it under SERIALCOMM and
 * enables the COM-port interface.
 * Context: PASSIVE_LEVEL, from the start handler.
 * Return: STATUS_SUCCESS, or the first failure; what was made before a failure stays
 * (SymbolicLinkName, the link) for the caller's RemovePortNames. A link that could not
 * be made leaves no SymbolicLinkName, so that clean-up never deletes a link of another.
 */
NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension)
{
    WCHAR portName[PORT_NAME_BUFFER_CHARS];
    UNICODE_STRING work;
    UNICODE_STRING name;
    NTSTATUS status;

    // A start while started keeps the names it has: made again, the link would collide
    // with its own and the clean-up would take it away.
    if (Extension->SymbolicLinkName.Buffer != NULL) {
        status = STATUS_SUCCESS;
        goto out;
    }

    status = BuildDosLinkName(Extension, portName, &work);
    if (!NT_SUCCESS(status)) {
        goto out;
    }

    status = InitCountedString(&Extension->SymbolicLinkName, work.Length);
    if (!NT_SUCCESS(status)) {
        goto out_free_work;
    }
    RtlCopyUnicodeString(&Extension->SymbolicLinkName, &work);

    status = IoCreateUnprotectedSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
    if (!NT_SUCCESS(status)) {
        // The name is taken (another phone with the same PortName, a system port): the
        // link there is not ours, and the clean-up must not delete it.
        ExFreePool(Extension->SymbolicLinkName.Buffer);
        RtlZeroMemory(&Extension->SymbolicLinkName, sizeof(UNICODE_STRING));
        goto out_free_work;
    }

    // The data is the name and two zero characters; both lie inside portName, whose
    // last two characters the registry data never reaches.
    RtlInitUnicodeString(&name, portName);
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Extension->DeviceName.Buffer,
                                   REG_SZ, portName, name.Length + 2 * sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        goto out_free_work;
    }

    // An interface that cannot be enabled does not keep the port from working.
    (VOID)IoSetDeviceInterfaceState(&Extension->InterfaceName, TRUE);

out_free_work:
    ExFreePool(work.Buffer);
out:
    return status;
}

/*
 * RemovePortNames - undoes whatever CreatePortNames made; every step is taken whatever
 * the others return.
 * Context: PASSIVE_LEVEL, from the start (failure), stop and removal handlers.
 * Return: the status of the last operation performed (STATUS_SUCCESS if none); the
 * callers disregard it. SymbolicLinkName's buffer is released in every case.
 * InterfaceName is only disabled: the interface is registered once, by AddDevice, so
 * the name is kept for the next start and freed at removal.
 */
NTSTATUS RemovePortNames(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status = STATUS_SUCCESS;

    if (Extension->InterfaceName.Buffer != NULL) {
        status = IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    }
    if (Extension->DeviceName.Buffer != NULL) {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Extension->DeviceName.Buffer);
    }
    if (Extension->SymbolicLinkName.Buffer != NULL) {
        status = IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
        if (!NT_SUCCESS(status)) {
            // Someone removed or renamed the link; the registry still names it.
            status = DeleteDosLinkByPortName(Extension);
        }
        ExFreePool(Extension->SymbolicLinkName.Buffer);
        Extension->SymbolicLinkName.Buffer = NULL;
        Extension->SymbolicLinkName.Length = 0;
        Extension->SymbolicLinkName.MaximumLength = 0;
    }
    return status;
}

/*
 * LinkNamesThisDevice - whether the symbolic link Link exists and names this device.
 * Context: PASSIVE_LEVEL.
 */
static BOOLEAN LinkNamesThisDevice(PDEVICE_EXTENSION Extension, PUNICODE_STRING Link)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;
    WCHAR targetText[DEVICE_NAME_MAX_BYTES / sizeof(WCHAR)];
    UNICODE_STRING target;
    NTSTATUS status;

    InitializeObjectAttributes(&attributes, Link, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    target.Length = 0;
    target.MaximumLength = sizeof(targetText);
    target.Buffer = targetText;
    // A target too long for the buffer is longer than any name of this driver.
    status = ZwQuerySymbolicLinkObject(handle, &target, NULL);
    ZwClose(handle);
    return NT_SUCCESS(status) && RtlEqualUnicodeString(&target, &Extension->DeviceName, TRUE);
}

/*
 * DeleteDosLinkByPortName - deletes "\DosDevices\<name>" with the name read again from
 * "PortName", when that link names this device: a link of that name that names another
 * (a second phone given the same name, a system port) stays with its owner.
 * Context: PASSIVE_LEVEL, from RemovePortNames.
 * Return: the deletion's status; STATUS_OBJECT_NAME_NOT_FOUND when no link of that name
 * names this device; or the failure that kept the name from being built.
 */
NTSTATUS DeleteDosLinkByPortName(PDEVICE_EXTENSION Extension)
{
    WCHAR portName[PORT_NAME_BUFFER_CHARS];
    UNICODE_STRING work;
    NTSTATUS status;

    status = BuildDosLinkName(Extension, portName, &work);
    if (!NT_SUCCESS(status)) {
        goto out;
    }
    if (LinkNamesThisDevice(Extension, &work)) {
        status = IoDeleteSymbolicLink(&work);
    } else {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ExFreePool(work.Buffer);
out:
    return status;
}

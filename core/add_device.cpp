// Device creation: the functional device object "\Device\VARNOOBEXn" with its
// extension, attached above the bus's physical device object, with the COM-port
// device interface registered (and left disabled until the port names exist).
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread; several AddDevice
// calls may run at once.
#include "core/core.h"

// Device numbers for the life of the loaded driver: taken by one interlocked add, never
// given back (not at removal, not when AddDevice fails after taking one), so numbers
// are unique and may have gaps.
DRIVER_GLOBAL static LONG DeviceCounter;

// Not analysed: the locks are only being initialized, and no one else can see the
// device yet, so the members need no guard here.
static VOID InitializeExtension(PDEVICE_EXTENSION Extension) NO_THREAD_SAFETY_ANALYSIS
{
    IoInitializeRemoveLockEx(&Extension->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeSpinLock(&Extension->DataLock);
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WaitQueue);
    InitializeListHead(&Extension->WriteQueue);
    KeInitializeTimer(&Extension->ReadTimer);
    KeInitializeDpc(&Extension->ReadTimerDpc, ReadTimeoutDpc, Extension);
    KeInitializeSpinLock(&Extension->StateLock);
    Extension->DeviceFailure = 0;
    Extension->IsOpen = FALSE;
    ExInitializeFastMutex(&Extension->OpenMutex);
    ExInitializeFastMutex(&Extension->CloseMutex);
    Extension->OutstandingIo = 0;
}

/*
 * AddDevice - creates and attaches the functional device object for one phone interface.
 * Context: PASSIVE_LEVEL.
 * Return: STATUS_SUCCESS with the device attached, NeverStarted, powered (D0) and its
 * interface registered; or a failure status with nothing left behind but the device
 * number it consumed.
 */
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice)
{
    UNICODE_STRING name;
    WCHAR numberText[DEVICE_NUMBER_MAX_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number;
    PDEVICE_OBJECT device = NULL;
    PDEVICE_EXTENSION extension;
    NTSTATUS status;
    POWER_STATE powerState;

    status = InitCountedString(&name, DEVICE_NAME_MAX_BYTES);
    if (!NT_SUCCESS(status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&name, DEVICE_NAME_PREFIX);

    number.Length = 0;
    number.MaximumLength = sizeof(numberText);
    number.Buffer = numberText;
    RtlIntegerToUnicodeString((ULONG)InterlockedIncrement(&DeviceCounter), 10, &number);
    RtlAppendUnicodeStringToString(&name, &number);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        goto out_free_name;
    }

    extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->SelfDevice = device;
    extension->PhysicalDevice = PhysicalDevice;
    // Locks, lists and mutexes are ready before anything can reach the device: a create
    // is refused only while DO_DEVICE_INITIALIZING is set.
    InitializeExtension(extension);

    // MaximumLength equals the name's length; the two spare bytes InitCountedString adds
    // keep the buffer NUL-terminated, because it is also used as a plain string (the
    // value name under SERIALCOMM).
    status = InitCountedString(&extension->DeviceName, name.Length);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out_unwind;
    }
    RtlCopyUnicodeString(&extension->DeviceName, &name);

    extension->PnpState = NeverStarted;
    device->Flags |= DO_BUFFERED_IO;

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
    if (extension->LowerDevice == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out_unwind;
    }

    device->Flags |= DO_POWER_PAGABLE;

    status = IoRegisterDeviceInterface(PhysicalDevice, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        goto out_unwind;
    }

    extension->DevicePowerState = PowerDeviceD0;
    extension->SystemPowerState = PowerSystemWorking;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, powerState);

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    goto out_free_name;

out_unwind:
    if (extension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&extension->InterfaceName);
    }
    if (extension->DeviceName.Buffer != NULL) {
        ExFreePool(extension->DeviceName.Buffer);
        extension->DeviceName.Buffer = NULL;
    }
    if (extension->LowerDevice != NULL) {
        IoDetachDevice(extension->LowerDevice);
    }
    IoDeleteDevice(device);
out_free_name:
    ExFreePool(name.Buffer);
    return status;
}

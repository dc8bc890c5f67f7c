// Device objects and device stacks: creation with the extension in the same block,
// deletion with its checks (names, attachment, remove locks, deferred work and locks
// inside the dying memory), attaching and detaching, and the object references that
// keep a deleted device's memory alive. Callable at PASSIVE_LEVEL (creation,
// deletion, attachment) as the routines document; references at any level.
//
// Not modelled: the DEVOBJ_EXTENSION (DeviceObjectExtension stays NULL), security
// descriptors, volume parameter blocks, device queues and StartIo.
#include "sim/io/internal.h"

#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstring>

namespace sim::io::detail {

using sim::verifier::Report;
using sim::verifier::Rule;

namespace {

constexpr size_t RoundUp(size_t n)
{
    return (n + MEMORY_ALLOCATION_ALIGNMENT - 1) & ~size_t(MEMORY_ALLOCATION_ALIGNMENT - 1);
}

// Deleted device blocks stay poisoned (not returned to the heap) for a while, so that
// a stale pointer into one reads the poison pattern instead of a new object.
constexpr size_t kDeadDevicesKept = 8;

}  // namespace

DeviceRecord *FindDevice(PDEVICE_OBJECT device)
{
    auto it = S().devices.find(device);
    if (it == S().devices.end() || it->second.deleted) {
        return nullptr;
    }
    return &it->second;
}

bool DeviceDeletedLocked(PDEVICE_OBJECT device)
{
    auto it = S().devices.find(device);
    if (it != S().devices.end()) {
        return it->second.deleted;
    }
    for (const auto &[block, size] : S().deadDevices) {
        if (block == static_cast<void *>(device)) {
            return true;
        }
    }
    return false;
}

void CheckCompleterLiveLocked(PIRP irp, uint64_t serial)
{
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    if (device == nullptr || !DeviceDeletedLocked(device)) {
        return;
    }
    auto it = S().devices.find(device);
    if (it != S().devices.end()) {
        for (const auto &[during, duringSerial] : it->second.deletedDuring) {
            if (during == irp && duringSerial == serial) {
                return;
            }
        }
    }
    Report(Rule::DeviceUsedAfterDelete, "IoCompleteRequest(%p) by device %p, which was deleted",
           (void *)irp, (void *)device);
}

void MaybeFreeDeviceLocked(PDEVICE_OBJECT device)
{
    auto it = S().devices.find(device);
    if (it == S().devices.end() || !it->second.deleted || device->ReferenceCount != 0) {
        return;
    }
    // Still marked deleted while it is kept poisoned: a late use of it is reported.
    std::memset(it->second.block, kPoison, it->second.size);
    S().deadDevices.emplace_back(it->second.block, it->second.size);
    S().devices.erase(it);
    while (S().deadDevices.size() > kDeadDevicesKept) {
        auto [block, size] = S().deadDevices.front();
        S().deadDevices.pop_front();
        sim::verifier::ForgetDeleted(block);
        FreeBlock(block, size);
    }
}

}  // namespace sim::io::detail

using namespace sim::io::detail;
using sim::verifier::Report;
using sim::verifier::Rule;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) noexcept
{
    *DeviceObject = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (S().drivers.count(DriverObject) == 0) {
            Report(Rule::InvalidParameter, "IoCreateDevice: %p is not a loaded driver",
                   (void *)DriverObject);
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (DeviceName != nullptr && !sim::rtl::CheckCounted(DeviceName, "IoCreateDevice", "DeviceName")) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (sim::lowres::ShouldFail("IoCreateDevice")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // One block, as Windows allocates it: the object, then the extension.
    const size_t objectSize = RoundUp(sizeof(DEVICE_OBJECT));
    const size_t size = objectSize + RoundUp(DeviceExtensionSize);
    auto *block = static_cast<unsigned char *>(AllocateBlock(size));
    auto device = reinterpret_cast<PDEVICE_OBJECT>(block);
    device->Type = kIoTypeDevice;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? block + objectSize : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }

    const std::u16string name = sim::rtl::FromCounted(DeviceName);
    if (!name.empty()) {
        NTSTATUS status = sim::ob::InsertDeviceName(name, device);
        if (!NT_SUCCESS(status)) {
            FreeBlock(block, size);
            return status;
        }
        device->Flags |= DO_DEVICE_HAS_NAME;
    }

    std::lock_guard<std::mutex> guard(S().lock);
    DeviceRecord &record = S().devices[device];
    record.block = block;
    record.size = size;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) noexcept
{
    void *block;
    size_t size;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        DeviceRecord *record = FindDevice(DeviceObject);
        if (record == nullptr) {
            Report(Rule::InvalidParameter, "IoDeleteDevice: %p is not a live device object",
                   (void *)DeviceObject);
            return;
        }
        if (DeviceObject->AttachedDevice != nullptr) {
            Report(Rule::InvalidParameter, "IoDeleteDevice(%p) while %p is still attached above it",
                   (void *)DeviceObject, (void *)DeviceObject->AttachedDevice);
        }
        if (record->attachedTo != nullptr) {
            // The lower device would keep pointing at freed memory.
            Report(Rule::InvalidParameter,
                   "IoDeleteDevice(%p) while still attached to %p (IoDetachDevice first)",
                   (void *)DeviceObject, (void *)record->attachedTo);
            record->attachedTo->AttachedDevice = nullptr;
            record->attachedTo = nullptr;
        }
        record->deleted = true;
        block = record->block;
        size = record->size;
        // A request whose dispatch at this device is running now (the remove request)
        // may still be completed here; the device's memory lives until its last
        // reference goes.
        for (const auto &[irp, frame] : S().frames) {
            auto *sp = reinterpret_cast<const IO_STACK_LOCATION *>(irp + 1) + (frame->location - 1);
            if (sp->DeviceObject == DeviceObject) {
                record->deletedDuring.emplace_back(irp, frame->serial);
            }
        }
        sim::verifier::MarkDeleted(block, size, DeviceObject);
        for (PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) {
        sim::ob::RemoveDeviceName(DeviceObject);
    }
    CheckRemoveLocksIn(block, size, "IoDeleteDevice");
    sim::ke::CheckNoDeferredWorkIn(block, size, "IoDeleteDevice");
    sim::ke::ForgetLocksIn(block, size);

    std::lock_guard<std::mutex> guard(S().lock);
    MaybeFreeDeviceLocked(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    DeviceRecord *source = FindDevice(SourceDevice);
    if (source == nullptr) {
        Report(Rule::InvalidParameter, "IoAttachDeviceToDeviceStack: source %p is not a live device",
               (void *)SourceDevice);
        return nullptr;
    }
    if (source->attachedTo != nullptr) {
        Report(Rule::InvalidParameter, "IoAttachDeviceToDeviceStack: %p is already attached to %p",
               (void *)SourceDevice, (void *)source->attachedTo);
        return nullptr;
    }
    // A stack with a device being deleted anywhere in it takes no new device.
    PDEVICE_OBJECT top = TargetDevice;
    if (FindDevice(top) == nullptr) {
        return nullptr;
    }
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
        if (FindDevice(top) == nullptr) {
            return nullptr;
        }
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->SectorSize = top->SectorSize;
    if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    source->attachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    if (FindDevice(TargetDevice) == nullptr || TargetDevice->AttachedDevice == nullptr) {
        Report(Rule::InvalidParameter, "IoDetachDevice(%p): nothing is attached to it",
               (void *)TargetDevice);
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    TargetDevice->AttachedDevice = nullptr;
    auto it = S().devices.find(upper);
    if (it != S().devices.end()) {
        it->second.attachedTo = nullptr;
    }
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    top->ReferenceCount++;
    return top;
}

VOID ObfReferenceObject(PVOID Object) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().devices.find(static_cast<PDEVICE_OBJECT>(Object));
    if (it == S().devices.end()) {
        Report(Rule::InvalidParameter, "ObReferenceObject(%p): not a device object the platform knows",
               Object);
        return;
    }
    it->first->ReferenceCount++;
}

VOID ObfDereferenceObject(PVOID Object) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    auto it = S().devices.find(device);
    if (it == S().devices.end()) {
        Report(Rule::InvalidParameter,
               "ObDereferenceObject(%p): not a device object the platform knows (freed?)", Object);
        return;
    }
    if (device->ReferenceCount <= 0) {
        Report(Rule::InvalidParameter, "ObDereferenceObject(%p): dereferenced more often than referenced",
               Object);
        return;
    }
    device->ReferenceCount--;
    MaybeFreeDeviceLocked(device);
}

}  // extern "C"

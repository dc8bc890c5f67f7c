// Driver objects: loading (DriverEntry), unloading (DriverUnload and the leak checks
// that follow it), the I/O manager's default dispatch routine, the WDM version the
// platform offers, and the I/O manager's reset. Loading and unloading run at
// PASSIVE_LEVEL in the caller's thread; the default dispatch routine at the level
// the request is sent at.
#include "sim/io/internal.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/image.h"
#include "sim/ke/ke.h"
#include "sim/verifier.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace sim::io::detail {

State &S()
{
    // Never destroyed: threads of a test that is ending may still complete requests
    // while static destructors run, and the memory it holds stays reachable.
    static State *state = new State;
    return *state;
}

void *AllocateBlock(size_t size)
{
    void *block = ::operator new(size ? size : 1, std::align_val_t(MEMORY_ALLOCATION_ALIGNMENT));
    std::memset(block, 0, size);
    return block;
}

void FreeBlock(void *block, size_t size)
{
    if (block != nullptr) {
        std::memset(block, kPoison, size);
        ::operator delete(block, std::align_val_t(MEMORY_ALLOCATION_ALIGNMENT));
    }
}

const char *MajorName(UCHAR major)
{
    static const char *const names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "IRP_MJ_CREATE",                   // 0x00
        "IRP_MJ_CREATE_NAMED_PIPE",        // 0x01
        "IRP_MJ_CLOSE",                    // 0x02
        "IRP_MJ_READ",                     // 0x03
        "IRP_MJ_WRITE",                    // 0x04
        "IRP_MJ_QUERY_INFORMATION",        // 0x05
        "IRP_MJ_SET_INFORMATION",          // 0x06
        "IRP_MJ_QUERY_EA",                 // 0x07
        "IRP_MJ_SET_EA",                   // 0x08
        "IRP_MJ_FLUSH_BUFFERS",            // 0x09
        "IRP_MJ_QUERY_VOLUME_INFORMATION", // 0x0a
        "IRP_MJ_SET_VOLUME_INFORMATION",   // 0x0b
        "IRP_MJ_DIRECTORY_CONTROL",        // 0x0c
        "IRP_MJ_FILE_SYSTEM_CONTROL",      // 0x0d
        "IRP_MJ_DEVICE_CONTROL",           // 0x0e
        "IRP_MJ_INTERNAL_DEVICE_CONTROL",  // 0x0f
        "IRP_MJ_SHUTDOWN",                 // 0x10
        "IRP_MJ_LOCK_CONTROL",             // 0x11
        "IRP_MJ_CLEANUP",                  // 0x12
        "IRP_MJ_CREATE_MAILSLOT",          // 0x13
        "IRP_MJ_QUERY_SECURITY",           // 0x14
        "IRP_MJ_SET_SECURITY",             // 0x15
        "IRP_MJ_POWER",                    // 0x16
        "IRP_MJ_SYSTEM_CONTROL",           // 0x17
        "IRP_MJ_DEVICE_CHANGE",            // 0x18
        "IRP_MJ_QUERY_QUOTA",              // 0x19
        "IRP_MJ_SET_QUOTA",                // 0x1a
        "IRP_MJ_PNP",                      // 0x1b
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_(invalid)";
}

}  // namespace sim::io::detail

namespace {

using namespace sim::io::detail;

// The I/O manager's dispatch routine for every major function a driver leaves unset.
DRIVER_DISPATCH InvalidDeviceRequest;

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetCounted(UNICODE_STRING &s, std::u16string &text)
{
    s.Buffer = text.data();
    s.Length = (USHORT)(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
}

// Reports and frees the IRPs a driver allocated and never freed.
void CheckNoIrpLeaks(const char *where)
{
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto it = S().irps.begin(); it != S().irps.end();) {
        if (!it->second.freed && !it->second.byIoManager) {
            sim::verifier::Report(sim::verifier::Rule::PoolLeak,
                                  "IRP %p (IoAllocateIrp) never freed, at %s", (void *)it->first,
                                  where);
            PIRP irp = const_cast<PIRP>(it->first);
            FreeBlock(irp, it->second.size);
            it = S().irps.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    if (MajorVersion != S().wdmMajor) {
        return MajorVersion < S().wdmMajor;
    }
    return MinorVersion <= S().wdmMinor;
}

namespace sim::io {

void SetWdmVersion(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().wdmMajor = major;
    S().wdmMinor = minor;
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &serviceName,
                    PDRIVER_OBJECT *out)
{
    return detail::LoadDriverBlock(entry, serviceName, out, nullptr);
}

NTSTATUS detail::LoadDriverBlock(PDRIVER_INITIALIZE entry, const std::u16string &serviceName,
                                 PDRIVER_OBJECT *out, std::shared_ptr<LoadedImage> image)
{
    *out = nullptr;
    auto block = std::make_unique<DriverBlock>();
    std::memset(&block->object, 0, sizeof(block->object));
    std::memset(&block->extension, 0, sizeof(block->extension));
    block->serviceName = serviceName;
    block->driverName = u"\\Driver\\" + serviceName;
    block->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    SetCounted(block->registryPathString, block->registryPath);

    PDRIVER_OBJECT driver = &block->object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    driver->DriverInit = entry;
    SetCounted(driver->DriverName, block->driverName);
    block->extension.DriverObject = driver;
    SetCounted(block->extension.ServiceKeyName, block->serviceName);
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    if (image != nullptr) {
        SetImageRange(driver, *image);
        block->image = image;
    } else {
        // A fresh image for each load: the driver's globals start from their initial
        // values. (A driver loaded from a file is a fresh mapping of it.)
        RestoreDriverImage();
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().drivers.emplace(driver, std::move(block));
    }

    NTSTATUS status;
    {
        sim::ke::DriverCall call("DriverEntry");
        status = entry(driver, &S().drivers.at(driver)->registryPathString);
    }
    if (NT_SUCCESS(status)) {
        *out = driver;
        return status;
    }
    // A driver whose DriverEntry fails is never called again, so whatever it left
    // behind is lost for good.
    if (driver->DeviceObject != nullptr) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "DriverEntry failed (0x%08x) and left device %p behind", (unsigned)status,
                         (void *)driver->DeviceObject);
        while (driver->DeviceObject != nullptr) {
            IoDeleteDevice(driver->DeviceObject);
        }
    }
    ex::CheckNoLeaks("failed DriverEntry");
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().drivers.erase(driver);
    }
    UnmapDriverImage(std::move(image));
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (S().drivers.count(driver) == 0) {
            verifier::Report(verifier::Rule::InvalidParameter, "UnloadDriver: %p is not loaded",
                             (void *)driver);
            return;
        }
    }
    // The PnP manager unloads a PnP driver (one with AddDevice) only once all its
    // devices are removed; a legacy driver's DriverUnload deletes the devices it
    // created ("DriverUnload callback function", "Writing an Unload Routine").
    const bool pnp = driver->DriverExtension != nullptr && driver->DriverExtension->AddDevice != nullptr;
    if (pnp && driver->DeviceObject != nullptr) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "driver unloaded while device %p still exists",
                         (void *)driver->DeviceObject);
    }
    if (driver->DriverUnload != nullptr) {
        sim::ke::DriverCall call("DriverUnload");
        driver->DriverUnload(driver);
    }
    if (!pnp && driver->DeviceObject != nullptr) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "DriverUnload returned with device %p still existing", (void *)driver->DeviceObject);
    }
    CheckNoIrpLeaks("driver unload");
    cm::CheckNoOpenHandles("driver unload");
    ex::CheckNoLeaks("driver unload");
    // Devices left behind are deleted so that the driver object can go; their
    // report was made above.
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
    std::shared_ptr<LoadedImage> image;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        image = std::move(S().drivers.at(driver)->image);
        S().drivers.erase(driver);
    }
    UnmapDriverImage(std::move(image));
}

size_t OutstandingIrps()
{
    std::lock_guard<std::mutex> guard(S().lock);
    size_t n = 0;
    for (const auto &[irp, record] : S().irps) {
        n += (!record.freed && !record.byIoManager) ? 1 : 0;
    }
    return n;
}

size_t DeviceCount()
{
    std::lock_guard<std::mutex> guard(S().lock);
    size_t n = 0;
    for (const auto &[device, record] : S().devices) {
        n += record.deleted ? 0 : 1;
    }
    return n;
}

uint64_t Generation()
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().generation;
}

void Reset()
{
    ResetRequests();
    std::lock_guard<std::mutex> guard(S().lock);
    State &s = S();
    for (auto &[irp, record] : s.irps) {
        FreeBlock(const_cast<PIRP>(irp), record.size);
    }
    s.irps.clear();
    s.quarantine.clear();
    s.frames.clear();
    for (auto &[device, record] : s.devices) {
        FreeBlock(record.block, record.size);
    }
    s.devices.clear();
    for (auto &[block, size] : s.deadDevices) {
        FreeBlock(block, size);
    }
    s.deadDevices.clear();
    verifier::ForgetAllDeleted();
    s.drivers.clear();
    s.removeLocks.clear();
    s.wdmMajor = 1;
    s.wdmMinor = 0x30;
    s.generation++;
}

}  // namespace sim::io

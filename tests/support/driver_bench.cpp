// The driver bench: loads the driver, creates bus PDOs, calls AddDevice as the Plug and
// Play manager does, and at the end of each test removes what is left and unloads.
#include "tests/support/driver_bench.h"

#include "sim/bus/pdo.h"
#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"

#include <algorithm>

namespace bench {

namespace {

std::string NarrowChars(std::u16string_view s)
{
    std::string out;
    for (char16_t c : s) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace

std::string Narrow(const UNICODE_STRING &s)
{
    return NarrowChars(std::u16string_view(s.Buffer, s.Length / sizeof(WCHAR)));
}

std::string Narrow(const char16_t *s)
{
    return NarrowChars(s);
}

void DriverTest::TearDown()
{
    while (!fdos_.empty()) {
        DeleteFdo(fdos_.back());
    }
    for (auto &pdo : pdos_) {
        sim::cm::UnregisterDevice(pdo->Device());
    }
    pdos_.clear();
    UnloadDriver();
    PlatformTest::TearDown();
}

NTSTATUS DriverTest::LoadDriver()
{
    return LoadDriverUnderTest(u"varnoobex", &driver_);
}

void DriverTest::UnloadDriver()
{
    if (driver_ != nullptr) {
        sim::io::UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

PDEVICE_OBJECT DriverTest::NewPdo()
{
    std::lock_guard<std::mutex> guard(lock_);
    pdos_.push_back(std::make_unique<sim::bus::Pdo>());
    PDEVICE_OBJECT pdo = pdos_.back()->Device();
    // A device node the PnP manager knows, as the phone's interface 7 would be.
    std::string instance = "USB\\VID_0BB4&PID_0C03&MI_07\\7&2f1e0d&0&" + std::to_string(pdos_.size());
    sim::cm::RegisterDevice(pdo, std::u16string(instance.begin(), instance.end()));
    return pdo;
}

sim::bus::Pdo &DriverTest::Bus(PDEVICE_OBJECT pdo)
{
    sim::bus::Pdo *bus = sim::bus::Pdo::From(pdo);
    EXPECT_NE(bus, nullptr);
    return *bus;
}

NTSTATUS DriverTest::AddDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo)
{
    NTSTATUS status;
    {
        sim::ke::DriverCall call("AddDevice");
        status = driver_->DriverExtension->AddDevice(driver_, pdo);
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(lock_);
        fdos_.push_back(pdo->AttachedDevice);
    }
    if (fdo != nullptr) {
        *fdo = NT_SUCCESS(status) ? pdo->AttachedDevice : nullptr;
    }
    return status;
}

void DriverTest::DeleteFdo(PDEVICE_OBJECT fdo)
{
    PDEVICE_EXTENSION ext = Ext(fdo);
    // The removal path's hold on the remove lock: taken, then released with a wait for
    // every other holder. A test that already did this leaves the lock failing.
    if (NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, fdo))) {
        IoReleaseRemoveLockAndWait(&ext->RemoveLock, fdo);
    }
    ExFreePool(ext->DeviceName.Buffer);
    RtlFreeUnicodeString(&ext->InterfaceName);
    IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(fdo);
    std::lock_guard<std::mutex> guard(lock_);
    fdos_.erase(std::remove(fdos_.begin(), fdos_.end(), fdo), fdos_.end());
}

NTSTATUS DriverTest::Send(PDEVICE_OBJECT fdo, UCHAR major, UCHAR minor)
{
    sim::io::Request request;
    request.major = major;
    request.minor = minor;
    return sim::io::Call(fdo, request).Status;
}

void DeviceTest::SetUp()
{
    DriverTest::SetUp();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    pdo_ = NewPdo();
    ASSERT_EQ(AddDevice(pdo_, &fdo_), STATUS_SUCCESS);
    ext_ = Ext(fdo_);
}

}  // namespace bench

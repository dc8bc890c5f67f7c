// Driver and device objects: loading, the default dispatch routine, the WDM version,
// device creation and names, stacks and their sizes, references and deletion.
#include "tests/platform/io_test.h"

#include "sim/ex/ex.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"

#include <vector>

namespace {

using iotest::IoTest;
using sim::verifier::Rule;

TEST_F(IoTest, ANewDeviceHasItsZeroedExtensionInTheSameBlockAndIsStillInitializing)
{
    constexpr ULONG kExtension = 1024 * 1024;  // a receive ring's size class
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\IoTestBig");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver_, kExtension, &name, FILE_DEVICE_SERIAL_PORT,
                             FILE_DEVICE_SECURE_OPEN, TRUE, &device),
              STATUS_SUCCESS);

    auto *base = reinterpret_cast<unsigned char *>(device);
    auto *ext = static_cast<unsigned char *>(device->DeviceExtension);
    EXPECT_GE(ext, base + sizeof(DEVICE_OBJECT));
    EXPECT_LT(ext, base + sizeof(DEVICE_OBJECT) + MEMORY_ALLOCATION_ALIGNMENT);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ext) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
    EXPECT_EQ(std::vector<unsigned char>(ext, ext + kExtension), std::vector<unsigned char>(kExtension, 0));

    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(device->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, device);
    EXPECT_EQ(sim::ob::Resolve(u"\\Device\\IoTestBig"), device);

    IoDeleteDevice(device);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(sim::ob::Resolve(u"\\Device\\IoTestBig"), nullptr);
    EXPECT_EQ(sim::io::DeviceCount(), 0u);
}

TEST_F(IoTest, ATakenNameIsRefusedAndTheDriverKeepsItsDevicesInAList)
{
    PDEVICE_OBJECT first = AddDevice(Succeed, nullptr, 0, u"\\Device\\IoTestName");
    PDEVICE_OBJECT unnamed = AddDevice(Succeed);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DEVICE\\iotestname");
    PDEVICE_OBJECT second = first;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim::ob::Resolve(u"\\Device\\IoTestName"), first);

    std::vector<PDEVICE_OBJECT> listed;
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d != nullptr; d = d->NextDevice) {
        listed.push_back(d);
    }
    EXPECT_EQ(listed, (std::vector<PDEVICE_OBJECT>{unnamed, first}));
    EXPECT_FALSE(unnamed->Flags & DO_EXCLUSIVE);
}

TEST_F(IoTest, IoCreateDeviceFailsForLackOfResourcesWhenTheSimulationSaysSo)
{
    sim::lowres::FailNth("IoCreateDevice", 1);
    PDEVICE_OBJECT device;
    EXPECT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(sim::io::DeviceCount(), 0u);
}

TEST_F(IoTest, AttachingPutsADeviceOnTopOfTheStackWithOneMoreStackLocation)
{
    PDEVICE_OBJECT pdo = NewPdo().Device();
    PDEVICE_OBJECT middle = AddDevice(SkipDown, pdo);
    PDEVICE_OBJECT top = AddDevice(SkipDown, pdo);  // asked for the PDO, lands on top

    EXPECT_EQ(Ext(middle)->lower, pdo);
    EXPECT_EQ(Ext(top)->lower, middle);
    EXPECT_EQ(pdo->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);

    PDEVICE_OBJECT seen = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(seen, top);
    EXPECT_EQ(top->ReferenceCount, 1);
    ObDereferenceObject(seen);
    EXPECT_EQ(top->ReferenceCount, 0);

    // A request sent to the stack goes through all three and needs all three locations.
    EXPECT_EQ(sim::io::Call(pdo, Major(IRP_MJ_SYSTEM_CONTROL)).Status, STATUS_SUCCESS);
    EXPECT_EQ(sim::bus::Pdo::From(pdo)->Count(IRP_MJ_SYSTEM_CONTROL), 1);

    DeleteDevice(top);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
}

TEST_F(IoTest, ADeletedDeviceStaysInMemoryUntilItsLastReferenceAndTakesNoAttachment)
{
    PDEVICE_OBJECT doomed = AddDevice(Succeed);
    devices_.clear();  // deleted by hand below
    ObReferenceObject(doomed);
    IoDeleteDevice(doomed);
    EXPECT_EQ(sim::io::DeviceCount(), 0u);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(doomed->ReferenceCount, 1);  // still readable: referenced
    EXPECT_EQ(doomed->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);

    PDEVICE_OBJECT newcomer;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &newcomer),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(newcomer, doomed), nullptr);
    IoDeleteDevice(newcomer);
    ObDereferenceObject(doomed);
}

TEST_F(IoTest, RequestsForMajorFunctionsADriverLeavesUnsetFailAsInvalidDeviceRequests)
{
    PDRIVER_OBJECT bare;
    ASSERT_EQ(sim::io::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; },
                                  u"bare", &bare),
              STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP}) {
        IO_STATUS_BLOCK status = sim::io::Call(device, Major(major));
        EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST) << (int)major;
        EXPECT_EQ(status.Information, 0u);
    }
    IoDeleteDevice(device);
    sim::io::UnloadDriver(bare);
}

NTSTATUS g_entryStatus;
bool g_unloadCalled;

TEST_F(IoTest, AFailingDriverEntryLeavesNothingLoaded)
{
    static PDRIVER_OBJECT seen;
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING path) -> NTSTATUS {
        seen = driver;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(std::u16string(path->Buffer, path->Length / 2),
                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\failing");
        EXPECT_EQ(std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                                 driver->DriverExtension->ServiceKeyName.Length / 2),
                  u"failing");
        return g_entryStatus;
    };
    g_entryStatus = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT loaded = driver_;
    EXPECT_EQ(sim::io::LoadDriver(entry, u"failing", &loaded), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_NE(seen, nullptr);
}

TEST_F(IoTest, ADriverEntryThatFailsAfterCreatingADeviceIsReportedAndTheDeviceRemoved)
{
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    PDRIVER_OBJECT loaded;
    EXPECT_EQ(sim::io::LoadDriver(entry, u"leaky", &loaded), STATUS_INSUFFICIENT_RESOURCES);
    ExpectViolation(Rule::InvalidParameter);
    EXPECT_EQ(sim::io::DeviceCount(), 0u);
}

TEST_F(IoTest, UnloadCallsDriverUnloadAndReportsDevicesLeftBehind)
{
    g_unloadCalled = false;
    driver_->DriverUnload = [](PDRIVER_OBJECT) { g_unloadCalled = true; };
    PDEVICE_OBJECT forgotten;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &forgotten),
              STATUS_SUCCESS);
    sim::io::UnloadDriver(driver_);
    driver_ = nullptr;
    EXPECT_TRUE(g_unloadCalled);
    ExpectViolation(Rule::InvalidParameter);
    EXPECT_EQ(sim::io::DeviceCount(), 0u);
}

TEST_F(IoTest, UnloadReportsPoolAndIrpsTheDriverLeftAllocated)
{
    ExAllocatePoolWithTag(NonPagedPool, 32, 0x74736554);
    IoAllocateIrp(1, FALSE);
    sim::io::UnloadDriver(driver_);
    driver_ = nullptr;
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0].rule, Rule::PoolLeak);
    EXPECT_EQ(violations[1].rule, Rule::PoolLeak);
    EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
}

TEST_F(IoTest, TheWdmVersionOfferedIsOnePointThirtyUnlessATestLowersIt)
{
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x31));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0xff));
    sim::io::SetWdmVersion(0, 90);
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(0, 90));
}

}  // namespace

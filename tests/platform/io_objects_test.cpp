// Device objects: the extension, names, stacks and their sizes, references after
// deletion. (File objects, the exclusive open and the close held back until a file's
// requests have ended are pinned through the Win32 layer in tests/win32.)
#include "tests/support/test_driver.h"

#include "sim/ob/ob.h"

#include <vector>

namespace {

using bench::IoTest;

TEST_F(IoTest, ANewDeviceHasItsZeroedExtensionInItsBlockItsNameAndIsStillInitializing)
{
    constexpr ULONG kExtension = 1024 * 1024;  // a receive ring's size class
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\IoTestBig");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver_, kExtension, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
              STATUS_SUCCESS);
    auto *base = reinterpret_cast<unsigned char *>(device);
    auto *ext = static_cast<unsigned char *>(device->DeviceExtension);
    EXPECT_GE(ext, base + sizeof(DEVICE_OBJECT));
    EXPECT_LT(ext, base + sizeof(DEVICE_OBJECT) + MEMORY_ALLOCATION_ALIGNMENT);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ext) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
    EXPECT_EQ(std::vector<unsigned char>(ext, ext + kExtension), std::vector<unsigned char>(kExtension, 0));
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(sim::ob::Resolve(u"\\device\\iotestbig"), device);

    PDEVICE_OBJECT second = device;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    IoDeleteDevice(device);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(sim::ob::Resolve(u"\\Device\\IoTestBig"), nullptr);
}

TEST_F(IoTest, AttachingPutsADeviceOnTopOfTheStackWithOneMoreStackLocation)
{
    PDEVICE_OBJECT pdo = NewPdo().Device();
    PDEVICE_OBJECT middle = AddDevice(SkipDown, pdo);
    PDEVICE_OBJECT top = AddDevice(SkipDown, pdo);  // asked for the PDO, lands on top
    EXPECT_EQ(Ext(top)->lower, middle);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);

    PDEVICE_OBJECT seen = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(seen, top);
    EXPECT_EQ(top->ReferenceCount, 1);
    ObDereferenceObject(seen);

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
    EXPECT_EQ(doomed->ReferenceCount, 1);  // still readable: referenced
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::io::Open(doomed, &file), STATUS_NO_SUCH_DEVICE);

    PDEVICE_OBJECT newcomer;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &newcomer), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(newcomer, doomed), nullptr);
    IoDeleteDevice(newcomer);
    ObDereferenceObject(doomed);
}

}  // namespace

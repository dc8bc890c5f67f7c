// Device objects (the extension, names, stacks and their sizes, references after
// deletion) and file objects (close held back until the file's requests have ended;
// exclusive opens and opening by name are pinned through the port in tests/serial
// and tests/win32).
#include "tests/support/test_driver.h"

#include "sim/ob/ob.h"

#include <mutex>
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

TEST_F(IoTest, CloseComesWithTheFilesLastReferenceAndTheExclusiveDeviceStaysOpenUntilThen)
{
    // A device that records the major function of each request and completes it,
    // except reads, which the bus below it holds.
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ);
    std::mutex lock;
    std::vector<UCHAR> seen;
    auto majors = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    };
    PDEVICE_OBJECT port = AddDevice(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            {
                std::lock_guard<std::mutex> guard(lock);
                seen.push_back(major);
            }
            return major == IRP_MJ_READ ? SkipDown(device, irp) : bench::CompleteWith(irp, STATUS_SUCCESS);
        },
        bus.Device(), DO_EXCLUSIVE);
    PFILE_OBJECT file;
    ASSERT_EQ(sim::io::Open(port, &file), STATUS_SUCCESS);
    sim::io::Request read = Major(IRP_MJ_READ);
    read.file = file;
    auto op = sim::io::Send(port, read);
    ASSERT_EQ(bus.HeldCount(), 1u);

    // The handle's close returns after the cleanup; the read still holds the file.
    sim::io::Close(file);
    EXPECT_EQ(majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_FALSE(sim::io::Closed(file));
    PFILE_OBJECT again = nullptr;
    EXPECT_EQ(sim::io::Open(port, &again), STATUS_ACCESS_DENIED);

    sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_CANCELLED);
    EXPECT_EQ(op->Wait().Status, STATUS_CANCELLED);
    sim::ke::WaitIdle();  // the close goes from a system worker thread
    EXPECT_TRUE(sim::io::Closed(file));
    EXPECT_EQ(majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    ASSERT_EQ(sim::io::Open(port, &again), STATUS_SUCCESS);
    sim::io::Close(again);
}

}  // namespace

// File objects: the exclusive open the I/O manager enforces itself, opening by name,
// and cleanup then close, with close held back until the file's requests have ended.
#include "tests/platform/io_test.h"

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using iotest::IoTest;

class FileTest : public IoTest {
protected:
    // A device that records the major function of each request and completes it,
    // except reads, which the bus below it holds.
    PDEVICE_OBJECT Port(BOOLEAN exclusive)
    {
        auto &bus = NewPdo();
        bus.Hold(IRP_MJ_READ);
        bus_ = &bus;
        return AddDevice(
            [this](PDEVICE_OBJECT device, PIRP irp) {
                const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    seen_.push_back(major);
                }
                if (major == IRP_MJ_CLEANUP && cleanupSeen_) {
                    cleanupSeen_->set_value();
                }
                if (major == IRP_MJ_READ) {
                    return SkipDown(device, irp);
                }
                return iotest::CompleteWith(irp, STATUS_SUCCESS);
            },
            bus.Device(), 0, u"\\Device\\IoTestPort", exclusive);
    }

    std::vector<UCHAR> Seen()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }

    sim::bus::Pdo *bus_ = nullptr;
    std::mutex lock_;
    std::vector<UCHAR> seen_;
    std::promise<void> *cleanupSeen_ = nullptr;
};

TEST_F(FileTest, AnExclusiveDeviceAdmitsOneOpenAtATime)
{
    PDEVICE_OBJECT port = Port(TRUE);
    PFILE_OBJECT first, second;
    ASSERT_EQ(sim::io::Open(port, &first), STATUS_SUCCESS);
    EXPECT_EQ(first->DeviceObject, port);
    EXPECT_EQ(sim::io::Open(port, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    sim::io::Close(first);
    ASSERT_EQ(sim::io::Open(port, &second), STATUS_SUCCESS);
    sim::io::Close(second);
    EXPECT_EQ(Seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CREATE,
                                          IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(FileTest, AShareableDeviceAdmitsSeveralOpens)
{
    PDEVICE_OBJECT port = Port(FALSE);
    PFILE_OBJECT first, second;
    ASSERT_EQ(sim::io::Open(port, &first), STATUS_SUCCESS);
    ASSERT_EQ(sim::io::Open(port, &second), STATUS_SUCCESS);
    sim::io::Close(second);
    sim::io::Close(first);
}

TEST_F(FileTest, OpeningByNameFollowsTheNamespaceAndRefusesADeviceStillInitializing)
{
    PDEVICE_OBJECT port = Port(TRUE);
    PFILE_OBJECT file;
    EXPECT_EQ(sim::io::OpenByName(u"\\Device\\NoSuchThing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    port->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(sim::io::OpenByName(u"\\Device\\IoTestPort", &file), STATUS_NO_SUCH_DEVICE);
    port->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(sim::io::OpenByName(u"\\Device\\IoTestPort", &file), STATUS_SUCCESS);
    sim::io::Close(file);
}

TEST_F(FileTest, CloseComesOnlyAfterEveryRequestOnTheFileHasEnded)
{
    PDEVICE_OBJECT port = Port(TRUE);
    PFILE_OBJECT file;
    ASSERT_EQ(sim::io::Open(port, &file), STATUS_SUCCESS);
    sim::io::Request read = Major(IRP_MJ_READ);
    read.file = file;
    auto op = sim::io::Send(port, read);
    ASSERT_EQ(bus_->HeldCount(), 1u);

    std::promise<void> cleanup;
    cleanupSeen_ = &cleanup;
    std::thread closer([&] { sim::io::Close(file); });
    cleanup.get_future().wait();
    // The cleanup has been sent; the read is still with the bus, so no close yet.
    sim::bus::Pdo::Complete(bus_->TakeHeld(), STATUS_CANCELLED);
    closer.join();
    EXPECT_EQ(op->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(Seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace

// IRPs through a stack: completion routines and STATUS_MORE_PROCESSING_REQUIRED, the
// propagation of pending, buffered I/O and driver-allocated IRPs. (Skipping a location
// is what the driver's pass-down dispatch does; tests/core pins it.) The faulty sequences of the IRP rules are rows of verifier_rules_test.cpp.
#include "tests/support/test_driver.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Completion;
using bench::CompleteWith;
using bench::IoTest;
using bench::SetCompletion;

// A device that copies its location to the next, sets `routine`, and passes the
// request down, returning what the lower driver returned.
bench::Handler CopyDown(Completion *routine)
{
    return [routine](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (routine != nullptr) {
            SetCompletion(irp, routine);
        }
        return IoCallDriver(static_cast<bench::TestExtension *>(device->DeviceExtension)->lower, irp);
    };
}

// Completion routines run bottom up, each with the device that set it; one that
// returns STATUS_MORE_PROCESSING_REQUIRED stops the completion until its driver
// completes the request again, the way a driver acts after the drivers below it are done.
TEST_F(IoTest, RoutinesRunBottomUpAndMoreProcessingRequiredStopsUntilTheDriverCompletesAgain)
{
    PIRP kept = nullptr;
    PDEVICE_OBJECT keptBy = nullptr, upperSeen = nullptr;
    Completion keep = [&](PDEVICE_OBJECT device, PIRP irp) {
        kept = irp;
        keptBy = device;
        EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    Completion upperRoutine = [&](PDEVICE_OBJECT device, PIRP irp) {
        upperSeen = device;
        EXPECT_EQ(irp->IoStatus.Information, 7u);
        return STATUS_SUCCESS;
    };
    auto &bus = NewPdo();
    bus.SetStatus(IRP_MJ_SYSTEM_CONTROL, STATUS_DEVICE_BUSY);
    PDEVICE_OBJECT lower = AddDevice(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(irp, &keep);
            EXPECT_EQ(IoCallDriver(Ext(device)->lower, irp), STATUS_DEVICE_BUSY);
            EXPECT_EQ(kept, irp);
            EXPECT_EQ(upperSeen, nullptr) << "stopped below the upper routine";
            return CompleteWith(irp, STATUS_SUCCESS, 7);
        },
        bus.Device());
    PDEVICE_OBJECT upper = AddDevice(CopyDown(&upperRoutine), lower);

    IO_STATUS_BLOCK status = sim::io::Call(upper, Major(IRP_MJ_SYSTEM_CONTROL));
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 7u);
    EXPECT_EQ(keptBy, lower);
    EXPECT_EQ(upperSeen, upper);
}

struct InvokeCase {
    bool onSuccess, onError, onCancel;
    NTSTATUS status;
    bool cancelFlag;
    bool invoked;
};

TEST_F(IoTest, ARoutineRunsOnlyForTheOutcomesItAskedFor)
{
    const InvokeCase cases[] = {
        {true, false, false, STATUS_SUCCESS, false, true},
        {true, false, false, STATUS_TIMEOUT, false, true},  // a success status
        {true, false, false, STATUS_UNSUCCESSFUL, false, false},
        {false, true, false, STATUS_UNSUCCESSFUL, false, true},
        {false, true, false, STATUS_SUCCESS, false, false},
        {false, true, false, STATUS_CANCELLED, true, true},  // cancelled is an error too
        {false, false, true, STATUS_CANCELLED, true, true},
        {false, false, true, STATUS_CANCELLED, false, false},  // not cancelled, just that status
        {false, false, true, STATUS_SUCCESS, true, false},
    };
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ);
    for (const InvokeCase &c : cases) {
        bool invoked = false;
        Completion routine = [&](PDEVICE_OBJECT, PIRP) {
            invoked = true;
            return STATUS_SUCCESS;
        };
        PDEVICE_OBJECT filter = AddDevice(
            [&](PDEVICE_OBJECT device, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, bench::RunCompletion, &routine, c.onSuccess, c.onError,
                                       c.onCancel);
                IoMarkIrpPending(irp);
                IoCallDriver(Ext(device)->lower, irp);
                return STATUS_PENDING;
            },
            bus.Device());
        auto op = sim::io::Send(filter, Major(IRP_MJ_READ));
        PIRP irp = bus.TakeHeld();
        ASSERT_NE(irp, nullptr);
        irp->Cancel = c.cancelFlag;
        sim::bus::Pdo::Complete(irp, c.status);
        EXPECT_EQ(op->Wait().Status, c.status);
        EXPECT_EQ(invoked, c.invoked) << "success " << c.onSuccess << " error " << c.onError
                                      << " cancel " << c.onCancel << " status " << std::hex
                                      << c.status << " Cancel " << c.cancelFlag;
        DeleteDevice(filter);
    }
}

TEST_F(IoTest, PendingPropagatesThroughALocationWithoutRoutineToTheRoutineAbove)
{
    bool pendingSeen = false;
    Completion topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        pendingSeen = irp->PendingReturned;
        if (irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS;
    };
    auto &bus = NewPdo();
    PDEVICE_OBJECT middle = AddDevice(CopyDown(nullptr), bus.Device());
    PDEVICE_OBJECT top = AddDevice(CopyDown(&topRoutine), middle);

    // Completed at once: nothing was pending anywhere.
    EXPECT_EQ(sim::io::Call(top, Major(IRP_MJ_READ)).Status, STATUS_SUCCESS);
    EXPECT_FALSE(pendingSeen);

    // Held by the bus: the middle driver returns the bus's STATUS_PENDING without
    // marking; the completion marks its location for it, and the top routine sees it.
    bus.Hold(IRP_MJ_WRITE);
    auto op = sim::io::Send(top, Major(IRP_MJ_WRITE));
    EXPECT_EQ(op->Returned(), STATUS_PENDING);
    EXPECT_FALSE(op->Done());
    sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS, 0);
    EXPECT_EQ(op->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(pendingSeen);
}

// Direct I/O: reads of a DO_DIRECT_IO device and METHOD_OUT_DIRECT control requests
// hand the caller's own buffer to the driver through a locked, mapped MDL; only a
// control request's input travels in a system buffer, of the input's length.
TEST_F(IoTest, DirectIoHandsTheCallersBufferThroughAnMdl)
{
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    PDEVICE_OBJECT device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PMDL mdl = irp->MdlAddress;
            EXPECT_NE(mdl, nullptr);
            if (mdl == nullptr) {
                return CompleteWith(irp, STATUS_INVALID_PARAMETER);
            }
            EXPECT_EQ(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, MDL_MAPPED_TO_SYSTEM_VA);
            EXPECT_EQ(mdl->ByteCount, 4u);
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
                EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            } else {
                EXPECT_EQ(std::string(static_cast<char *>(irp->AssociatedIrp.SystemBuffer), 2), "in");
            }
            std::memcpy(mdl->MappedSystemVa, "DATA", 4);
            return CompleteWith(irp, STATUS_SUCCESS, 4);
        },
        nullptr, DO_DIRECT_IO);
    for (UCHAR major : {UCHAR{IRP_MJ_READ}, UCHAR{IRP_MJ_DEVICE_CONTROL}}) {
        char out[5] = "----";
        sim::io::Request request = Major(major);
        request.ioControlCode = code;
        request.input = "in";
        request.inputLength = major == IRP_MJ_READ ? 0 : 2;
        request.output = out;
        request.outputLength = 4;
        EXPECT_EQ(sim::io::Call(device, request).Information, 4u);
        EXPECT_STREQ(out, "DATA");
    }
}

TEST_F(IoTest, BufferedIoCopiesInputInAndInformationBytesOutEvenWithAWarning)
{
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PDEVICE_OBJECT device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
            switch (sp->MajorFunction) {
            case IRP_MJ_READ:
                EXPECT_EQ(sp->Parameters.Read.Length, 8u);
                std::memcpy(buffer, "ABCDEFGH", 8);
                return CompleteWith(irp, STATUS_SUCCESS, 3);
            default:
                EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, code);
                if (sp->Parameters.DeviceIoControl.OutputBufferLength == 0) {
                    EXPECT_EQ(buffer, nullptr) << "no buffer for a request of no bytes";
                    return CompleteWith(irp, STATUS_SUCCESS);
                }
                EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 2u);
                EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 6u);
                EXPECT_EQ(std::string(buffer, 2), "in");
                // Behind the input the buffer holds neither zeros nor the caller's bytes.
                EXPECT_EQ(std::string(buffer + 2, 4).find_first_of(std::string("-\0", 2)), std::string::npos);
                std::memcpy(buffer, "output", 6);
                return CompleteWith(irp, STATUS_BUFFER_OVERFLOW, 4);  // a warning: copied
            }
        },
        nullptr, DO_BUFFERED_IO);

    char data[9] = "........";
    sim::io::Request read = Major(IRP_MJ_READ);
    read.output = data;
    read.outputLength = 8;
    EXPECT_EQ(sim::io::Call(device, read).Information, 3u);
    EXPECT_STREQ(data, "ABC.....");

    char out[7] = "------";
    sim::io::Request control = Major(IRP_MJ_DEVICE_CONTROL);
    control.ioControlCode = code;
    control.input = "in";
    control.inputLength = 2;
    control.output = out;
    control.outputLength = 6;
    EXPECT_EQ(sim::io::Call(device, control).Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(out, "outp--");

    sim::io::Request empty = Major(IRP_MJ_DEVICE_CONTROL);
    empty.ioControlCode = code;
    EXPECT_EQ(sim::io::Call(device, empty).Status, STATUS_SUCCESS);
}

TEST_F(IoTest, ADriverAllocatedIrpComesBackToItsOwnerAndIsFreedThere)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIRP irp = IoAllocateIrp(bus.Device()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 1);
    EXPECT_EQ(irp->CurrentLocation, 2);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(1));
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1));

    int completions = 0;
    Completion owner = [&](PDEVICE_OBJECT device, PIRP done) {
        EXPECT_EQ(device, nullptr);  // nothing above the owner's own location
        completions++;
        EXPECT_EQ(done->IoStatus.Status, STATUS_SUCCESS);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    for (int round = 0; round < 2; round++) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        SetCompletion(irp, &owner);
        EXPECT_EQ(IoCallDriver(bus.Device(), irp), STATUS_PENDING);
        sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS);
        EXPECT_EQ(irp->CurrentLocation, 2);
        IoReuseIrp(irp, STATUS_SUCCESS);
    }
    EXPECT_EQ(completions, 2);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
}

}  // namespace

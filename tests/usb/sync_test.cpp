// The synchronous requests: a request the lower driver finishes at once, one it
// finishes later, and the allocations that can fail before anything is sent.
#include "tests/support/driver_bench.h"

#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "usb/usb.h"

#include <thread>

namespace {

using bench::DriverTest;

class SyncRequestTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        pdo_ = NewPdo();
        ASSERT_EQ(AddDevice(pdo_, &fdo_), STATUS_SUCCESS);
        poolAtStart_ = sim::ex::OutstandingCount();
        Bus(pdo_).OnRequest([this](PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            seenCode_ = sp->Parameters.DeviceIoControl.IoControlCode;
            seenUrb_ = static_cast<PURB>(sp->Parameters.Others.Argument1);
            if (seenUrb_ != nullptr && seenUrb_->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                seenFunction_ = seenUrb_->UrbHeader.Function;
                seenLength_ = seenUrb_->UrbHeader.Length;
                seenPipe_ = seenUrb_->UrbPipeRequest.PipeHandle;
            }
        });
    }

    // A request of the test's own, as a caller of SendIrpAndWait builds one.
    PIRP NewInternalRequest()
    {
        PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return irp;
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    ULONG seenCode_ = 0;
    PURB seenUrb_ = nullptr;
    USHORT seenFunction_ = 0xffff;
    USHORT seenLength_ = 0;
    USBD_PIPE_HANDLE seenPipe_ = nullptr;
    size_t poolAtStart_ = 0;
};

TEST_F(SyncRequestTest, ARequestFinishedAtOnceGivesTheLowerStatusAndStaysTheCallers)
{
    Bus(pdo_).SetStatus(IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_INVALID_PARAMETER);
    PIRP irp = NewInternalRequest();

    EXPECT_EQ(SendIrpAndWait(pdo_, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Bus(pdo_).Count(IRP_MJ_INTERNAL_DEVICE_CONTROL), 1);
    EXPECT_EQ(sim::ke::BlockedWaiters(), 0u);
    // Completion stopped at our routine: the request is back with its status, ours to
    // free (the verifier would report a request freed while still in flight).
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_PARAMETER);
    IoFreeIrp(irp);
}

TEST_F(SyncRequestTest, APendingRequestIsWaitedForAndItsLateErrorReturned)
{
    Bus(pdo_).Hold(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIRP irp = NewInternalRequest();

    NTSTATUS result = STATUS_PENDING;
    std::thread sender([&] { result = SendIrpAndWait(pdo_, irp); });
    while (Bus(pdo_).HeldCount() == 0 || sim::ke::BlockedWaiters() == 0) {
        std::this_thread::yield();
    }
    // The sender is blocked in its wait until the bus completes the request.
    EXPECT_EQ(result, STATUS_PENDING);
    PIRP held = Bus(pdo_).TakeHeld();
    ASSERT_EQ(held, irp);
    sim::bus::Pdo::Complete(held, STATUS_DEVICE_DATA_ERROR);
    sender.join();

    EXPECT_EQ(result, STATUS_DEVICE_DATA_ERROR);
    IoFreeIrp(irp);
}

TEST_F(SyncRequestTest, AUrbGoesDownInARequestOfItsOwnThatIsFreedAfterwards)
{
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Bus(pdo_).Hold(IRP_MJ_INTERNAL_DEVICE_CONTROL);

    NTSTATUS result = STATUS_PENDING;
    std::thread sender([&] { result = SubmitUrbSync(fdo_, &urb); });
    while (Bus(pdo_).HeldCount() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(sim::io::OutstandingIrps(), 1u);
    sim::bus::Pdo::Complete(Bus(pdo_).TakeHeld(), STATUS_DEVICE_NOT_CONNECTED);
    sender.join();

    EXPECT_EQ(result, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(seenCode_, IOCTL_INTERNAL_USB_SUBMIT_URB);
    EXPECT_EQ(seenUrb_, &urb);
    EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
}

TEST_F(SyncRequestTest, PipeRequestsCarryTheirFunctionLengthAndPipe)
{
    auto pipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x5a5a0);
    struct {
        NTSTATUS (*routine)(PDEVICE_OBJECT, USBD_PIPE_HANDLE);
        USHORT function;
    } const cases[] = {
        {AbortPipe, URB_FUNCTION_ABORT_PIPE},
        {ResetPipe, URB_FUNCTION_RESET_PIPE},
    };
    for (const auto &c : cases) {
        seenFunction_ = 0xffff;
        Bus(pdo_).SetStatus(IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(c.routine(fdo_, pipe), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(seenFunction_, c.function);
        EXPECT_EQ(seenLength_, sizeof(struct _URB_PIPE_REQUEST));
        EXPECT_EQ(seenPipe_, pipe);
    }
    EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
}

TEST_F(SyncRequestTest, EveryFailedAllocationOfAPipeRequestSendsNothingAndLeaksNothing)
{
    // The URB block and the IRP, in turn (the event is on the stack).
    auto pipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x5a5a0);
    int points = 0;
    for (int n = 1;; n++) {
        sim::lowres::Reset();
        sim::lowres::FailNthOfAny(n);
        const int before = Bus(pdo_).Total();
        NTSTATUS status = ResetPipe(fdo_, pipe);
        if (sim::lowres::Injected() == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        points++;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "failure point " << n;
        EXPECT_EQ(Bus(pdo_).Total(), before) << "failure point " << n;
        EXPECT_EQ(sim::io::OutstandingIrps(), 0u) << "failure point " << n;
        EXPECT_EQ(sim::ex::OutstandingCount(), poolAtStart_) << "failure point " << n;
    }
    EXPECT_EQ(points, 2);
}

}  // namespace

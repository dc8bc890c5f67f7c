// The fixture of the data-path tests: the port bench's open port with the requests an
// application queues (reads, writes, waits on the event mask) and what the tests ask
// of them, written once for the read, write, wait, pump and cancellation tests.
#pragma once

#include "serial/serial.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "tests/support/port_bench.h"
#include "usb/usb.h"

#include <memory>
#include <numeric>
#include <optional>
#include <vector>

namespace usbtest {

using sim::usb::ObexPhone;
using Op = std::shared_ptr<sim::io::Operation>;

constexpr int64_t kMs = 10000;  // 100-ns units per millisecond

inline std::vector<uint8_t> Bytes(size_t n, uint8_t start = 1)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

class DataPathTest : public bench::PortTest {
protected:
    struct WaitOp {
        Op op;
        std::shared_ptr<ULONG> word;
        ULONG Word() const { return *word; }
    };
    // IOCTL_SERIAL_WAIT_ON_MASK through the driver's device-control dispatch.
    WaitOp StartWait(ULONG outputLength = sizeof(ULONG))
    {
        WaitOp wait;
        wait.word = std::make_shared<ULONG>(0xDEADBEEF);
        sim::io::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        request.output = wait.word.get();
        request.outputLength = outputLength;
        auto keep = wait.word;
        wait.op = sim::io::Send(fdo_, request, [keep](const IO_STATUS_BLOCK &) {});
        return wait;
    }
    // Set-wait-mask through the driver: the queued wait ends with event word 0, then
    // the mask is stored; a refused mask changes nothing.
    void SetWaitMask(ULONG mask, NTSTATUS expected = STATUS_SUCCESS)
    {
        sim::io::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
        request.input = &mask;
        request.inputLength = sizeof(mask);
        ASSERT_EQ(sim::io::Call(fdo_, request).Status, expected);
    }
    bool Queued(const WaitOp &wait) { return !wait.op->Done() && QueueLength(&ext_->WaitQueue) == 1; }
    static bool Answered(const WaitOp &wait, ULONG word)
    {
        return wait.op->Done() && wait.op->Status().Status == STATUS_SUCCESS &&
               wait.op->Status().Information == sizeof(ULONG) && wait.Word() == word;
    }

    // The request has ended with `status` and `information` bytes.
    static ::testing::AssertionResult Ended(const Op &op, NTSTATUS status, ULONG_PTR information = 0)
    {
        if (!op->Done()) {
            return ::testing::AssertionFailure() << "still pending";
        }
        const IO_STATUS_BLOCK io = op->Status();
        if (io.Status != status || io.Information != information) {
            return ::testing::AssertionFailure() << "ended 0x" << std::hex << io.Status << " with " << std::dec
                                                 << io.Information << " bytes";
        }
        return ::testing::AssertionSuccess();
    }
    // Clears IsOpen under DataLock, as close does before it cancels anything.
    void MarkClosed()
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
        ext_->IsOpen = FALSE;
        KeReleaseSpinLock(&ext_->DataLock, irql);
    }

    bool Parked(const ReadOp &read) { return !read.op->Done() && QueueLength(&ext_->ReadQueue) == 1; }
    bool TimerArmed() { return ext_->ReadTimer.Header.Inserted != FALSE; }

    size_t InFlight(UCHAR endpoint) { return Phone().PendingCount(endpoint); }
    ULONG InFlightLength(UCHAR endpoint) { return Phone().PendingOn(endpoint).at(0).length; }

    // Completes bulk-out transfers as the phone takes them until none is pending, and
    // returns the length asked for by each.
    std::vector<ULONG> Drain()
    {
        std::vector<ULONG> lengths;
        while (InFlight(ObexPhone::kBulkOut) > 0) {
            lengths.push_back(InFlightLength(ObexPhone::kBulkOut));
            if (!Phone().CompleteNext(ObexPhone::kBulkOut)) {
                ADD_FAILURE() << "a transfer is pending that the phone cannot complete";
                break;
            }
        }
        return lengths;
    }

    // Completes the next transfer on `endpoint` with an error that moved `length` bytes
    // (nothing by default; std::nullopt: all it asked for).
    void Fail(UCHAR endpoint, NTSTATUS status, USBD_STATUS usbd, std::optional<ULONG> length = 0)
    {
        sim::usb::Device::Result result;
        result.status = status;
        result.usbd = usbd;
        result.length = length;
        ASSERT_TRUE(Phone().CompleteNext(endpoint, result)) << "no transfer pending";
        sim::ke::WaitIdle();
        Phone().WaitIdle();
    }
};

}  // namespace usbtest

// The receive pump on an open port: one bulk-in transfer at a time, its data in the
// ring, the error count that restarts or kills it, and its stop when the port closes or
// memory runs out. The receive events it raises are pinned with the wait tests.
#include "tests/usb/data_path.h"

#include <future>
#include <thread>

namespace usbtest {
namespace {

class PumpTest : public DataPathTest {
protected:
    size_t InFlight() { return DataPathTest::InFlight(ObexPhone::kBulkIn); }
    void Fail(NTSTATUS status, USBD_STATUS usbd) { DataPathTest::Fail(ObexPhone::kBulkIn, status, usbd); }

    void Revive()
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->StateLock);
        ext_->DeviceFailure = 0;
        KeReleaseSpinLock(&ext_->StateLock, irql);
        ext_->ErrorCount = 0;
    }
};

// The restart worker has found the port open and its transfer is on the way to the bus
// when cleanup and close run: the close's abort finds nothing pending, so unless the
// worker ends the transfer it then sends, the close waits on it for ever.
TEST_F(PumpTest, ACloseBetweenTheRestartsTestAndItsTransferStillEnds)
{
    StartPump();
    std::future<void> close;
    bool armed = true;
    Phone().SetArrivalHook([&](UCHAR endpoint) {
        if (endpoint != ObexPhone::kBulkIn || !armed) {
            return;
        }
        armed = false;
        const int aborts = Phone().Count().aborts;
        const size_t waiting = sim::ke::BlockedWaiters();
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
        ext_->IsOpen = FALSE;  // cleanup
        KeReleaseSpinLock(&ext_->DataLock, irql);
        close = std::async(std::launch::async, [this] {
            sim::ke::DriverCall call("close");
            AbortPipesAndDrain(fdo_);
        });
        // Until the close has aborted both pipes and waits for the drain.
        for (int i = 0; i < 2000 && (Phone().Count().aborts < aborts + 2 || sim::ke::BlockedWaiters() <= waiting);
             i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Receive(Bytes(10, 1));
    Phone().SetArrivalHook({});
    ASSERT_TRUE(close.valid());
    const bool ended = close.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!ended) {
        sim::ke::DriverCall call("test");  // let the close go, so that the test can end
        ::AbortPipe(fdo_, ext_->BulkInPipe);
        close.wait();
    }
    EXPECT_TRUE(ended) << "the close still waits on a bulk-in transfer sent after its abort";
    EXPECT_EQ(InFlight(), 0u);
}

TEST_F(PumpTest, EachTransferAsksFor4096BytesAndItsDataReachesTheRingBeforeTheNextStarts)
{
    StartPump();
    ASSERT_EQ(InFlight(), 1u);
    auto pending = Phone().PendingOn(ObexPhone::kBulkIn).at(0);
    EXPECT_EQ(pending.length, 4096u);
    EXPECT_EQ(pending.flags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(ext_->OutstandingIo, 2);  // the open bias and the transfer

    Receive(Bytes(300, 7));
    Receive(Bytes(4096, 50));
    EXPECT_EQ(InFlight(), 1u);
    EXPECT_EQ(ext_->OutstandingIo, 2);
    ASSERT_EQ(ext_->RxRing.Count, 4396);
    EXPECT_EQ(ext_->RxRing.Data[0], 7);
    EXPECT_EQ(ext_->RxRing.Data[299], UCHAR(7 + 299));
    EXPECT_EQ(ext_->RxRing.Data[300], 50);
}

TEST_F(PumpTest, WhatDoesNotFitInTheRingIsDroppedAndTheTransferAfterItWhole)
{
    FillRing(std::vector<uint8_t>(1023000, 0x11));
    StartPump();
    Receive(Bytes(4096));
    EXPECT_EQ(ext_->RxRing.Count, RX_RING_SIZE);
    EXPECT_EQ(ext_->RxRing.Data[(1023000 + 999) % RX_RING_SIZE], UCHAR(1 + 999));
    Receive(Bytes(100));
    EXPECT_EQ(ext_->RxRing.Count, RX_RING_SIZE);
    EXPECT_EQ(InFlight(), 1u);
}

// ---- failures

// A good transfer starts the count again; twenty failures after it are each restarted,
// and the twenty-first kills the device.
TEST_F(PumpTest, TwentyFailuresAreEachRestartedAndTheTwentyFirstKillsTheDevice)
{
    StartPump();
    for (int i = 0; i < 20; i++) {
        Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    }
    Receive(Bytes(1));
    EXPECT_EQ(ext_->ErrorCount, 0);
    for (int i = 1; i <= 20; i++) {
        Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
        ASSERT_EQ(ext_->ErrorCount, i);
        ASSERT_FALSE(IsDeviceUnavailable(ext_)) << "after failure " << i;
        ASSERT_EQ(InFlight(), 1u) << "no restart after failure " << i;
    }
    Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    EXPECT_EQ(ext_->ErrorCount, 21);
    EXPECT_EQ(ext_->DeviceFailure, ULONG(DEVICE_FAILED_MARK));
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

TEST_F(PumpTest, ADeadOrVanishedPhoneIsFatalAtTheFirstFailure)
{
    struct {
        NTSTATUS status;
        USBD_STATUS usbd;
    } const fatal[] = {
        {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
        {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
        {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DATA_OVERRUN},
    };
    SetWaitMask(SERIAL_EV_RXCHAR);
    for (const auto &f : fatal) {
        SCOPED_TRACE(testing::Message() << std::hex << f.status);
        Revive();
        StartPump();
        // A read with no total timeout and a wait: only the device's end ends them.
        ReadOp read = StartRead(10);
        WaitOp wait = StartWait();
        Fail(f.status, f.usbd);
        EXPECT_EQ(ext_->ErrorCount, 1);
        EXPECT_TRUE(IsDeviceUnavailable(ext_));
        EXPECT_EQ(InFlight(), 0u);
        EXPECT_TRUE(Ended(read.op, STATUS_DELETE_PENDING));
        EXPECT_TRUE(Ended(wait.op, STATUS_DELETE_PENDING));
    }
    // A cancelled transfer on an open port is an ordinary failure.
    Revive();
    StartPump();
    Fail(STATUS_CANCELLED, USBD_STATUS_CANCELED);
    EXPECT_FALSE(IsDeviceUnavailable(ext_));
    EXPECT_EQ(InFlight(), 1u);
    // So is a stall, once: the pipe is reset before the restart, and data flows again.
    Phone().Halt(ObexPhone::kBulkIn);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkIn));
    sim::ke::WaitIdle();
    Phone().Send(ObexPhone::kBulkIn, Bytes(3));
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkIn));
    sim::ke::WaitIdle();
    EXPECT_EQ(ext_->RxRing.Count, 3);
    EXPECT_EQ(ext_->ErrorCount, 0);
}

TEST_F(PumpTest, ATransferEndingAfterCloseOrAroundASleepOnlyCounts)
{
    StartPump();
    ext_->SleptWhileOpen = TRUE;
    Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(ext_->ErrorCount, 1);
    EXPECT_FALSE(IsDeviceUnavailable(ext_));
    EXPECT_EQ(InFlight(), 0u);

    ext_->SleptWhileOpen = FALSE;
    StartPump();
    MarkClosed();
    // Data that arrives once the port is closed is not kept.
    Receive(Bytes(10));
    EXPECT_EQ(ext_->RxRing.Count, 0);
    EXPECT_EQ(ext_->ErrorCount, 2);
    EXPECT_FALSE(IsDeviceUnavailable(ext_));
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

TEST_F(PumpTest, ARestartFindingThePortClosedOrTheDeviceDeadStartsNothing)
{
    for (int dead = 0; dead < 2; dead++) {
        ext_->IsOpen = dead ? TRUE : FALSE;
        ext_->DeviceFailure = dead ? DEVICE_FAILED_MARK : 0;
        EXPECT_EQ(QueueReadRestart(ext_, FALSE), STATUS_SUCCESS);
        sim::ke::WaitIdle();
        EXPECT_EQ(InFlight(), 0u);
        EXPECT_EQ(ext_->OutstandingIo, 1);
    }
}

// ---- low resources

// A pump that stopped here left the port deaf for good, and a wait for rxchar pending.
TEST_F(PumpTest, WithoutAnIrpTheTransferCountsAsFailedAndIsTriedAgain)
{
    sim::lowres::FailNth("IoAllocateIrp", 1);
    StartPump();
    sim::ke::WaitIdle();
    EXPECT_EQ(sim::lowres::Injected(), 1);
    EXPECT_EQ(InFlight(), 1u);
    EXPECT_EQ(ext_->ErrorCount, 1);
    EXPECT_EQ(ext_->OutstandingIo, 2);
}

TEST_F(PumpTest, WithoutARestartItemTheDataIsKeptAndThePumpStops)
{
    StartPump();
    sim::lowres::FailNth("ExAllocatePool", 1);
    Receive(Bytes(5));
    EXPECT_EQ(sim::lowres::Injected(), 1);
    EXPECT_EQ(ext_->RxRing.Count, 5);
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);

    // The same when the failed transfer would have been retried.
    StartPump();
    sim::lowres::FailNth("ExAllocatePool", 1);
    Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// A lower driver that reports more bytes than the transfer asked for must not make the
// completion copy from beyond the staging buffer.
TEST_F(PumpTest, AReportedLengthBeyondTheStagingBufferIsCutToIt)
{
    // The completion as the bus would run it for a transfer StartBulkInRead sent.
    InterlockedIncrement(&ext_->OutstandingIo);
    PIRP irp = IoAllocateIrp(ext_->LowerDevice->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    RtlZeroMemory(&ext_->ReadUrb, sizeof(URB));
    ext_->ReadUrb.UrbBulkOrInterruptTransfer.Hdr.Status = USBD_STATUS_SUCCESS;
    ext_->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength = 2 * READ_STAGING_SIZE;
    {
        sim::ke::DriverCall call("BulkInComplete");
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        EXPECT_EQ(BulkInComplete(nullptr, irp, ext_), STATUS_MORE_PROCESSING_REQUIRED);
        KeLowerIrql(irql);
    }
    sim::ke::WaitIdle();
    EXPECT_EQ(ext_->RxRing.Count, READ_STAGING_SIZE);
    EXPECT_EQ(InFlight(), 1u);  // and the pump goes on
}

}  // namespace
}  // namespace usbtest

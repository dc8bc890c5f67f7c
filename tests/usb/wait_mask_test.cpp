// Waiting on serial events: answered at once from the pending events, or queued until
// received data, the end of the writes, a failed write or a new wait mask ends the
// wait; and its cancellation, alone and racing the receive path.
#include "tests/support/port_bench.h"

#include "serial/serial.h"
#include "sim/ke/ke.h"
#include "usb/usb.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using sim::usb::ObexPhone;

// The same, for a wait whose Cancel flag is set before the driver sees it.
NTSTATUS CancelledWaitDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    EXPECT_FALSE(IoCancelIrp(irp));
    return DispatchDeviceControl(device, irp);
}

class WaitMaskTest : public bench::PortTest {
protected:
    struct WaitOp {
        std::shared_ptr<sim::io::Operation> op;
        std::shared_ptr<ULONG> word;
        ULONG Word() const { return *word; }
    };
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
    bool Queued(const WaitOp &wait) { return !wait.op->Done() && QueueLength(&ext_->WaitQueue) == 1; }
    static bool Answered(const WaitOp &wait, ULONG word)
    {
        return wait.op->Done() && wait.op->Status().Status == STATUS_SUCCESS &&
               wait.op->Status().Information == sizeof(ULONG) && wait.Word() == word;
    }

    // Set-wait-mask through the driver: the queued wait ends with event word 0, then
    // the mask is stored.
    void SetWaitMask(ULONG mask)
    {
        sim::io::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
        request.input = &mask;
        request.inputLength = sizeof(mask);
        ASSERT_EQ(sim::io::Call(fdo_, request).Status, STATUS_SUCCESS);
    }
};

// ---- answered at once

TEST_F(WaitMaskTest, AWaitIsAnsweredAtOnceWithAnEmptyMaskOrWithEventsPending)
{
    WaitOp empty = StartWait();
    EXPECT_EQ(empty.op->Returned(), STATUS_SUCCESS);
    EXPECT_TRUE(Answered(empty, 0));

    SetWaitMask(SERIAL_EV_RXCHAR);
    ext_->PendingEvents = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    WaitOp pending = StartWait();
    EXPECT_TRUE(Answered(pending, SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    EXPECT_EQ(ext_->PendingEvents, 0u);

    WaitOp next = StartWait();
    EXPECT_TRUE(Queued(next));
}

TEST_F(WaitMaskTest, AWaitWithAnOutputBufferBelowFourBytesIsRefused)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    WaitOp wait = StartWait(3);
    ASSERT_TRUE(wait.op->Done());
    EXPECT_EQ(wait.op->Status().Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(wait.op->Status().Information, 0u);
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXCHAR);
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
}

TEST_F(WaitMaskTest, ASecondWaitIsRefusedAndTheFirstStillCompletes)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp first = StartWait();
    ASSERT_TRUE(Queued(first));
    WaitOp second = StartWait();
    ASSERT_TRUE(second.op->Done());
    EXPECT_EQ(second.op->Status().Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.op->Status().Information, 0u);
    EXPECT_TRUE(Queued(first));
    Receive({1, 2, 3});
    EXPECT_TRUE(Answered(first, SERIAL_EV_RXCHAR));
}

// ---- ended by received data

TEST_F(WaitMaskTest, ReceivedBytesEndAWaitAndStayPendingForTheNextOne)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp first = StartWait();
    ASSERT_EQ(first.op->Returned(), STATUS_PENDING);
    Receive({1, 2, 3, 4, 5});
    EXPECT_TRUE(Answered(first, SERIAL_EV_RXCHAR));
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXCHAR);

    WaitOp second = StartWait();
    EXPECT_TRUE(Answered(second, SERIAL_EV_RXCHAR));
    WaitOp third = StartWait();
    EXPECT_TRUE(Queued(third));
}

TEST_F(WaitMaskTest, TheEventWordFollowsTheMaskAndRxFlagNeedsNoEventCharacter)
{
    StartPump();
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    WaitOp both = StartWait();
    Receive({1});
    EXPECT_TRUE(Answered(both, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));

    SetWaitMask(SERIAL_EV_RXFLAG);
    ext_->PendingEvents = 0;
    WaitOp flag = StartWait();
    Receive({2});
    EXPECT_TRUE(Answered(flag, SERIAL_EV_RXFLAG));
}

TEST_F(WaitMaskTest, AReadThatTakesEveryByteLeavesNoReceiveEvent)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp wait = StartWait();
    ReadOp read = StartRead(100);
    Receive({1, 2, 3});
    ASSERT_TRUE(read.op->Done());
    EXPECT_EQ(read.op->Status().Information, 3u);
    EXPECT_TRUE(Queued(wait));
    EXPECT_EQ(ext_->PendingEvents, 0u);
}

TEST_F(WaitMaskTest, Rx80FullIsRaisedFrom820000BytesInTheRingAndNotBefore)
{
    SetWaitMask(SERIAL_EV_RX80FULL);
    FillRing(std::vector<uint8_t>(819998, 0x33));
    StartPump();
    WaitOp wait = StartWait();
    Receive({1});
    ASSERT_EQ(ext_->RxRing.Count, 819999);
    EXPECT_TRUE(Queued(wait));
    EXPECT_EQ(ext_->PendingEvents, 0u);
    Receive({2});
    ASSERT_EQ(ext_->RxRing.Count, 820000);
    EXPECT_TRUE(Answered(wait, SERIAL_EV_RX80FULL));
}

// RXFLAG is assigned, not added: a pending RX80FULL goes once the ring is below the
// threshold again.
TEST_F(WaitMaskTest, RxFlagReplacesAPendingRx80FullOnceTheRingHasDrained)
{
    SetWaitMask(SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL);
    FillRing(std::vector<uint8_t>(819999, 0x33));
    StartPump();
    WaitOp full = StartWait();
    Receive({1});
    EXPECT_TRUE(Answered(full, SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL));
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL);

    ReadOp read = StartRead(1000);
    ASSERT_EQ(read.op->Status().Information, 1000u);
    Receive({2});
    EXPECT_EQ(ext_->PendingEvents, static_cast<ULONG>(SERIAL_EV_RXFLAG));
    WaitOp next = StartWait();
    EXPECT_TRUE(Answered(next, SERIAL_EV_RXFLAG));
}

// ---- ended by the write path and by a new mask

TEST_F(WaitMaskTest, TheEndOfTheLastWriteEndsAWaitForTxEmptyAndIsNotRemembered)
{
    SetWaitMask(SERIAL_EV_TXEMPTY);
    WaitOp wait = StartWait();
    auto write = StartWrite(std::vector<uint8_t>(10, 0x5A));
    ASSERT_TRUE(Queued(wait));
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    ASSERT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(Answered(wait, SERIAL_EV_TXEMPTY));

    WaitOp later = StartWait();
    EXPECT_TRUE(Queued(later));
}

TEST_F(WaitMaskTest, AFailedWriteEndsAWaitWithTheLineEventsWhateverTheMask)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    auto write = StartWrite(std::vector<uint8_t>(10, 0x5A));
    sim::usb::Device::Result failed;
    failed.status = STATUS_UNSUCCESSFUL;
    failed.usbd = USBD_STATUS_STALL_PID;
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut, failed));
    EXPECT_EQ(write->Wait().Status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Answered(wait, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD));
    EXPECT_EQ(ext_->PendingEvents, 0u);
}

TEST_F(WaitMaskTest, ANewWaitMaskEndsTheQueuedWaitWithNoEvents)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    ASSERT_TRUE(Queued(wait));
    SetWaitMask(0x1FFF);
    EXPECT_TRUE(Answered(wait, 0));
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
}

TEST_F(WaitMaskTest, DeliveringEventsWithNoWaiterDropsThemAndLeavesPendingEventsAlone)
{
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    {
        sim::ke::DriverCall call("event");
        CompleteWaitOnMask(ext_, SERIAL_EV_TXEMPTY, FALSE);
    }
    EXPECT_EQ(ext_->PendingEvents, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    SetWaitMask(SERIAL_EV_TXEMPTY);
    WaitOp wait = StartWait();
    EXPECT_TRUE(Answered(wait, SERIAL_EV_RXCHAR));
}

// ---- cancellation

TEST_F(WaitMaskTest, ACancelledWaitEndsCancelledWithNoData)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    ASSERT_TRUE(Queued(wait));
    EXPECT_TRUE(wait.op->Cancel());
    ASSERT_TRUE(wait.op->Done());
    EXPECT_EQ(wait.op->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(wait.op->Status().Information, 0u);
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
    // Nothing is left waiting: the next wait queues again.
    WaitOp next = StartWait();
    EXPECT_TRUE(Queued(next));
}

TEST_F(WaitMaskTest, AWaitCancelledWhileBeingQueuedIsCompletedCancelledAndItsDispatchSaysPending)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CancelledWaitDispatch;
    WaitOp wait = StartWait();
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    ASSERT_TRUE(wait.op->Done());
    EXPECT_EQ(wait.op->Returned(), STATUS_PENDING);
    EXPECT_EQ(wait.op->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(wait.op->Status().Information, 0u);
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
    WaitOp next = StartWait();
    EXPECT_TRUE(Queued(next));
}

// The cancel routine unlinks its wait only under DataLock: while the receive path
// holds DataLock, a wait whose cancel routine has been called stays linked.
TEST_F(WaitMaskTest, ACancelRoutineWaitsForDataLockBeforeItTouchesTheQueue)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    ASSERT_TRUE(Queued(wait));
    PIRP irp = wait.op->Irp();

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    std::thread canceller([&] { wait.op->Cancel(); });
    while (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        std::this_thread::yield();
    }
    // A routine that did not wait for DataLock would be done within microseconds.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    bool linked = true;
    while (linked && !wait.op->Done() && std::chrono::steady_clock::now() < until) {
        linked = ext_->WaitQueue.Flink == &irp->Tail.Overlay.ListEntry;
        std::this_thread::yield();
    }
    EXPECT_TRUE(linked) << "the cancel routine unlinked the wait without DataLock";
    EXPECT_FALSE(wait.op->Done());
    // As the receive path would now: the wait's canceller owns it, nobody else gets it.
    CompleteWaitOnMask(ext_, SERIAL_EV_RXCHAR, TRUE);
    KeReleaseSpinLock(&ext_->DataLock, irql);
    canceller.join();
    ASSERT_TRUE(wait.op->Done());
    EXPECT_EQ(wait.op->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
}

// The bus completes a transfer at DISPATCH_LEVEL on its own thread while the
// application cancels its wait: exactly one of them ends it, every time.
TEST_F(WaitMaskTest, CancelRacingCompletionByDataEndsEachWaitExactlyOnce)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    int cancelled = 0;
    int answered = 0;
    for (int i = 0; i < 300; i++) {
        WaitOp wait = StartWait();
        ASSERT_EQ(wait.op->Returned(), STATUS_PENDING) << "iteration " << i;
        std::atomic<bool> go{false};
        std::thread canceller([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            wait.op->Cancel();
        });
        go = true;
        Receive({static_cast<uint8_t>(i)});
        canceller.join();
        IO_STATUS_BLOCK io = wait.op->Wait();
        if (io.Status == STATUS_CANCELLED) {
            EXPECT_EQ(io.Information, 0u);
            cancelled++;
        } else {
            ASSERT_EQ(io.Status, STATUS_SUCCESS);
            ASSERT_EQ(wait.Word(), static_cast<ULONG>(SERIAL_EV_RXCHAR));
            answered++;
        }
        ASSERT_EQ(QueueLength(&ext_->WaitQueue), 0u);
        ASSERT_FALSE(sim::verifier::Any()) << "iteration " << i;
        // Start each round with nothing pending and nothing in the ring.
        ReadOp drain = StartRead(16);
        ASSERT_EQ(drain.op->Status().Information, 1u);
        ext_->PendingEvents = 0;
    }
    EXPECT_EQ(cancelled + answered, 300);
    std::printf("[          ] %d waits cancelled, %d answered by data\n", cancelled, answered);
}

}  // namespace

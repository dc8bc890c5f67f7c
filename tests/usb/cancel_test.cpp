// Cancellation of the three queued requests (a parked read, a queued write, a queued
// wait on the event mask), one table over the queues: a request cancelled while it is
// being queued, and a cancel routine that must take DataLock before it touches its
// queue. (Cancels racing the completion: the scheduled situations.)
#include "tests/usb/data_path.h"

#include <chrono>
#include <thread>

namespace usbtest {
namespace {

enum class Queue { Read, Write, Wait };

// Sets the Cancel flag of a request before the driver's dispatch sees it (IoCancelIrp
// finds no cancel routine to call).
template <PDRIVER_DISPATCH dispatch>
NTSTATUS NTAPI Cancelled(PDEVICE_OBJECT device, PIRP irp)
{
    EXPECT_FALSE(IoCancelIrp(irp));
    return dispatch(device, irp);
}

class CancelTest : public DataPathTest, public ::testing::WithParamInterface<Queue> {
protected:
    void SetUp() override
    {
        DataPathTest::SetUp();
        SetWaitMask(SERIAL_EV_RXCHAR);
        SetTimeouts(0, 10, 100);
    }

    PLIST_ENTRY Head()
    {
        switch (GetParam()) {
        case Queue::Read: return &ext_->ReadQueue;
        case Queue::Write: return &ext_->WriteQueue;
        default: return &ext_->WaitQueue;
        }
    }
    // Queues one request of the row's kind; a write behind a running one unless `alone`.
    Op Start(bool alone = false)
    {
        switch (GetParam()) {
        case Queue::Read: return StartRead(100).op;
        case Queue::Write:
            if (!alone) {
                running_ = StartWrite(Bytes(100));
            }
            return StartWrite(Bytes(kQueuedBytes));
        default: return StartWait().op;
        }
    }
    UCHAR Major()
    {
        return GetParam() == Queue::Read ? IRP_MJ_READ : GetParam() == Queue::Write ? IRP_MJ_WRITE : IRP_MJ_DEVICE_CONTROL;
    }
    PDRIVER_DISPATCH CancelledDispatch()
    {
        return GetParam() == Queue::Read    ? Cancelled<DispatchRead>
               : GetParam() == Queue::Write ? Cancelled<DispatchWrite>
                                            : Cancelled<DispatchDeviceControl>;
    }
    LONG QueuedBytes() { return GetParam() == Queue::Write ? kQueuedBytes : 0; }

    static constexpr LONG kQueuedBytes = 300;
    Op running_;
};

TEST_P(CancelTest, ARequestCancelledWhileBeingQueuedEndsCancelledAndItsDispatchSaysPending)
{
    const UCHAR major = Major();
    PDRIVER_DISPATCH dispatch = driver_->MajorFunction[major];
    driver_->MajorFunction[major] = CancelledDispatch();
    Op op = Start(true);
    driver_->MajorFunction[major] = dispatch;

    // It was marked pending before the cancel was seen: anything but STATUS_PENDING
    // would break the I/O manager's rule (the verifier reports it).
    EXPECT_EQ(op->Returned(), STATUS_PENDING);
    EXPECT_TRUE(Ended(op, STATUS_CANCELLED));
    EXPECT_EQ(QueueLength(Head()), 0u);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_FALSE(ext_->WriteActive);
    EXPECT_EQ(ext_->OutstandingIo, 1);

    // The queue is usable again.
    Op next = Start(true);
    EXPECT_FALSE(next->Done());
    if (GetParam() == Queue::Write) {
        EXPECT_EQ(Drain(), (std::vector<ULONG>{ULONG(kQueuedBytes)}));
        EXPECT_EQ(next->Status().Status, STATUS_SUCCESS);
    } else {
        EXPECT_EQ(QueueLength(Head()), 1u);
    }
}

// The cancel routine unlinks its request only under DataLock: while another path holds
// DataLock (the bulk-in completion serving the reads or the waits, StartNextWrite
// claiming the next write), a request whose cancel routine has been called stays
// linked, uncompleted and counted, and that path passes over it. A write queued behind
// it is claimed instead, and the late unlink must not put it back in the queue.
TEST_P(CancelTest, ACancelRoutineWaitsForDataLockBeforeItTouchesTheQueue)
{
    Op op = Start();
    ASSERT_FALSE(op->Done());
    PIRP irp = op->Irp();
    ASSERT_NE(irp, nullptr);
    Op behind = GetParam() == Queue::Write ? StartWrite(Bytes(50)) : nullptr;
    PIRP prepared = nullptr;
    const LONG bytes = ext_->OutQueueBytes;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    std::thread canceller([&] { op->Cancel(); });
    // IoCancelIrp has taken the routine once it is gone from the IRP.
    while (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        std::this_thread::yield();
    }
    // A routine that did not wait for DataLock would be done within microseconds.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    bool linked = true;
    while (linked && !op->Done() && std::chrono::steady_clock::now() < until) {
        linked = Head()->Flink == &irp->Tail.Overlay.ListEntry;
        std::this_thread::yield();
    }
    EXPECT_TRUE(linked) << "the cancel routine unlinked its request without DataLock";
    EXPECT_FALSE(op->Done()) << "the cancel routine completed its request under another path's DataLock";
    EXPECT_EQ(ext_->OutQueueBytes, bytes);
    // The other path, now: the request's canceller owns it.
    switch (GetParam()) {
    case Queue::Read: CompletePendingReads(ext_); break;
    case Queue::Wait: CompleteWaitOnMask(ext_, SERIAL_EV_RXCHAR, TRUE); break;
    case Queue::Write:
        EXPECT_EQ(StartNextWrite(ext_, &prepared), STATUS_PENDING);
        EXPECT_EQ(prepared, behind->Irp());
        break;
    }
    KeReleaseSpinLock(&ext_->DataLock, irql);
    canceller.join();

    EXPECT_TRUE(Ended(op, STATUS_CANCELLED));
    EXPECT_EQ(QueueLength(Head()), 0u);
    EXPECT_EQ(ext_->OutQueueBytes, bytes - QueuedBytes());
    if (prepared != nullptr) {
        IoCallDriver(ext_->LowerDevice, prepared);
    }
    Drain();
    if (behind != nullptr) {
        EXPECT_TRUE(Ended(behind, STATUS_SUCCESS, 50));
    }
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(Queues, CancelTest, ::testing::Values(Queue::Read, Queue::Write, Queue::Wait),
                         [](const ::testing::TestParamInfo<Queue> &info) {
                             return info.param == Queue::Read ? "Read" : info.param == Queue::Write ? "Write" : "Wait";
                         });

}  // namespace
}  // namespace usbtest

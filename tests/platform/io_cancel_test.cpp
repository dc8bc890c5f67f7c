// Cancellation: what a cancel routine is called with, the exchange of the cancel
// routine that decides who completes a queued request, a request cancelled before
// its routine was set, the race between IoCancelIrp and a completing path, and the
// rank of the cancel spin lock.
#include "tests/platform/io_test.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <thread>

namespace {

using iotest::Completion;
using iotest::CompleteWith;
using iotest::IoTest;
using iotest::SetCompletion;
using sim::verifier::Rule;

struct CancelSeen {
    KIRQL irql = 0xff;
    size_t locks = 0;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routineLeft = nullptr;
    KIRQL cancelIrql = 0xff;
    PDEVICE_OBJECT device = nullptr;
};
CancelSeen g_seen;

VOID RecordingCancel(PDEVICE_OBJECT device, PIRP irp)
{
    g_seen.irql = KeGetCurrentIrql();
    g_seen.locks = sim::ke::SpinLocksHeld();
    g_seen.cancel = irp->Cancel;
    g_seen.routineLeft = irp->CancelRoutine;
    g_seen.cancelIrql = irp->CancelIrql;
    g_seen.device = device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

TEST_F(IoTest, ACancelRoutineRunsWithTheCancelLockHeldAtDispatchLevel)
{
    g_seen = {};
    PIRP queued = nullptr;
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        queued = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, RecordingCancel);
        return STATUS_PENDING;
    });
    auto op = sim::io::Send(device, Major(IRP_MJ_READ));
    EXPECT_FALSE(op->Done());
    EXPECT_TRUE(op->Cancel());

    EXPECT_EQ(op->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(g_seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(g_seen.locks, 1u);
    EXPECT_TRUE(g_seen.cancel);
    EXPECT_EQ(g_seen.routineLeft, nullptr);
    EXPECT_EQ(g_seen.cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(g_seen.device, device);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::ke::SpinLocksHeld(), 0u);
    EXPECT_FALSE(op->Cancel());  // completed: nothing left to cancel
}

TEST_F(IoTest, APathThatTakesTheCancelRoutineFirstOwnsTheRequest)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ, true);
    auto op = sim::io::Send(bus.Device(), Major(IRP_MJ_READ));
    PIRP irp = bus.TakeHeld();  // exchanges the cancel routine away
    ASSERT_NE(irp, nullptr);

    EXPECT_FALSE(op->Cancel());  // no routine to call: the cancel is only recorded
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(op->Done());
    sim::bus::Pdo::Complete(irp, STATUS_SUCCESS, 0);
    EXPECT_EQ(op->Wait().Status, STATUS_SUCCESS);
}

TEST_F(IoTest, ACancelRoutineThatWinsLeavesTheCompletingPathNothingToTake)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ, true);
    auto op = sim::io::Send(bus.Device(), Major(IRP_MJ_READ));
    EXPECT_TRUE(op->Cancel());
    EXPECT_EQ(op->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(bus.TakeHeld(), nullptr);
}

TEST_F(IoTest, ARequestCancelledBeforeItsRoutineIsSetIsSeenByTheDriverThatQueuesIt)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_INTERNAL_DEVICE_CONTROL, true);
    PIRP irp = IoAllocateIrp(1, FALSE);
    NTSTATUS seen = STATUS_SUCCESS;
    Completion owner = [&](PDEVICE_OBJECT, PIRP done) {
        seen = done->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    SetCompletion(irp, &owner);

    EXPECT_FALSE(IoCancelIrp(irp));  // no routine yet; the flag stays set
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(IoCallDriver(bus.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(seen, STATUS_CANCELLED);
    EXPECT_EQ(bus.HeldCount(), 0u);
    IoFreeIrp(irp);
}

// Stress: the two ways a queued request can end race on real threads. Whoever wins
// the exchange completes it; every request must end exactly once, with one of the two
// statuses, and the verifier must stay silent.
TEST_F(IoTest, RacingCancelAndCompletionEndEachRequestExactlyOnce)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ, true);
    constexpr int kRounds = 2000;
    int cancelled = 0;
    int completed = 0;
    for (int round = 0; round < kRounds; round++) {
        std::atomic<int> ends{0};
        auto op = sim::io::Send(bus.Device(), Major(IRP_MJ_READ),
                                [&](const IO_STATUS_BLOCK &) { ends++; });
        // Each side waits for the start, then one of them idles for a number of steps
        // that sweeps with the round, so that both orders and the close calls between
        // them all occur.
        std::atomic<bool> go{false};
        const int delay = (round / 2) % 400;
        auto idle = [](int steps) {
            std::atomic<int> step{0};
            while (step.fetch_add(1, std::memory_order_relaxed) < steps) {
            }
        };
        std::thread completer([&] {
            while (!go) {
            }
            idle(round % 2 ? delay : 0);
            if (PIRP irp = bus.TakeHeld()) {
                sim::bus::Pdo::Complete(irp, STATUS_SUCCESS);
            }
        });
        std::thread canceller([&] {
            while (!go) {
            }
            idle(round % 2 ? 0 : delay);
            op->Cancel();
        });
        go = true;
        completer.join();
        canceller.join();
        IO_STATUS_BLOCK status = op->Wait();
        ASSERT_EQ(ends.load(), 1);
        ASSERT_TRUE(status.Status == STATUS_SUCCESS || status.Status == STATUS_CANCELLED);
        (status.Status == STATUS_CANCELLED ? cancelled : completed)++;
    }
    EXPECT_EQ(cancelled + completed, kRounds);
    EXPECT_EQ(bus.HeldCount(), 0u);
}

TEST_F(IoTest, TheCancelSpinLockIsRankedBeforeEveryDriverLock)
{
    KSPIN_LOCK dataLock;
    KeInitializeSpinLock(&dataLock);
    sim::ke::SetLockRank(&dataLock, 1, "DataLock");
    KIRQL outer, inner;

    IoAcquireCancelSpinLock(&outer);
    KeAcquireSpinLock(&dataLock, &inner);
    KeReleaseSpinLock(&dataLock, inner);
    IoReleaseCancelSpinLock(outer);
    EXPECT_TRUE(TakeViolations().empty());

    KeAcquireSpinLock(&dataLock, &outer);
    IoAcquireCancelSpinLock(&inner);
    IoReleaseCancelSpinLock(inner);
    KeReleaseSpinLock(&dataLock, outer);
    ExpectViolation(Rule::LockOrder);
}

}  // namespace

// Cancellation: what a cancel routine is called with, the exchange of the cancel
// routine that decides who completes a queued request, a request cancelled before
// its routine was set (the race between a cancel and a completing path is explored
// under the scheduler in tests/sched, with a canceller against the phone); remove
// locks: release-and-wait waits for the last hold and refuses late acquires.
#include "tests/support/test_driver.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <thread>

namespace {

using bench::Completion;
using bench::CompleteWith;
using bench::IoTest;
using bench::SetCompletion;

struct CancelSeen {
    KIRQL irql = 0xff;
    size_t locks = 0;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routineLeft = nullptr;
    KIRQL cancelIrql = 0xff;
    PDEVICE_OBJECT device = nullptr;
};
CancelSeen g_seen;

VOID NTAPI RecordingCancel(PDEVICE_OBJECT device, PIRP irp)
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

TEST_F(IoTest, WhoeverTakesTheCancelRoutineFirstOwnsTheRequest)
{
    auto &bus = NewPdo();
    bus.Hold(IRP_MJ_READ, true);
    // The completing path first: TakeHeld exchanges the cancel routine away.
    auto completed = sim::io::Send(bus.Device(), Major(IRP_MJ_READ));
    PIRP irp = bus.TakeHeld();
    ASSERT_NE(irp, nullptr);
    EXPECT_FALSE(completed->Cancel());  // no routine to call: the cancel is only recorded
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(completed->Done());
    sim::bus::Pdo::Complete(irp, STATUS_SUCCESS, 0);
    EXPECT_EQ(completed->Wait().Status, STATUS_SUCCESS);

    // The cancel first: the completing path finds nothing left to take.
    auto cancelled = sim::io::Send(bus.Device(), Major(IRP_MJ_READ));
    EXPECT_TRUE(cancelled->Cancel());
    EXPECT_EQ(cancelled->Wait().Status, STATUS_CANCELLED);
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

TEST_F(IoTest, ReleaseAndWaitWaitsForTheLastHoldAndLateAcquiresFail)
{
    IO_REMOVE_LOCK removeLock;
    PIO_REMOVE_LOCK lock = &removeLock;
    IoInitializeRemoveLock(lock, 0, 0, 0);
    auto Tag = [](int n) { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x1000 + n)); };
    ASSERT_EQ(IoAcquireRemoveLock(lock, Tag(1)), STATUS_SUCCESS);  // the remover's own
    ASSERT_EQ(IoAcquireRemoveLock(lock, Tag(2)), STATUS_SUCCESS);  // a request in flight
    ASSERT_EQ(IoAcquireRemoveLock(lock, Tag(2)), STATUS_SUCCESS);  // tags may repeat
    IoReleaseRemoveLock(lock, Tag(2));

    std::atomic<bool> returned{false};
    std::thread remover([&] {
        sim::ke::NameThread("pnp");
        IoReleaseRemoveLockAndWait(lock, Tag(1));
        returned = true;
    });
    // Removal has begun once Removed is set; until the request's hold goes, the
    // remover cannot return.
    while (!__atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST)) {
        std::this_thread::yield();
    }
    EXPECT_EQ(IoAcquireRemoveLock(lock, Tag(3)), STATUS_DELETE_PENDING);
    EXPECT_FALSE(returned.load());
    IoReleaseRemoveLock(lock, Tag(2));
    remover.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(lock->Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(lock, Tag(4)), STATUS_DELETE_PENDING);
}

}  // namespace

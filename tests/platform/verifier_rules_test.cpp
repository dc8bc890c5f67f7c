// The verifier: one faulty sequence per rule (several where a rule guards several
// routines), each row checking that its rule and only its rule fires, and what the
// platform does to contain the fault; and a check that every rule has its row.
#include "tests/support/test_driver.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/kd/kd.h"
#include "sim/win32/windows.h"

#include <cstring>
#include <set>
#include <string>

namespace {

using bench::Completion;
using bench::CompleteWith;
using bench::IoTest;
using bench::kMs;
using bench::Relative;
using bench::SetCompletion;
using sim::verifier::Rule;

class RuleTest;

struct RuleCase {
    const char *name;
    Rule rule;
    std::function<void(RuleTest &)> provoke;
};

class RuleTest : public IoTest, public ::testing::WithParamInterface<RuleCase> {
public:
    RuleTest() { options_.workerThreads = 1; }  // so that one busy item holds the queue

    // The row's rule has fired by now (for a row that goes on after the fault).
    void Fired()
    {
        ExpectViolation(GetParam().rule);
        checked_ = true;
    }
    // The row's rule, and only it, has fired exactly `n` times by now; their reports.
    std::vector<sim::verifier::Violation> FiredTimes(size_t n)
    {
        auto violations = TakeViolations();
        EXPECT_EQ(violations.size(), n);
        for (const auto &violation : violations) {
            EXPECT_EQ(violation.rule, GetParam().rule) << violation.detail;
        }
        checked_ = true;
        violations.resize(n);  // so that a row may read each report it counted
        return violations;
    }

    PDEVICE_OBJECT Device(bench::Handler handler, ULONG flags = 0) { return AddDevice(std::move(handler), nullptr, flags); }
    // Sends a request of `major` to a new device that gives it to `handler`.
    void CallWith(UCHAR major, bench::Handler handler) { sim::io::Call(Device(std::move(handler)), Major(major)); }

    // An IRP of the test's own, sent to a bus that holds it; its owner routine stops
    // the completion (and frees the IRP when `freeInRoutine`).
    PIRP SendHeldIrp(sim::bus::Pdo &bus, bool freeInRoutine)
    {
        bus.Hold(IRP_MJ_INTERNAL_DEVICE_CONTROL);
        PIRP irp = IoAllocateIrp(1, FALSE);
        owner_ = [freeInRoutine](PDEVICE_OBJECT, PIRP done) {
            if (freeInRoutine) {
                IoFreeIrp(done);
            }
            return STATUS_MORE_PROCESSING_REQUIRED;
        };
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        SetCompletion(irp, &owner_);
        EXPECT_EQ(IoCallDriver(bus.Device(), irp), STATUS_PENDING);
        return irp;
    }

    // Runs `body` at DISPATCH_LEVEL on this thread.
    static void AtDispatch(const std::function<void()> &body)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        body();
        KeLowerIrql(old);
    }

    static void Nest(PKSPIN_LOCK outer, PKSPIN_LOCK inner)
    {
        KIRQL old;
        KeAcquireSpinLock(outer, &old);
        KeAcquireSpinLockAtDpcLevel(inner);
        KeReleaseSpinLockFromDpcLevel(inner);
        KeReleaseSpinLock(outer, old);
    }

    bool checked_ = false;
    Completion owner_;
    KSPIN_LOCK a_ = 0, b_ = 0, c_ = 0;
    IO_REMOVE_LOCK removeLock_{};
};

// Deferred work inside a block of pool, as it sits in a device extension.
struct Deferred {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    int runs;
};

VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<Deferred *>(context)->runs++; }
VOID NTAPI CountWork(PVOID context) { static_cast<Deferred *>(context)->runs++; }
VOID NTAPI WaitFor(PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL); }

Deferred *NewDeferred()
{
    auto *d = static_cast<Deferred *>(ExAllocatePool(NonPagedPool, sizeof(Deferred)));
    KeInitializeTimer(&d->timer);
    KeInitializeDpc(&d->dpc, CountDpc, d);
    ExInitializeWorkItem(&d->item, CountWork, d);
    d->runs = 0;
    return d;
}

// Occupies the only worker until `release` is signalled.
void BusyTheWorker(KEVENT *release, WORK_QUEUE_ITEM *blocker)
{
    KeInitializeEvent(release, NotificationEvent, FALSE);
    ExInitializeWorkItem(blocker, WaitFor, release);
    ExQueueWorkItem(blocker, DelayedWorkQueue);
    bench::UntilBlocked(1);
}

const RuleCase kCases[] = {
    // ---- IRPs
    {"CompletingTwice", Rule::IrpCompletedTwice,
     [](RuleTest &t) {
         t.CallWith(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     }},
    {"CompletingADriversOwnIrpAgainAfterItCameBack", Rule::IrpCompletedTwice,
     [](RuleTest &t) {
         auto &bus = t.NewPdo();
         PIRP irp = t.SendHeldIrp(bus, false);
         sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS);  // back with its owner
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         t.Fired();
         IoFreeIrp(irp);
     }},
    {"CompletingWithTheCancelRoutineSet", Rule::IrpCompletedWithCancelRoutine,
     [](RuleTest &t) {
         t.CallWith(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
             return CompleteWith(irp, STATUS_SUCCESS);
         });
     }},
    {"CompletingWithStatusPending", Rule::IrpCompletedWithPending,
     [](RuleTest &t) {
         t.CallWith(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_PENDING);
             return STATUS_SUCCESS;
         });
     }},
    {"FreeingAnIrpALowerDriverHoldsKeepsIt", Rule::IrpFreedInFlight,
     [](RuleTest &t) {
         auto &bus = t.NewPdo();
         IoFreeIrp(t.SendHeldIrp(bus, true));
         t.Fired();
         sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS);  // freed by its routine
         EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
     }},
    {"ResendingOrReusingAnIrpALowerDriverHolds", Rule::IrpReusedInFlight,
     [](RuleTest &t) {
         auto &bus = t.NewPdo();
         PIRP irp = t.SendHeldIrp(bus, false);
         EXPECT_EQ(IoCallDriver(bus.Device(), irp), STATUS_INVALID_DEVICE_STATE);
         t.Fired();
         IoReuseIrp(irp, STATUS_SUCCESS);
         t.Fired();
         EXPECT_EQ(bus.Count(IRP_MJ_INTERNAL_DEVICE_CONTROL), 1) << "the refused resend went nowhere";
         sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {"MarkingPendingAndReturningAnotherStatus", Rule::PendingMarkedNotReturned,
     [](RuleTest &t) {
         t.CallWith(IRP_MJ_WRITE, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return CompleteWith(irp, STATUS_CANCELLED);
         });
     }},
    {"ReturningPendingWithoutMarking", Rule::PendingReturnedNotMarked,
     [](RuleTest &t) {
         PIRP queued = nullptr;
         auto op = sim::io::Send(t.Device([&](PDEVICE_OBJECT, PIRP irp) {
             queued = irp;
             return STATUS_PENDING;
         }),
                                 t.Major(IRP_MJ_READ));
         t.Fired();
         CompleteWith(queued, STATUS_SUCCESS);
         EXPECT_TRUE(op->Done());
     }},
    {"APassThroughRoutineDroppingThePendingMark", Rule::PendingReturnedNotMarked,
     [](RuleTest &t) {
         static Completion forgetful = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
         auto &bus = t.NewPdo();
         bus.Hold(IRP_MJ_READ);
         PDEVICE_OBJECT filter = t.AddDevice(
             [](PDEVICE_OBJECT device, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 SetCompletion(irp, &forgetful);
                 return IoCallDriver(IoTest::Ext(device)->lower, irp);
             },
             bus.Device());
         auto op = sim::io::Send(filter, t.Major(IRP_MJ_READ));
         EXPECT_EQ(op->Returned(), STATUS_PENDING);
         EXPECT_TRUE(t.TakeViolations().empty()) << "not yet a fault: the routine may still mark";
         sim::bus::Pdo::Complete(bus.TakeHeld(), STATUS_SUCCESS);
     }},
    {"InformationOnAFailedRequest", Rule::InformationOnFailure,
     [](RuleTest &t) {
         t.CallWith(IRP_MJ_WRITE, [](PDEVICE_OBJECT, PIRP irp) {
             return CompleteWith(irp, STATUS_DEVICE_NOT_CONNECTED, 5);
         });
     }},
    {"InformationBeyondTheCallersBufferIsNotCopied", Rule::InformationBeyondBuffer,
     [](RuleTest &t) {
         PDEVICE_OBJECT device = t.Device(
             [](PDEVICE_OBJECT, PIRP irp) {
                 std::memset(irp->AssociatedIrp.SystemBuffer, 'x', 4);
                 return CompleteWith(irp, STATUS_SUCCESS, 8);
             },
             DO_BUFFERED_IO);
         char data[8] = ".......";  // a 4-byte read into the front of it
         sim::io::Request read = t.Major(IRP_MJ_READ);
         read.output = data;
         read.outputLength = 4;
         sim::io::Call(device, read);
         EXPECT_STREQ(data, "xxxx...");
     }},
    {"ReturningOutputBytesNeverWritten", Rule::OutputNotWritten,
     [](RuleTest &t) {
         PDEVICE_OBJECT device = t.Device([](PDEVICE_OBJECT, PIRP irp) {
             static_cast<char *>(irp->AssociatedIrp.SystemBuffer)[0] = 'x';  // 1 of 8 written
             return CompleteWith(irp, STATUS_SUCCESS, 8);
         });
         char out[8] = {};
         sim::io::Request control = t.Major(IRP_MJ_DEVICE_CONTROL);
         control.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
         control.output = out;
         control.outputLength = sizeof out;
         sim::io::Call(device, control);
     }},
    {"PassingARequestDownHoldingASpinLock", Rule::CallDriverWithSpinLock,
     [](RuleTest &t) {
         PDEVICE_OBJECT filter = t.AddDevice(
             [&t](PDEVICE_OBJECT device, PIRP irp) {
                 KIRQL irql;
                 KeAcquireSpinLock(&t.a_, &irql);
                 IoSkipCurrentIrpStackLocation(irp);
                 NTSTATUS status = IoCallDriver(IoTest::Ext(device)->lower, irp);
                 KeReleaseSpinLock(&t.a_, irql);
                 return status;
             },
             t.NewPdo().Device());
         sim::io::Call(filter, t.Major(IRP_MJ_SYSTEM_CONTROL));
     }},
    {"DriverCallsNestedDeeperThanAKernelStackHolds", Rule::KernelStackOverflow,
     [](RuleTest &t) {
         int depth = 0;
         PDEVICE_OBJECT device = t.Device([&t, &depth](PDEVICE_OBJECT self, PIRP irp) {
             if (++depth < 200) {
                 sim::io::Call(self, t.Major(IRP_MJ_SYSTEM_CONTROL));
             }
             return CompleteWith(irp, STATUS_SUCCESS, 0);
         });
         sim::io::Call(device, t.Major(IRP_MJ_SYSTEM_CONTROL));
     }},

    // ---- IRQL: waits and PASSIVE_LEVEL-only routines above their level
    {"WaitingWithoutTimeoutAtDispatchDoesNotBlock", Rule::BlockingAtDispatch,
     [](RuleTest &t) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         LARGE_INTEGER zero = Relative(0);
         RuleTest::AtDispatch([&] {
             EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
             EXPECT_TRUE(t.TakeViolations().empty()) << "polling is allowed";
             EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL), STATUS_TIMEOUT);
         });
     }},
    {"PassiveLevelRoutinesAtDispatch", Rule::BlockingAtDispatch,
     [](RuleTest &t) {
         LARGE_INTEGER interval = Relative(kMs);
         UNICODE_STRING link;
         RtlInitUnicodeString(&link, u"\\??\\COM5");
         WCHAR chars[8];
         UNICODE_STRING number{0, sizeof chars, chars};
         RuleTest::AtDispatch([&] {
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
             IoDeleteSymbolicLink(&link);
             RtlIntegerToUnicodeString(1, 10, &number);
         });
         t.FiredTimes(3);
     }},
    {"AcquiringAFastMutexAtDispatch", Rule::BlockingAtDispatch,
     [](RuleTest &t) {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         KIRQL old;
         KeAcquireSpinLock(&t.a_, &old);
         ExAcquireFastMutex(&mutex);
         t.Fired();
         ExReleaseFastMutex(&mutex);
         KeReleaseSpinLock(&t.a_, old);
         t.TakeViolations();  // the release at the wrong IRQL is a consequence
     }},

    // ---- spin locks
    {"ReleasingALockAnotherThreadHoldsLeavesItHeld", Rule::SpinLockWrongIrql,
     [](RuleTest &t) {
         KIRQL old;
         std::thread owner([&] { KeAcquireSpinLock(&t.a_, &old); });
         owner.join();
         KeReleaseSpinLock(&t.a_, PASSIVE_LEVEL);
         EXPECT_NE(t.a_, 0u) << "the other thread's hold must survive";
     }},
    {"TheDpcLevelPairBelowDispatchStillReleases", Rule::SpinLockWrongIrql,
     [](RuleTest &t) {
         KeAcquireSpinLockAtDpcLevel(&t.a_);
         t.Fired();
         KeReleaseSpinLockFromDpcLevel(&t.a_);
         t.Fired();
         EXPECT_EQ(t.a_, 0u);
     }},
    {"ACallbackReturningAtARaisedIrql", Rule::SpinLockWrongIrql,
     [](RuleTest &) {
         {
             sim::ke::DriverCall call("raises and forgets");
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
         }
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"ACallbackReturningWithALockHeldHasItReleased", Rule::SpinLockHeldOnReturn,
     [](RuleTest &t) {
         {
             sim::ke::DriverCall call("faulty dispatch");
             KIRQL old;
             KeAcquireSpinLock(&t.a_, &old);
         }
         t.Fired();
         EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         std::thread other([&] { RuleTest::Nest(&t.a_, &t.b_); });  // would spin for ever
         other.join();
     }},

    // ---- lock order, learned and ranked
    {"ACycleThroughAThirdLock", Rule::LockOrder,
     [](RuleTest &t) {
         RuleTest::Nest(&t.a_, &t.b_);
         RuleTest::Nest(&t.a_, &t.b_);  // a nesting seen again is no fault
         RuleTest::Nest(&t.b_, &t.c_);
         EXPECT_TRUE(t.TakeViolations().empty());
         RuleTest::Nest(&t.c_, &t.a_);  // never nested directly the other way
     }},
    {"RankedLocksAgainstTheirRankTheFirstTime", Rule::LockOrder,
     [](RuleTest &t) {
         sim::ke::SetLockRank(&t.a_, 1, "cancel spin lock");
         sim::ke::SetLockRank(&t.b_, 2, "DataLock");
         sim::ke::SetLockRank(&t.c_, 3, "StateLock");
         RuleTest::Nest(&t.a_, &t.b_);
         EXPECT_TRUE(t.TakeViolations().empty());
         RuleTest::Nest(&t.c_, &t.a_);  // no cycle seen: only the ranks say it is wrong
         const std::string detail = t.FiredTimes(1)[0].detail;
         EXPECT_NE(detail.find("StateLock"), std::string::npos) << detail;
     }},
    {"TheCancelSpinLockAfterADriverLock", Rule::LockOrder,
     [](RuleTest &t) {
         sim::ke::SetLockRank(&t.a_, 1, "DataLock");
         KIRQL outer, inner;
         IoAcquireCancelSpinLock(&outer);
         KeAcquireSpinLock(&t.a_, &inner);
         KeReleaseSpinLock(&t.a_, inner);
         IoReleaseCancelSpinLock(outer);
         EXPECT_TRUE(t.TakeViolations().empty());
         KeAcquireSpinLock(&t.a_, &outer);
         IoAcquireCancelSpinLock(&inner);
         IoReleaseCancelSpinLock(inner);
         KeReleaseSpinLock(&t.a_, outer);
     }},
    {"FastMutexesInOppositeOrders", Rule::LockOrder,
     [](RuleTest &) {
         FAST_MUTEX open, close;
         ExInitializeFastMutex(&open);
         ExInitializeFastMutex(&close);
         for (FAST_MUTEX *first : {&open, &close}) {
             FAST_MUTEX *second = first == &open ? &close : &open;
             ExAcquireFastMutex(first);
             ExAcquireFastMutex(second);
             ExReleaseFastMutex(second);
             ExReleaseFastMutex(first);
         }
     }},
    {"TakingAHeldLockAgainInsteadOfDeadlocking", Rule::LockOrder,
     [](RuleTest &t) {
         KIRQL old;
         KeAcquireSpinLock(&t.a_, &old);
         KeAcquireSpinLockAtDpcLevel(&t.a_);
         t.Fired();
         KeReleaseSpinLock(&t.a_, old);
     }},
    {"AnOrderLearnedAfterAFreedLockWasForgotten", Rule::LockOrder,
     [](RuleTest &t) {
         RuleTest::Nest(&t.b_, &t.c_);
         sim::ke::ForgetLocksIn(&t.c_, sizeof(t.c_));
         RuleTest::Nest(&t.c_, &t.b_);  // a new lock at the old address: either way is fine
         EXPECT_TRUE(t.TakeViolations().empty());
         RuleTest::Nest(&t.b_, &t.c_);
     }},

    // ---- remove locks
    {"ReleasingARemoveLockMoreOftenThanAcquired", Rule::RemoveLockOverReleased,
     [](RuleTest &t) {
         IoInitializeRemoveLock(&t.removeLock_, 0, 0, 0);
         ASSERT_EQ(IoAcquireRemoveLock(&t.removeLock_, &t.a_), STATUS_SUCCESS);
         IoReleaseRemoveLock(&t.removeLock_, &t.a_);
         IoReleaseRemoveLock(&t.removeLock_, &t.a_);
         t.Fired();
         IoReleaseRemoveLock(&t.removeLock_, &t.b_);  // never acquired at all
         t.Fired();
         EXPECT_EQ(t.removeLock_.Common.IoCount, 1) << "the faulty releases did not count down";
     }},
    {"ReleasingAnAcquireRefusedAfterReleaseAndWait", Rule::RemoveLockAcquiredAfterWait,
     [](RuleTest &t) {
         IoInitializeRemoveLock(&t.removeLock_, 0, 0, 0);
         ASSERT_EQ(IoAcquireRemoveLock(&t.removeLock_, &t.a_), STATUS_SUCCESS);
         IoReleaseRemoveLockAndWait(&t.removeLock_, &t.a_);
         EXPECT_EQ(IoAcquireRemoveLock(&t.removeLock_, &t.b_), STATUS_DELETE_PENDING);
         EXPECT_TRUE(t.TakeViolations().empty()) << "a refused late acquire is expected";
         IoReleaseRemoveLock(&t.removeLock_, &t.b_);
     }},
    {"DeletingADeviceWhoseRemoveLockIsHeld", Rule::RemoveLockHeldAtDelete,
     [](RuleTest &t) {
         PDEVICE_OBJECT device = t.Device(IoTest::Succeed);
         PIO_REMOVE_LOCK lock = &IoTest::Ext(device)->removeLock;
         IoInitializeRemoveLock(lock, 0, 0, 0);
         ASSERT_EQ(IoAcquireRemoveLock(lock, &t.a_), STATUS_SUCCESS);
         t.DeleteDevice(device);
     }},

    // ---- pool
    {"BlocksLeftAtACheckNameTheirOwner", Rule::PoolLeak,
     [](RuleTest &t) {
         ExAllocatePoolWithTag(NonPagedPool, 4, 0x74736554);
         sim::ex::AllocateFor("IoRegisterDeviceInterface", 16, 0, true);
         EXPECT_EQ(sim::ex::CheckNoLeaks("device removal"), 2u);
         auto violations = t.FiredTimes(2);
         for (const auto &violation : violations) {
             EXPECT_NE(violation.detail.find("device removal"), std::string::npos) << violation.detail;
         }
         EXPECT_NE(violations[1].detail.find("IoRegisterDeviceInterface"), std::string::npos);
         EXPECT_EQ(sim::ex::OutstandingCount(), 0u);
     }},
    {"PoolAndIrpsADriverLeavesAtUnload", Rule::PoolLeak,
     [](RuleTest &t) {
         ExAllocatePoolWithTag(NonPagedPool, 32, 0x74736554);
         IoAllocateIrp(1, FALSE);
         sim::io::UnloadDriver(t.driver_);
         t.driver_ = nullptr;
         t.FiredTimes(2);
         EXPECT_EQ(sim::io::OutstandingIrps(), 0u);
     }},
    {"ARegistryKeyADriverLeavesOpenAtUnload", Rule::HandleLeak,
     [](RuleTest &t) {
         sim::bus::Pdo &pdo = t.NewPdo();
         sim::cm::RegisterDevice(pdo.Device(), u"USB\\VID_0001&PID_0002\\1");
         HANDLE key = nullptr;
         ASSERT_EQ(IoOpenDeviceRegistryKey(pdo.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
         sim::io::UnloadDriver(t.driver_);
         t.driver_ = nullptr;
         const std::string detail = t.FiredTimes(1)[0].detail;
         EXPECT_NE(detail.find("IoOpenDeviceRegistryKey"), std::string::npos) << detail;
         // Closed by the check: the next unload or test starts with none.
         EXPECT_TRUE(sim::cm::OpenHandles().empty());
     }},
    {"FreeingABlockTwice", Rule::PoolDoubleFree,
     [](RuleTest &) {
         void *block = ExAllocatePool(NonPagedPool, 32);
         ExFreePool(block);
         ExFreePool(block);
     }},
    {"WritingJustPastTheEndOrJustBeforeTheStart", Rule::PoolOverrun,
     [](RuleTest &t) {
         for (int at : {10, -1}) {
             auto *block = static_cast<char *>(ExAllocatePool(NonPagedPool, 10));
             block[at] = 0;
             ExFreePool(block);
             t.FiredTimes(1);
         }
     }},

    // ---- deferred work in memory that goes away: reported, and taken off its queue
    {"ATimerArmedInFreedPoolNeverFires", Rule::TimerArmedAtDelete,
     [](RuleTest &) {
         Deferred *d = NewDeferred();
         KeSetTimer(&d->timer, Relative(10 * kMs), &d->dpc);
         ExFreePool(d);
         sim::ke::Advance(20 * kMs);  // would touch freed memory if it were still armed
     }},
    {"ATimerElsewhereWhoseDpcContextIsDeleted", Rule::TimerArmedAtDelete,
     [](RuleTest &t) {
         Deferred *d = NewDeferred();
         KTIMER outside;
         KDPC outsideDpc;
         KeInitializeTimer(&outside);
         KeInitializeDpc(&outsideDpc, CountDpc, d);
         KeSetTimer(&outside, Relative(kMs), &outsideDpc);
         sim::ke::CheckNoDeferredWorkIn(d, sizeof(*d), "IoDeleteDevice");
         t.Fired();
         EXPECT_FALSE(KeCancelTimer(&outside)) << "it was disarmed";
         ExFreePool(d);
     }},
    {"DpcsQueuedInOrForFreedPoolNeverRun", Rule::DpcQueuedAtDelete,
     [](RuleTest &t) {
         Deferred *d = NewDeferred();
         KDPC outside;  // not in the block, but its context is
         KeInitializeDpc(&outside, CountDpc, d);
         sim::ke::RunAtDispatch([&] {
             KeInsertQueueDpc(&d->dpc, NULL, NULL);
             KeInsertQueueDpc(&outside, NULL, NULL);
             ExFreePool(d);  // the DPC thread is busy here, so both are still queued
         });
         t.FiredTimes(2);
         EXPECT_FALSE(KeRemoveQueueDpc(&outside)) << "it was taken off the queue";
         sim::ke::WaitIdle();
     }},
    {"AWorkItemPendingInFreedPoolNeverRuns", Rule::WorkItemPendingAtDelete,
     [](RuleTest &t) {
         KEVENT release;
         WORK_QUEUE_ITEM blocker;
         BusyTheWorker(&release, &blocker);
         Deferred *d = NewDeferred();
         ExQueueWorkItem(&d->item, DelayedWorkQueue);
         ExFreePool(d);
         t.Fired();
         KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
         sim::ke::WaitIdle();
     }},


    // ---- deleted devices and closed handles
    {"CompletingARequestHeldByADeletedDevice", Rule::DeviceUsedAfterDelete,
     [](RuleTest &t) {
         PIRP held = nullptr;
         PDEVICE_OBJECT device = t.Device([&](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         });
         auto op = sim::io::Send(device, t.Major(IRP_MJ_READ));
         t.DeleteDevice(device);  // the read's reference keeps its memory
         EXPECT_TRUE(t.TakeViolations().empty());
         CompleteWith(held, STATUS_SUCCESS);
         EXPECT_TRUE(op->Done());
     }},
    {"AcquiringTheRemoveLockOfADeletedDevice", Rule::DeviceUsedAfterDelete,
     [](RuleTest &t) {
         PDEVICE_OBJECT device = t.Device(IoTest::Succeed);
         PIO_REMOVE_LOCK lock = &IoTest::Ext(device)->removeLock;
         IoInitializeRemoveLock(lock, 0, 0, 0);
         ObReferenceObject(device);
         t.DeleteDevice(device);
         EXPECT_EQ(IoAcquireRemoveLock(lock, &t.a_), STATUS_DELETE_PENDING);
         ObDereferenceObject(device);
     }},
    {"AClosedHandlesRequestThatNeverCompletes", Rule::RequestNeverCompleted,
     [](RuleTest &t) {
         PIRP held = nullptr;
         PDEVICE_OBJECT device = t.Device([&](PDEVICE_OBJECT, PIRP irp) {
             if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
                 return CompleteWith(irp, STATUS_SUCCESS);
             }
             held = irp;
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         });
         PFILE_OBJECT file;
         ASSERT_EQ(sim::io::Open(device, &file), STATUS_SUCCESS);
         sim::io::Request read = t.Major(IRP_MJ_READ);
         read.file = file;
         auto op = sim::io::Send(device, read);
         sim::io::Close(file);
         sim::io::CheckClosesSent("the check");
         t.Fired();
         CompleteWith(held, STATUS_CANCELLED);
         sim::ke::WaitIdle();
         EXPECT_TRUE(sim::io::Closed(file));
     }},

    {"AnAlertableOrUserModeWaitIsNotModelled", Rule::NotModelled,
     [](RuleTest &t) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr), STATUS_SUCCESS);
         t.FiredTimes(1);
         LARGE_INTEGER zero = Relative(0);
         KeDelayExecutionThread(UserMode, FALSE, &zero);
         t.FiredTimes(1);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},

    // ---- what else the platform refuses
    {"ACallWithoutCountOrOverlappedFaultsInTheCaller", Rule::ApplicationError,
     [](RuleTest &) {
         EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, 0, nullptr, 0, nullptr, 0, nullptr, nullptr));
         EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS});
     }},
    {"FreeingAPointerThatIsNotABlock", Rule::InvalidParameter,
     [](RuleTest &t) {
         int onTheStack = 0;
         ExFreePool(&onTheStack);
         t.Fired();
         auto *live = static_cast<char *>(ExAllocatePool(NonPagedPool, 32));
         ExFreePool(live + 8);
         const std::string detail = t.FiredTimes(1)[0].detail;
         EXPECT_NE(detail.find("8 bytes into"), std::string::npos) << detail;
         EXPECT_TRUE(sim::ex::IsLiveBlock(live));
         ExFreePool(live);
     }},
    {"FreeingWithAnotherTagStillFrees", Rule::InvalidParameter,
     [](RuleTest &) {
         void *block = ExAllocatePoolWithTag(NonPagedPool, 4, 0x74736554);
         ExFreePoolWithTag(block, 0x64627355);
         EXPECT_FALSE(sim::ex::IsLiveBlock(block));
     }},
    {"UsingAnEventThatWasNeverInitialised", Rule::InvalidParameter,
     [](RuleTest &t) {
         // Windows pool is not zeroed: an event in fresh pool holds garbage.
         auto *event = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
         LARGE_INTEGER zero = Relative(0);
         KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
         t.Fired();
         KeSetEvent(event, IO_NO_INCREMENT, FALSE);
         t.Fired();
         ExFreePool(event);
     }},
    {"ReleasingAFastMutexThisThreadDoesNotOwn", Rule::InvalidParameter,
     [](RuleTest &) {
         FAST_MUTEX mutex;
         ExInitializeFastMutex(&mutex);
         std::thread([&] { ExAcquireFastMutex(&mutex); }).join();
         ExReleaseFastMutex(&mutex);
     }},
    {"QueuingAWorkItemThatIsStillQueued", Rule::InvalidParameter,
     [](RuleTest &t) {
         KEVENT release;
         WORK_QUEUE_ITEM blocker;
         BusyTheWorker(&release, &blocker);
         Deferred d{};
         ExInitializeWorkItem(&d.item, CountWork, &d);
         ExQueueWorkItem(&d.item, DelayedWorkQueue);
         ExQueueWorkItem(&d.item, DelayedWorkQueue);
         t.Fired();
         KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
         sim::ke::WaitIdle();
         EXPECT_EQ(d.runs, 1);
     }},
    {"UnloadingWithADeviceLeftCallsUnloadAndDeletesIt", Rule::InvalidParameter,
     [](RuleTest &t) {
         static bool unloaded;
         unloaded = false;
         t.driver_->DriverUnload = [](PDRIVER_OBJECT) NTAPI { unloaded = true; };
         PDEVICE_OBJECT forgotten;
         ASSERT_EQ(IoCreateDevice(t.driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &forgotten), STATUS_SUCCESS);
         sim::io::UnloadDriver(t.driver_);
         t.driver_ = nullptr;
         EXPECT_TRUE(unloaded);
         EXPECT_EQ(sim::io::DeviceCount(), 0u);
     }},
    {"AMalformedCountedStringIsNotWrittenThrough", Rule::InvalidParameter,
     [](RuleTest &) {
         WCHAR chars[4] = {};
         UNICODE_STRING bad{8, 4, chars};  // Length above MaximumLength
         UNICODE_STRING source;
         RtlInitUnicodeString(&source, u"A");
         RtlCopyUnicodeString(&bad, &source);
         EXPECT_EQ(chars[0], 0);
     }},
    {"PrintingWideTextAboveAPassiveLevelStillPrints", Rule::InvalidParameter,
     [](RuleTest &t) {
         RuleTest::AtDispatch([&] {
             DbgPrint("narrow text is fine: %s %d\n", "x", 1);
             EXPECT_TRUE(t.TakeViolations().empty());
             DbgPrint("%ws\n", u"COM5");
         });
         EXPECT_EQ(sim::kd::Log().size(), 2u);
     }},
};

TEST_P(RuleTest, FiresOnItsFaultySequence)
{
    GetParam().provoke(*this);
    if (!checked_) {
        ExpectViolation(GetParam().rule);
    }
}

INSTANTIATE_TEST_SUITE_P(VerifierRules, RuleTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RuleCase> &info) {
                             return std::string(sim::verifier::RuleName(info.param.rule)) + "_" + info.param.name;
                         });

TEST(VerifierRules, EveryRuleHasItsOwnNameAndAFaultySequenceThatFiresIt)
{
    std::set<std::string> names;
    for (int r = 0; r <= static_cast<int>(Rule::InvalidParameter); r++) {
        const Rule rule = static_cast<Rule>(r);
        std::string name = sim::verifier::RuleName(rule);
        EXPECT_NE(name, "UnknownRule") << "rule " << r;
        EXPECT_TRUE(names.insert(name).second) << name;
        // The USB bus's rules are provoked through URBs in tests/usb, the power rule
        // through power IRPs in tests/power.
        if (rule == Rule::UrbBufferFreedInFlight || rule == Rule::UrbLengthMismatch ||
            rule == Rule::PowerIrpWithoutStartNext) {
            continue;
        }
        bool covered = false;
        for (const RuleCase &c : kCases) {
            covered = covered || c.rule == rule;
        }
        EXPECT_TRUE(covered) << name << " has no row in kCases";
    }
}

}  // namespace

// Verifier: deferred work left in memory that goes away (an armed timer, a queued
// DPC, a pending work item) is reported when the memory is freed or checked, and is
// taken off its queue so that it never runs on freed memory.
#include "sim/ex/ex.h"
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <set>
#include <string>
#include <thread>

using sim::verifier::Rule;

namespace {

constexpr int64_t kMs = 10000;

struct FakeExtension {
    KTIMER timer;
    KDPC dpc;
    WORK_QUEUE_ITEM item;
    int runs;
};

VOID CountDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<FakeExtension *>(context)->runs++;
}

VOID CountWork(PVOID context)
{
    static_cast<FakeExtension *>(context)->runs++;
}

VOID WaitForRelease(PVOID event)
{
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
}

class DeferredWork : public bench::PlatformTest {
public:
    DeferredWork() { options_.workerThreads = 1; }

protected:
    FakeExtension *NewExtension()
    {
        auto *ext = static_cast<FakeExtension *>(ExAllocatePool(NonPagedPool, sizeof(FakeExtension)));
        KeInitializeTimer(&ext->timer);
        KeInitializeDpc(&ext->dpc, CountDpc, ext);
        ExInitializeWorkItem(&ext->item, CountWork, ext);
        ext->runs = 0;
        return ext;
    }
};

TEST_F(DeferredWork, ATimerArmedInFreedPoolIsReportedAndNeverFires)
{
    FakeExtension *ext = NewExtension();
    LARGE_INTEGER due;
    due.QuadPart = -10 * kMs;
    KeSetTimer(&ext->timer, due, &ext->dpc);
    ExFreePool(ext);
    ExpectViolation(Rule::TimerArmedAtDelete);
    sim::ke::Advance(20 * kMs);  // would touch freed memory if it were still armed
}

TEST_F(DeferredWork, ATimerElsewhereWhoseDpcContextIsBeingDeletedIsReported)
{
    FakeExtension *ext = NewExtension();
    KTIMER outside;
    KDPC outsideDpc;
    KeInitializeTimer(&outside);
    KeInitializeDpc(&outsideDpc, CountDpc, ext);
    LARGE_INTEGER due;
    due.QuadPart = -kMs;
    KeSetTimer(&outside, due, &outsideDpc);
    sim::ke::CheckNoDeferredWorkIn(ext, sizeof(*ext), "IoDeleteDevice");
    ExpectViolation(Rule::TimerArmedAtDelete);
    EXPECT_FALSE(KeCancelTimer(&outside)) << "it was disarmed";
    ExFreePool(ext);
}

TEST_F(DeferredWork, ADpcQueuedInFreedPoolIsReportedAndNeverRuns)
{
    FakeExtension *ext = NewExtension();
    KDPC outside;  // not in the block, but its context is
    KeInitializeDpc(&outside, CountDpc, ext);
    sim::ke::RunAtDispatch([&] {
        KeInsertQueueDpc(&ext->dpc, NULL, NULL);
        KeInsertQueueDpc(&outside, NULL, NULL);
        ExFreePool(ext);  // the DPC thread is busy here, so both are still queued
    });
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    for (const auto &violation : violations) {
        EXPECT_EQ(violation.rule, Rule::DpcQueuedAtDelete) << violation.detail;
    }
    EXPECT_FALSE(KeRemoveQueueDpc(&outside)) << "it was taken off the queue";
    sim::ke::WaitIdle();
}

TEST_F(DeferredWork, AWorkItemPendingInFreedPoolIsReportedAndNeverRuns)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM blocker;
    ExInitializeWorkItem(&blocker, WaitForRelease, &release);
    ExQueueWorkItem(&blocker, DelayedWorkQueue);
    while (sim::ke::BlockedWaiters() < 1) {
        std::this_thread::yield();  // the only worker is now busy
    }
    FakeExtension *ext = NewExtension();
    ExQueueWorkItem(&ext->item, DelayedWorkQueue);
    ExFreePool(ext);
    ExpectViolation(Rule::WorkItemPendingAtDelete);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    sim::ke::WaitIdle();
}

TEST_F(DeferredWork, IdleObjectsInAFreedBlockAreFine)
{
    FakeExtension *ext = NewExtension();
    LARGE_INTEGER due;
    due.QuadPart = -kMs;
    KeSetTimer(&ext->timer, due, &ext->dpc);
    sim::ke::Advance(kMs);
    ExQueueWorkItem(&ext->item, DelayedWorkQueue);
    sim::ke::WaitIdle();
    EXPECT_EQ(ext->runs, 2);
    ExFreePool(ext);
}

TEST(VerifierRules, EveryRuleHasItsOwnStableName)
{
    std::set<std::string> names;
    for (int rule = 0; rule <= static_cast<int>(Rule::InvalidParameter); rule++) {
        std::string name = sim::verifier::RuleName(static_cast<Rule>(rule));
        EXPECT_NE(name, "UnknownRule") << "rule " << rule;
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_STREQ(sim::verifier::RuleName(Rule::IrpCompletedTwice), "IrpCompletedTwice");
}

TEST(VerifierRecord, ReportRecordsTheRuleAndDetailUntilTaken)
{
    sim::verifier::Take();
    EXPECT_FALSE(sim::verifier::Any());
    sim::ke::NameThread("app 1");
    sim::verifier::Report(Rule::IrpCompletedTwice, "IRP %p", reinterpret_cast<void *>(0x1234));
    EXPECT_TRUE(sim::verifier::Any());
    auto taken = sim::verifier::Take();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].rule, Rule::IrpCompletedTwice);
    EXPECT_NE(taken[0].detail.find("0x1234"), std::string::npos) << taken[0].detail;
    EXPECT_NE(taken[0].detail.find("app 1"), std::string::npos) << taken[0].detail;
    EXPECT_FALSE(sim::verifier::Any());
}

}  // namespace

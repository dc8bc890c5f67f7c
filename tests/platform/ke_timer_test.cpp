// Ke contract: timers on the virtual clock (due order, re-arm, cancel, periodic,
// absolute, dispatcher state), DPCs on the DPC thread at DISPATCH_LEVEL, and one
// timer on the real clock.
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

constexpr int64_t kMs = 10000;

struct Fired {
    int id;
    ULONGLONG at;
    KIRQL irql;
    std::string thread;
};

struct Probe {
    KTIMER timer;
    KDPC dpc;
    int id;
    std::vector<Fired> *log;
};

std::mutex g_logLock;

VOID RecordDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *probe = static_cast<Probe *>(context);
    std::lock_guard<std::mutex> guard(g_logLock);
    probe->log->push_back({probe->id, KeQueryInterruptTime(), KeGetCurrentIrql(), sim::ke::ThreadName()});
}

LARGE_INTEGER Relative(int64_t hundredNs)
{
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    return due;
}

class KeTimer : public bench::PlatformTest {
protected:
    Probe &NewProbe(int id, TIMER_TYPE type = NotificationTimer)
    {
        probes_.emplace_back(new Probe{});
        Probe &probe = *probes_.back();
        probe.id = id;
        probe.log = &log_;
        KeInitializeTimerEx(&probe.timer, type);
        KeInitializeDpc(&probe.dpc, RecordDpc, &probe);
        return probe;
    }
    std::vector<int> Ids()
    {
        std::vector<int> ids;
        for (const auto &fired : log_) {
            ids.push_back(fired.id);
        }
        return ids;
    }
    void TearDown() override
    {
        for (auto &probe : probes_) {
            KeCancelTimer(&probe->timer);
        }
        bench::PlatformTest::TearDown();
    }
    std::vector<std::unique_ptr<Probe>> probes_;
    std::vector<Fired> log_;
};

TEST_F(KeTimer, TimersFireInDueOrderAtTheirDueTimeWithTheirDpcAtDispatchLevel)
{
    for (auto [id, ms] : {std::pair{3, 30}, {1, 10}, {2, 20}, {4, 20}}) {
        Probe &probe = NewProbe(id);
        KeSetTimer(&probe.timer, Relative(ms * kMs), &probe.dpc);
    }

    sim::ke::Advance(25 * kMs);
    ASSERT_EQ(Ids(), (std::vector<int>{1, 2, 4}));  // equal due times: arming order
    EXPECT_EQ(log_[0].at, 10u * kMs);
    EXPECT_EQ(log_[1].at, 20u * kMs);
    for (const auto &fired : log_) {
        EXPECT_EQ(fired.irql, DISPATCH_LEVEL);
        EXPECT_EQ(fired.thread, "dpc");
    }
    sim::ke::Advance(5 * kMs);
    EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 4, 3}));
    EXPECT_EQ(KeQueryInterruptTime(), 30u * kMs);
}

TEST_F(KeTimer, ReArmingAnArmedTimerMovesItsDueTimeAndReportsItWasArmed)
{
    Probe &probe = NewProbe(1);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(10 * kMs), &probe.dpc));
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(50 * kMs), &probe.dpc));
    sim::ke::Advance(49 * kMs);
    EXPECT_TRUE(log_.empty());
    sim::ke::Advance(1 * kMs);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].at, 50u * kMs);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(kMs), &probe.dpc)) << "it had fired";
    sim::ke::Advance(kMs);
    EXPECT_EQ(log_.size(), 2u);
}

TEST_F(KeTimer, ACancelledTimerNeverFires)
{
    Probe &probe = NewProbe(1);
    KeSetTimer(&probe.timer, Relative(10 * kMs), &probe.dpc);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    sim::ke::Advance(100 * kMs);
    EXPECT_TRUE(log_.empty());
    EXPECT_FALSE(KeReadStateTimer(&probe.timer));
}

TEST_F(KeTimer, ATimerIsADispatcherObjectSignalledWhenItExpires)
{
    Probe &notification = NewProbe(1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeSetTimer(&notification.timer, Relative(kMs), NULL);
    EXPECT_EQ(KeWaitForSingleObject(&notification.timer, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    sim::ke::Advance(kMs);
    EXPECT_TRUE(KeReadStateTimer(&notification.timer));
    EXPECT_EQ(KeWaitForSingleObject(&notification.timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&notification.timer)) << "a notification timer stays signalled";
    KeSetTimer(&notification.timer, Relative(kMs), NULL);
    EXPECT_FALSE(KeReadStateTimer(&notification.timer)) << "arming resets it";

    Probe &synchronization = NewProbe(2, SynchronizationTimer);
    KeSetTimer(&synchronization.timer, Relative(kMs), NULL);
    sim::ke::Advance(kMs);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization.timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization.timer, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(KeTimer, PeriodicAndAbsoluteTimers)
{
    Probe &periodic = NewProbe(1);
    KeSetTimerEx(&periodic.timer, Relative(10 * kMs), 10, &periodic.dpc);
    sim::ke::Advance(35 * kMs);
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_EQ(log_[2].at, 30u * kMs);
    KeCancelTimer(&periodic.timer);

    Probe &absolute = NewProbe(2);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 5 * kMs;
    KeSetTimer(&absolute.timer, due, &absolute.dpc);
    sim::ke::Advance(4 * kMs);
    EXPECT_EQ(log_.size(), 3u);
    sim::ke::Advance(1 * kMs);
    ASSERT_EQ(log_.size(), 4u);
    EXPECT_EQ(log_[3].id, 2);
}

TEST_F(KeTimer, ADpcIsQueuedOnceUntilItRunsAndCanBeTakenOffTheQueue)
{
    Probe &probe = NewProbe(7);
    int dummy = 0;
    // The DPC thread is busy running this function, so what it queues stays queued.
    sim::ke::RunAtDispatch([&] {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, &dummy, NULL));
        EXPECT_FALSE(KeInsertQueueDpc(&probe.dpc, NULL, NULL));
        EXPECT_TRUE(KeRemoveQueueDpc(&probe.dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&probe.dpc));
        EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, &dummy, NULL));
    });
    sim::ke::WaitIdle();
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, NULL, NULL)) << "queueable again once it ran";
    sim::ke::WaitIdle();
    EXPECT_EQ(log_.size(), 2u);
}

class KeRealTimer : public bench::PlatformTest {
public:
    KeRealTimer() { options_.virtualTime = false; }
};

TEST_F(KeRealTimer, ATimerFiresOnTheRealClock)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&timer, Relative(20 * kMs), NULL);
    LARGE_INTEGER timeout = Relative(5000 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - start, 20u * kMs);
}

}  // namespace

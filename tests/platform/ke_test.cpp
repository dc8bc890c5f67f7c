// Ke contract: IRQL and spin lock exclusion; events across threads and waits with
// timeouts on the virtual clock; timers (due order, re-arm, cancel, periodic,
// absolute, dispatcher state) and DPCs on the DPC thread at DISPATCH_LEVEL. (The real
// clock is what the stream tests of tests/usb run on.) The faulty sequences of the IRQL and lock rules are rows of
// verifier_rules_test.cpp.
#include "tests/support/test_driver.h"

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using bench::kMs;
using bench::Relative;
using bench::UntilBlocked;

class KeSpinLock : public bench::PlatformTest {};

TEST_F(KeSpinLock, AcquiringRaisesToDispatchAndReleaseRestoresTheSavedIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(sim::ke::SpinLocksHeld(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::ke::SpinLocksHeld(), 0u);

    // At DISPATCH_LEVEL already: the DPC-level pair leaves the IRQL alone.
    KIRQL before = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(sim::ke::SpinLocksHeld(), 1u);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(before);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A spin lock and a fast mutex (Ex, but the same contract): threads contending for
// one never overlap inside it.
TEST_F(KeSpinLock, SpinLocksAndFastMutexesExcludeOtherThreadsUnderContention)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    using Body = std::function<void()>;
    const struct {
        const char *name;
        int threads, rounds;
        std::function<void(const Body &)> locked;
    } kinds[] = {
        {"spin lock", 4, 20000,
         [&](const Body &body) {
             KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
             body();
             KeReleaseSpinLock(&lock, old);
         }},
        {"fast mutex", 3, 2000,
         [&](const Body &body) {
             ExAcquireFastMutex(&mutex);
             body();
             ExReleaseFastMutex(&mutex);
         }},
    };
    for (const auto &kind : kinds) {
        SCOPED_TRACE(kind.name);
        long counter = 0;            // only ever touched under the lock
        std::atomic<int> inside{0};  // threads inside the lock at once
        std::atomic<bool> overlapped{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kind.threads; t++) {
            threads.emplace_back([&] {
                for (int i = 0; i < kind.rounds; i++) {
                    kind.locked([&] {
                        overlapped = overlapped || inside.fetch_add(1) != 0;
                        counter = counter + 1;
                        inside.fetch_sub(1);
                    });
                }
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
        EXPECT_FALSE(overlapped);
        EXPECT_EQ(counter, long{kind.threads} * kind.rounds);
    }
}

class KeEvent : public bench::PlatformTest {};

TEST_F(KeEvent, ANotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::future<NTSTATUS>> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(std::async(std::launch::async, [&] {
            return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }));
    }
    UntilBlocked(3);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto &waiter : waiters) {
        EXPECT_EQ(waiter.get(), STATUS_SUCCESS);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KeEvent, ASynchronizationEventReleasesOneWaiterPerSignalAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; i++) {
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL),
                      STATUS_SUCCESS);
            released++;
        });
    }
    UntilBlocked(2);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (released < 1) {
        std::this_thread::yield();
    }
    UntilBlocked(1);  // the other one is still waiting
    EXPECT_EQ(released, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter consumed the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto &waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released, 2);

    // Without waiters the signal is kept for exactly one later wait.
    LARGE_INTEGER zero = Relative(0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(KeEvent, ATimedWaitEndsWhenVirtualTimePassesItsDeadlineAndNotBefore)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waiter = std::async(std::launch::async, [&] {
        LARGE_INTEGER timeout = Relative(10000 * kMs);
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    UntilBlocked(1);
    sim::ke::Advance(9999 * kMs);
    UntilBlocked(1);
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    sim::ke::Advance(1 * kMs);
    EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), 10000u * kMs);
}

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

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *probe = static_cast<Probe *>(context);
    std::lock_guard<std::mutex> guard(g_logLock);
    probe->log->push_back({probe->id, KeQueryInterruptTime(), KeGetCurrentIrql(), sim::ke::ThreadName()});
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

TEST_F(KeTimer, ReArmingMovesTheDueTimeAndCancellingDisarms)
{
    Probe &probe = NewProbe(1);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(10 * kMs), &probe.dpc));
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(50 * kMs), &probe.dpc)) << "it was armed";
    sim::ke::Advance(49 * kMs);
    EXPECT_TRUE(log_.empty());
    sim::ke::Advance(1 * kMs);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].at, 50u * kMs);

    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(kMs), &probe.dpc)) << "it had fired";
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    sim::ke::Advance(100 * kMs);
    EXPECT_EQ(log_.size(), 1u) << "a cancelled timer never fires";
    EXPECT_FALSE(KeReadStateTimer(&probe.timer));
}

TEST_F(KeTimer, ATimerIsADispatcherObjectSignalledWhenItExpires)
{
    Probe &notification = NewProbe(1);
    LARGE_INTEGER zero = Relative(0);
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

}  // namespace

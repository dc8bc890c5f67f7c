// Ke contract: notification and synchronization events across threads, waits with
// timeouts on the virtual clock, and the waits that are refused at DISPATCH_LEVEL.
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using sim::verifier::Rule;

namespace {

constexpr int64_t kMs = 10000;  // 100-ns units per millisecond

// Returns once `n` threads are blocked in a kernel wait, so that the test moves the
// clock or signals only after they have computed their deadlines.
void UntilBlocked(size_t n)
{
    while (sim::ke::BlockedWaiters() < n) {
        std::this_thread::yield();
    }
}

LARGE_INTEGER Relative(int64_t hundredNs)
{
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    return due;
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
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
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

TEST_F(KeEvent, AnAbsoluteTimeoutIsASystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart += 50 * kMs;
    auto waiter = std::async(std::launch::async, [&] {
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline);
    });
    UntilBlocked(1);
    sim::ke::Advance(50 * kMs);
    EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
}

TEST_F(KeEvent, ADelayEndsWhenVirtualTimePassesIt)
{
    auto sleeper = std::async(std::launch::async, [] {
        LARGE_INTEGER interval = Relative(5 * kMs);
        return KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    UntilBlocked(1);
    sim::ke::Advance(5 * kMs);
    EXPECT_EQ(sleeper.get(), STATUS_SUCCESS);
}

TEST_F(KeEvent, AWaitThatCouldBlockAtDispatchLevelIsReportedAndDoesNotBlock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    // Polling is allowed at DISPATCH_LEVEL.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(TakeViolations().empty());
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL), STATUS_TIMEOUT);
    ExpectViolation(Rule::BlockingAtDispatch);
    LARGE_INTEGER interval = Relative(kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    ExpectViolation(Rule::BlockingAtDispatch);
    KeLowerIrql(old);
}

TEST_F(KeEvent, AWaitOnAnEventThatWasNeverInitialisedIsReported)
{
    // Windows pool is not zeroed: an event in fresh pool holds garbage.
    auto *event = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
    ExpectViolation(Rule::InvalidParameter);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ExpectViolation(Rule::InvalidParameter);
    ExFreePool(event);
}

}  // namespace

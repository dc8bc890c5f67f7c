// Ex contract: fast mutexes (APC_LEVEL while held, exclusion, try-acquire, refusal
// above APC_LEVEL) and work items (run at PASSIVE_LEVEL on a worker thread).
#include "sim/ex/ex.h"
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

using sim::verifier::Rule;

namespace {

class ExFastMutex : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        bench::PlatformTest::SetUp();
        ExInitializeFastMutex(&mutex_);
    }
    FAST_MUTEX mutex_;
};

TEST_F(ExFastMutex, HoldingItRunsAtApcLevelAndReleasingRestoresTheIrql)
{
    ExAcquireFastMutex(&mutex_);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex_));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ExFastMutex, ExcludesOtherThreadsAndTryFailsWhileItIsOwned)
{
    ExAcquireFastMutex(&mutex_);
    auto tried = std::async(std::launch::async, [&] {
        BOOLEAN got = ExTryToAcquireFastMutex(&mutex_);
        return std::make_pair(got, KeGetCurrentIrql());
    }).get();
    EXPECT_FALSE(tried.first);
    EXPECT_EQ(tried.second, PASSIVE_LEVEL) << "a failed try leaves the IRQL alone";
    ExReleaseFastMutex(&mutex_);

    constexpr int kThreads = 3;
    constexpr int kRounds = 2000;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                ExAcquireFastMutex(&mutex_);
                overlapped = overlapped || inside.fetch_add(1) != 0;
                counter = counter + 1;
                inside.fetch_sub(1);
                ExReleaseFastMutex(&mutex_);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST_F(ExFastMutex, AcquiringAtDispatchLevelIsReported)
{
    KSPIN_LOCK lock = 0;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    ExAcquireFastMutex(&mutex_);
    ExpectViolation(Rule::BlockingAtDispatch);
    ExReleaseFastMutex(&mutex_);
    KeReleaseSpinLock(&lock, old);
    TakeViolations();  // the release at the wrong IRQL is a consequence, not the point
}

TEST_F(ExFastMutex, ReleasingAMutexThisThreadDoesNotOwnIsReported)
{
    std::thread([&] { ExAcquireFastMutex(&mutex_); }).join();
    ExReleaseFastMutex(&mutex_);
    ExpectViolation(Rule::InvalidParameter);
}

struct Job {
    WORK_QUEUE_ITEM item;
    KIRQL irql;
    std::string thread;
    KEVENT *release;  // when set, the job waits for it before it returns
};

VOID RunJob(PVOID parameter)
{
    auto *job = static_cast<Job *>(parameter);
    job->irql = KeGetCurrentIrql();
    job->thread = sim::ke::ThreadName();
    if (job->release != nullptr) {
        KeWaitForSingleObject(job->release, Executive, KernelMode, FALSE, NULL);
    }
}

VOID RunAndFreeItself(PVOID parameter)
{
    ExFreePool(parameter);
}

class ExWorkItem : public bench::PlatformTest {};

TEST_F(ExWorkItem, RunsAtPassiveLevelOnAWorkerThreadEvenWhenQueuedAtDispatch)
{
    Job job{};
    ExInitializeWorkItem(&job.item, RunJob, &job);
    job.irql = HIGH_LEVEL;
    sim::ke::RunAtDispatch([&] { ExQueueWorkItem(&job.item, DelayedWorkQueue); });
    sim::ke::WaitIdle();
    EXPECT_EQ(job.irql, PASSIVE_LEVEL);
    EXPECT_EQ(job.thread.rfind("worker", 0), 0u) << job.thread;

    // An item allocated from pool may free itself in its own routine.
    auto *item = static_cast<PWORK_QUEUE_ITEM>(ExAllocatePool(NonPagedPool, sizeof(WORK_QUEUE_ITEM)));
    ExInitializeWorkItem(item, RunAndFreeItself, item);
    ExQueueWorkItem(item, DelayedWorkQueue);
    sim::ke::WaitIdle();
}

class ExOneWorker : public bench::PlatformTest {
public:
    ExOneWorker() { options_.workerThreads = 1; }
};

TEST_F(ExOneWorker, QueuingAnItemThatIsStillQueuedIsReported)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    Job busy{};
    busy.release = &release;
    ExInitializeWorkItem(&busy.item, RunJob, &busy);
    Job queued{};
    ExInitializeWorkItem(&queued.item, RunJob, &queued);
    ExQueueWorkItem(&busy.item, DelayedWorkQueue);
    while (sim::ke::BlockedWaiters() < 1) {
        std::this_thread::yield();
    }
    ExQueueWorkItem(&queued.item, DelayedWorkQueue);
    ExQueueWorkItem(&queued.item, DelayedWorkQueue);
    ExpectViolation(Rule::InvalidParameter);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    sim::ke::WaitIdle();
    EXPECT_EQ(queued.irql, PASSIVE_LEVEL);
}

}  // namespace

// Ke contract: IRQL, spin lock exclusion and IRQL restore, the checks made when a
// driver callback returns, and the lock order check (learned and ranked).
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <atomic>
#include <thread>
#include <vector>

using sim::verifier::Rule;

namespace {

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

TEST_F(KeSpinLock, ExcludesOtherThreadsUnderContention)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;            // only ever touched under the lock
    std::atomic<int> inside{0};  // threads inside the lock at once
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                if (inside.fetch_add(1) != 0) {
                    overlapped = true;
                }
                counter = counter + 1;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST_F(KeSpinLock, ReleasingALockThisThreadDoesNotHoldIsReportedAndLeavesItHeld)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    std::thread owner([&] { KeAcquireSpinLock(&lock, &old); });
    owner.join();
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ExpectViolation(Rule::SpinLockWrongIrql);
    EXPECT_NE(lock, 0u) << "the other thread's hold must survive";
}

TEST_F(KeSpinLock, TheDpcLevelPairBelowDispatchIsReportedOnBothSides)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    ExpectViolation(Rule::SpinLockWrongIrql);
    KeReleaseSpinLockFromDpcLevel(&lock);
    ExpectViolation(Rule::SpinLockWrongIrql);
    EXPECT_EQ(lock, 0u) << "released all the same";
}

TEST_F(KeSpinLock, ReleasingToPassiveWhileAnotherLockIsHeldIsReported)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    KeAcquireSpinLock(&b, &oldB);
    KeReleaseSpinLock(&a, oldA);  // the saved IRQLs swapped: drops to PASSIVE holding b
    ExpectViolation(Rule::SpinLockWrongIrql);
    KeRaiseIrqlToDpcLevel();
    KeReleaseSpinLock(&b, PASSIVE_LEVEL);
}

TEST_F(KeSpinLock, DriverCallReportsALockLeftHeldThenFreesItAndRestoresTheIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        sim::ke::DriverCall call("faulty dispatch");
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
    }
    ExpectViolation(Rule::SpinLockHeldOnReturn);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::ke::SpinLocksHeld(), 0u);

    // Another thread can take it now instead of spinning for ever.
    std::thread other([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    });
    other.join();

    {
        sim::ke::DriverCall call("raises and forgets");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    ExpectViolation(Rule::SpinLockWrongIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class KeLockOrder : public bench::PlatformTest {
protected:
    void Nest(KSPIN_LOCK *outer, KSPIN_LOCK *inner)
    {
        KIRQL old;
        KeAcquireSpinLock(outer, &old);
        KeAcquireSpinLockAtDpcLevel(inner);
        KeReleaseSpinLockFromDpcLevel(inner);
        KeReleaseSpinLock(outer, old);
    }
    KSPIN_LOCK a_ = 0, b_ = 0, c_ = 0;
};

TEST_F(KeLockOrder, TheSameNestingRepeatedIsFine)
{
    Nest(&a_, &b_);
    Nest(&a_, &b_);
    Nest(&b_, &c_);
    Nest(&a_, &c_);
    EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(KeLockOrder, ANestingOppositeToOneSeenBeforeIsReported)
{
    Nest(&a_, &b_);
    Nest(&b_, &a_);
    ExpectViolation(Rule::LockOrder);
}

TEST_F(KeLockOrder, ACycleThroughAThirdLockIsReported)
{
    Nest(&a_, &b_);
    Nest(&b_, &c_);
    Nest(&c_, &a_);
    ExpectViolation(Rule::LockOrder);
}

TEST_F(KeLockOrder, RankedLocksMustBeTakenInRankOrderEvenTheFirstTime)
{
    KSPIN_LOCK cancel = 0, data = 0, state = 0;
    sim::ke::SetLockRank(&cancel, 1, "cancel spin lock");
    sim::ke::SetLockRank(&data, 2, "DataLock");
    sim::ke::SetLockRank(&state, 3, "StateLock");
    Nest(&cancel, &data);
    Nest(&data, &state);
    EXPECT_TRUE(TakeViolations().empty());
    Nest(&state, &cancel);
    auto violations = TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].rule, Rule::LockOrder);
    EXPECT_NE(violations[0].detail.find("StateLock"), std::string::npos) << violations[0].detail;
}

TEST_F(KeLockOrder, FastMutexesTakePartInTheOrder)
{
    FAST_MUTEX open, close;
    ExInitializeFastMutex(&open);
    ExInitializeFastMutex(&close);
    ExAcquireFastMutex(&open);
    ExAcquireFastMutex(&close);
    ExReleaseFastMutex(&close);
    ExReleaseFastMutex(&open);
    ExAcquireFastMutex(&close);
    ExAcquireFastMutex(&open);
    ExReleaseFastMutex(&open);
    ExReleaseFastMutex(&close);
    ExpectViolation(Rule::LockOrder);
}

TEST_F(KeLockOrder, TakingAHeldLockAgainIsReportedInsteadOfDeadlocking)
{
    KIRQL old;
    KeAcquireSpinLock(&a_, &old);
    KeAcquireSpinLockAtDpcLevel(&a_);
    ExpectViolation(Rule::LockOrder);
    KeReleaseSpinLock(&a_, old);
}

TEST_F(KeLockOrder, ForgettingAFreedLockLetsANewLockAtItsAddressNestEitherWay)
{
    Nest(&b_, &c_);
    sim::ke::ForgetLocksIn(&c_, sizeof(c_));
    Nest(&c_, &b_);
    EXPECT_TRUE(TakeViolations().empty());
    // What was learned after the forgetting counts again.
    Nest(&b_, &c_);
    ExpectViolation(Rule::LockOrder);
}

}  // namespace

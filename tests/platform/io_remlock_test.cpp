// Remove locks: holds per tag, release-and-wait waiting for the last hold, a late
// acquire refused with STATUS_DELETE_PENDING, and the faulty sequences the verifier
// reports (over-release, release of a refused hold, a hold left at device deletion).
#include "tests/platform/io_test.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <thread>

namespace {

using iotest::IoTest;
using sim::verifier::Rule;

class RemoveLockTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        device_ = AddDevice(Succeed);
        lock_ = &Ext(device_)->removeLock;
        IoInitializeRemoveLock(lock_, 0, 0, 0);
    }

    PVOID Tag(int n) { return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x1000 + n)); }

    PDEVICE_OBJECT device_ = nullptr;
    PIO_REMOVE_LOCK lock_ = nullptr;
};

TEST_F(RemoveLockTest, ReleaseAndWaitWaitsForTheLastHoldAndLateAcquiresFail)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);  // the remover's own
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(2)), STATUS_SUCCESS);  // a request in flight
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(2)), STATUS_SUCCESS);  // tags may repeat
    IoReleaseRemoveLock(lock_, Tag(2));

    std::atomic<bool> returned{false};
    std::thread remover([&] {
        sim::ke::NameThread("pnp");
        IoReleaseRemoveLockAndWait(lock_, Tag(1));
        returned = true;
    });
    // Removal has begun once Removed is set; until the request's hold goes, the
    // remover cannot return.
    while (!__atomic_load_n(&lock_->Common.Removed, __ATOMIC_SEQ_CST)) {
        std::this_thread::yield();
    }
    EXPECT_EQ(IoAcquireRemoveLock(lock_, Tag(3)), STATUS_DELETE_PENDING);
    EXPECT_FALSE(returned.load());
    IoReleaseRemoveLock(lock_, Tag(2));
    remover.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(lock_->Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(lock_, Tag(4)), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLockTest, ReleaseAndWaitWithNoOtherHoldReturnsAtOnce)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);
    EXPECT_EQ(lock_->Common.IoCount, 2);  // the bias and the hold
    IoReleaseRemoveLockAndWait(lock_, Tag(1));
    EXPECT_TRUE(lock_->Common.Removed);
    EXPECT_EQ(lock_->Common.IoCount, 0);
}

TEST_F(RemoveLockTest, ReleasingMoreOftenThanAcquiringIsReported)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock_, Tag(1));
    IoReleaseRemoveLock(lock_, Tag(1));
    ExpectViolation(Rule::RemoveLockOverReleased);
    IoReleaseRemoveLock(lock_, Tag(9));  // never acquired at all
    ExpectViolation(Rule::RemoveLockOverReleased);
    EXPECT_EQ(lock_->Common.IoCount, 1);  // the faulty releases did not count down
}

TEST_F(RemoveLockTest, ReleasingAHoldThatWasRefusedAfterReleaseAndWaitIsReported)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock_, Tag(1));
    // A late request: refused, as it should be...
    EXPECT_EQ(IoAcquireRemoveLock(lock_, Tag(2)), STATUS_DELETE_PENDING);
    EXPECT_TRUE(TakeViolations().empty());
    // ...but its path goes on to release what it never got.
    IoReleaseRemoveLock(lock_, Tag(2));
    ExpectViolation(Rule::RemoveLockAcquiredAfterWait);
}

TEST_F(RemoveLockTest, DeletingADeviceWhoseRemoveLockIsStillHeldIsReported)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);
    DeleteDevice(device_);
    ExpectViolation(Rule::RemoveLockHeldAtDelete);
}

TEST_F(RemoveLockTest, DeletingADeviceAfterReleaseAndWaitIsClean)
{
    ASSERT_EQ(IoAcquireRemoveLock(lock_, Tag(1)), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock_, Tag(1));
    DeleteDevice(device_);
    EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace

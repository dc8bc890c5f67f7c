// Reads on an open port: served from the ring, parked until data, their total timeout
// or their cancellation. (Cancellation while queued and its races: cancel_test.cpp.)
#include "tests/usb/data_path.h"

namespace usbtest {
namespace {

using ReadTest = DataPathTest;

// ---- the timeout rules, one row each

struct TimeoutCase {
    const char *name;
    ULONG interval;
    ULONG multiplier;
    ULONG constant;
    ULONG length;
    enum { AtOnce, Forever, Timed } outcome;
    int64_t dueMs;  // Timed only
};

class ReadTimeoutRuleTest : public ReadTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutRuleTest, AReadOnAnEmptyRingEndsAsItsTimeoutsSay)
{
    const TimeoutCase &c = GetParam();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    ReadOp read = StartRead(c.length);

    switch (c.outcome) {
    case TimeoutCase::AtOnce:
        EXPECT_EQ(read.op->Returned(), STATUS_SUCCESS);
        EXPECT_TRUE(Ended(read.op, STATUS_SUCCESS));
        EXPECT_FALSE(TimerArmed());
        break;
    case TimeoutCase::Forever:
        EXPECT_EQ(read.op->Returned(), STATUS_PENDING);
        EXPECT_FALSE(TimerArmed());
        sim::ke::Advance(40LL * 24 * 3600 * 1000 * kMs);  // forty days
        EXPECT_TRUE(Parked(read));
        break;
    case TimeoutCase::Timed:
        EXPECT_EQ(read.op->Returned(), STATUS_PENDING);
        EXPECT_TRUE(TimerArmed());
        sim::ke::Advance(c.dueMs * kMs - 1);
        ASSERT_TRUE(Parked(read)) << "fired before " << c.dueMs << " ms";
        sim::ke::Advance(1);
        EXPECT_TRUE(Ended(read.op, STATUS_TIMEOUT)) << "at " << c.dueMs << " ms";
        EXPECT_EQ(QueueLength(&ext_->ReadQueue), 0u);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadTimeoutRuleTest,
    ::testing::Values(
        // interval MAXULONG
        TimeoutCase{"MaxZeroZeroReturnsAtOnce", MAXULONG, 0, 0, 10, TimeoutCase::AtOnce, 0},
        TimeoutCase{"MaxConstantMaxWaitsForever", MAXULONG, 7, MAXULONG, 10, TimeoutCase::Forever, 0},
        TimeoutCase{"MaxMultiplierMaxCountsAsZero", MAXULONG, MAXULONG, 500, 100, TimeoutCase::Timed, 500},
        TimeoutCase{"MaxWithTotals", MAXULONG, 10, 100, 1000, TimeoutCase::Timed, 10100},
        TimeoutCase{"MaxConstantOnly", MAXULONG, 0, 250, 1000, TimeoutCase::Timed, 250},
        // interval anything else
        TimeoutCase{"NoTotalsWaitsForever", 50, 0, 0, 10, TimeoutCase::Forever, 0},
        TimeoutCase{"AllZeroWaitsForever", 0, 0, 0, 10, TimeoutCase::Forever, 0},
        TimeoutCase{"WithTotals", 0, 10, 100, 1000, TimeoutCase::Timed, 10100},
        TimeoutCase{"MultiplierMaxTakenAsItIs", 50, MAXULONG, 0, 2, TimeoutCase::Timed, 8589934590LL},
        TimeoutCase{"ConstantMaxTakenAsItIs", 50, 0, MAXULONG, 10, TimeoutCase::Timed, 4294967295LL}),
    [](const ::testing::TestParamInfo<TimeoutCase> &info) { return std::string(info.param.name); });

// 429,496 x MAXULONG + 3,134,037,636 ms is 2^64 + 8,384 in 100-ns units: a due time
// worked out with wrapping arithmetic would fire after 0.84 ms. A large one that fits
// (10^17 units, 317 years) is not saturated.
TEST_F(ReadTest, ATotalTimeoutBeyondTheTimersRangeSaturatesInsteadOfWrapping)
{
    ASSERT_EQ(sim::ke::Now(), 0);  // the timer's deadline is Now() + the relative time
    SetTimeouts(0, 10000000, 0);
    ReadOp fits = StartRead(1000000);
    EXPECT_EQ(static_cast<int64_t>(ext_->ReadTimer.DueTime.QuadPart), 1000000LL * 10000000LL * kMs);
    EXPECT_TRUE(fits.op->Cancel());

    SetTimeouts(0, MAXULONG, 3134037636u);
    ReadOp read = StartRead(429496);
    ASSERT_TRUE(TimerArmed());
    EXPECT_EQ(static_cast<int64_t>(ext_->ReadTimer.DueTime.QuadPart), MAXLONGLONG);
    sim::ke::Advance(1000 * kMs);
    EXPECT_TRUE(Parked(read)) << "the due time wrapped round";
    sim::ke::Advance(MAXLONGLONG - 1000 * kMs - 1);
    EXPECT_TRUE(Parked(read));
    sim::ke::Advance(1);
    EXPECT_TRUE(Ended(read.op, STATUS_TIMEOUT));
}

TEST_F(ReadTest, ASaturatedTotalTimeoutStillWaitsWhenTheClockHasMoved)
{
    sim::ke::Advance(3600 * 1000 * kMs);
    SetTimeouts(0, MAXULONG, MAXULONG);
    ReadOp read = StartRead(1000000);
    ASSERT_TRUE(TimerArmed());
    sim::ke::Advance(100LL * 365 * 24 * 3600 * 1000 * kMs);  // a century
    EXPECT_TRUE(Parked(read));
}

// ---- reads served from the ring

TEST_F(ReadTest, AReadTakesWhatTheRingHoldsAndDoesNotWaitForTheRest)
{
    SetTimeouts(0, 10, 100);
    FillRing(Bytes(4, 0x41));
    ReadOp read = StartRead(10);
    EXPECT_EQ(read.op->Returned(), STATUS_SUCCESS);
    ASSERT_TRUE(Ended(read.op, STATUS_SUCCESS, 4));
    EXPECT_EQ(std::vector<uint8_t>(read.buffer->begin(), read.buffer->begin() + 4), Bytes(4, 0x41));
    EXPECT_FALSE(TimerArmed());

    FillRing(Bytes(10, 0x61));
    ReadOp part = StartRead(3);
    EXPECT_TRUE(Ended(part.op, STATUS_SUCCESS, 3));
    EXPECT_EQ(*part.buffer, Bytes(3, 0x61));
    EXPECT_EQ(ext_->RxRing.Count, 7);
    EXPECT_EQ(ext_->PerfStats.ReceivedCount, 7u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// An empty read leaves the parked read's timer armed. A second read while one is parked
// neither waits nor fails, as the port has always behaved, and cancels the parked one's
// timer.
TEST_F(ReadTest, AnEmptyOrSecondReadEndsAtOnceAndOnlyTheSecondDisarmsTheParkedReadsTimer)
{
    SetTimeouts(0, 10, 100);
    ReadOp parked = StartRead(1000);
    EXPECT_TRUE(Ended(StartRead(0).op, STATUS_SUCCESS));
    EXPECT_TRUE(TimerArmed());
    ReadOp second = StartRead(50);
    EXPECT_EQ(second.op->Returned(), STATUS_SUCCESS);
    EXPECT_TRUE(Ended(second.op, STATUS_SUCCESS));
    EXPECT_FALSE(TimerArmed());
    sim::ke::Advance(20000 * kMs);
    EXPECT_TRUE(Parked(parked));
}

// ---- parked reads ended by the receive pump

TEST_F(ReadTest, AParkedReadIsCompletedByTheNextTransferWithAtMostItsBytes)
{
    SetTimeouts(0, 10, 100);
    StartPump();
    ReadOp read = StartRead(100);
    ASSERT_TRUE(Parked(read));
    Receive(Bytes(30, 0x10));
    ASSERT_TRUE(Ended(read.op, STATUS_SUCCESS, 30));
    EXPECT_EQ(std::vector<uint8_t>(read.buffer->begin(), read.buffer->begin() + 30), Bytes(30, 0x10));
    EXPECT_EQ(ext_->RxRing.Count, 0);
    EXPECT_EQ(ext_->PerfStats.ReceivedCount, 30u);
    EXPECT_EQ(ext_->ReadRemaining, 70u);
    EXPECT_FALSE(TimerArmed());

    // Shorter than the transfer: the rest stays in the ring.
    ReadOp small = StartRead(8);
    Receive(Bytes(20));
    ASSERT_TRUE(Ended(small.op, STATUS_SUCCESS, 8));
    EXPECT_EQ(*small.buffer, Bytes(8));
    ReadOp rest = StartRead(100);
    ASSERT_TRUE(Ended(rest.op, STATUS_SUCCESS, 12));
    EXPECT_EQ(std::vector<uint8_t>(rest.buffer->begin(), rest.buffer->begin() + 12), Bytes(12, 9));
}

TEST_F(ReadTest, AZeroLengthTransferEndsAParkedReadWithATimeoutAndAFailedOneDoesNot)
{
    SetTimeouts(0, 0, 300);
    StartPump();
    ReadOp read = StartRead(100);
    Receive({});
    EXPECT_TRUE(Ended(read.op, STATUS_TIMEOUT));
    EXPECT_EQ(ext_->ReadRemaining, 0u);

    ReadOp parked = StartRead(100);
    Fail(ObexPhone::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(Parked(parked));
    sim::ke::Advance(300 * kMs);
    EXPECT_TRUE(Ended(parked.op, STATUS_TIMEOUT));
}

TEST_F(ReadTest, ACancelledParkedReadEndsCancelledAndItsTimerLaterCompletesNothing)
{
    SetTimeouts(0, 10, 100);
    ReadOp read = StartRead(1000);
    ASSERT_TRUE(Parked(read));
    EXPECT_TRUE(read.op->Cancel());
    EXPECT_TRUE(Ended(read.op, STATUS_CANCELLED));
    // The timer stays armed and finds nothing when it fires.
    EXPECT_TRUE(TimerArmed());
    sim::ke::Advance(10100 * kMs);
    EXPECT_FALSE(TimerArmed());
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- refusals: a failed or departing device (pending events cleared), and removal
// begun (the remove lock's status, nothing held); the ring is left alone.

TEST_F(ReadTest, AReadOnAFailedOrDepartingDeviceIsRefusedAndHoldsNothing)
{
    FillRing(Bytes(5));
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    ext_->DeviceFailure = DEVICE_FAILED_MARK;
    EXPECT_TRUE(Ended(StartRead(10).op, STATUS_DELETE_PENDING));
    EXPECT_EQ(ext_->PendingEvents, 0u);
    ext_->DeviceFailure = 0;
    ext_->PnpState = SurpriseRemoved;
    EXPECT_TRUE(Ended(StartRead(10).op, STATUS_DELETE_PENDING));
    ext_->PnpState = Started;

    ASSERT_EQ(IoAcquireRemoveLock(&ext_->RemoveLock, fdo_), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ext_->RemoveLock, fdo_);
    ReadOp read = StartRead(10);
    EXPECT_EQ(read.op->Returned(), STATUS_DELETE_PENDING);
    EXPECT_TRUE(Ended(read.op, STATUS_DELETE_PENDING));
    EXPECT_EQ(ext_->RxRing.Count, 5);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- reads when the pump cannot go on

// Every fallible call of a read's life on an open port (the pump's IRP and restart
// item, the write's context) fails once in turn: each read still ends, by data or by
// its timeout, and nothing is left counted, queued or allocated.
TEST_F(ReadTest, AReadEndsAndNothingLeaksWhicheverAllocationFails)
{
    int injected = 0;
    for (int n = 1;; n++) {
        sim::lowres::Reset();
        sim::lowres::FailNthOfAny(n);
        if (Phone().PendingCount(ObexPhone::kBulkIn) == 0) {
            StartPump();
        }
        SetTimeouts(0, 0, 50);
        ReadOp read = StartRead(10);
        auto write = StartWrite(std::vector<uint8_t>(10, 0x77));
        if (Phone().PendingCount(ObexPhone::kBulkOut) != 0) {
            ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
        }
        const bool pumping = Phone().PendingCount(ObexPhone::kBulkIn) != 0;
        if (pumping) {
            Receive(Bytes(5));
        } else {
            sim::ke::Advance(50 * kMs);
        }
        IO_STATUS_BLOCK io = read.op->Wait();
        if (pumping) {
            EXPECT_EQ(io.Status, STATUS_SUCCESS) << "failure point " << n;
            EXPECT_EQ(io.Information, 5u) << "failure point " << n;
        } else {
            EXPECT_EQ(io.Status, STATUS_TIMEOUT) << "failure point " << n;
            EXPECT_EQ(io.Information, 0u) << "failure point " << n;
        }
        IO_STATUS_BLOCK written = write->Wait();
        EXPECT_TRUE(written.Status == STATUS_SUCCESS || written.Status == STATUS_INSUFFICIENT_RESOURCES)
            << "failure point " << n << ": 0x" << std::hex << written.Status;
        sim::ke::WaitIdle();
        const bool failed = sim::lowres::Injected() != 0;
        sim::lowres::Reset();

        ASSERT_EQ(QueueLength(&ext_->ReadQueue), 0u) << "failure point " << n;
        ASSERT_EQ(ext_->RxRing.Count, 0) << "failure point " << n;
        const LONG inFlight = Phone().PendingCount(ObexPhone::kBulkIn) != 0 ? 1 : 0;
        ASSERT_EQ(ext_->OutstandingIo, 1 + inFlight) << "failure point " << n;
        ASSERT_FALSE(sim::verifier::Any()) << "failure point " << n;
        if (!failed) {
            break;
        }
        injected++;
    }
    EXPECT_GE(injected, 3);  // the pump's IRP, its restart item, the write's context
}

}  // namespace
}  // namespace usbtest

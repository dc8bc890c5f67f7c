// Waiting on serial events: answered at once from the pending events, or queued until
// received data, the end of the writes, a failed write or a new wait mask ends the
// wait. (Cancellation, and its races: cancel_test.cpp.)
#include "tests/usb/data_path.h"

namespace usbtest {
namespace {

using WaitMaskTest = DataPathTest;

// ---- answered at once

TEST_F(WaitMaskTest, AWaitIsAnsweredAtOnceWithAnEmptyMaskOrWithEventsPending)
{
    WaitOp empty = StartWait();
    EXPECT_EQ(empty.op->Returned(), STATUS_SUCCESS);
    EXPECT_TRUE(Answered(empty, 0));

    SetWaitMask(SERIAL_EV_RXCHAR);
    ext_->PendingEvents = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    WaitOp pending = StartWait();
    EXPECT_TRUE(Answered(pending, SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    EXPECT_EQ(ext_->PendingEvents, 0u);

    EXPECT_TRUE(Queued(StartWait()));
}

TEST_F(WaitMaskTest, AWaitWithAnOutputBufferBelowFourBytesIsRefused)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    EXPECT_TRUE(Ended(StartWait(3).op, STATUS_BUFFER_TOO_SMALL));
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXCHAR);
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
}

TEST_F(WaitMaskTest, ASecondWaitIsRefusedAndTheFirstStillCompletes)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp first = StartWait();
    ASSERT_TRUE(Queued(first));
    EXPECT_TRUE(Ended(StartWait().op, STATUS_INVALID_PARAMETER));
    EXPECT_TRUE(Queued(first));
    Receive({1, 2, 3});
    EXPECT_TRUE(Answered(first, SERIAL_EV_RXCHAR));
}

// ---- ended by received data

// Each event is reported once: only bytes arriving after a wait ended end the next.
TEST_F(WaitMaskTest, ReceivedBytesEndAWaitOnceAndOnlyNewBytesEndTheNext)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp first = StartWait();
    ASSERT_EQ(first.op->Returned(), STATUS_PENDING);
    Receive({1, 2, 3, 4, 5});
    EXPECT_TRUE(Answered(first, SERIAL_EV_RXCHAR));
    EXPECT_EQ(ext_->PendingEvents, 0u);

    WaitOp second = StartWait();
    EXPECT_TRUE(Queued(second));
    Receive({6});
    EXPECT_TRUE(Answered(second, SERIAL_EV_RXCHAR));
}

TEST_F(WaitMaskTest, TheEventWordFollowsTheMaskAndRxFlagNeedsNoEventCharacter)
{
    StartPump();
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    WaitOp both = StartWait();
    Receive({1});
    EXPECT_TRUE(Answered(both, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));

    SetWaitMask(SERIAL_EV_RXFLAG);
    ext_->PendingEvents = 0;
    WaitOp flag = StartWait();
    Receive({2});
    EXPECT_TRUE(Answered(flag, SERIAL_EV_RXFLAG));
}

TEST_F(WaitMaskTest, AReadThatTakesEveryByteLeavesNoReceiveEvent)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    StartPump();
    WaitOp wait = StartWait();
    ReadOp read = StartRead(100);
    Receive({1, 2, 3});
    ASSERT_TRUE(read.op->Done());
    EXPECT_EQ(read.op->Status().Information, 3u);
    EXPECT_TRUE(Queued(wait));
    EXPECT_EQ(ext_->PendingEvents, 0u);
}

TEST_F(WaitMaskTest, Rx80FullIsRaisedFrom820000BytesInTheRingAndNotBefore)
{
    SetWaitMask(SERIAL_EV_RX80FULL);
    FillRing(std::vector<uint8_t>(819998, 0x33));
    StartPump();
    WaitOp wait = StartWait();
    Receive({1});
    ASSERT_EQ(ext_->RxRing.Count, 819999);
    EXPECT_TRUE(Queued(wait));
    EXPECT_EQ(ext_->PendingEvents, 0u);
    Receive({2});
    ASSERT_EQ(ext_->RxRing.Count, 820000);
    EXPECT_TRUE(Answered(wait, SERIAL_EV_RX80FULL));
}

// RXFLAG is assigned, not added: a pending RX80FULL goes once the ring is below the
// threshold again.
TEST_F(WaitMaskTest, RxFlagReplacesAPendingRx80FullOnceTheRingHasDrained)
{
    SetWaitMask(SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL);
    FillRing(std::vector<uint8_t>(819999, 0x33));
    StartPump();
    Receive({1});
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXFLAG | SERIAL_EV_RX80FULL);

    ReadOp read = StartRead(1000);
    ASSERT_EQ(read.op->Status().Information, 1000u);
    Receive({2});
    EXPECT_EQ(ext_->PendingEvents, static_cast<ULONG>(SERIAL_EV_RXFLAG));
    EXPECT_TRUE(Answered(StartWait(), SERIAL_EV_RXFLAG));
}

// ---- ended by the write path and by a new mask

TEST_F(WaitMaskTest, TheEndOfTheLastWriteEndsAWaitForTxEmptyAndIsNotRemembered)
{
    SetWaitMask(SERIAL_EV_TXEMPTY);
    WaitOp wait = StartWait();
    auto write = StartWrite(std::vector<uint8_t>(10, 0x5A));
    ASSERT_TRUE(Queued(wait));
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    ASSERT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(Answered(wait, SERIAL_EV_TXEMPTY));

    EXPECT_TRUE(Queued(StartWait()));
}

TEST_F(WaitMaskTest, AFailedWriteEndsAWaitWithTheLineEventsWhateverTheMask)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    auto write = StartWrite(std::vector<uint8_t>(10, 0x5A));
    Fail(ObexPhone::kBulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(Ended(write, STATUS_UNSUCCESSFUL));
    EXPECT_TRUE(Answered(wait, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD));
    EXPECT_EQ(ext_->PendingEvents, 0u);
}

TEST_F(WaitMaskTest, ANewWaitMaskEndsTheQueuedWaitWithNoEventsAndAnInvalidOneIsRefused)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    WaitOp wait = StartWait();
    ASSERT_TRUE(Queued(wait));
    SetWaitMask(0x2000, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Queued(wait));
    EXPECT_EQ(ext_->WaitMask, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    SetWaitMask(0x1FFF);
    EXPECT_TRUE(Answered(wait, 0));
    EXPECT_EQ(QueueLength(&ext_->WaitQueue), 0u);
}

// Pending events outlive a word delivered to nobody, but not a mask that drops them,
// nor a purge of the bytes they told of.
TEST_F(WaitMaskTest, PendingEventsGoWithTheMaskThatAskedForThemAndWithThePurgedBytes)
{
    ext_->PendingEvents = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
    {
        sim::ke::DriverCall call("event");
        EXPECT_FALSE(CompleteWaitOnMask(ext_, SERIAL_EV_TXEMPTY, FALSE));
    }
    EXPECT_EQ(ext_->PendingEvents, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_TRUE(Answered(StartWait(), SERIAL_EV_RXCHAR));

    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    sim::io::Request purge;
    purge.major = IRP_MJ_DEVICE_CONTROL;
    purge.ioControlCode = IOCTL_SERIAL_PURGE;
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    purge.input = &mask;
    purge.inputLength = sizeof(mask);
    ASSERT_EQ(sim::io::Call(fdo_, purge).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Queued(StartWait()));
}

}  // namespace
}  // namespace usbtest

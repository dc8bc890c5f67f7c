// Writes on an open port: chunks of 4096 bytes with the zero-length-packet rule, strict
// order across queued writes, the accounting of a failed chunk, cancellation of queued
// writes, and writes that find no memory for their chain. The events a write raises
// (transmit empty, the line events of a failed chunk) are pinned with the wait tests.
#include "tests/usb/data_path.h"

namespace usbtest {
namespace {

class WriteTest : public DataPathTest {
protected:
    void SetUp() override
    {
        DataPathTest::SetUp();
        phone_->SetModel(scripted_ = std::make_shared<sim::usb::Scripted>(*phone_, ObexPhone::kBulkIn,
                                                                        ObexPhone::kBulkOut));
    }
    size_t InFlight() { return DataPathTest::InFlight(ObexPhone::kBulkOut); }
    ULONG InFlightLength() { return DataPathTest::InFlightLength(ObexPhone::kBulkOut); }
    void FailChunk(NTSTATUS status, USBD_STATUS usbd) { Fail(ObexPhone::kBulkOut, status, usbd); }

    std::shared_ptr<sim::usb::Scripted> scripted_;
};

// ---- chunks and the zero-length packet

TEST_F(WriteTest, TenThousandBytesGoOutAs4096And4096And1808)
{
    auto data = Bytes(10000);
    Op write = StartWrite(data);
    EXPECT_EQ(write->Returned(), STATUS_PENDING);
    EXPECT_EQ(ext_->OutQueueBytes, 10000);
    EXPECT_EQ(Drain(), (std::vector<ULONG>{4096, 4096, 1808}));

    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Status().Information, 10000u);
    EXPECT_EQ(scripted_->Bytes(), data);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(ext_->PerfStats.TransmittedCount, 10000u);
    EXPECT_FALSE(ext_->WriteActive);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

TEST_F(WriteTest, AWriteOfAMultipleOfThePacketSizeEndsWithAZeroLengthPacketWhenAsked)
{
    struct {
        size_t length;
        BOOLEAN zlp;
        std::vector<ULONG> transfers;
    } const cases[] = {
        {8192, TRUE, {4096, 4096, 0}},
        {512, TRUE, {512, 0}},
        {4096, TRUE, {4096, 0}},
        {513, TRUE, {513}},
        {4097, TRUE, {4096, 1}},
        {8192, FALSE, {4096, 4096}},
        {512, FALSE, {512}},
    };
    for (const auto &c : cases) {
        ext_->ZeroLengthPacket = c.zlp;
        Op write = StartWrite(Bytes(c.length));
        EXPECT_EQ(Drain(), c.transfers) << c.length << " bytes, zero-length packets " << int(c.zlp);
        ASSERT_TRUE(write->Done());
        EXPECT_EQ(write->Status().Information, c.length);
    }
    EXPECT_EQ(ext_->OutQueueBytes, 0);
}

TEST_F(WriteTest, QueuedWritesGoOutOneAfterTheOtherInTheirOrder)
{
    auto a = Bytes(5000, 1), b = Bytes(100, 101), c = Bytes(4096, 201);
    Op wa = StartWrite(a), wb = StartWrite(b), wc = StartWrite(c);
    EXPECT_EQ(wb->Returned(), STATUS_PENDING);
    EXPECT_EQ(ext_->OutQueueBytes, 5000 + 100 + 4096);
    EXPECT_EQ(QueueLength(&ext_->WriteQueue), 2u);

    std::vector<ULONG> lengths;
    std::vector<int> doneAfter;  // writes finished after each transfer
    while (InFlight() > 0) {
        EXPECT_EQ(InFlight(), 1u) << "two transfers at once";
        lengths.push_back(InFlightLength());
        ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
        doneAfter.push_back(int(wa->Done()) + int(wb->Done()) + int(wc->Done()));
        // Never a later write done before an earlier one.
        EXPECT_TRUE(!wb->Done() || wa->Done());
        EXPECT_TRUE(!wc->Done() || wb->Done());
    }
    EXPECT_EQ(lengths, (std::vector<ULONG>{4096, 904, 100, 4096, 0}));
    EXPECT_EQ(doneAfter, (std::vector<int>{0, 1, 2, 2, 3}));
    std::vector<uint8_t> all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    EXPECT_EQ(scripted_->Bytes(), all);
    EXPECT_EQ(wc->Status().Information, 4096u);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_FALSE(ext_->WriteActive);
}

TEST_F(WriteTest, AnEmptyWriteSucceedsAtOnceUnlessTheDeviceIsUnavailable)
{
    Op empty = StartWrite({});
    ASSERT_TRUE(empty->Done());
    EXPECT_EQ(empty->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(InFlight(), 0u);

    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    ext_->DeviceFailure = DEVICE_FAILED_MARK;
    Op refused = StartWrite({});
    ASSERT_TRUE(refused->Done());
    EXPECT_EQ(refused->Status().Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(ext_->PendingEvents, 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- failed chunks

TEST_F(WriteTest, AChunkFailingWithNotConnectedEndsTheWriteAndKillsTheDevice)
{
    Op write = StartWrite(Bytes(10000));
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    FailChunk(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);

    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(write->Status().Information, 0u);
    // 4096 went out; what did not stays counted until the next first open.
    EXPECT_EQ(ext_->OutQueueBytes, 5904);
    EXPECT_EQ(ext_->PerfStats.TransmittedCount, 0u);
    EXPECT_EQ(ext_->ErrorCount, 1);
    EXPECT_EQ(ext_->DeviceFailure, ULONG(DEVICE_FAILED_MARK));
    EXPECT_EQ(InFlight(), 0u);

    Op next = StartWrite(Bytes(10));
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Status().Status, STATUS_DELETE_PENDING);
}

TEST_F(WriteTest, AnOrdinaryFailureCountsAnErrorAndTheNextQueuedWriteStillGoes)
{
    ext_->ErrorCount = 5;
    Op first = StartWrite(Bytes(100));
    Op second = StartWrite(Bytes(200));
    FailChunk(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);

    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status().Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext_->ErrorCount, 6);
    EXPECT_FALSE(IsDeviceUnavailable(ext_));
    EXPECT_EQ(ext_->OutQueueBytes, 100 + 200);
    ASSERT_EQ(InFlight(), 1u);
    EXPECT_EQ(InFlightLength(), 200u);
    Drain();
    EXPECT_EQ(second->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->OutQueueBytes, 100);
}

TEST_F(WriteTest, TheFailureThatTakesTheErrorCountPastTwentyKillsTheDevice)
{
    ext_->ErrorCount = 20;
    Op write = StartWrite(Bytes(100));
    FailChunk(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(ext_->ErrorCount, 21);
    EXPECT_TRUE(IsDeviceUnavailable(ext_));
}

TEST_F(WriteTest, AChainCutByCloseEndsWithTheBytesSentSoFar)
{
    Op write = StartWrite(Bytes(10000));
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    ext_->IsOpen = FALSE;
    KeReleaseSpinLock(&ext_->DataLock, irql);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));

    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Status().Information, 4096u);
    EXPECT_EQ(ext_->OutQueueBytes, 10000 - 4096);
    EXPECT_EQ(InFlight(), 0u);
}

// ---- cancellation

TEST_F(WriteTest, CancellingAQueuedWriteLeavesTheRunningChainAlone)
{
    Op running = StartWrite(Bytes(5000));
    Op cancelled = StartWrite(Bytes(300));
    Op last = StartWrite(Bytes(700));
    EXPECT_EQ(ext_->OutQueueBytes, 6000);

    EXPECT_TRUE(cancelled->Cancel());
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Status().Information, 0u);
    EXPECT_EQ(ext_->OutQueueBytes, 5700);
    EXPECT_EQ(QueueLength(&ext_->WriteQueue), 1u);

    EXPECT_EQ(Drain(), (std::vector<ULONG>{4096, 904, 700}));
    EXPECT_EQ(running->Status().Information, 5000u);
    EXPECT_EQ(last->Status().Information, 700u);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- no memory for a chain

TEST_F(WriteTest, AWriteWithoutMemoryForItsChainFailsAndTheNextWriteStillGoes)
{
    sim::lowres::FailNth("ExAllocatePool", 1);
    Op starved = StartWrite(Bytes(100));
    EXPECT_EQ(sim::lowres::Injected(), 1);
    ASSERT_TRUE(starved->Done());
    EXPECT_EQ(starved->Returned(), STATUS_PENDING);
    EXPECT_EQ(starved->Status().Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(starved->Status().Information, 0u);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_FALSE(ext_->WriteActive);

    Op next = StartWrite(Bytes(50));
    EXPECT_EQ(Drain(), (std::vector<ULONG>{50}));
    EXPECT_EQ(next->Status().Status, STATUS_SUCCESS);
}

TEST_F(WriteTest, AQueuedWriteWithoutMemoryForItsChainIsSkippedNotStranded)
{
    Op running = StartWrite(Bytes(100));
    Op starved = StartWrite(Bytes(200));
    Op after = StartWrite(Bytes(300));
    sim::lowres::FailNth("ExAllocatePool", 1);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_EQ(sim::lowres::Injected(), 1);

    ASSERT_TRUE(starved->Done());
    EXPECT_EQ(starved->Status().Status, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(InFlight(), 1u) << "the write after the failed one was left queued";
    EXPECT_EQ(InFlightLength(), 300u);
    EXPECT_EQ(ext_->OutQueueBytes, 300);
    Drain();
    EXPECT_EQ(after->Status().Information, 300u);
    EXPECT_FALSE(ext_->WriteActive);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

TEST_F(WriteTest, WhenTheLastQueuedWriteFindsNoMemoryTheChainStops)
{
    Op running = StartWrite(Bytes(100));
    Op starved = StartWrite(Bytes(200));
    sim::lowres::FailNth("ExAllocatePool", 1);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    ASSERT_TRUE(starved->Done());
    EXPECT_EQ(starved->Status().Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ext_->WriteActive);
    EXPECT_EQ(InFlight(), 0u);

    Op next = StartWrite(Bytes(10));
    EXPECT_EQ(Drain(), (std::vector<ULONG>{10}));
    EXPECT_EQ(next->Status().Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace usbtest

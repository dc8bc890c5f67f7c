// Writes on an open port: chunks of 4096 bytes with the zero-length-packet rule, strict
// order across queued writes, the accounting of a failed chunk, cancellation of queued
// writes, and writes that find no memory for their chain. The events a write raises
// (transmit empty, the line events of a failed chunk) are pinned with the wait tests.
#include "tests/usb/data_path.h"

#include "sim/po/po.h"

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
    void FailChunk(NTSTATUS status, USBD_STATUS usbd, std::optional<ULONG> length = 0)
    {
        Fail(ObexPhone::kBulkOut, status, usbd, length);
    }

    std::shared_ptr<sim::usb::Scripted> scripted_;
};

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
        EXPECT_TRUE(Ended(write, STATUS_SUCCESS, c.length));
        if (c.zlp) {
            EXPECT_EQ(Phone().HeldAtPhone(ObexPhone::kBulkOut), 0u) << c.length << " bytes stuck at the phone";
        }
    }
    EXPECT_EQ(ext_->OutQueueBytes, 0);
}

class FullSpeedWriteTest : public WriteTest {
protected:
    void SetUp() override
    {
        speed_ = sim::usb::Speed::Full;
        WriteTest::SetUp();
    }
};

// A full-speed phone's bulk-out endpoint takes 64-byte packets: a write of ten of them
// ends with a zero-length packet, one of 600 bytes ends on a short packet by itself.
TEST_F(FullSpeedWriteTest, TheZeroLengthPacketFollowsTheEndpointsOwnPacketSize)
{
    for (const auto &[length, transfers] : {std::pair<size_t, std::vector<ULONG>>{640, {640, 0}}, {600, {600}}}) {
        Op write = StartWrite(Bytes(length));
        EXPECT_EQ(Drain(), transfers) << length << " bytes";
        EXPECT_TRUE(Ended(write, STATUS_SUCCESS, length));
    }
}

// 10000 bytes go out as 4096, 4096 and 1808. A chunk the bus reports short is sent on
// from the first byte not taken; a count reported beyond the chunk is cut to what the
// chunk asked for.
TEST_F(WriteTest, EveryByteGoesOutOnceInOrderWhateverLengthTheBusReportsForAChunk)
{
    struct {
        const char *name;
        std::optional<ULONG> moved, reported;
        std::vector<ULONG> asked;
    } const rows[] = {
        {"whole", std::nullopt, std::nullopt, {4096, 4096, 1808}},
        {"short", 1000, std::nullopt, {4096, 4096, 4096, 808}},
        {"over-reported", std::nullopt, 8000, {4096, 4096, 1808}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        phone_->SetModel(scripted_ = std::make_shared<sim::usb::Scripted>(*phone_, ObexPhone::kBulkIn,
                                                                        ObexPhone::kBulkOut));
        auto data = Bytes(10000);
        Op write = StartWrite(data);
        EXPECT_EQ(write->Returned(), STATUS_PENDING);
        EXPECT_EQ(ext_->OutQueueBytes, 10000);
        sim::usb::Device::Result first;
        first.length = row.moved;
        first.reported = row.reported;
        std::vector<ULONG> asked{InFlightLength()};
        ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut, first));
        for (ULONG length : Drain()) {
            asked.push_back(length);
        }
        EXPECT_EQ(asked, row.asked);
        EXPECT_TRUE(Ended(write, STATUS_SUCCESS, 10000));
        EXPECT_EQ(scripted_->Bytes(), data);
        EXPECT_EQ(ext_->OutQueueBytes, 0);
        // The count runs on across writes.
        EXPECT_EQ(ext_->PerfStats.TransmittedCount, 10000u * ULONG(&row - rows + 1));
        EXPECT_FALSE(ext_->WriteActive);
        EXPECT_EQ(ext_->OutstandingIo, 1);
    }
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
    EXPECT_TRUE(Ended(wc, STATUS_SUCCESS, 4096));
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_FALSE(ext_->WriteActive);
}

TEST_F(WriteTest, AnEmptyWriteSucceedsAtOnceUnlessTheDeviceIsUnavailable)
{
    EXPECT_TRUE(Ended(StartWrite({}), STATUS_SUCCESS));
    EXPECT_EQ(InFlight(), 0u);
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    ext_->DeviceFailure = DEVICE_FAILED_MARK;
    EXPECT_TRUE(Ended(StartWrite({}), STATUS_DELETE_PENDING));
    EXPECT_EQ(ext_->PendingEvents, 0u);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- failed chunks: each counts an error; a dead or vanished phone, or the failure
// that takes the count past twenty, kills the device. A failed URB under a successful
// IRP is a failed chunk too. The failed write leaves OutQueueBytes whole; the next
// queued write still goes unless the device is dead, after a stall once the pipe is reset.

struct ChunkFailure {
    const char *name;
    LONG errorsBefore;
    NTSTATUS status;
    USBD_STATUS usbd;
    bool dead;
    bool halt = false;  // the endpoint really halts: the next write needs the pipe reset
};

class ChunkFailureTest : public WriteTest, public ::testing::WithParamInterface<ChunkFailure> {};

TEST_P(ChunkFailureTest, AFailedChunkCountsAnErrorAndKillsTheDeviceWhenFatal)
{
    const ChunkFailure &row = GetParam();
    ext_->ErrorCount = row.errorsBefore;
    SetTimeouts(0, 0, 300);
    ReadOp read = StartRead(100);
    ASSERT_TRUE(Parked(read));
    Op first = StartWrite(Bytes(5000));
    Op second = StartWrite(Bytes(200));
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    if (row.halt) {
        Phone().Halt(ObexPhone::kBulkOut);
        ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
        sim::ke::WaitIdle();
    } else {
        // A URB failing under a successful IRP fails the chunk even when its bytes moved.
        FailChunk(row.status, row.usbd, NT_SUCCESS(row.status) ? std::nullopt : std::optional<ULONG>(0));
    }
    EXPECT_TRUE(Ended(first, NT_SUCCESS(row.status) ? STATUS_UNSUCCESSFUL : row.status));
    EXPECT_EQ(ext_->ErrorCount, row.errorsBefore + 1);
    EXPECT_EQ(IsDeviceUnavailable(ext_), row.dead);
    EXPECT_EQ(ext_->PerfStats.TransmittedCount, 0u);
    if (row.dead) {
        // A dead device ends at once what it holds, as it refuses what comes after.
        EXPECT_EQ(ext_->DeviceFailure, ULONG(DEVICE_FAILED_MARK));
        EXPECT_TRUE(Ended(second, STATUS_DELETE_PENDING));
        EXPECT_TRUE(Ended(read.op, STATUS_DELETE_PENDING));
        EXPECT_EQ(ext_->OutQueueBytes, 0);
        EXPECT_EQ(InFlight(), 0u);
        EXPECT_TRUE(Ended(StartWrite(Bytes(10)), STATUS_DELETE_PENDING));
        return;
    }
    EXPECT_EQ(ext_->OutQueueBytes, 200);
    // A read waiting meanwhile still ends when its timeouts say: an application blocked
    // in ReadFile must not wait for ever on a write's failure.
    sim::ke::Advance(300 * kMs);
    EXPECT_TRUE(Ended(read.op, STATUS_TIMEOUT));
    ASSERT_EQ(InFlight(), 1u);
    EXPECT_EQ(InFlightLength(), 200u);
    Drain();
    EXPECT_TRUE(Ended(second, STATUS_SUCCESS, 200));
    EXPECT_EQ(ext_->OutQueueBytes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChunkFailureTest,
    ::testing::Values(ChunkFailure{"Ordinary", 5, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, false},
                      ChunkFailure{"Stall", 5, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false, true},
                      ChunkFailure{"Twentieth", 19, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, false},
                      ChunkFailure{"TwentyFirst", 20, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true},
                      ChunkFailure{"UrbOnly", 5, STATUS_SUCCESS, USBD_STATUS_CRC, false},
                      ChunkFailure{"NotConnected", 0, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, true},
                      ChunkFailure{"DataError", 0, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DATA_OVERRUN, true}),
    [](const ::testing::TestParamInfo<ChunkFailure> &info) { return std::string(info.param.name); });

// A query for a sleep that never came leaves failures uncounted: with the phone pulled
// out, each queued write is refused at once and the next starts, all of them on the
// stack of one completion unless they start one after the other.
TEST_F(WriteTest, HundredsOfWritesRefusedAtOnceEndWithoutGrowingTheStack)
{
    ASSERT_EQ(sim::po::SendSystemRequest(node_->Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    std::vector<Op> writes;
    for (int i = 0; i < 300; i++) {
        writes.push_back(StartWrite(Bytes(10)));
    }
    Phone().Unplug();
    sim::ke::WaitIdle();
    for (const Op &write : writes) {
        EXPECT_TRUE(Ended(write, STATUS_DEVICE_NOT_CONNECTED));
    }
    EXPECT_EQ(ext_->OutQueueBytes, 0);
}

TEST_F(WriteTest, AChainCutByCloseEndsWithTheBytesSentSoFar)
{
    Op write = StartWrite(Bytes(10000));
    MarkClosed();
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_TRUE(Ended(write, STATUS_SUCCESS, 4096));
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(InFlight(), 0u);
}

// "WriteFile, FlushFileBuffers, CloseHandle" loses nothing: the flush ends after the
// writes queued before it, and at once when none is queued.
TEST_F(WriteTest, AFlushEndsWhenTheWritesBeforeItHaveEnded)
{
    sim::io::Request flush;
    flush.major = IRP_MJ_FLUSH_BUFFERS;
    EXPECT_TRUE(Ended(sim::io::Send(fdo_, flush), STATUS_SUCCESS));
    Op first = StartWrite(Bytes(5000));
    Op flushed = sim::io::Send(fdo_, flush);
    Op after = StartWrite(Bytes(10));
    EXPECT_EQ(flushed->Returned(), STATUS_PENDING);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_FALSE(flushed->Done());
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_TRUE(Ended(first, STATUS_SUCCESS, 5000));
    EXPECT_TRUE(Ended(flushed, STATUS_SUCCESS));
    EXPECT_FALSE(after->Done());
    EXPECT_EQ(Drain(), (std::vector<ULONG>{10}));
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

TEST_F(WriteTest, CancellingAQueuedWriteLeavesTheRunningChainAlone)
{
    Op running = StartWrite(Bytes(5000));
    Op cancelled = StartWrite(Bytes(300));
    Op last = StartWrite(Bytes(700));
    EXPECT_TRUE(cancelled->Cancel());
    EXPECT_TRUE(Ended(cancelled, STATUS_CANCELLED));
    EXPECT_EQ(ext_->OutQueueBytes, 5700);
    EXPECT_EQ(Drain(), (std::vector<ULONG>{4096, 904, 700}));
    EXPECT_TRUE(Ended(running, STATUS_SUCCESS, 5000));
    EXPECT_TRUE(Ended(last, STATUS_SUCCESS, 700));
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(ext_->OutstandingIo, 1);
}

// ---- no memory for a chain: the write fails, and whatever is queued behind it goes
// (claimed by the failed one's caller, not stranded); with nothing behind, the chain
// stops and the next write starts it again.

TEST_F(WriteTest, AWriteWithoutMemoryForItsChainFailsAndTheWritesAfterItStillGo)
{
    for (int running : {0, 1}) {
        for (int behind : {0, 1}) {
            SCOPED_TRACE(testing::Message() << running << " running, " << behind << " behind");
            Op first = running ? StartWrite(Bytes(100)) : nullptr;
            if (!running) {
                sim::lowres::FailNth("ExAllocatePool", 1);
            }
            Op starved = StartWrite(Bytes(200));
            Op after = behind ? StartWrite(Bytes(300)) : nullptr;
            if (running) {
                sim::lowres::FailNth("ExAllocatePool", 1);
                ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
            }
            EXPECT_EQ(sim::lowres::Injected(), 1);
            sim::lowres::Reset();
            EXPECT_EQ(starved->Returned(), STATUS_PENDING);
            EXPECT_TRUE(Ended(starved, STATUS_INSUFFICIENT_RESOURCES));
            if (behind) {
                ASSERT_EQ(InFlight(), 1u) << "the write after the failed one was left queued";
                EXPECT_EQ(ext_->OutQueueBytes, 300);
                EXPECT_EQ(Drain(), (std::vector<ULONG>{300}));
                EXPECT_TRUE(Ended(after, STATUS_SUCCESS, 300));
            }
            EXPECT_EQ(InFlight(), 0u);
            EXPECT_FALSE(ext_->WriteActive);
            EXPECT_EQ(ext_->OutQueueBytes, 0);
            Op next = StartWrite(Bytes(10));
            EXPECT_EQ(Drain(), (std::vector<ULONG>{10}));
            EXPECT_TRUE(Ended(next, STATUS_SUCCESS, 10));
            EXPECT_EQ(ext_->OutstandingIo, 1);
        }
    }
}

}  // namespace
}  // namespace usbtest

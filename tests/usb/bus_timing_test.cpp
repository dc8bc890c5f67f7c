// The bus's timing: in virtual time, the slots each transfer takes and the slots a pipe
// leaves idle; in real time, bulk data moves no faster than the bus. Only lower bounds
// are asserted in real time, so a loaded machine cannot fail it.
#include "tests/usb/bus_test.h"

#include "sim/ke/ke.h"

#include <chrono>

namespace bustest {
namespace {

class BusSlots : public BusTest {
protected:
    void PlugSelected(Speed speed)
    {
        Plug(speed);
        SelectObex(&in_, &out_);
    }
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

TEST_F(BusSlots, EveryPacketTakesASlotAZeroLengthOneToo)
{
    struct Case {
        Speed speed;
        bool in;
        size_t bytes;
        uint64_t slots;
    } cases[] = {
        {Speed::Full, false, 4096, 64}, {Speed::Full, false, 100, 2}, {Speed::Full, false, 0, 1},
        {Speed::Full, true, 100, 2},    {Speed::Full, true, 128, 3},  // two full and a zero-length one
        {Speed::High, false, 4096, 8},  {Speed::High, true, 512, 2},  {Speed::High, true, 4000, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.speed == Speed::High ? "high " : "full ")
                                        << (c.in ? "IN " : "OUT ") << c.bytes);
        PlugSelected(c.speed);
        if (c.in) {
            phone_->Send(kIn, Bytes(c.bytes));
            EXPECT_EQ(ReadData(in_, 4096).size(), c.bytes);
        } else {
            EXPECT_EQ(WriteNow(out_, Bytes(c.bytes)), STATUS_SUCCESS);
        }
        auto slots = phone_->Slots();
        EXPECT_EQ(slots.pipes[c.in ? kIn : kOut].used, c.slots);
        EXPECT_EQ(slots.used, c.slots);
    }
}

TEST_F(BusSlots, APipeWithNothingPendingLeavesSlotsIdleAndInAndOutShareTheBus)
{
    PlugSelected(Speed::Full);
    // Two 64-byte writes 1 ms apart: the second arrives 19 slots after the first began.
    ASSERT_EQ(WriteNow(out_, Bytes(64)), STATUS_SUCCESS);
    sim::ke::Advance(10000);
    ASSERT_EQ(WriteNow(out_, Bytes(64)), STATUS_SUCCESS);
    // A read pending 1 ms before the phone has anything waits, it is not idle.
    auto read = Read(in_, 4096);
    phone_->WaitIdle();
    sim::ke::Advance(10000);
    phone_->Send(kIn, Bytes(10));
    ASSERT_EQ(read->op->Wait().Status, STATUS_SUCCESS);
    // Data waiting 1 ms for a read is lost to the pipe.
    phone_->Send(kIn, Bytes(10));
    sim::ke::Advance(10000);
    EXPECT_EQ(ReadData(in_, 4096).size(), 10u);

    auto slots = phone_->Slots();
    EXPECT_EQ(slots.pipes[kOut].used, 2u);
    EXPECT_EQ(slots.pipes[kOut].idle, 18u);
    EXPECT_EQ(slots.pipes[kIn].used, 2u);
    EXPECT_EQ(slots.pipes[kIn].waiting, 19u);
    EXPECT_EQ(slots.pipes[kIn].idle, 18u);
    EXPECT_EQ(slots.slots, 3u * 19 + 1);
    EXPECT_EQ(slots.used, 4u);
    phone_->ResetSlots();
    EXPECT_EQ(phone_->Slots().used, 0u);
}

class BusTiming : public BusTest {
protected:
    void SetUp() override
    {
        options_.virtualTime = false;
        BusTest::SetUp();
    }

    // Seconds taken to write `transfers` transfers of 4096 bytes back to back.
    double WriteAll(Speed speed, int transfers)
    {
        Plug(speed);
        USBD_PIPE_HANDLE in, out;
        SelectObex(&in, &out);
        phone_->UseTimingModel(true);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < transfers; i++) {
            EXPECT_EQ(Write(out, Bytes(4096))->op->Wait().Status, STATUS_SUCCESS);
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(BusTiming, BulkWritesTakeAtLeastTheirTimeOnTheBus)
{
    const int transfers = 32;
    const double bytes = transfers * 4096.0;
    EXPECT_GE(WriteAll(Speed::Full, transfers), 0.95 * bytes / 1216000.0);
    EXPECT_GE(WriteAll(Speed::High, transfers), 0.95 * bytes / 53248000.0);
}

}  // namespace
}  // namespace bustest

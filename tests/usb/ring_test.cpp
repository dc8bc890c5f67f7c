// The receive ring's arithmetic at the wrap and when full. (A transfer cut short by a
// nearly full ring and one dropped whole by a full one: PumpTest, through the driver.)
#include "usb/usb.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

namespace {

std::vector<UCHAR> Pattern(size_t n, UCHAR start)
{
    std::vector<UCHAR> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

class RingTest : public ::testing::Test {
protected:
    // 1 MB: too big for the stack, as it is in the device extension.
    std::unique_ptr<RX_RING> ring_ = std::make_unique<RX_RING>();
    void SetUp() override { ring_->Head = ring_->Tail = ring_->Count = 0; }
    void Place(LONG index)
    {
        ring_->Head = ring_->Tail = index;
        ring_->Count = 0;
    }
};

TEST_F(RingTest, AReadForMoreThanIsStoredDeliversWhatThereIs)
{
    auto in = Pattern(10, 3);
    RingAppend(ring_.get(), in.data(), 10);
    std::vector<UCHAR> out(64, 0xEE);
    LONG copied = 0;
    RingRead(out.data(), 64, &copied, ring_.get());
    EXPECT_EQ(copied, 10);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_EQ(out[10], 0xEE);  // nothing written past what was delivered
    EXPECT_EQ(ring_->Count, 0);
}

TEST_F(RingTest, AFullRingFilledAndDrainedInOddChunksKeepsEveryByteInOrder)
{
    // Chunk sizes that do not divide the ring size walk the indices through every
    // kind of wrap; the invariant Head == (Tail + Count) mod size must hold throughout.
    Place(RX_RING_SIZE - 3);
    std::vector<UCHAR> written, read;
    UCHAR next = 0;
    bool filled = false;
    for (int round = 0; round < 600; round++) {
        auto in = Pattern(4093, next);
        next = static_cast<UCHAR>(next + 4093);
        ULONG stored = RingAppend(ring_.get(), in.data(), 4093);
        written.insert(written.end(), in.begin(), in.begin() + stored);
        filled |= ring_->Count == RX_RING_SIZE;
        std::vector<UCHAR> out(1777);
        LONG copied = 0;
        RingRead(out.data(), 1777, &copied, ring_.get());
        read.insert(read.end(), out.begin(), out.begin() + copied);
        ASSERT_EQ(ring_->Head, (ring_->Tail + ring_->Count) % RX_RING_SIZE);
        ASSERT_LE(ring_->Count, RX_RING_SIZE);
    }
    EXPECT_TRUE(filled);  // so appends were cut short and dropped on the way
    while (ring_->Count > 0) {
        std::vector<UCHAR> out(5000);
        LONG copied = 0;
        RingRead(out.data(), 5000, &copied, ring_.get());
        read.insert(read.end(), out.begin(), out.begin() + copied);
    }
    EXPECT_EQ(read, written);
}

}  // namespace

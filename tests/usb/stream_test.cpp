// A byte stream through the loopback phone: one thread writes, another reads, and every
// byte must come back once and in order. Real threads and the bus's own completion
// thread; the reads wait without a timer, so no clock has to move.
#include "tests/support/port_bench.h"

#include "usb/usb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using sim::usb::ObexPhone;

// The n-th byte of the stream: not periodic at any transfer or ring size.
uint8_t StreamByte(uint64_t n)
{
    return static_cast<uint8_t>((n * 131) ^ (n >> 9) ^ (n >> 17));
}

class StreamTest : public bench::PortTest {};

TEST_F(StreamTest, SeveralMegabytesComeBackFromTheLoopbackPhoneInOrder)
{
    constexpr uint64_t kTotal = 6u * 1024 * 1024;
    // The writer keeps at most this much ahead of the reader, well within the ring, so
    // that nothing is dropped for lack of room.
    constexpr uint64_t kAhead = 256u * 1024;
    // Write lengths: short ones, chunk-sized ones and multiples of 512 (which end with a
    // zero-length packet, echoed as an empty transfer).
    const ULONG lengths[] = {1, 511, 512, 4096, 4097, 10000, 8192, 333, 1024, 65536, 7};

    phone_->SetModel(std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut));
    phone_->SetManual(false);
    SetTimeouts(0, 0, 0);
    StartPump();

    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> read{0};
    std::atomic<bool> failed{false};

    std::thread writer([&] {
        uint64_t n = 0;
        for (size_t i = 0; n < kTotal && !failed; i++) {
            ULONG length = static_cast<ULONG>(std::min<uint64_t>(lengths[i % std::size(lengths)], kTotal - n));
            while (n + length - read.load() > kAhead && !failed) {
                std::this_thread::yield();
            }
            std::vector<uint8_t> data(length);
            for (ULONG k = 0; k < length; k++) {
                data[k] = StreamByte(n + k);
            }
            IO_STATUS_BLOCK io = StartWrite(data)->Wait();
            if (io.Status != STATUS_SUCCESS || io.Information != length) {
                ADD_FAILURE() << "write at " << n << ": status 0x" << std::hex << io.Status << std::dec
                              << ", " << io.Information << " of " << length;
                failed = true;
            }
            n += length;
            written = n;
        }
    });

    std::thread reader([&] {
        uint64_t n = 0;
        while (n < kTotal && !failed) {
            ReadOp op = StartRead(8192);
            // Lost bytes would leave the last read parked for ever: give up on it after
            // a generous real-time bound instead of hanging.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!op.op->Done() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (!op.op->Done()) {
                ADD_FAILURE() << "no data for 30 s after byte " << n;
                failed = true;
                op.op->Cancel();
            }
            IO_STATUS_BLOCK io = op.op->Wait();
            if (failed) {
                break;
            }
            // A zero-length packet with nothing in the ring ends a read with no bytes.
            if (io.Status == STATUS_TIMEOUT && io.Information == 0) {
                continue;
            }
            if (io.Status != STATUS_SUCCESS) {
                ADD_FAILURE() << "read at " << n << ": status 0x" << std::hex << io.Status;
                failed = true;
                break;
            }
            for (ULONG_PTR k = 0; k < io.Information; k++) {
                if ((*op.buffer)[k] != StreamByte(n + k)) {
                    ADD_FAILURE() << "byte " << n + k << " is " << int((*op.buffer)[k]) << ", not "
                                  << int(StreamByte(n + k));
                    failed = true;
                    break;
                }
            }
            n += io.Information;
            read = n;
        }
    });

    writer.join();
    reader.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(written.load(), kTotal);
    EXPECT_EQ(read.load(), kTotal);
    EXPECT_EQ(ext_->RxRing.Count, 0);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
    EXPECT_EQ(ext_->PerfStats.TransmittedCount, kTotal);
    EXPECT_EQ(ext_->PerfStats.ReceivedCount, kTotal);
    EXPECT_EQ(ext_->ErrorCount, 0);
}

}  // namespace

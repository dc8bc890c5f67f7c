// The bus's slots and the waits for them (see bus_timing.h).
#include "sim/usb/bus_timing.h"

#include "sim/ke/ke.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace sim::usb {

namespace {

// A sleep ends this long before the deadline at the latest; the rest is spun. A
// thread's sleeps overshoot by its timer slack (50 us by default, 1 ns on the threads
// that wait here) plus the wake-up latency of a busy machine.
constexpr int64_t kSpinNs = 30'000;

}  // namespace

BusTiming::BusTiming(Speed speed)
    : frameNs_(speed == Speed::High ? 125'000 : 1'000'000),
      slotsPerFrame_(speed == Speed::High ? 13 : 19),
      packetSize_(BulkPacketSize(speed))
{
    Reset();
}

int64_t BusTiming::Now(bool real)
{
    if (!real) {
        return ke::Now() * 100;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BusTiming::WaitUntil(int64_t deadline)
{
    static thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
    for (;;) {
        const int64_t left = deadline - Now(true);
        if (left <= 0) {
            return;
        }
        if (left > kSpinNs) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(left - kSpinNs));
        } else {
            __builtin_ia32_pause();
        }
    }
}

int64_t BusTiming::SlotStart(int64_t slot) const
{
    return slot / slotsPerFrame_ * frameNs_ + slot % slotsPerFrame_ * frameNs_ / slotsPerFrame_;
}

int64_t BusTiming::SlotAt(int64_t ns) const
{
    if (ns <= 0) {
        return 0;
    }
    int64_t slot = ns / frameNs_ * slotsPerFrame_ + (ns % frameNs_) * slotsPerFrame_ / frameNs_;
    while (SlotStart(slot) < ns) {
        slot++;
    }
    return slot;
}

uint32_t BusTiming::PacketsFor(uint64_t bytes, bool terminated) const
{
    const uint64_t full = bytes / packetSize_;
    const bool shortOne = bytes % packetSize_ != 0 || (terminated && full * packetSize_ == bytes);
    return static_cast<uint32_t>(full + (shortOne ? 1 : 0));
}

int64_t BusTiming::Carry(uint8_t endpoint, bool in, int64_t arrival, int64_t ready,
                         uint32_t packets, uint64_t bytes)
{
    const int64_t arrived = SlotAt(arrival);
    const int64_t dataFrom = in ? SlotAt(ready) : arrived;
    const int64_t begin = std::max({cursor_, arrived, dataFrom});
    if (firstSlot_ < 0) {
        firstSlot_ = begin;
    }
    SlotCounts::Pipe &pipe = counts_.pipes[endpoint];
    PipeClock &clock = clocks_[endpoint];
    // Between the last transfer's end and this one's arrival nothing of the host's was
    // pending on the pipe: slots lost, IN while the phone had data waiting, OUT always
    // (before a pipe's first counted transfer nothing says the host had anything).
    if (in) {
        const int64_t lostFrom = std::max(clock.lastEnd, dataFrom);
        const int64_t pendingFrom = std::max(clock.lastEnd, arrived);
        pipe.idle += static_cast<uint64_t>(std::max<int64_t>(0, arrived - lostFrom));
        pipe.waiting += static_cast<uint64_t>(std::max<int64_t>(0, dataFrom - pendingFrom));
    } else if (clock.lastEnd >= 0) {
        pipe.idle += static_cast<uint64_t>(std::max<int64_t>(0, arrived - clock.lastEnd));
    }
    cursor_ = begin + packets;
    clock.lastEnd = cursor_;
    pipe.transfers++;
    pipe.bytes += bytes;
    pipe.used += packets;
    counts_.used += packets;
    counts_.slots = static_cast<uint64_t>(cursor_ - firstSlot_);
    return SlotStart(cursor_);
}

SlotCounts BusTiming::Counts() const
{
    return counts_;
}

void BusTiming::Reset()
{
    counts_ = SlotCounts{};
    counts_.slotsPerSecond = static_cast<uint64_t>(slotsPerFrame_ * (1'000'000'000 / frameNs_));
    counts_.packetSize = packetSize_;
    firstSlot_ = -1;
    clocks_.clear();
}

}  // namespace sim::usb

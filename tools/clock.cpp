#include "tools/clock.h"

#include "sim/ke/ke.h"

#include <chrono>

namespace tool {

namespace {
// Samples of no activity, one a millisecond, before the clock jumps. Long enough for
// a thread that was just woken to run and take a lock even on a loaded machine (a
// phone model working out its answer takes no lock), short enough that a session
// with dozens of timeouts still ends in a moment.
constexpr int kQuietSamples = 10;
}  // namespace

void AutoClock::Start()
{
    if (thread_.joinable() || !sim::ke::VirtualTime()) {
        return;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void AutoClock::Stop()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void AutoClock::Run()
{
    sim::ke::NameThread("clock");
    uint64_t last = sim::ke::Activity();
    int quiet = 0;
    while (!stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint64_t now = sim::ke::Activity();
        if (now != last) {
            last = now;
            quiet = 0;
            continue;
        }
        if (++quiet < kQuietSamples) {
            continue;
        }
        const int64_t due = sim::ke::NextTimerDue();
        if (due >= 0) {
            const int64_t step = due - sim::ke::Now();
            sim::ke::Advance(step > 0 ? step : 0);
            jumps_++;
            last = sim::ke::Activity();
        }
        quiet = 0;
    }
}

}  // namespace tool

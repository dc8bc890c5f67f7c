// Moving the platform's virtual clock for a program that has nobody to move it by
// hand: once the driver and the platform have stood still for a few milliseconds of
// real time, time jumps to the next armed timer, as if the machine had waited for
// it. A read that waits for its total timeout then ends at once instead of never.
#pragma once

#include <atomic>
#include <thread>

namespace tool {

class AutoClock {
public:
    AutoClock() = default;
    ~AutoClock() { Stop(); }
    AutoClock(const AutoClock &) = delete;
    AutoClock &operator=(const AutoClock &) = delete;

    // Virtual time only; starts the thread that moves the clock.
    void Start();
    void Stop();
    // Times the clock jumped.
    unsigned long Jumps() const { return jumps_; }

private:
    void Run();

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long> jumps_{0};
};

}  // namespace tool

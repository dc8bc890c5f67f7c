// Progress of a transfer: a bar redrawn in place with bytes and throughput when the
// output is a terminal, a plain line at each quarter otherwise (logs, pipes, tests).
// Used by one thread at a time; several transfers at once each get plain lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tool {

class Progress {
public:
    // `label` names the transfer ("COM5 PUT test.bin"); `total` bytes, 0 if unknown.
    // `bar`: draw a bar (only sensible when standard output is a terminal and no
    // other transfer runs at once); `enabled` false prints nothing but the summary.
    Progress(std::string label, uint64_t total, bool bar, bool enabled);
    void Update(uint64_t done);
    // Ends the bar and prints "label: N bytes in S s (R KB/s)".
    void Done(uint64_t done);
    double Seconds() const;

    // Whether standard output is a terminal (a bar then makes sense).
    static bool Terminal();

private:
    std::string Rate(uint64_t bytes) const;

    std::string label_;
    uint64_t total_;
    bool bar_;
    bool enabled_;
    int quartersShown_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace tool

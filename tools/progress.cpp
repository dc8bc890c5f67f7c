#include "tools/progress.h"

#include <cstdio>
#include <unistd.h>

namespace tool {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kRedraw = std::chrono::milliseconds(100);
}  // namespace

Progress::Progress(std::string label, uint64_t total, bool bar, bool enabled)
    : label_(std::move(label)), total_(total), bar_(bar && enabled), enabled_(enabled),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_ - kRedraw)
{
}

bool Progress::Terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

double Progress::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::Rate(uint64_t bytes) const
{
    const double seconds = Seconds();
    char text[48];
    if (seconds <= 0.0) {
        std::snprintf(text, sizeof text, "-");
    } else {
        std::snprintf(text, sizeof text, "%.1f KB/s", static_cast<double>(bytes) / 1024.0 / seconds);
    }
    return text;
}

void Progress::Update(uint64_t done)
{
    if (!enabled_ || total_ == 0) {
        return;
    }
    if (bar_) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDraw_ < kRedraw && done < total_) {
            return;
        }
        lastDraw_ = now;
        const int filled = static_cast<int>(done * kBarWidth / total_);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(kBarWidth, '.');
        std::printf("\r   %s [%s] %3u%% %llu/%llu bytes, %s   ", label_.c_str(), bar.c_str(),
                    static_cast<unsigned>(done * 100 / total_), static_cast<unsigned long long>(done),
                    static_cast<unsigned long long>(total_), Rate(done).c_str());
        std::fflush(stdout);
        return;
    }
    const int quarters = static_cast<int>(done * 4 / total_);
    if (quarters > quartersShown_ && quarters < 4) {
        quartersShown_ = quarters;
        std::printf("   %s: %d%% (%llu of %llu bytes, %s)\n", label_.c_str(), quarters * 25,
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                    Rate(done).c_str());
        std::fflush(stdout);
    }
}

void Progress::Done(uint64_t done)
{
    if (bar_) {
        std::printf("\r\033[K");
    }
    std::printf("   %s: %llu bytes in %.2f s (%s)\n", label_.c_str(),
                static_cast<unsigned long long>(done), Seconds(), Rate(done).c_str());
    std::fflush(stdout);
}

}  // namespace tool

// DbgPrint on the host: formats like the kernel's C runtime and appends the text to
// the captured debugger log (and stderr when echo is on). Runs at any IRQL, from any
// thread; the log's mutex is the platform's own and never one the driver sees.
#include "sim/kd/kd.h"

#include "kernel/kernel.h"
#include "sim/ke/ke.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstdio>
#include <mutex>

namespace sim::kd {

namespace {

// Windows hands the debugger at most this many bytes of one DbgPrint call.
constexpr size_t kMaxCallBytes = 512;

struct State {
    std::mutex mutex;
    std::vector<std::string> log;
    bool echo = false;
};

State &S()
{
    static State state;
    return state;
}

}  // namespace

std::vector<std::string> Log()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().log;
}

std::string Text()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::string all;
    for (const std::string &entry : S().log) {
        all += entry;
    }
    return all;
}

void ClearLog()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().log.clear();
}

void SetEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().echo = echo;
}

void Reset()
{
    ClearLog();
}

}  // namespace sim::kd

// Return: STATUS_SUCCESS, always (the debugger being absent is not the caller's concern).
ULONG DbgPrint(PCSTR Format, ...) noexcept
{
    if (Format == nullptr) {
        sim::verifier::Report(sim::verifier::Rule::InvalidParameter, "DbgPrint: Format is NULL");
        return STATUS_SUCCESS;
    }
    sim::rtl::MsVaList args;
    __builtin_ms_va_start(args, Format);
    bool usedWide = false;
    std::string text = sim::rtl::FormatNarrow(Format, args, &usedWide);
    __builtin_ms_va_end(args);
    // Converting wide text touches the paged code-page tables, which is why the
    // documentation allows the Unicode conversions at PASSIVE_LEVEL only.
    if (usedWide && sim::ke::CurrentIrql() != PASSIVE_LEVEL) {
        sim::verifier::Report(sim::verifier::Rule::InvalidParameter,
                              "DbgPrint: Unicode conversion in \"%s\" at IRQL %u (PASSIVE_LEVEL only)", Format,
                              sim::ke::CurrentIrql());
    }
    if (text.size() > sim::kd::kMaxCallBytes) {
        text.resize(sim::kd::kMaxCallBytes);
    }
    std::lock_guard<std::mutex> lock(sim::kd::S().mutex);
    sim::kd::S().log.push_back(text);
    if (sim::kd::S().echo) {
        fputs(text.c_str(), stderr);
    }
    return STATUS_SUCCESS;
}

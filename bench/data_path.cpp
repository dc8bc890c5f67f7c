// The data-path benchmarks as a Google Benchmark suite: the figures of `varnoobex
// bench` (tools/bench.h), one benchmark each, with the ratio to the bus's limit and the
// bus's slot counts as counters. One platform and driver for the whole run, in real
// time; each figure plugs a phone of its own.
//
//   varnoobex_benchmarks [--bytes=N] [--driver=PATH] [Google Benchmark flags]
//
// --bytes: bytes per high-speed figure (default 8 MiB; full speed moves a sixteenth).
// Each benchmark runs its figure once: one figure is already thousands of transfers.
#include "sim/usb/device.h"
#include "tools/bench.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using sim::usb::ObexPhone;
using sim::usb::Speed;
using tool::bench::Figure;

tool::Session *g_session = nullptr;
size_t g_bytes = 8u << 20;

size_t BytesAt(Speed speed)
{
    return speed == Speed::High ? g_bytes : std::max<size_t>(g_bytes / 16, 65536);
}

void Report(benchmark::State &state, const Figure &figure)
{
    if (!figure.ok) {
        state.SkipWithError("data lost or refused");
        return;
    }
    auto pipe = [&](uint8_t endpoint) {
        auto it = figure.slots.pipes.find(endpoint);
        return it == figure.slots.pipes.end() ? sim::usb::SlotCounts::Pipe{} : it->second;
    };
    state.counters["ratio"] = figure.Ratio();
    state.counters["value_Bps"] = figure.value;
    state.counters["limit_Bps"] = figure.limit;
    state.counters["in_used"] = static_cast<double>(pipe(ObexPhone::kBulkIn).used);
    state.counters["in_idle"] = static_cast<double>(pipe(ObexPhone::kBulkIn).idle);
    state.counters["out_used"] = static_cast<double>(pipe(ObexPhone::kBulkOut).used);
    state.counters["out_idle"] = static_cast<double>(pipe(ObexPhone::kBulkOut).idle);
}

Speed SpeedOf(const benchmark::State &state)
{
    return state.range(0) != 0 ? Speed::High : Speed::Full;
}

void Receive(benchmark::State &state)
{
    for (auto _ : state) {
        Report(state, tool::bench::Receive(*g_session, SpeedOf(state), BytesAt(SpeedOf(state)),
                                           static_cast<size_t>(state.range(1))));
    }
}
BENCHMARK(Receive)->Iterations(1)->Unit(benchmark::kMillisecond)->ArgsProduct({{0, 1}, {4096, 65536}})->ArgNames({"high", "request"});

void Transmit(benchmark::State &state)
{
    const size_t request = static_cast<size_t>(state.range(1));
    for (auto _ : state) {
        Report(state, tool::bench::Transmit(*g_session, SpeedOf(state),
                                            std::max(BytesAt(SpeedOf(state)), request), request));
    }
}
BENCHMARK(Transmit)->Iterations(1)->Unit(benchmark::kMillisecond)->ArgsProduct({{0, 1}, {1024, 4096, 65536, 1 << 20}})->ArgNames({"high", "request"});

void Duplex(benchmark::State &state)
{
    for (auto _ : state) {
        Report(state, tool::bench::Duplex(*g_session, SpeedOf(state), BytesAt(SpeedOf(state))));
    }
}
BENCHMARK(Duplex)->Iterations(1)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->ArgName("high");

void Obex(benchmark::State &state)
{
    for (auto _ : state) {
        Report(state, tool::bench::Obex(*g_session, Speed::High, g_bytes, state.range(0) != 0));
    }
}
BENCHMARK(Obex)->Iterations(1)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->ArgName("get");

}  // namespace

int main(int argc, char **argv)
{
    tool::Options options;
    options.virtualTime = false;
    if (const char *driver = std::getenv("VARNOOBEX_DRIVER"); driver != nullptr) {
        options.driver = driver;
    }
    int kept = 1;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--bytes=", 8) == 0) {
            g_bytes = std::strtoull(argv[i] + 8, nullptr, 10);
        } else if (std::strncmp(argv[i], "--driver=", 9) == 0) {
            options.driver = argv[i] + 9;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    tool::Session session(options);
    int exit = 0;
    if (!session.Start(false, &exit)) {
        return exit;
    }
    g_session = &session;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_session = nullptr;
    return session.Finish(false) ? 0 : 1;
}

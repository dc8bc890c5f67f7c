// varnoobex chaos: seeded random runs in which several application threads use one
// port (read, write, wait on events, change settings, purge, cancel, close and reopen)
// while the phone is pulled out at a random moment, in some runs after a sleep and a
// wake, a query-stop or a query-remove, or with a close racing the removal. Every
// application call must return, every handle close, the removal complete and nothing
// be left behind. A watchdog turns a call that does not return into a failure that
// names the call and its thread; a failing run prints its seed and the command that
// replays it.
//
// varnoobex endure: open, write, read, close cycles on one device, then plug, open,
// transfer, unplug cycles; the pool's high-water mark, the open handles and the
// threads must stay flat after the first cycles.
#include "sim/ex/ex.h"
#include "sim/ke/ke.h"
#include "sim/po/po.h"
#include "sim/verifier.h"
#include "sim/win32/win32.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/port_client.h"
#include "tools/session.h"
#include "tools/win32_errors.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

// A call that has not returned after this long is stuck.
constexpr int kStuckSeconds = 20;

// What each thread is doing now, for the watchdog.
class Watch {
public:
    void Enter(const std::string &thread, const std::string &what)
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_[thread] = {what, Clock::now()};
    }
    void Leave(const std::string &thread)
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.erase(thread);
    }
    // The longest call in progress past the limit: "thread app2 in ReadFile(...)".
    std::string Stuck()
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto &[thread, call] : calls_) {
            const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - call.since);
            if (age.count() >= kStuckSeconds) {
                return "thread " + thread + " in " + call.what + " for " + std::to_string(age.count()) + " s";
            }
        }
        return {};
    }

private:
    struct Call {
        std::string what;
        Clock::time_point since;
    };
    std::mutex lock_;
    std::map<std::string, Call> calls_;
};

// Enters a call on construction, leaves it on destruction.
class InCall {
public:
    InCall(Watch &watch, const std::string &thread, const std::string &what) : watch_(watch), thread_(thread)
    {
        watch_.Enter(thread_, what);
    }
    ~InCall() { watch_.Leave(thread_); }

private:
    Watch &watch_;
    std::string thread_;
};

size_t ThreadCount()
{
    size_t n = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir)) {
            n += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return n;
}

HANDLE OpenPort(const std::string &port)
{
    HANDLE handle = OpenComPort(port, FILE_FLAG_OVERLAPPED);
    if (handle != INVALID_HANDLE_VALUE) {
        // A read returns as soon as a byte is there, and after 200 ms without one.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 200, 0, 0};
        SetCommTimeouts(handle, &timeouts);
    }
    return handle;
}

// An overlapped request and its wait: `start` makes the call. A request still in
// flight after `patienceMs` is cancelled, and then waited for without a bound (the
// watchdog is the bound). Returns the bytes moved, or -1 for a failure.
long Overlapped(const std::function<BOOL(OVERLAPPED *)> &start, DWORD patienceMs, std::mutex *slot, HANDLE *handle)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE used;
    BOOL done;
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> guard(*slot);
        used = *handle;
        done = start(&ov);
        error = done ? 0 : GetLastError();
    }
    long result = -1;
    if (done || error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, patienceMs) != WAIT_OBJECT_0) {
            CancelIoEx(used, &ov);
            WaitForSingleObject(ov.hEvent, INFINITE);
        }
        // The request has ended: its status and count are in the OVERLAPPED, whatever
        // became of the handle meanwhile.
        result = NT_SUCCESS(static_cast<NTSTATUS>(ov.Internal)) ? static_cast<long>(ov.InternalHigh) : -1;
    }
    CloseHandle(ov.hEvent);
    return result;
}

struct RunPlan {
    enum class Before { Nothing, SleepWake, QueryStop, QueryRemove, RacingClose } before = Before::Nothing;
    int threads = 3;
    int firstMs = 0;     // real time before the first event
    int unplugMs = 0;    // and before the unplug
};

const char *Describe(RunPlan::Before before)
{
    switch (before) {
    case RunPlan::Before::Nothing: return "unplug";
    case RunPlan::Before::SleepWake: return "sleep, wake, unplug";
    case RunPlan::Before::QueryStop: return "query-stop, unplug";
    case RunPlan::Before::QueryRemove: return "query-remove, unplug";
    case RunPlan::Before::RacingClose: return "close racing the unplug";
    }
    return "?";
}

std::string Replay(const Options &options, uint64_t seed)
{
    return "varnoobex chaos --seed " + std::to_string(seed) + " --runs 1" +
           (options.driver.empty() ? "" : " --driver " + options.driver);
}

// One seeded run; false (after printing why) when it failed.
bool ChaosRun(const Options &options, uint64_t seed, Watch &watch)
{
    std::mt19937_64 random(seed);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    RunPlan plan;
    plan.before = static_cast<RunPlan::Before>(below(5));
    plan.threads = 2 + below(3);
    plan.firstMs = below(30);
    plan.unplugMs = below(30);
    std::vector<uint64_t> threadSeeds;
    for (int t = 0; t < plan.threads; t++) {
        threadSeeds.push_back(random());
    }

    Session session(options);
    int exit = 0;
    if (!session.Start(false, &exit)) {
        return false;
    }
    const size_t handlesBefore = sim::win32::OpenHandles();
    std::string error;
    PhoneSpec loopback;
    loopback.kind = PhoneKind::Loopback;
    auto phone = session.Plug("COM5", loopback, options.speed, 0, &error, &exit);
    if (!phone) {
        std::printf("chaos seed %llu: FAIL: %s\n", static_cast<unsigned long long>(seed), error.c_str());
        return false;
    }

    std::mutex slot;
    HANDLE handle = OpenPort("COM5");
    std::atomic<bool> stop{false};
    std::atomic<bool> closeNow{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < plan.threads; t++) {
        threads.emplace_back([&, t] {
            const std::string name = "app" + std::to_string(t + 1);
            sim::ke::NameThread(name.c_str());
            std::mt19937_64 mine(threadSeeds[t]);
            auto pick = [&](int n) { return static_cast<int>(mine() % static_cast<uint64_t>(n)); };
            // The first thread closes the port as the phone goes when the plan says so.
            if (t == 0 && plan.before == RunPlan::Before::RacingClose) {
                while (!closeNow && !stop) {
                }
                std::lock_guard<std::mutex> guard(slot);
                InCall call(watch, name, "CloseHandle racing the unplug");
                CloseHandle(handle);
                handle = INVALID_HANDLE_VALUE;
                return;
            }
            // Calls go on for a while after the unplug too: they must all fail, and return.
            for (int after = 0; after < 8; after += stop ? 1 : 0) {
                calls++;
                std::vector<uint8_t> buffer(1 + pick(4096));
                const int op = pick(100);
                if (op < 25) {
                    InCall call(watch, name, "WriteFile(" + std::to_string(buffer.size()) + " bytes)");
                    Overlapped([&](OVERLAPPED *ov) {
                        return WriteFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, ov);
                    }, 5000, &slot, &handle);
                } else if (op < 50) {
                    InCall call(watch, name, "ReadFile(" + std::to_string(buffer.size()) + " bytes)");
                    Overlapped([&](OVERLAPPED *ov) {
                        return ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, ov);
                    }, 5000, &slot, &handle);
                } else if (op < 62) {
                    InCall call(watch, name, "WaitCommEvent");
                    DWORD events = 0;
                    Overlapped([&](OVERLAPPED *ov) {
                        SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY | EV_ERR);
                        return WaitCommEvent(handle, &events, ov);
                    }, static_cast<DWORD>(pick(40)), &slot, &handle);
                } else if (op < 72) {
                    InCall call(watch, name, "GetCommState/SetCommState");
                    std::lock_guard<std::mutex> guard(slot);
                    DCB dcb{};
                    dcb.DCBlength = sizeof dcb;
                    if (GetCommState(handle, &dcb)) {
                        dcb.BaudRate = pick(2) ? 115200 : 9600;
                        SetCommState(handle, &dcb);
                    }
                } else if (op < 82) {
                    InCall call(watch, name, "PurgeComm");
                    std::lock_guard<std::mutex> guard(slot);
                    PurgeComm(handle, static_cast<DWORD>(1 + pick(15)));
                } else if (op < 92) {
                    InCall call(watch, name, "ReadFile cancelled at once");
                    Overlapped([&](OVERLAPPED *ov) {
                        return ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, ov);
                    }, 0, &slot, &handle);
                } else {
                    InCall call(watch, name, "CloseHandle and CreateFileW");
                    std::lock_guard<std::mutex> guard(slot);
                    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) {
                        std::printf("chaos seed %llu: FAIL: CloseHandle of the port: %s\n",
                                    static_cast<unsigned long long>(seed), DescribeWin32Error(GetLastError()).c_str());
                    }
                    handle = OpenPort("COM5");
                }
            }
        });
    }

    bool ok = true;
    {
        InCall call(watch, "main", std::string("the plan: ") + Describe(plan.before));
        std::this_thread::sleep_for(std::chrono::milliseconds(plan.firstMs));
        sim::pnp::Node &node = *phone->node;
        switch (plan.before) {
        case RunPlan::Before::SleepWake: {
            // Applications do not run while the system sleeps: no call starts until the
            // wake (requests already in flight stay so).
            std::lock_guard<std::mutex> frozen(slot);
            sim::po::SetSystemPower({node.Pdo()}, PowerSystemSleeping3);
            sim::po::SetSystemPower({node.Pdo()}, PowerSystemWorking);
            sim::po::WaitIdle();
            break;
        }
        case RunPlan::Before::QueryStop:
            session.Pnp().Rebalance(node);
            break;
        case RunPlan::Before::QueryRemove:
            // Refused while a handle is open; when a reopen left none, the device goes.
            session.Pnp().Remove(node);
            break;
        case RunPlan::Before::Nothing:
        case RunPlan::Before::RacingClose:
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(plan.unplugMs));
        closeNow = true;
        if (!node.Removed()) {
            session.Pnp().SurpriseRemove(node);
        }
        stop = true;
    }
    for (auto &thread : threads) {
        thread.join();
    }
    {
        std::lock_guard<std::mutex> guard(slot);
        if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) {
            std::printf("chaos seed %llu: FAIL: the last CloseHandle: %s\n", static_cast<unsigned long long>(seed),
                        DescribeWin32Error(GetLastError()).c_str());
            ok = false;
        }
    }
    {
        InCall call(watch, "main", "waiting for the removal after the last close");
        if (!phone->node->WaitRemoved(15000)) {
            std::printf("chaos seed %llu: FAIL: the device was not removed within 15 s of the last close\n",
                        static_cast<unsigned long long>(seed));
            ok = false;
        }
    }
    const size_t handlesAfter = sim::win32::OpenHandles();
    if (handlesAfter != handlesBefore) {
        std::printf("chaos seed %llu: FAIL: %zu handles open before the run, %zu after\n",
                    static_cast<unsigned long long>(seed), handlesBefore, handlesAfter);
        ok = false;
    }
    {
        InCall call(watch, "main", "the session's end (driver unload, pool and verifier check)");
        ok &= session.Finish(false);
    }
    std::printf("chaos seed %llu: %d threads, %ld calls, %s after %d+%d ms: %s\n",
                static_cast<unsigned long long>(seed), plan.threads, calls.load(), Describe(plan.before), plan.firstMs,
                plan.unplugMs, ok ? "ok" : "FAIL");
    if (!ok) {
        std::printf("       replay: %s\n", Replay(options, seed).c_str());
    }
    std::fflush(stdout);
    return ok;
}

// Open, write, read, close on one port: false (after printing why) when the bytes
// do not come back.
bool Exchange(const std::string &port, uint64_t cycle)
{
    HANDLE handle = OpenPort(port);
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("endure: FAIL: cycle %llu: %s does not open: %s\n", static_cast<unsigned long long>(cycle),
                    port.c_str(), DescribeWin32Error(GetLastError()).c_str());
        return false;
    }
    std::mutex slot;
    uint8_t out[64];
    for (size_t i = 0; i < sizeof out; i++) {
        out[i] = static_cast<uint8_t>(cycle * 31 + i);
    }
    bool ok = Overlapped([&](OVERLAPPED *ov) { return WriteFile(handle, out, sizeof out, nullptr, ov); }, 5000,
                         &slot, &handle) == sizeof out;
    uint8_t in[64];
    size_t got = 0;
    for (int tries = 0; ok && got < sizeof in && tries < 10; tries++) {
        const long n = Overlapped([&](OVERLAPPED *ov) {
            return ReadFile(handle, in + got, static_cast<DWORD>(sizeof in - got), nullptr, ov);
        }, 5000, &slot, &handle);
        ok = n >= 0;
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ok && got == sizeof in && std::equal(in, in + sizeof in, out);
    if (!ok) {
        std::printf("endure: FAIL: cycle %llu: %zu of %zu bytes came back%s\n", static_cast<unsigned long long>(cycle),
                    got, sizeof in, got == sizeof in ? ", not the ones written" : "");
    }
    ok &= CloseHandle(handle) != 0;
    return ok;
}

// The counts an endurance phase keeps flat.
struct Gauge {
    sim::ex::PoolPeak peak;
    size_t handles = 0;
    size_t threads = 0;
};

Gauge Read()
{
    return {sim::ex::Peak(), sim::win32::OpenHandles(), ThreadCount()};
}

// Prints the phase's figures; false when the counts after the warm-up exceed those of it.
bool Flat(const char *phase, uint64_t cycles, uint64_t warmUp, const Gauge &first, const Gauge &rest)
{
    // The peak depends on how the threads happen to overlap (a restart item allocated
    // while a work item is still held), so a loaded machine may show one block more after
    // the warm-up than in it; a leak of even one block per cycle shows as hundreds. Each
    // plug's device name also carries a number that keeps growing (\Device\VARNOOBEX9,
    // then 10, ...): a few bytes more for a digit.
    const size_t overlapBlocks = 1;
    const size_t overlapBytes = 256;
    const bool ok = rest.peak.blocks <= first.peak.blocks + overlapBlocks &&
                    rest.peak.bytes <= first.peak.bytes + overlapBytes &&
                    rest.handles == first.handles && rest.threads == first.threads;
    std::printf("endure %s: %llu cycles; pool high-water mark %zu blocks, %zu bytes in the first %llu, %zu blocks, "
                "%zu bytes after; handles %zu then %zu; threads %zu then %zu: %s\n",
                phase, static_cast<unsigned long long>(cycles), first.peak.blocks, first.peak.bytes,
                static_cast<unsigned long long>(warmUp), rest.peak.blocks, rest.peak.bytes, first.handles,
                rest.handles, first.threads, rest.threads, ok ? "flat" : "FAIL: it grew");
    std::fflush(stdout);
    return ok;
}

}  // namespace

int RunChaos(const Options &options)
{
    Watch watch;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> current{options.seed};
    std::thread watchdog([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const std::string stuck = watch.Stuck();
            if (!stuck.empty()) {
                std::printf("chaos seed %llu: FAIL: stuck: %s\n       replay: %s\n",
                            static_cast<unsigned long long>(current.load()), stuck.c_str(),
                            Replay(options, current).c_str());
                std::fflush(stdout);
                std::_Exit(kExitFailed);
            }
        }
    });
    int failed = 0;
    for (uint64_t run = 0; run < options.runs; run++) {
        current = options.seed + run;
        failed += ChaosRun(options, current, watch) ? 0 : 1;
    }
    done = true;
    watchdog.join();
    std::printf("chaos: %llu runs from seed %llu, %d failed\n", static_cast<unsigned long long>(options.runs),
                static_cast<unsigned long long>(options.seed), failed);
    return failed == 0 ? kExitOk : kExitFailed;
}

int RunEndure(const Options &options)
{
    bool ok = true;
    PhoneSpec loopback;
    loopback.kind = PhoneKind::Loopback;
    std::string error;
    int exit = 0;
    {
        // Phase 1: one device, the port opened and closed again and again.
        Session session(options);
        if (!session.Start(false, &exit)) {
            return exit;
        }
        auto phone = session.Plug("COM5", loopback, options.speed, 0, &error, &exit);
        if (!phone) {
            Complain(error);
            return exit;
        }
        const uint64_t warmUp = std::min<uint64_t>(100, options.cycles);
        sim::ex::ResetPoolPeak();
        Gauge first;
        for (uint64_t cycle = 0; cycle < options.cycles && ok; cycle++) {
            if (cycle == warmUp) {
                first = Read();
                sim::ex::ResetPoolPeak();
            }
            ok = Exchange("COM5", cycle) && !sim::verifier::Any();
        }
        ok &= Flat("open-write-read-close", options.cycles, warmUp, options.cycles > warmUp ? first : Read(), Read());
        ok &= session.Finish(false);
    }
    if (ok) {
        // Phase 2: the phone plugged, used and pulled out again and again.
        Session session(options);
        if (!session.Start(false, &exit)) {
            return exit;
        }
        // Half the cycles: the peak depends on how the threads meet, and a short warm-up
        // on a loaded machine may not see the busiest overlap that later cycles see.
        const uint64_t warmUp = std::min<uint64_t>(std::max<uint64_t>(10, options.plugs / 2), options.plugs);
        sim::ex::ResetPoolPeak();
        Gauge first;
        for (uint64_t cycle = 0; cycle < options.plugs && ok; cycle++) {
            if (cycle == warmUp) {
                first = Read();
                sim::ex::ResetPoolPeak();
            }
            auto phone = session.Plug("COM5", loopback, options.speed, 0, &error, &exit);
            if (!phone) {
                std::printf("endure: FAIL: plug %llu: %s\n", static_cast<unsigned long long>(cycle), error.c_str());
                ok = false;
                break;
            }
            ok = Exchange("COM5", cycle);
            session.Pnp().SurpriseRemove(*phone->node);
            if (!phone->node->WaitRemoved(15000)) {
                std::printf("endure: FAIL: plug %llu: not removed\n", static_cast<unsigned long long>(cycle));
                ok = false;
            }
            ok &= !sim::verifier::Any();
        }
        ok &= Flat("plug-open-transfer-unplug", options.plugs, warmUp, options.plugs > warmUp ? first : Read(), Read());
        ok &= session.Finish(false);
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace tool

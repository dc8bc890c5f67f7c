// The runner of concurrent situations: the world built, the actors started and joined
// and the world torn down inside one scheduled run, and the checks every run ends with.
#include "tests/sched/situation.h"

#include "core/extension.h"
#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/platform.h"
#include "sim/usb/descriptors.h"
#include "sim/verifier.h"
#include "tests/support/driver_bench.h"

#include <cstdlib>
#include <thread>

namespace situations {

namespace sched = sim::ke::sched;
using sim::usb::ObexPhone;

namespace {

// Starts one overlapped request and waits for it on its event, which the request's end
// sets even when another actor has closed the handle meanwhile (the OVERLAPPED must
// outlive the request either way).
bool Overlapped(const std::function<BOOL(OVERLAPPED *)> &start, DWORD *bytes)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = start(&ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(ov.hEvent, INFINITE);
        ok = NT_SUCCESS(static_cast<NTSTATUS>(ov.Internal));
    }
    CloseHandle(ov.hEvent);
    if (bytes != nullptr) {
        *bytes = ok ? static_cast<DWORD>(ov.InternalHigh) : 0;
    }
    return ok != FALSE;
}

std::string Body(const Situation &situation)
{
    sim::StartPlatform({});
    World world;
    std::string verdict;
    if (bench::LoadDriverUnderTest(u"varnoobex", &world.driver) != STATUS_SUCCESS) {
        verdict = "the driver did not load";
    } else {
        world.pnp = std::make_unique<sim::pnp::Manager>(world.driver);
        world.node = world.pnp->PlugPhone();
        world.phone = world.node->Usb();
        if (world.node->Top() != nullptr) {
            auto *ext = static_cast<PDEVICE_EXTENSION>(world.node->Top()->DeviceExtension);
            sched::Name(&ext->RemoveLock, "RemoveLock");
            sched::Name(&ext->DataLock, "DataLock");
            sched::Name(&ext->StateLock, "StateLock");
            sched::Name(&ext->OpenMutex, "OpenMutex");
            sched::Name(&ext->CloseMutex, "CloseMutex");
            sched::Name(&ext->IoIdleEvent, "IoIdleEvent");
            sched::Name(&ext->ReadTimer, "ReadTimer");
            sched::Name(&ext->OutstandingIo, "OutstandingIo");
            sched::Name(&ext->OpenCount, "OpenCount");
        }
        world.phone->SetModel(std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut));
        if (situation.setUp) {
            situation.setUp(world);
        }
        sched::Exploring(true);
        std::vector<std::thread> threads;
        for (const Actor &actor : situation.actors) {
            threads.push_back(sched::Start(actor.name, [&world, &actor] { actor.body(world); }));
        }
        for (size_t i = 0; i < threads.size(); i++) {
            sched::Join(threads[i], situation.actors[i].name);
        }
        sched::Exploring(false);
        // What the actors set going (a transfer the phone's data completes, the pump's
        // re-arming on a worker) ends before the checks look.
        world.phone->WaitIdle();
        sim::ke::WaitIdle();
        if (situation.check) {
            situation.check(world);
        }
        if (world.port != INVALID_HANDLE_VALUE) {
            CloseHandle(world.port);
        }
        for (const std::string &request : sim::io::RequestsInFlight()) {
            world.Fail("a request never completed: " + request);
        }
        verdict = world.failure;
        world.node.reset();
        world.pnp.reset();
        sim::io::UnloadDriver(world.driver);
    }
    sim::StopPlatform();
    sim::ex::CheckNoLeaks("end of the run");
    for (const auto &v : sim::verifier::Take()) {
        verdict += std::string(verdict.empty() ? "" : "; ") + "verifier: " +
                   sim::verifier::RuleName(v.rule) + ": " + v.detail;
    }
    sim::ex::ResetPool();
    return verdict;
}

}  // namespace

HANDLE OpenPort()
{
    // The close of the handle before may still be on its way (a request's completion
    // holds the file object a moment longer), and the port is exclusive: a Windows
    // application retries a refused open.
    for (int attempt = 0;; attempt++) {
        HANDLE port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (port != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED || attempt == 4) {
            return port;
        }
        // A wait that nothing ends: in a scheduled run, 10 ms of virtual time.
        HANDLE pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WaitForSingleObject(pause, 10);
        CloseHandle(pause);
    }
}

bool ReadSome(HANDLE port, DWORD length, DWORD *bytes)
{
    std::vector<char> buffer(length);
    return Overlapped([&](OVERLAPPED *ov) { return ReadFile(port, buffer.data(), length, nullptr, ov); },
                      bytes);
}

bool WriteAll(HANDLE port, const std::string &text)
{
    DWORD bytes = 0;
    const bool ok = Overlapped([&](OVERLAPPED *ov) {
        return WriteFile(port, text.data(), static_cast<DWORD>(text.size()), nullptr, ov);
    }, &bytes);
    return ok && bytes == text.size();
}

bool WaitEvent(HANDLE port, DWORD *mask)
{
    return Overlapped([&](OVERLAPPED *ov) { return WaitCommEvent(port, mask, ov); }, nullptr);
}

std::unique_ptr<sched::Plan> PlanFor(const std::string &strategy, uint64_t count)
{
    if (strategy.rfind("pct", 0) == 0) {
        return sched::PctPlan(std::atoi(strategy.c_str() + 3), 1, count);
    }
    if (strategy.rfind("bounded", 0) == 0) {
        return sched::BoundedPlan(std::atoi(strategy.c_str() + 7), count);
    }
    return sched::RandomPlan(1, count);
}

sched::Outcome Explore(const Situation &situation, sched::Plan &plan, const std::string &test)
{
    sched::RunOptions options;
    options.situation = situation.name;
    options.replay = "build/host/tests/sched_tests --gtest_filter=" + test;
    options.describe = [] {
        std::string text;
        for (const std::string &request : sim::io::RequestsInFlight()) {
            text += "  in flight: " + request + "\n";
        }
        return text;
    };
    return sched::Explore(plan, options, [&situation] { return Body(situation); });
}

}  // namespace situations

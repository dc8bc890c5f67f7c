// Concurrent situations run under the platform's scheduler (sim/ke/sched.h): a world of
// one plugged phone (a loopback on its bulk pipes) and the loaded driver, a set-up in
// the default order, two to four actors whose interleaving the strategy chooses, the
// situation's own checks, and the checks every run ends with: no request left
// uncompleted, no verifier violation, no pool left behind. Everything, the platform's
// start and stop included, runs inside the scheduled run, so every thread of the
// platform is a thread of the run.
//
// Budgets: each strategy runs kCiSchedules schedules per situation, or the count in
// VARNOOBEX_SCHEDULES for a campaign; VARNOOBEX_SCHEDULE replays one schedule.
#pragma once

#include "sim/ke/sched.h"
#include "sim/pnp/pnp.h"
#include "sim/win32/windows.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace situations {

struct World {
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<sim::pnp::Manager> pnp;
    std::shared_ptr<sim::pnp::Node> node;
    sim::usb::Device *phone = nullptr;
    HANDLE port = INVALID_HANDLE_VALUE;   // opened by the set-up, when it opens
    std::string failure;                  // what an actor saw go wrong (first only)
    std::map<std::string, long> notes;    // what the actors saw, for the checks

    void Fail(const std::string &what)
    {
        if (failure.empty()) {
            failure = what;
        }
    }
};

struct Actor {
    const char *name;
    std::function<void(World &)> body;
};

struct Situation {
    const char *name;
    std::function<void(World &)> setUp;     // default order, before the actors start
    std::vector<Actor> actors;
    std::function<void(World &)> check;     // after every actor ended, before tear-down
    // Schedules per strategy in CI (the bounded search stops earlier when exhausted).
    uint64_t ciSchedules = 40;
    // A driver fault the situation finds and that is not mended yet, with a schedule
    // that shows it: CI skips the situation (a campaign still runs it).
    const char *knownFault = nullptr;
};

// Opens COM5 as an application does (overlapped); INVALID_HANDLE_VALUE on failure.
HANDLE OpenPort();
// One overlapped request waited for: true when it succeeded; *bytes its count.
bool ReadSome(HANDLE port, DWORD length, DWORD *bytes = nullptr);
bool WriteAll(HANDLE port, const std::string &text);
bool WaitEvent(HANDLE port, DWORD *mask);

// The plan a strategy name stands for ("random", "pct3", "bounded2"), with `count`
// schedules.
std::unique_ptr<sim::ke::sched::Plan> PlanFor(const std::string &strategy, uint64_t count);

// Runs the situation under every schedule of `plan` until one fails; `test` is the
// gtest filter that the printed replay command names.
sim::ke::sched::Outcome Explore(const Situation &situation, sim::ke::sched::Plan &plan,
                                const std::string &test);

}  // namespace situations

// The scheduler of scheduled runs (see sched.h): the threads of a run with their
// gates, the choice of the next thread at each synchronization point, the waits that
// hand the turn on, virtual time moved when every thread waits, and the report of a
// failed run.
//
// One mutex per run (RunState::lock) guards everything here; it is the outermost lock
// of the platform: the scheduler holds it while it evaluates what the waiting threads
// wait for, which takes the platform's own locks, and no platform lock is ever held
// when a thread enters the scheduler. Only the thread whose turn it is changes the
// run's state; the others sleep on their gates.
#include "sim/ke/sched.h"

#include "sim/ke/internal.h"
#include "sim/verifier.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

#include <signal.h>

extern "C" {
// Read by the inline interlocked routines of kernel/host/wdm.h: non-zero while a
// scheduled run lasts.
volatile LONG KiScheduledRun = 0;
}

namespace sim::ke::sched {
namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

struct Slot {
    int id = 0;
    std::string name;
    enum class State { Ready, Waiting, Ended } state = State::Ready;
    std::function<bool()> ready;   // while Waiting: true once it may go on
    std::string waits;             // while Waiting: what for
    const void *waitObject = nullptr;
    int64_t deadline = kNever;     // while Waiting: interrupt time it stops waiting at
    std::condition_variable gate;
    std::string routine = "its start";  // where it stopped last (a copy: a wait's text may be a temporary)
    const void *object = nullptr;
    std::thread::id tid;
};

struct Step {
    uint64_t step;
    int thread;            // the thread that runs from this step
    std::string routine;   // where that thread is
    const void *object;
    bool explored;
};

struct RunState {
    std::mutex lock;
    std::vector<std::unique_ptr<Slot>> slots;
    Slot *current = nullptr;
    bool released = false;          // the run is over: every thread runs free
    Strategy *strategy = nullptr;
    RunOptions options;
    bool exploring = false;
    std::atomic<uint64_t> steps{0};
    uint64_t explored = 0;
    std::vector<Step> trace;
    std::vector<Plan::StepSeen> *seen = nullptr;
    std::map<const void *, std::string> names;
    std::atomic<uint64_t> violationStep{0};
    bool diverged = false;          // the strategy chose a thread that could not run
};

thread_local std::shared_ptr<RunState> t_run;
thread_local Slot *t_slot = nullptr;
thread_local int t_noSwitch = 0;
// The run under way, for the crash handler.
std::atomic<RunState *> g_current{nullptr};

Slot *AddSlotLocked(RunState &run, const char *name)
{
    auto slot = std::make_unique<Slot>();
    slot->id = static_cast<int>(run.slots.size());
    slot->name = name;
    run.slots.push_back(std::move(slot));
    return run.slots.back().get();
}

// The thread is no longer part of a run (the run is over).
void Leave()
{
    t_slot = nullptr;
    t_run.reset();
}

std::string ObjectName(const RunState &run, const void *object)
{
    if (object == nullptr) {
        return "";
    }
    auto named = run.names.find(object);
    if (named != run.names.end()) {
        return named->second;
    }
    // A lock ranked for the order check (the cancel spin lock) has its name there.
    const std::string lock = detail::LockName(object);
    if (lock.rfind("lock ", 0) != 0) {
        return lock;
    }
    char text[32];
    snprintf(text, sizeof(text), "%p", object);
    return text;
}

std::string Where(const RunState &run, const std::string &routine, const void *object)
{
    std::string where = routine;
    std::string name = ObjectName(run, object);
    if (!name.empty()) {
        where += " (" + name + ")";
    }
    return where;
}

// The report of a failed run: what failed, how to replay it, where each thread is, and
// the explored part of the schedule as the switches between threads.
std::string ReportLocked(const RunState &run, const std::string &what)
{
    std::string text = "scheduled run of " + run.options.situation + " failed: " + what + "\n";
    const std::string schedule = run.strategy->Describe();
    text += "  schedule " + schedule + "; replay it with:\n";
    text += "    VARNOOBEX_SCHEDULE=" + schedule + " " + run.options.replay + "\n";
    text += "  threads:\n";
    for (const auto &slot : run.slots) {
        char line[512];
        switch (slot->state) {
        case Slot::State::Ended:
            snprintf(line, sizeof(line), "    %-14s ended\n", slot->name.c_str());
            break;
        case Slot::State::Waiting:
            snprintf(line, sizeof(line), "    %-14s waits for %s\n", slot->name.c_str(),
                     Where(run, slot->waits, slot->waitObject).c_str());
            break;
        default:
            snprintf(line, sizeof(line), "    %-14s %s at %s\n", slot->name.c_str(),
                     run.current == slot.get() ? "running" : "ready",
                     Where(run, slot->routine, slot->object).c_str());
            break;
        }
        text += line;
    }
    if (run.options.describe) {
        text += run.options.describe();
    }
    if (run.violationStep != 0) {
        text += "  first verifier violation at step " + std::to_string(run.violationStep) + "\n";
    }
    if (run.diverged) {
        text += "  (the schedule diverged: a replayed choice named a thread that could not run)\n";
    }
    // The explored part, one line per switch: the step and the thread that runs from it.
    std::vector<const Step *> switches;
    int last = -1;
    uint64_t setup = 0;
    bool begun = false;
    for (const Step &step : run.trace) {
        if (!step.explored) {
            if (!begun) {
                setup = step.step;
            }
            last = step.thread;
            continue;
        }
        begun = true;
        if (step.thread != last) {
            switches.push_back(&step);
            last = step.thread;
        }
    }
    text += "  schedule (" + std::to_string(run.steps) + " steps; " + std::to_string(setup) +
            " before the situation's actors started, in the default order). From step N the\n"
            "  thread named runs, resuming where it stopped:\n";
    constexpr size_t kShown = 400;
    size_t from = switches.size() > kShown ? switches.size() - kShown : 0;
    if (from > 0) {
        text += "    ... " + std::to_string(from) + " earlier switches\n";
    }
    for (size_t i = from; i < switches.size(); i++) {
        const Step &step = *switches[i];
        char line[512];
        snprintf(line, sizeof(line), "    %6llu  %-14s %s\n", (unsigned long long)step.step,
                 run.slots[static_cast<size_t>(step.thread)]->name.c_str(),
                 Where(run, step.routine, step.object).c_str());
        text += line;
    }
    return text;
}

[[noreturn]] void FatalLocked(const RunState &run, const std::string &what)
{
    const std::string text = ReportLocked(run, what);
    fprintf(stderr, "%s", text.c_str());
    fflush(stderr);
    fflush(stdout);
    std::_Exit(EXIT_FAILURE);
}

// The threads that may run now. A waiting thread may when what it waits for holds, or
// when its deadline has come.
std::vector<Slot *> EnabledLocked(RunState &run)
{
    std::vector<Slot *> enabled;
    const int64_t now = Now();
    for (const auto &slot : run.slots) {
        if (slot->state == Slot::State::Ready ||
            (slot->state == Slot::State::Waiting && (slot->ready() || now >= slot->deadline))) {
            enabled.push_back(slot.get());
        }
    }
    return enabled;
}

// Every thread waits: time moves to the earliest deadline of a timed wait or armed
// timer (firing that timer). A deadlock when there is none.
void AdvanceOrDieLocked(RunState &run)
{
    int64_t due = kNever;
    for (const auto &slot : run.slots) {
        if (slot->state == Slot::State::Waiting && slot->deadline < due) {
            due = slot->deadline;
        }
    }
    const int64_t timer = NextTimerDue();
    if (timer >= 0 && timer < due) {
        due = timer;
    }
    if (due == kNever) {
        FatalLocked(run, "deadlock: every thread waits and no timer is armed");
    }
    detail::AdvanceScheduledClock(due);
}

// Takes one step from `self` (the thread whose turn it is): counts it, chooses the
// thread that runs next and hands it the turn. Returns once it is self's turn again (or
// the run is over); at once when self runs on. Not for an ended thread's last step,
// which only hands the turn on.
void StepLocked(RunState &run, std::unique_lock<std::mutex> &held, Slot *self)
{
    const uint64_t step = ++run.steps;
    if (step > run.options.stepBound) {
        FatalLocked(run, "the run took more than " + std::to_string(run.options.stepBound) +
                             " steps (a livelock, or a wait that never ends)");
    }
    std::vector<Slot *> enabled = EnabledLocked(run);
    for (int tries = 0; enabled.empty(); tries++) {
        if (tries > 1000) {
            FatalLocked(run, "deadlock: time moved 1000 times and no thread could run");
        }
        AdvanceOrDieLocked(run);
        enabled = EnabledLocked(run);
    }
    std::vector<int> ids;
    int current = -1;
    for (Slot *slot : enabled) {
        ids.push_back(slot->id);
        if (slot == self) {
            current = self->id;
        }
    }
    int chosen = current != -1 ? current : ids.front();
    if (run.exploring) {
        const int picked = run.strategy->Pick(ids, current, ++run.explored);
        bool valid = false;
        for (int id : ids) {
            valid = valid || id == picked;
        }
        if (valid) {
            chosen = picked;
        } else {
            run.diverged = true;
        }
        if (run.seen != nullptr) {
            run.seen->push_back(Plan::StepSeen{ids, current, chosen});
        }
    }
    Slot *next = run.slots[static_cast<size_t>(chosen)].get();
    run.trace.push_back(Step{step, chosen, next->routine, next->object, run.exploring});
    if (next->state == Slot::State::Waiting) {
        next->state = Slot::State::Ready;
        next->ready = nullptr;
    }
    if (next == self) {
        return;
    }
    run.current = next;
    next->gate.notify_all();
    if (self->state == Slot::State::Ended) {
        return;
    }
    self->gate.wait(held, [&] { return run.current == self || run.released; });
}

// A thread started for the run (or recruited) waits for its first turn.
void EnterSlot(const std::shared_ptr<RunState> &run, Slot *slot)
{
    t_run = run;
    t_slot = slot;
    std::unique_lock<std::mutex> held(run->lock);
    slot->tid = std::this_thread::get_id();
    slot->gate.wait(held, [&] { return run->current == slot || run->released; });
    if (run->released) {
        Leave();
    }
}

// The thread's body has returned: it hands the turn on for good.
void ExitSlot()
{
    std::shared_ptr<RunState> run = t_run;
    Slot *self = t_slot;
    if (run == nullptr || self == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> held(run->lock);
    self->state = Slot::State::Ended;
    if (!run->released) {
        self->routine = "its end";
        StepLocked(*run, held, self);
    }
    held.unlock();
    Leave();
}

struct Recruited {
    std::shared_ptr<RunState> run;
    Slot *slot;
};

void OnCrash(int signal)
{
    RunState *run = g_current.load();
    if (run != nullptr) {
        // Not async-signal-safe, and that is accepted: the process is going down, and
        // the schedule is what the person replaying it needs.
        const std::string text = ReportLocked(*run, "a crash (signal " + std::to_string(signal) + ")");
        fprintf(stderr, "%s", text.c_str());
        fflush(stderr);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

}  // namespace

// ---- for the platform's own code

bool Scheduled()
{
    return t_slot != nullptr;
}

void Point(const char *routine, const void *object)
{
    Slot *self = t_slot;
    if (self == nullptr || t_noSwitch > 0) {
        return;
    }
    std::shared_ptr<RunState> run = t_run;
    std::unique_lock<std::mutex> held(run->lock);
    if (run->released) {
        held.unlock();
        Leave();
        return;
    }
    self->routine = routine;
    self->object = object;
    StepLocked(*run, held, self);
    if (run->released) {
        held.unlock();
        Leave();
    }
}

bool Await(const char *what, const void *object, const std::function<bool()> &ready, int64_t deadline)
{
    Slot *self = t_slot;
    if (self == nullptr) {
        return false;
    }
    std::shared_ptr<RunState> run = t_run;
    std::unique_lock<std::mutex> held(run->lock);
    if (run->released) {
        held.unlock();
        Leave();
        return false;
    }
    if (t_noSwitch > 0) {
        FatalLocked(*run, std::string("a thread waits for ") + what +
                              " while it may not be switched (a platform lock is held)");
    }
    self->state = Slot::State::Waiting;
    self->ready = ready;
    self->waits = what;
    self->waitObject = object;
    self->deadline = deadline;
    self->routine = what;
    self->object = object;
    StepLocked(*run, held, self);
    self->state = Slot::State::Ready;
    self->ready = nullptr;
    self->deadline = kNever;
    if (run->released) {
        held.unlock();
        Leave();
        return false;
    }
    return true;
}

void Wait(std::unique_lock<std::mutex> &held, std::condition_variable &cv,
          const std::function<bool()> &done, const char *what)
{
    while (!done()) {
        if (Scheduled()) {
            std::mutex *mutex = held.mutex();
            held.unlock();
            // False when the run ended meanwhile and this thread left it: the condition
            // is tested again before the wait on `cv`, since a notification sent while
            // the thread was still in the run's wait did not wait for it there.
            Await(what, mutex, [mutex, &done] {
                std::lock_guard<std::mutex> guard(*mutex);
                return done();
            });
            held.lock();
            continue;
        }
        cv.wait(held);
    }
}

bool WaitFor(std::unique_lock<std::mutex> &held, std::condition_variable &cv,
             std::chrono::nanoseconds timeout, const std::function<bool()> &done, const char *what)
{
    if (!Scheduled()) {
        return cv.wait_for(held, timeout, done);
    }
    const int64_t deadline = Now() + timeout.count() / 100;
    while (!done()) {
        if (Now() >= deadline) {
            return false;
        }
        std::mutex *mutex = held.mutex();
        held.unlock();
        const bool handled = Await(what, mutex, [mutex, &done] {
            std::lock_guard<std::mutex> guard(*mutex);
            return done();
        }, deadline);
        held.lock();
        if (!handled) {
            return cv.wait_for(held, timeout, done);
        }
    }
    return true;
}

std::thread Start(const char *name, std::function<void()> body)
{
    std::shared_ptr<RunState> run = t_run;
    Slot *slot = nullptr;
    if (t_slot != nullptr) {
        std::lock_guard<std::mutex> guard(run->lock);
        if (!run->released) {
            slot = AddSlotLocked(*run, name);
        }
    }
    if (slot == nullptr) {
        return std::thread(std::move(body));
    }
    std::thread thread([run, slot, body = std::move(body)] {
        EnterSlot(run, slot);
        body();
        ExitSlot();
    });
    std::lock_guard<std::mutex> guard(run->lock);
    slot->tid = thread.get_id();
    return thread;
}

void Join(std::thread &thread, const char *name)
{
    std::shared_ptr<RunState> run = t_run;
    if (t_slot != nullptr && thread.joinable()) {
        Slot *target = nullptr;
        {
            std::lock_guard<std::mutex> guard(run->lock);
            for (const auto &slot : run->slots) {
                if (slot->tid == thread.get_id()) {
                    target = slot.get();
                }
            }
        }
        if (target != nullptr) {
            // Read under the run's lock, which the scheduler holds while it asks.
            const std::string what = std::string("the end of ") + name;
            Await(what.c_str(), nullptr, [target] { return target->state == Slot::State::Ended; });
        }
    }
    thread.join();
}

NoSwitch::NoSwitch()
{
    t_noSwitch++;
}

NoSwitch::~NoSwitch()
{
    t_noSwitch--;
}

void Recruit::Claim()
{
    std::shared_ptr<RunState> run = t_run;
    if (t_slot == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto *recruited = static_cast<Recruited *>(slot_.get());
    std::lock_guard<std::mutex> runGuard(run->lock);
    if (run->released || (recruited != nullptr && recruited->run == run &&
                          recruited->slot->state != Slot::State::Ended)) {
        return;
    }
    slot_ = std::make_shared<Recruited>(Recruited{run, AddSlotLocked(*run, name_)});
}

void Recruit::Enter()
{
    if (t_slot != nullptr) {
        bool over;
        {
            std::lock_guard<std::mutex> guard(t_run->lock);
            over = t_run->released;
        }
        if (!over) {
            return;  // already a thread of the run
        }
        // Still marked as a thread of a run that has ended (it found its next job
        // queued and never waited, where it would have left).
        Leave();
    }
    std::shared_ptr<void> claimed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        claimed = slot_;
    }
    auto *recruited = static_cast<Recruited *>(claimed.get());
    if (recruited == nullptr || recruited->slot->tid != std::thread::id()) {
        return;  // not claimed, or claimed by a run this thread has been part of already
    }
    EnterSlot(recruited->run, recruited->slot);
}

void NoteViolation()
{
    std::shared_ptr<RunState> run = t_run;
    uint64_t none = 0;
    if (run != nullptr) {
        run->violationStep.compare_exchange_strong(none, run->steps.load());
    }
}

// ---- running

std::string Run(Strategy &strategy, const RunOptions &options, const std::function<std::string()> &body,
                std::vector<Plan::StepSeen> *seen)
{
    auto run = std::make_shared<RunState>();
    run->strategy = &strategy;
    run->options = options;
    run->seen = seen;
    Slot *main = AddSlotLocked(*run, "main");
    main->tid = std::this_thread::get_id();
    run->current = main;
    t_run = run;
    t_slot = main;
    g_current = run.get();
    struct sigaction crash {}, previous[std::size(kCrashSignals)];
    crash.sa_handler = OnCrash;
    for (size_t i = 0; i < std::size(kCrashSignals); i++) {
        sigaction(kCrashSignals[i], &crash, &previous[i]);
    }
    __atomic_store_n(&KiScheduledRun, 1, __ATOMIC_SEQ_CST);
    // A thread of the run that blocks outside the scheduler (a platform wait not yet
    // routed through it) stops every thread: after ten seconds without a step, that is
    // reported as a hang with the schedule so far.
    std::mutex watchLock;
    std::condition_variable watchChanged;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> held(watchLock);
        uint64_t last = run->steps;
        while (!watchChanged.wait_for(held, std::chrono::seconds(10), [&] { return finished; })) {
            if (run->steps == last) {
                std::lock_guard<std::mutex> guard(run->lock);
                FatalLocked(*run, "a hang: no step for ten seconds (a thread blocked outside the scheduler)");
            }
            last = run->steps;
        }
    });

    std::string verdict = body();

    {
        std::lock_guard<std::mutex> guard(watchLock);
        finished = true;
    }
    watchChanged.notify_all();
    watchdog.join();

    __atomic_store_n(&KiScheduledRun, 0, __ATOMIC_SEQ_CST);
    for (size_t i = 0; i < std::size(kCrashSignals); i++) {
        sigaction(kCrashSignals[i], &previous[i], nullptr);
    }
    g_current = nullptr;
    std::unique_lock<std::mutex> held(run->lock);
    main->routine = "the end of the run";
    run->released = true;
    for (const auto &slot : run->slots) {
        slot->gate.notify_all();
    }
    if (!verdict.empty()) {
        verdict = ReportLocked(*run, verdict);
    }
    held.unlock();
    Leave();
    return verdict;
}

void Exploring(bool on)
{
    std::shared_ptr<RunState> run = t_run;
    if (run == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(run->lock);
    run->exploring = on;
}

void Name(const void *object, const char *name)
{
    std::shared_ptr<RunState> run = t_run;
    if (run == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(run->lock);
    run->names[object] = name;
}

Outcome Explore(Plan &plan, const RunOptions &options, const std::function<std::string()> &body)
{
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    while (std::unique_ptr<Strategy> strategy = plan.Next()) {
        std::vector<Plan::StepSeen> seen;
        std::string failure = Run(*strategy, options, body, &seen);
        outcome.schedules++;
        outcome.steps += seen.size();
        plan.Ran(seen);
        if (!failure.empty()) {
            outcome.failures = 1;
            outcome.failedAt = outcome.schedules;
            outcome.failure = "schedule " + std::to_string(outcome.schedules) + " of plan " +
                              plan.Name() + ":\n" + failure;
            fprintf(stderr, "%s", outcome.failure.c_str());
            break;
        }
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

}  // namespace sim::ke::sched

using namespace sim::ke;

extern "C" {

VOID KiSchedulingPoint(PCSTR Routine, const volatile VOID *Object) noexcept
{
    sched::Point(Routine, const_cast<const void *>(Object));
}

}  // extern "C"

// Scheduled runs: a mode of the host platform in which exactly one of its threads runs
// at a time and a scheduler chooses, at every synchronization point the driver passes
// through the platform, which thread runs next. The threads stay real threads; each
// one that is not running waits at a gate of its own. A run is fully determined by its
// strategy (random with a seed, PCT with a bug depth, or an explicit list of switches
// found by the bounded search), so a failing interleaving can be replayed exactly.
//
// Synchronization points: spin lock acquire and release, fast mutex acquire and
// release, event set, reset and wait, KeWaitForSingleObject, IoCallDriver,
// IoCompleteRequest and each completion routine's call, IoSetCancelRoutine and the
// interlocked routines of kernel/host/wdm.h (through KiSchedulingPoint), queueing a DPC
// or a work item, and the remove lock. Every platform wait on a thread of the run (a
// dispatcher wait, a spin on a held lock, a worker waiting for work, a request waited
// for, a join) hands the turn on instead of blocking, and the scheduler runs the thread
// again once what it waits for holds. Time is virtual and moves only when every thread
// of the run waits: to the earliest armed timer (which then fires) or timed wait.
//
// What fails a run: a verifier violation, a deadlock (every thread waits and nothing is
// due; each thread is named with what it waits for), more steps than the run's bound
// (a livelock or a hang), a request never completed, pool left behind, a crash. The
// last three of those and violations are the caller's checks (the run ends normally);
// a deadlock, the step bound and a crash end the process after the report, because the
// threads of the run cannot be unwound.
//
// Off (the default), every routine here is a no-op or does what the code did before:
// a plain condition-variable wait, a plain std::thread.
//
// Rule for the platform's code: a synchronization point or a scheduled wait is never
// reached while the thread holds one of the platform's own std::mutex locks (it would
// stop every other thread that needs it); where a routine that is a point must run
// under such a lock, NoSwitch keeps the thread from being switched there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::ke::sched {

// ---- for the platform's own code

// True on a thread of a scheduled run while the run lasts.
bool Scheduled();

// A synchronization point: in a scheduled run the scheduler may let another thread
// run here. `routine` names the routine, `object` the lock, event or IRP it works on.
void Point(const char *routine, const void *object = nullptr);

// As cv.wait(held, done). On a thread of a scheduled run the thread hands the turn on
// instead, and runs again once done() holds (the scheduler evaluates it with held's
// mutex taken). `what` says what the thread waits for, in a deadlock report.
void Wait(std::unique_lock<std::mutex> &held, std::condition_variable &cv,
          const std::function<bool()> &done, const char *what);
// As cv.wait_for(held, timeout, done); in a scheduled run the timeout is virtual time.
bool WaitFor(std::unique_lock<std::mutex> &held, std::condition_variable &cv,
             std::chrono::nanoseconds timeout, const std::function<bool()> &done, const char *what);
// The scheduled part of a wait whose caller keeps its own loop (Ke's waits on
// dispatcher objects and spin locks): in a scheduled run, hands the turn on until
// ready() holds or the interrupt time reaches `deadline` (INT64_MAX: none), and
// returns true; outside one returns false at once. ready() is called with no lock held.
bool Await(const char *what, const void *object, const std::function<bool()> &ready,
           int64_t deadline = INT64_MAX);

// Starts a platform thread; in a scheduled run it is a thread of the run from its
// first instruction (named `name` in reports; the body names itself to Ke as before).
std::thread Start(const char *name, std::function<void()> body);
// Joins a thread; in a scheduled run the caller hands the turn on until it has ended.
void Join(std::thread &thread, const char *name);

// Keeps this thread from being switched at the points it passes while the guard lives:
// for platform code that holds a std::mutex across a routine that is a point.
class NoSwitch {
public:
    NoSwitch();
    ~NoSwitch();
    NoSwitch(const NoSwitch &) = delete;
    NoSwitch &operator=(const NoSwitch &) = delete;
};

// A long-lived thread started outside any run (the power manager's threads) that joins
// the scheduled run that hands it work. The poster calls Claim() before it queues the
// job (outside its own lock); the thread calls Enter() once it has the job, before it
// runs it, and from then on is a thread of the run until the run ends.
class Recruit {
public:
    explicit Recruit(const char *name) : name_(name) {}
    void Claim();
    void Enter();

private:
    const char *name_;
    std::mutex lock_;
    std::shared_ptr<void> slot_;   // the run's record of this thread, for the run it joins
};

// The verifier tells the scheduler that a rule was broken, so that the report of the
// run can say at which step.
void NoteViolation();

// ---- strategies

// Chooses the thread that runs next at each step of the explored part of a run.
class Strategy {
public:
    virtual ~Strategy() = default;
    // `enabled`: ids of the threads that may run (ascending, never empty); `current`: the
    // id of the thread that ran last when it may go on, -1 when it waits or ended;
    // `step`: the explored step, from 1. Returns one of `enabled`.
    virtual int Pick(const std::vector<int> &enabled, int current, uint64_t step) = 0;
    // The VARNOOBEX_SCHEDULE value that replays this run.
    virtual std::string Describe() const = 0;
};

// Uniformly among the enabled threads at every step.
std::unique_ptr<Strategy> RandomStrategy(uint64_t seed);
// Probabilistic concurrency testing: random distinct priorities, the highest-priority
// enabled thread runs, and at depth-1 random steps among the first `steps` the running
// thread drops below every other. Finds a bug of depth d in a run of k steps with n
// threads with probability at least 1/(n k^(d-1)).
std::unique_ptr<Strategy> PctStrategy(int depth, uint64_t steps, uint64_t seed);
// The default order (the thread that ran goes on; when it waits, the lowest id) except
// at the given steps, where the given thread runs: the schedules of the bounded search.
struct Switch {
    uint64_t step;
    int thread;
};
std::unique_ptr<Strategy> SwitchStrategy(std::vector<Switch> switches);
// Parses a VARNOOBEX_SCHEDULE value ("random:SEED", "pct:DEPTH:STEPS:SEED",
// "switch:STEP>THREAD,..."); NULL when it is not one.
std::unique_ptr<Strategy> ParseStrategy(const std::string &text);

// A sequence of schedules to run.
class Plan {
public:
    virtual ~Plan() = default;
    // The strategy of the next schedule; NULL when the plan is done.
    virtual std::unique_ptr<Strategy> Next() = 0;
    // What the schedule just run saw at each explored step (for the bounded search) and
    // how many explored steps it took (for PCT's estimate).
    struct StepSeen {
        std::vector<int> enabled;
        int current;
        int chosen;
    };
    virtual void Ran(const std::vector<StepSeen> &steps) { (void)steps; }
    virtual std::string Name() const = 0;
};

// `count` schedules with seeds `seed`, `seed`+1, ...
std::unique_ptr<Plan> RandomPlan(uint64_t seed, uint64_t count);
// `count` PCT schedules of depth `depth`; the step estimate is the longest explored
// part seen so far (the first schedule runs without change points to measure it).
std::unique_ptr<Plan> PctPlan(int depth, uint64_t seed, uint64_t count);
// Every schedule with at most `bound` preemptions (a switch away from a thread that
// could go on), depth first, up to `count` of them.
std::unique_ptr<Plan> BoundedPlan(int bound, uint64_t count);
// One schedule: the one a VARNOOBEX_SCHEDULE value names.
std::unique_ptr<Plan> ReplayPlan(const std::string &text);

// ---- running

struct RunOptions {
    std::string situation;      // named in reports
    std::string replay;         // the command that replays a schedule, before its value
    uint64_t stepBound = 200000;
    // More lines for a failed run's report (the requests still in flight, say).
    std::function<std::string()> describe;
};

// Runs `body` on the calling thread as thread 0 ("main") of a scheduled run under
// `strategy`. Inside it, the default order applies (the thread that ran goes on; when
// it waits, the lowest id runs) except between Exploring(true) and Exploring(false),
// where the strategy chooses. Returns what the body returned (its own checks: empty when
// the run passed) and fills `seen` with the explored steps. A deadlock, the step bound
// or a crash print the report and end the process.
std::string Run(Strategy &strategy, const RunOptions &options, const std::function<std::string()> &body,
                std::vector<Plan::StepSeen> *seen = nullptr);
// Inside a run: the strategy chooses from here (true) or no longer (false).
void Exploring(bool on);
// Inside a run: names an object (a lock, an event) in reports.
void Name(const void *object, const char *name);

struct Outcome {
    uint64_t schedules = 0;     // run
    uint64_t steps = 0;         // explored steps, over all schedules
    uint64_t failures = 0;      // 0 or 1: exploration stops at the first failure
    uint64_t failedAt = 0;      // the failing schedule, from 1
    std::string failure;        // its checks' text and report
    double seconds = 0;         // wall time of all schedules
};
// Runs `body` under every schedule of `plan` until the plan is done or one fails;
// a failure is printed with its replay command and schedule.
Outcome Explore(Plan &plan, const RunOptions &options, const std::function<std::string()> &body);

}  // namespace sim::ke::sched

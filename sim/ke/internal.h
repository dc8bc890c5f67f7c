// Ke's internals shared with Ex (not for the rest of sim/): the scheduler state that
// the DPC thread, the timer code, the dispatcher waits and Ex's worker threads all
// work under, and the per-thread lock bookkeeping that fast mutexes take part in.
//
// One mutex (Scheduler::lock) guards every dispatcher object's state, the timer
// list, the DPC queue, the work queue and the list of blocked waiters, so that
// "signal, then wake" and "queue empty and nothing running" stay consistent. The
// wake-ups are narrow: each change notifies only the threads that wait for it (the
// DPC thread when a DPC is queued, one worker when a work item is, the threads
// blocked on the one dispatcher object that was signalled), since a notification of
// every platform thread for every change cost several futile context switches per
// bulk transfer. Every waiter still re-checks its own condition after a wake-up.
#pragma once

#include "sim/ke/ke.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

namespace sim::ke::detail {

// Dispatcher object types, as the kernel numbers them in DISPATCHER_HEADER.Type.
constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 19;

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

struct DpcEntry {
    PKDPC dpc;                  // a driver DPC, or NULL for a platform function
    std::function<void()> fn;   // RunAtDispatch's function
    bool *done;                 // set (under the lock) when fn has run
};

struct ArmedTimer {
    PKTIMER timer;
    uint64_t seq;  // arming order: timers due at the same time fire in this order
};

// A thread blocked in WaitUntil, on the list while it waits: woken by a signal of
// `object` (NULL: none, a delay) and by every move of the clock.
struct Waiter {
    const void *object;
    std::condition_variable wake;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable dpcQueued;     // the DPC thread: a DPC queued, or stopping
    std::condition_variable workQueued;    // the worker threads: an item queued, or stopping
    std::condition_variable timersMoved;   // the timer thread: a timer armed, the clock mode, stopping
    std::condition_variable drained;       // a DPC or work item ran or left its queue
    std::vector<Waiter *> waiters;         // threads blocked in WaitUntil
    std::deque<DpcEntry> dpcs;
    int dpcRunning = 0;
    std::vector<ArmedTimer> timers;
    uint64_t timerSeq = 0;
    std::deque<PWORK_QUEUE_ITEM> work;
    int workRunning = 0;
    int blockedWaiters = 0;
    bool stopping = false;
};
Scheduler &Sched();
// With Sched().lock held: wakes the threads blocked on `object`; or every blocked
// thread, when the clock moved (their deadlines may have come) or its mode changed.
void WakeWaitersLocked(const void *object);
void WakeAllWaitersLocked();

// Bumped by spin lock acquisitions, event signals and queued DPCs (see Activity()).
inline std::atomic<uint64_t> g_activity{0};
inline void NoteActivity()
{
    g_activity.fetch_add(1, std::memory_order_relaxed);
}

// ---- bug checks (bugcheck.cpp)
// Set once a driver image is mapped: DriverCall then prepares each thread for faults.
inline std::atomic<bool> g_faultReports{false};
// Gives this thread a signal stack and notes its stack's bounds (once per thread).
void PrepareThreadForDriverCode();

// ---- clock (timer.cpp)
// Interrupt time of a due time as KeSetTimer and KeWaitForSingleObject take it:
// negative is relative to now, positive is an absolute system time.
int64_t DeadlineFromDueTime(LONGLONG dueTime);
// Blocks, with `held` locking Sched().lock, until done() is true or the interrupt
// time reaches `deadline` (virtual or real); returns done(). The thread is on
// Sched().waiters meanwhile: whatever makes done() true must call
// WakeWaitersLocked(object). In a scheduled run the thread hands the turn on
// instead; `what` and `object` name the wait in its reports.
bool WaitUntil(std::unique_lock<std::mutex> &held, int64_t deadline,
               const std::function<bool()> &done, const char *what = "a dispatcher object",
               const void *object = nullptr);
// Scheduled runs, when every thread waits: moves the virtual clock to `time` (never
// back) and fires the first armed timer due by then, if any.
void AdvanceScheduledClock(int64_t time);

// Resets the clock and starts the timer thread; stops it (Sched().stopping set).
void StartClock();
void StopClock();
// Disarms every armed timer for which drop() is true.
void DropTimersLocked(const std::function<bool(PKTIMER)> &drop);

// ---- dispatcher objects (dispatcher.cpp)
// Waits for an event or timer without the IRQL checks (the caller made them).
NTSTATUS WaitForObject(PVOID object, int64_t deadline);
// Queues a DPC with the scheduler lock held (a firing timer does that).
bool InsertQueueDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2);

// ---- locks each thread holds (lockorder.cpp)
enum class LockKind { SpinLock, FastMutex };
// Undoes a lock that a driver callback left held, so that the platform can go on
// after reporting it.
using ForceRelease = void (*)(const void *lock);
// Records that this thread is taking `lock`: checks the order against the locks
// it holds (unless `tryOnly`, which cannot deadlock) and adds it to the held list.
// Returns false, after reporting, when this thread already holds it.
bool NoteAcquire(const void *lock, LockKind kind, ForceRelease undo, const char *routine,
                 bool tryOnly = false);
// Removes the latest entry for `lock` from this thread's held list; false when
// this thread does not hold it.
bool NoteRelease(const void *lock);
bool HoldsLock(const void *lock);
struct HeldLock {
    const void *lock;
    LockKind kind;
    ForceRelease undo;
};
// This thread's held locks, oldest first.
std::vector<HeldLock> &HeldLocks();
// A printable name for a lock: the one given to SetLockRank, or its address.
std::string LockName(const void *lock);

// A value unique to this thread while it lives, never zero: the owner mark that a
// spin lock word or a fast mutex's Owner holds.
ULONG_PTR ThreadToken();

}  // namespace sim::ke::detail

// The host kernel's Ke layer as the rest of sim/ sees it: per-thread IRQL, the
// spin locks each thread holds, the clock (virtual or real), the DPC thread and the
// checks that a driver callback left the IRQL and the locks as it found them.
// The driver itself sees only the Ke routines declared in kernel/host/wdm.h.
#pragma once

#include "kernel/kernel.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sim::ke {

// ---- execution contexts
KIRQL CurrentIrql();
// Sets this thread's IRQL without the checks of KeRaiseIrql/KeLowerIrql; for the
// platform's own threads when they start a context (a DPC runs at DISPATCH_LEVEL).
void SetIrql(KIRQL irql);
// Names this thread in verifier messages ("pnp", "dpc", "worker 1", "app 3", ...).
void NameThread(const char *name);
const char *ThreadName();

// Driver spin locks this thread holds now (the cancel spin lock included).
size_t SpinLocksHeld();

// Forgets this thread's IRQL and held locks (PASSIVE_LEVEL, none): for a thread that
// starts over after a faulty test.
void ResetThread();

// Wraps a call into driver code (dispatch, completion, cancel, DPC, work item, ...):
// at its end the verifier checks that the IRQL is the one of its start
// (SpinLockWrongIrql) and that no spin lock or fast mutex taken inside is still held
// (SpinLockHeldOnReturn); a lock left held is then released on the driver's behalf and
// the IRQL restored, so that the test fails on the report instead of hanging.
// A callback entered with a lock it must release (a cancel routine and the cancel
// spin lock) is wrapped from before that lock is taken.
// `request` is the IRP the call is about, when there is one: a bug check names it.
class DriverCall {
public:
    explicit DriverCall(const char *what, const void *request = nullptr);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

    // The innermost call into driver code running on this thread, or NULL.
    static const DriverCall *Innermost();
    const char *What() const { return what_; }
    const void *Request() const { return request_; }
    const DriverCall *Outer() const { return outer_; }

private:
    const char *what_;
    const void *request_;
    KIRQL irql_;
    size_t locks_;
    DriverCall *outer_;
};

// ---- bug checks (bugcheck.cpp)
// The exit status of a run that a fault in driver code stopped.
constexpr int kBugCheckExitStatus = 5;
// Turns a fault inside a mapped driver image (or in a platform routine it called)
// into a bug check: one report on stderr naming the stop code, the fault, the
// image-relative address and its routine, the thread, its IRQL and the driver call
// and request it was in, then the end of the process with kBugCheckExitStatus.
// Faults elsewhere go to whatever handled them before. Called by the loader at the
// first image load; each thread gets its own signal stack (so that a stack overflow
// can be reported) the first time it enters driver code after that.
void EnableDriverFaultReports();

// Declares the rank of a lock for the order check: a lock may be taken only while
// every held ranked lock has a lower rank. Every lock, ranked or not, is also checked
// by the order in which locks were seen nested: each "held A, took B" is learned, and
// taking a lock from which a held one can be reached through learned pairs is a
// LockOrder violation (A then B, later B then A; or A, B, C then C, A). The name is
// used in reports. Spin locks and fast mutexes both take part.
void SetLockRank(const void *lock, int rank, const char *name);
// Forgets the learned pairs, ranks and names of locks inside memory that is being
// freed (ExFreePool calls it), so that a new object at the same address starts clean.
void ForgetLocksIn(const void *begin, size_t length);
// Forgets everything learned (platform start).
void ForgetAllLocks();

// ---- time
// Time is counted in 100-ns units from the platform's start, as KeQueryInterruptTime does.
void UseVirtualTime();
void UseRealTime();
bool VirtualTime();
int64_t Now();
// Virtual time only: moves the clock forward, fires every timer that falls due on the
// way (in due order, each one's DPC run before the next fires; a due time already
// past fires at the next Advance, even Advance(0)), wakes the waits whose timeout
// passed, and returns after the DPCs have run. Not from the DPC thread.
void Advance(int64_t hundredNs);
// The due time of the armed timer that fires first; -1 when none is armed.
int64_t NextTimerDue();
// A count that moves whenever a driver or the platform does something a clock
// driver would call progress (a spin lock taken, an event set, a DPC run): a program
// that moves virtual time by itself advances only once this has stood still.
uint64_t Activity();

// ---- threads of the platform
// Resets the clock to 0, the learned lock order and the calling thread's IRQL, then
// starts the DPC thread and the timer thread. The worker threads that run work
// items are Ex's (ex::StartWorkers).
void Start();
// Lets the queued DPCs run, then joins the DPC and timer threads; timers still armed
// are forgotten.
void Stop();
// Runs fn on the DPC thread at DISPATCH_LEVEL and waits for it (used by the bus to
// complete transfers from an arbitrary context).
void RunAtDispatch(std::function<void()> fn);
// Returns once no DPC is queued or running and no work item is queued or running.
// Not from the DPC thread or a worker thread (it would wait for itself).
void WaitIdle();
// Threads blocked right now in KeWaitForSingleObject or KeDelayExecutionThread
// (tests use it to know that a thread has reached its wait before moving the clock).
size_t BlockedWaiters();

// ---- objects inside memory that is going away
// Reports TimerArmedAtDelete, DpcQueuedAtDelete or WorkItemPendingAtDelete for any
// armed timer, queued DPC or queued work item inside [begin, begin+length), or whose
// DPC context, DPC routine, work item parameter or work routine lies there (a driver
// image being unmapped), and takes each one out of its queue
// so that it never runs on freed memory. A DPC or work item already running is not
// pending (a work item may free itself).
void CheckNoDeferredWorkIn(const void *begin, size_t length, const char *owner);

// Observers of memory going away: every range passed to CheckNoDeferredWorkIn (a pool
// block being freed, a deleted device object's block) is shown to each observer first,
// with no platform lock held, so that a component holding pointers into driver memory
// (the USB bus and its pending transfers) can report and forget them. An observer may
// be called from any thread at any IRQL up to DISPATCH_LEVEL and must not block.
// Registration lasts until removed, across platform restarts.
using ReleaseObserver = std::function<void(const void *begin, size_t length, const char *owner)>;
int AddReleaseObserver(ReleaseObserver observer);
void RemoveReleaseObserver(int id);
// Shows the range to every observer (CheckNoDeferredWorkIn calls it).
void NotifyRelease(const void *begin, size_t length, const char *owner);

}  // namespace sim::ke

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

// Wraps a call into driver code (dispatch, completion, cancel, DPC, work item, ...):
// at its end the verifier checks that the IRQL is the one of its start and that no
// spin lock taken inside is still held.
class DriverCall {
public:
    explicit DriverCall(const char *what);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

private:
    const char *what_;
    KIRQL irql_;
    size_t locks_;
};

// Declares the rank of a lock for the order check: a lock may be taken only while
// every held lock has a lower rank. Locks without a rank are checked by the order in
// which they were first seen nested (a later nesting in the other order is reported).
void SetLockRank(const void *lock, int rank, const char *name);
void ForgetLocksIn(const void *begin, size_t length);

// ---- time
// Time is counted in 100-ns units from the platform's start, as KeQueryInterruptTime does.
void UseVirtualTime();
void UseRealTime();
bool VirtualTime();
int64_t Now();
// Virtual time only: moves the clock forward, fires every timer that falls due on the
// way (in due order), and returns after their DPCs have run.
void Advance(int64_t hundredNs);

// ---- threads of the platform
void Start();  // the DPC thread, the timer thread (real time) and the worker threads
void Stop();   // drains and joins them
// Runs fn on the DPC thread at DISPATCH_LEVEL and waits for it (used by the bus to
// complete transfers from an arbitrary context).
void RunAtDispatch(std::function<void()> fn);
// Returns once no DPC is queued or running and no work item is queued or running.
void WaitIdle();

// ---- objects inside memory that is going away
// Reports TimerArmedAtDelete, DpcQueuedAtDelete or WorkItemPendingAtDelete for any
// timer, DPC or work item inside [begin, begin+length), or whose context lies there.
void CheckNoDeferredWorkIn(const void *begin, size_t length, const char *owner);

}  // namespace sim::ke

// The host platform's verifier: one place where every strictness rule is reported.
// Platform routines call Report() when the driver breaks a rule; the test bench
// fails the test that caused it, naming the rule and the object involved.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim::verifier {

enum class Rule {
    // IRPs
    IrpCompletedTwice,
    IrpCompletedWithCancelRoutine,
    IrpCompletedWithPending,
    IrpFreedInFlight,
    IrpReusedInFlight,
    PendingMarkedNotReturned,   // marked pending, dispatch returned another status
    PendingReturnedNotMarked,   // STATUS_PENDING returned without IoMarkIrpPending
    InformationOnFailure,
    InformationBeyondBuffer,
    OutputNotWritten,           // a buffered request returned output bytes the driver never wrote
    // IRQL and locks
    BlockingAtDispatch,         // a wait, fast mutex or synchronous request at DISPATCH_LEVEL
    SpinLockWrongIrql,
    SpinLockHeldOnReturn,
    LockOrder,
    CallDriverWithSpinLock,
    KernelStackOverflow,        // driver calls nested deeper than a kernel stack holds
    // remove locks
    RemoveLockOverReleased,
    RemoveLockAcquiredAfterWait,
    RemoveLockHeldAtDelete,
    // pool
    PoolLeak,
    PoolDoubleFree,
    PoolOverrun,
    HandleLeak,                 // a registry key handle the driver never closed
    // deleted devices and closed handles
    DeviceUsedAfterDelete,      // a request, lock, event, timer, DPC or work item of a deleted device
    RequestNeverCompleted,      // a request on a closed handle still in flight at platform stop
    // deferred work of deleted devices
    TimerArmedAtDelete,
    DpcQueuedAtDelete,
    WorkItemPendingAtDelete,
    // USB bus
    UrbBufferFreedInFlight,
    UrbLengthMismatch,
    // power
    PowerIrpWithoutStartNext,   // a power IRP left a driver before it called PoStartNextPowerIrp
    // the application side (Win32 layer)
    ApplicationError,           // a call Windows documents as invalid (or that faults in the caller)
    // what the host platform does not model, so that a run cannot pass on a difference
    NotModelled,                // an alertable or user-mode wait (APCs and alerts are not modelled)
    // everything else the platform refuses
    InvalidParameter,
};

const char *RuleName(Rule rule);

struct Violation {
    Rule rule;
    std::string detail;
};

// Records a violation (and prints it on stderr at once, so that a hang after it
// still shows what went wrong).
void Report(Rule rule, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Removes and returns every violation recorded so far.
std::vector<Violation> Take();

// True when at least one violation is recorded.
bool Any();

// ---- memory of deleted devices
// A device's block (object and extension) from IoDeleteDevice until it is freed and
// forgotten: what the driver hands the platform from inside it (a spin lock, event,
// timer, DPC, work item, fast mutex or remove lock) is reported as DeviceUsedAfterDelete.
// Any thread, any IRQL; one atomic load when no deleted device is kept.
void MarkDeleted(const void *begin, size_t length, const void *device);
void ForgetDeleted(const void *begin);
void ForgetAllDeleted();
// Reports DeviceUsedAfterDelete (naming `routine`) and returns false when p lies in a
// deleted device's memory.
bool CheckNotDeleted(const void *p, const char *routine);

}  // namespace sim::verifier

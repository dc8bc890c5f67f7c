// The host platform's verifier: one place where every strictness rule is reported.
// Platform routines call Report() when the driver breaks a rule; the test bench
// fails the test that caused it, naming the rule and the object involved.
#pragma once

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
    // deferred work of deleted devices
    TimerArmedAtDelete,
    DpcQueuedAtDelete,
    WorkItemPendingAtDelete,
    // USB bus
    UrbBufferFreedInFlight,
    UrbLengthMismatch,
    // power
    PowerIrpWithoutStartNext,   // a power IRP left a driver before it called PoStartNextPowerIrp
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

}  // namespace sim::verifier

// Events and the waits on dispatcher objects (events and timers). The signal state
// lives in the object's own DISPATCHER_HEADER; the scheduler's mutex orders every
// change of it against the waiters, and a signal wakes only the threads blocked on
// that object, who re-check it. A synchronization object satisfies one wait and
// resets; a notification object stays signalled until reset.
//
// Not modelled: waits on several objects (KeWaitForMultipleObjects is not provided),
// mutants and semaphores, alertable and user-mode waits and APCs (reported as
// NotModelled), priority boosts, and KeSetEvent's Wait=TRUE (the caller simply goes on).
#include "sim/ke/internal.h"

#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <thread>

namespace sim::ke {
namespace {

enum class Kind { Invalid, Notification, Synchronization };

Kind KindOf(PVOID object)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    switch (header->Type) {
    case detail::kEventNotificationObject:
        return header->Size == sizeof(KEVENT) / sizeof(LONG) ? Kind::Notification : Kind::Invalid;
    case detail::kEventSynchronizationObject:
        return header->Size == sizeof(KEVENT) / sizeof(LONG) ? Kind::Synchronization
                                                             : Kind::Invalid;
    case detail::kTimerNotificationObject:
        return header->Size == sizeof(KTIMER) / sizeof(LONG) ? Kind::Notification : Kind::Invalid;
    case detail::kTimerSynchronizationObject:
        return header->Size == sizeof(KTIMER) / sizeof(LONG) ? Kind::Synchronization
                                                             : Kind::Invalid;
    default:
        return Kind::Invalid;
    }
}

// An event that was never initialised (pool is not zeroed, and a zero-filled
// extension has a zero Size) is caught here rather than waited on.
bool ValidEvent(PRKEVENT event, const char *routine)
{
    if (KindOf(event) == Kind::Invalid || event->Header.Type > detail::kEventSynchronizationObject) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "%s of %p, which is not an initialised event", routine, (void *)event);
        return false;
    }
    return true;
}

// A kernel-mode, non-alertable wait is all the platform models: an alertable wait could
// end with STATUS_ALERTED or STATUS_USER_APC on Windows, and a user-mode wait lets the
// thread's kernel stack be paged out ("Waiting for Dispatcher Objects", "Do Waiting
// Threads Receive Alerts and APCs?"); neither can happen here, so a driver relying on
// either would pass here and meet the difference on Windows.
void CheckWaitMode(KPROCESSOR_MODE mode, BOOLEAN alertable, const char *routine)
{
    if (alertable || mode != KernelMode) {
        verifier::Report(verifier::Rule::NotModelled, "%s with WaitMode %s and Alertable %s: only KernelMode "
                         "non-alertable waits are modelled", routine, mode == KernelMode ? "KernelMode" : "UserMode",
                         alertable ? "TRUE" : "FALSE");
    }
}

}  // namespace

namespace detail {

NTSTATUS WaitForObject(PVOID object, int64_t deadline)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    bool consumes = KindOf(object) == Kind::Synchronization;
    auto &sched = Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    sched.blockedWaiters++;
    bool signalled = WaitUntil(held, deadline, [&] { return header->SignalState > 0; },
                               "KeWaitForSingleObject", object);
    sched.blockedWaiters--;
    if (!signalled) {
        return STATUS_TIMEOUT;
    }
    if (consumes) {
        header->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

}  // namespace detail

uint64_t Activity()
{
    return detail::g_activity.load(std::memory_order_relaxed);
}

size_t BlockedWaiters()
{
    std::lock_guard<std::mutex> guard(detail::Sched().lock);
    return static_cast<size_t>(detail::Sched().blockedWaiters);
}

}  // namespace sim::ke

using namespace sim;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) noexcept
{
    std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) noexcept
{
    verifier::CheckNotDeleted(Event, "KeSetEvent");
    ke::detail::NoteActivity();
    (void)Increment;
    (void)Wait;
    if (!ke::ValidEvent(Event, "KeSetEvent")) {
        return 0;
    }
    if (ke::CurrentIrql() > DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::InvalidParameter, "KeSetEvent at IRQL %d",
                         ke::CurrentIrql());
    }
    LONG previous;
    {
        auto &sched = ke::detail::Sched();
        std::lock_guard<std::mutex> guard(sched.lock);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        ke::detail::WakeWaitersLocked(Event);
    }
    ke::sched::Point("KeSetEvent", Event);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) noexcept
{
    if (!ke::ValidEvent(Event, "KeResetEvent")) {
        return 0;
    }
    ke::sched::Point("KeResetEvent", Event);
    std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) noexcept
{
    KeResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) noexcept
{
    if (!ke::ValidEvent(Event, "KeReadStateEvent")) {
        return 0;
    }
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) noexcept
{
    (void)WaitReason;
    ke::CheckWaitMode(WaitMode, Alertable, "KeWaitForSingleObject");
    verifier::CheckNotDeleted(Object, "KeWaitForSingleObject");
    ke::sched::Point("KeWaitForSingleObject", Object);
    if (ke::KindOf(Object) == ke::Kind::Invalid) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeWaitForSingleObject on %p, which is not an initialised event or timer",
                         Object);
        return STATUS_INVALID_PARAMETER;
    }
    bool poll = Timeout != NULL && Timeout->QuadPart == 0;
    KIRQL irql = ke::CurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
        verifier::Report(verifier::Rule::BlockingAtDispatch,
                         "KeWaitForSingleObject on %p at IRQL %d with %s timeout", Object, irql,
                         Timeout == NULL ? "no" : "a non-zero");
        // Windows would stop here; the wait becomes a poll so that the test fails on
        // the report instead of hanging the DPC thread.
        poll = true;
    }
    int64_t deadline = ke::detail::kNoDeadline;
    if (poll) {
        deadline = 0;
    } else if (Timeout != NULL) {
        deadline = ke::detail::DeadlineFromDueTime(Timeout->QuadPart);
    }
    return ke::detail::WaitForObject(Object, deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) noexcept
{
    ke::CheckWaitMode(WaitMode, Alertable, "KeDelayExecutionThread");
    if (ke::CurrentIrql() >= DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::BlockingAtDispatch, "KeDelayExecutionThread at IRQL %d",
                         ke::CurrentIrql());
        return STATUS_SUCCESS;
    }
    if (Interval->QuadPart == 0) {
        ke::sched::Point("KeDelayExecutionThread");
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    int64_t deadline = ke::detail::DeadlineFromDueTime(Interval->QuadPart);
    auto &sched = ke::detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    sched.blockedWaiters++;
    ke::detail::WaitUntil(held, deadline, [] { return false; }, "KeDelayExecutionThread");
    sched.blockedWaiters--;
    return STATUS_SUCCESS;
}

}  // extern "C"

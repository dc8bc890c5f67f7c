// The clock and the timers. Interrupt time counts 100-ns units from the platform's
// start; system time is interrupt time plus the wall-clock time of the start.
// Under virtual time the clock moves only in Advance(), which fires the timers that
// fall due on the way, one by one in due order, letting each one's DPC run before
// the next fires. Under real time a timer thread fires them.
//
// Timers are dispatcher objects: their signal state lives in the KTIMER header, and
// Header.Inserted says whether the timer is armed. Not modelled: tolerable delays,
// high-resolution timers, timer expiry on a particular processor.
#include "sim/ke/internal.h"

#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace sim::ke {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_virtual{true};
std::atomic<int64_t> g_virtualNow{0};
Clock::time_point g_realStart = Clock::now();
// System time (100 ns since 1601) at interrupt time 0.
std::atomic<int64_t> g_systemBase{0};
std::thread g_timerThread;

int64_t WallClockSystemTime()
{
    constexpr int64_t kUnixEpochAs1601 = 116444736000000000LL;
    auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAs1601 +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

bool ValidTimer(PKTIMER timer)
{
    return (timer->Header.Type == detail::kTimerNotificationObject ||
            timer->Header.Type == detail::kTimerSynchronizationObject) &&
           timer->Header.Size == sizeof(KTIMER) / sizeof(LONG);
}

// Index of the armed timer that is due first, or -1.
long EarliestLocked()
{
    auto &timers = detail::Sched().timers;
    long best = -1;
    for (size_t i = 0; i < timers.size(); i++) {
        if (best < 0) {
            best = static_cast<long>(i);
            continue;
        }
        const auto &a = timers[i];
        const auto &b = timers[static_cast<size_t>(best)];
        if (a.timer->DueTime.QuadPart < b.timer->DueTime.QuadPart ||
            (a.timer->DueTime.QuadPart == b.timer->DueTime.QuadPart && a.seq < b.seq)) {
            best = static_cast<long>(i);
        }
    }
    return best;
}

bool DisarmLocked(PKTIMER timer)
{
    auto &timers = detail::Sched().timers;
    for (auto armed = timers.begin(); armed != timers.end(); ++armed) {
        if (armed->timer == timer) {
            timers.erase(armed);
            timer->Header.Inserted = FALSE;
            return true;
        }
    }
    return false;
}

void ArmLocked(PKTIMER timer, int64_t due)
{
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = TRUE;
    detail::Sched().timers.push_back({timer, detail::Sched().timerSeq++});
}

// Expires the armed timer at `index`: signals it, re-arms a periodic one, and
// queues its DPC with the interrupt time as the system arguments.
void FireLocked(long index, int64_t now)
{
    auto &sched = detail::Sched();
    PKTIMER timer = sched.timers[static_cast<size_t>(index)].timer;
    sched.timers.erase(sched.timers.begin() + index);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    if (timer->Period != 0) {
        ArmLocked(timer, static_cast<int64_t>(timer->DueTime.QuadPart) +
                             static_cast<int64_t>(timer->Period) * 10000);
    }
    if (timer->Dpc != NULL) {
        ULARGE_INTEGER at;
        at.QuadPart = static_cast<ULONGLONG>(now);
        detail::InsertQueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR{at.u.LowPart}),
                                     reinterpret_cast<PVOID>(ULONG_PTR{at.u.HighPart}));
    }
    detail::WakeWaitersLocked(timer);
}

bool DueLocked(int64_t now, long *index)
{
    *index = EarliestLocked();
    return *index >= 0 &&
           static_cast<int64_t>(detail::Sched().timers[static_cast<size_t>(*index)]
                                    .timer->DueTime.QuadPart) <= now;
}

Clock::time_point RealPoint(int64_t interruptTime)
{
    return g_realStart + std::chrono::nanoseconds(interruptTime * 100);
}

void TimerThread()
{
    NameThread("timer");
    auto &sched = detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    while (!sched.stopping) {
        if (g_virtual) {
            sched.timersMoved.wait(held);
            continue;
        }
        long index;
        while (DueLocked(Now(), &index)) {
            FireLocked(index, Now());
        }
        index = EarliestLocked();
        if (index < 0) {
            sched.timersMoved.wait(held);
        } else {
            int64_t due = static_cast<int64_t>(sched.timers[static_cast<size_t>(index)].timer->DueTime.QuadPart);
            sched.timersMoved.wait_until(held, RealPoint(due));
        }
    }
}

}  // namespace

namespace {

// The timer thread and every blocked waiter switch between waiting for a notification
// and waiting for their deadline.
void SetClockMode(bool virtualTime)
{
    auto &sched = detail::Sched();
    std::lock_guard<std::mutex> guard(sched.lock);
    g_virtual = virtualTime;
    sched.timersMoved.notify_all();
    detail::WakeAllWaitersLocked();
}

}  // namespace

void UseVirtualTime()
{
    SetClockMode(true);
}

void UseRealTime()
{
    SetClockMode(false);
}

bool VirtualTime()
{
    return g_virtual;
}

int64_t Now()
{
    if (g_virtual) {
        return g_virtualNow;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_realStart).count() /
           100;
}

void Advance(int64_t hundredNs)
{
    if (!g_virtual) {
        verifier::Report(verifier::Rule::InvalidParameter, "Advance() under real time");
        return;
    }
    auto &sched = detail::Sched();
    auto dpcsDone = [&] { return sched.dpcs.empty() && sched.dpcRunning == 0; };
    std::unique_lock<std::mutex> held(sched.lock);
    int64_t target = g_virtualNow + hundredNs;
    long index;
    while (DueLocked(target, &index)) {
        int64_t due = static_cast<int64_t>(sched.timers[static_cast<size_t>(index)].timer->DueTime.QuadPart);
        if (due > g_virtualNow) {
            g_virtualNow = due;
            detail::WakeAllWaitersLocked();
        }
        FireLocked(index, g_virtualNow);
        // The DPC may re-arm or cancel the timers still to come, as it could on Windows
        // where it runs long before the next one is due.
        sched::Wait(held, sched.drained, dpcsDone, "the DPCs of the timers it fired");
    }
    g_virtualNow = target;
    detail::WakeAllWaitersLocked();
    sched::Wait(held, sched.drained, dpcsDone, "the DPCs of the timers it fired");
}

int64_t NextTimerDue()
{
    std::lock_guard<std::mutex> guard(detail::Sched().lock);
    const long index = EarliestLocked();
    return index < 0 ? -1
                     : static_cast<int64_t>(
                           detail::Sched().timers[static_cast<size_t>(index)].timer->DueTime.QuadPart);
}

namespace detail {

void StartClock()
{
    g_virtualNow = 0;
    g_realStart = Clock::now();
    g_systemBase = WallClockSystemTime();
    {
        std::lock_guard<std::mutex> guard(detail::Sched().lock);
        for (auto &armed : detail::Sched().timers) {
            armed.timer->Header.Inserted = FALSE;
        }
        detail::Sched().timers.clear();
    }
    g_timerThread = std::thread(TimerThread);
}

void StopClock()
{
    // Sched().stopping is set by the caller; the timers still armed are forgotten
    // without touching them, as their memory may be gone.
    if (g_timerThread.joinable()) {
        g_timerThread.join();
    }
    std::lock_guard<std::mutex> guard(detail::Sched().lock);
    detail::Sched().timers.clear();
}

int64_t DeadlineFromDueTime(LONGLONG dueTime)
{
    if (dueTime < 0) {
        // A relative time reaching past the end of the clock's range waits until that
        // end, rather than wrapping round into the past.
        int64_t deadline;
        if (__builtin_sub_overflow(Now(), dueTime, &deadline)) {
            return std::numeric_limits<int64_t>::max();
        }
        return deadline;
    }
    return dueTime - g_systemBase;
}

void WakeWaitersLocked(const void *object)
{
    for (Waiter *waiter : Sched().waiters) {
        if (waiter->object == object) {
            waiter->wake.notify_one();
        }
    }
}

void WakeAllWaitersLocked()
{
    for (Waiter *waiter : Sched().waiters) {
        waiter->wake.notify_one();
    }
}

bool WaitUntil(std::unique_lock<std::mutex> &held, int64_t deadline,
               const std::function<bool()> &done, const char *what, const void *object)
{
    auto &sched = Sched();
    // On the list of blocked waiters from its first block to its return (under the lock).
    struct Listed {
        std::vector<Waiter *> &waiters;
        Waiter self;
        bool on = false;
        ~Listed()
        {
            if (on) {
                waiters.erase(std::find(waiters.begin(), waiters.end(), &self));
            }
        }
    } listed{sched.waiters, Waiter{object, {}}};
    while (!done()) {
        if (deadline != kNoDeadline && Now() >= deadline) {
            return false;
        }
        if (sched::Scheduled()) {
            held.unlock();
            // False when the run ended meanwhile and this thread left it; either way
            // the condition is tested again (a notification sent while the thread was
            // in the run's wait did not wait for it on `changed`).
            sched::Await(what, object, [&] {
                std::lock_guard<std::mutex> guard(sched.lock);
                return done();
            }, deadline);
            held.lock();
            continue;
        }
        if (!listed.on) {
            sched.waiters.push_back(&listed.self);
            listed.on = true;
        }
        if (g_virtual || deadline == kNoDeadline) {
            listed.self.wake.wait(held);  // Advance() wakes every waiter when the clock moves
        } else {
            listed.self.wake.wait_until(held, RealPoint(deadline));
        }
    }
    return true;
}

void AdvanceScheduledClock(int64_t time)
{
    std::lock_guard<std::mutex> guard(Sched().lock);
    if (time > g_virtualNow) {
        g_virtualNow = time;
    }
    long index;
    if (DueLocked(g_virtualNow, &index)) {
        FireLocked(index, g_virtualNow);
    }
    WakeAllWaitersLocked();
}

void DropTimersLocked(const std::function<bool(PKTIMER)> &drop)
{
    auto &timers = detail::Sched().timers;
    for (auto armed = timers.begin(); armed != timers.end();) {
        PKTIMER timer = armed->timer;
        if (drop(timer)) {
            armed = timers.erase(armed);
            timer->Header.Inserted = FALSE;
        } else {
            ++armed;
        }
    }
}

}  // namespace detail
}  // namespace sim::ke

using namespace sim;

extern "C" {

VOID KeInitializeTimer(PKTIMER Timer) noexcept
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) noexcept
{
    {
        std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
        if (ke::DisarmLocked(Timer)) {
            verifier::Report(verifier::Rule::InvalidParameter,
                             "KeInitializeTimer of timer %p while it is armed", (void *)Timer);
        }
    }
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = static_cast<UCHAR>(ke::detail::kTimerNotificationObject + Type);
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) noexcept
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) noexcept
{
    verifier::CheckNotDeleted(Timer, "KeSetTimer");
    if (!ke::ValidTimer(Timer)) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeSetTimer of %p, which is not an initialised timer", (void *)Timer);
        return FALSE;
    }
    if (ke::CurrentIrql() > DISPATCH_LEVEL || Period < 0) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeSetTimer of %p at IRQL %d with period %d", (void *)Timer,
                         ke::CurrentIrql(), Period);
        return FALSE;
    }
    auto &sched = ke::detail::Sched();
    std::lock_guard<std::mutex> guard(sched.lock);
    BOOLEAN wasArmed = ke::DisarmLocked(Timer) ? TRUE : FALSE;
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart >= 0 ? TRUE : FALSE;
    Timer->Period = static_cast<ULONG>(Period);
    Timer->Dpc = Dpc;
    ke::ArmLocked(Timer, ke::detail::DeadlineFromDueTime(DueTime.QuadPart));
    sched.timersMoved.notify_one();
    return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) noexcept
{
    std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
    return ke::DisarmLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) noexcept
{
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) noexcept
{
    CurrentTime->QuadPart = ke::g_systemBase + ke::Now();
}

ULONGLONG KeQueryInterruptTime(void) noexcept
{
    return static_cast<ULONGLONG>(ke::Now());
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) noexcept
{
    // A busy wait on Windows; here it takes real time only under real time, and
    // never moves the virtual clock (nothing else would see it move).
    if (!ke::VirtualTime()) {
        std::this_thread::sleep_for(std::chrono::microseconds(MicroSeconds));
    }
}

}  // extern "C"

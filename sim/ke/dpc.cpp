// DPCs and the platform's deferred-work bookkeeping: the one DPC thread that runs
// queued DPCs (and the bus's RunAtDispatch functions) at DISPATCH_LEVEL in queue
// order, the idle wait over DPCs and work items, the start and stop of Ke's threads,
// and the check that memory going away holds no armed timer, queued DPC or pending
// work item.
//
// A KDPC's DpcData is non-NULL exactly while it is queued, as on Windows. Not
// modelled: DPC importance and target processors, threaded DPCs, several processors
// running DPCs at once.
#include "sim/ke/internal.h"

#include "sim/ex/ex.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <thread>

namespace sim::ke {
namespace {

std::thread g_dpcThread;
thread_local bool t_onDpcThread = false;

void DpcThread()
{
    NameThread("dpc");
    SetIrql(DISPATCH_LEVEL);
    t_onDpcThread = true;
    auto &sched = detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    for (;;) {
        sched::Wait(held, sched.dpcQueued, [&] { return sched.stopping || !sched.dpcs.empty(); },
                    "a DPC to run");
        if (sched.dpcs.empty()) {
            break;  // stopping, and everything queued has run
        }
        detail::DpcEntry entry = std::move(sched.dpcs.front());
        sched.dpcs.pop_front();
        sched.dpcRunning++;
        PKDEFERRED_ROUTINE routine = NULL;
        PVOID context = NULL, argument1 = NULL, argument2 = NULL;
        if (entry.dpc != NULL) {
            // Read before the DPC leaves the queue: once DpcData is clear the driver may
            // queue it again with other arguments, even from inside the routine.
            routine = entry.dpc->DeferredRoutine;
            context = entry.dpc->DeferredContext;
            argument1 = entry.dpc->SystemArgument1;
            argument2 = entry.dpc->SystemArgument2;
            entry.dpc->DpcData = NULL;
        }
        held.unlock();
        if (entry.dpc != NULL) {
            DriverCall call("DPC routine");
            routine(entry.dpc, context, argument1, argument2);
        } else {
            entry.fn();
            SetIrql(DISPATCH_LEVEL);
        }
        held.lock();
        sched.dpcRunning--;
        if (entry.done != NULL) {
            *entry.done = true;
        }
        sched.drained.notify_all();
    }
}

bool Inside(const void *p, const void *begin, size_t length)
{
    return p >= begin && static_cast<const char *>(p) < static_cast<const char *>(begin) + length;
}

}  // namespace

namespace detail {

Scheduler &Sched()
{
    static Scheduler scheduler;
    return scheduler;
}

bool InsertQueueDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    NoteActivity();
    if (dpc->DpcData != NULL) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &Sched();
    Sched().dpcs.push_back(DpcEntry{dpc, {}, NULL});
    Sched().dpcQueued.notify_one();
    return true;
}

}  // namespace detail

void Start()
{
    ResetThread();
    ForgetAllLocks();
    auto &sched = detail::Sched();
    {
        std::lock_guard<std::mutex> guard(sched.lock);
        sched.stopping = false;
        sched.dpcs.clear();
        sched.dpcRunning = 0;
        sched.blockedWaiters = 0;
    }
    detail::StartClock();
    g_dpcThread = sched::Start("dpc", DpcThread);
}

void Stop()
{
    auto &sched = detail::Sched();
    {
        std::lock_guard<std::mutex> guard(sched.lock);
        sched.stopping = true;
        sched.dpcQueued.notify_all();
        sched.timersMoved.notify_all();
    }
    if (g_dpcThread.joinable()) {
        sched::Join(g_dpcThread, "the DPC thread");
    }
    detail::StopClock();
}

void RunAtDispatch(std::function<void()> fn)
{
    if (t_onDpcThread) {
        KIRQL old = CurrentIrql();
        SetIrql(DISPATCH_LEVEL);
        fn();
        SetIrql(old);
        return;
    }
    auto &sched = detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    bool done = false;
    sched.dpcs.push_back(detail::DpcEntry{NULL, std::move(fn), &done});
    sched.dpcQueued.notify_one();
    sched::Wait(held, sched.drained, [&] { return done; }, "its function on the DPC thread");
}

void WaitIdle()
{
    auto &sched = detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    sched::Wait(held, sched.drained, [&] {
        return sched.dpcs.empty() && sched.dpcRunning == 0 && sched.work.empty() &&
               sched.workRunning == 0;
    }, "the DPCs and work items to drain");
}

void CheckNoDeferredWorkIn(const void *begin, size_t length, const char *owner)
{
    NotifyRelease(begin, length, owner);
    auto &sched = detail::Sched();
    std::lock_guard<std::mutex> guard(sched.lock);
    // Each one found is reported and then taken out of its queue, so that the platform
    // never runs it on memory that is about to be freed.
    detail::DropTimersLocked([&](PKTIMER timer) {
        PKDPC dpc = timer->Dpc;
        bool inside = Inside(timer, begin, length) ||
                      (dpc != NULL && (Inside(dpc, begin, length) ||
                                       Inside(dpc->DeferredContext, begin, length) ||
                                       Inside(reinterpret_cast<const void *>(dpc->DeferredRoutine), begin, length)));
        if (inside) {
            verifier::Report(verifier::Rule::TimerArmedAtDelete,
                             "%s: timer %p (DPC %p) is still armed, due in %lld us", owner,
                             (void *)timer, (void *)dpc,
                             (long long)((int64_t)timer->DueTime.QuadPart - Now()) / 10);
        }
        return inside;
    });
    for (auto entry = sched.dpcs.begin(); entry != sched.dpcs.end();) {
        PKDPC dpc = entry->dpc;
        if (dpc != NULL &&
            (Inside(dpc, begin, length) || Inside(dpc->DeferredContext, begin, length) ||
             Inside(reinterpret_cast<const void *>(dpc->DeferredRoutine), begin, length))) {
            verifier::Report(verifier::Rule::DpcQueuedAtDelete,
                             "%s: DPC %p (context %p) is still queued", owner, (void *)dpc,
                             dpc->DeferredContext);
            dpc->DpcData = NULL;
            entry = sched.dpcs.erase(entry);
        } else {
            ++entry;
        }
    }
    for (auto item = sched.work.begin(); item != sched.work.end();) {
        if (Inside(*item, begin, length) || Inside((*item)->Parameter, begin, length) ||
            Inside(reinterpret_cast<const void *>((*item)->WorkerRoutine), begin, length)) {
            verifier::Report(verifier::Rule::WorkItemPendingAtDelete,
                             "%s: work item %p (parameter %p) is still queued", owner,
                             (void *)*item, (*item)->Parameter);
            item = sched.work.erase(item);
        } else {
            ++item;
        }
    }
    sched.drained.notify_all();
    sched.timersMoved.notify_all();
}

}  // namespace sim::ke

using namespace sim;

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) noexcept
{
    {
        auto &sched = ke::detail::Sched();
        std::lock_guard<std::mutex> guard(sched.lock);
        for (auto entry = sched.dpcs.begin(); entry != sched.dpcs.end(); ++entry) {
            if (entry->dpc == Dpc) {
                verifier::Report(verifier::Rule::InvalidParameter,
                                 "KeInitializeDpc of DPC %p while it is queued", (void *)Dpc);
                sched.dpcs.erase(entry);
                sched.drained.notify_all();
                break;
            }
        }
    }
    Dpc->Type = ke::detail::kDpcObject;
    Dpc->Importance = 1;  // MediumImportance
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = NULL;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = NULL;
    Dpc->DpcData = NULL;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) noexcept
{
    verifier::CheckNotDeleted(Dpc, "KeInsertQueueDpc");
    if (Dpc->Type != ke::detail::kDpcObject || Dpc->DeferredRoutine == NULL) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeInsertQueueDpc of %p, which is not an initialised DPC", (void *)Dpc);
        return FALSE;
    }
    BOOLEAN queued;
    {
        std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
        queued = ke::detail::InsertQueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
    }
    ke::sched::Point("KeInsertQueueDpc", Dpc);
    return queued;
}

// "KeFlushQueuedDpcs routine": returns after every DPC queued before the call has run
// to completion, on every processor (here the one DPC thread); PASSIVE_LEVEL only. A
// marker queued behind them has the DPC thread say when it got that far.
VOID KeFlushQueuedDpcs(void) noexcept
{
    if (ke::CurrentIrql() != PASSIVE_LEVEL) {
        verifier::Report(ke::CurrentIrql() >= DISPATCH_LEVEL ? verifier::Rule::BlockingAtDispatch
                                                             : verifier::Rule::InvalidParameter,
                         "KeFlushQueuedDpcs at IRQL %d (PASSIVE_LEVEL only)", ke::CurrentIrql());
        return;
    }
    auto &sched = ke::detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    bool done = false;
    sched.dpcs.push_back(ke::detail::DpcEntry{NULL, [] {}, &done});
    sched.dpcQueued.notify_one();
    sched.blockedWaiters++;
    // In a scheduled run the turn goes on until the DPC thread has reached the marker.
    ke::sched::Wait(held, sched.drained, [&] { return done; }, "KeFlushQueuedDpcs");
    sched.blockedWaiters--;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) noexcept
{
    auto &sched = ke::detail::Sched();
    std::lock_guard<std::mutex> guard(sched.lock);
    if (Dpc->DpcData == NULL) {
        return FALSE;
    }
    for (auto entry = sched.dpcs.begin(); entry != sched.dpcs.end(); ++entry) {
        if (entry->dpc == Dpc) {
            sched.dpcs.erase(entry);
            break;
        }
    }
    Dpc->DpcData = NULL;
    sched.drained.notify_all();
    return TRUE;
}

}  // extern "C"

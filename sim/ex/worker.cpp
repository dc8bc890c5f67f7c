// System worker threads and ExQueueWorkItem. Work items of every queue type go to
// one queue served by a fixed set of threads, each running an item at PASSIVE_LEVEL
// inside a DriverCall. The queue itself is Ke's scheduler state, so that
// ke::WaitIdle and ke::CheckNoDeferredWorkIn see it beside the DPCs.
//
// Not modelled: the separate critical, delayed and hyper-critical queues and their
// priorities, and dynamic worker threads.
#include "sim/ex/ex.h"

#include "sim/ke/internal.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <algorithm>
#include <string>
#include <thread>

namespace sim::ex {
namespace {

std::vector<std::thread> g_workers;
bool g_workersStopping = false;  // under Sched().lock

void WorkerThread(int index)
{
    std::string name = "worker " + std::to_string(index);
    ke::NameThread(name.c_str());
    ke::SetIrql(PASSIVE_LEVEL);
    auto &sched = ke::detail::Sched();
    std::unique_lock<std::mutex> held(sched.lock);
    for (;;) {
        ke::sched::Wait(held, sched.workQueued, [&] { return g_workersStopping || !sched.work.empty(); },
                        "a work item");
        if (sched.work.empty()) {
            break;
        }
        PWORK_QUEUE_ITEM item = sched.work.front();
        sched.work.pop_front();
        sched.workRunning++;
        // The item is not touched after its routine starts: the routine may free it.
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        item->List.Flink = NULL;
        held.unlock();
        {
            ke::DriverCall call("work item");
            routine(parameter);
        }
        held.lock();
        sched.workRunning--;
        sched.drained.notify_all();
    }
}

}  // namespace

void StartWorkers(int count)
{
    {
        std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
        ke::detail::Sched().work.clear();
        ke::detail::Sched().workRunning = 0;
        g_workersStopping = false;
    }
    for (int i = 1; i <= count; i++) {
        const std::string name = "worker " + std::to_string(i);
        g_workers.push_back(ke::sched::Start(name.c_str(), [i] { WorkerThread(i); }));
    }
}

void StopWorkers()
{
    {
        std::lock_guard<std::mutex> guard(ke::detail::Sched().lock);
        g_workersStopping = true;
        ke::detail::Sched().workQueued.notify_all();
    }
    for (auto &worker : g_workers) {
        ke::sched::Join(worker, "a worker thread");
    }
    g_workers.clear();
}

}  // namespace sim::ex

using namespace sim;

extern "C" {

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) noexcept
{
    (void)QueueType;
    verifier::CheckNotDeleted(WorkItem, "ExQueueWorkItem");
    if (ke::CurrentIrql() > DISPATCH_LEVEL || WorkItem->WorkerRoutine == NULL) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "ExQueueWorkItem of %p at IRQL %d with routine %p", (void *)WorkItem,
                         ke::CurrentIrql(), (void *)WorkItem->WorkerRoutine);
        return;
    }
    {
        auto &sched = ke::detail::Sched();
        std::lock_guard<std::mutex> guard(sched.lock);
        // Queuing an item that is still queued would corrupt the queue's list on Windows.
        if (std::find(sched.work.begin(), sched.work.end(), WorkItem) != sched.work.end()) {
            verifier::Report(verifier::Rule::InvalidParameter,
                             "ExQueueWorkItem of work item %p, which is already queued",
                             (void *)WorkItem);
            return;
        }
        WorkItem->List.Flink = &WorkItem->List;
        sched.work.push_back(WorkItem);
        sched.workQueued.notify_one();   // one idle worker, if any: a busy one finds it next
    }
    ke::sched::Point("ExQueueWorkItem", WorkItem);
}

}  // extern "C"

// Threads as the I/O functions see them: thread ids and handles (GetCurrentThreadId,
// OpenThread), CancelSynchronousIo, and the cancellation of a thread's requests still
// in flight when it exits. Application threads at PASSIVE_LEVEL.
#include "sim/win32/internal.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>

using sim::win32::detail::FileRecord;
using sim::win32::detail::Pending;
using sim::win32::detail::ThreadObject;

namespace {

std::atomic<DWORD> g_nextThreadId{0x100};

std::mutex &LiveLock()
{
    static auto *lock = new std::mutex;
    return *lock;
}

std::set<DWORD> &Live()
{
    static auto *live = new std::set<DWORD>;
    return *live;
}

// A thread's id, given at its first call; known to OpenThread until the thread exits.
struct ThreadId {
    DWORD id;
    ThreadId() : id(g_nextThreadId.fetch_add(4))
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        Live().insert(id);
    }
    ~ThreadId()
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        Live().erase(id);
    }
};

thread_local ThreadId t_id;

// How long an exiting thread waits for the requests it cancelled (Windows waits
// longer, then lets the thread go with them still in flight).
constexpr auto kExitWait = std::chrono::seconds(10);

// Constructed by a thread's first request; its destructor runs as the thread exits.
struct ExitCancel {
    uint64_t generation = 0;
    DWORD self = 0;
    ~ExitCancel()
    {
        if (generation != sim::io::Generation()) {
            return;  // the platform those requests went to is gone
        }
        std::vector<std::shared_ptr<sim::io::Operation>> cancelled;
        for (const auto &record : sim::win32::detail::OpenFiles()) {
            std::lock_guard<std::mutex> guard(record->lock);
            for (const auto &pending : record->pending) {
                if (pending->thread == self && pending->op) {
                    cancelled.push_back(pending->op);
                }
            }
        }
        for (const auto &op : cancelled) {
            op->Cancel();
        }
        const auto deadline = std::chrono::steady_clock::now() + kExitWait;
        for (const auto &op : cancelled) {
            while (!op->Done() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
};

thread_local ExitCancel t_exitCancel;

}  // namespace

namespace sim::win32::detail {

void NoteIssuingThread()
{
    // The id first: constructed before the exit hook, it is destroyed after it.
    const DWORD self = t_id.id;
    t_exitCancel.self = self;
    t_exitCancel.generation = sim::io::Generation();
}

}  // namespace sim::win32::detail

DWORD GetCurrentThreadId()
{
    return t_id.id;
}

HANDLE OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    {
        std::lock_guard<std::mutex> guard(LiveLock());
        if (Live().count(dwThreadId) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->id = dwThreadId;
    SetLastError(ERROR_SUCCESS);
    return sim::win32::detail::InsertObject(thread);
}

BOOL CancelSynchronousIo(HANDLE hThread)
{
    auto thread = sim::win32::detail::ThreadOf(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int cancelled = 0;
    for (const auto &record : sim::win32::detail::OpenFiles()) {
        cancelled += sim::win32::detail::CancelMatching(record, [&](const Pending &pending) {
            return pending.synchronous && pending.thread == thread->id;
        });
    }
    if (cancelled == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

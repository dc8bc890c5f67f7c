// The verifier's record of violations. Report() may be called from any platform
// thread (application, PnP, DPC, worker) at any IRQL the platform models; it only
// takes its own mutex, so it is safe to call with the scheduler's lock held.
#include "sim/verifier.h"

#include "sim/io/loader.h"

#include "sim/ke/ke.h"
#include "sim/ke/sched.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

namespace sim::verifier {
namespace {

std::mutex g_lock;
std::vector<Violation> g_violations;

struct DeletedBlock {
    size_t length;
    const void *device;
};
std::mutex g_deletedLock;
std::map<uintptr_t, DeletedBlock> g_deleted;  // by start address
std::atomic<size_t> g_deletedCount{0};

}  // namespace

const char *RuleName(Rule rule)
{
    switch (rule) {
    case Rule::IrpCompletedTwice: return "IrpCompletedTwice";
    case Rule::IrpCompletedWithCancelRoutine: return "IrpCompletedWithCancelRoutine";
    case Rule::IrpCompletedWithPending: return "IrpCompletedWithPending";
    case Rule::IrpFreedInFlight: return "IrpFreedInFlight";
    case Rule::IrpReusedInFlight: return "IrpReusedInFlight";
    case Rule::PendingMarkedNotReturned: return "PendingMarkedNotReturned";
    case Rule::PendingReturnedNotMarked: return "PendingReturnedNotMarked";
    case Rule::InformationOnFailure: return "InformationOnFailure";
    case Rule::InformationBeyondBuffer: return "InformationBeyondBuffer";
    case Rule::OutputNotWritten: return "OutputNotWritten";
    case Rule::BlockingAtDispatch: return "BlockingAtDispatch";
    case Rule::SpinLockWrongIrql: return "SpinLockWrongIrql";
    case Rule::SpinLockHeldOnReturn: return "SpinLockHeldOnReturn";
    case Rule::KernelStackOverflow: return "KernelStackOverflow";
    case Rule::LockOrder: return "LockOrder";
    case Rule::CallDriverWithSpinLock: return "CallDriverWithSpinLock";
    case Rule::RemoveLockOverReleased: return "RemoveLockOverReleased";
    case Rule::RemoveLockAcquiredAfterWait: return "RemoveLockAcquiredAfterWait";
    case Rule::RemoveLockHeldAtDelete: return "RemoveLockHeldAtDelete";
    case Rule::PoolLeak: return "PoolLeak";
    case Rule::HandleLeak: return "HandleLeak";
    case Rule::PoolDoubleFree: return "PoolDoubleFree";
    case Rule::PoolOverrun: return "PoolOverrun";
    case Rule::DeviceUsedAfterDelete: return "DeviceUsedAfterDelete";
    case Rule::RequestNeverCompleted: return "RequestNeverCompleted";
    case Rule::TimerArmedAtDelete: return "TimerArmedAtDelete";
    case Rule::DpcQueuedAtDelete: return "DpcQueuedAtDelete";
    case Rule::WorkItemPendingAtDelete: return "WorkItemPendingAtDelete";
    case Rule::UrbBufferFreedInFlight: return "UrbBufferFreedInFlight";
    case Rule::UrbLengthMismatch: return "UrbLengthMismatch";
    case Rule::PowerIrpWithoutStartNext: return "PowerIrpWithoutStartNext";
    case Rule::ApplicationError: return "ApplicationError";
    case Rule::NotModelled: return "NotModelled";
    case Rule::InvalidParameter: return "InvalidParameter";
    }
    return "UnknownRule";
}

void Report(Rule rule, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);

    std::string detail = std::string("[") + ke::ThreadName() + "] " + text;
    // A driver image has no symbols the host can see: the image routine whose call
    // into the platform led here is named by its image-relative address.
    if (const std::string caller = io::ImageCaller(); !caller.empty()) {
        detail += " (called from " + caller + ")";
    }
    // Printed at once and unbuffered: a violation is often followed by a hang or a
    // crash, and the line must already be out when that happens.
    fprintf(stderr, "verifier: %s: %s\n", RuleName(rule), detail.c_str());

    ke::sched::NoteViolation();
    std::lock_guard<std::mutex> guard(g_lock);
    g_violations.push_back({rule, std::move(detail)});
}

std::vector<Violation> Take()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<Violation> taken;
    taken.swap(g_violations);
    return taken;
}

bool Any()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return !g_violations.empty();
}

void MarkDeleted(const void *begin, size_t length, const void *device)
{
    std::lock_guard<std::mutex> guard(g_deletedLock);
    g_deleted[reinterpret_cast<uintptr_t>(begin)] = DeletedBlock{length, device};
    g_deletedCount.store(g_deleted.size(), std::memory_order_release);
}

void ForgetDeleted(const void *begin)
{
    std::lock_guard<std::mutex> guard(g_deletedLock);
    g_deleted.erase(reinterpret_cast<uintptr_t>(begin));
    g_deletedCount.store(g_deleted.size(), std::memory_order_release);
}

void ForgetAllDeleted()
{
    std::lock_guard<std::mutex> guard(g_deletedLock);
    g_deleted.clear();
    g_deletedCount.store(0, std::memory_order_release);
}

bool CheckNotDeleted(const void *p, const char *routine)
{
    if (g_deletedCount.load(std::memory_order_acquire) == 0) {
        return true;
    }
    const auto address = reinterpret_cast<uintptr_t>(p);
    const void *device = nullptr;
    size_t offset = 0;
    {
        std::lock_guard<std::mutex> guard(g_deletedLock);
        auto it = g_deleted.upper_bound(address);
        if (it == g_deleted.begin()) {
            return true;
        }
        --it;
        if (address - it->first >= it->second.length) {
            return true;
        }
        device = it->second.device;
        offset = address - it->first;
    }
    Report(Rule::DeviceUsedAfterDelete, "%s(%p): %zu bytes into device %p, which was deleted", routine, p,
           offset, device);
    return false;
}

}  // namespace sim::verifier

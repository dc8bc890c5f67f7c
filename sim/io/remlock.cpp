// Remove locks: the free-build IO_REMOVE_LOCK (a count biased by 1, a Removed flag
// and an event) with the tags of every hold tracked beside it, so that the verifier
// can name what is over-released, released after a refused acquire, or still held
// when the device goes.
//
// Context: acquire and release at PASSIVE_LEVEL up to DISPATCH_LEVEL in any thread;
// release-and-wait at PASSIVE_LEVEL only (it blocks). Not modelled: the checked-build
// layout (RemlockSize must be the free-build size), MaxLockedMinutes and
// HighWatermark.
//
// The rules:
// - RemoveLockOverReleased: a release with a tag that holds nothing (more releases
//   than acquires), or a second release-and-wait.
// - RemoveLockAcquiredAfterWait: once removal has begun an acquire fails with
//   STATUS_DELETE_PENDING, and that is the expected fate of a late request; the fault
//   is a release made for such a refused acquire (the caller went on as if it held
//   the lock), which would otherwise drive the count below zero.
// - RemoveLockHeldAtDelete: IoDeleteDevice on memory that holds a remove lock with
//   holds outstanding.
#include "sim/io/internal.h"

#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <string>

using namespace sim::io::detail;
using sim::verifier::Report;
using sim::verifier::Rule;

namespace {

// The record of an initialised lock (lock held); reports and returns NULL otherwise.
RemoveLockRecord *FindLockLocked(PIO_REMOVE_LOCK lock, const char *routine)
{
    auto it = S().removeLocks.find(lock);
    if (it == S().removeLocks.end()) {
        Report(Rule::InvalidParameter, "%s(%p): remove lock not initialised", routine, (void *)lock);
        return nullptr;
    }
    return &it->second;
}

bool CheckSize(ULONG size, const char *routine)
{
    if (size != sizeof(IO_REMOVE_LOCK)) {
        Report(Rule::InvalidParameter, "%s: RemlockSize %u is not the free-build size %zu", routine,
               size, sizeof(IO_REMOVE_LOCK));
        return false;
    }
    return true;
}

void DropOne(PIO_REMOVE_LOCK lock)
{
    if (InterlockedDecrement(&lock->Common.IoCount) == 0) {
        KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

namespace sim::io::detail {

void CheckRemoveLocksIn(const void *begin, size_t length, const char *owner)
{
    auto inside = [&](const void *p) {
        return p >= begin && static_cast<const char *>(p) < static_cast<const char *>(begin) + length;
    };
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto it = S().removeLocks.begin(); it != S().removeLocks.end();) {
        if (!inside(it->first)) {
            ++it;
            continue;
        }
        if (it->second.total > 0) {
            std::string tags;
            for (const auto &[tag, count] : it->second.holds) {
                if (count > 0) {
                    char text[48];
                    snprintf(text, sizeof(text), " %p x%ld", tag, count);
                    tags += text;
                }
            }
            Report(Rule::RemoveLockHeldAtDelete, "%s: remove lock %p still held %ld time(s):%s",
                   owner, (const void *)it->first, it->second.total, tags.c_str());
        }
        it = S().removeLocks.erase(it);
    }
}

}  // namespace sim::io::detail

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) noexcept
{
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;  // the bias that release-and-wait drops
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(S().lock);
    S().removeLocks[Lock] = RemoveLockRecord{};
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) noexcept
{
    (void)File;
    (void)Line;
    sim::ke::sched::Point("IoAcquireRemoveLock", RemoveLock);
    CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
    if (!sim::verifier::CheckNotDeleted(RemoveLock, "IoAcquireRemoveLockEx")) {
        return STATUS_DELETE_PENDING;
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (FindLockLocked(RemoveLock, "IoAcquireRemoveLockEx") == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    // Count first, then look at Removed: a release-and-wait that set Removed after
    // this increment sees the hold and waits for it.
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        std::lock_guard<std::mutex> guard(S().lock);
        RemoveLockRecord *record = FindLockLocked(RemoveLock, "IoAcquireRemoveLockEx");
        if (record != nullptr) {
            record->holds[Tag]++;
            record->total++;
        }
        return STATUS_SUCCESS;
    }
    DropOne(RemoveLock);
    std::lock_guard<std::mutex> guard(S().lock);
    RemoveLockRecord *record = FindLockLocked(RemoveLock, "IoAcquireRemoveLockEx");
    if (record != nullptr) {
        record->refused[Tag]++;
    }
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) noexcept
{
    sim::ke::sched::Point("IoReleaseRemoveLock", RemoveLock);
    CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
    {
        std::lock_guard<std::mutex> guard(S().lock);
        RemoveLockRecord *record = FindLockLocked(RemoveLock, "IoReleaseRemoveLockEx");
        if (record == nullptr) {
            return;
        }
        auto held = record->holds.find(Tag);
        if (held == record->holds.end() || held->second == 0) {
            // Not counted down: the count stays what the holders make it, so that a
            // waiting removal is not released early by the faulty call.
            auto refused = record->refused.find(Tag);
            if (refused != record->refused.end() && refused->second > 0) {
                refused->second--;
                Report(Rule::RemoveLockAcquiredAfterWait,
                       "IoReleaseRemoveLock(%p, tag %p): that acquire failed with "
                       "STATUS_DELETE_PENDING after removal began, so there is nothing to release",
                       (void *)RemoveLock, Tag);
            } else {
                Report(Rule::RemoveLockOverReleased,
                       "IoReleaseRemoveLock(%p, tag %p): the tag holds nothing (%ld hold(s) in all)",
                       (void *)RemoveLock, Tag, record->total);
            }
            return;
        }
        held->second--;
        record->total--;
    }
    DropOne(RemoveLock);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) noexcept
{
    sim::ke::sched::Point("IoReleaseRemoveLockAndWait", RemoveLock);
    CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    bool dropHold = false;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        RemoveLockRecord *record = FindLockLocked(RemoveLock, "IoReleaseRemoveLockAndWaitEx");
        if (record == nullptr) {
            return;
        }
        if (record->waited) {
            Report(Rule::RemoveLockOverReleased,
                   "IoReleaseRemoveLockAndWait(%p) called a second time", (void *)RemoveLock);
            return;
        }
        record->waited = true;
        auto held = record->holds.find(Tag);
        if (held == record->holds.end() || held->second == 0) {
            Report(Rule::RemoveLockOverReleased,
                   "IoReleaseRemoveLockAndWait(%p, tag %p): the caller's tag holds nothing",
                   (void *)RemoveLock, Tag);
        } else {
            held->second--;
            record->total--;
            dropHold = true;
        }
    }
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    if (dropHold) {
        InterlockedDecrement(&RemoveLock->Common.IoCount);
    }
    // Dropping the bias: whoever takes the count to zero afterwards sets the event.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
    }
}

}  // extern "C"

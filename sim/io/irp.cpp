// IRPs: allocation with the Windows layout (the IRP followed by its stack locations),
// freeing and reuse, IoCallDriver, IoCompleteRequest with completion routines and
// the propagation of pending, and IoMarkIrpPending. The IRP verifier rules are
// checked here: completed twice, completed pending or with a cancel routine, freed or
// reused in flight, the two pending rules, and Information on failure. The request
// hook's events (trace.cpp) are taken at the same steps.
//
// Context: IoCallDriver and IoCompleteRequest at PASSIVE_LEVEL up to DISPATCH_LEVEL
// in any thread; completion routines run in the completing thread at its IRQL.
//
// Only IRPs from IoAllocateIrp (or built by the I/O manager) are accepted: an IRP a
// driver lays out in its own memory with IoInitializeIrp is not modelled. Freed IRPs
// are poisoned and kept for a while, so that a late completion or free of one is
// reported instead of touching reused memory.
#include "sim/io/internal.h"

#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/lowres.h"
#include "sim/po/po.h"
#include "sim/verifier.h"

#include <cstring>

using sim::io::RequestEvent;
using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::io::detail {

namespace {

constexpr size_t kFreedIrpsKept = 256;

PIO_STACK_LOCATION Location(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// Marks every running dispatch frame of this IRP at `location` (lock held).
void MarkFramesLocked(PIRP irp, uint64_t serial, int location)
{
    auto range = S().frames.equal_range(irp);
    for (auto it = range.first; it != range.second; ++it) {
        Frame *f = it->second;
        if (f->serial == serial && f->location == location && !f->closed) {
            f->marked = true;
        }
    }
}

// The completion walked past `location`: the dispatch routines that ran there no
// longer own this use of the location, so a later mark (a re-send from a completion
// routine reusing the location) is not theirs.
void CloseFramesLocked(PIRP irp, uint64_t serial, int location)
{
    auto range = S().frames.equal_range(irp);
    for (auto it = range.first; it != range.second; ++it) {
        Frame *f = it->second;
        if (f->serial == serial && f->location == location) {
            f->closed = true;
        }
    }
}

void FreeIrpLocked(PIRP irp, IrpRecord &record)
{
    record.freed = true;
    record.finish = nullptr;
    record.traced.clear();
    std::memset(irp, kPoison, record.size);
    S().quarantine.push_back(irp);
    while (S().quarantine.size() > kFreedIrpsKept) {
        PIRP old = S().quarantine.front();
        S().quarantine.pop_front();
        auto it = S().irps.find(old);
        if (it != S().irps.end()) {
            FreeBlock(old, it->second.size);
            S().irps.erase(it);
        }
    }
}

// After the completion has dealt with `location` (its routine returned, or the mark
// was propagated): a dispatch routine one location up that returned STATUS_PENDING
// without marking relied on this step to mark its location. Returns false when the
// IRP was freed by a routine that did not stop the completion.
bool AfterLocation(PIRP irp, uint64_t serial, int location, bool stopped)
{
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord *record = FindIrp(irp, serial);
    if (record == nullptr) {
        return false;
    }
    record->passed.set(location);
    record->marked.reset(location);
    if (record->owed.test(location + 1)) {
        record->owed.reset(location + 1);
        // Marked by a call (IoMarkIrpPending is one in the host build) or by the flag
        // itself (the inline IoMarkIrpPending of a driver image sets only the flag).
        const bool flagged = !record->freed && location + 1 <= irp->StackCount &&
                             (Location(irp, location + 1)->Control & SL_PENDING_RETURNED) != 0;
        if (!record->marked.test(location + 1) && !flagged) {
            Report(Rule::PendingReturnedNotMarked,
                   "IRP %p: the dispatch routine at location %d returned STATUS_PENDING without "
                   "marking it, and the completion routine below it did not mark it either",
                   (void *)irp, location + 1);
        }
    }
    if (record->freed && !stopped) {
        Report(Rule::InvalidParameter,
               "IRP %p was freed by a completion routine that did not return "
               "STATUS_MORE_PROCESSING_REQUIRED",
               (void *)irp);
        return false;
    }
    return true;
}

}  // namespace

PIRP AllocateIrpRecorded(CCHAR stackSize, bool byIoManager)
{
    const USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(AllocateBlock(size));
    IoInitializeIrp(irp, size, stackSize);
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord &record = S().irps[irp];
    record = IrpRecord{};
    record.serial = S().nextSerial++;
    record.size = size;
    record.byIoManager = byIoManager;
    return irp;
}

IrpRecord *FindIrp(const IRP *irp)
{
    auto it = S().irps.find(irp);
    return it == S().irps.end() ? nullptr : &it->second;
}

IrpRecord *FindIrp(const IRP *irp, uint64_t serial)
{
    IrpRecord *record = FindIrp(irp);
    return record != nullptr && record->serial == serial ? record : nullptr;
}

void FreeIrp(PIRP irp)
{
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord *record = FindIrp(irp);
    if (record != nullptr && !record->freed) {
        FreeIrpLocked(irp, *record);
    }
}

void MarkPending(PIRP irp, const char *routine)
{
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord *record = FindIrp(irp);
    if (record == nullptr || record->freed) {
        Report(Rule::InvalidParameter, "%s(%p): not a live IRP", routine, (void *)irp);
        return;
    }
    const int location = irp->CurrentLocation;
    if (location < 1 || location > irp->StackCount) {
        // Windows would write the flag past the end of the stack locations.
        Report(Rule::InvalidParameter,
               "%s(%p) with no current stack location (the IRP is with its owner, not "
               "with a driver it was sent to)",
               routine, (void *)irp);
        return;
    }
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    record->marked.set(location);
    MarkFramesLocked(irp, record->serial, location);
}

}  // namespace sim::io::detail

using namespace sim::io::detail;

extern "C" {

USHORT IoSizeOfIrp(CCHAR StackSize) noexcept
{
    return (USHORT)(sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) noexcept
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = kIoTypeIrp;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) noexcept
{
    (void)ChargeQuota;
    if (StackSize < 1 || StackSize >= kMaxLocations - 1) {
        Report(Rule::InvalidParameter, "IoAllocateIrp(%d): stack size out of range", StackSize);
        return nullptr;
    }
    if (sim::lowres::ShouldFail("IoAllocateIrp")) {
        return nullptr;
    }
    return AllocateIrpRecorded(StackSize, false);
}

VOID IoFreeIrp(PIRP Irp) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord *record = FindIrp(Irp);
    if (record == nullptr || record->freed) {
        Report(Rule::InvalidParameter, "IoFreeIrp(%p): not a live IRP (freed twice?)", (void *)Irp);
        return;
    }
    if (record->byIoManager) {
        Report(Rule::IrpFreedInFlight,
               "IoFreeIrp(%p): the I/O manager built this IRP and frees it when it completes",
               (void *)Irp);
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        // Left allocated: the driver holding it will still complete it.
        Report(Rule::IrpFreedInFlight, "IoFreeIrp(%p) while %p (location %d) still holds it",
               (void *)Irp, (void *)IoGetCurrentIrpStackLocation(Irp)->DeviceObject,
               Irp->CurrentLocation);
        return;
    }
    FreeIrpLocked(Irp, *record);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) noexcept
{
    std::lock_guard<std::mutex> guard(S().lock);
    IrpRecord *record = FindIrp(Irp);
    if (record == nullptr || record->freed) {
        Report(Rule::InvalidParameter, "IoReuseIrp(%p): not a live IRP", (void *)Irp);
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        Report(Rule::IrpReusedInFlight, "IoReuseIrp(%p) while %p (location %d) still holds it",
               (void *)Irp, (void *)IoGetCurrentIrpStackLocation(Irp)->DeviceObject,
               Irp->CurrentLocation);
        return;
    }
    const UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    // A new life: marks and frames of the previous use no longer apply.
    record->serial = S().nextSerial++;
    record->completedOnce = false;
    record->marked.reset();
    record->passed.reset();
    record->owed.reset();
    record->traced.clear();
}

VOID IoMarkIrpPending(PIRP Irp) noexcept
{
    MarkPending(Irp, "IoMarkIrpPending");
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) noexcept
{
    sim::ke::sched::Point("IoCallDriver", Irp);
    Frame frame{};
    UCHAR major;
    const PDRIVER_OBJECT traced = TracedDriver();
    bool traceCall = false;
    RequestEvent event;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        IrpRecord *record = FindIrp(Irp);
        if (record == nullptr || record->freed) {
            Report(Rule::InvalidParameter, "IoCallDriver(%p, %p): not a live IRP",
                   (void *)DeviceObject, (void *)Irp);
            return STATUS_INVALID_PARAMETER;
        }
        if (FindDevice(DeviceObject) == nullptr) {
            if (DeviceDeletedLocked(DeviceObject)) {
                Report(Rule::DeviceUsedAfterDelete, "IoCallDriver(%p, %p): the device was deleted",
                       (void *)DeviceObject, (void *)Irp);
            } else {
                Report(Rule::InvalidParameter, "IoCallDriver(%p, %p): not a live device object",
                       (void *)DeviceObject, (void *)Irp);
            }
            return STATUS_INVALID_PARAMETER;
        }
        // The devices at the current location and below it (towards the owner) are the
        // ones processing this IRP now: sending it to one of them again means it is
        // being sent while still in flight (a re-issue before its completion).
        for (int k = Irp->CurrentLocation; k <= Irp->StackCount; k++) {
            if (Location(Irp, k)->DeviceObject == DeviceObject) {
                Report(Rule::IrpReusedInFlight,
                       "IoCallDriver(%p, IRP %p): that device still holds the IRP at location %d",
                       (void *)DeviceObject, (void *)Irp, k);
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        if (Irp->CurrentLocation <= 1) {
            Report(Rule::InvalidParameter,
                   "IoCallDriver(%p, IRP %p): no stack location left (StackSize %d too small)",
                   (void *)DeviceObject, (void *)Irp, Irp->StackCount);
            return STATUS_INVALID_PARAMETER;
        }
        if (traced != nullptr) {
            traceCall = TraceCallLocked(Irp, *record, DeviceObject, traced, &event, &generation);
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        sp->DeviceObject = DeviceObject;
        major = sp->MajorFunction;
        const int location = Irp->CurrentLocation;
        record->marked.reset(location);
        record->passed.reset(location);
        record->owed.reset(location);
        frame.irp = Irp;
        frame.serial = record->serial;
        frame.location = location;
        S().frames.emplace(Irp, &frame);
    }
    if (sim::ke::SpinLocksHeld() > 0) {
        // The lower driver may complete the IRP at once, running completion routines
        // that take the same lock.
        Report(Rule::CallDriverWithSpinLock, "IoCallDriver(%p, %s IRP %p) with %zu spin lock(s) held",
               (void *)DeviceObject, MajorName(major), (void *)Irp, sim::ke::SpinLocksHeld());
    }

    NTSTATUS status;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Report(Rule::InvalidParameter, "IoCallDriver(%p, IRP %p): major function 0x%x",
               (void *)DeviceObject, (void *)Irp, major);
        status = STATUS_INVALID_PARAMETER;
    } else {
        if (major == IRP_MJ_POWER) {
            sim::po::OnCallDriver(Irp, DeviceObject, frame.location);
        }
        if (traceCall) {
            EmitRequestEvent(event, traced, generation);
        }
        {
            sim::ke::DriverCall call(MajorName(major), Irp);
            status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);
        }
        if (traceCall && event.kind == RequestEvent::Kind::Enter) {
            event.kind = RequestEvent::Kind::Return;
            event.status = status;
            EmitRequestEvent(event, traced, generation);
        }
    }

    // From here the IRP may be freed: only the records are looked at, and the IRP
    // itself only while its record says it is live and this location is not passed.
    std::lock_guard<std::mutex> guard(S().lock);
    if (!frame.marked && !frame.closed) {
        // A driver image's IoMarkIrpPending is inline: it sets SL_PENDING_RETURNED
        // and nothing else. The completion has not walked past this location (the
        // frame is not closed), so the flag is still the dispatch routine's.
        IrpRecord *record = FindIrp(Irp, frame.serial);
        if (record != nullptr && !record->freed &&
            (Location(Irp, frame.location)->Control & SL_PENDING_RETURNED) != 0) {
            frame.marked = true;
        }
    }
    auto range = S().frames.equal_range(Irp);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == &frame) {
            S().frames.erase(it);
            break;
        }
    }
    if (status == STATUS_PENDING) {
        range = S().frames.equal_range(Irp);
        for (auto it = range.first; it != range.second; ++it) {
            Frame *parent = it->second;
            if (parent->serial == frame.serial && parent->location == frame.location + 1) {
                parent->childPending = true;
            }
        }
    }
    if (frame.marked && status != STATUS_PENDING) {
        Report(Rule::PendingMarkedNotReturned,
               "%s dispatch of %p marked IRP %p pending (location %d) and returned 0x%08x",
               MajorName(major), (void *)DeviceObject, (void *)Irp, frame.location,
               (unsigned)status);
    } else if (status == STATUS_PENDING && !frame.marked) {
        IrpRecord *record = FindIrp(Irp, frame.serial);
        if (frame.childPending && record != nullptr && !record->freed &&
            !record->passed.test(frame.location - 1)) {
            // The lower driver returned STATUS_PENDING too: the completion of its
            // location marks this one (no completion routine) or this driver's
            // completion routine must. Checked when that happens.
            record->owed.set(frame.location);
        } else {
            Report(Rule::PendingReturnedNotMarked,
                   "%s dispatch of %p returned STATUS_PENDING for IRP %p (location %d) without "
                   "IoMarkIrpPending",
                   MajorName(major), (void *)DeviceObject, (void *)Irp, frame.location);
        }
    }
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) noexcept
{
    (void)PriorityBoost;
    sim::ke::sched::Point("IoCompleteRequest", Irp);
    uint64_t serial;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        IrpRecord *record = FindIrp(Irp);
        if (record == nullptr) {
            Report(Rule::InvalidParameter, "IoCompleteRequest(%p): not an IRP", (void *)Irp);
            return;
        }
        if (record->freed) {
            Report(Rule::IrpCompletedTwice,
                   "IoCompleteRequest(%p): the IRP was already completed and freed", (void *)Irp);
            return;
        }
        if (Irp->CurrentLocation > Irp->StackCount) {
            if (record->completedOnce) {
                Report(Rule::IrpCompletedTwice,
                       "IoCompleteRequest(%p): the IRP was already completed to its owner",
                       (void *)Irp);
            } else {
                Report(Rule::InvalidParameter,
                       "IoCompleteRequest(%p): the IRP was never sent to a driver", (void *)Irp);
            }
            return;
        }
        record->completedOnce = true;
        serial = record->serial;
        CheckCompleterLiveLocked(Irp, serial);
    }
    const NTSTATUS first = Irp->IoStatus.Status;
    if (first == STATUS_PENDING) {
        Report(Rule::IrpCompletedWithPending, "IoCompleteRequest(%p) with STATUS_PENDING",
               (void *)Irp);
    }
    // Read atomically: IoCancelIrp may exchange it on another processor right now.
    if (PDRIVER_CANCEL left = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        Report(Rule::IrpCompletedWithCancelRoutine,
               "IoCompleteRequest(%p) with its cancel routine %p still set", (void *)Irp,
               (void *)left);
        // Cleared so that a later IoCancelIrp cannot call into a completed request.
        IoSetCancelRoutine(Irp, nullptr);
    }
    bool reportedInformation = false;
    if (NT_ERROR(first) && Irp->IoStatus.Information != 0) {
        Report(Rule::InformationOnFailure,
               "IoCompleteRequest(%p) with status 0x%08x and Information %llu", (void *)Irp,
               (unsigned)first, (unsigned long long)Irp->IoStatus.Information);
        reportedInformation = true;
    }

    // A completion routine may free the IRP: its stack count is read before.
    const int stackCount = Irp->StackCount;
    const bool power = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
    if (power) {
        sim::po::OnComplete(Irp);
    }
    const bool tracing = TracedDriver() != nullptr;
    std::vector<TracedLocation> traced;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        const int location = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> guard(S().lock);
            if (Irp->PendingReturned) {
                // The flag is cleared below: the frames still running at this location
                // learn of the mark now (an inline IoMarkIrpPending leaves no record).
                MarkFramesLocked(Irp, serial, location);
            }
            CloseFramesLocked(Irp, serial, location);
            if (tracing) {
                if (IrpRecord *record = FindIrp(Irp, serial)) {
                    TakeTracedLocked(*record, location, &traced);
                }
            }
        }
        if (!traced.empty()) {
            // Before the routine at this location runs: it may reuse, re-send or free
            // the IRP.
            TraceCompletion(Irp, traced);
        }
        const NTSTATUS status = Irp->IoStatus.Status;
        const PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        const PVOID context = sp->Context;
        // Invoke-on-cancel applies to an IRP that was cancelled: its Cancel flag is set
        // and it completes with STATUS_CANCELLED.
        const bool invoke =
            routine != nullptr &&
            ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && status == STATUS_CANCELLED && (sp->Control & SL_INVOKE_ON_CANCEL)));
        // As Windows does, the completed location is cleared, so that nothing above
        // reads parameters of a location that is no longer in use.
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        sp->Parameters.Others.Argument1 = nullptr;
        sp->Parameters.Others.Argument2 = nullptr;
        sp->Parameters.Others.Argument3 = nullptr;
        sp->Parameters.Others.Argument4 = nullptr;
        sp->FileObject = nullptr;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;

        if (invoke) {
            PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                       ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                       : nullptr;
            NTSTATUS result;
            sim::ke::sched::Point("a completion routine", Irp);
            {
                sim::ke::DriverCall call("completion routine", Irp);
                result = routine(upper, Irp, context);
            }
            const bool stop = result == STATUS_MORE_PROCESSING_REQUIRED;
            if (power) {
                sim::po::OnLocationCompleted(Irp, location, location >= stackCount, stop, upper);
            }
            if (!AfterLocation(Irp, serial, location, stop) || stop) {
                return;
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                MarkPending(Irp, "IoCompleteRequest");
            }
            if (power) {
                sim::po::OnLocationCompleted(Irp, location, location >= stackCount, false, nullptr);
            }
            if (!AfterLocation(Irp, serial, location, false)) {
                return;
            }
        }
    }

    // Every location has been completed: the IRP is back with whoever built it.
    std::function<void(PIRP)> finish;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        IrpRecord *record = FindIrp(Irp, serial);
        if (record == nullptr) {
            return;
        }
        if (!record->byIoManager) {
            Report(Rule::InvalidParameter,
                   "IRP %p from IoAllocateIrp completed past its last location: its owner's "
                   "completion routine must return STATUS_MORE_PROCESSING_REQUIRED",
                   (void *)Irp);
            return;
        }
        finish = record->finish;
    }
    if (!reportedInformation && NT_ERROR(Irp->IoStatus.Status) && Irp->IoStatus.Information != 0) {
        Report(Rule::InformationOnFailure, "IRP %p reached the I/O manager with status 0x%08x and "
               "Information %llu", (void *)Irp, (unsigned)Irp->IoStatus.Status,
               (unsigned long long)Irp->IoStatus.Information);
    }
    if (finish) {
        finish(Irp);
    }
}

}  // extern "C"

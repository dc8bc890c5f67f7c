// The I/O manager's side of a request: building the IRP for the top of a device stack
// with the caller's buffers (buffered I/O copied in before the call and copied out by
// Information bytes at completion), sending it, ending it when its completion reaches
// the top, and file objects with open, cleanup and close sequenced as Windows does.
//
// A request holds a reference on the device it was sent to and on its file object
// until it completes; IRP_MJ_CLOSE goes with the file object's last reference: at the
// end of Close when nothing is in flight, otherwise from a system worker thread once
// the last request has completed (the object manager's deferred delete).
//
// Context: requests are sent from test, tool and platform threads at PASSIVE_LEVEL;
// they end in whatever context completes them (the I/O manager's end runs there
// too). Not modelled: direct I/O (MDLs; such requests are buffered), APCs, the
// per-thread IRP list, handles (one open of a file object is one handle).
#include "sim/io/internal.h"

#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/ob/ob.h"
#include "sim/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

using namespace sim::io::detail;
using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::io {

struct Operation::State {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    IO_STATUS_BLOCK status{};
    PIRP irp = nullptr;
    int cancelHolds = 0;      // Cancel calls using the IRP right now
    bool freeDeferred = false;
    std::function<void(const IO_STATUS_BLOCK &)> callback;
    // Buffered I/O: the system buffer and where its bytes go back to.
    unsigned char *systemBuffer = nullptr;
    void *output = nullptr;
    ULONG outputLength = 0;
    bool copyOut = false;
    ULONG inputLength = 0;    // the front of the system buffer that holds input
    // Direct I/O: the MDL describing the caller's buffer, locked and mapped.
    std::unique_ptr<MDL> mdl;
    UCHAR major = 0;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT target = nullptr;  // referenced until the request has ended
};

namespace {

// The requests built by Send that have not completed yet, with their major function.
struct InFlight {
    std::mutex lock;
    std::map<const Operation::State *, std::pair<UCHAR, PIRP>> requests;
};

InFlight &Flying()
{
    static auto *flying = new InFlight;
    return *flying;
}

bool RequirePassive(const char *routine)
{
    if (sim::ke::CurrentIrql() > PASSIVE_LEVEL) {
        Report(Rule::BlockingAtDispatch, "%s waits at IRQL %d", routine, sim::ke::CurrentIrql());
        return false;
    }
    return true;
}

// The output bytes a request returns beyond its input: a run of them still holding the
// I/O manager's fill was never written by the driver (on Windows the caller would get
// whatever the pool held).
void CheckWritten(const Operation::State &op, PIRP irp, size_t count)
{
    size_t run = 0;
    for (size_t i = op.inputLength; i < count; i++) {
        run = op.systemBuffer[i] == OutputFill(i) ? run + 1 : 0;
        if (run == kUnwrittenRun) {
            Report(Rule::OutputNotWritten,
                   "%s IRP %p returned %llu byte(s); bytes from %zu on were never written by the driver",
                   MajorName(op.major), (void *)irp, (unsigned long long)count, i + 1 - run);
            return;
        }
    }
}

void SendClose(PFILE_OBJECT file, PDEVICE_OBJECT device);

WORKER_THREAD_ROUTINE RunDeferredClose;

struct DeferredClose {
    WORK_QUEUE_ITEM item;
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    uint64_t generation;
};

VOID NTAPI RunDeferredClose(PVOID context)
{
    auto *close = static_cast<DeferredClose *>(context);
    if (close->generation == Generation()) {
        SendClose(close->file, close->device);
    }
    delete close;
}

// A request on `file` has ended: when it held the last reference of a file object
// whose handle is closed, the close goes to a system worker thread (this may be a
// completion at DISPATCH_LEVEL).
void DropFileReference(PFILE_OBJECT file)
{
    DeferredClose *close = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = S().files.find(file);
        if (it == S().files.end()) {
            return;
        }
        FileRecord &record = it->second;
        if (--record.outstanding == 0 && record.cleanedUp && !record.closing) {
            record.closing = true;
            close = new DeferredClose{{}, file, record.opened, S().generation};
        }
    }
    if (close != nullptr) {
        ExInitializeWorkItem(&close->item, RunDeferredClose, close);
        ExQueueWorkItem(&close->item, DelayedWorkQueue);
    }
}

// The end of a request the I/O manager built: runs when its completion has walked
// past the last stack location.
void Finish(const std::shared_ptr<Operation::State> &op, PIRP irp)
{
    const IO_STATUS_BLOCK status = irp->IoStatus;
    if (op->copyOut && !NT_ERROR(status.Status)) {
        size_t count = status.Information;
        if (count > op->outputLength) {
            // On Windows this copy overruns the caller's buffer.
            Report(Rule::InformationBeyondBuffer,
                   "IRP %p completed with Information %llu for an output buffer of %u byte(s)",
                   (void *)irp, (unsigned long long)count, op->outputLength);
            count = op->outputLength;
        }
        CheckWritten(*op, irp, count);
        if (count != 0) {
            std::memcpy(op->output, op->systemBuffer, count);
        }
    }
    if (op->mdl != nullptr && !NT_ERROR(status.Status) && status.Information > op->mdl->ByteCount) {
        Report(Rule::InformationBeyondBuffer,
               "IRP %p completed with Information %llu for a direct buffer of %u byte(s)", (void *)irp,
               (unsigned long long)status.Information, op->mdl->ByteCount);
    }
    irp->MdlAddress = nullptr;
    op->mdl.reset();
    delete[] op->systemBuffer;
    op->systemBuffer = nullptr;
    {
        std::lock_guard<std::mutex> guard(Flying().lock);
        Flying().requests.erase(op.get());
    }
    // Before the caller hears of the end, as the I/O manager drops its references in
    // the completion it runs for the caller.
    if (op->file != nullptr) {
        DropFileReference(op->file);
    }
    if (op->target != nullptr) {
        ObfDereferenceObject(op->target);
    }
    if (op->callback) {
        op->callback(status);
    }
    {
        std::lock_guard<std::mutex> guard(op->lock);
        op->done = true;
        op->status = status;
        if (op->cancelHolds == 0) {
            FreeIrp(irp);
        } else {
            op->freeDeferred = true;
        }
    }
    op->changed.notify_all();
}

// A system buffer of `size` bytes with `length` bytes of input in front and the fill
// behind them; none for a size of 0.
unsigned char *SystemBufferOf(const void *data, size_t length, size_t size)
{
    if (size == 0) {
        return nullptr;
    }
    auto *buffer = new unsigned char[size];
    if (data != nullptr && length != 0) {
        std::memcpy(buffer, data, length);
    }
    for (size_t i = length; i < size; i++) {
        buffer[i] = OutputFill(i);
    }
    return buffer;
}

std::mutex &ObserverLock()
{
    static auto *lock = new std::mutex;
    return *lock;
}

std::function<void(PDEVICE_OBJECT)> &LastCloseObserver()
{
    static auto *observer = new std::function<void(PDEVICE_OBJECT)>;
    return *observer;
}

// Gives back what Open took for one file object, and tells the observer when that
// was the device's last open.
void DropOpen(PDEVICE_OBJECT device)
{
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto record = S().devices.find(device);
        if (record != S().devices.end()) {
            last = --record->second.opens == 0;
        }
        device->ReferenceCount--;
        MaybeFreeDeviceLocked(device);
    }
    if (!last) {
        return;
    }
    std::function<void(PDEVICE_OBJECT)> observer;
    {
        std::lock_guard<std::mutex> guard(ObserverLock());
        observer = LastCloseObserver();
    }
    if (observer) {
        observer(device);
    }
}

}  // namespace

bool Operation::Done()
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->done;
}

IO_STATUS_BLOCK Operation::Wait()
{
    RequirePassive("Operation::Wait");
    std::unique_lock<std::mutex> held(state_->lock);
    sim::ke::sched::Wait(held, state_->changed, [&] { return state_->done; }, "its request to complete");
    return state_->status;
}

IO_STATUS_BLOCK Operation::Status()
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->status;
}

PIRP Operation::Irp()
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->done ? nullptr : state_->irp;
}

BOOLEAN Operation::Cancel()
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->done) {
            return FALSE;
        }
        irp = state_->irp;
        state_->cancelHolds++;
    }
    // The hold keeps the IRP allocated even if the cancel routine completes it.
    const BOOLEAN cancelled = IoCancelIrp(irp);
    std::lock_guard<std::mutex> guard(state_->lock);
    if (--state_->cancelHolds == 0 && state_->freeDeferred) {
        state_->freeDeferred = false;
        FreeIrp(irp);
    }
    return cancelled;
}

std::shared_ptr<Operation> Send(PDEVICE_OBJECT device, const Request &request,
                                std::function<void(const IO_STATUS_BLOCK &)> done)
{
    PDEVICE_OBJECT target = request.toDeviceItself ? device : IoGetAttachedDeviceReference(device);
    if (request.toDeviceItself) {
        ObfReferenceObject(device);
    }
    auto state = std::make_shared<Operation::State>();
    auto op = std::make_shared<Operation>(state);
    state->callback = std::move(done);
    state->file = request.file;
    state->target = target;
    state->major = request.major;

    PIRP irp = AllocateIrpRecorded(target->StackSize, true);
    state->irp = irp;
    {
        std::lock_guard<std::mutex> guard(Flying().lock);
        Flying().requests[state.get()] = {request.major, irp};
    }
    irp->RequestorMode = request.requestorMode;
    irp->Tail.Overlay.OriginalFileObject = request.file;
    irp->IoStatus.Status = request.hasInitialStatus ? request.initialStatus
                           : request.major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED
                                                         : STATUS_SUCCESS;

    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = request.major;
    sp->MinorFunction = request.minor;
    sp->FileObject = request.file;

    const bool bufferedDevice = (target->Flags & DO_BUFFERED_IO) != 0;
    const bool directDevice = !bufferedDevice && (target->Flags & DO_DIRECT_IO) != 0;
    // The caller's buffer, probed, locked and mapped into system space: the driver
    // reads and writes it in place through Irp->MdlAddress; no copy either way.
    auto useMdl = [&](const void *buffer, ULONG length) {
        if (length == 0) {
            return;
        }
        auto mdl = std::make_unique<MDL>();
        const auto address = reinterpret_cast<uintptr_t>(buffer);
        mdl->Size = sizeof(MDL);
        mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
        mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{0xFFF});
        mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
        mdl->ByteCount = length;
        mdl->MappedSystemVa = const_cast<void *>(buffer);
        irp->MdlAddress = mdl.get();
        state->mdl = std::move(mdl);
    };
    auto useSystemBuffer = [&](unsigned char *buffer, bool copyOut) {
        state->systemBuffer = buffer;
        state->copyOut = copyOut;
        state->output = request.output;
        state->outputLength = request.outputLength;
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | (buffer != nullptr ? IRP_DEALLOCATE_BUFFER : 0) |
                      (copyOut ? IRP_INPUT_OPERATION : 0);
        irp->UserBuffer = request.output;
    };
    switch (request.major) {
    case IRP_MJ_READ:
        sp->Parameters.Read.Length = request.outputLength;
        if (bufferedDevice) {
            useSystemBuffer(SystemBufferOf(nullptr, 0, request.outputLength), true);
        } else if (directDevice) {
            useMdl(request.output, request.outputLength);
        } else {
            irp->UserBuffer = request.output;
        }
        break;
    case IRP_MJ_WRITE:
        sp->Parameters.Write.Length = request.inputLength;
        if (bufferedDevice) {
            useSystemBuffer(SystemBufferOf(request.input, request.inputLength, request.inputLength), false);
        } else if (directDevice) {
            useMdl(request.input, request.inputLength);
        } else {
            irp->UserBuffer = const_cast<void *>(request.input);
        }
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        sp->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        sp->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        if ((request.ioControlCode & 3) == METHOD_NEITHER) {
            sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(request.input);
            irp->UserBuffer = request.output;
        } else if ((request.ioControlCode & 3) != METHOD_BUFFERED) {
            // METHOD_IN_DIRECT and METHOD_OUT_DIRECT: the input in a system buffer of
            // its own length, the output buffer through an MDL.
            state->inputLength = request.inputLength;
            if (request.inputLength != 0) {
                useSystemBuffer(SystemBufferOf(request.input, request.inputLength, request.inputLength), false);
            }
            useMdl(request.output, request.outputLength);
        } else {
            // One buffer of the larger length; none when both are 0.
            const size_t size = std::max(request.inputLength, request.outputLength);
            state->inputLength = request.inputLength;
            if (size != 0) {
                useSystemBuffer(SystemBufferOf(request.input, request.inputLength, size),
                                request.outputLength != 0);
            }
        }
        break;
    case IRP_MJ_QUERY_INFORMATION:
        // Parameters.QueryFile.Length sits where Read.Length does.
        sp->Parameters.Read.Length = request.outputLength;
        useSystemBuffer(SystemBufferOf(nullptr, 0, request.outputLength), true);
        break;
    case IRP_MJ_SET_INFORMATION:
        sp->Parameters.Write.Length = request.inputLength;
        useSystemBuffer(SystemBufferOf(request.input, request.inputLength, request.inputLength), false);
        break;
    default:
        break;
    }
    if (request.parameters) {
        request.parameters(*sp);
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        FindIrp(irp)->finish = [state](PIRP completed) { Finish(state, completed); };
        if (request.file != nullptr) {
            auto it = S().files.find(request.file);
            if (it != S().files.end()) {
                it->second.outstanding++;
            }
        }
    }

    const NTSTATUS returned = IofCallDriver(target, irp);
    op->returned_ = returned;
    if (returned != STATUS_PENDING && !op->Done()) {
        // Nothing can complete it later on the driver's behalf: a dispatch routine that
        // keeps a request must return STATUS_PENDING.
        Report(Rule::InvalidParameter,
               "%s dispatch returned 0x%08x for IRP %p without completing it", MajorName(request.major),
               (unsigned)returned, (void *)irp);
    }
    return op;
}

IO_STATUS_BLOCK Call(PDEVICE_OBJECT device, const Request &request)
{
    RequirePassive("sim::io::Call");
    return Send(device, request)->Wait();
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device)
{
    auto file = static_cast<PFILE_OBJECT>(AllocateBlock(sizeof(FILE_OBJECT)));
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    std::lock_guard<std::mutex> guard(S().lock);
    S().files[file] = FileRecord{};
    return file;
}

void DeleteFileObject(PFILE_OBJECT file)
{
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (S().files.erase(file) == 0) {
            Report(Rule::InvalidParameter, "DeleteFileObject(%p): not a file object", (void *)file);
            return;
        }
    }
    FreeBlock(file, sizeof(FILE_OBJECT));
}

NTSTATUS Open(PDEVICE_OBJECT device, PFILE_OBJECT *file)
{
    *file = nullptr;
    if (!RequirePassive("sim::io::Open")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        DeviceRecord *record = FindDevice(device);
        if (record == nullptr || (device->Flags & DO_DEVICE_INITIALIZING)) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((device->Flags & DO_EXCLUSIVE) && record->opens != 0) {
            return STATUS_ACCESS_DENIED;
        }
        // Counted before the create is sent, so that a racing second open of an
        // exclusive device is refused rather than sent.
        record->opens++;
        device->ReferenceCount++;
    }
    PFILE_OBJECT opened = CreateFileObject(device);
    Request create;
    create.major = IRP_MJ_CREATE;
    create.file = opened;
    create.requestorMode = UserMode;
    const NTSTATUS status = Call(device, create).Status;
    if (!NT_SUCCESS(status)) {
        DeleteFileObject(opened);
        DropOpen(device);
        return status;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().files[opened].opened = device;
    *file = opened;
    return status;
}

NTSTATUS OpenByName(const std::u16string &name, PFILE_OBJECT *file)
{
    *file = nullptr;
    PDEVICE_OBJECT device = sim::ob::Resolve(name);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Open(device, file);
}

void Close(PFILE_OBJECT file)
{
    RequirePassive("sim::io::Close");
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = S().files.find(file);
        if (it == S().files.end() || it->second.opened == nullptr || it->second.cleanedUp) {
            Report(Rule::InvalidParameter, "Close(%p): not an open file object", (void *)file);
            return;
        }
        device = it->second.opened;
    }
    Request request;
    request.file = file;
    request.requestorMode = UserMode;
    request.major = IRP_MJ_CLEANUP;
    Call(device, request);
    bool last;
    {
        // The handle's reference goes now; requests still in flight hold theirs.
        std::lock_guard<std::mutex> guard(S().lock);
        FileRecord &record = S().files[file];
        record.cleanedUp = true;
        last = record.outstanding == 0 && !record.closing;
        record.closing = record.closing || last;
    }
    if (last) {
        SendClose(file, device);
    }
}

bool Closed(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().files.count(file) == 0;
}

void CheckClosesSent(const char *where)
{
    std::lock_guard<std::mutex> guard(S().lock);
    for (const auto &[file, record] : S().files) {
        if (record.cleanedUp && !record.closing) {
            Report(Rule::RequestNeverCompleted,
                   "file object %p on device %p: its handle was closed, but %ld request(s) sent on it "
                   "never completed, so IRP_MJ_CLOSE never came (at %s)",
                   (void *)file, (void *)record.opened, record.outstanding, where);
        }
    }
}

long OpenCount(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(S().lock);
    auto record = S().devices.find(device);
    return record == S().devices.end() ? 0 : record->second.opens;
}

std::vector<std::string> RequestsInFlight()
{
    std::lock_guard<std::mutex> guard(Flying().lock);
    std::vector<std::string> list;
    for (const auto &[state, request] : Flying().requests) {
        char text[64];
        snprintf(text, sizeof(text), "%s IRP %p", MajorName(request.first), (void *)request.second);
        list.push_back(text);
    }
    return list;
}

void SetLastCloseObserver(std::function<void(PDEVICE_OBJECT)> observer)
{
    std::lock_guard<std::mutex> guard(ObserverLock());
    LastCloseObserver() = std::move(observer);
}

namespace {

// IRP_MJ_CLOSE for a file object whose last reference went; then it is freed and its
// open given back. PASSIVE_LEVEL: the closing thread, or a system worker thread.
void SendClose(PFILE_OBJECT file, PDEVICE_OBJECT device)
{
    Request request;
    request.file = file;
    request.requestorMode = UserMode;
    request.major = IRP_MJ_CLOSE;
    Call(device, request);
    DeleteFileObject(file);
    DropOpen(device);
}

}  // namespace

}  // namespace sim::io

namespace sim::io::detail {

void ResetRequests()
{
    {
        std::lock_guard<std::mutex> guard(Flying().lock);
        Flying().requests.clear();
    }
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto &[file, record] : S().files) {
        FreeBlock(const_cast<PFILE_OBJECT>(file), sizeof(FILE_OBJECT));
    }
    S().files.clear();
}

}  // namespace sim::io::detail

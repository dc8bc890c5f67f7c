// Requests on file handles: ReadFile, WriteFile, DeviceIoControl, FlushFileBuffers,
// overlapped completion with GetOverlappedResult, and CancelIo/CancelIoEx. A handle
// opened without FILE_FLAG_OVERLAPPED carries one request at a time.
// Application threads at PASSIVE_LEVEL; a request's end runs in whatever context
// completes its IRP (maybe the DPC thread at DISPATCH_LEVEL) and never blocks there.
#include "sim/win32/internal.h"

#include "sim/ke/sched.h"

#include <vector>

using sim::win32::detail::EventObject;
using sim::win32::detail::FileRecord;
using sim::win32::detail::Pending;

namespace {

// The OVERLAPPED keeps the status as Windows leaves it: the 32-bit NTSTATUS
// zero-extended (HasOverlappedIoCompleted compares with STATUS_PENDING).
ULONG_PTR AsInternal(NTSTATUS status)
{
    return static_cast<ULONG_PTR>(static_cast<ULONG>(status));
}

NTSTATUS FromInternal(ULONG_PTR internal)
{
    return static_cast<NTSTATUS>(static_cast<ULONG>(internal));
}

// The low bit of hEvent asks that no completion port be told; not an object bit.
HANDLE EventHandle(LPOVERLAPPED overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

BOOL Result(NTSTATUS status, ULONG_PTR information, LPDWORD count)
{
    if (count != nullptr) {
        *count = NT_ERROR(status) ? 0 : static_cast<DWORD>(information);
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
}

void Signal(EventObject &event)
{
    {
        std::lock_guard<std::mutex> guard(event.lock);
        event.signaled = true;
    }
    event.changed.notify_all();
}

}  // namespace

namespace sim::win32::detail {

BOOL Issue(HANDLE handle, sim::io::Request request, LPOVERLAPPED overlapped, bool mayPend,
           LPDWORD count)
{
    if (count != nullptr) {
        *count = 0;
    }
    std::shared_ptr<FileRecord> record = FileOf(handle);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<EventObject> event;
    if (overlapped != nullptr && EventHandle(overlapped) != nullptr) {
        event = EventOf(EventHandle(overlapped));
        if (!event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard<std::mutex> guard(event->lock);
        event->signaled = false;
    }
    const bool waits = !(mayPend && record->overlapped && overlapped != nullptr);
    auto pending = std::make_shared<Pending>();
    pending->overlapped = overlapped;
    pending->thread = GetCurrentThreadId();
    pending->synchronous = waits;
    NoteIssuingThread();
    {
        std::unique_lock<std::mutex> held(record->lock);
        if (!record->overlapped) {
            // Serialised: another thread's request on this handle ends first.
            sim::ke::sched::Wait(held, record->changed, [&] { return !record->busy; },
                                 "the handle's request before it");
            record->busy = true;
        }
        if (overlapped != nullptr) {
            overlapped->InternalHigh = 0;
            __atomic_store_n(&overlapped->Internal, AsInternal(STATUS_PENDING), __ATOMIC_RELEASE);
        }
        record->pending.push_back(pending);
    }
    request.file = record->file;
    request.requestorMode = UserMode;
    auto op = sim::io::Send(record->file->DeviceObject, request,
                            [record, pending, overlapped, event](const IO_STATUS_BLOCK &status) {
                                {
                                    std::lock_guard<std::mutex> guard(record->lock);
                                    if (overlapped != nullptr) {
                                        // The count before the status, which an
                                        // application may be polling without the lock.
                                        overlapped->InternalHigh = status.Information;
                                        __atomic_store_n(&overlapped->Internal, AsInternal(status.Status),
                                                         __ATOMIC_RELEASE);
                                    }
                                    // Drops the operation, which holds this callback.
                                    pending->op.reset();
                                    pending->ended = true;
                                    record->pending.remove(pending);
                                    if (!record->overlapped) {
                                        record->busy = false;
                                    }
                                }
                                record->changed.notify_all();
                                if (event) {
                                    Signal(*event);
                                }
                            });
    {
        std::lock_guard<std::mutex> guard(record->lock);
        // Not once ended: the operation holds the callback that holds `pending`.
        if (!pending->ended) {
            pending->op = op;
        }
    }
    if (!waits && op->Returned() == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    const IO_STATUS_BLOCK status = op->Wait();
    return Result(status.Status, status.Information, count);
}

BOOL Control(HANDLE handle, ULONG code, const void *input, ULONG inputLength, void *output,
             ULONG outputLength, LPDWORD returned)
{
    sim::io::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.input = input;
    request.inputLength = inputLength;
    request.output = output;
    request.outputLength = outputLength;
    return Issue(handle, request, nullptr, false, returned);
}

}  // namespace sim::win32::detail

using sim::win32::detail::ApplicationError;
using sim::win32::detail::Issue;

namespace {

// A synchronous call writes its count through the pointer after the request: without
// an OVERLAPPED, Windows faults in the caller on a NULL one.
bool CountGiven(const char *call, const char *parameter, LPDWORD count, LPOVERLAPPED overlapped)
{
    if (count == nullptr && overlapped == nullptr) {
        ApplicationError(ERROR_NOACCESS, "%s: %s is NULL and lpOverlapped is NULL", call, parameter);
        return false;
    }
    return true;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (!CountGiven("ReadFile", "lpNumberOfBytesRead", lpNumberOfBytesRead, lpOverlapped)) {
        return FALSE;
    }
    sim::io::Request request;
    request.major = IRP_MJ_READ;
    request.output = lpBuffer;
    request.outputLength = nNumberOfBytesToRead;
    return Issue(hFile, request, lpOverlapped, true, lpNumberOfBytesRead);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (!CountGiven("WriteFile", "lpNumberOfBytesWritten", lpNumberOfBytesWritten, lpOverlapped)) {
        return FALSE;
    }
    sim::io::Request request;
    request.major = IRP_MJ_WRITE;
    request.input = lpBuffer;
    request.inputLength = nNumberOfBytesToWrite;
    return Issue(hFile, request, lpOverlapped, true, lpNumberOfBytesWritten);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (!CountGiven("DeviceIoControl", "lpBytesReturned", lpBytesReturned, lpOverlapped)) {
        return FALSE;
    }
    sim::io::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = dwIoControlCode;
    request.input = lpInBuffer;
    request.inputLength = nInBufferSize;
    request.output = lpOutBuffer;
    request.outputLength = nOutBufferSize;
    return Issue(hDevice, request, lpOverlapped, true, lpBytesReturned);
}

BOOL FlushFileBuffers(HANDLE hFile)
{
    sim::io::Request request;
    request.major = IRP_MJ_FLUSH_BUFFERS;
    return Issue(hFile, request, nullptr, false, nullptr);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    std::shared_ptr<FileRecord> record = sim::win32::detail::FileOf(hFile);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::unique_lock<std::mutex> held(record->lock);
    if (FromInternal(lpOverlapped->Internal) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The request's end writes the OVERLAPPED under this lock before it sets the
        // event, so waiting for the fields is waiting for the event.
        sim::ke::sched::Wait(held, record->changed,
                             [&] { return FromInternal(lpOverlapped->Internal) != STATUS_PENDING; },
                             "GetOverlappedResult");
    }
    const NTSTATUS status = FromInternal(lpOverlapped->Internal);
    const ULONG_PTR information = lpOverlapped->InternalHigh;
    held.unlock();
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(information);
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
}

namespace sim::win32::detail {

int CancelMatching(const std::shared_ptr<FileRecord> &record,
                   const std::function<bool(const Pending &)> &match)
{
    std::vector<std::shared_ptr<sim::io::Operation>> ops;
    {
        std::lock_guard<std::mutex> guard(record->lock);
        for (const auto &pending : record->pending) {
            if (pending->op && match(*pending)) {
                ops.push_back(pending->op);
            }
        }
    }
    // IoCancelIrp runs the driver's cancel routine: no layer lock is held.
    for (const auto &op : ops) {
        op->Cancel();
    }
    return static_cast<int>(ops.size());
}

}  // namespace sim::win32::detail

using sim::win32::detail::CancelMatching;

BOOL CancelIo(HANDLE hFile)
{
    std::shared_ptr<FileRecord> record = sim::win32::detail::FileOf(hFile);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD self = GetCurrentThreadId();
    CancelMatching(record, [&](const Pending &pending) { return pending.thread == self; });
    return TRUE;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<FileRecord> record = sim::win32::detail::FileOf(hFile);
    if (!record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const int cancelled = CancelMatching(record, [&](const Pending &pending) {
        return lpOverlapped == nullptr || pending.overlapped == lpOverlapped;
    });
    if (cancelled == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// Shared between the files of the Win32 layer: the handle table's objects and the one
// routine that sends a request on a file handle and turns its end into a Win32 result.
#pragma once

#include "sim/io/io.h"
#include "sim/win32/windows.h"

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::win32::detail {

struct Object {
    virtual ~Object() = default;
};

struct EventObject : Object {
    std::mutex lock;
    std::condition_variable changed;
    bool manualReset = false;
    bool signaled = false;
};

// One request in flight on a file object, for CancelIo/CancelIoEx, CancelSynchronousIo
// and the cancellation at thread exit.
struct Pending {
    std::shared_ptr<sim::io::Operation> op;  // set once Send has returned, cleared at completion
    LPOVERLAPPED overlapped = nullptr;
    DWORD thread = 0;          // the issuing thread's id
    bool synchronous = false;  // the issuing thread waits for it
    bool ended = false;        // the request's end has run
};

// An opened file object; every handle duplicated from the first shares it.
struct FileRecord {
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    int handles = 0;          // guarded by the handle table's lock
    std::mutex lock;          // guards pending, busy and the OVERLAPPED fields the layer writes
    std::condition_variable changed;
    std::list<std::shared_ptr<Pending>> pending;
    // Without FILE_FLAG_OVERLAPPED, one request at a time: set from the send of a
    // request until its end, other threads' requests wait for it to clear.
    bool busy = false;
};

struct FileObject : Object {
    std::shared_ptr<FileRecord> record;
};

// A thread handle (OpenThread): the thread's id.
struct ThreadObject : Object {
    DWORD id = 0;
};

// The object behind a handle, or NULL (the last error is then ERROR_INVALID_HANDLE).
std::shared_ptr<FileRecord> FileOf(HANDLE handle);
std::shared_ptr<EventObject> EventOf(HANDLE handle);
std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle);
HANDLE InsertObject(std::shared_ptr<Object> object);
// Every file record still open (on any handle), for the cancellations by thread.
std::vector<std::shared_ptr<FileRecord>> OpenFiles();

// Cancels the requests in flight on `record` that `match` selects (IoCancelIrp, with no
// layer lock held); returns how many.
int CancelMatching(const std::shared_ptr<FileRecord> &record,
                   const std::function<bool(const Pending &)> &match);

// Called by every thread that issues a request: arranges that its requests still in
// flight are cancelled when it exits.
void NoteIssuingThread();

// Reports an application error (a call Windows documents as invalid, or one that
// would fault in the caller) and sets `error` as the last error.
void ApplicationError(DWORD error, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Sends `request` on the handle's file object. With an OVERLAPPED on an overlapped
// handle (and `mayPend`), a request that pends returns FALSE with ERROR_IO_PENDING and
// ends later, setting the OVERLAPPED and its event; otherwise the caller waits for the
// end. The end gives TRUE for a success status, FALSE with the mapped error otherwise;
// *count (when given) is the Information of a success or a warning, 0 otherwise.
BOOL Issue(HANDLE handle, sim::io::Request request, LPOVERLAPPED overlapped, bool mayPend,
           LPDWORD count);

// A control request that the caller waits for, whatever the handle's mode.
BOOL Control(HANDLE handle, ULONG code, const void *input, ULONG inputLength, void *output,
             ULONG outputLength, LPDWORD returned = nullptr);

}  // namespace sim::win32::detail

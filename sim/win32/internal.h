// Shared between the files of the Win32 layer: the handle table's objects and the one
// routine that sends a request on a file handle and turns its end into a Win32 result.
#pragma once

#include "sim/io/io.h"
#include "sim/win32/windows.h"

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

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

// One request in flight on a file object, for CancelIo/CancelIoEx.
struct Pending {
    std::shared_ptr<sim::io::Operation> op;  // set once Send has returned, cleared at completion
    LPOVERLAPPED overlapped = nullptr;
    std::thread::id thread;
    bool ended = false;  // the request's end has run
};

// An opened file object; every handle duplicated from the first shares it.
struct FileRecord {
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    int handles = 0;          // guarded by the handle table's lock
    std::mutex lock;          // guards pending and the OVERLAPPED fields the layer writes
    std::condition_variable changed;
    std::list<std::shared_ptr<Pending>> pending;
};

struct FileObject : Object {
    std::shared_ptr<FileRecord> record;
};

// The object behind a handle, or NULL (the last error is then ERROR_INVALID_HANDLE).
std::shared_ptr<FileRecord> FileOf(HANDLE handle);
std::shared_ptr<EventObject> EventOf(HANDLE handle);

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

// The process's handle table (files, events and threads), CreateFileW's path forms and
// its rules for communications devices, CloseHandle with the I/O manager's cleanup
// (the close follows the file object's last reference), DuplicateHandle, and events
// with their waits. Application threads at PASSIVE_LEVEL; SetEvent also from
// completion contexts.
#include "sim/win32/internal.h"
#include "sim/win32/win32.h"

#include "sim/ob/ob.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"
#include "sim/ke/sched.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>

using sim::win32::detail::EventObject;
using sim::win32::detail::FileObject;
using sim::win32::detail::FileRecord;
using sim::win32::detail::Object;
using sim::win32::detail::ThreadObject;

namespace {

struct Table {
    std::mutex lock;
    std::map<HANDLE, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x100;
};

// Never destroyed: handles may be closed by threads still running at exit.
Table &T()
{
    static Table *table = new Table;
    return *table;
}

HANDLE Insert(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> guard(T().lock);
    // Multiples of four, as Windows hands them out: the low bits of an OVERLAPPED's
    // hEvent are flags.
    T().next += 4;
    const auto handle = reinterpret_cast<HANDLE>(T().next);
    T().objects[handle] = std::move(object);
    return handle;
}

std::shared_ptr<Object> Find(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(T().lock);
    auto it = T().objects.find(handle);
    return it == T().objects.end() ? nullptr : it->second;
}

bool StartsWith(const std::u16string &s, const std::u16string &prefix)
{
    if (s.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        char16_t a = s[i];
        char16_t b = prefix[i];
        if (a >= u'a' && a <= u'z') {
            a = static_cast<char16_t>(a - u'a' + u'A');
        }
        if (b >= u'a' && b <= u'z') {
            b = static_cast<char16_t>(b - u'a' + u'A');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

// "COM1".."COM9" are DOS device names in every directory.
bool IsDosComName(const std::u16string &s)
{
    return s.size() == 4 && StartsWith(s, u"COM") && s[3] >= u'1' && s[3] <= u'9';
}

}  // namespace

namespace sim::win32 {

std::u16string KernelName(const std::u16string &path)
{
    std::u16string rest;
    if (StartsWith(path, u"\\\\.\\") || StartsWith(path, u"\\\\?\\")) {
        rest = path.substr(4);
    } else if (IsDosComName(path)) {
        return u"\\??\\" + path;
    } else {
        return {};
    }
    if (rest.empty()) {
        return {};
    }
    // GLOBALROOT is the link from the DOS device directory to the namespace's root.
    if (StartsWith(rest, u"GLOBALROOT\\")) {
        return rest.substr(10);
    }
    return u"\\??\\" + rest;
}

size_t OpenHandles()
{
    std::lock_guard<std::mutex> guard(T().lock);
    return T().objects.size();
}

PFILE_OBJECT FileObjectOf(HANDLE handle)
{
    auto record = detail::FileOf(handle);
    return record ? record->file : nullptr;
}

}  // namespace sim::win32

namespace sim::win32::detail {

std::shared_ptr<FileRecord> FileOf(HANDLE handle)
{
    auto file = std::dynamic_pointer_cast<FileObject>(Find(handle));
    return file ? file->record : nullptr;
}

std::shared_ptr<EventObject> EventOf(HANDLE handle)
{
    return std::dynamic_pointer_cast<EventObject>(Find(handle));
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle)
{
    return std::dynamic_pointer_cast<ThreadObject>(Find(handle));
}

HANDLE InsertObject(std::shared_ptr<Object> object)
{
    return Insert(std::move(object));
}

std::vector<std::shared_ptr<FileRecord>> OpenFiles()
{
    std::lock_guard<std::mutex> guard(T().lock);
    std::set<std::shared_ptr<FileRecord>> records;
    for (const auto &[handle, object] : T().objects) {
        if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
            records.insert(file->record);
        }
    }
    return {records.begin(), records.end()};
}

void ApplicationError(DWORD error, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    sim::verifier::Report(sim::verifier::Rule::ApplicationError, "%s", text);
    SetLastError(error);
}

}  // namespace sim::win32::detail

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)lpSecurityAttributes;
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
        dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string name = sim::win32::KernelName(lpFileName);
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    PDEVICE_OBJECT device = sim::ob::Resolve(name);
    if (device == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A communications resource is opened exclusively, as it exists, with no template.
    if (device->DeviceType == FILE_DEVICE_SERIAL_PORT &&
        (dwShareMode != 0 || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr)) {
        sim::win32::detail::ApplicationError(
            ERROR_INVALID_PARAMETER,
            "CreateFileW(%s): a communications device takes share mode 0 (got 0x%x), OPEN_EXISTING "
            "(got %u) and no template (got %p)",
            sim::rtl::Narrow(name).c_str(), (unsigned)dwShareMode, (unsigned)dwCreationDisposition,
            (void *)hTemplateFile);
        return INVALID_HANDLE_VALUE;
    }
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status = sim::io::Open(device, &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    auto record = std::make_shared<FileRecord>();
    record->file = file;
    record->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    record->handles = 1;
    auto object = std::make_shared<FileObject>();
    object->record = record;
    SetLastError(ERROR_SUCCESS);
    return Insert(object);
}

BOOL CloseHandle(HANDLE hObject)
{
    if (hObject == GetCurrentProcess()) {
        return TRUE;  // the pseudo-handle: nothing to close
    }
    std::shared_ptr<Object> object;
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(T().lock);
        auto it = T().objects.find(hObject);
        if (it == T().objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = it->second;
        T().objects.erase(it);
        if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
            last = --file->record->handles == 0;
        }
    }
    if (last) {
        // Cleanup now; the close once every request on the file object has ended.
        sim::io::Close(std::static_pointer_cast<FileObject>(object)->record->file);
    }
    return TRUE;
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                     HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle, DWORD dwDesiredAccess,
                     BOOL bInheritHandle, DWORD dwOptions)
{
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<Object> source = Find(hSourceHandle);
    if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<Object> copy = source;
    if (auto file = std::dynamic_pointer_cast<FileObject>(source)) {
        std::lock_guard<std::mutex> guard(T().lock);
        file->record->handles++;
        auto duplicate = std::make_shared<FileObject>();
        duplicate->record = file->record;
        copy = duplicate;
    }
    const HANDLE target = Insert(copy);
    if (lpTargetHandle != nullptr) {
        *lpTargetHandle = target;
    }
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) {
        CloseHandle(hSourceHandle);
    }
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCWSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are not modelled
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = bManualReset != FALSE;
    event->signaled = bInitialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return Insert(event);
}

BOOL SetEvent(HANDLE hEvent)
{
    auto event = sim::win32::detail::EventOf(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->signaled = true;
    }
    event->changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    auto event = sim::win32::detail::EventOf(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(event->lock);
    event->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    auto event = sim::win32::detail::EventOf(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> held(event->lock);
    auto signaled = [&] { return event->signaled; };
    if (dwMilliseconds == INFINITE) {
        sim::ke::sched::Wait(held, event->changed, signaled, "WaitForSingleObject");
    } else if (!sim::ke::sched::WaitFor(held, event->changed, std::chrono::milliseconds(dwMilliseconds),
                                        signaled, "WaitForSingleObject")) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) {
        event->signaled = false;
    }
    return WAIT_OBJECT_0;
}

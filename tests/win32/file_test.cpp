// The Win32 layer's handles and requests: the path forms CreateFileW opens, the
// exclusive open, the status to Win32 error mapping, overlapped completion and
// GetOverlappedResult, CancelIo/CancelIoEx, and CloseHandle's cleanup and close with a
// request still in flight.
#include "tests/win32/recorder.h"

#include "sim/win32/win32.h"
#include "tests/support/driver_bench.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace w32test {
namespace {

using FileTest = Win32Test;

std::vector<UCHAR> Majors(const std::vector<Seen> &seen)
{
    std::vector<UCHAR> majors;
    for (const Seen &s : seen) {
        majors.push_back(s.major);
    }
    return majors;
}

using bench::Eventually;

// Each application path form: the kernel name it stands for, and what opening it
// gives here, where \Device\W32REC is linked as COM7 and as COM10.
TEST_F(FileTest, CreateFileOpensEachPathFormByItsKernelNameAndFailsAsWindowsDoes)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, u"\\Device\\W32REC");
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM10");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    const struct {
        const char16_t *path;
        const char16_t *kernel;
        DWORD error;  // ERROR_SUCCESS: opens
    } cases[] = {
        {u"\\\\.\\COM7", u"\\??\\COM7", ERROR_SUCCESS},
        {u"\\\\?\\COM7", u"\\??\\COM7", ERROR_SUCCESS},
        {u"COM7", u"\\??\\COM7", ERROR_SUCCESS},
        {u"com7", u"\\??\\com7", ERROR_SUCCESS},
        {u"\\\\?\\GLOBALROOT\\Device\\W32REC", u"\\Device\\W32REC", ERROR_SUCCESS},
        {u"\\\\.\\COM8", u"\\??\\COM8", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\W32REC", u"\\??\\W32REC", ERROR_FILE_NOT_FOUND},  // no such link
        {u"\\\\.\\globalroot\\Device\\NONE", u"\\Device\\NONE", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\COM10", u"\\??\\COM10", ERROR_SUCCESS},
        {u"COM10", u"", ERROR_FILE_NOT_FOUND},  // only COM1 to COM9 without a prefix
        {u"C:\\data.bin", u"", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\", u"", ERROR_FILE_NOT_FOUND},
    };
    size_t opened = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(bench::Narrow(c.path));
        EXPECT_EQ(sim::win32::KernelName(c.path), std::u16string(c.kernel));
        SetLastError(12345);
        HANDLE h = CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        if (c.error == ERROR_SUCCESS) {
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(CloseHandle(h));
            opened++;
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        }
    }
    // Each successful open was one create, cleanup and close.
    std::vector<UCHAR> expected;
    for (size_t i = 0; i < opened; i++) {
        expected.insert(expected.end(), {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE});
    }
    EXPECT_EQ(Majors(Requests()), expected);
    IoDeleteSymbolicLink(&link);
}

// A create the driver refuses, a bad disposition, a closed handle, and the last error
// of another thread.
TEST_F(FileTest, RefusedCreatesAndClosedHandlesFailWithTheirOwnErrorsInTheirOwnThread)
{
    Script(IRP_MJ_CREATE, 0, {STATUS_DEVICE_BUSY, {}});
    EXPECT_EQ(CreateFileW(u"COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BUSY});
    EXPECT_EQ(CreateFileW(u"COM7", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    Script(IRP_MJ_CREATE, 0, {STATUS_SUCCESS, {}});
    // A communications device opens only exclusively, as it exists, without a template:
    // anything else is the application's error, refused before the driver sees it.
    ClearRequests();
    const struct {
        DWORD share, disposition;
        HANDLE templateFile;
    } misuses[] = {
        {FILE_SHARE_READ, OPEN_EXISTING, nullptr},
        {0, OPEN_ALWAYS, nullptr},
        {0, OPEN_EXISTING, GetCurrentProcess()},
    };
    for (const auto &m : misuses) {
        EXPECT_EQ(CreateFileW(u"COM7", GENERIC_READ, m.share, nullptr, m.disposition, 0, m.templateFile),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        ExpectViolation(sim::verifier::Rule::ApplicationError);
    }
    EXPECT_TRUE(Requests().empty());

    HANDLE h = Open();
    Script(IRP_MJ_FLUSH_BUFFERS, 0, {STATUS_CANCELLED, {}});
    SetLastError(ERROR_SUCCESS);
    DWORD seen = 0;
    std::thread([&] {
        EXPECT_FALSE(FlushFileBuffers(h));
        seen = GetLastError();
    }).join();
    EXPECT_EQ(seen, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});

    ASSERT_TRUE(CloseHandle(h));
    DWORD n = 0;
    char byte = 0;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

// Every status the driver and the platform complete with, through DeviceIoControl,
// and what ReadFile makes of the success and warning statuses.
TEST_F(FileTest, StatusesBecomeWin32ErrorsAsRtlNtStatusToDosErrorMapsThem)
{
    const struct {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {(NTSTATUS)0xC0001234L, ERROR_MR_MID_NOT_FOUND},
        {(NTSTATUS)0xC0070020L, 0x20},  // a Win32 error carried as a status
    };
    HANDLE h = Open();
    const ULONG code = IOCTL_SERIAL_GET_BAUD_RATE;
    for (const auto &c : cases) {
        EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error);
        ScriptControl(code, {c.status, {}});
        DWORD out = 0;
        DWORD returned = 99;
        EXPECT_FALSE(DeviceIoControl(h, code, nullptr, 0, &out, sizeof out, &returned, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), DWORD{ERROR_IO_PENDING});

    // STATUS_TIMEOUT is a success: the bytes that came, TRUE.
    uint8_t buffer[8] = {};
    DWORD n = 0;
    Script(IRP_MJ_READ, 0, {STATUS_TIMEOUT, {1, 2, 3}});
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[2], 3);
    // A warning fails the call but still reports (and copies) what was transferred.
    Script(IRP_MJ_READ, 0, {STATUS_BUFFER_OVERFLOW, {7, 7, 7, 7}});
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(n, 4u);
    CloseHandle(h);
}

TEST_F(FileTest, OverlappedReadPendsThenCompletesIntoTheOverlappedAndItsEvent)
{
    Hold(IRP_MJ_READ, true);
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // signalled: the read resets it
    OVERLAPPED ov{};
    ov.hEvent = event;
    uint8_t buffer[16] = {};
    DWORD n = 77;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});

    ASSERT_TRUE(CompleteHeld(STATUS_SUCCESS, {9, 8, 7}));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD{WAIT_OBJECT_0});
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.Internal, ULONG_PTR{0});
    EXPECT_EQ(ov.InternalHigh, ULONG_PTR{3});
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[0], 9);
    CloseHandle(event);
    CloseHandle(h);
}

TEST_F(FileTest, GetOverlappedResultWaitsForTheEndAndReportsItsError)
{
    Hold(IRP_MJ_DEVICE_CONTROL, true);
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};  // no event: the wait is for the request itself
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(h, &mask, &ov));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    std::thread completer([&] { CompleteHeld(STATUS_SUCCESS, Bytes(DWORD{EV_RXCHAR})); });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    completer.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(mask, DWORD{EV_RXCHAR});
    EXPECT_EQ(ControlCodes(), (std::vector<ULONG>{IOCTL_SERIAL_WAIT_ON_MASK}));
    EXPECT_EQ(Requests()[0].outputLength, 4u);

    EXPECT_FALSE(WaitCommEvent(h, &mask, &ov));
    ASSERT_TRUE(CompleteHeld(STATUS_INVALID_PARAMETER));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

TEST_F(FileTest, RequestsThatCompleteAtOnceOnAnOverlappedHandleReturnTrueAndSetTheEvent)
{
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    Script(IRP_MJ_READ, 0, {STATUS_SUCCESS, {5, 6}});
    uint8_t buffer[4] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD{WAIT_OBJECT_0});
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD{WAIT_TIMEOUT});  // auto-reset
    Script(IRP_MJ_READ, 0, {STATUS_DEVICE_DATA_ERROR, {}});
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_CRC});
    EXPECT_EQ(ov.Internal, ULONG_PTR{static_cast<ULONG>(STATUS_DEVICE_DATA_ERROR)});
    CloseHandle(event);
    CloseHandle(h);
}

// Without FILE_FLAG_OVERLAPPED a call blocks until its request ends (even given an
// OVERLAPPED) and the handle carries one request at a time: a second thread's call
// waits for the first, and CancelSynchronousIo ends the one it waits for.
TEST_F(FileTest, ASynchronousHandleSerialisesItsCallsAndCancelSynchronousIoEndsTheBlockedOne)
{
    Hold(IRP_MJ_READ, true);
    HANDLE h = Open();
    std::atomic<DWORD> readerId{0};
    std::atomic<bool> readReturned{false};
    BOOL read = TRUE;
    DWORD readError = 0;
    std::thread reader([&] {
        readerId = GetCurrentThreadId();
        DWORD n = 0;
        uint8_t byte;
        OVERLAPPED ov{};
        read = ReadFile(h, &byte, 1, &n, &ov);
        readError = GetLastError();
        readReturned = true;
    });
    ASSERT_TRUE(Eventually([&] { return HeldCount() == 1; }));
    std::atomic<bool> flushed{false};
    std::thread flusher([&] {
        EXPECT_TRUE(FlushFileBuffers(h));
        flushed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(flushed);
    EXPECT_FALSE(readReturned);
    EXPECT_EQ(Majors(Requests()), (std::vector<UCHAR>{IRP_MJ_READ}));

    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, readerId);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CancelSynchronousIo(thread));
    reader.join();
    flusher.join();
    EXPECT_FALSE(read);
    EXPECT_EQ(readError, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(Majors(Requests()), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_FLUSH_BUFFERS}));
    EXPECT_FALSE(CancelSynchronousIo(thread));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});
    CloseHandle(thread);

    // A blocked call that ends well returns the request's count and bytes.
    std::thread completer([&] {
        ASSERT_TRUE(Eventually([&] { return HeldCount() == 1; }));
        CompleteHeld(STATUS_SUCCESS, {42});
    });
    DWORD n = 0;
    uint8_t byte = 0;
    EXPECT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
    completer.join();
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(byte, 42);
    CloseHandle(h);
}

// The three ways a pending request is cancelled: CancelIoEx by its OVERLAPPED, CancelIo
// by the thread that issued it, and the exit of that thread.
TEST_F(FileTest, CancelIoExEndsTheNamedRequestCancelIoThisThreadsAndAnExitTheThreads)
{
    Hold(IRP_MJ_READ, true);
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED a{};
    OVERLAPPED b{};
    uint8_t bufA[4];
    uint8_t bufB[4];
    EXPECT_FALSE(ReadFile(h, bufA, 4, nullptr, &a));
    EXPECT_FALSE(ReadFile(h, bufB, 4, nullptr, &b));
    ASSERT_EQ(HeldCount(), 2u);

    EXPECT_TRUE(CancelIoEx(h, &b));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &b, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_FALSE(HasOverlappedIoCompleted(&a));
    EXPECT_FALSE(CancelIoEx(h, &b));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});

    // Another thread's CancelIo leaves this thread's read alone.
    std::thread([&] { EXPECT_TRUE(CancelIo(h)); }).join();
    EXPECT_FALSE(HasOverlappedIoCompleted(&a));
    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &a, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});

    std::thread([&] { EXPECT_FALSE(ReadFile(h, bufA, 4, nullptr, &a)); }).join();
    ASSERT_TRUE(HasOverlappedIoCompleted(&a)) << "the exit waits for what it cancelled";
    EXPECT_FALSE(GetOverlappedResult(h, &a, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(HeldCount(), 0u);
    CloseHandle(h);
}

// One open at a time: a second is refused before the driver sees it, and the first
// holds the device until its last request has ended, after the handle's cleanup.
TEST_F(FileTest, CloseHandleReturnsAfterTheCleanupAndTheDeviceStaysExclusiveUntilTheClose)
{
    Hold(IRP_MJ_READ, false);  // cleanup does not end it: it stays in flight
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    auto refused = [] {
        return CreateFileW(u"\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) ==
                   INVALID_HANDLE_VALUE &&
               GetLastError() == ERROR_ACCESS_DENIED;
    };
    EXPECT_TRUE(refused());
    EXPECT_TRUE(Requests().empty());
    OVERLAPPED ov{};
    uint8_t buffer[4];
    EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Majors(Requests()), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_TRUE(refused()) << "the read still holds the file";
    ASSERT_TRUE(CompleteHeld(STATUS_SUCCESS, {1, 2}));
    sim::ke::WaitIdle();
    EXPECT_EQ(Majors(Requests()), (std::vector<UCHAR>{IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.InternalHigh, ULONG_PTR{2});
    CloseHandle(Open());
}

TEST_F(FileTest, DuplicatedHandleKeepsTheFileOpenUntilTheLastHandleCloses)
{
    HANDLE h = Open();
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(Requests().empty());
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(copy, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 0u) << "the count is the driver's Information: none for this device";
    EXPECT_TRUE(CloseHandle(copy));
    auto seen = Requests();
    EXPECT_EQ(Majors(seen), (std::vector<UCHAR>{IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(seen[0].input, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

}  // namespace
}  // namespace w32test

// The port as an application sees it through the Win32 communications API: a DCB
// round trip, WaitCommEvent ended by each of its sources, and ReadFile under each
// class of COMMTIMEOUTS.
#include "tests/serial/serial_bench.h"

#include "sim/win32/win32.h"

#include <functional>
#include <vector>
#include <string>

namespace {

using sim::usb::ObexPhone;

class SerialWin32Test : public bench::SerialTest {
protected:
    void SetUp() override
    {
        bench::SerialTest::SetUp();
        if (ext_ == nullptr) {
            return;
        }
        path_ = u"\\\\.\\GLOBALROOT";
        path_.append(ext_->DeviceName.Buffer, ext_->DeviceName.Length / sizeof(WCHAR));
        port_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        if (event_ != nullptr) {
            CloseHandle(event_);
        }
        bench::SerialTest::TearDown();
    }

    OVERLAPPED Overlapped()
    {
        OVERLAPPED ov = {};
        ResetEvent(event_);
        ov.hEvent = event_;
        return ov;
    }
    bool Pending() { return WaitForSingleObject(event_, 0) == WAIT_TIMEOUT; }

    std::u16string path_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
};

TEST_F(SerialWin32Test, SetCommStateThenGetCommStateRoundTripsTheDcb)
{
    DCB set = {};
    set.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port_, &set));
    set.BaudRate = 57600;
    set.ByteSize = 7;
    set.Parity = ODDPARITY;  // not TWOSTOPBITS' value, so the two cannot be swapped unseen
    set.StopBits = TWOSTOPBITS;
    set.fDtrControl = DTR_CONTROL_ENABLE;
    set.fRtsControl = RTS_CONTROL_HANDSHAKE;
    set.fOutxCtsFlow = 1;
    set.XonChar = 0x11;
    set.XoffChar = 0x13;
    set.ErrorChar = '?';
    set.EofChar = 0x1A;
    set.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &set)) << GetLastError();

    DCB got = {};
    got.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port_, &got));
    // The port keeps no flow-control limits.
    set.XonLim = set.XoffLim = 0;
    const auto fields = [](const DCB &d) {
        return std::vector<DWORD>{d.BaudRate,    d.ByteSize,          d.Parity,          d.StopBits,
                                  d.fDtrControl, d.fRtsControl,       d.fOutxCtsFlow,    DWORD(d.XonChar),
                                  DWORD(d.XoffChar), DWORD(d.ErrorChar), DWORD(d.EofChar), DWORD(d.EvtChar),
                                  d.XonLim,      d.XoffLim};
    };
    EXPECT_EQ(fields(got), fields(set));
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_DSR_ON)) << "DTR raised by the DCB shows as DSR";

    set.BaudRate = 56000;
    EXPECT_FALSE(SetCommState(port_, &set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // What the next first open reports can be set again with only the rate changed.
    ASSERT_TRUE(CloseHandle(port_));
    port_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    DCB fresh = {};
    fresh.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port_, &fresh));
    fresh.BaudRate = CBR_9600;
    EXPECT_TRUE(SetCommState(port_, &fresh)) << GetLastError();
}

TEST_F(SerialWin32Test, WaitCommEventEndsByDataByAnEmptiedWriteQueueAndByANewMask)
{
    struct Row {
        const char *name;
        DWORD mask;
        std::function<void()> trigger;
        DWORD expected;
    };
    // Received events stay pending for the next wait, so the data row comes last.
    const Row rows[] = {
        {"write queue emptied", EV_TXEMPTY,
         [this] {
             OVERLAPPED ov = {};
             DWORD written = 0;
             const char data[3] = {1, 2, 3};
             EXPECT_FALSE(WriteFile(port_, data, sizeof(data), &written, &ov));
             EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
             ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
             EXPECT_TRUE(GetOverlappedResult(port_, &ov, &written, TRUE));
             EXPECT_EQ(written, 3u);
         },
         EV_TXEMPTY},
        {"new mask", EV_RXCHAR, [this] { EXPECT_TRUE(SetCommMask(port_, EV_RXFLAG)); }, 0},
        {"received data", EV_RXCHAR, [this] { Receive({1, 2}); }, EV_RXCHAR},
    };
    for (const Row &row : rows) {
        ASSERT_TRUE(SetCommMask(port_, row.mask));
        DWORD events = 0xDEADBEEF;
        OVERLAPPED ov = Overlapped();
        EXPECT_FALSE(WaitCommEvent(port_, &events, &ov)) << row.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << row.name;
        EXPECT_TRUE(Pending()) << row.name;
        row.trigger();
        DWORD transferred = 0;
        ASSERT_TRUE(GetOverlappedResult(port_, &ov, &transferred, TRUE)) << row.name;
        EXPECT_EQ(events, row.expected) << row.name;
    }
}

TEST_F(SerialWin32Test, ReadFileFollowsEachClassOfCommTimeouts)
{
    enum Kind { AtOnce, Forever, Timed };
    struct Row {
        COMMTIMEOUTS timeouts;
        DWORD length;
        Kind kind;
        int64_t dueMs;
    };
    const Row rows[] = {
        {{MAXDWORD, 0, 0, 0, 0}, 8, AtOnce, 0},
        {{MAXDWORD, 5, MAXDWORD, 0, 0}, 8, Forever, 0},
        {{MAXDWORD, MAXDWORD, 300, 0, 0}, 8, Timed, 300},   // a MAXDWORD multiplier counts as 0
        {{0, 0, 0, 0, 0}, 8, Forever, 0},
        {{20, 10, 100, 0, 0}, 8, Timed, 180},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        COMMTIMEOUTS timeouts = row.timeouts;
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
        char buffer[16] = {};
        DWORD got = 0xFFFF;
        OVERLAPPED ov = Overlapped();
        BOOL done = ReadFile(port_, buffer, row.length, &got, &ov);
        if (row.kind == AtOnce) {
            ASSERT_TRUE(done);
            EXPECT_EQ(got, 0u);
            continue;
        }
        ASSERT_FALSE(done);
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        if (row.kind == Timed) {
            sim::ke::Advance((row.dueMs - 1) * 10000);
            EXPECT_TRUE(Pending());
            sim::ke::Advance(10000);
            ASSERT_TRUE(GetOverlappedResult(port_, &ov, &got, TRUE));
            EXPECT_EQ(got, 0u);
        } else {
            sim::ke::Advance(3600LL * 1000 * 10000);
            EXPECT_TRUE(Pending());
            Receive({'o', 'k'});
            ASSERT_TRUE(GetOverlappedResult(port_, &ov, &got, TRUE));
            EXPECT_EQ(got, 2u);
            EXPECT_EQ(std::string(buffer, 2), "ok");
        }
    }
}

}  // namespace

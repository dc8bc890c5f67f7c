// The port as an application sees it through the Win32 communications API: a DCB
// round trip. (The events and the read timeouts behind WaitCommEvent and ReadFile:
// the wait and read tests, on the requests themselves.)
#include "tests/serial/serial_bench.h"

#include "sim/win32/win32.h"

#include <string>
#include <vector>

namespace {

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
        port_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        bench::SerialTest::TearDown();
    }

    std::u16string path_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
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

}  // namespace

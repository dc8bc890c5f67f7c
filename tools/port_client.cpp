#include "tools/port_client.h"

#include "tools/cli.h"
#include "tools/win32_errors.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace tool {

HANDLE OpenComPort(const std::string &portName, DWORD flags)
{
    for (int attempt = 0;; attempt++) {
        HANDLE handle = CreateFileW(Wide("\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED || attempt == 4) {
            return handle;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

PortClient::PortClient(const std::string &portName)
{
    port_ = OpenComPort(portName, 0);
    if (port_ == INVALID_HANDLE_VALUE) {
        Fail("CreateFileW", GetLastError());
    }
    client_ = std::make_unique<sim::obex::Client>(
        [this](const std::vector<uint8_t> &data) { return Write(data.data(), data.size()); },
        [this](uint8_t *buffer, size_t length) { return Read(buffer, length); });
}

PortClient::~PortClient()
{
    if (IsOpen()) {
        CloseHandle(port_);
    }
}

void PortClient::Fail(const char *call, DWORD error)
{
    if (error_ == 0) {
        error_ = error;
        failedCall_ = call;
    }
}

std::string PortClient::Failure() const
{
    if (error_ == 0) {
        return "no failure";
    }
    if (error_ == ERROR_SEM_TIMEOUT && failedCall_ == "ReadFile") {
        return "the phone did not answer (ReadFile brought nothing three times)";
    }
    return failedCall_ + " failed: " + DescribeWin32Error(error_);
}

bool PortClient::SetUp(const PortSetup &setup)
{
    readWaitMs_ = setup.readWaitMs;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) {
        Fail("GetCommState", GetLastError());
        return false;
    }
    dcb.BaudRate = setup.baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(port_, &dcb)) {
        Fail("SetCommState", GetLastError());
        return false;
    }
    // Return what is there at once, or wait for the first byte at most readWaitMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = setup.readWaitMs;
    if (!SetCommTimeouts(port_, &timeouts)) {
        Fail("SetCommTimeouts", GetLastError());
        return false;
    }
    if (!SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY)) {
        Fail("SetCommMask", GetLastError());
        return false;
    }
    if (!PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        Fail("PurgeComm", GetLastError());
        return false;
    }
    return true;
}

bool PortClient::Write(const uint8_t *data, size_t length)
{
    if (error_ != 0) {
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(port_, data, static_cast<DWORD>(length), &written, nullptr)) {
        Fail("WriteFile", GetLastError());
        return false;
    }
    if (written != length) {
        Fail("WriteFile", ERROR_SEM_TIMEOUT);
        return false;
    }
    return true;
}

bool PortClient::Read(uint8_t *buffer, size_t length)
{
    if (error_ != 0) {
        return false;
    }
    size_t got = 0;
    int empty = 0;
    while (got < length) {
        DWORD n = 0;
        if (!ReadFile(port_, buffer + got, static_cast<DWORD>(length - got), &n, nullptr)) {
            Fail("ReadFile", GetLastError());
            return false;
        }
        // An empty read is a timeout, or the zero-length packet that ends a transfer
        // of whole packets; only several in a row mean the phone is silent.
        empty = n == 0 ? empty + 1 : 0;
        if (empty == 3) {
            Fail("ReadFile", ERROR_SEM_TIMEOUT);
            return false;
        }
        got += n;
    }
    return true;
}

bool PortClient::Close()
{
    if (!IsOpen()) {
        return true;
    }
    const bool ok = CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    if (!ok) {
        Fail("CloseHandle", GetLastError());
    }
    return ok;
}

std::string ObexResponseName(uint8_t code)
{
    using namespace sim::obex;
    switch (code) {
    case 0:
        return "no response";
    case kContinue:
        return "Continue";
    case kSuccess:
        return "Success";
    case kBadRequest:
        return "Bad Request";
    case kForbidden:
        return "Forbidden";
    case kNotFound:
        return "Not Found";
    case kNotAcceptable:
        return "Not Acceptable";
    case kInternalError:
        return "Internal Server Error";
    case kServiceUnavailable:
        return "Service Unavailable";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02X", code);
        return text;
    }
    }
}

}  // namespace tool

// An application's side of a COM port: opening it through the application API,
// setting it up as an OBEX application does, and an OBEX client whose bytes travel
// through the port. When the port fails (the phone was pulled out, say), the client's
// operations fail and the Win32 error the application saw is kept.
#pragma once

#include "sim/obex/protocol.h"
#include "sim/win32/windows.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tool {

// CreateFileW of "\\.\<portName>" for reading and writing, not shared, as a Windows
// application opens a COM port. ERROR_ACCESS_DENIED is tried again four times 10 ms
// apart: right after CloseHandle of the process's own previous handle the port may
// still be open, since its close comes only once the requests still in flight on that
// handle have ended. Any other failure, or the fifth refusal, is returned at once.
HANDLE OpenComPort(const std::string &portName, DWORD flags);

// Settings an OBEX application gives the port: 115200 baud 8N1 with DTR and RTS
// on; reads return as soon as any byte is there and wait at most `readWaitMs` for
// the first; writes have no timeout; the wait mask is receive and transmit-empty.
struct PortSetup {
    DWORD baudRate = 115200;
    DWORD readWaitMs = 5000;
};

class PortClient {
public:
    // Opens "\\.\<portName>". On failure IsOpen() is false and Error() holds the
    // Win32 error.
    explicit PortClient(const std::string &portName);
    ~PortClient();
    PortClient(const PortClient &) = delete;
    PortClient &operator=(const PortClient &) = delete;

    bool IsOpen() const { return port_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return port_; }

    // SetCommState, SetCommTimeouts, SetCommMask, PurgeComm. False (with the error
    // and the call kept) at the first that fails.
    bool SetUp(const PortSetup &setup = {});

    // Writes every byte; reads exactly `length` bytes, failing after three reads in a
    // row that brought nothing (the phone did not answer).
    bool Write(const uint8_t *data, size_t length);
    bool Read(uint8_t *buffer, size_t length);

    // An OBEX client over this port.
    sim::obex::Client &Obex() { return *client_; }

    // The Win32 error of the call that failed (0 when none did, ERROR_SEM_TIMEOUT
    // when the phone did not answer) and which call it was.
    DWORD Error() const { return error_; }
    const std::string &FailedCall() const { return failedCall_; }
    // "ReadFile failed: ERROR_DEVICE_NOT_CONNECTED (1167)".
    std::string Failure() const;

    // CloseHandle; false with the error kept when it fails.
    bool Close();

private:
    void Fail(const char *call, DWORD error);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    DWORD readWaitMs_ = 5000;
    DWORD error_ = 0;
    std::string failedCall_;
    std::unique_ptr<sim::obex::Client> client_;
};

// "Success", "Not Found", ... for an OBEX response code; 0 is a transport failure.
std::string ObexResponseName(uint8_t code);

}  // namespace tool

// A recording device for the Win32 layer's tests: a device of the test driver,
// \Device\W32REC (a serial port: exclusive, buffered I/O) linked as \DosDevices\COM7, whose handler
// records every request (major, control code, input bytes, output length) and answers
// as the test scripts it: a status and output bytes per control code or major, or
// held pending until the test completes it.
#pragma once

#include "sim/win32/windows.h"
#include "tests/support/test_driver.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace w32test {

struct Seen {
    UCHAR major;
    ULONG code;  // IRP_MJ_DEVICE_CONTROL only
    std::vector<uint8_t> input;
    ULONG outputLength;
};

struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> output;  // copied out (up to the output length); Information = its size
};

template <typename T>
std::vector<uint8_t> Bytes(const T &record)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

class Win32Test : public bench::IoTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Scripts the answer to a control code, or to a major function (code 0).
    void Script(UCHAR major, ULONG code, Answer answer);
    void ScriptControl(ULONG code, Answer answer) { Script(IRP_MJ_DEVICE_CONTROL, code, std::move(answer)); }
    // Requests of `major` are held pending; cancelable ones end STATUS_CANCELLED when cancelled.
    void Hold(UCHAR major, bool cancelable);
    size_t HeldCount();
    // Completes the oldest held request (false when none could be taken from its cancel routine).
    bool CompleteHeld(NTSTATUS status, const std::vector<uint8_t> &output = {});

    std::vector<Seen> Requests();
    std::vector<ULONG> ControlCodes();  // the control codes seen, in order
    void ClearRequests();

    HANDLE Open(DWORD flags = 0);
};

}  // namespace w32test

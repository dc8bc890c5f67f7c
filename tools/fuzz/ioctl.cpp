// Serial control requests on an open port, as an unprivileged application can send
// them: any control code, any input and output lengths and contents. The input is the
// code (4 bytes), the output length (2 bytes) and the input buffer (the rest).
#include "sim/ex/ex.h"
#include "tools/fuzz/harness.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static HANDLE port = [] {
        fuzz::Plug();
        HANDLE handle = fuzz::Open();
        if (handle == INVALID_HANDLE_VALUE) {
            std::abort();
        }
        return handle;
    }();
    static const long baseline = static_cast<long>(sim::ex::OutstandingCount());
    fuzz::Input input(data, size);
    DWORD code = input.Take(4);
    // Most inputs should reach the serial codes: the low 16 bits pick a function of
    // the serial device type unless the top bit of the input says otherwise.
    if ((code & 0x80000000u) == 0) {
        code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, (code >> 2) & 0x3F, code & 3, FILE_ANY_ACCESS);
    }
    const DWORD outLength = input.Take(2) & 0x3FF;
    std::vector<uint8_t> in = input.Rest();
    std::vector<uint8_t> out(outLength);
    fuzz::Request(port, [&](OVERLAPPED *ov) {
        return DeviceIoControl(port, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                               out.empty() ? nullptr : out.data(), outLength, nullptr, ov);
    }, 5);
    fuzz::Check("a control request", baseline);
    return 0;
}

// Application operation sequences decoded from the input, one byte an operation (and
// its argument bytes after it): open, read, write, control, cancel, purge, close,
// unplug, sleep and wake. Whatever the order, every call returns and nothing is left
// once the phone is gone.
#include "sim/ex/ex.h"
#include "sim/po/po.h"
#include "tools/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Platform();
    static const long baseline = static_cast<long>(sim::ex::OutstandingCount());
    fuzz::Input input(data, size);
    auto node = fuzz::Plug();
    HANDLE port = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> buffer(4096);
    for (int step = 0; step < 32 && !input.Empty(); step++) {
        const uint32_t op = input.Take(1) % 10;
        const DWORD length = 1 + input.Take(1) * 16;
        switch (op) {
        case 0:
            if (port == INVALID_HANDLE_VALUE) {
                port = fuzz::Open();
            }
            break;
        case 1:
            fuzz::Request(port, [&](OVERLAPPED *ov) { return ReadFile(port, buffer.data(), length, nullptr, ov); },
                          input.Take(1) % 30);
            break;
        case 2:
            fuzz::Request(port, [&](OVERLAPPED *ov) { return WriteFile(port, buffer.data(), length, nullptr, ov); });
            break;
        case 3: {
            const DWORD mask = input.Take(2);
            SetCommMask(port, mask);
            DWORD events = 0;
            fuzz::Request(port, [&](OVERLAPPED *ov) { return WaitCommEvent(port, &events, ov); }, input.Take(1) % 30);
            break;
        }
        case 4:
            fuzz::Request(port, [&](OVERLAPPED *ov) { return ReadFile(port, buffer.data(), length, nullptr, ov); }, 0);
            break;
        case 5:
            PurgeComm(port, input.Take(1) & 0xF);
            break;
        case 6:
            if (port != INVALID_HANDLE_VALUE) {
                CloseHandle(port);
                port = INVALID_HANDLE_VALUE;
            }
            break;
        case 7:
            if (node != nullptr && !node->Removed() && !node->SurpriseRemoved()) {
                fuzz::Platform().SurpriseRemove(*node);
            }
            break;
        case 8:
            if (node != nullptr && !node->Removed()) {
                sim::po::SetSystemPower({node->Pdo()}, PowerSystemSleeping3);
                sim::po::SetSystemPower({node->Pdo()}, PowerSystemWorking);
                sim::po::WaitIdle();
            }
            break;
        case 9: {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (GetCommState(port, &dcb)) {
                dcb.BaudRate = input.Take(3);
                dcb.ByteSize = static_cast<BYTE>(input.Take(1));
                dcb.Parity = static_cast<BYTE>(input.Take(1));
                SetCommState(port, &dcb);
            }
            break;
        }
        }
    }
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    fuzz::Unplug(node);
    fuzz::Check("an operation sequence", baseline);
    return 0;
}

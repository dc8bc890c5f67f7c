// PortName values of any length and contents (the hardware key's REG_SZ, as an
// administrator's tool may leave it: unterminated, embedded NULs, empty, too long).
// The input is the value's UTF-16 code units.
#include "sim/ex/ex.h"
#include "tools/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Platform();
    static const long baseline = static_cast<long>(sim::ex::OutstandingCount());
    std::u16string name;
    for (size_t i = 0; i + 1 < size && name.size() < 4096; i += 2) {
        name.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    auto node = fuzz::Plug(nullptr, name);
    fuzz::Unplug(node);
    fuzz::Check("a PortName", baseline);
    return 0;
}

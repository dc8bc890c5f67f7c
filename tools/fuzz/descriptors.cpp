// Configuration descriptor sets at first start: the input is the phone's one
// configuration descriptor, as the bus returns it to GET_DESCRIPTOR. The driver must
// refuse what it cannot use and leave nothing behind once the device is removed.
#include "sim/ex/ex.h"
#include "sim/obex/phone.h"
#include "tools/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Platform();
    static const long baseline = static_cast<long>(sim::ex::OutstandingCount());
    using sim::usb::ObexPhone;
    sim::usb::DescriptorSet set = sim::usb::MakeDescriptorSet(ObexPhone::kVendorId, ObexPhone::kProductId,
                                                              sim::usb::Speed::Full,
                                                              {std::vector<uint8_t>(data, data + size)});
    auto node = fuzz::Plug(&set);
    if (node != nullptr && !node->Removed()) {
        HANDLE port = fuzz::Open();
        if (port != INVALID_HANDLE_VALUE) {
            uint8_t byte = 0x55;
            fuzz::Request(port, [&](OVERLAPPED *ov) { return WriteFile(port, &byte, 1, nullptr, ov); }, 50);
            CloseHandle(port);
        }
    }
    fuzz::Unplug(node);
    fuzz::Check("a descriptor set", baseline);
    return 0;
}

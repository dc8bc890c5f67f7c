// The OBEX decoder and the OBEX phone model fed arbitrary bytes: a packet decoded for
// every request opcode's field count, and the bytes handed to a phone as transfers.
#include "sim/obex/phone.h"
#include "sim/obex/protocol.h"
#include "sim/usb/device.h"

#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    for (size_t fields : {0, 1, 2, 4}) {
        if (auto packet = sim::obex::Decode(bytes, fields)) {
            // What decodes encodes again to a packet the decoder takes back.
            const std::vector<uint8_t> again = sim::obex::Encode(*packet);
            if (!sim::obex::Decode(again, fields)) {
                std::abort();
            }
        }
    }
    sim::obex::PacketLength(bytes);
    sim::obex::Phone phone(sim::usb::ObexPhone::kBulkIn, sim::usb::ObexPhone::kBulkOut);
    // The bytes in pieces whose lengths come from the input itself.
    size_t at = 0;
    while (at < size) {
        const size_t piece = 1 + data[at] % 200;
        const size_t end = at + piece < size ? at + piece : size;
        phone.Receive(std::vector<uint8_t>(data + at, data + end));
        at = end;
    }
    return 0;
}

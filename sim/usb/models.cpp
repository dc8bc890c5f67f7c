// The phone models: loopback and scripted. Written() runs on the bus thread at
// DISPATCH_LEVEL with no bus lock held; Push and the readers run in the test's thread.
#include "sim/usb/device.h"

namespace sim::usb {

void Loopback::Written(Device &device, UCHAR endpoint, const std::vector<uint8_t> &data)
{
    if (endpoint == out_) {
        device.Send(in_, data);
    }
}

void Scripted::Push(const std::vector<uint8_t> &chunk)
{
    device_.Send(in_, chunk);
}

void Scripted::Push(const std::string &text)
{
    Push(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::vector<uint8_t>> Scripted::Transfers()
{
    std::lock_guard<std::mutex> guard(lock_);
    return transfers_;
}

std::vector<uint8_t> Scripted::Bytes()
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint8_t> bytes;
    for (const auto &t : transfers_) {
        bytes.insert(bytes.end(), t.begin(), t.end());
    }
    return bytes;
}

void Scripted::Written(Device &, UCHAR endpoint, const std::vector<uint8_t> &data)
{
    if (endpoint == out_) {
        std::lock_guard<std::mutex> guard(lock_);
        transfers_.push_back(data);
    }
}

}  // namespace sim::usb

#include "tools/fuzz/harness.h"

#include "core/core.h"
#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/io/loader.h"
#include "sim/ke/ke.h"
#include "sim/obex/phone.h"
#include "sim/platform.h"
#include "sim/verifier.h"
#include "sim/win32/win32.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace fuzz {

uint32_t Input::Take(int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; i++) {
        value |= static_cast<uint32_t>(at_ < size_ ? data_[at_] : 0) << (8 * i);
        at_++;
    }
    return value;
}

std::vector<uint8_t> Input::Bytes(size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n && at_ < size_; i++) {
        out.push_back(data_[at_++]);
    }
    return out;
}

sim::pnp::Manager &Platform()
{
    static sim::pnp::Manager *manager = [] {
        sim::ke::NameThread("fuzz");
        sim::PlatformOptions options;
        options.virtualTime = false;   // nobody moves a virtual clock here: timeouts run in real time
        sim::StartPlatform(options);
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status;
        if (const char *image = std::getenv("VARNOOBEX_DRIVER"); image != nullptr && *image != '\0') {
            std::string why;
            status = sim::io::LoadDriverImage(image, u"varnoobex", &driver, &why);
        } else {
            status = sim::io::LoadDriver(DriverEntry, u"varnoobex", &driver);
        }
        if (!NT_SUCCESS(status) || driver == nullptr) {
            std::fprintf(stderr, "fuzz: the driver did not load (0x%08x)\n", static_cast<unsigned>(status));
            std::abort();
        }
        // Kept for the process: the fuzzer ends it with exit(), not by unwinding.
        return new sim::pnp::Manager(driver);
    }();
    return *manager;
}

std::shared_ptr<sim::pnp::Node> Plug(const sim::usb::DescriptorSet *descriptors, const std::u16string &portName)
{
    using sim::usb::ObexPhone;
    static int plugs = 0;
    sim::pnp::PlugOptions options;
    options.portName = portName;
    const std::u16string instance = sim::usb::Device::InstanceIdFor(
        ObexPhone::kVendorId, ObexPhone::kProductId, ObexPhone::kInterface,
        u"6&fuzz&" + std::u16string(1, static_cast<char16_t>(u'0' + plugs++ % 10)));
    auto node = Platform().Plug(descriptors != nullptr ? *descriptors : ObexPhone::Descriptors(sim::usb::Speed::Full),
                                instance, options);
    if (node->Usb() != nullptr) {
        node->Usb()->SetModel(std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut));
    }
    PDEVICE_OBJECT top = node->Top();
    if (top == nullptr || top == node->Pdo()) {
        return node->Removed() ? nullptr : node;
    }
    return node;
}

void Unplug(const std::shared_ptr<sim::pnp::Node> &node)
{
    if (node != nullptr && !node->Removed()) {
        if (!node->SurpriseRemoved()) {
            Platform().SurpriseRemove(*node);
        }
        if (!node->WaitRemoved(15000)) {
            std::fprintf(stderr, "fuzz: a device was not removed within 15 s of its last close\n");
            std::abort();
        }
    }
}

HANDLE Open(const std::u16string &portName)
{
    HANDLE handle = CreateFileW((u"\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 20, 0, 0};
        SetCommTimeouts(handle, &timeouts);
    }
    return handle;
}

long Request(HANDLE handle, const std::function<BOOL(OVERLAPPED *)> &start, DWORD patienceMs)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    long result = -1;
    if (start(&ov) || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, patienceMs) != WAIT_OBJECT_0) {
            CancelIoEx(handle, &ov);
            if (WaitForSingleObject(ov.hEvent, 15000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "fuzz: a request did not end within 15 s of its cancel\n");
                std::abort();
            }
        }
        result = NT_SUCCESS(static_cast<NTSTATUS>(ov.Internal)) ? static_cast<long>(ov.InternalHigh) : -1;
    }
    CloseHandle(ov.hEvent);
    return result;
}

void Check(const char *after, long allowedBlocks)
{
    sim::ke::WaitIdle();
    const auto violations = sim::verifier::Take();
    for (const auto &v : violations) {
        std::fprintf(stderr, "fuzz: after %s: verifier: %s: %s\n", after, sim::verifier::RuleName(v.rule),
                     v.detail.c_str());
    }
    const size_t blocks = sim::ex::OutstandingCount();
    if (allowedBlocks >= 0 && blocks > static_cast<size_t>(allowedBlocks)) {
        std::fprintf(stderr, "fuzz: after %s: %zu pool blocks live, %ld expected at most\n", after, blocks,
                     allowedBlocks);
        std::abort();
    }
    if (!violations.empty()) {
        std::abort();
    }
}

}  // namespace fuzz

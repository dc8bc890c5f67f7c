// What the fuzz targets share: the platform started once per process with the driver
// loaded (the host build, or the image $VARNOOBEX_DRIVER names), phones plugged
// through the Plug and Play manager, and the check after every input that turns a
// verifier report (InformationBeyondBuffer, a pool guard, ...) into a crash the fuzzer
// keeps. Built twice: with libFuzzer (the fuzz preset) and with a main of its own that
// runs saved inputs as an ordinary test (tools/fuzz/replay.cpp).
#pragma once

#include "kernel/kernel.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/descriptors.h"
#include "sim/win32/windows.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

// Reads the input from the front: each call takes what it needs, zeros past the end.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint32_t Take(int bytes);
    std::vector<uint8_t> Bytes(size_t n);
    std::vector<uint8_t> Rest() { return Bytes(size_ - at_); }
    bool Empty() const { return at_ >= size_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// The platform with the driver loaded, started on first use and kept for the process.
sim::pnp::Manager &Platform();
// Plugs the OBEX phone's descriptors (or `descriptors`) with a loopback model behind
// the pipes and the given PortName; nullptr when the driver did not take it.
std::shared_ptr<sim::pnp::Node> Plug(const sim::usb::DescriptorSet *descriptors = nullptr,
                                     const std::u16string &portName = u"COM5");
// Pulls a phone out and waits until its removal has run.
void Unplug(const std::shared_ptr<sim::pnp::Node> &node);
// Opens a port overlapped; INVALID_HANDLE_VALUE when it does not open.
HANDLE Open(const std::u16string &portName = u"COM5");
// One overlapped request, waited for (cancelled after `patienceMs`); the bytes moved
// or -1.
long Request(HANDLE handle, const std::function<BOOL(OVERLAPPED *)> &start, DWORD patienceMs = 2000);
// Aborts (so that the fuzzer keeps the input) when the verifier has a report, or when
// the pool holds more driver blocks than `allowedBlocks`.
void Check(const char *after, long allowedBlocks = -1);

}  // namespace fuzz

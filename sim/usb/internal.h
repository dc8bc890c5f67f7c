// The records behind sim::usb::Device, shared by the files of sim/usb (not for the rest
// of sim/): pending transfers, open pipes, the phone side of each endpoint, and the
// result a transfer ends with. Device::lock_ guards all of them.
#pragma once

#include "sim/usb/device.h"

#include <atomic>

namespace sim::usb {

// A bulk transfer between its submission and its completion.
struct Device::Transfer {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;
    UCHAR endpoint = 0;
    bool in = false;
    void *buffer = nullptr;
    ULONG length = 0;
    ULONG flags = 0;
    int64_t arrival = 0;   // bus clock (BusTiming::Now) when it reached the bus
    // Its cancel routine was taken by IoCancelIrp: the cancel routine completes it.
    bool cancelling = false;
    // The memory went away while pending (reported): nothing is written back to it.
    bool urbGone = false;
    bool bufferGone = false;
};

// An open pipe of the selected configuration.
struct Device::Pipe {
    UCHAR endpoint = 0;
    UCHAR type = 0;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
    ULONG maxTransferSize = 0;
};

// One endpoint as the phone and the bus see it; it outlives reconfiguration, so that
// data and faults can be set up before the driver selects a configuration.
struct Device::EndpointState {
    std::deque<Transfer> pending;             // oldest first
    std::deque<std::vector<uint8_t>> packets;  // IN: data waiting toward the host
    std::deque<Fault> next;                   // FailNext, in turn
    std::optional<Fault> always;              // FailAlways
    bool halted = false;
    int64_t readyAt = 0;   // IN: bus clock when `packets` last went from empty to not
    // OUT: what the phone's controller took since it last handed data to the model,
    // and the size of its receive buffer (0: Device::kReceiveBuffer).
    std::vector<uint8_t> received;
    size_t receiveBuffer = 0;
};

// How a transfer ends.
struct Device::Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    ULONG moved = 0;
    std::optional<ULONG> reported;   // TransferBufferLength when it is not `moved`
    uint32_t packets = 0;        // bus slots the transfer used
    std::vector<uint8_t> data;   // IN: copied to the buffer; OUT: what the phone received
    bool deliver = false;        // OUT: the phone's controller takes `data`
};

namespace detail {
// Bulk transfers pending over every device: the release observer's fast path.
extern std::atomic<long> g_pendingTransfers;
// Opaque handle values that are never dereferenced and never repeat in a process, so
// that a stale handle is always recognised as such.
void *NewHandle();
}  // namespace detail

}  // namespace sim::usb

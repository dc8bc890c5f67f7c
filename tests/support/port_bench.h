// The port bench: a loaded driver on a simulated OBEX phone, plugged in and started by
// the PnP manager (the driver's own configuration and port name COM5), whose port is
// then opened by hand as the first open does (serial defaults, empty queues and ring,
// the open bias on OutstandingIo), so that data-path tests show only what they are
// about. The bus is in manual mode: no transfer completes until the test says so.
//
// A fixture that sets openAtSetUp_ to false before SetUp gets the started device with
// its port closed, to be opened through the driver's own create; one that sets speed_
// gets a phone of that speed.
//
// At the end of each test the bench closes the port as cleanup and close do (IsOpen 0,
// ReadTimer cancelled, the read, write and wait queues cancelled, both pipes aborted,
// the outstanding work drained) and removes the device with IRP_MN_REMOVE_DEVICE. A
// drain that has not ended after kDrainMs of real time fails the test instead of
// hanging the suite.
#pragma once

#include "sim/io/io.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/device.h"
#include "tests/support/driver_bench.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace bench {

class PortTest : public DriverTest {
protected:
    static constexpr int kDrainMs = 10000;

    void SetUp() override;
    void TearDown() override;

    sim::usb::Device &Phone() { return *phone_; }

    // The bulk-in transfer of the receive pump, started as the first open starts it
    // (from this thread, at PASSIVE_LEVEL). The pump is not running unless a test
    // starts it.
    void StartPump();
    // Completes the pending bulk-in transfer with `data` (empty: a zero-length packet)
    // and waits until the pump has re-issued its transfer (or stopped).
    void Receive(const std::vector<uint8_t> &data);

    // Stores bytes in the ring as the bulk-in completion does, without the bus and
    // without completing anything.
    void FillRing(const std::vector<uint8_t> &data);
    // Sets the serial timeouts as set-timeouts stores them.
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant);

    // A read of `length` bytes sent to the top of the stack as ReadFile does; the
    // buffer lives as long as the returned request's owner keeps it.
    struct ReadOp {
        std::shared_ptr<sim::io::Operation> op;
        std::shared_ptr<std::vector<uint8_t>> buffer;
    };
    ReadOp StartRead(ULONG length);

    // A write of `data` sent to the top of the stack as WriteFile does; the request
    // keeps its own copy of the bytes until it completes.
    std::shared_ptr<sim::io::Operation> StartWrite(const std::vector<uint8_t> &data);

    // The IRPs in one of the extension's queues right now (taken under DataLock).
    size_t QueueLength(PLIST_ENTRY head);

    // Ends every queued request of one queue through its cancel routine, as cleanup
    // does: under the cancel spin lock and DataLock, the first request whose cancel
    // routine can be taken is handed to that routine.
    void CancelQueue(PLIST_ENTRY head);
    // Cleanup and close by hand (also run by TearDown, where it is harmless twice).
    void ClosePort();

    std::unique_ptr<sim::pnp::Manager> pnp_;
    std::shared_ptr<sim::pnp::Node> node_;
    sim::usb::Device *phone_ = nullptr;  // the node's, until the removal
    bool openAtSetUp_ = true;
    sim::usb::Speed speed_ = sim::usb::Speed::High;  // of the phone plugged at SetUp
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;

private:
    void AbortPipe(USBD_PIPE_HANDLE pipe);
    bool closed_ = false;
};

}  // namespace bench

// The power bench: the driver on a bare bus PDO, power requests sent to the top of the
// stack as the power manager sends them, and a record of what reached the PDO (power
// requests with the stage of the context that carried them and the device state the
// driver had recorded at that moment, and the URB functions of the resume path).
#pragma once

#include "power/power.h"
#include "sim/io/io.h"
#include "tests/support/driver_bench.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace powertest {

// One request as it reached the bus PDO.
struct Arrival {
    UCHAR major;
    UCHAR minor;
    POWER_STATE_TYPE type;          // power requests
    ULONG state;                    // power requests: the new state as a number
    LONG stage;                     // -1: no context of the machine came with it
    DEVICE_POWER_STATE recordedDevice;
    SYSTEM_POWER_STATE recordedSystem;
    USHORT urbFunction;             // internal device control
};

class PowerTest : public bench::DeviceTest {
protected:
    void SetUp() override;

    // Marks the port open as the first open does, as far as the resume path looks:
    // IsOpen, the pipes (placeholders the bare bus accepts), the open bias on
    // OutstandingIo. The pump is not running.
    void OpenByHand();

    // Sends IRP_MJ_POWER with the given minor and, for set and query, type and state.
    std::shared_ptr<sim::io::Operation> SendPower(UCHAR minor, POWER_STATE_TYPE type, ULONG state);
    // The same, waited for; the final status.
    NTSTATUS Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state);

    std::vector<Arrival> Arrivals();
    std::vector<Arrival> PowerArrivals();

    // What the bus PDO answers to system and to device power requests.
    NTSTATUS systemAnswer_ = STATUS_SUCCESS;
    NTSTATUS deviceAnswer_ = STATUS_SUCCESS;

    // Runs in the sender's thread for each request that reaches the PDO, after it is
    // recorded and before it is answered.
    std::function<void(const Arrival &)> onArrival_;

private:
    std::mutex lock_;
    std::vector<Arrival> arrivals_;
};

}  // namespace powertest

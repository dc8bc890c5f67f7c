// System power requests: the device state chosen for each system state, the order in
// which the system request and the device request it asks for reach the lower drivers,
// and how failures of either end the system request.
#include "tests/power/power_bench.h"

#include "sim/po/po.h"

namespace powertest {
namespace {

// What reached the bus PDO, in order.
struct Seen {
    POWER_STATE_TYPE type;
    UCHAR minor;
    ULONG state;
    LONG stage;
    DEVICE_POWER_STATE recordedDevice;
    SYSTEM_POWER_STATE recordedSystem;
};

struct SystemRun {
    const char *name;
    SYSTEM_POWER_STATE systemBefore;
    DEVICE_POWER_STATE deviceBefore;
    DEVICE_POWER_STATE capability;      // Capabilities.DeviceState for the new state
    UCHAR minor;
    SYSTEM_POWER_STATE requested;
    NTSTATUS systemAnswer, deviceAnswer;
    NTSTATUS requestFailure;            // PoRequestPowerIrp's, or success
    NTSTATUS final;
    std::vector<Seen> seen;
    SYSTEM_POWER_STATE systemAfter;
    DEVICE_POWER_STATE deviceAfter;
};

constexpr auto S = SystemPowerState;
constexpr auto D = DevicePowerState;
constexpr UCHAR SET = IRP_MN_SET_POWER;
constexpr UCHAR QUERY = IRP_MN_QUERY_POWER;
constexpr NTSTATUS OK = STATUS_SUCCESS;

// Less power: the device goes first (recorded D3 before its lower drivers see it), then
// the system request goes down. Whatever the capabilities map the state to (`capability`:
// D0 for a run to S0, the same power), less power asks for D3.
SystemRun Down(const char *name, DEVICE_POWER_STATE capability, SYSTEM_POWER_STATE requested)
{
    const DEVICE_POWER_STATE device = capability == PowerDeviceD0 ? PowerDeviceD0 : PowerDeviceD3;
    return {name, PowerSystemWorking, PowerDeviceD0, capability, SET, requested, OK, OK, OK, OK,
            {{D, SET, (ULONG)device, StageDeviceSetDown, device, PowerSystemWorking},
             {S, SET, (ULONG)requested, StageSystemDownLower, device, PowerSystemWorking}},
            requested, device};
}

const SystemRun kSystemRuns[] = {
    Down("S0 to S3", PowerDeviceD3, PowerSystemSleeping3),
    Down("S1 mapped to D1 asks for D3", PowerDeviceD1, PowerSystemSleeping1),
    Down("S2 mapped to D2 asks for D3", PowerDeviceD2, PowerSystemSleeping2),
    Down("S5 with no mapping asks for D3", PowerDeviceUnspecified, PowerSystemShutdown),
    Down("S4 mapped beyond D3 asks for D3", PowerDeviceMaximum, PowerSystemHibernate),
    Down("S0 while S0 takes the run for the same power", PowerDeviceD0, PowerSystemWorking),
    {"a query for S4 queries D3 and records nothing", PowerSystemWorking, PowerDeviceD0, PowerDeviceD3, QUERY, PowerSystemHibernate, OK, OK, OK, OK,
     {{D, QUERY, PowerDeviceD3, StageDeviceQueryDown, PowerDeviceD0, PowerSystemWorking},
      {S, QUERY, PowerSystemHibernate, StageSystemDownLower, PowerDeviceD0, PowerSystemWorking}},
     PowerSystemWorking, PowerDeviceD0},
    // More power: the system request goes down first (recorded when it is back), then
    // the device request for D0, recorded only after its lower drivers succeeded.
    {"S3 to S0", PowerSystemSleeping3, PowerDeviceD3, PowerDeviceD0, SET, PowerSystemWorking, OK, OK, OK, OK,
     {{S, SET, PowerSystemWorking, StageSystemUpLower, PowerDeviceD3, PowerSystemSleeping3},
      {D, SET, PowerDeviceD0, StageDeviceSetUp, PowerDeviceD3, PowerSystemWorking}},
     PowerSystemWorking, PowerDeviceD0},
    // Failures.
    {"a refused device query fails the held system query, never passed down", PowerSystemWorking, PowerDeviceD0,
     PowerDeviceD3, QUERY, PowerSystemHibernate, OK, STATUS_DEVICE_BUSY, OK, STATUS_DEVICE_BUSY,
     {{D, QUERY, PowerDeviceD3, StageDeviceQueryDown, PowerDeviceD0, PowerSystemWorking}},
     PowerSystemWorking, PowerDeviceD0},
    {"a failed D0 completes the held S0 with its status", PowerSystemSleeping3, PowerDeviceD3, PowerDeviceD0, SET,
     PowerSystemWorking, OK, STATUS_UNSUCCESSFUL, OK, STATUS_UNSUCCESSFUL,
     {{S, SET, PowerSystemWorking, StageSystemUpLower, PowerDeviceD3, PowerSystemSleeping3},
      {D, SET, PowerDeviceD0, StageDeviceSetUp, PowerDeviceD3, PowerSystemWorking}},
     PowerSystemWorking, PowerDeviceD3},
    {"lower drivers failing S0 stop the run before any device request", PowerSystemSleeping3, PowerDeviceD3,
     PowerDeviceD0, SET, PowerSystemWorking, STATUS_UNSUCCESSFUL, OK, OK, STATUS_UNSUCCESSFUL,
     {{S, SET, PowerSystemWorking, StageSystemUpLower, PowerDeviceD3, PowerSystemSleeping3}},
     PowerSystemSleeping3, PowerDeviceD3},
    {"no device request for S3: S3 fails with that status", PowerSystemWorking, PowerDeviceD0, PowerDeviceD3, SET,
     PowerSystemSleeping3, OK, OK, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, {},
     PowerSystemWorking, PowerDeviceD0},
    {"no device request for S0: S0 keeps the lower drivers' status", PowerSystemSleeping3, PowerDeviceD3,
     PowerDeviceD0, SET, PowerSystemWorking, OK, OK, STATUS_INSUFFICIENT_RESOURCES, OK,
     {{S, SET, PowerSystemWorking, StageSystemUpLower, PowerDeviceD3, PowerSystemSleeping3}},
     PowerSystemWorking, PowerDeviceD3},
};

using SystemRequestTest = PowerTest;

TEST_F(SystemRequestTest, EachSystemRunReachesTheLowerDriversInTheTablesOrderWithTheChosenDeviceState)
{
    for (const SystemRun &run : kSystemRuns) {
        SCOPED_TRACE(run.name);
        ext_->SystemPowerState = run.systemBefore;
        ext_->DevicePowerState = run.deviceBefore;
        ext_->Capabilities.DeviceState[run.requested] = run.capability;
        systemAnswer_ = run.systemAnswer;
        deviceAnswer_ = run.deviceAnswer;
        if (!NT_SUCCESS(run.requestFailure)) {
            sim::po::FailNextRequest(run.requestFailure);
        }
        const size_t before = PowerArrivals().size();

        EXPECT_EQ(sim::po::SendSystemRequest(pdo_, run.minor, run.requested), run.final);
        sim::po::WaitIdle();

        auto power = PowerArrivals();
        ASSERT_EQ(power.size() - before, run.seen.size());
        for (size_t i = 0; i < run.seen.size(); i++) {
            SCOPED_TRACE(i);
            const Arrival &a = power[before + i];
            const Seen &e = run.seen[i];
            EXPECT_EQ(a.type, e.type);
            EXPECT_EQ(a.minor, e.minor);
            EXPECT_EQ(a.state, e.state);
            EXPECT_EQ(a.stage, e.stage);
            EXPECT_EQ(a.recordedDevice, e.recordedDevice);
            EXPECT_EQ(a.recordedSystem, e.recordedSystem);
        }
        EXPECT_EQ(ext_->SystemPowerState, run.systemAfter);
        EXPECT_EQ(ext_->DevicePowerState, run.deviceAfter);
    }
}

}  // namespace
}  // namespace powertest

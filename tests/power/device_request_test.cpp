// Device power requests through the machine (set and query, to more and to less power),
// requests the driver passes down untouched, and the early failures of the dispatch.
#include "tests/power/power_bench.h"

#include "sim/lowres.h"
#include "sim/po/po.h"

namespace powertest {
namespace {

struct DeviceRun {
    const char *name;
    DEVICE_POWER_STATE before;      // recorded before the request
    UCHAR minor;
    DEVICE_POWER_STATE requested;
    NTSTATUS lower;                 // what the lower drivers answer
    LONG stageBelow;                // the context's stage while the request is below
    DEVICE_POWER_STATE seenBelow;   // the state recorded while the request is below
    DEVICE_POWER_STATE after;
};

const DeviceRun kDeviceRuns[] = {
    {"set D0 from D3 records D0 only after the lower drivers succeeded", PowerDeviceD3, IRP_MN_SET_POWER,
     PowerDeviceD0, STATUS_SUCCESS, StageDeviceSetUp, PowerDeviceD3, PowerDeviceD0},
    {"a failing set D0 leaves D3 recorded", PowerDeviceD3, IRP_MN_SET_POWER, PowerDeviceD0,
     STATUS_UNSUCCESSFUL, StageDeviceSetUp, PowerDeviceD3, PowerDeviceD3},
    {"set D3 from D0 records D3 before the lower drivers see it", PowerDeviceD0, IRP_MN_SET_POWER,
     PowerDeviceD3, STATUS_SUCCESS, StageDeviceSetDown, PowerDeviceD3, PowerDeviceD3},
    {"set D0 while D0 is the same power, passed down as less", PowerDeviceD0, IRP_MN_SET_POWER,
     PowerDeviceD0, STATUS_SUCCESS, StageDeviceSetDown, PowerDeviceD0, PowerDeviceD0},
    {"query D0 from D3 changes nothing", PowerDeviceD3, IRP_MN_QUERY_POWER, PowerDeviceD0,
     STATUS_SUCCESS, StageDeviceQueryUp, PowerDeviceD3, PowerDeviceD3},
    {"query D3 from D0 changes nothing", PowerDeviceD0, IRP_MN_QUERY_POWER, PowerDeviceD3,
     STATUS_SUCCESS, StageDeviceQueryDown, PowerDeviceD0, PowerDeviceD0},
    {"a refused query D3 comes back with the refusal", PowerDeviceD0, IRP_MN_QUERY_POWER, PowerDeviceD3,
     STATUS_DEVICE_BUSY, StageDeviceQueryDown, PowerDeviceD0, PowerDeviceD0},
};

using DeviceRequestTest = PowerTest;

TEST_F(DeviceRequestTest, EachDeviceRunPassesItsStagesAndRecordsTheStateAtTheRightMoment)
{
    for (const DeviceRun &run : kDeviceRuns) {
        SCOPED_TRACE(run.name);
        ext_->DevicePowerState = run.before;
        const size_t seen = PowerArrivals().size();
        deviceAnswer_ = run.lower;

        auto op = SendPower(run.minor, DevicePowerState, run.requested);
        EXPECT_EQ(op->Wait().Status, run.lower);
        EXPECT_EQ(op->Returned(), STATUS_PENDING);

        auto power = PowerArrivals();
        ASSERT_EQ(power.size(), seen + 1);
        const Arrival &below = power.back();
        EXPECT_EQ(below.minor, run.minor);
        EXPECT_EQ(below.state, (ULONG)run.requested);
        EXPECT_EQ(below.stage, run.stageBelow);
        EXPECT_EQ(below.recordedDevice, run.seenBelow);
        EXPECT_EQ(ext_->DevicePowerState, run.after);
        if (run.after != run.before) {
            EXPECT_EQ(sim::po::DeviceState(fdo_), run.after) << "a change not told to the power manager";
        }
        EXPECT_EQ(ext_->SystemPowerState, PowerSystemWorking) << "device requests leave the system state";
    }
}

TEST_F(DeviceRequestTest, WaitWakeAndPowerSequencePassDownUntouchedWithTheLowerStatus)
{
    deviceAnswer_ = STATUS_NOT_SUPPORTED;
    systemAnswer_ = STATUS_NOT_SUPPORTED;
    for (UCHAR minor : {(UCHAR)IRP_MN_WAIT_WAKE, (UCHAR)IRP_MN_POWER_SEQUENCE}) {
        auto op = SendPower(minor, SystemPowerState, PowerSystemWorking);
        EXPECT_EQ(op->Wait().Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(op->Returned(), STATUS_NOT_SUPPORTED);
        auto power = PowerArrivals();
        ASSERT_FALSE(power.empty());
        EXPECT_EQ(power.back().minor, minor);
        EXPECT_EQ(power.back().stage, -1) << "no completion routine of ours";
    }
    EXPECT_EQ(ext_->DevicePowerState, PowerDeviceD0);
}

TEST_F(DeviceRequestTest, NoPoolForTheContextFailsTheRequestWithoutPassingItDown)
{
    sim::lowres::FailNth("ExAllocatePool", 1);
    auto op = SendPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(op->Wait().Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(op->Returned(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(op->Status().Information, 0u);
    EXPECT_TRUE(PowerArrivals().empty());
    EXPECT_EQ(ext_->DevicePowerState, PowerDeviceD0);
}

}  // namespace
}  // namespace powertest

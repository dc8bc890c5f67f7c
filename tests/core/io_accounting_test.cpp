// The availability test in each device state, and the pass-down dispatch before and
// after removal has begun.
#include "tests/support/driver_bench.h"

#include "sim/bus/pdo.h"

namespace {

using CoreDeviceTest = bench::DeviceTest;

// The test runs under DataLock at DISPATCH_LEVEL, as the data path calls it.
TEST_F(CoreDeviceTest, OnlyTheLeavingStatesAndADeadDeviceAreUnavailable)
{
    struct {
        PNP_STATE state;
        bool unavailable;
    } const cases[] = {
        {NeverStarted, false}, {Stopped, false},        {Started, false},  {StopPending, false},
        {RemovePending, true}, {SurpriseRemoved, true}, {Removed, true},
    };
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    for (auto c : cases) {
        ext_->PnpState = c.state;
        ext_->DeviceFailure = 0;
        EXPECT_EQ(IsDeviceUnavailable(ext_), c.unavailable) << "state " << c.state;
        ext_->DeviceFailure = DEVICE_FAILED_MARK;
        EXPECT_TRUE(IsDeviceUnavailable(ext_)) << "dead device in state " << c.state;
    }
    KeReleaseSpinLock(&ext_->DataLock, irql);
    ext_->PnpState = NeverStarted;
    ext_->DeviceFailure = 0;
}

TEST_F(CoreDeviceTest, SystemAndInternalControlRequestsReachTheBusUnchanged)
{
    // The bus sees the very stack location the sender filled: the driver skips its own.
    UCHAR seenMinor = 0xff;
    Bus(pdo_).OnRequest([&](PIRP irp) { seenMinor = IoGetCurrentIrpStackLocation(irp)->MinorFunction; });
    Bus(pdo_).SetStatus(IRP_MJ_SYSTEM_CONTROL, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Send(fdo_, IRP_MJ_SYSTEM_CONTROL, 0x0b), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Bus(pdo_).Count(IRP_MJ_SYSTEM_CONTROL), 1);
    EXPECT_EQ(seenMinor, 0x0b);
    EXPECT_EQ(Send(fdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(Bus(pdo_).Count(IRP_MJ_INTERNAL_DEVICE_CONTROL), 1);
}

TEST_F(CoreDeviceTest, AfterRemovalPassDownCompletesWithTheLockStatusWithoutReachingTheBus)
{
    // What the removal path does with the remove lock: take it, then release and wait.
    PVOID tag = &ext_->RemoveLock;
    ASSERT_EQ(IoAcquireRemoveLock(&ext_->RemoveLock, tag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ext_->RemoveLock, tag);

    EXPECT_EQ(Send(fdo_, IRP_MJ_SYSTEM_CONTROL), STATUS_DELETE_PENDING);
    EXPECT_EQ(Send(fdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL), STATUS_DELETE_PENDING);
    EXPECT_EQ(Bus(pdo_).Total(), 0);
}

}  // namespace

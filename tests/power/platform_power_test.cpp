// The power manager under a probe function driver of the tests' own, attached to a
// plugged OBEX phone's PDO: the requests of each system transition in order, on the
// power thread at PASSIVE_LEVEL, with Windows' ShutdownType; a refused query and its
// cancel; PoRequestPowerIrp's device request at the top of the stack and its completion
// function, held by a policy owner while its system request waits; the failure hooks;
// the PoStartNextPowerIrp rule on faulty probes; the bus suspending transfers in D3.
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/po/po.h"
#include "sim/usb/device.h"
#include "tests/support/platform_test.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using sim::usb::ObexPhone;

enum class Mode {
    Pass,              // PoStartNextPowerIrp, skip, PoCallDriver
    RefuseS3Query,     // completes a query for S3 with STATUS_UNSUCCESSFUL
    Owner,             // a set to a sleep state asks for D3 first and holds the request
    SkipWithoutStart,  // faulty: passes on without PoStartNextPowerIrp
    CompleteWithoutStart,
    RoutineWithoutStart,  // faulty: passes on with a routine that never calls it
};

struct Seen {
    UCHAR minor;
    POWER_STATE_TYPE type;
    int state;
    POWER_ACTION action;
    KIRQL irql;
    std::string thread;
    NTSTATUS arrived;
};

struct Probe {
    std::mutex lock;
    std::vector<Seen> seen;
    Mode mode = Mode::Pass;
};
Probe *g_probe = nullptr;

struct ProbeExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
};

struct Called {
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    PVOID context = nullptr;
    NTSTATUS status = STATUS_PENDING;
    int count = 0;
};

VOID NTAPI RecordCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status)
{
    auto *called = static_cast<Called *>(context);
    called->device = device;
    called->minor = minor;
    called->state = state.DeviceState;
    called->context = context;
    called->status = status->Status;
    called->count++;
}

// Owner mode: the held system request completes with the device request's status.
VOID NTAPI DeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    PIRP system = static_cast<PIRP>(context);
    system->IoStatus.Status = status->Status;
    IoCompleteRequest(system, IO_NO_INCREMENT);
}

POWER_STATE Device(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

NTSTATUS NTAPI NoStartRoutine(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ProbePower(PDEVICE_OBJECT fdo, PIRP irp)
{
    auto *ext = static_cast<ProbeExtension *>(fdo->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const auto &power = sp->Parameters.Power;
    {
        std::lock_guard<std::mutex> guard(g_probe->lock);
        g_probe->seen.push_back(Seen{sp->MinorFunction, power.Type,
                                     power.Type == SystemPowerState ? (int)power.State.SystemState
                                                                    : (int)power.State.DeviceState,
                                     power.ShutdownType, sim::ke::CurrentIrql(), sim::ke::ThreadName(),
                                     irp->IoStatus.Status});
    }
    const bool system = power.Type == SystemPowerState;
    switch (g_probe->mode) {
    case Mode::RefuseS3Query:
        if (system && sp->MinorFunction == IRP_MN_QUERY_POWER && power.State.SystemState == PowerSystemSleeping3) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        break;
    case Mode::Owner:
        if (system && sp->MinorFunction == IRP_MN_SET_POWER && power.State.SystemState != PowerSystemWorking) {
            IoMarkIrpPending(irp);
            // Held here until the device request completes; then completed by DeviceDone
            // (PoStartNextPowerIrp first, as the driver still holds it).
            PoStartNextPowerIrp(irp);
            const NTSTATUS requested = PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, Device(PowerDeviceD3), DeviceDone, irp,
                                                         nullptr);
            if (requested != STATUS_PENDING) {
                irp->IoStatus.Status = requested;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            return STATUS_PENDING;
        }
        break;
    case Mode::SkipWithoutStart:
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    case Mode::CompleteWithoutStart:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Mode::RoutineWithoutStart:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, NoStartRoutine, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(ext->lower, irp);
    case Mode::Pass:
        break;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_POWER] = ProbePower;
    return STATUS_SUCCESS;
}

class PowerPlatformTest : public bench::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        g_probe = &probe_;
        phone_ = std::make_unique<sim::usb::Device>(
            ObexPhone::Descriptors(),
            sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId, ObexPhone::kInterface));
        ASSERT_EQ(sim::io::LoadDriver(ProbeEntry, u"pwrprobe", &driver_), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(ProbeExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_),
                  STATUS_SUCCESS);
        auto *ext = static_cast<ProbeExtension *>(fdo_->DeviceExtension);
        ext->pdo = phone_->Pdo();
        ext->lower = IoAttachDeviceToDeviceStack(fdo_, phone_->Pdo());
        fdo_->Flags |= DO_POWER_PAGABLE;
        fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override
    {
        if (fdo_ != nullptr) {
            IoDetachDevice(static_cast<ProbeExtension *>(fdo_->DeviceExtension)->lower);
            IoDeleteDevice(fdo_);
        }
        if (driver_ != nullptr) {
            sim::io::UnloadDriver(driver_);
        }
        phone_.reset();
        g_probe = nullptr;
        PlatformTest::TearDown();
    }
    std::vector<Seen> SeenNow()
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        return probe_.seen;
    }
    PDEVICE_OBJECT Pdo() { return phone_->Pdo(); }

    Probe probe_;
    std::unique_ptr<sim::usb::Device> phone_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(PowerPlatformTest, EachSleepIsQueriedThenSetAndS0IsSetAloneOnThePowerThreadAtPassive)
{
    const struct {
        SYSTEM_POWER_STATE state;
        POWER_ACTION action;
    } kCases[] = {{PowerSystemSleeping1, PowerActionSleep}, {PowerSystemSleeping2, PowerActionSleep},
                  {PowerSystemSleeping3, PowerActionSleep}, {PowerSystemHibernate, PowerActionHibernate},
                  {PowerSystemShutdown, PowerActionShutdown}};
    for (const auto &c : kCases) {
        SCOPED_TRACE(testing::Message() << "S" << int(c.state) - 1);
        probe_.seen.clear();
        ASSERT_EQ(sim::po::SetSystemPower({Pdo()}, c.state), STATUS_SUCCESS);
        EXPECT_EQ(sim::po::CurrentSystemState(), c.state);
        ASSERT_EQ(sim::po::SetSystemPower({Pdo()}, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(sim::po::CurrentSystemState(), PowerSystemWorking);
        const std::vector<Seen> seen = SeenNow();
        ASSERT_EQ(seen.size(), 3u);
        const UCHAR minors[] = {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, IRP_MN_SET_POWER};
        const int states[] = {c.state, c.state, PowerSystemWorking};
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(seen[i].minor, minors[i]) << i;
            EXPECT_EQ(seen[i].type, SystemPowerState) << i;
            EXPECT_EQ(seen[i].state, states[i]) << i;
            // The wake carries the action of the sleep it ends.
            EXPECT_EQ(seen[i].action, c.action) << i;
            EXPECT_EQ(seen[i].irql, PASSIVE_LEVEL) << i;
            EXPECT_EQ(seen[i].thread, "power") << i;
            EXPECT_EQ(seen[i].arrived, STATUS_NOT_SUPPORTED) << i;
        }
    }
    EXPECT_EQ(sim::po::SystemHistory().size(), 15u);
}

TEST_F(PowerPlatformTest, ARefusedQueryEndsTheTransitionWithASetBackToS0)
{
    probe_.mode = Mode::RefuseS3Query;
    sim::usb::Device second(ObexPhone::Descriptors(), u"USB\\VID_FEED&PID_0B3C&MI_07\\second");
    EXPECT_EQ(sim::po::SetSystemPower({Pdo(), second.Pdo()}, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::po::CurrentSystemState(), PowerSystemWorking);
    const std::vector<sim::po::SystemRequest> history = sim::po::SystemHistory();
    // The second stack is never queried, so it hears nothing of the cancel either.
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(history[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(history[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(history[1].state, PowerSystemWorking);
    EXPECT_EQ(history[1].pdo, Pdo());

    // A query alone leaves the system where it is.
    probe_.mode = Mode::Pass;
    EXPECT_EQ(sim::po::SendSystemRequest(second.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(sim::po::SystemHistory().back().action, PowerActionHibernate);
    EXPECT_EQ(sim::po::CurrentSystemState(), PowerSystemWorking);
}

TEST_F(PowerPlatformTest, PoRequestPowerIrpReachesTheTopOfTheStackAndCallsBackWithItsStatus)
{
    for (NTSTATUS bus : {STATUS_SUCCESS, STATUS_DEVICE_POWER_FAILURE}) {
        SCOPED_TRACE(bus);
        probe_.seen.clear();
        phone_->SetPowerStatus(bus);
        Called called;
        PIRP irp = reinterpret_cast<PIRP>(1);
        // Given the PDO, the request still starts at the probe above it.
        EXPECT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_QUERY_POWER, Device(PowerDeviceD3), RecordCompletion, &called, &irp),
                  STATUS_PENDING);
        EXPECT_EQ(irp, nullptr);
        sim::po::WaitIdle();
        ASSERT_EQ(called.count, 1);
        EXPECT_EQ(called.device, Pdo());
        EXPECT_EQ(called.minor, IRP_MN_QUERY_POWER);
        EXPECT_EQ(called.state, PowerDeviceD3);
        EXPECT_EQ(called.context, &called);
        EXPECT_EQ(called.status, bus);
        const std::vector<Seen> seen = SeenNow();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].type, DevicePowerState);
        EXPECT_EQ(seen[0].state, PowerDeviceD3);
        EXPECT_EQ(seen[0].irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen[0].thread, "power device");
        EXPECT_EQ(seen[0].action, PowerActionNone);
    }
}

TEST_F(PowerPlatformTest, APolicyOwnerHoldsItsSystemRequestUntilItsDeviceRequestCompletes)
{
    probe_.mode = Mode::Owner;
    ASSERT_EQ(sim::po::SetSystemPower({Pdo()}, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(phone_->PowerState(), PowerDeviceD3);
    const std::vector<Seen> seen = SeenNow();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].type, SystemPowerState);
    EXPECT_EQ(seen[2].type, DevicePowerState);
    // Asked for while the system request was out: it carries that request's action.
    EXPECT_EQ(seen[2].action, PowerActionHibernate);

    // The device request's failure is the system request's.
    phone_->SetPowerStatus(STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(sim::po::SetSystemPower({Pdo()}, PowerSystemSleeping3), STATUS_DEVICE_POWER_FAILURE);
    sim::po::WaitIdle();
}

TEST_F(PowerPlatformTest, AFailedPoRequestPowerIrpSendsNothingAndNeverCallsBack)
{
    Called called;
    const POWER_STATE d0 = Device(PowerDeviceD0);
    sim::po::FailNextRequest(STATUS_NO_MEMORY);
    EXPECT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, d0, RecordCompletion, &called, nullptr), STATUS_NO_MEMORY);
    sim::lowres::FailNth("PoRequestPowerIrp", 1);
    EXPECT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, d0, RecordCompletion, &called, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(PoRequestPowerIrp(Pdo(), IRP_MN_WAIT_WAKE, d0, RecordCompletion, &called, nullptr), STATUS_PENDING);
    sim::po::WaitIdle();
    EXPECT_EQ(called.count, 0);
    EXPECT_TRUE(SeenNow().empty());
    // Armed once: the next request goes through.
    EXPECT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, d0, RecordCompletion, &called, nullptr), STATUS_PENDING);
    sim::po::WaitIdle();
    EXPECT_EQ(called.count, 1);
}

TEST_F(PowerPlatformTest, APowerRequestLeavingADriverWithoutPoStartNextPowerIrpIsReported)
{
    for (Mode mode : {Mode::SkipWithoutStart, Mode::CompleteWithoutStart, Mode::RoutineWithoutStart}) {
        SCOPED_TRACE(int(mode));
        probe_.mode = mode;
        sim::po::SendSystemRequest(Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping1);
        ExpectViolation(sim::verifier::Rule::PowerIrpWithoutStartNext);
    }
}

// The bus: a device set to D3 ends what is pending as cancelled and refuses new
// transfers until D0.
TEST_F(PowerPlatformTest, TheBusEndsPendingTransfersAtD3AndRefusesNewOnesUntilD0)
{
    const std::vector<USBD_PIPE_HANDLE> pipes =
        bench::SelectInterface(Pdo(), phone_->Descriptors().configurations[0], ObexPhone::kInterface, ObexPhone::kAlternate);
    ASSERT_EQ(pipes.size(), 2u);
    const USBD_PIPE_HANDLE in = pipes[0];
    auto read = [&](URB &urb, uint8_t *buffer) {
        memset(&urb, 0, sizeof(urb));
        UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in, buffer,
                                               nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               nullptr);
        return sim::io::Send(Pdo(), bench::SubmitUrb(&urb, true));
    };
    uint8_t buffer[64];
    URB urb;
    auto pending = read(urb, buffer);
    phone_->WaitIdle();
    ASSERT_FALSE(pending->Done());

    Called called;
    ASSERT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD3), RecordCompletion, &called, nullptr),
              STATUS_PENDING);
    sim::po::WaitIdle();
    // Ended before the set request completed.
    ASSERT_TRUE(pending->Done());
    EXPECT_EQ(pending->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);

    EXPECT_EQ(read(urb, buffer)->Wait().Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_NOT_ACCESSED);

    ASSERT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD0), RecordCompletion, &called, nullptr),
              STATUS_PENDING);
    sim::po::WaitIdle();
    EXPECT_EQ(phone_->PowerState(), PowerDeviceD0);
    phone_->Send(ObexPhone::kBulkIn, {'u', 'p'});
    IO_STATUS_BLOCK after = read(urb, buffer)->Wait();
    EXPECT_EQ(after.Status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

}  // namespace

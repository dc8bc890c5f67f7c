// The resume after a sleep with the port open: noted at S3 and S4 (set or query), done
// once the device is back in D0 after the next request for the working state; nothing while the
// port is closed. Removal that begins while a request is in the dispatch. And the whole
// path on the phone: bytes sent after the resume reach ReadFile.
#include "tests/power/power_bench.h"

#include "sim/ke/ke.h"
#include "sim/po/po.h"
#include "sim/usb/descriptors.h"
#include "sim/win32/windows.h"
#include "tests/support/port_bench.h"

#include <thread>

namespace powertest {
namespace {

using ResumeTest = PowerTest;

std::vector<USHORT> Urbs(const std::vector<Arrival> &arrivals)
{
    std::vector<USHORT> urbs;
    for (const Arrival &a : arrivals) {
        if (a.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            urbs.push_back(a.urbFunction);
        }
    }
    return urbs;
}

// Every sleeping state puts the device in D3, where the bus cancels the pump's
// transfer: each must bring the resume, or a light sleep leaves the port deaf.
TEST_F(ResumeTest, EverySleepWithThePortOpenIsNotedForTheResumeButShutdownIsNot)
{
    const struct {
        UCHAR minor;
        SYSTEM_POWER_STATE state;
        bool noted;
    } kCases[] = {
        {IRP_MN_SET_POWER, PowerSystemSleeping1, true}, {IRP_MN_SET_POWER, PowerSystemSleeping2, true},
        {IRP_MN_SET_POWER, PowerSystemSleeping3, true},  {IRP_MN_SET_POWER, PowerSystemHibernate, true},
        {IRP_MN_SET_POWER, PowerSystemShutdown, false},  {IRP_MN_QUERY_POWER, PowerSystemSleeping3, true},
        {IRP_MN_QUERY_POWER, PowerSystemHibernate, true}, {IRP_MN_QUERY_POWER, PowerSystemSleeping1, true},
    };
    OpenByHand();
    for (const auto &c : kCases) {
        SCOPED_TRACE(testing::Message() << "minor " << int(c.minor) << " S" << int(c.state) - 1);
        ext_->SleptWhileOpen = FALSE;
        ext_->SystemPowerState = PowerSystemWorking;
        EXPECT_EQ(sim::po::SendSystemRequest(pdo_, c.minor, c.state), STATUS_SUCCESS);
        EXPECT_EQ(ext_->SleptWhileOpen, c.noted);
    }
    EXPECT_TRUE(Urbs(Arrivals()).empty()) << "going to sleep touches no pipe";
}

// The device is still in D3 when the request for S0 arrives (it goes down before the
// device request for D0), and a suspended port refuses transfers: the resume waits for
// D0, then a transfer left in flight is aborted, the bulk-in pipe reset, the pump
// restarted, and the bulk-out pipe reset (no chain runs on it). The bench closes the
// port as the pump's transfer reaches the bus, so the pump aborts the pipe it has just
// sent on: a close between the resume's test and the transfer must not wait on it.
const std::vector<USHORT> kResume = {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_RESET_PIPE,
                                     URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_ABORT_PIPE,
                                     URB_FUNCTION_RESET_PIPE};

void Settle()
{
    sim::po::WaitIdle();
    sim::ke::WaitIdle();
}

TEST_F(ResumeTest, S0AfterS3ResumesThePipesAndThePumpOnceTheDeviceIsBackInD0)
{
    // A write chain already running again on the bulk-out pipe keeps it: no reset under
    // a transfer in flight.
    for (BOOLEAN chainRuns : {FALSE, TRUE}) {
        SCOPED_TRACE(chainRuns ? "a write chain runs" : "no write chain");
        OpenByHand();
        ASSERT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_TRUE(ext_->SleptWhileOpen);
        ext_->WriteActive = chainRuns;
        const size_t before = Arrivals().size();

        EXPECT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        Settle();

        auto after = Arrivals();
        const size_t urbs = kResume.size() - (chainRuns ? 1 : 0);
        ASSERT_EQ(after.size(), before + 2 + urbs);
        EXPECT_EQ(after[before].type, SystemPowerState);
        EXPECT_EQ(after[before + 1].type, DevicePowerState);
        EXPECT_EQ(Urbs({after.begin() + before + 2, after.end()}),
                  std::vector<USHORT>(kResume.begin(), kResume.begin() + urbs));
        EXPECT_FALSE(ext_->SleptWhileOpen);
        EXPECT_EQ(ext_->DevicePowerState, PowerDeviceD0);
    }
}

TEST_F(ResumeTest, AQueryForS4NotFollowedByASetIsRememberedUntilTheWorkingState)
{
    OpenByHand();
    ASSERT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_TRUE(ext_->SleptWhileOpen);
    EXPECT_TRUE(Urbs(Arrivals()).empty());

    EXPECT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(ext_->SleptWhileOpen);
    EXPECT_EQ(Urbs(Arrivals()), kResume);
}

TEST_F(ResumeTest, WithThePortClosedNoSystemRequestTouchesTheFlagOrThePipes)
{
    for (BOOLEAN slept : {FALSE, TRUE}) {
        ext_->SleptWhileOpen = slept;
        for (SYSTEM_POWER_STATE s : {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemWorking}) {
            EXPECT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_SET_POWER, s), STATUS_SUCCESS);
            Settle();
            EXPECT_EQ(ext_->SleptWhileOpen, slept);
        }
    }
    EXPECT_TRUE(Urbs(Arrivals()).empty());
}

// Removal begins while the S0 request is in the dispatch, between the dispatch's
// reference and the machine's: the test holds DataLock, which the dispatch takes in
// between, until the removal waits. The request ends with the late acquire's status,
// is never passed down, and no reference is released that was not taken.
TEST_F(ResumeTest, RemovalBeginningBeforeTheMachineRunsFailsTheRequestWithTheRemoveLockBalanced)
{
    ext_->SystemPowerState = PowerSystemSleeping3;
    ext_->DevicePowerState = PowerDeviceD3;
    const LONG idle = ext_->RemoveLock.Common.IoCount;
    int removalTag = 0;
    std::thread removal;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    std::thread power([&] {
        EXPECT_EQ(sim::po::SendSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_DELETE_PENDING);
    });
    // The count moves under the power thread's interlocked increment: read it so too.
    while (__atomic_load_n(&ext_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE) == idle) {
        std::this_thread::yield();
    }
    const size_t blocked = sim::ke::BlockedWaiters();
    removal = std::thread([&] {
        ASSERT_EQ(IoAcquireRemoveLock(&ext_->RemoveLock, &removalTag), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&ext_->RemoveLock, &removalTag);
    });
    while (sim::ke::BlockedWaiters() == blocked) {
        std::this_thread::yield();
    }
    KeReleaseSpinLock(&ext_->DataLock, irql);
    power.join();
    removal.join();

    sim::po::WaitIdle();
    EXPECT_TRUE(PowerArrivals().empty()) << "the request is not passed down";
    EXPECT_TRUE(sim::po::DeviceHistory().empty()) << "no device request is asked for";
    EXPECT_EQ(ext_->SystemPowerState, PowerSystemSleeping3);
}

// The phone itself: the port opened by CreateFileW, the system to a light (S1) or a
// deep (S3) sleep and back.
class PhoneResumeTest : public bench::PortTest {
protected:
    void SetUp() override
    {
        openAtSetUp_ = false;
        PortTest::SetUp();
    }
};

// A sleep never kills the device: the write in flight ends cancelled, the writes queued
// behind it wait and go after the resume, and no failure counts toward the limit.
TEST_F(PhoneResumeTest, BytesThePhoneSendsAfterALightOrDeepSleepReachReadFileAndQueuedWritesGo)
{
    using sim::usb::ObexPhone;
    HANDLE port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    Phone().WaitIdle();
    ASSERT_EQ(Phone().PendingCount(ObexPhone::kBulkIn), 1u);

    for (SYSTEM_POWER_STATE sleep : {PowerSystemSleeping1, PowerSystemSleeping3}) {
        SCOPED_TRACE(testing::Message() << "S" << int(sleep) - 1);
        std::vector<std::shared_ptr<sim::io::Operation>> writes;
        for (int i = 0; i < 30; i++) {
            writes.push_back(StartWrite({uint8_t(i)}));
        }
        ASSERT_EQ(sim::po::SetSystemPower({node_->Pdo()}, sleep), STATUS_SUCCESS);
        EXPECT_TRUE(ext_->SleptWhileOpen);
        EXPECT_EQ(ext_->DevicePowerState, PowerDeviceD3);
        sim::ke::WaitIdle();
        Phone().WaitIdle();
        EXPECT_EQ(writes[0]->Wait().Status, STATUS_CANCELLED);
        EXPECT_LE(ext_->ErrorCount, 1) << "the writes refused in D3 counted";
        const int resets = Phone().Count().resets;

        ASSERT_EQ(sim::po::SetSystemPower({node_->Pdo()}, PowerSystemWorking), STATUS_SUCCESS);
        Settle();
        Phone().WaitIdle();
        EXPECT_EQ(Phone().Count().resets, resets + 2);
        EXPECT_EQ(ext_->DevicePowerState, PowerDeviceD0);
        EXPECT_FALSE(ext_->SleptWhileOpen);
        EXPECT_FALSE(IsDeviceUnavailable(ext_));
        ASSERT_EQ(Phone().PendingCount(ObexPhone::kBulkIn), 1u);
        for (size_t i = 1; i < writes.size(); i++) {
            ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut)) << "write " << i << " was not resumed";
            EXPECT_EQ(writes[i]->Wait().Status, STATUS_SUCCESS);
        }

        Receive({'a', 'f', 't', 'e', 'r'});
        char buffer[16] = {};
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(port, buffer, sizeof(buffer), &got, nullptr)) << GetLastError();
        EXPECT_EQ(std::string(buffer, got), "after");
    }
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace powertest

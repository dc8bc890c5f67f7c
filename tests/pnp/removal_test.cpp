// Surprise removal and removal: requests in flight end, the names go at once and once,
// and the device leaves nothing behind; a phone pulled out between a granted query and
// its stop or removal takes its names with it.
#include "tests/pnp/pnp_fixture.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <thread>

namespace pnptest {
namespace {

using sim::usb::ObexPhone;

using RemovalTest = PnpTest;

void ExpectNoNames(const std::u16string &device, const std::u16string &interfaceName)
{
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_FALSE(sim::cm::GetValue(sim::cm::kSerialComm, device).has_value());
    EXPECT_FALSE(PnpTest::Enabled(interfaceName));
}

TEST_F(RemovalTest, SurpriseRemovalEndsAParkedReadAndAWriteInFlightThenTheRemovalLeavesNothing)
{
    auto node = Phone(true);
    const std::u16string device = DeviceNameOf(*node);
    const std::u16string interfaceName = InterfaceOf(*node);
    node->Usb()->SetManual(true);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenByName(u"\\DosDevices\\COM5", &file), STATUS_SUCCESS);

    std::vector<uint8_t> readBuffer(16);
    auto parked = SendOn(*node, file, IRP_MJ_READ, readBuffer.data(), readBuffer.size());
    std::vector<uint8_t> data(100, 0x5A);
    auto inFlight = SendOn(*node, file, IRP_MJ_WRITE, data.data(), data.size());
    node->Usb()->WaitIdle();
    ASSERT_EQ(node->Usb()->PendingCount(ObexPhone::kBulkOut), 1u);
    ASSERT_FALSE(parked->Done());
    ASSERT_FALSE(inFlight->Done());

    EXPECT_EQ(pnp_->SurpriseRemove(*node), STATUS_SUCCESS);
    // The pump's transfer failing on the gone phone ends the read before the PnP
    // manager's word does.
    EXPECT_EQ(parked->Wait().Status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(NT_SUCCESS(inFlight->Wait().Status));
    EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)SurpriseRemoved);
    ExpectNoNames(device, interfaceName);
    EXPECT_FALSE(node->Removed()) << "the removal waits for the last handle";

    sim::io::Close(file);
    ASSERT_TRUE(node->WaitRemoved());
    sim::ke::WaitIdle();
    ExpectNoNames(device, interfaceName);
    EXPECT_EQ(node->InterfacesLeftEnabled(), 0);
    // The fixture's end checks that no pool block is left.
}

// The read timer fired just before the phone went: its DPC waits behind another one
// (the test's, holding the processor), where cancelling the timer cannot recall it.
// The removal must let it run before the device and its extension go.
std::atomic<bool> g_dpcHeld{false};
VOID NTAPI HoldTheProcessor(PKDPC, PVOID, PVOID, PVOID)
{
    while (g_dpcHeld.load()) {
        std::this_thread::yield();
    }
}

TEST_F(RemovalTest, AReadTimerDpcQueuedAtTheRemovalRunsBeforeTheDeviceGoes)
{
    auto node = Phone(true);
    node->Usb()->SetManual(true);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenByName(u"\\DosDevices\\COM5", &file), STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts = {0, 0, 100, 0, 0};
    ASSERT_EQ(SendOn(*node, file, IRP_MJ_DEVICE_CONTROL, &timeouts, sizeof(timeouts), IOCTL_SERIAL_SET_TIMEOUTS)
                  ->Wait().Status,
              STATUS_SUCCESS);
    UCHAR buffer[8];
    auto parked = SendOn(*node, file, IRP_MJ_READ, buffer, sizeof(buffer));

    KDPC holder;
    KeInitializeDpc(&holder, HoldTheProcessor, nullptr);
    g_dpcHeld = true;
    KeInsertQueueDpc(&holder, nullptr, nullptr);
    std::thread clock([] { sim::ke::Advance(200 * 10000); });
    while (ExtOf(*node)->ReadTimerDpc.DpcData == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_EQ(pnp_->SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(parked->Wait().Status, STATUS_DELETE_PENDING);
    const size_t blocked = sim::ke::BlockedWaiters();
    sim::io::Close(file);
    // Until the removal is done, or waits for the DPCs.
    while (!node->Removed() && sim::ke::BlockedWaiters() == blocked) {
        std::this_thread::yield();
    }
    g_dpcHeld = false;
    clock.join();
    EXPECT_TRUE(node->WaitRemoved());
}

TEST_F(RemovalTest, APhonePulledOutAfterAGrantedQueryTakesItsNamesWithIt)
{
    struct Query {
        const char *name;
        NTSTATUS (sim::pnp::Manager::*request)(sim::pnp::Node &);
        PNP_STATE pending;
        const char16_t *port;  // a name of its own, so that a leftover cannot collide
    };
    const Query queries[] = {
        {"query-stop", &sim::pnp::Manager::QueryStop, StopPending, u"COM5"},
        {"query-remove", &sim::pnp::Manager::QueryRemove, RemovePending, u"COM6"},
    };
    for (const Query &query : queries) {
        SCOPED_TRACE(query.name);
        auto node = Phone(true, std::u16string(query.port));
        const std::u16string device = DeviceNameOf(*node);
        const std::u16string interfaceName = InterfaceOf(*node);
        ASSERT_EQ(((*pnp_).*query.request)(*node), STATUS_SUCCESS);
        ASSERT_EQ(ExtOf(*node)->PnpState, (ULONG)query.pending);

        EXPECT_EQ(pnp_->SurpriseRemove(*node), STATUS_SUCCESS);
        ASSERT_TRUE(node->WaitRemoved());
        EXPECT_TRUE(sim::ob::LinkTarget(std::u16string(u"\\DosDevices\\") + query.port).empty());
        EXPECT_FALSE(sim::cm::GetValue(sim::cm::kSerialComm, device).has_value());
        EXPECT_EQ(node->InterfacesLeftEnabled(), 0);
    }
}

TEST_F(RemovalTest, RemovalAfterAStopLeavesTheRegistryAlone)
{
    auto node = Phone(true);
    const std::u16string device = DeviceNameOf(*node);
    EXPECT_EQ(pnp_->QueryStop(*node), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->Stop(*node), STATUS_SUCCESS);
    // A value the same name holds by then belongs to someone else.
    const char16_t other[] = u"COM9";
    sim::cm::SetValue(sim::cm::kSerialComm, device, REG_SZ, other, sizeof(other));
    EXPECT_EQ(pnp_->Remove(*node), STATUS_SUCCESS);
    EXPECT_EQ(sim::cm::GetString(sim::cm::kSerialComm, device), std::u16string(u"COM9"));
    EXPECT_EQ(node->InterfacesLeftEnabled(), 0);
}

}  // namespace
}  // namespace pnptest

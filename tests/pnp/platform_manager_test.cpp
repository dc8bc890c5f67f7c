// The Plug and Play manager under a probe function driver of the test's own, which
// records every request it sees (with the IRQL, the thread and the status it arrived
// with) and passes PnP requests down: what is sent, in which order, from which thread,
// one at a time, and the removal that waits for the last handle after a surprise
// removal.
#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/pnp/pnp.h"
#include "tests/support/test_driver.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using sim::pnp::Manager;
using sim::pnp::Node;
using sim::usb::ObexPhone;

constexpr UCHAR kAddDevice = 0xFF;   // a major code no request has

struct Seen {
    UCHAR major;
    UCHAR minor;
    KIRQL irql;
    std::string thread;
    NTSTATUS arrived;
};

struct Probe {
    std::mutex lock;
    std::vector<Seen> seen;
    std::map<UCHAR, NTSTATUS> failPnp;   // minor -> status to complete with, not passing down
    std::atomic<int> inPnp{0};
    std::atomic<int> mostInPnp{0};
    PDEVICE_OBJECT lastFdo = nullptr;
};

constexpr GUID kProbeClass = {0x5fb7c1a2, 0x3d4e, 0x4f60, {0x81, 0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8}};

class PnpManagerTest : public bench::IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        addDevice_ = [this](PDEVICE_OBJECT pdo) { return ProbeAddDevice(pdo); };
        manager_.emplace(driver_);
    }
    void TearDown() override
    {
        manager_.reset();
        IoTest::TearDown();
    }

    void Record(UCHAR major, UCHAR minor, NTSTATUS arrived)
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        probe_.seen.push_back(Seen{major, minor, sim::ke::CurrentIrql(), sim::ke::ThreadName(), arrived});
    }

    NTSTATUS ProbeAddDevice(PDEVICE_OBJECT pdo)
    {
        Record(kAddDevice, 0, STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = AddDevice([this](PDEVICE_OBJECT device, PIRP irp) { return ProbeDispatch(device, irp); },
                                       pdo);
        if (fdo == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        IoRegisterDeviceInterface(pdo, &kProbeClass, nullptr, &Ext(fdo)->link);
        std::lock_guard<std::mutex> guard(probe_.lock);
        probe_.lastFdo = fdo;
        return STATUS_SUCCESS;
    }

    NTSTATUS ProbeDispatch(PDEVICE_OBJECT fdo, PIRP irp)
    {
        bench::TestExtension *ext = Ext(fdo);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        const UCHAR minor = sp->MinorFunction;
        Record(sp->MajorFunction, minor, irp->IoStatus.Status);
        if (sp->MajorFunction != IRP_MJ_PNP) {
            return bench::CompleteWith(irp, STATUS_SUCCESS);
        }
        const int now = ++probe_.inPnp;
        for (int most = probe_.mostInPnp; now > most && !probe_.mostInPnp.compare_exchange_weak(most, now);) {
        }
        std::this_thread::yield();   // widens the window in which a second request could enter
        std::optional<NTSTATUS> fail;
        {
            std::lock_guard<std::mutex> guard(probe_.lock);
            auto it = probe_.failPnp.find(minor);
            if (it != probe_.failPnp.end()) {
                fail = it->second;
            }
        }
        NTSTATUS status;
        if (fail) {
            status = *fail;
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        } else {
            if (minor == IRP_MN_START_DEVICE) {
                IoSetDeviceInterfaceState(&ext->link, TRUE);
            }
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(ext->lower, irp);
        }
        --probe_.inPnp;
        if (minor == IRP_MN_REMOVE_DEVICE && !fail) {
            // Leaves its interface enabled: the manager disables and counts it.
            RtlFreeUnicodeString(&ext->link);
            DeleteDevice(fdo);
        }
        return status;
    }

    Manager &Pnp() { return *manager_; }

    // PnP minors the probe saw from `from` on (an index into probe_.seen).
    std::vector<UCHAR> Minors(size_t from = 0)
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        std::vector<UCHAR> minors;
        for (size_t i = from; i < probe_.seen.size(); i++) {
            if (probe_.seen[i].major == IRP_MJ_PNP) {
                minors.push_back(probe_.seen[i].minor);
            }
        }
        return minors;
    }
    size_t SeenCount()
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        return probe_.seen.size();
    }
    void FailPnp(UCHAR minor, NTSTATUS status)
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        probe_.failPnp[minor] = status;
    }
    std::shared_ptr<Node> PlugSecond()
    {
        return Pnp().Plug(ObexPhone::Descriptors(), sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId,
                                                    ObexPhone::kProductId, ObexPhone::kInterface, u"2"));
    }

    Probe probe_;
    std::optional<Manager> manager_;
};

using MinorList = std::vector<UCHAR>;

TEST_F(PnpManagerTest, PlugCallsAddDeviceThenStartAndCapabilitiesOnThePnpThreadAtPassiveLevel)
{
    sim::pnp::PlugOptions options;
    options.portName = u"COM9";
    auto node = Pnp().PlugPhone(options);
    ASSERT_EQ(node->AddDeviceStatus(), STATUS_SUCCESS);
    EXPECT_EQ(node->Top(), probe_.lastFdo);
    EXPECT_EQ(sim::cm::GetString(sim::cm::HardwareKeyPath(node->Pdo()), u"PortName"), u"COM9");
    EXPECT_EQ(sim::cm::GetString(sim::cm::HardwareKeyPath(PlugSecond()->Pdo()), u"PortName"), u"COM5");

    std::lock_guard<std::mutex> guard(probe_.lock);
    ASSERT_EQ(probe_.seen.size(), 6u);
    for (size_t first : {0, 3}) {
        EXPECT_EQ(probe_.seen[first].major, kAddDevice);
        EXPECT_EQ(probe_.seen[first + 1].minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(probe_.seen[first + 2].minor, IRP_MN_QUERY_CAPABILITIES);
    }
    for (const Seen &seen : probe_.seen) {
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen.thread, "pnp");
        if (seen.major == IRP_MJ_PNP) {
            EXPECT_EQ(seen.arrived, STATUS_NOT_SUPPORTED);
        }
    }
    // The capabilities the manager kept are the ones the stack answered.
    ASSERT_TRUE(node->Capabilities().has_value());
    EXPECT_EQ(node->Capabilities()->DeviceState[PowerSystemSleeping3], PowerDeviceD3);
}

TEST_F(PnpManagerTest, StopRequestsAndUnhandledMinorsReachTheBusAndEndThere)
{
    auto node = Pnp().PlugPhone();
    const size_t before = SeenCount();
    EXPECT_EQ(Pnp().Rebalance(*node), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().QueryStop(*node), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().CancelStop(*node), STATUS_SUCCESS);
    // Neither the probe nor the bus handles these: they keep the status they came with.
    EXPECT_EQ(Pnp().Send(*node, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Pnp().Send(*node, IRP_MN_DEVICE_ENUMERATED), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                      IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                      IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_DEVICE_ENUMERATED}));

    // A refused query-stop is cancelled.
    FailPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY);
    const size_t refused = SeenCount();
    EXPECT_EQ(Pnp().Rebalance(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Minors(refused), (MinorList{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_EQ(node->History().back().minor, IRP_MN_CANCEL_STOP_DEVICE);
}

TEST_F(PnpManagerTest, OrderlyRemovalCancelsARefusedQueryAndDeletesThePdoAfterTheRemove)
{
    const size_t devices = sim::io::DeviceCount();
    auto node = Pnp().PlugPhone();
    const PDEVICE_OBJECT pdo = node->Pdo();
    FailPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
    size_t before = SeenCount();
    EXPECT_EQ(Pnp().Remove(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_FALSE(node->Removed());
    EXPECT_EQ(sim::cm::InstanceId(pdo), node->InstanceId());

    probe_.failPnp.clear();
    before = SeenCount();
    EXPECT_EQ(Pnp().Remove(*node), STATUS_SUCCESS);
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(node->Removed());
    EXPECT_EQ(node->Pdo(), nullptr);
    EXPECT_EQ(node->Usb(), nullptr);
    EXPECT_EQ(sim::io::DeviceCount(), devices);
    EXPECT_TRUE(sim::cm::InstanceId(pdo).empty());
    EXPECT_EQ(node->InterfacesLeftEnabled(), 1);
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_EQ(Pnp().Start(*node), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpManagerTest, AfterASurpriseRemovalTheRemoveComesOnceTheLastHandleIsClosed)
{
    auto node = Pnp().PlugPhone();
    PFILE_OBJECT first;
    PFILE_OBJECT second;
    ASSERT_EQ(sim::io::Open(node->Top(), &first), STATUS_SUCCESS);
    ASSERT_EQ(sim::io::Open(node->Top(), &second), STATUS_SUCCESS);
    const size_t before = SeenCount();

    EXPECT_EQ(Pnp().SurpriseRemove(*node), STATUS_SUCCESS);
    ASSERT_FALSE(node->Removed()) << "removed while two handles are open";
    EXPECT_TRUE(node->Usb()->Unplugged());
    EXPECT_TRUE(node->SurpriseRemoved());
    sim::io::Close(first);
    Pnp().Sync();
    EXPECT_FALSE(node->Removed());
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_SURPRISE_REMOVAL}));

    sim::io::Close(second);
    ASSERT_TRUE(node->WaitRemoved());
    std::lock_guard<std::mutex> guard(probe_.lock);
    std::vector<std::pair<UCHAR, UCHAR>> order;
    for (size_t i = before; i < probe_.seen.size(); i++) {
        order.emplace_back(probe_.seen[i].major, probe_.seen[i].minor);
    }
    const std::vector<std::pair<UCHAR, UCHAR>> expected = {
        {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL}, {IRP_MJ_CLEANUP, 0}, {IRP_MJ_CLOSE, 0},
        {IRP_MJ_CLEANUP, 0}, {IRP_MJ_CLOSE, 0}, {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(probe_.seen.back().thread, "pnp");
}

TEST_F(PnpManagerTest, WithoutHandlesOrAfterAFailedStartTheRemoveFollowsAtOnce)
{
    auto node = Pnp().PlugPhone();
    size_t before = SeenCount();
    EXPECT_EQ(Pnp().SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_TRUE(node->Removed());
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(Pnp().SurpriseRemove(*node), STATUS_NO_SUCH_DEVICE);

    FailPnp(IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
    before = SeenCount();
    auto failed = PlugSecond();
    EXPECT_TRUE(failed->Removed());
    EXPECT_EQ(Minors(before), (MinorList{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    ASSERT_EQ(failed->History().size(), 2u);
    EXPECT_EQ(failed->History()[0].status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(failed->Capabilities().has_value());

    // The bus cannot even create its PDO: nothing is plugged, nothing reaches the driver.
    before = SeenCount();
    sim::lowres::FailNth("IoCreateDevice", 1);
    auto none = PlugSecond();
    EXPECT_TRUE(none->Removed());
    EXPECT_EQ(none->AddDeviceStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(SeenCount(), before);   // and, without memory, no verifier report
}

TEST_F(PnpManagerTest, RequestsFromSeveralThreadsReachTheDriverOneAtATime)
{
    std::shared_ptr<Node> nodes[2] = {Pnp().PlugPhone(), PlugSecond()};
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            Node &node = *nodes[t % 2];
            for (int i = 0; i < 10; i++) {
                if (Pnp().Rebalance(node) != STATUS_SUCCESS || Pnp().QueryRemove(node) != STATUS_SUCCESS ||
                    Pnp().CancelRemove(node) != STATUS_SUCCESS) {
                    failures++;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(probe_.mostInPnp, 1);
    EXPECT_EQ(Minors().size(), 4u + 4 * 10 * 5);
    std::lock_guard<std::mutex> guard(probe_.lock);
    for (const Seen &seen : probe_.seen) {
        EXPECT_EQ(seen.thread, "pnp");
    }
}

}  // namespace

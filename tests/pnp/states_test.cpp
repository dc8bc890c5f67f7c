// The device's Plug and Play states: every transition of the state table, the queries
// refused while the port is open, stop and restart reusing the configuration, and the
// requests that are only passed down.
#include "tests/pnp/pnp_fixture.h"

namespace pnptest {
namespace {

using StatesTest = PnpTest;

enum class Op { QueryStop, Stop, CancelStop, QueryRemove, CancelRemove, Start };

struct Step {
    Op op;
    NTSTATUS status;
    PNP_STATE after;
    bool starved = false;  // no pool while the request runs
};

struct Sequence {
    const char *name;
    bool start;  // started at plug-in
    std::vector<Step> steps;
};

NTSTATUS Apply(sim::pnp::Manager &pnp, sim::pnp::Node &node, Op op)
{
    switch (op) {
    case Op::QueryStop: return pnp.QueryStop(node);
    case Op::Stop: return pnp.Stop(node);
    case Op::CancelStop: return pnp.CancelStop(node);
    case Op::QueryRemove: return pnp.QueryRemove(node);
    case Op::CancelRemove: return pnp.CancelRemove(node);
    case Op::Start: return pnp.Start(node);
    }
    return STATUS_UNSUCCESSFUL;
}

TEST_F(StatesTest, EveryTransitionOfTheStateTable)
{
    const Sequence sequences[] = {
        {"query-stop and cancel from Started", true,
         {{Op::QueryStop, STATUS_SUCCESS, StopPending}, {Op::CancelStop, STATUS_SUCCESS, Started}}},
        {"query-stop, stop, start", true,
         {{Op::QueryStop, STATUS_SUCCESS, StopPending}, {Op::Stop, STATUS_SUCCESS, Stopped},
          {Op::Start, STATUS_SUCCESS, Started}}},
        {"queries outside Started are only passed down", false,
         {{Op::QueryStop, STATUS_SUCCESS, NeverStarted}, {Op::CancelStop, STATUS_SUCCESS, NeverStarted},
          {Op::CancelRemove, STATUS_SUCCESS, NeverStarted}}},
        {"query-remove and cancel from NeverStarted", false,
         {{Op::QueryRemove, STATUS_SUCCESS, RemovePending}, {Op::CancelRemove, STATUS_SUCCESS, NeverStarted}}},
        {"query-remove and cancel from Started", true,
         {{Op::QueryRemove, STATUS_SUCCESS, RemovePending}, {Op::CancelRemove, STATUS_SUCCESS, Started}}},
        {"query-remove and cancel from Stopped", true,
         {{Op::QueryStop, STATUS_SUCCESS, StopPending}, {Op::Stop, STATUS_SUCCESS, Stopped},
          {Op::QueryStop, STATUS_SUCCESS, Stopped}, {Op::QueryRemove, STATUS_SUCCESS, RemovePending},
          {Op::CancelRemove, STATUS_SUCCESS, Stopped}}},
        {"stop from any state, then the first start configures", false,
         {{Op::Stop, STATUS_SUCCESS, Stopped}, {Op::Start, STATUS_SUCCESS, Started}}},
        {"a start while started keeps its names", true, {{Op::Start, STATUS_SUCCESS, Started}}},
        {"a second query-remove keeps the state from before the first", true,
         {{Op::QueryRemove, STATUS_SUCCESS, RemovePending}, {Op::QueryRemove, STATUS_SUCCESS, RemovePending},
          {Op::CancelRemove, STATUS_SUCCESS, Started}}},
        {"cancels reach the lower drivers without pool", true,
         {{Op::QueryStop, STATUS_SUCCESS, StopPending}, {Op::CancelStop, STATUS_SUCCESS, Started, true},
          {Op::QueryRemove, STATUS_SUCCESS, RemovePending}, {Op::CancelRemove, STATUS_SUCCESS, Started, true}}},
    };
    for (const Sequence &sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        auto node = Phone(sequence.start);
        for (size_t i = 0; i < sequence.steps.size(); i++) {
            SCOPED_TRACE(i);
            const Step &step = sequence.steps[i];
            if (step.starved) {
                sim::lowres::FailNth("ExAllocatePool", 1);
            }
            EXPECT_EQ(Apply(*pnp_, *node, step.op), step.status);
            sim::lowres::Reset();
            EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)step.after);
            if (step.after == Started) {
                EXPECT_NE(ExtOf(*node)->InterfaceInfo, nullptr) << "started without a configuration";
                EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), DeviceNameOf(*node));
            }
        }
        EXPECT_EQ(pnp_->Remove(*node), STATUS_SUCCESS);
        EXPECT_TRUE(sim::ob::Links().empty());
        EXPECT_TRUE(sim::cm::Values(sim::cm::kSerialComm).empty());
        EXPECT_EQ(node->InterfacesLeftEnabled(), 0);
    }
}

TEST_F(StatesTest, QueriesAreRefusedWhileThePortIsOpenAndGrantedAfterClose)
{
    auto node = Phone(true);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenByName(u"\\DosDevices\\COM5", &file), STATUS_SUCCESS);

    size_t before = node->History().size();
    EXPECT_EQ(pnp_->QueryRemove(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp_->QueryStop(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)Started);
    EXPECT_EQ(node->History().size(), before + 2);

    sim::io::Close(file);
    EXPECT_EQ(pnp_->QueryRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)RemovePending);
    // No open is admitted while the removal is pending.
    EXPECT_EQ(sim::io::OpenByName(u"\\DosDevices\\COM5", &file), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pnp_->RemoveDevice(*node), STATUS_SUCCESS);
}

TEST_F(StatesTest, StopThenStartReusesTheConfigurationAndEnablesTheInterfaceAgain)
{
    auto node = Phone(true);
    PDEVICE_EXTENSION ext = ExtOf(*node);
    const auto *info = ext->InterfaceInfo;
    USBD_PIPE_HANDLE in = ext->BulkInPipe;
    USBD_PIPE_HANDLE out = ext->BulkOutPipe;
    const std::u16string interfaceName = InterfaceOf(*node);
    const auto usb = node->Usb()->Count();

    EXPECT_EQ(pnp_->QueryStop(*node), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->Stop(*node), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_FALSE(SerialComm(DeviceNameOf(*node)).has_value());
    EXPECT_FALSE(Enabled(interfaceName));

    EXPECT_EQ(pnp_->Start(*node), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, (ULONG)Started);
    EXPECT_EQ(ext->InterfaceInfo, info);
    EXPECT_EQ(ext->BulkInPipe, in);
    EXPECT_EQ(ext->BulkOutPipe, out);
    EXPECT_EQ(node->Usb()->Count().selects, usb.selects);
    EXPECT_EQ(node->Usb()->Count().descriptors, usb.descriptors);
    EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), DeviceNameOf(*node));
    EXPECT_TRUE(SerialComm(DeviceNameOf(*node)).has_value());
    EXPECT_TRUE(Enabled(interfaceName)) << "the restarted port is listed again";

    // The port works after the restart.
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::io::OpenByName(u"\\DosDevices\\COM5", &file), STATUS_SUCCESS);
    sim::io::Close(file);
}

}  // namespace
}  // namespace pnptest

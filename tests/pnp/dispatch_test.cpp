// The PnP dispatch on a plain bus device: capabilities by version and lower status, a
// start the lower drivers fail, and requests the driver only passes down.
#include "tests/pnp/pnp_fixture.h"

#include "sim/bus/pdo.h"

namespace pnptest {
namespace {

class DispatchTest : public bench::DeviceTest {
protected:
    NTSTATUS Pnp(UCHAR minor, std::function<void(IO_STACK_LOCATION &)> parameters = {})
    {
        sim::io::Request request;
        request.major = IRP_MJ_PNP;
        request.minor = minor;
        request.parameters = std::move(parameters);
        return sim::io::Call(fdo_, request).Status;
    }
};

struct Capabilities {
    const char *name;
    USHORT version;
    NTSTATUS lower;     // what the bus answers
    bool stored;        // the driver changed and kept the structure
};

TEST_F(DispatchTest, CapabilitiesOfVersionOneAreMadeRemovableAndKeptVersionZeroPassesUntouched)
{
    const Capabilities rows[] = {
        {"version 1", 1, STATUS_SUCCESS, true},
        {"version 0", 0, STATUS_SUCCESS, false},
        {"version 1, the bus fails", 1, STATUS_UNSUCCESSFUL, false},
    };
    for (const Capabilities &row : rows) {
        SCOPED_TRACE(row.name);
        Bus(pdo_).SetStatus(IRP_MJ_PNP, row.lower);
        RtlZeroMemory(&Ext(fdo_)->Capabilities, sizeof(DEVICE_CAPABILITIES));
        DEVICE_CAPABILITIES caps = {};
        caps.Size = sizeof(caps);
        caps.Version = row.version;
        caps.UniqueID = 1;
        caps.Address = 0xFFFFFFFF;
        EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES,
                      [&caps](IO_STACK_LOCATION &sp) { sp.Parameters.DeviceCapabilities.Capabilities = &caps; }),
                  row.lower);
        EXPECT_EQ(caps.UniqueID, row.stored ? 0u : 1u);
        EXPECT_EQ(caps.Removable, row.stored ? 1u : 0u);
        EXPECT_EQ(caps.SurpriseRemovalOK, row.stored ? 1u : 0u);
        EXPECT_EQ(Ext(fdo_)->Capabilities.Version, row.stored ? 1 : 0);
        if (row.stored) {
            EXPECT_EQ(memcmp(&Ext(fdo_)->Capabilities, &caps, sizeof(caps)), 0);
        }
    }
}

TEST_F(DispatchTest, AStartTheLowerDriversFailChangesNothing)
{
    Bus(pdo_).SetStatus(IRP_MJ_PNP, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ext(fdo_)->PnpState, (ULONG)NeverStarted);
    EXPECT_EQ(Ext(fdo_)->InterfaceInfo, nullptr);
    EXPECT_EQ(Bus(pdo_).Count(IRP_MJ_INTERNAL_DEVICE_CONTROL), 0) << "no configuration was tried";
}

TEST_F(DispatchTest, RequestsWithoutAHandlerReachTheBusWithTheirStatus)
{
    const UCHAR minors[] = {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_ID, IRP_MN_QUERY_PNP_DEVICE_STATE,
                            0x16, IRP_MN_DEVICE_ENUMERATED, 0xFF};
    for (UCHAR minor : minors) {
        SCOPED_TRACE(static_cast<int>(minor));
        int before = Bus(pdo_).Count(IRP_MJ_PNP);
        EXPECT_EQ(Pnp(minor), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Bus(pdo_).Count(IRP_MJ_PNP), before + 1);
    }
}

}  // namespace
}  // namespace pnptest

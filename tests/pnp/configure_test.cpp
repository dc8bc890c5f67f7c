// The USB configuration chosen at the first start: interface 7/1 alone, every pipe's
// transfer size, the copies the device keeps, refused descriptors and interfaces, and
// every failure point unwinding completely.
#include "tests/pnp/pnp_fixture.h"

#include "sim/ex/ex.h"
#include "sim/lowres.h"

namespace pnptest {
namespace {

using sim::usb::ConfigurationBuilder;
using sim::usb::ObexPhone;

using ConfigureTest = PnpTest;

// Pool blocks a configuration keeps: the InterfaceInfo array and its copy.
size_t ConfigurationBlocks(PDEVICE_EXTENSION ext)
{
    if (ext->InterfaceInfo == nullptr) {
        return 0;
    }
    return ext->InterfaceInfo[0] != nullptr ? 2 : 1;
}

// What a failed start must leave: no names and the first state; the configuration's
// copies only when the configuration itself succeeded (the next start replaces them,
// the removal frees them).
void ExpectNothingHeld(const sim::pnp::Node &node, bool configured = false)
{
    PDEVICE_EXTENSION ext = PnpTest::ExtOf(node);
    EXPECT_EQ(ext->PnpState, (ULONG)NeverStarted);
    if (!configured) {
        EXPECT_EQ(ext->InterfaceInfo, nullptr);
    }
    EXPECT_EQ(ext->SymbolicLinkName.Buffer, nullptr);
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_TRUE(sim::cm::Values(sim::cm::kSerialComm).empty());
    EXPECT_TRUE(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
}

TEST_F(ConfigureTest, SelectsInterfaceSevenAlternateOneAloneWithTransfersOf4096)
{
    auto node = Phone(true);
    PDEVICE_EXTENSION ext = ExtOf(*node);
    ASSERT_EQ(ext->PnpState, (ULONG)Started);

    // Interface 8 has bulk pipes of its own: only interface 7/1 was in the request.
    EXPECT_EQ(node->Usb()->PipeFor(0x84), nullptr);
    ASSERT_EQ(ext->InterfaceCount, 1);
    ASSERT_NE(ext->InterfaceInfo, nullptr);
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo[0];
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->InterfaceNumber, 7);
    EXPECT_EQ(info->AlternateSetting, 1);
    ASSERT_EQ(info->NumberOfPipes, 2u);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_TRUE(sim::ex::IsLiveBlock(info)) << "a block of its own, not inside the freed URB";
    for (ULONG j = 0; j < info->NumberOfPipes; j++) {
        EXPECT_EQ(info->Pipes[j].MaximumTransferSize, (ULONG)PIPE_MAX_TRANSFER_SIZE) << "pipe " << j;
    }
    EXPECT_EQ(ext->BulkInPipe, node->Usb()->PipeFor(ObexPhone::kBulkIn));
    EXPECT_EQ(ext->BulkOutPipe, node->Usb()->PipeFor(ObexPhone::kBulkOut));
    EXPECT_EQ(ext->MaxPacketSize, 64u);  // the full-speed phone's bulk-out packets
    EXPECT_TRUE(ext->ZeroLengthPacket);
    EXPECT_NE(ext->ConfigurationHandle, nullptr);
}

// Configurations a start refuses, and the status it gives.
struct Refused {
    const char *name;
    std::vector<uint8_t> (*configuration)();
    NTSTATUS status;
    int selects;  // select-configuration requests the bus saw
};

std::vector<uint8_t> AlternateZeroOnly()
{
    return ConfigurationBuilder().Interface(6, 0, 2).Interface(7, 0, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 64).Endpoint(0x03, USB_ENDPOINT_TYPE_BULK, 64).Build();
}
std::vector<uint8_t> NoInterfaceSeven()
{
    return ConfigurationBuilder().Interface(0, 0, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 64).Endpoint(0x03, USB_ENDPOINT_TYPE_BULK, 64).Build();
}
std::vector<uint8_t> OnePipe()
{
    return ConfigurationBuilder().Interface(7, 0, 10).Interface(7, 1, 10)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 64).Build();
}
std::vector<uint8_t> TotalLengthBelowHeader()
{
    std::vector<uint8_t> block = OnePipe();
    block[2] = 4;
    block[3] = 0;
    return block;
}
std::vector<uint8_t> HeaderCutShort()
{
    std::vector<uint8_t> block = ObexPhone::Descriptors().configurations.at(0);
    block.resize(6);
    return block;
}
std::vector<uint8_t> ShorterThanItClaims()
{
    std::vector<uint8_t> block = ObexPhone::Descriptors().configurations.at(0);
    block.resize(block.size() / 2);
    return block;
}

const Refused kRefused[] = {
    {"AlternateZeroOnly", AlternateZeroOnly, STATUS_UNSUCCESSFUL, 0},
    {"NoInterfaceSeven", NoInterfaceSeven, STATUS_UNSUCCESSFUL, 0},
    {"OnePipe", OnePipe, STATUS_DEVICE_DATA_ERROR, 1},
    {"TotalLengthBelowHeader", TotalLengthBelowHeader, STATUS_DEVICE_DATA_ERROR, 0},
    {"HeaderCutShort", HeaderCutShort, STATUS_DEVICE_DATA_ERROR, 0},
    {"ShorterThanItClaims", ShorterThanItClaims, STATUS_DEVICE_DATA_ERROR, 0},
};

TEST_F(ConfigureTest, RefusedConfigurationsFailTheStartAndHoldNothing)
{
    for (const Refused &row : kRefused) {
        SCOPED_TRACE(row.name);
        auto node = PhoneWith(row.configuration());
        size_t pool = sim::ex::OutstandingCount();
        EXPECT_EQ(pnp_->Start(*node), row.status);
        ExpectNothingHeld(*node);
        EXPECT_EQ(sim::ex::OutstandingCount(), pool);
        EXPECT_EQ(node->Usb()->Count().selects, row.selects);
        EXPECT_EQ(pnp_->RemoveDevice(*node), STATUS_SUCCESS);
    }
}

TEST_F(ConfigureTest, AFailedDeviceDescriptorRequestEndsTheStartBeforeAnythingIsSet)
{
    auto node = Phone(false);
    node->Usb()->Unplug();
    size_t pool = sim::ex::OutstandingCount();
    EXPECT_EQ(pnp_->Start(*node), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ExtOf(*node)->ZeroLengthPacket);
    ExpectNothingHeld(*node);
    EXPECT_EQ(sim::ex::OutstandingCount(), pool);
    EXPECT_EQ(node->Usb()->Count().descriptors, 1);
}

TEST_F(ConfigureTest, AConfigurationRunAgainReleasesTheEarlierCopies)
{
    // The first start configures, then fails at the port names: still NeverStarted.
    auto node = Phone(false, std::nullopt);
    EXPECT_EQ(pnp_->Start(*node), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_EXTENSION ext = ExtOf(*node);
    ASSERT_EQ(ext->PnpState, (ULONG)NeverStarted);
    ASSERT_NE(ext->InterfaceInfo, nullptr);
    const void *first = ext->InterfaceInfo;
    size_t pool = sim::ex::OutstandingCount();

    sim::cm::SetDeviceString(node->Pdo(), u"PortName", u"COM5");
    EXPECT_EQ(pnp_->Start(*node), STATUS_SUCCESS);
    EXPECT_FALSE(sim::ex::IsLiveBlock(first));
    // The new copies replace the old ones; the names add the link string.
    EXPECT_EQ(sim::ex::OutstandingCount(), pool + 1);
}

// Among the failure points: the copy of the interface information, whose absence
// the start must refuse rather than take pipes from nothing.
TEST_F(ConfigureTest, EveryFailurePointOfTheFirstStartUnwindsCompletely)
{
    int failures = 0;
    for (int n = 1;; n++) {
        auto node = Phone(false);
        size_t pool = sim::ex::OutstandingCount();
        sim::lowres::FailNthOfAny(n);
        NTSTATUS status = pnp_->Start(*node);
        bool injected = sim::lowres::Injected() > 0;
        sim::lowres::Reset();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)Started);
            EXPECT_EQ(pnp_->Remove(*node), STATUS_SUCCESS);
            break;
        }
        SCOPED_TRACE(n);
        EXPECT_FALSE(NT_SUCCESS(status));
        ExpectNothingHeld(*node, true);
        EXPECT_EQ(sim::ex::OutstandingCount(), pool + ConfigurationBlocks(ExtOf(*node)));
        EXPECT_EQ(pnp_->RemoveDevice(*node), STATUS_SUCCESS);
        failures++;
        ASSERT_LT(n, 200);
    }
    EXPECT_GE(failures, 14) << "the sweep reached every allocation, request and name";
}

}  // namespace
}  // namespace pnptest

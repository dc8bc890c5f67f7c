// Port names: the link, the SERIALCOMM value and the interface a start makes from
// "PortName", names at the edge of the buffer, and the link deleted by the name read
// again when the recorded one is gone.
#include "tests/pnp/pnp_fixture.h"

#include <algorithm>
#include <cstring>

namespace pnptest {
namespace {

using PortNamesTest = PnpTest;

std::u16string Text(const std::vector<uint8_t> &bytes)
{
    std::u16string text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

// "PortName" data of a given size: the name's characters (repeated 'A' after "COM")
// and optionally a NUL character, cut to `bytes`.
std::vector<uint8_t> NameData(size_t bytes)
{
    std::u16string text = u"COM";
    while (text.size() * 2 < bytes + 2) {
        text += u'A';
    }
    std::vector<uint8_t> data(bytes);
    std::memcpy(data.data(), text.data(), bytes);
    return data;
}

struct Length {
    const char *name;
    std::vector<uint8_t> data;
    NTSTATUS status;
    size_t characters;  // of the name, when the start succeeds
};

// Each name a start takes gives an unprotected link, the name and two NULs as a REG_SZ
// under SERIALCOMM, and an enabled interface.
TEST_F(PortNamesTest, NamesUpToTheBufferAreTakenWholeAndLongerOnesRefused)
{
    std::vector<uint8_t> sixtyThreeAndNul = NameData(126);
    sixtyThreeAndNul.push_back(0);
    sixtyThreeAndNul.push_back(0);
    const char16_t com5[] = u"COM5";
    const Length rows[] = {
        {"COM5", std::vector<uint8_t>((const uint8_t *)com5, (const uint8_t *)com5 + sizeof com5), STATUS_SUCCESS, 4},
        // 63 characters and the first byte of a 64th: the buffer's zero completes it.
        {"127 bytes", NameData(127), STATUS_SUCCESS, 64},
        {"63 characters and the NUL", sixtyThreeAndNul, STATUS_SUCCESS, 63},
        {"64 characters without a NUL", NameData(128), STATUS_SUCCESS, 64},
        {"130 bytes, inside the record", NameData(130), STATUS_INSUFFICIENT_RESOURCES, 0},
        {"200 bytes, beyond the record", NameData(200), STATUS_BUFFER_OVERFLOW, 0},
    };
    for (const Length &row : rows) {
        SCOPED_TRACE(row.name);
        auto node = Phone(false, std::nullopt);
        sim::cm::SetDeviceValue(node->Pdo(), u"PortName", REG_SZ, row.data.data(), row.data.size());
        EXPECT_EQ(pnp_->Start(*node), row.status);
        if (row.status == STATUS_SUCCESS) {
            // The name as the driver sees it: the value's bytes up to `characters`, a last
            // odd byte completed by the buffer's zero.
            std::vector<uint8_t> bytes(row.data.begin(),
                                       row.data.begin() + std::min(row.data.size(), row.characters * 2));
            if (bytes.size() % 2 != 0) {
                bytes.push_back(0);
            }
            const std::u16string link = u"\\DosDevices\\" + Text(bytes);
            EXPECT_EQ(sim::ob::LinkTarget(link), DeviceNameOf(*node));
            EXPECT_TRUE(sim::ob::IsUnprotectedLink(link));
            EXPECT_EQ(sim::ob::Resolve(link), node->Top());
            EXPECT_TRUE(Enabled(InterfaceOf(*node)));
            auto value = SerialComm(DeviceNameOf(*node));
            ASSERT_TRUE(value.has_value());
            EXPECT_EQ(value->type, (ULONG)REG_SZ);
            // The name and exactly two zero characters: nothing from beyond the name.
            EXPECT_EQ(Text(value->data), Text(bytes) + std::u16string(2, u'\0'));
            EXPECT_EQ(pnp_->Remove(*node), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(ExtOf(*node)->PnpState, (ULONG)NeverStarted);
            EXPECT_TRUE(sim::ob::Links().empty());
            EXPECT_TRUE(sim::cm::Values(sim::cm::kSerialComm).empty());
            EXPECT_EQ(pnp_->RemoveDevice(*node), STATUS_SUCCESS);
        }
    }
}

TEST_F(PortNamesTest, AMissingLinkIsDeletedByTheNameReadAgain)
{
    auto node = Phone(true);
    // Someone renamed the port behind the driver's back: the recorded link is gone and
    // the hardware key names the new one.
    ASSERT_EQ(sim::ob::RemoveLink(u"\\DosDevices\\COM5"), STATUS_SUCCESS);
    sim::cm::SetDeviceString(node->Pdo(), u"PortName", u"COM7");
    ASSERT_EQ(sim::ob::InsertLink(u"\\DosDevices\\COM7", DeviceNameOf(*node), true), STATUS_SUCCESS);

    EXPECT_EQ(pnp_->QueryStop(*node), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->Stop(*node), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::Links().empty());
    EXPECT_EQ(ExtOf(*node)->SymbolicLinkName.Buffer, nullptr);
    EXPECT_FALSE(SerialComm(DeviceNameOf(*node)).has_value());

    // A link gone under both names still has its string released; one of the name read
    // again that names another device stays with it.
    EXPECT_EQ(pnp_->Start(*node), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::RemoveLink(u"\\DosDevices\\COM7"), STATUS_SUCCESS);
    ASSERT_EQ(sim::ob::InsertLink(u"\\DosDevices\\COM1", u"\\Device\\Serial0", false), STATUS_SUCCESS);
    sim::cm::SetDeviceString(node->Pdo(), u"PortName", u"COM1");
    EXPECT_EQ(pnp_->Remove(*node), STATUS_SUCCESS);
    EXPECT_EQ(sim::ob::Links(), std::vector<std::u16string>{u"\\DosDevices\\COM1"});
}

// A second phone with the same PortName, or a name a system port holds, fails its start
// and leaves the link where it is.
TEST_F(PortNamesTest, ANameTakenByAnotherStaysWithItsOwner)
{
    auto first = Phone(true);
    ASSERT_EQ(sim::ob::InsertLink(u"\\DosDevices\\COM1", u"\\Device\\Serial0", false), STATUS_SUCCESS);
    for (const char16_t *name : {u"COM5", u"COM1"}) {
        auto second = Phone(false, name);
        EXPECT_EQ(pnp_->Start(*second), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), DeviceNameOf(*first));
        EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM1"), u"\\Device\\Serial0");
        EXPECT_EQ(pnp_->Remove(*second), STATUS_SUCCESS);
    }
    EXPECT_TRUE(SerialComm(DeviceNameOf(*first)).has_value());
}

}  // namespace
}  // namespace pnptest

// The USB driver library routines: finding interfaces and descriptors in well-formed
// and malformed configuration descriptors (each block held in memory of exactly
// wTotalLength bytes, so that a read past it is caught under ASan), and the
// select-configuration request built for an interface list, as the bus accepts it.
#include "sim/io/io.h"
#include "sim/lowres.h"
#include "sim/usb/device.h"
#include "tests/support/platform_test.h"

#include <cstring>
#include <memory>

namespace {

using sim::usb::ConfigurationBuilder;
using sim::usb::ObexPhone;

// A configuration block copied into a heap block of exactly its wTotalLength bytes.
struct Block {
    explicit Block(const std::vector<uint8_t> &bytes) : size(bytes.size()), data(new uint8_t[bytes.size()])
    {
        memcpy(data.get(), bytes.data(), size);
    }
    PUSB_CONFIGURATION_DESCRIPTOR Config() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get());
    }
    uint8_t *At(size_t offset) const { return data.get() + offset; }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

size_t OffsetOf(const Block &block, const void *p)
{
    return static_cast<size_t>(static_cast<const uint8_t *>(p) - block.data.get());
}

PUSB_INTERFACE_DESCRIPTOR Find(const Block &block, LONG number, LONG alternate, LONG cls = -1, LONG sub = -1,
                               LONG protocol = -1, const void *start = nullptr)
{
    return USBD_ParseConfigurationDescriptorEx(block.Config(), const_cast<void *>(start ? start : block.At(0)),
                                               number, alternate, cls, sub, protocol);
}

// Interfaces 0/0 (class 2, one interrupt endpoint), 1/0 (no endpoints), 1/1 (class 10,
// two bulk endpoints) with a class-specific descriptor before 1/1's endpoints.
std::vector<uint8_t> Small()
{
    return ConfigurationBuilder()
        .Interface(0, 0, 0x02, 0x02, 0x01)
        .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 10)
        .Interface(1, 0, 0x0A)
        .Interface(1, 1, 0x0A)
        .Raw({5, 0x24, 0x00, 0x10, 0x01})
        .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
        .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
        .Build();
}

class UsbdTest : public bench::PlatformTest {};

TEST_F(UsbdTest, ParseFindsTheFirstMatchAtOrAfterTheStartWithMinusOneMatchingAny)
{
    const Block phone(ObexPhone::Descriptors().configurations[0]);
    PUSB_INTERFACE_DESCRIPTOR obex = Find(phone, 7, 1);
    ASSERT_NE(obex, nullptr);
    EXPECT_EQ(obex->bInterfaceNumber, 7);
    EXPECT_EQ(obex->bAlternateSetting, 1);
    EXPECT_EQ(obex->bNumEndpoints, 2);

    PUSB_INTERFACE_DESCRIPTOR any7 = Find(phone, 7, -1);
    ASSERT_NE(any7, nullptr);
    EXPECT_EQ(any7->bAlternateSetting, 0);
    EXPECT_LT(OffsetOf(phone, any7), OffsetOf(phone, obex));
    // Starting at a match finds it again; starting just past it finds the next one.
    EXPECT_EQ(Find(phone, 7, -1, -1, -1, -1, any7), any7);
    EXPECT_EQ(Find(phone, 7, -1, -1, -1, -1, phone.At(OffsetOf(phone, any7) + any7->bLength)), obex);
    EXPECT_EQ(Find(phone, 7, 0, -1, -1, -1, obex), nullptr);

    const Block small(Small());
    EXPECT_EQ(Find(small, -1, -1, 0x0A)->bInterfaceNumber, 1);
    EXPECT_EQ(Find(small, -1, -1, 0x02, 0x02, 0x01)->bInterfaceNumber, 0);
    EXPECT_EQ(Find(small, -1, -1, 0x02, 0x02, 0x02), nullptr);
    EXPECT_EQ(Find(small, 2, -1), nullptr);

    auto *endpoint = USBD_ParseDescriptors(small.Config(), (ULONG)small.size, small.At(0), USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoint)->bEndpointAddress, 0x81);
    EXPECT_EQ(USBD_ParseDescriptors(small.Config(), (ULONG)small.size, small.At(0), 0x24)->bLength, 5);
    EXPECT_EQ(USBD_ParseDescriptors(small.Config(), (ULONG)small.size, small.At(small.size), 0x24), nullptr);
}

TEST_F(UsbdTest, MalformedDescriptorsEndTheWalkWithoutReadingPastWTotalLength)
{
    const std::vector<uint8_t> good = Small();
    const Block whole(good);
    const size_t at11 = OffsetOf(whole, Find(whole, 1, 1));

    // A zero bLength before interface 1/1 ends the walk there (no endless loop).
    std::vector<uint8_t> bytes = good;
    bytes[at11 - 9] = 0;   // the endpoint-less 1/0 interface descriptor's length
    EXPECT_EQ(Find(Block(bytes), 1, 1), nullptr);
    EXPECT_NE(Find(Block(bytes), 0, 0), nullptr);

    // wTotalLength that ends inside interface 1/1, in memory cut to that length.
    bytes = good;
    bytes.resize(at11 + 5);
    bytes[2] = (uint8_t)bytes.size();
    bytes[3] = 0;
    EXPECT_EQ(Find(Block(bytes), 1, 1), nullptr);

    // A descriptor whose bLength runs past the end is not returned, nor is anything
    // after it looked at.
    bytes = good;
    bytes.resize(at11 + 9);
    bytes[2] = (uint8_t)bytes.size();
    bytes[at11] = 60;
    EXPECT_EQ(Find(Block(bytes), 1, 1), nullptr);

    // An interface descriptor too short for its fields matches nothing; the walk
    // goes on past it.
    bytes = good;
    bytes[at11] = 4;
    bytes.insert(bytes.begin() + at11 + 4, {5, 4, 1, 1, 0});  // ends the short one with filler
    bytes[2] = (uint8_t)bytes.size();
    EXPECT_EQ(Find(Block(bytes), 1, 1), nullptr);

    // A header that claims less than itself.
    bytes = good;
    bytes[2] = 8;
    bytes.resize(8);
    EXPECT_EQ(Find(Block(bytes), -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(nullptr, 0, nullptr, -1), nullptr);
}

TEST_F(UsbdTest, TheSelectRequestHoldsOneRecordPerListEntryAndTheBusAcceptsIt)
{
    sim::usb::Device phone(ObexPhone::Descriptors(), u"USB\\VID_FEED&PID_0B3C&MI_07\\1");
    const Block block(ObexPhone::Descriptors().configurations[0]);
    // Interfaces with two, none, one and two endpoints, as one list.
    USBD_INTERFACE_LIST_ENTRY list[5] = {{Find(block, 7, 1), nullptr},
                                         {Find(block, 2, 0), nullptr},
                                         {Find(block, 0, 0), nullptr},
                                         {Find(block, 8, 0), nullptr},
                                         {nullptr, nullptr}};
    const ULONG pipes[4] = {2, 0, 1, 2};
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(list[i].InterfaceDescriptor->bNumEndpoints, pipes[i]) << i;
    }
    block.Config()->bNumInterfaces = 4;

    PURB urb = USBD_CreateConfigurationRequestEx(block.Config(), list);
    ASSERT_NE(urb, nullptr);
    auto &select = urb->UrbSelectConfiguration;
    const size_t expected = offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(2) +
                            GET_USBD_INTERFACE_SIZE(0) + GET_USBD_INTERFACE_SIZE(1) +
                            GET_USBD_INTERFACE_SIZE(2);
    EXPECT_EQ(select.Hdr.Length, expected);
    EXPECT_EQ(select.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(select.ConfigurationDescriptor, block.Config());
    EXPECT_EQ(list[0].Interface, &select.Interface);
    size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (int i = 0; i < 4; i++) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        EXPECT_EQ(reinterpret_cast<uint8_t *>(info), reinterpret_cast<uint8_t *>(urb) + offset) << i;
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes[i])) << i;
        EXPECT_EQ(info->InterfaceNumber, list[i].InterfaceDescriptor->bInterfaceNumber) << i;
        EXPECT_EQ(info->AlternateSetting, list[i].InterfaceDescriptor->bAlternateSetting) << i;
        EXPECT_EQ(info->NumberOfPipes, pipes[i]) << i;
        for (ULONG j = 0; j < info->NumberOfPipes; j++) {
            EXPECT_EQ(info->Pipes[j].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
            EXPECT_EQ(info->Pipes[j].PipeHandle, nullptr);
        }
        offset += info->Length;
    }

    EXPECT_EQ(sim::io::Call(phone.Pdo(), bench::SubmitUrb(urb)).Status, STATUS_SUCCESS);
    EXPECT_EQ(list[0].Interface->Pipes[0].PipeHandle, phone.PipeFor(ObexPhone::kBulkIn));
    EXPECT_EQ(list[0].Interface->Pipes[1].PipeHandle, phone.PipeFor(ObexPhone::kBulkOut));
    ExFreePool(urb);
}

TEST_F(UsbdTest, NoRequestWithoutPoolOrForADescriptorOutsideTheConfiguration)
{
    const Block block(Small());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Find(block, 1, 1), nullptr}, {nullptr, nullptr}};
    sim::lowres::FailNth("ExAllocatePool", 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.Config(), list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);

    // The same interface descriptor copied elsewhere is not part of this configuration.
    USB_INTERFACE_DESCRIPTOR stray = *list[0].InterfaceDescriptor;
    list[0].InterfaceDescriptor = &stray;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.Config(), list), nullptr);
    list[0].InterfaceDescriptor = nullptr;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(block.Config(), list), nullptr);
}

}  // namespace

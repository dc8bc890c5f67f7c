// The bus's control requests: descriptors read whole and in part, select-configuration
// with its handles and sizes, deconfiguration, and the URB functions it does not serve.
#include "tests/usb/bus_test.h"

#include "sim/cm/cm.h"

namespace bustest {
namespace {

using BusControl = BusTest;

TEST_F(BusControl, DescriptorsComeWholeOrAsFarAsAsked)
{
    URB urb;
    uint8_t buffer[512];
    memset(buffer, 0xEE, sizeof(buffer));
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 64, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    const auto *device = reinterpret_cast<USB_DEVICE_DESCRIPTOR *>(buffer);
    EXPECT_EQ(device->idVendor, ObexPhone::kVendorId);
    EXPECT_EQ(device->bNumConfigurations, 1);
    EXPECT_EQ(buffer[18], 0xEE);

    memset(buffer, 0xEE, sizeof(buffer));
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 8, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[8], 0xEE);

    // The configuration's header first, then wTotalLength bytes of it.
    ASSERT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer, 9, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    const USHORT total = (USHORT)(buffer[2] | buffer[3] << 8);
    EXPECT_EQ(total, phone_->Descriptors().configurations[0].size());
    EXPECT_EQ(buffer[4], ObexPhone::kInterfaceCount);
    std::vector<uint8_t> whole(total + 100, 0xEE);
    ASSERT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, whole.data(), (ULONG)whole.size(), &urb),
              STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, total);
    whole.resize(total);
    EXPECT_EQ(whole, phone_->Descriptors().configurations[0]);
    EXPECT_EQ(phone_->Count().descriptors, 4);
}

TEST_F(BusControl, DescriptorsTheDeviceLacksAreStalled)
{
    URB urb;
    uint8_t buffer[64];
    EXPECT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, buffer, 9, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, buffer, 64, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
}

// Interface 7 at alternate setting 1: bulk in, then bulk out, of 512 bytes at high
// speed (64 at full speed: BusTransfer's loopback counts its packets).
TEST_F(BusControl, SelectingInterfaceSevenOpensItsTwoPipes)
{
    Plug(Speed::High);
    auto select = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    EXPECT_EQ(select->Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(select->Urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    USBD_INTERFACE_INFORMATION *info = select->Interface(0);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    EXPECT_EQ(info->Class, USB_DEVICE_CLASS_CDC_DATA);
    ASSERT_EQ(info->NumberOfPipes, 2u);
    const UCHAR addresses[] = {kIn, kOut};
    for (int j = 0; j < 2; j++) {
        const USBD_PIPE_INFORMATION &pipe = info->Pipes[j];
        EXPECT_EQ(pipe.EndpointAddress, addresses[j]);
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 512);
        EXPECT_EQ(pipe.MaximumTransferSize, 4096u);
        EXPECT_EQ(pipe.PipeHandle, phone_->PipeFor(addresses[j]));
    }
    EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
    EXPECT_EQ(phone_->Configuration(), 1);

    // The limit the caller set is enforced.
    EXPECT_TRUE(Failed(Read(info->Pipes[0].PipeHandle, 4097), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
}

TEST_F(BusControl, SeveralInterfacesEachGetTheirOwnRecords)
{
    auto select = BuildSelect({{0, 0}, {1, 0}, {2, 0}, {ObexPhone::kInterface, 0}, {8, 0}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    const ULONG pipes[] = {1, 2, 0, 0, 2};
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(select->Interface(i)->NumberOfPipes, pipes[i]) << "interface record " << i;
    }
    EXPECT_EQ(select->Interface(0)->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(select->Interface(4)->Pipes[1].EndpointAddress, 0x04);
    // Interface 7 at alternate setting 0 has no pipes.
    EXPECT_EQ(phone_->PipeFor(kIn), nullptr);
}

TEST_F(BusControl, AnInterfaceTheConfigurationLacksAndOtherFunctionsAreRefused)
{
    auto select = BuildSelect({{ObexPhone::kInterface, 2}});
    EXPECT_EQ(Call(select->Urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->Urb()->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(phone_->Configuration(), 0);
    EXPECT_EQ(phone_->Count().selects, 0);

    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    EXPECT_EQ(Call(&urb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(BusControl, DeconfiguringClosesThePipesAndEndsTheirTransfers)
{
    USBD_PIPE_HANDLE in, out;
    SelectObex(&in, &out);
    auto pending = Read(in, 64);
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
    EXPECT_EQ(phone_->Configuration(), 0);
    EXPECT_TRUE(Failed(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    EXPECT_TRUE(Failed(Write(out, Bytes(4)), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
}

TEST_F(BusControl, ThePdoIsADeviceNodeOfTheUsbBus)
{
    EXPECT_EQ(Device::From(phone_->Pdo()), phone_.get());
    EXPECT_EQ(sim::cm::InstanceId(phone_->Pdo()), u"USB\\VID_FEED&PID_0B3C&MI_07\\6&1a2b3c4d&0&0007");
    EXPECT_FALSE(sim::cm::HardwareKeyPath(phone_->Pdo()).empty());
}

}  // namespace
}  // namespace bustest

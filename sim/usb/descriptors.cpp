// Descriptor blocks laid out as chapter 9 of the USB 2.0 standard lays them out
// (little-endian, packed), and the OBEX phone's set. Plain data, any thread.
#include "sim/usb/descriptors.h"

#include <set>

namespace sim::usb {
namespace {

constexpr UCHAR kClassCommunications = 0x02;
constexpr UCHAR kClassData = 0x0A;
constexpr UCHAR kClassVendor = 0xFF;
constexpr UCHAR kSubClassAcm = 0x02;
constexpr UCHAR kSubClassObex = 0x0B;
constexpr UCHAR kClassSpecificInterface = 0x24;

void PutU16(std::vector<uint8_t> &bytes, size_t at, USHORT value)
{
    bytes[at] = static_cast<uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

USHORT BulkPacketSize(Speed speed)
{
    return speed == Speed::High ? 512 : 64;
}

uint64_t BulkBytesPerSecond(Speed speed)
{
    return speed == Speed::High ? 13ull * 512 * 8000 : 19ull * 64 * 1000;
}

ConfigurationBuilder::ConfigurationBuilder(UCHAR configurationValue, UCHAR attributes,
                                           UCHAR maxPower)
    : configurationValue_(configurationValue), attributes_(attributes), maxPower_(maxPower)
{
}

ConfigurationBuilder &ConfigurationBuilder::Interface(UCHAR number, UCHAR alternate,
                                                      UCHAR interfaceClass, UCHAR subClass,
                                                      UCHAR protocol)
{
    descriptors_.push_back({sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, number,
                            alternate, 0, interfaceClass, subClass, protocol, 0});
    return *this;
}

ConfigurationBuilder &ConfigurationBuilder::Endpoint(UCHAR address, UCHAR type,
                                                     USHORT maxPacketSize, UCHAR interval)
{
    std::vector<uint8_t> d{sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address,
                           static_cast<uint8_t>(type & USB_ENDPOINT_TYPE_MASK), 0, 0, interval};
    PutU16(d, 4, maxPacketSize);
    descriptors_.push_back(std::move(d));
    return *this;
}

ConfigurationBuilder &ConfigurationBuilder::Raw(std::vector<uint8_t> descriptor)
{
    descriptors_.push_back(std::move(descriptor));
    return *this;
}

std::vector<uint8_t> ConfigurationBuilder::Build() const
{
    std::vector<uint8_t> block(sizeof(USB_CONFIGURATION_DESCRIPTOR), 0);
    block[0] = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    block[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    block[5] = configurationValue_;
    block[7] = attributes_;
    block[8] = maxPower_;
    std::set<UCHAR> interfaces;
    size_t lastInterface = 0;  // offset of the interface descriptor being counted
    for (const auto &d : descriptors_) {
        const size_t at = block.size();
        block.insert(block.end(), d.begin(), d.end());
        if (d.size() >= 2 && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            interfaces.insert(d[2]);
            lastInterface = at;
        } else if (d.size() >= 2 && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && lastInterface != 0) {
            block[lastInterface + 4]++;
        }
    }
    PutU16(block, 2, static_cast<USHORT>(block.size()));
    block[4] = static_cast<uint8_t>(interfaces.size());
    return block;
}

DescriptorSet MakeDescriptorSet(USHORT vendorId, USHORT productId, Speed speed,
                                std::vector<std::vector<uint8_t>> configurations)
{
    DescriptorSet set;
    USB_DEVICE_DESCRIPTOR &d = set.device;
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = USB_DEVICE_CLASS_RESERVED;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendorId;
    d.idProduct = productId;
    d.bcdDevice = 0x0100;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.bNumConfigurations = static_cast<UCHAR>(configurations.size());
    set.configurations = std::move(configurations);
    set.speed = speed;
    return set;
}

std::vector<InterfaceInfo> ParseInterfaces(const std::vector<uint8_t> &configuration)
{
    std::vector<InterfaceInfo> interfaces;
    size_t at = 0;
    while (at + 2 <= configuration.size()) {
        const UCHAR length = configuration[at];
        const UCHAR type = configuration[at + 1];
        if (length < 2 || at + length > configuration.size()) {
            break;
        }
        const uint8_t *d = configuration.data() + at;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            interfaces.push_back(InterfaceInfo{d[2], d[3], d[5], d[6], d[7], {}});
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                   !interfaces.empty()) {
            interfaces.back().endpoints.push_back(EndpointInfo{
                d[2], static_cast<UCHAR>(d[3] & USB_ENDPOINT_TYPE_MASK),
                static_cast<USHORT>(d[4] | (d[5] << 8)), d[6]});
        }
        at += length;
    }
    return interfaces;
}

DescriptorSet ObexPhone::Descriptors(Speed speed)
{
    const USHORT bulk = BulkPacketSize(speed);
    ConfigurationBuilder config(1, USB_CONFIG_BUS_POWERED, 250);
    config.Interface(0, 0, kClassCommunications, kSubClassAcm, 1)
        .Raw({5, kClassSpecificInterface, 0x00, 0x10, 0x01})   // header, CDC 1.10
        .Raw({5, kClassSpecificInterface, 0x06, 0, 1})         // union: 0 controls 1
        .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, speed == Speed::High ? 9 : 32)
        .Interface(1, 0, kClassData)
        .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, bulk)
        .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, bulk);
    for (UCHAR number = 2; number <= 5; number++) {
        config.Interface(number, 0, kClassVendor, number, 0);
    }
    config.Interface(6, 0, kClassCommunications, kSubClassObex)
        .Raw({5, kClassSpecificInterface, 0x00, 0x10, 0x01})   // header, CDC 1.10
        .Raw({5, kClassSpecificInterface, 0x15, 0x00, 0x01})   // OBEX functional, version 1.00
        .Raw({5, kClassSpecificInterface, 0x06, 6, 7})         // union: 6 controls 7
        .Interface(kInterface, 0, kClassData)
        .Interface(kInterface, kAlternate, kClassData)
        .Endpoint(kBulkIn, USB_ENDPOINT_TYPE_BULK, bulk)
        .Endpoint(kBulkOut, USB_ENDPOINT_TYPE_BULK, bulk)
        .Interface(8, 0, kClassVendor, 0x42, 1)
        .Endpoint(0x84, USB_ENDPOINT_TYPE_BULK, bulk)
        .Endpoint(0x04, USB_ENDPOINT_TYPE_BULK, bulk);
    return MakeDescriptorSet(kVendorId, kProductId, speed, {config.Build()});
}

}  // namespace sim::usb

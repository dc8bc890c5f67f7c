// Descriptor sets of simulated USB functions: the device descriptor and the
// configuration descriptors (each with its interfaces, alternate settings, endpoints and
// any class-specific descriptors, as one block of wTotalLength bytes), built from a
// short description, and the set of the OBEX phone that the driver serves.
//
// Plain data, built by tests and phone models before a device is plugged in; no
// platform state, any thread.
#pragma once

#include "kernel/kernel.h"

#include <cstdint>
#include <vector>

namespace sim::usb {

enum class Speed { Full, High };

// The largest bulk packet at a speed: 64 bytes at full speed, 512 at high speed.
USHORT BulkPacketSize(Speed speed);
// Bulk bandwidth of an otherwise idle bus: 19 packets of 64 bytes per 1 ms frame at
// full speed (1,216,000 B/s), 13 packets of 512 bytes per 125 us microframe at high
// speed (53,248,000 B/s).
uint64_t BulkBytesPerSecond(Speed speed);

// Builds one configuration descriptor block. Descriptors are emitted in call order;
// Build() fills in wTotalLength, bNumInterfaces (distinct interface numbers) and each
// interface descriptor's bNumEndpoints (the endpoints that follow it).
class ConfigurationBuilder {
public:
    explicit ConfigurationBuilder(UCHAR configurationValue = 1,
                                  UCHAR attributes = USB_CONFIG_BUS_POWERED, UCHAR maxPower = 50);
    ConfigurationBuilder &Interface(UCHAR number, UCHAR alternate, UCHAR interfaceClass,
                                    UCHAR subClass = 0, UCHAR protocol = 0);
    // An endpoint of the interface declared last; `type` is USB_ENDPOINT_TYPE_*.
    ConfigurationBuilder &Endpoint(UCHAR address, UCHAR type, USHORT maxPacketSize,
                                   UCHAR interval = 0);
    // Any other descriptor (a class-specific one, for example), copied as given; its
    // first byte must be its length.
    ConfigurationBuilder &Raw(std::vector<uint8_t> descriptor);
    std::vector<uint8_t> Build() const;

private:
    UCHAR configurationValue_;
    UCHAR attributes_;
    UCHAR maxPower_;
    std::vector<std::vector<uint8_t>> descriptors_;
};

struct DescriptorSet {
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<std::vector<uint8_t>> configurations;  // index = configuration index
    Speed speed = Speed::Full;
};

// A device descriptor for `configurations` (bNumConfigurations set from it), USB 2.0,
// class defined per interface, control packets of 64 bytes.
DescriptorSet MakeDescriptorSet(USHORT vendorId, USHORT productId, Speed speed,
                                std::vector<std::vector<uint8_t>> configurations);

// ---- parsing (for the bus and for tests)
struct EndpointInfo {
    UCHAR address;
    UCHAR type;             // USB_ENDPOINT_TYPE_*
    USHORT maxPacketSize;
    UCHAR interval;
};
struct InterfaceInfo {
    UCHAR number;
    UCHAR alternate;
    UCHAR interfaceClass;
    UCHAR subClass;
    UCHAR protocol;
    std::vector<EndpointInfo> endpoints;
};
// Every interface descriptor (each alternate setting separately) of a configuration
// block with the endpoints that follow it; other descriptors are skipped. A block that
// is cut short or holds a zero-length descriptor ends the walk there.
std::vector<InterfaceInfo> ParseInterfaces(const std::vector<uint8_t> &configuration);

// ---- the OBEX phone
// Several interfaces as a phone presents them: a modem (CDC communication interface 0
// with an interrupt endpoint, data interface 1 with two bulk endpoints), vendor
// interfaces 2 to 5 without endpoints, the OBEX communication interface 6 with its
// class-specific descriptors, the OBEX data interface 7 (alternate setting 0 without
// endpoints, alternate setting 1 with the bulk-in endpoint first and the bulk-out
// endpoint second), and a vendor interface 8 with two bulk endpoints of its own.
struct ObexPhone {
    static constexpr UCHAR kInterface = 7;
    static constexpr UCHAR kAlternate = 1;
    static constexpr UCHAR kBulkIn = 0x83;
    static constexpr UCHAR kBulkOut = 0x03;
    static constexpr UCHAR kInterfaceCount = 9;
    static constexpr USHORT kVendorId = 0xFEED;
    static constexpr USHORT kProductId = 0x0B3C;

    static DescriptorSet Descriptors(Speed speed = Speed::Full);
};

}  // namespace sim::usb

// The USB driver library routines a client driver calls to find its interface in a
// configuration descriptor and to build the select-configuration request for it.
//
// Context: any IRQL up to DISPATCH_LEVEL (the select URB comes from nonpaged pool).
// A configuration descriptor comes from the device and is not trusted: every walk is
// bounded by its wTotalLength, stops at a descriptor of length 0 and at one that runs
// past the end, and reads no field of a descriptor shorter than its standard size.
#include "kernel/kernel.h"

#include "sim/ex/ex.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// "USBD" in memory order.
constexpr ULONG kUrbTag = 0x44425355;

// The first descriptor of `type` (-1: any) that starts at or after `start` and lies
// wholly inside [begin, end); NULL when there is none or the chain breaks first.
const uint8_t *Find(const uint8_t *begin, const uint8_t *end, const uint8_t *start, LONG type)
{
    if (start < begin || start >= end) {
        return nullptr;
    }
    for (const uint8_t *p = start; end - p >= 2;) {
        const UCHAR length = p[0];
        if (length < 2 || length > end - p) {
            return nullptr;
        }
        if (type == -1 || p[1] == static_cast<UCHAR>(type)) {
            return p;
        }
        p += length;
    }
    return nullptr;
}

// The bytes the configuration descriptor's wTotalLength vouches for, or false when its
// header is not even a configuration descriptor's.
bool Bounds(PUSB_CONFIGURATION_DESCRIPTOR configuration, const uint8_t **begin, const uint8_t **end)
{
    if (configuration == nullptr || configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return false;
    }
    *begin = reinterpret_cast<const uint8_t *>(configuration);
    *end = *begin + configuration->wTotalLength;
    return true;
}

bool Matches(LONG wanted, UCHAR actual)
{
    return wanted == -1 || static_cast<LONG>(actual) == wanted;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) noexcept
{
    if (DescriptorBuffer == nullptr) {
        return nullptr;
    }
    const auto *begin = static_cast<const uint8_t *>(DescriptorBuffer);
    const uint8_t *found = Find(begin, begin + TotalLength, static_cast<const uint8_t *>(StartPosition),
                                DescriptorType);
    return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t *>(found));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) noexcept
{
    const uint8_t *begin;
    const uint8_t *end;
    if (!Bounds(ConfigurationDescriptor, &begin, &end)) {
        return nullptr;
    }
    const uint8_t *p = static_cast<const uint8_t *>(StartPosition);
    while ((p = Find(begin, end, p, USB_INTERFACE_DESCRIPTOR_TYPE)) != nullptr) {
        // An interface descriptor too short to hold its fields matches nothing.
        if (p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            const auto *d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(p);
            if (Matches(InterfaceNumber, d->bInterfaceNumber) && Matches(AlternateSetting, d->bAlternateSetting) &&
                Matches(InterfaceClass, d->bInterfaceClass) && Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, d->bInterfaceProtocol)) {
                return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            }
        }
        p += p[0];
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) noexcept
{
    const uint8_t *begin;
    const uint8_t *end;
    if (!Bounds(ConfigurationDescriptor, &begin, &end) || InterfaceList == nullptr) {
        return nullptr;
    }
    // First pass: every listed descriptor must be an interface descriptor inside the
    // configuration; the request holds one information record per entry, each with
    // room for the pipes its descriptor declares.
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t entries = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++, entries++) {
        const auto *p = reinterpret_cast<const uint8_t *>(e->InterfaceDescriptor);
        if (p < begin || p >= end || end - p < static_cast<ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            p[0] < sizeof(USB_INTERFACE_DESCRIPTOR) || p[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            return nullptr;
        }
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    }
    if (entries == 0) {
        return nullptr;
    }
    if (size < sizeof(_URB_SELECT_CONFIGURATION)) {
        size = sizeof(_URB_SELECT_CONFIGURATION);
    }
    auto *urb = static_cast<PURB>(
        sim::ex::AllocateFor("USBD_CreateConfigurationRequestEx", size, kUrbTag, true));
    if (urb == nullptr) {
        return nullptr;
    }
    memset(urb, 0, size);
    urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    // Second pass: fill each record in and point its list entry at it.
    auto *at = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++) {
        const PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG j = 0; j < info->NumberOfPipes; j++) {
            info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        at += info->Length;
    }
    return urb;
}

}  // extern "C"

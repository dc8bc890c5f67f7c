// The object manager's routines on symbolic-link objects: a driver opens a link by name
// and reads its target, for example to make sure a link it is about to delete is its
// own. PASSIVE_LEVEL only. The handle is a kernel handle of the same table as the
// registry's (sim/cm), closed with ZwClose and checked for leaks with them.
//
// ZwOpenSymbolicLinkObject, ZwQuerySymbolicLinkObject:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-zwopensymboliclinkobject
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-zwquerysymboliclinkobject
#include "kernel/kernel.h"
#include "sim/cm/cm.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstring>

using sim::verifier::Report;
using sim::verifier::Rule;

extern "C" {

// Return: STATUS_SUCCESS with *LinkHandle open; STATUS_OBJECT_NAME_NOT_FOUND when no
// such name exists; STATUS_OBJECT_TYPE_MISMATCH when the name is a device's;
// STATUS_ACCESS_DENIED without SYMBOLIC_LINK_QUERY (or GENERIC_READ) in DesiredAccess;
// STATUS_INSUFFICIENT_RESOURCES when made to fail.
NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) noexcept
{
    sim::rtl::RequirePassive("ZwOpenSymbolicLinkObject");
    if (LinkHandle == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) || ObjectAttributes->RootDirectory != nullptr ||
        !sim::rtl::CheckCounted(ObjectAttributes->ObjectName, "ZwOpenSymbolicLinkObject", "ObjectName")) {
        Report(Rule::InvalidParameter,
               "ZwOpenSymbolicLinkObject: needs a handle to fill and attributes made by "
               "InitializeObjectAttributes with an absolute name");
        return STATUS_INVALID_PARAMETER;
    }
    if ((DesiredAccess & (SYMBOLIC_LINK_QUERY | GENERIC_READ)) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (sim::lowres::ShouldFail("ZwOpenSymbolicLinkObject")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::u16string name = sim::rtl::FromCounted(ObjectAttributes->ObjectName);
    const std::u16string target = sim::ob::LinkTarget(name);
    if (target.empty()) {
        bool device = false;
        for (const std::u16string &entered : sim::ob::DeviceNames()) {
            device = device || sim::rtl::Upper(sim::ob::Canonical(entered)) == sim::rtl::Upper(sim::ob::Canonical(name));
        }
        return device ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *LinkHandle = sim::cm::NewLinkHandle(name, target, "ZwOpenSymbolicLinkObject");
    return STATUS_SUCCESS;
}

// Copies the target into LinkTarget's buffer (not NUL-terminated) and sets its Length.
// Return: STATUS_SUCCESS; STATUS_BUFFER_TOO_SMALL when MaximumLength cannot hold it
// (*ReturnedLength, when given, says how many bytes it needs); STATUS_INVALID_HANDLE
// (and a report) for a handle that is not an open link handle.
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength) noexcept
{
    sim::rtl::RequirePassive("ZwQuerySymbolicLinkObject");
    const auto target = sim::cm::LinkHandleTarget(LinkHandle);
    if (!target) {
        Report(Rule::InvalidParameter, "ZwQuerySymbolicLinkObject: %p is not an open symbolic-link handle",
               LinkHandle);
        return STATUS_INVALID_HANDLE;
    }
    if (LinkTarget == nullptr || (LinkTarget->Buffer == nullptr && LinkTarget->MaximumLength != 0)) {
        Report(Rule::InvalidParameter, "ZwQuerySymbolicLinkObject: LinkTarget needs its Buffer and MaximumLength");
        return STATUS_INVALID_PARAMETER;
    }
    const auto bytes = static_cast<ULONG>(target->size() * sizeof(char16_t));
    if (ReturnedLength != nullptr) {
        *ReturnedLength = bytes;
    }
    if (LinkTarget->MaximumLength < bytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(LinkTarget->Buffer, target->data(), bytes);
    LinkTarget->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

}  // extern "C"

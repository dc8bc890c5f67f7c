// The I/O manager's symbolic-link routines over the host object namespace (sim/ob).
// PASSIVE_LEVEL only, in any system thread. Both creation routines are fallible
// under the low-resources simulation as "IoCreateSymbolicLink". Not modelled: the
// security difference between protected and unprotected links (recorded only, so a
// test can see which one the driver made).
#include "kernel/kernel.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/rtl/rtl.h"

namespace {

NTSTATUS CreateLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, bool unprotected,
                    const char *routine)
{
    sim::rtl::RequirePassive(routine);
    if (!sim::rtl::CheckCounted(SymbolicLinkName, routine, "SymbolicLinkName") ||
        !sim::rtl::CheckCounted(DeviceName, routine, "DeviceName")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim::lowres::ShouldFail("IoCreateSymbolicLink")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return sim::ob::InsertLink(sim::rtl::FromCounted(SymbolicLinkName), sim::rtl::FromCounted(DeviceName),
                               unprotected);
}

}  // namespace

extern "C" {

// Links SymbolicLinkName to DeviceName (which need not exist yet).
// Return: STATUS_SUCCESS; STATUS_OBJECT_NAME_COLLISION when the link name is taken by a
// link or a device; STATUS_OBJECT_NAME_INVALID or STATUS_OBJECT_PATH_NOT_FOUND for a
// name that cannot be entered; STATUS_INSUFFICIENT_RESOURCES when made to fail.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) noexcept
{
    return CreateLink(SymbolicLinkName, DeviceName, false, "IoCreateSymbolicLink");
}

// As IoCreateSymbolicLink, for a link that any caller may open.
NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) noexcept
{
    return CreateLink(SymbolicLinkName, DeviceName, true, "IoCreateUnprotectedSymbolicLink");
}

// Return: STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND when there is no such link;
// STATUS_OBJECT_TYPE_MISMATCH when the name is a device's, not a link's.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) noexcept
{
    sim::rtl::RequirePassive("IoDeleteSymbolicLink");
    if (!sim::rtl::CheckCounted(SymbolicLinkName, "IoDeleteSymbolicLink", "SymbolicLinkName")) {
        return STATUS_INVALID_PARAMETER;
    }
    return sim::ob::RemoveLink(sim::rtl::FromCounted(SymbolicLinkName));
}

}  // extern "C"

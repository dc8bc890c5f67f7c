// Device interfaces: IoRegisterDeviceInterface and IoSetDeviceInterfaceState at
// PASSIVE_LEVEL (AddDevice and the PnP paths), and the listing the Win32 layer and
// tests read. An instance is keyed by its name, so registering the same device
// instance, class and reference string again (even for a new PDO of a re-plugged
// phone) finds the same instance, as the registry-backed original does. While an
// interface is enabled its name is also a link in the object namespace to the PDO's
// name (when the PDO has one), so that an application can open it. Not modelled:
// arrival and removal notifications, the interface's registry keys, user-mode
// registration.
#include "sim/io/interfaces.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstdio>
#include <map>
#include <mutex>

using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::io {

namespace {

struct State {
    std::mutex mutex;
    std::map<std::u16string, DeviceInterface> interfaces;  // by Key(symbolicLink)
};

State &S()
{
    static State state;
    return state;
}

std::u16string GuidText(const GUID &g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return rtl::Widen(text);
}

// Applications see the names with "\\?\" where the kernel has "\??\"; both, and the
// other spellings of that directory, find the same instance.
std::u16string Key(const std::u16string &name)
{
    std::u16string n = name;
    if (n.compare(0, 4, u"\\\\?\\") == 0) {
        n = u"\\??\\" + n.substr(4);
    }
    return rtl::Upper(ob::Canonical(n));
}

// The link an enabled instance has in the object namespace: its name without the
// reference string, which Windows passes to the driver as a path at open instead.
std::u16string NamespaceLink(const DeviceInterface &i)
{
    size_t slash = i.symbolicLink.find(u'\\', 4);
    return i.symbolicLink.substr(0, slash);
}

void Enable(DeviceInterface &i)
{
    i.enabled = true;
    std::u16string target = ob::NameOf(i.pdo);
    if (!target.empty()) {
        ob::InsertLink(NamespaceLink(i), target, false);
    }
}

void Disable(DeviceInterface &i)
{
    i.enabled = false;
    ob::RemoveLink(NamespaceLink(i));
}

}  // namespace

std::vector<std::u16string> EnabledInterfaces(const GUID &classGuid)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<std::u16string> out;
    for (const auto &[key, i] : S().interfaces) {
        if (i.enabled && IsEqualGUID(i.classGuid, classGuid)) {
            out.push_back(i.symbolicLink);
        }
    }
    return out;
}

std::vector<DeviceInterface> Interfaces()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<DeviceInterface> out;
    for (const auto &[key, i] : S().interfaces) {
        out.push_back(i);
    }
    return out;
}

int DisableInterfacesOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    int disabled = 0;
    for (auto &[key, i] : S().interfaces) {
        if (i.pdo != pdo) {
            continue;
        }
        if (i.enabled) {
            Disable(i);
            disabled++;
        }
        i.pdo = nullptr;
    }
    return disabled;
}

void ResetInterfaces()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().interfaces.clear();
}

}  // namespace sim::io

extern "C" {

// Registers (or finds) the interface instance of PhysicalDeviceObject's device
// instance, the class and the optional reference string, and returns its name in
// SymbolicLinkName: a NUL-terminated buffer allocated for the caller, who releases it
// with RtlFreeUnicodeString. Each call allocates a new copy. The instance starts
// disabled. SymbolicLinkName is untouched on failure.
// Return: STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST when the device object is not a
// PDO the PnP manager knows or the reference string holds a path separator;
// STATUS_INSUFFICIENT_RESOURCES when made to fail ("IoRegisterDeviceInterface") or
// when the name cannot be allocated.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) noexcept
{
    sim::rtl::RequirePassive("IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        Report(Rule::InvalidParameter, "IoRegisterDeviceInterface: %s is NULL",
               InterfaceClassGuid == nullptr ? "InterfaceClassGuid" : "SymbolicLinkName");
        return STATUS_INVALID_PARAMETER;
    }
    if (!sim::rtl::CheckCounted(ReferenceString, "IoRegisterDeviceInterface", "ReferenceString", true)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string instance = PhysicalDeviceObject != nullptr ? sim::cm::InstanceId(PhysicalDeviceObject) : u"";
    std::u16string reference = sim::rtl::FromCounted(ReferenceString);
    if (instance.empty() || reference.find_first_of(u"\\/") != std::u16string::npos) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (sim::lowres::ShouldFail("IoRegisterDeviceInterface")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    std::u16string name = u"\\??\\" + instance;
    for (size_t i = 4; i < name.size(); i++) {
        if (name[i] == u'\\') {
            name[i] = u'#';
        }
    }
    name += u"#" + sim::io::GuidText(*InterfaceClassGuid);
    if (!reference.empty()) {
        name += u"\\" + reference;
    }
    size_t bytes = name.size() * sizeof(WCHAR);
    auto *buffer = static_cast<PWCHAR>(
        sim::ex::AllocateFor("IoRegisterDeviceInterface", bytes + sizeof(WCHAR), 0, true));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, name.c_str(), bytes + sizeof(WCHAR));

    {
        std::lock_guard<std::mutex> lock(sim::io::S().mutex);
        auto [it, inserted] = sim::io::S().interfaces.try_emplace(
            sim::io::Key(name), sim::io::DeviceInterface{name, *InterfaceClassGuid, reference, nullptr, false});
        (void)inserted;
        it->second.pdo = PhysicalDeviceObject;
    }
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Return: STATUS_SUCCESS; STATUS_OBJECT_NAME_EXISTS (a success) when enabling an
// enabled instance; STATUS_OBJECT_NAME_NOT_FOUND when disabling one that is not
// enabled, or for a name no registration returned; STATUS_INVALID_PARAMETER for an
// empty name (a string already released with RtlFreeUnicodeString, for example).
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) noexcept
{
    sim::rtl::RequirePassive("IoSetDeviceInterfaceState");
    if (!sim::rtl::CheckCounted(SymbolicLinkName, "IoSetDeviceInterfaceState", "SymbolicLinkName")) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = sim::rtl::FromCounted(SymbolicLinkName);
    if (name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(sim::io::S().mutex);
    auto it = sim::io::S().interfaces.find(sim::io::Key(name));
    if (it == sim::io::S().interfaces.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    sim::io::DeviceInterface &i = it->second;
    if (Enable) {
        if (i.enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        sim::io::Enable(i);
    } else {
        if (!i.enabled) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        sim::io::Disable(i);
    }
    return STATUS_SUCCESS;
}

}  // extern "C"

// Device nodes: which device objects are physical device objects the PnP manager
// knows, their instance IDs, and the registry keys that belong to them; and
// IoOpenDeviceRegistryKey, which hands the driver a handle to one of those keys
// (PASSIVE_LEVEL, the PnP thread). The bus registers a PDO when it creates it; tests
// set the values an INF would have written. Not modelled: hardware profiles
// (PLUGPLAY_REGKEY_CURRENT_HWPROFILE opens the same key), the class and driver keys'
// other contents.
#include "sim/cm/internal.h"

#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstdio>

using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::cm {

namespace {

// Software keys live under the Ports class, where a COM port's driver key is.
const std::u16string kPortsClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}";

// With the mutex held: the node of a registered device, or NULL.
detail::DeviceNode *Node(PDEVICE_OBJECT pdo)
{
    auto it = detail::S().devices.find(pdo);
    return it == detail::S().devices.end() ? nullptr : &it->second;
}

}  // namespace

void RegisterDevice(PDEVICE_OBJECT pdo, const std::u16string &instanceId)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    auto &s = detail::S();
    auto index = s.softwareIndex.emplace(rtl::Upper(instanceId), static_cast<int>(s.softwareIndex.size()));
    char number[16];
    snprintf(number, sizeof number, "%04d", index.first->second);
    detail::DeviceNode node;
    node.instanceId = instanceId;
    node.hardwarePath = kEnum + u"\\" + instanceId + u"\\Device Parameters";
    node.softwarePath = kPortsClassKey + u"\\" + rtl::Widen(number);
    detail::CreatePath(node.hardwarePath);
    detail::CreatePath(node.softwarePath);
    s.devices[pdo] = node;
}

void UnregisterDevice(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().devices.erase(pdo);
}

std::u16string InstanceId(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::DeviceNode *node = Node(pdo);
    return node != nullptr ? node->instanceId : std::u16string();
}

std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::DeviceNode *node = Node(pdo);
    return node != nullptr ? node->hardwarePath : std::u16string();
}

std::u16string SoftwareKeyPath(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::DeviceNode *node = Node(pdo);
    return node != nullptr ? node->softwarePath : std::u16string();
}

void SetDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name, ULONG type, const void *data, size_t length)
{
    std::u16string path = HardwareKeyPath(pdo);
    if (path.empty()) {
        Report(Rule::InvalidParameter, "cm::SetDeviceValue: device %p is not registered", static_cast<void *>(pdo));
        return;
    }
    SetValue(path, name, type, data, length);
}

void SetDeviceString(PDEVICE_OBJECT pdo, const std::u16string &name, const std::u16string &text)
{
    SetDeviceValue(pdo, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

void DeleteDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::DeviceNode *node = Node(pdo);
    detail::Key *key = node != nullptr ? detail::Find(node->hardwarePath) : nullptr;
    if (key != nullptr) {
        key->values.erase(rtl::Upper(name));
    }
}

}  // namespace sim::cm

extern "C" {

// Opens the device's hardware key (PLUGPLAY_REGKEY_DEVICE) or software key
// (PLUGPLAY_REGKEY_DRIVER). DesiredAccess is recorded, not enforced (see registry.cpp).
// Return: STATUS_SUCCESS with *DevInstRegKey a kernel handle the caller must ZwClose;
// STATUS_INVALID_DEVICE_REQUEST when DeviceObject is not a PDO the PnP manager knows;
// STATUS_INVALID_PARAMETER for another key type.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) noexcept
{
    (void)DesiredAccess;
    sim::rtl::RequirePassive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr) {
        Report(Rule::InvalidParameter, "IoOpenDeviceRegistryKey: DevInstRegKey is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    auto &s = sim::cm::detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    sim::cm::detail::DeviceNode *node = sim::cm::Node(DeviceObject);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG type = DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    const std::u16string *path = type == PLUGPLAY_REGKEY_DEVICE   ? &node->hardwarePath
                                 : type == PLUGPLAY_REGKEY_DRIVER ? &node->softwarePath
                                                                  : nullptr;
    if (path == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    sim::cm::detail::Key *key = sim::cm::detail::CreatePath(*path);
    *DevInstRegKey = sim::cm::detail::NewHandle(key, *path, "IoOpenDeviceRegistryKey");
    return STATUS_SUCCESS;
}

}  // extern "C"

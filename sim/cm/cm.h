// The host registry as the rest of sim/ (the bus, the bench, the tools) sees it: a
// tree of keys under \Registry with typed values, the device nodes that give each
// physical device object its hardware key, and the kernel handles the driver opens.
// The driver itself sees IoOpenDeviceRegistryKey, ZwQueryValueKey, ZwClose and
// RtlWrite/DeleteRegistryValue (kernel/host/wdm.h). Thread-safe; names of keys and
// values are compared case-insensitively, as the configuration manager does.
#pragma once

#include "kernel/kernel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::cm {

// Keys that exist after every Reset().
inline const std::u16string kDeviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
inline const std::u16string kSerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct NamedValue {
    std::u16string name;  // as written
    Value value;
};

// ---- device nodes
// Makes `pdo` a physical device object the PnP manager knows, with its device
// instance ID (for example u"USB\\VID_0421&PID_0500&MI_07\\6&1f2e3d4c&0&0007"). It
// gets a hardware key (Enum\<instance>\Device Parameters, PLUGPLAY_REGKEY_DEVICE)
// and a software key (PLUGPLAY_REGKEY_DRIVER); both survive the device object, so a
// phone plugged in again under the same instance ID finds its values again.
// IoOpenDeviceRegistryKey and IoRegisterDeviceInterface refuse, with
// STATUS_INVALID_DEVICE_REQUEST, a device object that was not registered here (a
// driver passing its own FDO instead of the PDO, for example).
void RegisterDevice(PDEVICE_OBJECT pdo, const std::u16string &instanceId);
// Forgets the device object (its keys stay), when the bus deletes the PDO.
void UnregisterDevice(PDEVICE_OBJECT pdo);
// The instance ID registered for `pdo`, or empty.
std::u16string InstanceId(PDEVICE_OBJECT pdo);
// Full paths of the device's keys (empty when the device is not registered).
std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo);
std::u16string SoftwareKeyPath(PDEVICE_OBJECT pdo);

// Values in a registered device's hardware key, as an INF or a test sets them.
void SetDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name, ULONG type, const void *data, size_t length);
// A REG_SZ stored as the registry editor stores it: the text and one NUL character.
void SetDeviceString(PDEVICE_OBJECT pdo, const std::u16string &name, const std::u16string &text);
void DeleteDeviceValue(PDEVICE_OBJECT pdo, const std::u16string &name);

// ---- keys and values by path ("\Registry\Machine\...")
// Creates the key and any missing parents, then sets the value.
void SetValue(const std::u16string &keyPath, const std::u16string &name, ULONG type, const void *data,
              size_t length);
std::optional<Value> GetValue(const std::u16string &keyPath, const std::u16string &name);
// A REG_SZ's text up to its first NUL; nothing when the value is missing or not REG_SZ.
std::optional<std::u16string> GetString(const std::u16string &keyPath, const std::u16string &name);
// Every value of a key, in name order (empty when the key does not exist).
std::vector<NamedValue> Values(const std::u16string &keyPath);
bool KeyExists(const std::u16string &keyPath);

// ---- kernel handles
struct OpenHandle {
    HANDLE handle;
    std::u16string keyPath;
    std::string openedBy;  // the routine that returned it
};
// Handles returned to the driver and not yet closed with ZwClose.
std::vector<OpenHandle> OpenHandles();
// A kernel handle to the symbolic link `link` (ZwOpenSymbolicLinkObject, sim/ob): the
// link object lives on with its target while the handle is open, as Windows keeps an
// object referenced by a handle.
HANDLE NewLinkHandle(const std::u16string &link, const std::u16string &target, const char *openedBy);
// The target kept with a link handle; nothing when `handle` is not an open link handle.
std::optional<std::u16string> LinkHandleTarget(HANDLE handle);
// Reports HandleLeak for every handle still open (`where` names the moment: "driver
// unload") and closes it, so that the next check starts clean. Returns how many.
size_t CheckNoOpenHandles(const char *where);

// Back to a fresh registry: only the standard keys, no device nodes, no handles.
void Reset();

}  // namespace sim::cm

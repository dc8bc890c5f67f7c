// The host object namespace as the rest of sim/ sees it: named device objects and
// symbolic links (\Device\..., \DosDevices\..., \GLOBAL??\...), resolved the way the
// object manager resolves a name that an application opens.
#pragma once

#include "kernel/kernel.h"

#include <string>
#include <vector>

namespace sim::ob {

// Names are compared case-insensitively, as the object manager does.
// Enters a device object's name; STATUS_OBJECT_NAME_COLLISION when the name is taken.
NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);

// Follows links until a device name: "\DosDevices\COM5" -> the device object, or NULL.
PDEVICE_OBJECT Resolve(const std::u16string &name);

// The target a link names (without following it further), or empty when no such link.
std::u16string LinkTarget(const std::u16string &link);
std::vector<std::u16string> Links();
std::vector<std::u16string> DeviceNames();

// Clears the namespace (platform start).
void Reset();

}  // namespace sim::ob

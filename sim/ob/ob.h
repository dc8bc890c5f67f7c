// The host object namespace as the rest of sim/ sees it: named device objects and
// symbolic links (\Device\..., \DosDevices\..., \GLOBAL??\...), resolved the way the
// object manager resolves a name that an application opens.
//
// \DosDevices, \?? and \GLOBAL?? are one directory here (the per-session \?? of
// Windows falls back to \GLOBAL?? and \DosDevices links to \??): "\DosDevices\COM5"
// and "\??\com5" name the same link. Names live directly in \Device, in \GLOBAL?? or
// in the root; other directories do not exist. Thread-safe; no driver lock is taken.
#pragma once

#include "kernel/kernel.h"

#include <string>
#include <vector>

namespace sim::ob {

// Names are compared case-insensitively, as the object manager does.
// Enters a device object's name; STATUS_OBJECT_NAME_COLLISION when the name is taken
// (by a device or a link), STATUS_OBJECT_NAME_INVALID for a name that is not an
// absolute path, STATUS_OBJECT_PATH_NOT_FOUND for a directory that does not exist.
NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);
// The name a device object was entered with, or empty.
std::u16string NameOf(PDEVICE_OBJECT device);

// Enters a symbolic link. The target is not checked (Windows resolves it at open
// time, so a link may dangle). Same statuses as InsertDeviceName.
NTSTATUS InsertLink(const std::u16string &link, const std::u16string &target, bool unprotected);
// STATUS_OBJECT_NAME_NOT_FOUND when there is no such name; STATUS_OBJECT_TYPE_MISMATCH
// when the name is a device's.
NTSTATUS RemoveLink(const std::u16string &link);

// Follows links until a device name: "\DosDevices\COM5" -> the device object, or NULL
// (no such name, a dangling link, or a chain of more than 32 links).
PDEVICE_OBJECT Resolve(const std::u16string &name);

// The target a link names (without following it further), or empty when no such link.
std::u16string LinkTarget(const std::u16string &link);
// True when the link exists and was made by IoCreateUnprotectedSymbolicLink.
bool IsUnprotectedLink(const std::u16string &link);
// Links and device names as they were entered (original spelling and directory alias).
std::vector<std::u16string> Links();
std::vector<std::u16string> DeviceNames();

// The name with its directory alias replaced by \GLOBAL?? ("\DosDevices\COM5" ->
// "\GLOBAL??\COM5"); other names are returned unchanged.
std::u16string Canonical(const std::u16string &name);

// Clears the namespace (platform start).
void Reset();

}  // namespace sim::ob

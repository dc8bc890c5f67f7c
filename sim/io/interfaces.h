// Device interfaces as the rest of sim/ sees them (the Win32 layer lists them, tests
// check the driver enabled or disabled its own): one instance per device instance,
// class GUID and reference string, named as Windows names it,
//   \??\USB#VID_0421&PID_0500&MI_07#6&1f2e3d4c&0&0007#{86e0d1e0-8089-11d0-9ce4-08003e301f73}
// The driver sees IoRegisterDeviceInterface and IoSetDeviceInterfaceState
// (kernel/host/wdm.h). A physical device object must have been registered with
// sim::cm::RegisterDevice first: its instance ID makes the name. Thread-safe.
#pragma once

#include "kernel/kernel.h"

#include <string>
#include <vector>

#ifndef STATUS_OBJECT_NAME_EXISTS
// Informational: IoSetDeviceInterfaceState enabling an interface that is enabled.
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#endif

namespace sim::io {

struct DeviceInterface {
    std::u16string symbolicLink;     // as IoRegisterDeviceInterface returns it ("\??\...")
    GUID classGuid;
    std::u16string referenceString;  // empty when none
    PDEVICE_OBJECT pdo;              // the device it was last registered for; NULL once removed
    bool enabled;
};

// Symbolic link names of the enabled interfaces of a class, as IoGetDeviceInterfaces
// (and, with "\\?\" for "\??\", SetupDiGetClassDevs) lists them.
std::vector<std::u16string> EnabledInterfaces(const GUID &classGuid);
// Every interface instance ever registered since the last reset.
std::vector<DeviceInterface> Interfaces();

// What the PnP manager does when it deletes a PDO: disables the device's interfaces
// that are still enabled (the documentation tells drivers not to rely on it, and a
// test can use the count to see that the driver disabled its own). Returns how many
// it had to disable.
int DisableInterfacesOf(PDEVICE_OBJECT pdo);

// Forgets every interface (platform start).
void ResetInterfaces();

}  // namespace sim::io

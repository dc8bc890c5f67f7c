// Plug and Play: the PnP dispatch and the device's states, the USB configuration chosen
// at the first start, and the port names (the \DosDevices link, the SERIALCOMM value and
// the COM-port interface) that a started device carries.
// Context: PASSIVE_LEVEL, in the Plug and Play manager's thread, one request per device
// at a time; DispatchPnp is declared in core/core.h.
#pragma once

#include "core/core.h"

// ---- the minor-function table (pnp.cpp)
// Minor codes 0x00 (IRP_MN_START_DEVICE) to 0x17 (IRP_MN_SURPRISE_REMOVAL) index the
// table; higher codes are passed down without a handler.
#define PNP_MINOR_TABLE_SIZE 0x18

// Sends the request down with a copy of the current stack location and waits for the
// lower drivers; the request is the caller's again afterwards.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Passes the request down with the current stack location skipped; the lower drivers
// own and complete it. Returns IoCallDriver's status.
NTSTATUS PnpPassDown(PDEVICE_EXTENSION Extension, PIRP Irp);

DRIVER_DISPATCH PnpStartDevice;          // 0x00
DRIVER_DISPATCH PnpQueryRemove;          // 0x01
DRIVER_DISPATCH PnpRemoveDevice;         // 0x02 (removal.cpp)
DRIVER_DISPATCH PnpCancelRemove;         // 0x03
DRIVER_DISPATCH PnpStopDevice;           // 0x04
DRIVER_DISPATCH PnpQueryStop;            // 0x05
DRIVER_DISPATCH PnpCancelStop;           // 0x06
DRIVER_DISPATCH PnpQueryCapabilities;    // 0x09
DRIVER_DISPATCH PnpQueryPnpDeviceState;  // 0x14
DRIVER_DISPATCH PnpSurpriseRemoval;      // 0x17 (removal.cpp)
DRIVER_DISPATCH PnpDefault;              // every other code below 0x18

// ---- the USB configuration (configure.cpp)
#define OBEX_INTERFACE_NUMBER 7
#define OBEX_ALTERNATE_SETTING 1
#define PIPE_MAX_TRANSFER_SIZE 4096
// "Usbd": the bytes U, s, b, d in memory order.
#define CONFIG_POOL_TAG ((ULONG)('U' | ('s' << 8) | ('b' << 16) | ('d' << 24)))
// The pipes a started device needs: bulk-in first, bulk-out second.
#define OBEX_PIPE_COUNT 2

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
// Frees the copies of the interface information and their array; InterfaceInfo is
// NULL afterwards. PnP serial.
VOID ReleaseInterfaceInfo(PDEVICE_EXTENSION Extension);

// ---- the port names (port_names.cpp)
// Largest "PortName" the driver takes, in bytes: 63 characters and the NUL, or 64
// characters without one.
#define PORT_NAME_MAX_BYTES 128
// A port-name buffer: the name's bytes, then two zero characters that the registry data
// never reaches, so that the name is terminated and the SERIALCOMM data (the name and
// two zero characters) lies inside the buffer whatever the name's length.
#define PORT_NAME_BUFFER_CHARS (PORT_NAME_MAX_BYTES / sizeof(WCHAR) + 2)
// The block ZwQueryValueKey fills: the value name's length plus this many bytes.
#define PORT_NAME_RECORD_EXTRA 152
// Capacity of the "\DosDevices\<port name>" work string, in bytes.
#define LINK_NAME_MAX_BYTES 256

NTSTATUS ReadPortName(PWCHAR PortName, PHANDLE Key);
NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension);
NTSTATUS RemovePortNames(PDEVICE_EXTENSION Extension);
NTSTATUS DeleteDosLinkByPortName(PDEVICE_EXTENSION Extension);
ULONG ExchangePnpState(PDEVICE_EXTENSION Extension, ULONG NewState);

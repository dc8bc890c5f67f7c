// DEVICE_EXTENSION: everything the driver knows about one device. One per functional
// device object, allocated zero-filled with it by IoCreateDevice in AddDevice and
// deleted with it at removal; the receive ring and the bulk-in staging buffer are
// inline, so nothing here is allocated separately.
//
// Each member names its guard; a lock's is GUARDED_BY (kernel/lock_annotations.h),
// which the lock check build enforces, the others are comments:
//   DataLock      spin lock; holders run at DISPATCH_LEVEL and never block
//   StateLock     spin lock; innermost, held only around PnpState/DeviceFailure tests
//   OpenMutex     fast mutex; open against query-stop and query-remove
//   CloseMutex    fast mutex; close against close
//   interlocked   changed only by Interlocked* operations
//   set once      written before anyone else can see the device, then read-only
//   PnP serial    written by the Plug and Play thread, one request at a time
// Lock order (ACQUIRED_AFTER below): cancel spin lock -> DataLock -> StateLock;
// OpenMutex or CloseMutex -> StateLock, and neither mutex while a spin lock is held. No request goes down with
// IoCallDriver while DataLock is held.
#pragma once

#include "kernel/kernel.h"
#include "usb/ring.h"

// The device's Plug and Play state (a u32 in the extension).
typedef enum _PNP_STATE {
    NeverStarted = 0,
    Stopped = 1,
    Started = 2,
    StopPending = 3,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Removed = 6,
} PNP_STATE;

// DeviceFailure's only non-zero value: the transfer paths declared the device dead.
#define DEVICE_FAILED_MARK 9999

// Size of the one bulk-in transfer and of its staging buffer.
#define READ_STAGING_SIZE 4096

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT SelfDevice;          // set once: our functional device object
    PDEVICE_OBJECT LowerDevice;         // set once: where every request goes down
    PDEVICE_OBJECT PhysicalDevice;      // set once: the bus's PDO (registry key, power requests)
    IO_REMOVE_LOCK RemoveLock;          // itself; request paths hold it with the IRP as tag
    UNICODE_STRING InterfaceName;       // PnP serial; COM-port interface link, platform-allocated
    ULONG PnpState;                     // PNP_STATE; StateLock in the removal paths and
                                        // IsDeviceUnavailable, OpenMutex at query-stop/remove,
                                        // otherwise PnP serial (no one lock: not annotated)
    ULONG PreviousPnpState;             // PnP serial; saved by query-remove for cancel-remove
    DEVICE_POWER_STATE DevicePowerState;  // power request path; written under DataLock
    SYSTEM_POWER_STATE SystemPowerState;  // power request path
    DEVICE_CAPABILITIES Capabilities;   // PnP serial; zero until a query-capabilities succeeds
    LONG OpenCount;                     // interlocked; open handles
    USBD_PIPE_HANDLE BulkInPipe;        // set once at first start
    USBD_PIPE_HANDLE BulkOutPipe;       // set once at first start
    ULONG DeviceFailure GUARDED_BY(StateLock);  // 0 or DEVICE_FAILED_MARK; written with
                                                // DataLock held too
    KSPIN_LOCK DataLock ACQUIRED_AFTER(CancelSpinLock, OpenMutex, CloseMutex);

    // The emulated serial port.
    SERIAL_TIMEOUTS Timeouts GUARDED_BY(DataLock);       // survives close and reopen
    ULONG BaudRate GUARDED_BY(DataLock);
    SERIAL_LINE_CONTROL LineControl GUARDED_BY(DataLock);
    SERIAL_HANDFLOW HandFlow GUARDED_BY(DataLock);       // XonLimit and XoffLimit stay 0
    SERIAL_CHARS SpecialChars GUARDED_BY(DataLock);
    ULONG WaitMask GUARDED_BY(DataLock);                 // SERIAL_EV_* an application waits for
    SERIALPERF_STATS PerfStats GUARDED_BY(DataLock);     // only ReceivedCount and
                                                         // TransmittedCount grow
    USHORT ModemStatus GUARDED_BY(DataLock);             // 0x10 CTS, 0x20 DSR, 0x80 DCD
    LIST_ENTRY WaitQueue GUARDED_BY(DataLock);           // queued wait-on-mask requests
    LIST_ENTRY ReadQueue GUARDED_BY(DataLock);           // pending read requests
    LONG OutQueueBytes GUARDED_BY(DataLock);             // bytes of unfinished writes

    UNICODE_STRING DeviceName;          // PnP serial; "\Device\VARNOOBEXn", NUL-terminated
    UNICODE_STRING SymbolicLinkName;    // PnP serial; "\DosDevices\" + the port name
    ULONG HoldReasons;                  // never changes: always 0
    BOOLEAN WriteActive GUARDED_BY(DataLock);            // a bulk-out chain is running
    LIST_ENTRY WriteQueue GUARDED_BY(DataLock);          // queued write requests
    KTIMER ReadTimer;                   // platform object; the read timeout
    KDPC ReadTimerDpc;                  // platform object; runs ReadTimeoutDpc
    URB ReadUrb;                        // owned by the one bulk-in transfer in flight
    UCHAR ReadStaging[READ_STAGING_SIZE];  // owned by the one bulk-in transfer in flight
    RX_RING RxRing GUARDED_BY(DataLock);
    ULONG ReadRemaining GUARDED_BY(DataLock);            // bytes the current read still wants
    BOOLEAN IsOpen GUARDED_BY(DataLock);                 // set by open (also under OpenMutex),
                                                         // cleared by cleanup
    KSPIN_LOCK StateLock ACQUIRED_AFTER(DataLock, OpenMutex, CloseMutex);
                                        // orders PnpState changes against the availability test
    ULONG PendingEvents GUARDED_BY(DataLock);            // SERIAL_EV_* not yet reported
    FAST_MUTEX OpenMutex;
    FAST_MUTEX CloseMutex;
    BOOLEAN PortNamesReleased;          // PnP serial; names already undone
    LONG ErrorCount;                    // interlocked increments; consecutive transfer errors
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;          // PnP serial; read at first start
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;   // PnP serial
    PUSBD_INTERFACE_INFORMATION *InterfaceInfo;      // PnP serial; owned copies
    UCHAR InterfaceCount;               // PnP serial; entries of InterfaceInfo (always 1)
    KEVENT IoIdleEvent;                 // synchronization event; OutstandingIo reached 0
    LONG OutstandingIo;                 // interlocked; work in flight, +1 while open
    ULONG MaxPacketSize;                // set once at first start: the bulk-out endpoint's
    BOOLEAN ZeroLengthPacket;           // set once at first start
    BOOLEAN SleptWhileOpen GUARDED_BY(DataLock);         // slept in S3/S4 with the port open
    BOOLEAN WriteStarting GUARDED_BY(DataLock);          // a thread runs the loop that starts
                                                         // writes
    BOOLEAN WriteStartDue GUARDED_BY(DataLock);          // a chain ended inside that loop: it
                                                         // starts the next
    BOOLEAN ReadInFlight GUARDED_BY(DataLock);           // a bulk-in transfer owns ReadUrb and
                                                         // ReadStaging: no other may start
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

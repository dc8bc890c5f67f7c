// The host I/O manager as the rest of sim/ (the bench, the PnP and power managers,
// the Win32 layer, the tools) sees it: loading and unloading drivers, the WDM
// version the platform offers, file objects with create/cleanup/close sequencing,
// and requests built and sent to the top of a device stack as the I/O manager
// sends them. The driver itself sees only the Io routines of kernel/host/wdm.h.
//
// Threads: every routine here may be called from any platform or test thread at
// PASSIVE_LEVEL; the ones that wait (Call, Operation::Wait, Open, Close) report
// BlockingAtDispatch when called above it.
#pragma once

#include "kernel/kernel.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::io {

// ---- drivers
// Creates a driver object (with its DRIVER_EXTENSION, the service key name and every
// MajorFunction set to the I/O manager's default, which fails a request with
// STATUS_INVALID_DEVICE_REQUEST) and calls `entry` at PASSIVE_LEVEL with the
// service's registry path. On failure nothing stays loaded and *out is NULL.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &serviceName,
                    PDRIVER_OBJECT *out);
// Reports InvalidParameter when the driver still has devices, calls its DriverUnload
// at PASSIVE_LEVEL, checks that no pool and no IRP it allocated remains
// (ex::CheckNoLeaks("driver unload")) and deletes the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

// The WDM version IoIsWdmVersionAvailable answers for: a version is available when it
// is not above this one. The platform offers 1.30 (0x30) after every reset.
void SetWdmVersion(UCHAR major, UCHAR minor);

// ---- bookkeeping for the bench
// IRPs allocated with IoAllocateIrp and not yet freed.
size_t OutstandingIrps();
// Device objects created and not yet deleted.
size_t DeviceCount();
// Counts Reset calls: a driver object or device kept by sim/ code from an earlier
// generation is gone.
uint64_t Generation();
// Forgets every driver, device, IRP, file object and remove-lock record and frees
// their memory (platform start and stop). Nothing may be running in a driver.
void Reset();

// ---- file objects
// A file object on `device` (its DeviceObject), not yet opened; the caller owns it
// until it passes it to Open, or deletes it with DeleteFileObject.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device);
void DeleteFileObject(PFILE_OBJECT file);

// Opens `device` as the I/O manager opens a device for an application: refuses with
// STATUS_NO_SUCH_DEVICE a device that is still initializing or being deleted, with
// STATUS_ACCESS_DENIED a second open of an exclusive device (its ReferenceCount is
// not 0), and otherwise sends IRP_MJ_CREATE to the top of its stack. On success
// *file is the opened file object and the device holds one more reference.
NTSTATUS Open(PDEVICE_OBJECT device, PFILE_OBJECT *file);
// Resolves `name` ("\DosDevices\COM5", "\Device\X") first; STATUS_OBJECT_NAME_NOT_FOUND
// when nothing has that name.
NTSTATUS OpenByName(const std::u16string &name, PFILE_OBJECT *file);
// Closes the last handle: sends IRP_MJ_CLEANUP and returns once it has completed. The
// requests still in flight on the file object hold references to it: IRP_MJ_CLOSE
// follows when the last reference goes, here when none is in flight, otherwise from a
// system worker thread once the last request has completed; then the device's
// reference is dropped and the file object freed. Until then the device counts the
// open (an exclusive device refuses the next one).
void Close(PFILE_OBJECT file);
// True once `file`'s IRP_MJ_CLOSE has been sent and the file object freed.
bool Closed(PFILE_OBJECT file);
// Reports RequestNeverCompleted for every file object whose handle was closed and whose
// close is still waiting for a request that never completed (platform stop).
void CheckClosesSent(const char *where);

// File objects open on `device` itself (Open succeeded, IRP_MJ_CLOSE not yet sent).
long OpenCount(PDEVICE_OBJECT device);
// The requests sent with Send that have not completed yet ("IRP_MJ_READ IRP 0x..."):
// at the end of a run, requests that nobody will ever complete.
std::vector<std::string> RequestsInFlight();
// The Plug and Play manager's hook for removal after the last close: `observer` runs
// each time a device's open count falls to 0 (at the end of Close, or of an Open whose
// create failed), on that thread, with no I/O manager lock held. One observer at a
// time; an empty function removes it. Reset does not clear it: its owner does.
void SetLastCloseObserver(std::function<void(PDEVICE_OBJECT)> observer);

// ---- requests
// What the I/O manager puts into the IRP it builds. Buffers are the caller's and must
// stay valid until the request completes. With buffered I/O (a device with
// DO_BUFFERED_IO for reads and writes, METHOD_BUFFERED control codes, query and set
// information) the driver sees a system buffer: input copied in before the call,
// IoStatus.Information bytes copied out to `output` at completion (for a status that
// is not an error). With neither buffered nor direct I/O, the driver sees the
// caller's buffers (UserBuffer, Type3InputBuffer). Direct I/O (MDLs) is not modelled:
// such a request is sent as buffered.
struct Request {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    PFILE_OBJECT file = nullptr;           // the stack location's FileObject
    ULONG ioControlCode = 0;               // device and internal device control
    const void *input = nullptr;           // write data, control input
    ULONG inputLength = 0;
    void *output = nullptr;                // read data, control or query output
    ULONG outputLength = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    // The IoStatus the request starts with. Unset: STATUS_NOT_SUPPORTED for PnP
    // requests (as the PnP manager sends them), 0 otherwise.
    bool hasInitialStatus = false;
    NTSTATUS initialStatus = 0;
    // Fills the rest of the first stack location (PnP and power parameters, a URB in
    // Others.Argument1, ...), after the fields above have been set.
    std::function<void(IO_STACK_LOCATION &)> parameters;
    // Sends to this device itself rather than to the top of its stack.
    bool toDeviceItself = false;
};

// One request in flight. Its IRP belongs to the drivers until it completes; the
// operation outlives it.
class Operation {
public:
    // True once the request has completed to the I/O manager.
    bool Done();
    // Waits (in real time) until it completes and returns its final IoStatus.
    IO_STATUS_BLOCK Wait();
    // What IoCallDriver returned to the I/O manager.
    NTSTATUS Returned() const { return returned_; }
    // The final IoStatus; only meaningful once Done().
    IO_STATUS_BLOCK Status();
    // IoCancelIrp on the request while it is still in flight, as CancelIo does; the
    // IRP cannot be freed under the call. Returns IoCancelIrp's result, or FALSE when
    // the request has already completed.
    BOOLEAN Cancel();
    // The IRP while the request is in flight (for tests that drive it by hand), NULL
    // once it has completed.
    PIRP Irp();

    struct State;
    explicit Operation(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    friend std::shared_ptr<Operation> Send(PDEVICE_OBJECT, const Request &,
                                           std::function<void(const IO_STATUS_BLOCK &)>);
    std::shared_ptr<State> state_;
    NTSTATUS returned_ = STATUS_PENDING;
};

// Builds the IRP (with the target stack's StackSize, the caller's thread mode and
// buffers) and passes it with IoCallDriver. `done`, when given, runs once with the
// final IoStatus in the context that completed the request (maybe DISPATCH_LEVEL on
// the platform's DPC thread); it must not block.
std::shared_ptr<Operation> Send(PDEVICE_OBJECT device, const Request &request,
                                std::function<void(const IO_STATUS_BLOCK &)> done = {});
// Send, then Wait: the synchronous form, for requests that complete without the
// calling thread's help (not a read parked until virtual time is advanced).
IO_STATUS_BLOCK Call(PDEVICE_OBJECT device, const Request &request);

}  // namespace sim::io

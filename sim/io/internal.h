// The I/O manager's own records, shared by the files of sim/io (not for the rest of
// sim/): driver, device, IRP, dispatch-frame and remove-lock bookkeeping that the
// verifier rules are checked against. One mutex guards all of it; no driver code is
// ever called with it held, so driver callbacks may re-enter the I/O manager.
#pragma once

#include "sim/io/io.h"
#include "sim/io/trace.h"

#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::io {
struct LoadedImage;
}

namespace sim::io::detail {

constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
// Stack locations are numbered 1..StackCount, as Irp->CurrentLocation counts them.
constexpr int kMaxLocations = 128;

// A driver object with the strings its fields point into.
struct DriverBlock {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string serviceName;
    std::u16string driverName;
    std::u16string registryPath;
    UNICODE_STRING registryPathString;
    std::shared_ptr<LoadedImage> image;  // the mapped file of a driver loaded from one
};

struct DeviceRecord {
    void *block = nullptr;   // the device object and its extension, one allocation
    size_t size = 0;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
    bool deleted = false;    // IoDeleteDevice was called; freed at ReferenceCount 0
    long opens = 0;          // file objects opened on it (the exclusive check)
    // The IRPs whose dispatch at this device was running when it was deleted (the
    // remove request): the only ones the deleted device may still complete.
    std::vector<std::pair<const IRP *, uint64_t>> deletedDuring;
};

// An event of the request hook waiting for the completion to walk past its stack
// location: the Leave of a request that entered the observed driver there, or the
// CameBack of one the driver sent down to it. Captured when the request arrived or was
// sent, since the completion clears the location's parameters as it walks.
struct TracedLocation {
    int location;
    RequestEvent event;
    const URB *urb;             // a URB sent down, read again when it comes back
    PDRIVER_OBJECT driver;      // the observer it was recorded for
    uint64_t generation;
};

struct IrpRecord {
    uint64_t serial = 0;       // tells an IRP from a later one at the same address
    size_t size = 0;           // bytes of the allocation (IRP and stack locations)
    bool byIoManager = false;  // built by Send (completed to the I/O manager at the top)
    bool freed = false;        // memory poisoned and quarantined
    bool completedOnce = false;
    std::bitset<kMaxLocations> marked;  // SL_PENDING_RETURNED set by IoMarkIrpPending
    std::bitset<kMaxLocations> passed;  // completion has walked past this location
    // A dispatch routine at this location returned STATUS_PENDING without marking it,
    // relying on the completion of the location below to propagate the mark; checked
    // when the completion walks past that location.
    std::bitset<kMaxLocations> owed;
    std::function<void(PIRP)> finish;   // the I/O manager's end of a request it built
    std::vector<TracedLocation> traced; // empty unless a request observer is set
};

// One dispatch routine running for an IRP at one stack location (IofCallDriver).
struct Frame {
    PIRP irp;
    uint64_t serial;
    int location;
    bool marked = false;        // IoMarkIrpPending on this location while it ran
    bool childPending = false;  // a call below it on the same IRP returned STATUS_PENDING
    bool closed = false;        // the completion walked past its location
};

struct RemoveLockRecord {
    std::map<PVOID, long> holds;    // tag -> holds outstanding
    long total = 0;
    std::map<PVOID, long> refused;  // tags whose acquire failed after removal began
    bool waited = false;            // IoReleaseRemoveLockAndWait was called
};

struct FileRecord {
    PDEVICE_OBJECT opened = nullptr;  // the device whose reference the open holds
    long outstanding = 0;             // requests sent on it and not yet completed
    bool cleanedUp = false;           // its last handle is closed: IRP_MJ_CLOSE is due
    bool closing = false;             // IRP_MJ_CLOSE sent or queued
};

struct State {
    std::mutex lock;
    std::condition_variable changed;   // file-object request counts
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::map<const IRP *, IrpRecord> irps;
    std::deque<PIRP> quarantine;       // freed IRPs, oldest first
    uint64_t nextSerial = 1;
    std::multimap<const IRP *, Frame *> frames;
    std::map<const IO_REMOVE_LOCK *, RemoveLockRecord> removeLocks;
    std::map<const FILE_OBJECT *, FileRecord> files;
    std::deque<std::pair<void *, size_t>> deadDevices;  // poisoned device blocks
    uint64_t generation = 1;   // counts resets
    UCHAR wdmMajor = 1;
    UCHAR wdmMinor = 0x30;
};
State &S();

// Memory the I/O manager allocates for itself (not driver pool): zeroed, 16-aligned.
void *AllocateBlock(size_t size);
void FreeBlock(void *block, size_t size);
// Fills freed memory with a pattern that makes a stale pointer read obviously wrong.
constexpr unsigned char kPoison = 0xDD;
// What the output part of a system buffer holds before the driver writes it (Windows
// leaves it as the pool gave it): a pattern that varies with the offset, so that bytes
// a driver returns without writing them read as neither zeros nor the caller's data.
inline unsigned char OutputFill(size_t offset)
{
    return static_cast<unsigned char>(0xE1 + 0x3B * offset);
}
// Returned bytes still holding the fill this many in a row are taken as never written.
constexpr size_t kUnwrittenRun = 4;

// IRP allocation shared by IoAllocateIrp and the request builder (which does not go
// through the low-resources simulation: the I/O manager's own allocations do not fail).
PIRP AllocateIrpRecorded(CCHAR stackSize, bool byIoManager);
// Looks an IRP up by address and serial; NULL when freed and forgotten or reused.
IrpRecord *FindIrp(const IRP *irp, uint64_t serial);
IrpRecord *FindIrp(const IRP *irp);
// Frees an IRP the I/O manager built, once its request has ended.
void FreeIrp(PIRP irp);

// Sets SL_PENDING_RETURNED on the current location and records it for the frames
// running there. `routine` names the caller in a report.
void MarkPending(PIRP irp, const char *routine);

// The device record for a live device object (not deleted), or NULL.
DeviceRecord *FindDevice(PDEVICE_OBJECT device);
// True for a device object that IoDeleteDevice has deleted, whether its memory is
// still referenced or already freed and kept poisoned (lock held).
bool DeviceDeletedLocked(PDEVICE_OBJECT device);
// Reports DeviceUsedAfterDelete when the device completing `irp` (the one at its
// current location) was deleted outside that IRP's own dispatch (lock held).
void CheckCompleterLiveLocked(PIRP irp, uint64_t serial);
// Frees a deleted device's memory once nothing references it (lock held).
void MaybeFreeDeviceLocked(PDEVICE_OBJECT device);

// Remove-lock records inside [begin, begin+length) (a device being deleted).
void CheckRemoveLocksIn(const void *begin, size_t length, const char *owner);

// Creates the driver object and calls `entry` (LoadDriver, LoadDriverImage). `image`
// is the mapped file the entry point lies in, or NULL for a driver linked into the
// process; the driver object keeps it until the driver is unloaded.
NTSTATUS LoadDriverBlock(PDRIVER_INITIALIZE entry, const std::u16string &serviceName, PDRIVER_OBJECT *out,
                         std::shared_ptr<LoadedImage> image);
// Unmaps a driver's image once nothing of the driver can run (loader.cpp).
void UnmapDriverImage(std::shared_ptr<LoadedImage> image);
// Sets DriverStart and DriverSize to the mapping (loader.cpp).
void SetImageRange(PDRIVER_OBJECT driver, const LoadedImage &image);

// Short names of major functions for messages and DriverCall labels.
const char *MajorName(UCHAR major);

// ---- the request hook (trace.cpp)
// The driver whose requests are observed, or NULL: the one atomic load on the paths
// of IoCallDriver and IoCompleteRequest when nothing is observed.
PDRIVER_OBJECT TracedDriver();
// Changes whenever the observer does; an event recorded under an earlier one is dropped.
uint64_t TraceGeneration();
// The events of an IofCallDriver to `device` at the IRP's new current location (lock
// held, the location already set): records the Leave or CameBack to come in `record`
// and returns the Enter or SendDown to emit once the lock is released (none: the
// request is not the observed driver's).
bool TraceCallLocked(PIRP irp, IrpRecord &record, PDEVICE_OBJECT device, PDRIVER_OBJECT driver,
                     RequestEvent *event, uint64_t *generation);
// Takes the events recorded for `location` out of `record`, the latest first (lock
// held); finished with the IRP's IoStatus by TraceCompletion once the lock is released.
void TakeTracedLocked(IrpRecord &record, int location, std::vector<TracedLocation> *out);
void TraceCompletion(PIRP irp, std::vector<TracedLocation> &taken);
// Fills the thread, IRQL and time and calls the observer when it is still the one the
// event was recorded for. No I/O manager lock may be held.
void EmitRequestEvent(RequestEvent &event, PDRIVER_OBJECT driver, uint64_t generation);

// Clears the per-file records and the remove-lock records (part of Reset).
void ResetRequests();

}  // namespace sim::io::detail

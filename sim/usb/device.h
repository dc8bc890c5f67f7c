// A USB function on the simulated bus: its physical device object (PDO), which answers
// IOCTL_INTERNAL_USB_SUBMIT_URB as the USB bus driver does, the pipes of the selected
// configuration, the phone side of each endpoint (data waiting toward the host, a model
// that receives what the host writes), fault injection, and the bus's own completion
// thread.
//
// Threads: URBs arrive in the sender's context at PASSIVE_LEVEL up to DISPATCH_LEVEL.
// Descriptor, select-configuration and reset-pipe requests complete in that context
// before IoCallDriver returns. Bulk transfers and abort-pipe requests are marked pending
// (STATUS_PENDING returned) and completed later by the bus thread ("usb bus") at
// DISPATCH_LEVEL, each completion inside a ke::DriverCall, so completion routines race
// with the submitting threads as they do on Windows. A pending transfer has a cancel
// routine: IoCancelIrp completes it with STATUS_CANCELLED from the canceller's context.
// Every other routine here is for tests and phone models, from any thread at
// PASSIVE_LEVEL (models: also from the bus thread, see Model).
//
// Results the model chooses where Windows documents none precisely:
//   cancelled (abort, IoCancelIrp, reselection)  STATUS_CANCELLED / USBD_STATUS_CANCELED
//   stalled endpoint                             STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID
//   short IN transfer without SHORT_TRANSFER_OK  STATUS_UNSUCCESSFUL / USBD_STATUS_ERROR_SHORT_TRANSFER
//   packet larger than the space left (babble)   STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DATA_OVERRUN
//   unplugged device                             STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE
//   unknown pipe handle                          STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PIPE_HANDLE
//   other URB function                           STATUS_NOT_SUPPORTED / USBD_STATUS_INVALID_URB_FUNCTION
//   transfer longer than MaximumTransferSize     STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PARAMETER
//   pending when the device is set to D1..D3     STATUS_CANCELLED / USBD_STATUS_CANCELED
//   submitted while the device is in D1..D3      STATUS_DEVICE_NOT_READY / USBD_STATUS_NOT_ACCESSED
// IoStatus.Information is 0 for every URB; the moved length is in the URB.
//
// Not modelled: MDLs (TransferBufferMDL must be NULL), chained URBs (UrbLink),
// control, interrupt-endpoint timing and isochronous transfers, string descriptors
// (requested descriptors the device lacks are stalled), select-interface, data toggles,
// selective suspend and remote wake-up (IRP_MN_WAIT_WAKE fails with
// STATUS_NOT_SUPPORTED), several functions sharing one hub's bandwidth.
//
// Power: the PDO completes IRP_MN_QUERY_POWER and IRP_MN_SET_POWER (system and device)
// with the status set by SetPowerStatus, success by default, after PoStartNextPowerIrp.
// A device set to D1, D2 or D3 suspends its port as a host controller does: the
// transfers pending then complete as cancelled (on the bus thread, before the set
// request completes) and new ones fail at once until a set to D0; the pipes, their
// halts and the data queued by the phone are kept.
#pragma once

#include "kernel/kernel.h"
#include "sim/usb/bus_timing.h"
#include "sim/usb/descriptors.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim::usb {

class Device;

// What sits behind the pipes: the phone's firmware. Its USB controller collects the
// packets of OUT transfers in a receive buffer and hands the firmware what it holds
// when a short packet (a zero-length one included) ends a transfer or when the buffer
// is full, as a device controller does: so bytes the host sent without a terminating
// packet stay at the phone (HeldAtPhone) until more come. Written() is called on the
// bus thread at DISPATCH_LEVEL, once per such hand-over (in order, before the transfer
// that caused it completes to its sender), with no bus lock held, so a model may call
// Device::Send at once. It must not block.
class Model {
public:
    virtual ~Model() = default;
    // The phone's controller hands over `data` received on `endpoint` (empty: a
    // zero-length packet that followed nothing).
    virtual void Written(Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) = 0;
    // The device lets go of the model: SetModel replaced it, or the Device is being
    // destroyed (its bus thread already stopped, so no Written follows; its members and
    // PDO still there). A model that calls Device::Send from threads of its own must have
    // stopped using `device` when this returns. Called with no bus lock held.
    virtual void Detached(Device &device) { (void)device; }
};

class Device {
public:
    // Creates the PDO (a device object of the USB bus driver, which is loaded once per
    // platform generation), registers it as a device node under `instanceId` and starts
    // the bus thread. The device is plugged in and not configured.
    Device(DescriptorSet descriptors, std::u16string instanceId);
    // Fails every transfer still pending as an unplug does, stops the bus thread,
    // unregisters the device node and deletes the PDO (nothing may be attached to it).
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The Device a PDO belongs to, or NULL for any other device object.
    static Device *From(PDEVICE_OBJECT device);
    // "USB\VID_vvvv&PID_pppp&MI_ii\<serial>", the form of a composite device's child.
    static std::u16string InstanceIdFor(USHORT vendorId, USHORT productId, UCHAR interfaceNumber,
                                        const std::u16string &serial = u"6&1a2b3c4d&0&0007");
    const DescriptorSet &Descriptors() const { return descriptors_; }

    // The phone behind the pipes; none by default (OUT data is accepted and dropped).
    // The model replaced is told (Model::Detached).
    void SetModel(std::shared_ptr<Model> model);

    // ---- data toward the host
    // Queues one IN transfer's worth of data on `inEndpoint`: full packets of the
    // endpoint's maximum packet size, then one short packet (zero-length when the chunk
    // is a multiple of it, an empty chunk included), so that an IN transfer large
    // enough returns exactly this chunk. A smaller transfer takes whole packets and
    // leaves the rest for the next one. Wakes a pending IN transfer (auto mode).
    void Send(UCHAR inEndpoint, const std::vector<uint8_t> &chunk);
    // Packets queued on `inEndpoint` and not yet taken by a transfer.
    size_t QueuedPackets(UCHAR inEndpoint);

    // ---- data toward the phone
    // Size of the phone controller's receive buffer on an OUT endpoint: a multiple of
    // the endpoint's packet size (rounded up). By default kReceiveBuffer.
    static constexpr size_t kReceiveBuffer = 16384;
    void SetReceiveBuffer(UCHAR outEndpoint, size_t bytes);
    // Bytes the phone's controller took on `outEndpoint` and has not handed over yet,
    // for want of a short or zero-length packet.
    size_t HeldAtPhone(UCHAR outEndpoint);

    // ---- manual mode
    // In manual mode no bulk transfer completes by itself: each stays pending until the
    // test completes it with CompleteNext (abort, cancellation and unplug still end
    // them). Switching back to auto mode lets the bus thread complete what it can.
    void SetManual(bool manual);

    // Runs `hook` on the submitting thread each time a bulk transfer reaches the bus,
    // before the bus looks at it, with no bus lock held: the window between a driver's
    // decision to send a transfer and the transfer being pending, for tests of what
    // may happen in it. An empty function removes it.
    void SetArrivalHook(std::function<void(UCHAR endpoint)> hook);
    // Runs `hook` on the bus thread each time the bus is done with a bulk transfer
    // (its last slot has ended), before the transfer's completion routine runs: with
    // the arrival hook, the software path from one completion to the next transfer.
    void SetCompletionHook(std::function<void(UCHAR endpoint)> hook);

    struct Pending {
        uint64_t id;          // submission order over the device, from 1
        UCHAR endpoint;
        bool in;
        ULONG length;         // TransferBufferLength asked for
        ULONG flags;          // TransferFlags
        PIRP irp;
        PURB urb;
    };
    // Transfers pending on an endpoint, oldest first.
    std::vector<Pending> PendingOn(UCHAR endpoint);
    size_t PendingCount(UCHAR endpoint);

    // Completes the oldest pending transfer on `endpoint` as the phone would in auto
    // mode (queued data, faults, stall). False when none is pending or an IN transfer
    // finds no data waiting (it stays pending). Returns after its completion routines
    // have run on the bus thread.
    bool CompleteNext(UCHAR endpoint);

    // A completion of the test's choosing. IN: `data` (at most the transfer's length)
    // is copied to the buffer. OUT: `length` bytes (default: all) are taken from the
    // buffer and shown to the model when `status` is a success. TransferBufferLength is
    // set to the bytes moved (or to `reported`, a faulty lower driver's count of them),
    // Hdr.Status to `usbd`, the IRP's status to `status`.
    struct Result {
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        std::vector<uint8_t> data;
        std::optional<ULONG> length;
        std::optional<ULONG> reported;
    };
    bool CompleteNext(UCHAR endpoint, const Result &result);

    // ---- faults
    struct Fault {
        enum class Kind { Status, Short, Stall, Unplug };
        Kind kind = Kind::Status;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        USBD_STATUS usbd = USBD_STATUS_DEV_NOT_RESPONDING;
        ULONG shortLength = 0;

        // The transfer fails with these statuses, moving nothing.
        static Fault Error(NTSTATUS status, USBD_STATUS usbd);
        // The transfer ends after `length` bytes: an IN transfer as if the phone sent a
        // short packet there (what it would have sent after it stays queued), an OUT
        // transfer with only those bytes taken (a success).
        static Fault Short(ULONG length);
        // The endpoint halts: this transfer and every later one fail with
        // USBD_STATUS_STALL_PID until a reset-pipe request clears it.
        static Fault Stall();
        // The phone is unplugged (see Unplug) as this transfer would complete.
        static Fault Unplug();
    };
    // The next `count` transfers completed on `endpoint` meet `fault`, in turn after any
    // armed before. Errors, stalls and unplugs strike as soon as the transfer is
    // looked at (an IN transfer does not wait for data); a short IN transfer waits for data.
    void FailNext(UCHAR endpoint, int count, const Fault &fault);
    // Every transfer on `endpoint` meets `fault` until ClearFaults.
    void FailAlways(UCHAR endpoint, const Fault &fault);
    void ClearFaults(UCHAR endpoint);
    // Halts the endpoint now, as a stall fault would.
    void Halt(UCHAR endpoint);
    bool Halted(UCHAR endpoint);

    // The cable is pulled: every pending transfer completes with
    // STATUS_DEVICE_NOT_CONNECTED (on the bus thread, before this returns) and every
    // later URB fails with it at once. The PDO stays until the Device is destroyed;
    // telling the PnP manager is its caller's business.
    void Unplug();
    bool Unplugged();

    // ---- power
    // The status the PDO completes power query and set requests with (a failing set
    // changes nothing).
    void SetPowerStatus(NTSTATUS status);
    // The device power state of the last successful device set request (D0 at first).
    DEVICE_POWER_STATE PowerState();

    // ---- timing
    // Every transfer that moves packets takes its slots on the bus (bus_timing.h), in
    // virtual and in real time. With the timing model on, under real time, a transfer
    // also completes no earlier than its last slot ends. Off by default (tests use
    // virtual time and manual mode).
    void UseTimingModel(bool enabled);
    // What the bus carried per pipe since the device was plugged or ResetSlots.
    SlotCounts Slots();
    void ResetSlots();

    // ---- observations
    // Returns once the bus thread has nothing left to do: every completion that can
    // happen without new data or a test's decision has run. Not from the bus thread
    // (a model or a completion routine), which would wait for itself; CompleteNext and
    // Unplug, called there, run at once instead of waiting for the thread.
    void WaitIdle();
    // bConfigurationValue of the selected configuration, 0 when unconfigured.
    UCHAR Configuration();
    // Pipe handle of an endpoint of the selected configuration, NULL when it has none.
    USBD_PIPE_HANDLE PipeFor(UCHAR endpoint);
    struct Counters {
        int transfers = 0;      // bulk transfers submitted
        int completed = 0;      // bulk transfers completed (any status)
        int aborts = 0;         // abort-pipe requests
        int resets = 0;         // reset-pipe requests
        int selects = 0;        // select-configuration requests that succeeded
        int descriptors = 0;    // descriptor requests
    };
    Counters Count();

private:
    struct Transfer;
    struct Pipe;
    struct EndpointState;
    struct Job;
    struct Outcome;

    static DRIVER_DISPATCH Dispatch;
    static DRIVER_CANCEL CancelTransfer;
    static void OnRelease(const void *begin, size_t length, const char *owner);

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    NTSTATUS BulkTransfer(PIRP irp, PURB urb);
    NTSTATUS Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd);
    NTSTATUS Power(PIRP irp);

    // Bus thread and its jobs.
    void Post(std::function<void()> job);
    void PostAndWait(std::function<void()> job);
    void BusThread();
    void Pump(UCHAR endpoint);
    bool CompleteOne(UCHAR endpoint, const Result *chosen, bool byTest);
    void CompleteTransfer(Transfer &transfer, const Outcome &outcome);
    std::vector<std::vector<uint8_t>> ReceiveLocked(EndpointState &state, UCHAR endpoint,
                                                    const Outcome &outcome);
    void FailPendingLocked(std::vector<Transfer> &out, const std::function<bool(const Transfer &)> &which);
    void CompleteAll(std::vector<Transfer> &transfers, NTSTATUS status, USBD_STATUS usbd);

    EndpointState &EndpointLocked(UCHAR endpoint);
    USHORT MaxPacketLocked(UCHAR endpoint);
    bool TakeOwnershipLocked(Transfer &transfer);
    std::optional<Outcome> ResolveLocked(Transfer &transfer, EndpointState &state, bool &unplug);
    void CheckReleased(const void *begin, size_t length, const char *owner);

    DescriptorSet descriptors_;
    std::u16string instanceId_;
    PDEVICE_OBJECT pdo_ = nullptr;
    uint64_t generation_ = 0;

    std::mutex lock_;   // everything below; never held while driver code runs
    std::shared_ptr<Model> model_;
    bool manual_ = false;
    std::function<void(UCHAR endpoint)> arrivalHook_;
    std::function<void(UCHAR endpoint)> completionHook_;
    bool unplugged_ = false;
    NTSTATUS powerStatus_ = STATUS_SUCCESS;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    bool timing_ = false;
    BusTiming bus_;
    UCHAR configuration_ = 0;
    void *configurationHandle_ = nullptr;
    std::map<void *, std::unique_ptr<Pipe>> pipes_;        // by pipe handle
    std::map<UCHAR, std::unique_ptr<EndpointState>> endpoints_;
    uint64_t nextTransferId_ = 1;
    Counters counters_;

    std::mutex jobLock_;
    std::condition_variable jobQueued_;   // the bus thread: a job, or stopping
    std::condition_variable jobDone_;     // PostAndWait and WaitIdle: a job ran
    std::deque<std::function<void()>> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// ---- phone models

// Echoes what the phone receives on `out` back on `in`, each hand-over (see Model) as
// one chunk (see Device::Send): what the host writes comes back in packets of the
// endpoint's size, a short packet ending each echoed chunk.
class Loopback : public Model {
public:
    Loopback(UCHAR in, UCHAR out) : in_(in), out_(out) {}
    void Written(Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) override;

private:
    UCHAR in_;
    UCHAR out_;
};

// A phone a test speaks for: Push queues chunks toward the host (each one what one
// large enough IN transfer returns), and what the phone's controller handed over from
// the OUT transfers is kept with its boundaries (see Model).
class Scripted : public Model {
public:
    Scripted(Device &device, UCHAR in, UCHAR out) : device_(device), in_(in), out_(out) {}
    void Push(const std::vector<uint8_t> &chunk);
    void Push(const std::string &text);
    // Every hand-over seen so far, in order; and their bytes run together.
    std::vector<std::vector<uint8_t>> Transfers();
    std::vector<uint8_t> Bytes();
    void Written(Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) override;

private:
    Device &device_;
    UCHAR in_;
    UCHAR out_;
    std::mutex lock_;
    std::vector<std::vector<uint8_t>> transfers_;
};

}  // namespace sim::usb

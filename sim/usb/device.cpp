// The USB function's PDO: its bus driver object, creation and deletion with the device
// node, the dispatch routine (URBs, PnP, power), and the URBs that complete in the
// sender's context: descriptor requests, select-configuration and reset-pipe. Abort-pipe
// is handed to the bus thread (transfers.cpp) so that the transfers it cancels complete
// before it does.
//
// Context: dispatch in the sender's thread at PASSIVE_LEVEL up to DISPATCH_LEVEL.
// select-configuration and reset-pipe are documented for PASSIVE_LEVEL callers only.
#include "sim/usb/internal.h"

#include "sim/cm/cm.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <cstddef>
#include <cstring>
#include <set>

namespace sim::usb {

using verifier::Report;
using verifier::Rule;

namespace detail {

std::atomic<long> g_pendingTransfers{0};

void *NewHandle()
{
    static std::atomic<uint64_t> next{1};
    return reinterpret_cast<void *>(0xFFFFE00000000000ull + (next++ << 4));
}

}  // namespace detail

namespace {

// Two locks: the release observer runs inside ExFreePool, which loading the driver
// may call, so the set of live devices has a lock of its own.
std::mutex g_driverLock;
std::mutex g_liveLock;
PDRIVER_OBJECT g_driver = nullptr;
uint64_t g_generation = 0;
std::set<Device *> &Live()
{
    static auto *live = new std::set<Device *>;
    return *live;
}

DRIVER_INITIALIZE BusEntry;

NTSTATUS BusEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

// Size of the select request for interfaces with these endpoint counts, as
// GET_SELECT_CONFIGURATION_REQUEST_SIZE computes it.
size_t InterfaceSize(size_t endpoints)
{
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + endpoints * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

Device::Device(DescriptorSet descriptors, std::u16string instanceId)
    : descriptors_(std::move(descriptors)), instanceId_(std::move(instanceId)),
      bus_(descriptors_.speed)
{
    static const int observer = ke::AddReleaseObserver(OnRelease);
    (void)observer;
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(g_driverLock);
        if (g_driver == nullptr || g_generation != io::Generation()) {
            io::LoadDriver(BusEntry, u"simusb", &g_driver);
            g_generation = io::Generation();
            for (PDRIVER_DISPATCH &dispatch : g_driver->MajorFunction) {
                dispatch = Dispatch;
            }
        }
        driver = g_driver;
        generation_ = g_generation;
    }
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device *), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pdo_);
    if (!NT_SUCCESS(status)) {
        // Without memory the device simply does not appear (the PnP manager reports
        // nothing plugged); any other failure is the platform's own fault.
        if (status != STATUS_INSUFFICIENT_RESOURCES) {
            Report(Rule::InvalidParameter, "usb: no PDO (0x%08x)", (unsigned)status);
        }
        pdo_ = nullptr;
        return;
    }
    *static_cast<Device **>(pdo_->DeviceExtension) = this;
    pdo_->Flags |= DO_POWER_PAGABLE;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    cm::RegisterDevice(pdo_, instanceId_);
    {
        std::lock_guard<std::mutex> guard(g_liveLock);
        Live().insert(this);
    }
    thread_ = ke::sched::Start("usb bus", [this] { BusThread(); });
}

Device::~Device()
{
    // What is still pending ends as if the cable were pulled, from the bus thread.
    std::vector<Transfer> left;
    {
        std::lock_guard<std::mutex> guard(lock_);
        FailPendingLocked(left, [](const Transfer &) { return true; });
    }
    if (!left.empty()) {
        PostAndWait([&] { CompleteAll(left, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE); });
    }
    {
        std::lock_guard<std::mutex> guard(jobLock_);
        stopping_ = true;
    }
    jobQueued_.notify_one();
    if (thread_.joinable()) {
        ke::sched::Join(thread_, "the bus thread");
    }
    // A model with threads of its own (a phone behind a socket) may be sending at this
    // moment; once told, it sends no more, and what it sent meanwhile stays queued.
    std::shared_ptr<Model> model;
    {
        std::lock_guard<std::mutex> guard(lock_);
        model = std::move(model_);
    }
    if (model) {
        model->Detached(*this);
    }
    {
        std::lock_guard<std::mutex> guard(g_liveLock);
        Live().erase(this);
    }
    // After a platform restart the device object and the device node are gone already.
    if (pdo_ != nullptr && io::Generation() == generation_) {
        cm::UnregisterDevice(pdo_);
        *static_cast<Device **>(pdo_->DeviceExtension) = nullptr;
        IoDeleteDevice(pdo_);
    }
}

Device *Device::From(PDEVICE_OBJECT device)
{
    if (device == nullptr || device->DriverObject == nullptr ||
        device->DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] != Dispatch) {
        return nullptr;
    }
    return *static_cast<Device **>(device->DeviceExtension);
}

std::u16string Device::InstanceIdFor(USHORT vendorId, USHORT productId, UCHAR interfaceNumber,
                                     const std::u16string &serial)
{
    char text[64];
    snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X&MI_%02X\\", vendorId, productId,
             interfaceNumber);
    std::u16string id(text, text + strlen(text));
    return id + serial;
}

void Device::OnRelease(const void *begin, size_t length, const char *owner)
{
    if (detail::g_pendingTransfers.load() == 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_liveLock);
    for (Device *device : Live()) {
        device->CheckReleased(begin, length, owner);
    }
}

// ---- dispatch

NTSTATUS Device::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    Device *self = From(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (self == nullptr) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    switch (sp->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            return self->SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
        }
        if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS &&
            sp->Parameters.Others.Argument1 != nullptr) {
            std::lock_guard<std::mutex> guard(self->lock_);
            *static_cast<ULONG *>(sp->Parameters.Others.Argument1) =
                self->unplugged_ ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MJ_PNP:
        // A PDO succeeds the state changes and answers capabilities; any other minor
        // keeps the status it arrived with, as a bus driver that does not handle it must.
        status = irp->IoStatus.Status;
        switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = 1;
            caps->SurpriseRemovalOK = 1;
            caps->UniqueID = 0;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++) {
                caps->DeviceState[s] = PowerDeviceD3;
            }
            caps->SystemWake = PowerSystemUnspecified;
            caps->DeviceWake = PowerDeviceUnspecified;
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;
        }
        break;
    case IRP_MJ_POWER:
        return self->Power(irp);
    default:
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A device set out of D0 suspends the port: what is pending completes as cancelled
// before the set request completes, and BulkTransfer refuses new transfers until D0.
NTSTATUS Device::Power(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
        std::vector<Transfer> suspended;
        {
            std::lock_guard<std::mutex> guard(lock_);
            status = powerStatus_;
            if (NT_SUCCESS(status) && sp->MinorFunction == IRP_MN_SET_POWER &&
                sp->Parameters.Power.Type == DevicePowerState) {
                power_ = sp->Parameters.Power.State.DeviceState;
                if (power_ != PowerDeviceD0) {
                    FailPendingLocked(suspended, [](const Transfer &) { return true; });
                }
            }
        }
        if (!suspended.empty()) {
            PostAndWait([&] { CompleteAll(suspended, STATUS_CANCELLED, USBD_STATUS_CANCELED); });
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Device::SetPowerStatus(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(lock_);
    powerStatus_ = status;
}

DEVICE_POWER_STATE Device::PowerState()
{
    std::lock_guard<std::mutex> guard(lock_);
    return power_;
}

NTSTATUS Device::Finish(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd)
{
    urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Device::SubmitUrb(PIRP irp, PURB urb)
{
    if (urb == nullptr) {
        Report(Rule::InvalidParameter, "usb: IOCTL_INTERNAL_USB_SUBMIT_URB without a URB (IRP %p)",
               (void *)irp);
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(irp, urb);
    default:
        return Finish(irp, urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// Reports a header length that is not the one the function requires; true when the
// URB is too short to be read as that function's record.
static bool LengthTooShort(PURB urb, size_t required, const char *function)
{
    if (urb->UrbHeader.Length == required) {
        return false;
    }
    Report(Rule::UrbLengthMismatch, "usb: %s URB %p has Hdr.Length %u, the function requires %zu",
           function, (void *)urb, (unsigned)urb->UrbHeader.Length, required);
    return urb->UrbHeader.Length < required;
}

NTSTATUS Device::GetDescriptor(PIRP irp, PURB urb)
{
    if (LengthTooShort(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), "descriptor request")) {
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    auto &request = urb->UrbControlDescriptorRequest;
    std::vector<uint8_t> source;
    {
        std::unique_lock<std::mutex> held(lock_);
        counters_.descriptors++;
        if (unplugged_) {
            held.unlock();  // completion routines run with no bus lock held
            return Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        }
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(&descriptors_.device);
            source.assign(bytes, bytes + sizeof(USB_DEVICE_DESCRIPTOR));
        } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                   request.Index < descriptors_.configurations.size()) {
            source = descriptors_.configurations[request.Index];
        }
    }
    if (source.empty()) {
        // A device answers a request for a descriptor it does not have with a stall.
        request.TransferBufferLength = 0;
        return Finish(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    if (request.TransferBufferMDL != nullptr ||
        (request.TransferBuffer == nullptr && request.TransferBufferLength != 0)) {
        Report(Rule::InvalidParameter, "usb: descriptor request URB %p without a TransferBuffer%s",
               (void *)urb, request.TransferBufferMDL != nullptr ? " (MDLs are not modelled)" : "");
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    // The device sends at most what was asked for: a partial read is not an error.
    const ULONG moved = std::min<ULONG>(request.TransferBufferLength, (ULONG)source.size());
    memcpy(request.TransferBuffer, source.data(), moved);
    request.TransferBufferLength = moved;
    return Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS Device::SelectConfiguration(PIRP irp, PURB urb)
{
    if (ke::CurrentIrql() != PASSIVE_LEVEL) {
        Report(Rule::InvalidParameter, "usb: select-configuration at IRQL %d", ke::CurrentIrql());
    }
    auto &select = urb->UrbSelectConfiguration;
    std::vector<Transfer> closed;
    if (select.ConfigurationDescriptor == nullptr) {
        LengthTooShort(urb, sizeof(_URB_SELECT_CONFIGURATION), "deconfiguring select-configuration");
        {
            std::unique_lock<std::mutex> held(lock_);
            if (unplugged_) {
                held.unlock();  // completion routines run with no bus lock held
                return Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
            }
            FailPendingLocked(closed, [](const Transfer &) { return true; });
            pipes_.clear();
            configuration_ = 0;
            configurationHandle_ = nullptr;
        }
        if (!closed.empty()) {
            Post([this, closed]() mutable { CompleteAll(closed, STATUS_CANCELLED, USBD_STATUS_CANCELED); });
        }
        select.ConfigurationHandle = nullptr;
        return Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }

    const PUSB_CONFIGURATION_DESCRIPTOR asked = select.ConfigurationDescriptor;
    const std::vector<uint8_t> *configuration = nullptr;
    for (const auto &block : descriptors_.configurations) {
        if (block.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && block[5] == asked->bConfigurationValue) {
            configuration = &block;
        }
    }
    if (configuration == nullptr || asked->bNumInterfaces == 0) {
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }
    const std::vector<InterfaceInfo> interfaces = ParseInterfaces(*configuration);

    // First pass: find each interface the request names (one information record per
    // interface of the descriptor the caller passed, each stepping by its own Length)
    // and the size the request must have.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceInfo *>> chosen;
    size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t required = offset;
    for (UCHAR i = 0; i < asked->bNumInterfaces; i++) {
        if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb->UrbHeader.Length) {
            Report(Rule::UrbLengthMismatch,
                   "usb: select-configuration URB %p has Hdr.Length %u, too short for interface "
                   "record %u of %u", (void *)urb, (unsigned)urb->UrbHeader.Length, (unsigned)i,
                   (unsigned)asked->bNumInterfaces);
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(urb) + offset);
        const InterfaceInfo *found = nullptr;
        for (const auto &candidate : interfaces) {
            if (candidate.number == info->InterfaceNumber && candidate.alternate == info->AlternateSetting) {
                found = &candidate;
            }
        }
        if (found == nullptr) {
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        const size_t size = InterfaceSize(found->endpoints.size());
        if (info->Length < size) {
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        chosen.emplace_back(info, found);
        required += size;
        offset += info->Length;
    }
    const size_t selectSize = std::max(required, sizeof(_URB_SELECT_CONFIGURATION));
    if (urb->UrbHeader.Length != selectSize) {
        Report(Rule::UrbLengthMismatch,
               "usb: select-configuration URB %p has Hdr.Length %u, its interfaces require %zu",
               (void *)urb, (unsigned)urb->UrbHeader.Length, selectSize);
        if (urb->UrbHeader.Length < offset) {
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
    }

    // Second pass: open the pipes and fill the records in.
    std::map<void *, std::unique_ptr<Pipe>> pipes;
    for (auto &[info, found] : chosen) {
        info->Class = found->interfaceClass;
        info->SubClass = found->subClass;
        info->Protocol = found->protocol;
        info->InterfaceHandle = detail::NewHandle();
        info->NumberOfPipes = (ULONG)found->endpoints.size();
        for (size_t j = 0; j < found->endpoints.size(); j++) {
            const EndpointInfo &ep = found->endpoints[j];
            USBD_PIPE_INFORMATION &p = info->Pipes[j];
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = ep.address;
            pipe->type = ep.type;
            pipe->maxPacketSize = ep.maxPacketSize;
            pipe->interval = ep.interval;
            // The caller's limit for each transfer is kept and enforced; 0 means none.
            pipe->maxTransferSize = p.MaximumTransferSize == 0 ? USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE
                                                               : p.MaximumTransferSize;
            p.MaximumPacketSize = ep.maxPacketSize;
            p.EndpointAddress = ep.address;
            p.Interval = ep.interval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(ep.type);
            p.PipeHandle = detail::NewHandle();
            p.MaximumTransferSize = pipe->maxTransferSize;
            pipes[p.PipeHandle] = std::move(pipe);
        }
    }
    {
        std::unique_lock<std::mutex> held(lock_);
        if (unplugged_) {
            held.unlock();  // completion routines run with no bus lock held
            return Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        }
        // Selecting a configuration closes every pipe of the previous one.
        FailPendingLocked(closed, [](const Transfer &) { return true; });
        pipes_ = std::move(pipes);
        configuration_ = asked->bConfigurationValue;
        configurationHandle_ = detail::NewHandle();
        select.ConfigurationHandle = configurationHandle_;
        counters_.selects++;
    }
    if (!closed.empty()) {
        Post([this, closed]() mutable { CompleteAll(closed, STATUS_CANCELLED, USBD_STATUS_CANCELED); });
    }
    return Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS Device::PipeRequest(PIRP irp, PURB urb)
{
    const bool abort = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
    if (LengthTooShort(urb, sizeof(_URB_PIPE_REQUEST), abort ? "abort-pipe" : "reset-pipe")) {
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!abort && ke::CurrentIrql() != PASSIVE_LEVEL) {
        Report(Rule::InvalidParameter, "usb: reset-pipe at IRQL %d", ke::CurrentIrql());
    }
    UCHAR endpoint;
    {
        std::unique_lock<std::mutex> held(lock_);
        abort ? counters_.aborts++ : counters_.resets++;
        if (unplugged_) {
            held.unlock();  // completion routines run with no bus lock held
            return Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        }
        auto pipe = pipes_.find(urb->UrbPipeRequest.PipeHandle);
        if (pipe == pipes_.end()) {
            held.unlock();  // completion routines run with no bus lock held
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        endpoint = pipe->second->endpoint;
        if (!abort) {
            // Resetting clears the halt; transfers still pending are left alone.
            EndpointLocked(endpoint).halted = false;
        }
    }
    if (!abort) {
        return Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    // The bus thread ends the pipe's transfers first, then this request.
    IoMarkIrpPending(irp);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    Post([this, irp, urb, endpoint] {
        std::vector<Transfer> aborted;
        {
            std::lock_guard<std::mutex> guard(lock_);
            FailPendingLocked(aborted, [endpoint](const Transfer &t) { return t.endpoint == endpoint; });
        }
        CompleteAll(aborted, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        ke::DriverCall call("usb abort-pipe completion");
        Finish(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    });
    return STATUS_PENDING;
}

// ---- small queries

Device::EndpointState &Device::EndpointLocked(UCHAR endpoint)
{
    auto &state = endpoints_[endpoint];
    if (!state) {
        state = std::make_unique<EndpointState>();
    }
    return *state;
}

USHORT Device::MaxPacketLocked(UCHAR endpoint)
{
    for (const auto &[handle, pipe] : pipes_) {
        if (pipe->endpoint == endpoint) {
            return pipe->maxPacketSize;
        }
    }
    for (const auto &block : descriptors_.configurations) {
        for (const auto &interface : ParseInterfaces(block)) {
            for (const auto &ep : interface.endpoints) {
                if (ep.address == endpoint && ep.maxPacketSize != 0) {
                    return ep.maxPacketSize;
                }
            }
        }
    }
    return USB_DEFAULT_MAX_PACKET;
}

UCHAR Device::Configuration()
{
    std::lock_guard<std::mutex> guard(lock_);
    return configuration_;
}

USBD_PIPE_HANDLE Device::PipeFor(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto &[handle, pipe] : pipes_) {
        if (pipe->endpoint == endpoint) {
            return handle;
        }
    }
    return nullptr;
}

Device::Counters Device::Count()
{
    std::lock_guard<std::mutex> guard(lock_);
    return counters_;
}

void Device::SetModel(std::shared_ptr<Model> model)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::swap(model_, model);
        if (model == model_) {
            return;   // set again: nothing lets go
        }
    }
    if (model) {
        model->Detached(*this);
    }
}

}  // namespace sim::usb

// Bulk transfers: submission, the bus thread that completes them, manual mode, fault
// injection, cancellation, unplugging, the slots each transfer takes on the bus
// (bus_timing.h), and the checks on memory a pending transfer points into.
//
// Context: BulkTransfer in the sender's thread up to DISPATCH_LEVEL; the cancel routine
// in the canceller's thread (entered holding the cancel spin lock); every other
// completion on the bus thread at DISPATCH_LEVEL. A transfer is owned by whoever takes
// its cancel routine away by exchange: the bus (to complete it) or IoCancelIrp.
#include "sim/usb/internal.h"

#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

#include <cstring>

namespace sim::usb {

using verifier::Report;
using verifier::Rule;

namespace {

bool Overlaps(const void *a, size_t aLength, const void *b, size_t bLength)
{
    if (a == nullptr || b == nullptr || aLength == 0 || bLength == 0) {
        return false;
    }
    auto x = reinterpret_cast<uintptr_t>(a);
    auto y = reinterpret_cast<uintptr_t>(b);
    return x < y + bLength && y < x + aLength;
}

constexpr size_t kBulkUrbSize = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);

}  // namespace

// ---- submission

void Device::SetArrivalHook(std::function<void(UCHAR endpoint)> hook)
{
    std::lock_guard<std::mutex> guard(lock_);
    arrivalHook_ = std::move(hook);
}

void Device::SetCompletionHook(std::function<void(UCHAR endpoint)> hook)
{
    std::lock_guard<std::mutex> guard(lock_);
    completionHook_ = std::move(hook);
}

NTSTATUS Device::BulkTransfer(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length != kBulkUrbSize) {
        Report(Rule::UrbLengthMismatch, "usb: bulk transfer URB %p has Hdr.Length %u, the function "
               "requires %zu", (void *)urb, (unsigned)urb->UrbHeader.Length, kBulkUrbSize);
        if (urb->UrbHeader.Length < kBulkUrbSize) {
            return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
    }
    auto &bulk = urb->UrbBulkOrInterruptTransfer;
    const bool in = USBD_TRANSFER_DIRECTION_FLAG(bulk.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    std::unique_lock<std::mutex> held(lock_);
    if (arrivalHook_) {
        auto hook = arrivalHook_;
        auto found = pipes_.find(bulk.PipeHandle);
        const UCHAR endpoint = found != pipes_.end() ? found->second->endpoint : 0;
        held.unlock();
        hook(endpoint);
        held.lock();
    }
    if (unplugged_) {
        held.unlock();
        return Finish(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    if (power_ != PowerDeviceD0) {
        held.unlock();
        return Finish(irp, urb, STATUS_DEVICE_NOT_READY, USBD_STATUS_NOT_ACCESSED);
    }
    auto found = pipes_.find(bulk.PipeHandle);
    if (found == pipes_.end()) {
        held.unlock();
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    const Pipe &pipe = *found->second;
    const char *refusal = nullptr;
    if (bulk.TransferBufferMDL != nullptr) {
        refusal = "a TransferBufferMDL (MDLs are not modelled)";
    } else if (bulk.TransferBuffer == nullptr && bulk.TransferBufferLength != 0) {
        refusal = "no TransferBuffer";
    } else if (in != (USB_ENDPOINT_DIRECTION_IN(pipe.endpoint) != 0)) {
        refusal = in ? "the IN direction flag on an OUT pipe" : "the OUT direction on an IN pipe";
    }
    if (refusal != nullptr) {
        held.unlock();
        Report(Rule::InvalidParameter, "usb: bulk transfer URB %p on endpoint 0x%02x with %s",
               (void *)urb, pipe.endpoint, refusal);
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (bulk.TransferBufferLength > pipe.maxTransferSize) {
        held.unlock();
        return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    // The URB and a buffer the bus writes into belong to the bus until completion: a
    // second transfer on either would have the bus write one over the other.
    for (const auto &[address, state] : endpoints_) {
        for (const Transfer &other : state->pending) {
            const bool urbAgain = Overlaps(urb, kBulkUrbSize, other.urb, kBulkUrbSize);
            const bool bufferAgain = (in || other.in) &&
                                     Overlaps(bulk.TransferBuffer, bulk.TransferBufferLength,
                                              other.buffer, other.length);
            if (urbAgain || bufferAgain) {
                held.unlock();
                Report(Rule::UrbBufferFreedInFlight,
                       "usb: bulk transfer (IRP %p) reuses the %s of transfer %llu (IRP %p), still "
                       "pending on endpoint 0x%02x", (void *)irp, urbAgain ? "URB" : "buffer",
                       (unsigned long long)other.id, (void *)other.irp, other.endpoint);
                return Finish(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
        }
    }

    Transfer transfer;
    transfer.id = nextTransferId_++;
    transfer.irp = irp;
    transfer.urb = urb;
    transfer.pipe = bulk.PipeHandle;
    transfer.endpoint = pipe.endpoint;
    transfer.in = in;
    transfer.buffer = bulk.TransferBuffer;
    transfer.length = bulk.TransferBufferLength;
    transfer.flags = bulk.TransferFlags;
    transfer.arrival = BusTiming::Now(!ke::VirtualTime());
    counters_.transfers++;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    bool cancelled;
    {
        // Under lock_: no switch to another thread of a scheduled run here.
        ke::sched::NoSwitch locked;
        IoSetCancelRoutine(irp, CancelTransfer);
        // Cancelled before the routine was set: IoCancelIrp found none to call.
        cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    }
    if (cancelled) {
        counters_.completed++;
        held.unlock();
        Finish(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    EndpointLocked(transfer.endpoint).pending.push_back(transfer);
    detail::g_pendingTransfers++;
    const bool manual = manual_;
    held.unlock();
    if (!manual) {
        const UCHAR endpoint = transfer.endpoint;
        Post([this, endpoint] { Pump(endpoint); });
    }
    return STATUS_PENDING;
}

VOID Device::CancelTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Device *self = From(device);
    Transfer transfer;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        for (auto &[address, state] : self->endpoints_) {
            for (auto it = state->pending.begin(); it != state->pending.end(); ++it) {
                if (it->irp == irp) {
                    transfer = *it;
                    state->pending.erase(it);
                    found = true;
                    break;
                }
            }
            if (found) {
                break;
            }
        }
        if (found) {
            detail::g_pendingTransfers--;
            self->counters_.completed++;
        }
    }
    if (!found) {
        // The routine is cleared from every transfer before it leaves the list.
        Report(Rule::InvalidParameter, "usb: cancel routine for IRP %p, which is not pending", (void *)irp);
        return;
    }
    if (!transfer.urbGone) {
        transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        transfer.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- ownership and outcomes

bool Device::TakeOwnershipLocked(Transfer &transfer)
{
    ke::sched::NoSwitch locked;
    if (IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) {
        transfer.cancelling = true;
        return false;
    }
    return true;
}

void Device::FailPendingLocked(std::vector<Transfer> &out,
                               const std::function<bool(const Transfer &)> &which)
{
    for (auto &[address, state] : endpoints_) {
        for (auto it = state->pending.begin(); it != state->pending.end();) {
            if (!it->cancelling && which(*it) && TakeOwnershipLocked(*it)) {
                out.push_back(*it);
                it = state->pending.erase(it);
                detail::g_pendingTransfers--;
                counters_.completed++;
            } else {
                ++it;
            }
        }
    }
}

void Device::CompleteAll(std::vector<Transfer> &transfers, NTSTATUS status, USBD_STATUS usbd)
{
    for (Transfer &transfer : transfers) {
        Outcome outcome;
        outcome.status = status;
        outcome.usbd = usbd;
        CompleteTransfer(transfer, outcome);
    }
    transfers.clear();
}

void Device::CompleteTransfer(Transfer &transfer, const Outcome &outcome)
{
    if (!transfer.urbGone) {
        transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.reported.value_or(outcome.moved);
        transfer.urb->UrbHeader.Status = outcome.usbd;
    }
    PIRP irp = transfer.irp;
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    ke::DriverCall call("usb transfer completion");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

std::optional<Device::Outcome> Device::ResolveLocked(Transfer &transfer, EndpointState &state,
                                                      bool &unplug)
{
    const Fault *fault = !state.next.empty() ? &state.next.front()
                         : state.always     ? &*state.always
                                            : nullptr;
    const bool fromNext = !state.next.empty();
    Outcome outcome;
    if (fault != nullptr && fault->kind != Fault::Kind::Short) {
        const Fault f = *fault;
        if (fromNext) {
            state.next.pop_front();
        }
        switch (f.kind) {
        case Fault::Kind::Stall:
            state.halted = true;
            outcome.status = STATUS_UNSUCCESSFUL;
            outcome.usbd = USBD_STATUS_STALL_PID;
            break;
        case Fault::Kind::Unplug:
            unplug = true;
            outcome.status = STATUS_DEVICE_NOT_CONNECTED;
            outcome.usbd = USBD_STATUS_DEVICE_GONE;
            break;
        default:
            outcome.status = f.status;
            outcome.usbd = f.usbd;
            break;
        }
        return outcome;
    }
    if (state.halted) {
        outcome.status = STATUS_UNSUCCESSFUL;
        outcome.usbd = USBD_STATUS_STALL_PID;
        return outcome;
    }
    ULONG limit = transfer.length;
    if (fault != nullptr) {   // a short transfer
        limit = std::min(limit, fault->shortLength);
    }
    if (!transfer.in) {
        outcome.moved = limit;
        outcome.packets = bus_.PacketsFor(limit, limit == 0);
        if (!transfer.bufferGone) {
            const auto *bytes = static_cast<const uint8_t *>(transfer.buffer);
            outcome.data.assign(bytes, bytes + limit);
        }
        outcome.deliver = true;
    } else {
        if (state.packets.empty() && transfer.length != 0) {
            return std::nullopt;   // nothing to send yet: the transfer waits
        }
        const USHORT maxPacket = MaxPacketLocked(transfer.endpoint);
        bool overrun = false;
        while (outcome.moved < limit && !state.packets.empty()) {
            std::vector<uint8_t> &packet = state.packets.front();
            const ULONG space = limit - outcome.moved;
            outcome.packets++;
            if (packet.size() > space) {
                outcome.data.insert(outcome.data.end(), packet.begin(), packet.begin() + space);
                outcome.moved += space;
                if (limit < transfer.length) {
                    // Cut short by a fault: the rest of the packet is sent next time.
                    packet.erase(packet.begin(), packet.begin() + space);
                } else {
                    // The phone sent more than the buffer had room for.
                    state.packets.pop_front();
                    overrun = true;
                }
                break;
            }
            outcome.data.insert(outcome.data.end(), packet.begin(), packet.end());
            outcome.moved += (ULONG)packet.size();
            const bool shortPacket = packet.size() < maxPacket;
            state.packets.pop_front();
            if (shortPacket) {
                break;
            }
        }
        if (overrun) {
            outcome.status = STATUS_DEVICE_DATA_ERROR;
            outcome.usbd = USBD_STATUS_DATA_OVERRUN;
        } else if (outcome.moved < transfer.length && !(transfer.flags & USBD_SHORT_TRANSFER_OK)) {
            outcome.status = STATUS_UNSUCCESSFUL;
            outcome.usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
        }
    }
    if (fault != nullptr && fromNext) {
        state.next.pop_front();
    }
    return outcome;
}

// Completes the oldest transfer on the endpoint that the bus may complete; on the bus
// thread. `chosen` is a test's result, otherwise the phone decides; `byTest` lets the
// phone decide in manual mode.
bool Device::CompleteOne(UCHAR endpoint, const Result *chosen, bool byTest)
{
    std::unique_lock<std::mutex> held(lock_);
    if (!byTest && manual_) {
        return false;
    }
    auto state = endpoints_.find(endpoint);
    if (state == endpoints_.end()) {
        return false;
    }
    auto &pending = state->second->pending;
    auto it = pending.begin();
    while (it != pending.end() && it->cancelling) {
        ++it;
    }
    if (it == pending.end()) {
        return false;
    }
    Transfer transfer = *it;
    Outcome outcome;
    bool unplug = false;
    if (chosen != nullptr) {
        outcome.status = chosen->status;
        outcome.usbd = chosen->usbd;
        outcome.reported = chosen->reported;
        if (transfer.in) {
            outcome.moved = std::min<ULONG>(transfer.length, (ULONG)chosen->data.size());
            outcome.data.assign(chosen->data.begin(), chosen->data.begin() + outcome.moved);
            outcome.packets = bus_.PacketsFor(outcome.moved, outcome.moved < transfer.length);
        } else {
            outcome.moved = std::min(transfer.length, chosen->length.value_or(transfer.length));
            outcome.packets = bus_.PacketsFor(outcome.moved, outcome.moved == 0);
            if (!transfer.bufferGone) {
                const auto *bytes = static_cast<const uint8_t *>(transfer.buffer);
                outcome.data.assign(bytes, bytes + outcome.moved);
            }
            outcome.deliver = NT_SUCCESS(chosen->status);
        }
    } else {
        // Decide first without taking anything: an IN transfer with nothing to send
        // stays pending with its cancel routine in place.
        const EndpointState &s = *state->second;
        const Fault *fault = !s.next.empty() ? &s.next.front() : s.always ? &*s.always : nullptr;
        const bool strikes = (fault != nullptr && fault->kind != Fault::Kind::Short) || s.halted;
        if (transfer.in && !strikes && s.packets.empty() && transfer.length != 0) {
            return false;
        }
    }
    if (!TakeOwnershipLocked(*it)) {
        return true;   // its cancel routine completes it; look at the next one
    }
    if (chosen == nullptr) {
        outcome = *ResolveLocked(transfer, *state->second, unplug);
    }
    pending.erase(it);
    detail::g_pendingTransfers--;
    counters_.completed++;
    if (transfer.in && !transfer.bufferGone && outcome.moved > 0) {
        memcpy(transfer.buffer, outcome.data.data(), outcome.moved);
    }
    std::vector<Transfer> gone;
    if (unplug) {
        unplugged_ = true;
        FailPendingLocked(gone, [](const Transfer &) { return true; });
    }
    std::vector<std::vector<uint8_t>> handed;
    if (outcome.deliver) {
        handed = ReceiveLocked(*state->second, endpoint, outcome);
    }
    std::shared_ptr<Model> model = handed.empty() ? nullptr : model_;
    // A transfer the phone refused at once (an error, a stall) carried no data packet.
    int64_t end = -1;
    if (outcome.packets > 0) {
        const int64_t ready = transfer.in && chosen == nullptr ? state->second->readyAt
                                                               : transfer.arrival;
        end = bus_.Carry(endpoint, transfer.in, transfer.arrival, ready, outcome.packets,
                         outcome.moved);
    }
    const bool pace = timing_ && !ke::VirtualTime() && end >= 0;
    std::function<void(UCHAR)> done = completionHook_;
    held.unlock();

    if (pace) {
        BusTiming::WaitUntil(end);
    }
    if (done) {
        done(endpoint);
    }
    if (model) {
        for (const std::vector<uint8_t> &data : handed) {
            model->Written(*this, endpoint, data);
        }
    }
    CompleteTransfer(transfer, outcome);
    CompleteAll(gone, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    return true;
}

// The phone's controller takes an OUT transfer's packets into its receive buffer and
// hands over what it holds when the buffer is full and when a short or zero-length
// packet ends the transfer.
std::vector<std::vector<uint8_t>> Device::ReceiveLocked(EndpointState &state, UCHAR endpoint,
                                                        const Outcome &outcome)
{
    const size_t maxPacket = MaxPacketLocked(endpoint);
    const size_t asked = state.receiveBuffer != 0 ? state.receiveBuffer : kReceiveBuffer;
    const size_t capacity = std::max(maxPacket, (asked + maxPacket - 1) / maxPacket * maxPacket);
    std::vector<std::vector<uint8_t>> handed;
    size_t at = 0;
    while (at < outcome.data.size()) {
        const size_t take = std::min(outcome.data.size() - at, capacity - state.received.size());
        state.received.insert(state.received.end(), outcome.data.begin() + at,
                              outcome.data.begin() + at + take);
        at += take;
        if (state.received.size() == capacity) {
            handed.push_back(std::move(state.received));
            state.received.clear();
        }
    }
    if (outcome.moved % maxPacket != 0 || outcome.moved == 0) {
        handed.push_back(std::move(state.received));
        state.received.clear();
    }
    return handed;
}

void Device::SetReceiveBuffer(UCHAR outEndpoint, size_t bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    EndpointLocked(outEndpoint).receiveBuffer = bytes;
}

size_t Device::HeldAtPhone(UCHAR outEndpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    return EndpointLocked(outEndpoint).received.size();
}

void Device::Pump(UCHAR endpoint)
{
    while (CompleteOne(endpoint, nullptr, false)) {
    }
}

// ---- the bus thread

void Device::BusThread()
{
    ke::NameThread("usb bus");
    ke::SetIrql(DISPATCH_LEVEL);
    std::unique_lock<std::mutex> held(jobLock_);
    for (;;) {
        ke::sched::Wait(held, jobQueued_, [&] { return stopping_ || !jobs_.empty(); }, "a bus job");
        if (jobs_.empty()) {
            break;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        held.unlock();
        job();
        held.lock();
        busy_ = false;
        jobDone_.notify_all();
    }
}

void Device::Post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(jobLock_);
        jobs_.push_back(std::move(job));
    }
    jobQueued_.notify_one();
}

void Device::PostAndWait(std::function<void()> job)
{
    if (std::this_thread::get_id() == thread_.get_id()) {
        job();
        return;
    }
    bool done = false;
    Post([&] {
        job();
        std::lock_guard<std::mutex> guard(jobLock_);
        done = true;
    });
    std::unique_lock<std::mutex> held(jobLock_);
    ke::sched::Wait(held, jobDone_, [&] { return done; }, "its job on the bus thread");
}

void Device::WaitIdle()
{
    std::unique_lock<std::mutex> held(jobLock_);
    ke::sched::Wait(held, jobDone_, [&] { return jobs_.empty() && !busy_; }, "the bus to go idle");
}

// ---- the phone side and the test's controls

void Device::Send(UCHAR inEndpoint, const std::vector<uint8_t> &chunk)
{
    bool manual;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const size_t maxPacket = MaxPacketLocked(inEndpoint);
        EndpointState &state = EndpointLocked(inEndpoint);
        auto &packets = state.packets;
        if (packets.empty()) {
            state.readyAt = BusTiming::Now(!ke::VirtualTime());
        }
        size_t at = 0;
        for (; chunk.size() - at >= maxPacket; at += maxPacket) {
            packets.emplace_back(chunk.begin() + at, chunk.begin() + at + maxPacket);
        }
        packets.emplace_back(chunk.begin() + at, chunk.end());   // short, maybe empty
        manual = manual_;
    }
    if (!manual) {
        Post([this, inEndpoint] { Pump(inEndpoint); });
    }
}

size_t Device::QueuedPackets(UCHAR inEndpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    return EndpointLocked(inEndpoint).packets.size();
}

void Device::SetManual(bool manual)
{
    std::vector<UCHAR> endpoints;
    {
        std::lock_guard<std::mutex> guard(lock_);
        manual_ = manual;
        for (const auto &[address, state] : endpoints_) {
            endpoints.push_back(address);
        }
    }
    if (!manual) {
        for (UCHAR endpoint : endpoints) {
            Post([this, endpoint] { Pump(endpoint); });
        }
    }
}

std::vector<Device::Pending> Device::PendingOn(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Pending> list;
    for (const Transfer &t : EndpointLocked(endpoint).pending) {
        list.push_back(Pending{t.id, t.endpoint, t.in, t.length, t.flags, t.irp, t.urb});
    }
    return list;
}

size_t Device::PendingCount(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    return EndpointLocked(endpoint).pending.size();
}

bool Device::CompleteNext(UCHAR endpoint)
{
    bool completed = false;
    PostAndWait([&] { completed = CompleteOne(endpoint, nullptr, true); });
    return completed;
}

bool Device::CompleteNext(UCHAR endpoint, const Result &result)
{
    bool completed = false;
    PostAndWait([&] { completed = CompleteOne(endpoint, &result, true); });
    return completed;
}

Device::Fault Device::Fault::Error(NTSTATUS status, USBD_STATUS usbd)
{
    Fault f;
    f.kind = Kind::Status;
    f.status = status;
    f.usbd = usbd;
    return f;
}

Device::Fault Device::Fault::Short(ULONG length)
{
    Fault f;
    f.kind = Kind::Short;
    f.shortLength = length;
    return f;
}

Device::Fault Device::Fault::Stall()
{
    Fault f;
    f.kind = Kind::Stall;
    return f;
}

Device::Fault Device::Fault::Unplug()
{
    Fault f;
    f.kind = Kind::Unplug;
    return f;
}

void Device::FailNext(UCHAR endpoint, int count, const Fault &fault)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto &next = EndpointLocked(endpoint).next;
        for (int i = 0; i < count; i++) {
            next.push_back(fault);
        }
    }
    Post([this, endpoint] { Pump(endpoint); });
}

void Device::FailAlways(UCHAR endpoint, const Fault &fault)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        EndpointLocked(endpoint).always = fault;
    }
    Post([this, endpoint] { Pump(endpoint); });
}

void Device::ClearFaults(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    EndpointLocked(endpoint).next.clear();
    EndpointLocked(endpoint).always.reset();
}

void Device::Halt(UCHAR endpoint)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        EndpointLocked(endpoint).halted = true;
    }
    Post([this, endpoint] { Pump(endpoint); });
}

bool Device::Halted(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    return EndpointLocked(endpoint).halted;
}

void Device::Unplug()
{
    PostAndWait([this] {
        std::vector<Transfer> gone;
        {
            std::lock_guard<std::mutex> guard(lock_);
            unplugged_ = true;
            FailPendingLocked(gone, [](const Transfer &) { return true; });
        }
        CompleteAll(gone, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    });
}

bool Device::Unplugged()
{
    std::lock_guard<std::mutex> guard(lock_);
    return unplugged_;
}

void Device::UseTimingModel(bool enabled)
{
    std::lock_guard<std::mutex> guard(lock_);
    timing_ = enabled;
}

SlotCounts Device::Slots()
{
    std::lock_guard<std::mutex> guard(lock_);
    return bus_.Counts();
}

void Device::ResetSlots()
{
    std::lock_guard<std::mutex> guard(lock_);
    bus_.Reset();
}

// ---- memory going away under a pending transfer

void Device::CheckReleased(const void *begin, size_t length, const char *owner)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &[address, state] : endpoints_) {
        for (Transfer &t : state->pending) {
            if (!t.urbGone && Overlaps(begin, length, t.urb, kBulkUrbSize)) {
                t.urbGone = true;
                Report(Rule::UrbBufferFreedInFlight,
                       "usb: %s releases %p, which holds the URB %p of transfer %llu (IRP %p) still "
                       "pending on endpoint 0x%02x", owner, begin, (void *)t.urb,
                       (unsigned long long)t.id, (void *)t.irp, t.endpoint);
            }
            if (!t.bufferGone && Overlaps(begin, length, t.buffer, t.length)) {
                t.bufferGone = true;
                Report(Rule::UrbBufferFreedInFlight,
                       "usb: %s releases %p, which holds the %s buffer %p of transfer %llu (IRP %p) "
                       "still pending on endpoint 0x%02x", owner, begin, t.in ? "IN" : "OUT",
                       t.buffer, (unsigned long long)t.id, (void *)t.irp, t.endpoint);
            }
        }
    }
}

}  // namespace sim::usb

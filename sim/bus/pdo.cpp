// The minimal bus: its driver object (loaded lazily, once per platform reset) and the
// dispatch routine every PDO request goes through. Context: dispatch in the sender's
// context at PASSIVE_LEVEL up to DISPATCH_LEVEL; the cancel routine with the cancel
// spin lock held. A power request is let go with PoStartNextPowerIrp as it arrives,
// as the bus driver at the bottom of a stack does, and then answered like any other.
// Not modelled: bus relations, resources.
#include "sim/bus/pdo.h"

#include "sim/io/io.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

namespace sim::bus {

namespace {

PDRIVER_OBJECT g_driver = nullptr;
uint64_t g_generation = 0;
std::mutex g_driverLock;

DRIVER_INITIALIZE BusEntry;

NTSTATUS BusEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

}  // namespace

Pdo::Pdo()
{
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(g_driverLock);
        if (g_driver == nullptr || g_generation != io::Generation()) {
            io::LoadDriver(BusEntry, u"simbus", &g_driver);
            g_generation = io::Generation();
            for (PDRIVER_DISPATCH &dispatch : g_driver->MajorFunction) {
                dispatch = Dispatch;
            }
        }
        driver = g_driver;
    }
    NTSTATUS status = IoCreateDevice(driver, sizeof(Pdo *), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        verifier::Report(verifier::Rule::InvalidParameter, "bus: no PDO (0x%08x)", (unsigned)status);
        return;
    }
    *static_cast<Pdo **>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

Pdo::~Pdo()
{
    if (device_ != nullptr) {
        *static_cast<Pdo **>(device_->DeviceExtension) = nullptr;
        IoDeleteDevice(device_);
    }
}

Pdo *Pdo::From(PDEVICE_OBJECT device)
{
    if (device == nullptr || device->DriverObject == nullptr ||
        device->DriverObject->MajorFunction[IRP_MJ_PNP] != Dispatch) {
        return nullptr;
    }
    return *static_cast<Pdo **>(device->DeviceExtension);
}

void Pdo::SetStatus(UCHAR major, NTSTATUS status, ULONG_PTR information)
{
    std::lock_guard<std::mutex> guard(lock_);
    answers_[major] = Answer{status, NT_ERROR(status) ? 0 : information};
}

void Pdo::ClearStatus(UCHAR major)
{
    std::lock_guard<std::mutex> guard(lock_);
    answers_.erase(major);
}

void Pdo::Hold(UCHAR major, bool cancelable)
{
    std::lock_guard<std::mutex> guard(lock_);
    hold_[major] = cancelable;
}

PIRP Pdo::TakeHeld()
{
    std::lock_guard<std::mutex> guard(lock_);
    while (!held_.empty()) {
        PIRP irp = held_.front();
        held_.pop_front();
        // A held request without a cancel routine was never cancelable; one whose
        // routine is already gone belongs to that routine.
        const bool cancelable = hold_[IoGetCurrentIrpStackLocation(irp)->MajorFunction];
        sim::ke::sched::NoSwitch locked;   // lock_ is held
        if (!cancelable || IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
    }
    return nullptr;
}

size_t Pdo::HeldCount()
{
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
}

void Pdo::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void Pdo::OnRequest(std::function<void(PIRP)> observer)
{
    std::lock_guard<std::mutex> guard(lock_);
    observer_ = std::move(observer);
}

int Pdo::Count(UCHAR major)
{
    std::lock_guard<std::mutex> guard(lock_);
    return counts_[major];
}

int Pdo::Total()
{
    std::lock_guard<std::mutex> guard(lock_);
    int total = 0;
    for (const auto &[major, count] : counts_) {
        total += count;
    }
    return total;
}

NTSTATUS Pdo::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    Pdo *self = From(device);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    std::function<void(PIRP)> observer;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->counts_[major]++;
        observer = self->observer_;
    }
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
    }
    if (observer) {
        observer(irp);
    }

    std::unique_lock<std::mutex> held(self->lock_);
    auto hold = self->hold_.find(major);
    if (hold != self->hold_.end()) {
        IoMarkIrpPending(irp);
        self->held_.push_back(irp);
        if (hold->second) {
            bool cancelled;
            {
                sim::ke::sched::NoSwitch locked;   // lock_ is held
                IoSetCancelRoutine(irp, CancelHeld);
                // Cancelled before the routine was set: IoCancelIrp found none to call.
                cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
            }
            if (cancelled) {
                self->held_.pop_back();
                held.unlock();
                Complete(irp, STATUS_CANCELLED);
            }
        }
        return STATUS_PENDING;
    }
    NTSTATUS status = major == IRP_MJ_PNP ? irp->IoStatus.Status : STATUS_SUCCESS;
    ULONG_PTR information = major == IRP_MJ_PNP ? irp->IoStatus.Information : 0;
    auto answer = self->answers_.find(major);
    if (answer != self->answers_.end()) {
        status = answer->second.status;
        information = answer->second.information;
    }
    held.unlock();
    Complete(irp, status, information);
    return status;
}

VOID Pdo::CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Pdo *self = From(device);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        for (auto it = self->held_.begin(); it != self->held_.end(); ++it) {
            if (*it == irp) {
                self->held_.erase(it);
                break;
            }
        }
    }
    Complete(irp, STATUS_CANCELLED);
}

}  // namespace sim::bus

// The Plug and Play manager: the PnP thread, plugging (AddDevice, start, capabilities),
// the stop and removal requests, and removal after the last close that follows a
// surprise removal. See pnp.h for the threads.
#include "sim/pnp/pnp.h"

#include "sim/cm/cm.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/verifier.h"

namespace sim::pnp {

using verifier::Report;
using verifier::Rule;

namespace {

thread_local bool t_onPnpThread = false;

}  // namespace

// ---- Node

PDEVICE_OBJECT Node::Top() const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (removed_ || pdo_ == nullptr) {
        return nullptr;
    }
    PDEVICE_OBJECT top = pdo_;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

std::optional<DEVICE_CAPABILITIES> Node::Capabilities() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return capabilities_;
}

std::vector<Event> Node::History() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return history_;
}

bool Node::SurpriseRemoved() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return surprise_;
}

bool Node::Removed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return removed_;
}

bool Node::WaitRemoved(int timeoutMs) const
{
    std::unique_lock<std::mutex> held(lock_);
    return ke::sched::WaitFor(held, changed_, std::chrono::milliseconds(timeoutMs),
                              [&] { return removed_; }, "the device's removal");
}

int Node::InterfacesLeftEnabled() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return leftEnabled_;
}

// ---- the PnP thread

Manager::Manager(PDRIVER_OBJECT driver) : driver_(driver)
{
    thread_ = ke::sched::Start("pnp", [this] { Thread(); });
    io::SetLastCloseObserver([this](PDEVICE_OBJECT device) { LastClosed(device); });
}

Manager::~Manager()
{
    io::SetLastCloseObserver({});
    Run([this] {
        for (const std::shared_ptr<Node> &node : Nodes()) {
            if (!node->SurpriseRemoved()) {
                node->Usb()->Unplug();
                {
                    std::lock_guard<std::mutex> guard(node->lock_);
                    node->surprise_ = true;
                }
                Request(*node, IRP_MN_SURPRISE_REMOVAL, {});
            }
            if (OpensOnStack(*node) != 0) {
                Report(Rule::InvalidParameter, "pnp: device %p still has open handles at shutdown; not removed",
                       (void *)node->pdo_);
                continue;
            }
            RemoveNow(*node);
        }
    });
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    ke::sched::Join(thread_, "the PnP thread");
}

void Manager::Thread()
{
    t_onPnpThread = true;
    ke::NameThread("pnp");
    ke::ResetThread();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> held(lock_);
            ke::sched::Wait(held, changed_, [&] { return stopping_ || !jobs_.empty(); }, "a PnP job");
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
        ke::ResetThread();
    }
}

void Manager::Post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void Manager::Run(std::function<void()> job)
{
    if (t_onPnpThread) {
        // A driver's PnP path calling back into the manager would wait for itself.
        Report(Rule::InvalidParameter, "pnp: a manager routine called from the PnP thread");
        job();
        return;
    }
    bool done = false;
    Post([&] {
        job();
        std::lock_guard<std::mutex> guard(lock_);
        done = true;
        changed_.notify_all();
    });
    std::unique_lock<std::mutex> held(lock_);
    ke::sched::Wait(held, changed_, [&] { return done; }, "its job on the PnP thread");
}

std::vector<std::shared_ptr<Node>> Manager::Nodes()
{
    std::lock_guard<std::mutex> guard(lock_);
    return nodes_;
}

void Manager::Sync()
{
    Run([] {});
}

// ---- requests (PnP thread)

NTSTATUS Manager::Request(Node &node, UCHAR minor, const std::function<void(IO_STACK_LOCATION &)> &parameters)
{
    if (node.Removed()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    io::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.parameters = parameters;
    const NTSTATUS status = io::Call(node.pdo_, request).Status;
    std::lock_guard<std::mutex> guard(node.lock_);
    node.history_.push_back(Event{minor, status});
    return status;
}

NTSTATUS Manager::StartAndQuery(Node &node)
{
    const NTSTATUS status = Request(node, IRP_MN_START_DEVICE, {});
    if (!NT_SUCCESS(status)) {
        // Windows removes the stack of a device that does not start.
        RemoveNow(node);
        return status;
    }
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    if (NT_SUCCESS(Request(node, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION &sp) {
            sp.Parameters.DeviceCapabilities.Capabilities = &capabilities;
        }))) {
        std::lock_guard<std::mutex> guard(node.lock_);
        node.capabilities_ = capabilities;
    }
    return status;
}

NTSTATUS Manager::RemoveNow(Node &node)
{
    if (node.Removed()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        std::lock_guard<std::mutex> guard(node.lock_);
        node.removeSent_ = true;
    }
    const NTSTATUS status = Request(node, IRP_MN_REMOVE_DEVICE, {});
    // The bus deletes the PDO of a removed device; what the driver left enabled goes
    // with it, and the usb::Device's destructor reports a device still attached.
    const int left = io::DisableInterfacesOf(node.pdo_);
    std::unique_ptr<usb::Device> usb;
    {
        std::lock_guard<std::mutex> guard(node.lock_);
        usb = std::move(node.usb_);
        node.leftEnabled_ = left;
    }
    usb.reset();
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(nodes_, [&](const std::shared_ptr<Node> &n) { return n.get() == &node; });
    }
    {
        std::lock_guard<std::mutex> guard(node.lock_);
        node.removed_ = true;
        node.pdo_ = nullptr;
    }
    node.changed_.notify_all();
    return status;
}

long Manager::OpensOnStack(Node &node)
{
    long opens = 0;
    for (PDEVICE_OBJECT device = node.pdo_; device != nullptr; device = device->AttachedDevice) {
        opens += io::OpenCount(device);
    }
    return opens;
}

void Manager::LastClosed(PDEVICE_OBJECT)
{
    // Whichever device it was, every surprise-removed node with no handle left is due
    // its removal; deciding on the PnP thread keeps it after the surprise removal.
    Post([this] {
        for (const std::shared_ptr<Node> &node : Nodes()) {
            bool due;
            {
                std::lock_guard<std::mutex> guard(node->lock_);
                due = node->surprise_ && !node->removeSent_;
            }
            if (due && OpensOnStack(*node) == 0) {
                RemoveNow(*node);
            }
        }
    });
}

// ---- the public routines

std::shared_ptr<Node> Manager::Plug(usb::DescriptorSet descriptors, const std::u16string &instanceId,
                                    const PlugOptions &options)
{
    auto node = std::make_shared<Node>();
    Run([&] {
        node->usb_ = std::make_unique<usb::Device>(std::move(descriptors), instanceId);
        node->pdo_ = node->usb_->Pdo();
        node->instanceId_ = instanceId;
        if (node->pdo_ == nullptr) {
            // The bus could not create its device (low resources): nothing was plugged.
            node->usb_.reset();
            node->addDevice_ = STATUS_NO_SUCH_DEVICE;
            node->removed_ = true;
            return;
        }
        if (options.portName) {
            cm::SetDeviceString(node->pdo_, u"PortName", *options.portName);
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            nodes_.push_back(node);
        }
        NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
        if (driver_->DriverExtension->AddDevice != nullptr) {
            ke::DriverCall call("AddDevice");
            status = driver_->DriverExtension->AddDevice(driver_, node->pdo_);
        }
        {
            std::lock_guard<std::mutex> guard(node->lock_);
            node->addDevice_ = status;
        }
        if (NT_SUCCESS(status) && options.start) {
            StartAndQuery(*node);
        }
    });
    return node;
}

std::shared_ptr<Node> Manager::PlugPhone(const PlugOptions &options)
{
    using usb::ObexPhone;
    return Plug(ObexPhone::Descriptors(),
                usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId, ObexPhone::kInterface),
                options);
}

NTSTATUS Manager::Send(Node &node, UCHAR minor, std::function<void(IO_STACK_LOCATION &)> parameters)
{
    NTSTATUS status;
    Run([&] { status = minor == IRP_MN_REMOVE_DEVICE ? RemoveNow(node) : Request(node, minor, parameters); });
    return status;
}

NTSTATUS Manager::Start(Node &node)
{
    return Send(node, IRP_MN_START_DEVICE);
}

NTSTATUS Manager::QueryStop(Node &node)
{
    return Send(node, IRP_MN_QUERY_STOP_DEVICE);
}

NTSTATUS Manager::Stop(Node &node)
{
    return Send(node, IRP_MN_STOP_DEVICE);
}

NTSTATUS Manager::CancelStop(Node &node)
{
    return Send(node, IRP_MN_CANCEL_STOP_DEVICE);
}

NTSTATUS Manager::QueryRemove(Node &node)
{
    return Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
}

NTSTATUS Manager::CancelRemove(Node &node)
{
    return Send(node, IRP_MN_CANCEL_REMOVE_DEVICE);
}

NTSTATUS Manager::RemoveDevice(Node &node)
{
    return Send(node, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS Manager::QueryCapabilities(Node &node, DEVICE_CAPABILITIES *capabilities)
{
    return Send(node, IRP_MN_QUERY_CAPABILITIES, [capabilities](IO_STACK_LOCATION &sp) {
        sp.Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
}

NTSTATUS Manager::Rebalance(Node &node)
{
    NTSTATUS status;
    Run([&] {
        status = Request(node, IRP_MN_QUERY_STOP_DEVICE, {});
        if (!NT_SUCCESS(status)) {
            Request(node, IRP_MN_CANCEL_STOP_DEVICE, {});
            return;
        }
        Request(node, IRP_MN_STOP_DEVICE, {});
        status = Request(node, IRP_MN_START_DEVICE, {});
    });
    return status;
}

NTSTATUS Manager::Remove(Node &node)
{
    NTSTATUS status;
    Run([&] {
        status = Request(node, IRP_MN_QUERY_REMOVE_DEVICE, {});
        if (!NT_SUCCESS(status)) {
            Request(node, IRP_MN_CANCEL_REMOVE_DEVICE, {});
            return;
        }
        status = RemoveNow(node);
    });
    return status;
}

NTSTATUS Manager::SurpriseRemove(Node &node)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    Run([&] {
        if (node.Removed() || node.SurpriseRemoved()) {
            return;
        }
        node.usb_->Unplug();
        {
            std::lock_guard<std::mutex> guard(node.lock_);
            node.surprise_ = true;
        }
        status = Request(node, IRP_MN_SURPRISE_REMOVAL, {});
        if (OpensOnStack(node) == 0) {
            RemoveNow(node);
        }
    });
    return status;
}

}  // namespace sim::pnp

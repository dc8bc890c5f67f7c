// The host Plug and Play manager: plugging a phone (a USB function on the simulated
// bus) makes a device node, calls the function driver's AddDevice and starts the
// device; the requests a test or the tool asks for (stop and its queries, removal
// and its queries, surprise removal) are sent as Windows sends them.
//
// Threads: one PnP thread ("pnp") per Manager. AddDevice and every IRP_MJ_PNP request
// run there at PASSIVE_LEVEL, one at a time over all devices, so a device never sees
// two PnP requests at once. Each request is built by the I/O manager (sim::io::Send)
// with IoStatus.Status = STATUS_NOT_SUPPORTED and sent to the top of the device's
// stack; what no driver above handles completes at the bus's PDO (sim/usb), which
// keeps that status. The routines below are called from any thread at PASSIVE_LEVEL
// but the PnP thread (a driver's own PnP path must not call them) and wait until the
// PnP thread has done their work.
//
// Removal: after IRP_MN_REMOVE_DEVICE the bus deletes the PDO (with its usb::Device),
// as it does for a device it reported missing, and the device node is unregistered;
// interfaces of the device that the driver left enabled are disabled then and counted
// (Node::InterfacesLeftEnabled). After a surprise removal, IRP_MN_REMOVE_DEVICE is sent
// once no handle is open on any device of the stack: at once when none is, otherwise
// from the PnP thread after the last sim::io::Close.
//
// Not modelled: resource lists (AllocatedResources is NULL), device relations and
// enumeration, IRP_MN_QUERY_ID and the other queries Windows sends while installing,
// filter drivers, eject, disabling a device from the user interface, several function
// drivers, and power: the PnP manager sends no power requests (system transitions are
// sim::po's, which a test or the program points at the nodes' PDOs).
#pragma once

#include "kernel/kernel.h"
#include "sim/usb/device.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim::pnp {

// How a phone is plugged in.
struct PlugOptions {
    // The hardware key's "PortName" (REG_SZ, as the registry editor stores it);
    // nothing: no such value.
    std::optional<std::u16string> portName = u"COM5";
    // Send IRP_MN_START_DEVICE (and, when it succeeds, IRP_MN_QUERY_CAPABILITIES)
    // after AddDevice. A start that fails is followed by IRP_MN_REMOVE_DEVICE, as
    // Windows does; a test that wants to start by hand clears this and calls Start.
    bool start = true;
};

// One PnP request as the manager saw it end.
struct Event {
    UCHAR minor;
    NTSTATUS status;   // the final IoStatus.Status
};

// A device node: the bus's device, the stack above its PDO, and what the manager has
// sent to it. Shared: it stays readable after the device is gone.
class Node {
public:
    // The bus's device and its PDO; NULL once the device is removed.
    sim::usb::Device *Usb() const { return usb_.get(); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The top of the stack (the function driver's device after a successful
    // AddDevice); NULL once the device is removed.
    PDEVICE_OBJECT Top() const;
    const std::u16string &InstanceId() const { return instanceId_; }

    NTSTATUS AddDeviceStatus() const { return addDevice_; }
    // The capabilities of the last successful IRP_MN_QUERY_CAPABILITIES.
    std::optional<DEVICE_CAPABILITIES> Capabilities() const;
    // Every PnP request sent so far, in order.
    std::vector<Event> History() const;
    bool SurpriseRemoved() const;
    // IRP_MN_REMOVE_DEVICE has been sent and the PDO deleted.
    bool Removed() const;
    // Waits (in real time) until Removed(); false after `timeoutMs` without.
    bool WaitRemoved(int timeoutMs = 10000) const;
    // How many of the device's interfaces were still enabled when its PDO was deleted.
    int InterfacesLeftEnabled() const;

private:
    friend class Manager;
    std::unique_ptr<sim::usb::Device> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::u16string instanceId_;
    NTSTATUS addDevice_ = STATUS_UNSUCCESSFUL;
    bool surprise_ = false;
    bool removeSent_ = false;
    bool removed_ = false;
    int leftEnabled_ = 0;
    std::optional<DEVICE_CAPABILITIES> capabilities_;
    std::vector<Event> history_;
    mutable std::mutex lock_;   // the fields above, as read from other threads
    mutable std::condition_variable changed_;
};

class Manager {
public:
    // The manager of the function driver `driver` (loaded, its AddDevice set): starts
    // the PnP thread and hooks the I/O manager's last close.
    explicit Manager(PDRIVER_OBJECT driver);
    // Removes every device still present (surprise removal and removal, as if the
    // phones were pulled at shutdown; a device with open handles is reported as
    // InvalidParameter and left), unhooks, and joins the PnP thread. Must run before
    // the platform stops.
    ~Manager();
    Manager(const Manager &) = delete;
    Manager &operator=(const Manager &) = delete;

    // Plugs a phone in: creates the bus's device (PDO and device node under
    // `instanceId`), sets the hardware key's values, calls AddDevice, then (unless
    // options.start is false) IRP_MN_START_DEVICE and IRP_MN_QUERY_CAPABILITIES
    // (Version 1, Size set, Address and UINumber 0xFFFFFFFF; the bus fills in its
    // system-to-device power mapping: S0 -> D0, S1 to S5 -> D3). A failed AddDevice
    // leaves the node with only the PDO in its stack. When the bus cannot create its
    // PDO (its IoCreateDevice is a fallible call), the node comes back already removed
    // with AddDeviceStatus() STATUS_NO_SUCH_DEVICE.
    std::shared_ptr<Node> Plug(sim::usb::DescriptorSet descriptors, const std::u16string &instanceId,
                               const PlugOptions &options = {});
    // The OBEX phone at full speed under its usual instance ID.
    std::shared_ptr<Node> PlugPhone(const PlugOptions &options = {});

    // Single requests, each returning its final status. For IRP_MN_REMOVE_DEVICE use
    // RemoveDevice, which also deletes the PDO.
    NTSTATUS Start(Node &node);
    NTSTATUS QueryStop(Node &node);
    NTSTATUS Stop(Node &node);
    NTSTATUS CancelStop(Node &node);
    NTSTATUS QueryRemove(Node &node);
    NTSTATUS CancelRemove(Node &node);
    NTSTATUS RemoveDevice(Node &node);
    NTSTATUS QueryCapabilities(Node &node, DEVICE_CAPABILITIES *capabilities);
    // Any other minor function, with its parameters filled in by `parameters`.
    NTSTATUS Send(Node &node, UCHAR minor, std::function<void(IO_STACK_LOCATION &)> parameters = {});

    // Resource rebalancing: query-stop; if it fails, cancel-stop and its status;
    // otherwise stop, then start again and the start's status.
    NTSTATUS Rebalance(Node &node);
    // Orderly removal ("safely remove"): query-remove; if it fails, cancel-remove and
    // the query's status; otherwise remove (the PDO is deleted) and its status.
    NTSTATUS Remove(Node &node);
    // The phone is pulled out: the bus's device is unplugged (its transfers fail),
    // IRP_MN_SURPRISE_REMOVAL is sent, and IRP_MN_REMOVE_DEVICE follows once no handle
    // is open on the stack (see the header). Returns the surprise removal's status.
    NTSTATUS SurpriseRemove(Node &node);

    // Nodes not yet removed.
    std::vector<std::shared_ptr<Node>> Nodes();
    // Returns once the PnP thread has done everything queued before the call (a
    // removal due after a sim::io::Close that has returned, for example).
    void Sync();

private:
    void Run(std::function<void()> job);
    void Post(std::function<void()> job);
    void Thread();
    // PnP thread only.
    NTSTATUS Request(Node &node, UCHAR minor, const std::function<void(IO_STACK_LOCATION &)> &parameters);
    NTSTATUS StartAndQuery(Node &node);
    NTSTATUS RemoveNow(Node &node);
    long OpensOnStack(Node &node);
    void LastClosed(PDEVICE_OBJECT device);

    PDRIVER_OBJECT driver_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<Node>> nodes_;   // PnP thread writes; lock_ guards
    std::thread thread_;
};

}  // namespace sim::pnp

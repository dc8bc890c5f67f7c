#include "tools/scenario/runner.h"

#include "core/core.h"
#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/obex/phone.h"
#include "sim/obex/tcp_phone.h"
#include "sim/po/po.h"
#include "tools/port_client.h"
#include "tools/scenario/names.h"
#include "tools/win32_errors.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace tool::scenario {

using sim::usb::ObexPhone;

struct Runner::Phone {
    std::string name;
    std::string port;
    std::shared_ptr<sim::pnp::Node> node;
    std::shared_ptr<sim::usb::Model> model;
    std::shared_ptr<sim::usb::Scripted> scripted;
};

struct Runner::Port {
    std::string name;
    std::string portName;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::unique_ptr<sim::obex::Client> obex;
    DWORD obexError = 0;    // the Win32 error that ended the OBEX client's last transfer
};

// One overlapped request. It stays at one address while in flight (the OVERLAPPED,
// the buffer's storage and the event word are the request's).
struct Runner::Op {
    enum class Kind { Read, Write, Wait, Ioctl } kind = Kind::Read;
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    HANDLE event = nullptr;
    std::vector<uint8_t> buffer;
    DWORD events = 0;
    bool finished = false;
    Outcome result;
};

namespace {

std::string Narrow(const UNICODE_STRING &s)
{
    if (s.Buffer == nullptr) {
        return {};
    }
    return tool::Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}

// The descriptor sets a scenario can plug: the phone as it is, and three that the
// driver must refuse to start.
sim::usb::DescriptorSet DescriptorsFor(Layout layout, sim::usb::Speed speed)
{
    using sim::usb::ConfigurationBuilder;
    if (layout == Layout::Obex) {
        return ObexPhone::Descriptors(speed);
    }
    const USHORT packet = sim::usb::BulkPacketSize(speed);
    ConfigurationBuilder config;
    // A modem's communication and data interfaces, which every variant keeps.
    config.Interface(0, 0, 0x02, 0x02, 0x01).Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 16);
    config.Interface(1, 0, 0x0A)
        .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, packet)
        .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, packet);
    switch (layout) {
    case Layout::Obex:
    case Layout::NoObex:
        break;
    case Layout::WrongAlternate:
        // The OBEX data interface with its endpoints on alternate setting 0 and no
        // alternate setting 1.
        config.Interface(ObexPhone::kInterface, 0, 0x0A)
            .Endpoint(ObexPhone::kBulkIn, USB_ENDPOINT_TYPE_BULK, packet)
            .Endpoint(ObexPhone::kBulkOut, USB_ENDPOINT_TYPE_BULK, packet);
        break;
    case Layout::MissingEndpoint:
        // Alternate setting 1 with the bulk-in endpoint only.
        config.Interface(ObexPhone::kInterface, 0, 0x0A);
        config.Interface(ObexPhone::kInterface, ObexPhone::kAlternate, 0x0A)
            .Endpoint(ObexPhone::kBulkIn, USB_ENDPOINT_TYPE_BULK, packet);
        break;
    }
    return sim::usb::MakeDescriptorSet(ObexPhone::kVendorId, ObexPhone::kProductId, speed, {config.Build()});
}

const char *PnpStateName(ULONG state)
{
    switch (state) {
    case NeverStarted: return "never-started";
    case Stopped: return "stopped";
    case Started: return "started";
    case StopPending: return "stop-pending";
    case RemovePending: return "remove-pending";
    case SurpriseRemoved: return "surprise-removed";
    case Removed: return "removed";
    }
    return "?";
}

Outcome LastError()
{
    return Outcome::Win32Failure(GetLastError());
}

}  // namespace

Runner::Runner(Session &session) : session_(session) {}

Runner::~Runner()
{
    CloseAll();
}

void Runner::Settle()
{
    // Work moves between the layers (a failed transfer queues a work item that sends
    // the next transfer, whose completion queues the next work item...), so one pass
    // over them is not enough: they are waited for until a whole pass saw no activity.
    for (int pass = 0; pass < kSettlePasses; pass++) {
        const uint64_t before = sim::ke::Activity();
        session_.Pnp().Sync();
        for (const auto &node : session_.Pnp().Nodes()) {
            if (node->Usb() != nullptr) {
                node->Usb()->WaitIdle();
            }
        }
        sim::po::WaitIdle();
        sim::ke::WaitIdle();
        if (sim::ke::Activity() == before) {
            return;
        }
    }
}

void Runner::CloseAll()
{
    for (auto &[name, op] : ops_) {
        if (!op->finished) {
            CancelIoEx(op->port, &op->ov);
            Finish(*op);
        }
    }
    ops_.clear();
    for (auto &[name, port] : ports_) {
        CloseHandle(port->handle);
    }
    ports_.clear();
    session_.Pnp().Sync();
}

bool Runner::StillUsable(std::string *why)
{
    Settle();
    for (const auto &phone : phones_) {
        if (phone->node->Removed()) {
            continue;
        }
        PDEVICE_OBJECT fdo = phone->node->Top();
        if (fdo == nullptr || fdo == phone->node->Pdo()) {
            continue;
        }
        const auto *extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        if (extension->PnpState != Started || extension->DeviceFailure == DEVICE_FAILED_MARK) {
            continue;   // removable only: the session's end checks that it goes cleanly
        }
        HANDLE handle = OpenComPort(phone->port, FILE_FLAG_OVERLAPPED);
        if (handle == INVALID_HANDLE_VALUE) {
            *why = phone->name + " is started and working, but " + phone->port + " does not open: " +
                   DescribeWin32Error(GetLastError());
            return false;
        }
        CloseHandle(handle);
    }
    return true;
}

Runner::Phone *Runner::FindPhone(const std::string &name, Outcome *failure)
{
    if (phones_.empty()) {
        *failure = Outcome::Problem("no phone has been plugged");
        return nullptr;
    }
    if (name.empty()) {
        return phones_.back().get();
    }
    for (auto &phone : phones_) {
        if (phone->name == name) {
            return phone.get();
        }
    }
    *failure = Outcome::Problem("no phone named '" + name + "'");
    return nullptr;
}

Runner::Port *Runner::FindPort(const std::string &name, Outcome *failure)
{
    auto it = ports_.find(name);
    if (it == ports_.end()) {
        *failure = Outcome::Problem("no open handle named '" + name + "'");
        return nullptr;
    }
    return it->second.get();
}

std::vector<PDEVICE_OBJECT> Runner::PresentPdos()
{
    std::vector<PDEVICE_OBJECT> pdos;
    for (const auto &node : session_.Pnp().Nodes()) {
        if (node->Pdo() != nullptr) {
            pdos.push_back(node->Pdo());
        }
    }
    return pdos;
}

// ---- phones and Plug and Play

Outcome Runner::Plug(const PlugArgs &args)
{
    const int index = plugs_++;
    auto phone = std::make_unique<Phone>();
    phone->name = !args.name.empty() ? args.name : index == 0 ? "phone" : "phone" + std::to_string(index + 1);
    phone->port = !args.port.empty() ? args.port : "COM" + std::to_string(5 + index);
    for (const auto &p : phones_) {
        if (p->name == phone->name) {
            return Outcome::Problem("a phone named '" + phone->name + "' was plugged before");
        }
    }
    const sim::usb::Speed speed = args.speed.value_or(session_.Opts().speed);
    Model model = args.model;
    if (model == Model::Default) {
        model = session_.Opts().phone.kind == PhoneKind::Loopback ? Model::Loopback : Model::Obex;
    }
    // A TCP phone answers for the default model. It is connected before the plug, so
    // that a server that does not answer leaves nothing plugged.
    if (args.model == Model::Default && session_.Opts().phone.kind == PhoneKind::Tcp) {
        std::string why;
        phone->model = sim::obex::TcpPhone::Connect(ObexPhone::kBulkIn, ObexPhone::kBulkOut,
                                                    session_.Opts().phone.host, session_.Opts().phone.port, &why);
        if (phone->model == nullptr) {
            environmentFailed_ = true;
            return Outcome::Problem("phone " + session_.Opts().phone.Describe() + ": " + why);
        }
    } else if (model == Model::Obex) {
        phone->model = std::make_shared<sim::obex::Phone>(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
    } else if (model == Model::Loopback) {
        phone->model = std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
    }

    // Each plug its own instance ID, as two phones of one model in two USB ports.
    char serial[32];
    std::snprintf(serial, sizeof serial, "6&5c3e9a1&%d&0007", index);
    sim::pnp::PlugOptions plug;
    plug.portName = Wide(phone->port);
    plug.start = args.start;
    phone->node = session_.Pnp().Plug(DescriptorsFor(args.layout, speed),
                                      sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId,
                                                                      ObexPhone::kInterface, Wide(serial)),
                                      plug);
    Outcome o;
    o.status = phone->node->AddDeviceStatus();
    if (NT_SUCCESS(*o.status) && args.start) {
        for (const sim::pnp::Event &event : phone->node->History()) {
            if (event.minor == IRP_MN_START_DEVICE) {
                o.status = event.status;
            }
        }
    }
    sim::usb::Device *usb = phone->node->Usb();
    if (usb != nullptr) {
        if (model == Model::Scripted) {
            phone->scripted = std::make_shared<sim::usb::Scripted>(*usb, ObexPhone::kBulkIn, ObexPhone::kBulkOut);
            phone->model = phone->scripted;
        }
        if (phone->model != nullptr) {
            usb->SetModel(phone->model);
        }
        if (model == Model::Dead) {
            // It enumerated, then stopped answering: every bulk transfer ends as a
            // host controller ends one to a device that sends no handshake.
            const auto fault = sim::usb::Device::Fault::Error(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
            usb->FailAlways(ObexPhone::kBulkIn, fault);
            usb->FailAlways(ObexPhone::kBulkOut, fault);
        }
        usb->UseTimingModel(!session_.Opts().virtualTime);
    }
    PDEVICE_OBJECT fdo = phone->node->Top();
    if (fdo != nullptr && fdo != phone->node->Pdo()) {
        o.note = phone->name + " on " + phone->port + ", " +
                 Narrow(static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->DeviceName);
    } else if (phone->node->Removed()) {
        o.note = phone->name + " on " + phone->port + ", removed after its failed start";
    } else {
        o.note = phone->name + " on " + phone->port + ", not taken by the driver";
    }
    phones_.push_back(std::move(phone));
    return o;
}

Outcome Runner::Pnp(const std::string &name, const std::string &request)
{
    Outcome o;
    Phone *phone = FindPhone(name, &o);
    if (phone == nullptr) {
        return o;
    }
    if (phone->node->Removed()) {
        return Outcome::Problem("phone '" + phone->name + "' has been removed");
    }
    sim::pnp::Manager &pnp = session_.Pnp();
    sim::pnp::Node &node = *phone->node;
    NTSTATUS status;
    if (request == "query-stop") {
        status = pnp.QueryStop(node);
    } else if (request == "stop") {
        status = pnp.Stop(node);
    } else if (request == "cancel-stop") {
        status = pnp.CancelStop(node);
    } else if (request == "start") {
        status = pnp.Start(node);
    } else if (request == "query-remove") {
        status = pnp.QueryRemove(node);
    } else if (request == "cancel-remove") {
        status = pnp.CancelRemove(node);
    } else if (request == "remove-device") {
        status = pnp.RemoveDevice(node);
    } else if (request == "remove") {
        status = pnp.Remove(node);
    } else if (request == "surprise-remove") {
        status = pnp.SurpriseRemove(node);
    } else {
        status = pnp.Rebalance(node);
    }
    pnp.Sync();
    o.status = status;
    return o;
}

Outcome Runner::State(const std::string &name, const std::string &state)
{
    Outcome o;
    Phone *phone = FindPhone(name, &o);
    if (phone == nullptr) {
        return o;
    }
    session_.Pnp().Sync();
    if (state == "removed") {
        // The removal may still wait for the PnP thread after the last close.
        if (!phone->node->WaitRemoved(static_cast<int>(kWatchdogMs))) {
            return Outcome::Problem("expected removed, got still present after " + std::to_string(kWatchdogMs / 1000) +
                                    " s");
        }
        return o;
    }
    if (phone->node->Removed()) {
        return Outcome::Problem("expected " + state + ", got removed");
    }
    if (state == "present") {
        return o;
    }
    PDEVICE_OBJECT fdo = phone->node->Top();
    if (fdo == nullptr || fdo == phone->node->Pdo()) {
        return Outcome::Problem("expected " + state + ", got a device the driver did not take");
    }
    const auto *extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    const bool failed = extension->DeviceFailure == DEVICE_FAILED_MARK;
    const std::string pnpState = PnpStateName(extension->PnpState);
    bool holds;
    if (state == "failed") {
        holds = failed;
    } else if (state == "working") {
        holds = !failed && extension->PnpState == Started;
    } else {
        holds = pnpState == state;
    }
    if (!holds) {
        return Outcome::Problem("expected " + state + ", got " + pnpState + (failed ? " and failed" : ", not failed"));
    }
    o.note = pnpState + (failed ? ", failed" : "");
    return o;
}

Outcome Runner::PhoneSend(const std::string &name, const std::vector<uint8_t> &bytes)
{
    Outcome o;
    Phone *phone = FindPhone(name, &o);
    if (phone == nullptr) {
        return o;
    }
    if (phone->node->Usb() == nullptr) {
        return Outcome::Problem("phone '" + phone->name + "' has been removed");
    }
    phone->node->Usb()->Send(ObexPhone::kBulkIn, bytes);
    o.count = bytes.size();
    return o;
}

Outcome Runner::PhoneReceived(const std::string &name)
{
    Outcome o;
    Phone *phone = FindPhone(name, &o);
    if (phone == nullptr) {
        return o;
    }
    if (phone->scripted == nullptr) {
        return Outcome::Problem("phone '" + phone->name + "' is not a scripted phone");
    }
    o.data = phone->scripted->Bytes();
    o.count = o.data->size();
    o.note = std::to_string(*o.count) + " bytes";
    return o;
}

Outcome Runner::PowerStatus(const std::string &name, int32_t status)
{
    Outcome o;
    Phone *phone = FindPhone(name, &o);
    if (phone == nullptr) {
        return o;
    }
    if (phone->node->Usb() == nullptr) {
        return Outcome::Problem("phone '" + phone->name + "' has been removed");
    }
    phone->node->Usb()->SetPowerStatus(status);
    return o;
}

Outcome Runner::Fault(const FaultArgs &args)
{
    Outcome o;
    Phone *phone = FindPhone(args.phone, &o);
    if (phone == nullptr) {
        return o;
    }
    sim::usb::Device *usb = phone->node->Usb();
    if (usb == nullptr) {
        return Outcome::Problem("phone '" + phone->name + "' has been removed");
    }
    const UCHAR endpoint = args.in ? ObexPhone::kBulkIn : ObexPhone::kBulkOut;
    switch (args.action) {
    case FaultArgs::Action::Clear:
        usb->ClearFaults(endpoint);
        break;
    case FaultArgs::Action::Halt:
        usb->Halt(endpoint);
        break;
    case FaultArgs::Action::Fault:
        if (args.count < 0) {
            usb->FailAlways(endpoint, args.fault);
        } else {
            usb->FailNext(endpoint, args.count, args.fault);
        }
        break;
    }
    return o;
}

// ---- overlapped requests

std::unique_ptr<Runner::Op> Runner::Start(Port &port, const std::function<BOOL(OVERLAPPED *)> &start)
{
    auto op = std::make_unique<Op>();
    op->port = port.handle;
    op->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    op->ov.hEvent = op->event;
    if (start(&op->ov)) {
        return op;   // done already; Finish collects the result
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        op->finished = true;
        op->result = Outcome::Win32Failure(error);
        op->result.pending = false;
        CloseHandle(op->event);
        op->event = nullptr;
    }
    return op;
}

Outcome Runner::Finish(Op &op)
{
    if (op.finished) {
        return op.result;
    }
    op.finished = true;
    Outcome o;
    if (!HasOverlappedIoCompleted(&op.ov) && WaitForSingleObject(op.event, kWatchdogMs) != WAIT_OBJECT_0) {
        hangs_++;
        CancelIoEx(op.port, &op.ov);
        if (WaitForSingleObject(op.event, kWatchdogMs) != WAIT_OBJECT_0) {
            // Not even the cancel ends it: the driver holds the request for ever, and
            // its buffer cannot be given back. Nothing after this can be trusted.
            std::printf("       FAIL: a request on handle %p did not end within %u s of its cancel\n", op.port,
                        static_cast<unsigned>(kWatchdogMs / 1000));
            std::fflush(stdout);
            std::_Exit(kExitFailed);
        }
        DWORD ignored = 0;
        GetOverlappedResult(op.port, &op.ov, &ignored, TRUE);
        o = Outcome::Problem("the request did not end within " + std::to_string(kWatchdogMs / 1000) +
                             " s of real time; it was cancelled");
    } else {
        DWORD moved = 0;
        // The request has ended; waiting only collects its result.
        if (!GetOverlappedResult(op.port, &op.ov, &moved, TRUE)) {
            o = LastError();
        }
        o.count = moved;
        if (op.kind == Op::Kind::Read || op.kind == Op::Kind::Ioctl) {
            o.data = std::vector<uint8_t>(op.buffer.begin(),
                                          op.buffer.begin() + std::min<size_t>(moved, op.buffer.size()));
        }
        if (op.kind == Op::Kind::Wait && o.ok) {
            o.fields["events"] = op.events;
            o.note = kEvents.Flags(op.events);
        }
    }
    o.pending = false;
    CloseHandle(op.event);
    op.event = nullptr;
    op.result = o;
    return o;
}

Outcome Runner::KeepOrFinish(std::unique_ptr<Op> op, const std::string &async)
{
    if (async.empty()) {
        return Finish(*op);
    }
    if (ops_.count(async) != 0) {
        if (!op->finished) {
            CancelIoEx(op->port, &op->ov);
            Finish(*op);
        }
        return Outcome::Problem("a request named '" + async + "' is already in flight");
    }
    Outcome o;
    if (op->finished) {
        o = op->result;
    } else {
        o.pending = !HasOverlappedIoCompleted(&op->ov);
    }
    ops_[async] = std::move(op);
    return o;
}

// ---- ports

Outcome Runner::Open(const std::string &portName, const std::string &name, bool raw)
{
    if (ports_.count(name) != 0) {
        return Outcome::Problem("a handle named '" + name + "' is already open");
    }
    HANDLE handle = OpenComPort(portName, FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) {
        return LastError();
    }
    auto port = std::make_unique<Port>();
    port->name = name;
    port->portName = portName;
    port->handle = handle;
    Port *p = port.get();
    ports_[name] = std::move(port);
    Outcome o;
    if (!raw) {
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kDefaultReadWaitMs, 0, 0};
        if (!SetCommTimeouts(p->handle, &timeouts)) {
            o = LastError();
            o.note = "SetCommTimeouts failed";
        }
    }
    return o;
}

// Finds the port, then runs `call` on its handle: FALSE from it means the Win32 call
// failed, and the outcome is that call's error.
template <typename Call>
Outcome Runner::OnPort(const std::string &name, Call call)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    if (!call(port->handle, o)) {
        return LastError();
    }
    return o;
}

Outcome Runner::Close(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        if (!CloseHandle(handle)) {
            o = LastError();
        }
        ports_.erase(name);
        return TRUE;
    });
}

Outcome Runner::Write(const std::string &name, const std::vector<uint8_t> &bytes, const std::string &async)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    auto op = Start(*port, [&](OVERLAPPED *ov) {
        return WriteFile(port->handle, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, ov);
    });
    op->kind = Op::Kind::Write;
    if (!async.empty()) {
        // The request reads from the caller's buffer while it is in flight.
        op->buffer = bytes;
    }
    return KeepOrFinish(std::move(op), async);
}

Outcome Runner::Read(const std::string &name, size_t length, bool once, const std::string &async,
                     const std::string &save)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    auto readOnce = [&](size_t want) {
        // The buffer's storage is handed to the op, which keeps it while in flight.
        std::vector<uint8_t> buffer(want);
        auto op = Start(*port, [&](OVERLAPPED *ov) {
            return ReadFile(port->handle, buffer.data(), static_cast<DWORD>(want), nullptr, ov);
        });
        op->kind = Op::Kind::Read;
        op->buffer = std::move(buffer);
        return op;
    };
    if (!async.empty()) {
        return KeepOrFinish(readOnce(length), async);
    }
    std::vector<uint8_t> got;
    while (got.size() < length) {
        Outcome part = Finish(*readOnce(length - got.size()));
        if (!part.Succeeded()) {
            part.data = got;
            part.count = got.size();
            return part;
        }
        got.insert(got.end(), part.data->begin(), part.data->end());
        if (once || part.data->empty()) {
            break;
        }
    }
    o.count = got.size();
    o.data = std::move(got);
    o.note = std::to_string(*o.count) + " bytes";
    if (!save.empty()) {
        std::FILE *f = std::fopen(save.c_str(), "wb");
        if (f == nullptr || std::fwrite(o.data->data(), 1, o.data->size(), f) != o.data->size()) {
            o.problem = "cannot write '" + save + "': " + std::strerror(errno);
        }
        if (f != nullptr) {
            std::fclose(f);
        }
    }
    return o;
}

Outcome Runner::Await(const std::string &name)
{
    auto it = ops_.find(name);
    if (it == ops_.end()) {
        return Outcome::Problem("no asynchronous request named '" + name + "'");
    }
    Outcome o = Finish(*it->second);
    ops_.erase(it);
    if (o.data) {
        o.note = std::to_string(o.data->size()) + " bytes";
    }
    return o;
}

Outcome Runner::StillPending(const std::string &name)
{
    auto it = ops_.find(name);
    if (it == ops_.end()) {
        return Outcome::Problem("no asynchronous request named '" + name + "'");
    }
    Op &op = *it->second;
    if (op.finished || HasOverlappedIoCompleted(&op.ov)) {
        return Outcome::Problem("expected '" + name + "' to be pending, got a request that has ended");
    }
    Outcome o;
    o.pending = true;
    return o;
}

Outcome Runner::Cancel(const std::string &name)
{
    auto it = ops_.find(name);
    if (it == ops_.end()) {
        return Outcome::Problem("no asynchronous request named '" + name + "'");
    }
    if (!CancelIoEx(it->second->port, &it->second->ov)) {
        return LastError();
    }
    return {};
}

Outcome Runner::SetState(const std::string &name, const std::vector<DcbChange> &changes)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle, &dcb)) {
            return FALSE;
        }
        for (const DcbChange &c : changes) {
            if (c.field == "baud") {
                dcb.BaudRate = static_cast<DWORD>(c.value);
            } else if (c.field == "bits") {
                dcb.ByteSize = static_cast<BYTE>(c.value);
            } else if (c.field == "parity") {
                dcb.Parity = static_cast<BYTE>(c.value);
            } else if (c.field == "stop") {
                dcb.StopBits = static_cast<BYTE>(c.value);
            } else if (c.field == "dtr") {
                dcb.fDtrControl = static_cast<DWORD>(c.value) & 3;
            } else {
                dcb.fRtsControl = static_cast<DWORD>(c.value) & 3;
            }
        }
        return SetCommState(handle, &dcb);
    });
}

Outcome Runner::GetState(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle, &dcb)) {
            return FALSE;
        }
        o.fields = {{"baud", dcb.BaudRate}, {"bits", dcb.ByteSize},        {"parity", dcb.Parity},
                    {"stop", dcb.StopBits}, {"dtr", uint64_t{dcb.fDtrControl}}, {"rts", uint64_t{dcb.fRtsControl}}};
        const char *parity = kParities.NameOf(dcb.Parity);
        const char *stop = kStopBits.NameOf(dcb.StopBits);
        o.note = std::to_string(dcb.BaudRate) + " baud, " + std::to_string(dcb.ByteSize) + " bits, parity " +
                 (parity != nullptr ? parity : "?") + ", stop " + (stop != nullptr ? stop : "?");
        return TRUE;
    });
}

Outcome Runner::SetTimeouts(const std::string &name, const TimeoutsArgs &t)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        COMMTIMEOUTS timeouts{t.interval, t.multiplier, t.constant, t.writeMultiplier, t.writeConstant};
        if (!SetCommTimeouts(handle, &timeouts)) {
            return FALSE;
        }
        return TRUE;
    });
}

Outcome Runner::GetTimeouts(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        COMMTIMEOUTS t{};
        if (!GetCommTimeouts(handle, &t)) {
            return FALSE;
        }
        o.fields = {{"interval", t.ReadIntervalTimeout},
                    {"multiplier", t.ReadTotalTimeoutMultiplier},
                    {"constant", t.ReadTotalTimeoutConstant},
                    {"write-multiplier", t.WriteTotalTimeoutMultiplier},
                    {"write-constant", t.WriteTotalTimeoutConstant}};
        return TRUE;
    });
}

Outcome Runner::SetMask(const std::string &name, uint32_t mask)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        return SetCommMask(handle, mask);
    });
}

Outcome Runner::GetMask(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        DWORD mask = 0;
        if (!GetCommMask(handle, &mask)) {
            return FALSE;
        }
        o.fields["events"] = mask;
        o.note = kEvents.Flags(mask);
        return TRUE;
    });
}

Outcome Runner::WaitEvent(const std::string &name, const std::string &async)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    auto op = std::make_unique<Op>();
    Op *raw = op.get();
    raw->port = port->handle;
    raw->kind = Op::Kind::Wait;
    raw->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    raw->ov.hEvent = raw->event;
    if (!WaitCommEvent(port->handle, &raw->events, &raw->ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            raw->finished = true;
            raw->result = Outcome::Win32Failure(error);
            raw->result.pending = false;
            CloseHandle(raw->event);
            raw->event = nullptr;
        }
    }
    return KeepOrFinish(std::move(op), async);
}

Outcome Runner::Purge(const std::string &name, uint32_t flags)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        return PurgeComm(handle, flags);
    });
}

Outcome Runner::ClearError(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(handle, &errors, &stat)) {
            return FALSE;
        }
        o.fields = {{"errors", errors}, {"in", stat.cbInQue}, {"out", stat.cbOutQue}};
        o.note = "errors " + kCommErrors.Flags(errors) + ", in " + std::to_string(stat.cbInQue) + ", out " +
                 std::to_string(stat.cbOutQue);
        return TRUE;
    });
}

Outcome Runner::Escape(const std::string &name, uint32_t function)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        return EscapeCommFunction(handle, function);
    });
}

Outcome Runner::ModemStatus(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        DWORD lines = 0;
        if (!GetCommModemStatus(handle, &lines)) {
            return FALSE;
        }
        o.fields["lines"] = lines;
        o.note = kModemBits.Flags(lines);
        return TRUE;
    });
}

Outcome Runner::Properties(const std::string &name)
{
    return OnPort(name, [&](HANDLE handle, Outcome &o) {
        COMMPROP p{};
        if (!GetCommProperties(handle, &p)) {
            return FALSE;
        }
        o.fields = {{"max-baud", p.dwMaxBaud},
                    {"max-tx", p.dwMaxTxQueue},
                    {"max-rx", p.dwMaxRxQueue},
                    {"current-tx", p.dwCurrentTxQueue},
                    {"current-rx", p.dwCurrentRxQueue}};
        o.note = "max baud " + std::to_string(p.dwMaxBaud) + ", queues in " + std::to_string(p.dwCurrentRxQueue) +
                 ", out " + std::to_string(p.dwCurrentTxQueue);
        return TRUE;
    });
}

Outcome Runner::Setup(const std::string &name, uint32_t in, uint32_t out)
{
    return OnPort(name, [&](HANDLE handle, Outcome &) {
        return SetupComm(handle, in, out);
    });
}

Outcome Runner::Ioctl(const std::string &name, uint32_t code, const std::vector<uint8_t> &input,
                      uint32_t outputLength)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    std::vector<uint8_t> in = input;
    std::vector<uint8_t> out(outputLength);
    auto op = Start(*port, [&](OVERLAPPED *ov) {
        return DeviceIoControl(port->handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                               out.empty() ? nullptr : out.data(), outputLength, nullptr, ov);
    });
    op->kind = Op::Kind::Ioctl;
    op->buffer = std::move(out);
    o = Finish(*op);
    if (o.data) {
        o.note = std::to_string(o.data->size()) + " bytes back";
    }
    return o;
}

Outcome Runner::Obex(const std::string &name, const ObexArgs &args)
{
    Outcome o;
    Port *port = FindPort(name, &o);
    if (port == nullptr) {
        return o;
    }
    if (port->obex == nullptr) {
        auto write = [this, port](const std::vector<uint8_t> &data) {
            auto op = Start(*port, [&](OVERLAPPED *ov) {
                return WriteFile(port->handle, data.data(), static_cast<DWORD>(data.size()), nullptr, ov);
            });
            op->kind = Op::Kind::Write;
            const Outcome done = Finish(*op);
            if (!done.Succeeded() || done.count.value_or(0) != data.size()) {
                port->obexError = done.ok ? ERROR_SEM_TIMEOUT : done.error;
                return false;
            }
            return true;
        };
        // Exactly `length` bytes; three empty reads in a row mean the phone is silent.
        auto read = [this, port](uint8_t *buffer, size_t length) {
            size_t got = 0;
            int empty = 0;
            while (got < length) {
                auto op = Start(*port, [&](OVERLAPPED *ov) {
                    return ReadFile(port->handle, buffer + got, static_cast<DWORD>(length - got), nullptr, ov);
                });
                const Outcome done = Finish(*op);
                if (!done.Succeeded()) {
                    port->obexError = done.ok ? ERROR_SEM_TIMEOUT : done.error;
                    return false;
                }
                got += done.count.value_or(0);
                empty = done.count.value_or(0) == 0 ? empty + 1 : 0;
                if (empty == 3) {
                    port->obexError = ERROR_SEM_TIMEOUT;
                    return false;
                }
            }
            return true;
        };
        port->obex = std::make_unique<sim::obex::Client>(write, read);
    }
    sim::obex::Client &client = *port->obex;
    port->obexError = 0;
    uint8_t response = 0;
    const std::u16string objectName = Wide(args.name);
    switch (args.op) {
    case ObexArgs::Op::Connect:
        response = client.Connect(args.inbox ? std::vector<uint8_t>{} : sim::obex::kFolderBrowsing);
        break;
    case ObexArgs::Op::Disconnect:
        response = client.Disconnect();
        break;
    case ObexArgs::Op::Get: {
        std::vector<uint8_t> body;
        response = client.Get(objectName, args.type, body);
        o.data = body;
        o.count = body.size();
        o.note = std::to_string(body.size()) + " bytes";
        break;
    }
    case ObexArgs::Op::Put:
        response = client.Put(objectName, args.body);
        o.count = args.body.size();
        break;
    case ObexArgs::Op::Delete:
        response = client.Delete(objectName);
        break;
    case ObexArgs::Op::SetPath:
        response = client.SetPath(objectName, args.up);
        break;
    }
    o.response = response;
    if (response == 0) {
        o.ok = false;
        o.error = port->obexError != 0 ? port->obexError : ERROR_GEN_FAILURE;
    }
    return o;
}

// ---- power, low resources, time

Outcome Runner::Sleep(SYSTEM_POWER_STATE state)
{
    Outcome o;
    o.status = sim::po::SetSystemPower(PresentPdos(), state);
    sim::po::WaitIdle();
    return o;
}

Outcome Runner::Wake()
{
    Outcome o;
    o.status = sim::po::SetSystemPower(PresentPdos(), PowerSystemWorking);
    // The device returns to D0 by a request of its own; the resume runs after it.
    sim::po::WaitIdle();
    sim::ke::WaitIdle();
    return o;
}

Outcome Runner::PowerFailNext(int32_t status)
{
    sim::po::FailNextRequest(status);
    return {};
}

Outcome Runner::LowresFail(const std::string &routine, int nth)
{
    if (routine == "any") {
        sim::lowres::FailNthOfAny(nth);
    } else {
        sim::lowres::FailNth(routine, nth);
    }
    return {};
}

Outcome Runner::LowresReset()
{
    sim::lowres::Reset();
    return {};
}

Outcome Runner::LowresInjected()
{
    Outcome o;
    o.count = static_cast<uint64_t>(sim::lowres::Injected());
    o.note = std::to_string(*o.count) + " injected";
    return o;
}

Outcome Runner::Advance(int64_t hundredNs)
{
    if (sim::ke::VirtualTime()) {
        sim::ke::Advance(hundredNs);
    } else {
        std::this_thread::sleep_for(std::chrono::nanoseconds(hundredNs * 100));
    }
    return {};
}

}  // namespace tool::scenario

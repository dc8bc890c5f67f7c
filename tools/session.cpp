#include "tools/session.h"

#include "core/core.h"
#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/io/loader.h"
#include "sim/kd/kd.h"
#include "sim/ke/ke.h"
#include "sim/ob/ob.h"
#include "sim/platform.h"
#include "sim/verifier.h"
#include "tools/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

static_assert(tool::kExitBugCheck == sim::ke::kBugCheckExitStatus, "one bug check status");

namespace tool {

namespace {

std::string Narrow(const UNICODE_STRING &s)
{
    if (s.Buffer == nullptr) {
        return {};
    }
    return tool::Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}

// A distinct instance ID per phone, as two phones of the same model plugged into two
// USB ports get from the bus.
std::u16string InstanceIdFor(int index)
{
    using sim::usb::ObexPhone;
    char serial[32];
    std::snprintf(serial, sizeof serial, "6&1a2b3c4d&%d&0007", index);
    return sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId,
                                           ObexPhone::kInterface, Wide(serial));
}

}  // namespace

void Step(const std::string &text)
{
    std::printf("\n== %s\n", text.c_str());
    std::fflush(stdout);
}

bool Check(bool ok, const std::string &what)
{
    std::printf("   %s %s\n", ok ? "ok:  " : "FAIL:", what.c_str());
    std::fflush(stdout);
    return ok;
}

void Say(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("   ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    va_end(args);
    std::fflush(stdout);
}

void ShowDebugOutput()
{
    const std::string text = sim::kd::Text();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::printf("   kd> %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
    sim::kd::ClearLog();
    std::fflush(stdout);
}

void Complain(const std::string &message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "varnoobex: %s\n", message.c_str());
}

PortNames LookUpPortNames(const std::string &portName, const std::string &deviceName)
{
    PortNames names;
    names.link = tool::Narrow(sim::ob::LinkTarget(u"\\DosDevices\\" + Wide(portName)));
    if (!deviceName.empty()) {
        if (auto data = sim::cm::GetString(sim::cm::kSerialComm, Wide(deviceName))) {
            names.serialComm = tool::Narrow(*data);
        }
    }
    names.interfaces = sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size();
    return names;
}

Session::Session(const Options &options) : options_(options) {}

Session::~Session()
{
    if (started_ && !finished_) {
        Finish(false);
    }
}

bool Session::Start(bool narrate, int *exit)
{
    if (options_.trace && !options_.traceFile.empty()) {
        traceOut_ = std::fopen(options_.traceFile.c_str(), "w");
        if (traceOut_ == nullptr) {
            Complain("cannot write the trace to '" + options_.traceFile + "': " + std::strerror(errno));
            *exit = kExitInput;
            return false;
        }
    }
    // The program's own thread is the first application; the trace names it so.
    sim::ke::NameThread("main");
    sim::PlatformOptions platform;
    platform.virtualTime = options_.virtualTime;
    sim::StartPlatform(platform);
    started_ = true;
    clock_.Start();

    NTSTATUS status;
    if (options_.driver.empty()) {
        if (narrate) {
            Step("Loading the driver (DriverEntry)");
        }
        status = sim::io::LoadDriver(DriverEntry, u"varnoobex", &driver_);
    } else {
        if (narrate) {
            Step("Loading the driver image " + options_.driver + " (DriverEntry)");
        }
        std::string why;
        status = sim::io::LoadDriverImage(options_.driver, u"varnoobex", &driver_, &why);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_INVALID_IMAGE_FORMAT ||
            status == STATUS_IMAGE_CHECKSUM_MISMATCH || status == STATUS_DLL_NOT_FOUND ||
            status == STATUS_DRIVER_ENTRYPOINT_NOT_FOUND) {
            Complain("the driver image was not loaded: " + why);
            driver_ = nullptr;
            *exit = kExitInput;
            return false;
        }
        if (narrate && driver_ != nullptr) {
            Say("mapped at %p, %lu bytes; imports bound to the platform's kernel routines", driver_->DriverStart,
                static_cast<unsigned long>(driver_->DriverSize));
        }
    }
    if (narrate) {
        Say("DriverEntry returned %s", StatusName(status).c_str());
        ShowDebugOutput();
    }
    if (!NT_SUCCESS(status) || driver_ == nullptr) {
        Check(false, "the driver is loaded");
        driver_ = nullptr;
        *exit = kExitFailed;
        return false;
    }
    if (narrate) {
        Check(true, "the driver is loaded");
    }
    if (options_.trace) {
        StartTrace(driver_, traceOut_ != nullptr ? traceOut_ : stderr);
    }
    pnp_ = std::make_unique<sim::pnp::Manager>(driver_);
    return true;
}

std::optional<PluggedPhone> Session::Plug(const std::string &portName, const PhoneSpec &spec,
                                          sim::usb::Speed speed, int index, std::string *error,
                                          int *exit)
{
    using sim::usb::ObexPhone;
    PluggedPhone phone;
    phone.portName = portName;
    switch (spec.kind) {
    case PhoneKind::Obex:
        phone.obex = std::make_shared<sim::obex::Phone>(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
        phone.model = phone.obex;
        break;
    case PhoneKind::Loopback:
        phone.model = std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut);
        break;
    case PhoneKind::Tcp: {
        std::string why;
        phone.tcp = sim::obex::TcpPhone::Connect(ObexPhone::kBulkIn, ObexPhone::kBulkOut, spec.host,
                                                 spec.port, &why);
        phone.model = phone.tcp;
        if (phone.model == nullptr) {
            *error = "phone " + spec.Describe() + ": " + why;
            *exit = kExitEnvironment;
            return std::nullopt;
        }
        break;
    }
    }

    sim::pnp::PlugOptions plug;
    plug.portName = Wide(portName);
    phone.node = pnp_->Plug(ObexPhone::Descriptors(speed), InstanceIdFor(index), plug);
    PDEVICE_OBJECT fdo = phone.node->Top();
    if (!NT_SUCCESS(phone.node->AddDeviceStatus()) || fdo == nullptr || fdo == phone.node->Pdo()) {
        *error = "the driver did not take the phone on " + portName + " (AddDevice " +
                 StatusName(phone.node->AddDeviceStatus()) + ")";
        *exit = kExitFailed;
        return std::nullopt;
    }
    phone.node->Usb()->SetModel(phone.model);
    // In real time the bus moves data no faster than its speed allows, so that the
    // throughput shown means something; virtual time has no such clock.
    phone.node->Usb()->UseTimingModel(!options_.virtualTime);
    phone.deviceName = Narrow(static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->DeviceName);
    return phone;
}

bool Session::Finish(bool narrate)
{
    if (finished_) {
        return true;
    }
    finished_ = true;
    if (!started_) {
        return false;
    }
    bool ok = true;
    // Phones still plugged are pulled out as at shutdown.
    pnp_.reset();
    if (driver_ != nullptr) {
        if (options_.trace) {
            StopTrace();
        }
        sim::io::UnloadDriver(driver_);
        if (narrate) {
            ShowDebugOutput();
        } else {
            sim::kd::ClearLog();
        }
        driver_ = nullptr;
    }
    clock_.Stop();
    sim::StopPlatform();
    if (traceOut_ != nullptr) {
        std::fclose(traceOut_);
        traceOut_ = nullptr;
    }

    if (narrate) {
        Step("Checking what is left");
    }
    const size_t blocks = sim::ex::OutstandingCount();
    const auto violations = sim::verifier::Take();
    if (narrate) {
        Say("pool blocks outstanding: %zu", blocks);
    }
    for (const auto &v : violations) {
        std::printf("   verifier: %s: %s\n", sim::verifier::RuleName(v.rule), v.detail.c_str());
    }
    if (narrate || blocks != 0) {
        ok &= Check(blocks == 0, "the pool holds nothing of the driver's");
    } else {
        ok &= blocks == 0;
    }
    if (narrate || !violations.empty()) {
        ok &= Check(violations.empty(), "the verifier saw no violation");
    } else {
        ok &= violations.empty();
    }
    started_ = false;
    return ok;
}

}  // namespace tool

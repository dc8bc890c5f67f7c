// varnoobex: the main job. Loads the driver into the host platform, gives it a device
// to serve, and shows what the driver did and that it left nothing behind.
//
//   varnoobex            run the default session and explain each step
//   varnoobex --help     this text
//
// Exit status 0 only when every step did what it should, the verifier saw no
// violation and the pool holds nothing of the driver's.
#include "core/core.h"
#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/kd/kd.h"
#include "sim/ke/ke.h"
#include "sim/ob/ob.h"
#include "sim/platform.h"
#include "sim/pnp/pnp.h"
#include "sim/po/po.h"
#include "sim/usb/device.h"
#include "sim/verifier.h"
#include "sim/win32/windows.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: varnoobex [--help]\n"
    "\n"
    "Runs the varnoobex driver on the host platform (a user-mode stand-in for the\n"
    "Windows kernel and the USB bus) and explains each step:\n"
    "  1. loads the driver and shows its debugger output;\n"
    "  2. plugs in a simulated OBEX phone whose port name is COM5; the Plug and Play\n"
    "     manager calls AddDevice and starts the device; shows the device's name, its\n"
    "     COM name link, its SERIALCOMM entry and its interface;\n"
    "  3. opens \\\\.\\COM5 as an application does, shows its default settings,\n"
    "     exchanges bytes with the phone (a loopback phone), puts the system to sleep\n"
    "     (S3) and wakes it with the port open, exchanges bytes again, and closes;\n"
    "  4. pulls the phone out (surprise removal), shows that the link, the registry\n"
    "     entry and the interface are gone, unloads the driver, and checks that the\n"
    "     verifier saw no violation and the pool holds nothing of the driver's.\n"
    "Exit status: 0 when all of that held, 1 otherwise, 2 for a usage error.\n";

std::string Narrow(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Narrow(const UNICODE_STRING &s)
{
    if (s.Buffer == nullptr) {
        return {};
    }
    return Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}

void Step(const char *text)
{
    std::printf("\n== %s\n", text);
}

void ShowDebugOutput()
{
    std::string text = sim::kd::Text();
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
}

bool Check(bool ok, const char *what)
{
    std::printf("   %s %s\n", ok ? "ok:  " : "FAIL:", what);
    return ok;
}

std::string Hex(NTSTATUS s)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(s));
    return buffer;
}

const char *ParityName(BYTE parity)
{
    static const char *const kNames[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? kNames[parity] : "?";
}

const char *StopBitsName(BYTE stopBits)
{
    static const char *const kNames[] = {"1", "1.5", "2"};
    return stopBits < 3 ? kNames[stopBits] : "?";
}

// Shows what the driver answers for the port's settings.
bool ShowPortDefaults(HANDLE port)
{
    bool ok = true;
    DCB dcb{};
    if ((ok &= Check(GetCommState(port, &dcb), "GetCommState"))) {
        std::printf("   line:          %u baud, %u data bits, parity %s, %s stop bit(s)\n",
                    (unsigned)dcb.BaudRate, dcb.ByteSize, ParityName(dcb.Parity),
                    StopBitsName(dcb.StopBits));
        std::printf("   lines:         DTR control %u, RTS control %u (1 = enabled)\n",
                    (unsigned)dcb.fDtrControl, (unsigned)dcb.fRtsControl);
        std::printf("   flow control:  CTS %u, DSR %u, XON/XOFF out %u in %u\n",
                    (unsigned)dcb.fOutxCtsFlow, (unsigned)dcb.fOutxDsrFlow, (unsigned)dcb.fOutX,
                    (unsigned)dcb.fInX);
    }
    COMMTIMEOUTS timeouts{};
    if ((ok &= Check(GetCommTimeouts(port, &timeouts), "GetCommTimeouts"))) {
        std::printf("   timeouts:      read interval %u, read total %u x n + %u, write total %u x n + %u (ms)\n",
                    (unsigned)timeouts.ReadIntervalTimeout,
                    (unsigned)timeouts.ReadTotalTimeoutMultiplier,
                    (unsigned)timeouts.ReadTotalTimeoutConstant,
                    (unsigned)timeouts.WriteTotalTimeoutMultiplier,
                    (unsigned)timeouts.WriteTotalTimeoutConstant);
    }
    COMMPROP prop{};
    if ((ok &= Check(GetCommProperties(port, &prop), "GetCommProperties"))) {
        std::printf("   properties:    packet %u bytes v%u, max baud 0x%08X, settable baud 0x%08X,\n"
                    "                  capabilities 0x%04X, settable 0x%04X, receive queue %u bytes\n",
                    prop.wPacketLength, prop.wPacketVersion, (unsigned)prop.dwMaxBaud,
                    (unsigned)prop.dwSettableBaud, (unsigned)prop.dwProvCapabilities,
                    (unsigned)prop.dwSettableParams, (unsigned)prop.dwCurrentRxQueue);
    }
    DWORD modem = 0;
    if ((ok &= Check(GetCommModemStatus(port, &modem), "GetCommModemStatus"))) {
        std::printf("   modem status:  0x%02X (CTS %s, DSR %s, RLSD %s)\n", (unsigned)modem,
                    (modem & MS_CTS_ON) ? "on" : "off", (modem & MS_DSR_ON) ? "on" : "off",
                    (modem & MS_RLSD_ON) ? "on" : "off");
    }
    return ok;
}

// Writes a pattern through the port and reads it back from the loopback phone.
bool ExchangeBytes(HANDLE port, size_t total)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutConstant = 2000;
    if (!Check(SetCommTimeouts(port, &timeouts), "SetCommTimeouts (reads wait at most 2 s)")) {
        return false;
    }
    std::vector<uint8_t> out(total), in;
    for (size_t i = 0; i < total; i++) {
        out[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    DWORD written = 0;
    if (!Check(WriteFile(port, out.data(), (DWORD)out.size(), &written, nullptr) && written == total,
               "WriteFile sends every byte to the phone")) {
        return false;
    }
    // A read may end with nothing: the zero-length packet that follows a transfer of a
    // whole number of packets ends it, as does the 2-second timeout. Give up only after
    // several empty reads in a row.
    std::vector<uint8_t> buffer(8192);
    for (int empty = 0; in.size() < total && empty < 4;) {
        DWORD got = 0;
        if (!ReadFile(port, buffer.data(), (DWORD)buffer.size(), &got, nullptr)) {
            std::printf("   ReadFile failed, GetLastError() = %u\n", (unsigned)GetLastError());
            break;
        }
        empty = got == 0 ? empty + 1 : 0;
        in.insert(in.end(), buffer.begin(), buffer.begin() + got);
    }
    std::printf("   wrote %zu bytes, read back %zu\n", total, in.size());
    return Check(in == out, "the loopback phone's bytes come back whole and in order");
}

// What the port names look like in the namespace, the registry and the interfaces.
struct PortNames {
    std::string link;        // \DosDevices\COM5 -> its target, or empty
    std::string serialComm;  // the SERIALCOMM value named by the device, or empty
    size_t interfaces = 0;   // enabled COM-port interfaces
};

PortNames LookUpPortNames(const UNICODE_STRING &deviceName)
{
    PortNames names;
    names.link = Narrow(sim::ob::LinkTarget(u"\\DosDevices\\COM5"));
    std::u16string value;
    if (deviceName.Buffer != nullptr) {
        value.assign(deviceName.Buffer, deviceName.Length / sizeof(WCHAR));
    }
    if (auto data = sim::cm::GetString(sim::cm::kSerialComm, value)) {
        names.serialComm = Narrow(*data);
    }
    names.interfaces = sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size();
    return names;
}

int RunDefault()
{
    bool ok = true;
    sim::PlatformOptions options;
    options.virtualTime = false;
    sim::StartPlatform(options);

    Step("Loading the driver (DriverEntry)");
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = sim::io::LoadDriver(DriverEntry, u"varnoobex", &driver);
    std::printf("   DriverEntry returned %s\n", Hex(status).c_str());
    ShowDebugOutput();
    if (!Check(NT_SUCCESS(status) && driver != nullptr, "the driver is loaded")) {
        sim::StopPlatform();
        return 1;
    }

    {
        sim::pnp::Manager pnp(driver);

        Step("Plugging in an OBEX phone (PortName COM5): AddDevice, start, capabilities");
        auto node = pnp.PlugPhone();
        using sim::usb::ObexPhone;
        PDEVICE_OBJECT fdo = node->Top();
        const bool plugged = NT_SUCCESS(node->AddDeviceStatus()) && fdo != nullptr && fdo != node->Pdo();
        ok &= Check(plugged, "the driver's device sits on the phone's PDO");
        std::string deviceName;
        if (plugged) {
            node->Usb()->SetModel(
                std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut));
            auto *ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
            deviceName = Narrow(ext->DeviceName);
            for (const auto &event : node->History()) {
                std::printf("   IRP_MN 0x%02X -> %s\n", event.minor, Hex(event.status).c_str());
            }
            const PortNames names = LookUpPortNames(ext->DeviceName);
            std::printf("   device name:   %s\n", deviceName.c_str());
            std::printf("   COM name:      \\DosDevices\\COM5 -> %s\n", names.link.c_str());
            std::printf("   SERIALCOMM:    %s = %s\n", deviceName.c_str(), names.serialComm.c_str());
            std::printf("   interface:     %s (%zu enabled)\n", Narrow(ext->InterfaceName).c_str(),
                        names.interfaces);
            ok &= Check(ext->PnpState == Started && names.link == deviceName &&
                            names.serialComm == "COM5" && names.interfaces == 1,
                        "the device is started and named COM5 in the namespace, the registry and "
                        "its interface");
        }
        ShowDebugOutput();

        if (plugged) {
            Step("Opening \\\\.\\COM5 as an application does");
            HANDLE port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (Check(port != INVALID_HANDLE_VALUE, "the port opens")) {
                ok &= ShowPortDefaults(port);
                Step("Exchanging bytes with the loopback phone");
                ok &= ExchangeBytes(port, 100000);

                Step("Sleeping (S3) and waking (S0) with the port open");
                const NTSTATUS sleep = sim::po::SetSystemPower({node->Pdo()}, PowerSystemSleeping3);
                std::printf("   S3 -> %s; the phone's pipes are suspended, its transfers cancelled\n",
                            Hex(sleep).c_str());
                const NTSTATUS wake = sim::po::SetSystemPower({node->Pdo()}, PowerSystemWorking);
                sim::po::WaitIdle();
                std::printf("   S0 -> %s; the driver resets both pipes and restarts its receive pump\n",
                            Hex(wake).c_str());
                ok &= Check(NT_SUCCESS(sleep) && NT_SUCCESS(wake), "the system slept and woke");
                ok &= ExchangeBytes(port, 50000);
                ok &= Check(CloseHandle(port), "CloseHandle (cleanup, then close)");
            } else {
                std::printf("   GetLastError() = %u\n", (unsigned)GetLastError());
                ok = false;
            }
        }

        Step("Pulling the phone out (surprise removal, then removal)");
        std::printf("   IRP_MN_SURPRISE_REMOVAL -> %s\n", Hex(pnp.SurpriseRemove(*node)).c_str());
        ok &= Check(node->WaitRemoved(), "the removal followed, and the bus deleted the PDO");
        const PortNames gone = LookUpPortNames(UNICODE_STRING{});
        ok &= Check(gone.link.empty(), "\\DosDevices\\COM5 is gone");
        ok &= Check(sim::cm::Values(sim::cm::kSerialComm).empty(), "SERIALCOMM holds no value");
        ok &= Check(gone.interfaces == 0 && node->InterfacesLeftEnabled() == 0,
                    "no COM-port interface is enabled");
        ok &= Check(sim::io::DeviceCount() == 0 || driver->DeviceObject == nullptr,
                    "the driver has no device left");
    }
    sim::io::UnloadDriver(driver);
    ShowDebugOutput();
    sim::StopPlatform();

    Step("Checking what is left");
    const size_t blocks = sim::ex::OutstandingCount();
    std::printf("   pool blocks outstanding: %zu\n", blocks);
    ok &= Check(blocks == 0, "the pool holds nothing of the driver's");
    auto violations = sim::verifier::Take();
    for (const auto &v : violations) {
        std::printf("   verifier: %s: %s\n", sim::verifier::RuleName(v.rule), v.detail.c_str());
    }
    ok &= Check(violations.empty(), "the verifier saw no violation");
    std::printf("\n%s\n", ok ? "varnoobex: all steps held" : "varnoobex: FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 1) {
        return RunDefault();
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fprintf(stderr, "varnoobex: unknown argument '%s'\n\n%s", argv[1], kUsage);
    return 2;
}

// varnoobex: the main job. Loads the driver into the host platform, gives it a device
// to serve, and shows what the driver did and that it left nothing behind.
//
//   varnoobex            run the default session and explain each step
//   varnoobex --help     this text
//
// Exit status 0 only when every step did what it should, the verifier saw no
// violation and the pool holds nothing of the driver's.
#include "core/core.h"
#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/kd/kd.h"
#include "sim/ke/ke.h"
#include "sim/platform.h"
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
    "  2. plugs in a simulated OBEX phone, gives it to the driver (AddDevice) and shows\n"
    "     the new device's name;\n"
    "  3. starts the device by hand (selects the phone's configuration as the first\n"
    "     start does), opens the port as an application does and shows its default\n"
    "     settings, then closes it;\n"
    "  4. removes the device and unloads the driver, and checks that the verifier saw\n"
    "     no violation and the pool holds nothing of the driver's.\n"
    "Exit status: 0 when all of that held, 1 otherwise, 2 for a usage error.\n";

std::string Narrow(const UNICODE_STRING &s)
{
    std::string out;
    for (USHORT i = 0; i < s.Length / sizeof(WCHAR); i++) {
        char16_t c = s.Buffer[i];
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
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

// Selects the phone's configuration with the OBEX data interface at its alternate
// setting, as the first start does, and records the pipes and packet size the data
// path uses. Until the Plug and Play path starts devices, this is its start.
bool StartByHand(PDEVICE_OBJECT fdo, sim::usb::Device &phone)
{
    using sim::usb::ObexPhone;
    auto *ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    std::vector<uint8_t> descriptor = phone.Descriptors().configurations.at(0);
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    // One entry per interface of the configuration (the bus refuses fewer): the OBEX
    // data interface at its alternate setting, every other one at setting 0.
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    size_t obexEntry = 0;
    for (const auto &info : sim::usb::ParseInterfaces(descriptor)) {
        const UCHAR wanted = info.number == ObexPhone::kInterface ? ObexPhone::kAlternate : 0;
        if (info.alternate != wanted) {
            continue;
        }
        if (info.number == ObexPhone::kInterface) {
            obexEntry = list.size();
        }
        USBD_INTERFACE_LIST_ENTRY entry{};
        entry.InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            config, config, info.number, info.alternate, -1, -1, -1);
        if (entry.InterfaceDescriptor == nullptr) {
            return false;
        }
        list.push_back(entry);
    }
    list.push_back({});  // the list ends with an empty entry
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    if (urb == nullptr) {
        return false;
    }
    sim::io::Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    request.parameters = [urb](IO_STACK_LOCATION &sp) { sp.Parameters.Others.Argument1 = urb; };
    const NTSTATUS status = sim::io::Call(fdo, request).Status;
    PUSBD_INTERFACE_INFORMATION obex = list[obexEntry].Interface;
    const bool ok = NT_SUCCESS(status) && obex != nullptr && obex->NumberOfPipes == 2;
    if (ok) {
        ext->BulkInPipe = obex->Pipes[0].PipeHandle;
        ext->BulkOutPipe = obex->Pipes[1].PipeHandle;
        ext->MaxPacketSize = obex->Pipes[0].MaximumPacketSize;
        ext->ZeroLengthPacket = TRUE;
        ext->PnpState = Started;
    }
    std::printf("   select-configuration returned %s; bulk-in %p, bulk-out %p, packets of %u bytes\n",
                Hex(status).c_str(), ok ? (void *)ext->BulkInPipe : nullptr,
                ok ? (void *)ext->BulkOutPipe : nullptr, ok ? (unsigned)ext->MaxPacketSize : 0u);
    ExFreePool(urb);
    return ok;
}

// Opens the port as an application does, shows what the driver answers for its
// settings, and closes it.
bool ShowPortDefaults()
{
    bool ok = true;
    const char16_t path[] = u"\\\\?\\GLOBALROOT\\Device\\VARNOOBEX1";
    std::printf("   CreateFileW(\"\\\\?\\GLOBALROOT\\Device\\VARNOOBEX1\")\n");
    HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!Check(port != INVALID_HANDLE_VALUE, "the port opens")) {
        std::printf("   GetLastError() = %u\n", (unsigned)GetLastError());
        return false;
    }
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
    ok &= Check(CloseHandle(port), "CloseHandle (cleanup, then close)");
    return ok;
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

    Step("Plugging in an OBEX phone: the bus creates its PDO, the PnP manager calls AddDevice");
    using sim::usb::ObexPhone;
    auto phone = std::make_unique<sim::usb::Device>(
        ObexPhone::Descriptors(sim::usb::Speed::High),
        sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId,
                                        ObexPhone::kInterface));
    phone->SetModel(std::make_shared<sim::usb::Loopback>(ObexPhone::kBulkIn, ObexPhone::kBulkOut));
    PDEVICE_OBJECT pdo = phone->Pdo();
    {
        sim::ke::DriverCall call("AddDevice");
        status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    std::printf("   AddDevice returned %s\n", Hex(status).c_str());
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    ok &= Check(NT_SUCCESS(status) && fdo != nullptr, "a device is attached above the PDO");
    if (fdo != nullptr) {
        auto *ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        std::printf("   device name:   %s\n", Narrow(ext->DeviceName).c_str());
        std::printf("   interface:     %s (registered, not enabled until the port starts)\n",
                    Narrow(ext->InterfaceName).c_str());
        std::printf("   stack size:    %d (the PDO's %d + 1)\n", fdo->StackSize, pdo->StackSize);
        ShowDebugOutput();

        Step("Starting the device by hand (no Plug and Play start is sent yet)");
        const bool started = StartByHand(fdo, *phone);
        ok &= Check(started, "the phone's configuration is selected and the device is Started");

        if (started) {
            Step("Opening the port as an application does and showing its defaults");
            ok &= ShowPortDefaults();
            ShowDebugOutput();
        }

        Step("Removing the device as the removal path does, then unloading the driver");
        // Until the driver handles removal itself, this is its removal sequence.
        if (NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, fdo))) {
            IoReleaseRemoveLockAndWait(&ext->RemoveLock, fdo);
        }
        ExFreePool(ext->DeviceName.Buffer);
        RtlFreeUnicodeString(&ext->InterfaceName);
        IoDetachDevice(ext->LowerDevice);
        IoDeleteDevice(fdo);
    }
    phone.reset();
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

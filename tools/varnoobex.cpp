// varnoobex: the main job. Loads the driver into the host platform, gives it a device
// to serve, and shows what the driver did and that it left nothing behind.
//
//   varnoobex            run the default session and explain each step
//   varnoobex --help     this text
//
// Exit status 0 only when every step did what it should, the verifier saw no
// violation and the pool holds nothing of the driver's.
#include "core/core.h"
#include "sim/bus/pdo.h"
#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/io/io.h"
#include "sim/kd/kd.h"
#include "sim/ke/ke.h"
#include "sim/platform.h"
#include "sim/verifier.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kUsage[] =
    "usage: varnoobex [--help]\n"
    "\n"
    "Runs the varnoobex driver on the host platform (a user-mode stand-in for the\n"
    "Windows kernel and the USB bus) and explains each step:\n"
    "  1. loads the driver and shows its debugger output;\n"
    "  2. gives it a bus device to serve (AddDevice) and shows the new device's name;\n"
    "  3. removes the device and unloads the driver, and checks that the verifier saw\n"
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

    Step("Plugging in a device: the bus creates its PDO, the PnP manager calls AddDevice");
    auto bus = std::make_unique<sim::bus::Pdo>();
    PDEVICE_OBJECT pdo = bus->Device();
    sim::cm::RegisterDevice(pdo, u"USB\\VID_0BB4&PID_0C03&MI_07\\7&2f1e0d&0&0007");
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
    sim::cm::UnregisterDevice(pdo);
    bus.reset();
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

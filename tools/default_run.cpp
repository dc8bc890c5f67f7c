// The default run: what `varnoobex` with no subcommand does, step by step, explaining
// each step as it goes (the usage text in tools/cli.cpp lists the steps).
#include "core/core.h"
#include "sim/cm/cm.h"
#include "sim/io/interfaces.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/po/po.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/port_client.h"
#include "tools/progress.h"
#include "tools/session.h"
#include "tools/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tool {

namespace {

using sim::obex::kSuccess;

// The object the session sends to the phone and reads back.
struct Payload {
    std::u16string name;
    std::vector<uint8_t> bytes;
    std::string origin;        // "generated" or the file's path
};

// What one port's application does, and how it went.
struct PortRun {
    PluggedPhone phone;
    std::unique_ptr<PortClient> client;
    std::string prefix;        // "COM6: " when several phones run at once
    Payload payload;           // what this port's session sends and reads back
    // --unplug-after: the bytes after which the phone is pulled out, and how.
    std::optional<size_t> unplugAfter;
    std::function<void()> unplug;
    bool unplugged = false;
    bool ok = true;
    std::string failure;       // the first thing that went wrong
};


std::string BaseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads --file, or generates an object of --size bytes that no simple fault (a byte
// dropped, doubled or swapped) leaves unchanged. Each phone's generated object has
// its own content and name (`index`), so that bytes crossing from one port to
// another cannot go unnoticed.
bool MakePayload(const Options &options, int index, const std::string &portName, Payload *payload,
                 int *exit)
{
    if (!options.file.empty()) {
        // Read with stdio: a directory or a device opens but fails to read, and
        // that must be a message, not an exception.
        std::FILE *in = std::fopen(options.file.c_str(), "rb");
        if (in == nullptr) {
            Complain("cannot read '" + options.file + "': " + std::strerror(errno));
            *exit = kExitInput;
            return false;
        }
        uint8_t buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0 && payload->bytes.size() <= (64u << 20)) {
            payload->bytes.insert(payload->bytes.end(), buffer, buffer + n);
        }
        const int error = std::ferror(in) ? errno : 0;
        std::fclose(in);
        if (error != 0) {
            Complain("cannot read '" + options.file + "': " + std::strerror(error));
            *exit = kExitInput;
            return false;
        }
        if (payload->bytes.size() > (64u << 20)) {
            Complain("'" + options.file + "' is larger than 64 MB, more than a phone object can be");
            *exit = kExitInput;
            return false;
        }
        std::string name = BaseName(options.file);
        if (name.empty()) {
            name = "file.bin";
        }
        payload->name = Wide(name);
        payload->origin = options.file;
        return true;
    }
    payload->bytes.resize(options.size);
    uint32_t x = 0x9E3779B9u + 0x01000193u * static_cast<uint32_t>(index);
    for (auto &b : payload->bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    payload->name = options.phones == 1 ? u"varnoobex-test.bin" : Wide("varnoobex-test-" + portName + ".bin");
    payload->origin = "generated";
    return true;
}

void Print(const PortRun &run, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Print(const PortRun &run, const char *format, ...)
{
    char text[1024];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Say("%s%s", run.prefix.c_str(), text);
}

bool Expect(PortRun &run, bool ok, const std::string &what)
{
    Check(ok, run.prefix + what);
    if (!ok && run.ok) {
        run.ok = false;
        run.failure = what;
        if (run.client && run.client->Error() != 0 && what.find(run.client->Failure()) == std::string::npos) {
            run.failure += " (" + run.client->Failure() + ")";
        }
    }
    return ok;
}

// An OBEX operation's result: the response, or the port's failure when there was none.
std::string Outcome(PortRun &run, uint8_t code)
{
    if (code == 0 && run.client->Error() != 0) {
        return run.client->Failure();
    }
    return ObexResponseName(code);
}

// Pulls the phone out once `bytes` have gone out, when the run asked for it: as a
// person would, in the middle of a transfer, from the application's point of view.
void MaybeUnplug(PortRun &run, size_t bytes)
{
    if (run.unplugAfter && !run.unplugged && bytes >= *run.unplugAfter) {
        run.unplugged = true;
        Print(run, "pulling the phone out after %zu bytes (surprise removal)", bytes);
        run.unplug();
    }
}

// Prints up to `lines` lines of a text object, indented.
void ShowText(const PortRun &run, const std::vector<uint8_t> &text, size_t lines)
{
    std::string s(text.begin(), text.end());
    size_t start = 0;
    for (size_t n = 0; n < lines && start < s.size(); n++) {
        size_t end = s.find('\n', start);
        if (end == std::string::npos) {
            end = s.size();
        }
        std::string line = s.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Print(run, "  | %s", line.c_str());
        start = end + 1;
    }
    if (start < s.size()) {
        Print(run, "  | ...");
    }
}

bool OpenAndSetUp(PortRun &run, bool showDefaults)
{
    run.client = std::make_unique<PortClient>(run.phone.portName);
    if (!Expect(run, run.client->IsOpen(), "CreateFileW(\"\\\\.\\" + run.phone.portName + "\") opens the port")) {
        return false;
    }
    if (showDefaults) {
        DCB dcb{};
        COMMTIMEOUTS timeouts{};
        COMMPROP prop{};
        if (GetCommState(run.client->Handle(), &dcb) && GetCommTimeouts(run.client->Handle(), &timeouts) &&
            GetCommProperties(run.client->Handle(), &prop)) {
            static const char *const kParity[] = {"none", "odd", "even", "mark", "space"};
            static const char *const kStopBits[] = {"1", "1.5", "2"};
            Print(run, "defaults: %u baud, %u data bits, parity %s, %s stop bits; read timeouts %u/%u/%u ms;",
                  (unsigned)dcb.BaudRate, dcb.ByteSize, dcb.Parity < 5 ? kParity[dcb.Parity] : "?",
                  dcb.StopBits < 3 ? kStopBits[dcb.StopBits] : "?",
                  (unsigned)timeouts.ReadIntervalTimeout, (unsigned)timeouts.ReadTotalTimeoutMultiplier,
                  (unsigned)timeouts.ReadTotalTimeoutConstant);
            Print(run, "          receive queue %u bytes, settable baud rates 0x%05X",
                  (unsigned)prop.dwCurrentRxQueue, (unsigned)prop.dwSettableBaud);
        }
    }
    const bool set = run.client->SetUp();
    Expect(run, set,
           "SetCommState (115200 8N1, DTR and RTS on), SetCommTimeouts (a read returns what has "
           "come, waiting at most 5 s for the first byte), SetCommMask (EV_RXCHAR | EV_TXEMPTY)");
    return set;
}

// The OBEX session: connect to the file-transfer service, look around, send the
// payload and read it back.
void ObexSession(PortRun &run, const Payload &payload, bool bar, bool progress)
{
    auto &obex = run.client->Obex();
    uint8_t code = obex.Connect(sim::obex::kFolderBrowsing);
    if (!Expect(run, code == kSuccess && obex.ConnectionId().has_value(),
                "CONNECT to the file-transfer service: " + Outcome(run, code))) {
        return;
    }
    Print(run, "connection id %u, packets up to %u bytes", (unsigned)*obex.ConnectionId(),
          (unsigned)obex.PeerMaxPacket());

    std::vector<uint8_t> listing;
    code = obex.Get(u"", sim::obex::kFolderListingType, listing);
    if (!Expect(run, code == kSuccess, "GET the folder listing: " + Outcome(run, code))) {
        return;
    }
    ShowText(run, listing, 8);

    std::vector<uint8_t> capability;
    code = obex.Get(u"", sim::obex::kCapabilityType, capability);
    if (!Expect(run, code == kSuccess && !capability.empty(),
                "GET the phone's capability object: " + Outcome(run, code) + ", " +
                    std::to_string(capability.size()) + " bytes")) {
        return;
    }
    ShowText(run, capability, 6);

    // Objects go into a folder the phone lets us write; the root if it has none.
    code = obex.SetPath(u"Pictures");
    const bool inFolder = code == kSuccess;
    Print(run, "SETPATH Pictures: %s", Outcome(run, code).c_str());
    if (code == 0) {
        Expect(run, false, "SETPATH Pictures");
        return;
    }

    const std::string name = Narrow(payload.name);
    const std::string label = run.prefix + "PUT " + name;
    Progress put(label, payload.bytes.size(), bar, progress);
    size_t sent = 0;
    obex.SetProgress([&](size_t bytes) {
        sent = bytes;
        put.Update(bytes);
        MaybeUnplug(run, bytes);
    });
    code = obex.Put(payload.name, payload.bytes);
    put.Done(sent);
    if (!Expect(run, code == kSuccess, "PUT " + name + " (" + std::to_string(payload.bytes.size()) +
                                           " bytes, " + payload.origin + "): " + Outcome(run, code))) {
        return;
    }

    std::vector<uint8_t> back;
    Progress get(run.prefix + "GET " + name, payload.bytes.size(), bar, progress);
    obex.SetProgress([&](size_t bytes) { get.Update(bytes); });
    code = obex.Get(payload.name, "", back);
    get.Done(back.size());
    obex.SetProgress(nullptr);
    if (!Expect(run, code == kSuccess, "GET " + name + " back: " + Outcome(run, code))) {
        return;
    }
    size_t differ = 0;
    const size_t common = std::min(back.size(), payload.bytes.size());
    while (differ < common && back[differ] == payload.bytes[differ]) {
        differ++;
    }
    const bool same = back.size() == payload.bytes.size() && differ == common;
    std::string what = "the object came back equal, byte for byte";
    if (!same) {
        what += " (" + std::to_string(back.size()) + " bytes back; first difference at offset " +
                std::to_string(differ) + ")";
    }
    if (!Expect(run, same, what)) {
        return;
    }
    if (run.phone.obex != nullptr) {
        const auto stored = run.phone.obex->File((inFolder ? "Pictures/" : "") + name);
        if (!Expect(run, stored && *stored == payload.bytes, "the phone stored exactly what was sent")) {
            return;
        }
    }
    if (inFolder) {
        code = obex.SetPath(u"", true);
        Expect(run, code == kSuccess, "SETPATH back up to the root: " + Outcome(run, code));
    }
    code = obex.Disconnect();
    Expect(run, code == kSuccess, "DISCONNECT: " + Outcome(run, code));
}

// After the wake: a short session that finds the object again.
void ObexAfterWake(PortRun &run, const Payload &payload)
{
    auto &obex = run.client->Obex();
    uint8_t code = obex.Connect(sim::obex::kFolderBrowsing);
    if (!Expect(run, code == kSuccess, "CONNECT after the wake: " + Outcome(run, code))) {
        return;
    }
    const bool inFolder = obex.SetPath(u"Pictures") == kSuccess;
    std::vector<uint8_t> listing;
    code = obex.Get(u"", sim::obex::kFolderListingType, listing);
    const std::string name = Narrow(payload.name);
    const bool listed = std::string(listing.begin(), listing.end()).find(name) != std::string::npos;
    if (!Expect(run, code == kSuccess && listed,
                "GET the folder listing: " + Outcome(run, code) + (listed ? ", " + name + " is there" : ""))) {
        return;
    }
    code = obex.Delete(payload.name);
    Expect(run, code == kSuccess, "PUT without a body deletes " + name + ": " + Outcome(run, code));
    if (inFolder) {
        obex.SetPath(u"", true);
    }
    code = obex.Disconnect();
    Expect(run, code == kSuccess, "DISCONNECT: " + Outcome(run, code));
}

// A loopback phone sends every byte back: write a pattern, read it back.
void ByteExchange(PortRun &run, size_t total, bool bar, bool progress)
{
    std::vector<uint8_t> out(total), in(total);
    for (size_t i = 0; i < total; i++) {
        out[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    Progress shown(run.prefix + "echo", total, bar, progress);
    // Written in pieces, so that the echo is read while the rest is still going out
    // and the receive ring never has to hold it all.
    constexpr size_t kPiece = 4096;
    size_t done = 0;
    for (; done < total; done += std::min(kPiece, total - done)) {
        const size_t n = std::min(kPiece, total - done);
        if (!run.client->Write(out.data() + done, n) || !run.client->Read(in.data() + done, n)) {
            break;
        }
        shown.Update(done + n);
        MaybeUnplug(run, done + n);
    }
    shown.Done(done);
    Expect(run, done == total && in == out,
           "the loopback phone's echo of " + std::to_string(total) + " bytes came back whole and in order");
}

// Runs `work` for every port, at once when there are several.
template <typename Work>
void ForEachPort(std::vector<PortRun> &runs, Work work)
{
    if (runs.size() == 1) {
        work(runs[0]);
        return;
    }
    std::vector<std::thread> threads;
    for (auto &run : runs) {
        threads.emplace_back([&run, &work] {
            // The trace and the verifier's messages name the application by its port.
            const std::string name = "app " + run.phone.portName;
            sim::ke::NameThread(name.c_str());
            work(run);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
}

}  // namespace

int RunDefault(const Options &options)
{
    int exit = kExitOk;
    std::vector<Payload> payloads(static_cast<size_t>(options.phones));
    for (int i = 0; i < options.phones; i++) {
        if (!MakePayload(options, i, PortNameAt(options.portName, i), &payloads[static_cast<size_t>(i)], &exit)) {
            return exit;
        }
    }
    const bool obexModel = options.phone.kind != PhoneKind::Loopback;
    const bool bar = options.progress && options.phones == 1 && Progress::Terminal();

    Session session(options);
    if (!session.Start(true, &exit)) {
        return exit;
    }
    std::printf("   clock: %s time; bus: %s speed; phone: %s\n", options.virtualTime ? "virtual" : "real",
                options.speed == sim::usb::Speed::High ? "high" : "full", options.phone.Describe().c_str());

    bool ok = true;          // the platform's and the driver's steps
    bool sessionsOk = true;  // every port's application session
    std::vector<PortRun> runs;
    Step(options.phones == 1 ? "Plugging in a phone (PortName " + options.portName + "): AddDevice, start"
                             : "Plugging in " + std::to_string(options.phones) + " phones: AddDevice, start");
    for (int i = 0; i < options.phones; i++) {
        std::string error;
        const std::string portName = PortNameAt(options.portName, i);
        auto phone = session.Plug(portName, options.phone, options.speed, i, &error, &exit);
        if (!phone) {
            Complain(error);
            session.Finish(false);
            return exit;
        }
        PortRun run;
        run.phone = *phone;
        run.payload = std::move(payloads[static_cast<size_t>(i)]);
        run.unplugAfter = options.unplugAfter;
        run.unplug = [&session, node = phone->node] { session.Pnp().SurpriseRemove(*node); };
        run.prefix = options.phones > 1 ? portName + ": " : "";
        const PortNames names = LookUpPortNames(portName, phone->deviceName);
        if (options.phones == 1) {
            std::string history;
            for (const auto &event : phone->node->History()) {
                history += (history.empty() ? "" : ", ") + MinorName(IRP_MJ_PNP, event.minor) + " -> " +
                           StatusName(event.status);
            }
            Say("PnP requests: %s", history.c_str());
            Say("device name:   %s", phone->deviceName.c_str());
            Say("COM name:      \\DosDevices\\%s -> %s", portName.c_str(), names.link.c_str());
            Say("SERIALCOMM:    %s = %s", phone->deviceName.c_str(), names.serialComm.c_str());
            Say("interface:     %zu enabled COM-port interface(s)", names.interfaces);
        } else {
            Say("%s: %s, SERIALCOMM %s = %s", portName.c_str(), phone->deviceName.c_str(),
                phone->deviceName.c_str(), names.serialComm.c_str());
        }
        ok &= Check(names.link == phone->deviceName && names.serialComm == portName,
                    run.prefix + "the device is started and named " + portName +
                        " in the namespace and the registry");
        runs.push_back(std::move(run));
    }
    ok &= Check(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size() == runs.size(),
                "one enabled COM-port interface per phone");
    ShowDebugOutput();

    Step(std::string("Opening the port") + (runs.size() > 1 ? "s" : "") + " as an OBEX application does");
    ForEachPort(runs, [&](PortRun &run) { OpenAndSetUp(run, runs.size() == 1); });

    Step(obexModel ? "The OBEX session: CONNECT, folder listing, capability, PUT, GET back, DISCONNECT"
                   : "Exchanging bytes with the loopback phone");
    ForEachPort(runs, [&](PortRun &run) {
        if (!run.ok) {
            return;
        }
        if (obexModel) {
            ObexSession(run, run.payload, bar, options.progress);
        } else {
            ByteExchange(run, run.payload.bytes.size(), bar, options.progress);
        }
    });

    if (obexModel && runs.size() > 1 && runs[0].phone.obex != nullptr) {
        // Each phone holds its own object and none of another port's.
        bool apart = true;
        for (auto &a : runs) {
            for (auto &b : runs) {
                const std::string path = "Pictures/" + Narrow(a.payload.name);
                apart &= (&a == &b) == b.phone.obex->File(path).has_value();
            }
        }
        ok &= Check(apart, "no cross-talk: each phone holds its own object and no other port's");
    }

    // The phones still plugged in; one pulled out during its session is gone for power.
    std::vector<PDEVICE_OBJECT> pdos;
    for (auto &run : runs) {
        if (!run.unplugged) {
            pdos.push_back(run.phone.node->Pdo());
        }
    }
    if (!pdos.empty()) {
        Step("Sleeping (S3) and waking (S0) with the port open");
        const NTSTATUS sleep = sim::po::SetSystemPower(pdos, PowerSystemSleeping3);
        Say("S3 -> %s: the phone's pipes are suspended, its transfers cancelled", StatusName(sleep).c_str());
        const NTSTATUS wake = sim::po::SetSystemPower(pdos, PowerSystemWorking);
        sim::po::WaitIdle();
        Say("S0 -> %s: the driver resets both pipes and restarts its receive pump", StatusName(wake).c_str());
        ok &= Check(NT_SUCCESS(sleep) && NT_SUCCESS(wake), "the system slept and woke");
    }
    ForEachPort(runs, [&](PortRun &run) {
        if (!run.ok) {
            return;
        }
        if (obexModel) {
            ObexAfterWake(run, run.payload);
        } else {
            ByteExchange(run, 50000, bar, options.progress);
        }
    });

    Step("Closing the port" + std::string(runs.size() > 1 ? "s" : ""));
    for (auto &run : runs) {
        const bool closed = run.client == nullptr || run.client->Close();
        Expect(run, closed, "CloseHandle (cleanup, then close)");
        sessionsOk &= run.ok;
        if (!run.ok) {
            Complain(run.phone.portName + ": the session ended: " + run.failure);
        }
    }

    Step("Pulling the phone" + std::string(runs.size() > 1 ? "s" : "") +
         " out (surprise removal, then removal)");
    for (auto &run : runs) {
        if (run.unplugged) {
            Say("%salready pulled out during the session", run.prefix.c_str());
        } else {
            const NTSTATUS surprise = session.Pnp().SurpriseRemove(*run.phone.node);
            Say("%sIRP_MN_SURPRISE_REMOVAL -> %s", run.prefix.c_str(), StatusName(surprise).c_str());
        }
        ok &= Check(run.phone.node->WaitRemoved(), run.prefix + "the removal followed, and the bus deleted the PDO");
        const PortNames gone = LookUpPortNames(run.phone.portName, run.phone.deviceName);
        ok &= Check(gone.link.empty() && gone.serialComm.empty(),
                    run.prefix + "\\DosDevices\\" + run.phone.portName + " and its SERIALCOMM value are gone");
    }
    ok &= Check(sim::cm::Values(sim::cm::kSerialComm).empty(), "SERIALCOMM holds no value");
    ok &= Check(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty(),
                "no COM-port interface is enabled");
    ok &= Check(sim::io::DeviceCount() == 0, "no device object is left");
    runs.clear();

    Step("Unloading the driver");
    ok &= session.Finish(true);
    if (ok && !sessionsOk) {
        // A session that failed (a phone pulled out, a peer that stopped answering)
        // still leaves a clean platform behind: say both.
        std::printf("\nvarnoobex: a session ended early (see above); the driver left nothing behind\n");
        return kExitFailed;
    }
    std::printf("\n%s\n", ok ? "varnoobex: all steps held" : "varnoobex: FAILED");
    return ok ? kExitOk : kExitFailed;
}

}  // namespace tool

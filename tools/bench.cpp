// The data-path benchmarks (see bench.h) and `varnoobex bench`.
#include "tools/bench.h"

#include "sim/obex/phone.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/port_client.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace tool::bench {

namespace {

using sim::usb::ObexPhone;
using sim::usb::Speed;
using Clock = std::chrono::steady_clock;

// Takes what the host writes and keeps only the count.
class Sink : public sim::usb::Model {
public:
    void Written(sim::usb::Device &, UCHAR endpoint, const std::vector<uint8_t> &data) override
    {
        if (endpoint == ObexPhone::kBulkOut) {
            bytes += data.size();
        }
    }
    std::atomic<size_t> bytes{0};
};

std::vector<uint8_t> Pattern(size_t bytes)
{
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; i++) {
        data[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return data;
}

const char *SpeedName(Speed speed)
{
    return speed == Speed::High ? "high" : "full";
}

std::string Size(size_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    if (bytes >= 1024 && bytes % 1024 == 0) {
        return std::to_string(bytes >> 10) + " KiB";
    }
    return std::to_string(bytes) + " B";
}

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A phone of its own per figure, its port opened and set up as an OBEX application
// sets it up (reads wait at most a second for their first byte).
struct Bench {
    std::optional<PluggedPhone> phone;
    std::unique_ptr<PortClient> client;
    sim::usb::Device *usb = nullptr;

    HANDLE overlapped = INVALID_HANDLE_VALUE;   // full duplex: reads and writes at once

    ~Bench()
    {
        if (overlapped != INVALID_HANDLE_VALUE) {
            CloseHandle(overlapped);
        }
    }

    // `duplex`: the port is opened for overlapped I/O instead, since requests on a
    // handle without it are served one after the other.
    Bench(Session &session, Speed speed, PhoneKind kind, std::shared_ptr<sim::usb::Model> model,
          bool duplex = false)
    {
        static int plugged = 0;
        const int index = plugged++;
        const std::string port = "COM" + std::to_string(100 + index % 150);
        PhoneSpec spec;
        spec.kind = kind;
        std::string error;
        int exit = 0;
        phone = session.Plug(port, spec, speed, 1000 + index, &error, &exit);
        if (!phone) {
            Complain(error);
            return;
        }
        usb = phone->node->Usb();
        if (model) {
            usb->SetModel(std::move(model));
        }
        if (duplex) {
            overlapped = CreateFileW(Wide("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
            if (overlapped == INVALID_HANDLE_VALUE || !SetCommTimeouts(overlapped, &timeouts)) {
                Complain(port + ": cannot open it for overlapped I/O");
            }
            return;
        }
        client = std::make_unique<PortClient>(port);
        PortSetup setup;
        setup.readWaitMs = 1000;
        if (!client->IsOpen() || !client->SetUp(setup)) {
            Complain(port + ": " + client->Failure());
            client.reset();
        }
    }
    bool Ready() const { return client != nullptr || overlapped != INVALID_HANDLE_VALUE; }

    // One ReadFile or WriteFile, waited for.
    bool Transfer(bool read, uint8_t *buffer, DWORD length, DWORD *done)
    {
        if (overlapped == INVALID_HANDLE_VALUE) {
            return read ? ReadFile(client->Handle(), buffer, length, done, nullptr)
                        : WriteFile(client->Handle(), buffer, length, done, nullptr);
        }
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = read ? ReadFile(overlapped, buffer, length, nullptr, &ov)
                       : WriteFile(overlapped, buffer, length, nullptr, &ov);
        if (ok || GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(overlapped, &ov, done, TRUE);
        }
        CloseHandle(ov.hEvent);
        return ok;
    }

    // Reads until `length` bytes came or nothing came for a second. A read may end
    // empty before that: a zero-length transfer from the phone ends the waiting read.
    size_t ReadAll(uint8_t *buffer, size_t length, size_t request)
    {
        size_t done = 0;
        auto progress = Clock::now();
        while (done < length && Seconds(progress) < 1.0) {
            DWORD got = 0;
            const DWORD ask = static_cast<DWORD>(std::min(request, length - done));
            if (!Transfer(true, buffer + done, ask, &got)) {
                break;
            }
            if (got != 0) {
                done += got;
                progress = Clock::now();
            }
        }
        return done;
    }
    size_t WriteAll(const uint8_t *data, size_t length, size_t request)
    {
        size_t done = 0;
        while (done < length) {
            DWORD put = 0;
            const DWORD ask = static_cast<DWORD>(std::min(request, length - done));
            if (!Transfer(false, const_cast<uint8_t *>(data) + done, ask, &put) || put != ask) {
                break;
            }
            done += put;
        }
        return done;
    }
};

Figure Start(const std::string &name, Speed speed)
{
    Figure figure;
    figure.name = name;
    figure.limit = static_cast<double>(sim::usb::BulkBytesPerSecond(speed));
    return figure;
}

}  // namespace

Figure Receive(Session &session, Speed speed, size_t bytes, size_t request)
{
    Figure figure = Start(std::string("receive, ") + SpeedName(speed) + " speed, ReadFile of " +
                              Size(request), speed);
    Bench bench(session, speed, PhoneKind::Loopback, std::make_shared<Sink>());
    if (!bench.Ready()) {
        figure.ok = false;
        return figure;
    }
    const std::vector<uint8_t> data = Pattern(bytes);
    std::vector<uint8_t> in(bytes);
    bench.usb->ResetSlots();
    // The bus takes nothing while Send queues the packets: the clock starts after it.
    bench.usb->Send(ObexPhone::kBulkIn, data);
    const auto start = Clock::now();
    const size_t got = bench.ReadAll(in.data(), bytes, request);
    figure.value = static_cast<double>(got) / Seconds(start);
    figure.slots = bench.usb->Slots();
    figure.ok = got == bytes && in == data;
    return figure;
}

Figure Transmit(Session &session, Speed speed, size_t bytes, size_t request)
{
    Figure figure = Start(std::string("transmit, ") + SpeedName(speed) + " speed, WriteFile of " +
                              Size(request), speed);
    auto sink = std::make_shared<Sink>();
    Bench bench(session, speed, PhoneKind::Loopback, sink);
    if (!bench.Ready()) {
        figure.ok = false;
        return figure;
    }
    const std::vector<uint8_t> data = Pattern(bytes);
    bench.usb->ResetSlots();
    const auto start = Clock::now();
    const size_t sent = bench.WriteAll(data.data(), bytes, request);
    figure.value = static_cast<double>(sent) / Seconds(start);
    figure.slots = bench.usb->Slots();
    // Every write ends with a short or zero-length packet: nothing stays at the phone.
    figure.ok = sent == bytes && sink->bytes == bytes && bench.usb->HeldAtPhone(ObexPhone::kBulkOut) == 0;
    return figure;
}

Figure Duplex(Session &session, Speed speed, size_t bytes)
{
    Figure figure = Start(std::string("full duplex echo, ") + SpeedName(speed) + " speed, 4 KiB", speed);
    Bench bench(session, speed, PhoneKind::Loopback, nullptr, true);
    if (!bench.Ready()) {
        figure.ok = false;
        return figure;
    }
    const std::vector<uint8_t> data = Pattern(bytes);
    std::vector<uint8_t> in(bytes);
    bench.usb->ResetSlots();
    const auto start = Clock::now();
    size_t sent = 0;
    std::thread writer([&] { sent = bench.WriteAll(data.data(), bytes, 4096); });
    const size_t got = bench.ReadAll(in.data(), bytes, 65536);
    writer.join();
    figure.value = static_cast<double>(sent + got) / Seconds(start);
    figure.slots = bench.usb->Slots();
    figure.ok = sent == bytes && got == bytes && in == data;
    return figure;
}

Figure Obex(Session &session, Speed speed, size_t bytes, bool get)
{
    Figure figure = Start(std::string("OBEX ") + (get ? "GET" : "PUT") + " of " + Size(bytes) + ", " +
                              SpeedName(speed) + " speed", speed);
    Bench bench(session, speed, PhoneKind::Obex, nullptr);
    if (!bench.Ready()) {
        figure.ok = false;
        return figure;
    }
    sim::obex::Client &obex = bench.client->Obex();
    const std::vector<uint8_t> data = Pattern(bytes);
    std::vector<uint8_t> back;
    bool ok = obex.Connect(sim::obex::kFolderBrowsing) == sim::obex::kSuccess &&
              obex.SetPath(u"Pictures") == sim::obex::kSuccess;
    if (get) {
        ok = ok && obex.Put(u"bench.bin", data) == sim::obex::kSuccess;
    }
    bench.usb->ResetSlots();
    const auto start = Clock::now();
    ok = ok && (get ? obex.Get(u"bench.bin", "", back) : obex.Put(u"bench.bin", data)) == sim::obex::kSuccess;
    figure.value = static_cast<double>(bytes) / Seconds(start);
    figure.slots = bench.usb->Slots();
    ok = ok && (!get || back == data) && obex.Disconnect() == sim::obex::kSuccess;
    figure.ok = ok;
    return figure;
}

std::vector<Figure> All(Session &session, size_t scale)
{
    std::vector<Figure> figures;
    const size_t full = std::max<size_t>(scale / 16, 65536);
    for (Speed speed : {Speed::Full, Speed::High}) {
        const size_t bytes = speed == Speed::High ? scale : full;
        for (size_t request : {4096u, 65536u}) {
            figures.push_back(Receive(session, speed, bytes, request));
        }
        for (size_t request : {1024u, 4096u, 65536u, 1u << 20}) {
            figures.push_back(Transmit(session, speed, std::max(bytes, request), request));
        }
        figures.push_back(Duplex(session, speed, bytes));
    }
    figures.push_back(Obex(session, Speed::High, scale, false));
    figures.push_back(Obex(session, Speed::High, scale, true));
    return figures;
}

void PrintTable(const std::vector<Figure> &figures, const std::string &driver)
{
    std::printf("%-44s %12s %12s %7s  %s\n", "figure", "value KB/s", "limit KB/s", "ratio",
                "bus slots: IN used/idle/waiting, OUT used/idle");
    for (const Figure &f : figures) {
        auto pipe = [&](uint8_t endpoint) {
            auto it = f.slots.pipes.find(endpoint);
            return it == f.slots.pipes.end() ? sim::usb::SlotCounts::Pipe{} : it->second;
        };
        const auto in = pipe(ObexPhone::kBulkIn);
        const auto out = pipe(ObexPhone::kBulkOut);
        std::printf("%-44s %12.1f %12.1f %6.1f%%  %llu/%llu/%llu, %llu/%llu%s\n", f.name.c_str(),
                    f.value / 1000, f.limit / 1000, 100 * f.Ratio(), (unsigned long long)in.used,
                    (unsigned long long)in.idle, (unsigned long long)in.waiting,
                    (unsigned long long)out.used, (unsigned long long)out.idle,
                    f.ok ? "" : "  FAILED: data lost or refused");
    }
    struct utsname name {};
    uname(&name);
    std::string cpu = "?";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    std::printf("machine: %s, %s %s, %ld cores (%s)\ndriver: %s\n", name.nodename, name.sysname,
                name.release, sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(),
                driver.empty() ? "host build" : driver.c_str());
}

}  // namespace tool::bench

namespace tool {

int RunBench(const Options &options)
{
    Options real = options;
    real.virtualTime = false;
    Session session(real);
    int exit = kExitOk;
    if (!session.Start(false, &exit)) {
        return exit;
    }
    const std::vector<bench::Figure> figures = bench::All(session, options.size);
    bool ok = true;
    for (const auto &f : figures) {
        ok &= f.ok;
    }
    bench::PrintTable(figures, options.driver);
    ok &= session.Finish(false);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace tool

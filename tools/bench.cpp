// The data-path benchmarks (see bench.h) and `varnoobex bench`.
#include "tools/bench.h"

#include "sim/ex/ex.h"
#include "sim/ke/ke.h"
#include "sim/obex/phone.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/port_client.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstring>
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

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double CpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process's resident memory, in bytes.
double ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

uint64_t Transfers(const sim::usb::SlotCounts &slots, uint8_t endpoint)
{
    auto it = slots.pipes.find(endpoint);
    return it == slots.pipes.end() ? 0 : it->second.transfers;
}

void PrintMachine(const std::string &driver)
{
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
    PrintMachine(driver);
}

double Latency::Quantile(double q) const
{
    if (ns.empty()) {
        return 0;
    }
    std::vector<double> sorted = ns;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * static_cast<double>(sorted.size())))];
}

Software SoftwareCost(Session &session, size_t bytes)
{
    Software result;
    result.inGap.name = "bulk-in completion to the next bulk-in transfer";
    result.writeToBus.name = "WriteFile of 4 KiB to its first transfer";
    // Filled by the hooks on the bus, worker and application threads; shared with
    // them so that a hook still running after the figure cannot outlive it.
    struct Marks {
        std::mutex lock;
        int64_t inDone = -1;
        int64_t outFirst = -1;
        std::vector<double> gaps;
    };
    auto marks = std::make_shared<Marks>();
    const auto start = Clock::now();
    {
        Bench bench(session, Speed::High, PhoneKind::Loopback, std::make_shared<Sink>());
        if (!bench.Ready()) {
            result.ok = false;
            return result;
        }
        bench.usb->UseTimingModel(false);
        bench.usb->SetCompletionHook([marks](UCHAR endpoint) {
            if (endpoint == ObexPhone::kBulkIn) {
                std::lock_guard<std::mutex> guard(marks->lock);
                marks->inDone = NowNs();
            }
        });
        bench.usb->SetArrivalHook([marks](UCHAR endpoint) {
            std::lock_guard<std::mutex> guard(marks->lock);
            if (endpoint == ObexPhone::kBulkIn && marks->inDone >= 0) {
                marks->gaps.push_back(static_cast<double>(NowNs() - marks->inDone));
                marks->inDone = -1;
            } else if (endpoint == ObexPhone::kBulkOut && marks->outFirst < 0) {
                marks->outFirst = NowNs();
            }
        });
        const std::vector<uint8_t> data = Pattern(bytes);
        std::vector<uint8_t> in(bytes);
        bench.usb->ResetSlots();
        // 64 KiB at a time, each read before the next is sent: an infinitely fast bus
        // would otherwise fill the receive ring faster than a reader empties it, and
        // the driver drops what does not fit, as a serial port overruns.
        size_t got = 0;
        for (size_t at = 0; at < bytes && got == at; at += 65536) {
            const size_t chunk = std::min<size_t>(65536, bytes - at);
            bench.usb->Send(ObexPhone::kBulkIn, std::vector<uint8_t>(data.begin() + at, data.begin() + at + chunk));
            got += bench.ReadAll(in.data() + at, chunk, 65536);
        }
        result.ok = got == bytes && in == data;
        {
            std::lock_guard<std::mutex> guard(marks->lock);
            result.inGap.ns = marks->gaps;
        }
        // The writes, on the same phone: each one waited for, its first transfer timed.
        for (size_t at = 0; at + 4096 <= bytes && result.ok; at += 4096) {
            {
                std::lock_guard<std::mutex> guard(marks->lock);
                marks->outFirst = -1;
            }
            const int64_t called = NowNs();
            result.ok = bench.WriteAll(data.data() + at, 4096, 4096) == 4096;
            std::lock_guard<std::mutex> guard(marks->lock);
            if (marks->outFirst >= 0) {
                result.writeToBus.ns.push_back(static_cast<double>(marks->outFirst - called));
            }
        }
        const sim::usb::SlotCounts slots = bench.usb->Slots();
        result.inTransfers = Transfers(slots, ObexPhone::kBulkIn);
        result.outTransfers = Transfers(slots, ObexPhone::kBulkOut);
        result.bytes = 2 * static_cast<uint64_t>(bytes);
        sim::ke::WaitIdle();
        bench.usb->SetCompletionHook({});
        bench.usb->SetArrivalHook({});
    }
    result.seconds = Seconds(start);
    return result;
}

void PrintSoftware(const Software &s, const std::string &driver)
{
    std::printf("%-50s %10s %10s %8s\n", "software path, bus infinitely fast (high speed)", "median us",
                "99th us", "samples");
    for (const Latency *l : {&s.inGap, &s.writeToBus}) {
        std::printf("%-50s %10.1f %10.1f %8zu\n", l->name.c_str(), l->Quantile(0.5) / 1000,
                    l->Quantile(0.99) / 1000, l->ns.size());
    }
    std::printf("bulk transfers: %llu IN, %llu OUT, %llu bytes in %.2f s%s\n",
                (unsigned long long)s.inTransfers, (unsigned long long)s.outTransfers,
                (unsigned long long)s.bytes, s.seconds, s.ok ? "" : "  FAILED: data lost or refused");
    PrintMachine(driver);
}

Scale ScaleRun(Session &session, int phones, size_t bytes)
{
    Scale row;
    row.phones = phones;
    // At most 960 KiB each: all of it fits the driver's receive ring, so a reader that
    // falls behind on a busy machine slows the figure down instead of overrunning.
    const size_t each = std::clamp<size_t>(bytes / static_cast<size_t>(phones) / 4096 * 4096, 65536, 960 * 1024);
    uint64_t before = 0;
    for (const sim::ex::PoolBlock &block : sim::ex::Outstanding()) {
        before = std::max(before, block.serial);
    }
    const double resident = ResidentBytes();
    std::vector<std::unique_ptr<Bench>> benches;
    for (int i = 0; i < phones && row.ok; i++) {
        benches.push_back(std::make_unique<Bench>(session, Speed::High, PhoneKind::Loopback,
                                                  std::make_shared<Sink>()));
        row.ok = benches.back()->Ready();
    }
    if (!row.ok) {
        return row;
    }
    row.residentPerPhone = (ResidentBytes() - resident) / phones;
    // What the phones added to the pool, with their ports open: by tag, per phone.
    // (The device objects and their extensions are not pool blocks: they show in the
    // resident memory, with the bus's and the phone's own.)
    std::map<std::string, double> byTag;
    for (const sim::ex::PoolBlock &block : sim::ex::Outstanding()) {
        if (block.serial > before) {
            char tag[5] = {};
            memcpy(tag, &block.tag, 4);
            for (char &c : tag) {
                c = c == 0 ? ' ' : c;
            }
            byTag[std::string(tag, 4) + " (" + block.owner + ")"] += static_cast<double>(block.size) / phones;
            row.poolPerPhone += static_cast<double>(block.size) / phones;
        }
    }
    row.poolByTag.assign(byTag.begin(), byTag.end());
    std::sort(row.poolByTag.begin(), row.poolByTag.end(),
              [](const auto &a, const auto &b) { return a.second > b.second; });
    const std::vector<uint8_t> data = Pattern(each);
    std::vector<std::vector<uint8_t>> in(benches.size(), std::vector<uint8_t>(each));
    std::vector<size_t> got(benches.size());
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> readers;
    for (size_t i = 0; i < benches.size(); i++) {
        benches[i]->usb->Send(ObexPhone::kBulkIn, data);
        readers.emplace_back([&, i] { got[i] = benches[i]->ReadAll(in[i].data(), each, 65536); });
    }
    for (std::thread &reader : readers) {
        reader.join();
    }
    const double seconds = Seconds(start);
    row.cpuNsPerByte = (CpuSeconds() - cpu) * 1e9 / static_cast<double>(each * benches.size());
    size_t total = 0;
    for (size_t i = 0; i < benches.size(); i++) {
        total += got[i];
        row.ok = row.ok && got[i] == each && in[i] == data;
    }
    row.value = static_cast<double>(total) / seconds;
    row.limit = static_cast<double>(phones) * static_cast<double>(sim::usb::BulkBytesPerSecond(Speed::High));
    return row;
}

void PrintScale(const std::vector<Scale> &rows, const std::string &driver)
{
    std::printf("%-7s %12s %12s %7s %13s %13s %9s  %s\n", "phones", "total KB/s", "limit KB/s", "ratio",
                "memory/phone", "pool B/phone", "CPU ns/B", "pool per phone by tag (owner)");
    for (const Scale &r : rows) {
        std::string tags;
        for (size_t i = 0; i < r.poolByTag.size() && i < 4; i++) {
            char part[96];
            snprintf(part, sizeof(part), "%s%s %.0f", i == 0 ? "" : ", ", r.poolByTag[i].first.c_str(),
                     r.poolByTag[i].second);
            tags += part;
        }
        std::printf("%-7d %12.1f %12.1f %6.1f%% %13.0f %13.0f %9.1f  %s%s\n", r.phones, r.value / 1000,
                    r.limit / 1000, r.limit > 0 ? 100 * r.value / r.limit : 0, r.residentPerPhone, r.poolPerPhone,
                    r.cpuNsPerByte, tags.c_str(), r.ok ? "" : "  FAILED: data lost or refused");
    }
    PrintMachine(driver);
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
    bool ok = true;
    if (options.figures == "software") {
        const bench::Software software = bench::SoftwareCost(session, options.size);
        ok = software.ok;
        bench::PrintSoftware(software, options.driver);
    } else if (options.figures == "scale") {
        std::vector<bench::Scale> rows;
        for (int phones : {1, 8, 32, 64}) {
            rows.push_back(bench::ScaleRun(session, phones, options.size));
            ok &= rows.back().ok;
        }
        bench::PrintScale(rows, options.driver);
    } else {
        const std::vector<bench::Figure> figures = bench::All(session, options.size);
        for (const auto &f : figures) {
            ok &= f.ok;
        }
        bench::PrintTable(figures, options.driver);
    }
    ok &= session.Finish(false);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace tool

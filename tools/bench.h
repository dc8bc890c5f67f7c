// The data-path benchmarks that `varnoobex bench` prints and the Google Benchmark
// suite (bench/) runs: each figure measured through the application API on a phone of
// its own, in real time with the bus's timing model on, and set against the bus's
// limit in the same run. The slot counts of the bus (sim/usb/bus_timing.h) say where
// the time went: slots a pipe used, and slots it left idle with nothing of the
// driver's pending.
//
// Runs on the program's main thread inside a started Session (tools/session.h).
#pragma once

#include "sim/usb/bus_timing.h"
#include "tools/session.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tool::bench {

struct Figure {
    std::string name;          // "receive, high speed, ReadFile of 64 KiB"
    double value = 0;          // bytes per second
    double limit = 0;          // what the bus can carry, bytes per second
    bool ok = true;            // every byte arrived whole and in order
    sim::usb::SlotCounts slots;  // what the bus carried meanwhile
    double Ratio() const { return limit > 0 ? value / limit : 0; }
};

// The phone sends `bytes` as fast as the bus takes them; one thread reads them with
// ReadFile requests of `request` bytes.
Figure Receive(Session &session, sim::usb::Speed speed, size_t bytes, size_t request);
// WriteFile of `request` bytes at a time until `bytes` are sent; the phone takes all.
Figure Transmit(Session &session, sim::usb::Speed speed, size_t bytes, size_t request);
// A loopback phone: one thread writes `bytes` in 4 KiB requests while another reads
// the echo; both directions share the bus, so the limit is the bus's.
Figure Duplex(Session &session, sim::usb::Speed speed, size_t bytes);
// An OBEX PUT (`get` false) or GET of an object of `bytes` through the program's own
// client; the limit is the bus's, since requests and responses share it.
Figure Obex(Session &session, sim::usb::Speed speed, size_t bytes, bool get);

// The figures `varnoobex bench` prints, with `scale` bytes for a high-speed figure
// (full-speed ones move scale / 16).
std::vector<Figure> All(Session &session, size_t scale);

// The software path with the bus made infinitely fast (the timing model off, so a
// transfer completes as soon as the bus thread takes it), high speed, in
// nanoseconds: from the bus being done with a bulk-in transfer to the driver's next
// bulk-in transfer reaching it (the phone streams `bytes`, ReadFile of 64 KiB), and
// from a WriteFile of 4 KiB being called to its first transfer reaching the bus
// (bytes / 4096 writes). The phone sends 64 KiB at a time, each read before the next.
struct Latency {
    std::string name;
    std::vector<double> ns;
    double Quantile(double q) const;   // of the sorted samples; 0 when there are none
};
struct Software {
    Latency inGap, writeToBus;
    uint64_t inTransfers = 0, outTransfers = 0;   // bulk transfers the bus carried
    uint64_t bytes = 0;                           // both directions
    double seconds = 0;                           // wall time of both parts
    bool ok = true;
};
Software SoftwareCost(Session &session, size_t bytes);
void PrintSoftware(const Software &software, const std::string &driver);

// `phones` phones at high speed, each streaming bytes / phones (64 KiB to 960 KiB) to
// a reader thread of its own with ReadFile of 64 KiB, all at once, with the timing
// model on: the total throughput against the sum of the phones' buses (one bus
// each), the resident memory and the pool each phone adds once its port is open
// (the pool by tag), and the process's CPU time per byte moved.
struct Scale {
    int phones = 0;
    double value = 0, limit = 0;          // bytes per second, all phones
    double residentPerPhone = 0;          // bytes of resident memory the phones added, each
    double poolPerPhone = 0;              // bytes
    std::vector<std::pair<std::string, double>> poolByTag;   // bytes per phone, largest first
    double cpuNsPerByte = 0;
    bool ok = true;
};
Scale ScaleRun(Session &session, int phones, size_t bytes);
void PrintScale(const std::vector<Scale> &rows, const std::string &driver);

// "figure | value | limit | ratio" rows, the idle-slot counts after them, and the
// machine's name, cores and the driver build.
void PrintTable(const std::vector<Figure> &figures, const std::string &driver);

}  // namespace tool::bench

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

// "figure | value | limit | ratio" rows, the idle-slot counts after them, and the
// machine's name, cores and the driver build.
void PrintTable(const std::vector<Figure> &figures, const std::string &driver);

}  // namespace tool::bench

// The bus's packet-level timing: bulk packets in the slots of (micro)frames, and per
// pipe the count of slots each transfer used and of slots that passed with nothing of
// the host's pending.
//
// Full speed: a 1 ms frame holds at most 19 bulk packets of 64 bytes (1,216,000 B/s);
// high speed: a 125 us microframe holds at most 13 packets of 512 bytes (53,248,000
// B/s). The slots of a frame are spread evenly over it. A transfer takes slots from the
// first one that begins after it reached the bus (and, IN, after the phone had data to
// send), back to back after whatever the bus already carries: IN and OUT share the one
// bus, and each packet (a zero-length one too) costs a slot. A transfer ends when its
// last packet does.
//
// Clocks: in virtual time the bus clock is the platform's interrupt time (tests move
// it with ke::Advance), so the slot counts are the same on every run and nothing
// waits; in real time it is the steady clock, and the bus thread waits for each
// transfer's last slot (WaitUntil) before completing it.
//
// Not modelled: control and periodic traffic, SOF and inter-packet gaps inside a
// frame, NAK retries costing slots, the order of IN and OUT packets inside a frame
// (transfers are carried one after another), several devices sharing a bus.
//
// Not thread-safe: Device::lock_ guards the one of each device.
#pragma once

#include "sim/usb/descriptors.h"

#include <cstdint>
#include <map>

namespace sim::usb {

// What the bus carried since the counters were last reset.
struct SlotCounts {
    struct Pipe {
        uint64_t transfers = 0;   // transfers that moved at least one packet
        uint64_t bytes = 0;
        uint64_t used = 0;        // slots that carried a packet of this pipe
        // Slots that passed with no transfer of the host pending on this pipe although
        // it had work: IN, the phone had data waiting; OUT, between one transfer's end
        // and the next one's arrival.
        uint64_t idle = 0;
        // IN only: slots a transfer was pending with nothing from the phone to send.
        uint64_t waiting = 0;
    };
    uint64_t slots = 0;           // slots from the first transfer's start to the last one's end
    uint64_t used = 0;            // of those, slots that carried any packet
    uint64_t slotsPerSecond = 0;  // 19,000 at full speed, 104,000 at high speed
    uint32_t packetSize = 0;      // 64 or 512
    std::map<uint8_t, Pipe> pipes;   // by endpoint address
};

class BusTiming {
public:
    explicit BusTiming(Speed speed);

    // The bus clock in nanoseconds: interrupt time under virtual time, the steady
    // clock under real time (`real`).
    static int64_t Now(bool real);
    // Real time: returns at `deadline` (steady clock ns), a few microseconds late at
    // most: it sleeps while the deadline is far and spins the last stretch, since a
    // sleep alone overshoots by the thread's timer slack.
    static void WaitUntil(int64_t deadline);

    // A transfer on `endpoint` that reached the bus at `arrival` and carries `packets`
    // packets (a zero-length packet is one), `bytes` in all. `ready` is when the phone
    // had data for it (IN; OUT: pass `arrival`). Returns the time its last packet ends.
    int64_t Carry(uint8_t endpoint, bool in, int64_t arrival, int64_t ready, uint32_t packets,
                  uint64_t bytes);

    SlotCounts Counts() const;
    // Starts the counts again from now: transfers before it are not looked at.
    void Reset();

    // The packets a transfer of `bytes` moves when it ends with a short packet
    // (`terminated`: a zero-length one if `bytes` is a multiple of the packet size) or
    // with a full one.
    uint32_t PacketsFor(uint64_t bytes, bool terminated) const;

private:
    int64_t SlotStart(int64_t slot) const;
    int64_t SlotAt(int64_t ns) const;   // the first slot that begins at or after ns

    int64_t frameNs_;
    int64_t slotsPerFrame_;
    uint32_t packetSize_;
    int64_t cursor_ = 0;        // first slot the bus has not given away
    int64_t firstSlot_ = -1;    // where the counted window begins; -1: nothing yet
    SlotCounts counts_;
    struct PipeClock {
        int64_t lastEnd = -1;   // slot after the pipe's last transfer; -1: none counted
    };
    std::map<uint8_t, PipeClock> clocks_;
};

}  // namespace sim::usb

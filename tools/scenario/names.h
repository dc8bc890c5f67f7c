// Name tables of the scenario language: NTSTATUS and USBD status codes, serial control
// codes, comm event bits, purge flags, escape functions, modem status bits, line
// settings and OBEX responses, both ways (a scenario names them, the runner prints them).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool::scenario {

struct Named {
    const char *name;
    uint64_t value;
};

// One table: lookup by name (case-insensitive) or by value.
class NameTable {
public:
    NameTable(const char *what, std::vector<Named> entries) : what_(what), entries_(std::move(entries)) {}
    std::optional<uint64_t> Find(const std::string &name) const;
    // The name of `value`, or nullptr.
    const char *NameOf(uint64_t value) const;
    // A bit mask as "rxchar txempty" ("none" for 0; unknown bits in hex).
    std::string Flags(uint64_t mask) const;
    // "rxchar, rxflag, ..." for messages.
    std::string List() const;
    const char *What() const { return what_; }

private:
    const char *what_;
    std::vector<Named> entries_;
};

extern const NameTable kNtStatus;      // STATUS_SUCCESS, ...
extern const NameTable kUsbdStatus;    // USBD_STATUS_STALL_PID, ...
extern const NameTable kIoctls;        // IOCTL_SERIAL_SET_BAUD_RATE, ...
extern const NameTable kEvents;        // rxchar, txempty, ...
extern const NameTable kPurges;        // rxabort, txabort, rxclear, txclear
extern const NameTable kEscapes;       // setdtr, clrdtr, ...
extern const NameTable kModemBits;     // cts, dsr, ring, rlsd
extern const NameTable kCommErrors;    // rxover, overrun, rxparity, frame, break, ...
extern const NameTable kParities;      // none, odd, even, mark, space
extern const NameTable kStopBits;      // 1, 1.5, 2
extern const NameTable kLineControl;   // off, on, handshake, toggle
extern const NameTable kObexResponses; // success, not-found, forbidden, ...

// A code by name or by number (decimal or 0x...).
std::optional<uint64_t> ParseCode(const NameTable &table, const std::string &text);
// "STATUS_CANCELLED (0xC0000120)" / "0x12345678".
std::string DescribeStatus(int32_t status);
std::string DescribeUsbd(uint32_t status);

}  // namespace tool::scenario

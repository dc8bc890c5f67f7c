// The varnoobex program's command line: subcommands, the options they share, and the
// exit statuses every subcommand keeps to.
//
//   varnoobex [OPTIONS]            the default session
//   varnoobex run [OPTIONS] FILE   a scenario file
//   varnoobex pty [OPTIONS]        a phone behind a Linux pseudo-terminal
//   varnoobex chaos [OPTIONS]      seeded random runs with the phone pulled out
//   varnoobex endure [OPTIONS]     endurance cycles
//   varnoobex image PATH           a driver image checked and shown as the loader sees it
//   varnoobex bench [OPTIONS]      the data-path benchmarks
#pragma once

#include "sim/usb/descriptors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// Exit statuses, documented in --help and the README.
enum Exit : int {
    kExitOk = 0,           // every step and expectation held, nothing left behind
    kExitFailed = 1,       // a step or an expectation failed, or the platform saw a fault
    kExitUsage = 2,        // unknown subcommand or option, a missing or bad argument
    kExitInput = 3,        // a file that is missing, unreadable or does not parse
    kExitEnvironment = 4,  // something outside the program: a TCP phone that does not
                           // answer, a port that does not exist, no pseudo-terminal
    kExitBugCheck = 5,     // the driver crashed: the platform stopped the run as a bug
                           // check would (sim::ke::kBugCheckExitStatus)
};

enum class PhoneKind { Obex, Loopback, Tcp };

// What answers behind the bulk pipes of a plugged phone.
struct PhoneSpec {
    PhoneKind kind = PhoneKind::Obex;
    std::string host;      // tcp only
    uint16_t port = 0;     // tcp only
    std::string Describe() const;
};

// Parses "obex", "loopback" or "tcp:HOST:PORT" (HOST may be "[v6]"); nullopt with
// `error` set otherwise.
std::optional<PhoneSpec> ParsePhone(const std::string &text, std::string *error);

struct Options {
    std::string command;            // "", "run", "pty", "image" or "bench"
    // --driver PATH (or $VARNOOBEX_DRIVER): the driver image to load; empty for the
    // host build linked into the program.
    std::string driver;
    bool help = false;
    // --trace: one line per request entering or leaving the driver, to standard
    // error; --trace=FILE: to that file.
    bool trace = false;
    std::string traceFile;
    PhoneSpec phone;                // --phone MODEL
    int phones = 1;                 // --phones N (default run, pty)
    // --figures table|software|scale (bench): the throughput table, the software
    // path's cost with the bus made infinitely fast, or 1 to 64 phones at once.
    std::string figures = "table";
    sim::usb::Speed speed = sim::usb::Speed::Full;   // --speed full|high
    bool virtualTime = false;       // --time virtual|real
    std::string file;               // --file PATH (default run: the object to send)
    size_t size = 300 * 1024;       // --size BYTES (default run: generated object)
    std::string portName = "COM5";  // --port COMn: the first phone's port
    // --link PATH (pty), once per phone in port order: a symbolic link to its terminal.
    std::vector<std::string> links;
    bool progress = true;           // --no-progress
    // --unplug-after BYTES (default run): the phone is pulled out once the PUT has sent
    // this many bytes, to show how the session ends and that nothing is left behind.
    std::optional<size_t> unplugAfter;
    // --fail-point N (run): the N-th fallible platform call of the run fails, the
    // statements' own expectations may then fail, and the run checks only that the
    // driver came through (tools/scenario/run.cpp); 0 counts the calls.
    std::optional<int> failPoint;
    // chaos: the first run's seed and the number of runs (seeds seed, seed+1, ...);
    // endure: the open-write-read-close cycles and the plug-to-unplug cycles.
    uint64_t seed = 1;
    uint64_t runs = 20;
    uint64_t cycles = 100000;
    uint64_t plugs = 10000;
    std::vector<std::string> arguments;   // positional arguments after the subcommand
};

// Parses argv. On a usage error returns nullopt with `error` holding one plain line.
std::optional<Options> ParseCommandLine(int argc, char **argv, std::string *error);

// The --help text of a subcommand ("" for the default run).
const char *Usage(const std::string &command);

// The port name of the phone at `index` (0, 1, ...) when the first is `first`:
// ("COM5", 1) -> "COM6".
std::string PortNameAt(const std::string &first, int index);

// "COM5" -> u"COM5"; names are ASCII.
std::u16string Wide(const std::string &text);
std::string Narrow(const std::u16string &text);

}  // namespace tool

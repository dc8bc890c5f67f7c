// The scenario language's parsed form and the runner it drives (docs/scenarios.md).
//
// A scenario file is parsed whole before anything runs: each line is one statement
// (or blank, or a '#' comment), turned into an action on the Runner plus the
// expectations that follow its `expect` keyword. The runner carries the statements
// out one at a time on the program's main thread; every wait it does is bounded.
#pragma once

#include "kernel/kernel.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/device.h"
#include "tools/cli.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tool::scenario {

class Runner;

// What a statement did, as its expectations see it.
struct Outcome {
    bool ok = true;                          // the call succeeded
    uint32_t error = 0;                      // its Win32 error when it did not
    std::optional<int32_t> status;           // an NTSTATUS (Plug and Play, power, plug)
    std::optional<std::vector<uint8_t>> data;   // bytes read or returned
    std::optional<uint64_t> count;           // bytes moved, or a count the statement reports
    std::optional<bool> pending;             // an asynchronous request still in flight
    std::optional<uint8_t> response;         // an OBEX response code (0: transport failed)
    std::map<std::string, uint64_t> fields;  // named results (baud, events, ...)
    std::string problem;                     // the scenario itself went wrong: always a failure
    std::string note;                        // detail printed with the result

    static Outcome Win32Failure(uint32_t error);
    static Outcome Problem(std::string text);
    // ok, and every status and response a success.
    bool Succeeded() const;
};

// One expectation of a statement.
struct Expectation {
    enum class Kind { Ok, Error, Status, Count, Data, Pending, Done, Response, Field } kind = Kind::Ok;
    uint64_t value = 0;
    std::vector<uint8_t> data;
    std::string field;      // Field: its name
    bool flags = false;     // Field: a bit mask (compared whole)
    std::string text;       // as written, for messages
};

struct Statement {
    int line = 0;
    std::string text;       // the line as written, without its comment
    std::function<Outcome(Runner &)> action;
    std::vector<Expectation> expectations;
};

struct Script {
    std::string path;
    std::vector<Statement> statements;
};

struct ParseError {
    int line = 0;
    int column = 0;
    std::string message;    // "expected ..., got '...'"
};

// Parses a whole scenario; files named in it are read relative to `baseDirectory`.
// Returns the errors (one at most per line); `script` holds the statements when none.
std::vector<ParseError> Parse(const std::string &text, const std::string &baseDirectory, Script *script);

// Checks an outcome against a statement's expectations; empty when every one held.
// Without an expectation of an error, a status or a response, the call must succeed.
std::vector<std::string> Evaluate(const Statement &statement, const Outcome &outcome);

// "hello\r\n" as a quoted string with escapes, shortened past `limit` bytes.
std::string Quote(const std::vector<uint8_t> &bytes, size_t limit = 64);

// ---- what the statements ask of the runner
enum class Model { Default, Obex, Loopback, Scripted, Silent, Dead };
enum class Layout { Obex, NoObex, WrongAlternate, MissingEndpoint };

struct PlugArgs {
    std::string name;                       // empty: "phone", "phone2", ...
    std::string port;                       // empty: COM5, COM6, ...
    Model model = Model::Default;
    std::optional<sim::usb::Speed> speed;
    Layout layout = Layout::Obex;
    bool start = true;
};

struct DcbChange {
    std::string field;      // baud, bits, parity, stop, dtr, rts
    uint64_t value;
};

struct TimeoutsArgs {
    uint32_t interval = 0, multiplier = 0, constant = 0, writeMultiplier = 0, writeConstant = 0;
};

struct FaultArgs {
    std::string phone;
    bool in = true;
    int count = 1;          // -1: always
    enum class Action { Fault, Clear, Halt } action = Action::Fault;
    sim::usb::Device::Fault fault;
};

struct ObexArgs {
    enum class Op { Connect, Disconnect, Get, Put, Delete, SetPath } op = Op::Connect;
    bool inbox = false;     // connect: without the folder-browsing target
    std::string name;
    std::string type;
    std::vector<uint8_t> body;
    bool up = false;        // setpath up
};

}  // namespace tool::scenario

#include "tools/cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tool {

namespace {

const char kDefaultUsage[] =
    "usage: varnoobex [OPTIONS]\n"
    "       varnoobex run [OPTIONS] FILE\n"
    "       varnoobex pty [OPTIONS]\n"
    "       varnoobex chaos|endure [OPTIONS]\n"
    "       varnoobex image PATH\n"
    "       varnoobex bench [OPTIONS]\n"
    "\n"
    "Runs the varnoobex driver on the host platform (a user-mode stand-in for the\n"
    "Windows kernel, the USB bus and the phone) and explains each step:\n"
    "  1. loads the driver and shows its debugger output;\n"
    "  2. plugs in a simulated phone whose port name is COM5 (the Plug and Play\n"
    "     manager calls AddDevice and starts it) and shows the device's name, its\n"
    "     COM name link, its SERIALCOMM entry and its interface;\n"
    "  3. opens \\\\.\\COM5 as an OBEX application does (SetCommState,\n"
    "     SetCommTimeouts, SetCommMask) and runs an OBEX session with the phone:\n"
    "     CONNECT to the file-transfer service, GET the folder listing, GET the\n"
    "     phone's capability object, PUT a file, GET it back and compare it,\n"
    "     DISCONNECT; then puts the system to sleep (S3) and wakes it with the port\n"
    "     open and checks that the session still works;\n"
    "  4. closes the port, pulls the phone out (surprise removal), shows that the\n"
    "     link, the registry entry and the interface are gone, unloads the driver,\n"
    "     and checks that the verifier saw no violation and the pool holds nothing\n"
    "     of the driver's.\n"
    "\n"
    "Subcommands (each with --help):\n"
    "  run FILE     run a scenario file (see docs/scenarios.md)\n"
    "  chaos        seeded random runs with the phone pulled out (docs/reliability.md)\n"
    "  endure       endurance cycles: open and close, plug and unplug\n"
    "  pty          bridge a phone's COM port to a Linux pseudo-terminal\n"
    "  image PATH   check a driver image as the kernel's loader does and show its\n"
    "               sections, imports and relocations\n"
    "  bench        measure the data path against the USB bus's limit\n"
    "\n"
    "Options:\n"
    "  --phone MODEL     what answers behind the pipes: obex (default), loopback\n"
    "                    (echoes every byte; a byte exchange replaces the OBEX\n"
    "                    session), or tcp:HOST:PORT (an OBEX server over TCP)\n"
    "  --phones N        plug N phones (COM5, COM6, ...) and run the session on\n"
    "                    each at once (1 to 8)\n"
    "  --speed full|high the bus model: full speed (64-byte packets, the default) or\n"
    "                    high speed (512-byte packets)\n"
    "  --file PATH       the file to PUT and GET back (default: a generated object)\n"
    "  --size BYTES      size of the generated object (default 307200)\n"
    "  --time real|virtual  the platform's clock (default real)\n"
    "  --no-progress     no progress bar or progress lines\n"
    "  --unplug-after BYTES  pull the phone out once the PUT has sent BYTES: the\n"
    "                    session ends with the Win32 error the application saw,\n"
    "                    and the run still checks that nothing was left behind\n"
    "  --trace[=FILE]    one line per request entering or leaving the driver, to\n"
    "                    standard error or to FILE\n"
    "  --driver PATH     run the driver image PATH (build/windows/varnoobex.sys)\n"
    "                    instead of the host build linked into the program; the\n"
    "                    environment variable VARNOOBEX_DRIVER gives the default\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every step held and nothing was left behind; 1 when a step\n"
    "failed; 2 for a usage error; 3 for a file that is missing, unreadable or does\n"
    "not parse (a driver image the loader refuses among them); 4 when something\n"
    "outside the program failed (a TCP phone that does not answer, a port that does\n"
    "not exist, no pseudo-terminal); 5 when the driver crashed (the platform stopped\n"
    "the run as a bug check would, naming the fault and where it lies).\n";

const char kRunUsage[] =
    "usage: varnoobex run [OPTIONS] FILE\n"
    "\n"
    "Runs the scenario FILE: one statement a line (plug and unplug phones, open and\n"
    "close ports, write, read and expect data, serial control requests, Plug and\n"
    "Play and power requests, fault injection, low-resources failures, time). Each\n"
    "step is printed with its result. The language is described in\n"
    "docs/scenarios.md; scenarios/ holds examples.\n"
    "\n"
    "Options:\n"
    "  --phone MODEL     the model a 'plug' statement uses when it names none:\n"
    "                    obex (default), loopback or tcp:HOST:PORT\n"
    "  --speed full|high the bus speed a 'plug' statement uses when it names none\n"
    "  --time virtual|real  the platform's clock (default virtual: time moves only\n"
    "                    with 'advance' and when every thread waits)\n"
    "  --trace[=FILE]    one line per request entering or leaving the driver\n"
    "  --driver PATH     run the driver image PATH (build/windows/varnoobex.sys)\n"
    "                    instead of the host build linked into the program; the\n"
    "                    environment variable VARNOOBEX_DRIVER gives the default\n"
    "  --fail-point N    the N-th fallible platform call of the run (an allocation,\n"
    "                    a request, a device, a name) fails; the statements may\n"
    "                    then fail, and the run holds when the driver came through:\n"
    "                    no hang, no verifier report, nothing left, a working\n"
    "                    device still opens; 0 counts the fallible calls\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every expectation held and nothing was left behind; 1 when\n"
    "one failed; 2 for a usage error; 3 when FILE is missing, unreadable or does not\n"
    "parse (the message names file:line:column and what was expected); 4 when\n"
    "something outside the program failed.\n";

const char kReliabilityUsage[] =
    "usage: varnoobex chaos [--seed N] [--runs N] [OPTIONS]\n"
    "       varnoobex endure [--cycles N] [--plugs N] [OPTIONS]\n"
    "\n"
    "chaos: seeded random runs on a loopback phone. Several application threads read,\n"
    "write, wait on events, change settings, purge, cancel, and close and reopen the\n"
    "port while the phone is pulled out at a random moment, in some runs after a\n"
    "sleep and a wake, a query-stop or a query-remove, or with a close racing the\n"
    "removal. Every call must return, every handle close, the removal complete and\n"
    "nothing be left behind. A call that does not return within 20 s is named with\n"
    "its thread; a failing run prints the command that replays it. Runs use the seeds\n"
    "N, N+1, ... (default 1, 20 runs).\n"
    "\n"
    "endure: --cycles open, write, read, close cycles on one device (default\n"
    "100000), then --plugs plug, open, transfer, unplug cycles (default 10000); the\n"
    "pool's high-water mark, the open handles and the threads must stay flat after\n"
    "the first cycles, and the verifier silent.\n"
    "\n"
    "Options: --speed full|high, --time virtual|real (default virtual), --driver PATH\n"
    "(as for run), --help.\n"
    "\n"
    "Exit status: 0 when every run held; 1 when one failed.\n";

const char kBenchUsage[] =
    "usage: varnoobex bench [OPTIONS]\n"
    "\n"
    "Measures the data path in real time, the bus's timing model on, each figure on a\n"
    "phone of its own through the application API: receiving (the phone streams,\n"
    "ReadFile of 4 KiB and 64 KiB), transmitting (WriteFile of 1 KiB to 1 MiB), a\n"
    "full-duplex echo, at full and high speed, and an OBEX PUT and GET at high speed.\n"
    "Prints a table: the figure, its value, the bus's limit, their ratio, and the bus\n"
    "slots each pipe used and left idle (no transfer of the driver's pending while\n"
    "there was data to move), then the machine it ran on. See docs/performance.md.\n"
    "\n"
    "Options:\n"
    "  --size BYTES      bytes per high-speed figure (default 8388608); full-speed\n"
    "                    figures move a sixteenth of it, at least 64 KiB\n"
    "  --figures SET     table (the default, above); software: the bus made\n"
    "                    infinitely fast, the time from a bulk-in completion to the\n"
    "                    next bulk-in transfer and from WriteFile to its first\n"
    "                    transfer (median, 99th percentile); scale: 1, 8, 32 and 64\n"
    "                    phones streaming at once (throughput, pool per phone, CPU\n"
    "                    per byte), --size bytes in all\n"
    "  --driver PATH     run the driver image PATH (build/windows/varnoobex.sys)\n"
    "                    instead of the host build linked into the program; the\n"
    "                    environment variable VARNOOBEX_DRIVER gives the default\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every figure moved its data whole and nothing was left\n"
    "behind; 1 otherwise; 2 for a usage error. No figure is judged by its speed.\n";

const char kImageUsage[] =
    "usage: varnoobex image PATH\n"
    "\n"
    "Reads the driver image PATH and checks it as the kernel's loader does before it\n"
    "maps a driver: AMD64, PE32+, native subsystem, the checksum, alignments and\n"
    "sizes, sections inside the image and the file, no section both writable and\n"
    "executable, an entry point in code, base relocations, imports by name. Then\n"
    "shows its sections with their protections, its imports (each marked with\n"
    "whether the platform provides it) and its base relocations. Nothing of the\n"
    "image runs.\n"
    "\n"
    "Exit status: 0 when the platform would load it; 1 when it imports a routine the\n"
    "platform does not provide; 2 for a usage error; 3 when PATH is missing,\n"
    "unreadable or refused by the checks (the message says why).\n";

const char kPtyUsage[] =
    "usage: varnoobex pty [OPTIONS]\n"
    "\n"
    "Plugs a phone, opens its COM port through the application API and bridges it to\n"
    "a Linux pseudo-terminal. Ordinary serial programs then use the phone through the\n"
    "driver: raw and canonical modes, blocking and non-blocking reads, select and\n"
    "poll; the line settings a program gives the terminal (speed, character size,\n"
    "parity, stop bits, flow control) are passed on to the port as serial control\n"
    "requests.\n"
    "\n"
    "The first line printed is for scripts, once everything is ready:\n"
    "  pty: COM5=/dev/pts/7\n"
    "with one PORT=PATH per phone (--phones). Runs until SIGINT, SIGTERM or SIGHUP, or\n"
    "until a port fails (the phone gone), whatever standard input is, so it runs in\n"
    "the background too; when standard input is the terminal it runs in the\n"
    "foreground of, Ctrl-D ends it as well. It then closes the ports, unplugs the\n"
    "phones, removes its links and checks that nothing was left behind.\n"
    "\n"
    "Options:\n"
    "  --port COMn       the first phone's port name (default COM5)\n"
    "  --phones N        N phones on COMn, COMn+1, ..., each with a terminal (1 to 8)\n"
    "  --link PATH       a symbolic link PATH to the terminal, kept while the program\n"
    "                    runs; once per phone, in port order. A symbolic link already\n"
    "                    at PATH is replaced, anything else there is an error\n"
    "  --phone MODEL     obex (default), loopback or tcp:HOST:PORT (a server that\n"
    "                    closes after each session is connected again for the next)\n"
    "  --speed full|high the bus model\n"
    "  --trace[=FILE]    one line per request entering or leaving the driver\n"
    "  --driver PATH     run the driver image PATH (build/windows/varnoobex.sys)\n"
    "                    instead of the host build linked into the program; the\n"
    "                    environment variable VARNOOBEX_DRIVER gives the default\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 after a clean end; 1 when a port failed or the platform saw a\n"
    "fault; 2 for a usage error; 4 when no pseudo-terminal or link could be made or\n"
    "the TCP phone does not answer.\n";

// Which options a subcommand takes.
struct Allowed {
    bool phones, file, size, time, progress, port, link;
};

Allowed AllowedFor(const std::string &command)
{
    if (command == "run") {
        return {false, false, false, true, false, false, false};
    }
    if (command == "pty") {
        return {true, false, false, false, false, true, true};
    }
    if (command == "chaos" || command == "endure") {
        return {false, false, false, true, false, false, false};
    }
    if (command == "image") {
        return {false, false, false, false, false, false, false};
    }
    if (command == "bench") {
        return {false, false, true, false, false, false, false};
    }
    return {true, true, true, true, true, true, false};
}

bool ParseNumber(const std::string &text, unsigned long long max, unsigned long long *value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

bool ValidPortName(const std::string &name)
{
    unsigned long long number = 0;
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           ParseNumber(name.substr(3), 255, &number) && number >= 1;
}

}  // namespace

std::string PhoneSpec::Describe() const
{
    switch (kind) {
    case PhoneKind::Obex:
        return "obex";
    case PhoneKind::Loopback:
        return "loopback";
    case PhoneKind::Tcp:
        return "tcp:" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
               std::to_string(port);
    }
    return "?";
}

std::optional<PhoneSpec> ParsePhone(const std::string &text, std::string *error)
{
    PhoneSpec spec;
    if (text == "obex") {
        return spec;
    }
    if (text == "loopback") {
        spec.kind = PhoneKind::Loopback;
        return spec;
    }
    if (text.compare(0, 4, "tcp:") == 0) {
        std::string rest = text.substr(4);
        std::string host;
        size_t colon;
        if (!rest.empty() && rest[0] == '[') {
            const size_t close = rest.find(']');
            if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
                *error = "phone '" + text + "': expected tcp:[ADDRESS]:PORT";
                return std::nullopt;
            }
            host = rest.substr(1, close - 1);
            colon = close + 1;
        } else {
            colon = rest.rfind(':');
            if (colon == std::string::npos) {
                *error = "phone '" + text + "': expected tcp:HOST:PORT";
                return std::nullopt;
            }
            host = rest.substr(0, colon);
        }
        unsigned long long port = 0;
        if (host.empty() || !ParseNumber(rest.substr(colon + 1), 65535, &port) || port == 0) {
            *error = "phone '" + text + "': expected tcp:HOST:PORT with a port from 1 to 65535";
            return std::nullopt;
        }
        spec.kind = PhoneKind::Tcp;
        spec.host = host;
        spec.port = static_cast<uint16_t>(port);
        return spec;
    }
    *error = "unknown phone model '" + text + "' (expected obex, loopback or tcp:HOST:PORT)";
    return std::nullopt;
}

std::optional<Options> ParseCommandLine(int argc, char **argv, std::string *error)
{
    Options options;
    int i = 1;
    if (i < argc && argv[i][0] != '-') {
        options.command = argv[i];
        if (options.command != "run" && options.command != "pty" && options.command != "image" &&
            options.command != "chaos" && options.command != "endure" && options.command != "bench") {
            *error = "unknown subcommand '" + options.command +
                     "' (expected run, pty, chaos, endure, image or bench)";
            return std::nullopt;
        }
        i++;
    }
    if (options.command == "bench") {
        options.size = 8u << 20;
    }
    if (options.command == "run" || options.command == "chaos" || options.command == "endure") {
        options.virtualTime = true;
    }
    if (const char *driver = std::getenv("VARNOOBEX_DRIVER"); driver != nullptr && options.command != "image") {
        options.driver = driver;
    }
    const Allowed allowed = AllowedFor(options.command);
    const std::string who = options.command.empty() ? "" : options.command + ": ";
    bool endOfOptions = false;
    for (; i < argc; i++) {
        const std::string arg = argv[i];
        if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
            options.arguments.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        // --name=value or --name value
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); eq != std::string::npos && arg.compare(0, 2, "--") == 0) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&](std::string *out) {
            if (inlineValue) {
                *out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                *error = who + "option " + name + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto refuse = [&] {
            *error = who + "unknown option '" + name + "'";
            return std::nullopt;
        };
        std::string text;
        if (name == "--help" || name == "-h") {
            if (inlineValue) {
                return refuse();
            }
            options.help = true;
        } else if (name == "--trace" && options.command != "image") {
            options.trace = true;
            if (inlineValue) {
                if (inlineValue->empty()) {
                    *error = who + "--trace= needs a file name";
                    return std::nullopt;
                }
                options.traceFile = *inlineValue;
            }
        } else if (name == "--driver" && options.command != "image") {
            if (!value(&options.driver)) {
                return std::nullopt;
            }
            if (options.driver.empty()) {
                *error = who + "--driver needs the path of a driver image";
                return std::nullopt;
            }
        } else if (name == "--phone" && options.command != "image") {
            if (!value(&text)) {
                return std::nullopt;
            }
            std::string why;
            auto spec = ParsePhone(text, &why);
            if (!spec) {
                *error = who + why;
                return std::nullopt;
            }
            options.phone = *spec;
        } else if (name == "--speed" && options.command != "image") {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text == "full") {
                options.speed = sim::usb::Speed::Full;
            } else if (text == "high") {
                options.speed = sim::usb::Speed::High;
            } else {
                *error = who + "--speed '" + text + "': expected full or high";
                return std::nullopt;
            }
        } else if (name == "--phones" && allowed.phones) {
            unsigned long long n = 0;
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ParseNumber(text, 8, &n) || n == 0) {
                *error = who + "--phones '" + text + "': expected a number from 1 to 8";
                return std::nullopt;
            }
            options.phones = static_cast<int>(n);
        } else if (name == "--time" && allowed.time) {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text != "virtual" && text != "real") {
                *error = who + "--time '" + text + "': expected real or virtual";
                return std::nullopt;
            }
            options.virtualTime = text == "virtual";
        } else if (name == "--file" && allowed.file) {
            if (!value(&options.file)) {
                return std::nullopt;
            }
            if (options.file.empty()) {
                *error = who + "--file needs a file name";
                return std::nullopt;
            }
        } else if (name == "--figures" && options.command == "bench") {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text != "table" && text != "software" && text != "scale") {
                *error = who + "--figures '" + text + "': expected table, software or scale";
                return std::nullopt;
            }
            options.figures = text;
        } else if (name == "--size" && allowed.size) {
            unsigned long long n = 0;
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ParseNumber(text, 64ull << 20, &n) || n == 0) {
                *error = who + "--size '" + text + "': expected a number of bytes from 1 to 67108864";
                return std::nullopt;
            }
            options.size = static_cast<size_t>(n);
        } else if (name == "--unplug-after" && allowed.progress) {
            unsigned long long n = 0;
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ParseNumber(text, 64ull << 20, &n)) {
                *error = who + "--unplug-after '" + text + "': expected a number of bytes";
                return std::nullopt;
            }
            options.unplugAfter = static_cast<size_t>(n);
        } else if (name == "--fail-point" && options.command == "run") {
            unsigned long long n = 0;
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ParseNumber(text, 1u << 30, &n)) {
                *error = who + "--fail-point '" + text + "': expected a number of calls";
                return std::nullopt;
            }
            options.failPoint = static_cast<int>(n);
        } else if ((name == "--seed" && options.command == "chaos") ||
                   (name == "--runs" && options.command == "chaos") ||
                   (name == "--cycles" && options.command == "endure") ||
                   (name == "--plugs" && options.command == "endure")) {
            unsigned long long n = 0;
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ParseNumber(text, ~0ull, &n)) {
                *error = who + name + " '" + text + "': expected a number";
                return std::nullopt;
            }
            (name == "--seed" ? options.seed : name == "--runs" ? options.runs
                                              : name == "--cycles" ? options.cycles : options.plugs) = n;
        } else if (name == "--no-progress" && allowed.progress && !inlineValue) {
            options.progress = false;
        } else if (name == "--port" && allowed.port) {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!ValidPortName(text)) {
                *error = who + "--port '" + text + "': expected COM1 to COM255";
                return std::nullopt;
            }
            options.portName = text;
        } else if (name == "--link" && allowed.link) {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text.empty()) {
                *error = who + "--link needs a path";
                return std::nullopt;
            }
            for (const std::string &earlier : options.links) {
                if (earlier == text) {
                    *error = who + "--link " + text + " given twice";
                    return std::nullopt;
                }
            }
            options.links.push_back(text);
        } else {
            return refuse();
        }
    }
    if (options.help) {
        return options;
    }
    if (options.command == "run" || options.command == "image") {
        const bool run = options.command == "run";
        if (options.arguments.size() != 1) {
            *error = options.arguments.empty()
                         ? who + (run ? "a scenario FILE" : "the PATH of a driver image") + " is needed"
                         : who + (run ? "one scenario FILE" : "one image PATH") + " only, got '" +
                               options.arguments[1] + "' too";
            return std::nullopt;
        }
    } else if (!options.arguments.empty()) {
        *error = who + "unexpected argument '" + options.arguments[0] + "'";
        return std::nullopt;
    }
    if (options.links.size() > static_cast<size_t>(options.phones)) {
        *error = who + std::to_string(options.links.size()) + " --link paths for " +
                 std::to_string(options.phones) + " phone(s): one per phone at most";
        return std::nullopt;
    }
    if (options.phones > 1) {
        unsigned long long first = 0;
        ParseNumber(options.portName.substr(3), 255, &first);
        if (first + static_cast<unsigned>(options.phones) - 1 > 255) {
            *error = who + "--phones " + std::to_string(options.phones) + " from " +
                     options.portName + " runs past COM255";
            return std::nullopt;
        }
    }
    return options;
}

const char *Usage(const std::string &command)
{
    if (command == "run") {
        return kRunUsage;
    }
    if (command == "pty") {
        return kPtyUsage;
    }
    if (command == "image") {
        return kImageUsage;
    }
    if (command == "chaos" || command == "endure") {
        return kReliabilityUsage;
    }
    if (command == "bench") {
        return kBenchUsage;
    }
    return kDefaultUsage;
}

std::string PortNameAt(const std::string &first, int index)
{
    return "COM" + std::to_string(std::stoi(first.substr(3)) + index);
}

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace tool

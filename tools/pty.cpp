// varnoobex pty: phones' COM ports behind Linux pseudo-terminals.
//
// The main thread starts the session and, for each phone (--phones), opens a
// terminal, plugs the phone, opens its port as a Windows application would
// (overlapped, so that a read and a write can be in flight at once) and hands the
// bytes to a Bridge (tools/pty_bridge.h); it makes the links asked for and prints the
// line scripts wait for. It then waits for a reason to stop: SIGINT, SIGTERM or SIGHUP
// (taken through a signalfd, so that no thread of the platform is interrupted by
// them), a port request that failed, or Ctrl-D on the terminal it runs in the
// foreground of. Standard input is otherwise left alone: a script or a background
// job runs it with /dev/null or a closed descriptor there. Meanwhile it looks at each
// terminal's settings every 100 ms and passes a change on to its port with
// SetCommState.
#include "sim/kd/kd.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/pty_bridge.h"
#include "tools/session.h"
#include "tools/win32_errors.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tool {

namespace {

constexpr auto kSettingsPeriod = std::chrono::milliseconds(100);
// A read that finds nothing waits this long for a first byte before it comes back
// empty; Stop cancels it sooner.
constexpr DWORD kReadWaitMs = 250;

void Line(const std::string &text)
{
    std::printf("pty: %s\n", text.c_str());
    std::fflush(stdout);
}

// One phone behind one terminal.
struct Bridged {
    std::string portName;
    std::string link;   // --link PATH, "" when none
    bool linked = false;
    PseudoTerminal terminal;
    HANDLE port = INVALID_HANDLE_VALUE;
    LineSettings settings;
    std::unique_ptr<Bridge> bridge;
};

// Passes the terminal's settings on to the port. Returns the line that tells how it
// went; *ok is false when the driver refused them.
std::string Apply(HANDLE port, const LineSettings &settings, bool *ok)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    DWORD error = 0;
    const char *call = "GetCommState";
    if (GetCommState(port, &dcb)) {
        settings.ApplyTo(dcb);
        call = "SetCommState";
        if (!SetCommState(port, &dcb)) {
            error = GetLastError();
        }
    } else {
        error = GetLastError();
    }
    *ok = error == 0;
    return "line settings " + settings.Describe() + " -> " + call +
           (error == 0 ? " ok" : " failed: " + DescribeWin32Error(error));
}

// Timeouts and queues for the bridge: reads return as soon as any byte is there,
// writes have no timeout.
bool PreparePort(HANDLE port, std::string *why)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        *why = "SetCommTimeouts failed: " + DescribeWin32Error(GetLastError());
        return false;
    }
    if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        *why = "PurgeComm failed: " + DescribeWin32Error(GetLastError());
        return false;
    }
    return true;
}

// Points `link` at `target`. A symbolic link already there (left by a run that did
// not end cleanly, or another bridge's) is replaced; anything else is left alone.
bool MakeLink(const std::string &link, const std::string &target, std::string *why)
{
    struct stat status{};
    if (lstat(link.c_str(), &status) == 0 && !S_ISLNK(status.st_mode)) {
        *why = "--link " + link + ": there is a file there that is not a symbolic link";
        return false;
    }
    // Made beside the path and renamed over it, so that the path never names a link
    // half made or none while one was there.
    const std::string made = link + ".varnoobex-" + std::to_string(getpid());
    unlink(made.c_str());
    if (symlink(target.c_str(), made.c_str()) != 0 || rename(made.c_str(), link.c_str()) != 0) {
        *why = "--link " + link + ": " + std::strerror(errno);
        unlink(made.c_str());
        return false;
    }
    return true;
}

// Removes `link` while it still points at `target`: a bridge started since with the
// same --link keeps its own.
void RemoveLink(const std::string &link, const std::string &target)
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
    if (n > 0 && std::string(buffer, static_cast<size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

// Whether the program reads standard input for Ctrl-D: only a terminal whose
// foreground process group is ours. Anything else (a pipe, /dev/null, a closed
// descriptor, a terminal the program runs in the background of) is not looked at,
// and reading a terminal from the background would stop the program (SIGTTIN).
bool WatchInput()
{
    return isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

enum class StopReason { None, Signal, InputEnded, PortFailed };

}  // namespace

int RunPty(const Options &options)
{
    // Blocked before the platform starts its threads, so that every thread inherits
    // the mask and the signals wait for the main loop's signalfd. SIGHUP (the terminal
    // the program runs in went away) ends it cleanly too, unless it is ignored (nohup).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    struct sigaction hangUp{};
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
        sigaddset(&stopSignals, SIGHUP);
    }
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    int wake[2] = {-1, -1};
    std::vector<std::unique_ptr<Bridged>> bridged;
    // Undoes what was set up here, the session aside: it is finished afterwards, so
    // that the ports are closed before the phones are pulled out.
    auto cleanUp = [&] {
        for (auto &b : bridged) {
            if (b->bridge) {
                b->bridge->Stop();
            }
            if (b->linked) {
                RemoveLink(b->link, b->terminal.SlavePath());
            }
            if (b->port != INVALID_HANDLE_VALUE) {
                CloseHandle(b->port);
            }
        }
        for (int fd : {signals, wake[0], wake[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    };
    if (signals < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        Complain(std::string("cannot wait for signals: ") + std::strerror(errno));
        cleanUp();
        return kExitEnvironment;
    }

    std::string why;
    for (int i = 0; i < options.phones; i++) {
        auto b = std::make_unique<Bridged>();
        b->portName = PortNameAt(options.portName, i);
        if (static_cast<size_t>(i) < options.links.size()) {
            b->link = options.links[static_cast<size_t>(i)];
        }
        if (!b->terminal.Open(&why)) {
            Complain(why);
            cleanUp();
            return kExitEnvironment;
        }
        bridged.push_back(std::move(b));
    }

    Session session(options);
    int exit = kExitOk;
    if (!session.Start(false, &exit)) {
        cleanUp();
        return exit;
    }
    auto fail = [&](const std::string &message, int status) {
        Complain(message);
        cleanUp();
        session.Finish(true);
        return status;
    };
    for (size_t i = 0; i < bridged.size(); i++) {
        Bridged &b = *bridged[i];
        auto phone = session.Plug(b.portName, options.phone, options.speed, static_cast<int>(i), &why, &exit);
        if (!phone) {
            return fail(why, exit);
        }
        if (phone->tcp) {
            // The server's comings and goings, as they happen (from the phone's threads).
            phone->tcp->SetNotify([name = b.portName](const std::string &line) { Line(name + ": " + line); });
        }
        const std::string portPath = "\\\\.\\" + b.portName;
        b.port = CreateFileW(Wide(portPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        if (b.port == INVALID_HANDLE_VALUE) {
            return fail("cannot open " + portPath + ": CreateFileW failed: " + DescribeWin32Error(GetLastError()),
                        kExitFailed);
        }
        if (!PreparePort(b.port, &why)) {
            return fail(b.portName + ": " + why, kExitFailed);
        }
        termios now{};
        tcgetattr(b.terminal.Slave(), &now);
        b.settings = LineSettings::FromTermios(now);
    }
    // The driver's start-up messages are the default run's business; from here on
    // what it prints is shown at the end.
    sim::kd::ClearLog();

    bool clean = true;
    std::vector<std::string> applied;
    for (auto &b : bridged) {
        bool ok = true;
        applied.push_back(Apply(b->port, b->settings, &ok));
        clean &= ok;
        b->bridge = std::make_unique<Bridge>(b->port, b->terminal.Master(), wake[1]);
        b->bridge->Start();
        if (!b->link.empty()) {
            if (!MakeLink(b->link, b->terminal.SlavePath(), &why)) {
                return fail(why, kExitEnvironment);
            }
            b->linked = true;
        }
    }
    // Everything is ready: the line a script waits for, then the same for a person.
    std::string ready;
    for (auto &b : bridged) {
        ready += (ready.empty() ? "" : " ") + b->portName + "=" + b->terminal.SlavePath();
    }
    Line(ready);
    for (size_t i = 0; i < bridged.size(); i++) {
        const Bridged &b = *bridged[i];
        Line(b.portName + ": " + b.terminal.SlavePath() + ", phone " + options.phone.Describe() +
             (b.linked ? ", link " + b.link : ""));
        Line(b.portName + ": " + applied[i]);
    }

    StopReason reason = StopReason::None;
    std::string signalName;
    std::string failure;
    auto nextLook = std::chrono::steady_clock::now() + kSettingsPeriod;
    while (reason == StopReason::None) {
        // Looked at again each time: a job moved to the background must not read.
        const bool watchInput = WatchInput();
        pollfd fds[3] = {{signals, POLLIN, 0}, {wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextLook - std::chrono::steady_clock::now());
        poll(fds, watchInput ? 3 : 2, std::max<int>(0, static_cast<int>(left.count())));
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof info) == sizeof info) {
                reason = StopReason::Signal;
                signalName = info.ssi_signo == SIGINT ? "SIGINT" : info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGHUP";
            }
        }
        for (auto &b : bridged) {
            if (reason == StopReason::None && b->bridge->Failed()) {
                reason = StopReason::PortFailed;
                failure = b->portName + ": " + b->bridge->Failure();
            }
        }
        if (watchInput && WatchInput() && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            // What a person types is not for the program; Ctrl-D on an empty line is.
            char discard[512];
            const ssize_t n = read(STDIN_FILENO, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                reason = StopReason::InputEnded;
            }
        }
        if (std::chrono::steady_clock::now() >= nextLook) {
            nextLook = std::chrono::steady_clock::now() + kSettingsPeriod;
            for (auto &b : bridged) {
                termios t{};
                if (tcgetattr(b->terminal.Slave(), &t) != 0) {
                    continue;
                }
                const LineSettings seen = LineSettings::FromTermios(t);
                if (!(seen == b->settings)) {
                    b->settings = seen;
                    // A refusal is the driver's answer to a setting it does not take,
                    // shown as such; the line keeps working with what it had.
                    bool ok = true;
                    Line(b->portName + ": " + Apply(b->port, seen, &ok));
                }
            }
        }
    }
    // A second Ctrl-C while cleaning up ends the program at once.
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    switch (reason) {
    case StopReason::Signal:
        Line("stopping (" + signalName + ")");
        break;
    case StopReason::InputEnded:
        Line("stopping (standard input ended)");
        break;
    case StopReason::PortFailed:
        Line("stopping (" + failure + ")");
        break;
    case StopReason::None:
        break;
    }
    for (auto &b : bridged) {
        b->bridge->Stop();
        if (b->bridge->Failed()) {
            Complain(b->portName + ": " + b->bridge->Failure());
            clean = false;
        }
        Line(b->portName + ": " + std::to_string(b->bridge->ToPort()) + " bytes to the port, " +
             std::to_string(b->bridge->ToTerminal()) + " bytes to the terminal");
        if (!CloseHandle(b->port)) {
            Complain(b->portName + ": CloseHandle failed: " + DescribeWin32Error(GetLastError()));
            clean = false;
        }
        b->port = INVALID_HANDLE_VALUE;
    }
    cleanUp();
    // Finish pulls the phones out as at shutdown, unloads the driver and checks the
    // pool and the verifier.
    clean &= session.Finish(true);
    return clean ? kExitOk : kExitFailed;
}

}  // namespace tool

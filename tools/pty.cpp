// varnoobex pty: a phone's COM port behind a Linux pseudo-terminal.
//
// The main thread starts the session, plugs the phone, opens the port as a Windows
// application would (overlapped, so that a read and a write can be in flight at once)
// and hands the bytes to a Bridge (tools/pty_bridge.h). It then waits for a reason to
// stop: SIGINT or SIGTERM (taken through a signalfd, so that no thread of the platform
// is interrupted by them), the end of standard input when that is not a terminal, or
// a port request that failed. Meanwhile it looks at the terminal's settings every
// 100 ms and passes a change on to the port with SetCommState.
#include "sim/kd/kd.h"
#include "sim/win32/windows.h"
#include "tools/commands.h"
#include "tools/pty_bridge.h"
#include "tools/session.h"
#include "tools/win32_errors.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

// Passes the terminal's settings on to the port. True when SetCommState took them.
bool Apply(HANDLE port, const LineSettings &settings)
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
    Line("line settings " + settings.Describe() + " -> " + call +
         (error == 0 ? " ok" : " failed: " + DescribeWin32Error(error)));
    return error == 0;
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

enum class StopReason { None, Signal, InputEnded, PortFailed };

}  // namespace

int RunPty(const Options &options)
{
    // Blocked before the platform starts its threads, so that every thread inherits
    // the mask and the signals wait for the main loop's signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    int wake[2] = {-1, -1};
    auto cleanUp = [&] {
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

    PseudoTerminal terminal;
    std::string why;
    if (!terminal.Open(&why)) {
        Complain(why);
        cleanUp();
        return kExitEnvironment;
    }

    Session session(options);
    int exit = kExitOk;
    if (!session.Start(false, &exit)) {
        cleanUp();
        return exit;
    }
    auto phone = session.Plug(options.portName, options.phone, options.speed, 0, &why, &exit);
    if (!phone) {
        Complain(why);
        session.Finish(false);
        cleanUp();
        return exit;
    }

    const std::string portPath = "\\\\.\\" + options.portName;
    HANDLE port = CreateFileW(Wide(portPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Complain("cannot open " + portPath + ": CreateFileW failed: " +
                 DescribeWin32Error(GetLastError()));
        session.Finish(true);
        cleanUp();
        return kExitFailed;
    }
    bool clean = true;
    termios settingsNow{};
    tcgetattr(terminal.Slave(), &settingsNow);
    LineSettings settings = LineSettings::FromTermios(settingsNow);
    if (!PreparePort(port, &why)) {
        Complain(options.portName + ": " + why);
        CloseHandle(port);
        session.Finish(true);
        cleanUp();
        return kExitFailed;
    }
    // The driver's start-up messages are the default run's business; from here on
    // what it prints is shown at the end.
    sim::kd::ClearLog();

    Line(terminal.SlavePath() + " (" + options.portName + ", phone " + options.phone.Describe() + ")");
    clean &= Apply(port, settings);

    Bridge bridge(port, terminal.Master(), wake[1]);
    bridge.Start();

    // Standard input only ends the run when it is not a terminal (a test closes it; a
    // person presses Ctrl-C).
    const bool watchInput = isatty(STDIN_FILENO) == 0 && fcntl(STDIN_FILENO, F_GETFD) != -1;
    StopReason reason = StopReason::None;
    std::string signalName;
    auto nextLook = std::chrono::steady_clock::now() + kSettingsPeriod;
    while (reason == StopReason::None) {
        pollfd fds[3] = {{signals, POLLIN, 0}, {wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextLook - std::chrono::steady_clock::now());
        poll(fds, watchInput ? 3 : 2, std::max<int>(0, static_cast<int>(left.count())));
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof info) == sizeof info) {
                reason = StopReason::Signal;
                signalName = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
            }
        }
        if ((fds[1].revents & POLLIN) != 0 || bridge.Failed()) {
            reason = StopReason::PortFailed;
        }
        if (watchInput && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char discard[512];
            const ssize_t n = read(STDIN_FILENO, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                reason = StopReason::InputEnded;
            }
        }
        if (std::chrono::steady_clock::now() >= nextLook) {
            nextLook = std::chrono::steady_clock::now() + kSettingsPeriod;
            termios t{};
            if (tcgetattr(terminal.Slave(), &t) == 0) {
                const LineSettings seen = LineSettings::FromTermios(t);
                if (!(seen == settings)) {
                    settings = seen;
                    // A refusal is the driver's answer to a setting it does not take,
                    // shown as such; the line keeps working with what it had.
                    Apply(port, settings);
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
        Line("stopping (" + bridge.Failure() + ")");
        break;
    case StopReason::None:
        break;
    }
    bridge.Stop();
    if (bridge.Failed()) {
        Complain(options.portName + ": " + bridge.Failure());
        clean = false;
    }
    Line(std::to_string(bridge.ToPort()) + " bytes to the port, " +
         std::to_string(bridge.ToTerminal()) + " bytes to the terminal");
    if (!CloseHandle(port)) {
        Complain(options.portName + ": CloseHandle failed: " + DescribeWin32Error(GetLastError()));
        clean = false;
    }
    // Finish pulls the phone out as at shutdown, unloads the driver and checks the
    // pool and the verifier.
    clean &= session.Finish(true);
    cleanUp();
    return clean ? kExitOk : kExitFailed;
}

}  // namespace tool

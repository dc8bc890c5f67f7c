// The pieces of `varnoobex pty`: a Linux pseudo-terminal whose slave a serial program
// opens, the line settings that program gives the terminal as the DCB a Windows
// application would give the port, and the bridge that moves bytes between the
// terminal's master and the open COM port.
#pragma once

#include "sim/win32/windows.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>

namespace tool {

// A pseudo-terminal: the master, which the program keeps, and one descriptor of the
// slave, held open so that the terminal lives on while serial programs open and close
// it, and so that its settings can be read.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // posix_openpt, grantpt, unlockpt, ptsname, then opens the slave and puts it in
    // raw mode at 115200 8N1 (what the port starts with). False with a one-line
    // reason in *error.
    bool Open(std::string *error);
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    const std::string &SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// What of a terminal's settings a serial line has, in the DCB's terms.
struct LineSettings {
    DWORD baudRate = 0;     // 0: B0 (hang up), no rate to pass on
    BYTE byteSize = 8;      // 5 to 8
    BYTE parity = NOPARITY; // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    BYTE stopBits = ONESTOPBIT;
    bool rtsCts = false;    // CRTSCTS
    bool xonOut = false;    // IXON: stop sending on XOFF
    bool xonIn = false;     // IXOFF: send XOFF when the input fills

    static LineSettings FromTermios(const termios &t);
    // Sets the members of `dcb` these settings own; the rest stay as they are.
    void ApplyTo(DCB &dcb) const;
    // "115200 8N1", with " rtscts" and " ixon"/" ixoff" when set.
    std::string Describe() const;
    bool operator==(const LineSettings &) const = default;
};

// The bit rate of a termios speed code (B9600 -> 9600); 0 for B0 or an unknown code.
DWORD BaudOf(speed_t speed);

// Moves bytes both ways between a terminal's master and a COM port opened for
// overlapped I/O, on two threads:
// - "to port": waits for the master to be readable (poll, so that it can notice Stop)
//   and writes what it reads to the port with WriteFile;
// - "to terminal": reads the port with ReadFile (returning as soon as a byte is there,
//   or empty after a short wait) and writes what came to the master, waiting for room
//   with poll when the terminal's input is full.
// The bridge drops nothing: a side that cannot take more holds the other back. A
// terminal that is not read holds back the port's reads, and the driver's receive ring
// (1,024,000 bytes) keeps what the phone sends meanwhile; past that the driver
// discards, as a serial port overruns. When a port request fails the bridge records
// the call and its Win32 error (or what failed on the terminal), stops both threads and
// writes a byte to `wake` so that the program's main loop hears of it.
class Bridge {
public:
    Bridge(HANDLE port, int master, int wake);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    void Start();
    // Ends both threads: cancels the port requests in flight and joins. Idempotent.
    void Stop();

    // True once a port request failed (not counting requests Stop cancelled), or
    // the terminal did.
    bool Failed() const;
    // "ReadFile failed: ERROR_DEVICE_NOT_CONNECTED (1167)"; "" when nothing failed.
    std::string Failure() const;
    uint64_t ToPort() const { return toPort_.load(); }
    uint64_t ToTerminal() const { return toTerminal_.load(); }

private:
    void ToPortThread();
    void ToTerminalThread();
    void Fail(const char *call, DWORD error);
    void Fail(const std::string &what);
    // A thread's last act: tells Stop it has ended.
    void Ended();
    // Writes all of `data` to the master; false when stopping.
    bool WriteMaster(const uint8_t *data, size_t length);

    const HANDLE port_;
    const int master_;
    const int wake_;
    HANDLE readEvent_ = nullptr;
    HANDLE writeEvent_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> toPort_{0};
    std::atomic<uint64_t> toTerminal_{0};
    mutable std::mutex lock_;   // the failure and running_
    std::condition_variable ended_;
    int running_ = 0;
    std::string failure_;
    std::thread senderThread_;
    std::thread receiverThread_;
};

}  // namespace tool

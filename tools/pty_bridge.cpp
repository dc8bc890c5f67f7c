#include "tools/pty_bridge.h"

#include "sim/ke/ke.h"
#include "tools/win32_errors.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tool {

namespace {

// How long a thread waits for its side before it looks at whether to stop. Stop also
// cancels the port requests, so this only bounds the wait for the master.
constexpr int kPollMs = 100;
constexpr size_t kChunk = 4096;

}  // namespace

// ---- the pseudo-terminal

PseudoTerminal::~PseudoTerminal()
{
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

bool PseudoTerminal::Open(std::string *error)
{
    auto fail = [&](const char *call) {
        *error = std::string("no pseudo-terminal: ") + call + ": " + std::strerror(errno);
        return false;
    };
    // Non-blocking: two threads share the master, each waiting with poll.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        return fail("posix_openpt");
    }
    if (grantpt(master_) != 0) {
        return fail("grantpt");
    }
    if (unlockpt(master_) != 0) {
        return fail("unlockpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        return fail("ptsname");
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        return fail(("open " + slavePath_).c_str());
    }
    // The master has no line discipline of its own to set: its termios are the
    // slave's. A new terminal starts cooked with echo, which on a data port turns a
    // loopback phone's first byte into an endless echo; start raw, as the port's
    // bytes are OBEX packets, and leave any other mode to the program that opens it.
    termios t{};
    if (tcgetattr(slave_, &t) != 0) {
        return fail("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) {
        return fail("tcsetattr");
    }
    return true;
}

// ---- line settings

DWORD BaudOf(speed_t speed)
{
    struct Rate {
        speed_t code;
        DWORD rate;
    };
    static const Rate kRates[] = {
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
        {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
        {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const Rate &r : kRates) {
        if (r.code == speed) {
            return r.rate;
        }
    }
    return 0;
}

LineSettings LineSettings::FromTermios(const termios &t)
{
    LineSettings s;
    s.baudRate = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.byteSize = 5;
        break;
    case CS6:
        s.byteSize = 6;
        break;
    case CS7:
        s.byteSize = 7;
        break;
    default:
        s.byteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        s.parity = NOPARITY;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        // Stick parity: PARODD chooses a mark (1) bit, otherwise space (0).
        s.parity = (t.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    } else {
        s.parity = (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    s.stopBits = (t.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    s.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    s.xonOut = (t.c_iflag & IXON) != 0;
    s.xonIn = (t.c_iflag & IXOFF) != 0;
    return s;
}

void LineSettings::ApplyTo(DCB &dcb) const
{
    // B0 is a terminal's way to hang up: drop DTR and keep the rate the line had.
    if (baudRate != 0) {
        dcb.BaudRate = baudRate;
    }
    dcb.fDtrControl = baudRate != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    dcb.StopBits = stopBits;
    dcb.fOutxCtsFlow = rtsCts;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = xonOut;
    dcb.fInX = xonIn;
}

std::string LineSettings::Describe() const
{
    static const char kParity[] = "NOEMS";
    std::string text = baudRate != 0 ? std::to_string(baudRate) : std::string("B0");
    text += ' ';
    text += static_cast<char>('0' + byteSize);
    text += parity < sizeof kParity - 1 ? kParity[parity] : '?';
    text += stopBits == TWOSTOPBITS ? "2" : stopBits == ONE5STOPBITS ? "1.5" : "1";
    if (rtsCts) {
        text += " rtscts";
    }
    if (xonOut) {
        text += " ixon";
    }
    if (xonIn) {
        text += " ixoff";
    }
    return text;
}

// ---- the bridge

Bridge::Bridge(HANDLE port, int master, int wake) : port_(port), master_(master), wake_(wake)
{
    // Manual-reset, as overlapped requests want; Issue resets them for each request.
    readEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Bridge::~Bridge()
{
    Stop();
    if (readEvent_ != nullptr) {
        CloseHandle(readEvent_);
    }
    if (writeEvent_ != nullptr) {
        CloseHandle(writeEvent_);
    }
}

void Bridge::Start()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = 2;
    }
    senderThread_ = std::thread([this] {
        sim::ke::NameThread("pty to port");
        ToPortThread();
        Ended();
    });
    receiverThread_ = std::thread([this] {
        sim::ke::NameThread("pty to terminal");
        ToTerminalThread();
        Ended();
    });
}

void Bridge::Stop()
{
    stopping_ = true;
    // Both threads may sit in a port request; cancelling ends it at once. A thread
    // that looked at stopping_ just before it was set may issue one more request
    // after a cancel, so cancel again until both have ended.
    std::unique_lock<std::mutex> held(lock_);
    while (running_ > 0) {
        held.unlock();
        CancelIoEx(port_, nullptr);
        held.lock();
        ended_.wait_for(held, std::chrono::milliseconds(20), [this] { return running_ == 0; });
    }
    held.unlock();
    if (senderThread_.joinable()) {
        senderThread_.join();
    }
    if (receiverThread_.joinable()) {
        receiverThread_.join();
    }
}

void Bridge::Ended()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_--;
    }
    ended_.notify_all();
}

bool Bridge::Failed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return !failure_.empty();
}

std::string Bridge::Failure() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return failure_;
}

void Bridge::Fail(const char *call, DWORD error)
{
    // A request Stop cancelled is no failure of the port.
    if (stopping_ && error == ERROR_OPERATION_ABORTED) {
        return;
    }
    Fail(std::string(call) + " failed: " + DescribeWin32Error(error));
}

void Bridge::Fail(const std::string &what)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!failure_.empty()) {
            return;
        }
        failure_ = what;
    }
    stopping_ = true;
    const char byte = 'f';
    [[maybe_unused]] const ssize_t n = write(wake_, &byte, 1);
}

void Bridge::ToPortThread()
{
    uint8_t buffer[kChunk];
    while (!stopping_) {
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, kPollMs) <= 0) {
            continue;
        }
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            // A hang-up cannot come while the program holds the slave open; should
            // the terminal fail anyway, end rather than poll a dead descriptor.
            Fail(std::string("reading the terminal failed: ") +
                 (n == 0 ? "end of file" : std::strerror(errno)));
            return;
        }
        size_t done = 0;
        while (done < static_cast<size_t>(n) && !stopping_) {
            OVERLAPPED ov{};
            ov.hEvent = writeEvent_;
            DWORD written = 0;
            const DWORD length = static_cast<DWORD>(n - done);
            BOOL ok = WriteFile(port_, buffer + done, length, &written, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                ok = GetOverlappedResult(port_, &ov, &written, TRUE);
            }
            if (!ok) {
                Fail("WriteFile", GetLastError());
                return;
            }
            done += written;
            toPort_ += written;
        }
    }
}

bool Bridge::WriteMaster(const uint8_t *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(master_, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            toTerminal_ += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Fail(std::string("writing the terminal failed: ") + std::strerror(errno));
            return false;
        }
        // The slave's input is full: the program on the terminal is not reading.
        // Read the port no more until there is room; its driver's ring keeps what comes.
        pollfd fd{master_, POLLOUT, 0};
        poll(&fd, 1, kPollMs);
        if (stopping_) {
            return false;
        }
    }
    return true;
}

void Bridge::ToTerminalThread()
{
    uint8_t buffer[kChunk];
    while (!stopping_) {
        OVERLAPPED ov{};
        ov.hEvent = readEvent_;
        DWORD got = 0;
        BOOL ok = ReadFile(port_, buffer, sizeof buffer, &got, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(port_, &ov, &got, TRUE);
        }
        if (!ok) {
            Fail("ReadFile", GetLastError());
            return;
        }
        // An empty read is the read timeout running out with nothing come.
        if (got != 0 && !WriteMaster(buffer, got)) {
            return;
        }
    }
}

}  // namespace tool

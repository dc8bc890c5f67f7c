// varnoobex pty, as a serial program on Linux uses it: the program runs in the
// background, prints the terminal's path, and the test opens that path as it would a
// serial device.
#include "sim/obex/protocol.h"
#include "tools/cli.h"
#include "tools/pty_bridge.h"
#include "tools/session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/program.h"
#include "tests/support/obex_tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Starts `varnoobex pty` with `arguments` and waits for its first line, which names
// each port's terminal: "pty: COM5=/dev/pts/7 COM6=/dev/pts/8".
struct Pty {
    explicit Pty(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), "pty");
        program = std::make_unique<e2e::Background>(arguments);
        line = program->WaitForLine("pty: ", 30s).value_or("");
        for (size_t at = 5; line.compare(0, 5, "pty: ") == 0 && at < line.size();) {
            const size_t end = std::min(line.find(' ', at), line.size());
            const size_t equals = line.find('=', at);
            if (equals < end) {
                paths.push_back(line.substr(equals + 1, end - equals - 1));
            }
            at = end + 1;
        }
        path = paths.empty() ? "" : paths[0];
    }

    // Opens a terminal as a serial program does, in raw mode.
    int OpenRaw(const std::string &which = {}) const
    {
        const int fd = open((which.empty() ? path : which).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        return fd;
    }

    // Ends the program as a script does, with SIGTERM, and checks that it ended clean.
    void EndClean()
    {
        program->Signal(SIGTERM);
        EXPECT_EQ(program->Wait(60s), 0) << program->out << program->err;
        EXPECT_NE(program->out.find("stopping (SIGTERM)"), std::string::npos) << program->out;
        ExpectChecksClean();
    }

    void ExpectChecksClean() const
    {
        EXPECT_NE(program->out.find("pool blocks outstanding: 0"), std::string::npos) << program->out;
        EXPECT_NE(program->out.find("ok:   the pool holds nothing of the driver's"), std::string::npos)
            << program->out;
        EXPECT_NE(program->out.find("ok:   the verifier saw no violation"), std::string::npos)
            << program->out;
        EXPECT_EQ(program->out.find("FAIL"), std::string::npos) << program->out;
    }

    std::unique_ptr<e2e::Background> program;
    std::string line;
    std::vector<std::string> paths;   // one per phone, in port order
    std::string path;                 // the first
};

// Reads exactly `length` bytes, waiting at most `limit` for each piece.
bool ReadFully(int fd, uint8_t *buffer, size_t length, std::chrono::milliseconds limit = 10s)
{
    size_t got = 0;
    while (got < length) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            return false;
        }
        const ssize_t n = read(fd, buffer + got, length - got);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool WriteFully(int fd, const uint8_t *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> Pattern(size_t length)
{
    std::vector<uint8_t> data(length);
    uint32_t x = 0x12345678;
    for (auto &b : data) {
        x = x * 1664525 + 1013904223;
        b = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

// The terminal behaves as one to a program that polls it, and outlives the program that had it open. (Megabytes both ways, and an
// OBEX session, are the pyserial test's: tests/e2e/pyserial_bridge.py.)
TEST(PtyLoopback, TheTerminalBehavesAsOne)
{
    Pty pty({"--phone", "loopback"});
    ASSERT_FALSE(pty.path.empty()) << pty.line << pty.program->err;
    EXPECT_EQ(pty.line, "pty: COM5=" + pty.path);
    EXPECT_TRUE(pty.program->WaitForLine("COM5: " + pty.path + ", phone loopback", 10s)) << pty.program->out;
    // Standard input ends, as for a job a script starts in the background: the bridge
    // goes on.
    pty.program->CloseInput();
    const int fd = pty.OpenRaw();
    ASSERT_GE(fd, 0) << pty.path << ": " << std::strerror(errno);

    // poll wakes when the phone's answer arrives.
    const uint8_t ping = 0x5A;
    ASSERT_EQ(write(fd, &ping, 1), 1);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & POLLIN);
    uint8_t byte = 0;
    ASSERT_EQ(read(fd, &byte, 1), 1);
    EXPECT_EQ(byte, ping);

    // The terminal outlives the program that had it open.
    close(fd);
    const int again = pty.OpenRaw();
    ASSERT_GE(again, 0);
    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o', '\r', '\n', 0x00, 0xFF};
    ASSERT_TRUE(WriteFully(again, hello, sizeof hello));
    uint8_t back[sizeof hello] = {};
    ASSERT_TRUE(ReadFully(again, back, sizeof back));
    EXPECT_EQ(std::memcmp(back, hello, sizeof hello), 0);
    close(again);

    pty.EndClean();
    const std::string total = std::to_string(1 + sizeof hello);
    EXPECT_NE(pty.program->out.find("COM5: " + total + " bytes to the port, " + total + " bytes to the terminal"),
              std::string::npos)
        << pty.program->out;
}

// From a script: two phones, each behind its own terminal and link (one over a link a
// run before left behind); the first line lists them, the links go with the program.
TEST(PtyLoopback, EachPhoneHasATerminalAndALinkForTheProgramsLife)
{
    e2e::TempDir dir;
    const std::string links[] = {dir.Path() + "/phone5", dir.Path() + "/phone6"};
    ASSERT_EQ(symlink("/dev/pts/no-such-terminal", links[0].c_str()), 0);
    Pty pty({"--phone", "loopback", "--phones", "2", "--link", links[0], "--link", links[1]});
    ASSERT_EQ(pty.paths.size(), 2u) << pty.line << pty.program->err;
    EXPECT_EQ(pty.line, "pty: COM5=" + pty.paths[0] + " COM6=" + pty.paths[1]);
    for (size_t i = 0; i < 2; i++) {
        char target[128] = {};
        ASSERT_GT(readlink(links[i].c_str(), target, sizeof target - 1), 0) << links[i];
        EXPECT_EQ(target, pty.paths[i]);
        const int fd = pty.OpenRaw(links[i]);
        ASSERT_GE(fd, 0) << links[i];
        const std::vector<uint8_t> data(100 + i, static_cast<uint8_t>(i));
        ASSERT_TRUE(WriteFully(fd, data.data(), data.size()));
        std::vector<uint8_t> back(data.size());
        ASSERT_TRUE(ReadFully(fd, back.data(), back.size()));
        EXPECT_EQ(back, data);
        close(fd);
    }
    pty.EndClean();
    EXPECT_NE(pty.program->out.find("COM6: 101 bytes to the port, 101 bytes to the terminal"), std::string::npos)
        << pty.program->out;
    for (const std::string &link : links) {
        struct stat status{};
        EXPECT_NE(lstat(link.c_str(), &status), 0) << link << " is still there";
    }
}

// Line settings a program gives the terminal reach the port as SetCommState, and the
// line still carries data afterwards.
TEST(PtyLineSettings, ChangesBecomeSetCommState)
{
    Pty pty({"--phone", "loopback", "--port", "COM9"});
    ASSERT_FALSE(pty.path.empty()) << pty.line << pty.program->err;
    EXPECT_EQ(pty.line, "pty: COM9=" + pty.path);
    // What the terminal starts with is what the port is given first.
    EXPECT_TRUE(pty.program->WaitForLine("COM9: line settings 115200 8N1 -> SetCommState ok", 10s))
        << pty.program->out;
    const int fd = pty.OpenRaw();
    ASSERT_GE(fd, 0);

    // Linux keeps a pseudo-terminal at eight bits without parity whatever a program
    // asks (the pty driver clears CSIZE and PARENB), so of a 7E2 request the speed
    // and the stop bits are what the terminal reports and the port gets.
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_TRUE(pty.program->WaitForLine("line settings 9600 8N2 -> SetCommState ok", 10s))
        << pty.program->out;

    t.c_cflag = (t.c_cflag & ~(CSIZE | CSTOPB | PARENB)) | CS8 | CRTSCTS;
    cfsetospeed(&t, B57600);
    cfsetispeed(&t, B57600);
    t.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_TRUE(pty.program->WaitForLine("line settings 57600 8N1 rtscts ixon ixoff -> SetCommState ok", 10s))
        << pty.program->out;

    // Flow control off is a change too; a change of anything else (echo erase) is
    // not a line setting and is not passed on.
    t.c_iflag &= ~(IXON | IXOFF);
    t.c_cflag &= ~CRTSCTS;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_TRUE(pty.program->WaitForLine("line settings 57600 8N1 -> SetCommState ok", 10s))
        << pty.program->out;
    t.c_lflag |= ECHOE;   // not a line setting
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    std::this_thread::sleep_for(400ms);

    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(WriteFully(fd, data, sizeof data));
    uint8_t back[sizeof data] = {};
    ASSERT_TRUE(ReadFully(fd, back, sizeof back));
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    close(fd);

    pty.EndClean();
    EXPECT_EQ(pty.program->WaitForLine("line settings", 0ms), std::nullopt)
        << "settings sent again: " << pty.program->out;
}

// What a pseudo-terminal cannot carry (character size, parity) still maps as a serial
// terminal's settings would, for the Windows application calls.
TEST(PtyLineSettings, TermiosMapToTheDcbAWindowsApplicationWouldSet)
{
    termios t{};
    cfmakeraw(&t);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB;
    DCB dcb{};
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    tool::LineSettings settings = tool::LineSettings::FromTermios(t);
    settings.ApplyTo(dcb);
    EXPECT_EQ(settings.Describe(), "9600 7E2");
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

    t.c_cflag = (t.c_cflag & ~(CSIZE | CSTOPB)) | CS5 | PARODD | CRTSCTS;
    t.c_iflag |= IXON;
    cfsetospeed(&t, B460800);
    settings = tool::LineSettings::FromTermios(t);
    settings.ApplyTo(dcb);
    EXPECT_EQ(settings.Describe(), "460800 5O1 rtscts ixon");
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 0u);

    // Stick parity: PARODD picks mark.
    t.c_cflag |= CMSPAR;
    EXPECT_EQ(tool::LineSettings::FromTermios(t).parity, MARKPARITY);
    t.c_cflag &= ~PARODD;
    EXPECT_EQ(tool::LineSettings::FromTermios(t).parity, SPACEPARITY);

    // B0 hangs up: DTR drops and the rate the line had stays.
    cfsetospeed(&t, B0);
    settings = tool::LineSettings::FromTermios(t);
    settings.ApplyTo(dcb);
    EXPECT_EQ(dcb.BaudRate, 460800u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
}

// The phone pulled out under the bridge: the port's requests fail, and the bridge
// names the failure and wakes the program's main loop rather than spinning on it.
TEST(PtyBridge, APhonePulledOutIsAPortFailure)
{
    tool::Options options;
    options.command = "pty";
    options.phone.kind = tool::PhoneKind::Loopback;
    tool::Session session(options);
    int exit = 0;
    ASSERT_TRUE(session.Start(false, &exit));
    std::string why;
    auto phone = session.Plug("COM7", options.phone, options.speed, 0, &why, &exit);
    ASSERT_TRUE(phone.has_value()) << why;
    HANDLE port = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 250, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    tool::PseudoTerminal terminal;
    ASSERT_TRUE(terminal.Open(&why)) << why;
    int wake[2];
    ASSERT_EQ(pipe2(wake, O_CLOEXEC | O_NONBLOCK), 0);
    {
        tool::Bridge bridge(port, terminal.Master(), wake[1]);
        bridge.Start();
        const uint8_t data[] = {'o', 'k'};
        ASSERT_TRUE(WriteFully(terminal.Slave(), data, sizeof data));
        uint8_t back[sizeof data] = {};
        ASSERT_TRUE(ReadFully(terminal.Slave(), back, sizeof back));
        EXPECT_FALSE(bridge.Failed());

        session.Pnp().SurpriseRemove(*phone->node);
        pollfd woken{wake[0], POLLIN, 0};
        EXPECT_EQ(poll(&woken, 1, 10000), 1) << "the bridge did not report the failure";
        EXPECT_TRUE(bridge.Failed());
        EXPECT_NE(bridge.Failure().find("ReadFile failed: ERROR_"), std::string::npos) << bridge.Failure();
        bridge.Stop();
    }
    EXPECT_TRUE(CloseHandle(port));
    close(wake[0]);
    close(wake[1]);
    EXPECT_TRUE(session.Finish(false));
}

// How the program ends: SIGINT cleans up as SIGTERM does; a TCP phone that does not
// answer is an environment failure with no terminal printed.
TEST(PtyEnd, SignalsEndItCleanAndAMissingPhoneIsReported)
{
    {
        Pty pty({"--phone", "loopback"});
        ASSERT_FALSE(pty.path.empty()) << pty.line << pty.program->err;
        pty.program->Signal(SIGINT);
        EXPECT_EQ(pty.program->Wait(60s), 0) << pty.program->out << pty.program->err;
        EXPECT_NE(pty.program->out.find("stopping (SIGINT)"), std::string::npos) << pty.program->out;
        pty.ExpectChecksClean();
    }

}

// A TCP server that hangs up after each session: one bridge serves session after
// session; once the server is gone, the program says so and the client's read times
// out.
TEST(PtyTcp, SessionAfterSessionAndAServerThatIsGone)
{
    bench::ObexTcpServer::Options options;
    options.closeAfterDisconnect = true;
    bench::ObexTcpServer server(options);
    const std::string peer = "127.0.0.1:" + std::to_string(server.Port());
    Pty pty({"--phone", "tcp:" + peer});
    ASSERT_FALSE(pty.path.empty()) << pty.line << pty.program->err;
    const int fd = pty.OpenRaw();
    ASSERT_GE(fd, 0);
    sim::obex::Client client(
        [fd](const std::vector<uint8_t> &data) { return WriteFully(fd, data.data(), data.size()); },
        [fd](uint8_t *buffer, size_t n) { return ReadFully(fd, buffer, n, 2s); });
    for (int session = 1; session <= 2; session++) {
        ASSERT_EQ(client.Connect(sim::obex::kFolderBrowsing), sim::obex::kSuccess) << "session " << session;
        const std::vector<uint8_t> object = Pattern(10 * 1024 + static_cast<size_t>(session));
        ASSERT_EQ(client.Put(u"note.bin", object), sim::obex::kSuccess);
        std::vector<uint8_t> fetched;
        ASSERT_EQ(client.Get(u"note.bin", "", fetched), sim::obex::kSuccess);
        EXPECT_EQ(fetched, object);
        EXPECT_EQ(client.Disconnect(), sim::obex::kSuccess);
    }
    EXPECT_TRUE(pty.program->WaitForLine("COM5: connected to " + peer + " again for a new session (connection 2)", 10s))
        << pty.program->out;
    EXPECT_EQ(server.Connections(), 2);

    server.Stop();
    EXPECT_EQ(client.Connect(sim::obex::kFolderBrowsing), 0);
    EXPECT_TRUE(pty.program->WaitForLine("COM5: the server is gone: cannot connect to " + peer, 10s))
        << pty.program->out;
    close(fd);
    pty.EndClean();
}

}  // namespace

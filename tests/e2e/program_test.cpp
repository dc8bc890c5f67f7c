// The varnoobex program as a person runs it: the default session in its variants,
// several phones at once, a TCP peer as the phone, the trace, and every kind of bad
// input ending with one plain message and its documented exit status.
#include "tests/e2e/program.h"
#include "tests/support/obex_tcp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

using e2e::Describe;
using e2e::Outcome;

constexpr const char *kAllHeld = "varnoobex: all steps held";

// How many lines of `text` match `pattern`.
size_t CountLines(const std::string &text, const std::string &pattern)
{
    std::regex re(pattern);
    std::istringstream in(text);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        n += std::regex_search(line, re) ? 1 : 0;
    }
    return n;
}

TEST(DefaultRun, SessionOfSeveralMegabytesComesBackEqualAndLeavesNothing)
{
    // A transfer of several megabytes, at high speed to keep the run short.
    const Outcome o = e2e::Run({"--no-progress", "--speed", "high", "--size", "6000000"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_NE(o.out.find(kAllHeld), std::string::npos);
    EXPECT_EQ(CountLines(o.out, "FAIL"), 0u) << o.out;
    for (const char *step :
         {"CONNECT to the file-transfer service: Success", "GET the folder listing: Success",
          "GET the phone's capability object: Success", "PUT varnoobex-test.bin \\(6000000 bytes",
          "the object came back equal, byte for byte", "the phone stored exactly what was sent",
          "DISCONNECT: Success", "CONNECT after the wake: Success",
          "COM5 and its SERIALCOMM value are gone", "pool blocks outstanding: 0",
          "the verifier saw no violation", "kd> .*UNLOADED"}) {
        EXPECT_EQ(CountLines(o.out, step) >= 1, true) << "missing: " << step << "\n" << o.out;
    }
    // --no-progress: the summary line only.
    EXPECT_EQ(CountLines(o.out, "PUT varnoobex-test.bin: (25|50|75)% "), 0u) << o.out;
    EXPECT_EQ(CountLines(o.out, "PUT varnoobex-test.bin: 6000000 bytes in"), 1u) << o.out;
    EXPECT_TRUE(o.err.empty()) << o.err;
}

TEST(DefaultRun, GivenFileAndProgressLines)
{
    e2e::TempDir dir;
    std::string content;
    for (int i = 0; i < 70000; i++) {
        content += static_cast<char>((i * 31 + i / 7) & 0xFF);
    }
    const std::string path = dir.Write("photo.jpg", content);
    const Outcome o = e2e::Run({"--file", path, "--time", "virtual"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_EQ(CountLines(o.out, "PUT photo.jpg \\(70000 bytes, " + path + "\\): Success"), 1u) << o.out;
    EXPECT_EQ(CountLines(o.out, "PUT photo.jpg: (25|50|75)% \\(\\d+ of 70000 bytes"), 3u) << o.out;
    EXPECT_EQ(CountLines(o.out, "GET photo.jpg: 70000 bytes in"), 1u) << o.out;
    // Output that is not a terminal gets plain progress lines, no bar.
    EXPECT_EQ(o.out.find('\r'), std::string::npos);
}

TEST(DefaultRun, FourPhonesAtOnceWithoutCrossTalk)
{
    const Outcome o = e2e::Run({"--no-progress", "--phones", "4", "--size", "200000"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    for (const char *port : {"COM5", "COM6", "COM7", "COM8"}) {
        const std::string p = port;
        EXPECT_EQ(CountLines(o.out, "ok: +" + p + ": the object came back equal"), 1u) << p << "\n" << o.out;
        EXPECT_EQ(CountLines(o.out, "ok: +" + p + ": PUT varnoobex-test-" + p + ".bin"), 1u) << o.out;
        EXPECT_EQ(CountLines(o.out, "\\\\DosDevices\\\\" + p + " and its SERIALCOMM value are gone"), 1u);
    }
    EXPECT_EQ(CountLines(o.out, "no cross-talk: each phone holds its own object"), 1u) << o.out;
    EXPECT_EQ(CountLines(o.out, "one enabled COM-port interface per phone"), 1u);
}

TEST(DefaultRun, LoopbackPhoneExchangesBytes)
{
    const Outcome o = e2e::Run({"--no-progress", "--phone", "loopback", "--size", "100000"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_EQ(CountLines(o.out, "ok: +the loopback phone's echo of 100000 bytes came back whole"), 1u) << o.out;
    EXPECT_EQ(CountLines(o.out, "ok: +the loopback phone's echo of 50000 bytes"), 1u) << o.out;
}

// The phone pulled out in the middle of the PUT: the session ends with the error the
// application saw, and the rest of the run still shows nothing left behind.
TEST(DefaultRun, APhonePulledOutMidTransferEndsTheSessionAndLeavesNothing)
{
    const e2e::Outcome o = e2e::Run({"--no-progress", "--unplug-after", "100000"});
    EXPECT_EQ(o.status, 1) << Describe(o);
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find("varnoobex: COM5: the session ended: PUT varnoobex-test.bin"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("WriteFile failed: ERROR_ACCESS_DENIED (5)"), std::string::npos) << o.err;
    EXPECT_EQ(CountLines(o.out, "pulling the phone out after 1\\d{5} bytes"), 1u) << o.out;
    for (const char *step : {"ok: +the removal followed", "ok: +SERIALCOMM holds no value", "pool blocks outstanding: 0",
                             "ok: +the verifier saw no violation", "a session ended early \\(see above\\); the driver left"}) {
        EXPECT_EQ(CountLines(o.out, step), 1u) << step << "\n" << o.out;
    }
}

TEST(DefaultRun, TcpPeerIsThePhone)
{
    bench::ObexTcpServer server;
    const Outcome o = e2e::Run({"--no-progress", "--phone", "tcp:127.0.0.1:" + std::to_string(server.Port()),
                           "--size", "150000"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_EQ(CountLines(o.out, "the object came back equal"), 1u) << o.out;
    EXPECT_GE(server.Requests(), 10);
}

TEST(DefaultRun, TraceShowsRequestsEnteringAndLeaving)
{
    e2e::TempDir dir;
    const std::string trace = dir.Path() + "/trace.log";
    const Outcome o = e2e::Run({"--no-progress", "--size", "20000", "--trace=" + trace});
    ASSERT_EQ(o.status, 0) << Describe(o);
    std::ifstream in(trace);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    // Each request the application sends shows once coming in and once going out.
    for (const char *what : {"IRP_MJ_CREATE", "IRP_MJ_WRITE", "IRP_MJ_READ", "IRP_MJ_CLEANUP", "IRP_MJ_CLOSE",
                             "IOCTL_SERIAL_SET_BAUD_RATE", "IRP_MN_START_DEVICE", "IRP_MN_SURPRISE_REMOVAL",
                             "IRP_MN_REMOVE_DEVICE", "STATUS_SUCCESS"}) {
        EXPECT_GE(CountLines(log, what), 1u) << what;
    }
    EXPECT_EQ(CountLines(log, "-> .*IRP_MJ_CREATE"), CountLines(log, "<- .*IRP_MJ_CREATE")) << log.substr(0, 4000);
    // Nothing of the trace goes to standard output when it has a file.
    EXPECT_EQ(CountLines(o.out, "IRP_MJ_WRITE"), 0u);
}

// Each bad input ends with one plain line on standard error and its exit status,
// before or after the platform started, never with a crash or a hang.
TEST(BadInput, OneMessageAndTheDocumentedStatus)
{
    e2e::TempDir dir;
    const std::string unreadable = dir.Path();   // a directory is not a readable file
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"frobnicate"}, 2, "unknown subcommand 'frobnicate'"},
        {{"--frob"}, 2, "unknown option '--frob'"},
        {{"run", "--phones", "2", "x"}, 2, "run: unknown option '--phones'"},
        {{"--phones", "0"}, 2, "--phones '0': expected a number from 1 to 8"},
        {{"--phones"}, 2, "option --phones needs a value"},
        {{"--speed", "warp"}, 2, "--speed 'warp': expected full or high"},
        {{"--phone", "modem"}, 2, "unknown phone model 'modem'"},
        {{"--phone", "tcp:localhost"}, 2, "expected tcp:HOST:PORT"},
        {{"--phone", "tcp:localhost:70000"}, 2, "with a port from 1 to 65535"},
        {{"pty", "--port", "LPT1"}, 2, "--port 'LPT1': expected COM1 to COM255"},
        {{"pty", "--link", "a", "--link", "b"}, 2, "pty: 2 --link paths for 1 phone(s)"},
        {{"--link", "a"}, 2, "unknown option '--link'"},
        {{"run"}, 2, "run: a scenario FILE is needed"},
        {{"run", "a", "b"}, 2, "run: one scenario FILE only"},
        {{"extra", "--help"}, 2, "unknown subcommand 'extra'"},
        {{"--file", dir.Path() + "/missing.bin"}, 3, "cannot read '" + dir.Path() + "/missing.bin': No such file"},
        {{"--file", unreadable}, 3, "cannot read '" + unreadable + "'"},
        {{"run", dir.Path() + "/missing.scenario"}, 3,
         "cannot read '" + dir.Path() + "/missing.scenario': No such file or directory"},
        {{"--trace=" + dir.Path() + "/no/such/dir/t.log"}, 3, "cannot write the trace"},
        // Port 1 on the loopback address: nothing listens there.
        {{"--phone", "tcp:127.0.0.1:1"}, 4, "cannot connect to 127.0.0.1:1"},
        {{"pty", "--phone", "tcp:127.0.0.1:1"}, 4, "cannot connect to 127.0.0.1:1"},
        {{"--phone", "tcp:no-such-host.invalid:650"}, 4, "cannot resolve host 'no-such-host.invalid'"},
        {{"pty", "--phone", "loopback", "--link", dir.Path()}, 4,
         "--link " + dir.Path() + ": there is a file there that is not a symbolic link"},
    };
    for (const Case &c : cases) {
        std::string joined;
        for (const auto &a : c.args) {
            joined += a + " ";
        }
        const Outcome o = e2e::Run(c.args, {}, 60);
        EXPECT_EQ(o.status, c.status) << joined << "\n" << Describe(o);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << joined << "\n" << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << joined << "\n" << o.err;
        EXPECT_EQ(o.err.rfind("varnoobex: ", 0), 0u) << joined << "\n" << o.err;
    }
}

TEST(BadInput, SilentTcpPhoneEndsTheSessionWithTheReason)
{
    bench::ObexTcpServer::Options options;
    options.silent = true;
    bench::ObexTcpServer server(options);
    const Outcome o = e2e::Run({"--no-progress", "--time", "virtual", "--phone",
                           "tcp:127.0.0.1:" + std::to_string(server.Port())});
    EXPECT_EQ(o.status, 1) << Describe(o);
    EXPECT_NE(o.err.find("COM5: the session ended: CONNECT to the file-transfer service: "
                         "the phone did not answer"),
              std::string::npos)
        << o.err;
    // Even so the port was closed, the phone removed and nothing left behind.
    EXPECT_NE(o.out.find("pool blocks outstanding: 0"), std::string::npos);
    EXPECT_NE(o.out.find("ok:   the verifier saw no violation"), std::string::npos);
}

TEST(Help, EverySubcommandExplainsItself)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--help"}, {"run", "--help"}, {"pty", "--help"}}) {
        const Outcome o = e2e::Run(args);
        EXPECT_EQ(o.status, 0);
        EXPECT_NE(o.out.find("usage: varnoobex"), std::string::npos);
        EXPECT_NE(o.out.find("Exit status"), std::string::npos);
        EXPECT_TRUE(o.err.empty());
    }
}

}  // namespace

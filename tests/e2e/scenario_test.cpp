// varnoobex run FILE: the scenario language's parser and its error messages, how
// outcomes are judged against expectations, and the program end to end (exit
// statuses, a failure naming its line, clean-up after a failure, no hang).
#include "tests/e2e/program.h"
#include "sim/win32/windows.h"
#include "tools/scenario/scenario.h"
#include "tools/win32_errors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using e2e::Describe;
using tool::scenario::Expectation;
using tool::scenario::Outcome;
using tool::scenario::Parse;
using tool::scenario::ParseError;
using tool::scenario::Script;

// ---- the parser

TEST(ScenarioParse, EachBadLineIsReportedAtItsColumnWithWhatWasExpected)
{
    const struct {
        const char *line;
        int column;
        const char *message;   // a fragment of it
    } kCases[] = {
        {"frobnicate COM5", 1, "expected a statement (plug, open, write, read, pnp, sleep, ...), got 'frobnicate'"},
        {"plug model phone", 12, "expected obex, loopback, scripted, silent or dead, got 'phone'"},
        {"plug port COM0", 11, "expected a port name (COM1 to COM255), got 'COM0'"},
        {"plug speed", 11, "expected full or high, got end of line"},
        {"write p \"abc", 13, "expected '\"' closing the string that starts at column 9, got end of line"},
        {"write p \"a\\qb\"", 11, "got '\\q'"},
        {"write p \"\\x4\"", 10, "expected two hex digits after \\x"},
        {"write p h\"0g\"", 12, "expected hex digits, got 'g'"},
        {"write p h\"012\"", 14, "expected an even number of hex digits"},
        {"write p", 8, "expected data (\"text\", h\"hex\", file \"path\" or pattern N), got end of line"},
        {"write p file \"no/such/file\"", 14, "expected a readable file, got '/base/no/such/file'"},
        {"read p many", 8, "expected a byte count (a number from 0 to"},
        {"read p 4 twice", 10, "expected once, async or save, got 'twice'"},
        {"advance 5min", 9, "expected a duration (500ms, 2s, 250us), got '5min'"},
        {"read p 5 expect error ERROR_NOPE", 23, "expected a Win32 error name (ERROR_...) or number, got 'ERROR_NOPE'"},
        {"pnp stop expect status STATUS_BOGUS", 24, "expected an NTSTATUS name (STATUS_...) or number"},
        {"pnp halt", 5, "expected query-stop, stop, cancel-stop, start, query-remove"},
        {"get-state p expect baud fast", 25, "expected a value for baud (a number"},
        {"get-state p expect parity weird", 27, "expected a parity (none, odd, even, mark, space), got 'weird'"},
        {"get-state p expect events rxchar", 20, "expected an expectation (ok, error, status, count, pending, done, "
                                                 "response, data, baud, bits, parity, stop, dtr, rts), got 'events'"},
        {"set-mask p rxchr", 12, "expected an event (rxchar, rxflag, txempty"},
        {"purge p everything", 9, "expected a purge flag (txabort, rxabort, txclear, rxclear), got 'everything'"},
        {"sleep S5", 7, "expected S1, S2, S3 or S4, got 'S5'"},
        {"close p now", 9, "expected expect or end of line, got 'now'"},
        {"read p 4 expect", 16, "expected an expectation"},
        {"lowres fail any nth 0", 21, "expected a call number from 1, got '0'"},
        {"fault in next 2 error STATUS_UNSUCCESSFUL USBD_STATUS_NOPE", 43, "expected a USBD status name"},
        {"ioctl p IOCTL_SERIAL_NOPE", 9, "expected a control code (IOCTL_SERIAL_...) or number"},
        {"open", 5, "expected a port name (COM5), got end of line"},
        {"open expect ok", 6, "expected a port name (COM5), got 'expect'"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.line);
        Script script;
        const auto errors = Parse(c.line, "/base", &script);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].line, 1);
        EXPECT_EQ(errors[0].column, c.column) << errors[0].message;
        EXPECT_NE(errors[0].message.find(c.message), std::string::npos) << errors[0].message;
        EXPECT_TRUE(script.statements.empty());
    }
}

TEST(ScenarioParse, EveryBadLineOfAFileIsReportedAndGoodLinesAreKeptWithoutTheirComments)
{
    const std::string text =
        "# a comment line\n"
        "\n"
        "plug model loopback   # trailing comment\n"
        "open COM5 as p\n"
        "write p \"a # is data\" h\"0d 0A\" expect count 13\n"
        "read p x\n"
        "   close p\n"
        "sleep S9\n";
    Script script;
    const auto errors = Parse(text, ".", &script);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].line, 6);
    EXPECT_EQ(errors[0].column, 8);
    EXPECT_EQ(errors[1].line, 8);
    EXPECT_EQ(errors[1].column, 7);
    ASSERT_EQ(script.statements.size(), 4u);
    EXPECT_EQ(script.statements[0].line, 3);
    EXPECT_EQ(script.statements[0].text, "plug model loopback");
    EXPECT_EQ(script.statements[2].text, "write p \"a # is data\" h\"0d 0A\" expect count 13");
    ASSERT_EQ(script.statements[2].expectations.size(), 1u);
    EXPECT_EQ(script.statements[2].expectations[0].value, 13u);
    EXPECT_EQ(script.statements[3].line, 7);
    EXPECT_EQ(script.statements[3].text, "close p");
}

TEST(ScenarioParse, DataValuesRunTogetherFromTextEscapesHexFilesAndPatterns)
{
    e2e::TempDir dir;
    dir.Write("blob.bin", std::string("\x01\x02\x03", 3));
    Script script;
    const auto errors = Parse("read p 4 expect \"A\\r\\n\\t\\0\\\\\\\"\\x7f\" h\"ff 00\" file \"blob.bin\" pattern 3",
                              dir.Path(), &script);
    ASSERT_TRUE(errors.empty()) << errors[0].message;
    ASSERT_EQ(script.statements.size(), 1u);
    const Expectation &e = script.statements[0].expectations.at(0);
    EXPECT_EQ(e.kind, Expectation::Kind::Data);
    const std::vector<uint8_t> want = {'A', '\r', '\n', '\t', 0, '\\', '"', 0x7F, 0xFF, 0x00, 1, 2, 3, 0, 7, 14};
    EXPECT_EQ(e.data, want);
}

// ---- judging outcomes

tool::scenario::Statement Parsed(const std::string &line)
{
    Script script;
    const auto errors = Parse(line, ".", &script);
    EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors[0].message);
    return script.statements.at(0);
}

TEST(ScenarioEvaluate, AFailureIsAcceptedOnlyWhenTheStatementExpectsIt)
{
    const Outcome denied = Outcome::Win32Failure(ERROR_ACCESS_DENIED);
    Outcome fine;
    fine.count = 3;

    EXPECT_EQ(Evaluate(Parsed("write p \"abc\""), denied),
              std::vector<std::string>{"expected success, got error ERROR_ACCESS_DENIED (5)"});
    EXPECT_EQ(Evaluate(Parsed("write p \"abc\" expect count 3"), denied),
              std::vector<std::string>{"expected success, got error ERROR_ACCESS_DENIED (5)"});
    EXPECT_TRUE(Evaluate(Parsed("write p \"abc\" expect error ERROR_ACCESS_DENIED"), denied).empty());
    EXPECT_EQ(Evaluate(Parsed("write p \"abc\" expect error ERROR_DEVICE_NOT_CONNECTED"), denied),
              std::vector<std::string>{"expected error ERROR_DEVICE_NOT_CONNECTED (1167), got error "
                                       "ERROR_ACCESS_DENIED (5)"});
    EXPECT_EQ(Evaluate(Parsed("write p \"abc\" expect error ERROR_ACCESS_DENIED"), fine),
              std::vector<std::string>{"expected error ERROR_ACCESS_DENIED (5), got success"});
    EXPECT_TRUE(Evaluate(Parsed("write p \"abc\" expect count 3"), fine).empty());

    Outcome refused;
    refused.status = static_cast<int32_t>(0x80000011);   // STATUS_DEVICE_BUSY, a warning
    EXPECT_EQ(Evaluate(Parsed("pnp query-remove"), refused),
              std::vector<std::string>{"expected success, got status STATUS_DEVICE_BUSY (0x80000011)"});
    EXPECT_TRUE(Evaluate(Parsed("pnp query-remove expect status STATUS_DEVICE_BUSY"), refused).empty());

    // A problem of the scenario itself fails whatever was expected.
    EXPECT_EQ(Evaluate(Parsed("close p expect error ERROR_INVALID_HANDLE"), Outcome::Problem("no open handle")),
              std::vector<std::string>{"no open handle"});
}

TEST(ScenarioEvaluate, EachExpectationThatFailsIsNamedWithWhatCameInstead)
{
    Outcome read;
    read.data = std::vector<uint8_t>{'a', 'b', '\n'};
    read.count = 3;
    EXPECT_EQ(Evaluate(Parsed("read p 3 expect \"abc\" count 4"), read),
              (std::vector<std::string>{"expected \"abc\", got \"ab\\n\"", "expected count 4, got count 3"}));

    Outcome wait;
    wait.fields["events"] = 0x0004;
    EXPECT_EQ(Evaluate(Parsed("wait-event p expect events rxchar"), wait),
              std::vector<std::string>{"expected events rxchar, got events txempty"});
    EXPECT_TRUE(Evaluate(Parsed("wait-event p expect events txempty"), wait).empty());

    Outcome timeouts;
    timeouts.fields = {{"interval", 0xFFFFFFFF}, {"constant", 10}};
    EXPECT_EQ(Evaluate(Parsed("get-timeouts p expect interval 5 constant 10"), timeouts),
              std::vector<std::string>{"expected interval 5, got interval max"});

    Outcome started;
    started.pending = false;
    EXPECT_EQ(Evaluate(Parsed("read p 3 async r expect pending"), started),
              std::vector<std::string>{"expected pending, got done"});
}

// ---- the program

TEST(ScenarioRun, ParseErrorsAreAllPrintedAsFileLineColumnAndNothingRuns)
{
    e2e::TempDir dir;
    const std::string path = dir.Write("bad.scenario",
                                       "plug model loopback\n"
                                       "open COM5 as p\n"
                                       "write p \"unterminated\n"
                                       "read p 4 expect error ERROR_WHATEVER\n");
    const auto o = e2e::Run({"run", path});
    EXPECT_EQ(o.status, 3) << Describe(o);
    EXPECT_EQ(o.err, path + ":3:22: expected '\"' closing the string that starts at column 9, got end of line\n" +
                         path + ":4:23: expected a Win32 error name (ERROR_...) or number, got 'ERROR_WHATEVER'\n");
    EXPECT_EQ(o.out, "") << "nothing runs before the whole file parses";
}

TEST(ScenarioRun, AFailedExpectationNamesItsLineSkipsTheRestAndStillCleansUp)
{
    e2e::TempDir dir;
    // The failure leaves a handle open with a read in flight and the phone plugged:
    // the clean-up must still leave nothing behind.
    const std::string path = dir.Write("fail.scenario",
                                       "plug model loopback\n"
                                       "plug as other model scripted port COM6\n"
                                       "open COM5 as p\n"
                                       "open COM6 as q\n"
                                       "read q 8 async parked\n"
                                       "write p \"abc\"\n"
                                       "# the echo is abc\n"
                                       "read p 3 expect \"xyz\"\n"
                                       "close p\n");
    const auto o = e2e::Run({"run", path});
    EXPECT_EQ(o.status, 1) << Describe(o);
    EXPECT_NE(o.out.find("    8  read p 3 expect \"xyz\": FAIL: expected \"xyz\", got \"abc\""), std::string::npos)
        << Describe(o);
    EXPECT_NE(o.out.find("1 more statement not run"), std::string::npos) << Describe(o);
    EXPECT_EQ(o.out.find("close p"), std::string::npos) << "nothing runs after the failure";
    EXPECT_NE(o.out.find("end: ok"), std::string::npos) << Describe(o);
    EXPECT_NE(o.err.find("failed at line 8"), std::string::npos) << Describe(o);
}

TEST(ScenarioRun, AScenarioThatLeavesHandlesAndPhonesBehindPassesOnceTheCleanUpLeaksNothing)
{
    e2e::TempDir dir;
    dir.Write("out.bin", "");
    const std::string path = dir.Write("pass.scenario",
                                       "plug model loopback speed high\n"
                                       "plug as other model scripted port COM6\n"
                                       "open COM5 as p\n"
                                       "open COM6 as q\n"
                                       "write p file \"data.bin\"\n"
                                       "read p 5 save \"copy.bin\" expect file \"data.bin\"\n"
                                       "write q \"to the phone\"\n"
                                       "phone other received expect \"to the phone\"\n"
                                       "phone other send h\"01 02\"\n"
                                       "read q 2 expect h\"0102\"\n"
                                       "read p 100 async left-in-flight\n");
    dir.Write("data.bin", "\x10\x20hi\n");
    const auto o = e2e::Run({"run", path});
    EXPECT_EQ(o.status, 0) << Describe(o);
    EXPECT_EQ(o.out.find("FAIL"), std::string::npos) << Describe(o);
    std::ifstream copy(dir.Path() + "/copy.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), std::istreambuf_iterator<char>()), "\x10\x20hi\n");
}

TEST(ScenarioRun, ARequestThatWouldWaitForeverIsCancelledByTheWatchdogAndTheRunEnds)
{
    e2e::TempDir dir;
    // Without the default timeouts (raw) a read on a silent phone never ends by
    // itself; and no timer is armed for the virtual clock to jump to.
    const std::string path = dir.Write("hang.scenario",
                                       "plug model silent\n"
                                       "open COM5 as p raw\n"
                                       "read p 1\n");
    const auto o = e2e::Run({"run", path}, {}, 90);
    EXPECT_FALSE(o.timedOut);
    EXPECT_EQ(o.status, 1) << Describe(o);
    EXPECT_NE(o.out.find("    3  read p 1: FAIL: the request did not end within 15 s of real time; it was cancelled"),
              std::string::npos)
        << Describe(o);
    EXPECT_NE(o.out.find("end: ok"), std::string::npos) << Describe(o);
}

// Small scenarios, each ending with its exit status and a line its output must hold.
TEST(ScenarioRun, StatementsMeetTheirPlatformAndReportWhatWentWrong)
{
    const struct {
        const char *name;
        std::vector<std::string> options;
        const char *text;
        int status;
        const char *line;   // a fragment of standard output
    } kCases[] = {
        {"a failure nobody expected", {}, "open COM5 as p\n", 1,
         "    1  open COM5 as p: FAIL: expected success, got error ERROR_FILE_NOT_FOUND (2)"},
        {"the default model comes from --phone", {"--phone", "loopback"},
         "plug\nopen COM5 as p\nwrite p \"x\"\nread p 1 expect \"x\"\n", 0, "    4  read p 1 expect \"x\": ok"},
        {"a second phone gets the next name and port", {},
         "plug model loopback\nplug model loopback\nopen COM6 as p\nphone phone2 is working\n", 0,
         "phone2 on COM6"},
        {"an unknown handle", {}, "plug\nwrite nobody \"x\"\n", 1,
         "    2  write nobody \"x\": FAIL: no open handle named 'nobody'"},
        {"a handle name twice", {}, "plug\nopen COM5 as p\nopen COM5 as p\n", 1,
         "FAIL: a handle named 'p' is already open"},
        {"a phone before any was plugged", {}, "unplug\n", 1, "FAIL: no phone has been plugged"},
        {"a phone already removed", {}, "plug\nunplug\npnp start\n", 1, "FAIL: phone 'phone' has been removed"},
        {"a request that was never started", {}, "await r\n", 1, "FAIL: no asynchronous request named 'r'"},
        {"a state that does not hold", {}, "plug\nphone is failed\n", 1,
         "FAIL: expected failed, got started, not failed"},
        {"what a phone received, scripted phones only", {}, "plug model loopback\nphone received\n", 1,
         "FAIL: phone 'phone' is not a scripted phone"},
        {"OBEX through a phone that never answers", {},
         "plug model silent\nopen COM5 as p\nobex p connect expect error ERROR_SEM_TIMEOUT\n", 0,
         "obex p connect expect error ERROR_SEM_TIMEOUT: ok"},
        {"an OBEX response that was not expected", {},
         "plug model obex\nopen COM5 as p\nobex p connect\nobex p get \"nothing\"\n", 1,
         "FAIL: expected success, got response not-found (0xC4)"},
        {"an async write awaited", {},
         "plug model scripted\nopen COM5 as p\nwrite p pattern 1000 async w\nawait w expect count 1000\n"
         "phone received expect pattern 1000\n",
         0, "    5  phone received expect pattern 1000: ok (1000 bytes)"},
        {"a pending request that has ended", {},
         "plug model loopback\nopen COM5 as p\nwrite p \"x\"\nread p 1 async r\npending r\n", 1,
         "FAIL: expected 'r' to be pending, got a request that has ended"},
        {"a short transfer on the way out: the rest follows", {},
         "plug model scripted\nopen COM5 as p\nfault out next 1 short 3\nwrite p \"abcdef\" expect count 6\n"
         "phone received expect \"abcdef\"\n",
         0, "    5  phone received expect \"abcdef\": ok"},
    };
    e2e::TempDir dir;
    int n = 0;
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"run"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(dir.Write("case" + std::to_string(n++) + ".scenario", c.text));
        const auto o = e2e::Run(arguments);
        EXPECT_EQ(o.status, c.status) << Describe(o);
        EXPECT_NE(o.out.find(c.line), std::string::npos) << Describe(o);
        EXPECT_NE(o.out.find("end: ok"), std::string::npos) << Describe(o);
    }
}

}  // namespace

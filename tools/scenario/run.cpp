// varnoobex run FILE: parses the whole scenario, then runs it statement by statement
// on a fresh platform, printing each with its result, and ends with the session's
// check that nothing was left behind.
#include "sim/lowres.h"
#include "tools/commands.h"
#include "tools/scenario/runner.h"
#include "tools/scenario/scenario.h"
#include "tools/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tool {

namespace {

bool ReadWhole(const std::string &path, std::string *text, int *error)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = errno;
        return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text->append(buffer, n);
    }
    const bool failed = std::ferror(f) != 0;
    *error = errno;
    std::fclose(f);
    return !failed;
}

std::string Directory(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The failure point's line, which scripts/sweep.sh reads: "fail point N of M: ROUTINE
// failed" (or "not reached"), with the calls by routine when N is 0.
void ReportPoint(int point, int hangs, const std::string &unusable)
{
    const sim::lowres::PointReport report = sim::lowres::Point();
    if (point == 0) {
        std::printf("       fail points: %d (", report.calls);
        const char *separator = "";
        for (const auto &[routine, calls] : report.perRoutine) {
            std::printf("%s%s %d", separator, routine.c_str(), calls);
            separator = ", ";
        }
        std::printf(")\n");
    } else if (report.failed.empty()) {
        std::printf("       fail point %d of %d: not reached\n", point, report.calls);
    } else {
        std::printf("       fail point %d of %d: %s failed\n", point, report.calls, report.failed.c_str());
    }
    if (hangs != 0) {
        std::printf("       FAIL: %d request%s left the application waiting until the watchdog cancelled\n", hangs,
                    hangs == 1 ? "" : "s");
    }
    if (!unusable.empty()) {
        std::printf("       FAIL: %s\n", unusable.c_str());
    }
}

}  // namespace

int RunScenario(const Options &options)
{
    const std::string &path = options.arguments.at(0);
    std::string text;
    int error = 0;
    if (!ReadWhole(path, &text, &error)) {
        Complain("cannot read '" + path + "': " + std::strerror(error));
        return kExitInput;
    }
    scenario::Script script;
    script.path = path;
    const auto errors = scenario::Parse(text, Directory(path), &script);
    if (!errors.empty()) {
        std::fflush(stdout);
        for (const auto &e : errors) {
            std::fprintf(stderr, "%s:%d:%d: %s\n", path.c_str(), e.line, e.column, e.message.c_str());
        }
        return kExitInput;
    }

    std::printf("scenario %s: %zu statements; phone %s, %s speed, %s time\n", path.c_str(),
                script.statements.size(), options.phone.Describe().c_str(),
                options.speed == sim::usb::Speed::High ? "high" : "full", options.virtualTime ? "virtual" : "real");
    std::fflush(stdout);
    Session session(options);
    int exit = kExitOk;
    if (!session.Start(false, &exit)) {
        return exit;
    }
    // A failure point counts from the first statement: the driver's own load is the
    // loader's business, not the scenario's.
    const bool sweeping = options.failPoint.has_value();
    if (sweeping) {
        sim::lowres::ArmPoint(*options.failPoint);
    }

    bool failed = false;
    bool usable = true;
    int hangs = 0;
    size_t ran = 0;
    bool environment = false;
    {
        scenario::Runner runner(session);
        for (const scenario::Statement &statement : script.statements) {
            ran++;
            const scenario::Outcome outcome = statement.action(runner);
            runner.Settle();
            const auto failures = scenario::Evaluate(statement, outcome);
            if (failures.empty()) {
                std::printf("%5d  %s: ok%s\n", statement.line, statement.text.c_str(),
                            outcome.note.empty() ? "" : (" (" + outcome.note + ")").c_str());
            } else {
                std::printf("%5d  %s: FAIL: %s\n", statement.line, statement.text.c_str(), failures[0].c_str());
                for (size_t i = 1; i < failures.size(); i++) {
                    std::printf("%5s  %*s  FAIL: %s\n", "", 0, "", failures[i].c_str());
                }
                failed = true;
            }
            std::fflush(stdout);
            if (failed) {
                break;
            }
        }
        environment = runner.EnvironmentFailed();
        if (failed && ran < script.statements.size()) {
            const size_t left = script.statements.size() - ran;
            std::printf("       %zu more statement%s not run\n", left, left == 1 ? "" : "s");
        }
        runner.CloseAll();
        // A failure still armed would strike the clean-up instead of the driver's work.
        sim::lowres::Reset();
        if (sweeping) {
            sim::lowres::DisarmPoint();
            std::string why;
            usable = runner.StillUsable(&why);
            hangs = runner.Hangs();
            ReportPoint(*options.failPoint, hangs, usable ? std::string() : why);
        }
    }
    const bool clean = session.Finish(false);
    std::printf("       end: %s\n", clean ? "ok (every phone removed, the driver unloaded, nothing left in the "
                                            "pool, no verifier report)"
                                          : "FAIL: the session left something behind (see above)");
    if (sweeping) {
        // The statements met a failure on purpose; what counts is how the driver came
        // through it.
        std::fflush(stdout);
        // Counting (point 0) injects nothing: there the statements must hold as well.
        const bool held = !failed || *options.failPoint != 0;
        return environment ? kExitEnvironment : held && clean && usable && hangs == 0 ? kExitOk : kExitFailed;
    }
    if (failed) {
        std::fprintf(stderr, "varnoobex: scenario %s failed at line %d\n", path.c_str(),
                     script.statements[ran - 1].line);
    }
    std::fflush(stdout);
    if (environment) {
        return kExitEnvironment;
    }
    return failed || !clean ? kExitFailed : kExitOk;
}

}  // namespace tool

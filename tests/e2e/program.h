// Runs the varnoobex program as a person would, for the end-to-end tests: in one go
// (arguments and standard input in; exit status, standard output and standard error
// out), or in the background for a program that keeps running (the pty bridge) while
// the test talks to it. A run that does not end within its time limit is killed and
// reported.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

struct Outcome {
    int status = -1;          // exit status; -1 when killed or not run
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs the program with `arguments`; `input` goes to its standard input, which is
// then closed. Kills it after `timeoutSeconds`.
Outcome Run(const std::vector<std::string> &arguments, const std::string &input = {},
            int timeoutSeconds = 120);
// The status and both outputs, for a failed assertion's message.
std::string Describe(const Outcome &o);

// The program running in the background, with its standard input, output and error
// on pipes. Killed when the object goes without having waited for it.
class Background {
public:
    explicit Background(const std::vector<std::string> &arguments);
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    // The next line of standard output that contains `text`, waiting at most `limit`.
    std::optional<std::string> WaitForLine(const std::string &text, std::chrono::milliseconds limit);
    // Writes to standard input (all of it, unless the program stopped reading).
    void Input(const std::string &data);
    void CloseInput();
    void Signal(int signal);
    // Reads the rest of the output and the exit status; -1 when it did not end in
    // time (then it is killed).
    int Wait(std::chrono::milliseconds limit);

    std::string out;
    std::string err;

private:
    // Takes what is there on standard output and error, waiting until the deadline
    // for something. False when both are closed or the time is up.
    bool Pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int input_ = -1;
    int out_ = -1;
    int err_ = -1;
    size_t scanned_ = 0;
};

// The path of a file in the source tree ("scenarios/normal_session.scenario").
std::string SourcePath(const std::string &relative);

// A file in a fresh temporary directory that is removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return path_; }
    std::string Write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

}  // namespace e2e

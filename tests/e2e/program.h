// Runs the varnoobex program as a person would, for the end-to-end tests: arguments,
// optional standard input, and what came out (exit status, standard output, standard
// error). A run that does not end within its time limit is killed and reported.
#pragma once

#include <string>
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

#include "tests/e2e/program.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

void MakePipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
}

}  // namespace

Outcome Run(const std::vector<std::string> &arguments, const std::string &input, int timeoutSeconds)
{
    int in[2], out[2], err[2];
    MakePipe(in);
    MakePipe(out);
    MakePipe(err);
    std::vector<char *> argv;
    std::string program = VARNOOBEX_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copies(arguments);
    for (auto &a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Outcome outcome;
    // Standard input is written in one go; the program reads it only when told to.
    if (!input.empty()) {
        signal(SIGPIPE, SIG_IGN);
        const ssize_t n = write(in[1], input.data(), input.size());
        (void)n;
    }
    close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            outcome.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || fds[k].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
                open--;
            } else {
                (k == 0 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    for (auto &f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = (!outcome.timedOut && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string SourcePath(const std::string &relative)
{
    return std::string(VARNOOBEX_SOURCE_DIR) + "/" + relative;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "varnoobex-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const
{
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace e2e

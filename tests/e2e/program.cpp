#include "tests/e2e/program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Background::Background(const std::vector<std::string> &arguments)
{
    int in[2], outPipe[2], errPipe[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    // A program that stops reading its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> copies(arguments);
    std::string program = VARNOOBEX_PROGRAM;
    std::vector<char *> argv{program.data()};
    for (auto &a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    input_ = in[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
}

Background::~Background()
{
    CloseInput();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::optional<std::string> Background::WaitForLine(const std::string &text, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        size_t end;
        while ((end = out.find('\n', scanned_)) != std::string::npos) {
            std::string line = out.substr(scanned_, end - scanned_);
            scanned_ = end + 1;
            if (line.find(text) != std::string::npos) {
                return line;
            }
        }
        if (!Pump(deadline)) {
            return std::nullopt;
        }
    }
}

void Background::Input(const std::string &data)
{
    size_t done = 0;
    while (input_ >= 0 && done < data.size()) {
        const ssize_t n = write(input_, data.data() + done, data.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
}

void Background::CloseInput()
{
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

void Background::Signal(int signal)
{
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

int Background::Wait(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (Pump(deadline)) {
    }
    if (out_ >= 0 || err_ >= 0) {
        return -1;
    }
    int status = 0;
    // Both pipes closed: the program is ending; give it the rest of the time.
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Background::Pump(Clock::time_point deadline)
{
    if (out_ < 0 && err_ < 0) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
        return false;
    }
    int *ends[2] = {&out_, &err_};
    std::string *texts[2] = {&out, &err};
    for (int k = 0; k < 2; k++) {
        if (fds[k].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(*ends[k], buffer, sizeof buffer);
        if (n <= 0) {
            close(*ends[k]);
            *ends[k] = -1;
        } else {
            texts[k]->append(buffer, static_cast<size_t>(n));
        }
    }
    return true;
}

Outcome Run(const std::vector<std::string> &arguments, const std::string &input, int timeoutSeconds)
{
    Background program(arguments);
    program.Input(input);
    program.CloseInput();
    Outcome outcome;
    outcome.status = program.Wait(std::chrono::seconds(timeoutSeconds));
    outcome.timedOut = outcome.status == -1;
    outcome.out = std::move(program.out);
    outcome.err = std::move(program.err);
    return outcome;
}

std::string Describe(const Outcome &o)
{
    return "status " + std::to_string(o.status) + (o.timedOut ? " (timed out)" : "") + "\n--- stdout ---\n" +
           o.out + "\n--- stderr ---\n" + o.err;
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

// zorcomm-sim as a child process with its standard input and output on pipes, for the tests
// of its programs.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zsim_test {

using namespace std::chrono_literals;

// The simulator with its standard input and output on pipes.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            std::vector<char *> argv{const_cast<char *>(ZSIM_PROGRAM)};
            for (auto &arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(ZSIM_PROGRAM, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
        errors_ = err[0];
    }
    ~SimProcess()
    {
        if (pid_ > 0 && !Exit(0ms)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {toSim_, fromSim_, errors_}) {
            if (fd >= 0) close(fd);
        }
    }

    std::optional<std::string> ReadLine(int fd, std::string &buffer, std::chrono::milliseconds limit = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto end = buffer.find('\n'); end != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char chunk[512];
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }
    std::optional<std::string> Line() { return ReadLine(fromSim_, outBuffer_); }
    std::optional<std::string> ErrorLine() { return ReadLine(errors_, errBuffer_); }

    std::string Control(const std::string &line)
    {
        const std::string text = line + "\n";
        if (write(toSim_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "write failed";
        return Line().value_or("no reply");
    }
    void CloseInput()
    {
        close(toSim_);
        toSim_ = -1;
    }
    // The exit status once the process has ended within `limit`.
    std::optional<int> Exit(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(5000);
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int toSim_ = -1;
    int fromSim_ = -1;
    int errors_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

} // namespace zsim_test

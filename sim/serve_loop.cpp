#include "serve_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace zsim {

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

} // namespace

Micros NowMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Micros{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

StopSignals::StopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop{};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);

    sigset_t blocked, original;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &original);
    during_ = original;
    sigdelset(&during_, SIGTERM);
    sigdelset(&during_, SIGINT);
    sigdelset(&during_, SIGHUP);
}

bool StopSignals::stopped() const { return gStop != 0; }

std::vector<std::string> ControlInput::Read()
{
    std::vector<std::string> lines;
    char chunk[4096];
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return lines;
    if (got <= 0) {
        open_ = false;
        if (!buffer_.empty()) lines.push_back(std::move(buffer_));
        buffer_.clear();
        return lines;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = buffer_.find('\n')) != std::string::npos) {
        lines.push_back(buffer_.substr(0, end));
        buffer_.erase(0, end + 1);
    }
    return lines;
}

void PrintLine(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool OpenPseudoTerminal(int &master, int &keepSlave, std::string &slavePath)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::perror("zorcomm-sim: pseudo terminal");
        return false;
    }
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    keepSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (keepSlave < 0) {
        std::perror("zorcomm-sim: open slave");
        return false;
    }
    termios tio{};
    if (tcgetattr(keepSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(keepSlave, TCSANOW, &tio);
    }
    return true;
}

} // namespace zsim

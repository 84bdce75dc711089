#include "serve_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace zsim {

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

} // namespace

Nanos NowNanos()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos{ts.tv_sec} * kNanosPerSecond + ts.tv_nsec;
}

void UseFineTimerSlack() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

namespace {

constexpr Nanos kLeastMargin = 2'000;
constexpr Nanos kMostMargin = 200'000;

timespec AtTime(Nanos time)
{
    return timespec{static_cast<time_t>(time / kNanosPerSecond), static_cast<long>(time % kNanosPerSecond)};
}

timespec Span(Nanos length)
{
    return AtTime(std::max<Nanos>(length, 0));
}

} // namespace

void Pacer::Learn(Nanos lateness)
{
    // A wake-up that came very late (the machine was busy elsewhere) says little about the next.
    lateness = std::clamp<Nanos>(lateness, 0, kMostMargin);
    lateness_ += (lateness - lateness_) / 8;
    margin_ = std::clamp<Nanos>(2 * lateness_, kLeastMargin, kMostMargin);
}

void Pacer::SleepUntil(Nanos deadline)
{
    const Nanos wake = deadline - margin_;
    if (NowNanos() < wake) {
        const timespec at = AtTime(wake);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        Learn(NowNanos() - wake);
    }
    while (NowNanos() < deadline) {
    }
}

int Pacer::PollUntil(pollfd *fds, nfds_t count, std::optional<Nanos> deadline, const sigset_t *mask)
{
    if (!deadline) return ppoll(fds, count, nullptr, mask);
    const Nanos wake = *deadline - margin_;
    const Nanos now = NowNanos();
    if (now < wake) {
        const timespec timeout = Span(wake - now);
        const int ready = ppoll(fds, count, &timeout, mask);
        if (ready != 0) return ready;
        Learn(NowNanos() - wake);
    }
    SleepUntil(*deadline);
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
    return 0;
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

// What the simulator's programs share around their event loops: the clock, the stop signals
// and the control lines on standard input.
#pragma once

#include "drive_model.h"

#include <csignal>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace zsim {

// Nanoseconds on the monotonic clock.
Nanos NowNanos();

// Timer slack of 1 ns for the calling thread (and the threads it starts later): the kernel then
// wakes a sleeper when its deadline passes instead of gathering wake-ups over 50 us.
void UseFineTimerSlack();

// Sleeps until absolute deadlines on the monotonic clock: clock_nanosleep(TIMER_ABSTIME) up to
// a margin before the deadline, then a spin to it. The margin follows how late this machine's
// wake-ups come (most of them come within it), between 2 and 200 us.
class Pacer {
public:
    void SleepUntil(Nanos deadline);
    // Like poll/ppoll on `fds` up to `deadline` (none: no limit); the last stretch before a
    // deadline is slept and spun as above, without looking at the descriptors. The result of
    // ppoll, or 0 once the deadline has passed.
    int PollUntil(pollfd *fds, nfds_t count, std::optional<Nanos> deadline, const sigset_t *mask);
    Nanos margin() const { return margin_; }

private:
    void Learn(Nanos lateness);

    Nanos margin_ = 30'000;
    Nanos lateness_ = 15'000; // running average of how late a wake-up comes
};

// SIGTERM, SIGINT and SIGHUP end the program; SIGPIPE is ignored. The stop signals are blocked
// except inside the loop's ppoll, so a stop is never missed between a check and the wait.
class StopSignals {
public:
    StopSignals();
    bool stopped() const;
    // The signal mask to hand to ppoll.
    const sigset_t *during() const { return &during_; }

private:
    sigset_t during_{};
};

// Control lines from a descriptor (standard input), one command per line.
class ControlInput {
public:
    explicit ControlInput(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    bool open() const { return open_; }
    // Reads what is there and returns the complete lines; at the end of the input the rest is
    // returned as a last line and open() turns false.
    std::vector<std::string> Read();

private:
    int fd_;
    bool open_ = true;
    std::string buffer_;
};

// A pseudo-terminal for the PC's side: the master (non-blocking) for the simulator, and a
// descriptor of the slave kept open (raw, 9600 baud) so the port can be opened and closed again.
// False with the reason on standard error.
bool OpenPseudoTerminal(int &master, int &keepSlave, std::string &slavePath);

// Writes one reply line to standard output at once.
void PrintLine(const std::string &line);

} // namespace zsim

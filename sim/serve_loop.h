// What the simulator's programs share around their event loops: the clock, the stop signals
// and the control lines on standard input.
#pragma once

#include "drive_model.h"

#include <csignal>
#include <string>
#include <vector>

namespace zsim {

// Microseconds on the monotonic clock.
Micros NowMicros();

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

// zorcomm-sim: the drives' side of a link, for tests, demonstrations and benchmarks.
//
//   zorcomm-sim serial [options]
//
// opens a pseudo terminal, prints "PTY <slave path>" as the first line on standard output and
// serves the drive network on it until killed or until standard input closes.
//
//   zorcomm-sim xport [options]
//
// serves the network behind a serial-to-Ethernet device server on a loopback address and prints
// "XPORT <address>:<port>" first (xport_server.h).
//
// Control lines on standard input get one reply line each on standard output (see README.md).
#include "ascii_can_adapter.h"
#include "can_bus.h"
#include "control.h"
#include "serve_loop.h"
#include "sim_options.h"
#include "xport_server.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using zsim::Nanos;
using zsim::NowNanos;

uint32_t SpeedValue(speed_t speed)
{
    struct Entry {
        speed_t code;
        uint32_t rate;
    };
    static constexpr Entry kSpeeds[] = {
        {B0, 0},         {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},     {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
        {B1800, 1800},   {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
        {B38400, 38400}, {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
        {B921600, 921600}};
    for (const Entry &entry : kSpeeds) {
        if (entry.code == speed) return entry.rate;
    }
    return 0;
}

// The pseudo terminal with the drives behind it. The main thread reads what the PC writes and
// the control lines; a line thread of its own hands the drives' bytes to the PC at the moments
// they are through the line (paced), sleeping on absolute deadlines. Bytes due at once (the
// line unpaced) go out from the main thread straight away.
class PtyServer {
public:
    explicit PtyServer(const zsim::SimOptions &options) : options_(options) {}
    ~PtyServer();
    PtyServer(const PtyServer &) = delete;
    PtyServer &operator=(const PtyServer &) = delete;

    bool Open();
    const std::string &path() const { return path_; }
    int Serve(const zsim::StopSignals &signals);

private:
    struct LineState {
        uint32_t rate;
        unsigned bitsPerChar;
    };
    LineState Line() const;
    void ReadMaster(Nanos now);
    void ReadControl();
    void HandleControlLine(const std::string &line, Nanos now);
    void Deliver(Nanos now);
    void FlushOut();
    void RunLine();

    zsim::SimOptions options_;
    std::mutex mutex_;               // sim_ and out_: both threads use them
    std::condition_variable queued_; // bytes for the PC were queued, or the server stops
    bool stopping_ = false;
    zsim::Pacer pacer_; // the line thread's
    zsim::Simulator sim_;
    int master_ = -1;
    int keepSlave_ = -1; // our own slave descriptor keeps the line up between users
    std::string path_;
    std::vector<uint8_t> out_;
    zsim::ControlInput control_{STDIN_FILENO};
    struct Lateness {
        uint64_t count = 0;
        Nanos total = 0;
        Nanos most = 0;
    } lateness_;
    bool quit_ = false;
};

PtyServer::~PtyServer()
{
    if (keepSlave_ >= 0) close(keepSlave_);
    if (master_ >= 0) close(master_);
}

bool PtyServer::Open()
{
    if (!zsim::OpenPseudoTerminal(master_, keepSlave_, path_)) return false;
    auto reply = sim_.Configure(options_, NowNanos());
    if (!reply.ok) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", reply.text.c_str());
        return false;
    }
    return true;
}

// On Linux the master reports the slave's settings: the line as the PC has set it.
PtyServer::LineState PtyServer::Line() const
{
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return {0, 11};
    unsigned data = 8;
    switch (tio.c_cflag & CSIZE) {
    case CS5: data = 5; break;
    case CS6: data = 6; break;
    case CS7: data = 7; break;
    default: break;
    }
    const unsigned start = 1;
    const unsigned parity = (tio.c_cflag & PARENB) ? 1 : 0;
    const unsigned stop = (tio.c_cflag & CSTOPB) ? 2 : 1;
    return {SpeedValue(cfgetospeed(&tio)), start + data + parity + stop};
}

void PtyServer::ReadMaster(Nanos now)
{
    uint8_t buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return;
    const LineState line = Line();
    sim_.link().options().bitsPerChar = line.bitsPerChar;
    sim_.link().Receive({buffer, static_cast<std::size_t>(got)}, line.rate, now);
}

void PtyServer::ReadControl()
{
    for (const std::string &line : control_.Read()) {
        if (quit_) break;
        HandleControlLine(line, NowNanos());
    }
    if (!control_.open()) quit_ = true;
}

void PtyServer::HandleControlLine(const std::string &line, Nanos now)
{
    const auto words = zsim::SplitWords(line);
    if (words.empty()) return;
    zsim::Reply reply;
    if (words[0] == "quit" || words[0] == "exit") {
        quit_ = true;
        reply = zsim::Reply::Ok();
    } else if (words[0] == "line") {
        const LineState state = Line();
        reply = zsim::Reply::Ok("rate=" + std::to_string(state.rate) + " bits=" + std::to_string(state.bitsPerChar));
    } else if (words[0] == "lateness") {
        const Lateness seen = lateness_;
        if (words.size() == 2 && words[1] == "reset") lateness_ = Lateness{};
        reply = zsim::Reply::Ok("deliveries=" + std::to_string(seen.count) +
                                " mean_ns=" + std::to_string(seen.count ? seen.total / static_cast<Nanos>(seen.count) : 0) +
                                " max_ns=" + std::to_string(seen.most));
    } else if (words[0] == "path") {
        reply = zsim::Reply::Ok(path_);
    } else if (words[0] == "help") {
        reply = zsim::Reply::Ok(std::string(zsim::Simulator::Help()) + " | line | lateness [reset] | path | quit");
    } else {
        reply = sim_.Execute(words, now);
    }
    zsim::PrintLine(reply.Line());
}

void PtyServer::Deliver(Nanos now)
{
    const std::optional<Nanos> due = sim_.link().NextDue();
    auto bytes = sim_.link().TakeDue(now, Line().rate);
    if (!bytes.empty() && due) {
        // How late the first byte goes out: the simulator's own error on the line.
        const Nanos late = NowNanos() - *due;
        ++lateness_.count;
        lateness_.total += late;
        lateness_.most = std::max(lateness_.most, late);
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    // Nobody reading the line for a long time: keep the newest bytes only.
    constexpr std::size_t kLimit = 64 * 1024;
    if (out_.size() > kLimit) out_.erase(out_.begin(), out_.end() - kLimit);
    FlushOut();
}

void PtyServer::FlushOut()
{
    while (!out_.empty()) {
        const ssize_t put = write(master_, out_.data(), out_.size());
        if (put <= 0) return;
        out_.erase(out_.begin(), out_.begin() + put);
    }
}

// The line thread: sleeps until the next byte for the PC is through the line, then hands over
// what is due. Queued bytes never become due earlier (the line is first in, first out), so the
// last stretch of the wait can be slept exactly without listening for new ones.
void PtyServer::RunLine()
{
    constexpr Nanos kLastStretch = zsim::Milliseconds(2);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const std::optional<Nanos> due = sim_.link().NextDue();
        if (!due) {
            queued_.wait(lock);
            continue;
        }
        if (*due - NowNanos() > kLastStretch) {
            const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(*due - kLastStretch)};
            queued_.wait_until(lock, until);
            continue;
        }
        lock.unlock();
        pacer_.SleepUntil(*due);
        lock.lock();
        if (!stopping_) Deliver(NowNanos());
    }
}

int PtyServer::Serve(const zsim::StopSignals &signals)
{
    std::thread line([this] { RunLine(); });
    int status = 0;
    while (!signals.stopped() && !quit_) {
        bool backlog;
        {
            const std::lock_guard lock(mutex_);
            backlog = !out_.empty();
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = control_.open() && !options_.noControl ? 2 : 1;
        // With a backlog the reader makes room by and by: look again soon.
        const timespec timeout{backlog ? 0 : 1, backlog ? 10'000'000L : 0L};
        const int ready = ppoll(fds, count, &timeout, signals.during());
        if (ready < 0 && errno != EINTR) {
            std::perror("zorcomm-sim: poll");
            status = 1;
            break;
        }
        const Nanos now = NowNanos();
        bool wake;
        {
            const std::lock_guard lock(mutex_);
            const std::optional<Nanos> before = sim_.link().NextDue();
            if (ready > 0 && (fds[0].revents & POLLIN)) ReadMaster(now);
            if (ready > 0 && count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadControl();
            Deliver(NowNanos());
            // The line thread sleeps towards the earliest byte queued (or for nothing): it needs
            // telling only when that came earlier, as when the queue fills. Bytes queued behind
            // others never do, and an unpaced line delivers at once and never wakes it.
            const std::optional<Nanos> after = sim_.link().NextDue();
            wake = after && (!before || *after < *before);
        }
        if (wake) queued_.notify_one();
    }
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_one();
    line.join();
    return status;
}

void Usage(FILE *to)
{
    std::fprintf(to, "usage: zorcomm-sim serial|xport [options]\n%s%s", zsim::OptionsHelp(), zsim::XportOptionsHelp());
}

int RunSerial(const zsim::SimOptions &options)
{
    const zsim::StopSignals signals;
    PtyServer server(options);
    if (!server.Open()) return 1;
    zsim::PrintLine("PTY " + server.path());
    return server.Serve(signals);
}

int RunXport(const zsim::XportOptions &xport, const zsim::SimOptions &options)
{
    const zsim::StopSignals signals;
    zsim::XportServer server(xport, options);
    if (!server.Open()) return 1;
    zsim::PrintLine(server.FirstLine());
    return server.Serve(signals);
}

} // namespace

int main(int argc, char **argv)
{
    // Every mode waits for deadlines on the line or the bus: wake-ups as exact as the kernel can.
    zsim::UseFineTimerSlack();
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string mode = argv[1];
    if (mode == "ascii-can") return zsim::RunAsciiCan(std::vector<std::string>(argv + 2, argv + argc));
    if (mode == "can-bus") return zsim::RunCanBus(std::vector<std::string>(argv + 2, argv + argc));
    if (mode != "serial" && mode != "xport") {
        std::fprintf(stderr, "zorcomm-sim: unknown mode '%s'\n", argv[1]);
        Usage(stderr);
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string &arg : args) {
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
    }
    std::string error;
    std::optional<zsim::XportOptions> xport;
    if (mode == "xport" && !(xport = zsim::TakeXportOptions(args, error))) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", error.c_str());
        return 2;
    }
    auto options = zsim::ParseOptions(args, error);
    if (!options) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", error.c_str());
        return 2;
    }
    return xport ? RunXport(*xport, *options) : RunSerial(*options);
}

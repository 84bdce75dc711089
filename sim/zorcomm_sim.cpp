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
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using zsim::Micros;
using zsim::NowMicros;

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

class PtyServer {
public:
    explicit PtyServer(const zsim::SimOptions &options) : options_(options) {}
    ~PtyServer();

    bool Open();
    const std::string &path() const { return path_; }
    int Serve(const zsim::StopSignals &signals);

private:
    struct LineState {
        uint32_t rate;
        unsigned bitsPerChar;
    };
    LineState Line() const;
    void ReadMaster(Micros now);
    void ReadControl();
    void HandleControlLine(const std::string &line, Micros now);
    void Deliver(Micros now);
    void FlushOut();
    int PollTimeoutMicros(Micros now);

    zsim::SimOptions options_;
    zsim::Simulator sim_;
    int master_ = -1;
    int keepSlave_ = -1; // our own slave descriptor keeps the line up between users
    std::string path_;
    std::vector<uint8_t> out_;
    zsim::ControlInput control_{STDIN_FILENO};
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
    auto reply = sim_.Configure(options_, NowMicros());
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

void PtyServer::ReadMaster(Micros now)
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
        HandleControlLine(line, NowMicros());
    }
    if (!control_.open()) quit_ = true;
}

void PtyServer::HandleControlLine(const std::string &line, Micros now)
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
    } else if (words[0] == "path") {
        reply = zsim::Reply::Ok(path_);
    } else if (words[0] == "help") {
        reply = zsim::Reply::Ok(std::string(zsim::Simulator::Help()) + " | line | path | quit");
    } else {
        reply = sim_.Execute(words, now);
    }
    zsim::PrintLine(reply.Line());
}

void PtyServer::Deliver(Micros now)
{
    auto bytes = sim_.link().TakeDue(now, Line().rate);
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

int PtyServer::PollTimeoutMicros(Micros now)
{
    Micros wait = 1'000'000;
    if (auto due = sim_.link().NextDue()) wait = std::min(wait, std::max<Micros>(*due - now, 0));
    if (!out_.empty()) wait = std::min<Micros>(wait, 10'000); // the reader makes room; look again soon
    return static_cast<int>(wait);
}

int PtyServer::Serve(const zsim::StopSignals &signals)
{
    while (!signals.stopped() && !quit_) {
        Deliver(NowMicros());
        pollfd fds[2] = {{master_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = control_.open() && !options_.noControl ? 2 : 1;
        const int micros = PollTimeoutMicros(NowMicros());
        timespec timeout{micros / 1'000'000, (micros % 1'000'000) * 1000L};
        const int ready = ppoll(fds, count, &timeout, signals.during());
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::perror("zorcomm-sim: poll");
            return 1;
        }
        const Micros now = NowMicros();
        if (fds[0].revents & POLLIN) ReadMaster(now);
        if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadControl();
    }
    return 0;
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

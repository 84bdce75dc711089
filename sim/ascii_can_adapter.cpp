#include "ascii_can_adapter.h"

#include "serve_loop.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace zsim {

namespace {

constexpr char kDone = '\r';
constexpr char kRefused = '\a';
constexpr std::size_t kLongestCommand = 64;

// "S0".."S8"
constexpr std::array<uint32_t, 9> kRates{10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000};

int Digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1; // the adapter takes upper-case digits only
}

bool Hex(std::string_view digits, uint32_t &value)
{
    value = 0;
    for (char c : digits) {
        const int d = Digit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return !digits.empty();
}

std::optional<unsigned long> Number(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
    return value;
}

std::string Printable(const std::string &command)
{
    return command.empty() ? "-" : command;
}

} // namespace

void AsciiCanAdapter::FromPc(std::string_view bytes, uint32_t millis, Output &out)
{
    for (char c : bytes) {
        if (c != kDone) {
            if (pending_.size() < kLongestCommand) pending_ += c;
            continue;
        }
        std::string command;
        command.swap(pending_);
        Command(command, millis, out);
    }
}

void AsciiCanAdapter::Command(const std::string &command, uint32_t, Output &out)
{
    ++commands_;
    if (history_.size() < 256) history_.push_back(Printable(command));
    if (command.empty()) {
        out.toPc += kDone;
        return;
    }
    const char verb = command[0];
    if (verb == 't' || verb == 'T') return Transmit(command, out);
    if (verb == 'F' && command.size() == 1) {
        char text[8];
        std::snprintf(text, sizeof text, "F%02X\r", status_);
        status_ = 0;
        out.toPc += text;
        return;
    }
    auto refuse = [&] {
        ++refused_;
        out.toPc += kRefused;
    };
    if (refuseCommands_ > 0) {
        --refuseCommands_;
        return refuse();
    }
    const std::string argument = command.substr(1);
    uint32_t value = 0;
    switch (verb) {
    case 'C':
        if (!open_ || !argument.empty()) return refuse();
        open_ = false;
        out.rate = 0;
        break;
    case 'O':
        if (open_ || rate_ == 0 || !argument.empty()) return refuse();
        open_ = true;
        out.rate = rate_;
        break;
    case 'S': {
        const int code = argument.size() == 1 ? Digit(argument[0]) : -1;
        if (open_ || code < 0 || code > 8) return refuse();
        rate_ = kRates[static_cast<std::size_t>(code)];
        break;
    }
    case 'Z':
        if (open_ || (argument != "0" && argument != "1")) return refuse();
        timeStamps_ = argument == "1";
        break;
    case 'M':
    case 'm':
        if (open_ || argument.size() != 8 || !Hex(argument, value)) return refuse();
        (verb == 'M' ? acceptanceCode_ : acceptanceMask_) = value;
        break;
    case 'V':
        out.toPc += "V1013";
        break;
    case 'N':
        out.toPc += "NZ001";
        break;
    default:
        return refuse();
    }
    out.toPc += kDone;
}

std::optional<canbus::BusFrame> AsciiCanAdapter::ParseFrame(const std::string &command)
{
    canbus::BusFrame frame;
    frame.extended = command[0] == 'T';
    const std::size_t idDigits = frame.extended ? 8 : 3;
    if (command.size() < idDigits + 2) return std::nullopt;
    uint32_t value = 0;
    if (!Hex(std::string_view(command).substr(1, idDigits), frame.id)) return std::nullopt;
    const int dlc = Digit(command[idDigits + 1]);
    if (dlc < 0 || dlc > 8) return std::nullopt;
    frame.dlc = static_cast<uint8_t>(dlc);
    if (command.size() != idDigits + 2 + 2 * static_cast<std::size_t>(dlc)) return std::nullopt;
    for (int i = 0; i < dlc; ++i) {
        if (!Hex(std::string_view(command).substr(idDigits + 2 + 2 * static_cast<std::size_t>(i), 2), value))
            return std::nullopt;
        frame.data[i] = static_cast<uint8_t>(value);
    }
    if (!canbus::ValidFrame(frame)) return std::nullopt;
    return frame;
}

void AsciiCanAdapter::Transmit(const std::string &command, Output &out)
{
    const auto frame = ParseFrame(command);
    if (!open_ || !frame || refuseTransmits_ > 0) {
        if (open_ && frame) --refuseTransmits_;
        ++refused_;
        out.toPc += kRefused;
        return;
    }
    ++transmits_;
    out.toBus.push_back(*frame);
    if (withholdConfirmations_ > 0) {
        --withholdConfirmations_;
        return;
    }
    char confirmation = frame->extended ? 'Z' : 'z';
    if (wrongConfirmations_ > 0) {
        --wrongConfirmations_;
        confirmation = frame->extended ? 'z' : 'Z';
    }
    out.toPc += confirmation;
    out.toPc += kDone;
}

std::string AsciiCanAdapter::FrameText(const canbus::BusFrame &frame)
{
    char text[40];
    int n = frame.extended ? std::snprintf(text, sizeof text, "%c%08X", frame.remote ? 'R' : 'T', frame.id)
                           : std::snprintf(text, sizeof text, "%c%03X", frame.remote ? 'r' : 't', frame.id);
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%u", frame.dlc);
    if (!frame.remote)
        for (int i = 0; i < frame.dlc; ++i)
            n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%02X", frame.data[i]);
    return std::string(text, static_cast<std::size_t>(n));
}

void AsciiCanAdapter::FromBus(const canbus::BusFrame &frame, uint32_t millis, Output &out)
{
    if (!open_) {
        ++dropped_;
        return;
    }
    if (frame.error) {
        status_ |= 0x80; // bus error
        return;
    }
    ++received_;
    out.toPc += FrameText(frame);
    if (timeStamps_) {
        char stamp[8];
        std::snprintf(stamp, sizeof stamp, "%04X", millis % 60000);
        out.toPc += stamp;
    }
    out.toPc += kDone;
}

std::optional<std::string> AsciiCanAdapter::Control(const std::vector<std::string> &words, Output &out)
{
    const std::string &verb = words[0];
    auto count = [&](std::size_t at) -> std::optional<unsigned> {
        if (words.size() <= at) return 1u;
        const auto value = Number(words[at]);
        if (!value || *value > 1'000'000) return std::nullopt;
        return static_cast<unsigned>(*value);
    };
    if (verb == "state") {
        char text[96];
        std::snprintf(text, sizeof text, "OK open=%d rate=%u timestamps=%d code=%08X mask=%08X status=%02X",
                      open_ ? 1 : 0, rate_, timeStamps_ ? 1 : 0, acceptanceCode_, acceptanceMask_, status_);
        return std::string(text);
    }
    if (verb == "history") {
        std::string text = "OK";
        for (const std::string &command : history_) text += " " + command;
        history_.clear();
        return text;
    }
    if (verb == "status") {
        const auto value = words.size() == 2 ? Number(words[1]) : std::nullopt;
        if (!value || *value > 0xFF) return std::string("ERR status takes one byte");
        status_ = static_cast<uint8_t>(*value);
        return std::string("OK");
    }
    if (verb == "inject") {
        // inject std|ext ID [BYTE...]: a frame as if it came from the bus.
        if (words.size() < 3 || words.size() > 11 || (words[1] != "std" && words[1] != "ext"))
            return std::string("ERR inject std|ext ID [BYTE...]");
        canbus::BusFrame frame;
        frame.extended = words[1] == "ext";
        const auto id = Number(words[2]);
        if (!id) return std::string("ERR bad identifier");
        frame.id = static_cast<uint32_t>(*id);
        for (std::size_t i = 3; i < words.size(); ++i) {
            const auto byte = Number(words[i]);
            if (!byte || *byte > 0xFF) return std::string("ERR bad byte");
            frame.data[frame.dlc++] = static_cast<uint8_t>(*byte);
        }
        if (!canbus::ValidFrame(frame)) return std::string("ERR bad frame");
        if (!open_) return std::string("ERR channel closed");
        FromBus(frame, 0, out);
        return std::string("OK");
    }
    if (verb == "stats") {
        char text[160];
        std::snprintf(text, sizeof text, "OK commands=%llu transmits=%llu refused=%llu received=%llu dropped=%llu",
                      static_cast<unsigned long long>(commands_), static_cast<unsigned long long>(transmits_),
                      static_cast<unsigned long long>(refused_), static_cast<unsigned long long>(received_),
                      static_cast<unsigned long long>(dropped_));
        return std::string(text);
    }
    if (verb == "fault") {
        if (words.size() == 1) {
            char text[128];
            std::snprintf(text, sizeof text, "OK refuse-transmit=%u refuse-command=%u withhold-confirm=%u wrong-confirm=%u",
                          refuseTransmits_, refuseCommands_, withholdConfirmations_, wrongConfirmations_);
            return std::string(text);
        }
        const std::string &kind = words[1];
        if (kind == "clear") {
            refuseTransmits_ = refuseCommands_ = withholdConfirmations_ = wrongConfirmations_ = 0;
            return std::string("OK");
        }
        const auto n = count(2);
        if (!n) return std::string("ERR bad count");
        if (kind == "refuse-transmit") refuseTransmits_ = *n;
        else if (kind == "refuse-command") refuseCommands_ = *n;
        else if (kind == "withhold-confirm") withholdConfirmations_ = *n;
        else if (kind == "wrong-confirm") wrongConfirmations_ = *n;
        else return std::string("ERR unknown fault ") + kind;
        return std::string("OK");
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// The program: the adapter on a pseudo terminal, the bus on a socket, control lines on stdin.

namespace {

class AsciiCanServer {
public:
    ~AsciiCanServer()
    {
        if (bus_ >= 0) close(bus_);
        if (keepSlave_ >= 0) close(keepSlave_);
        if (master_ >= 0) close(master_);
    }

    bool Open(const std::string &busPath);
    const std::string &path() const { return path_; }
    int Serve(const StopSignals &signals, bool control);

private:
    static uint32_t Millis() { return static_cast<uint32_t>(WholeMilliseconds(NowNanos())); }
    void Handle(AsciiCanAdapter::Output &out);
    void SendPacket(const canbus::Packet &packet);
    void ReadMaster();
    void ReadBus();
    void ReadControl();
    void Flush();

    AsciiCanAdapter adapter_;
    int master_ = -1;
    int keepSlave_ = -1;
    int bus_ = -1;
    std::string path_;
    std::string out_;
    ControlInput control_{STDIN_FILENO};
    bool quit_ = false;
};

bool AsciiCanServer::Open(const std::string &busPath)
{
    if (!OpenPseudoTerminal(master_, keepSlave_, path_)) return false;
    if (busPath.empty()) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (busPath.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "zorcomm-sim: bus socket path too long\n");
        return false;
    }
    std::memcpy(address.sun_path, busPath.c_str(), busPath.size());
    bus_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (bus_ < 0 || connect(bus_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "zorcomm-sim: cannot join the bus at %s: %s\n", busPath.c_str(), std::strerror(errno));
        return false;
    }
    SendPacket(canbus::HelloPacket("lawicel", static_cast<uint32_t>(getpid())));
    SendPacket(canbus::BitRatePacket(0));
    return true;
}

void AsciiCanServer::SendPacket(const canbus::Packet &packet)
{
    if (bus_ >= 0 && send(bus_, &packet, sizeof packet, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof packet)) {
        close(bus_);
        bus_ = -1; // the bus has gone: frames go nowhere
    }
}

void AsciiCanServer::Handle(AsciiCanAdapter::Output &out)
{
    if (out.rate) SendPacket(canbus::BitRatePacket(*out.rate));
    for (const canbus::BusFrame &frame : out.toBus) SendPacket(canbus::FramePacket(frame));
    out_ += out.toPc;
    out = {};
    Flush();
}

void AsciiCanServer::Flush()
{
    while (!out_.empty()) {
        const ssize_t put = write(master_, out_.data(), out_.size());
        if (put <= 0) return;
        out_.erase(0, static_cast<std::size_t>(put));
    }
}

void AsciiCanServer::ReadMaster()
{
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return;
    AsciiCanAdapter::Output out;
    adapter_.FromPc(std::string_view(buffer, static_cast<std::size_t>(got)), Millis(), out);
    Handle(out);
}

void AsciiCanServer::ReadBus()
{
    canbus::Packet packet;
    const ssize_t got = recv(bus_, &packet, sizeof packet, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close(bus_);
        bus_ = -1;
        return;
    }
    canbus::BusFrame frame;
    if (got != static_cast<ssize_t>(sizeof packet) || !canbus::PacketFrame(packet, frame)) return;
    AsciiCanAdapter::Output out;
    adapter_.FromBus(frame, Millis(), out);
    Handle(out);
}

void AsciiCanServer::ReadControl()
{
    for (const std::string &line : control_.Read()) {
        std::vector<std::string> words;
        std::size_t at = 0;
        while (at < line.size()) {
            const std::size_t start = line.find_first_not_of(" \t\r", at);
            if (start == std::string::npos) break;
            const std::size_t end = line.find_first_of(" \t\r", start);
            words.push_back(line.substr(start, end - start));
            at = end == std::string::npos ? line.size() : end;
        }
        if (words.empty()) continue;
        AsciiCanAdapter::Output out;
        std::string reply;
        if (words[0] == "quit" || words[0] == "exit") {
            quit_ = true;
            reply = "OK";
        } else if (words[0] == "ping") {
            reply = "OK";
        } else if (words[0] == "path") {
            reply = "OK " + path_;
        } else if (words[0] == "bus") {
            reply = bus_ >= 0 ? "OK joined" : "OK none";
        } else if (auto answer = adapter_.Control(words, out)) {
            reply = *answer;
        } else {
            reply = "ERR unknown command " + words[0];
        }
        Handle(out);
        PrintLine(reply);
        if (quit_) break;
    }
    if (!control_.open()) quit_ = true;
}

int AsciiCanServer::Serve(const StopSignals &signals, bool control)
{
    while (!signals.stopped() && !quit_) {
        pollfd fds[3] = {{master_, POLLIN, 0}, {bus_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (!out_.empty()) fds[0].events |= POLLOUT;
        if (bus_ < 0) fds[1].fd = -1;
        if (!control || !control_.open()) fds[2].fd = -1;
        timespec timeout{1, 0};
        const int ready = ppoll(fds, 3, &timeout, signals.during());
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::perror("zorcomm-sim: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) ReadMaster();
        if (fds[0].revents & POLLOUT) Flush();
        if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadBus();
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadControl();
    }
    return 0;
}

} // namespace

int RunAsciiCan(std::vector<std::string> args)
{
    std::string busPath;
    if (const char *fromEnvironment = std::getenv("ZORCOMM_CANBUS")) busPath = fromEnvironment;
    bool control = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--no-control") {
            control = false;
        } else if (arg == "--bus" && i + 1 < args.size()) {
            busPath = args[++i];
        } else if (arg.rfind("--bus=", 0) == 0) {
            busPath = arg.substr(6);
        } else if (arg == "--no-bus") {
            busPath.clear();
        } else {
            std::fprintf(stderr, "zorcomm-sim: ascii-can: unknown option '%s'\n", arg.c_str());
            return 2;
        }
    }
    const StopSignals signals;
    AsciiCanServer server;
    if (!server.Open(busPath)) return 1;
    PrintLine("PTY " + server.path());
    return server.Serve(signals, control);
}

} // namespace zsim

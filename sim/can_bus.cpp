#include "can_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zsim {

namespace {

using canbus::BusFrame;
using canbus::Packet;
using canbus::PacketType;

constexpr std::size_t kHistoryLimit = 256;
constexpr uint32_t kMinBitRate = 10'000;
constexpr uint32_t kMaxBitRate = 1'000'000;
constexpr int kSocketBuffer = 1 << 20;

std::string DefaultSocketPath()
{
    const char *dir = std::getenv("TMPDIR");
    std::string path = dir && *dir ? dir : "/tmp";
    if (path.back() != '/') path += '/';
    return path + "zorcomm-canbus-" + std::to_string(getpid()) + ".sock";
}

std::optional<uint32_t> ParseBitRate(const std::string &text)
{
    auto rate = ParseNumber(text, kMaxBitRate);
    if (!rate || *rate < kMinBitRate) return std::nullopt;
    return rate;
}

// Printable family names only: they come from the clients.
std::string CleanName(const char (&name)[canbus::kNameSize])
{
    std::string text;
    for (char c : name) {
        if (c == '\0') break;
        text += (c > ' ' && c < 0x7F && c != ':') ? c : '_';
    }
    return text.empty() ? "unknown" : text;
}

bool AxesFitTorvane(const SimOptions &options)
{
    return std::all_of(options.network.drives.begin(), options.network.drives.end(),
                       [](const DriveSetup &drive) { return drive.axis <= 31; });
}

std::optional<std::vector<uint16_t>> Words(const std::vector<std::string> &args, std::size_t from)
{
    std::vector<uint16_t> words;
    for (std::size_t i = from; i < args.size(); ++i) {
        auto word = ParseNumber(args[i], 0xFFFF);
        if (!word) return std::nullopt;
        words.push_back(static_cast<uint16_t>(*word));
    }
    return words;
}

} // namespace

std::optional<CanBusOptions> TakeCanBusOptions(std::vector<std::string> &args, std::string &error)
{
    CanBusOptions bus;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name != "--socket" && name != "--protocol" && name != "--bitrate" && name != "--pc-address") {
            rest.push_back(args[i]);
            continue;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (name == "--socket") {
            if (value->empty() || value->size() >= sizeof(sockaddr_un{}.sun_path)) {
                error = "bad value for --socket: a path of 1..107 bytes";
                return std::nullopt;
            }
            bus.socketPath = *value;
        } else if (name == "--protocol") {
            auto protocol = ParseCanProtocol(*value);
            if (!protocol) {
                error = "bad value for --protocol: orv or torvanecan";
                return std::nullopt;
            }
            bus.protocol = *protocol;
        } else if (name == "--bitrate") {
            auto rate = ParseBitRate(*value);
            if (!rate) {
                error = "bad value for --bitrate: 10000..1000000 bit/s";
                return std::nullopt;
            }
            bus.bitRate = *rate;
        } else {
            auto address = ParseNumber(*value, 0xFFFF);
            if (!address) {
                error = "bad value for --pc-address: an address word";
                return std::nullopt;
            }
            bus.pcAddress = static_cast<uint16_t>(*address);
        }
    }
    args = std::move(rest);
    return bus;
}

const char *CanBusOptionsHelp()
{
    return "can-bus:\n"
           "  --socket PATH        the bus socket (default $TMPDIR/zorcomm-canbus-<pid>.sock)\n"
           "  --protocol orv|torvanecan  drive messages in 29-bit or 11-bit frames (default orv)\n"
           "  --bitrate RATE       the drives' bit rate in bit/s (default 500000)\n"
           "  --pc-address ADDR    where unsolicited messages go before the PC asked anything\n";
}

CanBusServer::CanBusServer(CanBusOptions bus, SimOptions options) : bus_(std::move(bus)), initial_(std::move(options))
{
    if (bus_.socketPath.empty()) bus_.socketPath = DefaultSocketPath();
    initial_.network.topology = Topology::Bus;
    sim_.set_extras(this);
}

CanBusServer::~CanBusServer()
{
    for (auto &client : clients_) close(client->fd);
    if (listenFd_ >= 0) close(listenFd_);
    if (bound_) unlink(bus_.socketPath.c_str());
}

bool CanBusServer::ApplyOptions(const SimOptions &options, Nanos now, std::string &error)
{
    SimOptions bus = options;
    bus.network.topology = Topology::Bus;
    if (bus_.protocol == CanProtocol::TorvaneCan && !AxesFitTorvane(bus)) {
        error = "under torvanecan the axis IDs are 1..31";
        return false;
    }
    Reply reply = sim_.Configure(bus, now);
    if (!reply.ok) {
        error = reply.text;
        return false;
    }
    if (bus_.pcAddress) sim_.network().set_pc_address(*bus_.pcAddress);
    pending_.clear();
    pace_ = bus.link.pace;
    wire_ = LineTime{};
    return true;
}

bool CanBusServer::Open()
{
    std::string error;
    if (!ApplyOptions(initial_, NowNanos(), error)) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", error.c_str());
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (bus_.socketPath.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "zorcomm-sim: socket path too long: %s\n", bus_.socketPath.c_str());
        return false;
    }
    std::memcpy(address.sun_path, bus_.socketPath.c_str(), bus_.socketPath.size() + 1);
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        std::perror("zorcomm-sim: socket");
        return false;
    }
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EADDRINUSE) {
            std::perror("zorcomm-sim: bind");
            return false;
        }
        // A socket file left by a bus that is gone may be replaced; a live bus may not.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        if (probe >= 0) close(probe);
        if (alive) {
            std::fprintf(stderr, "zorcomm-sim: a bus is already serving %s\n", bus_.socketPath.c_str());
            return false;
        }
        unlink(bus_.socketPath.c_str());
        if (bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::perror("zorcomm-sim: bind");
            return false;
        }
    }
    bound_ = true;
    if (listen(listenFd_, 16) != 0) {
        std::perror("zorcomm-sim: listen");
        return false;
    }
    return true;
}

std::string CanBusServer::FirstLine() const { return "CANBUS " + bus_.socketPath; }

int CanBusServer::Serve(const StopSignals &signals)
{
    bool quit = false;
    bool controlOpen = !initial_.noControl;
    while (!quit && !signals.stopped()) {
        std::vector<pollfd> fds;
        fds.push_back({listenFd_, POLLIN, 0});
        if (controlOpen) fds.push_back({control_.fd(), POLLIN, 0});
        const std::size_t firstClient = fds.size();
        for (auto &client : clients_) fds.push_back({client->fd, POLLIN, 0});

        const int ready = pacer_.PollUntil(fds.data(), fds.size(), NextDeadline(), signals.during());
        if (ready < 0 && errno != EINTR) {
            std::perror("zorcomm-sim: ppoll");
            return 1;
        }
        const Nanos now = NowNanos();
        SendDue(now);
        if (ready <= 0) continue;
        for (std::size_t i = firstClient; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadClient(*clients_[i - firstClient], now);
        }
        if (fds[0].revents & POLLIN) Accept(now);
        RemoveClosedClients();
        if (controlOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ReadControl(quit);
            controlOpen = control_.open();
            if (!controlOpen) quit = true;
        }
    }
    return 0;
}

std::optional<Nanos> CanBusServer::NextDeadline() const
{
    if (pending_.empty()) return std::nullopt;
    Nanos due = pending_.front().due;
    for (const Pending &item : pending_) due = std::min(due, item.due);
    return due;
}

void CanBusServer::Accept(Nanos now)
{
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->number = nextClient_++;
        client->family = "unknown";
        clients_.push_back(std::move(client));
        // What the client sent before it was accepted (its hello, its rate) counts before any
        // control line that arrived meanwhile.
        ReadClient(*clients_.back(), now);
    }
}

void CanBusServer::ReadClient(Client &client, Nanos now)
{
    for (int i = 0; i < 256 && !client.closed; ++i) {
        Packet packet;
        const ssize_t got = recv(client.fd, &packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) client.closed = true;
            return;
        }
        if (got == 0) {
            client.closed = true;
            return;
        }
        if (static_cast<std::size_t>(got) != sizeof packet) {
            ++counters_.badPackets;
            continue;
        }
        OnPacket(client, packet, now);
    }
}

void CanBusServer::OnPacket(Client &client, const Packet &packet, Nanos now)
{
    switch (static_cast<PacketType>(packet.type)) {
    case PacketType::Hello:
        client.family = CleanName(packet.name);
        client.pid = packet.pid;
        client.rate = packet.value;
        client.greeted = true;
        if (packet.reserved & canbus::kWantWelcome) {
            const Packet welcome = canbus::HelloPacket("bus", static_cast<uint32_t>(getpid()));
            send(client.fd, &welcome, sizeof welcome, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        return;
    case PacketType::BitRate:
        client.rate = packet.value;
        return;
    case PacketType::Sync:
        send(client.fd, &packet, sizeof packet, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    case PacketType::Frame: {
        BusFrame frame;
        if (!canbus::PacketFrame(packet, frame) || frame.error) {
            ++counters_.badPackets;
            return;
        }
        OnClientFrame(client, frame, packet, now);
        return;
    }
    }
    ++counters_.badPackets;
}

void CanBusServer::OnClientFrame(Client &client, const BusFrame &frame, const Packet &packet, Nanos now)
{
    if (client.rate != bus_.bitRate) {
        ++counters_.rateMismatch;
        return;
    }
    if (faults_.dropRx > 0) {
        --faults_.dropRx;
        ++counters_.droppedRx;
        return;
    }
    const std::string source = "pc" + std::to_string(client.number);
    if (faults_.errorFrames > 0) {
        --faults_.errorFrames;
        ErrorFrame(source);
        return;
    }
    if (pace_) {
        pending_.push_back({wire_.Send(now, FrameBits(frame), bus_.bitRate), frame, source, client.number, packet});
        return;
    }
    ClientFrameHeard(client.number, source, frame, &packet, now);
}

void CanBusServer::ClientFrameHeard(unsigned number, const std::string &source, const BusFrame &frame,
                                    const Packet *origin, Nanos at)
{
    ++counters_.frames;
    ++counters_.clientFrames;
    Remember(source, frame, true);
    const Client *sender = nullptr;
    for (const auto &client : clients_) {
        if (client->number == number) sender = client.get();
    }
    Deliver(frame, sender, false, origin);
    auto message = DecodeForDrives(frame, bus_.protocol);
    if (!message) {
        ++counters_.foreign;
        return;
    }
    ToDrives(*message, at);
}

void CanBusServer::PutOnBus(const BusFrame &frame, const std::string &source, Nanos earliest)
{
    if (pace_) {
        pending_.push_back({wire_.Send(earliest, FrameBits(frame), bus_.bitRate), frame, source, 0, std::nullopt});
    } else {
        DriveFrame(frame, source);
    }
}

void CanBusServer::ToDrives(const Message &message, Nanos now)
{
    DriveNetwork &network = sim_.network();
    // One frame is one message for the whole bus, however many drives hear it.
    if (network.faults().ignoreFrames > 0) {
        --network.faults().ignoreFrames;
        ++network.stats().ignored;
        return;
    }
    bool anyTarget = false;
    for (Drive *drive : network.Drives()) {
        const uint64_t executed = network.stats().executed;
        DriveNetwork::Answer answer = network.Receive(*drive, message, now);
        anyTarget = anyTarget || network.stats().executed != executed;
        for (const Message &reply : answer.replies) SendAnswer(reply, now + answer.delay, now);
    }
    if (!anyTarget) ++counters_.foreign;
}

void CanBusServer::SendAnswer(const Message &message, Nanos due, Nanos now)
{
    if (faults_.withholdAnswers > 0) {
        --faults_.withholdAnswers;
        ++sim_.network().stats().withheld;
        return;
    }
    auto frame = EncodeCanMessage(message, bus_.protocol);
    if (!frame) {
        ++counters_.unencodable;
        return;
    }
    if (pace_) {
        PutOnBus(*frame, "drive", due);
    } else if (due <= now) {
        DriveFrame(*frame, "drive");
    } else {
        pending_.push_back({due, *frame, "drive", 0, std::nullopt});
    }
}

void CanBusServer::SendDue(Nanos now)
{
    // Answers leave in the order they were due; equal times keep their order.
    std::stable_sort(pending_.begin(), pending_.end(), [](const Pending &a, const Pending &b) { return a.due < b.due; });
    while (!pending_.empty() && pending_.front().due <= now) {
        const Pending item = std::move(pending_.front());
        pending_.pop_front();
        if (item.client != 0) {
            ClientFrameHeard(item.client, item.source, item.frame, item.origin ? &*item.origin : nullptr, item.due);
        } else {
            DriveFrame(item.frame, item.source);
        }
    }
}

void CanBusServer::DriveFrame(const BusFrame &frame, const std::string &source)
{
    if (faults_.dropTx > 0) {
        --faults_.dropTx;
        ++counters_.droppedTx;
        return;
    }
    ++counters_.frames;
    ++counters_.driveFrames;
    Remember(source, frame, false);
    Deliver(frame, nullptr);
}

BusFrame CanBusServer::ErrorFrameOnly()
{
    BusFrame frame;
    frame.error = true;
    return frame;
}

void CanBusServer::ErrorFrame(const std::string &source, const BusFrame &frame)
{
    ++counters_.errorFrames;
    if (history_.size() >= kHistoryLimit) history_.pop_front();
    history_.push_back(source + ":error");
    Deliver(frame, nullptr, true);
}

// `error-frame [CLASS [BYTE...]]`: the class word and data bytes of the error frame, as
// SocketCAN reports them (the vendor stand-ins only see that there was one).
Reply CanBusServer::ErrorFrameCommand(const std::vector<std::string> &args)
{
    const char *usage = "usage: error-frame [CLASS [BYTE...]] (up to 8 bytes)";
    if (args.size() > 9) return Reply::Error(usage);
    BusFrame frame = ErrorFrameOnly();
    if (!args.empty()) {
        auto id = ParseNumber(args[0], canbus::kMaxExtendedId);
        if (!id) return Reply::Error(usage);
        frame.id = *id;
        for (std::size_t i = 1; i < args.size(); ++i) {
            auto byte = ParseNumber(args[i], 0xFF);
            if (!byte) return Reply::Error("bad byte '" + args[i] + "'");
            frame.data[frame.dlc++] = static_cast<uint8_t>(*byte);
        }
    }
    ErrorFrame("sim", frame);
    return Reply::Ok();
}

// Frames reach clients that run at the bus's rate; an error frame reaches every started client
// (a node at a wrong rate sees nothing but errors).
void CanBusServer::Deliver(const BusFrame &frame, const Client *except, bool anyStartedClient, const Packet *origin)
{
    Packet packet = canbus::FramePacket(frame);
    if (origin) {
        std::memcpy(packet.name, origin->name, sizeof packet.name);
        packet.name[sizeof packet.name - 1] = '\0';
        packet.reserved = origin->reserved & canbus::kNoLocalEcho;
    }
    for (auto &client : clients_) {
        if (client.get() == except || client->closed) continue;
        if (anyStartedClient ? client->rate == 0 : client->rate != bus_.bitRate) continue;
        const ssize_t sent = send(client->fd, &packet, sizeof packet, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(sizeof packet)) {
            ++counters_.delivered;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            ++counters_.overflow;
        } else {
            client->closed = true;
        }
    }
}

void CanBusServer::RemoveClosedClients()
{
    std::erase_if(clients_, [](const std::unique_ptr<Client> &client) {
        if (!client->closed) return false;
        close(client->fd);
        return true;
    });
}

void CanBusServer::Remember(const std::string &source, const BusFrame &frame, bool fromPc)
{
    std::string line = source + ":" + DescribeFrame(frame);
    auto message = fromPc ? DecodeForDrives(frame, bus_.protocol) : DecodeForPc(frame, bus_.protocol);
    if (message) line += "=" + Describe(*message);
    if (history_.size() >= kHistoryLimit) history_.pop_front();
    history_.push_back(std::move(line));
}

void CanBusServer::ReadControl(bool &quit)
{
    for (const std::string &line : control_.Read()) {
        const auto words = SplitWords(line);
        if (words.empty()) continue;
        PrintLine(Control(words, NowNanos(), quit).Line());
        if (quit) return;
    }
}

Reply CanBusServer::Control(const std::vector<std::string> &words, Nanos now, bool &quit)
{
    const std::string &command = words[0];
    const std::vector<std::string> args(words.begin() + 1, words.end());
    if (command == "quit") {
        quit = true;
        return Reply::Ok();
    }
    if (command == "path") return Reply::Ok(bus_.socketPath);
    if (command == "clients") return Clients();
    if (command == "bitrate") return BitRate(args);
    if (command == "protocol") return Protocol(args);
    if (command == "unsolicited") return Unsolicited(args, now);
    if (command == "frame") return FrameCommand(args);
    if (command == "inject") return Inject(args);
    if (command == "error-frame") return ErrorFrameCommand(args);
    if (command == "history") return History();
    if (command == "stats") {
        if (args.size() == 1 && args[0] == "reset") {
            ResetStats();
            sim_.network().stats() = NetworkStats{};
            return Reply::Ok();
        }
        if (!args.empty()) return Reply::Error("usage: stats [reset]");
        return Reply::Ok(Stats());
    }
    if (command == "fault" && args.empty()) return Reply::Ok(FaultSummary());
    if (command == "configure") return Configure(args, now);
    if (command == "pace") {
        if (args.size() > 1 || (args.size() == 1 && args[0] != "on" && args[0] != "off")) {
            return Reply::Error("usage: pace [on|off]");
        }
        if (args.size() == 1) pace_ = args[0] == "on";
        return Reply::Ok(pace_ ? "on" : "off");
    }
    if (command == "frame-timeout" || command == "baud") {
        return Reply::Error(command + " does not apply to a CAN bus");
    }
    if (command == "help") {
        return Reply::Ok(std::string(Simulator::Help()) +
                         " | inject std|ext|rtr-std|rtr-ext ID [BYTE...] | error-frame [CLASS [BYTE...]] | clients | bitrate [RATE]"
                         " | pace [on|off]"
                         " | protocol [orv|torvanecan] | path | quit");
    }
    return sim_.Execute(words, now);
}

Reply CanBusServer::Unsolicited(const std::vector<std::string> &args, Nanos now)
{
    auto axis = !args.empty() ? ParseNumber(args[0], 255) : std::nullopt;
    auto words = Words(args, 1);
    if (!axis || !words || words->empty() || words->size() > 1 + kMaxWords) {
        return Reply::Error("usage: unsolicited AXIS OPCODE [WORD...] (up to 4 words)");
    }
    const std::span<const uint16_t> data(words->data() + 1, words->size() - 1);
    // Check that the protocol can carry it before the drive counts it as sent.
    const Message probe = Message::Make(sim_.network().pc_address(), words->front(), data);
    if (!EncodeCanMessage(probe, bus_.protocol)) {
        return Reply::Error(std::string(CanProtocolName(bus_.protocol)) + " cannot carry this message");
    }
    auto message = sim_.network().Unsolicited(static_cast<uint8_t>(*axis), words->front(), data, now);
    if (!message) return Reply::Error("drive " + args[0] + " cannot send now");
    PutOnBus(*EncodeCanMessage(*message, bus_.protocol), "drive", now);
    return Reply::Ok();
}

Reply CanBusServer::FrameCommand(const std::vector<std::string> &args)
{
    auto words = Words(args, 0);
    if (!words || words->size() < 2 || words->size() > 2 + kMaxWords) {
        return Reply::Error("usage: frame ADDRESS OPCODE [WORD...] (up to 4 words)");
    }
    const Message message =
        Message::Make((*words)[0], (*words)[1], std::span<const uint16_t>(words->data() + 2, words->size() - 2));
    auto frame = EncodeCanMessage(message, bus_.protocol);
    if (!frame) return Reply::Error(std::string(CanProtocolName(bus_.protocol)) + " cannot carry this message");
    PutOnBus(*frame, "sim", NowNanos());
    return Reply::Ok();
}

Reply CanBusServer::Inject(const std::vector<std::string> &args)
{
    const char *usage = "usage: inject std|ext|rtr-std|rtr-ext ID [BYTE...] (up to 8 bytes)";
    if (args.size() < 2 || args.size() > 10) return Reply::Error(usage);
    BusFrame frame;
    const std::string &kind = args[0];
    if (kind == "std" || kind == "ext" || kind == "rtr-std" || kind == "rtr-ext") {
        frame.extended = kind.ends_with("ext");
        frame.remote = kind.starts_with("rtr");
    } else {
        return Reply::Error(usage);
    }
    auto id = ParseNumber(args[1], frame.extended ? canbus::kMaxExtendedId : canbus::kMaxStandardId);
    if (!id) return Reply::Error("bad identifier '" + args[1] + "'");
    frame.id = *id;
    for (std::size_t i = 2; i < args.size(); ++i) {
        auto byte = ParseNumber(args[i], 0xFF);
        if (!byte) return Reply::Error("bad byte '" + args[i] + "'");
        frame.data[frame.dlc++] = static_cast<uint8_t>(*byte);
    }
    PutOnBus(frame, "sim", NowNanos());
    return Reply::Ok();
}

Reply CanBusServer::History()
{
    std::string text;
    for (const std::string &line : history_) text += (text.empty() ? "" : " ") + line;
    history_.clear();
    return Reply::Ok(text);
}

Reply CanBusServer::Clients() const
{
    std::string text;
    // Only clients whose hello has been read: from then on they take part in the bus.
    for (const auto &client : clients_) {
        if (client->closed || !client->greeted) continue;
        text += (text.empty() ? "" : " ") + std::to_string(client->number) + ":" + client->family + ":" +
                std::to_string(client->rate) + ":" + std::to_string(client->pid);
    }
    return Reply::Ok(text);
}

Reply CanBusServer::BitRate(const std::vector<std::string> &args)
{
    if (args.size() > 1) return Reply::Error("usage: bitrate [RATE]");
    if (args.size() == 1) {
        auto rate = ParseBitRate(args[0]);
        if (!rate) return Reply::Error("bit rate is 10000..1000000");
        bus_.bitRate = *rate;
    }
    return Reply::Ok(std::to_string(bus_.bitRate));
}

Reply CanBusServer::Protocol(const std::vector<std::string> &args)
{
    if (args.size() > 1) return Reply::Error("usage: protocol [orv|torvanecan]");
    if (args.size() == 1) {
        auto protocol = ParseCanProtocol(args[0]);
        if (!protocol) return Reply::Error("usage: protocol [orv|torvanecan]");
        if (*protocol == CanProtocol::TorvaneCan && !AxesFitTorvane(sim_.options())) {
            return Reply::Error("under torvanecan the axis IDs are 1..31");
        }
        bus_.protocol = *protocol;
    }
    return Reply::Ok(CanProtocolName(bus_.protocol));
}

Reply CanBusServer::Configure(const std::vector<std::string> &args, Nanos now)
{
    std::vector<std::string> rest = args;
    std::string error;
    const CanBusOptions before = bus_;
    auto given = TakeCanBusOptions(rest, error);
    if (!given) return Reply::Error(error);
    if (!given->socketPath.empty()) return Reply::Error("the socket cannot be changed");
    auto options = ParseOptions(rest, error);
    if (!options) return Reply::Error(error);
    bus_.protocol = given->protocol;
    bus_.bitRate = given->bitRate;
    bus_.pcAddress = given->pcAddress;
    if (!ApplyOptions(*options, now, error)) {
        bus_ = before;
        return Reply::Error(error);
    }
    return Reply::Ok();
}

std::optional<Reply> CanBusServer::SetFault(const std::string &kind, const std::vector<std::string> &args)
{
    unsigned *target = nullptr;
    if (kind == "drop-rx") target = &faults_.dropRx;
    if (kind == "drop-tx") target = &faults_.dropTx;
    if (kind == "withhold-answer") target = &faults_.withholdAnswers;
    if (kind == "error-frames") target = &faults_.errorFrames;
    if (!target) {
        static const char *serialOnly[] = {"corrupt-rx", "corrupt-tx", "corrupt-rx-at", "corrupt-tx-at",
                                           "garbage",    "withhold-ack"};
        for (const char *name : serialOnly) {
            if (kind == name) return Reply::Error("fault " + kind + " does not apply to a CAN bus");
        }
        return std::nullopt;
    }
    auto count = args.empty() ? std::optional<uint32_t>(1) : ParseNumber(args[0], 1'000'000);
    if (!count || args.size() > 1) return Reply::Error("usage: fault " + kind + " [N]");
    *target = *count;
    return Reply::Ok();
}

void CanBusServer::ClearFaults() { faults_ = Faults{}; }

std::string CanBusServer::FaultSummary() const
{
    const MessageFaults &message = sim_.network().faults();
    auto n = [](uint64_t value) { return std::to_string(value); };
    return "drop-rx=" + n(faults_.dropRx) + " drop-tx=" + n(faults_.dropTx) +
           " withhold-answer=" + n(faults_.withholdAnswers) + " error-frames=" + n(faults_.errorFrames) +
           " ignore=" + n(message.ignoreFrames) + " delay=" + n(static_cast<uint64_t>(WholeMilliseconds(message.delay))) + "/" +
           (message.delayAll ? std::string("all") : n(message.delayCount)) +
           " silent-until=" + n(static_cast<uint64_t>(WholeMilliseconds(message.silentUntil)));
}

std::string CanBusServer::Stats() const
{
    const NetworkStats &m = sim_.network().stats();
    const Counters &c = counters_;
    std::size_t clients = 0;
    for (const auto &client : clients_) clients += client->closed || !client->greeted ? 0 : 1;
    auto kv = [](const char *key, uint64_t value) { return std::string(key) + "=" + std::to_string(value); };
    std::string text;
    for (const std::string &item :
         {kv("frames", c.frames), kv("client_frames", c.clientFrames), kv("drive_frames", c.driveFrames),
          kv("delivered", c.delivered), kv("rate_mismatch", c.rateMismatch), kv("dropped_rx", c.droppedRx),
          kv("dropped_tx", c.droppedTx), kv("error_frames", c.errorFrames), kv("foreign", c.foreign),
          kv("unencodable", c.unencodable), kv("overflow", c.overflow), kv("bad_packets", c.badPackets),
          kv("clients", clients), kv("executed", m.executed), kv("replies", m.replies), kv("ignored", m.ignored),
          kv("withheld", m.withheld), kv("unsolicited", m.unsolicited)}) {
        text += (text.empty() ? "" : " ") + item;
    }
    return text;
}

void CanBusServer::ResetStats() { counters_ = Counters{}; }

} // namespace zsim

namespace zsim {

int RunCanBus(std::vector<std::string> args)
{
    for (const std::string &arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: zorcomm-sim can-bus [options]\n%s%s", OptionsHelp(), CanBusOptionsHelp());
            return 0;
        }
    }
    std::string error;
    auto bus = TakeCanBusOptions(args, error);
    auto options = bus ? ParseOptions(args, error) : std::nullopt;
    if (!options) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", error.c_str());
        return 2;
    }
    if (bus->protocol == CanProtocol::TorvaneCan && !AxesFitTorvane(*options)) {
        std::fprintf(stderr, "zorcomm-sim: under torvanecan the axis IDs are 1..31\n");
        return 2;
    }
    const StopSignals signals;
    CanBusServer server(*bus, *options);
    if (!server.Open()) return 1;
    PrintLine(server.FirstLine());
    return server.Serve(signals);
}

} // namespace zsim

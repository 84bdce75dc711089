#include "xport_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace zsim {

namespace {

constexpr std::size_t kCommandHistoryLimit = 256;
constexpr std::size_t kTcpOutputLimit = 1 << 20; // a PC that reads nothing: drop the connection

std::string Hex(std::span<const uint8_t> bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t value : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", value);
        text += byte;
    }
    return text;
}

std::string Endpoint(const sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in SocketAddress(in_addr address, uint16_t port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr = address;
    socketAddress.sin_port = htons(port);
    return socketAddress;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

Socket BoundSocket(int type, in_addr address, uint16_t port, const char *what)
{
    Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        std::fprintf(stderr, "zorcomm-sim: %s socket: %s\n", what, std::strerror(errno));
        return socket;
    }
    if (type == SOCK_STREAM) {
        // A test that restarts the device server on its address must not wait for old
        // connections to time out.
        const int on = 1;
        setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in local = SocketAddress(address, port);
    if (bind(socket.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "zorcomm-sim: %s %s: %s\n", what, Endpoint(local).c_str(), std::strerror(errno));
        socket.reset();
        return socket;
    }
    SetNonBlocking(socket.get());
    return socket;
}

// Value of an option given as "--name value" or "--name=value"; nullopt when args[i] is not it.
std::optional<std::string> OptionValue(std::vector<std::string> &args, std::size_t i, const std::string &name,
                                       bool &missing)
{
    const std::string flag = "--" + name;
    if (args[i] == flag) {
        if (i + 1 >= args.size()) {
            missing = true;
            return std::string();
        }
        std::string value = args[i + 1];
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        return value;
    }
    if (args[i].rfind(flag + "=", 0) == 0) {
        std::string value = args[i].substr(flag.size() + 1);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<Nanos> ParseDelay(std::string_view text)
{
    // Milliseconds with up to six decimals: whole nanoseconds.
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || fraction.size() > 6 || (point != std::string_view::npos && fraction.empty())) return std::nullopt;
    for (char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    auto ms = ParseNumber(whole, 10'000);
    if (!ms || whole.starts_with("0x")) return std::nullopt;
    Nanos nanos = Milliseconds(*ms);
    Nanos unit = 100'000;
    for (char c : fraction) {
        nanos += (c - '0') * unit;
        unit /= 10;
    }
    if (nanos > Milliseconds(10'000)) return std::nullopt;
    return nanos;
}

Socket &Socket::operator=(Socket &&other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void Socket::reset()
{
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::optional<XportOptions> TakeXportOptions(std::vector<std::string> &args, std::string &error)
{
    XportOptions xport;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == "--no-tcp") {
            xport.tcp = false;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        bool missing = false;
        std::string name;
        std::optional<std::string> value;
        for (const char *candidate : {"address", "port", "server-baud", "net-delay"}) {
            if ((value = OptionValue(args, i, candidate, missing))) {
                name = candidate;
                break;
            }
        }
        if (!value) {
            ++i;
            continue;
        }
        if (missing) {
            error = "option --" + name + " needs a value";
            return std::nullopt;
        }
        if (name == "address") {
            in_addr address{};
            if (inet_pton(AF_INET, value->c_str(), &address) != 1 || (ntohl(address.s_addr) >> 24) != 127) {
                error = "bad value for --address: a loopback address 127.x.y.z";
                return std::nullopt;
            }
            xport.address = *value;
        } else if (name == "net-delay") {
            auto delay = ParseDelay(*value);
            if (!delay) {
                error = "bad value for --net-delay: milliseconds 0..10000, e.g. 1 or 0.25";
                return std::nullopt;
            }
            xport.netDelay = *delay;
        } else if (name == "port") {
            auto port = ParseNumber(*value, 65535);
            if (!port || *port == 0 || *port == kConfigPort) {
                error = "bad value for --port: 1..65535 but not 30689";
                return std::nullopt;
            }
            xport.port = static_cast<uint16_t>(*port);
        } else {
            auto rate = ParseNumber(*value, 4'000'000);
            if (!rate || *rate == 0) {
                error = "bad value for --server-baud: a rate 1..4000000";
                return std::nullopt;
            }
            xport.serverBaud = *rate;
        }
    }
    return xport;
}

const char *XportOptionsHelp()
{
    return "  --address A          xport: loopback address to serve on (default 127.0.0.1)\n"
           "  --port P             xport: data port, UDP and TCP (default 1700)\n"
           "  --server-baud RATE   xport: the device server's serial rate at start (default 9600)\n"
           "  --net-delay MS       xport: network delay each way, e.g. 1 or 0.25 (default 0)\n"
           "  --no-tcp             xport: refuse TCP connections\n";
}

XportServer::XportServer(XportOptions xport, SimOptions options)
    : xport_(std::move(xport)), options_(std::move(options)), rate_(xport_.serverBaud)
{
    sim_.set_extras(this);
}

XportServer::~XportServer() { sim_.set_extras(nullptr); }

bool XportServer::Open()
{
    if (inet_pton(AF_INET, xport_.address.c_str(), &address_) != 1) return false;
    config_ = BoundSocket(SOCK_DGRAM, address_, kConfigPort, "configuration port");
    if (!config_.valid()) return false;
    data_ = BoundSocket(SOCK_DGRAM, address_, xport_.port, "data port");
    if (!data_.valid()) return false;
    other_ = BoundSocket(SOCK_DGRAM, address_, 0, "spare port");
    if (!other_.valid()) return false;
    if (xport_.tcp && !StartListening()) return false;
    auto reply = sim_.Configure(options_, NowNanos());
    if (!reply.ok) {
        std::fprintf(stderr, "zorcomm-sim: %s\n", reply.text.c_str());
        return false;
    }
    return true;
}

std::string XportServer::FirstLine() const
{
    return "XPORT " + xport_.address + ":" + std::to_string(xport_.port);
}

bool XportServer::StartListening()
{
    if (listener_.valid()) return true;
    Socket socket = BoundSocket(SOCK_STREAM, address_, xport_.port, "TCP port");
    if (!socket.valid()) return false;
    if (listen(socket.get(), 8) != 0) {
        std::fprintf(stderr, "zorcomm-sim: listen: %s\n", std::strerror(errno));
        return false;
    }
    listener_ = std::move(socket);
    return true;
}

void XportServer::StopListening()
{
    listener_.reset();
    connections_.clear();
}

SerialSide XportServer::Line()
{
    SerialSide line;
    line.rate = rate_;
    line.pace = sim_.link().options().pace;
    return line;
}

// --- configuration port ---------------------------------------------------------------------

void XportServer::ReceiveConfig()
{
    for (;;) {
        uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            recvfrom(config_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got < 0) return;
        if (fromLength != sizeof from) continue;
        arrivals_.push_back(Arrival{NowNanos() + xport_.netDelay, Arrival::Kind::Config, 0, from,
                                    std::vector<uint8_t>(buffer, buffer + got)});
    }
}

void XportServer::ConfigCommand(std::span<const uint8_t> datagram, const sockaddr_in &from)
{
    ++counters_.config;
    const uint8_t command = datagram.empty() ? 0 : datagram[0];
    const std::size_t size = datagram.size();
    if (command == 1 && size == 3) {
        announcedPort_ = static_cast<uint16_t>(datagram[1] | datagram[2] << 8);
    } else if (command == 3 && size == 5) {
        const uint32_t rate = static_cast<uint32_t>(datagram[1]) | static_cast<uint32_t>(datagram[2]) << 8 |
                              static_cast<uint32_t>(datagram[3]) << 16 | static_cast<uint32_t>(datagram[4]) << 24;
        if (rate == 0) {
            ++counters_.configBad;
            return;
        }
        rate_ = rate;
    } else if (!(command == 5 && size == 1)) {
        ++counters_.configBad;
        return;
    }
    Answer(command, from);
}

void XportServer::Answer(uint8_t command, const sockaddr_in &to)
{
    const uint8_t answer = static_cast<uint8_t>(command + 1);
    if (faults_.noAnswer > 0) {
        --faults_.noAnswer;
        ++counters_.configUnanswered;
        return;
    }
    if (faults_.decoy > 0) {
        --faults_.decoy;
        SendFrom(other_, {answer}, to);
        SendFrom(config_, {answer, 0x00}, to);
        SendFrom(config_, {command}, to);
    } else if (faults_.wrongPort > 0) {
        --faults_.wrongPort;
        SendFrom(other_, {answer}, to);
        return;
    } else if (faults_.wrongSize > 0) {
        --faults_.wrongSize;
        SendFrom(config_, {answer, 0x00}, to);
        return;
    } else if (faults_.wrongValue > 0) {
        --faults_.wrongValue;
        SendFrom(config_, {command}, to);
        return;
    }
    SendFrom(config_, {answer}, to);
}

void XportServer::SendFrom(const Socket &socket, std::vector<uint8_t> bytes, const sockaddr_in &to)
{
    if (xport_.netDelay > 0) {
        departures_.push_back(Departure{NowNanos() + xport_.netDelay, &socket, std::move(bytes), to});
        return;
    }
    Transmit(socket, bytes, to);
}

void XportServer::Transmit(const Socket &socket, const std::vector<uint8_t> &bytes, const sockaddr_in &to)
{
    // Loopback datagrams are not lost for want of buffer space at these sizes; a failure means
    // the PC's socket is gone, and a real device server would not know either.
    sendto(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void XportServer::SendDepartures(Nanos now)
{
    while (!departures_.empty() && departures_.front().due <= now) {
        const Departure &departure = departures_.front();
        Transmit(*departure.socket, departure.bytes, departure.to);
        departures_.pop_front();
    }
}

// --- data port ------------------------------------------------------------------------------

void XportServer::ReceiveData(Nanos now)
{
    for (;;) {
        uint8_t buffer[65536];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            recvfrom(data_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got < 0) return;
        if (fromLength != sizeof from) continue;
        arrivals_.push_back(Arrival{now + xport_.netDelay, Arrival::Kind::Data, 0, from,
                                    std::vector<uint8_t>(buffer, buffer + got)});
    }
}

// --- what came through the network -----------------------------------------------------------

void XportServer::TakeArrivals(Nanos now)
{
    while (!arrivals_.empty() && arrivals_.front().due <= now) {
        const Arrival arrival = std::move(arrivals_.front());
        arrivals_.pop_front();
        Arrive(arrival);
    }
}

void XportServer::Arrive(const Arrival &arrival)
{
    switch (arrival.kind) {
    case Arrival::Kind::Config:
        commands_.push_back(Hex(arrival.bytes));
        if (commands_.size() > kCommandHistoryLimit) commands_.pop_front();
        ConfigCommand(arrival.bytes, arrival.from);
        return;
    case Arrival::Kind::Data:
        ++counters_.datagramsIn;
        peer_ = arrival.from;
        sim_.link().Receive(arrival.bytes, rate_, arrival.due);
        return;
    case Arrival::Kind::Tcp:
        if (Connection *connection = FindConnection(arrival.connection)) {
            connection->session->Receive(arrival.bytes, arrival.due, sim_.network(), Line());
        }
        return;
    case Arrival::Kind::TcpEnd:
        std::erase_if(connections_, [&](const Connection &connection) { return connection.id == arrival.connection; });
        return;
    }
}

XportServer::Connection *XportServer::FindConnection(uint64_t id)
{
    for (Connection &connection : connections_) {
        if (connection.id == id) return &connection;
    }
    return nullptr;
}

void XportServer::DeliverData(Nanos now)
{
    // What the device server heard from the drives leaves at once and is with the PC after the
    // network delay.
    const Nanos heard = now - xport_.netDelay;
    for (;;) {
        const std::vector<uint8_t> bytes = sim_.link().TakeDue(heard, rate_, kMaxDatagram);
        if (bytes.empty()) return;
        if (!peer_) {
            counters_.noPeer += bytes.size();
            continue;
        }
        const Socket *from = &data_;
        if (faults_.dataWrongPort > 0) {
            --faults_.dataWrongPort;
            from = &other_;
        }
        Transmit(*from, bytes, *peer_);
        ++counters_.datagramsOut;
    }
}

// --- TCP ------------------------------------------------------------------------------------

void XportServer::Accept()
{
    for (;;) {
        const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++counters_.tcpAccepted;
        connections_.push_back(Connection{nextConnection_++, Socket(fd), std::make_unique<BlockSession>(blocks_), {}});
    }
}

void XportServer::ReceiveTcp(Connection &connection, Nanos now)
{
    if (connection.ended) return;
    uint8_t buffer[4096];
    const ssize_t got = recv(connection.socket.get(), buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    const Nanos due = now + xport_.netDelay;
    if (got <= 0) {
        // The end comes after whatever was sent before it.
        connection.ended = true;
        arrivals_.push_back(Arrival{due, Arrival::Kind::TcpEnd, connection.id, {}, {}});
        return;
    }
    arrivals_.push_back(Arrival{due, Arrival::Kind::Tcp, connection.id, {}, std::vector<uint8_t>(buffer, buffer + got)});
}

bool XportServer::FlushTcp(Connection &connection, Nanos now)
{
    auto due = connection.session->TakeDue(now - xport_.netDelay);
    connection.pending.insert(connection.pending.end(), due.begin(), due.end());
    while (!connection.pending.empty()) {
        const ssize_t put = send(connection.socket.get(), connection.pending.data(), connection.pending.size(), MSG_NOSIGNAL);
        if (put < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
            return false;
        }
        connection.pending.erase(connection.pending.begin(), connection.pending.begin() + put);
    }
    if (connection.pending.size() > kTcpOutputLimit) return false;
    return !(connection.session->Finished() && connection.pending.empty());
}

// --- faults and counters --------------------------------------------------------------------

std::optional<Reply> XportServer::SetFault(const std::string &kind, const std::vector<std::string> &args)
{
    unsigned *counter = kind == "no-answer"         ? &faults_.noAnswer
                        : kind == "wrong-port"      ? &faults_.wrongPort
                        : kind == "wrong-size"      ? &faults_.wrongSize
                        : kind == "wrong-value"     ? &faults_.wrongValue
                        : kind == "decoy"           ? &faults_.decoy
                        : kind == "data-wrong-port" ? &faults_.dataWrongPort
                        : kind == "tcp-drop"        ? &blocks_.faults.tcpDrop
                        : kind == "bad-status"      ? &blocks_.faults.badStatus
                        : kind == "short-data"      ? &blocks_.faults.shortData
                                                    : nullptr;
    if (!counter) return std::nullopt;
    const std::size_t most = kind == "bad-status" ? 2 : 1;
    if (args.size() > most) return Reply::Error("too many arguments");
    auto count = args.empty() ? std::optional<uint32_t>(1) : ParseNumber(args[0], 1'000'000);
    if (!count) return Reply::Error("bad number '" + args[0] + "'");
    if (args.size() == 2) {
        auto value = ParseNumber(args[1], 0xFF);
        if (!value) return Reply::Error("bad status byte '" + args[1] + "'");
        blocks_.faults.badStatusValue = static_cast<uint8_t>(*value);
    } else if (kind == "bad-status") {
        blocks_.faults.badStatusValue = block_status::kNoAnswer;
    }
    *counter = *count;
    return Reply::Ok();
}

void XportServer::ClearFaults()
{
    faults_ = Faults{};
    blocks_.faults = BlockFaults{};
}

std::string XportServer::FaultSummary() const
{
    auto n = [](uint64_t value) { return std::to_string(value); };
    return " no-answer=" + n(faults_.noAnswer) + " wrong-port=" + n(faults_.wrongPort) +
           " wrong-size=" + n(faults_.wrongSize) + " wrong-value=" + n(faults_.wrongValue) +
           " decoy=" + n(faults_.decoy) + " data-wrong-port=" + n(faults_.dataWrongPort) +
           " tcp-drop=" + n(blocks_.faults.tcpDrop) + " bad-status=" + n(blocks_.faults.badStatus) + "/" +
           n(blocks_.faults.badStatusValue) + " short-data=" + n(blocks_.faults.shortData);
}

std::string XportServer::Stats() const
{
    auto kv = [](const char *key, uint64_t value) { return std::string(" ") + key + "=" + std::to_string(value); };
    return kv("config", counters_.config) + kv("config_bad", counters_.configBad) +
           kv("config_unanswered", counters_.configUnanswered) + kv("datagrams_in", counters_.datagramsIn) +
           kv("datagrams_out", counters_.datagramsOut) + kv("no_peer", counters_.noPeer) +
           kv("tcp_accepted", counters_.tcpAccepted) + kv("blocks", blocks_.stats.blocks) +
           kv("block_steps", blocks_.stats.steps) + kv("block_failures", blocks_.stats.failures);
}

void XportServer::ResetStats()
{
    counters_ = Counters{};
    blocks_.stats = BlockStats{};
}

// --- control lines --------------------------------------------------------------------------

Reply XportServer::XportState() const
{
    return Reply::Ok("address=" + xport_.address + " port=" + std::to_string(xport_.port) +
                     " rate=" + std::to_string(rate_) +
                     " announced-port=" + (announcedPort_ ? std::to_string(*announcedPort_) : std::string("none")) +
                     " peer=" + (peer_ ? Endpoint(*peer_) : std::string("none")) +
                     " tcp=" + (listener_.valid() ? "on" : "off") +
                     " connections=" + std::to_string(connections_.size()));
}

Reply XportServer::NetDelay(const std::vector<std::string> &words)
{
    if (words.size() > 2) return Reply::Error("usage: net-delay [MS]");
    if (words.size() == 2) {
        auto delay = ParseDelay(words[1]);
        if (!delay) return Reply::Error("net-delay is milliseconds 0..10000, e.g. 1 or 0.25");
        xport_.netDelay = *delay;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(xport_.netDelay / 1'000'000),
                  static_cast<long long>(xport_.netDelay % 1'000'000));
    std::string value = text;
    while (value.back() == '0') value.pop_back();
    if (value.back() == '.') value.pop_back();
    return Reply::Ok(value);
}

void XportServer::HandleControlLine(const std::string &line, Nanos now)
{
    const auto words = SplitWords(line);
    if (words.empty()) return;
    const std::string &command = words[0];
    Reply reply;
    if (command == "quit" || command == "exit") {
        quit_ = true;
        reply = Reply::Ok();
    } else if (command == "line") {
        std::optional<uint32_t> rate;
        if (words.size() > 2 || (words.size() == 2 && (!(rate = ParseNumber(words[1], 4'000'000)) || *rate == 0))) {
            reply = Reply::Error("usage: line [RATE]");
        } else {
            if (rate) rate_ = *rate;
            reply = Reply::Ok("rate=" + std::to_string(rate_) + " bits=" + std::to_string(Line().bitsPerChar));
        }
    } else if (command == "xport") {
        reply = XportState();
    } else if (command == "net-delay") {
        reply = NetDelay(words);
    } else if (command == "commands") {
        std::string text;
        for (const std::string &datagram : commands_) text += (text.empty() ? "" : " ") + datagram;
        commands_.clear();
        reply = Reply::Ok(text);
    } else if (command == "blocks") {
        std::string text;
        for (const BlockCommand &block : blocks_.history) text += (text.empty() ? "" : " ") + block.Describe();
        blocks_.history.clear();
        reply = Reply::Ok(text);
    } else if (command == "tcp") {
        if (words.size() == 2 && words[1] == "off") {
            StopListening();
            reply = Reply::Ok();
        } else if (words.size() == 2 && words[1] == "on") {
            reply = StartListening() ? Reply::Ok() : Reply::Error("cannot listen on the data port");
        } else {
            reply = Reply::Error("usage: tcp on|off");
        }
    } else if (command == "help") {
        reply = Reply::Ok(std::string(Simulator::Help()) +
                          " | line [RATE] | net-delay [MS] | xport | commands | blocks | tcp on|off | quit");
    } else {
        reply = sim_.Execute(words, now);
    }
    PrintLine(reply.Line());
}

// --- the loop -------------------------------------------------------------------------------

std::optional<Nanos> XportServer::NextDeadline(Nanos now)
{
    Nanos deadline = now + kNanosPerSecond;
    auto consider = [&](std::optional<Nanos> due, Nanos after) {
        if (due) deadline = std::min(deadline, *due + after);
    };
    consider(sim_.link().NextDue(), xport_.netDelay);
    for (const Connection &connection : connections_) consider(connection.session->NextDue(), xport_.netDelay);
    if (!arrivals_.empty()) consider(arrivals_.front().due, 0);
    if (!departures_.empty()) consider(departures_.front().due, 0);
    return deadline;
}

int XportServer::Serve(const StopSignals &signals)
{
    ControlInput control(STDIN_FILENO);
    std::vector<pollfd> fds;
    while (!signals.stopped() && !quit_) {
        const Nanos before = NowNanos();
        TakeArrivals(before);
        SendDepartures(before);
        DeliverData(before);
        for (auto it = connections_.begin(); it != connections_.end();) {
            it = FlushTcp(*it, before) ? it + 1 : connections_.erase(it);
        }

        fds.clear();
        const bool listenControl = control.open() && !options_.noControl;
        fds.push_back({listenControl ? control.fd() : -1, POLLIN, 0});
        fds.push_back({config_.get(), POLLIN, 0});
        fds.push_back({data_.get(), POLLIN, 0});
        fds.push_back({listener_.valid() ? listener_.get() : -1, POLLIN, 0});
        for (const Connection &connection : connections_) {
            const bool reading = !connection.session->closing() && !connection.ended;
            const short events = static_cast<short>((reading ? POLLIN : 0) | (connection.pending.empty() ? 0 : POLLOUT));
            // A connection the PC has closed waits only for its end to come through the network.
            fds.push_back({connection.ended ? -1 : connection.socket.get(), events, 0});
        }
        if (pacer_.PollUntil(fds.data(), fds.size(), NextDeadline(NowNanos()), signals.during()) < 0) {
            if (errno == EINTR) continue;
            std::perror("zorcomm-sim: poll");
            return 1;
        }

        const Nanos now = NowNanos();
        if (fds[1].revents & POLLIN) ReceiveConfig();
        if (fds[2].revents & POLLIN) ReceiveData(now);
        // Connections first: the ones accepted now have no slot in `fds` yet.
        for (std::size_t i = 0; i < connections_.size() && 4 + i < fds.size(); ++i) {
            if (fds[4 + i].revents & (POLLIN | POLLHUP | POLLERR)) ReceiveTcp(connections_[i], now);
        }
        if (listener_.valid() && (fds[3].revents & POLLIN)) Accept();
        if (fds[0].fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            for (const std::string &line : control.Read()) {
                if (quit_) break;
                HandleControlLine(line, NowNanos());
            }
            if (!control.open()) quit_ = true;
        }
    }
    return 0;
}

} // namespace zsim

// zorcomm-sim xport: a serial-to-Ethernet device server on a loopback address with the drive
// network on its serial side. UDP configuration port 30689 (commands 1, 3 and 5), UDP drive
// datagrams on the data port, TCP block commands on the same port (block_session.h).
#pragma once

#include "block_session.h"
#include "control.h"
#include "serve_loop.h"
#include "sim_options.h"

#include <deque>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

inline constexpr uint16_t kConfigPort = 30689;
inline constexpr uint16_t kDefaultDataPort = 1700;
inline constexpr std::size_t kMaxDatagram = 128; // the PC's datagram buffer

struct XportOptions {
    std::string address = "127.0.0.1";
    uint16_t port = kDefaultDataPort;
    uint32_t serverBaud = 9600;
    bool tcp = true;
    Nanos netDelay = 0; // the network between the PC and the device server, each way
};

// Takes the device server's own options (--address, --port, --server-baud, --net-delay, --no-tcp) out of
// `args`, leaving the drive network's options. nullopt and a one-line reason on a bad value.
std::optional<XportOptions> TakeXportOptions(std::vector<std::string> &args, std::string &error);

const char *XportOptionsHelp();

// A delay in milliseconds with up to six decimals ("1", "0.25"), 0..10000 ms; nullopt otherwise.
std::optional<Nanos> ParseDelay(std::string_view text);

// A socket descriptor that closes itself.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket &&other) noexcept : fd_(other.release()) {}
    Socket &operator=(Socket &&other) noexcept;
    ~Socket() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

class XportServer : public TransportExtras {
public:
    XportServer(XportOptions xport, SimOptions options);
    ~XportServer() override;

    // Binds the sockets and builds the network; false with the reason on standard error.
    bool Open();
    // "XPORT address:port"
    std::string FirstLine() const;
    int Serve(const StopSignals &signals);

    // TransportExtras
    std::optional<Reply> SetFault(const std::string &kind, const std::vector<std::string> &args) override;
    void ClearFaults() override;
    std::string FaultSummary() const override;
    std::string Stats() const override;
    void ResetStats() override;

private:
    struct Faults {
        unsigned noAnswer = 0;
        unsigned wrongPort = 0;
        unsigned wrongSize = 0;
        unsigned wrongValue = 0;
        unsigned decoy = 0;
        unsigned dataWrongPort = 0;
    };
    struct Counters {
        uint64_t config = 0;
        uint64_t configBad = 0;
        uint64_t configUnanswered = 0;
        uint64_t datagramsIn = 0;
        uint64_t datagramsOut = 0;
        uint64_t noPeer = 0;
        uint64_t tcpAccepted = 0;
    };
    struct Connection {
        uint64_t id;
        Socket socket;
        std::unique_ptr<BlockSession> session;
        std::vector<uint8_t> pending; // due bytes the socket has not taken yet
        bool ended = false;           // the PC closed its side (or the connection failed)
    };
    // What the PC sent, on its way through the network to the device server.
    struct Arrival {
        enum class Kind { Config, Data, Tcp, TcpEnd };
        Nanos due;
        Kind kind;
        uint64_t connection = 0;
        sockaddr_in from{};
        std::vector<uint8_t> bytes;
    };
    // A configuration answer on its way back to the PC.
    struct Departure {
        Nanos due;
        const Socket *socket;
        std::vector<uint8_t> bytes;
        sockaddr_in to;
    };

    bool StartListening();
    void StopListening();
    SerialSide Line();
    void ReceiveConfig();
    void ConfigCommand(std::span<const uint8_t> datagram, const sockaddr_in &from);
    void Answer(uint8_t command, const sockaddr_in &to);
    // A configuration answer: sent now, or after the network delay.
    void SendFrom(const Socket &socket, std::vector<uint8_t> bytes, const sockaddr_in &to);
    void Transmit(const Socket &socket, const std::vector<uint8_t> &bytes, const sockaddr_in &to);
    void ReceiveData(Nanos now);
    void DeliverData(Nanos now);
    void Accept();
    void ReceiveTcp(Connection &connection, Nanos now);
    // Hands over what has come through the network by `now`.
    void TakeArrivals(Nanos now);
    void SendDepartures(Nanos now);
    void Arrive(const Arrival &arrival);
    Connection *FindConnection(uint64_t id);
    bool FlushTcp(Connection &connection, Nanos now);
    void HandleControlLine(const std::string &line, Nanos now);
    Reply XportState() const;
    Reply NetDelay(const std::vector<std::string> &words);
    std::optional<Nanos> NextDeadline(Nanos now);

    XportOptions xport_;
    SimOptions options_;
    Simulator sim_;
    in_addr address_{};
    Socket config_;
    Socket data_;
    Socket other_; // another source port, for the faults that answer from the wrong one
    Socket listener_;
    std::vector<Connection> connections_;
    uint64_t nextConnection_ = 1;
    std::deque<Arrival> arrivals_;     // in the order they came, so in the order they are due
    std::deque<Departure> departures_;
    Pacer pacer_;
    uint32_t rate_;
    std::optional<uint16_t> announcedPort_;
    std::optional<sockaddr_in> peer_;
    BlockShared blocks_;
    Faults faults_;
    Counters counters_;
    std::deque<std::string> commands_;
    bool quit_ = false;
};

} // namespace zsim

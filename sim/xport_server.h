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
};

// Takes the device server's own options (--address, --port, --server-baud, --no-tcp) out of
// `args`, leaving the drive network's options. nullopt and a one-line reason on a bad value.
std::optional<XportOptions> TakeXportOptions(std::vector<std::string> &args, std::string &error);

const char *XportOptionsHelp();

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
        Socket socket;
        std::unique_ptr<BlockSession> session;
        std::vector<uint8_t> pending; // due bytes the socket has not taken yet
    };

    bool StartListening();
    void StopListening();
    SerialSide Line();
    void ReceiveConfig();
    void ConfigCommand(std::span<const uint8_t> datagram, const sockaddr_in &from);
    void Answer(uint8_t command, const sockaddr_in &to);
    void SendFrom(const Socket &socket, std::vector<uint8_t> bytes, const sockaddr_in &to);
    void ReceiveData(Micros now);
    void DeliverData(Micros now);
    void Accept();
    // False when the connection is over.
    bool ReceiveTcp(Connection &connection, Micros now);
    bool FlushTcp(Connection &connection, Micros now);
    void HandleControlLine(const std::string &line, Micros now);
    Reply XportState() const;
    int PollTimeoutMicros(Micros now);

    XportOptions xport_;
    SimOptions options_;
    Simulator sim_;
    in_addr address_{};
    Socket config_;
    Socket data_;
    Socket other_; // another source port, for the faults that answer from the wrong one
    Socket listener_;
    std::vector<Connection> connections_;
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

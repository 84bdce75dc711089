// zorcomm-sim can-bus: a CAN bus served on a Unix-domain SOCK_SEQPACKET socket with the drive
// network on it. Clients (the stand-in adapter libraries, one connection per adapter channel)
// send frames that reach every other client and the drives; the drives' answers reach every
// client. Packets: can_bus_protocol.h.
#pragma once

#include "can_bus_protocol.h"
#include "can_codec.h"
#include "control.h"
#include "line_time.h"
#include "serve_loop.h"
#include "sim_options.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zsim {

inline constexpr uint32_t kDefaultBitRate = 500000;

struct CanBusOptions {
    std::string socketPath; // empty: $TMPDIR/zorcomm-canbus-<pid>.sock
    CanProtocol protocol = CanProtocol::Orv;
    uint32_t bitRate = kDefaultBitRate;
    std::optional<uint16_t> pcAddress;
};

// Takes the bus's own options (--socket, --protocol, --bitrate, --pc-address) out of `args`,
// leaving the drive network's options. nullopt and a one-line reason on a bad value.
std::optional<CanBusOptions> TakeCanBusOptions(std::vector<std::string> &args, std::string &error);

const char *CanBusOptionsHelp();

class CanBusServer : public TransportExtras {
public:
    CanBusServer(CanBusOptions bus, SimOptions options);
    ~CanBusServer() override;
    CanBusServer(const CanBusServer &) = delete;
    CanBusServer &operator=(const CanBusServer &) = delete;

    // Builds the network and listens on the socket; false with the reason on standard error.
    bool Open();
    // "CANBUS <socket path>"
    std::string FirstLine() const;
    int Serve(const StopSignals &signals);

    // TransportExtras
    std::optional<Reply> SetFault(const std::string &kind, const std::vector<std::string> &args) override;
    void ClearFaults() override;
    std::string FaultSummary() const override;
    std::string Stats() const override;
    void ResetStats() override;

private:
    struct Client {
        int fd = -1;
        unsigned number = 0;
        std::string family;
        uint32_t rate = 0; // 0 = adapter not started
        uint32_t pid = 0;
        bool greeted = false; // its hello has been read
        bool closed = false;
    };
    // A frame that reaches the others when it is through the bus (paced), or an answer that
    // leaves later (the delay fault).
    struct Pending {
        Nanos due;
        canbus::BusFrame frame;
        std::string source; // "drive", "sim" or "pcN"
        unsigned client = 0; // the client that sent it (it does not hear its own frame); 0: none
        std::optional<canbus::Packet> origin; // the client's packet, for its origin fields
    };
    struct Faults {
        unsigned dropRx = 0;
        unsigned dropTx = 0;
        unsigned withholdAnswers = 0;
        unsigned errorFrames = 0;
    };
    struct Counters {
        uint64_t frames = 0; // frames that were on the bus (any source)
        uint64_t clientFrames = 0;
        uint64_t driveFrames = 0;
        uint64_t delivered = 0;
        uint64_t rateMismatch = 0;
        uint64_t droppedRx = 0;
        uint64_t droppedTx = 0;
        uint64_t errorFrames = 0;
        uint64_t foreign = 0;
        uint64_t unencodable = 0;
        uint64_t overflow = 0;
        uint64_t badPackets = 0;
    };

    void Accept(Nanos now);
    void ReadClient(Client &client, Nanos now);
    void OnPacket(Client &client, const canbus::Packet &packet, Nanos now);
    void OnClientFrame(Client &client, const canbus::BusFrame &frame, const canbus::Packet &packet, Nanos now);
    // A client's frame through the bus: to the other clients (with the origin fields of its
    // packet) and the drives.
    void ClientFrameHeard(unsigned client, const std::string &source, const canbus::BusFrame &frame,
                          const canbus::Packet *origin, Nanos at);
    // A frame from the drives' side onto the bus: at once, or when it is through (paced).
    void PutOnBus(const canbus::BusFrame &frame, const std::string &source, Nanos earliest);
    void ToDrives(const Message &message, Nanos now);
    void SendAnswer(const Message &message, Nanos due, Nanos now);
    // A frame from the drives' side: drop-tx fault, history, every client on the bus's rate.
    void DriveFrame(const canbus::BusFrame &frame, const std::string &source);
    void ErrorFrame(const std::string &source, const canbus::BusFrame &frame = ErrorFrameOnly());
    // `origin`: the client's packet whose origin fields go along with the frame.
    void Deliver(const canbus::BusFrame &frame, const Client *except, bool anyStartedClient = false,
                 const canbus::Packet *origin = nullptr);
    static canbus::BusFrame ErrorFrameOnly();
    Reply ErrorFrameCommand(const std::vector<std::string> &args);
    void SendDue(Nanos now);
    void RemoveClosedClients();
    void Remember(const std::string &source, const canbus::BusFrame &frame, bool fromPc);
    std::optional<Nanos> NextDeadline() const;
    void ReadControl(bool &quit);

    Reply Control(const std::vector<std::string> &words, Nanos now, bool &quit);
    Reply Unsolicited(const std::vector<std::string> &args, Nanos now);
    Reply FrameCommand(const std::vector<std::string> &args);
    Reply Inject(const std::vector<std::string> &args);
    Reply History();
    Reply Clients() const;
    Reply BitRate(const std::vector<std::string> &args);
    Reply Protocol(const std::vector<std::string> &args);
    Reply Configure(const std::vector<std::string> &args, Nanos now);
    bool ApplyOptions(const SimOptions &options, Nanos now, std::string &error);

    CanBusOptions bus_;
    SimOptions initial_;
    mutable Simulator sim_; // its network is read by the const summaries
    int listenFd_ = -1;
    bool bound_ = false;
    unsigned nextClient_ = 1;
    std::vector<std::unique_ptr<Client>> clients_;
    std::deque<Pending> pending_;
    bool pace_ = false; // frames take their bits at the bus's bit rate
    LineTime wire_;     // when the bus is free again (paced)
    Pacer pacer_;
    std::deque<std::string> history_;
    Faults faults_;
    Counters counters_;
    ControlInput control_{0};
};

} // namespace zsim

namespace zsim {

// `zorcomm-sim can-bus ARGS...`: the program's exit status.
int RunCanBus(std::vector<std::string> args);

} // namespace zsim

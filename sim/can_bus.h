// zorcomm-sim can-bus: a CAN bus served on a Unix-domain SOCK_SEQPACKET socket with the drive
// network on it. Clients (the stand-in adapter libraries, one connection per adapter channel)
// send frames that reach every other client and the drives; the drives' answers reach every
// client. Packets: can_bus_protocol.h.
#pragma once

#include "can_bus_protocol.h"
#include "can_codec.h"
#include "control.h"
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
    struct Pending {
        Micros due;
        canbus::BusFrame frame;
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

    void Accept(Micros now);
    void ReadClient(Client &client, Micros now);
    void OnPacket(Client &client, const canbus::Packet &packet, Micros now);
    void OnClientFrame(Client &client, const canbus::BusFrame &frame, const canbus::Packet &packet, Micros now);
    void ToDrives(const Message &message, Micros now);
    void SendAnswer(const Message &message, Micros due, Micros now);
    // A frame from the drives' side: drop-tx fault, history, every client on the bus's rate.
    void DriveFrame(const canbus::BusFrame &frame, const std::string &source);
    void ErrorFrame(const std::string &source, const canbus::BusFrame &frame = ErrorFrameOnly());
    // `origin`: the client's packet whose origin fields go along with the frame.
    void Deliver(const canbus::BusFrame &frame, const Client *except, bool anyStartedClient = false,
                 const canbus::Packet *origin = nullptr);
    static canbus::BusFrame ErrorFrameOnly();
    Reply ErrorFrameCommand(const std::vector<std::string> &args);
    void SendDue(Micros now);
    void RemoveClosedClients();
    void Remember(const std::string &source, const canbus::BusFrame &frame, bool fromPc);
    int PollTimeout(Micros now) const;
    void ReadControl(bool &quit);

    Reply Control(const std::vector<std::string> &words, Micros now, bool &quit);
    Reply Unsolicited(const std::vector<std::string> &args, Micros now);
    Reply FrameCommand(const std::vector<std::string> &args);
    Reply Inject(const std::vector<std::string> &args);
    Reply History();
    Reply Clients() const;
    Reply BitRate(const std::vector<std::string> &args);
    Reply Protocol(const std::vector<std::string> &args);
    Reply Configure(const std::vector<std::string> &args, Micros now);
    bool ApplyOptions(const SimOptions &options, Micros now, std::string &error);

    CanBusOptions bus_;
    SimOptions initial_;
    mutable Simulator sim_; // its network is read by the const summaries
    int listenFd_ = -1;
    bool bound_ = false;
    unsigned nextClient_ = 1;
    std::vector<std::unique_ptr<Client>> clients_;
    std::deque<Pending> pending_;
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

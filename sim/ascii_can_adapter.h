// zorcomm-sim ascii-can: a serial ASCII CAN adapter on a pseudo terminal, joined to the
// simulated CAN bus as one more client. The PC writes carriage-return-terminated text commands
// ("S6", "O", "t1230" ...) and reads answers (CR done, BEL refused, "z"/"Z" a transmit
// confirmed) and the frames of the bus in the same text form.
#pragma once

#include "can_bus_protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

// The adapter without any descriptors: text in, answers and bus frames out.
class AsciiCanAdapter {
public:
    struct Output {
        std::string toPc;
        std::vector<canbus::BusFrame> toBus;
        std::optional<uint32_t> rate; // the channel opened (bit/s) or closed (0)
    };

    // Bytes the PC wrote; complete commands are carried out.
    void FromPc(std::string_view bytes, uint32_t millis, Output &out);
    // A frame on the bus: passed to the PC while the channel is open.
    void FromBus(const canbus::BusFrame &frame, uint32_t millis, Output &out);

    // Control lines of the adapter (see README.md); nullopt when `words[0]` is not one.
    std::optional<std::string> Control(const std::vector<std::string> &words, Output &out);

    bool open() const { return open_; }
    uint32_t rate() const { return rate_; }

private:
    void Command(const std::string &command, uint32_t millis, Output &out);
    void Transmit(const std::string &command, Output &out);
    static std::optional<canbus::BusFrame> ParseFrame(const std::string &command);
    static std::string FrameText(const canbus::BusFrame &frame);

    std::string pending_;
    bool open_ = false;
    bool timeStamps_ = false;
    uint32_t rate_ = 0; // set by "S", 0 = none yet
    uint32_t acceptanceCode_ = 0;
    uint32_t acceptanceMask_ = 0xFFFFFFFF;
    uint8_t status_ = 0;
    std::vector<std::string> history_;
    // Faults
    unsigned refuseTransmits_ = 0;
    unsigned refuseCommands_ = 0;
    unsigned withholdConfirmations_ = 0;
    unsigned wrongConfirmations_ = 0;
    // Counters
    uint64_t commands_ = 0, transmits_ = 0, refused_ = 0, received_ = 0, dropped_ = 0;
};

// The program: `zorcomm-sim ascii-can [--bus PATH] [--no-control]`. Exit status as for the
// other modes.
int RunAsciiCan(std::vector<std::string> args);

} // namespace zsim

// Drive messages on CAN: one message per frame, under the 29-bit scheme (op code and address in
// the identifier) or the 11-bit TorvaneCAN scheme (message classes).
#pragma once

#include <zorcomm/zorcomm.h>

#include <array>
#include <cstdint>

namespace zorcomm {

struct CanFrame {
    uint32_t id = 0;
    bool extended = false;
    uint8_t dlc = 0;
    std::array<uint8_t, 8> bytes{};
};

// False when TorvaneCAN cannot carry the message (the 29-bit scheme carries every message of at
// most four words).
bool MessageToCanFrame(const DriveMessage &message, uint8_t protocolFlag, CanFrame &frame);

// False for every frame that is not addressed to the host (traffic between drives, frames for
// other hosts, malformed frames).
bool CanFrameToMessage(const CanFrame &frame, uint8_t protocolFlag, uint16_t hostAddress,
                       DriveMessage &message);

// The adapters' acceptance filter for a host address.
struct AcceptanceFilter {
    uint32_t code;
    uint32_t mask;
};
AcceptanceFilter HostAcceptance(uint8_t protocolFlag, uint16_t hostAddress);

} // namespace zorcomm

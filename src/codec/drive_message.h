// The drive message and its serial frame.
#pragma once

#include <zorcomm/zorcomm.h>

#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace zorcomm {

constexpr uint8_t kAcknowledge = 0x4F;
constexpr uint16_t kGroupFlag = 0x1000;
constexpr uint16_t kPcBit = 0x0001;
constexpr size_t kMaxSerialFrame = 14; // four data words

// Reply address masks: TorvaneCAN carries only five bits of the axis ID.
constexpr uint16_t ReplyAddressMask(uint8_t protocolFlag) {
    return protocolFlag == CHANNEL_PROTOCOL_TORVANECAN ? 0x11F0 : 0x1FF0;
}

struct SerialFrame {
    std::array<uint8_t, kMaxSerialFrame> bytes{};
    size_t size = 0;
    std::span<const uint8_t> view() const { return {bytes.data(), size}; }
};

// The frame of a message whose length is at most 4 (the caller checks).
SerialFrame BuildSerialFrame(const DriveMessage &message);

// Reads exactly the given number of bytes; false when they could not all be read.
using ReadExactly = std::function<bool(std::span<uint8_t>)>;

// Completes a frame whose first byte has been read: 1 complete with a correct checksum, -1 bad
// data (impossible length byte, nothing more read; or a checksum mismatch), 0 the rest of the
// frame could not be read.
int ParseSerialFrame(uint8_t firstByte, const ReadExactly &read, DriveMessage &message);

} // namespace zorcomm

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

// The frame of a message whose length is at most 4 (the caller checks). Every message goes
// through here; inline, so that the frame is built where the sender keeps it (a call and the
// frame handed back cost as much as building it).
inline SerialFrame BuildSerialFrame(const DriveMessage &message) {
    SerialFrame frame;
    const size_t length = message.length > 4 ? 4 : message.length;
    uint8_t *out = frame.bytes.data();
    unsigned sum = 0;
    const auto put = [&out, &sum](unsigned value) {
        const auto byte = static_cast<uint8_t>(value);
        *out++ = byte;
        sum += byte;
    };
    const auto putWord = [&put](uint16_t word) {
        put(word >> 8);
        put(word);
    };
    put(static_cast<unsigned>(2 * length + 4));
    putWord(message.address);
    putWord(message.opCode);
    for (size_t i = 0; i < length; ++i) putWord(message.data[i]);
    *out = static_cast<uint8_t>(sum);
    frame.size = 2 * length + 6;
    return frame;
}

// A frame's first byte: the bytes that follow it but the checksum (even, 4 to 12).
constexpr bool IsFrameLength(uint8_t byte) { return byte % 2 == 0 && byte >= 4 && byte <= 12; }

// A reader kept as an object, for callers that hold one.
using ReadExactly = std::function<bool(std::span<uint8_t>)>;

// Decodes a whole frame, its length byte first (a frame length, and as many bytes as it
// announces): true when its checksum is correct.
inline bool DecodeSerialFrame(const uint8_t *frame, DriveMessage &message) {
    const uint8_t length = frame[0];
    // The checksum is summed as the words are taken, not in a second pass over the bytes.
    unsigned sum = length;
    const auto word = [frame, &sum](size_t at) {
        sum += frame[at] + frame[at + 1];
        return static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]);
    };
    message.address = word(1);
    message.opCode = word(3);
    message.length = static_cast<uint16_t>((length - 4) / 2);
    for (uint16_t i = 0; i < message.length; ++i) message.data[i] = word(5 + 2 * i);
    return static_cast<uint8_t>(sum) == frame[length + 1];
}

// Completes a frame whose first byte has been read, `read(bytes)` reading exactly the given
// number of bytes (false when they could not all be read): 1 complete with a correct checksum,
// -1 bad data (impossible length byte, nothing more read; or a checksum mismatch), 0 the rest
// of the frame could not be read. A template so that every reply's frame is read without an
// indirect call.
template <typename ReadExactly>
int ParseSerialFrame(uint8_t firstByte, ReadExactly &&read, DriveMessage &message) {
    if (!IsFrameLength(firstByte)) return -1;
    std::array<uint8_t, kMaxSerialFrame> frame; // filled by the read before any byte is used
    frame[0] = firstByte;
    const size_t size = static_cast<size_t>(firstByte) + 2;
    if (!read(std::span<uint8_t>{frame.data() + 1, size - 1})) return 0;
    return DecodeSerialFrame(frame.data(), message) ? 1 : -1;
}

} // namespace zorcomm

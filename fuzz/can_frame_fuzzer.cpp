// CAN frames from an adapter turned into drive messages, and drive messages into frames, under
// both protocol flags. The input is cut into records of 17 bytes: protocol and kind (1), host
// address (2), identifier (4), data length as received (1, may exceed 8), data (8), and one more
// byte for the message record built from the same bytes.
#include <algorithm>

#include "codec/can_mapping.h"
#include "codec/drive_message.h"
#include "fuzz_support.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;

constexpr uint8_t kOrv = CHANNEL_PROTOCOL_ORV;
constexpr uint8_t kTorvane = CHANNEL_PROTOCOL_TORVANECAN;

bool SameWords(const DriveMessage &a, const DriveMessage &b) {
    if (a.length != b.length) return false;
    return std::equal(a.data, a.data + a.length, b.data);
}

bool SameFrame(const CanFrame &a, const CanFrame &b) {
    return a.id == b.id && a.extended == b.extended && a.dlc == b.dlc &&
           std::equal(a.bytes.begin(), a.bytes.begin() + a.dlc, b.bytes.begin());
}

// The TorvaneCAN classes that carry op code and words unchanged both ways.
bool GeneralTorvaneOp(uint16_t op) {
    return (op & 0xFFFE) != 0xB404 && (op & 0xFF00) != 0xD400 && (op & 0xFF00) != 0xD600 &&
           !(op >= 0x1800 && op <= 0x187F) && op != 0xE900;
}

void FrameToMessage(const CanFrame &frame, uint8_t protocol, uint16_t host) {
    DriveMessage message{0x7777, 0x7777, 0x7777, {}};
    const DriveMessage before = message;
    const bool converted = CanFrameToMessage(frame, protocol, host, message);
    if (!converted) {
        ZFUZZ_CHECK(message.length == before.length && message.opCode == before.opCode);
        return;
    }
    ZFUZZ_CHECK(frame.dlc <= 8 && message.length <= 4);
    CanFrame again;
    if (protocol == kOrv) {
        // Only frames for the host convert, and they come back unchanged.
        ZFUZZ_CHECK((message.address & 0x1FFE) == host);
        if (frame.extended && frame.id < (1u << 29)) {
            ZFUZZ_CHECK(MessageToCanFrame(message, kOrv, again));
            ZFUZZ_CHECK(SameFrame(again, frame));
        }
        return;
    }
    ZFUZZ_CHECK((message.address | 1) == (host | 1));
    // Back again only on a host TorvaneCAN can address (axis 1..31, nothing else set).
    const uint32_t h = host >> 4;
    const bool properHost = h >= 1 && h <= 31 && (host & 0x0F) == 0;
    const bool general = frame.id == (0x120 | h) || frame.id == (0x140 | h);
    if (properHost && general && GeneralTorvaneOp(message.opCode) && !frame.extended) {
        ZFUZZ_CHECK(MessageToCanFrame(message, kTorvane, again));
        ZFUZZ_CHECK(SameFrame(again, frame));
    }
}

void MessageToFrame(const DriveMessage &message, uint8_t protocol) {
    CanFrame frame;
    const bool converted = MessageToCanFrame(message, protocol, frame);
    if (message.length > 4) {
        ZFUZZ_CHECK(!converted);
        return;
    }
    if (protocol == kOrv) ZFUZZ_CHECK(converted);
    if (!converted) return;
    ZFUZZ_CHECK(frame.dlc <= 8);
    ZFUZZ_CHECK(frame.extended == (protocol == kOrv));
    ZFUZZ_CHECK(frame.id < (protocol == kOrv ? 1u << 29 : 1u << 11));
    DriveMessage back{};
    if (protocol == kOrv) {
        ZFUZZ_CHECK(CanFrameToMessage(frame, kOrv, message.address & 0x1FFE, back));
        ZFUZZ_CHECK(back.address == (message.address & 0x1FFF) && back.opCode == message.opCode);
        ZFUZZ_CHECK(SameWords(back, message));
        return;
    }
    const bool toOneAxis = (message.address & kGroupFlag) == 0;
    const uint16_t axisBits = static_cast<uint16_t>((message.address >> 4) & 0x1F);
    if (toOneAxis && axisBits != 0 && GeneralTorvaneOp(message.opCode)) {
        const auto host = static_cast<uint16_t>(axisBits << 4);
        ZFUZZ_CHECK(CanFrameToMessage(frame, kTorvane, host, back));
        ZFUZZ_CHECK(back.opCode == message.opCode);
        ZFUZZ_CHECK(back.address == (host | (message.address & kPcBit)));
        ZFUZZ_CHECK(SameWords(back, message));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input input(data, size);
    while (input.remaining() >= 17) {
        const uint8_t kind = input.Byte();
        const uint8_t protocol = (kind & 1) ? kTorvane : kOrv;
        const uint16_t host = input.Word();
        CanFrame frame;
        frame.extended = (kind & 2) != 0;
        frame.id = input.Long();
        frame.dlc = input.Byte();
        const auto bytes = input.Bytes(8);
        std::copy(bytes.begin(), bytes.end(), frame.bytes.begin());
        // Host addresses as a channel holds them: an axis ID shifted left by four.
        FrameToMessage(frame, protocol, static_cast<uint16_t>(host & 0x0FF0));
        if (kind & 4) FrameToMessage(frame, protocol, host); // and any other value

        DriveMessage message{};
        message.length = static_cast<uint16_t>(input.Byte() % 6);
        message.address = host;
        message.opCode = static_cast<uint16_t>(frame.id);
        for (size_t i = 0; i < 4; ++i)
            message.data[i] = static_cast<uint16_t>(frame.bytes[2 * i] | frame.bytes[2 * i + 1] << 8);
        MessageToFrame(message, protocol);
    }
    return 0;
}

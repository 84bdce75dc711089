#include "can_codec.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

namespace {

using canbus::BusFrame;

constexpr uint16_t kPcBitMask = 0x0001;

void PutWord(BusFrame &frame, std::size_t at, uint16_t word)
{
    frame.data[at] = static_cast<uint8_t>(word & 0xFF);
    frame.data[at + 1] = static_cast<uint8_t>(word >> 8);
}

uint16_t GetWord(const BusFrame &frame, std::size_t at)
{
    return static_cast<uint16_t>(frame.data[at] | frame.data[at + 1] << 8);
}

// Words from byte `from` on, as many whole words as the dlc holds, stored from `firstIndex`.
void TakeWords(const BusFrame &frame, std::size_t from, Message &message, std::size_t firstIndex = 0)
{
    std::size_t index = firstIndex;
    for (std::size_t at = from; at + 2 <= frame.dlc && index < kMaxWords; at += 2) {
        message.data[index++] = GetWord(frame, at);
    }
    message.length = static_cast<uint16_t>(index);
}

BusFrame Standard(uint32_t id)
{
    BusFrame frame;
    frame.id = id;
    return frame;
}

// op code low, op code high, then the words.
std::optional<BusFrame> OpAndWords(uint32_t id, const Message &message, std::size_t maxWords)
{
    if (message.length > maxWords) return std::nullopt;
    BusFrame frame = Standard(id);
    PutWord(frame, 0, message.opCode);
    for (std::size_t i = 0; i < message.length; ++i) PutWord(frame, 2 + 2 * i, message.data[i]);
    frame.dlc = static_cast<uint8_t>(2 + 2 * message.length);
    return frame;
}

std::optional<BusFrame> EncodeOrv(const Message &message)
{
    if (message.length > kMaxWords) return std::nullopt;
    BusFrame frame;
    frame.extended = true;
    frame.id = (uint32_t{message.opCode} & 0xFE00) << 13 | (uint32_t{message.address} & 0x1FFF) << 9 |
               (message.opCode & 0x1FF);
    for (std::size_t i = 0; i < message.length; ++i) PutWord(frame, 2 * i, message.data[i]);
    frame.dlc = static_cast<uint8_t>(2 * message.length);
    return frame;
}

std::optional<BusFrame> EncodeTorvaneGroup(const Message &message, uint32_t a)
{
    const uint16_t op = message.opCode;
    if (message.length > 3 || (op & 0xFFFE) == 0xB404 || (op & 0xFF00) == 0xD400 || (op & 0xFF80) == 0x1800 ||
        (message.address & kPcBitMask) != 0) {
        return std::nullopt;
    }
    return OpAndWords(a == 0 ? 0x200 : a, message, 3);
}

std::optional<BusFrame> EncodeTorvane(const Message &message)
{
    if (message.length > kMaxWords) return std::nullopt;
    const uint16_t op = message.opCode;
    const uint32_t a = (message.address >> 4) & 0x1F;
    if (message.address & 0x1000) return EncodeTorvaneGroup(message, a);

    if ((op & 0xFFFE) == 0xB404) {
        BusFrame frame = Standard(0x160 | a);
        frame.data[0] = static_cast<uint8_t>(op & 0xFF);
        frame.data[1] = static_cast<uint8_t>(((message.data[0] >> 4) & 0x1F) << 3 | (message.address & 1) << 2 |
                                             ((op >> 8) & 3));
        for (std::size_t i = 1; i < message.length; ++i) PutWord(frame, 2 * i, message.data[i]);
        frame.dlc = static_cast<uint8_t>(message.length <= 1 ? 2 : 2 * message.length);
        return frame;
    }
    if ((op & 0xFF00) == 0xD400 || (op & 0xFF00) == 0xD600) {
        if (message.length > 3) return std::nullopt;
        BusFrame frame = Standard(0x100 | (op & 0x1F));
        frame.data[0] = (op & 0xFF00) == 0xD600 ? 0x40 : static_cast<uint8_t>((op >> 1) & 0x80);
        for (std::size_t i = 0; i < message.length; ++i) PutWord(frame, 1 + 2 * i, message.data[i]);
        frame.dlc = static_cast<uint8_t>(1 + 2 * message.length);
        return frame;
    }
    if (op >= 0x1800 && op <= 0x187F) {
        if (message.length != 4) return std::nullopt;
        BusFrame frame = Standard(0x40 | a);
        for (std::size_t i = 0; i < 3; ++i) PutWord(frame, 2 * i, message.data[i]);
        frame.data[6] = static_cast<uint8_t>(message.data[3] & 0xFF);
        frame.data[7] = static_cast<uint8_t>((message.data[3] >> 8) | (op & 0x7F) << 1);
        frame.dlc = 8;
        return frame;
    }
    if (op == 0xE900) {
        BusFrame frame = Standard(0x20 | a);
        for (std::size_t i = 0; i < message.length; ++i) PutWord(frame, 2 * i, message.data[i]);
        frame.dlc = static_cast<uint8_t>(2 * message.length);
        return frame;
    }
    return OpAndWords(((message.address & kPcBitMask) ? 0x140 : 0x120) | a, message, 3);
}

// A standard frame that carries op code low, op code high, then words.
std::optional<Message> OpFrame(const BusFrame &frame, uint16_t address)
{
    if (frame.dlc < 2 || frame.dlc % 2 != 0) return std::nullopt;
    Message message;
    message.address = address;
    message.opCode = GetWord(frame, 0);
    TakeWords(frame, 2, message);
    return message;
}

std::optional<Message> DecodeOrv(const BusFrame &frame)
{
    if (frame.dlc % 2 != 0) return std::nullopt;
    Message message;
    message.address = static_cast<uint16_t>((frame.id >> 9) & 0x1FFF);
    message.opCode = static_cast<uint16_t>(((frame.id >> 13) & 0xFE00) | (frame.id & 0x1FF));
    TakeWords(frame, 0, message);
    return message;
}

// The classes both directions share; `axisAddress` is the identifier's low five bits << 4.
std::optional<Message> DecodeTorvaneClass(const BusFrame &frame, uint32_t cls, uint16_t axisAddress)
{
    if (cls == 0x020) {
        if (frame.dlc % 2 != 0) return std::nullopt;
        Message message;
        message.address = axisAddress;
        message.opCode = 0xE900;
        TakeWords(frame, 0, message);
        return message;
    }
    if (cls == 0x100) {
        if (frame.dlc % 2 == 0) return std::nullopt;
        Message message;
        message.address = 0x1000;
        const uint8_t first = frame.data[0];
        message.opCode = static_cast<uint16_t>((first & 0x40) ? 0xD600 | (frame.id & 0x1F)
                                                              : 0xD400 | ((first & 0x80) ? 0x100 : 0) | (frame.id & 0x1F));
        TakeWords(frame, 1, message);
        return message;
    }
    if (cls == 0x120 || cls == 0x140) {
        return OpFrame(frame, static_cast<uint16_t>(axisAddress | (cls == 0x140 ? kPcBitMask : 0)));
    }
    if (cls == 0x160) {
        if (frame.dlc < 2 || frame.dlc % 2 != 0) return std::nullopt;
        Message message;
        const uint8_t second = frame.data[1];
        message.opCode = static_cast<uint16_t>(0xB400 | frame.data[0] | (second & 3) << 8);
        message.address = static_cast<uint16_t>(axisAddress | ((second >> 2) & 1));
        message.data[0] = static_cast<uint16_t>(((second >> 3) & 0x1F) << 4);
        TakeWords(frame, 2, message, 1);
        return message;
    }
    return std::nullopt;
}

std::optional<Message> DecodeTorvaneForDrives(const BusFrame &frame)
{
    const uint32_t a = frame.id & 0x1F;
    const auto axisAddress = static_cast<uint16_t>(a << 4);
    if (frame.id == 0x200) return OpFrame(frame, 0x1000);
    if (frame.id >= 0x001 && frame.id <= 0x01F) return OpFrame(frame, static_cast<uint16_t>(0x1000 | axisAddress));
    const uint32_t cls = frame.id & 0x7E0;
    if (cls == 0x040) {
        if (frame.dlc != 8) return std::nullopt;
        Message message;
        message.address = axisAddress;
        message.opCode = static_cast<uint16_t>(0x1800 | (frame.data[7] >> 1));
        message.length = 4;
        for (std::size_t i = 0; i < 3; ++i) message.data[i] = GetWord(frame, 2 * i);
        message.data[3] = static_cast<uint16_t>(frame.data[6] | (frame.data[7] & 1) << 8);
        return message;
    }
    return DecodeTorvaneClass(frame, cls, axisAddress);
}

} // namespace

std::optional<CanProtocol> ParseCanProtocol(std::string_view text)
{
    if (text == "orv") return CanProtocol::Orv;
    if (text == "torvanecan") return CanProtocol::TorvaneCan;
    return std::nullopt;
}

const char *CanProtocolName(CanProtocol protocol)
{
    return protocol == CanProtocol::Orv ? "orv" : "torvanecan";
}

std::optional<canbus::BusFrame> EncodeCanMessage(const Message &message, CanProtocol protocol)
{
    return protocol == CanProtocol::Orv ? EncodeOrv(message) : EncodeTorvane(message);
}

std::optional<Message> DecodeForDrives(const canbus::BusFrame &frame, CanProtocol protocol)
{
    if (frame.error || frame.remote || frame.dlc > 8) return std::nullopt;
    if (frame.extended != (protocol == CanProtocol::Orv)) return std::nullopt;
    return protocol == CanProtocol::Orv ? DecodeOrv(frame) : DecodeTorvaneForDrives(frame);
}

std::optional<Message> DecodeForPc(const canbus::BusFrame &frame, CanProtocol protocol)
{
    if (frame.error || frame.remote || frame.dlc > 8) return std::nullopt;
    if (frame.extended != (protocol == CanProtocol::Orv)) return std::nullopt;
    if (protocol == CanProtocol::Orv) return DecodeOrv(frame);
    if (frame.dlc == 0) return std::nullopt;
    return DecodeTorvaneClass(frame, frame.id & 0x7E0, static_cast<uint16_t>((frame.id & 0x1F) << 4));
}

std::string DescribeFrame(const canbus::BusFrame &frame)
{
    char text[48];
    std::snprintf(text, sizeof text, frame.extended ? "%08X" : "%03X", frame.id);
    std::string line = text;
    if (frame.extended) line += 'x';
    if (frame.remote) line += 'r';
    line += ':';
    if (frame.dlc == 0 || frame.remote) {
        line += '-';
    } else {
        for (std::size_t i = 0; i < frame.dlc && i < 8; ++i) {
            std::snprintf(text, sizeof text, "%02X", frame.data[i]);
            line += text;
        }
    }
    return line;
}

unsigned FrameBits(const canbus::BusFrame &frame)
{
    constexpr unsigned kIntermission = 3;
    if (frame.error) return 6 + 8 + kIntermission; // flag and delimiter
    const unsigned data = frame.remote ? 0 : 8u * std::min<unsigned>(frame.dlc, 8);
    return (frame.extended ? 64u : 44u) + data + kIntermission;
}

} // namespace zsim

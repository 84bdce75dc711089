#include "serial_codec.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

Message Message::Make(uint16_t address, uint16_t opCode, std::span<const uint16_t> words)
{
    Message message;
    message.address = address;
    message.opCode = opCode;
    message.length = static_cast<uint16_t>(std::min(words.size(), kMaxWords));
    std::copy_n(words.begin(), message.length, message.data.begin());
    return message;
}

std::string Describe(const Message &message)
{
    char text[64];
    int used = std::snprintf(text, sizeof text, "%04X:%04X", message.address, message.opCode);
    for (std::size_t i = 0; i < message.length && i < kMaxWords; ++i) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "%c%04X",
                              i == 0 ? ':' : ',', message.data[i]);
    }
    return text;
}

uint8_t Checksum(std::span<const uint8_t> bytes)
{
    unsigned sum = 0;
    for (uint8_t byte : bytes) sum += byte;
    return static_cast<uint8_t>(sum);
}

std::vector<uint8_t> BuildFrame(const Message &message)
{
    const std::size_t words = std::min<std::size_t>(message.length, kMaxWords);
    std::vector<uint8_t> frame;
    frame.reserve(2 * words + 6);
    frame.push_back(static_cast<uint8_t>(2 * words + 4));
    auto put = [&frame](uint16_t word) {
        frame.push_back(static_cast<uint8_t>(word >> 8));
        frame.push_back(static_cast<uint8_t>(word));
    };
    put(message.address);
    put(message.opCode);
    for (std::size_t i = 0; i < words; ++i) put(message.data[i]);
    frame.push_back(Checksum(frame));
    return frame;
}

FrameParser::Event FrameParser::Feed(uint8_t byte)
{
    if (expected_ == 0) {
        if (byte == kSyncByte) return Event::Sync;
        if (!IsLengthByte(byte)) return Event::BadLength;
        expected_ = static_cast<std::size_t>(byte) + 2;
        frame_[0] = byte;
        received_ = 1;
        return Event::None;
    }
    frame_[received_++] = byte;
    if (received_ < expected_) return Event::None;

    const std::size_t words = (frame_[0] - 4u) / 2;
    auto word = [this](std::size_t at) {
        return static_cast<uint16_t>(frame_[at] << 8 | frame_[at + 1]);
    };
    message_ = Message{};
    message_.length = static_cast<uint16_t>(words);
    message_.address = word(1);
    message_.opCode = word(3);
    for (std::size_t i = 0; i < words; ++i) message_.data[i] = word(5 + 2 * i);
    const bool good = Checksum({frame_.data(), expected_ - 1}) == frame_[expected_ - 1];
    expected_ = 0;
    received_ = 0;
    return good ? Event::Frame : Event::BadChecksum;
}

bool FrameParser::Abandon()
{
    const bool had = expected_ != 0;
    expected_ = 0;
    received_ = 0;
    return had;
}

} // namespace zsim

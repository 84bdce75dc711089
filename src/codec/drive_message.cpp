#include "codec/drive_message.h"

namespace zorcomm {

namespace {

uint8_t Checksum(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (uint8_t byte : bytes) sum += byte;
    return static_cast<uint8_t>(sum);
}

uint16_t WordAt(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

} // namespace

// Every message goes through here: the checksum is summed as the bytes are put, in one pass.
SerialFrame BuildSerialFrame(const DriveMessage &message) {
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

int ParseSerialFrame(uint8_t firstByte, const ReadExactly &read, DriveMessage &message) {
    if (firstByte % 2 != 0 || firstByte < 4 || firstByte > 12) return -1;
    std::array<uint8_t, kMaxSerialFrame> frame{};
    frame[0] = firstByte;
    const std::span<uint8_t> rest{frame.data() + 1, static_cast<size_t>(firstByte) + 1};
    if (!read(rest)) return 0;
    const std::span<const uint8_t> bytes{frame.data(), static_cast<size_t>(firstByte) + 2};
    message.address = WordAt(bytes, 1);
    message.opCode = WordAt(bytes, 3);
    message.length = static_cast<uint16_t>((firstByte - 4) / 2);
    for (uint16_t i = 0; i < message.length; ++i) message.data[i] = WordAt(bytes, 5 + 2 * i);
    return Checksum(bytes.first(firstByte + 1)) == bytes[firstByte + 1] ? 1 : -1;
}

} // namespace zorcomm

#include "codec/drive_message.h"

namespace zorcomm {

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

} // namespace zorcomm

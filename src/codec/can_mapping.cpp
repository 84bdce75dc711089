#include "codec/can_mapping.h"

#include "codec/drive_message.h"

namespace zorcomm {

namespace {

// Fills bytes from `offset` with data words, low byte first.
void PutWords(CanFrame &frame, size_t offset, const DriveMessage &message, uint16_t first) {
    for (uint16_t i = first; i < message.length; ++i) {
        frame.bytes[offset++] = static_cast<uint8_t>(message.data[i]);
        frame.bytes[offset++] = static_cast<uint8_t>(message.data[i] >> 8);
    }
}

void TakeWords(const CanFrame &frame, size_t offset, DriveMessage &message, uint16_t first) {
    for (uint16_t i = first; i < message.length && offset + 1 < frame.bytes.size(); ++i) {
        message.data[i] = static_cast<uint16_t>(frame.bytes[offset] | frame.bytes[offset + 1] << 8);
        offset += 2;
    }
}

void PutOpCode(CanFrame &frame, uint16_t opCode) {
    frame.bytes[0] = static_cast<uint8_t>(opCode);
    frame.bytes[1] = static_cast<uint8_t>(opCode >> 8);
}

CanFrame OrvFrame(const DriveMessage &message) {
    CanFrame frame;
    frame.extended = true;
    frame.id = static_cast<uint32_t>(message.opCode & 0xFE00) << 13 |
               static_cast<uint32_t>(message.address & 0x1FFF) << 9 | (message.opCode & 0x1FF);
    frame.dlc = static_cast<uint8_t>(2 * message.length);
    PutWords(frame, 0, message, 0);
    return frame;
}

bool TorvaneGroupFrame(const DriveMessage &m, uint16_t axisBits, CanFrame &frame) {
    if (m.length > 3 || (m.opCode & 0xFFFE) == 0xB404 || (m.opCode & 0xFF00) == 0xD400 ||
        (m.opCode & 0xFF80) == 0x1800 || (m.address & kPcBit))
        return false;
    frame.id = axisBits == 0 ? 0x200 : axisBits;
    PutOpCode(frame, m.opCode);
    PutWords(frame, 2, m, 0);
    frame.dlc = static_cast<uint8_t>(2 + 2 * m.length);
    return true;
}

bool TorvaneAxisFrame(const DriveMessage &m, uint16_t a, CanFrame &frame) {
    const uint16_t op = m.opCode;
    if (op == 0xB404 || op == 0xB405) {
        frame.id = 0x160u | a;
        frame.bytes[0] = static_cast<uint8_t>(op);
        frame.bytes[1] = static_cast<uint8_t>(((m.data[0] >> 4) & 0x1F) << 3 | (m.address & 1) << 2 |
                                              ((op >> 8) & 3));
        PutWords(frame, 2, m, 1);
        frame.dlc = static_cast<uint8_t>(m.length <= 1 ? 2 : 2 * m.length);
        return true;
    }
    if ((op & 0xFF00) == 0xD400 || (op & 0xFF00) == 0xD600) {
        if (m.length > 3) return false;
        frame.id = 0x100u | (op & 0x1F);
        frame.bytes[0] = (op & 0xFF00) == 0xD600 ? 0x40 : static_cast<uint8_t>((op >> 1) & 0x80);
        PutWords(frame, 1, m, 0);
        frame.dlc = static_cast<uint8_t>(1 + 2 * m.length);
        return true;
    }
    if (op >= 0x1800 && op <= 0x187F) {
        if (m.length != 4) return false;
        frame.id = 0x40u | a;
        DriveMessage firstThree = m;
        firstThree.length = 3;
        PutWords(frame, 0, firstThree, 0);
        frame.bytes[6] = static_cast<uint8_t>(m.data[3]);
        frame.bytes[7] = static_cast<uint8_t>((m.data[3] >> 8) | ((op & 0x7F) << 1));
        frame.dlc = 8;
        return true;
    }
    if (op == 0xE900) {
        frame.id = 0x20u | a;
        PutWords(frame, 0, m, 0);
        frame.dlc = static_cast<uint8_t>(2 * m.length);
        return true;
    }
    if (m.length > 3) return false;
    frame.id = ((m.address & kPcBit) ? 0x140u : 0x120u) | a;
    PutOpCode(frame, op);
    PutWords(frame, 2, m, 0);
    frame.dlc = static_cast<uint8_t>(2 + 2 * m.length);
    return true;
}

bool OrvMessage(const CanFrame &frame, uint16_t hostAddress, DriveMessage &message) {
    if (frame.dlc % 2 != 0 || frame.dlc > 8) return false;
    if (((frame.id >> 9) & 0x1FFE) != hostAddress) return false;
    message.address = static_cast<uint16_t>((frame.id >> 9) & 0x1FFF);
    message.opCode = static_cast<uint16_t>(((frame.id >> 13) & 0xFE00) | (frame.id & 0x1FF));
    message.length = frame.dlc / 2;
    TakeWords(frame, 0, message, 0);
    return true;
}

bool TorvaneMessage(const CanFrame &f, uint16_t hostAddress, DriveMessage &m) {
    if (f.dlc == 0 || f.dlc > 8) return false;
    const uint32_t h = hostAddress >> 4;
    const bool even = f.dlc % 2 == 0;
    m.address = hostAddress;
    if ((f.id & 0x7E0) == 0x020) {
        if (!even || (f.id & 0x1F) != h) return false;
        m.opCode = 0xE900;
        m.length = f.dlc / 2;
        TakeWords(f, 0, m, 0);
        return true;
    }
    if ((f.id & 0x7E0) == 0x100) {
        if (even) return false;
        const uint16_t low = static_cast<uint16_t>(f.id & 0x1F);
        m.opCode = (f.bytes[0] & 0x40) ? static_cast<uint16_t>(0xD600 | low)
                                       : static_cast<uint16_t>(0xD400 | ((f.bytes[0] & 0x80) ? 0x100 : 0) | low);
        m.length = (f.dlc - 1) / 2;
        TakeWords(f, 1, m, 0);
        return true;
    }
    if (!even) return false;
    if (f.id == (0x160 | h)) {
        m.opCode = static_cast<uint16_t>(0xB400 | f.bytes[0]);
        m.address = static_cast<uint16_t>(hostAddress | ((f.bytes[1] >> 2) & 1));
        m.length = f.dlc / 2;
        m.data[0] = static_cast<uint16_t>(((f.bytes[1] >> 3) & 0x1F) << 4);
        TakeWords(f, 2, m, 1);
        return true;
    }
    if (f.id == (0x120 | h) || f.id == (0x140 | h)) {
        m.opCode = static_cast<uint16_t>(f.bytes[0] | f.bytes[1] << 8);
        m.length = static_cast<uint16_t>(f.dlc / 2 - 1);
        if (f.id == (0x140 | h)) m.address = static_cast<uint16_t>(hostAddress | 1);
        TakeWords(f, 2, m, 0);
        return true;
    }
    return false;
}

} // namespace

bool MessageToCanFrame(const DriveMessage &message, uint8_t protocolFlag, CanFrame &frame) {
    if (message.length > 4) return false;
    if (protocolFlag != CHANNEL_PROTOCOL_TORVANECAN) {
        frame = OrvFrame(message);
        return true;
    }
    frame = CanFrame{};
    const auto a = static_cast<uint16_t>((message.address >> 4) & 0x1F);
    return (message.address & kGroupFlag) ? TorvaneGroupFrame(message, a, frame)
                                          : TorvaneAxisFrame(message, a, frame);
}

bool CanFrameToMessage(const CanFrame &frame, uint8_t protocolFlag, uint16_t hostAddress,
                       DriveMessage &message) {
    DriveMessage converted{};
    const bool ok = protocolFlag == CHANNEL_PROTOCOL_TORVANECAN
                        ? TorvaneMessage(frame, hostAddress, converted)
                        : OrvMessage(frame, hostAddress, converted);
    if (ok) message = converted;
    return ok;
}

AcceptanceFilter HostAcceptance(uint8_t protocolFlag, uint16_t hostAddress) {
    if (protocolFlag == CHANNEL_PROTOCOL_TORVANECAN) return {0, 0x680};
    return {static_cast<uint32_t>(hostAddress) << 9, 0x3FFC00};
}

} // namespace zorcomm

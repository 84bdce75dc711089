// The packets between `zorcomm-sim can-bus` and its clients (the stand-in adapter libraries) on
// the bus's Unix-domain SOCK_SEQPACKET socket: one packet per record, host byte order.
//
// A client sends a hello first, then a bit-rate packet whenever its adapter starts, stops or
// changes rate, and frames; the bus sends frames. A client may also send a sync packet, which
// the bus sends straight back: every frame the bus sent the client before it read the sync is
// then in the client's socket ahead of the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zsim::canbus {

enum class PacketType : uint8_t { Hello = 1, BitRate = 2, Frame = 3, Sync = 4 };

inline constexpr uint8_t kExtended = 0x01;
inline constexpr uint8_t kRemote = 0x02;
inline constexpr uint8_t kErrorFrame = 0x04;

// A client's frame may name where it comes from (`name`: the SocketCAN interposer names its
// interface) and, with kNoLocalEcho in `reserved`, ask the other sockets of that interface not
// to see it (their CAN_RAW_LOOPBACK is off). The bus passes both on with the frame; clients
// that do not care leave them zero and ignore them.
inline constexpr uint8_t kNoLocalEcho = 0x01;
// A hello with kWantWelcome in `reserved` is answered with a hello from the bus once the client
// takes part, so that a client can wait until it hears every frame sent from then on.
inline constexpr uint8_t kWantWelcome = 0x01;

inline constexpr uint32_t kMaxStandardId = 0x7FF;
inline constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
// The bit rate of an adapter set to timing the bus does not know: it never meets anybody.
inline constexpr uint32_t kUnknownRate = 1;
inline constexpr std::size_t kNameSize = 16;

struct Packet {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint8_t dlc = 0;
    uint8_t reserved = 0; // frame: kNoLocalEcho
    uint32_t id = 0;
    uint32_t value = 0; // hello, bit rate: bit/s, 0 = not started
    uint32_t pid = 0;   // hello
    uint8_t data[8] = {};
    char name[kNameSize] = {}; // hello: the family; frame: where it comes from
};
static_assert(sizeof(Packet) == 40, "bus packet layout");

// A frame as it travels on the bus.
struct BusFrame {
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    bool error = false;
    uint8_t dlc = 0;
    uint8_t data[8] = {};
};

inline bool ValidFrame(const BusFrame &frame)
{
    if (frame.dlc > 8) return false;
    if (frame.error) return true;
    return frame.id <= (frame.extended ? kMaxExtendedId : kMaxStandardId);
}

inline Packet FramePacket(const BusFrame &frame)
{
    Packet packet;
    packet.type = static_cast<uint8_t>(PacketType::Frame);
    packet.flags = static_cast<uint8_t>((frame.extended ? kExtended : 0) | (frame.remote ? kRemote : 0) |
                                        (frame.error ? kErrorFrame : 0));
    packet.dlc = frame.dlc;
    packet.id = frame.id;
    std::memcpy(packet.data, frame.data, sizeof packet.data);
    return packet;
}

// False for a packet that is not a well-formed frame.
inline bool PacketFrame(const Packet &packet, BusFrame &frame)
{
    if (packet.type != static_cast<uint8_t>(PacketType::Frame)) return false;
    if ((packet.flags & ~(kExtended | kRemote | kErrorFrame)) != 0) return false;
    frame.id = packet.id;
    frame.extended = (packet.flags & kExtended) != 0;
    frame.remote = (packet.flags & kRemote) != 0;
    frame.error = (packet.flags & kErrorFrame) != 0;
    frame.dlc = packet.dlc;
    std::memcpy(frame.data, packet.data, sizeof frame.data);
    return ValidFrame(frame);
}

inline Packet HelloPacket(std::string_view family, uint32_t pid)
{
    Packet packet;
    packet.type = static_cast<uint8_t>(PacketType::Hello);
    packet.pid = pid;
    std::memcpy(packet.name, family.data(), family.size() < kNameSize ? family.size() : kNameSize - 1);
    return packet;
}

// `value` tells a client's syncs apart.
inline Packet SyncPacket(uint32_t number)
{
    Packet packet;
    packet.type = static_cast<uint8_t>(PacketType::Sync);
    packet.value = number;
    return packet;
}

inline Packet BitRatePacket(uint32_t rate)
{
    Packet packet;
    packet.type = static_cast<uint8_t>(PacketType::BitRate);
    packet.value = rate;
    return packet;
}

} // namespace zsim::canbus

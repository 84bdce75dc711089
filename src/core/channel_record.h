// The channel record of a slot: channel type codes, the protocol flag and the fields a slot
// carries for its channel. Slots live in the region shared by all processes, so everything here
// is plain data: no pointers, no per-process objects (those live in the per-process table).
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>

#include "platform/can_socket.h"
#include "platform/platform.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"

namespace zorcomm {

constexpr int kSlotCount = 32;
constexpr uint8_t kTypeMask = 0x7F;
constexpr uint8_t kProtocolMask = 0x80;
constexpr size_t kDeviceNameSize = 16;

// Type codes the library accepts (0 to 10 and 15 to 17, and 18 where the system has CAN
// sockets).
constexpr bool IsKnownChannelType(uint8_t type) {
    return type <= CHANNEL_KVASER_CAN || (type >= CHANNEL_VIRTUAL_SERIAL && type <= CHANNEL_UDP) ||
           (type == CHANNEL_SOCKETCAN && platform::kHasCanSockets);
}
// Types that carry drive messages in the serial frame.
constexpr bool IsByteStreamType(uint8_t type) {
    return type == CHANNEL_RS232 || type == CHANNEL_RS485 || type == CHANNEL_VIRTUAL_SERIAL ||
           type == CHANNEL_XPORT_TCP || type == CHANNEL_UDP;
}
constexpr bool IsCanType(uint8_t type) {
    return (type >= CHANNEL_IXXAT_CAN && type <= CHANNEL_KVASER_CAN) || type == CHANNEL_SOCKETCAN;
}
constexpr bool IsSerialPortType(uint8_t type) {
    return type == CHANNEL_RS232 || type == CHANNEL_RS485 || type == CHANNEL_LAWICEL_USBCAN;
}
constexpr bool IsEthernetType(uint8_t type) {
    return type == CHANNEL_XPORT_TCP || type == CHANNEL_UDP;
}

using platform::DeviceControlBlock;

// Serial port types 0, 1 and 9. For type 9 the first word of portSettings holds the CAN bit
// rate after the open.
struct SerialArea {
    DeviceControlBlock portSettings;
    uint8_t stateChanged;
};

// CAN adapter types 2 to 8 and 10, and SocketCAN channels (18). The adapter's own handles and the receive queue are
// per-process objects and live in the per-process table.
struct CanArea {
    uint32_t canBitRate;
};

// Ethernet types 16 and 17: the device server's addresses and serial rate. The sockets and the
// datagram buffer are this process's own and live in its link object.
struct EthernetArea {
    platform::SocketAddress peerAddress;  // the device server's configuration port 30689
    platform::SocketAddress dataAddress;  // drive traffic: the port of the device name
    platform::SocketAddress localAddress; // where this process's datagram socket is bound
    uint32_t serverBaudRate;              // the device server's rate toward the drive
};

union TypeArea {
    SerialArea serial;
    CanArea can;
    EthernetArea ethernet;
};

struct Slot {
    uint32_t processId;                 // 0 = free slot
    platform::MutexHandle tableMutex;   // this process's handle of the table mutex
    platform::MutexHandle channelMutex; // this process's handle of the link's mutex
    uint32_t channelHandle;             // 0 = no channel
    uint8_t channelType;
    uint8_t protocolFlag;
    char deviceName[kDeviceNameSize];
    uint32_t channelNumber;
    uint8_t exclusive;
    uint16_t hostAddress;
    uint8_t hostVerified;
    uint16_t activeAddress;
    TypeArea typeArea;
    uint32_t replyTimeout;
};

// Clears every field after tableMutex: the state of a slot without a channel.
void ClearChannelFields(Slot &slot);

} // namespace zorcomm

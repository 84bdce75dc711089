// The serial-to-Ethernet device server in front of the drive: its device name, the UDP command
// exchange with its configuration port, the TCP connection of CHANNEL_XPORT_TCP channels and the
// byte operations block transfers use on it.
#pragma once

#include <cstdint>
#include <span>

#include "core/channel_record.h"
#include "platform/sockets.h"
#include "transport/winsock.h"

namespace zorcomm {

constexpr uint16_t kConfigurationPort = 30689;
constexpr uint16_t kDefaultDataPort = 1700;
constexpr uint32_t kServerRateAtOpen = 9600;
// TCP sends go out in pieces of at most this many bytes.
constexpr int32_t kTcpPiece = 32;

// Commands to the configuration port; each is answered by one byte, the command plus 1.
enum class ServerCommand : uint8_t {
    AnnouncePort = 1, // + the port of the device name, 16-bit little-endian
    SetBaudRate = 3,  // + the serial rate toward the drive, 32-bit little-endian
    Close = 5,        // alone
};

// "host" or "host:port": the IPv4 address (network order) of the host, a dotted address or a
// name to look up, and the port (1700 when none is given). The text after the first colon must
// start with a decimal number up to 65535 (blanks and a plus sign may come first; what follows
// the number is not looked at). Error 0x2000007b for a bad port or a host that cannot be found.
bool ResolveDeviceName(const char *name, uint32_t &address, uint16_t &port);

// One command exchange, tried up to NO_TRIES times: true when the device server answered from
// `peer` with exactly the byte command + 1. Otherwise the socket error is set (normally
// 0x200000e7, the time-out). Other datagrams that arrive meanwhile are dropped.
bool SendDeviceServerCommand(ServerCommand command, platform::Socket socket,
                             const platform::SocketAddress &peer,
                             std::span<const uint8_t> data = {});

// A TCP connection to `address` with the receive and send time-outs, keep-alive and no delay;
// logs whether it was made. kInvalidSocket when not (no error code is set).
platform::Socket ConnectDeviceServer(const platform::SocketAddress &address);

// TCP byte operations on a connected socket. Every piece moved is traced at level 3.
// All bytes, in pieces of 32: false (socket error set) when the connection stops taking them.
bool TcpSendAll(platform::Socket socket, std::span<const uint8_t> bytes);
// As many bytes as the socket takes without waiting; `bytes` and `count` advance past what went.
// A negative count is refused (0x2000007b).
bool TcpSendAvailable(platform::Socket socket, const uint8_t *&bytes, int32_t &count);
// Exactly `buffer.size()` bytes, each receive bounded by the socket's receive time-out.
bool TcpReceiveExact(platform::Socket socket, std::span<uint8_t> buffer);

// This process's side of one Ethernet channel: the datagram socket toward the device server, the
// TCP connection of CHANNEL_XPORT_TCP, and the addresses and rate kept in the slot's area.
class DeviceServer {
public:
    DeviceServer(EthernetArea &area, uint8_t channelType) : area_(area), type_(channelType) {}
    ~DeviceServer() { Close(); }
    DeviceServer(const DeviceServer &) = delete;
    DeviceServer &operator=(const DeviceServer &) = delete;

    // Datagram socket bound to the interface that routes to the device server, the port and the
    // rate 9600 announced to it, and for CHANNEL_XPORT_TCP the TCP connection (whose failure
    // does not fail the open). On failure nothing stays open and the socket error is set.
    bool Open(uint32_t address, uint16_t port);
    // Announces the close (the answer does not matter) and closes the sockets.
    void Close();
    // Command 3 with the rate, then records it and waits WAIT_AFTER_BAUD_CHANGE.
    bool SetBaudRate(uint32_t rate);
    // UDP_RECEIVE_TIMEOUT on the datagram socket, and on both directions of the TCP connection.
    bool SetTimeouts(uint32_t milliseconds);

    bool TcpConnected() const { return tcp_ != platform::kInvalidSocket; }
    bool TcpSendAll(std::span<const uint8_t> bytes) { return zorcomm::TcpSendAll(tcp_, bytes); }
    bool TcpSendAvailable(const uint8_t *&bytes, int32_t &count) {
        return zorcomm::TcpSendAvailable(tcp_, bytes, count);
    }
    bool TcpReceiveExact(std::span<uint8_t> buffer) {
        return zorcomm::TcpReceiveExact(tcp_, buffer);
    }
    // Closes the TCP connection and, on CHANNEL_XPORT_TCP, makes a new one (which may fail).
    void ResetConnection();

    platform::Socket datagramSocket() const { return udp_; }
    const EthernetArea &area() const { return area_; }

private:
    bool Bind();
    bool Announce(uint16_t port);

    EthernetArea &area_;
    uint8_t type_;
    platform::Socket udp_ = platform::kInvalidSocket;
    platform::Socket tcp_ = platform::kInvalidSocket;
};

// The device server of the selected channel; null when the selected channel is no Ethernet
// channel.
DeviceServer *CurrentDeviceServer();

// The selected channel's TCP connection, for block transfers. DeviceServerConnected tells whether
// there is one (only CHANNEL_XPORT_TCP channels have it, and only while it stands); the others
// fail with 0x20000081 on a channel without a device server.
bool DeviceServerConnected();
bool TcpSendAll(std::span<const uint8_t> bytes);
bool TcpSendAvailable(const uint8_t *&bytes, int32_t &count);
bool TcpReceiveExact(std::span<uint8_t> buffer);
void ResetDeviceServerConnection();

} // namespace zorcomm

#include "transport/device_server.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {

namespace {

using platform::Socket;
using platform::SocketAddress;

constexpr const char *kConnectionCaption = "XPort TCP connection";
constexpr int32_t kWsaConnectionReset = 10054;
constexpr size_t kAnswerBufferSize = 128;

uint32_t ReceiveTimeout() { return Shared()->settings.udpReceiveTimeout; }

SocketAddress InetAddress(uint32_t address, uint16_t port) {
    SocketAddress result{};
    result.family = platform::kAddressFamilyInet;
    result.port = WinSock().htons(port);
    result.address = address;
    return result;
}

bool SameSource(const SocketAddress &from, int32_t fromLength, const SocketAddress &expected) {
    return fromLength == platform::kSocketAddressSize && from.port == expected.port &&
           from.address == expected.address;
}

bool SetMilliseconds(Socket socket, int32_t option, uint32_t milliseconds) {
    return WinSock().setsockopt(socket, platform::kSocketLevel, option, &milliseconds,
                                sizeof milliseconds) == 0;
}

bool SetFlag(Socket socket, int32_t level, int32_t option) {
    const uint32_t on = 1;
    return WinSock().setsockopt(socket, level, option, &on, sizeof on) == 0;
}

bool SetNonBlocking(Socket socket, bool on) {
    const uint32_t value = on ? 1 : 0;
    uint32_t returned = 0;
    return WinSock().WSAIoctl(socket, platform::kIoctlNonBlocking, &value, sizeof value, nullptr,
                              0, &returned, nullptr, nullptr) == 0;
}

std::array<uint8_t, 4> LittleEndian(uint32_t value) {
    return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF),
            static_cast<uint8_t>((value >> 16) & 0xFF), static_cast<uint8_t>(value >> 24)};
}

int32_t Remaining(size_t count) { return static_cast<int32_t>(std::min<size_t>(count, INT32_MAX)); }

void TraceTcp(const char *caption, const uint8_t *bytes, int32_t count) {
    Trace(kLogTraffic, caption, bytes, static_cast<uint16_t>(std::min<int32_t>(count, 0xFFFF)));
}

// "%hu" without its wrap-around: a number above 65535 or with a minus sign is no port.
bool ParsePort(const char *text, uint16_t &port) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    if (*text == '+') ++text;
    if (*text < '0' || *text > '9') return false;
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > 0xFFFF) return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

bool LookUpHost(const std::string &host, uint32_t &address) {
    const platform::WinSockApi &api = WinSock();
    address = api.inet_addr(host.c_str());
    if (address != platform::kAddressNone) return true;
    const platform::HostEntry *entry = api.gethostbyname(host.c_str());
    if (!entry || entry->h_length != 4 || !entry->h_addr_list || !entry->h_addr_list[0]) {
        if (!entry) MapWinSockError();
        return false;
    }
    std::copy_n(entry->h_addr_list[0], 4, reinterpret_cast<char *>(&address));
    return true;
}

enum class Answer { Valid, None, WaitedOut };

// Receives until the expected one-byte answer comes from `peer`, a receive ends without one, or
// foreign datagrams have kept the wait going for a whole receive time-out.
Answer AwaitAnswer(Socket socket, const SocketAddress &peer, uint8_t expected) {
    const platform::WinSockApi &api = WinSock();
    const uint32_t start = platform::TickCount();
    std::array<uint8_t, kAnswerBufferSize> buffer{};
    while (true) {
        SocketAddress from{};
        int32_t fromLength = platform::kSocketAddressSize;
        const int32_t received = api.recvfrom(
            socket, buffer.data(), static_cast<int32_t>(buffer.size()), 0, &from, &fromLength);
        if (received <= 0) return Answer::None;
        if (received == 1 && SameSource(from, fromLength, peer) && buffer[0] == expected)
            return Answer::Valid;
        if (platform::TicksSince(start) >= ReceiveTimeout()) return Answer::WaitedOut;
    }
}

} // namespace

bool ResolveDeviceName(const char *name, uint32_t &address, uint16_t &port) {
    if (!name) return SetError(Error::InvalidParameter);
    const std::string text(name);
    const size_t colon = text.find(':');
    port = kDefaultDataPort;
    if (colon != std::string::npos && !ParsePort(name + colon + 1, port))
        return SetError(Error::InvalidParameter);
    if (!LookUpHost(text.substr(0, colon), address)) return SetError(Error::InvalidParameter);
    return true;
}

bool SendDeviceServerCommand(ServerCommand command, Socket socket, const SocketAddress &peer,
                             std::span<const uint8_t> data) {
    std::array<uint8_t, kAnswerBufferSize> datagram{};
    if (data.size() >= datagram.size()) return SetError(Error::InvalidParameter);
    datagram[0] = static_cast<uint8_t>(command);
    std::copy(data.begin(), data.end(), datagram.begin() + 1);
    const auto length = static_cast<int32_t>(data.size() + 1);
    const auto expected = static_cast<uint8_t>(datagram[0] + 1);
    const platform::WinSockApi &api = WinSock();
    bool waitedOut = false;
    for (uint8_t attempt = 0; attempt < Context().settings.noTries; ++attempt) {
        if (api.sendto(socket, datagram.data(), length, 0, &peer, platform::kSocketAddressSize) !=
            length) {
            waitedOut = false;
            break;
        }
        const Answer answer = AwaitAnswer(socket, peer, expected);
        if (answer == Answer::Valid) return true;
        waitedOut = answer == Answer::WaitedOut;
    }
    // A wait that foreign datagrams kept going ended without a socket error of its own.
    if (waitedOut) return SetError(WinSockErrorCode(platform::kWsaTimedOut));
    return MapWinSockError();
}

Socket ConnectDeviceServer(const SocketAddress &address) {
    const platform::WinSockApi &api = WinSock();
    const uint32_t timeout = ReceiveTimeout();
    Socket socket = api.socket(platform::kAddressFamilyInet, platform::kSocketStream,
                               platform::kProtocolTcp);
    if (socket != platform::kInvalidSocket) {
        const bool connected =
            SetMilliseconds(socket, platform::kOptionReceiveTimeout, timeout) &&
            SetMilliseconds(socket, platform::kOptionSendTimeout, timeout) &&
            SetFlag(socket, platform::kSocketLevel, platform::kOptionKeepAlive) &&
            SetFlag(socket, platform::kProtocolTcp, platform::kTcpNoDelay) &&
            api.connect(socket, &address, platform::kSocketAddressSize) == 0;
        if (!connected) {
            api.closesocket(socket);
            socket = platform::kInvalidSocket;
        }
    }
    Log(kLogInfo, kConnectionCaption,
        socket != platform::kInvalidSocket ? "Connection established" : "Connection has failed");
    return socket;
}

bool TcpSendAll(Socket socket, std::span<const uint8_t> bytes) {
    const platform::WinSockApi &api = WinSock();
    size_t done = 0;
    while (done < bytes.size()) {
        const auto remaining = Remaining(bytes.size() - done);
        const int32_t sent =
            api.send(socket, bytes.data() + done, std::min(remaining, kTcpPiece), 0);
        if (sent <= 0 || sent > remaining) break;
        TraceTcp("Bytes Write (TCP)", bytes.data() + done, sent);
        done += static_cast<size_t>(sent);
    }
    return done == bytes.size() || MapWinSockError();
}

bool TcpSendAvailable(Socket socket, const uint8_t *&bytes, int32_t &count) {
    if (count == 0) return true;
    if (count < 0 || !bytes) return SetError(Error::InvalidParameter);
    const platform::WinSockApi &api = WinSock();
    if (!SetNonBlocking(socket, true)) return MapWinSockError();
    bool ok = true;
    while (count != 0) {
        const int32_t sent = api.send(socket, bytes, std::min(count, kTcpPiece), 0);
        if (sent <= 0 || sent > count) {
            // The socket takes no more for now: what went is the result.
            ok = api.WSAGetLastError() == platform::kWsaWouldBlock || MapWinSockError();
            break;
        }
        TraceTcp("Bytes Write (TCP)", bytes, sent);
        bytes += sent;
        count -= sent;
    }
    if (!SetNonBlocking(socket, false) && ok) return MapWinSockError();
    return ok;
}

bool TcpReceiveExact(Socket socket, std::span<uint8_t> buffer) {
    const platform::WinSockApi &api = WinSock();
    size_t done = 0;
    while (done < buffer.size()) {
        const auto remaining = Remaining(buffer.size() - done);
        const int32_t received = api.recv(socket, buffer.data() + done, remaining, 0);
        // The device server closed the connection: no socket error says so, and an older one of
        // this thread (a refused connect, say) would name something else.
        if (received == 0) return SetError(WinSockErrorCode(kWsaConnectionReset));
        if (received < 0 || received > remaining) break;
        TraceTcp("Bytes Read (TCP)", buffer.data() + done, received);
        done += static_cast<size_t>(received);
    }
    return done == buffer.size() || MapWinSockError();
}

// ---- DeviceServer ----------------------------------------------------------------------------

bool DeviceServer::Open(uint32_t address, uint16_t port) {
    const platform::WinSockApi &api = WinSock();
    udp_ = api.socket(platform::kAddressFamilyInet, platform::kSocketDatagram,
                      platform::kProtocolUdp);
    if (udp_ == platform::kInvalidSocket) return MapWinSockError();
    area_.peerAddress = InetAddress(address, kConfigurationPort);
    area_.dataAddress = InetAddress(address, port);
    area_.serverBaudRate = kServerRateAtOpen;
    const bool ready =
        SetMilliseconds(udp_, platform::kOptionReceiveTimeout, ReceiveTimeout()) && Bind();
    if (!ready) MapWinSockError();
    if (!ready || !Announce(port)) {
        api.closesocket(udp_);
        udp_ = platform::kInvalidSocket;
        return false;
    }
    tcp_ = type_ == CHANNEL_XPORT_TCP ? ConnectDeviceServer(area_.dataAddress)
                                      : platform::kInvalidSocket;
    return true;
}

// The datagram socket takes the interface that routes to the device server, on a port the
// system chooses.
bool DeviceServer::Bind() {
    const platform::WinSockApi &api = WinSock();
    uint32_t returned = 0;
    if (api.WSAIoctl(udp_, platform::kIoctlRoutingInterfaceQuery, &area_.peerAddress,
                     sizeof area_.peerAddress, &area_.localAddress, sizeof area_.localAddress,
                     &returned, nullptr, nullptr) != 0)
        return false;
    area_.localAddress.port = api.htons(0);
    int32_t length = platform::kSocketAddressSize;
    return api.bind(udp_, &area_.localAddress, platform::kSocketAddressSize) == 0 &&
           api.getsockname(udp_, &area_.localAddress, &length) == 0;
}

bool DeviceServer::Announce(uint16_t port) {
    const std::array<uint8_t, 2> portBytes{static_cast<uint8_t>(port & 0xFF),
                                           static_cast<uint8_t>(port >> 8)};
    const std::array<uint8_t, 4> rateBytes = LittleEndian(area_.serverBaudRate);
    const SocketAddress &peer = area_.peerAddress;
    return SendDeviceServerCommand(ServerCommand::AnnouncePort, udp_, peer, portBytes) &&
           SendDeviceServerCommand(ServerCommand::SetBaudRate, udp_, peer, rateBytes);
}

void DeviceServer::Close() {
    if (udp_ == platform::kInvalidSocket) return;
    const platform::WinSockApi &api = WinSock();
    SendDeviceServerCommand(ServerCommand::Close, udp_, area_.peerAddress);
    api.closesocket(udp_);
    udp_ = platform::kInvalidSocket;
    if (tcp_ != platform::kInvalidSocket) api.closesocket(tcp_);
    tcp_ = platform::kInvalidSocket;
}

bool DeviceServer::SetBaudRate(uint32_t rate) {
    if (!SendDeviceServerCommand(ServerCommand::SetBaudRate, udp_, area_.peerAddress,
                                 LittleEndian(rate)))
        return false;
    area_.serverBaudRate = rate;
    platform::Sleep(Context().settings.waitAfterBaudChange);
    return true;
}

bool DeviceServer::SetTimeouts(uint32_t milliseconds) {
    if (!SetMilliseconds(udp_, platform::kOptionReceiveTimeout, milliseconds)) return false;
    if (tcp_ == platform::kInvalidSocket) return true;
    return SetMilliseconds(tcp_, platform::kOptionReceiveTimeout, milliseconds) &&
           SetMilliseconds(tcp_, platform::kOptionSendTimeout, milliseconds);
}

void DeviceServer::ResetConnection() {
    if (tcp_ != platform::kInvalidSocket) WinSock().closesocket(tcp_);
    Log(kLogInfo, kConnectionCaption, "Connection reset");
    tcp_ = type_ == CHANNEL_XPORT_TCP ? ConnectDeviceServer(area_.dataAddress)
                                      : platform::kInvalidSocket;
}

// ---- the selected channel's connection --------------------------------------------------------

bool DeviceServerConnected() {
    const DeviceServer *server = CurrentDeviceServer();
    return server && server->TcpConnected();
}

bool TcpSendAll(std::span<const uint8_t> bytes) {
    DeviceServer *server = CurrentDeviceServer();
    return server ? server->TcpSendAll(bytes) : SetError(Error::NotForChannelType);
}

bool TcpSendAvailable(const uint8_t *&bytes, int32_t &count) {
    DeviceServer *server = CurrentDeviceServer();
    return server ? server->TcpSendAvailable(bytes, count) : SetError(Error::NotForChannelType);
}

bool TcpReceiveExact(std::span<uint8_t> buffer) {
    DeviceServer *server = CurrentDeviceServer();
    return server ? server->TcpReceiveExact(buffer) : SetError(Error::NotForChannelType);
}

void ResetDeviceServerConnection() {
    if (DeviceServer *server = CurrentDeviceServer()) server->ResetConnection();
}

} // namespace zorcomm

// The datagram family: Ethernet channels (CHANNEL_XPORT_TCP, CHANNEL_UDP) whose drive traffic
// travels as UDP datagrams between this process's socket and the device server's data port.
#pragma once

#include <array>

#include "transport/device_server.h"
#include "transport/link.h"
#include "transport/winsock.h"

namespace zorcomm {

// Largest datagram taken in, and largest read or write asked of the link.
constexpr size_t kDatagramBufferSize = 128;

class DatagramLink : public Link {
public:
    // Keeps the socket library reference for as long as the link lives.
    DatagramLink(Slot &slot, uint8_t channelType, WinSockReference winsock)
        : Link(slot), winsock_(std::move(winsock)), server_(slot.typeArea.ethernet, channelType) {}

    // The device server at `address` (network order) with drive traffic on `port`.
    bool Open(uint32_t address, uint16_t port) { return server_.Open(address, port); }

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override;
    int32_t BytesInQueue() override;
    uint32_t BaudRate() const override { return server_.area().serverBaudRate; }
    bool SetLinkBaudRate(uint32_t rate) override { return server_.SetBaudRate(rate); }
    bool SetSocketTimeouts(uint32_t milliseconds) override {
        return server_.SetTimeouts(milliseconds);
    }
    uint32_t Handle() const override { return static_cast<uint32_t>(server_.datagramSocket()); }

    DeviceServer *DatagramServer() override { return &server_; }
    DeviceServer &server() { return server_; }

    // True when bytes of a datagram from the data address are buffered, receiving one if none
    // are; false when a receive ended without one.
    bool FillDatagramBuffer();
    // Moves up to `bytes.size()` buffered bytes out; the number moved.
    size_t TakeDatagramBytes(std::span<uint8_t> bytes);

private:
    void EmptyBuffer() { count_ = position_ = 0; }
    bool PendingBytes(uint32_t &waiting);

    // Declared first, so the library stays bound until the device server is closed.
    WinSockReference winsock_;
    DeviceServer server_;
    std::array<uint8_t, kDatagramBufferSize> buffer_{};
    uint32_t count_ = 0;
    uint32_t position_ = 0;
    // The last fill ended because foreign datagrams kept the wait going, not by a socket error.
    bool waitedOut_ = false;
};

} // namespace zorcomm

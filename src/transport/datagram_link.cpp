#include "transport/datagram_link.h"

#include <algorithm>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {

DeviceServer *CurrentDeviceServer() {
    Link *link = CurrentLink();
    return link ? link->DatagramServer() : nullptr;
}

bool DatagramLink::FillDatagramBuffer() {
    waitedOut_ = false;
    if (position_ < count_) return true;
    const platform::WinSockApi &api = WinSock();
    const platform::SocketAddress &data = server_.area().dataAddress;
    const uint32_t start = platform::TickCount();
    while (true) {
        platform::SocketAddress from{};
        int32_t fromLength = platform::kSocketAddressSize;
        const int32_t received =
            api.recvfrom(server_.datagramSocket(), buffer_.data(),
                         static_cast<int32_t>(buffer_.size()), 0, &from, &fromLength);
        if (received <= 0) return false;
        if (fromLength == platform::kSocketAddressSize && from.port == data.port &&
            from.address == data.address) {
            count_ = static_cast<uint32_t>(std::min<int32_t>(received, kDatagramBufferSize));
            position_ = 0;
            return true;
        }
        // Datagrams from anywhere else are dropped, but they do not hold the reader longer than
        // one receive time-out.
        if (platform::TicksSince(start) >= Shared()->settings.udpReceiveTimeout) {
            waitedOut_ = true;
            return false;
        }
    }
}

size_t DatagramLink::TakeDatagramBytes(std::span<uint8_t> bytes) {
    if (bytes.empty() || position_ >= count_) return 0;
    const size_t taken = std::min<size_t>(bytes.size(), count_ - position_);
    std::copy_n(buffer_.begin() + position_, taken, bytes.begin());
    position_ += static_cast<uint32_t>(taken);
    if (position_ == count_) EmptyBuffer();
    return taken;
}

bool DatagramLink::ReadBytes(std::span<uint8_t> bytes) {
    if (bytes.size() > kDatagramBufferSize) return SetError(Error::InvalidParameter);
    size_t total = 0;
    while (total < bytes.size()) {
        if (!FillDatagramBuffer()) break;
        total += TakeDatagramBytes(bytes.subspan(total));
    }
    const auto count = static_cast<uint16_t>(total);
    if (total != bytes.size()) {
        if (waitedOut_) SetError(WinSockErrorCode(platform::kWsaTimedOut));
        else MapWinSockError();
        Trace(kLogInfo, "Bytes Read (INCOMPLETE!!!)", bytes.data(), count);
        return false;
    }
    if (total != 0) Trace(kLogTraffic, "Bytes Read", bytes.data(), count);
    return true;
}

bool DatagramLink::WriteBytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    if (bytes.size() > kDatagramBufferSize) return SetError(Error::InvalidParameter);
    const auto count = static_cast<int32_t>(bytes.size());
    const int32_t sent =
        WinSock().sendto(server_.datagramSocket(), bytes.data(), count, 0,
                         &server_.area().dataAddress, platform::kSocketAddressSize);
    if (sent != count) return MapWinSockError();
    Trace(kLogTraffic, "Bytes Write", bytes.data(), static_cast<uint16_t>(count));
    return true;
}

bool DatagramLink::PendingBytes(uint32_t &waiting) {
    waiting = 0;
    uint32_t returned = 0;
    if (WinSock().WSAIoctl(server_.datagramSocket(), platform::kIoctlBytesReadable, nullptr, 0,
                           &waiting, sizeof waiting, &returned, nullptr, nullptr) == 0)
        return true;
    return MapWinSockError();
}

void DatagramLink::DrainInput() {
    EmptyBuffer();
    uint32_t waiting = 0;
    while (PendingBytes(waiting) && waiting != 0) {
        FillDatagramBuffer();
        EmptyBuffer();
    }
}

int32_t DatagramLink::BytesInQueue() {
    if (position_ < count_) return static_cast<int32_t>(count_ - position_);
    uint32_t waiting = 0;
    if (!PendingBytes(waiting)) return -1;
    return static_cast<int32_t>(std::min<uint32_t>(waiting, INT32_MAX));
}

} // namespace zorcomm

// Windows has no CAN sockets: every open says so.
#include "platform/can_socket.h"

namespace zorcomm::platform {

bool DecodeCanSocketRecord(std::span<const uint8_t>, CanSocketFrame &) { return false; }
uint32_t CanInterfaceIndex(const std::string &) { return 0; }

CanSocket::~CanSocket() = default;
CanSocketStatus CanSocket::Open(const std::string &) { return CanSocketStatus::Unsupported; }
void CanSocket::Close() {}
void CanSocket::ClearError() {}
bool CanSocket::SetFilters(std::span<const CanAcceptance>) { return false; }
CanSocketStatus CanSocket::Send(const CanSocketFrame &, uint32_t) { return CanSocketStatus::Unsupported; }
CanSocketStatus CanSocket::Receive(CanSocketFrame &, uint32_t) { return CanSocketStatus::Unsupported; }

} // namespace zorcomm::platform

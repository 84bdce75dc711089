// SocketCAN channels: a raw CAN socket of the system bound to a network interface ("can0"),
// behind the same CanLink interface as the adapter families. Used for CHANNEL_SOCKETCAN, whose
// device name is the interface, and for the adapter types that the [SOCKETCAN] section of the
// settings file maps to an interface (for example PEAK_PCAN_USB1=can0).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/can_socket.h"
#include "transport/can_link.h"

namespace zorcomm {

// The interface a CAN channel of `type` and adapter number runs on: the device name for
// CHANNEL_SOCKETCAN, the [SOCKETCAN] key <TYPE><number> for the adapter types, empty for none.
std::string SocketCanInterfaceFor(uint8_t type, uint32_t number, const char *deviceName);

// The settings key that maps an adapter channel to an interface ("PEAK_PCAN_USB1"), empty for
// types that cannot be mapped.
std::string SocketCanSettingsKey(uint8_t type, uint32_t number);

// The channel number of a CHANNEL_SOCKETCAN device name: the interface's index, so that every
// process that opens the interface finds the others. Sets the error when there is none.
bool ResolveSocketCanName(const char *deviceName, uint32_t &number);

// The frame that a record read from a CAN socket carries; false for error reports and remote
// requests, which never become messages, and for a length beyond 8.
bool SocketCanDataFrame(const platform::CanSocketFrame &in, CanFrame &frame);

// The acceptance filters that pass what is addressed to the host under the protocol.
std::vector<platform::CanAcceptance> SocketCanHostFilters(uint8_t protocolFlag, uint16_t hostAddress);

// `type`: the channel type being opened (18 or a mapped adapter type).
std::unique_ptr<CanLink> MakeSocketCanLink(Slot &slot, uint8_t type, const std::string &interface);

} // namespace zorcomm

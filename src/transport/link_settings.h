// The settings file read afresh, and the time-outs it sets given to the selected channel's link.
#pragma once

#include <cstdint>

#include "core/settings.h"

namespace zorcomm {

constexpr uint8_t kOpeningFromUpdate = 255;

// Reads every key into the process and shared values, then applies the time-outs of the selected
// channel. `openingType` is the type code of the channel being opened, or kOpeningFromUpdate.
bool LoadSettings(uint8_t openingType);

// Gives the selected channel (by the slot's channelType) its time-outs: the serial record for
// types 0, 1 and 9, UDP_RECEIVE_TIMEOUT on the sockets of types 16 and 17 (receive time-out of
// the datagram socket and, when there is one, both time-outs of the TCP socket). True for other
// types; false when the channel has no link, or its port or a socket refuses them (no error code
// is set).
bool ApplyChannelTimeouts(const SerialTimeoutSettings &serial, const SharedSettings &shared);

} // namespace zorcomm

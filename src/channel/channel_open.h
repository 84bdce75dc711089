// Opening and closing channels.
#pragma once

#include <cstdint>

#include "core/channel_record.h"

namespace zorcomm {

// Opens (or finds, or joins) the link and selects its slot. `type` is the 7-bit type code,
// `hostAddress` the host axis's address word or 0 when not given.
bool OpenChannel(const char *deviceName, uint16_t hostAddress, bool exclusive, uint8_t type,
                 uint8_t protocolFlag);
bool CloseChannel(int16_t index);

// The port or adapter number of a device name that is no path or address: a decimal number, or
// for the serial port types (0, 1, 9) "COM" and a number. False unless it is 0..255.
bool DecodePortName(const char *name, uint8_t type, uint32_t &number);

// Closes this process's hold on the link of `slot`: waits for the link's mutex, closes the link
// by its family, then releases and closes this process's handle of the mutex.
void CloseChannelLink(Slot &slot);

// Applies the slot's copy of the port settings to this process's own handle of the port (after
// another process changed them).
bool ReapplyPortSettings(Slot &slot);

// The selected slot holds a channel (0x20000077 when not); a serial port whose settings another
// process changed gets them first.
bool CheckChannelOpen();

} // namespace zorcomm

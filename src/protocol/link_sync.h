// Bringing a channel into a known state: the baud rate at which the drives answer, the host
// drive's axis, and the drive commands that change or query them.
#pragma once

#include <cstdint>

namespace zorcomm {

bool SetLinkBaudRate(uint32_t rate);
bool EstablishLink();
bool DetectHostAxis(uint16_t &hostAddress);
// `text`, when given, receives the firmware version (at least 6 bytes).
bool GetBoardInfo(uint16_t address, char *text);
bool ResetDrive();
bool SetBoardBaudRate(uint32_t rate);
bool EnsureHostVerified();
bool SetHostAddress(bool verified, uint16_t address);
// On a CAN channel whose shared host another process moved, has this process's own adapter
// filter follow it. Every call on the channel does this first.
void FollowSharedHost();

// The set-baud-rate code of a rate, -1 for a rate the drives do not support.
int BaudRateCode(uint32_t rate);
// The version text of a board-information answer.
void FormatVersionText(uint16_t d0, uint16_t d1, char *text);

} // namespace zorcomm

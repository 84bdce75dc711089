// Drive messages in CAN frames, written from the drives' side and apart from the library's own
// mapping, so that a mapping mistake on either side shows up as a failed exchange.
//
// orv: one 29-bit identifier carries op code and address:
//   bits 28-22 op code bits 15-9 | bits 21-9 address bits 12-0 | bits 8-0 op code bits 8-0
//   data words low byte first, dlc = 2 x words.
// torvanecan: 11-bit identifiers by message class, the low five bits of the destination axis in
//   the identifier (group field for group messages): 0x020|a op 0xE900, 0x040|a ops
//   0x1800..0x187F, 0x100|n the 0xD4/0xD6 classes, 0x120|a general, 0x140|a general with the PC
//   bit, 0x160|a read replies (0xB404/0xB405), a (1..31) and 0x200 group messages.
#pragma once

#include "can_bus_protocol.h"
#include "serial_codec.h"

#include <optional>
#include <string>
#include <string_view>

namespace zsim {

enum class CanProtocol { Orv, TorvaneCan };

std::optional<CanProtocol> ParseCanProtocol(std::string_view text);
const char *CanProtocolName(CanProtocol protocol);

// A message as a frame under the protocol, whoever sends it (the mapping is by destination).
// nullopt when torvanecan cannot carry it (too many words for its class, a group message with
// the PC bit or of a class that has no group form).
std::optional<canbus::BusFrame> EncodeCanMessage(const Message &message, CanProtocol protocol);

// A frame the PC put on the bus, as the drives read it: the destination address (with the group
// flag for group messages, 0x1000 for the classes that name no axis) and the message. nullopt
// for frames of the other identifier kind, remote requests, error frames and malformed frames.
std::optional<Message> DecodeForDrives(const canbus::BusFrame &frame, CanProtocol protocol);

// A frame a drive put on the bus, as a PC with any host axis would read it (for the history):
// under torvanecan the destination is taken from the identifier's low five bits.
std::optional<Message> DecodeForPc(const canbus::BusFrame &frame, CanProtocol protocol);

// The bits a frame keeps the bus busy: start of frame to end of frame and the three bits of
// intermission, without stuffing bits (44 + 8n + 3 for an 11-bit identifier, 64 + 8n + 3 for a
// 29-bit one; a remote request carries no data; an error frame 14 + 3).
unsigned FrameBits(const canbus::BusFrame &frame);

// "ID[x][r]:BYTES" — hex identifier, x for 29 bits, r for a remote request, bytes or "-".
std::string DescribeFrame(const canbus::BusFrame &frame);

} // namespace zsim

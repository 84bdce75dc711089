// The simulated network interfaces behind the SocketCAN interposer and the stand-in
// libsocketcan: one file per interface in the directory ZORCOMM_SOCKETCAN_DIR, named after the
// interface and holding one line of `key=value` words, for example
//
//   index=5 type=can state=up bitrate=500000
//
// Every process that uses an interface reads its file, so what one process changes (the bit
// rate, up or down) every other one sees; files are replaced whole (rename), never half written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zsim::socketcan {

enum class LinkType { Can, Ether, Loopback };

struct Interface {
    std::string name;
    unsigned index = 0;
    LinkType type = LinkType::Can;
    bool up = true;
    uint32_t bitrate = 500000;
    bool bitTiming = true; // false: a virtual interface without bit timing, as vcan
    bool txFull = false;   // every transmit fails with ENOBUFS
    int canState = 0;      // CAN_STATE_ERROR_ACTIVE ... CAN_STATE_SLEEPING while up
    std::string bus;       // the bus socket; empty: ZORCOMM_CANBUS
};

// The directory, empty when ZORCOMM_SOCKETCAN_DIR is unset.
std::string Directory();

// What the interface's file looks like now, to tell cheaply whether it changed.
struct Stamp {
    uint64_t inode = 0;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    int64_t size = -1; // -1: no file
    bool operator==(const Stamp &) const = default;
};
Stamp StampOf(std::string_view name);

std::optional<Interface> Find(std::string_view name);
std::optional<Interface> FindByIndex(unsigned index);
// Replaces the interface's file; false with errno set.
bool Store(const Interface &interface);

std::optional<Interface> Parse(std::string_view name, std::string_view text);
std::string Format(const Interface &interface);
// The bus socket path of an interface.
std::string BusPath(const Interface &interface);

} // namespace zsim::socketcan

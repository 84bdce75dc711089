// Raw CAN sockets of the system's own CAN layer (SocketCAN on Linux): one socket bound to one
// network interface, with acceptance filters, error reports, and sends and receives bounded in
// time. Windows has no such layer: there every open reports kCanSocketUnsupported.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zorcomm::platform {

#if defined(_WIN32)
inline constexpr bool kHasCanSockets = false;
#else
inline constexpr bool kHasCanSockets = true;
#endif

// The longest interface name the system takes (its name buffer less the terminating zero).
inline constexpr size_t kCanInterfaceNameLimit = 15;

// Problems an error frame reports, as bits of CanSocketFrame::problems.
enum CanBusProblem : uint32_t {
    kCanBusOff = 1u << 0,
    kCanErrorPassive = 1u << 1,
    kCanErrorWarning = 1u << 2,
    kCanOverflow = 1u << 3,
    kCanProtocolViolation = 1u << 4,
    kCanNoAcknowledge = 1u << 5,
    kCanLostArbitration = 1u << 6,
    kCanTransceiver = 1u << 7,
    kCanTransmitTimeout = 1u << 8,
    kCanRestarted = 1u << 9,
    kCanOtherProblem = 1u << 10,
};

struct CanSocketFrame {
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    uint8_t dlc = 0;
    std::array<uint8_t, 8> data{};
    uint32_t problems = 0; // non-zero: an error frame, not a data frame
};

// Frames of one kind whose identifier matches `id` in the bits of `mask`; remote requests never.
struct CanAcceptance {
    uint32_t id;
    uint32_t mask;
    bool extended;
};

enum class CanSocketStatus {
    Done,
    NoInterface, // no network interface of that name
    NotCan,      // an interface, but not a CAN interface
    Down,        // the interface is down (or went down)
    Unsupported, // the system has no CAN sockets
    QueueFull,   // the interface's transmit queue stayed full until the time-out
    TimedOut,    // nothing sent or received within the time-out
    Failed,      // another failure; the system error code is set
};

// The size of one record a CAN socket hands over: a classic frame (or an error report) as the
// system lays it out.
inline constexpr size_t kCanSocketRecordSize = 16;

// Reads one record received from a CAN socket into `frame`: a data frame, a remote request or an
// error report (problems set). False for a record of another size, and for a data frame that no
// bus carries: a standard identifier with bits above its 11, a length beyond 8. Where there are
// no CAN sockets, always false.
bool DecodeCanSocketRecord(std::span<const uint8_t> record, CanSocketFrame &frame);

// The interface's index, 0 when there is none of that name.
uint32_t CanInterfaceIndex(const std::string &name);

class CanSocket {
public:
    CanSocket() = default;
    ~CanSocket();
    CanSocket(const CanSocket &) = delete;
    CanSocket &operator=(const CanSocket &) = delete;

    // Binds a raw socket to the interface. Own frames are not received back, every error
    // report is, and no data frame passes until SetFilters.
    CanSocketStatus Open(const std::string &interface);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // Replaces the acceptance filters; false with the system error code set.
    bool SetFilters(std::span<const CanAcceptance> filters);
    // Forgets an error the socket has to report (the interface went down and came back).
    void ClearError();
    // Waits up to `timeoutMs` for room to send.
    CanSocketStatus Send(const CanSocketFrame &frame, uint32_t timeoutMs);
    // Waits up to `timeoutMs` (0: not at all) for a frame or an error report.
    CanSocketStatus Receive(CanSocketFrame &frame, uint32_t timeoutMs);

private:
    int fd_ = -1;
};

} // namespace zorcomm::platform

// What the stand-in adapter libraries share: the connection to the simulated bus
// (ZORCOMM_CANBUS), the call log (ZORCOMM_VENDOR_LOG), failure injection (ZORCOMM_VENDOR_FAIL)
// and the bit-timing tables. Every stand-in links its own copy (hidden symbols), so two of them
// loaded into one process keep separate state.
#pragma once

#include "can_bus_protocol.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zsim::standin {

using canbus::BusFrame;

// One connection to the bus: one adapter channel.
class BusConnection {
public:
    enum class Receipt { Frame, None, Closed };

    // Null when ZORCOMM_CANBUS is unset or no bus answers there.
    static std::shared_ptr<BusConnection> Connect(std::string_view family);
    ~BusConnection();
    BusConnection(const BusConnection &) = delete;
    BusConnection &operator=(const BusConnection &) = delete;

    // The adapter's bit rate in bit/s; 0 = not started (it neither sends nor receives).
    void SetRate(uint32_t rate);
    uint32_t rate() const { return rate_; }
    // False when the bus has gone.
    bool Send(const BusFrame &frame);
    // Does not wait for frames. With nothing in the socket it asks the bus whether a frame is
    // still on its way (a sync, answered at once), as on a real bus, where a frame reaches
    // every adapter at the same moment: without that a frame the bus had sent to several
    // clients could reach this one after another client had already acted on it.
    Receipt Receive(BusFrame &frame);
    // Waits up to `timeoutMs` for something to read; false on time-out.
    bool Wait(int timeoutMs) const;
    int fd() const { return fd_; }

private:
    explicit BusConnection(int fd) : fd_(fd) {}
    int fd_;
    uint32_t rate_ = 0;
    std::atomic<uint32_t> syncs_{0};
};

// Bit rate of the CAN bit-timing registers (BTR0, BTR1), canbus::kUnknownRate for timing
// outside the table.
uint32_t RateFromBtr(uint8_t btr0, uint8_t btr1);

// Milliseconds on the monotonic clock, truncated to 32 bits.
uint32_t MillisNow();

// False when ZORCOMM_VENDOR_FILTERS is "off": every frame passes the acceptance filters.
bool FiltersEnabled();

// One line of the call log, written when the object goes out of scope:
//   CallLine("CAN_Initialize").Hex(0x41).Word(0x001C).Dec(0) ...
class CallLine {
public:
    explicit CallLine(const char *name);
    ~CallLine();
    CallLine(const CallLine &) = delete;
    CallLine &operator=(const CallLine &) = delete;

    CallLine &Dec(long long value);
    CallLine &Hex(unsigned long long value); // 0x41, 0x3FFC00
    CallLine &Byte(uint8_t value);           // 0x1C: bit-timing registers, flag bytes
    CallLine &Word(uint16_t value);          // 0x001C: the PEAK bit-timing word
    CallLine &Bytes(const uint8_t *data, std::size_t count); // 0400, "-" for none
    CallLine &Text(const char *text);
    CallLine &Pointer(const void *pointer); // "set" or "null"

private:
    std::string line_;
};

// The status ZORCOMM_VENDOR_FAIL sets for this call of `name`, if any (the count is used up).
std::optional<long long> InjectedFailure(const char *name);

} // namespace zsim::standin

// The serial ASCII CAN adapter (channel type 9): a CAN adapter on a COM port, driven with short
// carriage-return-terminated text commands. The protocol routines work on any byte source so
// that they can be checked against scripted answers; the link puts them on the channel's port.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codec/can_mapping.h"
#include "transport/can_link.h"
#include "transport/serial_port_link.h"

namespace zorcomm {

// Where the adapter's bytes come from and go to. Failures leave the error code set.
class AsciiCanPort {
public:
    virtual ~AsciiCanPort() = default;
    // True only when every byte arrived; a short read sets 0x20000076.
    virtual bool ReadBytes(std::span<uint8_t> bytes) = 0;
    virtual bool WriteBytes(std::span<const uint8_t> bytes) = 0;
    virtual void DrainInput() = 0;
};

// Answer masks: after a command only bus error and arbitration loss are told apart; after a
// transmit a "z" / "Z" confirmation is expected first and a full transmit queue is told too.
inline constexpr uint8_t kAsciiAfterCommand = 0xC0;
inline constexpr uint8_t kAsciiAfterTransmit = 0xC2;

// 0..15 for "0".."9" and upper-case "A".."F", 255 for anything else.
uint8_t HexDigitValue(uint8_t character);

// Closes and reopens the adapter's CAN channel at the bit rate of `code` (4 = 125 kbit/s ..
// 8 = 1 Mbit/s), accepting every identifier.
bool AsciiCanSetup(AsciiCanPort &port, int code);
// Closes the adapter's CAN channel; the result is that of the write.
bool AsciiCanClose(AsciiCanPort &port);
// Reads and judges one answer. With bit 0x02 of `mask` a transmit confirmation ("Z" under the
// 29-bit protocol, "z" under TorvaneCAN) must come first. The first byte read goes to `first`.
bool AsciiCanReadResponse(AsciiCanPort &port, uint8_t protocolFlag, uint8_t mask,
                          uint8_t *first = nullptr);
// Reads one received frame; `first` is its first character when the caller already read it,
// else 0.
bool AsciiCanReadFrame(AsciiCanPort &port, CanFrame &frame, uint8_t first = 0);
// Writes one frame as a transmit command (0x2000007b for a frame that cannot be written).
bool AsciiCanWriteFrame(AsciiCanPort &port, const CanFrame &frame);

// What the transmit confirmation wait needs to know of the channel.
struct AsciiCanChannel {
    uint8_t protocolFlag;
    uint16_t hostAddress;
    uint32_t replyTimeout;
};
// Writes a frame and waits for the adapter's confirmation. Frames that arrive meanwhile are
// converted and handed to the unsolicited-message handler. 1 sent, 0 no confirmation within the
// reply time-out (0x20000075), -1 failure.
int AsciiCanSend(AsciiCanPort &port, const AsciiCanChannel &channel, const CanFrame &frame);

// The channel's link: the COM port and the adapter behind it.
class AsciiCanLink final : public CanLink, private AsciiCanPort {
public:
    explicit AsciiCanLink(Slot &slot);
    ~AsciiCanLink() override;

    // Opens COM port `number` with the adapter's time-outs and sets the adapter up at 500 kbit/s.
    // Errors 0x20000072 (no port) and 0x20000073 (port or adapter set-up failed).
    bool Open(uint32_t number) override;
    // Opens the port another process of the library holds and set up, as a second user of it.
    bool Join(uint32_t number);

    int Send(const CanFrame &frame) override;
    // The send reads whatever came before the adapter's confirmation and hands it on as
    // unsolicited, so nothing older than a question is ever taken as its answer here.
    bool SetAsideWaiting() override { return true; }

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override;
    void RecoverAfterAbandonedLock() override;
    // Bytes waiting at the port (there is no receive queue on this adapter).
    int32_t BytesInQueue() override;
    bool SetSerialTimeouts(const platform::SerialTimeouts &timeouts) override;
    uint32_t Handle() const override;

protected:
    PollResult Poll(CanFrame &frame, bool waiting) override;
    uint32_t RecordSize() const override { return 0; }
    bool ApplyBitRate(const CanBitRate &rate) override;

private:
    bool ApplyAdapterTimeouts();
    // True when a channel of another process still uses the adapter.
    bool SharedWithOthers() const;

    // Empty once a failed open has closed the port.
    std::optional<SerialPortLink> port_;
    uint32_t number_ = 0;
    bool adapterOpen_ = false;
};

} // namespace zorcomm

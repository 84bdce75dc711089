// The CAN adapter families behind one interface: each family sends and polls single frames
// through its vendor's library; the receive queue, the receive loop, the input count and the
// bit-rate table are common.
#pragma once

#include <zorcomm/zorcomm.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "codec/can_mapping.h"
#include "platform/platform.h"
#include "transport/link.h"

namespace zorcomm {

enum class CanFamily { IxxatV3, IxxatV2, SysTec, Peak, Esd, Kvaser, Ascii, SocketCan };

// Sets the library's error code for a vendor status.
bool MapCanStatus(CanFamily family, int64_t status);

// Messages that arrived outside a receive call. The IXXAT V2 library appends from its own
// thread, so the ring is guarded. Messages are numbered as they are appended, so that a reply
// wait can tell those that came before its question from those that came after.
class CanReceiveQueue {
public:
    static constexpr uint8_t kCapacity = 32;
    bool Append(const DriveMessage &message);
    bool Take(DriveMessage &message);
    // The number the next appended message gets.
    uint32_t Mark() const;
    // The oldest message appended before `mark` / from `mark` on, taken out of the queue.
    bool TakeBefore(uint32_t mark, DriveMessage &message);
    bool TakeFrom(uint32_t mark, DriveMessage &message);
    uint8_t Count() const;

private:
    struct Entry {
        DriveMessage message;
        uint32_t number;
    };
    Entry &At(uint8_t position) { return entries_[(head_ + position) % kCapacity]; }
    static bool Before(uint32_t number, uint32_t mark) {
        return static_cast<int32_t>(number - mark) < 0;
    }

    mutable std::mutex mutex_;
    std::array<Entry, kCapacity> entries_{};
    uint8_t head_ = 0;
    uint8_t count_ = 0;
    uint32_t next_ = 0;
};

// Converts a frame of the kind the protocol uses (29-bit for ORV, 11-bit for TorvaneCAN) into a
// message for the host; false for any other frame.
bool CanFrameForHost(const CanFrame &frame, uint8_t protocolFlag, uint16_t hostAddress, DriveMessage &message);

// One bit rate in every adapter's terms.
struct CanBitRate {
    uint32_t bitsPerSecond;
    uint8_t btr0, btr1;
    uint16_t peakWord;
    int esdIndex; // -1: not supported
    long kvaserValue;
    int asciiCode;
};
const CanBitRate *FindCanBitRate(uint32_t bitsPerSecond);
inline constexpr uint32_t kStartBitRate = 500000;

enum class PollResult {
    Frame,   // a frame was read
    Dropped, // a frame was read that does not count here (kind, remote request)
    Empty,   // nothing yet: pause (PollBackoff) and poll again
    Again,   // nothing yet: poll again at once
    Nothing, // give up at once: the receive returns 0
    Failed,  // the error is set: the receive returns -1
};

// The bits of a data frame on the bus without stuffing bits (start of frame, identifier,
// control, data, CRC, acknowledge, end of frame): a lower bound of its time on any bus.
constexpr uint32_t CanFrameBits(bool extended, uint8_t dlc) {
    return (extended ? 64u : 44u) + 8u * std::min<uint32_t>(dlc, 8);
}

// The pause after an empty poll. An answer is usually a fraction of a millisecond away (the
// question and the answer on the bus), so the first millisecond or so is polled in short
// pauses and the answer seen soon after it lands; then the pause doubles up to 1 ms, so that a
// silent bus costs no more than about a thousand polls a second.
// A wait for the answer to a frame just sent knows when that answer can come at the earliest
// (`earliest` on the microsecond clock, 0 for not known): the first pause lasts until shortly
// before then, and a few finer pauses follow, where the answer is most likely to land.
class PollBackoff {
public:
    static constexpr uint32_t kFineMicroseconds = 15;
    static constexpr uint32_t kFinePauses = 16;
    static constexpr uint32_t kShortMicroseconds = 50;
    static constexpr uint32_t kShortPauses = 24;
    static constexpr uint32_t kLongestMicroseconds = 1000;
    // How much earlier than the earliest arrival the first pause ends: a pause may end late.
    static constexpr uint32_t kWakeMarginMicroseconds = 20;

    PollBackoff() = default;
    explicit PollBackoff(uint64_t earliest) : earliest_(earliest), fineLeft_(earliest ? kFinePauses : 0) {}

    void Pause() {
        if (earliest_ != 0 && FirstPause()) return;
        if (fineLeft_ > 0) {
            --fineLeft_;
            platform::SleepMicroseconds(kFineMicroseconds);
            return;
        }
        if (shortLeft_ > 0) {
            --shortLeft_;
            platform::SleepMicroseconds(kShortMicroseconds);
            return;
        }
        pause_ = std::min(2 * pause_, kLongestMicroseconds);
        platform::SleepMicroseconds(pause_);
    }
    // Something came: the next empty polls start short again.
    void Reset() {
        shortLeft_ = kShortPauses;
        pause_ = kShortMicroseconds;
    }

private:
    // True when it paused. No pause is longer than the longest one, so that a receive time-out
    // is overrun by no more than before. Once the earliest arrival is well past, the answer is
    // late and the fine pauses are of no use.
    bool FirstPause() {
        const uint64_t now = platform::MicrosecondClock();
        const uint64_t wakeAt = earliest_ - std::min<uint64_t>(earliest_, kWakeMarginMicroseconds);
        if (now < wakeAt) {
            platform::SleepMicroseconds(static_cast<uint32_t>(std::min<uint64_t>(wakeAt - now, kLongestMicroseconds)));
            return true;
        }
        if (now >= earliest_ + kFinePauses * kFineMicroseconds) fineLeft_ = 0;
        earliest_ = 0;
        return false;
    }

    uint64_t earliest_ = 0;
    uint32_t fineLeft_ = 0;
    uint32_t shortLeft_ = kShortPauses;
    uint32_t pause_ = kShortMicroseconds;
};

class CanLink : public Link {
public:
    CanLink(Slot &slot, CanFamily family)
        : Link(slot), family_(family), filterHost_(slot.hostAddress) {}

    // Byte I/O does not exist on CAN links.
    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override {}
    int32_t BytesInQueue() override;
    uint32_t BaudRate() const override { return slot_.typeArea.can.canBitRate; }
    // The adapter's bit rate: 125000, 250000, 500000, 800000 or 1000000 bit/s.
    bool SetLinkBaudRate(uint32_t rate) override;

    // Loads the vendor library, opens and initialises the adapter at 500 kbit/s with the host's
    // acceptance filter, reads the settings, and sets the channel handle and the bit rate.
    virtual bool Open(uint32_t number) = 0;
    // 1 sent, 0 not sent for now (time-out), -1 failure. Notes when the answer to a sent frame
    // can come at the earliest, for the next wait.
    int Send(const CanFrame &frame);
    // 1 a message for the host, 0 none within the receive time-out, -1 failure.
    virtual int Receive(DriveMessage &message);

    // Before a question whose answer is awaited: moves what this process's adapter connection
    // holds already into the receive queue, so that the wait takes nothing that came before
    // the question as its answer (the adapter hands every process all frames of the bus, and a
    // reply to another process's question looks like one to this process's). False with the
    // error set when the adapter fails. A family whose frames reach the queue by themselves, or
    // that reads nothing ahead of a send, has nothing to do here.
    virtual bool SetAsideWaiting();
    // Inside a reply wait whose question went out after the queue's `mark`: a message that came
    // after it, as Receive gives one. What the queue held before stays there.
    virtual int ReceiveSince(uint32_t mark, DriveMessage &message);
    // Has this process's adapter filter follow a host address: nothing to do when the filter
    // was set for it already. Another process may have moved the shared host meanwhile, so the
    // host the filter holds is this link's own record, not the slot's.
    bool FollowHost(uint16_t address);
    uint16_t filterHost() const { return filterHost_; }

    CanLink *AsCan() override { return this; }

    CanFamily family() const { return family_; }
    CanReceiveQueue &queue() { return queue_; }
    // Converts a frame of the right kind into a message for the host and traces it.
    bool Accept(const CanFrame &frame, DriveMessage &message) const;

protected:
    // The family's send of one frame, with Send's results.
    virtual int Transmit(const CanFrame &frame) = 0;
    // When the answer to the last frame sent can come at the earliest (microsecond clock), or 0
    // when not known; the first wait after the send takes it, later waits are not for it.
    uint64_t TakeEarliestAnswer() { return std::exchange(earliestAnswer_, 0); }
    // One read from the adapter; `waiting` false for the non-waiting read of the drain.
    virtual PollResult Poll(CanFrame &frame, bool waiting) = 0;
    // Reads the adapter until a message for the host comes (1), the receive time-out passes
    // (0) or the adapter fails (-1).
    virtual int AwaitFrame(DriveMessage &message);
    // Size of the vendor's frame record, for the input count.
    virtual uint32_t RecordSize() const = 0;
    virtual bool ApplyBitRate(const CanBitRate &rate) = 0;
    // Programs the acceptance filter for a new host address; filterHost() is the one it holds.
    virtual bool FollowHostAddress(uint16_t) { return true; }
    bool Torvane() const { return slot_.protocolFlag == CHANNEL_PROTOCOL_TORVANECAN; }
    bool Failure(int64_t status) const { return MapCanStatus(family_, status); }

    CanFamily family_;
    CanReceiveQueue queue_;

private:
    void SetAside(const DriveMessage &message);
    uint64_t EarliestAnswer(uint64_t sentAt, const CanFrame &frame) const;

    uint16_t filterHost_;
    uint64_t earliestAnswer_ = 0;
};

// The CAN link of the selected channel, or null on other channel types.
CanLink *CurrentCanLink();

// Creates the link object of a CAN channel type (2 to 10).
std::unique_ptr<CanLink> MakeCanLink(Slot &slot, uint8_t channelType);

} // namespace zorcomm

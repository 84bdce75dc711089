// One object per open channel and process: the link family behind the slot (serial port,
// virtual serial driver, datagram socket, CAN adapter). The objects live in a per-process table
// parallel to the shared slots, since nothing of them means anything to another process.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "codec/drive_message.h"
#include "core/channel_record.h"
#include "core/debug_log.h"
#include "core/process_context.h"
#include "platform/serial_port.h"

namespace zorcomm {

class CanLink;
class DeviceServer;

class Link {
public:
    explicit Link(Slot &slot) : slot_(slot) {}
    virtual ~Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Byte I/O: true only when every byte was moved; otherwise the error is set.
    virtual bool ReadBytes(std::span<uint8_t> bytes) = 0;
    // ReadBytes for the protocol's reads: from the bytes the link holds already when they
    // suffice, without a call through the family's table (on a fast link a message is read in
    // several pieces, and those calls were a tenth of a message's time).
    bool Read(std::span<uint8_t> bytes) {
        if (bytes.size() > held_.size()) return ReadBytes(bytes);
        TakeHeld(bytes);
        return true;
    }
    virtual bool WriteBytes(std::span<const uint8_t> bytes) = 0;
    // Discards everything pending on the receive side, waiting for the line to go quiet.
    virtual void DrainInput() = 0;
    // Empties the input before a send when nobody listens for unsolicited messages.
    virtual void PurgeBeforeSend() {}
    // Input waiting, for MSK_GetBytesCountInQueue and the synchronisation; -1 on failure.
    virtual int32_t BytesInQueue() = 0;
    // The link's present baud or bit rate, and the change of the PC's side of it.
    virtual uint32_t BaudRate() const = 0;
    virtual bool SetLinkBaudRate(uint32_t rate) = 0;
    // The time-outs of the settings file: serial ports take the five serial time-outs, sockets
    // a receive (and send) time-out. False where the family has none.
    virtual bool SetSerialTimeouts(const platform::SerialTimeouts &) { return false; }
    virtual bool SetSocketTimeouts(uint32_t) { return false; }
    // Re-applies the slot's port settings after another process changed them.
    virtual bool ReapplyPortSettings() { return true; }
    // The value MSK_OpenComm returns for this channel (never 0).
    virtual uint32_t Handle() const = 0;

    // What callers need of one family, with defaults for the families it means nothing to.

    // The next reads are an acknowledge and the answer frame behind it, `bytes` in all: a link
    // that pays for every call may fetch them with the first of those reads. The next read,
    // whatever it finds, uses the announcement up.
    void AnswerFollows(size_t bytes) { answerFollows_ = bytes; }
    // The next frame (or the byte that ends its reading: an acknowledge, an impossible length)
    // is already with the link, so that the next receive returns without waiting.
    bool FrameAtHand() const {
        if (held_.empty()) return false;
        const uint8_t first = held_.front();
        return !IsFrameLength(first) || held_.size() >= static_cast<size_t>(first) + 2;
    }
    // Takes the next frame when all of it is held and its checksum is correct, as the two reads
    // of a receive take it (the length byte, then the rest: the same error clearing, the same
    // traffic lines), without copying it out first. False, with nothing taken, otherwise.
    bool TakeHeldFrame(DriveMessage &message) {
        if (held_.empty()) return false;
        const uint8_t length = held_.front();
        if (!IsFrameLength(length) || held_.size() < static_cast<size_t>(length) + 2) return false;
        if (!DecodeSerialFrame(held_.data(), message)) return false;
        answerFollows_ = 0;
        Context().lastError = 0;
        Trace(kLogTraffic, "Bytes Read", held_.data(), 1);
        Trace(kLogTraffic, "Bytes Read", held_.data() + 1, static_cast<uint16_t>(length + 1));
        held_ = held_.subspan(static_cast<size_t>(length) + 2);
        return true;
    }
    // Clears the line's error state after an exchange failed (serial ports).
    virtual void ClearLineErrors() {}
    // Drops what has arrived so far, at once: the RS-485 resynchronisation waits out the drives'
    // answers this way.
    virtual void PurgeInput() {}
    // Puts the link back in step after a holder of the channel ended in the middle of an
    // exchange, with the channel's mutex held (a port several processes read).
    virtual void RecoverAfterAbandonedLock() {}
    // A text the link's driver has of its own for `code` (a virtual serial driver's messages).
    virtual bool OwnErrorText(uint32_t /*code*/, std::string & /*text*/) const { return false; }
    // The link as a CAN adapter link, and the device server in front of a datagram link.
    virtual CanLink *AsCan() { return nullptr; }
    virtual DeviceServer *DatagramServer() { return nullptr; }

protected:
    // A read served from the held bytes, with what ReadBytes does on success: the error is
    // cleared, the bytes are traced, the announcement of an answer is used up.
    void TakeHeld(std::span<uint8_t> bytes) {
        CopyHeld(bytes);
        answerFollows_ = 0;
        Context().lastError = 0;
        Trace(kLogTraffic, "Bytes Read", bytes.data(), static_cast<uint16_t>(bytes.size()));
    }

    // Moves the first `bytes.size()` held bytes (there are as many) into `bytes`.
    void CopyHeld(std::span<uint8_t> bytes) {
        // The acknowledge and the length byte come one at a time, the rest of a frame at once.
        if (bytes.size() == 1) bytes[0] = held_[0];
        else if (!bytes.empty()) std::memcpy(bytes.data(), held_.data(), bytes.size());
        held_ = held_.subspan(bytes.size());
    }

    Slot &slot_;
    // Bytes the family has taken from below and not handed out yet, in its own buffer; empty
    // in a family that keeps none.
    std::span<const uint8_t> held_;
    size_t answerFollows_ = 0; // the bytes of the acknowledge and answer announced, or 0
};

namespace detail {
// The links of the slots as plain pointers, beside the table that owns them: built before any of
// the library's code runs and read without a call, several times a message.
extern constinit std::array<std::atomic<Link *>, kSlotCount> linkPointers;
} // namespace detail

// The link of slot `index` in this process, or null.
inline Link *LinkOf(int index) {
    return index >= 0 && index < kSlotCount
               ? detail::linkPointers[static_cast<size_t>(index)].load(std::memory_order_relaxed)
               : nullptr;
}
// The link of the selected slot, or null.
inline Link *CurrentLink() { return LinkOf(Context().currentSlotIndex); }
void InstallLink(int index, std::unique_ptr<Link> link);
// Closes and forgets the link of a slot.
void RemoveLink(int index);
int SlotIndexOf(const Slot &slot);

} // namespace zorcomm

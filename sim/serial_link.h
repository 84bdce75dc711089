// The drives' end of a serial byte stream (RS-232, RS-485, the device server's serial side):
// bytes the PC wrote go in at the line rate the PC has set, the drives' acknowledges, answers
// and synchronisation answers come out as timed bytes, each tagged with the rate it was sent at.
//
// A drive only understands bytes sent at its own rate; bytes it sends reach the PC only while
// the PC's side runs at that rate (the transport checks when it hands the bytes over).
#pragma once

#include "drive_model.h"
#include "line_time.h"
#include "serial_codec.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace zsim {

struct LinkOptions {
    bool pace = false;        // bytes take the time the line rate gives them, both ways
    Nanos frameTimeout = 0;  // a gap longer than this abandons a frame in progress; 0 = never
    unsigned bitsPerChar = 11; // start + 8 data + 2 stop bits, as the PC sets the port
};

// Byte faults. Positions count the bytes of the stream from the link's start.
struct LinkFaults {
    unsigned dropRx = 0;
    unsigned dropTx = 0;
    unsigned corruptRx = 0;
    unsigned corruptTx = 0;
    std::optional<uint64_t> corruptRxAt;
    std::optional<uint64_t> corruptTxAt;
    unsigned garbage = 0; // answers (acknowledge, frame, sync answer) replaced by noise
};

struct LinkStats {
    uint64_t rxBytes = 0;
    uint64_t txBytes = 0;      // bytes handed to the PC side
    uint64_t frames = 0;       // well-formed frames on the PC's line (whoever they were for)
    uint64_t badChecksum = 0;
    uint64_t badLength = 0;    // bytes outside a frame that start no frame
    uint64_t split = 0;        // frames that arrived over more than one write of the PC
    uint64_t partial = 0;      // frames abandoned after a gap (frame time-out)
    uint64_t syncBytes = 0;
    uint64_t syncAnswers = 0;
    uint64_t rxRateMismatch = 0; // bytes no listening drive understood: wrong line rate
    uint64_t txRateMismatch = 0; // bytes lost because the PC's side ran at another rate
    uint64_t droppedRx = 0;
    uint64_t droppedTx = 0;
    uint64_t corruptedRx = 0;
    uint64_t corruptedTx = 0;
    uint64_t garbageAnswers = 0;
};

struct HistoryEntry {
    uint32_t rate; // the PC's line rate when the frame arrived
    Message message;
};

class SerialLink {
public:
    static constexpr std::size_t kHistoryLimit = 256;
    static constexpr uint32_t kAnyRate = 0; // bytes that reach the PC at whatever rate it runs

    SerialLink(DriveNetwork &network, LinkOptions options);

    // One write of the PC, arriving at `now` while its side of the line runs at `lineRate`.
    void Receive(std::span<const uint8_t> bytes, uint32_t lineRate, Nanos now);

    // Bytes due at the PC by `now`, at most `max`. Bytes sent at a rate other than `lineRate`
    // are lost on the way.
    std::vector<uint8_t> TakeDue(Nanos now, uint32_t lineRate, std::size_t max = SIZE_MAX);
    std::optional<Nanos> NextDue() const;
    bool Idle() const { return out_.empty(); }

    // A drive's message of its own accord; false when the drive cannot send now.
    bool SendUnsolicited(uint8_t axis, uint16_t opCode, std::span<const uint16_t> words, Nanos now);
    // A frame or raw bytes from the drives' side, received by the PC whatever its rate.
    void SendFrame(const Message &message, Nanos now);
    void Inject(std::span<const uint8_t> bytes, Nanos now);

    std::vector<HistoryEntry> TakeHistory();

    // Positions of the next byte in each direction (what LinkFaults' positions count).
    uint64_t rx_position() const { return rxPosition_; }
    uint64_t tx_position() const { return txPosition_; }

    LinkOptions &options() { return options_; }
    LinkFaults &faults() { return faults_; }
    LinkStats &stats() { return stats_; }

private:
    struct Listener {
        uint8_t axis;
        FrameParser parser;
        Nanos lastByte = 0;
    };
    struct OutByte {
        uint8_t value;
        uint32_t rate;
        Nanos due;
    };

    // The rate a byte travels at: `rate`, or the host drive's for bytes sent at any rate.
    uint32_t TravelRate(uint32_t rate) const;
    bool ApplyRxFaults(uint8_t &byte);
    void Monitor(uint8_t byte, uint32_t lineRate, Nanos arrival);
    void Listen(Listener &listener, uint8_t byte, uint32_t lineRate, Nanos arrival,
                bool &understood, bool &syncAnswered);
    void Answer(std::vector<uint8_t> bytes, uint32_t rate, Nanos due);
    uint8_t NoiseByte();

    DriveNetwork &network_;
    LinkOptions options_;
    LinkFaults faults_;
    LinkStats stats_;
    std::vector<Listener> listeners_;
    FrameParser monitor_;
    Nanos monitorLastByte_ = 0;
    uint64_t monitorFrameChunk_ = 0;
    uint64_t chunk_ = 0;
    uint64_t rxPosition_ = 0;
    uint64_t txPosition_ = 0;
    LineTime rxLine_; // the PC's bytes on their way to the drives (paced)
    LineTime txLine_; // the drives' bytes on their way to the PC (paced)
    Nanos txLast_ = 0; // due time of the latest byte queued for the PC: the line is first in, first out
    uint32_t noise_ = 0x2545F491u;
    std::deque<OutByte> out_;
    std::deque<HistoryEntry> history_;
};

} // namespace zsim

// The device server's TCP block commands on one connection. The PC sends a 10-byte command
// (little-endian) and, for a write, the data; the device server carries the block out with
// drive messages on its serial side and answers with one status byte per step (write) or with
// the words in chunks of four (read).
//
// The session never touches a socket or a clock: bytes go in with the time they arrived, bytes
// come out with the time they are due, so tests can drive it step by step.
#pragma once

#include "drive_model.h"
#include "serial_codec.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zsim {

struct BlockCommand {
    static constexpr std::size_t kSize = 10;
    static constexpr uint8_t kWrite = 0x20;
    static constexpr uint8_t kRead = 0x10;

    uint8_t command = 0; // kWrite or kRead OR the memory type
    uint8_t tries = 0;
    uint16_t timeoutMs = 0;
    uint8_t hostAxis = 0;
    uint8_t axis = 0;
    uint16_t address = 0;
    uint16_t count = 0; // words

    static BlockCommand Parse(std::span<const uint8_t, kSize> bytes);
    bool IsWrite() const { return (command & 0xF0) == kWrite; }
    bool IsRead() const { return (command & 0xF0) == kRead; }
    uint8_t memory_type() const { return command & 0x0F; }
    // "CMD:TRIES:TIMEOUT:HOST:AXIS:ADDRESS:COUNT" as the control line `blocks` prints it.
    std::string Describe() const;
};

// Status bytes of a block write.
namespace block_status {
inline constexpr uint8_t kStepDone = 0;
inline constexpr uint8_t kLastStepDone = 1;
inline constexpr uint8_t kNoAnswer = 2; // the drive did not acknowledge within the tries
} // namespace block_status

struct BlockFaults {
    unsigned tcpDrop = 0;   // block commands that close their connection instead
    unsigned badStatus = 0; // status bytes replaced by badStatusValue
    uint8_t badStatusValue = block_status::kNoAnswer;
    unsigned shortData = 0; // block reads that send one word less
};

struct BlockStats {
    uint64_t blocks = 0;
    uint64_t steps = 0;    // drive messages of blocks that were answered
    uint64_t failures = 0; // blocks a drive did not answer
};

// What every connection of one device server shares.
struct BlockShared {
    static constexpr std::size_t kHistoryLimit = 256;
    BlockFaults faults;
    BlockStats stats;
    std::deque<BlockCommand> history;
};

// The device server's serial side toward the drives.
struct SerialSide {
    uint32_t rate = 9600;
    bool pace = false; // bytes take the time the rate gives them
    unsigned bitsPerChar = 11;
};

class BlockSession {
public:
    explicit BlockSession(BlockShared &shared) : shared_(shared) {}

    // Bytes of the PC arriving at `now`; the drives of `network` are reached through `line`.
    void Receive(std::span<const uint8_t> bytes, Nanos now, DriveNetwork &network, const SerialSide &line);

    // Bytes due at the PC by `now`.
    std::vector<uint8_t> TakeDue(Nanos now);
    std::optional<Nanos> NextDue() const;
    // The connection is to be closed once TakeDue has handed out everything.
    bool closing() const { return closing_; }
    bool Finished() const { return closing_ && out_.empty(); }

private:
    struct Out {
        Nanos due;
        std::vector<uint8_t> bytes;
    };
    struct Exchange {
        DriveNetwork &network;
        const SerialSide &line;
    };

    bool StartBlock(const Exchange &exchange);
    void Read(const Exchange &exchange);
    void WriteStep(const Exchange &exchange, std::span<const uint8_t> data);
    std::size_t StepWords(unsigned step) const;
    // Sends `message` to the drives with the block's tries and time-out; true when the drive
    // acknowledged it (write) or answered it (read: the words in `answer`).
    bool Send(const Exchange &exchange, const Message &message, std::vector<uint16_t> *answer);
    Nanos CharTime(const SerialSide &line, std::size_t bytes) const;
    void Status(uint8_t status);
    void Put(std::vector<uint8_t> bytes);

    BlockShared &shared_;
    std::vector<uint8_t> in_;
    std::optional<BlockCommand> block_; // a write waiting for data
    unsigned step_ = 0;
    unsigned steps_ = 0;
    std::size_t drain_ = 0; // data bytes of an abandoned write still to drop
    Nanos clock_ = 0;       // when the device server is done with what it has been given
    bool closing_ = false;
    std::deque<Out> out_;
};

} // namespace zsim

// Block transfers of drive memory: a run of words written to or read from program, data or SPI
// memory of the active drive, two words per drive message (or, on a device server with a TCP
// connection, in one block command), with progress reports that may stop the transfer.
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>
#include <functional>
#include <span>

namespace zorcomm {

struct Slot;

// The data-memory word the drive writes through and advances when it receives words for
// memories other than data memory.
constexpr uint16_t kDownloadPointerAddress = 0x32B;

// The op codes, computed in 16 bits from the memory type (other types than 0..2 pass through
// into the op code unchanged).
constexpr uint16_t TwoWordBit(uint16_t words) { return static_cast<uint16_t>((words - 1u) & 1u); }
constexpr uint16_t DataWriteOpCode(uint16_t words) { return 0x9004 | TwoWordBit(words); }
constexpr uint16_t PointerWriteOpCode(uint8_t memoryType, uint16_t words) {
    return static_cast<uint16_t>(((0xE408u | memoryType) << 2) & 0xFFFF) | TwoWordBit(words);
}
constexpr uint16_t ReadRequestOpCode(uint8_t memoryType, uint16_t words) {
    return static_cast<uint16_t>(((0xEC00u | memoryType) << 2) & 0xFFFF) | TwoWordBit(words);
}
constexpr uint16_t ReadReplyOpCode(uint16_t words) { return 0xB404 | TwoWordBit(words); }

// How a block is cut into messages: blocks of more than two words go as count / 2 two-word
// steps plus a one-word step when the count is odd; smaller blocks as one step with all words.
struct BlockCut {
    explicit constexpr BlockCut(uint16_t count)
        : count(count), pairs(count > 2 ? count / 2u : 1u),
          steps(count > 2 ? count / 2u + (count & 1u) : 1u) {}
    // Words carried by step `index`.
    constexpr uint16_t WordsOf(uint32_t index) const {
        if (count <= 2) return count;
        return index < pairs ? 2 : 1;
    }
    uint16_t count;
    uint32_t pairs; // N of the progress percentage
    uint32_t steps;
};

// Where a transfer reports its progress (kind, text, percent); false asks it to stop. Empty:
// nobody listens, and no text is made.
using ProgressReport = std::function<bool(int32_t kind, const char *text, float percent)>;

// The application's callback with its value, as a report; empty when `callback` is null.
ProgressReport ApplicationProgress(ProgressCallback callback, uint32_t userValue);

// The address a drive answers a question of the PC at: the host address, with the PC bit on the
// types where the PC speaks through the host drive's serial link.
uint16_t ReplyToAddress(const Slot &slot);

bool SetDownloadPointer(uint16_t address);
// `words` holds the block (its size is the word count); the selected channel's active drive.
bool SendDataBlock(std::span<const uint16_t> words, uint16_t address, uint8_t memoryType,
                   const ProgressReport &report);
bool ReceiveDataBlock(std::span<uint16_t> words, uint16_t address, uint8_t memoryType,
                      const ProgressReport &report);

} // namespace zorcomm

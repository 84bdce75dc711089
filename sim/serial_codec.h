// The serial frame as the drives see it, written independently of the library's own framing
// so that a framing mistake on either side shows up as a failed exchange instead of being
// mirrored.
//
//   length byte (2 x words + 4) | address hi lo | op code hi lo | words hi lo ... | checksum
//
// The checksum is the low byte of the sum of every byte before it, the length byte included.
// A drive answers a correct frame with the acknowledge byte 0x4F and a synchronisation byte
// 0xFF met outside a frame with 0x0D.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zsim {

inline constexpr uint8_t kAcknowledge = 0x4F;
inline constexpr uint8_t kSyncByte = 0xFF;
inline constexpr uint8_t kSyncAnswer = 0x0D;
inline constexpr std::size_t kMaxWords = 4;
inline constexpr std::size_t kMaxFrameSize = 2 * kMaxWords + 6;

// One drive message: destination address word, op code and up to four data words.
struct Message {
    uint16_t length = 0;
    uint16_t address = 0;
    uint16_t opCode = 0;
    std::array<uint16_t, kMaxWords> data{};

    static Message Make(uint16_t address, uint16_t opCode, std::span<const uint16_t> words);
    std::span<const uint16_t> Words() const { return {data.data(), length}; }
    friend bool operator==(const Message &, const Message &) = default;
};

// "ADDR:OP[:D0,D1...]" in four-digit upper-case hex, as the control protocol prints messages.
std::string Describe(const Message &message);

uint8_t Checksum(std::span<const uint8_t> bytes);

// The complete frame of a message; `length` above 4 is cut to 4.
std::vector<uint8_t> BuildFrame(const Message &message);

// True for the length bytes a frame may start with: 4, 6, 8, 10, 12.
constexpr bool IsLengthByte(uint8_t byte) { return byte >= 4 && byte <= 12 && byte % 2 == 0; }

// Takes a byte stream apart one byte at a time, the way a drive's receiver does.
class FrameParser {
public:
    enum class Event {
        None,        // byte taken, the frame goes on
        Frame,       // a frame with a correct checksum is complete: message() holds it
        BadChecksum, // a complete frame whose checksum does not match
        BadLength,   // a byte outside a frame that is neither a length byte nor a sync byte
        Sync,        // 0xFF outside a frame
    };

    Event Feed(uint8_t byte);
    // Forgets a frame in progress; true when there was one.
    bool Abandon();
    bool InFrame() const { return expected_ != 0; }
    const Message &message() const { return message_; }

private:
    std::array<uint8_t, kMaxFrameSize> frame_{};
    std::size_t received_ = 0;
    std::size_t expected_ = 0; // total frame size including the checksum, 0 outside a frame
    Message message_;
};

} // namespace zsim

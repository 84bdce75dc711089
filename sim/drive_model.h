// A network of simulated drives, independent of the link that carries its messages: a message
// goes in, acknowledges and answers come out. The serial link (serial_link.h) puts bytes around
// it; other links (device server, CAN bus) can put their own framing around the same model.
//
// Time is passed in by the caller as nanoseconds on any monotonic scale, so the model itself
// never reads a clock and stays deterministic under test.
#pragma once

#include "serial_codec.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

// Simulator time: nanoseconds on a monotonic scale.
using Nanos = int64_t;
inline constexpr Nanos kNanosPerSecond = 1'000'000'000;
inline constexpr Nanos Milliseconds(int64_t ms) { return ms * 1'000'000; }
inline constexpr int64_t WholeMilliseconds(Nanos time) { return time / 1'000'000; }
// How long `bits` take at `rate` bit/s, rounded up to the next nanosecond (0 at rate 0).
inline constexpr Nanos BitTime(uint64_t bits, uint32_t rate)
{
    if (rate == 0) return 0;
    // Split so that the product stays in range for any count of bits.
    return static_cast<Nanos>(bits / rate) * kNanosPerSecond +
           static_cast<Nanos>(((bits % rate) * static_cast<uint64_t>(kNanosPerSecond) + rate - 1) / rate);
}

enum class MemoryType : uint8_t { Program = 0, Data = 1, Spi = 2 };
inline constexpr std::size_t kMemoryTypes = 3;
inline constexpr std::size_t kMemoryWords = 0x10000;

inline constexpr std::array<uint32_t, 5> kBaudRates = {9600, 19200, 38400, 57600, 115200};
// Code of the set-baud-rate message for a rate, or nullopt for a rate outside the table.
std::optional<uint16_t> BaudCode(uint32_t rate);
std::optional<uint32_t> BaudFromCode(uint16_t code);

// The two words a drive answers the board-information query with, from its version text:
// "F" + four characters (the characters travel as ASCII), "S" + three or four digits of the
// packed form, or "0xD0/0xD1" for two raw words. nullopt for a text that cannot be encoded.
std::optional<std::array<uint16_t, 2>> EncodeVersion(std::string_view text);

// Op codes the drives act on.
namespace op {
inline constexpr uint16_t kReset = 0x0402;
inline constexpr uint16_t kSetBaudRate = 0x0820;
inline constexpr uint16_t kBoardInfo = 0xD801;
inline constexpr uint16_t kReadReply = 0xB404; // | 1 for two words
} // namespace op

inline constexpr uint16_t kGroupFlag = 0x1000;
inline constexpr uint16_t kPcBit = 0x0001;
inline constexpr uint16_t AxisAddress(uint8_t axis) { return static_cast<uint16_t>(axis << 4); }
inline constexpr uint8_t AddressAxis(uint16_t address) { return static_cast<uint8_t>(address >> 4); }

// How the drives share the link.
enum class Topology {
    Chain, // RS-232 or device server: the first drive is wired to the PC and relays to the rest
    Bus,   // RS-485: every drive hears every byte; group messages are not acknowledged
};

struct DriveSetup {
    uint8_t axis = 1;
    std::string version = "F120H";
    uint32_t baud = 9600;
    uint8_t group = 0; // 0: member of no group (still hears group field 0, "all drives")
};

struct NetworkConfig {
    Topology topology = Topology::Chain;
    std::vector<DriveSetup> drives{DriveSetup{}}; // on a chain the first is the host drive
    Nanos resetSilence = Milliseconds(100);       // how long a reset drive stays deaf
    bool autodetect = true; // the host answers the query for its own axis (address 0)
};

class Drive {
public:
    explicit Drive(const DriveSetup &setup);

    uint8_t axis() const { return axis_; }
    uint16_t address() const { return AxisAddress(axis_); }
    uint32_t baud() const { return baud_; }
    void set_baud(uint32_t baud) { baud_ = baud; }
    uint8_t group() const { return group_; }
    void set_group(uint8_t group) { group_ = group; }
    const std::string &version() const { return version_; }
    const std::array<uint16_t, 2> &version_words() const { return versionWords_; }
    bool SetVersion(std::string_view text); // false when the text cannot be encoded
    Nanos reset_until() const { return resetUntil_; }
    void set_reset_until(Nanos until) { resetUntil_ = until; }

    bool InGroup(uint8_t groupField) const { return groupField == 0 || groupField == group_; }

    uint16_t Peek(MemoryType type, uint16_t address) const;
    void Poke(MemoryType type, uint16_t address, uint16_t word);
    // Wrapping 16-bit sum of the words from `start` up to `end` inclusive (addresses wrap too).
    uint16_t Sum(MemoryType type, uint16_t start, uint16_t end) const;

private:
    uint8_t axis_;
    uint32_t baud_;
    uint8_t group_;
    std::string version_;
    std::array<uint16_t, 2> versionWords_{};
    Nanos resetUntil_ = 0;
    // Allocated on the first write: most drives of a test never touch most memories.
    std::array<std::unique_ptr<std::array<uint16_t, kMemoryWords>>, kMemoryTypes> memory_;
};

// The acknowledge of one later message of a kind: the message whose op code matches `opCode`
// in the bits of `mask`, after `skip` such messages, is carried out but not acknowledged.
struct WithholdAt {
    unsigned skip = 0;
    uint16_t opCode = 0;
    uint16_t mask = 0; // 0: any message
};

// Faults applied to messages; the byte faults live in the link.
struct MessageFaults {
    unsigned withholdAcks = 0; // message executed, acknowledge not sent
    std::optional<WithholdAt> withholdAt;
    unsigned ignoreFrames = 0; // message neither executed nor acknowledged
    Nanos delay = 0;          // extra wait before an answer leaves
    unsigned delayCount = 0;   // answers still to delay; with delayAll every answer
    bool delayAll = false;
    Nanos silentUntil = 0; // no drive hears or says anything before this time
};

struct NetworkStats {
    uint64_t executed = 0;    // messages that reached a drive and were acted on
    uint64_t acknowledged = 0;
    uint64_t replies = 0;
    uint64_t ignored = 0;     // by the ignore fault, or heard while deaf (reset, silence)
    uint64_t withheld = 0;
    uint64_t unsolicited = 0;
};

class DriveNetwork {
public:
    explicit DriveNetwork(NetworkConfig config);

    Topology topology() const { return topology_; }
    Drive &host() { return *drives_.front(); }
    const Drive &host() const { return *drives_.front(); }
    Drive *Find(uint8_t axis);
    const Drive *Find(uint8_t axis) const;
    std::vector<Drive *> Drives();
    // Drives that take bytes off the PC's link: the host on a chain, every drive on a bus.
    std::vector<Drive *> Listeners();

    // Whether a drive hears and speaks at `now` (not resetting, no silence fault).
    bool Responsive(const Drive &drive, Nanos now) const;

    // What goes back on the link after a message.
    struct Answer {
        bool acknowledge = false;
        std::vector<Message> replies;
        Nanos delay = 0;
    };
    // A message with a correct checksum that `receiver`, a listener, took off the link.
    // Rates change (set baud rate, reset) after the answer has been decided: a link sends the
    // answer at the rate the receiver had before the call.
    Answer Receive(Drive &receiver, const Message &message, Nanos now);

    // A message a drive sends of its own accord to the PC; nullopt when the drive does not exist
    // or cannot speak now.
    std::optional<Message> Unsolicited(uint8_t axis, uint16_t opCode,
                                       std::span<const uint16_t> words, Nanos now);

    // The address the drives answer the PC at: the reply-to word of the PC's latest query, until
    // then the host's address with the PC bit on a chain, 0 on a bus.
    uint16_t pc_address() const { return pcAddress_; }
    void set_pc_address(uint16_t address) { pcAddress_ = address; }

    bool autodetect() const { return autodetect_; }
    void set_autodetect(bool on) { autodetect_ = on; }
    Nanos reset_silence() const { return resetSilence_; }
    void set_reset_silence(Nanos silence) { resetSilence_ = silence; }

    MessageFaults &faults() { return faults_; }
    NetworkStats &stats() { return stats_; }

private:
    std::vector<Drive *> Targets(Drive &receiver, const Message &message, bool &acknowledge);
    bool WithholdsThis(const Message &message);
    void Execute(Drive &drive, const Message &message, Nanos now, std::vector<Message> &replies);
    void ExecuteWrite(Drive &drive, const Message &message);
    void ExecuteRead(Drive &drive, const Message &message, std::vector<Message> &replies);
    void ExecuteChecksum(Drive &drive, const Message &message, std::vector<Message> &replies);
    void NoteReplyTo(uint16_t address) { pcAddress_ = address; }

    Topology topology_;
    std::vector<std::unique_ptr<Drive>> drives_;
    Nanos resetSilence_;
    bool autodetect_;
    uint16_t pcAddress_;
    MessageFaults faults_;
    NetworkStats stats_;
};

} // namespace zsim

// What the fuzz targets share: a reader over the fuzzer's bytes, a link whose bytes come from
// them, the process's own shared region with one channel slot, and a socket library whose
// answers come from the fuzzer's bytes too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <zorcomm/zorcomm.h>

#include <array>
#include <initializer_list>
#include <memory>

#include "core/channel_record.h"
#include "transport/link.h"

namespace zfuzz {

// Stops the run with a message when a property of the code under test does not hold; libFuzzer
// keeps the input that did it.
#define ZFUZZ_CHECK(condition)                                                                    \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,      \
                         #condition);                                                             \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

// The fuzzer's bytes, taken from the front; an exhausted input gives zeros.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t remaining() const { return size_ - position_; }
    size_t consumed() const { return position_; }

    uint8_t Byte() { return empty() ? 0 : data_[position_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Long() { return static_cast<uint32_t>(Word()) | static_cast<uint32_t>(Word()) << 16; }
    // Up to `count` bytes.
    std::span<const uint8_t> Bytes(size_t count) {
        const size_t taken = count < remaining() ? count : remaining();
        const std::span<const uint8_t> bytes(data_ + position_, taken);
        position_ += taken;
        return bytes;
    }
    std::span<const uint8_t> Rest() { return Bytes(remaining()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

// A byte-stream link whose received bytes are the fuzzer's; what is written is only counted.
// A read past the end fails like a port time-out (0x20000076).
class ScriptedLink : public zorcomm::Link {
public:
    ScriptedLink(zorcomm::Slot &slot, Input &input) : Link(slot), input_(input) {}

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override {}
    int32_t BytesInQueue() override { return static_cast<int32_t>(input_.remaining()); }
    uint32_t BaudRate() const override { return 9600; }
    bool SetLinkBaudRate(uint32_t) override { return true; }
    uint32_t Handle() const override { return 1; }

    size_t written = 0;

private:
    Input &input_;
};

// A point-to-point link to one small drive: it acknowledges every frame, keeps program, data
// and SPI memory, writes through the download pointer, and answers reads and checksum queries.
class DriveLink : public zorcomm::Link {
public:
    explicit DriveLink(zorcomm::Slot &slot);

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override { pending_.clear(); }
    int32_t BytesInQueue() override { return static_cast<int32_t>(pending_.size()); }
    uint32_t BaudRate() const override { return 9600; }
    bool SetLinkBaudRate(uint32_t) override { return true; }
    uint32_t Handle() const override { return 1; }

    uint16_t Word(uint8_t memory, uint16_t address) const { return memory_[memory % 3][address]; }

private:
    void Carry(const DriveMessage &message);
    void Answer(uint16_t to, uint16_t opCode, std::initializer_list<uint16_t> words);

    std::array<uint16_t *, 3> memory_{};
    std::vector<uint8_t> pending_;
};

// Maps a shared region of the process's own (removed at exit) and attaches to it, so that the
// routines under test find their slot, settings and per-process state. Settings are those of a
// fast test: no dead times, 3 tries, no synchronisation pauses.
void AttachProcess();

// The selected slot, emptied, for a link to be made on it.
zorcomm::Slot &EmptySlot();
// Gives the selected slot a channel of `type` on `link` (installed in the process's link table;
// removed by ReleaseChannel).
zorcomm::Slot &InstallChannel(uint8_t type, std::unique_ptr<zorcomm::Link> link);
void ReleaseChannel();

// A temporary file holding `bytes`; removed by the destructor.
class TemporaryFile {
public:
    explicit TemporaryFile(std::span<const uint8_t> bytes);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// ---- the socket library ----------------------------------------------------------------------

// Binds the socket library once and replaces its entry points by ones whose results come from
// the fuzzer's bytes (nothing reaches the network, and no name is ever looked up).
void FakeSocketLibrary();

// Where the fake socket library takes its answers from. Automatic: every command to the
// device server is answered properly, sends take everything, receives find nothing; for the
// set-up of a channel. Scripted: answers come from `input` as below.
struct SocketScript {
    Input *input = nullptr;
    bool automatic = true;

    // Scripted recvfrom: a kind byte (0 nothing came: the time-out; 1 from the address last sent
    // to; 2 from another port; 3 from another address; 4 with an address of the wrong size),
    // a length byte and the datagram's bytes.
    // Scripted recv: a length byte (0 the peer closed the connection, 255 a reset) and the bytes.
    // Scripted send: a byte for how much is taken (0 nothing: would block; 255 a reset).
    // Scripted gethostbyname: a kind byte (0 not found, 1 an entry of 4-byte addresses, 2 an
    // entry of 16-byte addresses, 3 an entry without addresses) and 4 address bytes.

    // What the fake saw, for the targets' checks.
    std::vector<uint8_t> received;     // every byte recv handed out, in order
    bool answerDelivered = false;      // a 1-byte datagram from the peer equal to command + 1
    int32_t lastSocketError = 0;
    uint8_t lastCommand = 0;
};
SocketScript &Script();

} // namespace zfuzz

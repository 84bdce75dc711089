#include "drive_model.h"

#include <algorithm>
#include <charconv>

namespace zsim {

namespace {

constexpr uint16_t kWriteMask = 0xFFD0; // 0x9000 direct, 0x9020 through a pointer
constexpr uint16_t kWriteBase = 0x9000;
constexpr uint16_t kWriteThroughPointer = 0x0020;
constexpr uint16_t kReadMask = 0xFFF2;
constexpr uint16_t kReadBase = 0xB000;
constexpr uint16_t kChecksumMask = 0xFF9F;
constexpr uint16_t kChecksumBase = 0xDA10;

std::optional<MemoryType> MemoryFromBits(unsigned bits)
{
    if (bits >= kMemoryTypes) return std::nullopt;
    return static_cast<MemoryType>(bits);
}

std::optional<uint16_t> ParseHexWord(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc{} || end != text.data() + text.size() || value > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(value);
}

} // namespace

std::optional<uint16_t> BaudCode(uint32_t rate)
{
    for (std::size_t i = 0; i < kBaudRates.size(); ++i) {
        if (kBaudRates[i] == rate) return static_cast<uint16_t>(i);
    }
    return std::nullopt;
}

std::optional<uint32_t> BaudFromCode(uint16_t code)
{
    if (code >= kBaudRates.size()) return std::nullopt;
    return kBaudRates[code];
}

std::optional<std::array<uint16_t, 2>> EncodeVersion(std::string_view text)
{
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        auto d0 = ParseHexWord(text.substr(0, slash));
        auto d1 = ParseHexWord(text.substr(slash + 1));
        if (!d0 || !d1) return std::nullopt;
        return std::array<uint16_t, 2>{*d0, *d1};
    }
    if (text.size() == 5 && text[0] == 'F') {
        auto pair = [&](std::size_t at) {
            return static_cast<uint16_t>(static_cast<uint8_t>(text[at]) << 8 | static_cast<uint8_t>(text[at + 1]));
        };
        std::array<uint16_t, 2> words{pair(1), pair(3)};
        // The PC tells the two forms apart by these bits of the second word.
        if ((words[1] & 0xF00F) == 0) return std::nullopt;
        return words;
    }
    if ((text.size() == 4 || text.size() == 5) && text[0] == 'S') {
        unsigned digit[4] = {0, 0, 0, 0};
        for (std::size_t i = 1; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '0' + 15) return std::nullopt;
            digit[i - 1] = static_cast<unsigned>(text[i] - '0');
        }
        // Packed as: bits 8-9 first digit, 10-12 second, 4-7 third, 0-3 the optional fourth
        // (a fourth digit of 0 cannot be told from none).
        if (digit[0] > 3 || digit[1] > 7 || (text.size() == 5 && digit[3] == 0)) return std::nullopt;
        const auto d0 = static_cast<uint16_t>(digit[1] << 10 | digit[0] << 8 | digit[2] << 4 | digit[3]);
        return std::array<uint16_t, 2>{d0, 0};
    }
    return std::nullopt;
}

Drive::Drive(const DriveSetup &setup) : axis_(setup.axis), baud_(setup.baud), group_(setup.group)
{
    if (!SetVersion(setup.version)) SetVersion("F120H");
}

bool Drive::SetVersion(std::string_view text)
{
    auto words = EncodeVersion(text);
    if (!words) return false;
    version_ = std::string(text);
    versionWords_ = *words;
    return true;
}

uint16_t Drive::Peek(MemoryType type, uint16_t address) const
{
    const auto &block = memory_[static_cast<std::size_t>(type)];
    return block ? (*block)[address] : 0;
}

void Drive::Poke(MemoryType type, uint16_t address, uint16_t word)
{
    auto &block = memory_[static_cast<std::size_t>(type)];
    if (!block) {
        if (word == 0) return;
        block = std::make_unique<std::array<uint16_t, kMemoryWords>>();
        block->fill(0);
    }
    (*block)[address] = word;
}

uint16_t Drive::Sum(MemoryType type, uint16_t start, uint16_t end) const
{
    const uint32_t count = static_cast<uint16_t>(end - start) + 1u;
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + Peek(type, static_cast<uint16_t>(start + i)));
    return sum;
}

DriveNetwork::DriveNetwork(NetworkConfig config)
    : topology_(config.topology), resetSilence_(config.resetSilence), autodetect_(config.autodetect)
{
    if (config.drives.empty()) config.drives.push_back(DriveSetup{});
    for (const auto &setup : config.drives) {
        if (setup.axis == 0 || Find(setup.axis)) continue; // axis 0 is "unknown", never a drive
        drives_.push_back(std::make_unique<Drive>(setup));
    }
    if (drives_.empty()) drives_.push_back(std::make_unique<Drive>(DriveSetup{}));
    pcAddress_ = topology_ == Topology::Chain ? static_cast<uint16_t>(host().address() | kPcBit) : 0;
}

Drive *DriveNetwork::Find(uint8_t axis)
{
    for (auto &drive : drives_) {
        if (drive->axis() == axis) return drive.get();
    }
    return nullptr;
}

const Drive *DriveNetwork::Find(uint8_t axis) const
{
    return const_cast<DriveNetwork *>(this)->Find(axis);
}

std::vector<Drive *> DriveNetwork::Drives()
{
    std::vector<Drive *> all;
    for (auto &drive : drives_) all.push_back(drive.get());
    return all;
}

std::vector<Drive *> DriveNetwork::Listeners()
{
    if (topology_ == Topology::Chain) return {&host()};
    return Drives();
}

bool DriveNetwork::Responsive(const Drive &drive, Nanos now) const
{
    return now >= drive.reset_until() && now >= faults_.silentUntil;
}

std::vector<Drive *> DriveNetwork::Targets(Drive &receiver, const Message &message, bool &acknowledge)
{
    const bool group = (message.address & kGroupFlag) != 0;
    const uint8_t field = AddressAxis(message.address);
    std::vector<Drive *> targets;
    if (topology_ == Topology::Bus) {
        // Every drive on the bus hears the frame itself; each answers only for itself, and
        // nobody answers a group frame (several drives would talk at once).
        acknowledge = false;
        if (group) {
            if (receiver.InGroup(field)) targets.push_back(&receiver);
        } else if (field != 0 && field == receiver.axis()) {
            targets.push_back(&receiver);
            acknowledge = true;
        }
        return targets;
    }
    // Chain: the host takes every frame off the PC's line and relays it.
    if (group) {
        for (auto &drive : drives_) {
            if (drive->InGroup(field)) targets.push_back(drive.get());
        }
        acknowledge = true;
    } else if (field == 0) {
        // Address 0 is the drive wired to the PC, whatever its axis ID.
        if (autodetect_) targets.push_back(&host());
        acknowledge = true;
    } else if (Drive *drive = Find(field)) {
        targets.push_back(drive);
        acknowledge = true;
    } else {
        acknowledge = false;
    }
    return targets;
}

DriveNetwork::Answer DriveNetwork::Receive(Drive &receiver, const Message &message, Nanos now)
{
    Answer answer;
    if (!Responsive(receiver, now)) {
        ++stats_.ignored;
        return answer;
    }
    if (faults_.ignoreFrames > 0) {
        --faults_.ignoreFrames;
        ++stats_.ignored;
        return answer;
    }
    for (Drive *target : Targets(receiver, message, answer.acknowledge)) {
        if (!Responsive(*target, now)) {
            ++stats_.ignored;
            continue;
        }
        Execute(*target, message, now, answer.replies);
        ++stats_.executed;
    }
    if (answer.acknowledge && faults_.withholdAcks > 0) {
        --faults_.withholdAcks;
        ++stats_.withheld;
        answer.acknowledge = false;
    }
    if (answer.acknowledge && WithholdsThis(message)) {
        ++stats_.withheld;
        answer.acknowledge = false;
    }
    if (answer.acknowledge) ++stats_.acknowledged;
    stats_.replies += answer.replies.size();
    if ((answer.acknowledge || !answer.replies.empty()) && (faults_.delayAll || faults_.delayCount > 0)) {
        answer.delay = faults_.delay;
        if (!faults_.delayAll) --faults_.delayCount;
    }
    return answer;
}

// Counts the messages of the kind the fault waits for; true for the one it withholds.
bool DriveNetwork::WithholdsThis(const Message &message)
{
    auto &fault = faults_.withholdAt;
    if (!fault || (message.opCode & fault->mask) != (fault->opCode & fault->mask)) return false;
    if (fault->skip > 0) {
        --fault->skip;
        return false;
    }
    fault.reset();
    return true;
}

std::optional<Message> DriveNetwork::Unsolicited(uint8_t axis, uint16_t opCode,
                                                 std::span<const uint16_t> words, Nanos now)
{
    const Drive *drive = Find(axis);
    if (!drive || !Responsive(*drive, now)) return std::nullopt;
    if (topology_ == Topology::Chain && !Responsive(host(), now)) return std::nullopt;
    ++stats_.unsolicited;
    return Message::Make(pcAddress_, opCode, words);
}

void DriveNetwork::Execute(Drive &drive, const Message &message, Nanos now, std::vector<Message> &replies)
{
    const uint16_t code = message.opCode;
    if (code == op::kReset) {
        drive.set_reset_until(now + resetSilence_);
        drive.set_baud(kBaudRates.front());
    } else if (code == op::kSetBaudRate) {
        if (message.length >= 1) {
            if (auto rate = BaudFromCode(message.data[0])) drive.set_baud(*rate);
        }
    } else if (code == op::kBoardInfo) {
        if (message.length >= 1) {
            NoteReplyTo(message.data[0]);
            replies.push_back(Message::Make(message.data[0], op::kBoardInfo, drive.version_words()));
        }
    } else if ((code & kWriteMask) == kWriteBase) {
        ExecuteWrite(drive, message);
    } else if ((code & kReadMask) == kReadBase) {
        ExecuteRead(drive, message, replies);
    } else if ((code & kChecksumMask) == kChecksumBase) {
        ExecuteChecksum(drive, message, replies);
    }
    // Any other op code is the drive's own business: acknowledged, nothing more.
}

// data[0] is the target address (direct write) or the data-memory address of the pointer that
// is written through and advanced word by word (the download pointer, 0x32B).
void DriveNetwork::ExecuteWrite(Drive &drive, const Message &message)
{
    auto type = MemoryFromBits((message.opCode >> 2) & 3);
    if (!type || message.length < 1) return;
    const auto words = message.Words().subspan(1);
    if ((message.opCode & kWriteThroughPointer) == 0) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            drive.Poke(*type, static_cast<uint16_t>(message.data[0] + i), words[i]);
        }
        return;
    }
    const uint16_t pointerAddress = message.data[0];
    for (uint16_t word : words) {
        const uint16_t at = drive.Peek(MemoryType::Data, pointerAddress);
        drive.Poke(*type, at, word);
        drive.Poke(MemoryType::Data, pointerAddress, static_cast<uint16_t>(at + 1));
    }
}

// data: reply-to address, memory address. The answer carries the drive's own address, the
// memory address and one or two words.
void DriveNetwork::ExecuteRead(Drive &drive, const Message &message, std::vector<Message> &replies)
{
    auto type = MemoryFromBits((message.opCode >> 2) & 3);
    if (!type || message.length < 2) return;
    const unsigned count = (message.opCode & 1) + 1u;
    const uint16_t from = message.data[1];
    std::array<uint16_t, 4> words{drive.address(), from, drive.Peek(*type, from),
                                  drive.Peek(*type, static_cast<uint16_t>(from + 1))};
    NoteReplyTo(message.data[0]);
    replies.push_back(Message::Make(message.data[0], static_cast<uint16_t>(op::kReadReply | (count - 1)),
                                    std::span<const uint16_t>(words.data(), 2 + count)));
}

// data: reply-to address, first and last address (inclusive).
void DriveNetwork::ExecuteChecksum(Drive &drive, const Message &message, std::vector<Message> &replies)
{
    auto type = MemoryFromBits((message.opCode >> 5) & 3);
    if (!type || message.length < 3) return;
    const uint16_t sum = drive.Sum(*type, message.data[1], message.data[2]);
    NoteReplyTo(message.data[0]);
    replies.push_back(Message::Make(message.data[0], message.opCode, std::span<const uint16_t>(&sum, 1)));
}

} // namespace zsim

// The executable file the drives run: common object file format version 1 for the TMS320C2xx.
// Reading and checking its headers, choosing the sections to load and where they go, and the
// checksum of a section's words. Nothing here talks to a drive, so it can be checked (and fed
// arbitrary bytes) on its own.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zorcomm::coff {

constexpr size_t kFileHeaderSize = 22;
constexpr size_t kOptionalHeaderSize = 28;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kNameSize = 8;

constexpr uint16_t kVersion1 = 0x00C1;
constexpr uint16_t kFixedPointTarget = 0x0092;
constexpr uint16_t kExecutableFlag = 0x0002; // linked, no unresolved references
constexpr uint16_t kC2xxFlag = 0x0080;
// Section flags that mark loadable contents (text, data, copy, ...); a section without any flag
// is loaded too.
constexpr uint16_t kLoadableSectionFlags = 0x0004 | 0x0008 | 0x0020 | 0x0040;

// Reads bytes of the file at an offset; false when fewer than asked for could be had.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool ReadAt(uint64_t offset, std::span<uint8_t> bytes) = 0;
    // The file's length in bytes.
    virtual uint64_t Size() = 0;
};

// A file already in memory.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> bytes) override;
    uint64_t Size() override { return bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
};

struct FileHeader {
    uint16_t version = 0;
    uint16_t sectionCount = 0;
    uint16_t optionalHeaderSize = 0;
    uint16_t flags = 0;
    uint16_t targetId = 0;
    uint16_t entryPoint = 0; // low half of the optional header's entry point
};

// What is wrong with a file's headers, in the order the checks are made.
enum class HeaderProblem {
    None,
    WrongFormat,       // file header too short
    NotVersion1,       // version ID
    NotFixedPoint,     // target ID
    NotLinked,         // optional header size
    Unresolved,        // executable flag clear
    NotC2xx,           // C2xx flag clear
    ShortOptional,     // optional header too short
};

// The log text of a problem, with one %s for the file name.
const char *HeaderProblemText(HeaderProblem problem);

// Reads the file header and the optional header and checks them in order.
HeaderProblem ReadHeaders(ByteSource &source, FileHeader &header);

struct SectionHeader {
    std::array<char, kNameSize> name{}; // not terminated in the file
    int32_t virtualAddress = 0;
    uint32_t size = 0;        // words
    uint32_t rawDataOffset = 0;
    uint16_t flags = 0;
    uint8_t page = 0;

    // The name as shown: up to 8 characters, ending at the first zero byte.
    std::string Name() const;
};

constexpr uint64_t SectionHeaderOffset(uint32_t number) {
    return kFileHeaderSize + kOptionalHeaderSize + uint64_t{kSectionHeaderSize} * (number - 1);
}

// Header `number` (counted from 1); false when the file ends before it does.
bool ReadSectionHeader(ByteSource &source, uint32_t number, SectionHeader &section);

// Loaded are sections with loadable contents (or no flags at all), some words, page 0 (program
// memory) and raw data in the file. Everything else is skipped without a word.
bool IsLoaded(const SectionHeader &section);

// Where a loaded section goes in the drive, by its address.
enum class Placement {
    Program,    // program memory: 0x0800..0x0FFF, 0x8000..0xFFFF
    Spi,        // SPI memory: 0x3000..0x7FFF, within the SPI memory's size
    Flash,      // the flash ranges, or words that would run on into one or past 0xFFFF
    SpiTooLong, // in SPI memory, but past the end of its size
};
Placement PlaceSection(int32_t address, uint32_t size, uint16_t spiMemorySize);

// The section's raw data as words (little-endian in the file). False when the file ends first
// (checked before any memory is taken for them).
bool ReadSectionWords(ByteSource &source, const SectionHeader &section,
                      std::vector<uint16_t> &words);

// The wrapping 16-bit sum the drives answer a checksum query with.
uint16_t Checksum(std::span<const uint16_t> words);

} // namespace zorcomm::coff

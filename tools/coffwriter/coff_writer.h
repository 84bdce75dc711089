// Writes executables for the drives (common object file format version 1, TMS320C2xx) from
// section descriptions, and deliberately broken ones for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace coffwriter {

// Section flags.
constexpr uint16_t kText = 0x0020;
constexpr uint16_t kData = 0x0040;
constexpr uint16_t kBss = 0x0080;
constexpr uint16_t kCopy = 0x0010;

// File header flags: relocation, line numbers and local symbols stripped, executable, C2xx.
constexpr uint16_t kExecutableFlags = 0x0001 | 0x0002 | 0x0004 | 0x0008 | 0x0080;

enum class Page : uint8_t { Program = 0, Data = 1 };

struct Section {
    std::string name;            // 8 bytes in the file: longer names are cut, 8 are unterminated
    int32_t runAddress = 0;      // where the drive loads the section (virtual address)
    std::optional<int32_t> loadAddress; // physical address; the run address when not given
    Page page = Page::Program;
    uint16_t flags = kText;
    std::vector<uint16_t> words; // raw data; none for sections such as .bss
    // For files that lie: the size field instead of the number of words, and the raw data
    // offset instead of where the words are put (0 = no data).
    std::optional<uint32_t> size;
    std::optional<uint32_t> rawDataOffset;
};

struct Executable {
    uint16_t entryPoint = 0;
    std::vector<Section> sections;
    uint16_t version = 0x00C1;
    uint16_t targetId = 0x0092;
    uint16_t flags = kExecutableFlags;
    uint16_t optionalHeaderSize = 28;
};

// Deliberate faults of the file's layout (wrong field values go through Executable).
enum class Breakage {
    None,
    BadVersion,             // version ID 0x00C2
    BadTarget,              // target ID 0x0093
    Unlinked,               // no optional header (size 0)
    Unresolved,             // executable flag clear
    NotC2xx,                // C2xx flag clear
    TruncatedFileHeader,    // the file ends inside the file header
    TruncatedOptionalHeader,
    TruncatedSectionHeader, // the file ends inside the last section header
    DataPastEnd,            // the first section with words claims more words than the file has
    LongName,               // every name fills its 8 bytes and runs on into the next field
};

// The file's bytes.
std::vector<uint8_t> Write(const Executable &executable, Breakage breakage = Breakage::None);
bool WriteFile(const std::string &path, const Executable &executable,
               Breakage breakage = Breakage::None);

// Names of the breakages for the command line ("bad-version", ...); nullopt for unknown names.
std::optional<Breakage> BreakageNamed(std::string_view name);
std::vector<std::string_view> BreakageNames();

// `count` words from a small generator, the same for the same seed.
std::vector<uint16_t> PatternWords(size_t count, uint32_t seed);

} // namespace coffwriter

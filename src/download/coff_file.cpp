#include "download/coff_file.h"

#include <algorithm>
#include <cstring>

namespace zorcomm::coff {

namespace {

constexpr int64_t kProgramLowStart = 0x0800;
constexpr int64_t kProgramLowEnd = 0x1000; // first address after
constexpr int64_t kSpiStart = 0x3000;
constexpr int64_t kProgramHighStart = 0x8000;
constexpr int64_t kAddressSpaceEnd = 0x10000;

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t Long(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint32_t>(Word(bytes, at)) |
           static_cast<uint32_t>(Word(bytes, at + 2)) << 16;
}

// The checks after the file header, in their order.
HeaderProblem CheckFileHeader(const FileHeader &header) {
    if (header.version != kVersion1) return HeaderProblem::NotVersion1;
    if (header.targetId != kFixedPointTarget) return HeaderProblem::NotFixedPoint;
    if (header.optionalHeaderSize != kOptionalHeaderSize) return HeaderProblem::NotLinked;
    if ((header.flags & kExecutableFlag) == 0) return HeaderProblem::Unresolved;
    if ((header.flags & kC2xxFlag) == 0) return HeaderProblem::NotC2xx;
    return HeaderProblem::None;
}

} // namespace

bool MemorySource::ReadAt(uint64_t offset, std::span<uint8_t> bytes) {
    if (offset > bytes_.size() || bytes.size() > bytes_.size() - offset) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), bytes.size(), bytes.begin());
    return true;
}

const char *HeaderProblemText(HeaderProblem problem) {
    switch (problem) {
    case HeaderProblem::None: return "";
    case HeaderProblem::WrongFormat:
    case HeaderProblem::ShortOptional: return "File %s has wrong format";
    case HeaderProblem::NotVersion1: return "File %s format is not COFF version 1";
    case HeaderProblem::NotFixedPoint: return "File %s is not in TMS320 Fix Point format";
    case HeaderProblem::NotLinked: return "File %s is not linked";
    case HeaderProblem::Unresolved: return "File %s contains unresolved external references";
    case HeaderProblem::NotC2xx: return "File %s is not a TMS320C2xx executable";
    }
    return "";
}

HeaderProblem ReadHeaders(ByteSource &source, FileHeader &header) {
    std::array<uint8_t, kFileHeaderSize> file{};
    if (!source.ReadAt(0, file)) return HeaderProblem::WrongFormat;
    header.version = Word(file, 0);
    header.sectionCount = Word(file, 2);
    header.optionalHeaderSize = Word(file, 16);
    header.flags = Word(file, 18);
    header.targetId = Word(file, 20);
    if (const HeaderProblem problem = CheckFileHeader(header); problem != HeaderProblem::None)
        return problem;
    std::array<uint8_t, kOptionalHeaderSize> optional{};
    if (!source.ReadAt(kFileHeaderSize, optional)) return HeaderProblem::ShortOptional;
    header.entryPoint = Word(optional, 16);
    return HeaderProblem::None;
}

std::string SectionHeader::Name() const {
    const auto end = std::find(name.begin(), name.end(), '\0');
    return std::string(name.begin(), end);
}

bool ReadSectionHeader(ByteSource &source, uint32_t number, SectionHeader &section) {
    std::array<uint8_t, kSectionHeaderSize> bytes{};
    if (number == 0 || !source.ReadAt(SectionHeaderOffset(number), bytes)) return false;
    std::memcpy(section.name.data(), bytes.data(), kNameSize);
    section.virtualAddress = static_cast<int32_t>(Long(bytes, 12));
    section.size = Long(bytes, 16);
    section.rawDataOffset = Long(bytes, 20);
    section.flags = Word(bytes, 36);
    section.page = bytes[39];
    return true;
}

bool IsLoaded(const SectionHeader &section) {
    const bool loadable = section.flags == 0 || (section.flags & kLoadableSectionFlags) != 0;
    return loadable && section.size != 0 && section.page == 0 && section.rawDataOffset != 0;
}

Placement PlaceSection(int32_t address, uint32_t size, uint16_t spiMemorySize) {
    // Whole numbers, so that a huge size cannot wrap the end of a section back into range.
    const int64_t start = address;
    const int64_t end = start + size; // first address after the section
    if (start >= kProgramHighStart)
        return end <= kAddressSpaceEnd ? Placement::Program : Placement::Flash;
    if (start >= kSpiStart)
        return end < kSpiStart + spiMemorySize ? Placement::Spi : Placement::SpiTooLong;
    if (start >= kProgramLowStart && start < kProgramLowEnd)
        return end <= kProgramLowEnd ? Placement::Program : Placement::Flash;
    return Placement::Flash;
}

bool ReadSectionWords(ByteSource &source, const SectionHeader &section,
                      std::vector<uint16_t> &words) {
    const uint64_t length = uint64_t{section.size} * 2;
    const uint64_t available = source.Size();
    if (section.rawDataOffset > available || length > available - section.rawDataOffset)
        return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!source.ReadAt(section.rawDataOffset, bytes)) return false;
    words.resize(section.size);
    for (size_t i = 0; i < words.size(); ++i) words[i] = Word(bytes, 2 * i);
    return true;
}

uint16_t Checksum(std::span<const uint16_t> words) {
    uint32_t sum = 0;
    for (uint16_t word : words) sum += word;
    return static_cast<uint16_t>(sum);
}

} // namespace zorcomm::coff

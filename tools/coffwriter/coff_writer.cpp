#include "coff_writer.h"

#include <array>
#include <fstream>
#include <utility>

namespace coffwriter {

namespace {

constexpr size_t kFileHeaderSize = 22;
constexpr size_t kOptionalHeaderSize = 28;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kNameSize = 8;
constexpr uint16_t kOptionalMagic = 0x0108;

constexpr std::array<std::pair<std::string_view, Breakage>, 11> kBreakages{{
    {"none", Breakage::None},
    {"bad-version", Breakage::BadVersion},
    {"bad-target", Breakage::BadTarget},
    {"unlinked", Breakage::Unlinked},
    {"unresolved", Breakage::Unresolved},
    {"not-c2xx", Breakage::NotC2xx},
    {"truncated-file-header", Breakage::TruncatedFileHeader},
    {"truncated-optional-header", Breakage::TruncatedOptionalHeader},
    {"truncated-section-header", Breakage::TruncatedSectionHeader},
    {"data-past-end", Breakage::DataPastEnd},
    {"long-name", Breakage::LongName},
}};

class Bytes {
public:
    void U8(uint8_t value) { bytes_.push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value));
        U8(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value));
        U16(static_cast<uint16_t>(value >> 16));
    }
    void Text(std::string_view text, size_t size) {
        for (size_t i = 0; i < size; ++i) U8(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
    void PatchU32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    size_t size() const { return bytes_.size(); }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

Executable Adjusted(Executable executable, Breakage breakage) {
    switch (breakage) {
    case Breakage::BadVersion: executable.version = 0x00C2; break;
    case Breakage::BadTarget: executable.targetId = 0x0093; break;
    case Breakage::Unlinked: executable.optionalHeaderSize = 0; break;
    case Breakage::Unresolved: executable.flags &= static_cast<uint16_t>(~0x0002u); break;
    case Breakage::NotC2xx: executable.flags &= static_cast<uint16_t>(~0x0080u); break;
    default: break;
    }
    return executable;
}

uint32_t SizeOf(const Section &section) {
    return section.size.value_or(static_cast<uint32_t>(section.words.size()));
}

void SectionHeader(Bytes &out, const Section &section, uint32_t rawOffset, bool longName) {
    if (longName) {
        // The name runs on into the physical address: a reader must stop after 8 bytes.
        std::string name = section.name;
        name.resize(kNameSize + 4, 'X');
        out.Text(name, kNameSize + 4);
    } else {
        out.Text(section.name, kNameSize);
        out.U32(static_cast<uint32_t>(section.loadAddress.value_or(section.runAddress)));
    }
    out.U32(static_cast<uint32_t>(section.runAddress));
    out.U32(SizeOf(section));
    out.U32(section.rawDataOffset.value_or(rawOffset));
    out.U32(0); // relocation entries
    out.U32(0); // line-number entries
    out.U16(0);
    out.U16(0);
    out.U16(section.flags);
    out.U8(0);
    out.U8(static_cast<uint8_t>(section.page));
}

} // namespace

std::vector<uint8_t> Write(const Executable &original, Breakage breakage) {
    const Executable executable = Adjusted(original, breakage);
    const bool optional = executable.optionalHeaderSize != 0;
    Bytes out;
    out.U16(executable.version);
    out.U16(static_cast<uint16_t>(executable.sections.size()));
    out.U32(0); // time and date
    out.U32(0); // symbol table
    out.U32(0); // symbols
    out.U16(executable.optionalHeaderSize);
    out.U16(executable.flags);
    out.U16(executable.targetId);
    if (optional) {
        uint32_t codeWords = 0;
        for (const Section &section : executable.sections)
            if (section.flags & kText) codeWords += static_cast<uint32_t>(section.words.size());
        out.U16(kOptionalMagic);
        out.U16(0); // version stamp
        out.U32(codeWords);
        out.U32(0);
        out.U32(0);
        out.U32(executable.entryPoint);
        out.U32(executable.entryPoint);
        out.U32(0);
    }
    const size_t headers = out.size() + executable.sections.size() * kSectionHeaderSize;
    size_t rawOffset = headers;
    std::vector<size_t> rawOffsetFields;
    for (const Section &section : executable.sections) {
        const uint32_t at = section.words.empty() ? 0 : static_cast<uint32_t>(rawOffset);
        rawOffsetFields.push_back(out.size() + 20);
        SectionHeader(out, section, at, breakage == Breakage::LongName);
        rawOffset += section.words.size() * 2;
    }
    for (const Section &section : executable.sections)
        for (uint16_t word : section.words) out.U16(word);
    if (breakage == Breakage::DataPastEnd) {
        for (size_t i = 0; i < executable.sections.size(); ++i) {
            if (executable.sections[i].words.empty()) continue;
            out.PatchU32(rawOffsetFields[i], static_cast<uint32_t>(out.size() - 1));
            break;
        }
    }
    std::vector<uint8_t> bytes = out.take();
    if (breakage == Breakage::TruncatedFileHeader) bytes.resize(kFileHeaderSize - 1);
    if (breakage == Breakage::TruncatedOptionalHeader)
        bytes.resize(kFileHeaderSize + kOptionalHeaderSize - 1);
    if (breakage == Breakage::TruncatedSectionHeader && !executable.sections.empty())
        bytes.resize(headers - kSectionHeaderSize / 2);
    return bytes;
}

bool WriteFile(const std::string &path, const Executable &executable, Breakage breakage) {
    const std::vector<uint8_t> bytes = Write(executable, breakage);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file.flush());
}

std::optional<Breakage> BreakageNamed(std::string_view name) {
    for (const auto &[text, breakage] : kBreakages)
        if (text == name) return breakage;
    return std::nullopt;
}

std::vector<std::string_view> BreakageNames() {
    std::vector<std::string_view> names;
    for (const auto &entry : kBreakages) names.push_back(entry.first);
    return names;
}

std::vector<uint16_t> PatternWords(size_t count, uint32_t seed) {
    std::vector<uint16_t> words(count);
    uint32_t state = seed * 2654435761u + 1;
    for (uint16_t &word : words) {
        state = state * 1664525u + 1013904223u;
        word = static_cast<uint16_t>(state >> 16);
    }
    return words;
}

} // namespace coffwriter

// Executable files: the input is the file. Its headers, sections and raw data are read as the
// download reads them, and the whole download runs on the file from disk against a drive that
// acknowledges every message (and answers nothing else).
#include <vector>

#include "core/errors.h"
#include "core/process_context.h"
#include "download/coff_download.h"
#include "download/coff_file.h"
#include "fuzz_support.h"

namespace {

using namespace zorcomm;
using zfuzz::Input;

constexpr uint32_t kMostSections = 512;

void CheckPlacement(const coff::SectionHeader &section, uint16_t spiSize) {
    const int64_t start = section.virtualAddress;
    const int64_t end = start + section.size;
    switch (coff::PlaceSection(section.virtualAddress, section.size, spiSize)) {
    case coff::Placement::Program:
        ZFUZZ_CHECK((start >= 0x0800 && end <= 0x1000) || (start >= 0x8000 && end <= 0x10000));
        break;
    case coff::Placement::Spi:
        ZFUZZ_CHECK(start >= 0x3000 && start < 0x8000 && end < 0x3000 + int64_t{spiSize});
        break;
    default:
        break;
    }
}

void ParseInMemory(const uint8_t *data, size_t size, uint16_t spiSize) {
    coff::MemorySource source({data, size});
    coff::FileHeader header;
    if (coff::ReadHeaders(source, header) != coff::HeaderProblem::None) return;
    ZFUZZ_CHECK(size >= coff::kFileHeaderSize + coff::kOptionalHeaderSize);
    const uint32_t sections = std::min<uint32_t>(header.sectionCount, kMostSections);
    for (uint32_t number = 1; number <= sections; ++number) {
        coff::SectionHeader section;
        if (!coff::ReadSectionHeader(source, number, section)) {
            ZFUZZ_CHECK(coff::SectionHeaderOffset(number) + coff::kSectionHeaderSize > size);
            break;
        }
        ZFUZZ_CHECK(section.Name().size() <= coff::kNameSize);
        if (!coff::IsLoaded(section)) continue;
        CheckPlacement(section, spiSize);
        CheckPlacement(section, kMaxSpiMemorySize);
        std::vector<uint16_t> words;
        if (coff::ReadSectionWords(source, section, words)) {
            ZFUZZ_CHECK(words.size() == section.size);
            ZFUZZ_CHECK(uint64_t{section.rawDataOffset} + 2 * uint64_t{section.size} <= size);
            uint16_t sum = 0;
            for (size_t i = 0; i < words.size(); ++i) {
                const size_t at = section.rawDataOffset + 2 * i;
                ZFUZZ_CHECK(words[i] == (data[at] | data[at + 1] << 8));
                sum = static_cast<uint16_t>(sum + words[i]);
            }
            ZFUZZ_CHECK(coff::Checksum(words) == sum);
        } else {
            ZFUZZ_CHECK(uint64_t{section.rawDataOffset} + 2 * uint64_t{section.size} > size);
        }
    }
}

uint8_t ZORCOMM_CALL Progress(int32_t kind, const char *text, float, uint32_t) {
    ZFUZZ_CHECK(text != nullptr && kind >= 1 && kind <= 4);
    return 1;
}

// The drive's memory after a download: the words of the last loaded section are there.
void CheckLastSection(const uint8_t *data, size_t size, uint16_t spiSize,
                      const zfuzz::DriveLink &drive) {
    coff::MemorySource source({data, size});
    coff::FileHeader header;
    coff::SectionHeader last;
    bool any = false;
    if (coff::ReadHeaders(source, header) != coff::HeaderProblem::None) return;
    for (uint32_t number = 1; number <= header.sectionCount; ++number) {
        coff::SectionHeader section;
        if (coff::ReadSectionHeader(source, number, section) && coff::IsLoaded(section)) {
            last = section;
            any = true;
        }
    }
    std::vector<uint16_t> words;
    if (!any || !coff::ReadSectionWords(source, last, words)) return;
    const bool spi = coff::PlaceSection(last.virtualAddress, last.size, spiSize) ==
                     coff::Placement::Spi;
    for (size_t i = 0; i < words.size(); ++i) {
        const auto address = static_cast<uint16_t>(last.virtualAddress + i);
        ZFUZZ_CHECK(drive.Word(spi ? MEMORY_SPI : MEMORY_PROGRAM, address) == words[i]);
    }
}

void DownloadFromDisk(const uint8_t *data, size_t size, uint16_t spiSize) {
    // Many sections of many words take long even against this quick drive; the parsing above
    // has seen them all.
    if (size > 8192) return;
    zfuzz::TemporaryFile file({data, size});
    auto owned = std::make_unique<zfuzz::DriveLink>(zfuzz::EmptySlot());
    const zfuzz::DriveLink &drive = *owned;
    Slot &slot = zfuzz::InstallChannel(CHANNEL_VIRTUAL_SERIAL, std::move(owned));
    slot.hostAddress = 0x0010;
    slot.activeAddress = 0x0010;
    slot.replyTimeout = 20;
    uint16_t entry = 0, start = 0, end = 0;
    Context().lastError = 0;
    const bool done = CoffDownload(file.path().c_str(), spiSize & 1 ? Progress : nullptr, 7,
                                   &entry, &start, &end, spiSize);
    if (done) {
        if (start != 0xFFFF) ZFUZZ_CHECK(start <= end);
        CheckLastSection(data, size, spiSize, drive);
    } else {
        // Not a drive's executable, or outside the loadable memory: a drive that does as it is
        // told never disagrees with the file.
        const uint32_t code = Context().lastError;
        ZFUZZ_CHECK(code == 0x20000078 || code == 0x20000079);
    }
    zfuzz::ReleaseChannel();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfuzz::AttachProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The SPI memory's size comes from the file's last two bytes (when it has any).
    const uint16_t spiSize =
        size >= 2 ? static_cast<uint16_t>((data[size - 2] | data[size - 1] << 8) % 0x5001) : 0x5000;
    ParseInMemory(data, size, spiSize);
    DownloadFromDisk(data, size, spiSize);
    return 0;
}

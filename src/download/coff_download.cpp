#include "download/coff_download.h"

#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/drive_message.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "download/coff_file.h"
#include "platform/platform.h"
#include "protocol/block_transfer.h"
#include "protocol/engine.h"
#include "transport/last_error.h"
#include "transport/link.h"

namespace zorcomm {

namespace {

constexpr size_t kMessageSize = 1000;
constexpr size_t kSectionTextSize = 256;
constexpr uint16_t kChecksumOpCode = 0xDA10;

Slot &Current() { return *Context().currentSlot; }

// The executable on disk, read where the parser asks.
class FileSource : public coff::ByteSource {
public:
    explicit FileSource(const char *name) : file_(std::fopen(name, "rb"), &std::fclose) {}
    bool opened() const { return file_ != nullptr; }
    void Close() { file_.reset(); }

    bool ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
        if (!file_ || !Seek(offset)) return false;
        return std::fread(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
    }

    uint64_t Size() override {
        if (!file_ || std::fseek(file_.get(), 0, SEEK_END) != 0) return 0;
        const long end = std::ftell(file_.get());
        return end < 0 ? 0 : static_cast<uint64_t>(end);
    }

private:
    bool Seek(uint64_t offset) {
        if (offset > static_cast<uint64_t>(std::numeric_limits<long>::max())) return false;
        return std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) == 0;
    }

    std::unique_ptr<std::FILE, decltype(&std::fclose)> file_;
};

// The download's texts: one message buffer of a fixed size, into which every text is cut.
class DownloadTexts {
public:
    explicit DownloadTexts(ProgressCallback callback, uint32_t userValue)
        : caller_(ApplicationProgress(callback, userValue)) {}

    const ProgressReport &caller() const { return caller_; }
    std::span<char> buffer() { return message_; }

    template <typename... Values> const char *Format(const char *format, Values... values) {
        std::snprintf(message_.data(), message_.size(), format, values...);
        return message_.data();
    }
    const char *Copy(std::string_view text) {
        CopyCut(text, message_);
        return message_.data();
    }

    // To the caller's callback only.
    void Tell(int32_t kind, const char *text, float percent) {
        if (caller_) caller_(kind, text, percent);
    }

    // An error line of the download, and the same text to the callback.
    void Report(const char *text) {
        Log(kLogErrors, "COFF Error", text);
        Tell(PROGRESS_ERROR, text, 0.0f);
    }

    // The failure's own code is set; the callback hears its text.
    bool TellLastError() {
        Tell(PROGRESS_ERROR, LastErrorText(), 0.0f);
        return false;
    }

private:
    ProgressReport caller_;
    std::array<char, kMessageSize> message_{};
};

// Turns the block transfer's reports into reports of one section of the download.
class SectionProgress {
public:
    SectionProgress(DownloadTexts &texts, uint32_t number, uint32_t count, std::string name)
        : texts_(texts), number_(number), count_(count), name_(std::move(name)) {}

    ProgressReport Report() {
        if (!texts_.caller()) return {};
        return [this](int32_t kind, const char *, float percent) {
            const std::span<char> text = texts_.buffer().first(kSectionTextSize);
            std::snprintf(text.data(), text.size(), "Section[%i/%i] %s, %i%%",
                          static_cast<int>(number_), static_cast<int>(count_), name_.c_str(),
                          static_cast<int>(percent));
            return texts_.caller()(kind, text.data(), percent);
        };
    }

private:
    DownloadTexts &texts_;
    uint32_t number_;
    uint32_t count_;
    std::string name_;
};

struct AddressRange {
    uint16_t *start;
    uint16_t *end;
    void Include(uint16_t first, uint16_t last) {
        if (start && first < *start) *start = first;
        if (end && last > *end) *end = last;
    }
};

// Reads, sends and verifies one loaded section. False with the error set and reported.
bool DownloadSection(coff::ByteSource &file, const coff::SectionHeader &section, uint8_t memory,
                     SectionProgress &progress, DownloadTexts &texts) {
    std::vector<uint16_t> words;
    try {
        if (!coff::ReadSectionWords(file, section, words)) {
            SetError(Error::NotCoff);
            return texts.TellLastError();
        }
    } catch (const std::bad_alloc &) {
        SetError(Error::IllegalMemoryOperation);
        return texts.TellLastError();
    }
    const auto first = static_cast<uint16_t>(section.virtualAddress);
    if (!SendDataBlock(words, first, memory, progress.Report())) return texts.TellLastError();
    const auto last = static_cast<uint16_t>(first + words.size() - 1);
    uint16_t reported = 0;
    if (VerifyChecksum(first, last, memory, reported) && reported != coff::Checksum(words)) {
        SetError(Error::ChecksumMismatch);
        return texts.TellLastError();
    }
    return true;
}

// The header checks; false when the file is not one the drives can run (reported).
bool CheckHeaders(coff::ByteSource &file, const char *fileName, coff::FileHeader &header,
                  DownloadTexts &texts) {
    const coff::HeaderProblem problem = coff::ReadHeaders(file, header);
    if (problem == coff::HeaderProblem::None) return true;
    texts.Report(texts.Format(coff::HeaderProblemText(problem), fileName));
    return SetError(Error::NotCoff);
}

} // namespace

bool CoffDownload(const char *fileName, ProgressCallback callback, uint32_t userValue,
                  uint16_t *entryPoint, uint16_t *startAddress, uint16_t *endAddress,
                  uint16_t spiMemorySize) {
    DownloadTexts texts(callback, userValue);
    if (spiMemorySize > kMaxSpiMemorySize) {
        texts.Tell(PROGRESS_ERROR,
                   texts.Copy("Incorrect SPI memory size. Must be between 0 and 0x5000."), 0.0f);
        return SetError(Error::NotCoff);
    }
    AddressRange range{startAddress, endAddress};
    if (startAddress) *startAddress = 0xFFFF;
    if (endAddress) *endAddress = 0;
    long totalWords = 0;
    const uint32_t began = platform::TickCount();

    FileSource file(fileName);
    if (!file.opened()) {
        texts.Report(texts.Format("Unable to open file %s", fileName));
        return SetError(Error::CannotOpenCoff);
    }
    coff::FileHeader header;
    if (!CheckHeaders(file, fileName, header, texts)) return false;

    for (uint32_t number = 1; number <= header.sectionCount; ++number) {
        coff::SectionHeader section;
        if (!coff::ReadSectionHeader(file, number, section)) {
            texts.Report(texts.Format("File %s has wrong format", fileName));
            return SetError(Error::NotCoff);
        }
        if (!coff::IsLoaded(section)) continue;
        const std::string name = section.Name();
        const coff::Placement place =
            coff::PlaceSection(section.virtualAddress, section.size, spiMemorySize);
        if (place == coff::Placement::Flash) {
            texts.Report(texts.Copy("Code is inside flash range!\nUse Flash download please!"));
            return SetError(Error::IllegalMemoryOperation);
        }
        if (place == coff::Placement::SpiTooLong) {
            texts.Report(texts.Format(
                "Section '%s' is located in SPI memory and exceeds its range!", name.c_str()));
            return SetError(Error::IllegalMemoryOperation);
        }
        const uint8_t memory = place == coff::Placement::Spi ? MEMORY_SPI : MEMORY_PROGRAM;
        const auto count = static_cast<int>(header.sectionCount);
        texts.Tell(PROGRESS_STEP,
                   texts.Format("Section[%i/%i] %s, %i words", static_cast<int>(number), count,
                                name.c_str(), static_cast<int>(section.size)),
                   0.0f);
        SectionProgress progress(texts, number, header.sectionCount, name);
        if (!DownloadSection(file, section, memory, progress, texts)) return false;
        totalWords += static_cast<long>(section.size);
        texts.Tell(PROGRESS_STEP,
                   texts.Format("Section[%i/%i] %s OK.", static_cast<int>(number), count,
                                name.c_str()),
                   100.0f);
        const auto first = static_cast<uint16_t>(section.virtualAddress);
        range.Include(first, static_cast<uint16_t>(first + section.size - 1));
    }
    file.Close();

    const auto elapsed = static_cast<unsigned long>(platform::TicksSince(began));
    texts.Tell(PROGRESS_START,
               texts.Format("Total %li words downloaded in %lu [ms].", totalWords, elapsed),
               100.0f);
    texts.Tell(PROGRESS_START, texts.Copy("Download OK"), 0.0f);
    texts.Tell(PROGRESS_START, texts.Format("Entry Point: 0x%04X", unsigned{header.entryPoint}),
               0.0f);
    if (entryPoint) *entryPoint = header.entryPoint;
    return true;
}

bool VerifyChecksum(uint16_t startAddress, uint16_t endAddress, uint8_t memoryType,
                    uint16_t &result) {
    const Slot &slot = Current();
    const uint16_t replyTo = ReplyToAddress(slot);
    DriveMessage query{};
    query.length = 3;
    query.address = slot.activeAddress;
    query.opCode = static_cast<uint16_t>(kChecksumOpCode | memoryType << 5);
    query.data[0] = replyTo;
    query.data[1] = startAddress;
    query.data[2] = endAddress;
    const uint16_t mask = ReplyAddressMask(slot.protocolFlag);
    auto isAnswer = [&](const DriveMessage &m) {
        return (m.address & mask) == (replyTo & mask) && m.opCode == query.opCode &&
               m.length == 1;
    };
    const uint8_t tries = IsCanType(slot.channelType) ? 1 : Context().settings.noTries;
    for (uint8_t attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) {
            Log(kLogInfo, "MSK Warning", "Retrying <Verify CheckSum>");
            if (!ResyncLink()) break;
        }
        ReplyMark mark;
        if (!MarkReplyWait(mark) || SendDriveMessage(&query) < 1) break;
        const uint32_t sent = platform::TickCount();
        if (slot.replyTimeout == 0) break;
        DriveMessage answer{};
        const int received = AwaitReply(mark, sent, slot.replyTimeout, isAnswer, answer);
        if (received < 0) break;
        if (received == 1) {
            result = answer.data[0];
            return true;
        }
    }
    Log(kLogErrors, "MSK Error", "<Verify CheckSum> cmd. failed!");
    if (Link *link = CurrentLink()) link->ClearLineErrors();
    return false;
}

} // namespace zorcomm

// The executable file parser against files from the writer, good and broken, and the pure
// pieces of the block transfers.
#include <gtest/gtest.h>

#include <coff_writer.h>

#include <vector>

#include "download/coff_file.h"
#include "protocol/block_transfer.h"

namespace {

using namespace zorcomm;
using coff::HeaderProblem;
using coff::Placement;
using coffwriter::Breakage;

coffwriter::Executable Sample() {
    coffwriter::Executable executable;
    executable.entryPoint = 0x8123;
    executable.sections = {
        {".text", 0x8000, std::nullopt, coffwriter::Page::Program, coffwriter::kText,
         coffwriter::PatternWords(9, 1), {}, {}},
        {".bss", 0x0300, std::nullopt, coffwriter::Page::Data, coffwriter::kBss, {}, {}, {}},
        {"spitable", 0x3000, 0x9000, coffwriter::Page::Program, coffwriter::kData,
         {0xFFFF, 0x0002, 0x1234}, {}, {}},
    };
    return executable;
}

struct Parsed {
    std::vector<uint8_t> bytes;
    coff::MemorySource source{bytes};
    coff::FileHeader header;
    HeaderProblem problem = HeaderProblem::None;

    explicit Parsed(std::vector<uint8_t> file) : bytes(std::move(file)) {
        problem = coff::ReadHeaders(source, header);
    }
};

TEST(CoffFile, ReadsWhatTheWriterWrote) {
    const coffwriter::Executable executable = Sample();
    Parsed file(coffwriter::Write(executable));
    ASSERT_EQ(file.problem, HeaderProblem::None);
    EXPECT_EQ(file.header.sectionCount, 3);
    EXPECT_EQ(file.header.entryPoint, 0x8123);

    for (uint32_t number = 1; number <= 3; ++number) {
        const coffwriter::Section &written = executable.sections[number - 1];
        coff::SectionHeader section;
        ASSERT_TRUE(coff::ReadSectionHeader(file.source, number, section)) << number;
        EXPECT_EQ(section.Name(), written.name);
        EXPECT_EQ(section.virtualAddress, written.runAddress);
        EXPECT_EQ(section.size, written.words.size());
        EXPECT_EQ(section.flags, written.flags);
        EXPECT_EQ(section.page, static_cast<uint8_t>(written.page));
        EXPECT_EQ(coff::IsLoaded(section), written.name != ".bss") << written.name;
        if (!coff::IsLoaded(section)) continue;
        std::vector<uint16_t> words;
        ASSERT_TRUE(coff::ReadSectionWords(file.source, section, words));
        EXPECT_EQ(words, written.words);
    }
    coff::SectionHeader beyond;
    EXPECT_FALSE(coff::ReadSectionHeader(file.source, 4, beyond)) << "the raw data is not a header";
}

TEST(CoffFile, HeaderChecksComeInTheirOrder) {
    const struct {
        Breakage breakage;
        HeaderProblem problem;
    } cases[] = {
        {Breakage::TruncatedFileHeader, HeaderProblem::WrongFormat},
        {Breakage::BadVersion, HeaderProblem::NotVersion1},
        {Breakage::BadTarget, HeaderProblem::NotFixedPoint},
        {Breakage::Unlinked, HeaderProblem::NotLinked},
        {Breakage::Unresolved, HeaderProblem::Unresolved},
        {Breakage::NotC2xx, HeaderProblem::NotC2xx},
        {Breakage::TruncatedOptionalHeader, HeaderProblem::ShortOptional},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Parsed(coffwriter::Write(Sample(), c.breakage)).problem, c.problem)
            << static_cast<int>(c.breakage);

    // Several faults at once: the earliest check speaks.
    coffwriter::Executable many = Sample();
    many.version = 0x00C2;
    many.targetId = 0;
    EXPECT_EQ(Parsed(coffwriter::Write(many)).problem, HeaderProblem::NotVersion1);
    many = Sample();
    many.optionalHeaderSize = 0;
    many.flags = 0;
    EXPECT_EQ(Parsed(coffwriter::Write(many)).problem, HeaderProblem::NotLinked);
    many = Sample();
    many.flags = 0x0080; // C2xx code, but not executable
    EXPECT_EQ(Parsed(coffwriter::Write(many)).problem, HeaderProblem::Unresolved);
    many.flags = 0x0002;
    EXPECT_EQ(Parsed(coffwriter::Write(many)).problem, HeaderProblem::NotC2xx);

    EXPECT_STREQ(coff::HeaderProblemText(HeaderProblem::ShortOptional), "File %s has wrong format");
    EXPECT_STREQ(coff::HeaderProblemText(HeaderProblem::NotC2xx),
                 "File %s is not a TMS320C2xx executable");
}

TEST(CoffFile, BrokenSectionsAreRefusedWithoutReadingPastTheFile) {
    Parsed truncated(coffwriter::Write(Sample(), Breakage::TruncatedSectionHeader));
    ASSERT_EQ(truncated.problem, HeaderProblem::None);
    coff::SectionHeader section;
    EXPECT_TRUE(coff::ReadSectionHeader(truncated.source, 2, section));
    EXPECT_FALSE(coff::ReadSectionHeader(truncated.source, 3, section));

    Parsed pastEnd(coffwriter::Write(Sample(), Breakage::DataPastEnd));
    ASSERT_TRUE(coff::ReadSectionHeader(pastEnd.source, 1, section));
    std::vector<uint16_t> words;
    EXPECT_FALSE(coff::ReadSectionWords(pastEnd.source, section, words));

    // A size that claims four thousand million words is refused before memory is taken.
    coffwriter::Executable huge = Sample();
    huge.sections[0].size = 0xFFFFFFFF;
    Parsed lying(coffwriter::Write(huge));
    ASSERT_TRUE(coff::ReadSectionHeader(lying.source, 1, section));
    EXPECT_EQ(section.size, 0xFFFFFFFFu);
    EXPECT_FALSE(coff::ReadSectionWords(lying.source, section, words));
    section.rawDataOffset = 0xFFFFFFF0;
    section.size = 4;
    EXPECT_FALSE(coff::ReadSectionWords(lying.source, section, words));

    // Names that fill their eight bytes and run on into the next field show eight characters.
    Parsed named(coffwriter::Write(Sample(), Breakage::LongName));
    ASSERT_TRUE(coff::ReadSectionHeader(named.source, 1, section));
    EXPECT_EQ(section.Name(), std::string(".text") + "XXX");
    ASSERT_TRUE(coff::ReadSectionHeader(named.source, 3, section));
    EXPECT_EQ(section.Name(), "spitable");
    EXPECT_EQ(section.virtualAddress, 0x3000) << "the fields after the name are where they were";
}

TEST(CoffFile, SectionSelection) {
    coff::SectionHeader section;
    section.size = 4;
    section.rawDataOffset = 200;
    for (uint16_t flags : {0x0000, 0x0004, 0x0008, 0x0020, 0x0040, 0x0060 | 0x0080}) {
        section.flags = flags;
        EXPECT_TRUE(coff::IsLoaded(section)) << flags;
    }
    for (uint16_t flags : {0x0080, 0x0010, 0x0001, 0x0200}) {
        section.flags = flags;
        EXPECT_FALSE(coff::IsLoaded(section)) << flags;
    }
    section.flags = coffwriter::kText;
    section.page = 1;
    EXPECT_FALSE(coff::IsLoaded(section));
    section.page = 0;
    section.size = 0;
    EXPECT_FALSE(coff::IsLoaded(section));
    section.size = 4;
    section.rawDataOffset = 0;
    EXPECT_FALSE(coff::IsLoaded(section));
}

TEST(CoffFile, MemoryMap) {
    const struct {
        int32_t address;
        uint32_t size;
        uint16_t spi;
        Placement place;
    } cases[] = {
        {0x07FF, 1, 0x5000, Placement::Flash},
        {0x0800, 1, 0x5000, Placement::Program},
        {0x0800, 0x0800, 0x5000, Placement::Program},
        {0x0FFF, 2, 0x5000, Placement::Flash}, // would run on into the flash range
        {0x1000, 1, 0x5000, Placement::Flash},
        {0x2FFF, 1, 0x5000, Placement::Flash},
        {0x3000, 1, 0x5000, Placement::Spi},
        {0x7000, 0x0FFF, 0x5000, Placement::Spi},
        {0x7000, 0x1000, 0x5000, Placement::SpiTooLong},
        {0x3000, 0x00FF, 0x0100, Placement::Spi},
        {0x3000, 0x0100, 0x0100, Placement::SpiTooLong},
        {0x3000, 1, 0, Placement::SpiTooLong},
        {0x7FFF, 0xFFFF8001u, 0x5000, Placement::SpiTooLong}, // the sum would wrap in 16 bits
        {0x8000, 1, 0, Placement::Program},
        {0x8000, 0x8000, 0, Placement::Program},
        {0xFFFF, 2, 0, Placement::Flash}, // would wrap round to address 0
        {0x10000, 1, 0, Placement::Flash},
        {-1, 1, 0x5000, Placement::Flash},
        {INT32_MIN, 0xFFFFFFFF, 0x5000, Placement::Flash},
    };
    for (const auto &c : cases)
        EXPECT_EQ(coff::PlaceSection(c.address, c.size, c.spi), c.place)
            << std::hex << c.address << " + " << c.size << " spi " << c.spi;
}

TEST(CoffFile, ChecksumWraps) {
    const std::vector<uint16_t> words{0xFFFF, 0x0002, 0x8000, 0x8000};
    EXPECT_EQ(coff::Checksum(words), 0x0001);
    EXPECT_EQ(coff::Checksum({}), 0);
    const std::vector<uint16_t> many(0x20000, 0xFFFF);
    EXPECT_EQ(coff::Checksum(many), 0x0000);
}

TEST(BlockTransfer, OpCodesAndCuts) {
    const uint16_t pointerWrites[][2] = {{0x9020, 0x9021}, {0x9024, 0x9025}, {0x9028, 0x9029}};
    const uint16_t reads[][2] = {{0xB000, 0xB001}, {0xB004, 0xB005}, {0xB008, 0xB009}};
    for (uint8_t type = 0; type < 3; ++type) {
        EXPECT_EQ(PointerWriteOpCode(type, 1), pointerWrites[type][0]);
        EXPECT_EQ(PointerWriteOpCode(type, 2), pointerWrites[type][1]);
        EXPECT_EQ(ReadRequestOpCode(type, 1), reads[type][0]);
        EXPECT_EQ(ReadRequestOpCode(type, 2), reads[type][1]);
    }
    // Zero words go with the two-word op code.
    EXPECT_EQ(ReadRequestOpCode(MEMORY_PROGRAM, 0), 0xB001);
    EXPECT_EQ(DataWriteOpCode(0), 0x9005);
    // Other memory types pass through into the 16-bit op code.
    EXPECT_EQ(PointerWriteOpCode(0x13, 2), 0x906D);

    const struct {
        uint16_t count;
        uint32_t steps;
        uint32_t pairs;
        std::vector<uint16_t> words;
    } cuts[] = {
        {0, 1, 1, {0}}, {1, 1, 1, {1}}, {2, 1, 1, {2}}, {3, 2, 1, {2, 1}},
        {4, 2, 2, {2, 2}}, {5, 3, 2, {2, 2, 1}},
    };
    for (const auto &c : cuts) {
        const BlockCut cut(c.count);
        EXPECT_EQ(cut.steps, c.steps) << c.count;
        EXPECT_EQ(cut.pairs, c.pairs) << c.count;
        for (uint32_t step = 0; step < cut.steps; ++step)
            EXPECT_EQ(cut.WordsOf(step), c.words[step]) << c.count << " step " << step;
    }
    const BlockCut largest(0xFFFF);
    EXPECT_EQ(largest.steps, 0x8000u);
    EXPECT_EQ(largest.WordsOf(0x7FFF), 1);
}

} // namespace

// Downloading executables and the checksum export, against the simulated drives.
#include "driver_fixture.h"

#include <coff_writer.h>

#include <numeric>

namespace {

using coffwriter::Breakage;
using ztest::DriverTest;
using ztest::Frame;
using ztest::ProgressRecorder;

constexpr uint16_t kHost = 0x0010;
constexpr uint16_t kReplyTo = 0x0011;

std::string SamplePath() { return std::string(ZORCOMM_BINARY_DIR) + "/examples/sample.out"; }

uint16_t Sum(const std::vector<uint16_t> &words) {
    return static_cast<uint16_t>(std::accumulate(words.begin(), words.end(), 0u));
}

coffwriter::Section Code(const std::string &name, int32_t address, size_t count,
                         uint32_t seed = 1) {
    coffwriter::Section section;
    section.name = name;
    section.runAddress = address;
    section.words = coffwriter::PatternWords(count, seed);
    return section;
}

class CoffDownloadTest : public DriverTest {
protected:
    std::string WriteExecutable(const std::vector<coffwriter::Section> &sections,
                                Breakage breakage = Breakage::None) {
        coffwriter::Executable executable;
        executable.entryPoint = 0x8040;
        executable.sections = sections;
        const std::string path = dir_.File("test" + std::to_string(++files_) + ".out");
        EXPECT_TRUE(coffwriter::WriteFile(path, executable, breakage));
        return path;
    }

    bool Download(const std::string &path, uint16_t spiSize = 0x5000) {
        return lib.MSK_COFFDownload(path.c_str(), &entry_, &start_, &end_,
                                    &ProgressRecorder::Record, 9, spiSize);
    }

    // The texts of one kind the callback got, in order.
    static std::vector<std::string> Texts(int32_t kind) {
        std::vector<std::string> texts;
        for (const auto &call : ProgressRecorder::OfKind(kind)) texts.push_back(call.text);
        return texts;
    }

    ztest::TempDir dir_;
    int files_ = 0;
    uint16_t entry_ = 0;
    uint16_t start_ = 0;
    uint16_t end_ = 0;
};

TEST_F(CoffDownloadTest, TheSampleArrivesSectionBySectionAndIsVerified) {
    OpenDriver();
    CollectLog(1);
    // The simulator keeps the latest 256 frames: collect the checksum queries section by section.
    std::vector<std::string> checksums;
    ProgressRecorder::Answer() = [&](const ztest::ProgressCall &call) -> uint8_t {
        if (call.text.ends_with(" OK."))
            for (const std::string &frame : History())
                if (frame.find(":DA") != std::string::npos) checksums.push_back(frame);
        return 1;
    };
    ASSERT_TRUE(Download(SamplePath())) << LastError();
    EXPECT_EQ(entry_, 0x8000);
    EXPECT_EQ(start_, 0x0800);
    EXPECT_EQ(end_, 0x8424);
    EXPECT_EQ(Peek("program", 0x8000, 700), coffwriter::PatternWords(700, 1));
    EXPECT_EQ(Peek("program", 0x8400, 37), coffwriter::PatternWords(37, 2));
    EXPECT_EQ(Peek("program", 0x0800, 32), coffwriter::PatternWords(32, 3));
    EXPECT_EQ(Peek("spi", 0x3000, 300), coffwriter::PatternWords(300, 4));
    EXPECT_EQ(Peek("data", 0x0200, 16), std::vector<uint16_t>(16, 0)) << "a data-page section";
    EXPECT_TRUE(Lines().empty()) << Lines().front();

    EXPECT_EQ(checksums, (std::vector<std::string>{
                             Frame(kHost, 0xDA10, {kReplyTo, 0x8000, 0x82BB}),
                             Frame(kHost, 0xDA10, {kReplyTo, 0x8400, 0x8424}),
                             Frame(kHost, 0xDA10, {kReplyTo, 0x0800, 0x081F}),
                             Frame(kHost, 0xDA50, {kReplyTo, 0x3000, 0x312B}),
                         }));

    // What the caller saw, per loaded section: the words, the block's start and end, the OK.
    const std::vector<std::string> steps = Texts(3);
    const std::vector<std::string> expectedSteps{
        "Section[1/6] .text, 700 words",   "Section[1/6] .text, 100%",
        "Section[1/6] .text OK.",          "Section[2/6] .cinit, 37 words",
        "Section[2/6] .cinit, 100%",       "Section[2/6] .cinit OK.",
        "Section[3/6] .vectors, 32 words", "Section[3/6] .vectors, 100%",
        "Section[3/6] .vectors OK.",       "Section[4/6] .spitab, 300 words",
        "Section[4/6] .spitab, 100%",      "Section[4/6] .spitab OK.",
    };
    std::vector<std::string> withoutPercentages;
    for (const std::string &text : steps)
        if (text.find("%") == std::string::npos || text.ends_with(", 100%"))
            withoutPercentages.push_back(text);
    EXPECT_EQ(withoutPercentages, expectedSteps);
    const std::vector<std::string> starts = Texts(4);
    ASSERT_EQ(starts.size(), 7u);
    EXPECT_EQ(starts[0], "Section[1/6] .text, 0%");
    EXPECT_EQ(starts[3], "Section[4/6] .spitab, 0%");
    EXPECT_TRUE(starts[4].starts_with("Total 1069 words downloaded in ")) << starts[4];
    EXPECT_TRUE(starts[4].ends_with(" [ms].")) << starts[4];
    EXPECT_EQ(starts[5], "Download OK");
    EXPECT_EQ(starts[6], "Entry Point: 0x8000");
    EXPECT_EQ(ProgressRecorder::Calls().back().percent, 0.0f);
    for (const auto &call : ProgressRecorder::Calls()) EXPECT_EQ(call.userValue, 9u);
    EXPECT_TRUE(ProgressRecorder::OfKind(1).empty());
}

TEST_F(CoffDownloadTest, FilesThatAreNoExecutableForTheDrives) {
    OpenDriver();
    const std::vector<coffwriter::Section> sections{Code(".text", 0x8000, 8)};
    const struct {
        Breakage breakage;
        const char *text;
    } cases[] = {
        {Breakage::TruncatedFileHeader, "File %s has wrong format"},
        {Breakage::BadVersion, "File %s format is not COFF version 1"},
        {Breakage::BadTarget, "File %s is not in TMS320 Fix Point format"},
        {Breakage::Unlinked, "File %s is not linked"},
        {Breakage::Unresolved, "File %s contains unresolved external references"},
        {Breakage::NotC2xx, "File %s is not a TMS320C2xx executable"},
        {Breakage::TruncatedOptionalHeader, "File %s has wrong format"},
        {Breakage::TruncatedSectionHeader, "File %s has wrong format"},
    };
    for (const auto &c : cases) {
        const std::string path = WriteExecutable(sections, c.breakage);
        std::string text = c.text;
        text.replace(text.find("%s"), 2, path);
        ProgressRecorder::Reset();
        CollectLog(1);
        entry_ = 1;
        EXPECT_FALSE(Download(path)) << text;
        EXPECT_EQ(LastError(), Text(0x20000078)) << text;
        EXPECT_EQ(Logged("COFF Error : " + text), 1) << text;
        EXPECT_EQ(Texts(1), std::vector<std::string>{text});
        EXPECT_EQ(entry_, 1) << "no entry point of a refused file";
        EXPECT_TRUE(History().empty()) << text;
    }

    // Raw data past the end of the file: the callback hears the error's own text.
    ProgressRecorder::Reset();
    CollectLog(1);
    EXPECT_FALSE(Download(WriteExecutable(sections, Breakage::DataPastEnd)));
    EXPECT_EQ(LastError(), Text(0x20000078));
    EXPECT_EQ(Texts(1), std::vector<std::string>{Text(0x20000078)});
    EXPECT_EQ(Logged("COFF Error"), 0);

    // A missing file; a name too long for the message buffer is cut, not overrun.
    ProgressRecorder::Reset();
    const std::string missing = dir_.File("missing.out");
    EXPECT_FALSE(Download(missing));
    EXPECT_EQ(LastError(), Text(0x200000f9));
    EXPECT_EQ(Texts(1), std::vector<std::string>{"Unable to open file " + missing});
    ProgressRecorder::Reset();
    const std::string longName = dir_.path() + "/" + std::string(1500, 'n');
    EXPECT_FALSE(Download(longName));
    const std::vector<std::string> cut = Texts(1);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0], ("Unable to open file " + longName).substr(0, 999));

    // The SPI memory size is checked first, and only the callback hears about it.
    ProgressRecorder::Reset();
    CollectLog(1);
    EXPECT_FALSE(Download(missing, 0x5001));
    EXPECT_EQ(LastError(), Text(0x20000078));
    EXPECT_EQ(Texts(1),
              std::vector<std::string>{"Incorrect SPI memory size. Must be between 0 and 0x5000."});
    EXPECT_EQ(Logged("COFF Error"), 0);
    EXPECT_FALSE(lib.MSK_COFFDownload(nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0));
    EXPECT_EQ(LastError(), Text(0x2000007b));
}

TEST_F(CoffDownloadTest, SectionsOutsideTheLoadableMemory) {
    OpenDriver();
    const std::string flash = "Code is inside flash range!\nUse Flash download please!";
    for (int32_t address : {0x07FF, 0x1000, 0x2FFF}) {
        ProgressRecorder::Reset();
        CollectLog(1);
        EXPECT_FALSE(Download(WriteExecutable({Code(".text", address, 4)})));
        EXPECT_EQ(LastError(), Text(0x20000079));
        EXPECT_EQ(Texts(1), std::vector<std::string>{flash});
        EXPECT_EQ(Logged("COFF Error : " + flash), 1);
    }
    // Words that would run on into the flash range, or wrap round to it, are refused too.
    EXPECT_FALSE(Download(WriteExecutable({Code(".text", 0x0F00, 0x101)})));
    EXPECT_EQ(LastError(), Text(0x20000079));
    EXPECT_FALSE(Download(WriteExecutable({Code(".text", 0xFFF0, 0x11)})));
    EXPECT_EQ(LastError(), Text(0x20000079));
    EXPECT_TRUE(History().empty());

    // SPI memory ends at 0x3000 + its size; the section's end must lie below.
    ProgressRecorder::Reset();
    CollectLog(1);
    const std::string tooLong =
        WriteExecutable({Code("spitable", 0x7000, 0x1000)}, Breakage::LongName);
    EXPECT_FALSE(Download(tooLong));
    EXPECT_EQ(LastError(), Text(0x20000079));
    const std::string text = "Section 'spitable' is located in SPI memory and exceeds its range!";
    EXPECT_EQ(Texts(1), std::vector<std::string>{text});
    EXPECT_EQ(Logged("COFF Error : " + text), 1);
    EXPECT_FALSE(Download(WriteExecutable({Code(".spi", 0x3000, 1)}), 0));
    EXPECT_EQ(LastError(), Text(0x20000079));

    const std::string fits = WriteExecutable({Code(".spi", 0x7000, 0x0FFF)});
    ASSERT_TRUE(Download(fits)) << LastError();
    EXPECT_EQ(Peek("spi", 0x7FFE, 2),
              (std::vector<uint16_t>{coffwriter::PatternWords(0xFFF, 1).back(), 0}));
    EXPECT_EQ(start_, 0x7000);
    EXPECT_EQ(end_, 0x7FFE);
}

TEST_F(CoffDownloadTest, SkippedSectionsLoadNothing) {
    OpenDriver();
    coffwriter::Section page1 = Code(".data", 0x8000, 4);
    page1.page = coffwriter::Page::Data;
    coffwriter::Section empty = Code(".empty", 0x8000, 0);
    coffwriter::Section noData = Code(".nodata", 0x8000, 4);
    noData.rawDataOffset = 0;
    coffwriter::Section bss = Code(".bss", 0x8000, 4);
    bss.flags = coffwriter::kBss;
    // A section in the flash range is no matter when it is not loaded.
    coffwriter::Section flashBss = Code(".bss2", 0x0100, 4);
    flashBss.flags = coffwriter::kBss;
    ASSERT_TRUE(Download(WriteExecutable({page1, empty, noData, bss, flashBss}))) << LastError();
    EXPECT_EQ(entry_, 0x8040);
    EXPECT_EQ(start_, 0xFFFF);
    EXPECT_EQ(end_, 0);
    EXPECT_TRUE(History().empty());
    EXPECT_EQ(Texts(3), std::vector<std::string>{});
    const auto closing = Texts(4);
    ASSERT_EQ(closing.size(), 3u);
    EXPECT_TRUE(closing[0].starts_with("Total 0 words downloaded in "));
}

TEST_F(CoffDownloadTest, ChecksumsDecideAndTheCallbackCanStop) {
    OpenDriver();
    const std::string path = WriteExecutable({Code(".text", 0x8000, 64)});
    // The drive's memory changes between the transfer and the checksum query.
    ProgressRecorder::Answer() = [this](const ztest::ProgressCall &call) -> uint8_t {
        if (call.text == "Section[1/1] .text, 100%") Sim("poke program 0x8010 0xDEAD");
        return 1;
    };
    EXPECT_FALSE(Download(path));
    EXPECT_EQ(LastError(), Text(0x2000007e));
    EXPECT_EQ(Texts(1), std::vector<std::string>{Text(0x2000007e)});

    // The checksum query meets a failing link: no comparison, the section counts as loaded.
    ProgressRecorder::Reset();
    ProgressRecorder::Answer() = [this](const ztest::ProgressCall &call) -> uint8_t {
        if (call.text == "Section[1/1] .text, 100%") Sim("fault read-fail 2");
        return 1;
    };
    CollectLog(1);
    ASSERT_TRUE(Download(path)) << LastError();
    EXPECT_EQ(Logged("MSK Error : <Verify CheckSum> cmd. failed!"), 1);
    EXPECT_EQ(Texts(4).at(2), "Download OK");
    EXPECT_EQ(end_, 0x803F);

    // Stopped by the caller during a section's transfer.
    ProgressRecorder::Reset();
    ProgressRecorder::Answer() = [](const ztest::ProgressCall &call) -> uint8_t {
        return !(call.kind == 3 && call.text.find("words") == std::string::npos);
    };
    ASSERT_EQ(Sim("fault delay 25"), "OK");
    const std::string slow = WriteExecutable({Code(".slow", 0x9000, 100)});
    CollectLog(1);
    EXPECT_FALSE(Download(slow));
    EXPECT_EQ(LastError(), Text(0x2000007a));
    const auto calls = ProgressRecorder::Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].text, "Section[1/1] .slow, 100 words");
    EXPECT_EQ(calls[1].text, "Section[1/1] .slow, 0%");
    EXPECT_EQ(calls[2].kind, 3);
    EXPECT_TRUE(calls[2].text.starts_with("Section[1/1] .slow, ")) << calls[2].text;
    EXPECT_EQ(calls[2].text,
              "Section[1/1] .slow, " + std::to_string(static_cast<int>(calls[2].percent)) + "%");
    EXPECT_EQ(calls[3].kind, 1);
    EXPECT_EQ(calls[3].text, Text(0x2000007a));
    EXPECT_EQ(Logged("cmd. failed!"), 0);
}

TEST_F(CoffDownloadTest, CheckSumExport) {
    OpenDriver();
    uint16_t sum = 0;
    EXPECT_FALSE(lib.MSK_CheckSum(0x3FFF, 0x5000, &sum));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_FALSE(lib.MSK_CheckSum(0x5001, 0x5000, &sum));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_FALSE(lib.MSK_CheckSum(0x5000, 0x5000, nullptr));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_TRUE(History().empty());

    const std::vector<uint16_t> spi{0xFFFF, 0x1234, 0x8000};
    const std::vector<uint16_t> program{0x8001, 0x0101, 0x4444};
    Poke("spi", 0x7FFD, spi);
    Poke("program", 0x8000, program);
    Poke("program", 0x9000, {0x0202});
    Poke("program", 0x9001, {0x7777}); // outside the range
    ASSERT_TRUE(lib.MSK_CheckSum(0x7000, 0x9000, &sum)) << LastError();
    EXPECT_EQ(sum, static_cast<uint16_t>(Sum(spi) + Sum(program) + 0x0202));
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0xDA50, {kReplyTo, 0x7000, 0x7FFF}),
                             Frame(kHost, 0xDA10, {kReplyTo, 0x8000, 0x9000}),
                         }));
    ASSERT_TRUE(lib.MSK_CheckSum(0x8000, 0x8000, &sum)) << LastError();
    EXPECT_EQ(sum, 0x8001);
    EXPECT_EQ(History(),
              std::vector<std::string>{Frame(kHost, 0xDA10, {kReplyTo, 0x8000, 0x8000})});
    ASSERT_TRUE(lib.MSK_CheckSum(0x7FFD, 0x7FFF, &sum)) << LastError();
    EXPECT_EQ(sum, Sum(spi));
    EXPECT_EQ(History(),
              std::vector<std::string>{Frame(kHost, 0xDA50, {kReplyTo, 0x7FFD, 0x7FFF})});

    // A query that finds no drive: the sum is left alone.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(9));
    sum = 0x5555;
    CollectLog(1);
    EXPECT_FALSE(lib.MSK_CheckSum(0x8000, 0x8001, &sum));
    EXPECT_EQ(sum, 0x5555);
    EXPECT_EQ(Logged("MSK Error : <Verify CheckSum> cmd. failed!"), 1);
    EXPECT_EQ(LastError(), Text(0x20000075));
}

class SerialDownloadTest : public ztest::LibraryTest {};

TEST_F(SerialDownloadTest, TheSampleOverAPseudoTerminal) {
    auto sim = StartSerialSim({"--axes", "3", "--baud", "115200"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232), 0) << LastError();
    uint16_t entry = 0;
    ASSERT_TRUE(
        lib.MSK_COFFDownload(SamplePath().c_str(), &entry, nullptr, nullptr, nullptr, 0, 0x1000))
        << LastError();
    EXPECT_EQ(entry, 0x8000);
    uint16_t sum = 0;
    ASSERT_TRUE(lib.MSK_CheckSum(0x8000, 0x82BB, &sum)) << LastError();
    EXPECT_EQ(sum, Sum(coffwriter::PatternWords(700, 1)));
    EXPECT_EQ(
        sim->Command("checksum spi 0x3000 0x312B"), "OK " + [&] {
            char text[8];
            std::snprintf(text, sizeof text, "%04X", Sum(coffwriter::PatternWords(300, 4)));
            return std::string(text);
        }());
}

} // namespace

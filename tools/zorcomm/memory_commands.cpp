#include "memory_commands.h"

#include "numbers.h"
#include "progress_bar.h"

#include <zorcomm/zorcomm.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

namespace zcli {

namespace {

constexpr uint32_t kMaxWords = 0xFFFF;
constexpr size_t kDumpWordsPerLine = 8;
constexpr uint32_t kDefaultSpiSize = 0x5000;

struct MemoryChoice {
    std::string name = "program";
    uint8_t type() const {
        if (name == "data") return MEMORY_DATA;
        if (name == "spi") return MEMORY_SPI;
        return MEMORY_PROGRAM;
    }
};

void AddMemory(CLI::App &sub, MemoryChoice &memory) {
    sub.add_option("--memory", memory.name, "Drive memory: program, data or spi (default program)")
        ->transform(CLI::IsMember({"program", "data", "spi"}, CLI::ignore_case))
        ->type_name("MEMORY");
}

// ---- download ----

struct DownloadOptions {
    std::string file;
    uint32_t spiSize = kDefaultSpiSize;
    uint16_t axis = 0;
};

// "Section[2/6] .data OK." gives ".data"; "Total 1069 words downloaded in 85 [ms]." gives 1069
// and 85.
Json DownloadJson(const std::string &file, const ProgressBar &bar, uint16_t entry,
                  uint16_t start, uint16_t end) {
    std::vector<std::string> sections;
    for (const std::string &text : bar.sectionsDone()) {
        const size_t open = text.find("] ");
        const size_t ok = text.rfind(" OK.");
        sections.push_back(open != std::string::npos && ok != std::string::npos && ok > open + 2
                               ? text.substr(open + 2, ok - open - 2)
                               : text);
    }
    Json json;
    json.Add("file", file).Add("sections", sections);
    for (const std::string &text : bar.closing()) {
        unsigned words = 0;
        unsigned milliseconds = 0;
        if (std::sscanf(text.c_str(), "Total %u words downloaded in %u [ms].", &words,
                        &milliseconds) == 2)
            json.Add("words", words).Add("milliseconds", milliseconds);
    }
    json.Add("entryPoint", entry);
    // With no section loaded the range is empty (start above end): no addresses then.
    if (start <= end) json.Add("startAddress", start).Add("endAddress", end);
    return json;
}

ExitCode RunDownload(const DownloadOptions &options) {
    if (!ChooseActiveAxis(options.axis))
        return Fail("cannot select axis " + std::to_string(options.axis));
    uint16_t entry = 0;
    uint16_t start = 0;
    uint16_t end = 0;
    ProgressBar bar;
    const bool done = MSK_COFFDownload(options.file.c_str(), &entry, &start, &end,
                                       ProgressBar::Callback(), 0,
                                       static_cast<uint16_t>(options.spiSize));
    // The library's own texts of what went wrong with the file come before its error text.
    std::vector<std::string> details;
    for (const std::string &text : bar.errors()) {
        details.push_back(OneLine(text));
        std::cerr << "zorcomm: " << details.back() << "\n";
    }
    if (!done) return Fail("download failed", details);
    if (JsonOutput()) {
        PrintJson(DownloadJson(options.file, bar, entry, start, end));
        return ExitCode::Ok;
    }
    for (const std::string &text : bar.sectionsDone()) std::printf("%s\n", text.c_str());
    for (const std::string &text : bar.closing())
        if (text.rfind("Total ", 0) == 0) std::printf("%s\n", text.c_str());
    std::printf("entry point:   %s\n", Hex(entry).c_str());
    if (start <= end)
        std::printf("address range: %s..%s\n", Hex(start).c_str(), Hex(end).c_str());
    else
        std::printf("address range: none (no section was loaded)\n");
    return ExitCode::Ok;
}

Command AddDownload(CLI::App &app) {
    auto options = std::make_shared<DownloadOptions>();
    CLI::App *sub = AddSubcommand(
        app, "download", "Download an executable (COFF) into a drive and verify its checksums",
        "zorcomm download app.out --spi-size 0x2000\nzorcomm --json download app.out");
    sub->add_option("FILE", options->file, "The executable")->required()->type_name("");
    sub->add_option("--spi-size", options->spiSize,
                    "Size of the drive's SPI memory in words, 0 to 0x5000 (default 0x5000)")
        ->transform(Number(0, 0xFFFF))
        ->type_name("N");
    AddAxisOption(*sub, options->axis, "Axis ID to download to, 1 to 255 (default: the active axis)");
    return {sub, [options] { return RunDownload(*options); }};
}

// ---- read ----

struct ReadOptions {
    uint16_t address = 0;
    uint32_t count = 0;
    MemoryChoice memory;
    std::string output;
    uint16_t axis = 0;
};

void Dump(const std::vector<uint16_t> &words, uint16_t address) {
    for (size_t i = 0; i < words.size(); i += kDumpWordsPerLine) {
        std::printf("%04X:", static_cast<unsigned>(static_cast<uint16_t>(address + i)));
        for (size_t j = i; j < words.size() && j < i + kDumpWordsPerLine; ++j)
            std::printf(" %04X", words[j]);
        std::printf("\n");
    }
}

bool WriteRaw(const std::string &path, const std::vector<uint16_t> &words) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (uint16_t word : words) {
        const char bytes[2] = {static_cast<char>(word & 0xFF), static_cast<char>(word >> 8)};
        file.write(bytes, 2);
    }
    return static_cast<bool>(file.flush());
}

ExitCode RunRead(const ReadOptions &options) {
    if (!ChooseActiveAxis(options.axis))
        return Fail("cannot select axis " + std::to_string(options.axis));
    std::vector<uint16_t> words(options.count);
    {
        ProgressBar bar;
        if (!MSK_ReceiveBigData(words.data(), options.address, options.memory.type(),
                                static_cast<uint16_t>(options.count), ProgressBar::Callback(), 0))
            return Fail("cannot read " + options.memory.name + " memory");
    }
    Json json;
    json.Add("address", options.address).Add("memory", options.memory.name);
    if (options.output.empty()) {
        if (JsonOutput())
            PrintJson(json.Add("words", std::span<const uint16_t>(words)));
        else
            Dump(words, options.address);
        return ExitCode::Ok;
    }
    if (!WriteRaw(options.output, words)) return ReportFailure("cannot write " + options.output, "");
    if (JsonOutput())
        PrintJson(json.Add("count", options.count).Add("file", options.output));
    else
        std::printf("%u words written to %s\n", options.count, options.output.c_str());
    return ExitCode::Ok;
}

Command AddRead(CLI::App &app) {
    auto options = std::make_shared<ReadOptions>();
    CLI::App *sub = AddSubcommand(app, "read",
                                  "Read words of drive memory (hex dump, or raw to a file)",
                                  "zorcomm read 0x8000 16 --memory program\n"
                                  "zorcomm read 0x3000 0x800 --memory spi --output spi.bin\n"
                                  "zorcomm --json read 0x0100 4 --memory data");
    sub->add_option("ADDR", options->address, "First word address, 0 to 0xFFFF")
        ->required()
        ->transform(Number(0, 0xFFFF))
        ->type_name("");
    sub->add_option("COUNT", options->count, "Number of words, 1 to 0xFFFF")
        ->required()
        ->transform(Number(1, kMaxWords))
        ->type_name("");
    AddMemory(*sub, options->memory);
    sub->add_option("--output", options->output,
                    "Write the words raw (low byte first) to this file instead of a dump")
        ->type_name("FILE");
    AddAxisOption(*sub, options->axis, "Axis ID to read from, 1 to 255 (default: the active axis)");
    return {sub, [options] { return RunRead(*options); }};
}

// ---- write ----

struct WriteOptions {
    uint16_t address = 0;
    std::vector<uint16_t> words;
    std::string from;
    MemoryChoice memory;
    uint16_t axis = 0;
};

// The words of a raw file (low byte first); what is wrong with it when it cannot serve.
std::optional<std::string> ReadRaw(const std::string &path, std::vector<uint16_t> &words) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "cannot read " + path;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    if (bytes.size() % 2 != 0) return path + " holds an odd number of bytes, not whole words";
    if (bytes.empty() || bytes.size() / 2 > kMaxWords)
        return path + " must hold 1 to 65535 words, it holds " + std::to_string(bytes.size() / 2);
    for (size_t i = 0; i < bytes.size(); i += 2)
        words.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                              static_cast<uint8_t>(bytes[i + 1]) << 8));
    return std::nullopt;
}

ExitCode RunWrite(const WriteOptions &options) {
    const std::vector<uint16_t> &words = options.words;
    if (!ChooseActiveAxis(options.axis))
        return Fail("cannot select axis " + std::to_string(options.axis));
    {
        ProgressBar bar;
        if (!MSK_SendBigData(words.data(), options.address, options.memory.type(),
                             static_cast<uint16_t>(words.size()), ProgressBar::Callback(), 0))
            return Fail("cannot write " + options.memory.name + " memory");
    }
    if (JsonOutput())
        PrintJson(Json()
                      .Add("address", options.address)
                      .Add("memory", options.memory.name)
                      .Add("count", words.size()));
    else
        std::printf("%zu words written at %s\n", words.size(), Hex(options.address).c_str());
    return ExitCode::Ok;
}

Command AddWrite(CLI::App &app) {
    auto options = std::make_shared<WriteOptions>();
    CLI::App *sub = AddSubcommand(app, "write", "Write words into drive memory",
                                  "zorcomm write 0x0100 0x1234 0x5678 --memory data\n"
                                  "zorcomm write 0x3000 --from table.bin --memory spi");
    sub->add_option("ADDR", options->address, "First word address, 0 to 0xFFFF")
        ->required()
        ->transform(Number(0, 0xFFFF))
        ->type_name("");
    CLI::Option *words = sub->add_option("WORD", options->words, "Words, 0 to 0xFFFF each")
                             ->transform(Number(0, 0xFFFF))
                             ->type_name("");
    CLI::Option *from = sub->add_option("--from", options->from,
                                        "Take the words from a raw file (low byte first)")
                            ->type_name("FILE");
    words->excludes(from);
    AddMemory(*sub, options->memory);
    AddAxisOption(*sub, options->axis, "Axis ID to write to, 1 to 255 (default: the active axis)");
    sub->callback([options] {
        if (options->words.empty() && options->from.empty())
            throw CLI::ValidationError("WORD", "give the words, or --from FILE");
        // Read before the channel opens, so that a file that cannot serve is a usage mistake.
        if (!options->from.empty())
            if (const auto problem = ReadRaw(options->from, options->words))
                throw CLI::ValidationError("--from", *problem);
        if (options->words.size() > kMaxWords)
            throw CLI::ValidationError("WORD", "at most 65535 words");
    });
    return {sub, [options] { return RunWrite(*options); }};
}

// ---- checksum ----

struct ChecksumOptions {
    uint16_t start = 0;
    uint16_t end = 0;
    uint16_t axis = 0;
};

ExitCode RunChecksum(const ChecksumOptions &options) {
    if (!ChooseActiveAxis(options.axis))
        return Fail("cannot select axis " + std::to_string(options.axis));
    uint16_t sum = 0;
    if (!MSK_CheckSum(options.start, options.end, &sum)) return Fail("no checksum");
    if (JsonOutput())
        PrintJson(Json().Add("start", options.start).Add("end", options.end).Add("checksum", sum));
    else
        std::printf("checksum:      %s\n", Hex(sum).c_str());
    return ExitCode::Ok;
}

Command AddChecksum(CLI::App &app) {
    auto options = std::make_shared<ChecksumOptions>();
    CLI::App *sub = AddSubcommand(app, "checksum",
                                  "Have the drive sum a range (SPI memory below 0x8000, program "
                                  "above)",
                                  "zorcomm checksum 0x8000 0x82FF\n"
                                  "zorcomm checksum 0x4000 0xFFFF --axis 2");
    sub->add_option("START", options->start, "First address, 0x4000 to 0xFFFF")
        ->required()
        ->transform(Number(0x4000, 0xFFFF))
        ->type_name("");
    sub->add_option("END", options->end, "Last address (included), START to 0xFFFF")
        ->required()
        ->transform(Number(0x4000, 0xFFFF))
        ->type_name("");
    AddAxisOption(*sub, options->axis, "Axis ID to ask, 1 to 255 (default: the active axis)");
    sub->callback([options] {
        if (options->end < options->start)
            throw CLI::ValidationError("END", "the range ends before it starts");
    });
    return {sub, [options] { return RunChecksum(*options); }};
}

} // namespace

std::vector<Command> AddMemoryCommands(CLI::App &app) {
    return {AddDownload(app), AddRead(app), AddWrite(app), AddChecksum(app)};
}

} // namespace zcli

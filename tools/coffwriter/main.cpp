// zorcomm-coffwriter: writes an executable for the drives from section descriptions.

#include "coff_writer.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *kFooter =
    "SECTION is NAME@ADDRESS followed by comma-separated settings:\n"
    "  page=program|data   memory page (default program)\n"
    "  load=ADDRESS        load (physical) address (default: the run address)\n"
    "  flags=N             section flags (default 0x20, code)\n"
    "  words=W:W:...       the section's words\n"
    "  count=N[,seed=S]    N generated words (instead of words=)\n"
    "  size=N, raw=N       size and raw data offset fields that lie about the data\n"
    "Numbers are decimal or 0x hex.\n"
    "\n"
    "Example:\n"
    "  zorcomm-coffwriter -o app.out --entry 0x8000 \\\n"
    "      --section .text@0x8000,count=512 --section .spi@0x3000,words=1:2:3";

std::optional<int64_t> Number(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        const size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// One --section argument; throws CLI::ValidationError on a mistake.
coffwriter::Section ParseSection(std::string_view text) {
    auto fail = [&](const std::string &why) {
        throw CLI::ValidationError("--section", "'" + std::string(text) + "': " + why);
    };
    auto number = [&](std::string_view digits, int64_t min, int64_t max) {
        const auto value = Number(digits);
        if (!value || *value < min || *value > max)
            fail("'" + std::string(digits) + "' is not a number from " + std::to_string(min) +
                 " to " + std::to_string(max));
        return *value;
    };
    const std::vector<std::string_view> parts = Split(text, ',');
    const size_t at = parts[0].find('@');
    if (at == std::string_view::npos) fail("expected NAME@ADDRESS");
    coffwriter::Section section;
    section.name = std::string(parts[0].substr(0, at));
    section.runAddress =
        static_cast<int32_t>(number(parts[0].substr(at + 1), INT32_MIN, INT32_MAX));
    std::optional<int64_t> count;
    uint32_t seed = 1;
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t equals = parts[i].find('=');
        if (equals == std::string_view::npos)
            fail("expected KEY=VALUE, got '" + std::string(parts[i]) + "'");
        const std::string_view key = parts[i].substr(0, equals);
        const std::string_view value = parts[i].substr(equals + 1);
        if (key == "page") {
            if (value == "program")
                section.page = coffwriter::Page::Program;
            else if (value == "data")
                section.page = coffwriter::Page::Data;
            else
                fail("page is program or data");
        } else if (key == "load") {
            section.loadAddress = static_cast<int32_t>(number(value, INT32_MIN, INT32_MAX));
        } else if (key == "flags") {
            section.flags = static_cast<uint16_t>(number(value, 0, 0xFFFF));
        } else if (key == "words") {
            for (std::string_view word : Split(value, ':'))
                section.words.push_back(static_cast<uint16_t>(number(word, 0, 0xFFFF)));
        } else if (key == "count") {
            count = number(value, 0, 0x10000);
        } else if (key == "seed") {
            seed = static_cast<uint32_t>(number(value, 0, UINT32_MAX));
        } else if (key == "size") {
            section.size = static_cast<uint32_t>(number(value, 0, UINT32_MAX));
        } else if (key == "raw") {
            section.rawDataOffset = static_cast<uint32_t>(number(value, 0, UINT32_MAX));
        } else {
            fail("unknown setting '" + std::string(key) + "'");
        }
    }
    if (count) {
        if (!section.words.empty()) fail("give words= or count=, not both");
        section.words = coffwriter::PatternWords(static_cast<size_t>(*count), seed);
    }
    return section;
}

int Main(int argc, char **argv) {
    CLI::App app("Write an executable for the drives (COFF version 1, TMS320C2xx).",
                 "zorcomm-coffwriter");
    app.footer(kFooter);
    std::string output;
    std::string entry = "0";
    std::string breakage = "none";
    std::vector<std::string> sections;
    app.add_option("-o,--output", output, "File to write")->required()->type_name("FILE");
    app.add_option("--entry", entry, "Entry point, 0 to 0xFFFF (default 0)")->type_name("ADDRESS");
    std::string kinds;
    for (std::string_view name : coffwriter::BreakageNames())
        kinds += (kinds.empty() ? "" : ", ") + std::string(name);
    app.add_option("--break", breakage, "Write a broken file: " + kinds)->type_name("KIND");
    app.add_option("--section", sections, "A section (see below); in file order")
        ->type_name("SECTION");
    coffwriter::Executable executable;
    std::optional<coffwriter::Breakage> kind;
    try {
        app.parse(argc, argv);
        const auto entryPoint = Number(entry);
        if (!entryPoint || *entryPoint < 0 || *entryPoint > 0xFFFF)
            throw CLI::ValidationError("--entry", "expected 0 to 0xFFFF, got '" + entry + "'");
        executable.entryPoint = static_cast<uint16_t>(*entryPoint);
        kind = coffwriter::BreakageNamed(breakage);
        if (!kind) throw CLI::ValidationError("--break", "unknown kind '" + breakage + "'");
        for (const std::string &text : sections) executable.sections.push_back(ParseSection(text));
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (!coffwriter::WriteFile(output, executable, *kind)) {
        std::cerr << "zorcomm-coffwriter: cannot write " << output << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) { return Main(argc, argv); }

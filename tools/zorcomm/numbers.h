// Numbers on the command line: decimal or 0x hex, checked against a range by CLI11.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace zcli {

// "1234" or "0x4D2" / "0X4d2"; nullopt for anything else (signs, blanks, empty digits, values
// above 32 bits). A leading 0 stays decimal: "010" is ten, never octal.
std::optional<uint32_t> ParseNumber(std::string_view text);

// A CLI11 transform that accepts a number from `min` to `max` and rewrites it in decimal, so the
// option's own conversion (which would read "010" as octal) only ever sees plain digits.
CLI::Validator Number(uint32_t min, uint32_t max);

// A CLI11 transform for a time in seconds, 0 to `max`, fractions allowed ("1", "0.25").
CLI::Validator Seconds(double max);

} // namespace zcli

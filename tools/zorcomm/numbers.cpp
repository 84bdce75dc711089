#include "numbers.h"

#include <charconv>
#include <string>

namespace zcli {

std::optional<uint32_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    // from_chars takes no sign for an unsigned type, so digits are all that is accepted.
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

CLI::Validator Number(uint32_t min, uint32_t max) {
    auto check = [min, max](std::string &text) -> std::string {
        const std::optional<uint32_t> value = ParseNumber(text);
        if (!value || *value < min || *value > max)
            return "expected a number from " + std::to_string(min) + " to " + std::to_string(max) +
                   " (decimal or 0x hex), got '" + text + "'";
        text = std::to_string(*value);
        return {};
    };
    // An empty description keeps CLI11 from appending it to every option's type in the help.
    return CLI::Validator(check, "");
}

CLI::Validator Seconds(double max) {
    auto check = [max](std::string &text) -> std::string {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        // from_chars takes neither a sign of + nor blanks; "nan" and "inf" fail the range.
        if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
            !(value >= 0 && value <= max))
            return "expected seconds from 0 to " + std::to_string(static_cast<long>(max)) +
                   ", got '" + text + "'";
        return {};
    };
    return CLI::Validator(check, "");
}

} // namespace zcli

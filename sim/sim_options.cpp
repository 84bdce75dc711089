#include "sim_options.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace zsim {

std::vector<std::string> SplitWords(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
        words.emplace_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
    return static_cast<uint32_t>(value);
}

namespace {

// "AXIS=VALUE" or a bare VALUE that applies to every drive (axis 0 in the map).
bool SplitAxisValue(const std::string &text, std::map<uint8_t, std::string> &into)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos) {
        into[0] = text;
        return true;
    }
    auto axis = ParseNumber(std::string_view(text).substr(0, eq), 255);
    if (!axis || *axis == 0) return false;
    into[static_cast<uint8_t>(*axis)] = text.substr(eq + 1);
    return true;
}

std::optional<std::vector<uint8_t>> ParseAxes(const std::string &text)
{
    std::vector<uint8_t> axes;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        auto axis = ParseNumber(std::string_view(text).substr(at, comma - at), 255);
        if (!axis || *axis == 0 || std::find(axes.begin(), axes.end(), *axis) != axes.end()) return std::nullopt;
        axes.push_back(static_cast<uint8_t>(*axis));
        at = comma + 1;
    }
    return axes;
}

bool TakesValue(std::string_view name)
{
    static const std::set<std::string_view> valued = {"axes",  "baud",          "version",    "group",
                                                      "fault", "frame-timeout", "reset-time", "read-timeout"};
    return valued.contains(name);
}

} // namespace

std::optional<SimOptions> ParseOptions(std::span<const std::string> args, std::string &error)
{
    SimOptions options;
    std::vector<uint8_t> axes{1};
    std::map<uint8_t, std::string> versions;
    std::map<uint8_t, std::string> bauds;
    std::map<uint8_t, std::string> groups;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (name.rfind("--", 0) != 0) {
            error = "unexpected argument '" + name + "'";
            return std::nullopt;
        }
        name.erase(0, 2);
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (TakesValue(name) && !value) {
            if (i + 1 >= args.size()) {
                error = "option --" + name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        } else if (!TakesValue(name) && value) {
            error = "option --" + name + " takes no value";
            return std::nullopt;
        }
        auto bad = [&](const char *what) {
            error = "bad value for --" + name + ": " + what;
            return std::nullopt;
        };

        if (name == "axes") {
            auto parsed = ParseAxes(*value);
            if (!parsed) return bad("a list of distinct axis IDs 1..255 such as 1,2,5");
            axes = *parsed;
        } else if (name == "rs485") {
            options.network.topology = Topology::Bus;
        } else if (name == "baud") {
            if (!SplitAxisValue(*value, bauds)) return bad("RATE or AXIS=RATE");
        } else if (name == "version") {
            if (!SplitAxisValue(*value, versions)) return bad("TEXT or AXIS=TEXT");
        } else if (name == "group") {
            if (!SplitAxisValue(*value, groups) || groups.contains(0)) return bad("AXIS=GROUP");
        } else if (name == "pace") {
            options.link.pace = true;
        } else if (name == "frame-timeout") {
            auto ms = ParseNumber(*value, 3'600'000);
            if (!ms) return bad("milliseconds");
            options.link.frameTimeout = Milliseconds(*ms);
        } else if (name == "reset-time") {
            auto ms = ParseNumber(*value, 3'600'000);
            if (!ms) return bad("milliseconds");
            options.network.resetSilence = Milliseconds(*ms);
        } else if (name == "no-autodetect") {
            options.network.autodetect = false;
        } else if (name == "read-timeout") {
            auto ms = ParseNumber(*value, 3'600'000);
            if (!ms) return bad("milliseconds");
            options.readTimeoutMs = *ms;
        } else if (name == "fault") {
            // --fault KIND[=N[,M]] is the control line "fault KIND N M".
            std::string line = "fault " + *value;
            std::replace(line.begin(), line.end(), '=', ' ');
            std::replace(line.begin(), line.end(), ',', ' ');
            options.faults.push_back(line);
        } else if (name == "no-control") {
            options.noControl = true;
        } else {
            error = "unknown option --" + name;
            return std::nullopt;
        }
    }

    auto pick = [](const std::map<uint8_t, std::string> &map, uint8_t axis) -> const std::string * {
        if (auto it = map.find(axis); it != map.end()) return &it->second;
        if (auto it = map.find(0); it != map.end()) return &it->second;
        return nullptr;
    };
    for (const auto &map : {versions, bauds, groups}) {
        for (const auto &[axis, text] : map) {
            if (axis != 0 && std::find(axes.begin(), axes.end(), axis) == axes.end()) {
                error = "axis " + std::to_string(axis) + " is not in --axes";
                return std::nullopt;
            }
        }
    }
    options.network.drives.clear();
    for (uint8_t axis : axes) {
        DriveSetup setup;
        setup.axis = axis;
        if (const std::string *text = pick(versions, axis)) {
            if (!EncodeVersion(*text)) {
                error = "version '" + *text + "' cannot be encoded (F + 4 characters, S + 3-4 digits, or 0xD0/0xD1)";
                return std::nullopt;
            }
            setup.version = *text;
        }
        if (const std::string *text = pick(bauds, axis)) {
            auto rate = ParseNumber(*text);
            if (!rate || !BaudCode(*rate)) {
                error = "baud rate '" + *text + "' is not one of 9600 19200 38400 57600 115200";
                return std::nullopt;
            }
            setup.baud = *rate;
        }
        if (const std::string *text = pick(groups, axis)) {
            auto group = ParseNumber(*text, 255);
            if (!group) {
                error = "group '" + *text + "' is not 0..255";
                return std::nullopt;
            }
            setup.group = static_cast<uint8_t>(*group);
        }
        options.network.drives.push_back(setup);
    }
    return options;
}

const char *OptionsHelp()
{
    return "  --axes LIST          axis IDs of the drives, e.g. 1,2,5; the first is wired to the PC (default 1)\n"
           "  --rs485              the drives share an RS-485 bus instead of a chain behind the first\n"
           "  --baud [AXIS=]RATE   drive start rate: 9600 19200 38400 57600 115200 (default 9600)\n"
           "  --version [AXIS=]TEXT firmware version: F + 4 characters, S + 3-4 digits, or 0xD0/0xD1\n"
           "                       (default F120H)\n"
           "  --group AXIS=G       group number of a drive (default none)\n"
           "  --pace               bytes take their bits at the line rate, exact to the nanosecond\n"
           "                       (can-bus: frames take their bits at the bus's bit rate)\n"
           "  --frame-timeout MS   a gap longer than MS inside a frame abandons it (default never)\n"
           "  --reset-time MS      how long a reset drive stays deaf (default 100)\n"
           "  --no-autodetect      the host drive ignores the query for its own axis ID\n"
           "  --read-timeout MS    virtual serial driver: longest wait of one read (default 1000)\n"
           "  --fault KIND[=N[,M]] a fault as the control line 'fault KIND N M'\n"
           "  --no-control         zorcomm-sim: ignore standard input, serve until killed\n";
}

} // namespace zsim

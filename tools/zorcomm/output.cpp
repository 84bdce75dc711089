#include "output.h"

#include "signals.h"

#include <zorcomm/zorcomm.h>

#include <cstdio>
#include <iostream>

namespace zcli {

namespace {

bool jsonOutput = false;

// Length of the UTF-8 sequence that starts `text` (1 to 4), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!continuation(i)) return 0;
        value = value << 6 | (byte(i) & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are not UTF-8.
    constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return 0;
    return length;
}

void AppendEscaped(std::string &out, uint8_t byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
    out += escape;
}

} // namespace

void SetJsonOutput(bool on) { jsonOutput = on; }
bool JsonOutput() { return jsonOutput; }

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const auto byte = static_cast<uint8_t>(text.front());
        const size_t length = Utf8SequenceLength(text);
        if (length > 1) {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
            continue;
        }
        text.remove_prefix(1);
        switch (byte) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte >= 0x7F) {
                AppendEscaped(out, byte);
            } else {
                out += static_cast<char>(byte);
            }
        }
    }
    return out + "\"";
}

Json &Json::AddRaw(std::string_view key, std::string_view json) {
    if (!members_.empty()) members_ += ',';
    members_ += JsonString(key);
    members_ += ':';
    members_ += json;
    return *this;
}

Json &Json::Add(std::string_view key, std::string_view text) { return AddRaw(key, JsonString(text)); }

Json &Json::AddBool(std::string_view key, bool value) { return AddRaw(key, value ? "true" : "false"); }

Json &Json::Add(std::string_view key, std::span<const uint16_t> words) {
    std::string list = "[";
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) list += ',';
        list += std::to_string(words[i]);
    }
    return AddRaw(key, list + "]");
}

Json &Json::Add(std::string_view key, const std::vector<std::string> &texts) {
    std::string list = "[";
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) list += ',';
        list += JsonString(texts[i]);
    }
    return AddRaw(key, list + "]");
}

Json &Json::Add(std::string_view key, const Json &object) { return AddRaw(key, object.Text()); }

Json &Json::Add(std::string_view key, const std::vector<Json> &objects) {
    std::string list = "[";
    for (size_t i = 0; i < objects.size(); ++i) {
        if (i > 0) list += ',';
        list += objects[i].Text();
    }
    return AddRaw(key, list + "]");
}

void PrintJson(const Json &object) {
    std::fputs(object.Text().c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    NoteIfOutputClosed();
}

std::string OneLine(std::string_view text) {
    std::string line;
    bool pendingBreak = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak && !line.empty() && line.back() != ' ') line += ' ';
        pendingBreak = false;
        line += c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string LastErrorText() {
    const char *text = MSK_GetLastError();
    return OneLine(text ? text : "");
}

ExitCode ReportFailure(std::string_view what, std::string_view text,
                       const std::vector<std::string> &details) {
    std::fflush(stdout);
    std::cerr << "zorcomm: " << what;
    if (!text.empty()) std::cerr << ": " << text;
    std::cerr << std::endl;
    if (jsonOutput) {
        Json error;
        error.Add("kind", "failure").Add("message", what);
        if (!text.empty()) error.Add("text", text);
        if (!details.empty()) error.Add("details", details);
        PrintJson(Json().Add("error", error));
    }
    return ExitCode::Failure;
}

ExitCode ReportUsage(std::string_view text) {
    std::fflush(stdout);
    std::cerr << "zorcomm: " << text << "\nRun with --help for more information." << std::endl;
    if (jsonOutput) PrintJson(Json().Add("error", Json().Add("kind", "usage").Add("message", text)));
    return ExitCode::Usage;
}

} // namespace zcli

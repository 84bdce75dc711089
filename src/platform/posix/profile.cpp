// The profile reader: the settings file is a text file of "[SECTION]" headers and "key=value"
// lines, read the way the Windows profile functions read it, so that one settings file serves
// both builds.
//
// The file is streamed in fixed chunks, so memory stays bounded whatever its size. A line longer
// than kMaxLine is cut there: no section name, key or value the library uses comes near it, and
// a header or key at the start of such a line still counts.
#include "platform/platform.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace zorcomm::platform {
namespace {

constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kChunk = 16 * 1024;
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Hands out the file's lines one by one. A read error ends the file like its end does.
class LineReader {
public:
    explicit LineReader(std::FILE *file) : file_(file) {}

    bool Next(std::string &line) {
        line.clear();
        bool any = false;
        while (true) {
            if (position_ == filled_ && !Refill()) return any;
            any = true;
            const char c = buffer_[position_++];
            if (c == '\n') return true;
            if (line.size() < kMaxLine) line.push_back(c);
        }
    }

private:
    bool Refill() {
        if (ended_) return false;
        filled_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        position_ = 0;
        if (filled_ < buffer_.size()) ended_ = true;
        return filled_ > 0;
    }

    std::FILE *file_;
    std::array<char, kChunk> buffer_{};
    size_t filled_ = 0;
    size_t position_ = 0;
    bool ended_ = false;
};

// Blanks as the profile functions see them; CR of CR LF line ends is one of them.
constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

constexpr char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// A value wholly enclosed in matching quotes loses them, as with the Windows profile functions.
std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The section name of a header line, or nothing when the line is no header (a '[' without a
// closing bracket is an ordinary line).
bool HeaderName(std::string_view line, std::string_view &name) {
    if (line.empty() || line.front() != '[') return false;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

// Only the first section of the wanted name is searched, and in it the first line of the key.
bool FindValue(const char *section, const char *key, const char *path, std::string &value) {
    if (!section || !key || !path) return false;
    File file(std::fopen(path, "rb"));
    if (!file) return false;
    const std::string_view wantedSection = Trim(section);
    const std::string_view wantedKey = Trim(key);

    LineReader reader(file.get());
    std::string raw;
    bool first = true;
    bool inside = false;
    while (reader.Next(raw)) {
        std::string_view line = raw;
        if (first && line.starts_with(kUtf8Mark)) line.remove_prefix(kUtf8Mark.size());
        first = false;
        line = Trim(line);
        if (line.empty() || line.front() == ';') continue;

        std::string_view name;
        if (HeaderName(line, name)) {
            if (inside) return false;
            inside = SameName(name, wantedSection);
            continue;
        }
        if (!inside) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!SameName(Trim(line.substr(0, equals)), wantedKey)) continue;
        value.assign(Unquote(Trim(line.substr(equals + 1))));
        return true;
    }
    return false;
}

// The leading decimal integer with an optional sign, wrapping modulo 2^32; 0 without digits.
uint32_t LeadingInteger(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t result = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        result = result * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - result : result;
}

} // namespace

uint32_t ReadProfileInt(const char *section, const char *key, uint32_t fallback,
                        const char *path) {
    std::string value;
    if (!FindValue(section, key, path, value)) return fallback;
    return LeadingInteger(value);
}

bool ReadProfileString(const char *section, const char *key, std::string &value,
                       const char *path) {
    std::string found;
    if (!FindValue(section, key, path, found)) return false;
    value = std::move(found);
    return true;
}

} // namespace zorcomm::platform

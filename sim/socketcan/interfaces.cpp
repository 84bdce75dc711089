#include "interfaces.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim::socketcan {

namespace {

constexpr std::size_t kNameLimit = 15; // IFNAMSIZ less the terminating zero

bool ValidName(std::string_view name)
{
    return !name.empty() && name.size() <= kNameLimit && name.find('/') == std::string_view::npos &&
           name.front() != '.';
}

std::string PathOf(std::string_view name) { return Directory() + "/" + std::string(name); }

std::optional<uint32_t> Number(std::string_view text)
{
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// Files are read through stdio, whose reads never pass the interposer's own entry points.
std::optional<std::string> ReadFile(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "re");
    if (!file) return std::nullopt;
    char buffer[512];
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    return std::string(buffer, got);
}

const char *TypeName(LinkType type)
{
    switch (type) {
    case LinkType::Can:
        return "can";
    case LinkType::Ether:
        return "ether";
    case LinkType::Loopback:
        return "loopback";
    }
    return "can";
}

} // namespace

std::string Directory()
{
    const char *dir = std::getenv("ZORCOMM_SOCKETCAN_DIR");
    return dir && *dir ? dir : "";
}

Stamp StampOf(std::string_view name)
{
    Stamp stamp;
    struct stat info {};
    if (Directory().empty() || !ValidName(name) || stat(PathOf(name).c_str(), &info) != 0) return stamp;
    stamp.inode = info.st_ino;
    stamp.seconds = info.st_mtim.tv_sec;
    stamp.nanoseconds = info.st_mtim.tv_nsec;
    stamp.size = info.st_size;
    return stamp;
}

std::optional<Interface> Parse(std::string_view name, std::string_view text)
{
    Interface interface;
    interface.name = std::string(name);
    // An interface without an index of its own gets one from its name, the same in every process.
    unsigned hash = 0;
    for (char c : name) hash = hash * 31 + static_cast<unsigned char>(c);
    interface.index = 100 + hash % 900;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '\n' && text[end] != '\r') ++end;
        const std::string_view word = text.substr(at, end - at);
        at = end;
        if (word.empty()) continue;
        const std::size_t eq = word.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        const std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
        if (key == "index") {
            auto n = Number(value);
            if (!n || *n == 0) return std::nullopt;
            interface.index = *n;
        } else if (key == "type") {
            if (value == "can") interface.type = LinkType::Can;
            else if (value == "ether") interface.type = LinkType::Ether;
            else if (value == "loopback") interface.type = LinkType::Loopback;
            else return std::nullopt;
        } else if (key == "state") {
            if (value != "up" && value != "down") return std::nullopt;
            interface.up = value == "up";
        } else if (key == "bitrate") {
            auto n = Number(value);
            if (!n) return std::nullopt;
            interface.bitrate = *n;
        } else if (key == "bittiming") {
            if (value != "yes" && value != "no") return std::nullopt;
            interface.bitTiming = value == "yes";
        } else if (key == "txqueue") {
            if (value != "ok" && value != "full") return std::nullopt;
            interface.txFull = value == "full";
        } else if (key == "canstate") {
            auto n = Number(value);
            if (!n || *n > 5) return std::nullopt;
            interface.canState = static_cast<int>(*n);
        } else if (key == "bus") {
            interface.bus = std::string(value);
        } else {
            return std::nullopt;
        }
    }
    return interface;
}

std::string Format(const Interface &interface)
{
    std::string text = "index=" + std::to_string(interface.index) + " type=" + TypeName(interface.type) +
                       " state=" + (interface.up ? "up" : "down") + " bitrate=" + std::to_string(interface.bitrate) +
                       " bittiming=" + (interface.bitTiming ? "yes" : "no") +
                       " txqueue=" + (interface.txFull ? "full" : "ok") +
                       " canstate=" + std::to_string(interface.canState);
    if (!interface.bus.empty()) text += " bus=" + interface.bus;
    return text + "\n";
}

std::optional<Interface> Find(std::string_view name)
{
    if (Directory().empty() || !ValidName(name)) return std::nullopt;
    auto text = ReadFile(PathOf(name));
    if (!text) return std::nullopt;
    return Parse(name, *text);
}

std::optional<Interface> FindByIndex(unsigned index)
{
    const std::string dir = Directory();
    if (dir.empty()) return std::nullopt;
    DIR *listing = opendir(dir.c_str());
    if (!listing) return std::nullopt;
    std::optional<Interface> found;
    while (dirent *entry = readdir(listing)) {
        if (!ValidName(entry->d_name)) continue;
        auto interface = Find(entry->d_name);
        if (interface && interface->index == index) {
            found = interface;
            break;
        }
    }
    closedir(listing);
    return found;
}

bool Store(const Interface &interface)
{
    if (Directory().empty() || !ValidName(interface.name)) {
        errno = ENODEV;
        return false;
    }
    const std::string path = PathOf(interface.name);
    const std::string temporary = Directory() + "/.new-" + interface.name + "-" + std::to_string(getpid());
    std::FILE *file = std::fopen(temporary.c_str(), "we");
    if (!file) return false;
    const std::string text = Format(interface);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        std::remove(temporary.c_str());
        errno = code;
        return false;
    }
    return true;
}

std::string BusPath(const Interface &interface)
{
    if (!interface.bus.empty()) return interface.bus;
    const char *bus = std::getenv("ZORCOMM_CANBUS");
    return bus ? bus : "";
}

} // namespace zsim::socketcan

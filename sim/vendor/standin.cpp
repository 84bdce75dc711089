#include "standin.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#endif

namespace zsim::standin {

#ifdef _WIN32
// The Windows build (the stand-ins under Wine): ZORCOMM_CANBUS is "ADDRESS:PORT", a loopback TCP
// bridge to the bus that carries the same fixed-size packets back to back.
namespace {

bool SendAll(SOCKET socket, const void *data, int size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const int sent = send(socket, bytes, size, 0);
        if (sent <= 0) return false;
        bytes += sent;
        size -= sent;
    }
    return true;
}

} // namespace

std::shared_ptr<BusConnection> BusConnection::Connect(std::string_view family)
{
    const char *where = std::getenv("ZORCOMM_CANBUS");
    const char *colon = where ? std::strchr(where, ':') : nullptr;
    if (!colon) return nullptr;
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(colon + 1)));
    address.sin_addr.s_addr = inet_addr(std::string(where, static_cast<std::size_t>(colon - where)).c_str());
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return nullptr;
    std::shared_ptr<BusConnection> connection(new BusConnection(static_cast<int>(socket)));
    const BOOL noDelay = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay), sizeof noDelay);
    if (connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return nullptr;
    const canbus::Packet hello = canbus::HelloPacket(family, static_cast<uint32_t>(GetCurrentProcessId()));
    if (!SendAll(socket, &hello, sizeof hello)) return nullptr;
    return connection;
}

BusConnection::~BusConnection() { closesocket(static_cast<SOCKET>(fd_)); }

void BusConnection::SetRate(uint32_t rate)
{
    if (rate == rate_) return;
    rate_ = rate;
    const canbus::Packet packet = canbus::BitRatePacket(rate);
    SendAll(static_cast<SOCKET>(fd_), &packet, sizeof packet);
}

bool BusConnection::Send(const BusFrame &frame)
{
    const canbus::Packet packet = canbus::FramePacket(frame);
    return SendAll(static_cast<SOCKET>(fd_), &packet, sizeof packet);
}

BusConnection::Receipt BusConnection::Receive(BusFrame &frame)
{
    const SOCKET socket = static_cast<SOCKET>(fd_);
    for (;;) {
        u_long waiting = 0;
        if (ioctlsocket(socket, FIONREAD, &waiting) != 0) return Receipt::Closed;
        if (waiting < sizeof(canbus::Packet)) {
            // Nothing whole yet, or the bridge has gone (readable with nothing to read).
            if (waiting > 0 || !Wait(0)) return Receipt::None;
            char byte;
            return recv(socket, &byte, 1, MSG_PEEK) == 0 ? Receipt::Closed : Receipt::None;
        }
        canbus::Packet packet;
        if (recv(socket, reinterpret_cast<char *>(&packet), sizeof packet, MSG_WAITALL) !=
            static_cast<int>(sizeof packet))
            return Receipt::Closed;
        if (canbus::PacketFrame(packet, frame)) return Receipt::Frame;
    }
}

bool BusConnection::Wait(int timeoutMs) const
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(fd_), &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}

uint32_t MillisNow() { return GetTickCount(); }

CallLine::~CallLine()
{
    const char *path = std::getenv("ZORCOMM_VENDOR_LOG");
    if (!path || !*path) return;
    line_ += '\n';
    if (std::FILE *file = std::fopen(path, "ab")) {
        std::fwrite(line_.data(), 1, line_.size(), file);
        std::fclose(file);
    }
}

#else

std::shared_ptr<BusConnection> BusConnection::Connect(std::string_view family)
{
    const char *path = std::getenv("ZORCOMM_CANBUS");
    if (!path || !*path) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path, length + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    std::shared_ptr<BusConnection> connection(new BusConnection(fd));
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return nullptr;
    const canbus::Packet hello = canbus::HelloPacket(family, static_cast<uint32_t>(getpid()));
    if (send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello)) return nullptr;
    return connection;
}

BusConnection::~BusConnection() { close(fd_); }

void BusConnection::SetRate(uint32_t rate)
{
    if (rate == rate_) return;
    rate_ = rate;
    const canbus::Packet packet = canbus::BitRatePacket(rate);
    send(fd_, &packet, sizeof packet, MSG_NOSIGNAL);
}

bool BusConnection::Send(const BusFrame &frame)
{
    const canbus::Packet packet = canbus::FramePacket(frame);
    ssize_t sent;
    do {
        sent = send(fd_, &packet, sizeof packet, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof packet);
}

BusConnection::Receipt BusConnection::Receive(BusFrame &frame)
{
    constexpr int kSyncWaitMs = 500;
    uint32_t asked = 0; // the sync this call sent, 0 before it sent one
    for (;;) {
        canbus::Packet packet;
        const ssize_t got = recv(fd_, &packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Receipt::Closed;
            if (asked == 0) {
                while (asked == 0) asked = ++syncs_;
                const canbus::Packet sync = canbus::SyncPacket(asked);
                if (send(fd_, &sync, sizeof sync, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof sync))
                    return Receipt::None;
            }
            if (!Wait(kSyncWaitMs)) return Receipt::None;
            continue;
        }
        if (got == 0) return Receipt::Closed;
        if (static_cast<std::size_t>(got) != sizeof packet) continue;
        // Everything the bus had sent before it read the sync has been read: nothing is coming.
        if (packet.type == static_cast<uint8_t>(canbus::PacketType::Sync)) {
            if (asked != 0 && packet.value == asked) return Receipt::None;
            continue;
        }
        // Anything but a well-formed frame is skipped.
        if (canbus::PacketFrame(packet, frame)) return Receipt::Frame;
    }
}

bool BusConnection::Wait(int timeoutMs) const
{
    pollfd entry{fd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

uint32_t MillisNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000);
}

CallLine::~CallLine()
{
    const char *path = std::getenv("ZORCOMM_VENDOR_LOG");
    if (!path || !*path) return;
    line_ += '\n';
    // One write per line with O_APPEND: lines of several processes do not mix.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t written = write(fd, line_.data(), line_.size());
    (void)written;
    close(fd);
}

#endif

uint32_t RateFromBtr(uint8_t btr0, uint8_t btr1)
{
    struct Timing {
        uint8_t btr0, btr1;
        uint32_t rate;
    };
    static constexpr Timing kTimings[] = {
        {0x00, 0x14, 1'000'000}, {0x00, 0x16, 800'000}, {0x00, 0x1C, 500'000},
        {0x01, 0x1C, 250'000},   {0x03, 0x1C, 125'000},
    };
    for (const Timing &timing : kTimings) {
        if (timing.btr0 == btr0 && timing.btr1 == btr1) return timing.rate;
    }
    return canbus::kUnknownRate;
}

bool FiltersEnabled()
{
    const char *value = std::getenv("ZORCOMM_VENDOR_FILTERS");
    return !(value && std::strcmp(value, "off") == 0);
}

CallLine::CallLine(const char *name) : line_(name) {}

CallLine &CallLine::Dec(long long value)
{
    line_ += ' ';
    line_ += std::to_string(value);
    return *this;
}

CallLine &CallLine::Hex(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, " 0x%llX", value);
    line_ += text;
    return *this;
}

CallLine &CallLine::Byte(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, " 0x%02X", value);
    line_ += text;
    return *this;
}

CallLine &CallLine::Word(uint16_t value)
{
    char text[10];
    std::snprintf(text, sizeof text, " 0x%04X", value);
    line_ += text;
    return *this;
}

CallLine &CallLine::Bytes(const uint8_t *data, std::size_t count)
{
    line_ += ' ';
    if (!data || count == 0) {
        line_ += '-';
        return *this;
    }
    char text[4];
    for (std::size_t i = 0; i < count && i < 8; ++i) {
        std::snprintf(text, sizeof text, "%02X", data[i]);
        line_ += text;
    }
    return *this;
}

CallLine &CallLine::Text(const char *text)
{
    line_ += ' ';
    line_ += text;
    return *this;
}

CallLine &CallLine::Pointer(const void *pointer) { return Text(pointer ? "set" : "null"); }

namespace {

struct Injection {
    long long status;
    long long remaining; // < 0: every call
};

std::mutex gInjectionMutex;
std::string *gInjectionText = nullptr; // the text the table was read from
std::map<std::string, Injection> *gInjections = nullptr;

std::optional<long long> ParseStatus(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return negative ? -static_cast<long long>(value) : static_cast<long long>(value);
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

void ReadInjections(const std::string &text, std::map<std::string, Injection> &into)
{
    into.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t semicolon = rest.find(';');
        const std::string_view entry = Trim(rest.substr(0, semicolon));
        rest = semicolon == std::string_view::npos ? std::string_view{} : rest.substr(semicolon + 1);
        if (entry.empty()) continue;
        const std::size_t eq = entry.find('=');
        std::optional<long long> status;
        std::optional<long long> count = -1;
        if (eq != std::string_view::npos) {
            std::string_view value = entry.substr(eq + 1);
            const std::size_t comma = value.find(',');
            if (comma != std::string_view::npos) {
                count = ParseStatus(Trim(value.substr(comma + 1)));
                value = value.substr(0, comma);
            }
            status = ParseStatus(Trim(value));
        }
        if (eq == 0 || eq == std::string_view::npos || !status || !count || *count < -1) {
            std::fprintf(stderr, "ZORCOMM_VENDOR_FAIL: entry '%.*s' ignored (Name=status[,count])\n",
                         static_cast<int>(entry.size()), entry.data());
            continue;
        }
        into[std::string(Trim(entry.substr(0, eq)))] = Injection{*status, *count};
    }
}

// The tables live as long as the library; released when it is unloaded.
__attribute__((destructor)) void ReleaseInjections()
{
    std::lock_guard lock(gInjectionMutex);
    delete gInjectionText;
    delete gInjections;
    gInjectionText = nullptr;
    gInjections = nullptr;
}

} // namespace

std::optional<long long> InjectedFailure(const char *name)
{
    const char *value = std::getenv("ZORCOMM_VENDOR_FAIL");
    const std::string text = value ? value : "";
    std::lock_guard lock(gInjectionMutex);
    if (!gInjections) {
        gInjections = new std::map<std::string, Injection>;
        gInjectionText = new std::string;
    }
    if (text != *gInjectionText) {
        *gInjectionText = text;
        ReadInjections(text, *gInjections);
    }
    auto it = gInjections->find(name);
    if (it == gInjections->end() || it->second.remaining == 0) return std::nullopt;
    if (it->second.remaining > 0) --it->second.remaining;
    return it->second.status;
}

} // namespace zsim::standin

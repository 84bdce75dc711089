#include "transport/winsock.h"

#include <utility>

#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"

namespace zorcomm {

namespace {

struct Binding {
    platform::SocketLibrary library;
    platform::WinSockApi api{};
    uint8_t references = 0;
};

// Per process: the module, its entry points and the count of users. Channels still open at
// process exit are closed after the library's statics are gone, so this one never goes.
Binding &Bound() { return Persistent<Binding>(); }

template <typename Function>
bool Bind(const platform::SocketLibrary &library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(library.Symbol(name));
    return function != nullptr;
}

bool BindAll(const platform::SocketLibrary &library, platform::WinSockApi &api) {
    return Bind(library, "WSAStartup", api.WSAStartup) &&
           Bind(library, "WSACleanup", api.WSACleanup) &&
           Bind(library, "WSAGetLastError", api.WSAGetLastError) &&
           Bind(library, "inet_addr", api.inet_addr) &&
           Bind(library, "gethostbyname", api.gethostbyname) &&
           Bind(library, "WSAIoctl", api.WSAIoctl) && Bind(library, "htons", api.htons) &&
           Bind(library, "socket", api.socket) && Bind(library, "getsockname", api.getsockname) &&
           Bind(library, "setsockopt", api.setsockopt) && Bind(library, "bind", api.bind) &&
           Bind(library, "sendto", api.sendto) && Bind(library, "recvfrom", api.recvfrom) &&
           Bind(library, "closesocket", api.closesocket) &&
           Bind(library, "connect", api.connect) && Bind(library, "send", api.send) &&
           Bind(library, "recv", api.recv);
}

struct ErrorCode {
    int32_t winSock;
    uint32_t code;
};

constexpr ErrorCode kErrorCodes[] = {
    {10004, 0x200000c8}, {10009, 0x200000c9}, {10013, 0x200000ca}, {10014, 0x200000cb},
    {10022, 0x200000cc}, {10024, 0x200000cd}, {10035, 0x200000ce}, {10036, 0x200000cf},
    {10037, 0x200000d0}, {10038, 0x200000d1}, {10039, 0x200000d2}, {10040, 0x200000d3},
    {10041, 0x200000d4}, {10042, 0x200000d5}, {10043, 0x200000d6}, {10044, 0x200000d7},
    {10045, 0x200000d8}, {10046, 0x200000d9}, {10047, 0x200000da}, {10048, 0x200000db},
    {10049, 0x200000dc}, {10050, 0x200000dd}, {10051, 0x200000de}, {10052, 0x200000df},
    {10053, 0x200000e0}, {10054, 0x200000e1}, {10055, 0x200000e2}, {10056, 0x200000e3},
    {10057, 0x200000e4}, {10058, 0x200000e5}, {10059, 0x200000e6}, {10060, 0x200000e7},
    {10061, 0x200000e8}, {10063, 0x200000e9}, {10064, 0x200000ea}, {10065, 0x200000eb},
    {10066, 0x200000ec}, {10067, 0x200000ed}, {10091, 0x200000ee}, {10092, 0x200000ef},
    {10093, 0x200000f0}, {10101, 0x200000f1}, {11001, 0x200000f2},
};

} // namespace

bool LoadWinSock() {
    Binding &binding = Bound();
    if (binding.references != 0) {
        ++binding.references;
        return true;
    }
    if (!binding.library.Load()) return SetError(kWinSockMissing);
    platform::SocketStartupData data{};
    if (!BindAll(binding.library, binding.api) ||
        binding.api.WSAStartup(platform::kSocketVersion20, &data) != 0) {
        UnloadWinSock();
        return SetError(kWinSockMissing);
    }
    binding.references = 1;
    return true;
}

void UnloadWinSock() {
    Binding &binding = Bound();
    if (binding.references != 0 && --binding.references != 0) return;
    if (binding.api.WSACleanup) binding.api.WSACleanup();
    binding.library.Unload();
    binding.api = {};
}

uint8_t WinSockReferences() { return Bound().references; }

const platform::WinSockApi &WinSock() { return Bound().api; }

WinSockReference WinSockReference::Take() {
    WinSockReference reference;
    reference.held_ = LoadWinSock();
    return reference;
}

WinSockReference &WinSockReference::operator=(WinSockReference &&other) noexcept {
    if (this != &other) {
        Release();
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void WinSockReference::Release() {
    if (held_) UnloadWinSock();
    held_ = false;
}

uint32_t WinSockErrorCode(int32_t winSockError) {
    for (const auto &entry : kErrorCodes)
        if (entry.winSock == winSockError) return entry.code;
    return 0;
}

bool MapWinSockError() {
    const auto getLastError = WinSock().WSAGetLastError;
    if (getLastError) {
        if (const uint32_t code = WinSockErrorCode(getLastError()); code != 0)
            return SetError(code);
    }
    const uint32_t last = Context().lastError;
    if (last >= kFirstWinSockError && last <= kLastWinSockError) return false;
    return SetError(kUnknownWinSockError);
}

} // namespace zorcomm

// The socket library on Windows is ws2_32.dll itself, loaded at run time; its entry points are
// bound by name by the caller. One of them is wrapped: the routing-interface query.
#include "platform/sockets.h"

#include <cstring>

#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

namespace {

using IoctlFunction = decltype(WinSockApi::WSAIoctl);
IoctlFunction systemIoctl = nullptr;

bool IsLoopback(uint32_t networkOrderAddress) {
    return (reinterpret_cast<const uint8_t *>(&networkOrderAddress)[0]) == 127;
}

// A loopback destination is reached through the loopback interface. Some implementations of the
// socket library (Wine's) answer the query with the machine's outward interface for it, and a
// datagram socket bound there never hears the answers of a peer on 127.0.0.0/8.
int32_t ZORCOMM_SOCKET_CALL RoutingAwareIoctl(Socket socket, uint32_t code, const void *in,
                                              uint32_t inSize, void *out, uint32_t outSize,
                                              uint32_t *returned, void *overlapped,
                                              void *completionRoutine) {
    const int32_t result = systemIoctl(socket, code, in, inSize, out, outSize, returned,
                                       overlapped, completionRoutine);
    if (result != 0 || code != kIoctlRoutingInterfaceQuery || !in || !out ||
        inSize < sizeof(SocketAddress) || outSize < sizeof(SocketAddress))
        return result;
    SocketAddress destination{}, local{};
    std::memcpy(&destination, in, sizeof destination);
    std::memcpy(&local, out, sizeof local);
    if (destination.family == kAddressFamilyInet && IsLoopback(destination.address) &&
        !IsLoopback(local.address)) {
        constexpr uint8_t kLoopback[4] = {127, 0, 0, 1}; // network order
        local.family = kAddressFamilyInet;
        std::memcpy(&local.address, kLoopback, sizeof kLoopback);
        std::memcpy(out, &local, sizeof local);
    }
    return result;
}

} // namespace

SocketLibrary::~SocketLibrary() { Unload(); }

bool SocketLibrary::Load() {
    if (loaded_) return true;
    module_ = LoadLibraryA("ws2_32.dll");
    loaded_ = module_ != nullptr;
    return loaded_;
}

void SocketLibrary::Unload() {
    if (!loaded_) return;
    const DWORD code = GetLastError();
    FreeLibrary(static_cast<HMODULE>(module_));
    module_ = nullptr;
    loaded_ = false;
    SetLastError(code);
}

void *SocketLibrary::Symbol(const char *name) const {
    if (!loaded_ || !name) return nullptr;
    void *entry = reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module_), name));
    if (!entry || std::strcmp(name, "WSAIoctl") != 0) return entry;
    systemIoctl = reinterpret_cast<IoctlFunction>(entry);
    return reinterpret_cast<void *>(&RoutingAwareIoctl);
}

} // namespace zorcomm::platform

// The socket library as the Ethernet channels use it: bound once per process while any Ethernet
// channel needs it (a counted reference per user), and the mapping of its error numbers onto the
// library's error codes.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

namespace zorcomm {

constexpr uint32_t kWinSockMissing = 0x200000c7;
constexpr uint32_t kFirstWinSockError = 0x200000c8;
constexpr uint32_t kLastWinSockError = 0x200000f2;
constexpr uint32_t kUnknownWinSockError = 0x200000f3;

// Takes a reference to the socket library, loading and binding its seventeen entry points (and
// starting it, version 2.0) for the first one. Error 0x200000c7 when it cannot be loaded, when an
// entry point is missing or when it does not start; nothing stays loaded then.
bool LoadWinSock();
// Gives a reference back; the last one stops the library and forgets every entry point.
void UnloadWinSock();
// How many references this process holds (8 bits, as kept).
uint8_t WinSockReferences();
// The bound entry points; all null while the library is not loaded.
const platform::WinSockApi &WinSock();

// One reference held for as long as the object lives (or until it is handed on by moving).
class WinSockReference {
public:
    WinSockReference() = default;
    // Takes a reference; `held()` tells whether that succeeded (the error is set when not).
    static WinSockReference Take();
    ~WinSockReference() { Release(); }
    WinSockReference(WinSockReference &&other) noexcept : held_(other.held_) {
        other.held_ = false;
    }
    WinSockReference &operator=(WinSockReference &&other) noexcept;
    WinSockReference(const WinSockReference &) = delete;
    WinSockReference &operator=(const WinSockReference &) = delete;
    bool held() const { return held_; }
    void Release();

private:
    bool held_ = false;
};

// The library's code for a socket error number; 0 for a number it has no code for.
uint32_t WinSockErrorCode(int32_t winSockError);
// Sets the library's code for the thread's last socket error. A number without a code leaves a
// last error that is already a socket error's code as it is, and otherwise sets 0x200000f3 (so
// does a call while the library is not loaded). Returns false, like SetError.
bool MapWinSockError();

} // namespace zorcomm

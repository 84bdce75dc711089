// The small operating-system layer the rest of the library calls. Only the files under
// src/platform/ include OS headers; everything else speaks in these terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorcomm::platform {

// ---- processes -------------------------------------------------------------------------------

uint32_t CurrentProcessId();
// True while the process that registered itself under `pid` still runs (a recycled process ID
// does not count as alive).
bool ProcessAlive(uint32_t pid);

// ---- the shared region -----------------------------------------------------------------------

// Maps the region shared by every process of the library (named by ZORCOMM_SHM, default
// /zorcomm-<uid>, mode 0600) with `librarySize` bytes for the library's own data. A region that
// did not exist yet is filled by `initialise` exactly once, even when several processes map it
// at the same instant. An object under the name that this process cannot trust (another user
// owns it, other users may use it, it has another size) is refused: neither written nor
// removed. Returns the library's part of the region, or null on failure.
void *MapSharedRegion(size_t librarySize, void (*initialise)(void *libraryData));
// Unmaps the region; the last process to leave removes its name as well, so the next process
// starts afresh. Only the object this process mapped is ever removed.
void UnmapSharedRegion();

// What is wrong with the object under the region's name when MapSharedRegion refused it.
enum class RegionProblem : uint8_t {
    None,
    ForeignOwner, // another user owns it
    OpenToOthers, // it has group or other permission bits
    WrongSize,    // it does not have the size this library needs
    Unusable,     // it cannot be opened, locked or mapped, or another version laid it out
};

struct RegionRefusal {
    RegionProblem problem = RegionProblem::None;
    std::string name;          // the object's name
    uint32_t owner = 0;        // the object's owner (ForeignOwner, OpenToOthers)
    uint32_t user = 0;         // the process's effective user
    uint32_t mode = 0;         // the object's permission bits
    uint64_t size = 0;         // WrongSize: the object's size,
    uint64_t expectedSize = 0; //   and the size this library needs
    uint32_t systemError = 0;  // Unusable: the system's code of what failed (0: another layout)
};

// Why this process's last MapSharedRegion returned null (problem None after one that mapped
// the region). The Windows region is part of the module and is never refused.
RegionRefusal LastRegionRefusal();

// A lock around process attach and detach, separate from the table mutex: an attaching process
// has no handle of the table mutex yet and takes one under this lock (it is taken before the
// table mutex, never while holding it). Robust: a holder that died does not block anybody.
void LockAttach();
void UnlockAttach();

// Remembers the calling process as a user of the region, so ProcessAlive can tell it from an
// unrelated process that later gets the same ID.
void RegisterProcess(uint32_t pid);
void UnregisterProcess(uint32_t pid);

// ---- cross-process mutexes -------------------------------------------------------------------

// A handle is this process's reference to a process-shared, robust, recursive mutex that lives
// in the shared region while any handle to it exists. 0 is the null handle.
using MutexHandle = uint32_t;

enum class WaitResult { Acquired, Abandoned, Failed };

MutexHandle CreateMutex(bool initiallyOwned);
// A new handle, owned by this process, to the mutex that `handle` of process `ownerPid` refers
// to. 0 when that process has no such handle.
MutexHandle DuplicateMutex(uint32_t ownerPid, MutexHandle handle);
// Waits without limit. Abandoned: the previous owner ended while holding the mutex; the caller
// owns it now.
WaitResult WaitMutex(MutexHandle handle);
bool ReleaseMutex(MutexHandle handle);
bool CloseMutex(MutexHandle handle);
// Drops every handle of a process that no longer exists.
void CloseHandlesOfProcess(uint32_t pid);

#if !defined(_WIN32)
// A read-only view of the region named by ZORCOMM_SHM, for tools and tests that inspect it
// without becoming one of its processes. (On Windows the region is a section of the module
// itself, seen only by the processes that load it.)
struct PlatformArea;
// The size of the shared-memory object that holds `librarySize` bytes of the library's data.
size_t SharedRegionSize(size_t librarySize);
class RegionView {
public:
    explicit RegionView(size_t librarySize);
    ~RegionView();
    RegionView(const RegionView &) = delete;
    RegionView &operator=(const RegionView &) = delete;
    bool valid() const { return area_ != nullptr; }
    const void *library() const;
    // The mutex object a handle refers to (-1 for none), the handle's owner process, and how
    // many handles refer to an object.
    int MutexObjectOf(MutexHandle handle) const;
    uint32_t HandleOwner(MutexHandle handle) const;
    int HandleCount(int object) const;
    int LiveMutexObjects() const;

private:
    const PlatformArea *area_ = nullptr;
    size_t size_ = 0;
};
#endif

// ---- time ------------------------------------------------------------------------------------

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
uint32_t TickCount();
// A monotonic clock in microseconds, for waits shorter than a tick.
uint64_t MicrosecondClock();
// Absolute distance between two tick readings.
constexpr uint32_t TickDistance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }
// The distance from `since` to now.
inline uint32_t TicksSince(uint32_t since) { return TickDistance(TickCount(), since); }
// Sleep(0) still yields the processor.
void Sleep(uint32_t milliseconds);
// A pause shorter than a tick, for polls that back off; where the system cannot wait less than
// a millisecond (Windows), a pause below one yields the processor instead.
void SleepMicroseconds(uint32_t microseconds);

struct LocalTime {
    int hour;
    int minute;
    int second;
};
LocalTime CurrentLocalTime();

// ---- errors ----------------------------------------------------------------------------------

// The calling thread's system error code (errno-range values, or codes the library stored).
uint32_t GetSystemError();
void SetSystemError(uint32_t code);
// The platform's text for a system error code, false when it has none.
bool SystemErrorText(uint32_t code, std::string &text);

// The text of a message code as the library reports it: first the library's own texts, then the
// system's description. On Windows the library's texts are the message table of a module (null:
// the library's own) and the system's come from its message tables; elsewhere modules carry no
// message tables, so `builtIn` (the library's table) is asked for them and `module` plays no
// part. Texts keep their final CR LF. False when nobody has a text for the code.
using BuiltInMessages = std::string_view (*)(uint32_t code);
bool LookUpMessage(uint32_t code, std::string &text, const void *module, BuiltInMessages builtIn);

// ---- files and settings ----------------------------------------------------------------------

// Full path of the library's own module (the shared object), empty when unknown.
std::string ModulePath();
// Value of an environment variable, empty when unset.
std::string Environment(const char *name);

// Profile reader: [section], key = value lines; section and key names compare without case.
// ReadProfileInt takes the leading integer of the value (optional sign, wrapping to 32 bits;
// 0 when the value has no number) and returns `fallback` when the file, the section or the key
// is missing.
uint32_t ReadProfileInt(const char *section, const char *key, uint32_t fallback,
                        const char *path);
// The value text of a key, trimmed; false when absent.
bool ReadProfileString(const char *section, const char *key, std::string &value,
                       const char *path);

} // namespace zorcomm::platform

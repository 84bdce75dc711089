// The platform's part of the region shared by every process that loads the library (Windows
// side): a block in a section of the module marked shared, so the loader itself gives every
// process of one module file the same memory, and starts it afresh once no process has the
// module loaded any more.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorcomm::platform::win32 {

constexpr size_t kLibraryCapacity = 32 * 1024; // room for the library's own shared data
constexpr int kProcessEntryCount = 64;         // attached processes and those being refused
constexpr int kPortEntryCount = 64;            // serial port handles of the processes
constexpr size_t kDeviceNameSize = 64;
constexpr size_t kLockNameSize = 64;

struct ProcessEntry {
    uint32_t pid;          // 0 = free entry
    uint64_t creationTime; // tells a process from a later one with the same ID
};

// A serial port handle one process holds, so another process can duplicate it.
struct PortEntry {
    uint32_t pid; // 0 = free entry
    uint32_t handle;
    char device[kDeviceNameSize];
};

enum AreaState : long { kFresh = 0, kInitialising = 1, kReady = 2 };

struct Area {
    volatile long state;
    volatile long initialiserPid;
    // The named mutex that guards attach, detach and the two tables below; unique per area.
    char lockName[kLockNameSize];
    ProcessEntry processes[kProcessEntryCount];
    PortEntry ports[kPortEntryCount];
    alignas(16) unsigned char library[kLibraryCapacity];
};

// The block of this module, ready (initialised) once MapSharedRegion has run in this process.
Area &TheArea();

// The region lock (recursive within a thread, robust: a holder that died does not block).
void LockRegion();
void UnlockRegion();

class RegionLock {
public:
    RegionLock() { LockRegion(); }
    ~RegionLock() { UnlockRegion(); }
    RegionLock(const RegionLock &) = delete;
    RegionLock &operator=(const RegionLock &) = delete;
};

// Creation time of a running process, 0 when it does not run or cannot be asked.
uint64_t ProcessCreationTime(uint32_t pid);

// Serial port handles by device, for processes joining a port another process holds.
void RegisterPort(const char *device, uint32_t handle);
void UnregisterPort(uint32_t handle);
// A handle of `device` held by another live process of the library, duplicated into this one;
// null when there is none.
void *DuplicatePortOfAnotherProcess(const char *device);

} // namespace zorcomm::platform::win32

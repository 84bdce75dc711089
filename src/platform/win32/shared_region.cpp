// The shared region on Windows: a block in a section of the module marked shared (the loader
// maps it into every process that loads the same module file), initialised exactly once; the
// region lock, a named mutex whose name the first process makes up; the registry of attached
// processes that tells a live process from a later one with the same ID.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/area.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

namespace win32 {

namespace {

// One block for all processes of this module file; the section is marked shared by the
// attribute. Data with an initialiser of its own, so it lives in the section as it is and
// comes up zero in the first process.
__attribute__((section(".shared"), shared)) Area sharedArea = {};

HANDLE volatile regionLock = nullptr; // this process's handle of the region lock

uint64_t FileTimeValue(const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool ProcessRuns(uint32_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

// A name no other area has: the process that makes it, the moment and the block's address.
void MakeLockName(Area &area) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::snprintf(area.lockName, sizeof area.lockName, "Local\\zorcomm-%lx-%llx-%p",
                  GetCurrentProcessId(), static_cast<unsigned long long>(now.QuadPart),
                  static_cast<void *>(&area));
}

// A first process that died half-way through is replaced, so the wait is bounded.
void InitialiseOnce(Area &area, void (*initialise)(void *libraryData)) {
    const long self = static_cast<long>(GetCurrentProcessId());
    for (;;) {
        const long state = InterlockedCompareExchange(&area.state, kInitialising, kFresh);
        if (state == kReady) return;
        bool mine = false;
        if (state == kFresh) {
            InterlockedExchange(&area.initialiserPid, self);
            mine = true;
        } else if (const long other = area.initialiserPid;
                   other != 0 && other != self && !ProcessRuns(static_cast<uint32_t>(other))) {
            mine = InterlockedCompareExchange(&area.initialiserPid, self, other) == other;
        }
        if (mine) {
            MakeLockName(area);
            std::memset(area.processes, 0, sizeof area.processes);
            std::memset(area.ports, 0, sizeof area.ports);
            initialise(area.library);
            InterlockedExchange(&area.state, kReady);
            return;
        }
        ::Sleep(1);
    }
}

} // namespace

Area &TheArea() { return sharedArea; }

void LockRegion() {
    if (!regionLock) {
        HANDLE opened = CreateMutexA(nullptr, FALSE, sharedArea.lockName);
        if (opened && InterlockedCompareExchangePointer(&regionLock, opened, nullptr) != nullptr)
            CloseHandle(opened); // another thread of this process was first
    }
    // Abandoned: its holder ended while holding it; this thread holds it now all the same.
    if (regionLock) WaitForSingleObject(regionLock, INFINITE);
}

void UnlockRegion() {
    if (regionLock) ::ReleaseMutex(regionLock);
}

uint64_t ProcessCreationTime(uint32_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    uint64_t result = 0;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
        GetProcessTimes(process, &created, &exited, &kernel, &user))
        result = FileTimeValue(created);
    CloseHandle(process);
    return result;
}

} // namespace win32

using namespace win32;

void *MapSharedRegion(size_t librarySize, void (*initialise)(void *libraryData)) {
    if (librarySize > kLibraryCapacity || !initialise) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Area &area = TheArea();
    InitialiseOnce(area, initialise);
    RegisterProcess(GetCurrentProcessId());
    return area.library;
}

// The block goes with the module; the loader starts it afresh when no process has the module
// loaded any more. What stays to do is this process's own part.
void UnmapSharedRegion() {
    UnregisterProcess(GetCurrentProcessId());
    if (regionLock) CloseHandle(regionLock);
    regionLock = nullptr;
}

RegionRefusal LastRegionRefusal() { return {}; }

void LockAttach() { LockRegion(); }

void UnlockAttach() { UnlockRegion(); }

void RegisterProcess(uint32_t pid) {
    const uint64_t created = ProcessCreationTime(pid);
    RegionLock lock;
    ProcessEntry *free = nullptr;
    for (auto &entry : TheArea().processes) {
        if (entry.pid == pid) {
            entry.creationTime = created;
            return;
        }
        if (!free && (entry.pid == 0 || !ProcessAlive(entry.pid))) free = &entry;
    }
    if (free) *free = ProcessEntry{pid, created};
}

void UnregisterProcess(uint32_t pid) {
    RegionLock lock;
    for (auto &entry : TheArea().processes)
        if (entry.pid == pid) entry = ProcessEntry{};
}

bool ProcessAlive(uint32_t pid) {
    if (pid == 0) return false;
    uint64_t recorded = 0;
    for (const auto &entry : TheArea().processes)
        if (entry.pid == pid) recorded = entry.creationTime;
    if (recorded == 0) return ProcessRuns(pid);
    return ProcessCreationTime(pid) == recorded;
}

// The system closed every handle of the process when it ended, so there is nothing left to do.
void CloseHandlesOfProcess(uint32_t) {}

} // namespace zorcomm::platform

// The platform's part of the shared region (POSIX side only).
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace zorcomm::platform {

constexpr int kMutexObjectCount = 72;  // the table mutex and one per link, with room to spare
constexpr int kHandleCount = 160;      // two per slot, plus duplicates in flight
constexpr int kProcessEntryCount = 64; // attached processes and those being refused

struct MutexObject {
    pthread_mutex_t mutex;
    int32_t handleCount; // 0 = free object
};

struct HandleEntry {
    uint32_t ownerPid; // 0 = free entry
    int32_t object;
};

struct ProcessEntry {
    uint32_t pid;
    uint64_t startTime; // tells a process from a later one with the same ID
};

struct PlatformArea {
    uint64_t magic;
    uint32_t version;
    uint32_t librarySize;
    pthread_mutex_t attachLock;
    pthread_mutex_t poolLock;
    MutexObject mutexes[kMutexObjectCount];
    HandleEntry handles[kHandleCount];
    ProcessEntry processes[kProcessEntryCount];
};

size_t LibraryOffset();
void *LibraryData(PlatformArea &area);
PlatformArea *Area();

void LockRobust(pthread_mutex_t &mutex);
void LockPool();
void UnlockPool();

// Start time of a process in clock ticks since boot (0 when it does not exist).
uint64_t ProcessStartTime(uint32_t pid);
// The process exists and, when `startTime` is not 0, is the one that started then.
bool ProcessRunning(uint32_t pid, uint64_t startTime);

} // namespace zorcomm::platform

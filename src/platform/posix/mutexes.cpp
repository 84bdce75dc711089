// Cross-process mutexes: robust, recursive, process-shared mutexes in the shared region, reached
// through per-process handles that keep the object alive while any of them exists.
#include <cerrno>
#include <cstring>

#include "platform/posix/shared_region.h"

namespace zorcomm::platform {

namespace {

void InitialiseMutexObject(MutexObject &object) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    std::memset(static_cast<void *>(&object.mutex), 0, sizeof object.mutex);
    pthread_mutex_init(&object.mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// With the pool lock held: a new handle for this process to `object`, or 0.
MutexHandle AddHandle(PlatformArea &area, int object) {
    for (int i = 0; i < kHandleCount; ++i) {
        if (area.handles[i].ownerPid != 0) continue;
        area.handles[i] = HandleEntry{CurrentProcessId(), object};
        ++area.mutexes[object].handleCount;
        return static_cast<MutexHandle>(i + 1);
    }
    return 0;
}

void DropHandle(PlatformArea &area, int index) {
    auto &entry = area.handles[index];
    auto &object = area.mutexes[entry.object];
    if (object.handleCount > 0) --object.handleCount;
    entry = HandleEntry{};
}

// The mutex behind one of this process's handles, or null.
pthread_mutex_t *OwnMutex(MutexHandle handle) {
    PlatformArea *area = Area();
    if (!area || handle == 0 || handle > kHandleCount) return nullptr;
    const auto &entry = area->handles[handle - 1];
    if (entry.ownerPid != CurrentProcessId() || entry.object < 0 ||
        entry.object >= kMutexObjectCount)
        return nullptr;
    return &area->mutexes[entry.object].mutex;
}

class PoolLock {
public:
    PoolLock() { LockPool(); }
    ~PoolLock() { UnlockPool(); }
    PoolLock(const PoolLock &) = delete;
    PoolLock &operator=(const PoolLock &) = delete;
};

} // namespace

MutexHandle CreateMutex(bool initiallyOwned) {
    PlatformArea *area = Area();
    if (!area) return 0;
    MutexHandle handle = 0;
    {
        PoolLock lock;
        for (int i = 0; i < kMutexObjectCount && handle == 0; ++i) {
            if (area->mutexes[i].handleCount != 0) continue;
            InitialiseMutexObject(area->mutexes[i]);
            handle = AddHandle(*area, i);
        }
    }
    if (handle != 0 && initiallyOwned && WaitMutex(handle) == WaitResult::Failed) {
        CloseMutex(handle);
        return 0;
    }
    return handle;
}

MutexHandle DuplicateMutex(uint32_t ownerPid, MutexHandle handle) {
    PlatformArea *area = Area();
    if (!area || ownerPid == 0 || handle == 0 || handle > kHandleCount) return 0;
    PoolLock lock;
    const HandleEntry source = area->handles[handle - 1];
    if (source.ownerPid != ownerPid || area->mutexes[source.object].handleCount <= 0) return 0;
    return AddHandle(*area, source.object);
}

WaitResult WaitMutex(MutexHandle handle) {
    pthread_mutex_t *mutex = OwnMutex(handle);
    if (!mutex) return WaitResult::Failed;
    int result;
    do {
        result = pthread_mutex_lock(mutex);
    } while (result == EINTR);
    if (result == 0) return WaitResult::Acquired;
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        return WaitResult::Abandoned;
    }
    return WaitResult::Failed;
}

bool ReleaseMutex(MutexHandle handle) {
    pthread_mutex_t *mutex = OwnMutex(handle);
    return mutex && pthread_mutex_unlock(mutex) == 0;
}

bool CloseMutex(MutexHandle handle) {
    PlatformArea *area = Area();
    if (!OwnMutex(handle)) return false;
    PoolLock lock;
    DropHandle(*area, static_cast<int>(handle - 1));
    return true;
}

void CloseHandlesOfProcess(uint32_t pid) {
    PlatformArea *area = Area();
    if (!area || pid == 0) return;
    PoolLock lock;
    for (int i = 0; i < kHandleCount; ++i)
        if (area->handles[i].ownerPid == pid) DropHandle(*area, i);
}

} // namespace zorcomm::platform

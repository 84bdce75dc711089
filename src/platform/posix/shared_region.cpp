// The region shared by every process of the library: a POSIX shared-memory object holding the
// platform's own bookkeeping (cross-process mutexes, their handles, the registered processes)
// followed by the library's data.
#include "platform/posix/shared_region.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace zorcomm::platform {

namespace {

constexpr uint64_t kMagic = 0x7a6f72636f6d6d31ULL; // "zorcomm1"
constexpr uint32_t kLayoutVersion = 1;

struct Mapping {
    PlatformArea *area = nullptr;
    size_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
};
Mapping mapping;

std::string RegionName() {
    std::string name = Environment("ZORCOMM_SHM");
    if (name.empty()) name = "/zorcomm-" + std::to_string(getuid());
    if (name[0] != '/') name.insert(0, "/");
    return name;
}

size_t RegionSize(size_t librarySize) { return LibraryOffset() + librarySize; }

void InitialiseRobustMutex(pthread_mutex_t &mutex, bool recursive) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (recursive) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void InitialiseArea(PlatformArea &area, size_t librarySize, void (*initialise)(void *)) {
    std::memset(static_cast<void *>(&area), 0, RegionSize(librarySize));
    InitialiseRobustMutex(area.attachLock, true);
    InitialiseRobustMutex(area.poolLock, false);
    area.librarySize = static_cast<uint32_t>(librarySize);
    area.version = kLayoutVersion;
    initialise(LibraryData(area));
    __atomic_store_n(&area.magic, kMagic, __ATOMIC_RELEASE);
}

bool SameObject(int fd, const std::string &name) {
    int again = shm_open(name.c_str(), O_RDWR, 0600);
    if (again < 0) return false;
    struct stat a {}, b {};
    bool same = fstat(fd, &a) == 0 && fstat(again, &b) == 0 && a.st_ino == b.st_ino &&
                a.st_dev == b.st_dev;
    close(again);
    return same;
}

// Opens the object under its name (creating it when asked), locked with flock so that exactly
// one process initialises it and none maps an object another process is removing.
int OpenLockedObject(const std::string &name, bool create) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = shm_open(name.c_str(), O_RDWR | (create ? O_CREAT : 0), 0600);
        if (fd < 0) return -1;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd);
                return -1;
            }
        }
        if (SameObject(fd, name)) return fd;
        close(fd); // removed and perhaps re-created meanwhile: take the current one
    }
    return -1;
}

void RegisterInArea(PlatformArea &area, uint32_t pid) {
    const uint64_t start = ProcessStartTime(pid);
    ProcessEntry *freeEntry = nullptr;
    for (auto &entry : area.processes) {
        if (entry.pid == pid) {
            entry.startTime = start;
            return;
        }
        if (!freeEntry && (entry.pid == 0 || !ProcessRunning(entry.pid, entry.startTime)))
            freeEntry = &entry;
    }
    if (freeEntry) *freeEntry = ProcessEntry{pid, start};
}

bool AnyOtherProcessRegistered(const PlatformArea &area, uint32_t self) {
    for (const auto &entry : area.processes)
        if (entry.pid != 0 && entry.pid != self && ProcessRunning(entry.pid, entry.startTime))
            return true;
    return false;
}

} // namespace

size_t LibraryOffset() { return (sizeof(PlatformArea) + 63) & ~size_t{63}; }

void *LibraryData(PlatformArea &area) {
    return reinterpret_cast<char *>(&area) + LibraryOffset();
}

PlatformArea *Area() { return mapping.area; }

void *MapSharedRegion(size_t librarySize, void (*initialise)(void *)) {
    if (mapping.area) return LibraryData(*mapping.area);
    const std::string name = RegionName();
    const size_t size = RegionSize(librarySize);
    int fd = OpenLockedObject(name, true);
    if (fd < 0) return nullptr;

    void *base = nullptr;
    struct stat status {};
    bool fresh = false;
    if (fstat(fd, &status) == 0) {
        fresh = status.st_size == 0;
        if ((fresh && ftruncate(fd, static_cast<off_t>(size)) == 0) ||
            static_cast<size_t>(status.st_size) == size) {
            base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (base == MAP_FAILED) base = nullptr;
        }
    }
    if (base) {
        auto *area = static_cast<PlatformArea *>(base);
        // A creator that died half-way left no magic: nobody can be using the object.
        if (__atomic_load_n(&area->magic, __ATOMIC_ACQUIRE) != kMagic)
            InitialiseArea(*area, librarySize, initialise);
        if (area->version != kLayoutVersion || area->librarySize != librarySize) {
            munmap(base, size);
            base = nullptr;
        } else {
            RegisterInArea(*area, CurrentProcessId());
            mapping = Mapping{area, size, status.st_dev, status.st_ino};
        }
    }
    flock(fd, LOCK_UN);
    close(fd);
    return base ? LibraryData(*mapping.area) : nullptr;
}

void UnmapSharedRegion() {
    if (!mapping.area) return;
    const std::string name = RegionName();
    const uint32_t self = CurrentProcessId();
    int fd = OpenLockedObject(name, false);
    UnregisterProcess(self);
    if (fd >= 0) {
        // The last process to leave removes the name, so the next one starts from a fresh
        // region, as when the library is loaded for the first time.
        struct stat status {};
        if (fstat(fd, &status) == 0 && status.st_dev == mapping.device &&
            status.st_ino == mapping.inode && !AnyOtherProcessRegistered(*mapping.area, self))
            shm_unlink(name.c_str());
        flock(fd, LOCK_UN);
        close(fd);
    }
    munmap(mapping.area, mapping.size);
    mapping = Mapping{};
}

void RegisterProcess(uint32_t pid) {
    if (!mapping.area) return;
    LockPool();
    RegisterInArea(*mapping.area, pid);
    UnlockPool();
}

void UnregisterProcess(uint32_t pid) {
    if (!mapping.area) return;
    LockPool();
    for (auto &entry : mapping.area->processes)
        if (entry.pid == pid) entry = ProcessEntry{};
    UnlockPool();
}

bool ProcessAlive(uint32_t pid) {
    if (pid == 0) return false;
    uint64_t recorded = 0;
    if (mapping.area)
        for (const auto &entry : mapping.area->processes)
            if (entry.pid == pid) recorded = entry.startTime;
    return ProcessRunning(pid, recorded);
}

void LockRobust(pthread_mutex_t &mutex) {
    int result = pthread_mutex_lock(&mutex);
    if (result == EOWNERDEAD) pthread_mutex_consistent(&mutex);
}

void LockAttach() {
    if (mapping.area) LockRobust(mapping.area->attachLock);
}

void UnlockAttach() {
    if (mapping.area) pthread_mutex_unlock(&mapping.area->attachLock);
}

void LockPool() { LockRobust(mapping.area->poolLock); }
void UnlockPool() { pthread_mutex_unlock(&mapping.area->poolLock); }

RegionView::RegionView(size_t librarySize) {
    int fd = shm_open(RegionName().c_str(), O_RDONLY, 0);
    if (fd < 0) return;
    struct stat status {};
    size_ = RegionSize(librarySize);
    if (fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) == size_) {
        void *base = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (base != MAP_FAILED) area_ = static_cast<const PlatformArea *>(base);
    }
    close(fd);
}

RegionView::~RegionView() {
    if (area_) munmap(const_cast<PlatformArea *>(area_), size_);
}

const void *RegionView::library() const {
    return area_ ? reinterpret_cast<const char *>(area_) + LibraryOffset() : nullptr;
}

int RegionView::MutexObjectOf(MutexHandle handle) const {
    if (!area_ || handle == 0 || handle > kHandleCount) return -1;
    const auto &entry = area_->handles[handle - 1];
    return entry.ownerPid ? entry.object : -1;
}

uint32_t RegionView::HandleOwner(MutexHandle handle) const {
    if (!area_ || handle == 0 || handle > kHandleCount) return 0;
    return area_->handles[handle - 1].ownerPid;
}

int RegionView::HandleCount(int object) const {
    if (!area_ || object < 0 || object >= kMutexObjectCount) return 0;
    return area_->mutexes[object].handleCount;
}

int RegionView::LiveMutexObjects() const {
    int count = 0;
    if (area_)
        for (const auto &object : area_->mutexes) count += object.handleCount > 0;
    return count;
}

} // namespace zorcomm::platform

// The region shared by every process of the library: a POSIX shared-memory object holding the
// platform's own bookkeeping (cross-process mutexes, their handles, the registered processes)
// followed by the library's data.
#include "platform/posix/shared_region.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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
constinit Mapping mapping;

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

// Why the last attempt to map the region refused it; guarded by `regionLock` with `mapping`,
// since the threads of a process that was refused try again at each of their calls.
constinit std::mutex regionLock;
// Built on first use, not at load: the library's load-time constructor maps the region, and the
// order of a shared object's constructors is only its link order.
RegionRefusal &Refusal() {
    static RegionRefusal refusal;
    return refusal;
}

void RefuseUnusable(const std::string &name, int error) {
    Refusal() = RegionRefusal{RegionProblem::Unusable, name};
    Refusal().systemError = static_cast<uint32_t>(error);
}

// Another user may have made the object under our name: it is used only when this process's
// user owns it and nobody else has any permission on it. (The size is checked once the
// object's creator, who sizes it, has let go of it.)
bool Trusted(const struct stat &status, const std::string &name) {
    RegionRefusal found{RegionProblem::None, name};
    found.user = static_cast<uint32_t>(geteuid());
    found.owner = static_cast<uint32_t>(status.st_uid);
    found.mode = static_cast<uint32_t>(status.st_mode & 07777);
    if (status.st_uid != geteuid()) found.problem = RegionProblem::ForeignOwner;
    else if ((status.st_mode & 077) != 0) found.problem = RegionProblem::OpenToOthers;
    if (found.problem == RegionProblem::None) return true;
    Refusal() = std::move(found);
    return false;
}

// Again: look at once; Later: after a moment.
enum class Opening { Opened, Again, Later, Refused };

// An object this process may not open for writing, looked at read-only (when that is allowed)
// only to say what is wrong with it. Ours and closed to others: its creator is still setting
// its mode, so look again (it stays refused when that does not change).
Opening ExplainClosedObject(const std::string &name, int error) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    struct stat status {};
    const bool looked = fd >= 0 && fstat(fd, &status) == 0;
    if (fd >= 0) close(fd);
    if (looked && !Trusted(status, name)) return Opening::Refused;
    RefuseUnusable(name, error);
    return looked ? Opening::Later : Opening::Refused;
}

// A descriptor of the object under its name for reading and writing: a new object (created
// with O_EXCL, so one that somebody else made first is never taken for one of ours) or an
// existing one this process may trust.
Opening OpenTrustedObject(const std::string &name, int &fd) {
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        fchmod(fd, 0600); // whatever the process's umask left of it
        return Opening::Opened;
    }
    if (errno != EEXIST) {
        RefuseUnusable(name, errno);
        return Opening::Refused;
    }
    fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) return Opening::Again; // removed meanwhile: create it afresh
        if (error == EACCES) return ExplainClosedObject(name, error);
        RefuseUnusable(name, error);
        return Opening::Refused;
    }
    // Checked before the lock, so that another user's object cannot hold this process up.
    struct stat status {};
    const bool looked = fstat(fd, &status) == 0;
    if (!looked) RefuseUnusable(name, errno);
    if (looked && Trusted(status, name)) return Opening::Opened;
    close(fd);
    fd = -1;
    return Opening::Refused;
}

constexpr int kOpenAttempts = 100;

bool LockObject(int fd) {
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

// The object under its name, trusted and locked with flock, so that exactly one process
// initialises it and none maps an object another process is removing. -1 when it is refused
// (the refusal says why).
int OpenLockedObject(const std::string &name) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd = -1;
        const Opening opening = OpenTrustedObject(name, fd);
        if (opening == Opening::Refused) return -1;
        if (opening != Opening::Opened) {
            if (opening == Opening::Later) ::usleep(1000);
            continue;
        }
        if (!LockObject(fd)) {
            RefuseUnusable(name, errno);
            close(fd);
            return -1;
        }
        if (SameObject(fd, name)) return fd;
        close(fd); // removed and perhaps re-created meanwhile: take the current one
    }
    if (Refusal().problem == RegionProblem::None) RefuseUnusable(name, EAGAIN);
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

// Maps an object that is trusted, locked and of the right size (or empty: its creator died
// before it sized it, or this process is its creator), initialising it when nobody has yet.
PlatformArea *MapLockedObject(int fd, const std::string &name, size_t librarySize,
                              void (*initialise)(void *), struct stat &status) {
    const size_t size = RegionSize(librarySize);
    // Looked at again: it may have changed while this process waited for the lock.
    if (fstat(fd, &status) != 0) {
        RefuseUnusable(name, errno);
        return nullptr;
    }
    if (!Trusted(status, name)) return nullptr;
    if (status.st_size != 0 && static_cast<size_t>(status.st_size) != size) {
        Refusal() = RegionRefusal{RegionProblem::WrongSize, name};
        Refusal().size = static_cast<uint64_t>(status.st_size);
        Refusal().expectedSize = size;
        return nullptr;
    }
    if (status.st_size == 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        RefuseUnusable(name, errno);
        return nullptr;
    }
    void *base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        RefuseUnusable(name, errno);
        return nullptr;
    }
    auto *area = static_cast<PlatformArea *>(base);
    // A creator that died half-way left no magic: nobody can be using the object.
    if (__atomic_load_n(&area->magic, __ATOMIC_ACQUIRE) != kMagic)
        InitialiseArea(*area, librarySize, initialise);
    if (area->version != kLayoutVersion || area->librarySize != librarySize) {
        // Laid out by another version of the library: left as it is.
        munmap(base, size);
        RefuseUnusable(name, 0);
        return nullptr;
    }
    return area;
}

} // namespace

size_t LibraryOffset() { return (sizeof(PlatformArea) + 63) & ~size_t{63}; }

size_t SharedRegionSize(size_t librarySize) { return RegionSize(librarySize); }

void *LibraryData(PlatformArea &area) {
    return reinterpret_cast<char *>(&area) + LibraryOffset();
}

PlatformArea *Area() { return mapping.area; }

void *MapSharedRegion(size_t librarySize, void (*initialise)(void *)) {
    std::lock_guard<std::mutex> guard(regionLock);
    if (mapping.area) return LibraryData(*mapping.area);
    Refusal() = RegionRefusal{};
    const std::string name = RegionName();
    int fd = OpenLockedObject(name);
    if (fd < 0) return nullptr;
    struct stat status {};
    PlatformArea *area = MapLockedObject(fd, name, librarySize, initialise, status);
    if (area) {
        RegisterInArea(*area, CurrentProcessId());
        mapping = Mapping{area, RegionSize(librarySize), status.st_dev, status.st_ino};
    }
    flock(fd, LOCK_UN);
    close(fd);
    return area ? LibraryData(*area) : nullptr;
}

RegionRefusal LastRegionRefusal() {
    std::lock_guard<std::mutex> guard(regionLock);
    return Refusal();
}

void UnmapSharedRegion() {
    std::lock_guard<std::mutex> guard(regionLock);
    if (!mapping.area) return;
    const std::string name = RegionName();
    const uint32_t self = CurrentProcessId();
    // Only the object this process mapped is locked, and only it may be removed: whatever
    // else is under the name now is somebody else's.
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || status.st_dev != mapping.device ||
                    status.st_ino != mapping.inode || !LockObject(fd))) {
        close(fd);
        fd = -1;
    }
    UnregisterProcess(self);
    if (fd >= 0) {
        // The last process to leave removes the name, so the next one starts from a fresh
        // region, as when the library is loaded for the first time.
        if (SameObject(fd, name) && !AnyOtherProcessRegistered(*mapping.area, self))
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

// Cross-process mutexes on Windows: a handle is the system's own mutex handle; another process
// gets a handle of its own by duplicating one out of a process that has it.
#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

namespace {

HANDLE ToHandle(MutexHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

MutexHandle FromHandle(HANDLE handle) {
    return static_cast<MutexHandle>(reinterpret_cast<uintptr_t>(handle));
}

class ProcessHandle {
public:
    explicit ProcessHandle(uint32_t pid) : handle_(OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid)) {}
    ~ProcessHandle() {
        if (handle_) CloseHandle(handle_);
    }
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

static_assert(sizeof(HANDLE) <= sizeof(MutexHandle), "a handle must fit in a MutexHandle");

MutexHandle CreateMutex(bool initiallyOwned) {
    return FromHandle(CreateMutexA(nullptr, initiallyOwned ? TRUE : FALSE, nullptr));
}

MutexHandle DuplicateMutex(uint32_t ownerPid, MutexHandle handle) {
    if (ownerPid == 0 || handle == 0) return 0;
    const ProcessHandle self(GetCurrentProcessId());
    const ProcessHandle owner(ownerPid);
    if (!self.get() || !owner.get()) return 0;
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(owner.get(), ToHandle(handle), self.get(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return 0;
    return FromHandle(duplicate);
}

WaitResult WaitMutex(MutexHandle handle) {
    switch (WaitForSingleObject(ToHandle(handle), INFINITE)) {
    case WAIT_OBJECT_0: return WaitResult::Acquired;
    case WAIT_ABANDONED: return WaitResult::Abandoned;
    default: return WaitResult::Failed;
    }
}

bool ReleaseMutex(MutexHandle handle) { return ::ReleaseMutex(ToHandle(handle)) != FALSE; }

bool CloseMutex(MutexHandle handle) {
    if (handle == 0) return false;
    return CloseHandle(ToHandle(handle)) != FALSE;
}

} // namespace zorcomm::platform

// Cross-process mutexes on Windows: a handle is the system's own mutex handle; another process
// gets a handle of its own by duplicating one out of a process that has it.
#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

namespace {

// 64-bit Windows keeps handle values within 32 bits so that they can pass between 32- and 64-bit
// code: truncating one is safe, and widening it back is a sign extension (as for the pseudo
// handles such as -1).
HANDLE ToHandle(MutexHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(handle)));
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

#if defined(_WIN64)
static_assert(sizeof(HANDLE) == 8 && sizeof(MutexHandle) == 4,
              "a 64-bit handle's value is kept in a 32-bit MutexHandle");
#else
static_assert(sizeof(HANDLE) <= sizeof(MutexHandle), "a handle must fit in a MutexHandle");
#endif

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

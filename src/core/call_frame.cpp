// Entering and leaving an exported call.
#include "core/call_frame.h"

#include "core/errors.h"
#include "core/process_context.h"

namespace zorcomm {

bool EnterCall(unsigned flags, HeldLocks &held) {
    held = HeldLocks{};
    if (!AttachProcess()) return false;
    const Slot &slot = *Context().currentSlot;
    bool failed = false;
    auto take = [&](platform::MutexHandle handle, platform::MutexHandle &taken) {
        if (handle == 0 || failed) return;
        const auto result = platform::WaitMutex(handle);
        if (result != platform::WaitResult::Failed) taken = handle;
        failed = result != platform::WaitResult::Acquired;
    };
    if (flags & LOCK_TABLE) take(slot.tableMutex, held.table);
    if (flags & LOCK_CHANNEL) take(slot.channelMutex, held.channel);
    if (failed) {
        LeaveCall(held);
        return SetError(Error::ResourceLocked);
    }
    Context().lastError = 0;
    return true;
}

void LeaveCall(HeldLocks &held) {
    if (held.table != 0) platform::ReleaseMutex(held.table);
    if (held.channel != 0) platform::ReleaseMutex(held.channel);
    held = HeldLocks{};
}

} // namespace zorcomm

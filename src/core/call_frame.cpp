// Entering and leaving an exported call.
#include "core/call_frame.h"

#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {

bool EnterCall(unsigned flags) {
    if (!AttachProcess()) return false;
    const Slot &slot = *Context().currentSlot;
    platform::MutexHandle taken[2] = {0, 0};
    bool failed = false;
    auto take = [&](platform::MutexHandle handle, int position) {
        if (handle == 0 || failed) return;
        const auto result = platform::WaitMutex(handle);
        if (result != platform::WaitResult::Failed) taken[position] = handle;
        failed = result != platform::WaitResult::Acquired;
    };
    if (flags & LOCK_TABLE) take(slot.tableMutex, 0);
    if (flags & LOCK_CHANNEL) take(slot.channelMutex, 1);
    if (failed) {
        for (auto handle : taken)
            if (handle != 0) platform::ReleaseMutex(handle);
        return SetError(Error::ResourceLocked);
    }
    Context().lastError = 0;
    return true;
}

void LeaveCall(unsigned flags) {
    const Slot *slot = Context().currentSlot;
    if (!slot) return;
    if ((flags & LOCK_TABLE) && slot->tableMutex != 0) platform::ReleaseMutex(slot->tableMutex);
    if ((flags & LOCK_CHANNEL) && slot->channelMutex != 0)
        platform::ReleaseMutex(slot->channelMutex);
}

} // namespace zorcomm

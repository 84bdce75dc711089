// Entering and leaving an exported call.
#include "core/call_frame.h"

#include <atomic>

#include "core/errors.h"
#include "core/process_context.h"

namespace zorcomm {

namespace {
std::atomic<AbandonedChannelHook> abandonedChannelHook{nullptr};
} // namespace

void SetAbandonedChannelHook(AbandonedChannelHook hook) {
    abandonedChannelHook.store(hook, std::memory_order_release);
}

bool EnterCall(unsigned flags, HeldLocks &held) {
    held = HeldLocks{};
    if (!AttachProcess()) return false;
    const Slot &slot = *Context().currentSlot;
    bool failed = false;
    auto take = [&](platform::MutexHandle handle, platform::MutexHandle &taken) {
        if (handle == 0 || failed) return platform::WaitResult::Failed;
        const auto result = platform::WaitMutex(handle);
        if (result != platform::WaitResult::Failed) taken = handle;
        failed = result != platform::WaitResult::Acquired;
        return result;
    };
    if (flags & LOCK_TABLE) take(slot.tableMutex, held.table);
    if ((flags & LOCK_CHANNEL) &&
        take(slot.channelMutex, held.channel) == platform::WaitResult::Abandoned)
        if (auto hook = abandonedChannelHook.load(std::memory_order_acquire)) hook();
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

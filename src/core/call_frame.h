// The call frame every export runs in: the process attached, the locks the call needs taken,
// the last error cleared.
#pragma once

#include "platform/platform.h"

namespace zorcomm {

constexpr unsigned LOCK_TABLE = 1;
constexpr unsigned LOCK_CHANNEL = 2;

// The mutexes a call took, given back at its end whatever slot is selected by then: another
// thread of the process may select another channel while the call runs.
struct HeldLocks {
    platform::MutexHandle table = 0;
    platform::MutexHandle channel = 0;
};

bool EnterCall(unsigned flags, HeldLocks &held);
// Run by EnterCall, with the channel's mutex held, when that mutex was abandoned by a holder that
// ended: the selected slot's link may have been left in the middle of an exchange. The call
// still fails with 0x20000066 afterwards.
using AbandonedChannelHook = void (*)();
void SetAbandonedChannelHook(AbandonedChannelHook hook);
void LeaveCall(HeldLocks &held);

// Holds the call frame for the lifetime of a scope: `entered` tells whether EnterCall succeeded;
// LeaveCall runs on destruction only then.
class CallFrame {
public:
    explicit CallFrame(unsigned flags) : entered_(EnterCall(flags, held_)) {}
    ~CallFrame() {
        if (entered_) LeaveCall(held_);
    }
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;
    bool entered() const { return entered_; }

private:
    HeldLocks held_;
    bool entered_;
};

} // namespace zorcomm

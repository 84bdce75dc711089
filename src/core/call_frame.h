// The call frame every export runs in: the process attached, the locks the call needs taken,
// the last error cleared.
#pragma once

namespace zorcomm {

constexpr unsigned LOCK_TABLE = 1;
constexpr unsigned LOCK_CHANNEL = 2;

bool EnterCall(unsigned flags);
void LeaveCall(unsigned flags);

// Holds the call frame for the lifetime of a scope: `entered` tells whether EnterCall succeeded;
// LeaveCall runs on destruction only then.
class CallFrame {
public:
    explicit CallFrame(unsigned flags) : flags_(flags), entered_(EnterCall(flags)) {}
    ~CallFrame() {
        if (entered_) LeaveCall(flags_);
    }
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;
    bool entered() const { return entered_; }

private:
    unsigned flags_;
    bool entered_;
};

} // namespace zorcomm

// The region shared by all processes of the library, each process's own state, and the call
// frame every export runs in.
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>

#include "channel/channel_record.h"
#include "channel/settings.h"

namespace zorcomm {

constexpr unsigned kSettingsPathSize = 1024;

// Shared by every process that has the library loaded. Plain data only.
struct SharedSection {
    Slot slotTable[kSlotCount];
    char settingsFilePath[kSettingsPathSize];
    int16_t processCount;
    SharedSettings settings;
    uint32_t lastRs485Activity; // tick of the last RS-485 read or write by any process
};

// Private to one process, shared by its threads without a lock.
struct ProcessContext {
    int16_t currentSlotIndex = -1;
    Slot *currentSlot = nullptr;
    uint32_t ownProcessId = 0;
    uint32_t lastError = 0;
    int32_t logLevel = 0;
    DebugLogHandler logHandler = nullptr;
    UnsolicitedMessageHandler unsolicitedHandler = nullptr;
    char lastErrorText[1024] = {};
    ProcessSettings settings;
};

ProcessContext &Context();
// The shared region, mapped on first use; null when it cannot be mapped.
SharedSection *Shared();

constexpr unsigned LOCK_TABLE = 1;
constexpr unsigned LOCK_CHANNEL = 2;

// The library's load and unload notifications.
bool LibraryLoad();
void LibraryUnload();

bool AttachProcess();
void DetachProcess();
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

bool CheckChannelOpen();
int16_t FindSlotByHandle(uint32_t handle);
bool SelectSlot(int16_t index);
bool AxisToAddress(uint16_t &value);
void AddressToAxis(uint16_t &value);

} // namespace zorcomm

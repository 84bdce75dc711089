// The region shared by all processes of the library, each process's own state, attaching the
// process to the slot table and selecting its slots.
#pragma once

#include <zorcomm/zorcomm.h>

#include <atomic>
#include <cstdint>

#include "core/channel_record.h"
#include "core/settings.h"

namespace zorcomm {

constexpr unsigned kSettingsPathSize = 1024;

// Shared by every process that has the library loaded. Plain data only. Nothing in it names a
// file or device a process opens: any process of the user can write it, so each process takes
// such names from its own arguments and settings (the settings file path is per process).
struct SharedSection {
    Slot slotTable[kSlotCount];
    int16_t processCount;
    SharedSettings settings;
    uint32_t lastRs485Activity; // tick of the last RS-485 read or write by any process
};

// A value the threads of a process share without a lock. Loads and stores are relaxed atomics:
// threads that use it at the same moment each see one whole value, and nothing is ordered by it.
template <typename T> class RelaxedValue {
public:
    constexpr RelaxedValue(T value = T{}) : value_(value) {}
    RelaxedValue(const RelaxedValue &other) : value_(other) {}
    RelaxedValue &operator=(const RelaxedValue &other) { return *this = static_cast<T>(other); }
    RelaxedValue &operator=(T value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    operator T() const { return value_.load(std::memory_order_relaxed); }
    T exchange(T value) { return value_.exchange(value, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};

// The selected slot: stored with release and loaded with acquire, so a thread that finds the
// process attached (another thread may just have attached it) also sees what that attach wrote.
template <typename T> class PublishedPointer {
public:
    constexpr PublishedPointer(T *value = nullptr) : value_(value) {}
    PublishedPointer(const PublishedPointer &other) : value_(other) {}
    PublishedPointer &operator=(const PublishedPointer &other) {
        return *this = static_cast<T *>(other);
    }
    PublishedPointer &operator=(T *value) {
        value_.store(value, std::memory_order_release);
        return *this;
    }
    operator T *() const { return value_.load(std::memory_order_acquire); }
    T *operator->() const { return *this; }

private:
    std::atomic<T *> value_;
};

// Private to one process, shared by its threads without a lock: the selection, the last error
// and the handlers may be changed by one thread while another is inside a call.
struct ProcessContext {
    RelaxedValue<int16_t> currentSlotIndex = -1;
    PublishedPointer<Slot> currentSlot = nullptr;
    // Written by the attach, before the selection is published.
    uint32_t ownProcessId = 0;
    // Set inside calls under the channel's lock, read by MSK_GetLastError from any thread.
    RelaxedValue<uint32_t> lastError = 0;
    RelaxedValue<int32_t> logLevel = 0;
    RelaxedValue<DebugLogHandler> logHandler = nullptr;
    RelaxedValue<UnsolicitedMessageHandler> unsolicitedHandler = nullptr;
    char lastErrorText[1024] = {};
    ProcessSettings settings;
    // The settings file this process reads, chosen by the process itself when it attaches.
    char settingsFilePath[kSettingsPathSize] = {};
    // The debug log has named the shared-memory object this process refused.
    RelaxedValue<bool> regionRefusalLogged = false;
};

// Inline: every routine of a call asks for it, several times a message. Constant-initialised:
// the library's load-time constructor attaches the process through it, and a context built by
// a dynamic initialiser that happened to run after the constructor (the order of a shared
// object's initialisers is its link order, which link-time optimisation changes) would forget
// that attach, and the process would attach twice and leave the slot table counted once too
// many when it unloads.
extern constinit ProcessContext processContext;
inline ProcessContext &Context() { return processContext; }
// The shared region, mapped on first use; null when it cannot be mapped.
SharedSection *Shared();

// Attaches the process to the shared slot table (once; true at once when it is attached):
// reclaims the slots of processes that are gone and takes a slot of its own. A process whose
// load could not attach (the table was full then, or the region was refused) tries again at its
// next call.
bool AttachProcess();
// Detaches the process: each of its slots is freed after `closeChannel` has closed this
// process's hold on the slot's link; then the shared region is unmapped and the process's state
// forgotten.
void DetachProcess(void (*closeChannel)(Slot &slot));

int16_t FindSlotByHandle(uint32_t handle);
bool SelectSlot(int16_t index);
bool AxisToAddress(uint16_t &value);
void AddressToAxis(uint16_t &value);

// Passes a message nobody waits for to the application's handler, if it registered one.
void DeliverUnsolicited(DriveMessage &message);

} // namespace zorcomm

// Process attach and detach on the shared slot table, the selection of a slot, and the small
// checks most exports share.
#include "core/process_context.h"

#include <atomic>
#include <cstring>

#include "core/errors.h"
#include "core/region_refusal.h"
#include "platform/platform.h"

namespace zorcomm {

constinit ProcessContext processContext;

namespace {

ProcessContext &context = processContext;
// Mapped by whichever thread asks first (a refused process asks again at every call).
std::atomic<SharedSection *> shared{nullptr};

void InitialiseSharedSection(void *data) {
    auto *section = static_cast<SharedSection *>(data);
    std::memset(static_cast<void *>(section), 0, sizeof *section);
    section->settings.rs485Dtr = 1;
    section->settings.rs485Rts = 1;
}

class AttachLock {
public:
    AttachLock() { platform::LockAttach(); }
    ~AttachLock() { platform::UnlockAttach(); }
    AttachLock(const AttachLock &) = delete;
    AttachLock &operator=(const AttachLock &) = delete;
};

void Select(int16_t index) {
    context.currentSlotIndex = index;
    context.currentSlot = index < 0 ? nullptr : &Shared()->slotTable[index];
}

// The locks of the shared table are taken in one order, and given back in the other: the attach
// lock, then the table mutex, then a channel's mutex (a call frame takes the table before the
// channel; an open that joins a link waits for the link's mutex with the table held). Nothing
// that holds a later one waits for an earlier one, so attach and detach, which take the table
// under the attach lock, never wait on a call that waits on them.

bool AnyLiveProcess(const SharedSection &section) {
    for (const auto &slot : section.slotTable)
        if (slot.processId != 0 && platform::ProcessAlive(slot.processId)) return true;
    return false;
}

// A process that ended without detaching leaves its slots taken and its handles open; without
// this every later attach would try to duplicate the table mutex from a process that is gone.
// Run with the table mutex held (or with no live process left to hold it): an open in another
// process reads the slot it joins under that mutex, and must not see it cleared half-way.
void ReclaimDeadProcesses(SharedSection &section) {
    for (auto &slot : section.slotTable) {
        const uint32_t pid = slot.processId;
        if (pid == 0 || pid == context.ownProcessId || platform::ProcessAlive(pid)) continue;
        for (auto &other : section.slotTable)
            if (other.processId == pid) std::memset(static_cast<void *>(&other), 0, sizeof other);
        platform::CloseHandlesOfProcess(pid);
        if (section.processCount > 0) --section.processCount;
    }
}

// Waits for the table mutex through one of this process's handles. A holder that died left it
// abandoned: it is this process's now, and whatever the dead holder was changing belongs to
// slots that are reclaimed under it.
bool WaitTableMutex(platform::MutexHandle handle) {
    return platform::WaitMutex(handle) != platform::WaitResult::Failed;
}

// A handle of the table mutex, duplicated from a live process (a dead one's
// handles are dropped by the reclaim, and only under this mutex). 0 when no live process has
// one to give.
platform::MutexHandle DuplicateTableMutex(const SharedSection &section) {
    for (const auto &slot : section.slotTable) {
        if (slot.processId == 0 || !platform::ProcessAlive(slot.processId)) continue;
        if (const auto handle = platform::DuplicateMutex(slot.processId, slot.tableMutex))
            return handle;
    }
    return 0;
}

bool AttachToExistingTable(SharedSection &section, platform::MutexHandle handle) {
    if (!WaitTableMutex(handle)) {
        platform::CloseMutex(handle);
        return false;
    }
    ReclaimDeadProcesses(section);
    if (section.processCount < kSlotCount) {
        for (int16_t i = 0; i < kSlotCount; ++i) {
            Slot &slot = section.slotTable[i];
            if (slot.processId != 0) continue;
            std::memset(static_cast<void *>(&slot), 0, sizeof slot);
            slot.processId = context.ownProcessId;
            slot.tableMutex = handle;
            Select(i);
            ++section.processCount;
            platform::ReleaseMutex(handle);
            return true;
        }
    }
    platform::ReleaseMutex(handle);
    platform::CloseMutex(handle);
    return SetError(Error::TooManyChannels);
}

bool AttachAsFirstProcess(SharedSection &section) {
    for (auto &slot : section.slotTable) std::memset(static_cast<void *>(&slot), 0, sizeof slot);
    const platform::MutexHandle handle = platform::CreateMutex(false);
    if (handle == 0) return false;
    section.slotTable[0].tableMutex = handle;
    section.slotTable[0].processId = context.ownProcessId;
    Select(0);
    section.processCount = 1;
    return true;
}

// The slots are cleared under the table mutex too: an open in another process may be joining
// this process's link from one of them.
void FreeProcessSlots(void (*closeChannel)(Slot &)) {
    SharedSection *section = shared.load(std::memory_order_acquire);
    if (!context.currentSlot || !section) return;
    AttachLock lock;
    const uint32_t pid = context.currentSlot->processId;
    const platform::MutexHandle tableMutex = context.currentSlot->tableMutex;
    const bool tableHeld = WaitTableMutex(tableMutex);
    for (auto &slot : section->slotTable) {
        if (slot.processId != pid) continue;
        closeChannel(slot);
        std::memset(static_cast<void *>(&slot), 0, sizeof slot);
    }
    if (section->processCount > 0) --section->processCount;
    Select(-1);
    if (tableHeld) platform::ReleaseMutex(tableMutex);
    platform::CloseMutex(tableMutex);
}

} // namespace

SharedSection *Shared() {
    SharedSection *section = shared.load(std::memory_order_acquire);
    if (section) return section;
    section = static_cast<SharedSection *>(
        platform::MapSharedRegion(sizeof(SharedSection), InitialiseSharedSection));
    if (section) shared.store(section, std::memory_order_release);
    return section;
}

bool AttachProcess() {
    if (context.currentSlot) return true;
    SharedSection *section = Shared();
    if (!section) return ReportRegionRefusal();
    AttachLock lock;
    // Another thread of the process may have attached it while this one waited for the lock
    // (a process whose load could not attach): one slot table entry per process.
    if (context.currentSlot) return true;
    context.ownProcessId = platform::CurrentProcessId();
    // Chosen by each process for itself: a path another process left in the region could name
    // any file.
    FillSettingsFilePath(context.settingsFilePath, kSettingsPathSize);
    if (const platform::MutexHandle handle = DuplicateTableMutex(*section))
        return AttachToExistingTable(*section, handle);
    if (AnyLiveProcess(*section)) return false;
    // Nobody is left to hold the table or to read it: what the dead left goes at once.
    ReclaimDeadProcesses(*section);
    return AttachAsFirstProcess(*section);
}

void DetachProcess(void (*closeChannel)(Slot &slot)) {
    FreeProcessSlots(closeChannel);
    if (shared.load(std::memory_order_acquire)) platform::UnmapSharedRegion();
    shared.store(nullptr, std::memory_order_release);
    context = ProcessContext{};
}

int16_t FindSlotByHandle(uint32_t handle) {
    for (int16_t i = 0; i < kSlotCount; ++i) {
        const Slot &slot = Shared()->slotTable[i];
        if (slot.processId == context.ownProcessId && slot.channelHandle == handle) return i;
    }
    return -1;
}

bool SelectSlot(int16_t index) {
    const auto unsignedIndex = static_cast<uint16_t>(index);
    if (unsignedIndex >= kSlotCount || !context.currentSlot ||
        Shared()->slotTable[unsignedIndex].processId != context.currentSlot->processId)
        return SetError(Error::InvalidParameter);
    if (index != context.currentSlotIndex) Select(index);
    return true;
}

bool AxisToAddress(uint16_t &value) {
    if (value < 1 || value > 255) return SetError(Error::InvalidAxisId);
    value = static_cast<uint16_t>(value << 4);
    return true;
}

void AddressToAxis(uint16_t &value) { value = static_cast<uint16_t>(value >> 4); }

void DeliverUnsolicited(DriveMessage &message) {
    if (auto handler = context.unsolicitedHandler) handler(&message);
}

} // namespace zorcomm

#include "channel/channel_sharing.h"

#include <cstring>
#include <memory>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "transport/ascii_can_link.h"
#include "transport/serial_port_link.h"

namespace zorcomm {

namespace {

Slot &SlotAt(int16_t index) { return Shared()->slotTable[index]; }

int16_t FindSlot(uint8_t type, uint32_t number, bool ownOnly) {
    const uint32_t self = Context().ownProcessId;
    for (int16_t i = 0; i < kSlotCount; ++i) {
        const Slot &slot = SlotAt(i);
        if (slot.processId == 0 || slot.channelHandle == 0) continue;
        if (ownOnly != (slot.processId == self)) continue;
        if (slot.channelType != type || slot.channelNumber != number) continue;
        // A process that died holding the link is no one to join: its slot is taken back at the
        // next attach, and its handles with it. The link lives on in the live processes that
        // share it, or is opened afresh.
        if (ownOnly || platform::ProcessAlive(slot.processId)) return i;
    }
    return -1;
}

// Steps 4 to 7 of joining: the link's mutex, held on success, and for byte-stream ports this
// process's own descriptor of the port.
bool DuplicateLink(const Slot &source, Slot &target, const OpenRequest &request) {
    target.channelMutex = platform::DuplicateMutex(source.processId, source.channelMutex);
    if (target.channelMutex == 0) return false;
    if (platform::WaitMutex(target.channelMutex) == platform::WaitResult::Failed) return false;
    if (!IsSerialPortType(request.type)) return true;
    std::unique_ptr<Link> link;
    if (request.type == CHANNEL_LAWICEL_USBCAN) {
        // The adapter behind the port is already set up by the process that opened it.
        auto adapter = std::make_unique<AsciiCanLink>(target);
        if (!adapter->Join(request.number)) return false;
        link = std::move(adapter);
    } else {
        auto port = std::make_unique<SerialPortLink>(target, request.type);
        if (!port->Join(request.number)) return false;
        link = std::move(port);
    }
    target.channelHandle = link->Handle();
    // For the adapter this copies its bit rate too (the first word of the area).
    target.typeArea.serial.portSettings = source.typeArea.serial.portSettings;
    target.typeArea.serial.stateChanged = source.typeArea.serial.stateChanged;
    InstallLink(Context().currentSlotIndex, std::move(link));
    return true;
}

void CopyChannelRecord(const Slot &source, Slot &target) {
    target.channelType = source.channelType;
    target.protocolFlag = source.protocolFlag;
    std::memcpy(target.deviceName, source.deviceName, sizeof target.deviceName);
    target.channelNumber = source.channelNumber;
    target.exclusive = source.exclusive;
    target.hostAddress = source.hostAddress;
    target.hostVerified = source.hostVerified;
    target.replyTimeout = source.replyTimeout;
    target.activeAddress = source.hostAddress;
}

} // namespace

bool AllocateSlot() {
    Slot &selected = *Context().currentSlot;
    for (int16_t i = 0; i < kSlotCount; ++i) {
        Slot &slot = SlotAt(i);
        if (slot.processId != 0) continue;
        std::memset(static_cast<void *>(&slot), 0, sizeof slot);
        slot.processId = selected.processId;
        slot.tableMutex = selected.tableMutex;
        return SelectSlot(i);
    }
    return SetError(Error::TooManyChannels);
}

bool ReleaseSlot(int16_t index) {
    const uint32_t self = Context().ownProcessId;
    if (index < 0 || index >= kSlotCount || SlotAt(index).processId != self)
        return SetError(Error::InvalidParameter);
    int16_t other = -1;
    for (int16_t i = 0; i < kSlotCount && other < 0; ++i)
        if (i != index && SlotAt(i).processId == self) other = i;
    if (other < 0) return false;
    if (Context().currentSlotIndex == index) SelectSlot(other);
    std::memset(static_cast<void *>(&SlotAt(index)), 0, sizeof(Slot));
    return true;
}

int16_t FindOwnChannelSlot(uint8_t type, uint32_t number) { return FindSlot(type, number, true); }

int16_t FindChannelSlot(uint8_t type, uint32_t number) { return FindSlot(type, number, false); }

ShareResult ShareChannel(int16_t index, const OpenRequest &request) {
    const Slot &source = SlotAt(index);
    Slot &target = *Context().currentSlot;
    if (source.exclusive) {
        SetError(Error::ExclusiveChannel);
        return ShareResult::Failed;
    }
    if (request.exclusive) {
        SetError(Error::ChannelShared);
        return ShareResult::Failed;
    }
    // A socket, or a driver library loaded into another process, cannot be handed over.
    if (IsEthernetType(request.type) || request.type == CHANNEL_VIRTUAL_SERIAL) {
        SetError(Error::CannotDuplicate);
        return ShareResult::Failed;
    }
    if (!DuplicateLink(source, target, request)) return ShareResult::Failed;
    if (request.protocolFlag != source.protocolFlag) {
        SetError(Error::ProtocolMismatch);
        return ShareResult::Failed;
    }
    if (request.hostAddress != 0 && request.hostAddress != source.hostAddress) {
        SetError(Error::HostAxisMismatch);
        return ShareResult::Failed;
    }
    if (target.channelHandle == 0) return ShareResult::Continue;
    CopyChannelRecord(source, target);
    LogInfo("Channel duplicated from another process");
    platform::ReleaseMutex(target.channelMutex);
    return ShareResult::Duplicated;
}

} // namespace zorcomm

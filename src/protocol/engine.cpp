#include "protocol/engine.h"

#include <array>

#include "codec/can_mapping.h"
#include "codec/drive_message.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "transport/can_link.h"
#include "transport/link.h"

namespace zorcomm {

namespace {

constexpr uint8_t kSyncByte = 0xFF;
constexpr uint8_t kCarriageReturn = 0x0D;
constexpr int kSyncTries = 15;

bool ReadByte(Link &link, uint8_t &byte) { return link.Read({&byte, 1}); }

int ReadFrame(Link &link, uint8_t firstByte, DriveMessage &message) {
    return ParseSerialFrame(
        firstByte, [&link](std::span<uint8_t> rest) { return link.Read(rest); }, message);
}

// Waits for the acknowledge of one written frame, passing complete frames that come first to
// the unsolicited handler. True when the acknowledge came. The reply time-out bounds a stream of
// other frames before the acknowledge and counts from the first of them: the clock is read only
// then, not for every message (a reading costs as much as a tenth of a message on a fast link).
bool AwaitAcknowledge(Link &link, uint32_t replyTimeout) {
    uint8_t byte = 0;
    if (!ReadByte(link, byte)) return false;
    if (byte == kAcknowledge) return true;
    const uint32_t start = platform::TickCount();
    while (true) {
        if (byte == kAcknowledge) return true;
        DriveMessage stray{};
        const int parsed = ReadFrame(link, byte, stray);
        if (parsed == 0) return false;
        if (parsed == 1) DeliverUnsolicited(stray);
        if (platform::TicksSince(start) >= replyTimeout) return false;
        if (!ReadByte(link, byte)) return false;
    }
}

int SendByteStream(Link &link, const Slot &slot, const DriveMessage &message,
                   const BeforeResend &beforeResend) {
    if (!Context().unsolicitedHandler) link.PurgeBeforeSend();
    const SerialFrame frame = BuildSerialFrame(message);
    if (slot.channelType == CHANNEL_RS485 && (message.address & kGroupFlag)) {
        if (!link.WriteBytes(frame.view())) return -1;
        PostSendDelay(message);
        return 1;
    }
    const uint8_t tries = Context().settings.noTries;
    for (uint8_t attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) {
            Log(kLogInfo, "MSK Warning", "Retrying <Send Message>");
            if (!ResyncLink()) return -1;
            if (beforeResend && !beforeResend()) return -1;
        }
        if (!link.WriteBytes(frame.view())) return -1;
        if (AwaitAcknowledge(link, slot.replyTimeout)) {
            PostSendDelay(message);
            return 1;
        }
    }
    SetError(Error::SendTimeout);
    return 0;
}

int SendCan(CanLink &link, const Slot &slot, const DriveMessage &message) {
    CanFrame frame;
    if (!MessageToCanFrame(message, slot.protocolFlag, frame)) {
        SetError(Error::ConversionFailed);
        return -1;
    }
    const int result = link.Send(frame);
    if (result == 1) {
        PostSendDelay(message);
        TraceCan(kLogTraffic, "CAN Message Sent", frame.id, frame.bytes.data(), frame.dlc);
    }
    return result;
}

// The wait unit of the synchronisation: 176 bit periods, times the multiplier.
uint32_t SyncWaitUnit(uint32_t rate) {
    if (rate == 0) rate = 9600;
    return Context().settings.synchronizationSleepMultiplier * (176000 / rate + 1);
}

// RS-232 and the virtual serial driver: sync bytes until two carriage returns came back.
bool ResyncPointToPoint(Link &link) {
    link.PurgeBeforeSend();
    const uint32_t unit = SyncWaitUnit(link.BaudRate());
    int carriageReturns = 0;
    for (int attempt = 0; attempt < kSyncTries; ++attempt) {
        if (!link.WriteBytes({&kSyncByte, 1})) return false;
        platform::Sleep(unit);
        int32_t waiting = link.BytesInQueue();
        while (waiting > 0) {
            for (; waiting > 0; --waiting) {
                uint8_t byte = 0;
                if (!ReadByte(link, byte)) return false;
                if (byte == kCarriageReturn && ++carriageReturns == 2) return true;
            }
            platform::Sleep(unit);
            waiting = link.BytesInQueue();
        }
    }
    return SetError(Error::CannotSynchronize);
}

// RS-485: several drives may answer at once, so the answers are only waited out.
bool ResyncBus(Link &port) {
    port.PurgeBeforeSend();
    std::array<uint8_t, kSyncTries> sync{};
    sync.fill(kSyncByte);
    if (!port.WriteBytes(sync)) return SetError(Error::CannotSynchronize);
    const uint32_t unit = SyncWaitUnit(port.BaudRate());
    while (true) {
        platform::Sleep(unit);
        const int32_t waiting = port.BytesInQueue();
        port.PurgeInput();
        if (waiting <= 0) return true;
    }
}

// Ethernet: the device server passes the sync bytes on; one carriage return back is enough.
bool ResyncDatagram(Link &link) {
    link.DrainInput();
    std::array<uint8_t, kSyncTries> sync{};
    sync.fill(kSyncByte);
    if (!link.WriteBytes(sync)) return false;
    while (true) {
        uint8_t byte = 0;
        if (!ReadByte(link, byte)) return SetError(Error::CannotSynchronize);
        if (byte == kCarriageReturn) {
            link.DrainInput();
            return true;
        }
        if (link.BytesInQueue() <= 0) return SetError(Error::CannotSynchronize);
    }
}

} // namespace

int ReceiveByteStream(Link &link, DriveMessage &message, bool *acknowledge) {
    uint8_t byte = 0;
    if (!ReadByte(link, byte)) return 0;
    if (byte == kAcknowledge) {
        if (acknowledge) *acknowledge = true;
        return 1;
    }
    const int parsed = ReadFrame(link, byte, message);
    if (parsed == -1) {
        SetError(Error::IncorrectData);
        return -1;
    }
    return parsed;
}

void PostSendDelay(const DriveMessage &message) {
    const ProcessSettings &settings = Context().settings;
    if (message.opCode == 0x0402) platform::Sleep(settings.resetDeadTime);
    else if (((message.opCode & 0xFFFE) == 0x7400 || (message.opCode & 0xFFFE) == 0x7500) &&
             settings.runDeadTime != 0)
        platform::Sleep(settings.runDeadTime);
}

int SendDriveMessage(const DriveMessage *message, const BeforeResend &beforeResend) {
    if (!message || message->length > 4) {
        SetError(Error::InvalidParameter);
        return 0;
    }
    const Slot &slot = *Context().currentSlot;
    const uint8_t type = slot.channelType;
    const bool pointToPoint = type == CHANNEL_RS232 || type == CHANNEL_VIRTUAL_SERIAL ||
                              IsEthernetType(type);
    if (!pointToPoint && !(message->address & kGroupFlag) &&
        (message->address & 0xFF0) == slot.hostAddress) {
        SetError(Error::HostAxisIsPc);
        return 0;
    }
    Link *link = CurrentLink();
    if (link && IsByteStreamType(type)) return SendByteStream(*link, slot, *message, beforeResend);
    if (CanLink *can = CurrentCanLink()) return SendCan(*can, slot, *message);
    SetError(Error::NotForChannelType);
    return -1;
}

int ReceiveDriveMessage(DriveMessage *message, bool *acknowledge) {
    if (!message) {
        SetError(Error::InvalidParameter);
        return -1;
    }
    Link *link = CurrentLink();
    if (link && IsByteStreamType(Context().currentSlot->channelType))
        return ReceiveByteStream(*link, *message, acknowledge);
    if (CanLink *can = CurrentCanLink()) return can->Receive(*message);
    SetError(Error::NotForChannelType);
    return -1;
}

bool MarkReplyWait(ReplyMark &mark) {
    mark.link = CurrentLink();
    // A byte-stream link is never a CAN link: no virtual call a read step to learn it.
    const bool byteStream = IsByteStreamType(Context().currentSlot->channelType);
    mark.can = mark.link && !byteStream ? mark.link->AsCan() : nullptr;
    mark.byteStream = mark.link && byteStream;
    mark.resolved = true;
    if (!mark.can) return true;
    if (!mark.can->SetAsideWaiting()) return false;
    mark.queued = mark.can->queue().Mark();
    return true;
}

int ReceiveOtherAfterMark(const ReplyMark &mark, DriveMessage &message, bool &acknowledge) {
    if (!mark.resolved) {
        if (CanLink *can = CurrentCanLink()) return can->ReceiveSince(mark.queued, message);
        return ReceiveDriveMessage(&message, &acknowledge);
    }
    if (mark.can) return mark.can->ReceiveSince(mark.queued, message);
    SetError(Error::NotForChannelType);
    return -1;
}

void DeliverEarlier(const ReplyMark &mark) {
    CanLink *can = mark.resolved ? mark.can : CurrentCanLink();
    if (!can || !Context().unsolicitedHandler) return;
    DriveMessage message{};
    while (can->queue().TakeBefore(mark.queued, message)) DeliverUnsolicited(message);
}

int32_t BytesInQueue() {
    Link *link = CurrentLink();
    if (!link) {
        SetError(Error::NotForChannelType);
        return -1;
    }
    return link->BytesInQueue();
}

bool ResyncLink() {
    Link *link = CurrentLink();
    if (!link) return true;
    switch (Context().currentSlot->channelType) {
    case CHANNEL_RS232:
    case CHANNEL_VIRTUAL_SERIAL:
        return ResyncPointToPoint(*link);
    case CHANNEL_RS485:
        return ResyncBus(*link);
    case CHANNEL_XPORT_TCP:
    case CHANNEL_UDP:
        return ResyncDatagram(*link);
    default:
        return true;
    }
}

} // namespace zorcomm

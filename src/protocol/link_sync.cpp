#include "protocol/link_sync.h"

#include <array>

#include "codec/drive_message.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "protocol/engine.h"
#include "transport/can_link.h"
#include "transport/link.h"

namespace zorcomm {

namespace {

constexpr uint16_t kOpSetBaudRate = 0x0820;
constexpr uint16_t kOpReset = 0x0402;
constexpr uint16_t kOpBoardInfo = 0xD801;
constexpr uint16_t kOpReadMemory = 0xB000;
constexpr uint16_t kOpReadReply = 0xB404;
constexpr uint16_t kBroadcast = 0x1000;

constexpr std::array<uint32_t, 5> kRates{9600, 19200, 38400, 57600, 115200};

Slot &Current() { return *Context().currentSlot; }

// Types where the PC reaches the drives through the host drive's byte-stream link.
bool ThroughHostDrive(uint8_t type) {
    return type == CHANNEL_RS232 || type == CHANNEL_VIRTUAL_SERIAL || IsEthernetType(type);
}

uint32_t PresentRate() {
    Link *link = CurrentLink();
    return link ? link->BaudRate() : 0;
}

DriveMessage Message(uint16_t address, uint16_t opCode, std::initializer_list<uint16_t> data) {
    DriveMessage message{};
    message.address = address;
    message.opCode = opCode;
    for (uint16_t word : data) message.data[message.length++] = word;
    return message;
}

// The time an unacknowledged frame needs to leave the port.
void WaitFrameOut(uint32_t rate) { platform::Sleep(176000 / (rate ? rate : 9600) + 1); }

bool SearchRate(bool descending) {
    SetHostAddress(false, Current().hostAddress);
    for (size_t i = 0; i < kRates.size(); ++i) {
        const uint32_t rate = kRates[descending ? kRates.size() - 1 - i : i];
        if (!SetLinkBaudRate(rate)) break;
        if (ResyncLink()) return true;
    }
    return SetError(Error::CannotSynchronize);
}

// RS-485: every drive on the bus is moved to 9600 from each rate it may run at, then all go to
// the rate the PC had.
bool ForceBusRate() {
    const uint32_t before = PresentRate();
    int completed = 0;
    for (uint32_t rate : {9600u, 19200u, 38400u, 57600u}) {
        const DriveMessage toSlowest = Message(kBroadcast, kOpSetBaudRate, {0});
        if (!SetLinkBaudRate(rate) || !ResyncLink() || SendDriveMessage(&toSlowest) < 1) break;
        WaitFrameOut(rate);
        ++completed;
    }
    const bool settled = SetLinkBaudRate(9600) && ResyncLink();
    if (!settled || completed < 4 || !SetBoardBaudRate(before))
        return SetError(Error::CannotSynchronize);
    return true;
}

bool SettleHost() {
    Slot &slot = Current();
    if (slot.hostAddress == 0) {
        uint16_t found = 0;
        if (!DetectHostAxis(found)) return false;
        SetHostAddress(true, found);
    }
    if (slot.activeAddress == 0) slot.activeAddress = slot.hostAddress;
    return true;
}

bool BoardInfoFailed() {
    Log(kLogErrors, "MSK Error", "<Get Board Info> cmd. failed!");
    if (Link *link = CurrentLink()) link->ClearLineErrors();
    return SetError(Error::BoardNotFound);
}

} // namespace

int BaudRateCode(uint32_t rate) {
    for (size_t i = 0; i < kRates.size(); ++i)
        if (kRates[i] == rate) return static_cast<int>(i);
    return -1;
}

void FormatVersionText(uint16_t d0, uint16_t d1, char *text) {
    size_t n = 0;
    if ((d1 & 0xF00F) != 0) {
        text[n++] = 'F';
        text[n++] = static_cast<char>(d0 >> 8);
        text[n++] = static_cast<char>(d0 & 0xFF);
        text[n++] = static_cast<char>(d1 >> 8);
        text[n++] = static_cast<char>(d1 & 0xFF);
    } else {
        text[n++] = 'S';
        text[n++] = static_cast<char>('0' + ((d0 >> 8) & 3));
        text[n++] = static_cast<char>('0' + ((d0 >> 10) & 7));
        text[n++] = static_cast<char>('0' + ((d0 >> 4) & 0xF));
        if ((d0 & 0xF) != 0) text[n++] = static_cast<char>('0' + (d0 & 0xF));
    }
    text[n] = '\0';
}

bool SetLinkBaudRate(uint32_t rate) {
    Link *link = CurrentLink();
    return link ? link->SetLinkBaudRate(rate) : true;
}

bool EstablishLink() {
    switch (Current().channelType) {
    case CHANNEL_RS232:
    case CHANNEL_VIRTUAL_SERIAL:
        return SearchRate(false) && SettleHost();
    case CHANNEL_XPORT_TCP:
    case CHANNEL_UDP:
        return SearchRate(true) && SettleHost();
    case CHANNEL_RS485:
        return ForceBusRate();
    default:
        return true;
    }
}

bool DetectHostAxis(uint16_t &hostAddress) {
    const Slot &slot = Current();
    if (!ThroughHostDrive(slot.channelType)) return SetError(Error::NotForChannelType);
    hostAddress = 0;
    const DriveMessage question = Message(0x0000, kOpReadMemory, {0x0001, 0x0000});
    const uint16_t mask = ReplyAddressMask(slot.protocolFlag);
    auto isAnswer = [mask](const DriveMessage &m) {
        return m.opCode == kOpReadReply && (m.address & mask) == (0x0001 & mask) &&
               m.data[1] == 0x0000 && m.length == 3;
    };
    for (uint8_t attempt = 0; attempt < Context().settings.noTries; ++attempt) {
        if (attempt > 0) {
            Log(kLogInfo, "MSK Warning", "Retrying <Detect Host ID>");
            if (!ResyncLink()) return SetError(Error::ReceiveTimeout);
        }
        ReplyMark mark;
        if (!MarkReplyWait(mark) || SendDriveMessage(&question) < 1) return false;
        DriveMessage answer{};
        const int result = AwaitReply(mark, platform::TickCount(), slot.replyTimeout, isAnswer, answer);
        if (result < 0) return false;
        if (result == 1) {
            hostAddress = answer.data[0];
            return true;
        }
    }
    // Also when the last thing received was some other message: the detection got no answer.
    return SetError(Error::NoAutodetection);
}

bool GetBoardInfo(uint16_t address, char *text) {
    const Slot &slot = Current();
    const bool throughHost = ThroughHostDrive(slot.channelType);
    if (!throughHost && address == slot.hostAddress) return SetError(Error::HostAxisIsPc);
    const uint16_t replyTo = static_cast<uint16_t>(slot.hostAddress | (throughHost ? kPcBit : 0));
    const DriveMessage question = Message(address, kOpBoardInfo, {replyTo});
    const uint16_t mask = ReplyAddressMask(slot.protocolFlag);
    auto isAnswer = [mask, replyTo](const DriveMessage &m) {
        return (m.address & mask) == (replyTo & mask) && m.opCode == kOpBoardInfo;
    };
    const uint8_t tries = IsCanType(slot.channelType) ? 1 : Context().settings.noTries;
    for (uint8_t attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) {
            Log(kLogInfo, "MSK Warning", "Retrying <Get Board Info>");
            if (!EstablishLink()) return BoardInfoFailed();
        }
        ReplyMark mark;
        if (!MarkReplyWait(mark) || SendDriveMessage(&question) < 1) return BoardInfoFailed();
        DriveMessage answer{};
        const int result = AwaitReply(mark, platform::TickCount(), slot.replyTimeout, isAnswer, answer);
        if (result < 0) return BoardInfoFailed();
        if (result == 0) continue;
        if (!text) return true;
        if (answer.length != 2) return SetError(Error::InvalidParameter);
        FormatVersionText(answer.data[0], answer.data[1], text);
        return true;
    }
    return BoardInfoFailed();
}

bool ResetDrive() {
    const Slot &slot = Current();
    const DriveMessage reset = Message(slot.activeAddress, kOpReset, {});
    const uint32_t rate = IsCanType(slot.channelType) ? slot.typeArea.can.canBitRate : PresentRate();
    if (SendDriveMessage(&reset) < 1) {
        Log(kLogErrors, "MSK Error", "<Reset> cmd. failed!");
        return false;
    }
    const bool hostReset =
        ThroughHostDrive(slot.channelType) && slot.activeAddress == slot.hostAddress;
    if ((slot.channelType == CHANNEL_RS485 || hostReset) && !EstablishLink())
        Log(kLogErrors, "MSK Error", "Failed to detect baud rate after RESET!");
    const uint8_t calls = IsCanType(slot.channelType) ? Context().settings.noTries : 1;
    bool answered = false;
    for (uint8_t call = 0; call < calls && !answered; ++call)
        answered = GetBoardInfo(slot.activeAddress, nullptr);
    if (!answered) return false;
    return SetBoardBaudRate(rate);
}

bool SetBoardBaudRate(uint32_t rate) {
    if (rate == 56000) rate = 57600;
    Slot &slot = Current();
    if (IsByteStreamType(slot.channelType)) {
        Link *link = CurrentLink();
        if (PresentRate() == rate) return true;
        const int code = BaudRateCode(rate);
        if (code < 0) return SetError(Error::BaudRateNotSupported);
        const bool bus = slot.channelType == CHANNEL_RS485;
        const DriveMessage command = Message(bus ? kBroadcast : slot.hostAddress, kOpSetBaudRate,
                                             {static_cast<uint16_t>(code)});
        if (SendDriveMessage(&command) < 1) {
            Log(kLogErrors, "MSK Error", "<Set Board Baud Rate> Cmd. failed!");
            return false;
        }
        if (bus) WaitFrameOut(PresentRate());
        SetHostAddress(false, slot.hostAddress);
        if (link) link->PurgeBeforeSend();
    }
    return SetLinkBaudRate(rate) && EnsureHostVerified();
}

bool EnsureHostVerified() {
    Slot &slot = Current();
    if (slot.hostVerified) return true;
    if (!ThroughHostDrive(slot.channelType)) {
        slot.hostVerified = 1;
        return true;
    }
    const bool answered = GetBoardInfo(slot.hostAddress, nullptr);
    SetHostAddress(answered, slot.hostAddress);
    if (!answered) return SetError(Error::HostAxisMismatch);
    return true;
}

void FollowSharedHost() {
    // Every call of a link passes here: the type is a field, the CAN link a virtual call.
    if (IsByteStreamType(Current().channelType)) return;
    CanLink *can = CurrentCanLink();
    if (!can) return;
    const uint16_t host = Current().hostAddress;
    // A failure is handled as a failed host change is: the call goes on, with the adapter's
    // error recorded, and the next call tries again.
    if (can->filterHost() != host) can->FollowHost(host);
}

bool SetHostAddress(bool verified, uint16_t address) {
    Slot &slot = Current();
    if (CanLink *can = CurrentCanLink(); can && !can->FollowHost(address)) return false;
    const uint8_t type = slot.channelType;
    const uint32_t number = slot.channelNumber;
    // Only slots that hold the link: free slots of a COM0 look alike but stay all zero.
    for (Slot &other : Shared()->slotTable) {
        if (&other != &slot && (other.processId == 0 || other.channelHandle == 0 ||
                                other.channelType != type || other.channelNumber != number))
            continue;
        other.hostAddress = address;
        other.hostVerified = verified ? 1 : 0;
    }
    return true;
}

} // namespace zorcomm

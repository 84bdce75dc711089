#include "transport/can_link.h"

#include <algorithm>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "transport/can_families.h"

namespace zorcomm {

namespace {

constexpr std::array<CanBitRate, 5> kBitRates{{
    {125000, 0x03, 0x1C, 0x031C, 6, -4, 4},
    {250000, 0x01, 0x1C, 0x011C, 4, -3, 5},
    {500000, 0x00, 0x1C, 0x001C, 2, -2, 6},
    {800000, 0x00, 0x16, 0x0016, -1, 800000, 7},
    {1000000, 0x00, 0x14, 0x0014, 0, -1, 8},
}};

struct StatusCode {
    int64_t status;
    uint32_t code;
};

constexpr StatusCode kIxxatV3[] = {
    {0xE0010001, 0x20000100}, {0xE0010002, 0x20000101}, {0xE0010003, 0x20000102},
    {0xE0010004, 0x20000103}, {0xE0010005, 0x20000104}, {0xE0010006, 0x20000105},
    {0xE0010007, 0x20000084}, {0xE0010008, 0x20000107}, {0xE0010009, 0x20000108},
    {0xE001000A, 0x20000109}, {0xE001000B, 0x2000010a}, {0xE001000C, 0x2000010b},
    {0xE001000D, 0x2000010c}, {0xE001000E, 0x2000010d}, {0xE001000F, 0x2000010e},
    {0xE0010010, 0x2000010f}, {0xE0010011, 0x20000110}, {0xE0010012, 0x20000111},
    {0xE0010013, 0x20000112}, {0xE0010014, 0x20000113}, {0xE0010015, 0x20000114},
    {0xE0010016, 0x20000115}, {0xE0010017, 0x20000116}, {0xE0010018, 0x20000117},
};
constexpr StatusCode kIxxatV2[] = {{-1, 0x20000084}, {-2, 0x20000085}, {-3, 0x20000086},
                                   {-4, 0x20000087}, {-5, 0x20000088}, {-6, 0x20000089}};
constexpr StatusCode kSysTec[] = {
    {2, 0x2000008c},  {3, 0x2000008d},  {4, 0x2000008e},  {5, 0x2000008f},
    {6, 0x20000090},  {7, 0x20000091},  {8, 0x20000092},  {9, 0x20000093},
    {10, 0x20000094}, {11, 0x20000095}, {12, 0x20000096}, {13, 0x20000097},
    {64, 0x20000098}, {65, 0x20000099}, {66, 0x2000009a}, {67, 0x2000009b},
};
constexpr StatusCode kPeak[] = {
    {1, 0x200000a1},   {2, 0x200000a2},   {4, 0x200000a3},      {8, 0x200000a3},
    {16, 0x200000a4},  {32, 0x200000a5},  {64, 0x200000a6},     {128, 0x200000a7},
    {256, 0x200000a8}, {512, 0x200000a9}, {0x4000, 0x200000ab}, {0x8000, 0x200000ac},
};
constexpr StatusCode kEsd[] = {
    {0xE0000001, 0x200000ae}, {0xE0000002, 0x200000af}, {0xE0000004, 0x200000b0},
    {0xE0000005, 0x200000b1}, {0xE0000006, 0x200000b2}, {0xE0000007, 0x200000b3},
    {0xE0000009, 0x200000b4}, {0xE000000A, 0x200000b5}, {0xE000000B, 0x200000b6},
    {0xE000000D, 0x200000b7}, {0xE000000E, 0x200000b8}, {0xE000000F, 0x200000b9},
    {0xE0000010, 0x200000ba}, {0xE0000011, 0x200000bb}, {0xE0000012, 0x200000bc},
};
constexpr StatusCode kKvaser[] = {{2, 0x200000be},    {128, 0x200000bf}, {256, 0x200000c0},
                                  {1536, 0x200000c1}, {-1, 0x200000c4},  {-3, 0x200000c2},
                                  {-5, 0x200000c3},   {-10, 0x200000c5}};

template <size_t N>
std::optional<uint32_t> Look(const StatusCode (&table)[N], int64_t status) {
    for (const auto &entry : table)
        if (entry.status == status) return entry.code;
    return std::nullopt;
}

// Vendor statuses come as signed or unsigned 32-bit values; compare them as the vendor's word.
int64_t Unsigned32(int64_t status) { return static_cast<uint32_t>(status); }
int64_t Signed32(int64_t status) { return static_cast<int32_t>(status); }

} // namespace

bool MapCanStatus(CanFamily family, int64_t status) {
    switch (family) {
    case CanFamily::IxxatV3:
        return SetError(Look(kIxxatV3, Unsigned32(status)).value_or(0x20000083));
    case CanFamily::IxxatV2:
        return SetError(Look(kIxxatV2, Signed32(status)).value_or(0x20000083));
    case CanFamily::SysTec:
        return SetError(Look(kSysTec, status).value_or(0x2000008b));
    case CanFamily::Peak:
        return SetError(Look(kPeak, Unsigned32(status)).value_or(0x200000aa));
    case CanFamily::Esd:
        return SetError(Look(kEsd, Unsigned32(status)).value_or(static_cast<uint32_t>(status)));
    case CanFamily::Kvaser:
        return SetError(Look(kKvaser, Signed32(status)).value_or(static_cast<uint32_t>(status)));
    case CanFamily::Ascii:
    case CanFamily::SocketCan:
        return SetError(static_cast<uint32_t>(status));
    }
    return SetError(static_cast<uint32_t>(status));
}

bool CanReceiveQueue::Append(const DriveMessage &message) {
    std::lock_guard lock(mutex_);
    if (count_ == kCapacity) return false;
    At(count_) = Entry{message, next_++};
    ++count_;
    return true;
}

bool CanReceiveQueue::Take(DriveMessage &message) {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return false;
    message = At(0).message;
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
}

uint32_t CanReceiveQueue::Mark() const {
    std::lock_guard lock(mutex_);
    return next_;
}

bool CanReceiveQueue::TakeBefore(uint32_t mark, DriveMessage &message) {
    std::lock_guard lock(mutex_);
    if (count_ == 0 || !Before(At(0).number, mark)) return false;
    message = At(0).message;
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
}

bool CanReceiveQueue::TakeFrom(uint32_t mark, DriveMessage &message) {
    std::lock_guard lock(mutex_);
    // Numbers grow from the head: the first one from the mark on is the oldest of them.
    uint8_t found = 0;
    while (found < count_ && Before(At(found).number, mark)) ++found;
    if (found == count_) return false;
    message = At(found).message;
    for (uint8_t i = found; i + 1 < count_; ++i) At(i) = At(static_cast<uint8_t>(i + 1));
    --count_;
    return true;
}

uint8_t CanReceiveQueue::Count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

const CanBitRate *FindCanBitRate(uint32_t bitsPerSecond) {
    auto it = std::find_if(kBitRates.begin(), kBitRates.end(),
                           [bitsPerSecond](const CanBitRate &r) { return r.bitsPerSecond == bitsPerSecond; });
    return it == kBitRates.end() ? nullptr : &*it;
}

bool CanLink::ReadBytes(std::span<uint8_t>) { return SetError(Error::NotForChannelType); }

bool CanLink::WriteBytes(std::span<const uint8_t>) { return SetError(Error::NotForChannelType); }

bool CanFrameForHost(const CanFrame &frame, uint8_t protocolFlag, uint16_t hostAddress, DriveMessage &message) {
    if (frame.extended == (protocolFlag == CHANNEL_PROTOCOL_TORVANECAN)) return false;
    return CanFrameToMessage(frame, protocolFlag, hostAddress, message);
}

bool CanLink::Accept(const CanFrame &frame, DriveMessage &message) const {
    if (!CanFrameForHost(frame, slot_.protocolFlag, slot_.hostAddress, message)) return false;
    TraceCan(kLogTraffic, "CAN Message Received", frame.id, frame.bytes.data(), frame.dlc);
    return true;
}

int CanLink::Receive(DriveMessage &message) {
    if (queue_.Take(message)) return 1;
    return AwaitFrame(message);
}

int CanLink::ReceiveSince(uint32_t mark, DriveMessage &message) {
    if (queue_.TakeFrom(mark, message)) return 1;
    return AwaitFrame(message);
}

// The clock is read before the frame goes to the adapter: it may be on the bus before the
// vendor's call returns.
int CanLink::Send(const CanFrame &frame) {
    const uint64_t start = platform::MicrosecondClock();
    const int result = Transmit(frame);
    earliestAnswer_ = result == 1 ? EarliestAnswer(start, frame) : 0;
    return result;
}

// No answer can be read before the frame and the shortest frame of the protocol's kind have
// crossed the bus at the adapter's bit rate. Unknown for a rate outside the table.
uint64_t CanLink::EarliestAnswer(uint64_t sentAt, const CanFrame &frame) const {
    const uint32_t rate = slot_.typeArea.can.canBitRate;
    if (!FindCanBitRate(rate)) return 0;
    const uint64_t bits = CanFrameBits(frame.extended, frame.dlc) + CanFrameBits(!Torvane(), 0);
    return sentAt + bits * 1000000u / rate;
}

int CanLink::AwaitFrame(DriveMessage &message) {
    const uint32_t start = platform::TickCount();
    const uint32_t limit = Shared()->settings.canReceiveTimeout;
    PollBackoff backoff(TakeEarliestAnswer());
    while (true) {
        CanFrame frame;
        switch (Poll(frame, true)) {
        case PollResult::Frame:
            if (Accept(frame, message)) return 1;
            backoff.Reset();
            break;
        case PollResult::Empty:
            if (platform::TicksSince(start) >= limit) return 0;
            backoff.Pause();
            continue;
        case PollResult::Again:
        case PollResult::Dropped:
            break;
        case PollResult::Nothing:
            return 0;
        case PollResult::Failed:
            return -1;
        }
        if (platform::TicksSince(start) >= limit) return 0;
    }
}

bool CanLink::SetAsideWaiting() {
    // Bounded like a receive, should the bus bring frames faster than they are read.
    const uint32_t start = platform::TickCount();
    const uint32_t limit = Shared()->settings.canReceiveTimeout;
    do {
        CanFrame frame;
        const PollResult result = Poll(frame, false);
        if (result == PollResult::Failed) return false;
        if (result == PollResult::Dropped) continue;
        if (result != PollResult::Frame) return true;
        DriveMessage message{};
        if (Accept(frame, message)) SetAside(message);
    } while (platform::TicksSince(start) < limit);
    return true;
}

// A full queue makes room: its oldest message goes where a reply wait would have taken it,
// to the unsolicited-message handler, or nowhere without one.
void CanLink::SetAside(const DriveMessage &message) {
    if (queue_.Append(message)) return;
    DriveMessage oldest{};
    if (queue_.Take(oldest))
        if (auto handler = Context().unsolicitedHandler) handler(&oldest);
    queue_.Append(message);
}

int32_t CanLink::BytesInQueue() {
    while (queue_.Count() < CanReceiveQueue::kCapacity) {
        CanFrame frame;
        const PollResult result = Poll(frame, false);
        if (result == PollResult::Failed) return -1;
        if (result == PollResult::Dropped) continue;
        if (result != PollResult::Frame) break;
        DriveMessage message{};
        if (Accept(frame, message)) queue_.Append(message);
    }
    return static_cast<int32_t>(queue_.Count() * RecordSize());
}

bool CanLink::FollowHost(uint16_t address) {
    if (address == filterHost_) return true;
    if (!FollowHostAddress(address)) return false;
    filterHost_ = address;
    return true;
}

bool CanLink::SetLinkBaudRate(uint32_t rate) {
    if (rate == slot_.typeArea.can.canBitRate) return true;
    const CanBitRate *entry = FindCanBitRate(rate);
    if (!entry) return SetError(Error::BaudRateNotSupported);
    if (!ApplyBitRate(*entry)) return false;
    slot_.typeArea.can.canBitRate = rate;
    return true;
}

CanLink *CurrentCanLink() {
    Link *link = CurrentLink();
    return link ? link->AsCan() : nullptr;
}

std::unique_ptr<CanLink> MakeCanLink(Slot &slot, uint8_t channelType) {
    switch (channelType) {
    case CHANNEL_IXXAT_CAN:
        return MakeIxxatLink(slot);
    case CHANNEL_SYS_TEC_USBCAN:
        return MakeSysTecLink(slot);
    case CHANNEL_PEAK_PCAN_PCI:
    case CHANNEL_PEAK_PCAN_ISA:
    case CHANNEL_PEAK_PCAN_USB:
    case CHANNEL_PEAK_PCAN_DONGLE:
        return MakePeakLink(slot, channelType);
    case CHANNEL_ESD_CAN:
        return MakeEsdLink(slot);
    case CHANNEL_LAWICEL_USBCAN:
        return MakeAsciiCanLink(slot);
    case CHANNEL_KVASER_CAN:
        return MakeKvaserLink(slot);
    default:
        SetError(Error::InvalidParameter);
        return nullptr;
    }
}

} // namespace zorcomm

#include "transport/ascii_can_link.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "transport/can_families.h"

namespace zorcomm {

namespace {

constexpr uint8_t kCarriageReturn = 0x0D;
constexpr uint8_t kBell = 0x07;

// The answer to "F": status flags, most telling first.
struct StatusCode {
    uint8_t flag;
    uint32_t code;
};
constexpr std::array<StatusCode, 5> kRefusals{{
    {0x80, 0x200000fb}, // bus error
    {0x40, 0x200000fc}, // arbitration lost
    {0x08, 0x200000fd}, // data overrun
    {0x02, 0x200000fe}, // transmit queue full
    {0x01, 0x200000ff}, // receive queue full
}};
constexpr uint32_t kGeneralFailure = 0x200000fa;

bool Write(AsciiCanPort &port, std::string_view text) {
    return port.WriteBytes({reinterpret_cast<const uint8_t *>(text.data()), text.size()});
}

bool ReadByte(AsciiCanPort &port, uint8_t &byte) { return port.ReadBytes({&byte, 1}); }

bool Broken() { return SetError(Error::ProtocolBroken); }

// The value of `digits` hex digits, most significant first; false on a non-digit.
bool HexValue(std::span<const uint8_t> digits, uint32_t &value) {
    value = 0;
    for (uint8_t character : digits) {
        const uint8_t digit = HexDigitValue(character);
        if (digit > 15) return false;
        value = value << 4 | digit;
    }
    return true;
}

bool Command(AsciiCanPort &port, uint8_t protocolFlag, const char *text) {
    return Write(port, text) && AsciiCanReadResponse(port, protocolFlag, kAsciiAfterCommand);
}

// The adapter's status after a refusal, as an error code.
bool ReportRefusal(AsciiCanPort &port, uint8_t mask) {
    if (!Write(port, "F\r")) return false;
    std::array<uint8_t, 4> answer{};
    if (!port.ReadBytes(answer) || answer[0] != 'F' || answer[3] != kCarriageReturn) {
        port.DrainInput();
        return false;
    }
    uint32_t status = 0;
    if (!HexValue(std::span(answer).subspan(1, 2), status)) return Broken();
    status &= mask;
    for (const auto &refusal : kRefusals)
        if (status & refusal.flag) return SetError(refusal.code);
    return SetError(kGeneralFailure);
}

} // namespace

uint8_t HexDigitValue(uint8_t character) {
    if (character >= '0' && character <= '9') return static_cast<uint8_t>(character - '0');
    if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 10);
    return 255;
}

bool AsciiCanSetup(AsciiCanPort &port, int code) {
    // Carriage returns end whatever half-written command the adapter may still hold.
    if (!Write(port, "\r\r\r\r\r\r\r\r\rC\r")) return false;
    platform::Sleep(10);
    port.DrainInput();
    // The set-up commands are the same under both protocols; only transmits differ.
    constexpr uint8_t kAny = CHANNEL_PROTOCOL_ORV;
    std::array<char, 16> rate{};
    std::snprintf(rate.data(), rate.size(), "S%d\r", code);
    std::array<char, 16> stamps{};
    std::snprintf(stamps.data(), stamps.size(), "Z%ld\r", 0L);
    std::array<char, 16> acceptanceCode{};
    std::snprintf(acceptanceCode.data(), acceptanceCode.size(), "M%08lX\r", 0UL);
    std::array<char, 16> acceptanceMask{};
    std::snprintf(acceptanceMask.data(), acceptanceMask.size(), "m%08lX\r", 0xFFFFFFFFUL);
    return Command(port, kAny, stamps.data()) && Command(port, kAny, rate.data()) &&
           Command(port, kAny, acceptanceCode.data()) &&
           Command(port, kAny, acceptanceMask.data()) && Command(port, kAny, "O\r");
}

bool AsciiCanClose(AsciiCanPort &port) {
    const bool written = Write(port, "C\r");
    // The drain discards pending output too: give the command time to leave first, as the
    // set-up does.
    platform::Sleep(10);
    port.DrainInput();
    return written;
}

bool AsciiCanReadResponse(AsciiCanPort &port, uint8_t protocolFlag, uint8_t mask,
                          uint8_t *first) {
    uint8_t byte = 0;
    if (!ReadByte(port, byte)) return false;
    if (first) *first = byte;
    if (mask & 0x02) {
        const uint8_t confirmation = protocolFlag == CHANNEL_PROTOCOL_TORVANECAN ? 'z' : 'Z';
        // The caller may take the byte for the start of a received frame.
        if (byte != confirmation) return Broken();
        if (!ReadByte(port, byte)) return false;
    }
    if (byte == kCarriageReturn) return true;
    if (byte == kBell) return ReportRefusal(port, mask);
    return Broken();
}

namespace {

// After a frame that makes no sense, the bytes up to the end of its line are read and dropped,
// so that the next read starts at the beginning of a frame. Otherwise one stray byte (a frame
// half read by a process that was killed, a byte lost on the line) would put every later read
// of the port out of step for good. The frame's own error stays.
void SkipRestOfLine(AsciiCanPort &port, uint8_t last) {
    const uint32_t code = Context().lastError;
    // No line of the adapter is longer than an extended frame with eight bytes (27 characters):
    // a port that never sends an end of line does not keep the read here.
    constexpr int kLongestLine = 32;
    uint8_t byte = last;
    for (int read = 0; read < kLongestLine && byte != kCarriageReturn && byte != kBell; ++read) {
        if (!ReadByte(port, byte)) break;
    }
    Context().lastError = code;
}

bool ReadFrameText(AsciiCanPort &port, CanFrame &frame, uint8_t first, uint8_t &last) {
    last = first;
    if (first != 'T' && first != 't') return Broken();
    CanFrame read;
    read.extended = first == 'T';
    const size_t idDigits = read.extended ? 8 : 3;
    std::array<uint8_t, 9> head{};
    const auto headBytes = std::span(head).first(idDigits + 1);
    if (!port.ReadBytes(headBytes)) return false;
    last = headBytes.back();
    if (!HexValue(headBytes.first(idDigits), read.id)) return Broken();
    const uint8_t dlc = HexDigitValue(headBytes[idDigits]);
    if (dlc > 8) return Broken();
    read.dlc = dlc;
    std::array<uint8_t, 17> rest{};
    const auto restBytes = std::span(rest).first(2u * dlc + 1);
    if (!port.ReadBytes(restBytes)) return false;
    last = restBytes.back();
    for (size_t i = 0; i < dlc; ++i) {
        uint32_t value = 0;
        if (!HexValue(restBytes.subspan(2 * i, 2), value)) return Broken();
        read.bytes[i] = static_cast<uint8_t>(value);
    }
    if (restBytes.back() != kCarriageReturn) return Broken();
    // Three digits reach 0xFFF and eight 0xFFFFFFFF, more than a frame of the kind carries; such
    // a frame is refused whole, so the next one is read from its start.
    if (read.id >= (read.extended ? 1u << 29 : 1u << 11)) return Broken();
    frame = read;
    return true;
}

} // namespace

bool AsciiCanReadFrame(AsciiCanPort &port, CanFrame &frame, uint8_t first) {
    if (first == 0 && !ReadByte(port, first)) return false;
    uint8_t last = first;
    if (ReadFrameText(port, frame, first, last)) return true;
    if (Context().lastError == static_cast<uint32_t>(Error::ProtocolBroken)) SkipRestOfLine(port, last);
    return false;
}

bool AsciiCanWriteFrame(AsciiCanPort &port, const CanFrame &frame) {
    const uint32_t limit = frame.extended ? 1u << 29 : 1u << 11;
    if (frame.dlc > 8 || frame.id >= limit) return SetError(Error::InvalidParameter);
    // "T" + 8 digits + DLC + 16 data digits + CR, and the terminating zero.
    std::array<char, 28> text{};
    int length = frame.extended
                     ? std::snprintf(text.data(), text.size(), "T%08lX", static_cast<unsigned long>(frame.id))
                     : std::snprintf(text.data(), text.size(), "t%03lX", static_cast<unsigned long>(frame.id));
    text[static_cast<size_t>(length++)] = static_cast<char>('0' + frame.dlc);
    for (size_t i = 0; i < frame.dlc; ++i)
        length += std::snprintf(text.data() + length, text.size() - static_cast<size_t>(length),
                                "%02hX", static_cast<unsigned short>(frame.bytes[i]));
    text[static_cast<size_t>(length++)] = static_cast<char>(kCarriageReturn);
    return Write(port, std::string_view(text.data(), static_cast<size_t>(length)));
}

int AsciiCanSend(AsciiCanPort &port, const AsciiCanChannel &channel, const CanFrame &frame) {
    if (!AsciiCanWriteFrame(port, frame)) return -1;
    const uint32_t start = platform::TickCount();
    const bool torvane = channel.protocolFlag == CHANNEL_PROTOCOL_TORVANECAN;
    while (true) {
        uint8_t first = 0;
        if (AsciiCanReadResponse(port, channel.protocolFlag, kAsciiAfterTransmit, &first)) return 1;
        if (Context().lastError != static_cast<uint32_t>(Error::ProtocolBroken)) return -1;
        // Not a confirmation: a frame from the bus came first.
        CanFrame received;
        if (!AsciiCanReadFrame(port, received, first)) return -1;
        DriveMessage message{};
        if (received.extended != torvane &&
            CanFrameToMessage(received, channel.protocolFlag, channel.hostAddress, message)) {
            TraceCan(kLogTraffic, "CAN Message Received", received.id, received.bytes.data(),
                     received.dlc);
            DeliverUnsolicited(message);
        }
        if (platform::TicksSince(start) >= channel.replyTimeout) {
            SetError(Error::SendTimeout);
            return 0;
        }
    }
}

AsciiCanLink::AsciiCanLink(Slot &slot)
    : CanLink(slot, CanFamily::Ascii) {
    port_.emplace(slot, CHANNEL_LAWICEL_USBCAN);
}

AsciiCanLink::~AsciiCanLink() {
    // The adapter's CAN channel stays open while another process still uses the port.
    if (adapterOpen_ && !SharedWithOthers()) AsciiCanClose(*this);
}

bool AsciiCanLink::ApplyAdapterTimeouts() {
    // The serial keys do not matter to this port; its time-outs come from the CAN keys.
    return SetSerialTimeouts(
        SerialTimeoutsFor(CHANNEL_LAWICEL_USBCAN, SerialTimeoutSettings{}, Shared()->settings));
}

bool AsciiCanLink::Open(uint32_t number) {
    number_ = number;
    if (!port_->Open(number)) return false;
    // The port was given the RS-232 time-outs while the slot's type was not recorded yet; the
    // adapter's answers need its own, with the wait for a first byte bounded.
    if (!ApplyAdapterTimeouts() || !AsciiCanSetup(*this, 6)) {
        const uint32_t code = Context().lastError;
        slot_.channelHandle = 0;
        port_.reset();
        Context().lastError = code;
        return SetError(Error::CannotSetupPort);
    }
    adapterOpen_ = true;
    slot_.typeArea.can.canBitRate = kStartBitRate;
    return true;
}

bool AsciiCanLink::Join(uint32_t number) {
    number_ = number;
    if (!port_->Join(number)) return false;
    adapterOpen_ = true;
    return true;
}

bool AsciiCanLink::ReadBytes(std::span<uint8_t> bytes) {
    return port_ ? port_->ReadBytes(bytes) : SetError(Error::PortNotOpened);
}

bool AsciiCanLink::WriteBytes(std::span<const uint8_t> bytes) {
    return port_ ? port_->WriteBytes(bytes) : SetError(Error::PortNotOpened);
}

void AsciiCanLink::DrainInput() {
    if (port_) port_->DrainInput();
}

// What a process killed in the middle of an exchange had on its way stays on the port the
// processes share: the start of a command the adapter waits to see ended, the confirmation and
// the answer still to come. The next reader would take them for its own. The command is ended
// (the adapter refuses it unless it was whole) and the port emptied until it has been quiet for
// a while, so that the next exchange starts in step.
void AsciiCanLink::RecoverAfterAbandonedLock() {
    constexpr uint32_t kQuietMs = 50, kStepMs = 5, kLimitMs = 1000;
    if (!port_) return;
    const std::array<uint8_t, 1> end{'\r'};
    port_->WriteBytes(end);
    // Only the input is emptied: a purge of the output could take the carriage return back
    // before the adapter has read it.
    const uint32_t start = platform::TickCount();
    uint32_t quietSince = start;
    while (platform::TicksSince(quietSince) < kQuietMs && platform::TicksSince(start) < kLimitMs) {
        platform::Sleep(kStepMs);
        const int32_t waiting = port_->BytesInQueue();
        if (waiting < 0) return;
        if (waiting == 0) continue;
        port_->PurgeInput();
        quietSince = platform::TickCount();
    }
}

int32_t AsciiCanLink::BytesInQueue() {
    if (port_) return port_->BytesInQueue();
    SetError(Error::PortNotOpened);
    return -1;
}

bool AsciiCanLink::SetSerialTimeouts(const platform::SerialTimeouts &timeouts) {
    return port_ && port_->SetSerialTimeouts(timeouts);
}

uint32_t AsciiCanLink::Handle() const { return port_ ? port_->Handle() : 0; }

int AsciiCanLink::Send(const CanFrame &frame) {
    const AsciiCanChannel channel{slot_.protocolFlag, slot_.hostAddress, slot_.replyTimeout};
    return AsciiCanSend(*this, channel, frame);
}

PollResult AsciiCanLink::Poll(CanFrame &frame, bool) {
    if (AsciiCanReadFrame(*this, frame)) return PollResult::Frame;
    // Nothing came within the port's time-outs: look again until the receive time-out.
    if (Context().lastError == static_cast<uint32_t>(Error::ReceiveTimeout)) return PollResult::Again;
    return PollResult::Failed;
}

bool AsciiCanLink::ApplyBitRate(const CanBitRate &rate) { return AsciiCanSetup(*this, rate.asciiCode); }

bool AsciiCanLink::SharedWithOthers() const {
    for (const Slot &other : Shared()->slotTable) {
        if (&other == &slot_ || other.processId == 0 || other.channelHandle == 0) continue;
        if (other.channelType == CHANNEL_LAWICEL_USBCAN && other.channelNumber == number_)
            return true;
    }
    return false;
}

std::unique_ptr<CanLink> MakeAsciiCanLink(Slot &slot) { return std::make_unique<AsciiCanLink>(slot); }

} // namespace zorcomm

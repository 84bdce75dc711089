#include "protocol/block_transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "codec/drive_message.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "protocol/engine.h"
#include "transport/link.h"
#include "transport/device_server.h"

namespace zorcomm {

namespace {

constexpr uint32_t kProgressInterval = 1000; // ms between two progress reports
constexpr size_t kProgressTextSize = 128;

Slot &Current() { return *Context().currentSlot; }

// The failures of a transfer: most write the command's failure line, an abort by the callback
// and a refused download pointer do not.
enum class Outcome { Done, Failed, Stopped };

struct Direction {
    const char *startText; // formatted with the integer 0
    const char *stepText;  // formatted with the percentage
    const char *failureLine;
};
constexpr Direction kSending{"Sending data... %i%%", "Sending data... %.0f%%",
                             "<Send data> cmd. failed!"};
constexpr Direction kReceiving{"Receiving data... %i%%", "Receiving data... %.0f%%",
                               "<Get data> cmd. failed!"};

// The start, rate-limited step and completion reports of one transfer.
class BlockProgress {
public:
    BlockProgress(const ProgressReport &report, const Direction &direction, uint32_t pairs)
        : report_(report), direction_(direction), pairs_(pairs) {}

    void Start() {
        if (!report_) return;
        last_ = platform::TickCount();
        std::snprintf(text_.data(), text_.size(), direction_.startText, 0);
        report_(PROGRESS_START, text_.data(), 0.0f);
    }

    // After step `index`; false (error 0x2000007a set) when the report asks to stop.
    bool Step(uint32_t index) {
        if (!report_ || platform::TicksSince(last_) <= kProgressInterval) return true;
        const float percent =
            static_cast<float>(index + 1) * 100.0f / static_cast<float>(pairs_ + 1);
        std::snprintf(text_.data(), text_.size(), direction_.stepText, percent);
        if (!report_(PROGRESS_STEP, text_.data(), percent)) return SetError(Error::Interrupted);
        last_ = platform::TickCount();
        return true;
    }

    void Done() {
        if (!report_) return;
        CopyCut("Done", text_);
        report_(PROGRESS_STEP, text_.data(), 100.0f);
    }

private:
    const ProgressReport &report_;
    const Direction &direction_;
    uint32_t pairs_;
    uint32_t last_ = 0;
    std::array<char, kProgressTextSize> text_; // written before every report
};

// Built where it lies: a message returned by value travels in two registers packed from its
// 16-bit fields, and unpacking them stalls the processor, several nanoseconds a message.
void FillMessage(DriveMessage &message, uint16_t opCode, uint16_t first,
                 std::span<const uint16_t> words) {
    message = DriveMessage{};
    message.address = Current().activeAddress;
    message.opCode = opCode;
    message.data[message.length++] = first;
    for (uint16_t word : words) message.data[message.length++] = word;
}

bool Finish(Outcome outcome, BlockProgress &progress, const Direction &direction) {
    if (outcome == Outcome::Done) {
        progress.Done();
        return true;
    }
    if (outcome == Outcome::Failed) Log(kLogErrors, "MSK Error", direction.failureLine);
    return false;
}

// SPI memory: the download pointer must name `expected` before each message goes out.
bool CheckDownloadPointer(uint16_t expected) {
    uint16_t pointer = 0;
    if (!ReceiveDataBlock({&pointer, 1}, kDownloadPointerAddress, MEMORY_DATA, {})) return false;
    if (pointer != expected) return SetError(Error::DownloadCounter);
    return true;
}

Outcome WriteByMessages(std::span<const uint16_t> words, uint16_t address, uint8_t memoryType,
                        BlockProgress &progress) {
    const bool direct = memoryType == MEMORY_DATA;
    if (!direct && !SetDownloadPointer(address)) return Outcome::Stopped;
    const BlockCut cut(static_cast<uint16_t>(words.size()));
    for (uint32_t step = 0; step < cut.steps; ++step) {
        const uint16_t count = cut.WordsOf(step);
        const uint16_t at = static_cast<uint16_t>(address + 2 * step);
        const auto part = words.subspan(2 * step, count);
        DriveMessage message;
        if (direct) FillMessage(message, DataWriteOpCode(count), at, part);
        else FillMessage(message, PointerWriteOpCode(memoryType, count), kDownloadPointerAddress, part);
        if (memoryType == MEMORY_SPI && !CheckDownloadPointer(at)) return Outcome::Failed;
        // A write through the pointer whose acknowledge was lost may have been carried out,
        // and the drive advances the pointer with every word it writes: before the message
        // goes again, the pointer is put back where its words belong.
        const auto pointerBack = [at] { return SetDownloadPointer(at); };
        BeforeResend beforeResend;
        if (!direct) beforeResend = pointerBack;
        if (SendDriveMessage(&message, beforeResend) < 1) return Outcome::Failed;
        if (!progress.Step(step)) return Outcome::Stopped;
    }
    return Outcome::Done;
}

// One read request and its reply, with the tries of the channel type. True when the reply came
// and its words are in `out`.
bool ReadStep(uint16_t address, uint8_t memoryType, std::span<uint16_t> out) {
    const Slot &slot = Current();
    const uint16_t count = static_cast<uint16_t>(out.size());
    const uint16_t replyTo = ReplyToAddress(slot);
    const uint16_t request[] = {address};
    DriveMessage question;
    FillMessage(question, ReadRequestOpCode(memoryType, count), replyTo, request);
    const uint16_t mask = ReplyAddressMask(slot.protocolFlag);
    auto isReply = [&](const DriveMessage &m) {
        return m.opCode == ReadReplyOpCode(count) && (m.address & mask) == (replyTo & mask) &&
               (m.data[0] & mask) == (question.address & mask) && m.data[1] == address &&
               m.length == count + 2;
    };
    const uint8_t tries = IsCanType(slot.channelType) ? 1 : Context().settings.noTries;
    for (uint8_t attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) {
            Log(kLogInfo, "MSK Warning", "Retrying <Get data>");
            if (!ResyncLink()) return false;
        }
        ReplyMark mark;
        if (!MarkReplyWait(mark)) return false;
        // The acknowledge, then the reply frame: length byte, address, op code, the address
        // asked for, the requested address and the words, checksum.
        if (mark.link) mark.link->AnswerFollows(1 + 2 * (count + 2) + 6);
        if (SendDriveMessage(&question) < 1) return false;
        DriveMessage reply{};
        // The reply the link fetched with the acknowledge, taken where it lies. Any other frame
        // it holds goes where the wait would send it, and the wait goes on from there.
        bool atHand = mark.link && mark.link->FrameAtHand();
        if (mark.byteStream && mark.link->TakeHeldFrame(reply)) {
            if (isReply(reply)) {
                for (size_t i = 0; i < out.size(); ++i) out[i] = reply.data[2 + i];
                return true;
            }
            DeliverUnsolicited(reply);
            atHand = false;
        }
        const int result = AwaitReply(mark, atHand ? 0 : platform::TickCount(), slot.replyTimeout,
                                      isReply, reply, atHand);
        if (result < 0) return false;
        if (result == 1) {
            for (size_t i = 0; i < out.size(); ++i) out[i] = reply.data[2 + i];
            return true;
        }
    }
    return false;
}

Outcome ReadByMessages(std::span<uint16_t> words, uint16_t address, uint8_t memoryType,
                       BlockProgress &progress) {
    const BlockCut cut(static_cast<uint16_t>(words.size()));
    uint16_t at = address;
    for (uint32_t step = 0; step < cut.steps; ++step) {
        const uint16_t count = cut.WordsOf(step);
        if (!ReadStep(at, memoryType, words.subspan(2 * step, count))) return Outcome::Failed;
        at = static_cast<uint16_t>(at + count);
        if (!progress.Step(step)) return Outcome::Stopped;
    }
    return Outcome::Done;
}

// ---- The device server's fast path: the whole block in one command on its TCP connection ----

constexpr uint8_t kFastWrite = 0x20;
constexpr uint8_t kFastRead = 0x10;
constexpr uint16_t kFastReplyTimeoutLimit = 500;
constexpr size_t kFastChunkWords = 4;
constexpr uint8_t kStepDone = 0;
constexpr uint8_t kBlockDone = 1;

bool FastPathOpen() {
    return Current().channelType == CHANNEL_XPORT_TCP && DeviceServerConnected();
}

// Small writes to data memory cost less as messages than as a block command.
bool WritesFast(uint8_t memoryType, size_t count) {
    return FastPathOpen() && !(memoryType == MEMORY_DATA && count <= 4);
}

bool ReadsFast(size_t count) { return count > 4 && FastPathOpen(); }

void PutWord(std::span<uint8_t> bytes, size_t at, uint16_t word) {
    bytes[at] = static_cast<uint8_t>(word);
    bytes[at + 1] = static_cast<uint8_t>(word >> 8);
}

std::array<uint8_t, 10> BlockCommand(bool write, uint8_t memoryType, uint16_t address,
                                     uint16_t count) {
    const Slot &slot = Current();
    // Reads are answered to the host: TorvaneCAN carries only five bits of an axis ID.
    const uint8_t axisMask =
        write || slot.protocolFlag != CHANNEL_PROTOCOL_TORVANECAN ? 0xFF : 0x1F;
    const uint32_t timeout = std::min<uint32_t>(Shared()->settings.udpReceiveTimeout / 2,
                                                kFastReplyTimeoutLimit);
    std::array<uint8_t, 10> command{};
    command[0] = static_cast<uint8_t>((write ? kFastWrite : kFastRead) | memoryType);
    command[1] = Context().settings.noTries;
    PutWord(command, 2, static_cast<uint16_t>(timeout));
    command[4] = static_cast<uint8_t>((slot.hostAddress >> 4) & axisMask);
    command[5] = static_cast<uint8_t>((slot.activeAddress >> 4) & axisMask);
    PutWord(command, 6, address);
    PutWord(command, 8, count);
    return command;
}

// Messages the drives sent meanwhile go to the application's handler, when it has one.
bool DispatchWaitingMessage() {
    if (!Context().unsolicitedHandler) return true;
    const int32_t waiting = BytesInQueue();
    if (waiting < 0) return false;
    if (waiting == 0) return true;
    DriveMessage message{};
    bool acknowledge = false;
    const int received = ReceiveDriveMessage(&message, &acknowledge);
    if (received < 0) return false;
    if (received == 1 && !acknowledge) DeliverUnsolicited(message);
    return true;
}

Outcome WriteFast(std::span<const uint16_t> words, uint16_t address, uint8_t memoryType,
                  BlockProgress &progress) {
    const auto count = static_cast<uint16_t>(words.size());
    std::vector<uint8_t> data(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i) PutWord(data, 2 * i, words[i]);
    if (!TcpSendAll(BlockCommand(true, memoryType, address, count))) return Outcome::Failed;
    const uint8_t *next = data.data();
    auto left = static_cast<int32_t>(data.size());
    if (!TcpSendAvailable(next, left)) return Outcome::Failed;
    const BlockCut cut(count);
    uint8_t status = kStepDone;
    for (uint32_t step = 0; step < cut.steps; ++step) {
        if ((cut.pairs - step) % 2 == 0 && !DispatchWaitingMessage()) return Outcome::Failed;
        if (!TcpSendAvailable(next, left)) return Outcome::Failed;
        if (!TcpReceiveExact({&status, 1})) return Outcome::Failed;
        if (status > kBlockDone) return SetError(Error::ProtocolBroken), Outcome::Failed;
        if (!progress.Step(step)) return Outcome::Stopped;
    }
    if (status != kBlockDone) return SetError(Error::ProtocolBroken), Outcome::Failed;
    return Outcome::Done;
}

Outcome ReadFast(std::span<uint16_t> words, uint16_t address, uint8_t memoryType,
                 BlockProgress &progress) {
    const auto count = static_cast<uint16_t>(words.size());
    if (!TcpSendAll(BlockCommand(false, memoryType, address, count))) return Outcome::Failed;
    const size_t chunks = (words.size() + kFastChunkWords - 1) / kFastChunkWords;
    std::array<uint8_t, kFastChunkWords * 2> bytes{};
    for (size_t chunk = 0; chunk < chunks; ++chunk) {
        if (!DispatchWaitingMessage()) return Outcome::Failed;
        const size_t first = chunk * kFastChunkWords;
        const auto part = words.subspan(first, std::min(kFastChunkWords, words.size() - first));
        if (!TcpReceiveExact(std::span(bytes).first(part.size() * 2))) return Outcome::Failed;
        for (size_t i = 0; i < part.size(); ++i)
            part[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (!progress.Step(static_cast<uint32_t>(chunk))) return Outcome::Stopped;
    }
    return Outcome::Done;
}

// A fast-path transfer that did not finish leaves the device server in the middle of a block:
// the connection starts afresh.
Outcome AfterFastPath(Outcome outcome) {
    if (outcome != Outcome::Done) ResetDeviceServerConnection();
    return outcome;
}

} // namespace

ProgressReport ApplicationProgress(ProgressCallback callback, uint32_t userValue) {
    if (!callback) return {};
    return [callback, userValue](int32_t kind, const char *text, float percent) {
        return callback(kind, text, percent, userValue) != 0;
    };
}

uint16_t ReplyToAddress(const Slot &slot) {
    const uint8_t type = slot.channelType;
    const bool throughHost =
        type == CHANNEL_RS232 || type == CHANNEL_VIRTUAL_SERIAL || IsEthernetType(type);
    return static_cast<uint16_t>(slot.hostAddress | (throughHost ? kPcBit : 0));
}

bool SetDownloadPointer(uint16_t address) {
    const uint16_t start[] = {address};
    DriveMessage message;
    FillMessage(message, DataWriteOpCode(1), kDownloadPointerAddress, start);
    return SendDriveMessage(&message) == 1;
}

bool SendDataBlock(std::span<const uint16_t> words, uint16_t address, uint8_t memoryType,
                   const ProgressReport &report) {
    BlockProgress progress(report, kSending, BlockCut(static_cast<uint16_t>(words.size())).pairs);
    progress.Start();
    if (WritesFast(memoryType, words.size()))
        return Finish(AfterFastPath(WriteFast(words, address, memoryType, progress)), progress,
                      kSending);
    return Finish(WriteByMessages(words, address, memoryType, progress), progress, kSending);
}

bool ReceiveDataBlock(std::span<uint16_t> words, uint16_t address, uint8_t memoryType,
                      const ProgressReport &report) {
    if (ReadsFast(words.size())) {
        // Progress goes by the chunks of four words the device server sends.
        BlockProgress progress(report, kReceiving,
                               static_cast<uint32_t>(words.size() / kFastChunkWords));
        progress.Start();
        return Finish(AfterFastPath(ReadFast(words, address, memoryType, progress)), progress,
                      kReceiving);
    }
    BlockProgress progress(report, kReceiving,
                           BlockCut(static_cast<uint16_t>(words.size())).pairs);
    progress.Start();
    return Finish(ReadByMessages(words, address, memoryType, progress), progress, kReceiving);
}

} // namespace zorcomm

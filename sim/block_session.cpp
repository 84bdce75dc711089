#include "block_session.h"

#include <algorithm>
#include <cstdio>

namespace zsim {

namespace {

constexpr uint16_t kDownloadPointer = 0x032B;
constexpr uint16_t kWriteData = 0x9004;   // | 1 for two words
constexpr uint16_t kWriteThrough = 0xE408; // (| type) << 2, | 1 for two words
constexpr uint16_t kReadRequest = 0xEC00;  // (| type) << 2, | 1 for two words
constexpr uint8_t kDataMemory = 1;
constexpr std::size_t kReadChunkWords = 4;

uint16_t Le16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint16_t TypedOp(uint16_t base, uint8_t type, std::size_t words)
{
    return static_cast<uint16_t>(((base | type) << 2) & 0xFFFF) | static_cast<uint16_t>((words - 1) & 1);
}

} // namespace

BlockCommand BlockCommand::Parse(std::span<const uint8_t, kSize> bytes)
{
    BlockCommand block;
    block.command = bytes[0];
    block.tries = bytes[1];
    block.timeoutMs = Le16(&bytes[2]);
    block.hostAxis = bytes[4];
    block.axis = bytes[5];
    block.address = Le16(&bytes[6]);
    block.count = Le16(&bytes[8]);
    return block;
}

std::string BlockCommand::Describe() const
{
    char text[64];
    std::snprintf(text, sizeof text, "%02X:%u:%u:%u:%u:%04X:%04X", command, tries, timeoutMs, hostAxis, axis,
                  address, count);
    return text;
}

void BlockSession::Receive(std::span<const uint8_t> bytes, Nanos now, DriveNetwork &network, const SerialSide &line)
{
    if (closing_) return;
    clock_ = std::max(clock_, now); // the device server was idle until these bytes came
    in_.insert(in_.end(), bytes.begin(), bytes.end());
    const Exchange exchange{network, line};
    std::size_t at = 0;
    while (!closing_) {
        const std::size_t left = in_.size() - at;
        if (drain_ > 0) {
            const std::size_t take = std::min(drain_, left);
            drain_ -= take;
            at += take;
            if (drain_ > 0) break;
            continue;
        }
        if (!block_) {
            if (left < BlockCommand::kSize) break;
            block_ = BlockCommand::Parse(std::span<const uint8_t, BlockCommand::kSize>(in_.data() + at, BlockCommand::kSize));
            at += BlockCommand::kSize;
            if (!StartBlock(exchange)) block_.reset();
            continue;
        }
        const std::size_t need = 2 * StepWords(step_);
        if (left < need) break;
        WriteStep(exchange, {in_.data() + at, need});
        at += need;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(std::min(at, in_.size())));
    if (closing_) in_.clear();
}

// Takes a new command; true when it is a write that now waits for its data.
bool BlockSession::StartBlock(const Exchange &exchange)
{
    const BlockCommand &block = *block_;
    ++shared_.stats.blocks;
    shared_.history.push_back(block);
    if (shared_.history.size() > BlockShared::kHistoryLimit) shared_.history.pop_front();

    if (shared_.faults.tcpDrop > 0) {
        --shared_.faults.tcpDrop;
        closing_ = true;
        return false;
    }
    if (block.IsRead()) {
        Read(exchange);
        return false;
    }
    if (!block.IsWrite()) {
        // Nothing tells how long its data is: the stream cannot be followed any further.
        closing_ = true;
        return false;
    }
    step_ = 0;
    steps_ = block.count > 2 ? (block.count + 1u) / 2 : 1;
    if (block.memory_type() != kDataMemory) {
        const std::array<uint16_t, 2> pointer{kDownloadPointer, block.address};
        if (!Send(exchange, Message::Make(AxisAddress(block.axis), kWriteData, pointer), nullptr)) {
            ++shared_.stats.failures;
            Status(block_status::kNoAnswer);
            drain_ = 2u * block.count;
            return false;
        }
    }
    if (block.count == 0) {
        // One step without words: nothing for the drive to do.
        Status(block_status::kLastStepDone);
        return false;
    }
    return true;
}

std::size_t BlockSession::StepWords(unsigned step) const
{
    const unsigned count = block_->count;
    if (count <= 2) return count;
    return step < count / 2 ? 2 : 1;
}

void BlockSession::WriteStep(const Exchange &exchange, std::span<const uint8_t> data)
{
    const BlockCommand &block = *block_;
    std::array<uint16_t, 3> words{};
    const std::size_t n = data.size() / 2;
    for (std::size_t i = 0; i < n; ++i) words[1 + i] = Le16(&data[2 * i]);
    uint16_t op;
    if (block.memory_type() == kDataMemory) {
        op = static_cast<uint16_t>(kWriteData | (n - 1));
        words[0] = static_cast<uint16_t>(block.address + 2 * step_);
    } else {
        op = TypedOp(kWriteThrough, block.memory_type(), n);
        words[0] = kDownloadPointer;
    }
    const Message message = Message::Make(AxisAddress(block.axis), op, std::span<const uint16_t>(words.data(), n + 1));
    ++step_;
    if (!Send(exchange, message, nullptr)) {
        ++shared_.stats.failures;
        Status(block_status::kNoAnswer);
        // What is left of the block's data belongs to no command.
        drain_ = 0;
        for (unsigned s = step_; s < steps_; ++s) drain_ += 2 * StepWords(s);
        block_.reset();
        return;
    }
    const bool last = step_ == steps_;
    Status(last ? block_status::kLastStepDone : block_status::kStepDone);
    if (last) block_.reset();
}

void BlockSession::Read(const Exchange &exchange)
{
    const BlockCommand &block = *block_;
    std::size_t allowed = 2u * block.count;
    if (shared_.faults.shortData > 0 && block.count > 0) {
        --shared_.faults.shortData;
        allowed -= 2;
    }
    const uint16_t replyTo = static_cast<uint16_t>(AxisAddress(block.hostAxis) | kPcBit);
    std::vector<uint8_t> chunk;
    std::size_t sent = 0;
    auto flush = [&] {
        const std::size_t take = std::min(chunk.size(), allowed - sent);
        if (take > 0) Put(std::vector<uint8_t>(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take)));
        sent += take;
        chunk.clear();
    };
    for (unsigned done = 0; done < block.count;) {
        const std::size_t n = block.count - done >= 2 ? 2 : 1;
        const uint16_t at = static_cast<uint16_t>(block.address + done);
        const std::array<uint16_t, 2> request{replyTo, at};
        std::vector<uint16_t> words;
        if (!Send(exchange, Message::Make(AxisAddress(block.axis), TypedOp(kReadRequest, block.memory_type(), n), request),
                  &words)) {
            ++shared_.stats.failures;
            flush();
            closing_ = true;
            return;
        }
        for (uint16_t word : words) {
            chunk.push_back(static_cast<uint8_t>(word));
            chunk.push_back(static_cast<uint8_t>(word >> 8));
        }
        done += static_cast<unsigned>(n);
        if (chunk.size() >= 2 * kReadChunkWords || done == block.count) flush();
    }
}

bool BlockSession::Send(const Exchange &exchange, const Message &message, std::vector<uint16_t> *answer)
{
    const BlockCommand &block = *block_;
    const Nanos timeout = Milliseconds(block.timeoutMs);
    const unsigned tries = std::max<unsigned>(block.tries, 1);
    const std::size_t n = answer ? (message.opCode & 1u) + 1 : 0;
    for (unsigned attempt = 0; attempt < tries; ++attempt) {
        clock_ += CharTime(exchange.line, BuildFrame(message).size());
        const Nanos sent = clock_;
        DriveNetwork::Answer heard;
        for (Drive *listener : exchange.network.Listeners()) {
            if (listener->baud() != exchange.line.rate) continue; // it makes nothing of the bytes
            auto reply = exchange.network.Receive(*listener, message, sent);
            heard.acknowledge = heard.acknowledge || reply.acknowledge;
            heard.replies.insert(heard.replies.end(), reply.replies.begin(), reply.replies.end());
            heard.delay = std::max(heard.delay, reply.delay);
        }
        bool answered = false;
        std::size_t answerBytes = heard.acknowledge ? 1 : 0;
        if (!answer) {
            answered = heard.acknowledge;
        } else {
            for (const Message &reply : heard.replies) {
                answerBytes += BuildFrame(reply).size();
                if (reply.opCode == (op::kReadReply | (n - 1)) && reply.length == 2 + n &&
                    reply.data[1] == message.data[1]) {
                    answer->assign(reply.data.begin() + 2, reply.data.begin() + 2 + static_cast<std::ptrdiff_t>(n));
                    answered = true;
                }
            }
        }
        const Nanos arrives = heard.delay + CharTime(exchange.line, answerBytes);
        if (answered && arrives <= timeout) {
            clock_ = sent + arrives;
            ++shared_.stats.steps;
            return true;
        }
        clock_ = sent + timeout;
    }
    return false;
}

Nanos BlockSession::CharTime(const SerialSide &line, std::size_t bytes) const
{
    if (!line.pace) return 0;
    return BitTime(uint64_t{bytes} * line.bitsPerChar, line.rate);
}

void BlockSession::Status(uint8_t status)
{
    if (shared_.faults.badStatus > 0) {
        --shared_.faults.badStatus;
        status = shared_.faults.badStatusValue;
    }
    Put({status});
}

void BlockSession::Put(std::vector<uint8_t> bytes)
{
    out_.push_back(Out{clock_, std::move(bytes)});
}

std::vector<uint8_t> BlockSession::TakeDue(Nanos now)
{
    std::vector<uint8_t> bytes;
    while (!out_.empty() && out_.front().due <= now) {
        bytes.insert(bytes.end(), out_.front().bytes.begin(), out_.front().bytes.end());
        out_.pop_front();
    }
    return bytes;
}

std::optional<Nanos> BlockSession::NextDue() const
{
    if (out_.empty()) return std::nullopt;
    return out_.front().due;
}

} // namespace zsim

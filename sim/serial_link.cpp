#include "serial_link.h"

#include <algorithm>

namespace zsim {

SerialLink::SerialLink(DriveNetwork &network, LinkOptions options) : network_(network), options_(options)
{
    for (Drive *drive : network_.Listeners()) listeners_.push_back(Listener{drive->axis(), {}, 0});
}

uint32_t SerialLink::TravelRate(uint32_t rate) const
{
    return rate == kAnyRate ? network_.host().baud() : rate;
}

void SerialLink::Receive(std::span<const uint8_t> bytes, uint32_t lineRate, Nanos now)
{
    ++chunk_;
    for (uint8_t byte : bytes) {
        ++stats_.rxBytes;
        if (!ApplyRxFaults(byte)) continue;
        const Nanos arrival = options_.pace ? rxLine_.Send(now, options_.bitsPerChar, TravelRate(lineRate)) : now;
        Monitor(byte, lineRate, arrival);
        bool understood = false;
        bool syncAnswered = false;
        for (Listener &listener : listeners_) Listen(listener, byte, lineRate, arrival, understood, syncAnswered);
        if (!understood) ++stats_.rxRateMismatch;
    }
}

bool SerialLink::ApplyRxFaults(uint8_t &byte)
{
    const uint64_t position = rxPosition_++;
    if (faults_.dropRx > 0) {
        --faults_.dropRx;
        ++stats_.droppedRx;
        return false;
    }
    bool corrupt = false;
    if (faults_.corruptRx > 0) {
        --faults_.corruptRx;
        corrupt = true;
    }
    if (faults_.corruptRxAt && *faults_.corruptRxAt == position) {
        faults_.corruptRxAt.reset();
        corrupt = true;
    }
    if (corrupt) {
        byte = static_cast<uint8_t>(~byte);
        ++stats_.corruptedRx;
    }
    return true;
}

// What a line analyser would make of the PC's bytes: frame statistics and the history.
void SerialLink::Monitor(uint8_t byte, uint32_t lineRate, Nanos arrival)
{
    if (options_.frameTimeout > 0 && monitor_.InFrame() && arrival - monitorLastByte_ > options_.frameTimeout) {
        monitor_.Abandon();
        ++stats_.partial;
    }
    monitorLastByte_ = arrival;
    const bool starting = !monitor_.InFrame();
    switch (monitor_.Feed(byte)) {
    case FrameParser::Event::None:
        if (starting) monitorFrameChunk_ = chunk_;
        break;
    case FrameParser::Event::Frame:
        ++stats_.frames;
        if (monitorFrameChunk_ != chunk_) ++stats_.split;
        history_.push_back(HistoryEntry{lineRate, monitor_.message()});
        if (history_.size() > kHistoryLimit) history_.pop_front();
        break;
    case FrameParser::Event::BadChecksum:
        ++stats_.badChecksum;
        if (monitorFrameChunk_ != chunk_) ++stats_.split;
        break;
    case FrameParser::Event::BadLength:
        ++stats_.badLength;
        break;
    case FrameParser::Event::Sync:
        ++stats_.syncBytes;
        break;
    }
}

void SerialLink::Listen(Listener &listener, uint8_t byte, uint32_t lineRate, Nanos arrival,
                        bool &understood, bool &syncAnswered)
{
    Drive *drive = network_.Find(listener.axis);
    if (!drive) return;
    // A deaf drive, or one at another rate, makes nothing of the byte; whatever frame it had
    // begun is lost with it.
    if (!network_.Responsive(*drive, arrival)) {
        listener.parser.Abandon();
        understood = true; // heard at the right rate or not, this is no rate problem
        return;
    }
    if (drive->baud() != lineRate) {
        listener.parser.Abandon();
        return;
    }
    understood = true;
    if (options_.frameTimeout > 0 && arrival - listener.lastByte > options_.frameTimeout) listener.parser.Abandon();
    listener.lastByte = arrival;

    switch (listener.parser.Feed(byte)) {
    case FrameParser::Event::Sync:
        // On a bus several drives answer at once; the PC sees one carriage return.
        if (!syncAnswered) {
            syncAnswered = true;
            ++stats_.syncAnswers;
            Answer({kSyncAnswer}, drive->baud(), arrival);
        }
        break;
    case FrameParser::Event::Frame: {
        const uint32_t rate = drive->baud(); // answers leave before a rate change takes effect
        auto answer = network_.Receive(*drive, listener.parser.message(), arrival);
        const Nanos due = arrival + answer.delay;
        if (answer.acknowledge) Answer({kAcknowledge}, rate, due);
        for (const Message &reply : answer.replies) Answer(BuildFrame(reply), rate, due);
        break;
    }
    case FrameParser::Event::None:
    case FrameParser::Event::BadChecksum:
    case FrameParser::Event::BadLength:
        break;
    }
}

uint8_t SerialLink::NoiseByte()
{
    // Never the acknowledge byte: noise must not pass for an answer.
    uint8_t byte;
    do {
        noise_ = noise_ * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(noise_ >> 16);
    } while (byte == kAcknowledge);
    return byte;
}

void SerialLink::Answer(std::vector<uint8_t> bytes, uint32_t rate, Nanos due)
{
    if (faults_.garbage > 0) {
        --faults_.garbage;
        ++stats_.garbageAnswers;
        for (uint8_t &byte : bytes) byte = NoiseByte();
    }
    for (uint8_t byte : bytes) {
        const uint64_t position = txPosition_++;
        if (faults_.dropTx > 0) {
            --faults_.dropTx;
            ++stats_.droppedTx;
            continue;
        }
        bool corrupt = false;
        if (faults_.corruptTx > 0) {
            --faults_.corruptTx;
            corrupt = true;
        }
        if (faults_.corruptTxAt && *faults_.corruptTxAt == position) {
            faults_.corruptTxAt.reset();
            corrupt = true;
        }
        if (corrupt) {
            byte = static_cast<uint8_t>(~byte);
            ++stats_.corruptedTx;
        }
        // The line is first in, first out: a delayed answer holds back what follows it.
        const Nanos at = options_.pace ? txLine_.Send(std::max(due, txLast_), options_.bitsPerChar, TravelRate(rate))
                                       : std::max(due, txLast_);
        txLast_ = at;
        out_.push_back(OutByte{byte, rate, at});
    }
}

std::vector<uint8_t> SerialLink::TakeDue(Nanos now, uint32_t lineRate, std::size_t max)
{
    std::vector<uint8_t> bytes;
    while (!out_.empty() && out_.front().due <= now && bytes.size() < max) {
        const OutByte byte = out_.front();
        out_.pop_front();
        if (byte.rate != kAnyRate && byte.rate != lineRate) {
            ++stats_.txRateMismatch;
            continue;
        }
        ++stats_.txBytes;
        bytes.push_back(byte.value);
    }
    return bytes;
}

std::optional<Nanos> SerialLink::NextDue() const
{
    if (out_.empty()) return std::nullopt;
    return out_.front().due;
}

bool SerialLink::SendUnsolicited(uint8_t axis, uint16_t opCode, std::span<const uint16_t> words, Nanos now)
{
    auto message = network_.Unsolicited(axis, opCode, words, now);
    if (!message) return false;
    const Drive *sender = network_.topology() == Topology::Chain ? &network_.host() : network_.Find(axis);
    Answer(BuildFrame(*message), sender->baud(), now);
    return true;
}

void SerialLink::SendFrame(const Message &message, Nanos now)
{
    Answer(BuildFrame(message), kAnyRate, now);
}

void SerialLink::Inject(std::span<const uint8_t> bytes, Nanos now)
{
    Answer(std::vector<uint8_t>(bytes.begin(), bytes.end()), kAnyRate, now);
}

std::vector<HistoryEntry> SerialLink::TakeHistory()
{
    std::vector<HistoryEntry> entries(history_.begin(), history_.end());
    history_.clear();
    return entries;
}

} // namespace zsim

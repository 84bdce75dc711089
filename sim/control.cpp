#include "control.h"

#include <cstdio>

namespace zsim {

namespace {

constexpr std::size_t kPeekLimit = 1024;

std::string Hex4(uint16_t word)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", word);
    return text;
}

std::optional<MemoryType> ParseMemory(const std::string &name)
{
    if (name == "program") return MemoryType::Program;
    if (name == "data") return MemoryType::Data;
    if (name == "spi") return MemoryType::Spi;
    return std::nullopt;
}

std::optional<uint16_t> Word(const std::string &text)
{
    auto value = ParseNumber(text, 0xFFFF);
    if (!value) return std::nullopt;
    return static_cast<uint16_t>(*value);
}

std::optional<unsigned> Count(const std::vector<std::string> &args, std::size_t at)
{
    if (at >= args.size()) return 1u;
    return ParseNumber(args[at], 1'000'000);
}

std::optional<bool> OnOff(const std::string &text)
{
    if (text == "on" || text == "1") return true;
    if (text == "off" || text == "0") return false;
    return std::nullopt;
}

} // namespace

std::string Reply::Line() const
{
    std::string line = ok ? "OK" : "ERR";
    if (!text.empty()) line += " " + text;
    return line;
}

Simulator::Simulator()
{
    network_ = std::make_unique<DriveNetwork>(options_.network);
    link_ = std::make_unique<SerialLink>(*network_, options_.link);
}

Reply Simulator::Configure(const SimOptions &options, Nanos now)
{
    link_.reset();
    options_ = options;
    network_ = std::make_unique<DriveNetwork>(options_.network);
    link_ = std::make_unique<SerialLink>(*network_, options_.link);
    if (extras_) extras_->ClearFaults();
    for (const std::string &line : options_.faults) {
        Reply reply = Execute(SplitWords(line), now);
        if (!reply.ok) return Reply::Error("'" + line + "': " + reply.text);
    }
    return Reply::Ok();
}

const char *Simulator::Help()
{
    return "commands: ping | axes | info AXIS | version AXIS TEXT | baud AXIS RATE | group AXIS G"
           " | autodetect on|off | reset-time MS | pace on|off | frame-timeout MS | pc-address ADDR"
           " | unsolicited AXIS OPCODE [WORD...] | frame ADDRESS OPCODE [WORD...] | inject BYTE..."
           " | peek [AXIS] program|data|spi ADDR [COUNT] | poke [AXIS] program|data|spi ADDR WORD..."
           " | checksum [AXIS] program|data|spi START END | fault [KIND ARGS|clear] | stats [reset]"
           " | history | configure OPTIONS...";
}

Reply Simulator::Execute(const std::vector<std::string> &words, Nanos now)
{
    if (words.empty()) return Reply::Error("empty command");
    const std::string &command = words[0];
    const std::vector<std::string> args(words.begin() + 1, words.end());

    if (command == "ping") return Reply::Ok();
    if (command == "help") return Reply::Ok(Help());
    if (command == "axes") {
        std::string text;
        for (Drive *drive : network_->Drives()) text += (text.empty() ? "" : " ") + std::to_string(drive->axis());
        return Reply::Ok(text);
    }
    if (command == "info") return Info(args, now);
    if (command == "version" || command == "baud" || command == "group") return DriveSetting(command, args);
    if (command == "autodetect") {
        auto on = args.size() == 1 ? OnOff(args[0]) : std::nullopt;
        if (!on) return Reply::Error("usage: autodetect on|off");
        network_->set_autodetect(*on);
        return Reply::Ok();
    }
    if (command == "reset-time" || command == "frame-timeout") {
        auto ms = args.size() == 1 ? ParseNumber(args[0], 3'600'000) : std::nullopt;
        if (!ms) return Reply::Error("usage: " + command + " MS");
        if (command == "reset-time") {
            network_->set_reset_silence(Milliseconds(*ms));
        } else {
            link_->options().frameTimeout = Milliseconds(*ms);
        }
        return Reply::Ok();
    }
    if (command == "pace") {
        auto on = args.size() == 1 ? OnOff(args[0]) : std::nullopt;
        if (!on) return Reply::Error("usage: pace on|off");
        link_->options().pace = *on;
        return Reply::Ok();
    }
    if (command == "pc-address") {
        auto address = args.size() == 1 ? Word(args[0]) : std::nullopt;
        if (!address) return Reply::Error("usage: pc-address ADDRESS");
        network_->set_pc_address(*address);
        return Reply::Ok();
    }
    if (command == "unsolicited") return Unsolicited(args, now);
    if (command == "frame") return Frame(args, now);
    if (command == "inject") return Inject(args, now);
    if (command == "peek") return Peek(args);
    if (command == "poke") return Poke(args);
    if (command == "checksum") return Checksum(args);
    if (command == "fault") return Fault(args, now);
    if (command == "stats") return Stats(args);
    if (command == "history") return History();
    if (command == "configure") {
        std::string error;
        auto options = ParseOptions(args, error);
        if (!options) return Reply::Error(error);
        return Configure(*options, now);
    }
    return Reply::Error("unknown command '" + command + "'");
}

Reply Simulator::Info(const std::vector<std::string> &args, Nanos now)
{
    auto axis = args.size() == 1 ? ParseNumber(args[0], 255) : std::nullopt;
    if (!axis) return Reply::Error("usage: info AXIS");
    const Drive *drive = network_->Find(static_cast<uint8_t>(*axis));
    if (!drive) return Reply::Error("no drive with axis " + args[0]);
    const char *state = now < drive->reset_until() ? "reset" : network_->Responsive(*drive, now) ? "ready" : "silent";
    return Reply::Ok("axis=" + std::to_string(drive->axis()) + " version=" + drive->version() +
                     " words=" + Hex4(drive->version_words()[0]) + "/" + Hex4(drive->version_words()[1]) +
                     " baud=" + std::to_string(drive->baud()) + " group=" + std::to_string(drive->group()) +
                     " state=" + state);
}

Reply Simulator::DriveSetting(const std::string &what, const std::vector<std::string> &args)
{
    auto axis = args.size() == 2 ? ParseNumber(args[0], 255) : std::nullopt;
    if (!axis) return Reply::Error("usage: " + what + " AXIS VALUE");
    Drive *drive = network_->Find(static_cast<uint8_t>(*axis));
    if (!drive) return Reply::Error("no drive with axis " + args[0]);
    if (what == "version") {
        if (!drive->SetVersion(args[1])) return Reply::Error("version cannot be encoded");
    } else if (what == "baud") {
        auto rate = ParseNumber(args[1]);
        if (!rate || !BaudCode(*rate)) return Reply::Error("not one of 9600 19200 38400 57600 115200");
        drive->set_baud(*rate);
    } else {
        auto group = ParseNumber(args[1], 255);
        if (!group) return Reply::Error("group is 0..255");
        drive->set_group(static_cast<uint8_t>(*group));
    }
    return Reply::Ok();
}

// [AXIS] MEMORY ...: the axis may be left out for the drive wired to the PC.
namespace {
struct MemoryTarget {
    Drive *drive = nullptr;
    MemoryType type{};
    std::size_t next = 0; // index of the first argument after the memory name
};

std::optional<MemoryTarget> ParseTarget(DriveNetwork &network, const std::vector<std::string> &args, std::string &error)
{
    MemoryTarget target;
    target.drive = &network.host();
    std::size_t at = 0;
    if (!args.empty() && !ParseMemory(args[0])) {
        auto axis = ParseNumber(args[0], 255);
        if (!axis) {
            error = "expected an axis or program|data|spi";
            return std::nullopt;
        }
        target.drive = network.Find(static_cast<uint8_t>(*axis));
        if (!target.drive) {
            error = "no drive with axis " + args[0];
            return std::nullopt;
        }
        at = 1;
    }
    auto type = at < args.size() ? ParseMemory(args[at]) : std::nullopt;
    if (!type) {
        error = "expected program|data|spi";
        return std::nullopt;
    }
    target.type = *type;
    target.next = at + 1;
    return target;
}
} // namespace

Reply Simulator::Peek(const std::vector<std::string> &args)
{
    std::string error;
    auto target = ParseTarget(*network_, args, error);
    if (!target) return Reply::Error(error);
    auto address = target->next < args.size() ? Word(args[target->next]) : std::nullopt;
    auto count = Count(args, target->next + 1);
    if (!address || !count || *count == 0 || *count > kPeekLimit || target->next + 2 < args.size()) {
        return Reply::Error("usage: peek [AXIS] program|data|spi ADDR [COUNT 1..1024]");
    }
    std::string text;
    for (unsigned i = 0; i < *count; ++i) {
        if (i) text += ' ';
        text += Hex4(target->drive->Peek(target->type, static_cast<uint16_t>(*address + i)));
    }
    return Reply::Ok(text);
}

Reply Simulator::Poke(const std::vector<std::string> &args)
{
    std::string error;
    auto target = ParseTarget(*network_, args, error);
    if (!target) return Reply::Error(error);
    auto address = target->next < args.size() ? Word(args[target->next]) : std::nullopt;
    if (!address || target->next + 1 >= args.size()) {
        return Reply::Error("usage: poke [AXIS] program|data|spi ADDR WORD...");
    }
    std::vector<uint16_t> words;
    for (std::size_t i = target->next + 1; i < args.size(); ++i) {
        auto word = Word(args[i]);
        if (!word) return Reply::Error("bad word '" + args[i] + "'");
        words.push_back(*word);
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        target->drive->Poke(target->type, static_cast<uint16_t>(*address + i), words[i]);
    }
    return Reply::Ok();
}

Reply Simulator::Checksum(const std::vector<std::string> &args)
{
    std::string error;
    auto target = ParseTarget(*network_, args, error);
    if (!target) return Reply::Error(error);
    if (target->next + 2 != args.size()) return Reply::Error("usage: checksum [AXIS] program|data|spi START END");
    auto start = Word(args[target->next]);
    auto end = Word(args[target->next + 1]);
    if (!start || !end) return Reply::Error("usage: checksum [AXIS] program|data|spi START END");
    return Reply::Ok(Hex4(target->drive->Sum(target->type, *start, *end)));
}

Reply Simulator::Unsolicited(const std::vector<std::string> &args, Nanos now)
{
    auto axis = !args.empty() ? ParseNumber(args[0], 255) : std::nullopt;
    auto code = args.size() >= 2 ? Word(args[1]) : std::nullopt;
    if (!axis || !code || args.size() > 2 + kMaxWords) {
        return Reply::Error("usage: unsolicited AXIS OPCODE [WORD...] (up to 4 words)");
    }
    std::vector<uint16_t> words;
    for (std::size_t i = 2; i < args.size(); ++i) {
        auto word = Word(args[i]);
        if (!word) return Reply::Error("bad word '" + args[i] + "'");
        words.push_back(*word);
    }
    if (!link_->SendUnsolicited(static_cast<uint8_t>(*axis), *code, words, now)) {
        return Reply::Error("drive " + args[0] + " cannot send now");
    }
    return Reply::Ok();
}

Reply Simulator::Frame(const std::vector<std::string> &args, Nanos now)
{
    if (args.size() < 2 || args.size() > 2 + kMaxWords) {
        return Reply::Error("usage: frame ADDRESS OPCODE [WORD...] (up to 4 words)");
    }
    std::vector<uint16_t> words;
    for (const std::string &arg : args) {
        auto word = Word(arg);
        if (!word) return Reply::Error("bad word '" + arg + "'");
        words.push_back(*word);
    }
    link_->SendFrame(Message::Make(words[0], words[1], std::span<const uint16_t>(words).subspan(2)), now);
    return Reply::Ok();
}

Reply Simulator::Inject(const std::vector<std::string> &args, Nanos now)
{
    if (args.empty()) return Reply::Error("usage: inject BYTE...");
    std::vector<uint8_t> bytes;
    for (const std::string &arg : args) {
        auto byte = ParseNumber(arg, 0xFF);
        if (!byte) return Reply::Error("bad byte '" + arg + "'");
        bytes.push_back(static_cast<uint8_t>(*byte));
    }
    link_->Inject(bytes, now);
    return Reply::Ok();
}

Reply Simulator::Fault(const std::vector<std::string> &args, Nanos now)
{
    if (args.empty()) return Reply::Ok(FaultSummary());
    const std::string &kind = args[0];
    LinkFaults &link = link_->faults();
    MessageFaults &message = network_->faults();
    if (kind == "clear") {
        link = LinkFaults{};
        message = MessageFaults{};
        if (extras_) extras_->ClearFaults();
        return Reply::Ok();
    }
    if (extras_) {
        if (auto reply = extras_->SetFault(kind, std::vector<std::string>(args.begin() + 1, args.end()))) return *reply;
    }
    if (kind == "withhold-ack-at") return WithholdAt(args);
    if (args.size() > 3) return Reply::Error("too many arguments");
    auto count = Count(args, 1);
    if (!count) return Reply::Error("bad number '" + args[1] + "'");
    auto second = args.size() == 3 ? ParseNumber(args[2], 1'000'000) : std::nullopt;
    if (args.size() == 3 && (!second || kind != "delay")) return Reply::Error("too many arguments");

    if (kind == "drop-rx") {
        link.dropRx = *count;
    } else if (kind == "drop-tx") {
        link.dropTx = *count;
    } else if (kind == "corrupt-rx") {
        link.corruptRx = *count;
    } else if (kind == "corrupt-tx") {
        link.corruptTx = *count;
    } else if (kind == "corrupt-rx-at" || kind == "corrupt-tx-at") {
        // Positions are given from now on: 0 is the next byte.
        const uint64_t base = kind == "corrupt-rx-at" ? link_->rx_position() : link_->tx_position();
        (kind == "corrupt-rx-at" ? link.corruptRxAt : link.corruptTxAt) = base + *count;
    } else if (kind == "garbage") {
        link.garbage = *count;
    } else if (kind == "withhold-ack") {
        message.withholdAcks = *count;
    } else if (kind == "ignore") {
        message.ignoreFrames = *count;
    } else if (kind == "delay") {
        if (args.size() < 2) return Reply::Error("usage: fault delay MS [COUNT]");
        message.delay = Milliseconds(*count);
        message.delayAll = !second && *count > 0;
        message.delayCount = second ? *second : 0;
    } else if (kind == "silent") {
        if (args.size() < 2) return Reply::Error("usage: fault silent MS");
        message.silentUntil = now + Milliseconds(*count);
    } else {
        return Reply::Error("unknown fault '" + kind + "'");
    }
    return Reply::Ok();
}

// withhold-ack-at K [OPCODE [MASK]]: the K-th later message (0 = the next) whose op code
// matches OPCODE in the bits of MASK (default: all bits; no OPCODE: any message).
Reply Simulator::WithholdAt(const std::vector<std::string> &args)
{
    const char *usage = "usage: fault withhold-ack-at K [OPCODE [MASK]]";
    if (args.size() < 2 || args.size() > 4) return Reply::Error(usage);
    auto skip = ParseNumber(args[1], 1'000'000);
    auto code = args.size() > 2 ? Word(args[2]) : std::optional<uint16_t>(0);
    auto mask = args.size() > 3 ? Word(args[3]) : std::optional<uint16_t>(args.size() > 2 ? 0xFFFF : 0);
    if (!skip || !code || !mask) return Reply::Error(usage);
    network_->faults().withholdAt = zsim::WithholdAt{*skip, *code, *mask};
    return Reply::Ok();
}

std::string Simulator::FaultSummary() const
{
    const LinkFaults &link = link_->faults();
    const MessageFaults &message = network_->faults();
    auto n = [](uint64_t value) { return std::to_string(value); };
    return "drop-rx=" + n(link.dropRx) + " drop-tx=" + n(link.dropTx) + " corrupt-rx=" + n(link.corruptRx) +
           " corrupt-tx=" + n(link.corruptTx) + " corrupt-rx-at=" + (link.corruptRxAt ? "pending" : "none") +
           " corrupt-tx-at=" + (link.corruptTxAt ? "pending" : "none") + " garbage=" + n(link.garbage) +
           " withhold-ack=" + n(message.withholdAcks) +
           " withhold-ack-at=" + (message.withholdAt ? "pending" : "none") + " ignore=" + n(message.ignoreFrames) +
           " delay=" + n(static_cast<uint64_t>(WholeMilliseconds(message.delay))) + "/" +
           (message.delayAll ? std::string("all") : n(message.delayCount)) +
           " silent-until=" + n(static_cast<uint64_t>(WholeMilliseconds(message.silentUntil))) +
           (extras_ ? extras_->FaultSummary() : std::string());
}

Reply Simulator::Stats(const std::vector<std::string> &args)
{
    if (args.size() == 1 && args[0] == "reset") {
        link_->stats() = LinkStats{};
        network_->stats() = NetworkStats{};
        if (extras_) extras_->ResetStats();
        return Reply::Ok();
    }
    if (!args.empty()) return Reply::Error("usage: stats [reset]");
    const LinkStats &l = link_->stats();
    const NetworkStats &m = network_->stats();
    auto kv = [](const char *key, uint64_t value) { return std::string(key) + "=" + std::to_string(value); };
    std::string text;
    for (const auto &item : {kv("rx", l.rxBytes), kv("tx", l.txBytes), kv("frames", l.frames),
                             kv("bad_checksum", l.badChecksum), kv("bad_length", l.badLength), kv("split", l.split),
                             kv("partial", l.partial), kv("sync", l.syncBytes), kv("sync_answers", l.syncAnswers),
                             kv("rx_rate_mismatch", l.rxRateMismatch), kv("tx_rate_mismatch", l.txRateMismatch),
                             kv("dropped_rx", l.droppedRx), kv("dropped_tx", l.droppedTx),
                             kv("corrupted_rx", l.corruptedRx), kv("corrupted_tx", l.corruptedTx),
                             kv("garbage", l.garbageAnswers), kv("executed", m.executed), kv("acks", m.acknowledged),
                             kv("replies", m.replies), kv("ignored", m.ignored), kv("withheld", m.withheld),
                             kv("unsolicited", m.unsolicited)}) {
        text += (text.empty() ? "" : " ") + item;
    }
    if (extras_) text += extras_->Stats();
    return Reply::Ok(text);
}

Reply Simulator::History()
{
    std::string text;
    for (const HistoryEntry &entry : link_->TakeHistory()) {
        text += (text.empty() ? "" : " ") + std::to_string(entry.rate) + ":" + Describe(entry.message);
    }
    return Reply::Ok(text);
}

} // namespace zsim

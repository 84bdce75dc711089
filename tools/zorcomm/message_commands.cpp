#include "message_commands.h"

#include "numbers.h"
#include "signals.h"

#include <zorcomm/zorcomm.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zcli {

namespace {

using Clock = std::chrono::steady_clock;

// A length no message can have: a record that still holds it after a successful receive was
// left alone, because what arrived was a stray acknowledge byte and not a message.
constexpr uint16_t kNoMessage = 0xFFFF;
constexpr size_t kMaxDataWords = 4;
constexpr double kMaxSeconds = 1e6;

// Messages the library met inside a call while it waited for something else (the link check
// of a receive, or the open) and handed to the unsolicited-message handler. The room is taken
// beforehand, so that the handler never allocates (nor throws) inside the library's call.
constexpr size_t kMaxHandedOver = 1024;
std::vector<DriveMessage> handedOver;

void ZORCOMM_CALL TakeUnsolicited(DriveMessage *message) {
    if (message && handedOver.size() < kMaxHandedOver) handedOver.push_back(*message);
}

void ListenForUnsolicited() {
    handedOver.reserve(kMaxHandedOver);
    MSK_RegisterReceiveUnsolicitedMsgHandler(TakeUnsolicited);
}

DriveMessage EmptyRecord() {
    DriveMessage message{};
    message.length = kNoMessage;
    return message;
}

// One receive call after another, each ending in a message, nothing (a time-out, a stray
// acknowledge byte, bytes that made no frame) or a link that does not work.
class Receiver {
public:
    enum class Outcome { Message, Idle, Broken };

    explicit Receiver(bool can) : can_(can) {}

    // `error`: the library's text when the outcome is Broken, or the time-out's text when it
    // has one.
    Outcome Next(DriveMessage &message, std::string &error) {
        message = EmptyRecord();
        const Clock::time_point start = Clock::now();
        if (MSK_ReceiveMessage(&message)) {
            error.clear();
            return message.length == kNoMessage ? Outcome::Idle : Outcome::Message;
        }
        const char *raw = MSK_GetLastError();
        const std::string_view rawText = raw ? raw : "";
        error = OneLine(rawText);
        if (error == kBadDataText) {
            std::cerr << "zorcomm: skipped bytes that made no message: " << error << std::endl;
            return Outcome::Idle;
        }
        if (!can_) return error.empty() || IsTimeOutText(error) ? Outcome::Idle : Outcome::Broken;
        if (IsLibraryText(rawText) && !IsTimeOutText(error)) return Outcome::Broken;
        // Some adapters answer "nothing there" at once: do not spin on them.
        if (Clock::now() - start < kShortestWait) std::this_thread::sleep_for(kShortestWait);
        error.clear();
        return Outcome::Idle;
    }

private:
    static constexpr std::string_view kBadDataText = "Incorrect data received.";
    static constexpr auto kShortestWait = std::chrono::milliseconds(10);

    // On CAN the library sets no error of its own when nothing came in time, and what it
    // reports then is left over from the system (or nothing). Its own texts, which all end in
    // CR LF, mean that an adapter failed, unless they name an adapter's time-out.
    static bool IsLibraryText(std::string_view raw) {
        return raw.size() >= 2 && raw.substr(raw.size() - 2) == "\r\n";
    }
    // The serial time-out, a device server's socket time-out, the esd and IXXAT adapters' own.
    static bool IsTimeOutText(std::string_view text) {
        for (const std::string_view timeOut :
             {"Receive timeout", "Connection timed out", "Timeout period expired"})
            if (text.find(timeOut) != std::string_view::npos) return true;
        return false;
    }

    bool can_;
};

std::string FormatTime(std::chrono::system_clock::time_point when, bool utc) {
    const auto since = when.time_since_epoch();
    const time_t seconds = static_cast<time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(since).count());
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    tm parts{};
    char text[40];
    if (utc) {
        gmtime_r(&seconds, &parts);
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        return std::string(text) + "." + std::to_string(1000 + milliseconds).substr(1) + "Z";
    }
    localtime_r(&seconds, &parts);
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return std::string(text) + "." + std::to_string(1000 + milliseconds).substr(1);
}

void PrintMessage(const DriveMessage &message, bool withTime) {
    const size_t length = std::min<size_t>(message.length, kMaxDataWords);
    const std::span<const uint16_t> data(message.data, length);
    const auto now = std::chrono::system_clock::now();
    if (JsonOutput()) {
        Json json;
        if (withTime) json.Add("time", FormatTime(now, true));
        PrintJson(json.Add("address", message.address)
                      .Add("opCode", message.opCode)
                      .Add("data", data));
        return;
    }
    std::string line = withTime ? FormatTime(now, false) + " " : "";
    line += "address " + Hex(message.address) + " opcode " + Hex(message.opCode);
    if (!data.empty()) line += " data";
    for (uint16_t word : data) line += " " + Hex(word);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    NoteIfOutputClosed();
}

// Prints the messages handed to the handler, at most `limit` of them; returns how many.
size_t PrintHandedOver(bool withTime, size_t limit) {
    size_t printed = 0;
    for (const DriveMessage &message : handedOver) {
        if (printed == limit) break;
        PrintMessage(message, withTime);
        ++printed;
    }
    handedOver.clear();
    return printed;
}

// Opening a channel may leave the baud-rate search and the host check to the first call that
// needs the link, and those empty the input. Doing them now means that whatever arrives from
// here on is kept for the receive calls.
bool ReachDrives() {
    uint16_t active = 0;
    return MSK_GetActiveDrive(&active);
}

std::chrono::milliseconds ToDuration(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0));
}

// ---- receive ----

struct ReceiveOptions {
    uint32_t count = 1;
    double wait = 0; // seconds for all the messages; 0 = one receive call for each
};

ExitCode RunReceive(const ReceiveOptions &options, bool can) {
    if (!ReachDrives()) return Fail("cannot reach the drives");
    const bool patient = options.wait > 0;
    std::cerr << "zorcomm: waiting for " << options.count
              << (options.count == 1 ? " message" : " messages");
    if (patient) std::cerr << " (up to " << options.wait << " s)";
    std::cerr << std::endl;
    const Clock::time_point deadline = Clock::now() + ToDuration(options.wait);
    Receiver receiver(can);
    uint32_t taken = static_cast<uint32_t>(PrintHandedOver(false, options.count));
    while (taken < options.count) {
        if (StopRequested()) return ReportFailure("interrupted", "");
        DriveMessage message;
        std::string error;
        const Receiver::Outcome outcome = receiver.Next(message, error);
        // What the library met inside the call came before what the call returns.
        taken += static_cast<uint32_t>(PrintHandedOver(false, options.count - taken));
        if (outcome == Receiver::Outcome::Message && taken < options.count) {
            PrintMessage(message, false);
            ++taken;
            continue;
        }
        if (taken == options.count) break;
        if (outcome == Receiver::Outcome::Broken) return ReportFailure("cannot receive", error);
        if (!patient || Clock::now() >= deadline) {
            std::string what = "no message arrived";
            if (options.count > 1)
                what += " (got " + std::to_string(taken) + " of " +
                        std::to_string(options.count) + ")";
            return ReportFailure(what, error);
        }
    }
    return ExitCode::Ok;
}

// ---- monitor ----

struct MonitorOptions {
    double duration = 0; // seconds; 0 = until a stop signal
};

ExitCode RunMonitor(const MonitorOptions &options, bool can) {
    if (!ReachDrives()) return Fail("cannot reach the drives");
    const bool timed = options.duration > 0;
    const Clock::time_point end = Clock::now() + ToDuration(options.duration);
    std::cerr << "zorcomm: monitoring";
    if (timed) std::cerr << " for " << options.duration << " s";
    std::cerr << "; Ctrl-C stops" << std::endl;
    Receiver receiver(can);
    size_t count = PrintHandedOver(true, SIZE_MAX);
    while (!StopRequested() && !(timed && Clock::now() >= end)) {
        DriveMessage message;
        std::string error;
        const Receiver::Outcome outcome = receiver.Next(message, error);
        count += PrintHandedOver(true, SIZE_MAX);
        if (outcome == Receiver::Outcome::Message) {
            PrintMessage(message, true);
            ++count;
        }
        if (outcome == Receiver::Outcome::Broken) return ReportFailure("cannot receive", error);
    }
    std::cerr << "zorcomm: " << count << (count == 1 ? " message" : " messages") << std::endl;
    return ExitCode::Ok;
}

bool IsCan(const ChannelOptions &channel) { return KindOfLink(channel) == LinkKind::Can; }

CLI::Option *AddSeconds(CLI::App &sub, const char *name, double &seconds,
                        const char *description) {
    return sub.add_option(name, seconds, description)
        ->transform(Seconds(kMaxSeconds))
        ->type_name("S");
}

Command AddReceive(CLI::App &app, const ChannelOptions &channel) {
    auto options = std::make_shared<ReceiveOptions>();
    CLI::App *sub = AddSubcommand(
        app, "receive", "Take messages the drives sent: address, op code and data",
        "zorcomm --port 1 receive\n"
        "zorcomm --port 1 receive --count 3 --wait 10\n"
        "zorcomm --json --port 1 receive --wait 5");
    sub->add_option("--count", options->count, "Number of messages to take (default 1)")
        ->transform(Number(1, 1000000))
        ->type_name("N");
    AddSeconds(*sub, "--wait", options->wait,
               "Seconds to wait for all of them, fractions allowed (default 0:\n"
               "one receive time-out of the link for each message)");
    return {sub, [options, &channel] { return RunReceive(*options, IsCan(channel)); },
            ListenForUnsolicited};
}

Command AddMonitor(CLI::App &app, const ChannelOptions &channel) {
    auto options = std::make_shared<MonitorOptions>();
    CLI::App *sub = AddSubcommand(
        app, "monitor",
        "Print every message the drives send, time-stamped, until stopped",
        "zorcomm --port 1 monitor\n"
        "zorcomm --json --port 1 monitor --duration 60 > messages.jsonl");
    AddSeconds(*sub, "--duration", options->duration,
               "Stop after this many seconds, fractions allowed (default 0: run until\n"
               "stopped); the last receive call may add one receive time-out");
    return {sub, [options, &channel] { return RunMonitor(*options, IsCan(channel)); },
            ListenForUnsolicited};
}

} // namespace

std::vector<Command> AddMessageCommands(CLI::App &app, const ChannelOptions &channel) {
    return {AddReceive(app, channel), AddMonitor(app, channel)};
}

} // namespace zcli

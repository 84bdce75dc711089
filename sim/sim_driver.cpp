// A virtual serial driver whose far end is a simulated drive network in the same process:
// no pseudo terminal, no second process, the timing of the drives' answers under the caller's
// clock. The six serial entry points plus SimControl, which takes the control lines of
// `zorcomm-sim serial` (see README.md). ZORCOMM_SIM_OPTIONS, read when the library is loaded,
// holds the initial options in the command-line syntax.
#include "control.h"
#include "sim_options.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#ifdef _WIN32
// The Windows build: the standard calling convention, exported under the plain names
// (linked with --kill-at). A refused read or write leaves a code of the driver's own, which its
// message table describes.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define ZSIM_EXPORT extern "C" __declspec(dllexport)
#define ZSIM_CALL __stdcall
#define ZSIM_REFUSED(code) SetLastError(code)
#else
#define ZSIM_REFUSED(code)
#define ZSIM_EXPORT extern "C" __attribute__((visibility("default")))
#define ZSIM_CALL
#endif

namespace {

using zsim::Nanos;
using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultReadTimeoutMs = 1000;
constexpr uint32_t kLineRates[] = {300,   600,   1200,  2400,   4800,   9600,   14400,
                                   19200, 38400, 56000, 57600, 115200, 230400, 460800, 921600};

Nanos NowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

Clock::time_point ToTimePoint(Nanos time)
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(time)));
}

class Driver {
public:
    static Driver &Instance()
    {
        static Driver driver;
        return driver;
    }

    std::mutex mutex;
    std::condition_variable changed;
    zsim::Simulator sim;
    uint32_t lineRate = 9600;
    std::deque<uint8_t> received; // bytes that reached the PC's side, not yet read
    unsigned readTimeoutMs = kDefaultReadTimeoutMs;
    unsigned readFailures = 0;
    unsigned writeFailures = 0;
    unsigned setRateFailures = 0;
    std::string loadError;

    // Moves the drives' bytes that have arrived by `now` into the receive queue.
    void Pump(Nanos now)
    {
        auto bytes = sim.link().TakeDue(now, lineRate);
        received.insert(received.end(), bytes.begin(), bytes.end());
    }

    zsim::Reply Control(const std::string &line);

private:
    Driver()
    {
        const char *text = std::getenv("ZORCOMM_SIM_OPTIONS");
        auto reply = Configure(zsim::SplitWords(text ? text : ""));
        if (!reply.ok) {
            loadError = "ZORCOMM_SIM_OPTIONS: " + reply.text;
            std::fprintf(stderr, "zorcomm-simdriver: %s\n", loadError.c_str());
            Configure({});
        }
    }

    zsim::Reply Configure(const std::vector<std::string> &args);
    std::optional<zsim::Reply> DriverFault(const std::vector<std::string> &words);
};

// Faults of the entry points themselves; the rest belong to the simulator.
std::optional<zsim::Reply> Driver::DriverFault(const std::vector<std::string> &words)
{
    if (words.size() < 2 || words[0] != "fault") return std::nullopt;
    unsigned *counter = words[1] == "read-fail"       ? &readFailures
                        : words[1] == "write-fail"    ? &writeFailures
                        : words[1] == "set-rate-fail" ? &setRateFailures
                                                      : nullptr;
    if (!counter) return std::nullopt;
    auto count = words.size() == 2 ? std::optional<uint32_t>(1) : zsim::ParseNumber(words[2], 1'000'000);
    if (!count || words.size() > 3) return zsim::Reply::Error("usage: fault " + words[1] + " [COUNT]");
    *counter = *count;
    return zsim::Reply::Ok();
}

zsim::Reply Driver::Configure(const std::vector<std::string> &args)
{
    std::string error;
    auto options = zsim::ParseOptions(args, error);
    if (!options) return zsim::Reply::Error(error);
    std::vector<std::string> own;
    std::erase_if(options->faults, [&](const std::string &line) {
        const auto words = zsim::SplitWords(line);
        const bool mine = words.size() >= 2 && (words[1] == "read-fail" || words[1] == "write-fail" ||
                                                words[1] == "set-rate-fail");
        if (mine) own.push_back(line);
        return mine;
    });
    readFailures = writeFailures = setRateFailures = 0;
    auto reply = sim.Configure(*options, NowNanos());
    if (!reply.ok) return reply;
    for (const std::string &line : own) {
        auto result = DriverFault(zsim::SplitWords(line));
        if (result && !result->ok) return *result;
    }
    received.clear();
    lineRate = 9600;
    readTimeoutMs = options->readTimeoutMs.value_or(kDefaultReadTimeoutMs);
    return zsim::Reply::Ok();
}

zsim::Reply Driver::Control(const std::string &line)
{
    const auto words = zsim::SplitWords(line);
    if (words.empty()) return zsim::Reply::Error("empty command");
    const std::string &command = words[0];
    const Nanos now = NowNanos();
    Pump(now);

    if (command == "configure") return Configure({words.begin() + 1, words.end()});
    if (command == "status") return loadError.empty() ? zsim::Reply::Ok() : zsim::Reply::Error(loadError);
    if (command == "quit" || command == "exit") return zsim::Reply::Ok();
    if (command == "help") {
        return zsim::Reply::Ok(std::string(zsim::Simulator::Help()) +
                               " | line [RATE] | read-timeout [MS] | queue | status"
                               " | fault read-fail|write-fail|set-rate-fail [COUNT]");
    }
    if (command == "read-timeout") {
        if (words.size() == 1) return zsim::Reply::Ok(std::to_string(readTimeoutMs));
        auto ms = words.size() == 2 ? zsim::ParseNumber(words[1], 3'600'000) : std::nullopt;
        if (!ms) return zsim::Reply::Error("usage: read-timeout [MS]");
        readTimeoutMs = *ms;
        return zsim::Reply::Ok();
    }
    if (command == "line") {
        if (words.size() == 1) return zsim::Reply::Ok("rate=" + std::to_string(lineRate));
        auto rate = words.size() == 2 ? zsim::ParseNumber(words[1]) : std::nullopt;
        if (!rate || *rate == 0) return zsim::Reply::Error("usage: line [RATE]");
        lineRate = *rate;
        return zsim::Reply::Ok();
    }
    if (command == "queue") return zsim::Reply::Ok(std::to_string(received.size()));
    if (auto reply = DriverFault(words)) return *reply;
    if (command == "fault" && words.size() == 2 && words[1] == "clear") {
        readFailures = writeFailures = setRateFailures = 0;
    }
    return sim.Execute(words, now);
}

} // namespace

ZSIM_EXPORT uint8_t ZSIM_CALL ReadData(void *buffer, uint32_t count, uint32_t *bytesRead)
{
    if (!bytesRead) return 0;
    *bytesRead = 0;
    if (!buffer && count != 0) return 0;
    Driver &driver = Driver::Instance();
    std::unique_lock lock(driver.mutex);
    if (driver.readFailures > 0) {
        --driver.readFailures;
        ZSIM_REFUSED(0x20001002);
        return 0;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    const Nanos deadline = NowNanos() + zsim::Milliseconds(driver.readTimeoutMs);
    uint32_t got = 0;
    for (;;) {
        const Nanos now = NowNanos();
        driver.Pump(now);
        while (got < count && !driver.received.empty()) {
            out[got++] = driver.received.front();
            driver.received.pop_front();
        }
        if (got == count || now >= deadline) break;
        Nanos wake = deadline;
        if (auto due = driver.sim.link().NextDue()) wake = std::min(wake, std::max(*due, now));
        driver.changed.wait_until(lock, ToTimePoint(wake));
    }
    *bytesRead = got;
    return 1;
}

ZSIM_EXPORT uint8_t ZSIM_CALL WriteData(const void *buffer, uint32_t count, uint32_t *bytesWritten)
{
    if (!bytesWritten) return 0;
    *bytesWritten = 0;
    if (!buffer && count != 0) return 0;
    Driver &driver = Driver::Instance();
    {
        std::lock_guard lock(driver.mutex);
        if (driver.writeFailures > 0) {
            --driver.writeFailures;
            ZSIM_REFUSED(0x20001001);
            return 0;
        }
        const Nanos now = NowNanos();
        driver.Pump(now);
        driver.sim.link().Receive({static_cast<const uint8_t *>(buffer), count}, driver.lineRate, now);
        *bytesWritten = count;
    }
    driver.changed.notify_all();
    return 1;
}

ZSIM_EXPORT int32_t ZSIM_CALL GetBytesCountInQueue(void)
{
    Driver &driver = Driver::Instance();
    std::lock_guard lock(driver.mutex);
    driver.Pump(NowNanos());
    return static_cast<int32_t>(std::min<std::size_t>(driver.received.size(), INT32_MAX));
}

ZSIM_EXPORT void ZSIM_CALL PurgeQueues(void)
{
    Driver &driver = Driver::Instance();
    std::lock_guard lock(driver.mutex);
    driver.Pump(NowNanos());
    driver.received.clear();
}

ZSIM_EXPORT uint32_t ZSIM_CALL GetCommBaudRate(void)
{
    Driver &driver = Driver::Instance();
    std::lock_guard lock(driver.mutex);
    return driver.lineRate;
}

#ifndef ZORCOMM_SIM_WITHOUT_SET_RATE
ZSIM_EXPORT uint8_t ZSIM_CALL SetCommBaudRate(uint32_t rate)
{
    Driver &driver = Driver::Instance();
    std::lock_guard lock(driver.mutex);
    if (driver.setRateFailures > 0) {
        --driver.setRateFailures;
        return 0;
    }
    if (std::find(std::begin(kLineRates), std::end(kLineRates), rate) == std::end(kLineRates)) return 0;
    // Bytes already on their way arrive at the old rate: collect them first.
    driver.Pump(NowNanos());
    driver.lineRate = rate;
    return 1;
}
#endif

ZSIM_EXPORT uint8_t ZSIM_CALL SimControl(const char *command, char *reply, uint32_t replySize)
{
    Driver &driver = Driver::Instance();
    zsim::Reply result;
    {
        std::lock_guard lock(driver.mutex);
        result = command ? driver.Control(command) : zsim::Reply::Error("no command");
    }
    driver.changed.notify_all();
    if (reply && replySize > 0) {
        const std::string line = result.Line();
        const std::size_t length = std::min<std::size_t>(line.size(), replySize - 1);
        std::memcpy(reply, line.data(), length);
        reply[length] = '\0';
    }
    return result.ok ? 1 : 0;
}

// The options are read when the library is loaded, so a bad ZORCOMM_SIM_OPTIONS shows at once.
__attribute__((constructor)) static void LoadSimulator()
{
    Driver::Instance();
}

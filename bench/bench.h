// What the benchmarks share: the library through its exports, the simulator as a child process,
// serial frames written the way a minimal program would, rounds and medians, the table.
#pragma once

#include <zorcomm/zorcomm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// A benchmark that went wrong (a transfer failed, a read-back differs): the row reports it and
// the program fails.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the build put what the benchmarks run.
struct Paths {
    static const char *Library();
    static const char *Simulator();
    static const char *Driver();
    static const char *VendorDir();
};

// libzorcomm.so loaded with dlopen, each export bound by name.
struct Library {
    decltype(&MSK_OpenComm) OpenComm;
    decltype(&MSK_CloseComm) CloseComm;
    decltype(&MSK_SelectComm) SelectComm;
    decltype(&MSK_GetLastError) GetLastError;
    decltype(&MSK_SendMessage) SendMessage;
    decltype(&MSK_SendData) SendData;
    decltype(&MSK_ReceiveData) ReceiveData;
    decltype(&MSK_COFFDownload) COFFDownload;
    decltype(&MSK_SetBaudRate) SetBaudRate;
    decltype(&MSK_SetActiveDrive) SetActiveDrive;
    decltype(&MSK_GetActiveDrive) GetActiveDrive;
    decltype(&MSK_RegisterReceiveUnsolicitedMsgHandler) RegisterUnsolicited;

    // The one copy of the process (loaded on first use).
    static Library &Get();
    // Throws a Failure with the library's last error unless `ok`.
    void Check(bool ok, const std::string &what) const;
    int32_t Open(const std::string &device, uint16_t hostAxis, uint8_t type) const;
};

// The simulator with its standard input and output on pipes: the first line it prints, and
// control lines answered one line each.
class SimChild {
public:
    explicit SimChild(const std::vector<std::string> &args, const std::vector<std::string> &environment = {});
    ~SimChild();
    SimChild(const SimChild &) = delete;
    SimChild &operator=(const SimChild &) = delete;
    const std::string &first_line() const { return first_; }
    // The text after the first blank of the first line ("PTY /dev/pts/3" -> "/dev/pts/3").
    std::string FirstValue() const;
    std::string Control(const std::string &line);
    void ControlOk(const std::string &line);
    // Keeps the simulator on processor `cpu` from now on (nothing for a negative `cpu`; a
    // refusal is noted on the standard error and the rows run as placed).
    void Pin(int cpu);

private:
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit);
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string first_;
};

// A child process of this program (`zorcomm-bench worker ...`) with pipes like SimChild.
class Worker {
public:
    explicit Worker(const std::vector<std::string> &args);
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    void Send(const std::string &line);
    std::string Line(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// The highest-numbered processor this thread may run on, -1 when that cannot be read.
int LastAllowedCpu();

// This thread kept on processor `cpu` while the object lives; the processors it was allowed
// before come back after. Does nothing for a negative `cpu`, or (with a note on the standard
// error) when the system refuses.
class ThreadPin {
public:
    explicit ThreadPin(int cpu);
    ~ThreadPin();
    ThreadPin(const ThreadPin &) = delete;
    ThreadPin &operator=(const ThreadPin &) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

// Memory types, as the exports take them.
inline constexpr uint8_t kProgram = MEMORY_PROGRAM;
inline constexpr uint8_t kData = MEMORY_DATA;
inline const char *MemoryName(uint8_t memory) { return memory == kData ? "data" : memory == kProgram ? "program" : "spi"; }

// `count` words that change with `seed`, never all alike.
std::vector<uint16_t> Pattern(std::size_t count, uint32_t seed);
void CheckWords(std::span<const uint16_t> got, std::span<const uint16_t> expected, const std::string &what);

// What one side of a row moved (words, messages) in how long.
struct Sample {
    double amount = 0;
    double seconds = 0;
};

// One row of the table: the library's figure beside its baseline's (both per second, higher is
// better), measured the same number of times in alternating order.
struct Row {
    std::string name;
    std::string unit;     // "words/s", "msg/s"
    std::string baseline; // what the baseline is
    std::function<Sample()> library;
    std::function<Sample()> base;
    double limit = 0; // the figure the line allows (wire or frame time), 0 when there is none
    // The target: library / baseline (or library / limit when `ofLimit`) at least `target`.
    double target = 0;
    bool ofLimit = false;
    // Each round alternates the two sides this many times and adds their samples up, so that
    // a short disturbance of a busy machine falls on both about evenly.
    int slices = 1;
    // A line printed under the table after the last round (e.g. what the simulator saw).
    std::function<std::string()> note;
    // What one export call moves (the words of a block, one message); when set, a row that
    // misses its target gets a line under the table with what the target leaves the library
    // of its own a call.
    double perCall = 0;
};

inline Row MakeRow(std::string name, std::string unit, std::string baseline, double limit, double target,
                   bool ofLimit = false)
{
    Row row;
    row.name = std::move(name);
    row.unit = std::move(unit);
    row.baseline = std::move(baseline);
    row.limit = limit;
    row.target = target;
    row.ofLimit = ofLimit;
    return row;
}

struct RowResult {
    std::string name;
    std::string unit;
    std::string baseline;
    std::vector<double> library; // rates, one a round
    std::vector<double> base;
    double limit = 0;
    double target = 0;
    bool ofLimit = false;
    std::string error;
    std::string note;
    double perCall = 0;
};

struct RunOptions {
    bool quick = false;
    int rounds = 3;
    std::string only; // rows whose name contains this text; empty: all
};

double Median(std::vector<double> values);

// A group of rows that share their setup: `setup` runs once (it may throw Failure), then every
// round runs each row's two sides, library first in even rounds and the baseline first in odd
// ones; `teardown` runs at the end whatever happened.
struct Group {
    std::string name;
    std::function<std::vector<Row>(const RunOptions &)> setup;
    std::function<void()> teardown;
};

std::vector<RowResult> RunGroup(const Group &group, const RunOptions &options);
void PrintTable(const std::vector<RowResult> &results, const std::string &machine);

// Nanoseconds to take and give back a mutex made as the library makes a channel's (robust,
// recursive, shared between processes, in shared memory), uncontended: the best of a few runs.
double ChannelLockNanoseconds();
// The same for the least any lock shared between processes takes, uncontended: an atomic
// exchange-compare that takes a word in shared memory and an atomic exchange that gives it back.
// 0 when the measurement could not be made.
double BareLockNanoseconds();
// Nanoseconds of the cheapest export on the selected channel (MSK_GetActiveDrive: the call's
// frame, the channel's lock, the checks every call on a channel makes, one field read): the
// least any call on the channel takes, the best of a few runs. Remembered for the lines under
// the table; throws a Failure when the call fails.
double MeasureCheapestChannelCall();

// Repeats `unit` (which returns the amount it moved) until `seconds` have passed, at least once.
Sample Measure(double seconds, const std::function<double()> &unit);
// Runs `work` once, which moves `amount`.
Sample MeasureOnce(double amount, const std::function<void()> &work);

// The groups (rows_*.cpp).
Group PacedSerialGroup();
Group UnpacedBlockGroup(const std::string &link);
Group MessageGroup();
Group SharedLinkGroup();
Group FastPathGroup();
Group CanGroup();

// `zorcomm-bench worker ...` (rows_serial.cpp): one process of the shared-link row.
int RunWorker(const std::vector<std::string> &args);

} // namespace bench

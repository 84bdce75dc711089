#include "bench.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

const char *Paths::Library() { return ZORCOMM_LIBRARY_PATH; }
const char *Paths::Simulator() { return ZORCOMM_SIM_PROGRAM; }
const char *Paths::Driver() { return ZORCOMM_SIM_DRIVER; }
const char *Paths::VendorDir() { return ZORCOMM_VENDOR_DIR; }

namespace {

template <typename F> void Bind(void *module, const char *name, F &into)
{
    into = reinterpret_cast<F>(dlsym(module, name));
    if (!into) throw Failure(std::string("libzorcomm.so lacks ") + name);
}

// fork + exec with standard input and output on pipes; the child's standard error stays ours.
pid_t Spawn(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::string> &environment, int &in, int &out)
{
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw Failure("pipe failed");
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        for (const std::string &setting : environment) putenv(const_cast<char *>(setting.c_str()));
        std::vector<char *> pointers;
        for (std::string &arg : argv) pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        execv(program.c_str(), pointers.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    if (pid < 0) {
        close(toChild[1]);
        close(fromChild[0]);
        throw Failure("fork failed");
    }
    in = toChild[1];
    out = fromChild[0];
    return pid;
}

std::optional<std::string> ReadLineFrom(int fd, std::string &buffer, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = buffer.find('\n'); end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) return std::nullopt;
        char chunk[512];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

void EndChild(pid_t &pid, int &in, int &out)
{
    if (in >= 0) close(in);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
    pid = -1;
    in = out = -1;
}

} // namespace

Library &Library::Get()
{
    static Library library = [] {
        void *module = dlopen(Paths::Library(), RTLD_NOW | RTLD_LOCAL);
        if (!module) throw Failure(std::string("cannot load ") + Paths::Library() + ": " + dlerror());
        Library bound{};
        Bind(module, "MSK_OpenComm", bound.OpenComm);
        Bind(module, "MSK_CloseComm", bound.CloseComm);
        Bind(module, "MSK_SelectComm", bound.SelectComm);
        Bind(module, "MSK_GetLastError", bound.GetLastError);
        Bind(module, "MSK_SendMessage", bound.SendMessage);
        Bind(module, "MSK_SendData", bound.SendData);
        Bind(module, "MSK_ReceiveData", bound.ReceiveData);
        Bind(module, "MSK_COFFDownload", bound.COFFDownload);
        Bind(module, "MSK_SetBaudRate", bound.SetBaudRate);
        Bind(module, "MSK_SetActiveDrive", bound.SetActiveDrive);
        Bind(module, "MSK_GetActiveDrive", bound.GetActiveDrive);
        Bind(module, "MSK_RegisterReceiveUnsolicitedMsgHandler", bound.RegisterUnsolicited);
        return bound;
    }();
    return library;
}

void Library::Check(bool ok, const std::string &what) const
{
    if (!ok) throw Failure(what + ": " + GetLastError());
}

int32_t Library::Open(const std::string &device, uint16_t hostAxis, uint8_t type) const
{
    const int32_t handle = OpenComm(device.c_str(), hostAxis, 0, type);
    Check(handle > 0, "MSK_OpenComm " + device);
    return handle;
}

SimChild::SimChild(const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    pid_ = Spawn(Paths::Simulator(), args, environment, in_, out_);
    auto line = ReadLine(std::chrono::seconds(10));
    if (!line) {
        EndChild(pid_, in_, out_);
        throw Failure("the simulator did not start");
    }
    first_ = *line;
}

SimChild::~SimChild() { EndChild(pid_, in_, out_); }

std::string SimChild::FirstValue() const
{
    const auto blank = first_.find(' ');
    return blank == std::string::npos ? std::string() : first_.substr(blank + 1);
}

std::optional<std::string> SimChild::ReadLine(std::chrono::milliseconds limit)
{
    return ReadLineFrom(out_, buffer_, limit);
}

std::string SimChild::Control(const std::string &line)
{
    const std::string text = line + "\n";
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) throw Failure("simulator gone");
    auto reply = ReadLine(std::chrono::seconds(10));
    if (!reply) throw Failure("no answer from the simulator to '" + line + "'");
    return *reply;
}

void SimChild::ControlOk(const std::string &line)
{
    const std::string reply = Control(line);
    if (reply.rfind("OK", 0) != 0) throw Failure("simulator: " + line + ": " + reply);
}

namespace {

cpu_set_t OnlyCpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return set;
}

} // namespace

int LastAllowedCpu()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (CPU_ISSET(cpu, &set)) return cpu;
    }
    return -1;
}

void SimChild::Pin(int cpu)
{
    if (cpu < 0) return;
    const cpu_set_t set = OnlyCpu(cpu);
    // A machine that refuses the placement still runs the rows, only less steadily.
    if (sched_setaffinity(pid_, sizeof set, &set) != 0)
        std::fprintf(stderr, "note: the simulator could not be kept on one processor: %s\n", std::strerror(errno));
}

struct ThreadPin::Saved {
    cpu_set_t set;
};

ThreadPin::ThreadPin(int cpu)
{
    if (cpu < 0) return;
    auto saved = std::make_unique<Saved>();
    const cpu_set_t set = OnlyCpu(cpu);
    if (sched_getaffinity(0, sizeof saved->set, &saved->set) != 0 || sched_setaffinity(0, sizeof set, &set) != 0) {
        std::fprintf(stderr, "note: the program could not be kept on one processor: %s\n", std::strerror(errno));
        return;
    }
    saved_ = std::move(saved);
}

ThreadPin::~ThreadPin()
{
    if (saved_) sched_setaffinity(0, sizeof saved_->set, &saved_->set);
}

Worker::Worker(const std::vector<std::string> &args)
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) throw Failure("cannot find this program");
    self[length] = '\0';
    std::vector<std::string> all{"worker"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(self, all, {}, in_, out_);
}

Worker::~Worker() { EndChild(pid_, in_, out_); }

void Worker::Send(const std::string &line)
{
    const std::string text = line + "\n";
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) throw Failure("worker gone");
}

std::string Worker::Line(std::chrono::milliseconds limit)
{
    auto line = ReadLineFrom(out_, buffer_, limit);
    if (!line) throw Failure("no answer from a worker");
    return *line;
}

std::vector<uint16_t> Pattern(std::size_t count, uint32_t seed)
{
    std::vector<uint16_t> words(count);
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    for (uint16_t &word : words) {
        state = state * 1664525u + 1013904223u;
        word = static_cast<uint16_t>(state >> 16);
    }
    return words;
}

void CheckWords(std::span<const uint16_t> got, std::span<const uint16_t> expected, const std::string &what)
{
    if (got.size() != expected.size()) throw Failure(what + ": " + std::to_string(got.size()) + " words instead of " +
                                                     std::to_string(expected.size()));
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] != expected[i]) {
            char text[96];
            std::snprintf(text, sizeof text, ": word %zu is %04X, %04X was written", i, got[i], expected[i]);
            throw Failure(what + text);
        }
    }
}

double Median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Sample Measure(double seconds, const std::function<double()> &unit)
{
    double amount = 0;
    const auto start = Clock::now();
    do {
        amount += unit();
    } while (Seconds(Clock::now() - start) < seconds);
    return Sample{amount, Seconds(Clock::now() - start)};
}

Sample MeasureOnce(double amount, const std::function<void()> &work)
{
    const auto start = Clock::now();
    work();
    return Sample{amount, Seconds(Clock::now() - start)};
}

std::vector<RowResult> RunGroup(const Group &group, const RunOptions &options)
{
    std::vector<RowResult> results;
    std::vector<Row> rows;
    auto fail = [&](const std::string &error) {
        if (rows.empty()) results.push_back(RowResult{group.name, "", "", {}, {}, 0, 0, false, error, {}, 0});
        for (RowResult &result : results) {
            if (result.error.empty()) result.error = error;
        }
    };
    try {
        rows = group.setup(options);
        std::erase_if(rows, [&](const Row &row) { return row.name.find(options.only) == std::string::npos; });
        for (const Row &row : rows) {
            results.push_back(
                RowResult{row.name, row.unit, row.baseline, {}, {}, row.limit, row.target, row.ofLimit, {}, {}, row.perCall});
        }
        const int rounds = options.quick ? 1 : options.rounds;
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t i = 0; i < rows.size(); ++i) {
                RowResult &result = results[i];
                if (!result.error.empty()) continue;
                try {
                    Sample library, base;
                    auto add = [](Sample &sum, const Sample &sample) {
                        sum.amount += sample.amount;
                        sum.seconds += sample.seconds;
                    };
                    const int slices = options.quick ? 1 : rows[i].slices;
                    for (int slice = 0; slice < slices; ++slice) {
                        if ((round + slice) % 2 == 0) {
                            add(library, rows[i].library());
                            add(base, rows[i].base());
                        } else {
                            add(base, rows[i].base());
                            add(library, rows[i].library());
                        }
                    }
                    result.library.push_back(library.amount / library.seconds);
                    result.base.push_back(base.amount / base.seconds);
                } catch (const Failure &failure) {
                    result.error = failure.what();
                }
                std::fprintf(stderr, ".");
            }
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].note && results[i].error.empty()) results[i].note = rows[i].note();
        }
    } catch (const Failure &failure) {
        fail(failure.what());
    }
    if (group.teardown) {
        try {
            group.teardown();
        } catch (const Failure &failure) {
            fail(failure.what());
        }
    }
    return results;
}

namespace {

double gCheapestChannelCall = 0; // ns; 0 until measured

std::string Figure(double value)
{
    char text[32];
    if (value <= 0) return "-";
    if (value >= 100) std::snprintf(text, sizeof text, "%.0f", value);
    else std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Ratio(double numerator, double denominator)
{
    if (numerator <= 0 || denominator <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", numerator / denominator);
    return text;
}

bool Missed(const RowResult &result, double library, double base)
{
    return result.error.empty() && result.target > 0 && !result.ofLimit && result.perCall > 0 && library > 0 &&
           base > 0 && library / base < result.target;
}

// For the rows that miss a target of library / raw loop: a call's time on both sides, and what
// the target leaves the library above the raw loop, beside what every call on a shared link
// must do that a raw loop does not: take the channel's cross-process lock, and make the checks
// of the cheapest export on the channel.
void PrintCallBudgets(const std::vector<RowResult> &results)
{
    bool first = true;
    for (const RowResult &result : results) {
        const double library = Median(result.library);
        const double base = Median(result.base);
        if (!Missed(result, library, base)) continue;
        if (first) {
            std::printf("\nWhat the targets leave the library of its own a call, in the rows that miss them; the channel's\n"
                        "cross-process lock alone (a robust, recursive, process-shared mutex taken and given back,\n"
                        "uncontended) takes %.1f ns here, and the least any lock between processes can take (two\n"
                        "atomic operations on a shared word, one to take it and one to give it back) %.1f ns%s\n",
                        ChannelLockNanoseconds(), BareLockNanoseconds(), gCheapestChannelCall > 0 ? "," : ":");
            if (gCheapestChannelCall > 0)
                std::printf("and the cheapest export on the channel (MSK_GetActiveDrive: the call's frame, the lock, the\n"
                            "checks every call on a channel makes) %.1f ns:\n",
                            gCheapestChannelCall);
            first = false;
        }
        const double libraryCall = result.perCall / library * 1e9;
        const double rawCall = result.perCall / base * 1e9;
        const double leaves = rawCall / result.target - rawCall;
        std::printf("%-44s a call %.0f ns, raw loop %.0f ns: the library's own %.1f ns, the target leaves %.1f ns",
                    result.name.c_str(), libraryCall, rawCall, libraryCall - rawCall, leaves);
        if (gCheapestChannelCall > 0) std::printf(", %.1f beyond the cheapest call", leaves - gCheapestChannelCall);
        std::printf("\n");
    }
}

} // namespace

namespace {

// The best of a few runs of a million pairs of `take` and `give`, in nanoseconds a pair.
template <typename Take, typename Give>
double BestPairNanoseconds(Take take, Give give)
{
    constexpr int kPairs = 1000000;
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        for (int i = 0; i < kPairs; ++i) {
            take();
            give();
        }
        const double each = Seconds(Clock::now() - start) * 1e9 / kPairs;
        if (run == 0 || each < best) best = each;
    }
    return best;
}

// A page shared between processes, as the library's region is.
class SharedPage {
public:
    SharedPage() : page_(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {}
    ~SharedPage()
    {
        if (valid()) munmap(page_, kSize);
    }
    SharedPage(const SharedPage &) = delete;
    SharedPage &operator=(const SharedPage &) = delete;
    bool valid() const { return page_ != MAP_FAILED; }
    void *get() const { return page_; }

private:
    static constexpr std::size_t kSize = 4096;
    void *page_;
};

} // namespace

double ChannelLockNanoseconds()
{
    SharedPage page;
    if (!page.valid()) return 0;
    auto *mutex = static_cast<pthread_mutex_t *>(page.get());
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    const double each = BestPairNanoseconds([mutex] { pthread_mutex_lock(mutex); },
                                            [mutex] { pthread_mutex_unlock(mutex); });
    pthread_mutex_destroy(mutex);
    return each;
}

double BareLockNanoseconds()
{
    SharedPage page;
    if (!page.valid()) return 0;
    auto *word = new (page.get()) std::atomic<uint32_t>(0);
    bool lost = false; // never: nothing else takes the word
    const double each = BestPairNanoseconds(
        [word, &lost] {
            uint32_t free = 0;
            lost |= !word->compare_exchange_strong(free, 1, std::memory_order_acquire);
        },
        [word, &lost] { lost |= word->exchange(0, std::memory_order_release) != 1; });
    return lost ? 0 : each;
}

double MeasureCheapestChannelCall()
{
    const Library &lib = Library::Get();
    bool failed = false;
    uint16_t axis = 0;
    const double each =
        BestPairNanoseconds([&] { failed |= !lib.GetActiveDrive(&axis); }, [] {});
    lib.Check(!failed, "MSK_GetActiveDrive");
    gCheapestChannelCall = each;
    return each;
}

void PrintTable(const std::vector<RowResult> &results, const std::string &machine)
{
    std::printf("\n%s\n", machine.c_str());
    std::printf("Medians; ratios are of rates (higher is faster); lim = what the line or bus allows.\n\n");
    std::printf("%-44s %-7s %10s %10s  %-24s %7s %10s %7s %7s  %s\n", "row", "unit", "library", "baseline",
                "baseline is", "lib/base", "limit", "lib/lim", "base/lim", "target");
    for (const RowResult &result : results) {
        if (!result.error.empty()) {
            std::printf("%-44s FAILED: %s\n", result.name.c_str(), result.error.c_str());
            continue;
        }
        const double library = Median(result.library);
        const double base = Median(result.base);
        std::string target = "-";
        if (result.target > 0) {
            const double achieved = result.ofLimit ? library / result.limit : library / base;
            char text[64];
            std::snprintf(text, sizeof text, "%s >= %.2f %s", result.ofLimit ? "lib/lim" : "lib/base", result.target,
                          achieved >= result.target ? "met" : "NOT MET");
            target = text;
        }
        std::printf("%-44s %-7s %10s %10s  %-24s %7s %10s %7s %7s  %s\n", result.name.c_str(), result.unit.c_str(),
                    Figure(library).c_str(), Figure(base).c_str(), result.baseline.c_str(),
                    Ratio(library, base).c_str(), Figure(result.limit).c_str(), Ratio(library, result.limit).c_str(),
                    Ratio(base, result.limit).c_str(), target.c_str());
    }
    bool first = true;
    for (const RowResult &result : results) {
        if (result.note.empty()) continue;
        if (first) std::printf("\n");
        first = false;
        std::printf("%s: %s\n", result.name.c_str(), result.note.c_str());
    }
    PrintCallBudgets(results);
    std::fflush(stdout);
}

} // namespace bench

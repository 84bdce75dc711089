// The supervisor of one link: it starts the simulators, forks the worker processes, kills some
// of them with SIGKILL and sends others away at random moments, starting a new process in each
// one's place, watches for hangs, and at the end checks that the last process out left nothing
// behind. It prints one line for the link.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <thread>

#include "core/process_context.h"
#include "platform/platform.h"
#include "sim_process.h"
#include "soak.h"
#include "test_support.h"

namespace soak {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int64_t kHangNs = 60'000'000'000; // a call longer than this is a hang
constexpr int kUdpBase = 1;                 // 127.0.15.1..4: the UDP links' device servers
constexpr int kTcpBase = 11;                // 127.0.15.11..14: the TCP links' device servers

std::string Loopback(int host) { return "127.0.15." + std::to_string(host); }

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

// The drives, the device servers, the bus and adapters of one link.
class Simulators {
public:
    bool Start(const LinkSpec &link, std::string &why) {
        switch (link.kind) {
        case Kind::Rs232: return Serial({"--axes", "1,2,3"}, why);
        case Kind::Rs485: return Serial({"--axes", "2,3,4", "--rs485"}, why);
        case Kind::Driver: return setenv("ZORCOMM_SIM_OPTIONS", "--axes 1,2,3", 1) == 0;
        case Kind::Udp: return DeviceServers(kUdpBase, why);
        case Kind::Tcp: return DeviceServers(kTcpBase, why);
        case Kind::Peak:
        case Kind::Esd: return Bus(link, why);
        case Kind::Ascii: return Bus(link, why) && AsciiAdapter(why);
        case Kind::SocketCan: return Bus(link, why) && Interfaces(why);
        }
        return false;
    }

    // Who is still on the bus besides the ASCII adapter (which stays): every adapter connection
    // of the workers must have gone.
    std::string BusClients() {
        if (!bus_) return "";
        std::istringstream words(bus_->Command("clients"));
        std::string left;
        for (std::string word; words >> word;)
            if (word != "OK" && word.find(":lawicel:") == std::string::npos) left += " " + word;
        return left;
    }

private:
    bool Launch(const std::vector<std::string> &arguments, const std::string &expected,
                std::string &line, std::string &why) {
        running_.push_back(std::make_unique<ztest::SimProcess>(arguments));
        line = running_.back()->firstLine();
        if (line.rfind(expected, 0) == 0) {
            line = line.substr(expected.size());
            return true;
        }
        why = "zorcomm-sim " + arguments.front() + " did not start: " + line;
        return false;
    }

    bool Serial(const std::vector<std::string> &options, std::string &why) {
        std::vector<std::string> arguments{"serial"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string pty;
        return Launch(arguments, "PTY ", pty, why) && setenv("ZORCOMM_COM7", pty.c_str(), 1) == 0;
    }

    bool DeviceServers(int base, std::string &why) {
        std::string line;
        for (int slot = 0; slot < kSlots; ++slot)
            if (!Launch({"xport", "--address", Loopback(base + slot), "--axes", "1,2,3", "--baud", "115200"},
                        "XPORT ", line, why))
                return false;
        return true;
    }

    bool Bus(const LinkSpec &link, std::string &why) {
        std::string path;
        const char *protocol = link.protocol == CHANNEL_PROTOCOL_TORVANECAN ? "torvanecan" : "orv";
        if (!Launch({"can-bus", "--axes", "2,3,4", "--protocol", protocol}, "CANBUS ", path, why))
            return false;
        bus_ = running_.back().get();
        return setenv("ZORCOMM_CANBUS", path.c_str(), 1) == 0;
    }

    bool AsciiAdapter(std::string &why) {
        std::string pty;
        return Launch({"ascii-can"}, "PTY ", pty, why) && setenv("ZORCOMM_COM9", pty.c_str(), 1) == 0;
    }

    bool Interfaces(std::string &why) {
        interfaces_ = std::make_unique<ztest::TempDir>();
        interfaces_->Write("can0", "index=5 type=can\n");
        if (interfaces_->path().empty()) why = "no folder for the SocketCAN interfaces";
        return !interfaces_->path().empty() &&
               setenv("ZORCOMM_SOCKETCAN_DIR", interfaces_->path().c_str(), 1) == 0;
    }

    std::vector<std::unique_ptr<ztest::SimProcess>> running_;
    ztest::SimProcess *bus_ = nullptr;
    std::unique_ptr<ztest::TempDir> interfaces_;
};

// The device a worker in `slot` opens, its channel type and its drive.
WorkerPlan PlanFor(const LinkSpec &link, int slot) {
    WorkerPlan plan;
    plan.host = 1;
    // On a bus the host axis is the PC's own; the drives are 2 to 4. In a chain the host is the
    // first drive.
    const bool bus = IsCan(link.kind) || link.kind == Kind::Rs485;
    plan.axis = static_cast<uint16_t>((bus ? 2 : 1) + slot % 3);
    switch (link.kind) {
    case Kind::Rs232: plan.device = "COM7"; plan.type = CHANNEL_RS232; break;
    case Kind::Rs485: plan.device = "COM7"; plan.type = CHANNEL_RS485; break;
    case Kind::Driver: plan.device = ztest::SimDriver(); plan.type = CHANNEL_VIRTUAL_SERIAL; break;
    case Kind::Udp: plan.device = Loopback(kUdpBase + slot); plan.type = CHANNEL_UDP; break;
    case Kind::Tcp: plan.device = Loopback(kTcpBase + slot); plan.type = CHANNEL_XPORT_TCP; break;
    case Kind::Peak: plan.device = "1"; plan.type = CHANNEL_PEAK_PCAN_USB; break;
    case Kind::Esd: plan.device = "1"; plan.type = CHANNEL_ESD_CAN; break;
    case Kind::Ascii: plan.device = "COM9"; plan.type = CHANNEL_LAWICEL_USBCAN; break;
    case Kind::SocketCan: plan.device = "can0"; plan.type = CHANNEL_SOCKETCAN; break;
    }
    plan.type = static_cast<uint8_t>(plan.type | link.protocol);
    return plan;
}

// What the link's threads did, summed over every process that ran on it.
struct Totals {
    uint64_t exchanges = 0, messages = 0, blocks = 0, downloads = 0;
    uint32_t failures = 0, duringKill = 0, afterKill = 0, unexplained = 0, abandoned = 0;
    uint32_t misdelivered = 0, lost = 0, openFailures = 0, retries = 0;
    std::map<std::string, uint32_t> texts;
    std::vector<std::string> wrong;

    void Add(const WorkerRecord &record) {
        openFailures += record.openFailures.load();
        if (record.openFailures.load() != 0) texts[std::string("(joining) ") + record.report] += 1;
        retries += record.retries.load();
        for (const ThreadRecord &thread : record.threads) {
            exchanges += thread.exchanges.load();
            messages += thread.messages.load();
            blocks += thread.blocks.load();
            downloads += thread.downloads.load();
            failures += thread.failures.load();
            duringKill += thread.duringKill.load();
            afterKill += thread.afterKill.load();
            unexplained += thread.unexplained.load();
            abandoned += thread.abandoned.load();
            misdelivered += thread.misdelivered.load();
            lost += thread.lost.load();
            for (const FailureText &entry : thread.texts)
                if (entry.count.load() != 0) texts[entry.text] += entry.count.load();
            if (thread.noted.load()) wrong.push_back(thread.firstWrong);
        }
    }
};

class LinkRun {
public:
    LinkRun(const LinkSpec &link, const RunOptions &options)
        : link_(link), options_(options), random_(options.seed) {}
    ~LinkRun() {
        for (auto &slot : slots_)
            if (slot.pid > 0) {
                kill(slot.pid, SIGKILL);
                waitpid(slot.pid, nullptr, 0);
            }
        if (board_) munmap(board_, sizeof(Board));
        if (!region_.empty()) shm_unlink(region_.c_str());
    }

    bool Run() {
        start_ = NowNs();
        if (!SetUp()) return Report();
        for (int slot = 0; slot < kSlots && trouble_.empty(); ++slot) StartWorker(slot);
        for (int slot = 0; slot < kSlots && trouble_.empty(); ++slot) WaitRunning(slot);
        PlanEvents();
        workStart_ = NowNs();
        while (trouble_.empty() && !Finished()) {
            std::this_thread::sleep_for(milliseconds(20));
            Watch();
            FireDueEvent();
        }
        workEnd_ = NowNs();
        if (trouble_.empty()) Finish();
        if (std::getenv("ZORCOMM_SOAK_TIMES"))
            std::fprintf(stderr, "%s: set-up %.1f s, work %.1f s, end %.1f s\n", link_.name.c_str(),
                         Seconds(workStart_ - start_), Seconds(workEnd_ - workStart_), Seconds(NowNs() - workEnd_));
        return Report();
    }

private:
    struct Slot {
        int record = -1;
        pid_t pid = -1;
    };
    enum class Event { Kill, Leave };

    bool SetUp() {
        region_ = "/zorcomm-soak-" + std::to_string(getpid()) + "-" + link_.name;
        shm_unlink(region_.c_str());
        setenv("ZORCOMM_SHM", region_.c_str(), 1);
        settings_ = std::make_unique<ztest::SettingsFile>("[ZORCOMM]\nRUN_DEAD_TIME=0\nRESET_DEAD_TIME=20\n");
        void *memory = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return Trouble("no memory for the board");
        board_ = new (memory) Board();
        std::string why;
        if (!simulators_.Start(link_, why)) return Trouble(why);
        return true;
    }

    bool Trouble(const std::string &why) {
        if (trouble_.empty()) trouble_ = why;
        return false;
    }

    void StartWorker(int slot) {
        if (next_ >= kRecords) {
            Trouble("more worker processes than the board has records");
            return;
        }
        WorkerPlan plan = PlanFor(link_, slot);
        plan.board = board_;
        plan.record = next_++;
        plan.target = options_.secondsPerLink > 0 ? 0 : options_.target;
        plan.seed = options_.seed + static_cast<uint32_t>(plan.record) * 31u;
        for (int thread = 0; thread < kThreads; ++thread) {
            const auto files = WriteDownloads(files_.path(), plan.record, thread);
            if (files.size() != 2) {
                Trouble("cannot write the executables to download");
                return;
            }
            plan.downloads[thread * 2] = files[0];
            plan.downloads[thread * 2 + 1] = files[1];
        }
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int status = RunWorker(plan);
            std::fflush(nullptr);
            _exit(status);
        }
        if (pid < 0) {
            Trouble("fork failed");
            return;
        }
        slots_[slot] = Slot{plan.record, pid};
        ++started_;
    }

    WorkerRecord &RecordOf(int slot) { return board_->records[slots_[slot].record]; }

    void WaitRunning(int slot) {
        const auto deadline = std::chrono::steady_clock::now() + seconds(60);
        while (RecordOf(slot).state.load() == kStarting && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(5));
        if (RecordOf(slot).state.load() != kRunning)
            Trouble("worker " + std::to_string(slots_[slot].record) + " did not start: " + RecordOf(slot).report);
    }

    // Kills and leaves at random moments: fractions of the run's exchanges, or of its time.
    void PlanEvents() {
        std::uniform_real_distribution<double> moment(0.05, 0.85);
        for (int i = 0; i < options_.kills; ++i) events_.push_back({moment(random_), Event::Kill});
        for (int i = 0; i < options_.leaves; ++i) events_.push_back({moment(random_), Event::Leave});
        std::sort(events_.begin(), events_.end());
    }

    double Progress() {
        if (options_.secondsPerLink > 0) return Seconds(NowNs() - workStart_) / options_.secondsPerLink;
        uint64_t done = 0;
        for (int record = 0; record < next_; ++record)
            for (const auto &thread : board_->records[record].threads) done += thread.exchanges.load();
        return static_cast<double>(done) / static_cast<double>(options_.target * kSlots * kThreads);
    }

    bool Finished() {
        if (fired_ < events_.size()) return false;
        if (options_.secondsPerLink > 0) return Progress() >= 1.0;
        for (int slot = 0; slot < kSlots; ++slot)
            for (const auto &thread : RecordOf(slot).threads)
                if (!thread.done.load()) return false;
        return true;
    }

    // Hangs: a call that does not end, a worker that never gets going, or one that ends on its own.
    void Watch() {
        const int64_t now = NowNs();
        for (int slot = 0; slot < kSlots; ++slot) {
            WorkerRecord &record = RecordOf(slot);
            for (int t = 0; t < kThreads; ++t) {
                const int64_t started = record.threads[t].callStart.load();
                if (started != 0 && now - started > kHangNs)
                    Trouble("hang: worker " + std::to_string(slots_[slot].record) + " thread " +
                            std::to_string(t) + " in one call for " + std::to_string(Seconds(now - started)) + " s");
            }
            int status = 0;
            if (waitpid(slots_[slot].pid, &status, WNOHANG) == slots_[slot].pid) {
                slots_[slot].pid = -1;
                Trouble("worker " + std::to_string(slots_[slot].record) + " ended by itself (status " +
                        std::to_string(status) + "): " + record.report);
            }
        }
        if (options_.secondsPerLink > 0 && Seconds(now - workStart_) > options_.secondsPerLink + 120)
            Trouble("hang: the link's run did not end");
    }

    void FireDueEvent() {
        if (fired_ >= events_.size() || Progress() < events_[fired_].first) return;
        // One worker that is at work, not one still opening.
        std::vector<int> candidates;
        for (int slot = 0; slot < kSlots; ++slot)
            if (RecordOf(slot).state.load() == kRunning) candidates.push_back(slot);
        if (candidates.empty()) return;
        const int slot = candidates[random_() % candidates.size()];
        if (events_[fired_++].second == Event::Kill) {
            Kill(slot);
        } else {
            Leave(slot, kLeave);
            ++leaves_;
        }
        if (trouble_.empty()) StartWorker(slot);
    }

    void Kill(int slot) {
        const uint32_t n = board_->killsSent.load();
        if (n >= kMaxKills) return;
        board_->killTimes[n].store(NowNs());
        board_->killsSent.store(n + 1);
        kill(slots_[slot].pid, SIGKILL);
        if (!Reap(slot, seconds(10))) Trouble("a killed worker did not end");
        board_->killsDone.store(n + 1);
        ++kills_;
    }

    // Tells the worker to close its channel and go; waits for it to end well.
    void Leave(int slot, uint32_t command) {
        RecordOf(slot).command.store(command);
        const int record = slots_[slot].record;
        int status = -1;
        if (!Reap(slot, seconds(90), &status)) Trouble("hang: worker " + std::to_string(record) + " did not leave");
        else if (status != 0) Trouble("worker " + std::to_string(record) + " left with status " + std::to_string(status));
        if (board_->records[record].leaks.load())
            Trouble("worker " + std::to_string(record) + ": " + board_->records[record].report);
    }

    bool Reap(int slot, std::chrono::milliseconds limit, int *exitStatus = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(slots_[slot].pid, &status, WNOHANG) == slots_[slot].pid) {
                slots_[slot].pid = -1;
                if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        return false;
    }

    // The exchanges stop and the workers leave one after the other. Before the last one goes the
    // dead processes' slots and handles must have been taken back; after it, nothing of the
    // library is left.
    void Finish() {
        board_->stopAll.store(1);
        for (int slot = 0; slot + 1 < kSlots && trouble_.empty(); ++slot) Leave(slot, kLeave);
        if (!trouble_.empty()) return;
        CheckOneProcessLeft();
        Leave(kSlots - 1, kLeaveLast);
        if (!trouble_.empty()) return;
        if (zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid())
            Trouble("leak: the shared region is still there after the last process");
        struct stat status {};
        if (stat(("/dev/shm" + region_).c_str(), &status) == 0)
            Trouble("leak: /dev/shm" + region_ + " is left");
        const std::string clients = simulators_.BusClients();
        if (!clients.empty()) Trouble("leak: still on the bus: " + clients);
    }

    void CheckOneProcessLeft() {
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        if (!view.valid()) {
            Trouble("the shared region is gone while a process is attached");
            return;
        }
        const auto &section = *static_cast<const zorcomm::SharedSection *>(view.library());
        int slotsTaken = 0;
        for (const auto &slot : section.slotTable) slotsTaken += slot.processId != 0;
        if (section.processCount != 1 || slotsTaken != 1)
            Trouble("leak: " + std::to_string(section.processCount) + " processes and " +
                    std::to_string(slotsTaken) + " slots in the table with one process left");
        if (view.LiveMutexObjects() != 2)
            Trouble("leak: " + std::to_string(view.LiveMutexObjects()) +
                    " mutexes with one process and its channel left (2 expected)");
    }

    void CheckCallFailures(const Totals &totals) {
        if (totals.unexplained != 0) Trouble("calls failed with no process killed meanwhile");
        if (totals.afterKill != 0) Trouble("a first call after a kill failed");
        if (totals.abandoned > kills_ + totals.openFailures)
            Trouble("an abandoned lock reported more than once per kill");
    }

    bool Report() {
        Totals totals;
        for (int record = 0; board_ && record < next_; ++record) totals.Add(board_->records[record]);
        // Failures that are not explained by a kill are replies that were lost.
        if (totals.misdelivered + totals.lost != 0) Trouble("wrong data read back");
        if (!options_.onlyLossFails) CheckCallFailures(totals);
        std::ostringstream line;
        char head[256];
        std::snprintf(head, sizeof head,
                      "%-15s %8llu exchanges (%llu messages, %llu blocks, %llu downloads)  %d kills  "
                      "%d left  %d joined  %u retries  %u failures  %.1f s  %s",
                      link_.name.c_str(), static_cast<unsigned long long>(totals.exchanges),
                      static_cast<unsigned long long>(totals.messages),
                      static_cast<unsigned long long>(totals.blocks),
                      static_cast<unsigned long long>(totals.downloads), kills_, leaves_,
                      std::max(0, started_ - kSlots), totals.retries, totals.failures,
                      Seconds((workEnd_ ? workEnd_ : NowNs()) - start_), trouble_.empty() ? "ok" : "FAILED");
        line << head << "\n";
        for (const auto &[text, count] : totals.texts) line << "    " << count << " x " << text << "\n";
        if (totals.failures != 0)
            line << "    (" << totals.duringKill << " during a kill, " << totals.abandoned
                 << " abandoned lock, " << totals.afterKill << " first call after a kill, "
                 << totals.unexplained << " unexplained; " << totals.openFailures << " opens retried)\n";
        for (const auto &wrong : totals.wrong) line << "    " << wrong << "\n";
        if (!trouble_.empty()) line << "    FAILED: " << trouble_ << "\n";
        std::fputs(line.str().c_str(), stdout);
        std::fflush(stdout);
        return trouble_.empty();
    }

    LinkSpec link_;
    RunOptions options_;
    std::mt19937 random_;
    std::string region_;
    std::unique_ptr<ztest::SettingsFile> settings_;
    ztest::TempDir files_;
    Simulators simulators_;
    Board *board_ = nullptr;
    Slot slots_[kSlots];
    int next_ = 0, started_ = 0, kills_ = 0, leaves_ = 0;
    std::vector<std::pair<double, Event>> events_;
    size_t fired_ = 0;
    int64_t start_ = 0, workStart_ = 0, workEnd_ = 0;
    std::string trouble_;
};

} // namespace

const std::vector<LinkSpec> &Links() {
    static const std::vector<LinkSpec> links{
        {"rs232", Kind::Rs232, CHANNEL_PROTOCOL_ORV},
        {"rs485", Kind::Rs485, CHANNEL_PROTOCOL_ORV},
        {"driver", Kind::Driver, CHANNEL_PROTOCOL_ORV},
        {"udp", Kind::Udp, CHANNEL_PROTOCOL_ORV},
        {"tcp", Kind::Tcp, CHANNEL_PROTOCOL_ORV},
        {"peak-orv", Kind::Peak, CHANNEL_PROTOCOL_ORV},
        {"peak-torvanecan", Kind::Peak, CHANNEL_PROTOCOL_TORVANECAN},
        {"esd-orv", Kind::Esd, CHANNEL_PROTOCOL_ORV},
        {"esd-torvanecan", Kind::Esd, CHANNEL_PROTOCOL_TORVANECAN},
        {"ascii-can", Kind::Ascii, CHANNEL_PROTOCOL_ORV},
        {"socketcan", Kind::SocketCan, CHANNEL_PROTOCOL_ORV},
    };
    return links;
}

const LinkSpec *FindLink(const std::string &name) {
    for (const auto &link : Links())
        if (link.name == name) return &link;
    return nullptr;
}

bool OwnConnectionPerProcess(Kind kind) { return kind == Kind::Driver || kind == Kind::Udp || kind == Kind::Tcp; }

bool IsCan(Kind kind) {
    return kind == Kind::Peak || kind == Kind::Esd || kind == Kind::Ascii || kind == Kind::SocketCan;
}

bool RunLink(const LinkSpec &link, const RunOptions &options) { return LinkRun(link, options).Run(); }

} // namespace soak

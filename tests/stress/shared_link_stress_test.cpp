// Several processes with two threads each sharing one link under load, while other processes
// join and leave: every thread writes its own memory range of its process's drive and reads it
// back, round after round. Nothing may be lost, misrouted or interleaved: every word read back
// is the word written, the simulator sees no damaged frame, and the slot table is empty at the
// end. Bounded in size, so that it runs in CI (label `stress`).
#include "../integration/can_fixture.h"
#include "../integration/serial_fixture.h"

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using ztest::Child;
using ztest::SimProcess;

constexpr int kProcesses = 4;
constexpr int kThreads = 2;
constexpr int kRounds = 150;
constexpr int kVisitors = 8;
constexpr int kVisitorRounds = 10;

constexpr uint16_t kWorkerBase = 0x1000;
constexpr uint16_t kVisitorBase = 0x6000;

// The words thread `thread` writes in round `round`: 1 to 8 of them, different every round.
std::vector<uint16_t> Pattern(int seed, int thread, int round) {
    std::vector<uint16_t> words(1 + static_cast<size_t>((seed * 7 + thread * 3 + round) % 8));
    uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(seed * 100000 + thread * 1000 + round + 1);
    for (uint16_t &word : words) {
        state = state * 1664525u + 1013904223u;
        word = static_cast<uint16_t>(state >> 16);
    }
    return words;
}

uint16_t RangeOf(uint16_t base, int thread) { return static_cast<uint16_t>(base + 0x100 * thread); }

std::vector<std::string> Split(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// A process of the library that follows the test's lines:
//   open NAME HOST TYPE | active AXIS | close | quit
//   run SEED THREADS ROUNDS BASE  -> "done EXCHANGES FAILURES MISMATCHES [first failure]"
int Worker(Child &self) {
    ztest::Library lib = ztest::LoadLibrary();
    if (!lib.module) return 11;
    self.Reply("loaded");
    while (auto line = self.Receive(std::chrono::seconds(120))) {
        const auto w = Split(*line);
        if (w.empty()) continue;
        if (w[0] == "open" && w.size() == 4) {
            const int32_t handle =
                lib.MSK_OpenComm(w[1].c_str(), static_cast<uint16_t>(std::stoi(w[2])), 0,
                                 static_cast<uint8_t>(std::stoi(w[3])));
            self.Reply(handle > 0 ? "ok" : std::string("fail ") + ztest::Escape(lib.MSK_GetLastError()));
        } else if (w[0] == "active" && w.size() == 2) {
            self.Reply(lib.MSK_SetActiveDrive(static_cast<uint16_t>(std::stoi(w[1]))) ? "ok" : "fail");
        } else if (w[0] == "run" && w.size() == 5) {
            const int seed = std::stoi(w[1]), threads = std::stoi(w[2]), rounds = std::stoi(w[3]);
            const auto base = static_cast<uint16_t>(std::stoi(w[4]));
            std::atomic<int> exchanges{0}, failures{0}, mismatches{0};
            std::mutex mutex;
            std::string first;
            std::vector<std::thread> running;
            for (int t = 0; t < threads; ++t) {
                running.emplace_back([&, t] {
                    for (int round = 0; round < rounds; ++round) {
                        const auto words = Pattern(seed, t, round);
                        const auto count = static_cast<uint16_t>(words.size());
                        std::vector<uint16_t> back(words.size(), 0xDEAD);
                        const bool ok =
                            lib.MSK_SendData(words.data(), RangeOf(base, t), MEMORY_DATA, count) &&
                            lib.MSK_ReceiveData(back.data(), RangeOf(base, t), MEMORY_DATA, count);
                        ++exchanges;
                        if (!ok) {
                            ++failures;
                            std::lock_guard lock(mutex);
                            if (first.empty())
                                first = "thread " + std::to_string(t) + " round " +
                                        std::to_string(round) + ": " +
                                        ztest::Escape(lib.MSK_GetLastError());
                        } else if (back != words) {
                            ++mismatches;
                        }
                    }
                });
            }
            for (auto &thread : running) thread.join();
            self.Reply("done " + std::to_string(exchanges) + " " + std::to_string(failures) + " " +
                       std::to_string(mismatches) + " " + first);
        } else if (w[0] == "close") {
            self.Reply(lib.MSK_CloseComm(-1) ? "ok" : "fail");
        } else if (w[0] == "quit") {
            ztest::UnloadLibrary(lib);
            return 0;
        } else {
            self.Reply("bad-command");
        }
    }
    return 12;
}

std::string Do(Child &child, const std::string &line) {
    child.Send(line);
    return child.Read(std::chrono::seconds(60)).value_or("<no answer>");
}

// The drive's words from a `peek` reply.
std::vector<uint16_t> Peek(SimProcess &sim, int axis, uint16_t address, size_t count) {
    std::vector<uint16_t> words;
    for (const auto &word : Split(sim.Command("peek " + std::to_string(axis) + " data " +
                                              std::to_string(address) + " " + std::to_string(count))))
        if (word != "OK") words.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
    return words;
}

struct Link {
    std::string name;
    uint16_t host;
    uint8_t type;
    int firstAxis; // the drive of worker 0; worker p has firstAxis + p
};

// The whole load on one link: the workers start together, visitors come and go meanwhile, and
// everything written is checked in the drives afterwards.
void RunLoad(SimProcess &sim, const Link &link) {
    std::vector<std::unique_ptr<Child>> workers;
    for (int p = 0; p < kProcesses; ++p) {
        workers.push_back(std::make_unique<Child>(Worker));
        ASSERT_EQ(workers.back()->Read(), "loaded");
        const std::string open = "open " + link.name + " " + std::to_string(link.host) + " " +
                                 std::to_string(link.type);
        ASSERT_EQ(Do(*workers.back(), open), "ok") << "worker " << p;
        ASSERT_EQ(Do(*workers.back(), "active " + std::to_string(link.firstAxis + p)), "ok");
    }
    {
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        ASSERT_TRUE(view.valid());
        EXPECT_EQ(static_cast<const zorcomm::SharedSection *>(view.library())->processCount, kProcesses);
        EXPECT_EQ(view.LiveMutexObjects(), 2); // the table's and the link's
    }
    const std::string run = " " + std::to_string(kThreads) + " " + std::to_string(kRounds) + " " +
                            std::to_string(kWorkerBase);
    for (int p = 0; p < kProcesses; ++p) workers[static_cast<size_t>(p)]->Send("run " + std::to_string(p) + run);

    // Processes joining the link and leaving it while the workers are at it.
    for (int v = 0; v < kVisitors; ++v) {
        Child visitor(Worker);
        ASSERT_EQ(visitor.Read(), "loaded");
        ASSERT_EQ(Do(visitor, "open " + link.name + " " + std::to_string(link.host) + " " +
                                  std::to_string(link.type)),
                  "ok");
        ASSERT_EQ(Do(visitor, "active " + std::to_string(link.firstAxis)), "ok");
        const std::string done = Do(visitor, "run " + std::to_string(100 + v) + " 1 " +
                                                 std::to_string(kVisitorRounds) + " " +
                                                 std::to_string(kVisitorBase + 0x40 * v));
        EXPECT_EQ(done, "done " + std::to_string(kVisitorRounds) + " 0 0 ") << "visitor " << v;
        EXPECT_EQ(Do(visitor, "close"), "ok");
        visitor.Send("quit");
        EXPECT_EQ(visitor.Wait(), 0);
    }

    const std::string expected = "done " + std::to_string(kThreads * kRounds) + " 0 0 ";
    for (int p = 0; p < kProcesses; ++p) {
        const auto done = workers[static_cast<size_t>(p)]->Read(std::chrono::seconds(120));
        EXPECT_EQ(done.value_or("<no answer>"), expected) << "worker " << p;
    }
    // The last words of every range are in the drive they were meant for.
    for (int p = 0; p < kProcesses; ++p)
        for (int t = 0; t < kThreads; ++t) {
            const auto last = Pattern(p, t, kRounds - 1);
            EXPECT_EQ(Peek(sim, link.firstAxis + p, RangeOf(kWorkerBase, t), last.size()), last)
                << "worker " << p << " thread " << t;
        }
    for (int v = 0; v < kVisitors; ++v) {
        const auto last = Pattern(100 + v, 0, kVisitorRounds - 1);
        EXPECT_EQ(Peek(sim, link.firstAxis, static_cast<uint16_t>(kVisitorBase + 0x40 * v), last.size()), last)
            << "visitor " << v;
    }
    for (auto &worker : workers) {
        EXPECT_EQ(Do(*worker, "close"), "ok");
        worker->Send("quit");
        EXPECT_EQ(worker->Wait(), 0);
    }
    // The last process out removed the region: no slot, handle or mutex is left.
    EXPECT_FALSE(zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid());
}

class SerialStressTest : public ztest::LibraryTest {
protected:
    void SetUp() override {}    // only the helper processes load the library
    void TearDown() override {}
};

TEST_F(SerialStressTest, FourProcessesOfTwoThreadsOnOneSerialPort) {
    auto sim = StartSerialSim({"--axes", "1,2,3,4", "--frame-timeout", "500"});
    sim->Command("stats reset");
    RunLoad(*sim, Link{"COM7", 1, CHANNEL_RS232, 1});
    // Frames never interleaved on the line: none damaged, none abandoned half-way.
    const std::string stats = sim->Command("stats");
    for (const char *counter : {" bad_checksum=0 ", " bad_length=0 ", " partial=0 "})
        EXPECT_NE(stats.find(counter), std::string::npos) << counter << " in " << stats;
}

class CanStressTest : public ztest::CanTest {};

TEST_F(CanStressTest, FourProcessesOfTwoThreadsOnOneCanAdapter) {
    if (!ztest::InProcessWithSearchPath(ztest::VendorDir())) return;
    auto bus = StartBus({"--axes", "2,3,4,5"});
    Start("[ZORCOMM]\nCAN_SEND_TIMEOUT=500\nCAN_RECEIVE_TIMEOUT=1000\n", false);
    bus->Command("stats reset");
    RunLoad(*bus, Link{"1", 1, CHANNEL_PEAK_PCAN_USB, 2});
    // Every frame of the processes reached the bus whole. (Frames for processes that sit idle
    // with the channel open overflow their connections to the bus; they never read them.)
    const std::string stats = bus->Command("stats");
    for (const char *counter : {" dropped_rx=0 ", " foreign=0 ", " bad_packets=0 "})
        EXPECT_NE(stats.find(counter), std::string::npos) << counter << " in " << stats;
}

} // namespace

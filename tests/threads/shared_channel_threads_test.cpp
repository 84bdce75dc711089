// Threads of one process sharing one channel through the exports, and the IXXAT VCI V2
// library's own receive thread beside the application's threads. The tsan preset runs these
// (label `threads`) under ThreadSanitizer; they run everywhere else as ordinary tests.
#include "../integration/can_fixture.h"
#include "../integration/serial_fixture.h"

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::SimProcess;
using ztest::VendorDir;

constexpr int kRounds = 25;

// The words a thread writes in one round: its own, different every round.
std::vector<uint16_t> Pattern(int thread, int round, size_t count) {
    std::vector<uint16_t> words(count);
    uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(thread * 1000 + round + 1);
    for (uint16_t &word : words) {
        state = state * 1664525u + 1013904223u;
        word = static_cast<uint16_t>(state >> 16);
    }
    return words;
}

// What the threads of a test saw go wrong, gathered under a lock.
class Failures {
public:
    void Add(const std::string &what) {
        std::lock_guard lock(mutex_);
        lines_.push_back(what);
    }
    std::string Text() {
        std::lock_guard lock(mutex_);
        std::ostringstream out;
        for (const auto &line : lines_) out << line << "\n";
        return out.str();
    }
    bool empty() {
        std::lock_guard lock(mutex_);
        return lines_.empty();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Each thread writes its own range of data memory and reads it back, round after round. The
// final words of each range are returned for the test to compare with the drive's memory.
template <typename Exports>
std::vector<std::vector<uint16_t>> RunThreads(Exports &lib, int threads, uint16_t base,
                                              Failures &failures, bool askErrors = false) {
    std::vector<std::vector<uint16_t>> last(static_cast<size_t>(threads));
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            const auto address = static_cast<uint16_t>(base + 0x100 * t);
            for (int round = 0; round < kRounds; ++round) {
                const size_t count = 1 + static_cast<size_t>(round % 9);
                const auto words = Pattern(t, round, count);
                const auto size = static_cast<uint16_t>(count);
                if (!lib.MSK_SendData(words.data(), address, MEMORY_DATA, size)) {
                    failures.Add("thread " + std::to_string(t) + " write " + std::to_string(round));
                    return;
                }
                std::vector<uint16_t> back(count, 0xDEAD);
                if (!lib.MSK_ReceiveData(back.data(), address, MEMORY_DATA, size)) {
                    failures.Add("thread " + std::to_string(t) + " read " + std::to_string(round));
                    return;
                }
                if (back != words) failures.Add("thread " + std::to_string(t) + " read other words");
                // Applications look at the last error text after their calls, whichever thread
                // made them (after a success it is the thread's system error, if any).
                if (askErrors && lib.MSK_GetLastError() == nullptr)
                    failures.Add("thread " + std::to_string(t) + " got no error text");
                last[static_cast<size_t>(t)] = words;
            }
        });
    }
    for (auto &thread : running) thread.join();
    return last;
}

// The drive's words of a range, from the simulator's `peek` line.
std::vector<uint16_t> Peek(SimProcess &sim, const std::string &where, size_t count) {
    std::istringstream in(sim.Command("peek " + where + " " + std::to_string(count)));
    std::vector<uint16_t> words;
    for (std::string word; in >> word;)
        if (word != "OK") words.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
    return words;
}

class SerialThreadsTest : public ztest::LibraryTest {};

TEST_F(SerialThreadsTest, TwoThreadsShareOneSerialChannel) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2)) << LastError();
    sim->Command("stats reset");
    Failures failures;
    const auto last = RunThreads(lib, 2, 0x0400, failures, true);
    EXPECT_TRUE(failures.empty()) << failures.Text();
    for (size_t t = 0; t < last.size(); ++t)
        EXPECT_EQ(Peek(*sim, "2 data " + std::to_string(0x0400 + 0x100 * t), last[t].size()),
                  last[t]);
    // Frames of the two threads never interleaved on the line.
    const std::string stats = sim->Command("stats");
    EXPECT_NE(stats.find(" bad_checksum=0 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" partial=0 "), std::string::npos) << stats;
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

class EthernetThreadsTest : public ztest::LibraryTest {
protected:
    EthernetThreadsTest()
        : LibraryTest("[ZORCOMM]\nUDP_RECEIVE_TIMEOUT=500\nWAIT_AFTER_BAUD_CHANGE=5\n") {}
};

// Blocks go through the device server's TCP connection and small ones as datagrams, from two
// threads at once.
TEST_F(EthernetThreadsTest, TwoThreadsShareOneDeviceServer) {
    SimProcess sim({"xport", "--address", "127.0.0.140", "--axes", "1"});
    ASSERT_EQ(sim.firstLine().rfind("XPORT 127.0.0.140:", 0), 0u) << sim.firstLine();
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.140", 1, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    Failures failures;
    const auto last = RunThreads(lib, 2, 0x0800, failures);
    EXPECT_TRUE(failures.empty()) << failures.Text();
    for (size_t t = 0; t < last.size(); ++t)
        EXPECT_EQ(Peek(sim, "data " + std::to_string(0x0800 + 0x100 * t), last[t].size()), last[t]);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

class CanThreadsTest : public CanTest {};

std::atomic<int> unsolicitedSeen{0};

// The version 2 library appends received frames to the channel's queue on its own thread while
// two application threads send and take replies, and the drives send messages of their own.
TEST_F(CanThreadsTest, IxxatV2ReceiveThreadBesideTwoCallers) {
    if (!InProcessWithSearchPath(VendorDir("v2-only"))) return;
    auto bus = StartBus({"--axes", "2,3", "--pc-address", "0x10"});
    auto &lib = Start();
    ASSERT_GT(lib.MSK_OpenComm("1", 1, 0, CHANNEL_IXXAT_CAN), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2)) << LastError();
    unsolicitedSeen = 0;
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler([](DriveMessage *) { ++unsolicitedSeen; });

    std::atomic<bool> done{false};
    std::thread chatter([&] {
        for (int i = 0; !done && i < 200; ++i) {
            bus->Command("unsolicited 3 0x1234 " + std::to_string(i));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    Failures failures;
    const auto last = RunThreads(lib, 2, 0x0200, failures);
    done = true;
    chatter.join();
    EXPECT_TRUE(failures.empty()) << failures.Text();
    for (size_t t = 0; t < last.size(); ++t)
        EXPECT_EQ(Peek(*bus, "2 data " + std::to_string(0x0200 + 0x100 * t), last[t].size()),
                  last[t]);
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

} // namespace

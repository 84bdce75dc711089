// Threads of one process sharing one channel through the exports, and the IXXAT VCI V2
// library's own receive thread beside the application's threads. The tsan preset runs these
// (label `threads`) under ThreadSanitizer; they run everywhere else as ordinary tests.
#include "../integration/can_fixture.h"
#include "../integration/serial_fixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using ztest::CanTest;
using ztest::Child;
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

// One thread's call stops in the log handler, with its channel's lock held, while another
// thread selects a second channel. The call must give back the lock it took, not the one of
// the channel selected by then: another process then uses the first channel at once.
class SelectionThreadsTest : public ztest::LibraryTest {
protected:
    void SetUp() override {} // the library is loaded after the helper process is started

    struct Pause {
        std::mutex mutex;
        std::condition_variable changed;
        bool inCall = false;
        bool selected = false;
        bool callDone = false;
        bool finish = false;
    };
    static Pause &Paused() {
        static Pause pause;
        return pause;
    }
    // The first traffic line of a call waits (bounded) for the other thread's selection.
    static void HoldFirstWrite(const char *line) {
        if (std::string(line).find("Bytes Write") == std::string::npos) return;
        Pause &pause = Paused();
        std::unique_lock lock(pause.mutex);
        if (pause.inCall) return;
        pause.inCall = true;
        pause.changed.notify_all();
        pause.changed.wait_for(lock, std::chrono::seconds(10), [&] { return pause.selected; });
    }
};

TEST_F(SelectionThreadsTest, ACallGivesBackItsOwnLocksWhenAnotherThreadSelectsAnotherChannel) {
    auto first = StartSerialSim({"--axes", "1"}, 7);
    auto second = StartSerialSim({"--axes", "1"}, 8);
    Child other(ztest::LibraryProcess);
    ASSERT_EQ(other.Read(), "loaded");
    lib = ztest::LoadLibrary();
    const int32_t one = lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232);
    ASSERT_GT(one, 0) << LastError();
    const int32_t two = lib.MSK_OpenComm("COM8", 1, 0, CHANNEL_RS232);
    ASSERT_GT(two, 0) << LastError();
    ASSERT_GT(lib.MSK_SelectComm(one), 0);
    lib.MSK_RegisterDebugLogHandler(3, HoldFirstWrite);

    // The caller stays alive after its call: a lock it kept would stay held, not abandoned.
    const uint16_t words[2] = {0x1111, 0x2222};
    Pause &pause = Paused();
    std::thread caller([&] {
        lib.MSK_SendData(words, 0x0300, MEMORY_DATA, 2);
        std::unique_lock lock(pause.mutex);
        pause.callDone = true;
        pause.changed.notify_all();
        pause.changed.wait_for(lock, std::chrono::seconds(60), [&] { return pause.finish; });
    });
    {
        std::unique_lock lock(pause.mutex);
        const bool inCall =
            pause.changed.wait_for(lock, std::chrono::seconds(10), [&] { return pause.inCall; });
        EXPECT_TRUE(inCall) << "the call wrote nothing";
        EXPECT_GT(lib.MSK_SelectComm(two), 0);
        pause.selected = true;
        pause.changed.notify_all();
        pause.changed.wait_for(lock, std::chrono::seconds(10), [&] { return pause.callDone; });
    }
    lib.MSK_RegisterDebugLogHandler(0, nullptr);

    // The first channel's lock is free: the other process joins the port and reads the drive.
    other.Send("open COM7 1 0 0");
    const auto opened = other.Read(std::chrono::seconds(15));
    EXPECT_TRUE(opened && opened->rfind("ok ", 0) == 0) << opened.value_or("<no answer>");
    other.Send("read 0x10 1 1");
    const auto read = other.Read(std::chrono::seconds(15));
    EXPECT_TRUE(read && read->rfind("ok ", 0) == 0) << read.value_or("<no answer>");
    {
        std::lock_guard lock(pause.mutex);
        pause.finish = true;
        pause.changed.notify_all();
    }
    caller.join();
    if (!read) return; // the port stays locked: the helper process is killed
    // And both channels still work from this process.
    uint16_t back = 0;
    ASSERT_GT(lib.MSK_SelectComm(one), 0);
    EXPECT_TRUE(lib.MSK_ReceiveData(&back, 0x0300, MEMORY_DATA, 1)) << LastError();
    ASSERT_GT(lib.MSK_SelectComm(two), 0);
    EXPECT_TRUE(lib.MSK_ReceiveData(&back, 0x0300, MEMORY_DATA, 1)) << LastError();
    other.Send("quit");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

// Handlers registered and removed by one thread while two others share a channel: the calls
// read them without a lock, and messages go to the handler registered at the time.
TEST_F(SerialThreadsTest, HandlersChangeWhileTwoThreadsShareAChannel) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2)) << LastError();
    std::atomic<bool> done{false};
    const DebugLogHandler log = [](const char *) {};
    const UnsolicitedMessageHandler unsolicited = [](DriveMessage *) {};
    std::thread registrar([&] {
        for (int i = 0; !done && i < 2000; ++i) {
            lib.MSK_RegisterDebugLogHandler(i % 2 ? 3 : 0, log);
            lib.MSK_RegisterReceiveUnsolicitedMsgHandler(i % 3 ? unsolicited : nullptr);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    Failures failures;
    const auto last = RunThreads(lib, 2, 0x0600, failures, true);
    done = true;
    registrar.join();
    lib.MSK_RegisterDebugLogHandler(0, nullptr);
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    EXPECT_TRUE(failures.empty()) << failures.Text();
    for (size_t t = 0; t < last.size(); ++t)
        EXPECT_EQ(Peek(*sim, "2 data " + std::to_string(0x0600 + 0x100 * t), last[t].size()),
                  last[t]);
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

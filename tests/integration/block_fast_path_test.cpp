// Block transfers on a device server with a TCP connection: whole blocks go as one command,
// small data-memory blocks as messages; progress, stops and failures reset the connection.
// Against `zorcomm-sim xport`, each test on a loopback address of its own.
#include "driver_fixture.h"

#include <coff_writer.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ztest::Frame;
using ztest::ProgressRecorder;
using ztest::SimProcess;

const char *kSettings = "[ZORCOMM]\n"
                        "UDP_RECEIVE_TIMEOUT=200\n"
                        "WAIT_AFTER_BAUD_CHANGE=5\n"
                        "RESET_DEAD_TIME=20\n"
                        "RUN_DEAD_TIME=0\n";

std::vector<std::string> Listed(SimProcess &sim, const std::string &command) {
    std::istringstream in(sim.Command(command));
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        if (word != "OK") words.push_back(word);
    return words;
}

// The frames on the data port since the last look, without the line rate.
std::vector<std::string> History(SimProcess &sim) {
    std::vector<std::string> frames;
    for (const std::string &word : Listed(sim, "history"))
        frames.push_back(word.substr(word.find(':') + 1));
    return frames;
}

std::vector<uint16_t> Peek(SimProcess &sim, const std::string &memory, uint16_t address,
                           size_t count) {
    std::vector<uint16_t> words;
    for (const std::string &word : Listed(sim, "peek " + memory + " " + std::to_string(address) +
                                                   " " + std::to_string(count)))
        words.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
    return words;
}

std::vector<DriveMessage> &Unsolicited() {
    static std::vector<DriveMessage> messages;
    return messages;
}

class FastPathTest : public ztest::LibraryTest {
protected:
    explicit FastPathTest(const char *settings = kSettings) : LibraryTest(settings) {}

    void TearDown() override {
        ProgressRecorder::Reset();
        lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
        LibraryTest::TearDown();
    }

    SimProcess &Start(const std::string &address, const std::vector<std::string> &options = {}) {
        std::vector<std::string> arguments{"xport", "--address", address, "--axes", "1,2"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        sim_ = std::make_unique<SimProcess>(arguments);
        EXPECT_EQ(sim_->firstLine().rfind("XPORT " + address + ":", 0), 0u) << sim_->firstLine();
        EXPECT_GT(lib.MSK_OpenComm(address.c_str(), 1, 0, CHANNEL_XPORT_TCP), 0) << LastError();
        History(*sim_);
        return *sim_;
    }

    std::unique_ptr<SimProcess> sim_;
};

TEST_F(FastPathTest, WholeBlocksGoAsOneCommand) {
    SimProcess &sim = Start("127.0.0.60");
    const std::vector<uint16_t> words = coffwriter::PatternWords(11, 5);
    // Block command: write (0x20) or read (0x10) OR the memory type, tries, reply time-out
    // (UDP_RECEIVE_TIMEOUT / 2), host axis, destination axis, address, count.
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 9)) << LastError();
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"20:3:100:1:1:8000:0009"});
    EXPECT_EQ(Peek(sim, "program", 0x8000, 9),
              std::vector<uint16_t>(words.begin(), words.begin() + 9));
    EXPECT_TRUE(History(sim).empty()) << "no pointer set or read by the library";

    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x3000, MEMORY_SPI, 4)) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0100, MEMORY_DATA, 5)) << LastError();
    EXPECT_EQ(Listed(sim, "blocks"),
              (std::vector<std::string>{"22:3:100:1:1:3000:0004", "21:3:100:1:2:0100:0005"}));
    EXPECT_EQ(Peek(sim, "2 data", 0x0100, 5),
              std::vector<uint16_t>(words.begin(), words.begin() + 5));
    std::vector<uint16_t> read(11);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0100, MEMORY_DATA, 5)) << LastError();
    EXPECT_EQ(std::vector<uint16_t>(read.begin(), read.begin() + 5),
              std::vector<uint16_t>(words.begin(), words.begin() + 5));
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"11:3:100:1:2:0100:0005"});

    // Four words of data memory or fewer go as messages, to read as well as to write.
    History(sim);
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0200, MEMORY_DATA, 4)) << LastError();
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0200, MEMORY_PROGRAM, 4)) << LastError();
    EXPECT_TRUE(Listed(sim, "blocks").empty());
    EXPECT_EQ(History(sim), (std::vector<std::string>{
                                Frame(0x0020, 0x9005, {0x0200, words[0], words[1]}),
                                Frame(0x0020, 0x9005, {0x0202, words[2], words[3]}),
                                Frame(0x0020, 0xB001, {0x0011, 0x0200}),
                                Frame(0x0020, 0xB001, {0x0011, 0x0202}),
                            }));
    // ... while four words of program memory take the block command.
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0200, MEMORY_PROGRAM, 4)) << LastError();
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"20:3:100:1:2:0200:0004"});

    // Reads of more than four words come back in chunks of four; drive messages that wait
    // meanwhile reach the handler.
    Unsolicited().clear();
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(
        [](DriveMessage *message) { Unsolicited().push_back(*message); });
    ASSERT_EQ(sim.Command("unsolicited 2 0x1234 7"), "OK");
    for (int i = 0; i < 100 && lib.MSK_GetBytesCountInQueue() <= 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sim.Command("poke 2 spi 0x4000 " +
                          [&] {
                              std::string line;
                              for (uint16_t word : words) line += std::to_string(word) + " ";
                              return line;
                          }()),
              "OK");
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x4000, MEMORY_SPI, 11)) << LastError();
    EXPECT_EQ(read, words);
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"12:3:100:1:2:4000:000B"});
    ASSERT_EQ(Unsolicited().size(), 1u);
    EXPECT_EQ(Unsolicited()[0].opCode, 0x1234);
    EXPECT_EQ(Unsolicited()[0].data[0], 7);
}

TEST_F(FastPathTest, ProgressAndStopsOnTheFastPath) {
    SimProcess &sim = Start("127.0.0.61");
    const std::vector<uint16_t> words = coffwriter::PatternWords(120, 9);
    ASSERT_EQ(sim.Command("fault delay 20"), "OK");
    ASSERT_TRUE(lib.MSK_SendBigData(words.data(), 0x8000, MEMORY_PROGRAM, 120,
                                    &ProgressRecorder::Record, 3))
        << LastError();
    const auto &calls = ProgressRecorder::Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front().text, "Sending data... 0%");
    EXPECT_EQ(calls[1].kind, 3);
    const float steps = calls[1].percent * 61.0f / 100.0f; // (k + 1) * 100 / (60 + 1)
    EXPECT_NEAR(steps, std::round(steps), 1e-3) << calls[1].percent;
    EXPECT_EQ(calls.back().text, "Done");
    EXPECT_EQ(Peek(sim, "program", 0x8000, 120), words);

    // A stop resets the connection; the next block gets a fresh one.
    ProgressRecorder::Reset();
    ProgressRecorder::Answer() = [](const ztest::ProgressCall &call) -> uint8_t {
        return call.kind != 3;
    };
    CollectLog(2);
    std::vector<uint16_t> read(240);
    EXPECT_FALSE(lib.MSK_ReceiveBigData(read.data(), 0x8000, MEMORY_PROGRAM, 240,
                                        &ProgressRecorder::Record, 3));
    EXPECT_EQ(LastError(), Text(0x2000007a));
    EXPECT_EQ(ProgressRecorder::Calls().size(), 2u);
    EXPECT_EQ(Logged("XPort TCP connection : Connection reset"), 1);
    EXPECT_EQ(Logged("XPort TCP connection : Connection established"), 1);
    EXPECT_EQ(Logged("cmd. failed!"), 0);
    ASSERT_EQ(sim.Command("fault clear"), "OK");
    Listed(sim, "blocks");
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 120)) << LastError();
    EXPECT_EQ(std::vector<uint16_t>(read.begin(), read.begin() + 120), words);
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"10:3:100:1:1:8000:0078"});
}

// The device server gives up on a drive after its tries of half the datagram time-out each (at
// most 500 ms); the connection waits for its status byte the whole datagram time-out.
class SlowFastPathTest : public FastPathTest {
protected:
    SlowFastPathTest() : FastPathTest("[ZORCOMM]\nUDP_RECEIVE_TIMEOUT=2000\n") {}
};

TEST_F(SlowFastPathTest, ADriveThatDoesNotAnswerBreaksTheBlock) {
    // Drives at the rate the open tries first: a search would wait the long time-out per rate.
    SimProcess &sim = Start("127.0.0.62", {"--baud", "115200"});
    const std::vector<uint16_t> words = coffwriter::PatternWords(10, 2);
    ASSERT_EQ(sim.Command("fault ignore 1000"), "OK");
    CollectLog(2);
    // The device server reports the unanswered message with a status byte above 1.
    EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 10));
    EXPECT_EQ(Listed(sim, "blocks"), std::vector<std::string>{"20:3:500:1:1:8000:000A"});
    EXPECT_EQ(LastError(), Text(0x2000006f));
    EXPECT_EQ(Logged("MSK Error : <Send data> cmd. failed!"), 1);
    EXPECT_EQ(Logged("XPort TCP connection : Connection reset"), 1);
    // An unanswered read: the device server sends what it has and closes the connection.
    std::vector<uint16_t> read(10);
    EXPECT_FALSE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 10));
    EXPECT_EQ(Logged("MSK Error : <Get data> cmd. failed!"), 1);
    EXPECT_EQ(Logged("XPort TCP connection : Connection reset"), 2);
    ASSERT_EQ(sim.Command("fault clear"), "OK");
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 10)) << LastError();
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 10)) << LastError();
    EXPECT_EQ(read, words);
}

TEST_F(FastPathTest, WithoutAConnectionMessagesCarryTheBlock) {
    SimProcess &sim = Start("127.0.0.63", {"--no-tcp"});
    const std::vector<uint16_t> words = coffwriter::PatternWords(5, 4);
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 5)) << LastError();
    EXPECT_EQ(History(sim), (std::vector<std::string>{
                                Frame(0x0010, 0x9004, {0x032B, 0x8000}),
                                Frame(0x0010, 0x9021, {0x032B, words[0], words[1]}),
                                Frame(0x0010, 0x9021, {0x032B, words[2], words[3]}),
                                Frame(0x0010, 0x9020, {0x032B, words[4]}),
                            }));
    std::vector<uint16_t> read(5);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 5)) << LastError();
    EXPECT_EQ(read, words);
    EXPECT_TRUE(Listed(sim, "blocks").empty());
}

} // namespace

// Block transfers of drive memory through the exports, against the simulated drives behind the
// virtual serial driver: the messages on the line, the words in the drive, progress and faults.
#include "driver_fixture.h"

#include <coff_writer.h>

#include <chrono>
#include <cmath>
#include <sstream>

namespace {

using ztest::DriverTest;
using ztest::Frame;
using ztest::ProgressRecorder;

constexpr uint16_t kHost = 0x0010;
constexpr uint16_t kReplyTo = 0x0011; // the host with the PC bit
constexpr uint16_t kPointer = 0x032B;

std::vector<DriveMessage> &Unsolicited() {
    static std::vector<DriveMessage> messages;
    return messages;
}

class BlockTransferTest : public DriverTest {
protected:
    // From now on every unsolicited message is kept in Unsolicited(), emptied first.
    void RecordUnsolicited() {
        Unsolicited().clear();
        lib.MSK_RegisterReceiveUnsolicitedMsgHandler(
            [](DriveMessage *message) { Unsolicited().push_back(*message); });
    }
    // The bytes of the collected log's "Bytes Read" lines, in order.
    std::vector<std::string> BytesRead() {
        std::vector<std::string> reads;
        const std::string caption = "Bytes Read :";
        for (const auto &line : Lines())
            if (const auto at = line.find(caption); at != std::string::npos)
                reads.push_back(line.substr(at + caption.size()));
        return reads;
    }
};

TEST_F(BlockTransferTest, DataMemoryIsWrittenDirectlyAndReadBack) {
    OpenDriver();
    const std::vector<uint16_t> words{0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0100, MEMORY_DATA, 5)) << LastError();
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0x9005, {0x0100, 0x1111, 0x2222}),
                             Frame(kHost, 0x9005, {0x0102, 0x3333, 0x4444}),
                             Frame(kHost, 0x9004, {0x0104, 0x5555}),
                         }));
    EXPECT_EQ(Peek("data", 0x0100, 5), words);

    Poke("data", 0x0200, {0xAAAA, 0xBBBB, 0xCCCC});
    std::vector<uint16_t> read(3);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0200, MEMORY_DATA, 3)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0xAAAA, 0xBBBB, 0xCCCC}));
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0xB005, {kReplyTo, 0x0200}),
                             Frame(kHost, 0xB004, {kReplyTo, 0x0202}),
                         }));

    // Another active drive gets the messages; a null buffer is only fine for no words.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0300, MEMORY_DATA, 1)) << LastError();
    EXPECT_EQ(History(), std::vector<std::string>{Frame(0x0020, 0x9004, {0x0300, 0x1111})});
    EXPECT_EQ(Words(Sim("peek 2 data 0x300")), (std::vector<std::string>{"OK", "1111"}));
    EXPECT_FALSE(lib.MSK_SendData(nullptr, 0x0300, MEMORY_DATA, 1));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_FALSE(lib.MSK_ReceiveBigData(nullptr, 0x0300, MEMORY_DATA, 2, nullptr, 0));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_TRUE(History().empty());
    ASSERT_TRUE(lib.MSK_SendData(nullptr, 0x0300, MEMORY_DATA, 0)) << LastError();
    EXPECT_EQ(History(), std::vector<std::string>{Frame(0x0020, 0x9005, {0x0300})});
}

TEST_F(BlockTransferTest, ProgramAndSpiMemoryGoThroughTheDownloadPointer) {
    OpenDriver();
    const std::vector<uint16_t> words{0xA001, 0xA002, 0xA003, 0xA004};
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 4)) << LastError();
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0x9004, {kPointer, 0x8000}),
                             Frame(kHost, 0x9021, {kPointer, 0xA001, 0xA002}),
                             Frame(kHost, 0x9021, {kPointer, 0xA003, 0xA004}),
                         }));
    EXPECT_EQ(Peek("program", 0x8000, 4), words);
    EXPECT_EQ(Peek("data", kPointer, 1), std::vector<uint16_t>{0x8004});
    // One word: the pointer, then the word, nothing more.
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x9000, MEMORY_PROGRAM, 1)) << LastError();
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0x9004, {kPointer, 0x9000}),
                             Frame(kHost, 0x9020, {kPointer, 0xA001}),
                         }));

    // SPI memory: the pointer is read before every message.
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x3000, MEMORY_SPI, 3)) << LastError();
    const std::string readPointer = Frame(kHost, 0xB004, {kReplyTo, kPointer});
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0x9004, {kPointer, 0x3000}),
                             readPointer,
                             Frame(kHost, 0x9029, {kPointer, 0xA001, 0xA002}),
                             readPointer,
                             Frame(kHost, 0x9028, {kPointer, 0xA003}),
                         }));
    EXPECT_EQ(Peek("spi", 0x3000, 4), (std::vector<uint16_t>{0xA001, 0xA002, 0xA003, 0}));

    std::vector<uint16_t> read(3);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x3000, MEMORY_SPI, 3)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0xA001, 0xA002, 0xA003}));
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0xB009, {kReplyTo, 0x3000}),
                             Frame(kHost, 0xB008, {kReplyTo, 0x3002}),
                         }));
}

TEST_F(BlockTransferTest, AddressesWrapAtSixteenBits) {
    OpenDriver();
    const std::vector<uint16_t> words{0x0E01, 0x0E02, 0x0E03, 0x0E04};
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0xFFFE, MEMORY_DATA, 4)) << LastError();
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0x9005, {0xFFFE, 0x0E01, 0x0E02}),
                             Frame(kHost, 0x9005, {0x0000, 0x0E03, 0x0E04}),
                         }));
    EXPECT_EQ(Peek("data", 0xFFFE, 2), (std::vector<uint16_t>{0x0E01, 0x0E02}));
    EXPECT_EQ(Peek("data", 0x0000, 2), (std::vector<uint16_t>{0x0E03, 0x0E04}));

    // Through the pointer, which the drive wraps too.
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0xFFFE, MEMORY_PROGRAM, 4)) << LastError();
    EXPECT_EQ(Peek("program", 0x0000, 2), (std::vector<uint16_t>{0x0E03, 0x0E04}));
    EXPECT_EQ(Peek("data", kPointer, 1), std::vector<uint16_t>{0x0002});
    History();

    std::vector<uint16_t> read(3);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0xFFFF, MEMORY_PROGRAM, 3)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0x0E02, 0x0E03, 0x0E04}));
    EXPECT_EQ(History(), (std::vector<std::string>{
                             Frame(kHost, 0xB001, {kReplyTo, 0xFFFF}),
                             Frame(kHost, 0xB000, {kReplyTo, 0x0001}),
                         }));
}

TEST_F(BlockTransferTest, ReadsTakeOnlyTheirReplyAndRetryWithoutOne) {
    OpenDriver();
    RecordUnsolicited();
    CollectLog(2);
    // A read of no words asks with the two-word op code and waits for a reply of no words; the
    // drive answers with two, which is somebody else's message each time.
    EXPECT_FALSE(lib.MSK_ReceiveData(nullptr, 0x0100, MEMORY_DATA, 0));
    const std::string request = Frame(kHost, 0xB005, {kReplyTo, 0x0100});
    EXPECT_EQ(History(), (std::vector<std::string>{request, request, request}));
    EXPECT_EQ(Logged("MSK Warning : Retrying <Get data>"), 2);
    EXPECT_EQ(Logged("MSK Error : <Get data> cmd. failed!"), 1);
    ASSERT_EQ(Unsolicited().size(), 3u);
    for (const DriveMessage &message : Unsolicited()) {
        EXPECT_EQ(message.opCode, 0xB405);
        EXPECT_EQ(message.length, 4);
        EXPECT_EQ(message.data[1], 0x0100);
    }
}

// The driver's bytes are fetched in as few calls as it can: messages from the drives that
// wait before a read's answer, more of them than one fetch takes, still reach the handler whole
// and in order, the answer is the read's, and nothing is left counted or waiting.
TEST_F(BlockTransferTest, DriveMessagesBeforeAReadReachTheHandlerInOrder) {
    OpenDriver();
    Poke("data", 0x0100, {0xAAAA, 0xBBBB});
    RecordUnsolicited();
    constexpr int kWaiting = 10; // 8 bytes each: more than one fetch
    for (int i = 0; i < kWaiting; ++i)
        ASSERT_EQ(Sim("unsolicited 1 0x1234 " + std::to_string(i)), "OK");
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 8 * kWaiting);
    std::vector<uint16_t> read(2);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0100, MEMORY_DATA, 2)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0xAAAA, 0xBBBB}));
    ASSERT_EQ(Unsolicited().size(), static_cast<size_t>(kWaiting));
    for (int i = 0; i < kWaiting; ++i) {
        EXPECT_EQ(Unsolicited()[i].opCode, 0x1234);
        EXPECT_EQ(Unsolicited()[i].length, 1);
        EXPECT_EQ(Unsolicited()[i].data[0], i);
    }
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);
    // Without a handler the input is emptied before each send: the read still gets its answer.
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Sim("unsolicited 1 0x1234 9"), "OK");
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0100, MEMORY_DATA, 1)) << LastError();
    EXPECT_EQ(read[0], 0xAAAA);
    EXPECT_EQ(Unsolicited().size(), static_cast<size_t>(kWaiting));
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);
}

// A frame the link holds between a read's acknowledge and its reply is no reply: it reaches
// the handler, the wait goes on to the reply, and the log shows every piece as it was taken.
TEST_F(BlockTransferTest, AFrameBetweenAcknowledgeAndReplyGoesToTheHandler) {
    OpenDriver();
    Poke("data", 0x0100, {0xAAAA, 0xBBBB});
    RecordUnsolicited();
    // An acknowledge and a frame of no words waiting: the read takes the acknowledge as its own,
    // then finds the frame before the drive's acknowledge and answer.
    ASSERT_EQ(Sim("inject 0x4F 0x04 0x00 0x11 0x12 0x34 0x5B"), "OK");
    CollectLog(3);
    std::vector<uint16_t> read(2);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0100, MEMORY_DATA, 2)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0xAAAA, 0xBBBB}));
    ASSERT_EQ(Unsolicited().size(), 1u);
    EXPECT_EQ(Unsolicited()[0].address, kReplyTo);
    EXPECT_EQ(Unsolicited()[0].opCode, 0x1234);
    EXPECT_EQ(Unsolicited()[0].length, 0);
    const std::vector<std::string> reads = BytesRead();
    EXPECT_EQ(reads, (std::vector<std::string>{"  4F\n", "  04\n", "  00 11 12 34 5B\n", "  4F\n",
                                               "  0C\n",
                                               "  00 11 B4 05 00 10 01 00 AA AA BB BB B1\n"}));
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);
}

// The traffic log shows a read's bytes in the pieces the protocol takes them, though the link
// fetched them from the driver in one read: the acknowledge, the frame's length, the rest.
TEST_F(BlockTransferTest, TheTrafficLogShowsAReadInThePiecesTaken) {
    OpenDriver();
    Poke("data", 0x0500, {0x1234, 0xABCD});
    CollectLog(3);
    std::vector<uint16_t> read(2);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0500, MEMORY_DATA, 2)) << LastError();
    EXPECT_EQ(read, (std::vector<uint16_t>{0x1234, 0xABCD}));
    const std::vector<std::string> reads = BytesRead();
    // The reply goes to the host axis with the PC's bit, from axis 1: address, op code, the
    // drive's address, the address read, the words, the checksum.
    EXPECT_EQ(reads, (std::vector<std::string>{"  4F\n", "  0C\n",
                                               "  00 11 B4 05 00 10 05 00 12 34 AB CD A9\n"}));
    EXPECT_EQ(Logged("Bytes Write : "), 1);
}

// A read's acknowledge and answer are fetched from the driver in one read that waits up to the
// driver's read time-out; when they stop short, the reads behind that fetch do not wait for the
// driver a second time: the try ends after one time-out, the retry reads the answer.
TEST_F(BlockTransferTest, AnAnswerThatStopsShortCostsOneDriverTimeOut) {
    OpenDriver();
    Poke("data", 0x0300, {0x1357, 0x2468});
    constexpr int kReadTimeoutMs = 600;
    ASSERT_EQ(Sim("read-timeout " + std::to_string(kReadTimeoutMs)), "OK");
    // The answer comes without the acknowledge before it: one byte short of what was asked.
    ASSERT_EQ(Sim("fault withhold-ack 1"), "OK");
    CollectLog(2);
    std::vector<uint16_t> read(2);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0300, MEMORY_DATA, 2)) << LastError();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    EXPECT_EQ(read, (std::vector<uint16_t>{0x1357, 0x2468}));
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 1);
    EXPECT_GE(took, kReadTimeoutMs);
    EXPECT_LT(took, 2 * kReadTimeoutMs - 100);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);
}

TEST_F(BlockTransferTest, ProgressReportsAreRateLimitedAndCanStopATransfer) {
    OpenDriver();
    const std::vector<uint16_t> words = coffwriter::PatternWords(160, 7);
    ASSERT_TRUE(
        lib.MSK_SendBigData(words.data(), 0x0400, MEMORY_DATA, 4, &ProgressRecorder::Record, 77))
        << LastError();
    const auto &calls = ProgressRecorder::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, 4);
    EXPECT_EQ(calls[0].text, "Sending data... 0%");
    EXPECT_EQ(calls[0].percent, 0.0f);
    EXPECT_EQ(calls[1].kind, 3);
    EXPECT_EQ(calls[1].text, "Done");
    EXPECT_EQ(calls[1].percent, 100.0f);
    for (const auto &call : calls) EXPECT_EQ(call.userValue, 77u);

    // Slow answers: a read of 80 steps takes over a second, so one report comes between.
    ASSERT_EQ(Sim("fault delay 15"), "OK");
    Poke("data", 0x0400, words);
    ProgressRecorder::Reset();
    std::vector<uint16_t> read(160);
    ASSERT_TRUE(
        lib.MSK_ReceiveBigData(read.data(), 0x0400, MEMORY_DATA, 160, &ProgressRecorder::Record, 5))
        << LastError();
    EXPECT_EQ(read, words);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front().text, "Receiving data... 0%");
    EXPECT_EQ(calls.back().text, "Done");
    float before = 0;
    for (size_t i = 1; i + 1 < calls.size(); ++i) {
        EXPECT_EQ(calls[i].kind, 3);
        EXPECT_GT(calls[i].percent, before);
        EXPECT_LT(calls[i].percent, 100.0f);
        // (k + 1) * 100 / (80 + 1) for some step k
        const float steps = calls[i].percent * 81.0f / 100.0f;
        EXPECT_NEAR(steps, std::round(steps), 1e-3) << calls[i].percent;
        char expected[64];
        std::snprintf(expected, sizeof expected, "Receiving data... %.0f%%", calls[i].percent);
        EXPECT_EQ(calls[i].text, expected);
        before = calls[i].percent;
    }

    // Stopped at the first report: nothing more is sent, and no failure line is written.
    ProgressRecorder::Reset();
    ProgressRecorder::Answer() = [](const ztest::ProgressCall &call) -> uint8_t {
        return call.kind != 3;
    };
    CollectLog(1);
    History();
    EXPECT_FALSE(
        lib.MSK_SendBigData(words.data(), 0x1000, MEMORY_DATA, 160, &ProgressRecorder::Record, 5));
    EXPECT_EQ(LastError(), Text(0x2000007a));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "Sending data... 0%");
    EXPECT_EQ(calls[1].kind, 3);
    EXPECT_EQ(Logged("cmd. failed!"), 0);
    const size_t sent = History().size();
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, 80u);
    // The steps before the stop arrived, none after it.
    const auto memory = Peek("data", 0x1000, 160);
    EXPECT_TRUE(std::equal(words.begin(), words.begin() + 2 * sent, memory.begin()));
    EXPECT_TRUE(
        std::all_of(memory.begin() + 2 * sent, memory.end(), [](uint16_t w) { return w == 0; }));
}

class SerialBlockTest : public ztest::LibraryTest {};

TEST_F(SerialBlockTest, BlocksOverAPseudoTerminal) {
    auto sim = StartSerialSim({"--axes", "4"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232), 0) << LastError();
    const std::vector<uint16_t> words = coffwriter::PatternWords(41, 3);
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x9000, MEMORY_PROGRAM, 41)) << LastError();
    EXPECT_EQ(
        sim->Command("peek program 0x9028 1"), "OK " + [&] {
            char text[8];
            std::snprintf(text, sizeof text, "%04X", words[40]);
            return std::string(text);
        }());
    std::vector<uint16_t> read(41);
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x9000, MEMORY_PROGRAM, 41)) << LastError();
    EXPECT_EQ(read, words);
    ASSERT_EQ(sim->Command("poke data 0x10 0x1234 0x5678"), "OK");
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x10, MEMORY_DATA, 2)) << LastError();
    EXPECT_EQ(read[0], 0x1234);
    EXPECT_EQ(read[1], 0x5678);
}

// A write through the download pointer whose acknowledge is lost after the drive acted on it:
// before the engine writes the message again it puts the pointer back where the message's words
// belong, so every word lands once, in its place. Over a serial port and over UDP; the message
// on the line lost is the first, a middle or the last of the block.
class LostAcknowledgeTest : public ztest::LibraryTest {
protected:
    LostAcknowledgeTest()
        : LibraryTest(std::string(ztest::kFastSettings) + "UDP_RECEIVE_TIMEOUT=200\n") {}

    // The frames the PC sent since the last look, without the line rate.
    static std::vector<std::string> Sent(ztest::SimProcess &sim) {
        std::istringstream words(sim.Command("history"));
        std::vector<std::string> frames;
        for (std::string word; words >> word;)
            if (word != "OK") frames.push_back(word.substr(word.find(':') + 1));
        return frames;
    }

    static std::vector<uint16_t> Peek(ztest::SimProcess &sim, const std::string &what) {
        std::istringstream words(sim.Command("peek " + what));
        std::vector<uint16_t> values;
        std::string word;
        words >> word;
        EXPECT_EQ(word, "OK");
        while (words >> word) values.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
        return values;
    }

    // Writes 8 words to program memory and to SPI memory, each time with the acknowledge of
    // the pointer write `lost` (0..3) withheld, or none when `lost` is -1.
    void WriteBlocks(ztest::SimProcess &sim, uint16_t replyTo) {
        const std::vector<uint16_t> words{0xB001, 0xB002, 0xB003, 0xB004,
                                          0xB005, 0xB006, 0xB007, 0xB008};
        struct Memory {
            const char *name;
            uint8_t type;
            uint16_t opCode;
            uint16_t address;
        };
        for (const Memory &memory : {Memory{"program", MEMORY_PROGRAM, 0x9021, 0x8100},
                                     Memory{"spi", MEMORY_SPI, 0x9029, 0x2100}}) {
            for (int lost : {-1, 0, 2, 3}) {
                SCOPED_TRACE(std::string(memory.name) + ", lost acknowledge of write " +
                             std::to_string(lost));
                const auto address = static_cast<uint16_t>(memory.address + 0x10 * (lost + 1));
                Sent(sim);
                if (lost >= 0) {
                    ASSERT_EQ(sim.Command("fault withhold-ack-at " + std::to_string(lost) + " " +
                                          std::to_string(memory.opCode)),
                              "OK");
                }
                ASSERT_TRUE(lib.MSK_SendData(words.data(), address, memory.type, 8)) << LastError();

                std::vector<std::string> expected{Frame(kHost, 0x9004, {kPointer, address})};
                for (int i = 0; i < 4; ++i) {
                    const auto at = static_cast<uint16_t>(address + 2 * i);
                    const std::string write = Frame(
                        kHost, memory.opCode, {kPointer, words[2 * i], words[2 * i + 1]});
                    if (memory.type == MEMORY_SPI)
                        expected.push_back(Frame(kHost, 0xB004, {replyTo, kPointer}));
                    expected.push_back(write);
                    if (i == lost) {
                        expected.push_back(Frame(kHost, 0x9004, {kPointer, at}));
                        expected.push_back(write);
                    }
                }
                EXPECT_EQ(Sent(sim), expected);
                const std::string from = std::string(memory.name) + " " + std::to_string(address);
                EXPECT_EQ(Peek(sim, from + " 10"),
                          (std::vector<uint16_t>{0xB001, 0xB002, 0xB003, 0xB004, 0xB005, 0xB006,
                                                 0xB007, 0xB008, 0, 0}));
                EXPECT_EQ(Peek(sim, "data 0x32B"),
                          std::vector<uint16_t>{static_cast<uint16_t>(address + 8)});
                EXPECT_EQ(sim.Command("fault").find("withhold-ack-at=pending"), std::string::npos);
            }
        }
    }
};

TEST_F(LostAcknowledgeTest, OverASerialPort) {
    auto sim = StartSerialSim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    WriteBlocks(*sim, kReplyTo);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

TEST_F(LostAcknowledgeTest, OverUdp) {
    ztest::SimProcess sim({"xport", "--address", "127.0.0.70", "--axes", "1"});
    ASSERT_EQ(sim.firstLine().rfind("XPORT 127.0.0.70:", 0), 0u) << sim.firstLine();
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.70", 1, 0, CHANNEL_UDP), 0) << LastError();
    WriteBlocks(sim, kReplyTo);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

} // namespace

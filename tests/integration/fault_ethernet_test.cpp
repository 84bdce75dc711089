// Faults of the device server in the middle of block transfers: its TCP connection reset while a
// block command runs, and the device server vanishing altogether. Against `zorcomm-sim xport`,
// each test on a loopback address of its own.
#include "fault_support.h"
#include "serial_fixture.h"

#include <sstream>

namespace {

using namespace std::chrono_literals;
using ztest::MidCall;
using ztest::SimProcess;
using ztest::Stopwatch;

const char *kSettings = "[ZORCOMM]\n"
                        "UDP_RECEIVE_TIMEOUT=200\n"
                        "WAIT_AFTER_BAUD_CHANGE=5\n"
                        "RESET_DEAD_TIME=20\n"
                        "RUN_DEAD_TIME=0\n";

std::vector<uint16_t> Pattern(size_t count, uint16_t seed) {
    std::vector<uint16_t> words(count);
    for (size_t i = 0; i < count; ++i) words[i] = static_cast<uint16_t>(seed * 0x301 + i * 11);
    return words;
}

std::vector<uint16_t> Peek(SimProcess &sim, const std::string &memory, uint16_t address,
                           size_t count) {
    std::istringstream in(sim.Command("peek " + memory + " " + std::to_string(address) + " " +
                                      std::to_string(count)));
    std::vector<uint16_t> words;
    for (std::string word; in >> word;)
        if (word != "OK") words.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
    return words;
}

std::string Field(SimProcess &sim, const std::string &name) {
    std::istringstream words(sim.Command("xport"));
    for (std::string word; words >> word;)
        if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
    return "<none>";
}

class EthernetFaultTest : public ztest::LibraryTest {
protected:
    EthernetFaultTest() : LibraryTest(kSettings) {}
    void TearDown() override {
        MidCall::Disarm(lib);
        LibraryTest::TearDown();
    }
    // The drives' serial side takes the time its bytes need, so that a block command is still
    // running when the fault comes.
    std::unique_ptr<SimProcess> StartXport(const std::string &address) {
        auto sim = std::make_unique<SimProcess>(std::vector<std::string>{
            "xport", "--address", address, "--axes", "1,2", "--baud", "115200", "--pace"});
        EXPECT_EQ(sim->firstLine().rfind("XPORT " + address + ":", 0), 0u) << sim->firstLine();
        return sim;
    }
};

// The device server drops every connection while a block command runs. The block fails with
// the connection's reset, the library makes a new connection when it can, and otherwise carries
// the next blocks in messages.
TEST_F(EthernetFaultTest, TheTcpConnectionIsResetInTheMiddleOfABlock) {
    auto sim = StartXport("127.0.0.142");
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.142", 1, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    ASSERT_EQ(Field(*sim, "connections"), "1");
    const auto words = Pattern(200, 1);
    SimProcess *server = sim.get();
    MidCall::Arm(lib, "Bytes Write (TCP)", 3, [server] { server->Command("tcp off"); });
    Stopwatch watch;
    EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 200));
    EXPECT_TRUE(MidCall::Fired());
    // The connection reset, seen by the next receive or send.
    const std::string reset = LastError();
    EXPECT_TRUE(reset == Text(0x200000e1) || reset == Text(0x200000e5)) << reset;
    EXPECT_LT(watch.Elapsed(), 3s);
    MidCall::Disarm(lib);

    // No connection could be made again while the device server refused them: messages.
    ASSERT_EQ(sim->Command("tcp on"), "OK");
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 200)) << LastError();
    EXPECT_EQ(Peek(*sim, "program", 0x8000, 200), words);
    EXPECT_EQ(Field(*sim, "connections"), "0");
    EXPECT_TRUE(lib.MSK_CloseComm(-1));

    // Opened again, the channel has its connection; a reset in the middle of a read.
    ASSERT_GT(lib.MSK_OpenComm("127.0.0.142", 1, 0, CHANNEL_XPORT_TCP), 0) << LastError();
    std::vector<uint16_t> read(200);
    MidCall::Arm(lib, "Bytes Write (TCP)", 1, [server] { server->Command("tcp off"); });
    EXPECT_FALSE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 200));
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x200000e1)) << "the words stopped coming";
    MidCall::Disarm(lib);
    ASSERT_EQ(sim->Command("tcp on"), "OK");
    ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x8000, MEMORY_PROGRAM, 200)) << LastError();
    EXPECT_EQ(read, words);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

// The device server goes away in the middle of a block, carried in messages (UDP) or as a block
// command (TCP). The call fails within the time-outs, later calls too, and the channel closes,
// leaving no socket behind.
TEST_F(EthernetFaultTest, TheDeviceServerVanishesInTheMiddleOfABlock) {
    struct Case {
        const char *address;
        uint8_t type;
        const char *caption;
    };
    for (const Case &c : {Case{"127.0.0.143", CHANNEL_UDP, "Bytes Write"},
                          Case{"127.0.0.144", CHANNEL_XPORT_TCP, "Bytes Write (TCP)"}}) {
        SCOPED_TRACE(c.address);
        auto sim = StartXport(c.address);
        const ztest::Holdings before = ztest::Hold();
        ASSERT_GT(lib.MSK_OpenComm(c.address, 1, 0, c.type), 0) << LastError();
        const auto words = Pattern(100, 2);
        SimProcess *server = sim.get();
        MidCall::Arm(lib, c.caption, 4, [server] { server->Stop(); });
        Stopwatch watch;
        EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x8000, MEMORY_PROGRAM, 100));
        EXPECT_TRUE(MidCall::Fired());
        const std::string error = LastError();
        // Nobody at the port any more (refused), nothing answering (the time-out), or the
        // connection reset or shut.
        EXPECT_TRUE(error == Text(0x200000e8) || error == Text(0x200000e7) ||
                    error == Text(0x200000e1) || error == Text(0x200000e5) ||
                    error == Text(0x20000068))
            << error;
        EXPECT_LT(watch.Elapsed(), 5s);
        MidCall::Disarm(lib);
        const DriveMessage message{0, 0x0010, 0x1234, {}};
        Stopwatch later;
        EXPECT_FALSE(lib.MSK_SendMessage(&message));
        EXPECT_LT(later.Elapsed(), 5s);
        Stopwatch closing;
        EXPECT_TRUE(lib.MSK_CloseComm(-1));
        EXPECT_LT(closing.Elapsed(), 2s);
        EXPECT_EQ(ztest::Hold(), before);
    }
}

} // namespace

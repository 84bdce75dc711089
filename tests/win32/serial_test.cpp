// Serial channels of zorcomm.dll under Wine: COM ports lead to the simulated drives on ptys.
#include <algorithm>
#include <cstdlib>

#include "fixture.h"

namespace {

using wtest::DllTest;
using wtest::LibraryText;
using wtest::SerialSim;

class SerialTest : public DllTest {};

TEST_F(SerialTest, FindsTheRateDetectsTheHostAndReadsTheVersion) {
    SerialSim sim({"--axes", "5", "--baud", "38400", "--version", "F120H"});
    ASSERT_TRUE(sim.started());
    ASSERT_LT(sim.com(), 10) << "this case is about the short port name";
    CollectLog(3);
    const int32_t handle = lib.MSK_OpenComm(sim.PortName().c_str(), 0, 0, CHANNEL_RS232);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(Logged("MSK Info : Channel opened sucessfully"), 1);
    // No answer at 9600 and 19200 before the drive answered at 38400.
    EXPECT_GE(Logged("Bytes Write :  FF"), 30);
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 5);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 38400u);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    EXPECT_TRUE(Has(sim.History(), "38400:0000:B000:0001,0000"));
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_FALSE(lib.MSK_UpdateSettings());
    EXPECT_EQ(LastError(), LibraryText(0x20000077));
}

TEST_F(SerialTest, PortsFromTenOnOpenInTheDeviceNamespace) {
    SerialSim sim({"--axes", "1"}, 10);
    ASSERT_TRUE(sim.started());
    ASSERT_GE(sim.com(), 10);
    // The number alone names the port as well.
    const int32_t handle = lib.MSK_OpenComm(std::to_string(sim.com()).c_str(), 1, 0, CHANNEL_RS232);
    ASSERT_GT(handle, 0) << LastError();
    char version[8] = {};
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    // A port that leads nowhere.
    const auto reply = wtest::HarnessCommand("link 2 /nonexistent/port");
    ASSERT_EQ(reply.substr(0, 3), "OK ") << reply;
    const std::string nowhere = "COM" + reply.substr(3);
    EXPECT_EQ(lib.MSK_OpenComm(nowhere.c_str(), 1, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), LibraryText(0x20000072));
    EXPECT_EQ(lib.MSK_SelectComm(handle), handle) << "the failed open left the selection alone";
}

TEST_F(SerialTest, SendWaitsForTheAcknowledgeAndRetries) {
    SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    DriveMessage message{1, 0x0010, 0x2345, {0x0011}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();

    EXPECT_EQ(sim.Control("fault withhold-ack 1").substr(0, 2), "OK");
    CollectLog(2);
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 1);

    sim.Control("fault withhold-ack 100");
    CollectLog(2);
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), LibraryText(0x20000075));
    EXPECT_EQ(Logged("Retrying <Send Message>"), 2);
    sim.Control("fault clear");

    sim.Control("fault silent 5000");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), LibraryText(0x20000068));
    sim.Control("fault clear");

    EXPECT_FALSE(lib.MSK_SendMessage(nullptr));
    EXPECT_EQ(LastError(), LibraryText(0x2000007b));
    EXPECT_EQ(LastError(), LibraryText(0x2000007b)); // asking twice gives the same text
}

TEST_F(SerialTest, UnsolicitedFramesAndReceivedMessages) {
    SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    static std::vector<DriveMessage> received;
    received.clear();
    struct Handler {
        static void __stdcall Take(DriveMessage *m) { received.push_back(*m); }
    };
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(&Handler::Take);
    const std::string frame = "inject 0x06 0x00 0x11 0x77 0x01 0x12 0x34 0xD5";
    ASSERT_EQ(sim.Control(frame).substr(0, 2), "OK");
    DriveMessage message{0, 0x0010, 0x0001, {}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].address, 0x0011);
    EXPECT_EQ(received[0].opCode, 0x7701);
    EXPECT_EQ(received[0].data[0], 0x1234);

    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    sim.Control(frame);
    DriveMessage taken{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&taken)) << LastError();
    EXPECT_EQ(taken.opCode, 0x7701);
    // Nothing comes: a receive time-out, bounded by the port's time-outs.
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken));
    EXPECT_EQ(LastError(), LibraryText(0x20000076));
}

TEST_F(SerialTest, BaudRateChangesMoveDriveAndPort) {
    SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    sim.History();
    ASSERT_TRUE(lib.MSK_SetBaudRate(56000)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 57600u);
    EXPECT_EQ(sim.Control("line").substr(0, 16), "OK rate=57600 bi") << "the port itself moved";
    const auto frames = sim.History();
    EXPECT_TRUE(Has(frames, "9600:0010:0820:0003"));
    EXPECT_TRUE(Has(frames, "57600:0010:D801:0011"));
    EXPECT_FALSE(lib.MSK_SetBaudRate(14400));
    EXPECT_EQ(LastError(), LibraryText(0x20000064));
    char version[8];
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
}

TEST_F(SerialTest, ResettingTheHostResynchronisesAndRestoresTheRate) {
    SerialSim sim({"--axes", "1,2", "--baud", "19200", "--reset-time", "10"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 0, 0, CHANNEL_RS232), 0) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 19200u);
    sim.History();
    CollectLog(3);
    ASSERT_TRUE(lib.MSK_ResetDrive()) << LastError();
    EXPECT_GT(Logged("Bytes Write :  FF"), 0);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 19200u);
    EXPECT_TRUE(Has(sim.History(), "9600:0010:0820:0001"));
}

TEST_F(SerialTest, MemoryBlocksAndChecksums) {
    SerialSim sim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS232), 0) << LastError();
    const uint16_t words[5] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
    ASSERT_TRUE(lib.MSK_SendData(words, 0x9000, MEMORY_PROGRAM, 5)) << LastError();
    EXPECT_EQ(sim.Control("peek program 0x9000 5"), "OK 1111 2222 3333 4444 5555");
    uint16_t back[5] = {};
    ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x9000, MEMORY_PROGRAM, 5)) << LastError();
    EXPECT_TRUE(std::equal(std::begin(words), std::end(words), std::begin(back)));
    uint16_t sum = 0;
    ASSERT_TRUE(lib.MSK_CheckSum(0x9000, 0x9004, &sum)) << LastError();
    EXPECT_EQ(sum, 0xFFFF);
}

} // namespace

namespace {

// "OK 0100 0101" -> the words.
std::vector<uint16_t> HexWords(const std::string &reply) {
    std::vector<uint16_t> words;
    size_t at = reply.find(' ');
    while (at != std::string::npos) {
        words.push_back(static_cast<uint16_t>(std::strtoul(reply.c_str() + at + 1, nullptr, 16)));
        at = reply.find(' ', at + 1);
    }
    return words;
}

// Two drives on an RS-485 bus behind one COM port: each acknowledges only its own frames, so
// every block lands in the drive it was meant for; group messages go unacknowledged; the rate
// moves both drives at once.
TEST_F(SerialTest, Rs485BusWithTwoDrives) {
    SerialSim sim({"--rs485", "--axes", "2,3", "--baud", "3=19200", "--group", "2=1", "--group",
                   "3=1"});
    ASSERT_TRUE(sim.started());
    const int32_t handle = lib.MSK_OpenComm(sim.PortName().c_str(), 1, 0, CHANNEL_RS485);
    ASSERT_GT(handle, 0) << LastError();
    // The open brings every drive to the PC's rate, whatever rate it was at.
    const auto opening = sim.History();
    EXPECT_TRUE(Has(opening, "9600:1000:0820:0000"));
    EXPECT_TRUE(Has(opening, "19200:1000:0820:0000"));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 9600u);

    const uint16_t blocks[2][6] = {{0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006},
                                   {0x3001, 0x3002, 0x3003, 0x3004, 0x3005, 0x3006}};
    for (uint16_t axis : {2, 3}) {
        ASSERT_TRUE(lib.MSK_SetActiveDrive(axis));
        char version[8] = {};
        EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << axis << ": " << LastError();
        EXPECT_STREQ(version, "F120H");
        ASSERT_TRUE(lib.MSK_SendData(blocks[axis - 2], 0x9000, MEMORY_PROGRAM, 6)) << LastError();
    }
    for (uint16_t axis : {2, 3}) {
        const std::vector<uint16_t> written(blocks[axis - 2], blocks[axis - 2] + 6);
        EXPECT_EQ(HexWords(sim.Control("peek " + std::to_string(axis) + " program 0x9000 6")),
                  written)
            << "drive " << axis;
        ASSERT_TRUE(lib.MSK_SetActiveDrive(axis));
        uint16_t back[6] = {};
        ASSERT_TRUE(lib.MSK_ReceiveData(back, 0x9000, MEMORY_PROGRAM, 6)) << LastError();
        EXPECT_EQ(std::vector<uint16_t>(std::begin(back), std::end(back)), written);
    }

    // A group message reaches both members, and nobody acknowledges it.
    ASSERT_EQ(sim.Control("stats reset"), "OK");
    DriveMessage group{1, 0x1010, 0x2345, {7}};
    ASSERT_TRUE(lib.MSK_SendMessage(&group)) << LastError();
    EXPECT_NE(sim.Control("stats").find(" acks=0 "), std::string::npos);

    sim.History();
    ASSERT_TRUE(lib.MSK_SetBaudRate(115200)) << LastError();
    EXPECT_TRUE(Has(sim.History(), "9600:1000:0820:0004"));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 115200u);
    EXPECT_NE(sim.Control("info 2").find(" baud=115200 "), std::string::npos);
    EXPECT_NE(sim.Control("info 3").find(" baud=115200 "), std::string::npos);
    ASSERT_TRUE(lib.MSK_SetActiveDrive(3));
    uint16_t sum = 0;
    ASSERT_TRUE(lib.MSK_CheckSum(0x9000, 0x9005, &sum)) << LastError();
    EXPECT_EQ(sum, 0x2015) << "the sum of drive 3's block";
    EXPECT_EQ(sim.Control("checksum 3 program 0x9000 0x9005"), "OK 2015");
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

} // namespace

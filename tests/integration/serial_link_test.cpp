// Serial channels through the exports against the simulated drives on a pty.
#include "serial_fixture.h"
#include "fault_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

namespace {

using ztest::LibraryTest;

class SerialLinkTest : public LibraryTest {};

// The frames the PC sent since the last look, as the simulator lists them.
std::vector<std::string> History(ztest::SimProcess &sim) {
    std::istringstream words(sim.Command("history"));
    std::vector<std::string> frames;
    for (std::string word; words >> word;)
        if (word != "OK") frames.push_back(word);
    return frames;
}

TEST_F(SerialLinkTest, FindsTheRateDetectsTheHostAndReadsTheVersion) {
    auto sim = StartSerialSim({"--axes", "5", "--baud", "38400", "--version", "F120H"});
    CollectLog(3);
    const int32_t handle = lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232);
    ASSERT_GT(handle, 0) << LastError();
    EXPECT_EQ(Logged("MSK Info : Channel opened sucessfully"), 1);
    // The search met no answer at 9600 and 19200 before the drive answered at 38400.
    EXPECT_GE(Logged("Bytes Write :  FF"), 30);
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 5);
    ASSERT_TRUE(lib.MSK_GetActiveDrive(&axis));
    EXPECT_EQ(axis, 5);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 38400u);
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    // Host detection asked address 0; the frames after it went at the drive's rate.
    const auto frames = History(*sim);
    ASSERT_FALSE(frames.empty());
    EXPECT_NE(std::find(frames.begin(), frames.end(), "38400:0000:B000:0001,0000"), frames.end());
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
    EXPECT_EQ(lib.MSK_UpdateSettings(), 0);
    EXPECT_EQ(LastError(), Text(0x20000077));
}

TEST_F(SerialLinkTest, VersionTextsOfOlderFirmware) {
    auto sim = StartSerialSim({"--axes", "1,2", "--version", "1=S1025", "--version", "2=S102"});
    ASSERT_GT(lib.MSK_OpenComm("7", 1, 0, CHANNEL_RS232), 0) << LastError();
    char version[8] = {};
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "S1025");
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "S102");
    // An axis nobody has: the host drive does not take the query; it fails after the retries.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(9));
    CollectLog(2);
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_EQ(LastError(), Text(0x20000069));
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 2);
    EXPECT_EQ(Logged("MSK Error : <Get Board Info> cmd. failed!"), 1);
}

TEST_F(SerialLinkTest, AHostThatAnswersUnderAnotherAxisFailsTheOpen) {
    auto sim = StartSerialSim({"--axes", "5"});
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 3, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x2000006a));
    // Nothing of the attempt is left: the same port opens afterwards with the right axis.
    EXPECT_EQ(lib.MSK_UpdateSettings(), 0);
    EXPECT_EQ(LastError(), Text(0x20000077));
    EXPECT_GT(lib.MSK_OpenComm("COM7", 5, 0, CHANNEL_RS232), 0) << LastError();
}

TEST_F(SerialLinkTest, SendWaitsForTheAcknowledgeAndRetries) {
    auto sim = StartSerialSim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    DriveMessage message{1, 0x0010, 0x2345, {0x0011}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();

    // One withheld acknowledge: a warning, a resynchronisation, and success on the second try.
    EXPECT_EQ(sim->Command("fault withhold-ack 1").substr(0, 2), "OK");
    CollectLog(2);
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 1);

    // A drive that never acknowledges: every try, then "Send timeout.".
    sim->Command("fault withhold-ack 100");
    CollectLog(2);
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x20000075));
    EXPECT_EQ(Logged("Retrying <Send Message>"), 2);
    sim->Command("fault clear");

    // A drive that has gone silent also fails the resynchronisation before the second try.
    sim->Command("fault silent 5000");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_EQ(LastError(), Text(0x20000068));

    // Messages with more than four words are refused before anything is written.
    sim->Command("fault clear");
    History(*sim);
    DriveMessage tooLong{5, 0x0010, 0x2345, {}};
    EXPECT_FALSE(lib.MSK_SendMessage(&tooLong));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_FALSE(lib.MSK_SendMessage(nullptr));
    EXPECT_EQ(LastError(), Text(0x2000007b));
    EXPECT_EQ(LastError(), Text(0x2000007b)); // asking twice gives the same text
}

TEST_F(SerialLinkTest, UnsolicitedFramesReachTheHandler) {
    auto sim = StartSerialSim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    static std::vector<DriveMessage> received;
    received.clear();
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler([](DriveMessage *m) { received.push_back(*m); });
    // A frame waiting before the send (06 00 11 77 01 12 34 checksum) comes before the acknowledge.
    const std::string frame = "inject 0x06 0x00 0x11 0x77 0x01 0x12 0x34 0xD5";
    ASSERT_EQ(sim->Command(frame).substr(0, 2), "OK");
    DriveMessage message{0, 0x0010, 0x0001, {}};
    ASSERT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].address, 0x0011);
    EXPECT_EQ(received[0].opCode, 0x7701);
    EXPECT_EQ(received[0].length, 1);
    EXPECT_EQ(received[0].data[0], 0x1234);

    // The same frame, taken by a receive call.
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    sim->Command(frame);
    DriveMessage taken{};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&taken)) << LastError();
    EXPECT_EQ(taken.opCode, 0x7701);
    // A lone acknowledge is a success that leaves the record as it was.
    sim->Command("inject 0x4F");
    DriveMessage untouched{3, 0x1234, 0x5678, {1, 2, 3}};
    ASSERT_TRUE(lib.MSK_ReceiveMessage(&untouched));
    EXPECT_EQ(untouched.address, 0x1234);
    // A length byte of 5 is bad data at once; nothing comes: a receive time-out.
    sim->Command("inject 0x05 0x00 0x10");
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken));
    EXPECT_EQ(LastError(), Text(0x2000007c));
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 2);
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken)); // 00 is no frame either
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken)); // 10 is bad data
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken));
    EXPECT_EQ(LastError(), Text(0x20000076));
}

TEST_F(SerialLinkTest, BaudRateChangesMoveDriveAndPort) {
    auto sim = StartSerialSim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    History(*sim);
    ASSERT_TRUE(lib.MSK_SetBaudRate(56000)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 57600u);
    auto frames = History(*sim);
    EXPECT_NE(std::find(frames.begin(), frames.end(), "9600:0010:0820:0003"), frames.end());
    // The host is verified again at the new rate.
    EXPECT_NE(std::find(frames.begin(), frames.end(), "57600:0010:D801:0011"), frames.end());

    EXPECT_FALSE(lib.MSK_SetBaudRate(14400));
    EXPECT_EQ(LastError(), Text(0x20000064));
    ASSERT_TRUE(lib.MSK_SetBaudRate(57600)); // already there: nothing is sent
    frames = History(*sim);
    EXPECT_TRUE(std::none_of(frames.begin(), frames.end(),
                             [](const std::string &f) { return f.find(":0820:") != std::string::npos; }));
    char version[8];
    EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
}

TEST_F(SerialLinkTest, ResettingTheHostResynchronisesAndRestoresTheRate) {
    auto sim = StartSerialSim({"--axes", "1,2", "--baud", "19200", "--reset-time", "10"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232), 0) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 19200u);
    // Another axis: no resynchronisation of the line.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    History(*sim);
    CollectLog(3);
    ASSERT_TRUE(lib.MSK_ResetDrive()) << LastError();
    EXPECT_EQ(Logged("Bytes Write :  FF"), 0);
    // The host drive comes back at 9600: the link is found again and moved back to 19200.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(1));
    CollectLog(3);
    ASSERT_TRUE(lib.MSK_ResetDrive()) << LastError();
    EXPECT_GT(Logged("Bytes Write :  FF"), 0);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 19200u);
    const auto frames = History(*sim);
    EXPECT_NE(std::find(frames.begin(), frames.end(), "9600:0010:0820:0001"), frames.end());
}

TEST_F(SerialLinkTest, FailedOpensLeaveNothingBehind) {
    auto sim = StartSerialSim({"--axes", "1"});
    const int32_t first = lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232);
    ASSERT_GT(first, 0) << LastError();
    setenv("ZORCOMM_COM8", "/nonexistent/port", 1);
    EXPECT_EQ(lib.MSK_OpenComm("COM8", 1, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x20000072));
    // Paths that open but are no terminal cannot be set up; their descriptor is closed again.
    ztest::TempDir dir;
    const int descriptors = ztest::OpenDescriptors();
    for (const std::string &path : {dir.Write("plain", "no terminal"), std::string("/dev/null")}) {
        setenv("ZORCOMM_COM8", path.c_str(), 1);
        for (uint8_t type : {CHANNEL_RS232, CHANNEL_RS485, CHANNEL_LAWICEL_USBCAN}) {
            EXPECT_EQ(lib.MSK_OpenComm("COM8", 1, 0, type), -1) << path << " " << int(type);
            EXPECT_EQ(LastError(), Text(0x20000073)) << path << " " << int(type);
            EXPECT_EQ(ztest::OpenDescriptors(), descriptors) << path << " " << int(type);
        }
    }
    unsetenv("ZORCOMM_COM8");
    // The former channel is still selected and works.
    EXPECT_EQ(lib.MSK_SelectComm(first), first);
    DriveMessage message{0, 0x0010, 0x0001, {}};
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();

    // A drive that answers at no rate: the port is closed again and the slot freed.
    auto silent = StartSerialSim({"--axes", "1", "--fault", "silent=60000"}, 9);
    EXPECT_EQ(lib.MSK_OpenComm("COM9", 1, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x20000068));
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    const auto &section = *static_cast<const zorcomm::SharedSection *>(view.library());
    int held = 0;
    for (const auto &slot : section.slotTable) held += slot.processId != 0;
    EXPECT_EQ(held, 1);

    // Bad names and types.
    for (const char *name : {"COM", "x7", "256", "COM-1"}) {
        EXPECT_EQ(lib.MSK_OpenComm(name, 1, 0, CHANNEL_RS232), -1) << name;
        EXPECT_EQ(LastError(), Text(0x2000007b)) << name;
    }
    EXPECT_EQ(lib.MSK_OpenComm(nullptr, 1, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x2000007b));
    for (uint8_t type : {uint8_t{11}, uint8_t{14}, uint8_t{19}, uint8_t{127}, uint8_t{0x8B}}) {
        EXPECT_EQ(lib.MSK_OpenComm("1", 1, 0, type), -1);
        EXPECT_EQ(LastError(), Text(0x2000007b)) << int(type);
    }
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS485), -1);
    EXPECT_EQ(LastError(), Text(0x2000006b));
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 256, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x2000006b));

    // The same port again in this process: the same handle; another axis or protocol is refused.
    EXPECT_EQ(lib.MSK_OpenComm(" 7", 1, 0, CHANNEL_RS232), first);
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 2, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x2000006a));
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232 | CHANNEL_PROTOCOL_TORVANECAN), -1);
    EXPECT_EQ(LastError(), Text(0x2000006e));

    // Closing the last channel keeps the slot for the process.
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
    EXPECT_EQ(section.slotTable[0].processId, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(section.slotTable[0].channelHandle, 0u);
    EXPECT_FALSE(lib.MSK_CloseComm(first));
    EXPECT_EQ(LastError(), Text(0x2000007b));
}

TEST_F(SerialLinkTest, TwoChannelsInOneProcessAreSelectedByHandle) {
    auto a = StartSerialSim({"--axes", "1"}, 7);
    auto b = StartSerialSim({"--axes", "4", "--baud", "115200"}, 8);
    const int32_t first = lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232);
    const int32_t second = lib.MSK_OpenComm("COM8", 0, 0, CHANNEL_RS232);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0) << LastError();
    EXPECT_NE(first, second);
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 4);
    EXPECT_EQ(lib.MSK_SelectComm(first), second);
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 1);
    EXPECT_EQ(lib.MSK_SelectComm(12345), -1);
    EXPECT_EQ(LastError(), Text(0x2000007b));
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis)); // the selection stayed
    EXPECT_EQ(axis, 1);
    // Closing the channel that is not selected keeps the selection.
    ASSERT_TRUE(lib.MSK_CloseComm(second));
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 1);
}

} // namespace

namespace {

int OpenDescriptors() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST_F(SerialLinkTest, GarbageAndAVanishedPortEndInErrorsNotHangs) {
    auto sim = StartSerialSim({"--axes", "1"});
    const int before = OpenDescriptors();
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    DriveMessage message{0, 0x0010, 0x0001, {}};
    // Noise instead of acknowledges: retries, then a clear error.
    sim->Command("fault garbage 100");
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    const std::string garbage = LastError();
    EXPECT_TRUE(garbage == Text(0x20000075) || garbage == Text(0x20000068)) << garbage;
    sim->Command("fault clear");
    EXPECT_TRUE(lib.MSK_SendMessage(&message)) << LastError();
    // Half a frame, then nothing: the receive gives up within the time-outs.
    sim->Command("inject 0x06 0x00 0x11");
    DriveMessage taken{};
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken));
    EXPECT_EQ(LastError(), Text(0x20000076));
    // The device goes away under the library.
    sim->Stop();
    EXPECT_FALSE(lib.MSK_SendMessage(&message));
    EXPECT_FALSE(lib.MSK_ReceiveMessage(&taken));
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
    EXPECT_EQ(OpenDescriptors(), before) << "the port's descriptor was closed";
}

TEST_F(SerialLinkTest, DeadTimesFollowResetAndRunMessages) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    // RESET_DEAD_TIME is 20 ms in these settings, RUN_DEAD_TIME 0.
    DriveMessage run{0, 0x0020, 0x7401, {}};
    DriveMessage reset{0, 0x0020, 0x0402, {}};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(lib.MSK_SendMessage(&reset)) << LastError();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_TRUE(lib.MSK_SendMessage(&run)) << LastError();
}

TEST(SettingsAcrossProcesses, TheLastReaderSetsTheSharedValues) {
    ztest::UniqueRegion region;
    ztest::SettingsFile settings("[zorcomm]\ncan_receive_timeout=1234\nudp_receive_timeout=50\n"
                                 "NO_TRIES=300\n");
    ztest::SimProcess sim({"serial", "--axes", "1"});
    setenv("ZORCOMM_COM7", sim.firstLine().substr(4).c_str(), 1);
    ztest::Child opener(ztest::LibraryProcess);
    ASSERT_EQ(opener.Read(), "loaded");
    opener.Send("open COM7 1 0 0");
    ASSERT_EQ(opener.Read(std::chrono::seconds(30)).value_or("").rfind("ok ", 0), 0u);
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    ASSERT_TRUE(view.valid());
    const auto &shared = static_cast<const zorcomm::SharedSection *>(view.library())->settings;
    EXPECT_EQ(shared.canReceiveTimeout, 1234u);
    EXPECT_EQ(shared.udpReceiveTimeout, 200u);
    EXPECT_EQ(shared.canSendTimeout, 700u);
    opener.Send("quit");
    EXPECT_EQ(opener.Wait(), 0);
}

} // namespace

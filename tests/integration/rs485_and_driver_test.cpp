// RS-485 bus semantics and the virtual serial driver, through the exports.
#include "serial_fixture.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <sstream>

namespace {

using ztest::LibraryTest;

std::vector<std::string> History(ztest::SimProcess &sim) {
    std::istringstream words(sim.Command("history"));
    std::vector<std::string> frames;
    for (std::string word; words >> word;)
        if (word != "OK") frames.push_back(word);
    return frames;
}

bool Contains(const std::vector<std::string> &frames, const std::string &frame) {
    return std::find(frames.begin(), frames.end(), frame) != frames.end();
}

class Rs485Test : public LibraryTest {};

TEST_F(Rs485Test, OpenForcesEveryDriveToThePcRate) {
    auto sim = StartSerialSim({"--rs485", "--axes", "2,3", "--baud", "2=38400", "--baud", "3=57600"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS485), 0) << LastError();
    const auto frames = History(*sim);
    for (const char *rate : {"9600", "19200", "38400", "57600"})
        EXPECT_TRUE(Contains(frames, std::string(rate) + ":1000:0820:0000")) << rate;
    EXPECT_FALSE(Contains(frames, "115200:1000:0820:0000"));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 9600u);
    // Both drives now answer at 9600.
    char version[8];
    for (uint16_t axis : {2, 3}) {
        ASSERT_TRUE(lib.MSK_SetActiveDrive(axis));
        EXPECT_TRUE(lib.MSK_GetDriveVersion(version)) << axis << ": " << LastError();
    }
    // The host's own axis is the PC on a bus.
    ASSERT_TRUE(lib.MSK_SetActiveDrive(1));
    EXPECT_FALSE(lib.MSK_GetDriveVersion(version));
    EXPECT_EQ(LastError(), Text(0x2000007f));
    DriveMessage toHost{0, 0x0010, 0x0001, {}};
    EXPECT_FALSE(lib.MSK_SendMessage(&toHost));
    EXPECT_EQ(LastError(), Text(0x2000007f));
}

TEST_F(Rs485Test, GroupMessagesAreNotAcknowledgedAndRatesMoveTogether) {
    auto sim = StartSerialSim({"--rs485", "--axes", "2,3", "--group", "2=1", "--group", "3=1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS485), 0) << LastError();
    History(*sim);
    sim->Command("stats reset");
    DriveMessage group{1, 0x1010, 0x2345, {7}};
    ASSERT_TRUE(lib.MSK_SendMessage(&group)) << LastError();
    EXPECT_NE(sim->Command("stats").find(" acks=0 "), std::string::npos);

    ASSERT_TRUE(lib.MSK_SetBaudRate(115200)) << LastError();
    EXPECT_TRUE(Contains(History(*sim), "9600:1000:0820:0004"));
    EXPECT_EQ(lib.MSK_GetBaudRate(), 115200u);
    DriveMessage single{0, 0x0030, 0x0001, {}};
    EXPECT_TRUE(lib.MSK_SendMessage(&single)) << LastError();

    // A drive that never acknowledges: every try, each retry after a resynchronisation.
    sim->Command("fault withhold-ack 100");
    CollectLog(2);
    EXPECT_FALSE(lib.MSK_SendMessage(&single));
    EXPECT_EQ(LastError(), Text(0x20000075));
    EXPECT_EQ(Logged("MSK Warning : Retrying <Send Message>"), 2);
}

// Before every write the line must have been quiet for more than a millisecond tick.
TEST_F(Rs485Test, EveryWriteWaitsForAQuietLine) {
    auto sim = StartSerialSim({"--rs485", "--axes", "2,3"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS485), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetActiveDrive(2));
    constexpr int kMessages = 60;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kMessages; ++i) {
        DriveMessage message{1, 0x0020, 0x2345, {static_cast<uint16_t>(i)}};
        ASSERT_TRUE(lib.MSK_SendMessage(&message)) << i << ": " << LastError();
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    // Each write follows the previous acknowledge by two ticks at least: over a millisecond.
    EXPECT_GE(wall.count(), kMessages * 0.001);
}

class VirtualDriverTest : public LibraryTest {};

TEST_F(VirtualDriverTest, TheDriverCarriesTheWholeExchange) {
    setenv("ZORCOMM_SIM_OPTIONS", "--axes 3,4 --baud 57600 --version 3=F120H", 1);
    const std::string driver = ztest::SimDriver();
    const int32_t handle = lib.MSK_OpenComm(driver.c_str(), 0, 0, CHANNEL_VIRTUAL_SERIAL);
    unsetenv("ZORCOMM_SIM_OPTIONS");
    ASSERT_GT(handle, 0) << LastError();
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 3);
    EXPECT_EQ(lib.MSK_GetBaudRate(), 57600u);
    char version[8];
    ASSERT_TRUE(lib.MSK_GetDriveVersion(version)) << LastError();
    EXPECT_STREQ(version, "F120H");
    ASSERT_TRUE(lib.MSK_SetBaudRate(115200)) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 115200u);
    EXPECT_EQ(lib.MSK_GetBytesCountInQueue(), 0);
    // The stored name is cut to the record's field; the channel was opened with the full path.
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    const auto &slot = static_cast<const zorcomm::SharedSection *>(view.library())->slotTable[0];
    EXPECT_EQ(std::string(slot.deviceName), driver.substr(0, 15));
    // Host detection through the driver, and axis 0 refused where the type does not detect.
    EXPECT_FALSE(lib.MSK_SetHostDrive(0));
    EXPECT_EQ(LastError(), Text(0x2000006b));
    // A given host axis is taken as is; the next call that needs the link asks it.
    ASSERT_TRUE(lib.MSK_SetHostDrive(4));
    ASSERT_TRUE(lib.MSK_GetActiveDrive(&axis)) << LastError();
    EXPECT_EQ(axis, 4);
    EXPECT_TRUE(lib.MSK_CloseComm(handle));
}

TEST_F(VirtualDriverTest, DriversThatCannotBeUsedLeaveNothingLoaded) {
    const std::string broken = ztest::SimBrokenDriver();
    EXPECT_EQ(lib.MSK_OpenComm(broken.c_str(), 0, 0, CHANNEL_VIRTUAL_SERIAL), -1);
    EXPECT_EQ(LastError(), Text(0x200000f4));
    EXPECT_EQ(dlopen(broken.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(lib.MSK_OpenComm("/nonexistent/driver.so", 0, 0, CHANNEL_VIRTUAL_SERIAL), -1);
    EXPECT_EQ(LastError(), "No such file or directory");
    // Nothing was left open: the process still has no channel.
    EXPECT_EQ(lib.MSK_UpdateSettings(), 0);
    EXPECT_EQ(LastError(), Text(0x20000077));
}

class HostAxisTest : public LibraryTest {};

TEST_F(HostAxisTest, GivenDetectedAndUndetectableHostAxes) {
    auto sim = StartSerialSim({"--axes", "6,7"});
    EXPECT_EQ(lib.MSK_OpenComm("COM7", 9, 0, CHANNEL_RS232), -1);
    EXPECT_EQ(LastError(), Text(0x2000006a)) << "no axis 9 answers";
    ASSERT_GT(lib.MSK_OpenComm("COM7", 0, 0, CHANNEL_RS232), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetHostDrive(2));
    uint16_t axis = 0;
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 2);
    // No axis 2 answers the host check, but the link comes up again, so the call goes on.
    CollectLog(1);
    ASSERT_TRUE(lib.MSK_GetActiveDrive(&axis));
    EXPECT_EQ(axis, 2);
    EXPECT_EQ(Logged("MSK Error : Host drive has a different axis ID than the selected one."), 1);
    ASSERT_TRUE(lib.MSK_SetHostDrive(0)) << LastError();
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 6);
    ASSERT_TRUE(lib.MSK_GetActiveDrive(&axis));
    EXPECT_EQ(axis, 6); // the active axis followed the host
    // A drive whose firmware does not detect its axis.
    sim->Command("autodetect off");
    EXPECT_FALSE(lib.MSK_SetHostDrive(0));
    EXPECT_EQ(LastError(), Text(0x20000080));
    ASSERT_TRUE(lib.MSK_GetHostDrive(&axis));
    EXPECT_EQ(axis, 6);
}

} // namespace

// The settings file: the profile reader on real files, and the settings the library takes from
// them into its per-process and shared values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "api/library.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "test_support.h"
#include "transport/link_settings.h"

namespace zorcomm {
namespace {

using V = std::vector<uint32_t>;

class ProfileTest : public ::testing::Test {
protected:
    uint32_t Int(const std::string &text, uint32_t fallback = 77) {
        return platform::ReadProfileInt("ZORCOMM", "KEY", fallback, Write(text).c_str());
    }
    std::string Write(const std::string &text) { return dir_.Write("p.cfg", text); }
    ztest::TempDir dir_;
};

TEST_F(ProfileTest, ReadsTheFirstMatchingKey) {
    // Wraps modulo 2^32; decimal only; a key present without a number reads 0, not the fallback.
    for (auto [value, expected] : std::initializer_list<std::pair<const char *, uint32_t>>{
             {"-1", 0xFFFFFFFF}, {"4294967297", 1}, {"99999999999999999999999999", 0xE3FFFFFF},
             {"-100000000000000000000", 0x9CF00000}, {"42abc 7", 42}, {"\"15\"", 15}, {"0x10", 0},
             {"abc", 0}, {"", 0}, {"- 5", 0}})
        EXPECT_EQ(Int(std::string("[ZORCOMM]\nKEY=") + value + "\n"), expected) << value;
    EXPECT_EQ(Int("  [ ZorComm ]  \r\n  key =  +34  \r\n"), 34u);
    EXPECT_EQ(Int("\xEF\xBB\xBF[zorcomm]\n;KEY=5\nKEY=6\nKEY=7"), 6u);
    EXPECT_EQ(Int("KEY=5\n[OTHER]\nKEY=5\n[ZORCOMM]\nKEY2=1\nKEY\n[ZORCOMMX]\nKEY=5\n"), 77u);
    EXPECT_EQ(Int("[ZORCOMM]\nA=1\n[ZORCOMM]\nKEY=5\n"), 77u); // only the first section counts
    EXPECT_EQ(platform::ReadProfileInt("ZORCOMM", "KEY", 77, dir_.File("none").c_str()), 77u);
    EXPECT_EQ(platform::ReadProfileInt("ZORCOMM", "KEY", 77, dir_.path().c_str()), 77u);

    const std::string path = Write("[ports]\r\n com1 = /dev/pts/3 \r\nCOM2=a=b ; c");
    std::string one, two, three = "kept";
    EXPECT_TRUE(platform::ReadProfileString("PORTS", "COM1", one, path.c_str()) &&
                platform::ReadProfileString("PORTS", "COM2", two, path.c_str()) &&
                !platform::ReadProfileString("PORTS", "COM3", three, path.c_str()));
    EXPECT_EQ(one + "|" + two + "|" + three, "/dev/pts/3|a=b ; c|kept");
}

TEST_F(ProfileTest, SurvivesMalformedFiles) {
    const std::string big(100 * 1024, 'x');
    EXPECT_EQ(Int("[ZORCOMM]\n" + big + "\nKEY=5\n"), 5u);
    EXPECT_EQ(Int("[" + big + "\n[ZORCOMM]\n" + big + "=1\nKEY=5" + big + "\n"), 5u);
    EXPECT_EQ(Int("[ZORCOMM]\nKEY=" + std::string(100 * 1024, '0') + "\n"), 0u);
    EXPECT_EQ(Int("[ZORCOMM]\n[BROKEN\nKEY=5\n"), 5u); // no closing bracket: no header
    EXPECT_EQ(Int("[ZORCOMM\nKEY=5\n"), 77u);
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) % 256));
    EXPECT_EQ(Int(junk + "\n[ZORCOMM]\nK" + std::string(1, '\0') + "EY=3\nKEY=4\n" + junk), 4u);
    EXPECT_EQ(Int(std::string(1, '\0') + "\n[ZORCOMM]\r\r\nKEY=\r\r9\r\n"), 9u);
}

// Random files built from the pieces that matter: the reader stays in bounds (the sanitizer build
// watches) and its two functions agree.
TEST_F(ProfileTest, RandomFilesReadConsistently) {
    const std::string pieces[] = {"[ZORCOMM]", "[zorcomm", "[X]", "KEY", "key", "=", "-", "12",
                                  "4294967296", " ", "\r\n", "\n", ";", "\"", "]", "\xff", {'\0'}};
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        std::string text, value;
        for (unsigned n = random() % 40; n > 0; --n) text += pieces[random() % std::size(pieces)];
        const std::string path = Write(text);
        const uint32_t first = platform::ReadProfileInt("ZORCOMM", "KEY", 77, path.c_str());
        const uint32_t second = platform::ReadProfileInt("ZORCOMM", "KEY", 78, path.c_str());
        const bool found = platform::ReadProfileString("ZORCOMM", "KEY", value, path.c_str());
        EXPECT_TRUE(found ? first == second : first == 77 && second == 78)
            << testing::PrintToString(text);
        EXPECT_EQ(value.find('\n'), std::string::npos);
    }
}

TEST(SettingsRules, TimeoutRecordsAndPath) {
    const SharedSettings shared{44, 55, 0, 0, 0, 0, 1, 1};
    for (auto [type, expected] : {std::pair{CHANNEL_RS485, V{11, 22, 33, 0, 0}},
                                  {CHANNEL_LAWICEL_USBCAN, V{55, 0, 55, 0, 44}}, // first byte too
                                  {CHANNEL_UDP, V{0, 0, 0, 0, 0}}}) {
        const auto t = SerialTimeoutsFor(type, SerialTimeoutSettings{11, 22, 33}, shared);
        EXPECT_EQ((V{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                     t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                     t.WriteTotalTimeoutConstant}),
                  expected);
    }
    setenv("ZORCOMM_SETTINGS", "/a/long/settings.cfg", 1);
    char fits[21], cut[20], tiny[7] = "######";
    FillSettingsFilePath(fits, sizeof fits);
    FillSettingsFilePath(cut, sizeof cut);
    FillSettingsFilePath(tiny, 5);
    EXPECT_EQ(std::string(fits) + "|" + cut + "|" + tiny + "|" + tiny[5],
              "/a/long/settings.cfg|kernel.cfg|kern|#");
    unsetenv("ZORCOMM_SETTINGS");
    char full[1024];
    FillSettingsFilePath(full, sizeof full);
    EXPECT_EQ(std::filesystem::path(full),
              std::filesystem::path(platform::ModulePath()).parent_path() / "kernel.cfg");
}

// Through the shared region, with the settings file named by ZORCOMM_SETTINGS.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(LibraryLoad() && Shared() && Context().currentSlot); }
    void TearDown() override { LibraryUnload(); }
    // Rewrites the settings file and reads it as the open of a channel of `type` does.
    bool Load(const std::string &keys, uint8_t type = kOpeningFromUpdate) {
        std::ofstream(file_.path(), std::ios::binary | std::ios::trunc) << "[ZORCOMM]\n" << keys;
        return LoadSettings(type);
    }
    static V All() {
        const ProcessSettings &p = Context().settings;
        const SharedSettings &s = Shared()->settings;
        return {p.runDeadTime, p.resetDeadTime, p.waitAfterBaudChange,
                p.synchronizationSleepMultiplier, p.noTries, s.canSendTimeout, s.canReceiveTimeout,
                s.udpReceiveTimeout, s.pcanHardwareType, s.pcanIoPort, s.pcanInterrupt, s.rs485Dtr,
                s.rs485Rts};
    }
    ztest::UniqueRegion region_;
    ztest::SettingsFile file_{""};
};

TEST_F(SettingsTest, ReadsEveryKeyWithDefaultsAndClamping) {
    EXPECT_STREQ(SettingsFilePath(), file_.path().c_str());
    const V defaults{2000, 200, 200, 2, 3, 700, 700, 700, 2, 768, 7, 1, 1};
    Load("UNKNOWN=1\n[OTHER]\nNO_TRIES=9\n");
    EXPECT_EQ(All(), defaults);
    Load("RUN_DEAD_TIME=0\nRESET_DEAD_TIME=1\nWAIT_AFTER_BAUD_CHANGE=2\nCAN_SEND_TIMEOUT=3\n"
         "CAN_RECEIVE_TIMEOUT=4\nPEAK_SYS_PCAN_HWTYPE=5\nPEAK_SYS_PCAN_IO=512\n"
         "PEAK_SYS_PCAN_IRQ=6\nRS485_DTR=0\nRS485_RTS=16\nNO_TRIES=300\n"
         "SYNCHRONIZATION_SLEEP_MULTIPLIER=-1\nUDP_RECEIVE_TIMEOUT=50\n",
         CHANNEL_PEAK_PCAN_DONGLE);
    EXPECT_EQ(All(), (V{0, 1, 2, 2000, 44, 3, 4, 200, 5, 512, 6, 0, 1}));
    Load("", CHANNEL_PEAK_PCAN_ISA);
    EXPECT_EQ(All(), defaults);
    // The PCAN defaults follow the type being opened; a missing file reads as an empty one.
    std::filesystem::remove(file_.path());
    LoadSettings(CHANNEL_PEAK_PCAN_DONGLE | CHANNEL_PROTOCOL_TORVANECAN);
    EXPECT_EQ(All(), (V{2000, 200, 200, 2, 3, 700, 700, 700, 3, 888, 7, 1, 1}));

    // NO_TRIES, SYNCHRONIZATION_SLEEP_MULTIPLIER, UDP_RECEIVE_TIMEOUT as read, then as stored.
    for (auto [tries, sleep, udp, expected] :
         {std::tuple{2, 0, 10000, V{3, 2, 5000}}, {256, 5000, 200, V{3, 2000, 200}}}) {
        Load("NO_TRIES=" + std::to_string(tries) + "\nSYNCHRONIZATION_SLEEP_MULTIPLIER=" +
             std::to_string(sleep) + "\nUDP_RECEIVE_TIMEOUT=" + std::to_string(udp));
        EXPECT_EQ((V{All()[4], All()[3], All()[7]}), expected) << tries;
    }
}

TEST_F(SettingsTest, VirtualSerialReadsNothing) {
    const V before = All();
    EXPECT_TRUE(Load("NO_TRIES=9\nUDP_RECEIVE_TIMEOUT=300\nTIMEOUT_READ_INTERVAL=250\n",
                     CHANNEL_VIRTUAL_SERIAL));
    EXPECT_EQ(All(), before);
    EXPECT_EQ(ReadSetting("TIMEOUT_READ_INTERVAL", 1000), 250u);
}

// The result follows the selected slot's recorded type: ports and sockets need an open channel,
// every other type has nothing to apply. Values are stored whatever the result.
TEST_F(SettingsTest, AppliesTimeoutsByTheSelectedSlotsType) {
    Slot &slot = *Context().currentSlot;
    ASSERT_EQ(slot.channelHandle, 0u);
    for (auto [type, applies] : {std::pair{CHANNEL_RS485, false}, {CHANNEL_LAWICEL_USBCAN, false},
                                 {CHANNEL_UDP, false}, {CHANNEL_IXXAT_CAN, true}}) {
        slot.channelType = static_cast<uint8_t>(type);
        EXPECT_EQ(Load("NO_TRIES=" + std::to_string(type + 5), CHANNEL_IXXAT_CAN), applies) << type;
        EXPECT_EQ(All()[4], type + 5u);
    }
    slot.channelType = CHANNEL_RS232;
}

} // namespace
} // namespace zorcomm

// Several processes sharing one serial port through the library.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "../integration/serial_fixture.h"

namespace {

using ztest::Child;
using ztest::Failure;

class SharedPortTest : public ztest::LibraryTest {
protected:
    // The test process itself does not use the library here; only its helper processes do.
    void SetUp() override {}
    void TearDown() override {}

    static int FramesSent(ztest::SimProcess &sim) {
        std::istringstream words(sim.Command("history"));
        int count = -1; // the leading OK
        for (std::string word; words >> word;) ++count;
        return count;
    }
};

TEST_F(SharedPortTest, ASecondProcessJoinsWithoutSynchronising) {
    auto sim = StartSerialSim({"--axes", "2", "--baud", "19200"});
    auto a = ztest::StartLibraryProcess(), b = ztest::StartLibraryProcess();
    const std::string opened = ztest::Ask(*a, "open COM7 0 0 0");
    ASSERT_EQ(opened.rfind("ok ", 0), 0u) << opened;
    FramesSent(*sim);
    const std::string joined = ztest::Ask(*b, "open COM7 0 0 0");
    ASSERT_EQ(joined.rfind("ok ", 0), 0u) << joined;
    EXPECT_EQ(FramesSent(*sim), 0) << "the joiner sent nothing";
    EXPECT_EQ(ztest::Ask(*b, "host"), "ok 2");
    EXPECT_EQ(ztest::Ask(*b, "active"), "ok 2");
    EXPECT_EQ(ztest::Ask(*b, "getbaud"), "ok 19200");
    EXPECT_EQ(ztest::Ask(*b, "send 0x20 0x1234 1"), "ok");

    // A moves the drive and the port; B re-applies the settings at its next call.
    EXPECT_EQ(ztest::Ask(*a, "baud 57600"), "ok");
    EXPECT_EQ(ztest::Ask(*b, "getbaud"), "ok 57600");
    EXPECT_EQ(ztest::Ask(*b, "version"), "ok F120H");
    // A leaves; B keeps the port.
    EXPECT_EQ(ztest::Ask(*a, "close -1"), "ok");
    EXPECT_EQ(ztest::Ask(*b, "send 0x20 0x1234 2"), "ok");
    ztest::Ask(*a, "quit");
    ztest::Ask(*b, "quit");
    EXPECT_EQ(a->Wait(), 0);
    EXPECT_EQ(b->Wait(), 0);
}

TEST_F(SharedPortTest, JoiningFollowsTheExclusiveProtocolAndHostRules) {
    auto sim = StartSerialSim({"--axes", "2"});
    auto a = ztest::StartLibraryProcess(), b = ztest::StartLibraryProcess();
    ASSERT_EQ(ztest::Ask(*a, "open COM7 2 1 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(ztest::Ask(*b, "open COM7 2 0 0"), Failure(0x2000006c));
    EXPECT_EQ(ztest::Ask(*a, "close -1"), "ok");
    ASSERT_EQ(ztest::Ask(*a, "open COM7 2 0 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(ztest::Ask(*b, "open COM7 2 1 0"), Failure(0x2000006d));
    EXPECT_EQ(ztest::Ask(*b, "open COM7 2 0 128"), Failure(0x2000006e));
    EXPECT_EQ(ztest::Ask(*b, "open COM7 3 0 0"), Failure(0x2000006a));
    // After all those refusals B holds no channel and can still join properly.
    EXPECT_EQ(ztest::Ask(*b, "update"), Failure(0x20000077));
    EXPECT_EQ(ztest::Ask(*b, "open COM7 2 0 0").rfind("ok ", 0), 0u);
    EXPECT_EQ(ztest::Ask(*b, "version"), "ok F120H");
}

TEST_F(SharedPortTest, TwoProcessesTakeTurnsOnOneLink) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    auto a = ztest::StartLibraryProcess(), b = ztest::StartLibraryProcess();
    ASSERT_EQ(ztest::Ask(*a, "open COM7 1 0 0").rfind("ok ", 0), 0u);
    ASSERT_EQ(ztest::Ask(*b, "open COM7 1 0 0").rfind("ok ", 0), 0u);
    sim->Command("stats reset");
    for (int i = 0; i < 20; ++i) {
        a->Send("version");
        b->Send("send 0x20 0x1234 " + std::to_string(i));
        EXPECT_EQ(a->Read(std::chrono::seconds(30)), "ok F120H");
        EXPECT_EQ(b->Read(std::chrono::seconds(30)), "ok");
    }
    const std::string stats = sim->Command("stats");
    EXPECT_NE(stats.find(" bad_checksum=0 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" partial=0 "), std::string::npos) << stats;
}

// Any process of the user can write the shared region, so no process takes a file name from it:
// each reads the settings file it names itself, and opens the port that file names.
TEST_F(SharedPortTest, EachProcessReadsTheSettingsFileItNamesItself) {
    auto sim = StartSerialSim({"--axes", "2"});
    const std::string pty = sim->firstLine().substr(4);
    unsetenv("ZORCOMM_COM7"); // the port comes from the settings files alone
    ztest::SettingsFile first(std::string(ztest::kFastSettings) + "[PORTS]\nCOM7=/dev/null\n");
    auto a = ztest::StartLibraryProcess(); // the process that makes the region
    ztest::SettingsFile second(std::string(ztest::kFastSettings) + "[PORTS]\nCOM7=" + pty + "\n");
    auto b = ztest::StartLibraryProcess();
    const std::string opened = ztest::Ask(*b, "open COM7 0 0 0");
    ASSERT_EQ(opened.rfind("ok ", 0), 0u) << opened;
    EXPECT_EQ(ztest::Ask(*b, "version"), "ok F120H");
    EXPECT_EQ(ztest::Ask(*b, "close -1"), "ok");
    // And the first reads its own: COM7 is /dev/null there, which takes no port settings.
    EXPECT_EQ(ztest::Ask(*a, "open COM7 0 0 0"), Failure(0x20000073));
    ztest::Ask(*a, "quit");
    ztest::Ask(*b, "quit");
    EXPECT_EQ(a->Wait(), 0);
    EXPECT_EQ(b->Wait(), 0);
}

} // namespace

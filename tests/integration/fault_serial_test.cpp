// Faults of the serial line and of the drives, injected with the simulator's fault knobs, also in
// the middle of block transfers and downloads: every call ends within the time-outs, with the
// documented code when it fails, and the channel works (or closes cleanly) afterwards.
#include "driver_fixture.h"
#include "fault_support.h"

#include <coff_writer.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using ztest::DriverTest;
using ztest::MidCall;
using ztest::Stopwatch;

// A counter of the simulator's `stats` line.
long Stat(const std::string &stats, const std::string &name) {
    std::istringstream words(stats);
    for (std::string word; words >> word;)
        if (word.rfind(name + "=", 0) == 0) return std::stol(word.substr(name.size() + 1));
    return -1;
}

std::vector<uint16_t> Pattern(size_t count, uint16_t seed) {
    std::vector<uint16_t> words(count);
    for (size_t i = 0; i < count; ++i) words[i] = static_cast<uint16_t>(seed * 0x101 + i * 7);
    return words;
}

std::string SamplePath() { return std::string(ZORCOMM_BINARY_DIR) + "/examples/sample.out"; }

constexpr const char *kDrives = "--axes 1,2 --read-timeout 100";

class SerialFaultTest : public DriverTest {
protected:
    void TearDown() override {
        MidCall::Disarm(lib);
        DriverTest::TearDown();
    }
    // A data block written and read back whole: the channel works.
    void ExpectWorking(uint16_t address, uint16_t seed) {
        const auto words = Pattern(6, seed);
        ASSERT_TRUE(lib.MSK_SendData(words.data(), address, MEMORY_DATA, 6)) << LastError();
        std::vector<uint16_t> back(6);
        ASSERT_TRUE(lib.MSK_ReceiveData(back.data(), address, MEMORY_DATA, 6)) << LastError();
        EXPECT_EQ(back, words);
    }
};

// Bytes lost or inverted either way, noise instead of an answer, a withheld acknowledge, a frame
// the drive ignores: the send is retried after a resynchronisation and gets through.
TEST_F(SerialFaultTest, ByteFaultsOnASendAreRetried) {
    OpenDriver(kDrives);
    const std::pair<const char *, const char *> faults[] = {
        {"drop-rx 1", "dropped_rx"},       {"drop-tx 1", "dropped_tx"},
        {"corrupt-rx 1", "corrupted_rx"},  {"corrupt-tx 1", "corrupted_tx"},
        {"corrupt-rx-at 4", "corrupted_rx"}, {"garbage 1", "garbage"},
        {"withhold-ack 1", "withheld"},    {"ignore 1", "ignored"},
    };
    uint16_t n = 0;
    for (const auto &[fault, counter] : faults) {
        ASSERT_EQ(Sim("stats reset"), "OK");
        ASSERT_EQ(Sim(std::string("fault ") + fault), "OK");
        const DriveMessage message{1, 0x0020, 0x1234, {++n}};
        Stopwatch watch;
        EXPECT_TRUE(lib.MSK_SendMessage(&message)) << fault << ": " << LastError();
        EXPECT_LT(watch.Elapsed(), 3s) << fault;
        EXPECT_EQ(Stat(Sim("stats"), counter), 1) << fault;
        ASSERT_EQ(Sim("fault clear"), "OK");
    }
    ExpectWorking(0x0100, 1);
}

// A reply damaged on its way: the read fails with "Incorrect data received." at once; the next
// read gets the words.
TEST_F(SerialFaultTest, ADamagedReplyFailsTheReadWithIncorrectData) {
    OpenDriver(kDrives);
    Poke("data", 0x0200, {0x1111, 0x2222});
    std::vector<uint16_t> read(2);
    // The acknowledge of the request comes first; the reply's bytes follow it.
    for (const char *fault : {"fault corrupt-tx-at 3", "fault corrupt-tx-at 8"}) {
        ASSERT_EQ(Sim(fault), "OK");
        Stopwatch watch;
        EXPECT_FALSE(lib.MSK_ReceiveData(read.data(), 0x0200, MEMORY_DATA, 2)) << fault;
        EXPECT_EQ(LastError(), Text(0x2000007c)) << fault;
        EXPECT_LT(watch.Elapsed(), 1s);
        ASSERT_TRUE(lib.MSK_ReceiveData(read.data(), 0x0200, MEMORY_DATA, 2)) << LastError();
        EXPECT_EQ(read, (std::vector<uint16_t>{0x1111, 0x2222}));
    }
    ExpectWorking(0x0300, 2);
}

// The drives fall silent after a few messages of a block: no acknowledge, and no answer to the
// resynchronisation either. Writes and reads alike end with "cannot synchronise".
TEST_F(SerialFaultTest, DrivesFallingSilentInTheMiddleOfABlock) {
    OpenDriver(kDrives);
    const auto words = Pattern(40, 3);
    MidCall::Arm(lib, "Bytes Write", 5, [this] { Sim("fault silent 60000"); });
    Stopwatch watch;
    EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x0400, MEMORY_DATA, 40));
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x20000068));
    EXPECT_LT(watch.Elapsed(), 3s);
    // What went before the silence is in the drive.
    EXPECT_EQ(Peek("data", 0x0400, 8), std::vector<uint16_t>(words.begin(), words.begin() + 8));
    ASSERT_EQ(Sim("fault clear"), "OK");
    ExpectWorking(0x0400, 4);

    std::vector<uint16_t> read(40);
    MidCall::Arm(lib, "Bytes Write", 3, [this] { Sim("fault silent 60000"); });
    Stopwatch again;
    EXPECT_FALSE(lib.MSK_ReceiveData(read.data(), 0x0400, MEMORY_DATA, 40));
    EXPECT_EQ(LastError(), Text(0x20000068));
    EXPECT_LT(again.Elapsed(), 3s);
    MidCall::Disarm(lib);
    ASSERT_EQ(Sim("fault clear"), "OK");
    ExpectWorking(0x0500, 5);
}

// The drives restart in the middle of a block (memory and download pointer start afresh). An SPI
// block finds that at the download counter it reads before every message.
TEST_F(SerialFaultTest, DrivesRestartingInTheMiddleOfABlock) {
    OpenDriver(kDrives);
    const auto words = Pattern(40, 6);
    MidCall::Arm(lib, "Bytes Write", 6, [this] { Sim(std::string("configure ") + kDrives); });
    EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x3000, MEMORY_SPI, 40));
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x20000074));
    MidCall::Disarm(lib);
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x3000, MEMORY_SPI, 40)) << LastError();
    EXPECT_EQ(Peek("spi", 0x3000, 40), words);
}

// The same faults in the middle of a download: a restart is caught by the section's checksum, a
// silence by the resynchronisation; the download after the fault loads the whole file.
TEST_F(SerialFaultTest, FaultsInTheMiddleOfADownload) {
    OpenDriver(kDrives);
    uint16_t entry = 0, start = 0, end = 0;
    auto download = [&] {
        return lib.MSK_COFFDownload(SamplePath().c_str(), &entry, &start, &end, nullptr, 0, 0x5000);
    };
    MidCall::Arm(lib, "Bytes Write", 40, [this] { Sim(std::string("configure ") + kDrives); });
    EXPECT_FALSE(download());
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x2000007e));

    MidCall::Arm(lib, "Bytes Write", 250, [this] { Sim("fault silent 60000"); });
    Stopwatch watch;
    EXPECT_FALSE(download());
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x20000068));
    EXPECT_LT(watch.Elapsed(), 8s);
    MidCall::Disarm(lib);
    ASSERT_EQ(Sim("fault clear"), "OK");

    ASSERT_TRUE(download()) << LastError();
    EXPECT_EQ(entry, 0x8000);
    EXPECT_EQ(start, 0x0800);
}

// Over a real pseudo terminal, where the line keeps the rate the PC set.
class PtyFaultTest : public ztest::LibraryTest {
protected:
    void TearDown() override {
        MidCall::Disarm(lib);
        LibraryTest::TearDown();
    }
};

// The device disappears (the other end hangs up) in the middle of a block. The call fails within
// the time-outs, later calls too, the channel closes, nothing of it stays open, and the port
// opens again once it is back.
TEST_F(PtyFaultTest, ThePortHangsUpInTheMiddleOfABlock) {
    for (bool writing : {true, false}) {
        SCOPED_TRACE(writing ? "write" : "read");
        auto sim = StartSerialSim({"--axes", "1"});
        const ztest::Holdings before = ztest::Hold();
        ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
        std::vector<uint16_t> words = Pattern(60, 8);
        ztest::SimProcess *device = sim.get();
        MidCall::Arm(lib, "Bytes Write", 4, [device] { device->Stop(); });
        Stopwatch watch;
        const bool done = writing
                              ? lib.MSK_SendData(words.data(), 0x0100, MEMORY_DATA, 60)
                              : lib.MSK_ReceiveData(words.data(), 0x0100, MEMORY_DATA, 60);
        EXPECT_FALSE(done);
        EXPECT_TRUE(MidCall::Fired());
        // The system's code for the vanished device comes through as it is.
        EXPECT_EQ(LastError(), std::strerror(EIO));
        EXPECT_LT(watch.Elapsed(), 5s);
        MidCall::Disarm(lib);
        const DriveMessage message{0, 0x0010, 0x1234, {}};
        Stopwatch later;
        EXPECT_FALSE(lib.MSK_SendMessage(&message));
        EXPECT_LT(later.Elapsed(), 5s);
        EXPECT_TRUE(lib.MSK_CloseComm(-1));
        EXPECT_EQ(ztest::Hold(), before);
    }
    auto back = StartSerialSim({"--axes", "1"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    const auto words = Pattern(6, 9);
    EXPECT_TRUE(lib.MSK_SendData(words.data(), 0x0100, MEMORY_DATA, 6)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

// The drives restart in the middle of a block and come back at 9600 baud while the line runs
// at 57600: they no longer understand the PC, and neither does the resynchronisation. The
// channel closes cleanly, and opened again it finds the drives' rate.
TEST_F(PtyFaultTest, DrivesRestartingAtAnotherRate) {
    auto sim = StartSerialSim({"--axes", "1,2"});
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    ASSERT_TRUE(lib.MSK_SetBaudRate(57600)) << LastError();
    const auto words = Pattern(40, 6);
    ztest::SimProcess *drives = sim.get();
    MidCall::Arm(lib, "Bytes Write", 6, [drives] { drives->Command("configure --axes 1,2"); });
    Stopwatch watch;
    EXPECT_FALSE(lib.MSK_SendData(words.data(), 0x0600, MEMORY_DATA, 40));
    EXPECT_TRUE(MidCall::Fired());
    EXPECT_EQ(LastError(), Text(0x20000068));
    EXPECT_LT(watch.Elapsed(), 5s);
    MidCall::Disarm(lib);
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
    ASSERT_GT(lib.MSK_OpenComm("COM7", 1, 0, CHANNEL_RS232), 0) << LastError();
    EXPECT_EQ(lib.MSK_GetBaudRate(), 9600u);
    ASSERT_TRUE(lib.MSK_SendData(words.data(), 0x0600, MEMORY_DATA, 40)) << LastError();
    EXPECT_TRUE(lib.MSK_CloseComm(-1));
}

} // namespace

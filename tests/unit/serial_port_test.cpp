// Serial ports against a real pty pair (the test plays the far end on the master side), the COM
// port name lookup, and shared objects loaded at run time.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/serial_port.h"
#include "test_support.h"

namespace zorcomm::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNoLimit = 0xFFFFFFFF;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pty pair: the port under test opens the slave, the test talks through the master.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0)
            ADD_FAILURE() << "pty: " << std::strerror(errno);
        slave_ = name;
    }
    ~Pty() { HangUp(); }
    const std::string &slave() const { return slave_; }

    void Send(const Bytes &bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whatever arrives within two seconds, up to `count` bytes.
    Bytes Receive(size_t count) {
        Bytes bytes(count);
        size_t got = 0;
        const auto deadline = Clock::now() + 2s;
        pollfd entry{master_, POLLIN, 0};
        while (got < count && Clock::now() < deadline) {
            if (poll(&entry, 1, 20) <= 0) continue;
            const ssize_t n = read(master_, bytes.data() + got, count - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }
    // Termios calls on the master act on the slave's settings.
    termios Line() const {
        termios tio{};
        EXPECT_EQ(tcgetattr(master_, &tio), 0);
        return tio;
    }
    void HangUp() {
        const int master = master_.exchange(-1);
        if (master >= 0) close(master);
    }
    // Feeds the port enough to end any read still waiting, line ends included.
    void Flood() {
        pollfd entry{master_, POLLOUT, 0};
        const std::string filler(4096, '\n');
        if (poll(&entry, 1, 100) == 1) (void)!write(master_, filler.data(), filler.size());
    }

private:
    std::atomic<int> master_ = -1;
    std::string slave_;
};

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(port_.Open(pty_.slave(), true) && port_.SetUp()) << std::strerror(errno);
        // A port call that never returns fails the test instead of stalling the run.
        watchdog_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            watching_ = true;
            finished_.notify_all();
            if (finished_.wait_for(lock, 10s, [this] { return done_; })) return;
            ADD_FAILURE() << "a port call did not return; feeding the line to end it";
            pty_.Flood();
        });
        // Tests fork: a child forked while the new thread is still being set up inherits the
        // locks the set-up holds (the sanitizers' thread registry among them), and its exit then
        // waits for them for ever. Once the watchdog waits, it holds none.
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return watching_; });
    }
    void TearDown() override {
        if (sender_.joinable()) sender_.join();
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_all();
        if (watchdog_.joinable()) watchdog_.join();
    }

    void Timeouts(uint32_t interval, uint32_t multiplier, uint32_t constant,
                  uint32_t writeConstant = 0) {
        ASSERT_TRUE(port_.SetTimeouts({interval, multiplier, constant, 0, writeConstant}));
    }
    // Sends each chunk after its delay (counted from the previous chunk), from another thread.
    void SendLater(std::vector<std::pair<std::chrono::milliseconds, Bytes>> chunks) {
        sender_ = std::thread([this, chunks = std::move(chunks)] {
            for (const auto &[delay, bytes] : chunks) {
                std::this_thread::sleep_for(delay);
                pty_.Send(bytes);
            }
        });
    }
    uint32_t Queued() {
        uint32_t flags = 1, queued = 0;
        EXPECT_TRUE(port_.ClearError(flags, queued));
        EXPECT_EQ(flags, 0u); // a pty reports no line errors
        return queued;
    }
    void AwaitQueued(uint32_t count) {
        const auto deadline = Clock::now() + 2s;
        while (Queued() < count && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
        ASSERT_EQ(Queued(), count);
    }
    Bytes Read(size_t count, bool expectOk = true) {
        Bytes bytes(count);
        uint32_t done = 0;
        EXPECT_EQ(port_.Read(bytes, done), expectOk) << std::strerror(errno);
        bytes.resize(std::min<size_t>(done, count));
        return bytes;
    }
    // Reads `count` bytes and checks how long that took.
    Bytes TimedRead(size_t count, long long atLeastMs, long long below) {
        const auto start = Clock::now();
        Bytes bytes = Read(count);
        const auto elapsed = MillisecondsSince(start);
        EXPECT_GE(elapsed, atLeastMs);
        EXPECT_LT(elapsed, below);
        return bytes;
    }

    Pty pty_;
    SerialPort port_;
    std::thread sender_, watchdog_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool watching_ = false;
};

TEST_F(SerialPortTest, IntervalTimeoutCountsFromTheLatestByte) {
    Timeouts(100, 0, 0);
    pty_.Send({1, 2, 3});
    EXPECT_EQ(TimedRead(6, 100, 1000), (Bytes{1, 2, 3}));

    // Four chunks 150 ms apart take longer than the 400 ms interval, but no gap does.
    Timeouts(400, 0, 0);
    SendLater({{0ms, {1, 2}}, {150ms, {3, 4}}, {150ms, {5, 6}}, {150ms, {7, 8}}});
    EXPECT_EQ(TimedRead(8, 400, 5000), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(SerialPortTest, FirstByteWaitsForTheTotalThenTheIntervalApplies) {
    Timeouts(50, 0, 1500);
    SendLater({{250ms, {9, 8}}});
    EXPECT_EQ(TimedRead(6, 250, 1300), (Bytes{9, 8})); // ended by the interval, not the total
}

TEST_F(SerialPortTest, TotalTimeoutBoundsTheWholeRead) {
    Timeouts(0, 0, 150);
    EXPECT_TRUE(TimedRead(4, 150, 1000).empty());
    Timeouts(0, 50, 0); // 5 x 50 ms
    pty_.Send({7, 7});
    EXPECT_EQ(TimedRead(5, 250, 1100), (Bytes{7, 7}));
}

TEST_F(SerialPortTest, ZeroTimeoutsWaitForAllAndNoLimitIntervalForNothing) {
    Timeouts(0, 0, 0);
    SendLater({{0ms, {1, 2, 3}}, {200ms, {4, 5, 6}}});
    EXPECT_EQ(Read(6), (Bytes{1, 2, 3, 4, 5, 6}));

    Timeouts(kNoLimit, 0, 0);
    EXPECT_TRUE(TimedRead(10, 0, 500).empty());
    pty_.Send({4, 5, 6, 7});
    AwaitQueued(4);
    EXPECT_EQ(TimedRead(10, 0, 500), (Bytes{4, 5, 6, 7}));
}

TEST_F(SerialPortTest, BytesPassUnchangedBothWaysAndWritesTimeOut) {
    // Line ends, flow-control, interrupt, end-of-file and erase characters are plain data.
    const Bytes special{'\n', '\r', 0x11, 0x13, 0x03, 0x04, 0x1A, 0x7F, 0x00, 0xFF, 0x1C, 0x15};
    Timeouts(0, 0, 2000, 2000);
    uint32_t done = 0;
    ASSERT_TRUE(port_.Write(special, done));
    EXPECT_EQ(done, special.size());
    EXPECT_EQ(pty_.Receive(special.size()), special);
    pty_.Send(special);
    EXPECT_EQ(Read(special.size()), special);

    // Nobody reads the master side now, so the line backs up.
    Timeouts(0, 0, 0, 200);
    const Bytes big(4 << 20, 0x55);
    const auto start = Clock::now();
    EXPECT_TRUE(port_.Write(big, done));
    EXPECT_GE(MillisecondsSince(start), 200);
    EXPECT_LT(MillisecondsSince(start), 1200);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size());
}

TEST_F(SerialPortTest, SettingsReachTheLineAndComeBack) {
    DeviceControlBlock dcb{};
    ASSERT_TRUE(port_.GetState(dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.fBinary, 1u);
    const auto apply = [&](speed_t speed, tcflag_t cflags, tcflag_t iflags) {
        ASSERT_TRUE(port_.SetState(dcb)) << std::strerror(errno);
        const termios line = pty_.Line();
        EXPECT_EQ(cfgetospeed(&line), speed);
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), cflags);
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF), iflags);
        DeviceControlBlock back{};
        ASSERT_TRUE(port_.GetState(back));
        EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0); // every member, kept or mapped
    };
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_DISABLE; // a pty has no modem lines: not a failure
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    apply(B57600, CS8, 0);

    dcb.BaudRate = 115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 123;
    dcb.XoffLim = 45;
    dcb.EvtChar = 'x';
    dcb.EofChar = 0x1A;
    apply(B115200, CS8 | CSTOPB | CRTSCTS, IXON | IXOFF);

    dcb.BaudRate = 1200;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    apply(B1200, CS8 | CSTOPB | CRTSCTS, 0);
}

TEST_F(SerialPortTest, SettingsTheLineCannotTakeAreRefused) {
    DeviceControlBlock good{};
    ASSERT_TRUE(port_.GetState(good));
    good.BaudRate = 19200;
    good.ByteSize = 8;
    good.Parity = NOPARITY;
    ASSERT_TRUE(port_.SetState(good));
    const auto refused = [&](auto change) {
        DeviceControlBlock dcb = good;
        change(dcb);
        errno = 0;
        EXPECT_FALSE(port_.SetState(dcb));
        EXPECT_EQ(errno, EINVAL);
    };
    for (uint32_t rate : {0u, 14400u, 56000u, 128000u, 12345u})
        refused([rate](DeviceControlBlock &dcb) { dcb.BaudRate = rate; });
    refused([](DeviceControlBlock &dcb) { dcb.ByteSize = 4; });
    refused([](DeviceControlBlock &dcb) { dcb.ByteSize = 9; });
    refused([](DeviceControlBlock &dcb) { dcb.Parity = 5; });
    refused([](DeviceControlBlock &dcb) { dcb.StopBits = 3; });
    refused([](DeviceControlBlock &dcb) { dcb.fOutX = 1, dcb.XonChar = dcb.XoffChar = 0x11; });
    // A pty carries 8-bit characters without parity only: the driver drops the rest, and a
    // format the line did not take is refused rather than reported as applied.
    refused([](DeviceControlBlock &dcb) { dcb.ByteSize = 7, dcb.Parity = EVENPARITY; });
    refused([](DeviceControlBlock &dcb) { dcb.Parity = MARKPARITY; });

    const termios line = pty_.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
}

TEST_F(SerialPortTest, ExclusiveOpenRefusesASecondHolderButLetsOthersJoin) {
    SerialPort second;
    errno = 0;
    EXPECT_FALSE(second.Open(pty_.slave(), true));
    EXPECT_EQ(errno, EBUSY);
    EXPECT_FALSE(second.IsOpen());

    // Another process is refused the same way; joining without exclusivity works.
    ztest::Child child([this](ztest::Child &self) {
        SerialPort exclusive, joined;
        errno = 0;
        const bool refused = !exclusive.Open(pty_.slave(), true) && errno == EBUSY;
        self.Reply(refused && joined.Open(pty_.slave(), false) ? "ok" : "fail");
        self.Receive(); // keeps its inherited copy of the holder's descriptor meanwhile
        return 0;
    });
    EXPECT_EQ(child.Read(), "ok");

    SerialPort joined;
    ASSERT_TRUE(joined.Open(pty_.slave(), false));
    Timeouts(0, 0, 2000, 2000);
    ASSERT_TRUE(joined.SetTimeouts({0, 0, 2000, 0, 2000}));
    uint32_t done = 0;
    ASSERT_TRUE(joined.Write(Bytes{0x42}, done));
    EXPECT_EQ(pty_.Receive(1), Bytes{0x42});
    pty_.Send({0x43});
    EXPECT_EQ(Read(1), Bytes{0x43});

    // Closing releases the port even while the forked child still holds a copy of it.
    port_.Close();
    EXPECT_TRUE(second.Open(pty_.slave(), true)) << std::strerror(errno);
    child.Send("end");
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(SerialPortTest, QueueCountAndReceivePurge) {
    EXPECT_EQ(Queued(), 0u);
    pty_.Send({1, 2, 3, 4, 5});
    AwaitQueued(5);
    EXPECT_TRUE(port_.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(Queued(), 5u); // a transmit purge leaves received bytes alone
    EXPECT_TRUE(port_.Purge(PURGE_RXCLEAR));
    EXPECT_EQ(Queued(), 0u);
    Timeouts(kNoLimit, 0, 0);
    EXPECT_TRUE(Read(5).empty());

    pty_.Send({6});
    Timeouts(0, 0, 2000);
    EXPECT_EQ(Read(1), (Bytes{6}));
}

TEST_F(SerialPortTest, HangUpOfTheFarEndFailsReadsAndWrites) {
    Timeouts(0, 0, 8000, 8000); // only a backstop: the hang-up must end the read long before
    sender_ = std::thread([this] {
        std::this_thread::sleep_for(100ms);
        pty_.HangUp();
    });
    const auto start = Clock::now();
    for (int attempt = 0; attempt < 2; ++attempt) {
        errno = 0;
        EXPECT_TRUE(Read(4, false).empty());
        EXPECT_EQ(errno, EIO);
    }
    uint32_t done = 0;
    errno = 0;
    EXPECT_FALSE(port_.Write(Bytes{1, 2, 3}, done));
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(MillisecondsSince(start), 4000);
}

TEST_F(SerialPortTest, HandleStaysClearOfTheStandardStreamsAndMovesWithThePort) {
    EXPECT_GE(port_.Handle(), 3u);
    const int savedInput = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    SerialPort port;
    const bool opened = port.Open(pty_.slave(), false);
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    ASSERT_TRUE(opened);
    const uint32_t handle = port.Handle();
    EXPECT_GE(handle, 3u);

    SerialPort moved(std::move(port));
    EXPECT_EQ(port.Handle(), 0u);
    {
        SerialPort last;
        last = std::move(moved);
        EXPECT_EQ(last.Handle(), handle);
        EXPECT_FALSE(moved.IsOpen());
    }
    EXPECT_EQ(fcntl(static_cast<int>(handle), F_GETFD), -1); // the destructor closed it
}

// A path that does not open fails the open; one that opens but is no terminal opens and then
// fails the set-up, with the reason each time.
TEST(SerialPortOpen, FailsWithTheReasonForPathsThatAreNoPort) {
    SerialPort port;
    errno = 0;
    EXPECT_FALSE(port.Open("/nonexistent/ttyZ9", true));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(port.IsOpen());
    ztest::TempDir dir;
    for (const std::string &path : {dir.Write("plain", "not a terminal"), std::string("/dev/null")}) {
        ASSERT_TRUE(port.Open(path, true)) << path;
        errno = 0;
        EXPECT_FALSE(port.SetUp()) << path;
        EXPECT_EQ(errno, ENOTTY) << path;
        port.Close();
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.Handle(), 0u);
    }
}

TEST(SerialPortPath, EnvironmentBeforeSettingsFileBeforeDefaultDevice) {
    ztest::TempDir dir;
    const std::string settings =
        dir.Write("kernel.cfg", "[ZORCOMM]\nCOM7=/wrong\n[PORTS]\nCOM7=/dev/from-file7\n"
                                "com8 = /dev/from-file8\nCOM0=/dev/from-file0\nCOM9=\n");
    ASSERT_EQ(setenv("ZORCOMM_COM7", "/dev/from-env7", 1), 0);
    EXPECT_EQ(ComPortPath(7, settings.c_str()), "/dev/from-env7");
    ASSERT_EQ(unsetenv("ZORCOMM_COM7"), 0);
    EXPECT_EQ(ComPortPath(7, settings.c_str()), "/dev/from-file7");
    EXPECT_EQ(ComPortPath(8, settings.c_str()), "/dev/from-file8");
    EXPECT_EQ(ComPortPath(0, settings.c_str()), "/dev/from-file0");
    EXPECT_EQ(ComPortPath(9, settings.c_str()), "/dev/ttyS8"); // an empty value maps nothing
    EXPECT_EQ(ComPortPath(12, nullptr), "/dev/ttyS11");
    EXPECT_EQ(ComPortPath(0, nullptr), "");
}

TEST(DynamicLibrary, MissingOrBrokenFilesFailWithAReason) {
    ztest::TempDir dir;
    const std::string junk = dir.Write("libjunk.so", "this is no shared object");
    const std::pair<std::string, int> cases[] = {{"/nonexistent/libzorcomm-none.so", ENOENT},
                                                 {"libzorcomm-none.so.9", ENOENT},
                                                 {junk, ELIBBAD},
                                                 {"", ENOENT}};
    DynamicLibrary library;
    for (const auto &[file, code] : cases) {
        errno = 0;
        EXPECT_FALSE(library.Load(file)) << file;
        EXPECT_EQ(errno, code) << file;
        EXPECT_NE(library.LoadErrorText().find(file.empty() ? "name" : file), std::string::npos)
            << library.LoadErrorText();
        EXPECT_FALSE(library.IsLoaded());
        EXPECT_EQ(library.Symbol("cos"), nullptr);
    }
}

TEST(DynamicLibrary, LoadsBySonameAndBindsEntryPoints) {
    DynamicLibrary library;
    ASSERT_TRUE(library.Load("libm.so.6")) << library.LoadErrorText();
    auto *cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(library.Symbol("zorcomm_no_such_entry_point"), nullptr);

    DynamicLibrary moved(std::move(library));
    EXPECT_FALSE(library.IsLoaded());
    auto *power = reinterpret_cast<double (*)(double, double)>(moved.Symbol("pow"));
    ASSERT_NE(power, nullptr);
    EXPECT_DOUBLE_EQ(power(2.0, 10.0), 1024.0);
    moved.Unload();
    EXPECT_EQ(moved.Symbol("cos"), nullptr);
}

} // namespace
} // namespace zorcomm::platform

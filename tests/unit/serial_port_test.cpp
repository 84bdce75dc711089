// Serial ports against a real pty pair (the test plays the far end on the master side), the COM
// port name lookup, and shared objects loaded at run time.
#include <gtest/gtest.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <mutex>
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
            ptsname_r(master_, name, sizeof name) != 0) {
            ADD_FAILURE() << "pty: " << std::strerror(errno);
            return;
        }
        slave_ = name;
    }
    ~Pty() { HangUp(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &slave() const { return slave_; }

    void Send(const Bytes &bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whatever arrives within `limit`, up to `count` bytes.
    Bytes Receive(size_t count, std::chrono::milliseconds limit = 2s) {
        Bytes bytes;
        const auto deadline = Clock::now() + limit;
        while (bytes.size() < count && Clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            uint8_t chunk[4096];
            const ssize_t got = read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }
    termios MasterSettings() const {
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
        if (poll(&entry, 1, 100) != 1) return;
        const std::string filler(4096, '\n');
        (void)!write(master_, filler.data(), filler.size());
    }

private:
    std::atomic<int> master_ = -1;
    std::string slave_;
};

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty_.slave().empty());
        ASSERT_TRUE(port_.Open(pty_.slave(), true)) << std::strerror(errno);
        // A port call that never returns fails the test instead of stalling the run.
        watchdog_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            if (finished_.wait_for(lock, 10s, [this] { return done_; })) return;
            ADD_FAILURE() << "a port call did not return; feeding the line to end it";
            pty_.Flood();
        });
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
                  uint32_t writeMultiplier = 0, uint32_t writeConstant = 0) {
        ASSERT_TRUE(port_.SetTimeouts({interval, multiplier, constant, writeMultiplier,
                                       writeConstant}));
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
    // Waits until the port has `count` bytes queued.
    void AwaitQueued(uint32_t count) {
        uint32_t flags = 0, queued = 0;
        const auto deadline = Clock::now() + 2s;
        while (Clock::now() < deadline) {
            ASSERT_TRUE(port_.ClearError(flags, queued));
            if (queued >= count) break;
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_EQ(queued, count);
        EXPECT_EQ(flags, 0u);
    }
    Bytes Read(size_t count, bool expectOk = true) {
        Bytes bytes(count);
        uint32_t done = 0;
        EXPECT_EQ(port_.Read(bytes, done), expectOk) << std::strerror(errno);
        EXPECT_LE(done, count);
        bytes.resize(done);
        return bytes;
    }

    Pty pty_;
    SerialPort port_;
    std::thread sender_;
    std::thread watchdog_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

TEST_F(SerialPortTest, IntervalTimeoutEndsAReadWhenTheBytesStop) {
    Timeouts(100, 0, 0);
    pty_.Send({1, 2, 3});
    const auto start = Clock::now();
    EXPECT_EQ(Read(6), (Bytes{1, 2, 3}));
    const auto elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 1000);
}

TEST_F(SerialPortTest, IntervalCountsFromTheLatestByte) {
    // Four chunks 150 ms apart take longer than the 400 ms interval, but no gap does.
    Timeouts(400, 0, 0);
    SendLater({{0ms, {1, 2}}, {150ms, {3, 4}}, {150ms, {5, 6}}, {150ms, {7, 8}}});
    const auto start = Clock::now();
    EXPECT_EQ(Read(8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_GE(MillisecondsSince(start), 400);
}

TEST_F(SerialPortTest, FirstByteWaitsForTheTotalThenTheIntervalApplies) {
    Timeouts(50, 0, 1500);
    SendLater({{250ms, {9, 8}}});
    const auto start = Clock::now();
    EXPECT_EQ(Read(6), (Bytes{9, 8}));
    const auto elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 1300); // ended by the interval, well before the total
}

TEST_F(SerialPortTest, TotalTimeoutBoundsTheWholeRead) {
    Timeouts(0, 0, 150);
    auto start = Clock::now();
    EXPECT_TRUE(Read(4).empty());
    auto elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 1000);

    // Multiplier x count: 5 x 50 ms; the bytes that came are handed back.
    Timeouts(0, 50, 0);
    pty_.Send({7, 7});
    start = Clock::now();
    EXPECT_EQ(Read(5), (Bytes{7, 7}));
    elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 1100);
}

TEST_F(SerialPortTest, AllZeroTimeoutsWaitForTheFullCount) {
    Timeouts(0, 0, 0);
    SendLater({{0ms, {1, 2, 3}}, {200ms, {4, 5, 6}}});
    EXPECT_EQ(Read(6), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(SerialPortTest, ImmediateModeReturnsWhatIsQueuedAtOnce) {
    Timeouts(kNoLimit, 0, 0);
    auto start = Clock::now();
    EXPECT_TRUE(Read(10).empty());
    EXPECT_LT(MillisecondsSince(start), 500);

    pty_.Send({4, 5, 6, 7});
    AwaitQueued(4);
    start = Clock::now();
    EXPECT_EQ(Read(10), (Bytes{4, 5, 6, 7}));
    EXPECT_LT(MillisecondsSince(start), 500);
}

TEST_F(SerialPortTest, BytesPassUnchangedBothWays) {
    // Line ends, flow-control, interrupt, end-of-file and erase characters are plain data.
    const Bytes special{'\n', '\r', 0x11, 0x13, 0x03, 0x04, 0x1A, 0x7F, 0x00, 0xFF, 0x1C, 0x15};
    Bytes out;
    for (int i = 0; i < 25; ++i) out.insert(out.end(), special.begin(), special.end());
    Timeouts(0, 0, 2000, 0, 2000);
    uint32_t done = 0;
    ASSERT_TRUE(port_.Write(out, done));
    EXPECT_EQ(done, out.size());
    EXPECT_EQ(pty_.Receive(out.size()), out);

    pty_.Send(special);
    EXPECT_EQ(Read(special.size()), special);
}

TEST_F(SerialPortTest, WriteTimeoutEndsAWriteTheLineCannotTake) {
    // Nobody reads the master side, so the line backs up.
    Timeouts(0, 0, 0, 0, 200);
    const Bytes big(4 << 20, 0x55);
    uint32_t done = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port_.Write(big, done));
    const auto elapsed = MillisecondsSince(start);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size());
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 1200);
}

TEST_F(SerialPortTest, SettingsReachTheLineAndComeBack) {
    DeviceControlBlock dcb{};
    ASSERT_TRUE(port_.GetState(dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.fBinary, 1u);

    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_DISABLE; // a pty has no modem lines: not a failure
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(port_.SetState(dcb)) << std::strerror(errno);
    termios line = pty_.MasterSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B57600));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));

    dcb.BaudRate = 115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fOutxCtsFlow = 1;
    dcb.XonLim = 123;
    dcb.XoffLim = 45;
    dcb.EvtChar = 'x';
    dcb.EofChar = 0x1A;
    ASSERT_TRUE(port_.SetState(dcb)) << std::strerror(errno);
    line = pty_.MasterSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

    DeviceControlBlock back{};
    ASSERT_TRUE(port_.GetState(back));
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
    EXPECT_EQ(back.XonLim, 123);
    EXPECT_EQ(back.XoffLim, 45);
    EXPECT_EQ(back.EvtChar, 'x');
    EXPECT_EQ(back.EofChar, 0x1A);

    dcb.StopBits = ONE5STOPBITS;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fOutxCtsFlow = 0;
    ASSERT_TRUE(port_.SetState(dcb)) << std::strerror(errno);
    line = pty_.MasterSettings();
    EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
    ASSERT_TRUE(port_.GetState(back));
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.fOutX, 0u);
}

TEST_F(SerialPortTest, SettingsTheLineCannotTakeAreRefused) {
    DeviceControlBlock good{};
    ASSERT_TRUE(port_.GetState(good));
    good.BaudRate = 19200;
    good.ByteSize = 8;
    good.Parity = NOPARITY;
    good.StopBits = ONESTOPBIT;
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
    refused([](DeviceControlBlock &dcb) {
        dcb.fOutX = 1;
        dcb.XonChar = dcb.XoffChar = 0x11;
    });
    // A pty carries 8-bit characters without parity only: the driver drops the rest, and a
    // format the line did not take is refused rather than reported as applied.
    refused([](DeviceControlBlock &dcb) {
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
    });
    refused([](DeviceControlBlock &dcb) { dcb.Parity = MARKPARITY; });

    // Nothing of a refused block reached the line.
    const termios line = pty_.MasterSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
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
        // Holds its inherited copy of the exclusive descriptor until told to end.
        self.Receive();
        return 0;
    });
    EXPECT_EQ(child.Read(), "ok");

    // A joiner shares the line with the holder.
    SerialPort joined;
    ASSERT_TRUE(joined.Open(pty_.slave(), false));
    Timeouts(0, 0, 2000, 0, 2000);
    uint32_t done = 0;
    ASSERT_TRUE(joined.SetTimeouts({0, 0, 2000, 0, 2000}));
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
    uint32_t flags = 1, queued = 1;
    ASSERT_TRUE(port_.ClearError(flags, queued));
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(queued, 0u);

    pty_.Send({1, 2, 3, 4, 5});
    AwaitQueued(5);
    EXPECT_TRUE(port_.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR));
    AwaitQueued(5); // a transmit purge leaves received bytes alone
    EXPECT_TRUE(port_.Purge(PURGE_RXCLEAR));
    ASSERT_TRUE(port_.ClearError(flags, queued));
    EXPECT_EQ(queued, 0u);
    Timeouts(kNoLimit, 0, 0);
    EXPECT_TRUE(Read(5).empty());

    // The port still works after the purge.
    pty_.Send({6});
    Timeouts(0, 0, 2000);
    EXPECT_EQ(Read(1), (Bytes{6}));
}

TEST_F(SerialPortTest, HangUpOfTheFarEndFailsReadsAndWrites) {
    // The total is only a backstop: the read must end with the hang-up, long before it.
    Timeouts(0, 0, 8000, 0, 8000);
    sender_ = std::thread([this] {
        std::this_thread::sleep_for(100ms);
        pty_.HangUp();
    });
    const auto start = Clock::now();
    errno = 0;
    EXPECT_TRUE(Read(4, false).empty());
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(MillisecondsSince(start), 4000);

    errno = 0;
    EXPECT_TRUE(Read(4, false).empty());
    EXPECT_EQ(errno, EIO);
    uint32_t done = 0;
    const Bytes out{1, 2, 3};
    errno = 0;
    EXPECT_FALSE(port_.Write(out, done));
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(MillisecondsSince(start), 4000);
}

TEST_F(SerialPortTest, HandleStaysClearOfTheStandardStreams) {
    EXPECT_GE(port_.Handle(), 3u);

    const int savedInput = dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    close(STDIN_FILENO);
    SerialPort port;
    const bool opened = port.Open(pty_.slave(), false);
    const uint32_t handle = port.Handle();
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    ASSERT_TRUE(opened);
    EXPECT_GE(handle, 3u);

    // Moving hands the descriptor over; the destructor closes it.
    SerialPort moved(std::move(port));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Handle(), 0u);
    EXPECT_EQ(moved.Handle(), handle);
    {
        SerialPort last;
        last = std::move(moved);
        EXPECT_EQ(last.Handle(), handle);
    }
    EXPECT_EQ(fcntl(static_cast<int>(handle), F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(SerialPortOpen, FailsWithTheReasonForPathsThatAreNoPort) {
    SerialPort port;
    errno = 0;
    EXPECT_FALSE(port.Open("/nonexistent/ttyZ9", true));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(port.Handle(), 0u);

    ztest::TempDir dir;
    const std::string file = dir.Write("plain", "not a terminal");
    errno = 0;
    EXPECT_FALSE(port.Open(file, true));
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_FALSE(port.IsOpen());

    uint32_t flags = 0, queued = 0, done = 0;
    uint8_t byte = 0;
    EXPECT_FALSE(port.ClearError(flags, queued));
    EXPECT_FALSE(port.Read({&byte, 1}, done));
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
    EXPECT_EQ(ComPortPath(9, settings.c_str()), "/dev/ttyS8"); // empty value: no mapping
    EXPECT_EQ(ComPortPath(12, settings.c_str()), "/dev/ttyS11");
    EXPECT_EQ(ComPortPath(1, nullptr), "/dev/ttyS0");
    EXPECT_EQ(ComPortPath(0, nullptr), "");
    EXPECT_EQ(ComPortPath(0, dir.File("missing.cfg").c_str()), "");
}

TEST(DynamicLibrary, MissingOrBrokenFilesFailWithAReason) {
    DynamicLibrary library;
    errno = 0;
    EXPECT_FALSE(library.Load("/nonexistent/libzorcomm-none.so"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(library.LoadErrorText().find("/nonexistent/libzorcomm-none.so"), std::string::npos);
    EXPECT_FALSE(library.IsLoaded());

    errno = 0;
    EXPECT_FALSE(library.Load("libzorcomm-none.so.9"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(library.LoadErrorText().empty());

    ztest::TempDir dir;
    const std::string junk = dir.Write("libjunk.so", "this is no shared object");
    errno = 0;
    EXPECT_FALSE(library.Load(junk));
    EXPECT_EQ(errno, ELIBBAD);
    EXPECT_NE(library.LoadErrorText().find("libjunk.so"), std::string::npos);

    errno = 0;
    EXPECT_FALSE(library.Load(""));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(library.LoadErrorText().empty());
    EXPECT_EQ(library.Symbol("cos"), nullptr);
}

TEST(DynamicLibrary, LoadsBySonameAndBindsEntryPoints) {
    DynamicLibrary library;
    ASSERT_TRUE(library.Load("libm.so.6")) << library.LoadErrorText();
    EXPECT_TRUE(library.LoadErrorText().empty());
    auto *cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    errno = 0;
    EXPECT_EQ(library.Symbol("zorcomm_no_such_entry_point"), nullptr);
    EXPECT_NE(errno, 0);

    DynamicLibrary moved(std::move(library));
    EXPECT_FALSE(library.IsLoaded());
    ASSERT_TRUE(moved.IsLoaded());
    auto *power = reinterpret_cast<double (*)(double, double)>(moved.Symbol("pow"));
    ASSERT_NE(power, nullptr);
    EXPECT_DOUBLE_EQ(power(2.0, 10.0), 1024.0);
    moved.Unload();
    EXPECT_FALSE(moved.IsLoaded());
    EXPECT_EQ(moved.Symbol("cos"), nullptr);
}

} // namespace
} // namespace zorcomm::platform

// zorcomm-sim serial as a separate process on a real pseudo terminal.
#include "sim_child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using zsim_test::SimProcess;

// The PC's end of the line.
class Port {
public:
    explicit Port(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Port()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void SetRate(speed_t speed)
    {
        termios tio{};
        ASSERT_EQ(tcgetattr(fd_, &tio), 0);
        cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &tio), 0);
        tcflush(fd_, TCIOFLUSH);
    }
    void Write(const Bytes &bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // Reads until `count` bytes came or `limit` passed.
    Bytes Read(std::size_t count, std::chrono::milliseconds limit = 2s)
    {
        Bytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t chunk[64];
            const ssize_t got = read(fd_, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

private:
    int fd_;
};

std::string PtyPath(SimProcess &sim)
{
    auto first = sim.Line();
    if (!first || first->rfind("PTY /dev/", 0) != 0) {
        ADD_FAILURE() << "first line: " << first.value_or("(none)");
        return {};
    }
    return first->substr(4);
}

TEST(SimPty, AnswersAtTheRateThePortIsSetTo)
{
    SimProcess sim({"serial", "--axes", "1,2", "--baud", "19200", "--version", "2=S1025"});
    const std::string path = PtyPath(sim);
    ASSERT_FALSE(path.empty());
    Port port(path);
    ASSERT_TRUE(port.ok());

    port.SetRate(B9600);
    port.Write({0xFF});
    EXPECT_EQ(port.Read(1, 300ms), Bytes{});
    port.SetRate(B19200);
    EXPECT_EQ(sim.Control("line"), "OK rate=19200 bits=11");
    port.Write({0xFF});
    EXPECT_EQ(port.Read(1), Bytes{0x0D});

    // Board information of axis 2 behind the host: acknowledge, then the answer.
    port.Write({0x06, 0x00, 0x20, 0xD8, 0x01, 0x00, 0x11, 0x10});
    EXPECT_EQ(port.Read(11), (Bytes{0x4F, 0x08, 0x00, 0x11, 0xD8, 0x01, 0x01, 0x25, 0x00, 0x00, 0x18}));
    EXPECT_EQ(sim.Control("history"), "OK 19200:0020:D801:0011");
    const std::string stats = sim.Control("stats");
    EXPECT_NE(stats.find(" frames=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" sync_answers=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" rx_rate_mismatch=1 "), std::string::npos) << stats;
}

TEST(SimPty, ControlLinesOnStandardInput)
{
    SimProcess sim({"serial", "--axes", "4"});
    const std::string path = PtyPath(sim);
    ASSERT_FALSE(path.empty());
    Port port(path);
    ASSERT_TRUE(port.ok());
    port.SetRate(B9600);

    EXPECT_EQ(sim.Control("poke program 0x8000 1 2 0xFFFF"), "OK");
    EXPECT_EQ(sim.Control("peek program 0x8000 3"), "OK 0001 0002 FFFF");
    EXPECT_EQ(sim.Control("checksum program 0x8000 0x8002"), "OK 0002");
    EXPECT_EQ(sim.Control("peek rom 0 1"), "ERR expected an axis or program|data|spi");
    EXPECT_EQ(sim.Control("info 4"), "OK axis=4 version=F120H words=3132/3048 baud=9600 group=0 state=ready");

    // A drive message of its own accord, then one withheld acknowledge.
    EXPECT_EQ(sim.Control("unsolicited 4 0x0102 0x0304"), "OK");
    EXPECT_EQ(port.Read(8), (Bytes{0x06, 0x00, 0x41, 0x01, 0x02, 0x03, 0x04, 0x51}));
    EXPECT_EQ(sim.Control("fault withhold-ack 1"), "OK");
    const Bytes message = {0x04, 0x00, 0x40, 0x12, 0x34, 0x8A};
    port.Write(message);
    EXPECT_EQ(port.Read(1, 300ms), Bytes{});
    port.Write(message);
    EXPECT_EQ(port.Read(1), Bytes{0x4F});

    // The acknowledge of the second message with op code 0x1234 only.
    EXPECT_EQ(sim.Control("fault withhold-ack-at 1 0x1234"), "OK");
    EXPECT_NE(sim.Control("fault").find("withhold-ack-at=pending"), std::string::npos);
    port.Write(message);
    EXPECT_EQ(port.Read(1), Bytes{0x4F});
    port.Write(message);
    EXPECT_EQ(port.Read(1, 300ms), Bytes{});
    port.Write(message);
    EXPECT_EQ(port.Read(1), Bytes{0x4F});
    EXPECT_EQ(sim.Control("fault withhold-ack-at"), "ERR usage: fault withhold-ack-at K [OPCODE [MASK]]");

    EXPECT_EQ(sim.Control("quit"), "OK");
    EXPECT_EQ(sim.Exit(5s), 0);
}

TEST(SimPty, EndsWhenStandardInputClosesAndRefusesBadOptions)
{
    SimProcess sim({"serial"});
    ASSERT_FALSE(PtyPath(sim).empty());
    sim.CloseInput();
    EXPECT_EQ(sim.Exit(5s), 0);

    SimProcess bad({"serial", "--baud", "14400"});
    EXPECT_EQ(bad.Exit(5s), 2);
    EXPECT_EQ(bad.ErrorLine(), "zorcomm-sim: baud rate '14400' is not one of 9600 19200 38400 57600 115200");
}

// --pace: every byte takes 11 bits at the line rate both ways, so an exchange is never faster
// than its wire time (a lower bound, safe on a busy machine); without it the same exchanges
// take no line time at all.
TEST(SimPty, PacedExchangesTakeTheirWireTime)
{
    SimProcess sim({"serial", "--baud", "115200", "--pace"});
    const std::string path = PtyPath(sim);
    ASSERT_FALSE(path.empty());
    Port port(path);
    ASSERT_TRUE(port.ok());
    port.SetRate(B115200);
    EXPECT_EQ(sim.Control("line"), "OK rate=115200 bits=11");

    // A two-word data write: 12 bytes out, the acknowledge back, 40 times.
    Bytes frame = {0x0A, 0x00, 0x10, 0x90, 0x05, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00};
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) sum += frame[i];
    frame.back() = static_cast<uint8_t>(sum);
    constexpr int kExchanges = 40;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kExchanges; ++i) {
        port.Write(frame);
        ASSERT_EQ(port.Read(1), Bytes{0x4F}) << "exchange " << i;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const auto wire = std::chrono::nanoseconds(int64_t{kExchanges} * 13 * 11 * 1'000'000'000 / 115200);
    EXPECT_GE(took, wire);

    // Board information: the acknowledge and a 10-byte answer come through the line byte by
    // byte, no sooner than 19 characters after the 8-byte query was written.
    const auto asked = std::chrono::steady_clock::now();
    port.Write({0x06, 0x00, 0x10, 0xD8, 0x01, 0x00, 0x11, 0x00});
    EXPECT_EQ(port.Read(11), (Bytes{0x4F, 0x08, 0x00, 0x11, 0xD8, 0x01, 0x31, 0x32, 0x30, 0x48, 0xCD}));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::nanoseconds(19 * 11 * 1'000'000'000LL / 115200));
    EXPECT_EQ(sim.Control("pace off"), "OK");
}

} // namespace

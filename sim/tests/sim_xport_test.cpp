// zorcomm-sim xport as a separate process, reached over real loopback sockets. Every test has
// its own address from 127.0.0.200 up, apart from the library's tests.
#include "sim_child.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using zsim_test::SimProcess;

constexpr uint16_t kConfigPort = 30689;

sockaddr_in Endpoint(const std::string &address, uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

// The device server started on `address`; the first line checked.
struct Xport {
    explicit Xport(const std::string &address, std::vector<std::string> extra = {}) : sim(Args(address, extra))
    {
        const auto first = sim.Line();
        EXPECT_EQ(first.value_or("(none)"), "XPORT " + address + ":1700");
    }
    static std::vector<std::string> Args(const std::string &address, std::vector<std::string> extra)
    {
        extra.insert(extra.begin(), {"xport", "--address", address});
        return extra;
    }
    SimProcess sim;
};

struct Datagram {
    Bytes bytes;
    uint16_t fromPort = 0;
};

// The PC's datagram socket, on the test's own address.
class Udp {
public:
    explicit Udp(const std::string &address) : address_(address), fd_(socket(AF_INET, SOCK_DGRAM, 0))
    {
        const sockaddr_in local = Endpoint(address, 0);
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local), 0);
    }
    ~Udp() { close(fd_); }
    void Send(uint16_t port, const Bytes &bytes)
    {
        const sockaddr_in to = Endpoint(address_, port);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::optional<Datagram> Receive(std::chrono::milliseconds limit = 2s)
    {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (got < 0) return std::nullopt;
        return Datagram{Bytes(buffer, buffer + got), ntohs(from.sin_port)};
    }

private:
    std::string address_;
    int fd_;
};

class Tcp {
public:
    explicit Tcp(const std::string &address) : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        const sockaddr_in to = Endpoint(address, 1700);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
    }
    ~Tcp() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const Bytes &bytes) { ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    // Up to `count` bytes, until they are in, the peer closes or `limit` passes.
    Bytes Receive(std::size_t count, std::chrono::milliseconds limit = 2s)
    {
        Bytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        closed_ = false;
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t chunk[512];
            const ssize_t got = recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0) {
                closed_ = true;
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

Bytes Frame(std::initializer_list<uint16_t> words)
{
    Bytes frame{static_cast<uint8_t>(2 * words.size())};
    for (uint16_t word : words) {
        frame.push_back(static_cast<uint8_t>(word >> 8));
        frame.push_back(static_cast<uint8_t>(word));
    }
    unsigned sum = 0;
    for (uint8_t byte : frame) sum += byte;
    frame.push_back(static_cast<uint8_t>(sum));
    return frame;
}

Bytes BlockCommand(uint8_t command, uint16_t address, uint16_t count, uint16_t timeoutMs = 50)
{
    return {command, 3, static_cast<uint8_t>(timeoutMs), static_cast<uint8_t>(timeoutMs >> 8), 1, 1,
            static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(count),
            static_cast<uint8_t>(count >> 8)};
}

Bytes LittleEndian(std::initializer_list<uint16_t> words)
{
    Bytes bytes;
    for (uint16_t word : words) {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    }
    return bytes;
}

TEST(SimXport, ConfigurationCommandsAndTheirFaults)
{
    const std::string address = "127.0.0.201";
    Xport xport(address);
    Udp pc(address);

    // Each command is answered by one byte, command + 1, from the configuration port.
    const std::vector<std::pair<Bytes, uint8_t>> exchanges = {
        {{0x01, 0xA4, 0x06}, 0x02}, {{0x03, 0x00, 0x4B, 0x00, 0x00}, 0x04}, {{0x05}, 0x06}};
    for (const auto &[command, answer] : exchanges) {
        pc.Send(kConfigPort, command);
        auto got = pc.Receive();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, Bytes{answer});
        EXPECT_EQ(got->fromPort, kConfigPort);
    }
    EXPECT_EQ(xport.sim.Control("line"), "OK rate=19200 bits=11");
    EXPECT_NE(xport.sim.Control("xport").find(" announced-port=1700 "), std::string::npos);

    // A short rate command and an unknown command get nothing.
    pc.Send(kConfigPort, {0x03, 0x80, 0x25});
    pc.Send(kConfigPort, {0x07});
    EXPECT_FALSE(pc.Receive(200ms));
    EXPECT_EQ(xport.sim.Control("commands"), "OK 01A406 03004B0000 05 038025 07");

    // Answers from another port, of two bytes, of the wrong value; decoys before the right one.
    EXPECT_EQ(xport.sim.Control("fault wrong-port 1"), "OK");
    pc.Send(kConfigPort, {0x05});
    auto got = pc.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, Bytes{0x06});
    EXPECT_NE(got->fromPort, kConfigPort);
    EXPECT_EQ(xport.sim.Control("fault wrong-size 1"), "OK");
    pc.Send(kConfigPort, {0x05});
    EXPECT_EQ(pc.Receive().value_or(Datagram{}).bytes, (Bytes{0x06, 0x00}));
    EXPECT_EQ(xport.sim.Control("fault decoy 1"), "OK");
    pc.Send(kConfigPort, {0x03, 0x80, 0x25, 0x00, 0x00});
    std::vector<Datagram> heard;
    while (auto datagram = pc.Receive(300ms)) heard.push_back(*datagram);
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_NE(heard[0].fromPort, kConfigPort);
    EXPECT_EQ(heard[1].bytes, (Bytes{0x04, 0x00}));
    EXPECT_EQ(heard[2].bytes, Bytes{0x03});
    EXPECT_EQ(heard[3].bytes, Bytes{0x04});
    EXPECT_EQ(heard[3].fromPort, kConfigPort);

    // An unanswered command is still carried out.
    EXPECT_EQ(xport.sim.Control("fault no-answer 1"), "OK");
    pc.Send(kConfigPort, {0x03, 0x00, 0x96, 0x00, 0x00});
    EXPECT_FALSE(pc.Receive(200ms));
    EXPECT_EQ(xport.sim.Control("line"), "OK rate=38400 bits=11");
    const std::string stats = xport.sim.Control("stats");
    EXPECT_NE(stats.find(" config=9 config_bad=2 config_unanswered=1 "), std::string::npos) << stats;
}

TEST(SimXport, DriveDatagramsAtTheDeviceServersRate)
{
    const std::string address = "127.0.0.202";
    Xport xport(address, {"--axes", "1,2", "--version", "2=S1025"});
    Udp pc(address);

    // Board information of axis 2, behind the host: acknowledge and answer in one datagram from
    // the data port.
    pc.Send(1700, Frame({0x0020, 0xD801, 0x0011}));
    auto got = pc.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->fromPort, 1700);
    EXPECT_EQ(got->bytes, (Bytes{0x4F, 0x08, 0x00, 0x11, 0xD8, 0x01, 0x01, 0x25, 0x00, 0x00, 0x18}));
    EXPECT_EQ(xport.sim.Control("history"), "OK 9600:0020:D801:0011");

    // The device server at another rate than the drives: nothing understood, nothing answered.
    pc.Send(kConfigPort, {0x03, 0x00, 0x4B, 0x00, 0x00});
    ASSERT_TRUE(pc.Receive());
    pc.Send(1700, Frame({0x0020, 0xD801, 0x0011}));
    pc.Send(1700, {0xFF});
    EXPECT_FALSE(pc.Receive(300ms));
    const std::string stats = xport.sim.Control("stats");
    EXPECT_NE(stats.find(" rx_rate_mismatch=9 "), std::string::npos) << stats;

    // Back at 9600, the drives move to 19200 (acknowledged at the old rate), and so does the
    // device server; then the drives answer again.
    EXPECT_EQ(xport.sim.Control("line 9600"), "OK rate=9600 bits=11");
    pc.Send(1700, Frame({0x1000, 0x0820, 0x0001}));
    EXPECT_EQ(pc.Receive().value_or(Datagram{}).bytes, Bytes{0x4F});
    pc.Send(kConfigPort, {0x03, 0x00, 0x4B, 0x00, 0x00});
    ASSERT_TRUE(pc.Receive());
    pc.Send(1700, {0xFF});
    EXPECT_EQ(pc.Receive().value_or(Datagram{}).bytes, Bytes{0x0D});

    // A drive's message of its own goes to the latest sender, from the data port; with the
    // fault, from another port.
    EXPECT_EQ(xport.sim.Control("unsolicited 2 0x0102"), "OK");
    got = pc.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, Frame({0x0011, 0x0102}));
    EXPECT_EQ(xport.sim.Control("fault data-wrong-port 1"), "OK");
    EXPECT_EQ(xport.sim.Control("unsolicited 2 0x0102"), "OK");
    got = pc.Receive();
    ASSERT_TRUE(got);
    EXPECT_NE(got->fromPort, 1700);
}

TEST(SimXport, TcpBlockWriteThenReadBack)
{
    const std::string address = "127.0.0.203";
    Xport xport(address, {"--axes", "1,3"});
    Tcp pc(address);
    ASSERT_TRUE(pc.connected());

    // Five words into program memory: through the download pointer, three steps.
    Bytes write = BlockCommand(0x20, 0x0800, 5);
    const Bytes data = LittleEndian({0x1111, 0x2222, 0x3333, 0x4444, 0x5555});
    write.insert(write.end(), data.begin(), data.end());
    pc.Send(write);
    EXPECT_EQ(pc.Receive(3), (Bytes{0x00, 0x00, 0x01}));
    EXPECT_EQ(xport.sim.Control("peek program 0x0800 5"), "OK 1111 2222 3333 4444 5555");
    EXPECT_EQ(xport.sim.Control("peek data 0x032B"), "OK 0805");

    // Two words into data memory: one step; the command and its data may come in pieces.
    write = BlockCommand(0x21, 0x0200, 2);
    const Bytes two = LittleEndian({0xBEEF, 0xCAFE});
    write.insert(write.end(), two.begin(), two.end());
    pc.Send(Bytes(write.begin(), write.begin() + 7));
    EXPECT_EQ(pc.Receive(1, 200ms), Bytes{});
    pc.Send(Bytes(write.begin() + 7, write.end()));
    EXPECT_EQ(pc.Receive(1), Bytes{0x01});
    EXPECT_EQ(xport.sim.Control("peek data 0x0200 2"), "OK BEEF CAFE");

    // Read back the program words (low byte first), and words of data memory.
    pc.Send(BlockCommand(0x10, 0x0800, 5));
    EXPECT_EQ(pc.Receive(10), data);
    EXPECT_EQ(xport.sim.Control("poke 3 spi 0x3000 1 2 3 4 5 6 7"), "OK");
    Bytes read = BlockCommand(0x12, 0x3000, 7);
    read[5] = 3; // axis 3, behind the host
    pc.Send(read);
    EXPECT_EQ(pc.Receive(14), LittleEndian({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(xport.sim.Control("blocks"),
              "OK 20:3:50:1:1:0800:0005 21:3:50:1:1:0200:0002 10:3:50:1:1:0800:0005 12:3:50:1:3:3000:0007");
}

TEST(SimXport, TcpBlockFailures)
{
    const std::string address = "127.0.0.204";
    Xport xport(address);
    {
        // The drive at another rate: the pointer message goes unanswered (three tries of 50 ms),
        // status 2, and the data of the block is dropped; the next block works again.
        Tcp pc(address);
        ASSERT_TRUE(pc.connected());
        EXPECT_EQ(xport.sim.Control("line 19200"), "OK rate=19200 bits=11");
        Bytes write = BlockCommand(0x20, 0x0100, 3);
        const Bytes data = LittleEndian({7, 8, 9});
        write.insert(write.end(), data.begin(), data.end());
        const auto start = std::chrono::steady_clock::now();
        pc.Send(write);
        EXPECT_EQ(pc.Receive(1), Bytes{0x02});
        EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
        EXPECT_EQ(xport.sim.Control("line 9600"), "OK rate=9600 bits=11");
        EXPECT_EQ(xport.sim.Control("fault bad-status 2 0"), "OK");
        pc.Send(write);
        EXPECT_EQ(pc.Receive(2), (Bytes{0x00, 0x00})); // the last status spoilt, the block done
        EXPECT_EQ(xport.sim.Control("peek program 0x0100 3"), "OK 0007 0008 0009");

        // A read one word short keeps the connection; a dropped block closes it.
        EXPECT_EQ(xport.sim.Control("fault short-data 1"), "OK");
        pc.Send(BlockCommand(0x10, 0x0100, 3));
        EXPECT_EQ(pc.Receive(6, 300ms), LittleEndian({7, 8}));
        EXPECT_FALSE(pc.closed());
        EXPECT_EQ(xport.sim.Control("fault tcp-drop"), "OK");
        pc.Send(BlockCommand(0x10, 0x0100, 3));
        EXPECT_EQ(pc.Receive(6), Bytes{});
        EXPECT_TRUE(pc.closed());
    }
    {
        // A drive that does not answer a read request within the tries: the connection ends.
        Tcp pc(address);
        ASSERT_TRUE(pc.connected());
        EXPECT_EQ(xport.sim.Control("fault silent 300"), "OK");
        pc.Send(BlockCommand(0x10, 0x0100, 3));
        EXPECT_EQ(pc.Receive(6), Bytes{});
        EXPECT_TRUE(pc.closed());
    }
    const std::string stats = xport.sim.Control("stats");
    EXPECT_NE(stats.find(" block_failures=2"), std::string::npos) << stats;

    // Connections refused while TCP is off.
    EXPECT_EQ(xport.sim.Control("tcp off"), "OK");
    EXPECT_FALSE(Tcp(address).connected());
    EXPECT_EQ(xport.sim.Control("tcp on"), "OK");
    EXPECT_TRUE(Tcp(address).connected());
}

TEST(SimXport, RefusesOtherAddressesAndTakenPorts)
{
    SimProcess outside({"xport", "--address", "10.1.2.3"});
    EXPECT_EQ(outside.Exit(5s), 2);
    EXPECT_EQ(outside.ErrorLine(), "zorcomm-sim: bad value for --address: a loopback address 127.x.y.z");

    Xport first("127.0.0.205");
    SimProcess second({"xport", "--address", "127.0.0.205"});
    EXPECT_EQ(second.Exit(5s), 1);
    EXPECT_EQ(first.sim.Control("quit"), "OK");
    EXPECT_EQ(first.sim.Exit(5s), 0);
}

// --net-delay: every datagram and every TCP byte is that long on its way, each direction; the
// serial side is paced beside it. Lower bounds only: safe on a busy machine.
TEST(SimXport, NetworkDelayEachWay)
{
    const std::string address = "127.0.0.206";
    Xport xport(address, {"--net-delay", "20", "--pace"});
    EXPECT_EQ(xport.sim.Control("net-delay"), "OK 20");
    Udp pc(address);
    using Clock = std::chrono::steady_clock;

    auto start = Clock::now();
    pc.Send(kConfigPort, {0x05});
    EXPECT_EQ(pc.Receive().value_or(Datagram{}).bytes, Bytes{0x06});
    EXPECT_GE(Clock::now() - start, 40ms);

    // A drive message and its acknowledge: both ways through the network and the line (9600
    // baud, 11 bits: 7 characters).
    start = Clock::now();
    pc.Send(1700, Frame({0x0010, 0x1234}));
    EXPECT_EQ(pc.Receive().value_or(Datagram{}).bytes, Bytes{0x4F});
    EXPECT_GE(Clock::now() - start, 40ms + std::chrono::nanoseconds(7 * 11 * 1'000'000'000LL / 9600));

    // A block write of two words on TCP: the command and data in, the status byte out.
    Tcp tcp(address);
    ASSERT_TRUE(tcp.connected());
    Bytes block = BlockCommand(0x21, 0x0100, 2, 200);
    const Bytes data = LittleEndian({0x1111, 0x2222});
    block.insert(block.end(), data.begin(), data.end());
    start = Clock::now();
    tcp.Send(block);
    EXPECT_EQ(tcp.Receive(1), Bytes{0x01});
    EXPECT_GE(Clock::now() - start, 40ms);
    EXPECT_EQ(xport.sim.Control("peek data 0x100 2"), "OK 1111 2222");

    // The delay changes at once; a bad one is refused.
    EXPECT_EQ(xport.sim.Control("net-delay 0.25"), "OK 0.25");
    EXPECT_EQ(xport.sim.Control("net-delay 1.2345678"), "ERR net-delay is milliseconds 0..10000, e.g. 1 or 0.25");
    SimProcess bad({"xport", "--address", address, "--port", "1701", "--net-delay", "-1"});
    EXPECT_EQ(bad.Exit(5s), 2);
    EXPECT_EQ(bad.ErrorLine(), "zorcomm-sim: bad value for --net-delay: milliseconds 0..10000, e.g. 1 or 0.25");
}

} // namespace

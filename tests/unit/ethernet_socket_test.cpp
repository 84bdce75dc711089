// The socket layer and the device-server pieces below the channel: errno translation, the error
// mapping, device names, the counted binding, datagram reads against a device server the test
// plays, and the TCP byte operations against a listener the test plays. Loopback only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <numeric>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "api/library.h"
#include "channel/channel_open.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/sockets.h"
#include "sim_process.h"
#include "test_support.h"
#include "transport/datagram_link.h"
#include "transport/device_server.h"
#include "transport/winsock.h"

namespace zorcomm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::Socket;
using platform::SocketAddress;

std::vector<std::string> g_lines;
void ZORCOMM_CALL Capture(const char *line) { g_lines.emplace_back(line); }
int Logged(const std::string &text) {
    int count = 0;
    for (const auto &line : g_lines) count += line.find(text) != std::string::npos;
    return count;
}

uint32_t Inet(const char *text) { return inet_addr(text); }

SocketAddress Address(const char *ip, uint16_t port) {
    SocketAddress address{};
    address.family = platform::kAddressFamilyInet;
    address.port = htons(port);
    address.address = Inet(ip);
    return address;
}

sockaddr_in Native(const char *ip, uint16_t port) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = htons(port);
    native.sin_addr.s_addr = Inet(ip);
    return native;
}

// A plain socket of the test's own, closed at the end.
struct Fd {
    explicit Fd(int value = -1) : value(value) {}
    ~Fd() {
        if (value >= 0) close(value);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int value;
};

int BoundSocket(int type, const char *ip, uint16_t port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in at = Native(ip, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0) << strerror(errno);
    return fd;
}

uint16_t PortOf(int fd) {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
    return ntohs(at.sin_port);
}

// Everything that arrives on `fd` until it has been quiet for `quiet`.
std::vector<uint8_t> ReadUntilQuiet(int fd, std::chrono::milliseconds quiet) {
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    pollfd entry{fd, POLLIN, 0};
    while (poll(&entry, 1, static_cast<int>(quiet.count())) > 0) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LibraryLoad() && Shared());
        Shared()->settings.udpReceiveTimeout = 200;
        Context().settings.noTries = 3;
        Context().settings.waitAfterBaudChange = 0;
        ASSERT_TRUE(LoadWinSock());
        Context().lastError = 0;
        g_lines.clear();
        Context().logLevel = 3;
        Context().logHandler = Capture;
    }
    void TearDown() override {
        Context().logHandler = nullptr;
        Context().logLevel = 0;
        while (WinSockReferences() != 0) UnloadWinSock();
        LibraryUnload();
    }
    const platform::WinSockApi &api = WinSock();
    ztest::UniqueRegion region_;
    ztest::SettingsFile file_{"[ZORCOMM]\nUDP_RECEIVE_TIMEOUT=200\nWAIT_AFTER_BAUD_CHANGE=0\n"};
};

TEST_F(SocketTest, SocketErrorsMapToLibraryCodes) {
    // A failing call's number is what the mapping reports.
    EXPECT_EQ(api.closesocket(-1), platform::kSocketError);
    EXPECT_EQ(api.WSAGetLastError(), 10038);
    EXPECT_FALSE(MapWinSockError());
    EXPECT_EQ(Context().lastError, 0x200000d1u);
    // A reference handed on is given back once.
    {
        WinSockReference held = WinSockReference::Take();
        WinSockReference moved = std::move(held);
        EXPECT_EQ(WinSockReferences(), 2);
    }
    EXPECT_EQ(WinSockReferences(), 1);
    // Unbound: a socket error already recorded stands; anything else becomes "unknown".
    UnloadWinSock();
    EXPECT_EQ(WinSock().WSAGetLastError, nullptr);
    Context().lastError = 0x200000e7;
    EXPECT_FALSE(MapWinSockError());
    EXPECT_EQ(Context().lastError, 0x200000e7u);
    Context().lastError = 0x2000007b;
    MapWinSockError();
    EXPECT_EQ(Context().lastError, 0x200000f3u);
}

TEST_F(SocketTest, DatagramSocketsReportTheirConditionsWithWinSockNumbers) {
    const Socket udp = api.socket(platform::kAddressFamilyInet, platform::kSocketDatagram,
                                  platform::kProtocolUdp);
    ASSERT_GE(udp, 3);
    const uint32_t timeout = 200;
    ASSERT_EQ(api.setsockopt(udp, platform::kSocketLevel, platform::kOptionReceiveTimeout,
                             &timeout, sizeof timeout),
              0);
    // The interface toward a loopback peer, then bound there on a port of the system's choice.
    SocketAddress peer = Address("127.0.0.30", 30689), local{};
    uint32_t returned = 0;
    ASSERT_EQ(api.WSAIoctl(udp, platform::kIoctlRoutingInterfaceQuery, &peer, sizeof peer, &local,
                           sizeof local, &returned, nullptr, nullptr),
              0);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(local.address & 0xFF, 127u);
    local.port = 0;
    ASSERT_EQ(api.bind(udp, &local, sizeof local), 0);
    int32_t length = sizeof local;
    ASSERT_EQ(api.getsockname(udp, &local, &length), 0);
    EXPECT_NE(local.port, 0);

    // A receive that runs out of its time-out.
    uint8_t buffer[128];
    SocketAddress from{};
    int32_t fromLength = sizeof from;
    const auto start = Clock::now();
    EXPECT_EQ(api.recvfrom(udp, buffer, sizeof buffer, 0, &from, &fromLength), -1);
    EXPECT_EQ(api.WSAGetLastError(), platform::kWsaTimedOut);
    EXPECT_GE(Clock::now() - start, 150ms);

    // Non-blocking: "would block" instead.
    const uint32_t on = 1, off = 0;
    ASSERT_EQ(api.WSAIoctl(udp, platform::kIoctlNonBlocking, &on, 4, nullptr, 0, &returned,
                           nullptr, nullptr),
              0);
    EXPECT_EQ(api.recvfrom(udp, buffer, sizeof buffer, 0, &from, &fromLength), -1);
    EXPECT_EQ(api.WSAGetLastError(), platform::kWsaWouldBlock);
    ASSERT_EQ(api.WSAIoctl(udp, platform::kIoctlNonBlocking, &off, 4, nullptr, 0, &returned,
                           nullptr, nullptr),
              0);

    // A datagram larger than the buffer fails as "message too long"; FIONREAD counts it first.
    std::vector<uint8_t> big(200, 0x55);
    ASSERT_EQ(api.sendto(udp, big.data(), 200, 0, &local, sizeof local), 200);
    uint32_t waiting = 0;
    for (int i = 0; i < 100 && waiting == 0; ++i) {
        ASSERT_EQ(api.WSAIoctl(udp, platform::kIoctlBytesReadable, nullptr, 0, &waiting, 4,
                               &returned, nullptr, nullptr),
                  0);
        if (waiting == 0) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(waiting, 200u);
    fromLength = sizeof from;
    EXPECT_EQ(api.recvfrom(udp, buffer, sizeof buffer, 0, &from, &fromLength), -1);
    EXPECT_EQ(api.WSAGetLastError(), 10040);
    EXPECT_EQ(from.port, local.port);

    // Options the interface does not have, and sockets that are none.
    EXPECT_EQ(api.setsockopt(udp, platform::kSocketLevel, 0x7777, &on, 4), -1);
    EXPECT_EQ(api.WSAGetLastError(), 10042);
    EXPECT_EQ(api.closesocket(udp), 0);
    EXPECT_EQ(api.send(-1, buffer, 1, 0), -1);
    EXPECT_EQ(api.WSAGetLastError(), 10038);
}

TEST_F(SocketTest, NamesAndRefusedConnections) {
    EXPECT_EQ(api.inet_addr("127.0.0.30"), Inet("127.0.0.30"));
    EXPECT_EQ(api.inet_addr("not an address"), platform::kAddressNone);
    // Not a host name at all: refused without asking any name service.
    EXPECT_EQ(api.gethostbyname("no!such!host"), nullptr);
    EXPECT_EQ(api.WSAGetLastError(), platform::kWsaHostNotFound);
    EXPECT_EQ(api.gethostbyname(""), nullptr);

    const Socket tcp = api.socket(platform::kAddressFamilyInet, platform::kSocketStream,
                                  platform::kProtocolTcp);
    ASSERT_GE(tcp, 3);
    const SocketAddress nobody = Address("127.0.0.30", 9);
    EXPECT_EQ(api.connect(tcp, &nobody, sizeof nobody), -1);
    EXPECT_EQ(api.WSAGetLastError(), 10061);
    api.closesocket(tcp);

    // A program without standard input still never gets socket 0 (0 means "no channel").
    const int saved = dup(0);
    close(0);
    const Socket fresh = api.socket(platform::kAddressFamilyInet, platform::kSocketDatagram,
                                    platform::kProtocolUdp);
    dup2(saved, 0);
    close(saved);
    EXPECT_GE(fresh, 3);
    api.closesocket(fresh);
}

TEST_F(SocketTest, DeviceNames) {
    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(ResolveDeviceName("127.0.0.30", address, port));
    EXPECT_EQ(address, Inet("127.0.0.30"));
    EXPECT_EQ(port, 1700);
    ASSERT_TRUE(ResolveDeviceName("127.0.0.30:4001", address, port));
    EXPECT_EQ(port, 4001);
    // The number as "%hu" reads it: blanks and a plus sign first, anything after it.
    ASSERT_TRUE(ResolveDeviceName("127.1: +65535/udp", address, port));
    EXPECT_EQ(address, Inet("127.0.0.1"));
    EXPECT_EQ(port, 65535);
    for (const char *bad : {"127.0.0.30:", "127.0.0.30:x1", "127.0.0.30:65536", "127.0.0.30:-1",
                            "no!such:1700", ":1700"}) {
        Context().lastError = 0;
        EXPECT_FALSE(ResolveDeviceName(bad, address, port)) << bad;
        EXPECT_EQ(Context().lastError, 0x2000007bu) << bad;
    }
}

// A device server the test plays on one loopback address: configuration port answers, a data
// port, a TCP listener on the data port, and a socket of another port for foreign datagrams.
class FakeDeviceServer {
public:
    explicit FakeDeviceServer(const char *ip)
        : ip_(ip), config_(BoundSocket(SOCK_DGRAM, ip, 30689)),
          data_(BoundSocket(SOCK_DGRAM, ip, 0)), stranger_(BoundSocket(SOCK_DGRAM, ip, 0)),
          listener_(BoundSocket(SOCK_STREAM, ip, PortOf(data_.value))) {
        listen(listener_.value, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDeviceServer() {
        stop_ = true;
        thread_.join();
    }
    uint16_t dataPort() const { return PortOf(data_.value); }
    // Datagrams from another port of the same address toward the PC, for a while.
    void Flood(std::chrono::milliseconds period) {
        floodUntil_ = (Clock::now() + period).time_since_epoch().count();
    }
    std::atomic<int> accepted{0};
    std::atomic<int> commands{0};
    // Sends bytes from the data port to where the PC's datagrams come from.
    void SendData(const std::vector<uint8_t> &bytes) {
        const sockaddr_in pc = Pc();
        sendto(data_.value, bytes.data(), bytes.size(), 0,
               reinterpret_cast<const sockaddr *>(&pc), sizeof pc);
    }

private:
    void Serve() {
        std::vector<Fd *> connections;
        while (!stop_) {
            pollfd entries[2] = {{config_.value, POLLIN, 0}, {listener_.value, POLLIN, 0}};
            if (poll(entries, 2, 10) > 0) {
                if (entries[0].revents & POLLIN) Answer();
                if (entries[1].revents & POLLIN) {
                    connections.push_back(new Fd(accept(listener_.value, nullptr, nullptr)));
                    ++accepted;
                }
            }
            const sockaddr_in pc = Pc();
            if (Clock::now().time_since_epoch().count() < floodUntil_ && pc.sin_port != 0) {
                const uint8_t noise = 0x0D;
                sendto(stranger_.value, &noise, 1, 0, reinterpret_cast<const sockaddr *>(&pc),
                       sizeof pc);
            }
        }
        for (Fd *connection : connections) delete connection;
    }
    void Answer() {
        uint8_t command[16];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(config_.value, command, sizeof command, 0,
                                   reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 1) return;
        {
            std::lock_guard lock(mutex_);
            pc_ = from;
        }
        ++commands;
        const uint8_t answer = static_cast<uint8_t>(command[0] + 1);
        sendto(config_.value, &answer, 1, 0, reinterpret_cast<const sockaddr *>(&from),
               sizeof from);
    }
    sockaddr_in Pc() {
        std::lock_guard lock(mutex_);
        return pc_;
    }

    std::string ip_;
    Fd config_, data_, stranger_, listener_;
    std::mutex mutex_;
    sockaddr_in pc_{};
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> floodUntil_{0};
    std::thread thread_;
};

TEST_F(SocketTest, DatagramLinkReadsAndForeignDatagramsCannotHoldItUp) {
    FakeDeviceServer server("127.0.0.31");
    Slot slot{};
    DatagramLink link(slot, CHANNEL_XPORT_TCP, WinSockReference::Take());
    EXPECT_EQ(WinSockReferences(), 2);
    ASSERT_TRUE(link.Open(Inet("127.0.0.31"), server.dataPort()))
        << std::hex << Context().lastError;
    EXPECT_EQ(server.commands, 2);
    EXPECT_EQ(link.BaudRate(), 9600u);
    EXPECT_EQ(Logged("XPort TCP connection : Connection established"), 1);
    for (int i = 0; i < 200 && server.accepted < 1; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server.accepted, 1);

    // The limit of one datagram holds in both directions.
    std::vector<uint8_t> bytes(200);
    EXPECT_FALSE(link.ReadBytes(bytes));
    EXPECT_EQ(Context().lastError, 0x2000007bu);
    Context().lastError = 0;
    EXPECT_FALSE(link.WriteBytes(bytes));
    EXPECT_EQ(Context().lastError, 0x2000007bu);
    ASSERT_TRUE(link.WriteBytes(std::span(bytes).first(3))); // the PC's address, for the server

    // A datagram of 14 bytes serves a read of 10 and leaves 4.
    std::vector<uint8_t> sent(14);
    std::iota(sent.begin(), sent.end(), uint8_t{1});
    server.SendData(sent);
    std::vector<uint8_t> first(10), rest(4);
    ASSERT_TRUE(link.ReadBytes(first));
    EXPECT_EQ(link.BytesInQueue(), 4);
    ASSERT_TRUE(link.ReadBytes(rest));
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, sent);

    // Datagrams from another port, arriving faster than the time-out, are dropped, and the read
    // still ends as a time-out within a couple of time-outs, long before they stop coming.
    server.Flood(4s);
    const auto start = Clock::now();
    EXPECT_FALSE(link.ReadBytes(std::span(first).first(1)));
    EXPECT_EQ(Context().lastError, 0x200000e7u);
    EXPECT_LT(Clock::now() - start, 2s);
    server.Flood(0s);
    // Draining takes whatever is pending, whoever sent it.
    link.DrainInput();
    EXPECT_EQ(link.BytesInQueue(), 0);

    // The TCP connection starts afresh.
    link.server().ResetConnection();
    EXPECT_EQ(Logged("XPort TCP connection : Connection reset"), 1);
    EXPECT_EQ(Logged("XPort TCP connection : Connection established"), 2);
    for (int i = 0; i < 200 && server.accepted < 2; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server.accepted, 2);
}

TEST_F(SocketTest, CommandsEndWhileForeignDatagramsKeepComing) {
    FakeDeviceServer server("127.0.0.32");
    Slot slot{};
    DatagramLink link(slot, CHANNEL_UDP, WinSockReference::Take());
    ASSERT_TRUE(link.Open(Inet("127.0.0.32"), server.dataPort()));
    EXPECT_EQ(Logged("XPort TCP connection"), 0);
    const SocketAddress silent = Address("127.0.0.32", server.dataPort()); // nobody answers there
    ASSERT_TRUE(link.WriteBytes(std::vector<uint8_t>{0xFF}));
    server.Flood(6s);
    const auto start = Clock::now();
    EXPECT_FALSE(SendDeviceServerCommand(ServerCommand::Close, link.server().datagramSocket(),
                                         silent));
    EXPECT_EQ(Context().lastError, 0x200000e7u);
    EXPECT_LT(Clock::now() - start, 4s); // three tries of at most two time-outs each
    server.Flood(0s);
    EXPECT_TRUE(link.SetLinkBaudRate(38400));
    EXPECT_EQ(link.BaudRate(), 38400u);
}

// The reference to the socket library is held exactly while Ethernet channels are open, and
// given back on every way an open can fail.
TEST_F(SocketTest, OpensAndClosesKeepTheLibraryReferencesStraight) {
    UnloadWinSock();
    ASSERT_EQ(WinSockReferences(), 0);
    EXPECT_FALSE(OpenChannel("no!such", 0, false, CHANNEL_UDP, 0));
    EXPECT_FALSE(OpenChannel("127.0.0.34:x", 0, false, CHANNEL_XPORT_TCP, 0));
    EXPECT_EQ(Context().lastError, 0x2000007bu);
    EXPECT_EQ(WinSockReferences(), 0);

    ztest::SimProcess sim({"xport", "--address", "127.0.0.34", "--baud", "115200"});
    ASSERT_EQ(sim.firstLine().rfind("XPORT 127.0.0.34:", 0), 0u) << sim.firstLine();
    ASSERT_TRUE(OpenChannel("127.0.0.34", 0x10, false, CHANNEL_UDP, 0)) << std::hex
                                                                        << Context().lastError;
    const int16_t udp = Context().currentSlotIndex;
    EXPECT_EQ(WinSockReferences(), 1);
    EXPECT_TRUE(OpenChannel("127.0.0.34:1700", 0x10, false, CHANNEL_UDP, 0)); // the same link
    EXPECT_FALSE(OpenChannel("127.0.0.34", 0x10, false, CHANNEL_UDP, 0x80));
    EXPECT_EQ(Context().lastError, 0x2000006eu);
    EXPECT_EQ(WinSockReferences(), 1);
    ASSERT_TRUE(OpenChannel("127.0.0.34", 0x10, false, CHANNEL_XPORT_TCP, 0));
    const int16_t tcp = Context().currentSlotIndex;
    EXPECT_NE(tcp, udp);
    EXPECT_EQ(WinSockReferences(), 2);
    EXPECT_TRUE(CloseChannel(udp));
    EXPECT_EQ(WinSockReferences(), 1);
    EXPECT_TRUE(CloseChannel(tcp));
    EXPECT_EQ(WinSockReferences(), 0);

    sim.Command("fault no-answer 100");
    EXPECT_FALSE(OpenChannel("127.0.0.34", 0x10, false, CHANNEL_UDP, 0));
    EXPECT_EQ(Context().lastError, 0x200000e7u);
    EXPECT_EQ(WinSockReferences(), 0);
    sim.Command("fault clear");
    sim.Command("fault silent 60000");
    EXPECT_FALSE(OpenChannel("127.0.0.34", 0x10, false, CHANNEL_UDP, 0));
    EXPECT_EQ(Context().lastError, 0x20000068u);
    EXPECT_EQ(WinSockReferences(), 0);
}

// A TCP listener the test plays, with the library's connection accepted on it.
class TcpPeer {
public:
    explicit TcpPeer(const char *ip) : listener_(BoundSocket(SOCK_STREAM, ip, 0)), ip_(ip) {
        listen(listener_.value, 1);
    }
    SocketAddress address() const { return Address(ip_, PortOf(listener_.value)); }
    void Accept() { peer_.value = accept(listener_.value, nullptr, nullptr); }
    int fd() const { return peer_.value; }

private:
    Fd listener_;
    Fd peer_;
    const char *ip_;
};

TEST_F(SocketTest, TcpByteOperations) {
    TcpPeer peer("127.0.0.33");
    const Socket socket = ConnectDeviceServer(peer.address());
    ASSERT_NE(socket, platform::kInvalidSocket);
    peer.Accept();
    EXPECT_EQ(Logged("XPort TCP connection : Connection established"), 1);

    // All bytes, in pieces of 32.
    std::vector<uint8_t> bytes(100);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    g_lines.clear();
    ASSERT_TRUE(TcpSendAll(socket, bytes));
    EXPECT_EQ(Logged("Bytes Write (TCP)"), 4);
    EXPECT_EQ(ReadUntilQuiet(peer.fd(), 100ms), bytes);
    EXPECT_TRUE(TcpSendAll(socket, {}));

    // Exactly the count asked for, however it arrives.
    ASSERT_EQ(write(peer.fd(), "abcd", 4), 4);
    std::thread later([&peer] {
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(write(peer.fd(), "efghij", 6), 6);
    });
    std::vector<uint8_t> received(10);
    EXPECT_TRUE(TcpReceiveExact(socket, received));
    later.join();
    EXPECT_EQ(std::string(received.begin(), received.end()), "abcdefghij");
    EXPECT_GE(Logged("Bytes Read (TCP)"), 1);
    // Nothing more comes: the receive time-out.
    EXPECT_FALSE(TcpReceiveExact(socket, std::span(received).first(5)));
    EXPECT_EQ(Context().lastError, 0x200000e7u);

    // Without waiting: as much as the connection takes while the peer reads nothing. Small
    // buffers on both ends keep that amount small.
    const int small = 8192;
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Context().logLevel = 0;
    std::vector<uint8_t> lots(1 << 20, 0xA5);
    const uint8_t *next = lots.data();
    int32_t count = static_cast<int32_t>(lots.size());
    ASSERT_TRUE(TcpSendAvailable(socket, next, count));
    EXPECT_GT(count, 0);
    EXPECT_EQ(next - lots.data(), static_cast<ptrdiff_t>(lots.size()) - count);
    EXPECT_EQ(ReadUntilQuiet(peer.fd(), 200ms).size(), static_cast<size_t>(next - lots.data()));
    Context().logLevel = 3;
    // The socket waits again afterwards: a receive runs into its time-out, not "would block".
    Context().lastError = 0;
    EXPECT_FALSE(TcpReceiveExact(socket, std::span(received).first(1)));
    EXPECT_EQ(Context().lastError, 0x200000e7u);
    int32_t none = 0, negative = -1;
    EXPECT_TRUE(TcpSendAvailable(socket, next, none));
    EXPECT_FALSE(TcpSendAvailable(socket, next, negative));
    api.closesocket(socket);

    // Nobody listening: no connection, and the log says so.
    const SocketAddress nobody = Address("127.0.0.33", 9);
    EXPECT_EQ(ConnectDeviceServer(nobody), platform::kInvalidSocket);
    EXPECT_EQ(Logged("XPort TCP connection : Connection has failed"), 1);
}

} // namespace
} // namespace zorcomm

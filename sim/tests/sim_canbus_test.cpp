// zorcomm-sim can-bus as a separate process, with clients speaking the bus packets directly.
#include "can_codec.h"
#include "can_test_support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace std::chrono_literals;
using zsim::canbus::BusFrame;
using zsim_test::BusProcess;
using zsim_test::MakeFrame;
using zsim_test::RawClient;

void ExpectFrame(const std::optional<BusFrame> &frame, uint32_t id, bool extended, std::vector<uint8_t> bytes)
{
    ASSERT_TRUE(frame.has_value()) << "no frame";
    EXPECT_EQ(frame->id, id);
    EXPECT_EQ(frame->extended, extended);
    EXPECT_FALSE(frame->error);
    ASSERT_EQ(frame->dlc, bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + frame->dlc), bytes);
}

TEST(CanBus, RelaysFramesToEveryOtherClientAtTheBusRate)
{
    BusProcess bus;
    ASSERT_EQ(bus.first_line(), "CANBUS " + bus.socket());
    RawClient a(bus.socket(), "first", 500000);
    RawClient b(bus.socket(), "second", 500000);
    RawClient slow(bus.socket(), "slow", 250000);
    ASSERT_TRUE(a.connected() && b.connected() && slow.connected());
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 3));

    ASSERT_TRUE(a.SendFrame(MakeFrame(0x123, false, {0x01, 0x02})));
    ExpectFrame(b.Receive(), 0x123, false, {0x01, 0x02});
    EXPECT_FALSE(a.Receive(100ms)) << "the sender got its own frame back";
    EXPECT_FALSE(slow.Receive(100ms)) << "a client at another bit rate heard the frame";

    ASSERT_TRUE(slow.SendFrame(MakeFrame(0x124, false, {})));
    EXPECT_FALSE(b.Receive(100ms)) << "a frame sent at another bit rate reached the bus";
    EXPECT_NE(bus.Control("stats").find(" rate_mismatch=1 "), std::string::npos);

    // The bus's own rate moves: now only the slow client is on it.
    EXPECT_EQ(bus.Control("bitrate 250000"), "OK 250000");
    ASSERT_TRUE(slow.SendFrame(MakeFrame(0x1ABCDEF, true, {0xFF})));
    EXPECT_FALSE(a.Receive(100ms));
    EXPECT_EQ(bus.Control("history"), "OK pc1:123:0102 pc3:01ABCDEFx:FF");
    const std::string clients = bus.Control("clients");
    EXPECT_EQ(clients.rfind("OK 1:first:500000:", 0), 0u) << clients;
    EXPECT_NE(clients.find(" 3:slow:250000:"), std::string::npos) << clients;
}

// A sync comes straight back, behind every frame the bus sent the client before it read it.
TEST(CanBus, AnswersASyncBehindWhatItSentBefore)
{
    BusProcess bus;
    RawClient a(bus.socket(), "first", 500000);
    RawClient b(bus.socket(), "second", 500000);
    ASSERT_TRUE(a.connected() && b.connected());
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 2));
    ASSERT_TRUE(b.SendFrame(MakeFrame(0x321, false, {0x07})));
    ASSERT_TRUE(zsim_test::WaitFor([&] { return bus.Control("history").find("321") != std::string::npos; }));
    ASSERT_TRUE(a.Send(zsim::canbus::SyncPacket(9)));
    ExpectFrame(a.Receive(), 0x321, false, {0x07});
    const auto answer = a.ReceivePacket();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, static_cast<uint8_t>(zsim::canbus::PacketType::Sync));
    EXPECT_EQ(answer->value, 9u);
    EXPECT_FALSE(b.ReceivePacket(100ms)) << "another client got the answer";
    EXPECT_NE(bus.Control("stats").find(" bad_packets=0 "), std::string::npos);
}

struct ProtocolCase {
    const char *name;
    BusFrame boardQuery;  // board information to axis 2, answer to host axis 10
    BusFrame boardAnswer; // F120H from axis 2
    BusFrame readQuery;   // data word 0x0100 of axis 2
    BusFrame readAnswer;  // 0xB404: sender 0x0020, address 0x0100, 0x1234
};

class CanBusProtocol : public testing::TestWithParam<ProtocolCase> {};

TEST_P(CanBusProtocol, DrivesAnswerQueriesInTheBusProtocol)
{
    const ProtocolCase &c = GetParam();
    BusProcess bus({"--axes", "1,2", "--protocol", c.name});
    RawClient pc(bus.socket(), "pc", 500000);
    RawClient other(bus.socket(), "other", 500000);
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 2));

    ASSERT_TRUE(pc.SendFrame(c.boardQuery));
    const auto &answer = c.boardAnswer;
    ExpectFrame(pc.Receive(), answer.id, answer.extended, std::vector<uint8_t>(answer.data, answer.data + answer.dlc));
    // Everybody on the bus hears both the query and the answer.
    ExpectFrame(other.Receive(), c.boardQuery.id, c.boardQuery.extended,
                std::vector<uint8_t>(c.boardQuery.data, c.boardQuery.data + c.boardQuery.dlc));
    ExpectFrame(other.Receive(), answer.id, answer.extended, std::vector<uint8_t>(answer.data, answer.data + answer.dlc));

    EXPECT_EQ(bus.Control("poke 2 data 0x100 0x1234"), "OK");
    ASSERT_TRUE(pc.SendFrame(c.readQuery));
    const auto &read = c.readAnswer;
    ExpectFrame(pc.Receive(), read.id, read.extended, std::vector<uint8_t>(read.data, read.data + read.dlc));

    const std::string history = bus.Control("history");
    EXPECT_NE(history.find("=0020:D801:00A0 drive:"), std::string::npos) << history;
    EXPECT_NE(history.find("=00A0:D801:3132,3048"), std::string::npos) << history;
    EXPECT_NE(history.find("=00A0:B404:0020,0100,1234"), std::string::npos) << history;
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, CanBusProtocol,
    testing::Values(ProtocolCase{"orv", MakeFrame(0x1B004001, true, {0xA0, 0x00}),
                                 MakeFrame(0x1B014001, true, {0x32, 0x31, 0x48, 0x30}),
                                 MakeFrame(0x16004004, true, {0xA0, 0x00, 0x00, 0x01}),
                                 MakeFrame(0x16814004, true, {0x20, 0x00, 0x00, 0x01, 0x34, 0x12})},
                    ProtocolCase{"torvanecan", MakeFrame(0x122, false, {0x01, 0xD8, 0xA0, 0x00}),
                                 MakeFrame(0x12A, false, {0x01, 0xD8, 0x32, 0x31, 0x48, 0x30}),
                                 MakeFrame(0x122, false, {0x04, 0xB0, 0xA0, 0x00, 0x00, 0x01}),
                                 MakeFrame(0x16A, false, {0x04, 0x10, 0x00, 0x01, 0x34, 0x12})}),
    [](const testing::TestParamInfo<ProtocolCase> &info) { return std::string(info.param.name); });

TEST(CanBus, FaultsLoseFramesAndAnswers)
{
    BusProcess bus({"--axes", "1"});
    RawClient pc(bus.socket(), "pc", 500000);
    RawClient other(bus.socket(), "other", 500000);
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 2));
    const BusFrame query = MakeFrame(0x1B002001, true, {0xA0, 0x00}); // board information to axis 1
    const uint32_t answerId = 0x1B014001;
    auto answered = [&] {
        auto frame = pc.Receive(300ms);
        return frame && frame->id == answerId;
    };

    EXPECT_EQ(bus.Control("fault drop-rx 1"), "OK");
    ASSERT_TRUE(pc.SendFrame(query));
    EXPECT_FALSE(answered());
    EXPECT_FALSE(other.Receive(50ms)) << "a dropped frame reached another client";

    EXPECT_EQ(bus.Control("fault withhold-answer 1"), "OK");
    ASSERT_TRUE(pc.SendFrame(query));
    EXPECT_FALSE(answered());
    ExpectFrame(other.Receive(), query.id, true, {0xA0, 0x00}); // the query itself was on the bus

    EXPECT_EQ(bus.Control("fault error-frames 1"), "OK");
    ASSERT_TRUE(pc.SendFrame(query));
    auto error = pc.Receive();
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->error) << "the sender sees the error frame too";
    auto otherError = other.Receive();
    ASSERT_TRUE(otherError.has_value());
    EXPECT_TRUE(otherError->error);

    EXPECT_EQ(bus.Control("fault ignore 1"), "OK");
    ASSERT_TRUE(pc.SendFrame(query));
    EXPECT_FALSE(answered());

    EXPECT_EQ(bus.Control("fault"), "OK drop-rx=0 drop-tx=0 withhold-answer=0 error-frames=0 ignore=0 delay=0/0 silent-until=0");
    ASSERT_TRUE(pc.SendFrame(query));
    EXPECT_TRUE(answered()) << "the faults did not wear off";
    EXPECT_EQ(bus.Control("fault corrupt-rx 1"), "ERR fault corrupt-rx does not apply to a CAN bus");

    const std::string stats = bus.Control("stats");
    EXPECT_NE(stats.find(" dropped_rx=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" error_frames=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" withheld=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" ignored=1 "), std::string::npos) << stats;
}

TEST(CanBus, UnsolicitedMessagesGoToThePcAddress)
{
    BusProcess bus({"--axes", "3", "--protocol", "torvanecan", "--pc-address", "0x00A0"});
    RawClient pc(bus.socket(), "pc", 500000);
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 1));
    EXPECT_EQ(bus.Control("unsolicited 3 0x2345 0x0102"), "OK");
    ExpectFrame(pc.Receive(), 0x12A, false, {0x45, 0x23, 0x02, 0x01});
    EXPECT_EQ(bus.Control("unsolicited 3 0x2345 1 2 3 4"), "ERR torvanecan cannot carry this message");
    EXPECT_EQ(bus.Control("unsolicited 9 0x2345"), "ERR drive 9 cannot send now");
    EXPECT_EQ(bus.Control("inject rtr-std 0x7FF"), "OK");
    auto remote = pc.Receive();
    ASSERT_TRUE(remote.has_value());
    EXPECT_TRUE(remote->remote);
    EXPECT_EQ(remote->id, 0x7FFu);
}

TEST(CanBus, SocketFileLifecycle)
{
    zsim_test::TempDir dir;
    const std::string path = dir.File("bus.sock");
    std::ofstream(path) << "left behind";
    {
        zsim_test::SimProcess first({"can-bus", "--socket", path});
        ASSERT_EQ(first.Line(), "CANBUS " + path) << "a stale socket file was not replaced";
        zsim_test::SimProcess second({"can-bus", "--socket", path});
        EXPECT_EQ(second.Exit(5s), 1) << "a second bus took over a live socket";
        EXPECT_EQ(first.Control("quit"), "OK");
        EXPECT_EQ(first.Exit(5s), 0);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file outlived the bus";

    zsim_test::SimProcess bad({"can-bus", "--socket", path, "--protocol", "torvanecan", "--axes", "40"});
    EXPECT_EQ(bad.Exit(5s), 2);
}

// --pace: a frame holds the bus for its bits at the bit rate before anybody hears it, and
// frames queue behind each other; a lower bound only, safe on a busy machine.
TEST(CanBus, PacedFramesTakeTheirBitsOnTheBus)
{
    BusProcess bus({"--axes", "1", "--pace", "--bitrate", "125000"});
    RawClient pc(bus.socket(), "pc", 125000);
    RawClient other(bus.socket(), "other", 125000);
    ASSERT_TRUE(zsim_test::WaitForClients(bus, 2));
    EXPECT_EQ(bus.Control("pace"), "OK on");

    // Twenty board-information queries at once (67 + 16 bits each), and their answers (67 + 32).
    const BusFrame query = MakeFrame(0x1B002001, true, {0xA0, 0x00});
    EXPECT_EQ(zsim::FrameBits(query), 83u);
    constexpr int kQueries = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kQueries; ++i) ASSERT_TRUE(pc.SendFrame(query));
    int answers = 0;
    while (answers < kQueries) {
        auto frame = pc.Receive();
        ASSERT_TRUE(frame.has_value()) << "after " << answers << " answers";
        if (frame->id == 0x1B014001) ++answers;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::nanoseconds(int64_t{kQueries} * (83 + 99) * 1'000'000'000 / 125000));
    // The other client heard every query and every answer.
    int heardQueries = 0, heardAnswers = 0;
    while (auto frame = other.Receive(300ms)) {
        heardQueries += frame->id == query.id ? 1 : 0;
        heardAnswers += frame->id == 0x1B014001 ? 1 : 0;
    }
    EXPECT_EQ(heardQueries, kQueries);
    EXPECT_EQ(heardAnswers, kQueries);
    EXPECT_EQ(bus.Control("pace off"), "OK off");
    EXPECT_EQ(bus.Control("pace sometimes"), "ERR usage: pace [on|off]");
}

} // namespace

// Drive messages on CAN under both identifier schemes, checked against hand-made frames.
#include <gtest/gtest.h>

#include <vector>

#include "codec/can_mapping.h"

namespace {

using namespace zorcomm;
constexpr uint8_t kOrv = CHANNEL_PROTOCOL_ORV;
constexpr uint8_t kTorvane = CHANNEL_PROTOCOL_TORVANECAN;

std::vector<uint8_t> Bytes(const CanFrame &frame) {
    return {frame.bytes.begin(), frame.bytes.begin() + frame.dlc};
}

CanFrame Frame(uint32_t id, bool extended, std::vector<uint8_t> bytes) {
    CanFrame frame;
    frame.id = id;
    frame.extended = extended;
    frame.dlc = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), frame.bytes.begin());
    return frame;
}

const DriveMessage kSetBaud{1, 0x0010, 0x0820, {0x0004}};
const DriveMessage kReset{0, 0x0030, 0x0402, {}};

TEST(CanMapping, OrvCarriesOpCodeAndAddressInTheIdentifier) {
    CanFrame frame;
    ASSERT_TRUE(MessageToCanFrame(kSetBaud, kOrv, frame));
    EXPECT_EQ(frame.id, 0x01002020u);
    EXPECT_TRUE(frame.extended);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x04, 0x00}));
    ASSERT_TRUE(MessageToCanFrame(kReset, kOrv, frame));
    EXPECT_EQ(frame.id, 0x00806002u);
    EXPECT_EQ(frame.dlc, 0);

    // Back: only frames for the host (the PC bit may be set) convert.
    DriveMessage message{};
    const DriveMessage reply{2, 0x0011, 0xB404, {0x0030, 0xBEEF}};
    ASSERT_TRUE(MessageToCanFrame(reply, kOrv, frame));
    ASSERT_TRUE(CanFrameToMessage(frame, kOrv, 0x0010, message));
    EXPECT_EQ(message.address, 0x0011);
    EXPECT_EQ(message.opCode, 0xB404);
    EXPECT_EQ(message.length, 2);
    EXPECT_EQ(message.data[1], 0xBEEF);
    EXPECT_FALSE(CanFrameToMessage(frame, kOrv, 0x0020, message)); // another host
    CanFrame odd = frame;
    odd.dlc = 3;
    EXPECT_FALSE(CanFrameToMessage(odd, kOrv, 0x0010, message));
    CanFrame group = frame;
    group.id |= 0x1000u << 9;
    EXPECT_FALSE(CanFrameToMessage(group, kOrv, 0x0010, message));
}

TEST(CanMapping, TorvaneClassesOnSend) {
    CanFrame frame;
    ASSERT_TRUE(MessageToCanFrame(kSetBaud, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x121u);
    EXPECT_FALSE(frame.extended);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x20, 0x08, 0x04, 0x00}));
    ASSERT_TRUE(MessageToCanFrame(kReset, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x123u);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x02, 0x04}));
    // Groups: field 0 is every drive.
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{0, 0x1000, 0x0402, {}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x200u);
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{0, 0x1030, 0x0402, {}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x003u);
    // The PC bit selects 0x140.
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{0, 0x0051, 0x1234, {}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x145u);
    // Read replies carry the sender in the second byte.
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{3, 0x0011, 0xB404, {0x0030, 0x0300, 0x1234}},
                                  kTorvane, frame));
    EXPECT_EQ(frame.id, 0x161u);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x04, 0x1C, 0x00, 0x03, 0x34, 0x12}));
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{2, 0x0010, 0xD605, {1, 2}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x105u);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x40, 0x01, 0x00, 0x02, 0x00}));
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{4, 0x0020, 0x1805, {1, 2, 3, 0x0104}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x42u);
    EXPECT_EQ(frame.bytes[7], 0x01 | (0x05 << 1));
    ASSERT_TRUE(MessageToCanFrame(DriveMessage{1, 0x0020, 0xE900, {0x1234}}, kTorvane, frame));
    EXPECT_EQ(frame.id, 0x22u);
    EXPECT_EQ(Bytes(frame), (std::vector<uint8_t>{0x34, 0x12}));

    // What the scheme cannot carry.
    EXPECT_FALSE(MessageToCanFrame(DriveMessage{4, 0x0010, 0x1234, {}}, kTorvane, frame));
    EXPECT_FALSE(MessageToCanFrame(DriveMessage{3, 0x0010, 0x1805, {}}, kTorvane, frame));
    EXPECT_FALSE(MessageToCanFrame(DriveMessage{0, 0x1001, 0x0402, {}}, kTorvane, frame));
    EXPECT_FALSE(MessageToCanFrame(DriveMessage{0, 0x1000, 0xB405, {}}, kTorvane, frame));
}

TEST(CanMapping, TorvaneReception) {
    DriveMessage m{};
    ASSERT_TRUE(CanFrameToMessage(Frame(0x121, false, {0x01, 0xD8}), kTorvane, 0x0010, m));
    EXPECT_EQ(m.opCode, 0xD801);
    EXPECT_EQ(m.length, 0);
    EXPECT_FALSE(CanFrameToMessage(Frame(0x121, false, {0x01, 0xD8, 0x00}), kTorvane, 0x0010, m));
    ASSERT_TRUE(CanFrameToMessage(Frame(0x161, false, {0x04, 0x18, 0x00, 0x03, 0x34, 0x12}),
                                  kTorvane, 0x0010, m));
    EXPECT_EQ(m.opCode, 0xB404);
    EXPECT_EQ(m.address, 0x0010);
    EXPECT_EQ(m.length, 3);
    EXPECT_EQ(m.data[0], 0x0030);
    EXPECT_EQ(m.data[1], 0x0300);
    EXPECT_EQ(m.data[2], 0x1234);
    ASSERT_TRUE(CanFrameToMessage(Frame(0x141, false, {0x34, 0x12}), kTorvane, 0x0010, m));
    EXPECT_EQ(m.address, 0x0011);
    ASSERT_TRUE(CanFrameToMessage(Frame(0x107, false, {0x80, 0x01, 0x00}), kTorvane, 0x0010, m));
    EXPECT_EQ(m.opCode, 0xD507);
    ASSERT_TRUE(CanFrameToMessage(Frame(0x021, false, {0x01, 0x00}), kTorvane, 0x0010, m));
    EXPECT_EQ(m.opCode, 0xE900);
    // The 0xE900 class of another host does not fall through to later rows.
    EXPECT_FALSE(CanFrameToMessage(Frame(0x022, false, {0x01, 0x00}), kTorvane, 0x0010, m));
    EXPECT_FALSE(CanFrameToMessage(Frame(0x122, false, {0x01, 0x00}), kTorvane, 0x0010, m));
    EXPECT_FALSE(CanFrameToMessage(Frame(0x121, false, {}), kTorvane, 0x0010, m));
}

TEST(CanMapping, EveryCarriedMessageComesBackToTheHost) {
    // A round trip for every length and a spread of op codes, as a drive would answer the PC.
    for (uint8_t protocol : {kOrv, kTorvane}) {
        for (uint16_t op : {0x0001, 0x1234, 0x9005, 0xD801, 0xFFFF}) {
            for (uint16_t length = 0; length <= 3; ++length) {
                DriveMessage sent{length, 0x0010, op, {0x1111, 0x2222, 0x3333, 0x4444}};
                CanFrame frame;
                if (!MessageToCanFrame(sent, protocol, frame)) continue;
                DriveMessage back{};
                ASSERT_TRUE(CanFrameToMessage(frame, protocol, 0x0010, back)) << op << " " << length;
                EXPECT_EQ(back.opCode, op);
                EXPECT_EQ(back.length, length);
                for (uint16_t i = 0; i < length; ++i) EXPECT_EQ(back.data[i], sent.data[i]);
            }
        }
    }
}

} // namespace

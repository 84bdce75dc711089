// Drive messages in CAN frames as the drives read and write them, against frames worked out by
// hand from the mapping tables.
#include "can_codec.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

using zsim::CanProtocol;
using zsim::Message;
using zsim::canbus::BusFrame;

BusFrame Frame(uint32_t id, bool extended, std::initializer_list<uint8_t> bytes)
{
    BusFrame frame;
    frame.id = id;
    frame.extended = extended;
    for (uint8_t byte : bytes) frame.data[frame.dlc++] = byte;
    return frame;
}

Message Make(uint16_t address, uint16_t op, std::initializer_list<uint16_t> words)
{
    return Message::Make(address, op, std::span<const uint16_t>(words.begin(), words.size()));
}

void ExpectFrame(const std::optional<BusFrame> &frame, uint32_t id, bool extended, std::initializer_list<uint8_t> bytes)
{
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->id, id);
    EXPECT_EQ(frame->extended, extended);
    ASSERT_EQ(frame->dlc, bytes.size());
    std::size_t i = 0;
    for (uint8_t byte : bytes) EXPECT_EQ(frame->data[i++], byte) << "byte " << i - 1;
}

TEST(CanCodec, DrivesReadThePcFramesOfBothProtocols)
{
    // Set baud rate to axis 1 with code 4, and reset of axis 3.
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x01002020, true, {0x04, 0x00}), CanProtocol::Orv), Make(0x0010, 0x0820, {4}));
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x00806002, true, {}), CanProtocol::Orv), Make(0x0030, 0x0402, {}));
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x121, false, {0x20, 0x08, 0x04, 0x00}), CanProtocol::TorvaneCan),
              Make(0x0010, 0x0820, {4}));
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x123, false, {0x02, 0x04}), CanProtocol::TorvaneCan), Make(0x0030, 0x0402, {}));
    // Group messages: group field 0 (all drives) and 3.
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x200, false, {0x20, 0x08, 0x00, 0x00}), CanProtocol::TorvaneCan),
              Make(0x1000, 0x0820, {0}));
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x003, false, {0x02, 0x04}), CanProtocol::TorvaneCan), Make(0x1030, 0x0402, {}));
    // The PC bit selects 0x140.
    EXPECT_EQ(zsim::DecodeForDrives(Frame(0x142, false, {0x01, 0xD8, 0x11, 0x00}), CanProtocol::TorvaneCan),
              Make(0x0021, 0xD801, {0x0011}));
}

TEST(CanCodec, DrivesIgnoreFramesTheirProtocolDoesNotCarry)
{
    EXPECT_FALSE(zsim::DecodeForDrives(Frame(0x121, false, {0x20, 0x08}), CanProtocol::Orv)); // standard under orv
    EXPECT_FALSE(zsim::DecodeForDrives(Frame(0x01002020, true, {0x04, 0x00}), CanProtocol::TorvaneCan));
    EXPECT_FALSE(zsim::DecodeForDrives(Frame(0x01002020, true, {0x04, 0x00, 0x01}), CanProtocol::Orv)); // odd dlc
    EXPECT_FALSE(zsim::DecodeForDrives(Frame(0x121, false, {0x20, 0x08, 0x04}), CanProtocol::TorvaneCan));
    EXPECT_FALSE(zsim::DecodeForDrives(Frame(0x2A1, false, {0x20, 0x08}), CanProtocol::TorvaneCan)); // no class
    BusFrame remote = Frame(0x01002020, true, {});
    remote.remote = true;
    EXPECT_FALSE(zsim::DecodeForDrives(remote, CanProtocol::Orv));
}

TEST(CanCodec, DriveAnswersAreEncodedByDestination)
{
    // Read reply from axis 3 to host axis 1: sender address packed into byte 1.
    ExpectFrame(zsim::EncodeCanMessage(Make(0x0010, 0xB404, {0x0030, 0x0300, 0x1234}), CanProtocol::TorvaneCan), 0x161,
                false, {0x04, 0x18, 0x00, 0x03, 0x34, 0x12});
    // Board information to host axis 10 (0x0A0): general class, op code low byte first.
    ExpectFrame(zsim::EncodeCanMessage(Make(0x00A0, 0xD801, {0x3132, 0x3048}), CanProtocol::TorvaneCan), 0x12A, false,
                {0x01, 0xD8, 0x32, 0x31, 0x48, 0x30});
    ExpectFrame(zsim::EncodeCanMessage(Make(0x00A0, 0xD801, {0x3132, 0x3048}), CanProtocol::Orv),
                (0xD801u & 0xFE00) << 13 | 0x00A0u << 9 | (0xD801 & 0x1FF), true, {0x32, 0x31, 0x48, 0x30});
    ExpectFrame(zsim::EncodeCanMessage(Make(0x0010, 0xE900, {0x0102}), CanProtocol::TorvaneCan), 0x021, false, {0x02, 0x01});
    ExpectFrame(zsim::EncodeCanMessage(Make(0x0010, 0xD605, {0x0102}), CanProtocol::TorvaneCan), 0x105, false,
                {0x40, 0x02, 0x01});
}

TEST(CanCodec, TorvaneRefusesWhatItCannotCarry)
{
    EXPECT_FALSE(zsim::EncodeCanMessage(Make(0x0010, 0x1234, {1, 2, 3, 4}), CanProtocol::TorvaneCan)); // general, 4 words
    EXPECT_FALSE(zsim::EncodeCanMessage(Make(0x0010, 0x1805, {1, 2, 3}), CanProtocol::TorvaneCan));    // 0x18 needs 4
    EXPECT_FALSE(zsim::EncodeCanMessage(Make(0x1001, 0x1234, {}), CanProtocol::TorvaneCan));           // group + PC bit
    EXPECT_FALSE(zsim::EncodeCanMessage(Make(0x1000, 0xB404, {1}), CanProtocol::TorvaneCan));          // group read reply
    EXPECT_TRUE(zsim::EncodeCanMessage(Make(0x0010, 0x1234, {1, 2, 3, 4}), CanProtocol::Orv));
}

TEST(CanCodec, WhatThePcSendsTheDrivesReadBack)
{
    const Message messages[] = {
        Make(0x0020, 0xB001, {0x0010, 0x0100}), Make(0x0020, 0x9005, {0x0100, 0xAAAA, 0x5555}),
        Make(0x1000, 0x0820, {2}),              Make(0x1050, 0x7400, {}),
        Make(0x0030, 0xE900, {1, 2, 3, 4}),     Make(0x0030, 0x1805, {1, 2, 3, 0x1FF}),
        Make(0x0031, 0xD801, {0x0011}),         Make(0x0030, 0xDA30, {0x0010, 0, 0xFF}),
    };
    for (const Message &message : messages) {
        for (CanProtocol protocol : {CanProtocol::Orv, CanProtocol::TorvaneCan}) {
            auto frame = zsim::EncodeCanMessage(message, protocol);
            ASSERT_TRUE(frame) << zsim::Describe(message);
            EXPECT_EQ(zsim::DecodeForDrives(*frame, protocol), message) << zsim::Describe(message) << " "
                                                                       << zsim::CanProtocolName(protocol);
        }
    }
}

TEST(CanCodec, HistoryDescribesFrames)
{
    EXPECT_EQ(zsim::DescribeFrame(Frame(0x01002020, true, {0x04, 0x00})), "01002020x:0400");
    EXPECT_EQ(zsim::DescribeFrame(Frame(0x123, false, {})), "123:-");
    BusFrame remote = Frame(0x7FF, false, {});
    remote.remote = true;
    EXPECT_EQ(zsim::DescribeFrame(remote), "7FFr:-");
}

TEST(CanCodec, FrameBitsWithoutStuffing)
{
    BusFrame frame;
    EXPECT_EQ(zsim::FrameBits(frame), 47u); // 11-bit identifier, no data
    frame.dlc = 8;
    EXPECT_EQ(zsim::FrameBits(frame), 111u);
    frame.extended = true;
    EXPECT_EQ(zsim::FrameBits(frame), 131u);
    frame.remote = true;
    EXPECT_EQ(zsim::FrameBits(frame), 67u); // a remote request carries no data
    frame.error = true;
    EXPECT_EQ(zsim::FrameBits(frame), 17u);
}

} // namespace

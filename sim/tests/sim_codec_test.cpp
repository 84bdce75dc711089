// The drives' own serial codec against frames worked out by hand.
#include "drive_model.h"
#include "serial_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace zsim {
namespace {

using Bytes = std::vector<uint8_t>;

// Feeds bytes and returns the events, one per byte.
std::vector<FrameParser::Event> FeedAll(FrameParser &parser, const Bytes &bytes)
{
    std::vector<FrameParser::Event> events;
    for (uint8_t byte : bytes) events.push_back(parser.Feed(byte));
    return events;
}

TEST(SimCodec, BuildsTheWorkedExampleFrames)
{
    const uint16_t code = 0x0004;
    EXPECT_EQ(BuildFrame(Message::Make(0x0010, 0x0820, {&code, 1})),
              (Bytes{0x06, 0x00, 0x10, 0x08, 0x20, 0x00, 0x04, 0x42}));
    EXPECT_EQ(BuildFrame(Message::Make(0x0030, 0x0402, {})), (Bytes{0x04, 0x00, 0x30, 0x04, 0x02, 0x3A}));
    // Four words, with a checksum that wraps past 0xFF.
    const uint16_t words[] = {0xFFFF, 0x8001, 0x1234, 0xABCD};
    const Bytes full = BuildFrame(Message::Make(0x1FF1, 0xB405, words));
    ASSERT_EQ(full.size(), 14u);
    EXPECT_EQ(full[0], 12);
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < full.size(); ++i) sum += full[i];
    EXPECT_EQ(full.back(), sum & 0xFF);
}

TEST(SimCodec, ParsesWhatItBuildsForEveryLength)
{
    FrameParser parser;
    for (uint16_t length = 0; length <= 4; ++length) {
        const uint16_t words[] = {0x0102, 0xFF00, 0x00FF, 0xFFFF};
        const Message sent = Message::Make(static_cast<uint16_t>(0x0010 * (length + 1) | 1), 0xB405,
                                           std::span<const uint16_t>(words, length));
        const auto events = FeedAll(parser, BuildFrame(sent));
        ASSERT_EQ(events.back(), FrameParser::Event::Frame) << "length " << length;
        for (std::size_t i = 0; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], FrameParser::Event::None);
        EXPECT_EQ(parser.message(), sent);
        EXPECT_FALSE(parser.InFrame());
    }
}

TEST(SimCodec, RejectsImpossibleLengthBytesAtOnce)
{
    FrameParser parser;
    for (uint8_t byte : {0x05, 0x0E, 0x02, 0x00, 0x4F, 0x0D}) {
        EXPECT_EQ(parser.Feed(byte), FrameParser::Event::BadLength) << int(byte);
        EXPECT_FALSE(parser.InFrame());
    }
    // A length byte of 4 takes exactly five more bytes.
    const auto events = FeedAll(parser, {0x04, 0x00, 0x30, 0x04, 0x02, 0x3A});
    EXPECT_EQ(events.back(), FrameParser::Event::Frame);
    EXPECT_EQ(parser.message().length, 0);
}

TEST(SimCodec, SyncByteOnlyOutsideAFrame)
{
    FrameParser parser;
    EXPECT_EQ(parser.Feed(0xFF), FrameParser::Event::Sync);
    // Inside a frame 0xFF is data.
    const uint16_t word = 0xFFFF;
    const auto events = FeedAll(parser, BuildFrame(Message::Make(0xFFF0, 0xFFFF, {&word, 1})));
    EXPECT_EQ(events.back(), FrameParser::Event::Frame);
    EXPECT_EQ(parser.message().data[0], 0xFFFF);
    EXPECT_EQ(parser.Feed(0xFF), FrameParser::Event::Sync);
}

TEST(SimCodec, WrongChecksumIsNoFrameAndTheNextFrameStillParses)
{
    FrameParser parser;
    Bytes bad = {0x06, 0x00, 0x10, 0x08, 0x20, 0x00, 0x04, 0x43};
    EXPECT_EQ(FeedAll(parser, bad).back(), FrameParser::Event::BadChecksum);
    bad.back() = 0x42;
    EXPECT_EQ(FeedAll(parser, bad).back(), FrameParser::Event::Frame);
    // An abandoned frame leaves the parser at a frame start.
    parser.Feed(0x06);
    EXPECT_TRUE(parser.Abandon());
    EXPECT_EQ(parser.Feed(0xFF), FrameParser::Event::Sync);
}

TEST(SimCodec, VersionWordsDecodeToTheirTexts)
{
    using Words = std::array<uint16_t, 2>;
    EXPECT_EQ(EncodeVersion("F120H"), (Words{0x3132, 0x3048}));
    EXPECT_EQ(EncodeVersion("S1025"), (Words{0x0125, 0x0000}));
    EXPECT_EQ(EncodeVersion("S102"), (Words{0x0120, 0x0000}));
    EXPECT_EQ(EncodeVersion("S3770"), std::nullopt); // a last digit 0 reads back as none
    EXPECT_EQ(EncodeVersion("S402"), std::nullopt);  // first digit has two bits
    EXPECT_EQ(EncodeVersion("F12"), std::nullopt);
    EXPECT_EQ(EncodeVersion("0x1234/0x0000"), (Words{0x1234, 0x0000}));
    EXPECT_EQ(BaudCode(57600), 3);
    EXPECT_EQ(BaudCode(56000), std::nullopt);
    EXPECT_EQ(BaudFromCode(4), 115200u);
    EXPECT_EQ(BaudFromCode(5), std::nullopt);
}

} // namespace
} // namespace zsim

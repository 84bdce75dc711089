#include <gtest/gtest.h>

#include <vector>

#include "codec/drive_message.h"
#include "protocol/link_sync.h"

namespace {

using namespace zorcomm;

std::vector<uint8_t> Frame(const DriveMessage &message) {
    const SerialFrame frame = BuildSerialFrame(message);
    return {frame.view().begin(), frame.view().end()};
}

// Feeds the rest of a frame from a byte list and counts what was asked for.
struct Source {
    std::vector<uint8_t> bytes;
    size_t taken = 0;
    ReadExactly reader() {
        return [this](std::span<uint8_t> out) {
            if (bytes.size() - taken < out.size()) return false;
            std::copy_n(bytes.begin() + static_cast<long>(taken), out.size(), out.begin());
            taken += out.size();
            return true;
        };
    }
};

TEST(SerialFrame, BuildsTheDocumentedFrames) {
    DriveMessage setBaud{1, 0x0010, 0x0820, {0x0004}};
    EXPECT_EQ(Frame(setBaud), (std::vector<uint8_t>{0x06, 0x00, 0x10, 0x08, 0x20, 0x00, 0x04, 0x42}));
    DriveMessage reset{0, 0x0030, 0x0402, {}};
    EXPECT_EQ(Frame(reset), (std::vector<uint8_t>{0x04, 0x00, 0x30, 0x04, 0x02, 0x3A}));
    DriveMessage full{4, 0x1FF1, 0xFFFF, {0xFFFF, 0x8001, 0x0000, 0x1234}};
    const auto bytes = Frame(full);
    ASSERT_EQ(bytes.size(), 14u);
    EXPECT_EQ(bytes[0], 12);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    EXPECT_EQ(bytes.back(), static_cast<uint8_t>(sum)); // the sum wraps to 8 bits
}

TEST(SerialFrame, ParsesWhatItBuildsAndRejectsBadData) {
    DriveMessage original{3, 0x0021, 0xB404, {0x0020, 0x0000, 0xBEEF}};
    auto bytes = Frame(original);
    Source source{{bytes.begin() + 1, bytes.end()}};
    DriveMessage parsed{};
    ASSERT_EQ(ParseSerialFrame(bytes[0], source.reader(), parsed), 1);
    EXPECT_EQ(parsed.length, 3);
    EXPECT_EQ(parsed.address, 0x0021);
    EXPECT_EQ(parsed.opCode, 0xB404);
    EXPECT_EQ(parsed.data[2], 0xBEEF);

    // A wrong checksum is bad data, after the whole frame was read.
    bytes.back() ^= 1;
    Source corrupt{{bytes.begin() + 1, bytes.end()}};
    EXPECT_EQ(ParseSerialFrame(bytes[0], corrupt.reader(), parsed), -1);
    EXPECT_EQ(corrupt.taken, bytes.size() - 1);

    // Impossible length bytes are refused before anything more is read.
    for (uint8_t first : {uint8_t{5}, uint8_t{14}, uint8_t{2}, uint8_t{0}, uint8_t{0xFF}}) {
        Source untouched{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}};
        EXPECT_EQ(ParseSerialFrame(first, untouched.reader(), parsed), -1) << int(first);
        EXPECT_EQ(untouched.taken, 0u);
    }
    // A length byte of 4 reads five more bytes and gives a message without data.
    Source shortest{{0x00, 0x10, 0xD8, 0x01, 0xED}};
    ASSERT_EQ(ParseSerialFrame(4, shortest.reader(), parsed), 1);
    EXPECT_EQ(parsed.length, 0);
    EXPECT_EQ(shortest.taken, 5u);
    // The rest of the frame not arriving is "not done", not bad data.
    Source truncated{{0x00, 0x10}};
    EXPECT_EQ(ParseSerialFrame(4, truncated.reader(), parsed), 0);
}

TEST(LinkCommands, VersionTextsAndRateCodes) {
    char text[6];
    FormatVersionText(0x3132, 0x3048, text);
    EXPECT_STREQ(text, "F120H");
    FormatVersionText(0x0125, 0x0000, text);
    EXPECT_STREQ(text, "S1025");
    FormatVersionText(0x0120, 0x0000, text);
    EXPECT_STREQ(text, "S102");
    EXPECT_EQ(BaudRateCode(9600), 0);
    EXPECT_EQ(BaudRateCode(57600), 3);
    EXPECT_EQ(BaudRateCode(115200), 4);
    EXPECT_EQ(BaudRateCode(14400), -1);
    EXPECT_EQ(BaudRateCode(56000), -1); // the caller maps 56000 to 57600 first
}

} // namespace

namespace {

TEST(SerialFrame, FourWordFramesFitTheirBuffers) {
    using namespace zorcomm;
    DriveMessage full{4, 0x0011, 0xB405, {1, 2, 3, 4}};
    const SerialFrame frame = BuildSerialFrame(full);
    ASSERT_EQ(frame.size, 14u);
    ASSERT_LE(frame.size, frame.bytes.size());
    std::vector<uint8_t> rest(frame.view().begin() + 1, frame.view().end());
    size_t taken = 0;
    DriveMessage parsed{};
    const int result = ParseSerialFrame(
        frame.bytes[0],
        [&](std::span<uint8_t> out) {
            if (rest.size() - taken < out.size()) return false;
            std::copy_n(rest.begin() + static_cast<long>(taken), out.size(), out.begin());
            taken += out.size();
            return true;
        },
        parsed);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(parsed.data[3], 4);
}

} // namespace

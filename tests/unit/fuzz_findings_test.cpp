// Inputs the fuzz targets (fuzz/) found mishandled, kept as regression tests next to the fixes.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "core/errors.h"
#include "core/process_context.h"
#include "transport/ascii_can_link.h"

namespace {

using namespace zorcomm;

// The adapter's side of the line: the bytes it has sent, read in order.
class AdapterBytes : public AsciiCanPort {
public:
    explicit AdapterBytes(const std::string &text) : input_(text.begin(), text.end()) {}
    bool ReadBytes(std::span<uint8_t> bytes) override {
        for (uint8_t &byte : bytes) {
            if (input_.empty()) return SetError(Error::ReceiveTimeout);
            byte = static_cast<uint8_t>(input_.front());
            input_.pop_front();
        }
        return true;
    }
    bool WriteBytes(std::span<const uint8_t>) override { return true; }
    void DrainInput() override { input_.clear(); }

private:
    std::deque<char> input_;
};

// fuzz_ascii_can: three identifier digits reach 0xFFF and eight reach 0xFFFFFFFF. Such frames
// were taken as they came, and the bits above the frame kind's 11 or 29 were then ignored by the
// conversion into a drive message (a standard 0x821 passed for the 0x021 class).
TEST(FuzzFindings, AsciiFramesWithIdentifiersBeyondTheirKindAreRefusedWhole) {
    for (const char *text : {"t8000\r", "tFFF0\r", "T200000000\r", "TFFFFFFFF2A0FF\r"}) {
        Context().lastError = 0;
        AdapterBytes adapter(std::string(text) + "t1231AB\r");
        CanFrame frame{0x55, true, 1, {0x66}};
        EXPECT_FALSE(AsciiCanReadFrame(adapter, frame)) << text;
        EXPECT_EQ(Context().lastError, 0x2000006fu) << text;
        EXPECT_EQ(frame.id, 0x55u) << text;
        // The refused frame was read to its end: the next one is intact.
        ASSERT_TRUE(AsciiCanReadFrame(adapter, frame)) << text;
        EXPECT_EQ(frame.id, 0x123u);
        EXPECT_EQ(frame.dlc, 1);
        EXPECT_EQ(frame.bytes[0], 0xAB);
    }
    // The largest identifiers of each kind still pass.
    for (const char *text : {"t7FF0\r", "T1FFFFFFF0\r"}) {
        AdapterBytes adapter(text);
        CanFrame frame;
        EXPECT_TRUE(AsciiCanReadFrame(adapter, frame)) << text;
    }
}

} // namespace

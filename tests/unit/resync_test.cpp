// The resynchronisation and the acknowledge wait against a scripted link.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "api/library.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "protocol/engine.h"
#include "test_support.h"
#include "transport/link.h"

namespace {

using namespace zorcomm;

// A point-to-point link whose far end answers each written byte with what the script says.
class ScriptedLink : public Link {
public:
    ScriptedLink(Slot &slot, std::vector<std::vector<uint8_t>> answers)
        : Link(slot), answers_(std::move(answers)) {}
    bool ReadBytes(std::span<uint8_t> bytes) override {
        if (input_.size() < bytes.size()) return SetError(Error::ReceiveTimeout);
        for (auto &byte : bytes) {
            byte = input_.front();
            input_.pop_front();
        }
        return true;
    }
    bool WriteBytes(std::span<const uint8_t> bytes) override {
        written_.insert(written_.end(), bytes.begin(), bytes.end());
        if (next_ < answers_.size()) {
            input_.insert(input_.end(), answers_[next_].begin(), answers_[next_].end());
            ++next_;
        }
        return true;
    }
    void DrainInput() override { input_.clear(); }
    void PurgeBeforeSend() override { input_.clear(); }
    int32_t BytesInQueue() override { return static_cast<int32_t>(input_.size()); }
    uint32_t BaudRate() const override { return 115200; }
    bool SetLinkBaudRate(uint32_t) override { return true; }
    uint32_t Handle() const override { return 1; }
    const std::vector<uint8_t> &written() const { return written_; }

private:
    std::vector<std::vector<uint8_t>> answers_;
    size_t next_ = 0;
    std::deque<uint8_t> input_;
    std::vector<uint8_t> written_;
};

class ResyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LibraryLoad());
        Slot &slot = *Context().currentSlot;
        slot.channelType = CHANNEL_RS232;
        slot.channelHandle = 1;
        slot.replyTimeout = 100;
    }
    void TearDown() override {
        RemoveLink(0);
        ClearChannelFields(*Context().currentSlot);
        LibraryUnload();
    }
    ScriptedLink &Use(std::vector<std::vector<uint8_t>> answers) {
        InstallLink(0, std::make_unique<ScriptedLink>(*Context().currentSlot, std::move(answers)));
        return static_cast<ScriptedLink &>(*LinkOf(0));
    }

    ztest::UniqueRegion region;
    ztest::SettingsFile settings{"[ZORCOMM]\n"};
};

TEST_F(ResyncTest, TwoCarriageReturnsSynchroniseEvenAcrossTries) {
    ScriptedLink &link = Use({{0x0D}, {0x0D}});
    EXPECT_TRUE(ResyncLink());
    EXPECT_EQ(link.written(), (std::vector<uint8_t>{0xFF, 0xFF}));
    // Both in one answer: one sync byte is enough.
    ScriptedLink &quick = Use({{0x0D, 0x0D}});
    EXPECT_TRUE(ResyncLink());
    EXPECT_EQ(quick.written().size(), 1u);
}

TEST_F(ResyncTest, OneCarriageReturnIsNoSynchronisation) {
    ScriptedLink &link = Use({{0x0D}, {0x55}, {}});
    EXPECT_FALSE(ResyncLink());
    EXPECT_EQ(Context().lastError, 0x20000068u);
    EXPECT_EQ(link.written().size(), 15u);
}

TEST_F(ResyncTest, FramesBeforeTheAcknowledgeGoToTheHandler) {
    static std::vector<DriveMessage> seen;
    seen.clear();
    Context().unsolicitedHandler = [](DriveMessage *m) { seen.push_back(*m); };
    // A frame (with a bad one before it), then the acknowledge, in answer to the send.
    Use({{0x04, 0x00, 0x10, 0x12, 0x34, 0x00, 0x04, 0x00, 0x11, 0x77, 0x01, 0x8D, 0x4F}});
    const DriveMessage message{0, 0x0010, 0x0001, {}};
    EXPECT_EQ(SendDriveMessage(&message), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].opCode, 0x7701);
    Context().unsolicitedHandler = nullptr;
}

} // namespace

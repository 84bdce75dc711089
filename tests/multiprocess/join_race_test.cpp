// A process joining a shared link while another process that shares it dies or leaves, and a
// third process loads the library (and so takes back the dead one's slots) in the middle of the
// join. The join is held at the point where it waits for the link's lock, so the order of events
// is the same in every round.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "../integration/serial_fixture.h"

namespace {

using ztest::Child;

// Opens COM7 with host axis 2 and, on "hold", makes a call whose first write stops inside the
// call, the link's lock held, until the test says "go"; then "done <result>". Follows "version"
// and "quit" as well.
int HoldingProcess(Child &self) {
    ztest::Library lib = ztest::LoadLibrary();
    if (!lib.module) return 11;
    static Child *channel = &self;
    static bool holding = false;
    lib.MSK_RegisterDebugLogHandler(3, [](const char *line) {
        if (!holding || std::string(line).find("Bytes Write") == std::string::npos) return;
        holding = false;
        channel->Reply("in-call");
        channel->Receive(std::chrono::seconds(30));
    });
    const int32_t handle = lib.MSK_OpenComm("COM7", 2, 0, CHANNEL_RS232);
    self.Reply(handle > 0 ? "opened" : std::string("fail ") + lib.MSK_GetLastError());
    char version[64] = {};
    while (auto command = self.Receive(std::chrono::seconds(30))) {
        if (*command == "hold") {
            holding = true;
            self.Reply("done " + std::to_string(lib.MSK_GetDriveVersion(version)));
        } else if (*command == "version") {
            self.Reply(lib.MSK_GetDriveVersion(version) ? std::string("ok ") + version
                                                        : "fail " + ztest::Escape(lib.MSK_GetLastError()));
        } else if (*command == "quit") {
            ztest::UnloadLibrary(lib);
            return 0;
        }
    }
    return 12;
}

enum class Departure { KilledBeforeTheJoin, KilledDuringTheJoin, LeavesDuringTheJoin };

class JoinRaceTest : public ztest::LibraryTest, public ::testing::WithParamInterface<Departure> {
protected:
    void SetUp() override {} // the test process itself does not load the library
    void TearDown() override {}

    static std::unique_ptr<Child> Loaded() {
        auto child = std::make_unique<Child>(ztest::LibraryProcess);
        EXPECT_EQ(child->Read(), "loaded");
        return child;
    }
    static std::string Do(Child &child, const std::string &command) {
        child.Send(command);
        return child.Read(std::chrono::seconds(30)).value_or("<no answer>");
    }
    static const zorcomm::SharedSection &Section(const zorcomm::platform::RegionView &view) {
        return *static_cast<const zorcomm::SharedSection *>(view.library());
    }
    // Waits (bounded) until `count` handles refer to the mutex object.
    static bool HandlesReach(const zorcomm::platform::RegionView &view, int object, int count) {
        for (int i = 0; i < 1000; ++i) {
            if (view.HandleCount(object) == count) return true;
            usleep(5000);
        }
        return false;
    }
};

TEST_P(JoinRaceTest, TheJoinSucceedsWhateverTheOtherProcessesDoMeanwhile) {
    auto sim = StartSerialSim({"--axes", "2"});
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The process that opened the link (slot 0), one that joined it and holds its lock in a
        // call (slot 1), and the process that is about to join (slot 2, attached already).
        Child source(HoldingProcess);
        ASSERT_EQ(source.Read(), "opened");
        Child holder(HoldingProcess);
        ASSERT_EQ(holder.Read(), "opened");
        auto joiner = Loaded();
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        ASSERT_TRUE(view.valid());
        const auto &section = Section(view);
        ASSERT_EQ(section.slotTable[0].processId, static_cast<uint32_t>(source.pid()));
        const int link = view.MutexObjectOf(section.slotTable[1].channelMutex);
        ASSERT_GE(link, 0);
        ASSERT_EQ(view.MutexObjectOf(section.slotTable[0].channelMutex), link);

        holder.Send("hold");
        ASSERT_EQ(holder.Read(), "in-call");
        if (GetParam() == Departure::KilledBeforeTheJoin) {
            source.Kill();
            ASSERT_EQ(source.Wait(), 128 + SIGKILL);
        }
        // The joiner takes its handle of the link's lock and waits for it, the table held.
        joiner->Send("open COM7 2 0 0");
        ASSERT_TRUE(HandlesReach(view, link, 3)) << "the joiner never reached the link's lock";
        if (GetParam() == Departure::KilledDuringTheJoin) {
            source.Kill();
            ASSERT_EQ(source.Wait(), 128 + SIGKILL);
        } else if (GetParam() == Departure::LeavesDuringTheJoin) {
            source.Send("quit");
        }
        // A process loads the library meanwhile: its attach takes back the dead process's slots.
        // It may have to wait until the join is done; it must not change what the join reads.
        Child loader(ztest::LibraryProcess);
        std::optional<std::string> loaded = loader.Read(std::chrono::milliseconds(1000));
        holder.Send("go");
        EXPECT_EQ(holder.Read(std::chrono::seconds(30)).value_or("<no answer>").rfind("done ", 0), 0u);
        const std::string joined = joiner->Read(std::chrono::seconds(30)).value_or("<no answer>");
        EXPECT_EQ(joined.rfind("ok ", 0), 0u) << joined;
        if (!loaded) loaded = loader.Read(std::chrono::seconds(30));
        EXPECT_EQ(loaded.value_or("<no answer>"), "loaded");
        if (GetParam() == Departure::LeavesDuringTheJoin) {
            EXPECT_EQ(source.Wait(), 0);
        }

        // The link goes on for everybody left, and the newcomer joins it too.
        EXPECT_EQ(Do(*joiner, "version"), "ok F120H");
        EXPECT_EQ(Do(holder, "version"), "ok F120H");
        const std::string opened = Do(loader, "open COM7 2 0 0");
        EXPECT_EQ(opened.rfind("ok ", 0), 0u) << opened;
        EXPECT_EQ(section.processCount, 3);
        for (const auto &slot : section.slotTable)
            EXPECT_NE(slot.processId, static_cast<uint32_t>(source.pid()));
        EXPECT_EQ(view.HandleCount(link), 3);

        joiner->Send("quit");
        loader.Send("quit");
        holder.Send("quit");
        EXPECT_EQ(joiner->Wait(), 0);
        EXPECT_EQ(loader.Wait(), 0);
        EXPECT_EQ(holder.Wait(), 0);
        EXPECT_FALSE(zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid());
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(, JoinRaceTest,
                         ::testing::Values(Departure::KilledBeforeTheJoin,
                                           Departure::KilledDuringTheJoin,
                                           Departure::LeavesDuringTheJoin),
                         [](const auto &info) {
                             switch (info.param) {
                             case Departure::KilledBeforeTheJoin: return "KilledBeforeTheJoin";
                             case Departure::KilledDuringTheJoin: return "KilledDuringTheJoin";
                             default: return "LeavesDuringTheJoin";
                             }
                         });

} // namespace

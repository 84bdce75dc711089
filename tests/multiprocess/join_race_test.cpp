// A process joining a shared link while another process that shares it dies or leaves, and a
// third process loads the library (and so takes back the dead one's slots) in the middle of the
// join. The join is held at the point where it waits for the link's lock, so the order of events
// is the same in every round.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>

#include "../integration/serial_fixture.h"

namespace {

using ztest::Child;

// The link the processes share: a serial line to the drives, or the ASCII CAN adapter on a serial
// port (a byte stream joined by each process, and a CAN link all the same). On the CAN bus the
// host is the adapter's own node (axis 1) and the drive axis 2; on the serial line the drive is
// the host.
struct LinkSpec {
    const char *name;
    const char *port;
    uint8_t type;
    uint16_t host;
};
const LinkSpec kLinks[] = {{"Rs232", "COM7", CHANNEL_RS232, 2},
                           {"AsciiCan", "COM9", CHANNEL_LAWICEL_USBCAN, 1}};

void PrintTo(const LinkSpec &link, std::ostream *out) { *out << link.name; }

const LinkSpec *holdingLink = nullptr;

// Opens the link, makes axis 2 the active drive and, on "hold", makes a call whose first write
// stops inside the call, the link's lock held, until the test says "go"; then "done <result>".
// Follows "version" and "quit" as well.
int HoldingProcess(Child &self) {
    ztest::Library lib = ztest::LoadLibrary();
    if (!lib.module) return 11;
    static Child *channel = &self;
    static bool holding = false;
    lib.MSK_RegisterDebugLogHandler(3, [](const char *line) {
        const std::string text(line);
        if (!holding || (text.find("Bytes Write") == std::string::npos &&
                         text.find("CAN Message Sent") == std::string::npos))
            return;
        holding = false;
        channel->Reply("in-call");
        channel->Receive(std::chrono::seconds(30));
    });
    const int32_t handle = lib.MSK_OpenComm(holdingLink->port, holdingLink->host, 0, holdingLink->type);
    const bool opened = handle > 0 && lib.MSK_SetActiveDrive(2);
    self.Reply(opened ? "opened" : std::string("fail ") + lib.MSK_GetLastError());
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

class JoinRaceTest : public ::testing::TestWithParam<std::tuple<LinkSpec, Departure>> {
protected:
    JoinRaceTest() { holdingLink = &link(); }
    static const LinkSpec &link() { return std::get<0>(GetParam()); }
    static Departure departure() { return std::get<1>(GetParam()); }
    static std::string Join() {
        return std::string("open ") + link().port + " " + std::to_string(link().host) + " 0 " +
               std::to_string(link().type);
    }

    // The drive (axis 2) behind the link; helper processes find it through the environment.
    void StartDrives() {
        if (link().type == CHANNEL_RS232) {
            drives_ = std::make_unique<ztest::SimProcess>(std::vector<std::string>{"serial", "--axes", "2"});
            ASSERT_EQ(drives_->firstLine().rfind("PTY ", 0), 0u) << drives_->firstLine();
            setenv("ZORCOMM_COM7", drives_->firstLine().substr(4).c_str(), 1);
            return;
        }
        bus_ = std::make_unique<ztest::SimProcess>(
            std::vector<std::string>{"can-bus", "--axes", "2", "--pc-address", "0x10"});
        ASSERT_EQ(bus_->firstLine().rfind("CANBUS ", 0), 0u) << bus_->firstLine();
        setenv("ZORCOMM_CANBUS", bus_->firstLine().substr(7).c_str(), 1);
        drives_ = std::make_unique<ztest::SimProcess>(std::vector<std::string>{"ascii-can"});
        ASSERT_EQ(drives_->firstLine().rfind("PTY ", 0), 0u) << drives_->firstLine();
        setenv("ZORCOMM_COM9", drives_->firstLine().substr(4).c_str(), 1);
    }

    ztest::UniqueRegion region_;
    ztest::SettingsFile settings_{std::string(ztest::kFastSettings) +
                                  "CAN_SEND_TIMEOUT=200\nCAN_RECEIVE_TIMEOUT=1000\n"};
    std::unique_ptr<ztest::SimProcess> bus_, drives_;

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
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Drives of its own in every round: nothing one round left on the line reaches the next.
        StartDrives();
        if (HasFatalFailure()) return;
        // The process that opened the link (slot 0), one that joined it and holds its lock in a
        // call (slot 1), and the process that is about to join (slot 2, attached already).
        Child source(HoldingProcess);
        ASSERT_EQ(source.Read(), "opened");
        Child holder(HoldingProcess);
        ASSERT_EQ(holder.Read(), "opened");
        auto joiner = ztest::StartLibraryProcess();
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        ASSERT_TRUE(view.valid());
        const auto &section = Section(view);
        ASSERT_EQ(section.slotTable[0].processId, static_cast<uint32_t>(source.pid()));
        const int linkMutex = view.MutexObjectOf(section.slotTable[1].channelMutex);
        ASSERT_GE(linkMutex, 0);
        ASSERT_EQ(view.MutexObjectOf(section.slotTable[0].channelMutex), linkMutex);

        holder.Send("hold");
        ASSERT_EQ(holder.Read(), "in-call");
        if (departure() == Departure::KilledBeforeTheJoin) {
            source.Kill();
            ASSERT_EQ(source.Wait(), 128 + SIGKILL);
        }
        // The joiner takes its handle of the link's lock and waits for it, the table held.
        joiner->Send(Join());
        ASSERT_TRUE(HandlesReach(view, linkMutex, 3)) << "the joiner never reached the link's lock";
        if (departure() == Departure::KilledDuringTheJoin) {
            source.Kill();
            ASSERT_EQ(source.Wait(), 128 + SIGKILL);
        } else if (departure() == Departure::LeavesDuringTheJoin) {
            source.Send("quit");
        }
        // A process loads the library meanwhile: its attach takes back the dead process's slots.
        // It may have to wait until the join is done; it must not change what the join reads.
        Child loader(ztest::LibraryProcess);
        std::optional<std::string> loaded = loader.Read(std::chrono::milliseconds(1000));
        holder.Send("go");
        EXPECT_EQ(holder.Read(std::chrono::seconds(30)).value_or("<no answer>"), "done 1");
        const std::string joined = joiner->Read(std::chrono::seconds(30)).value_or("<no answer>");
        EXPECT_EQ(joined.rfind("ok ", 0), 0u) << joined;
        if (!loaded) loaded = loader.Read(std::chrono::seconds(30));
        EXPECT_EQ(loaded.value_or("<no answer>"), "loaded");
        if (departure() == Departure::LeavesDuringTheJoin) {
            EXPECT_EQ(source.Wait(), 0);
        }

        // The joiner holds the link as the others do, and the newcomer joins it too. (Exchanges
        // are not asked for here: the held call kept a reply on the line for a second, which
        // on a busy machine can reach the next reader of the shared line.)
        const std::string opened = ztest::Ask(loader, Join());
        EXPECT_EQ(opened.rfind("ok ", 0), 0u) << opened;
        EXPECT_EQ(section.processCount, 3);
        int joinedSlots = 0;
        for (const auto &slot : section.slotTable) {
            EXPECT_NE(slot.processId, static_cast<uint32_t>(source.pid()));
            if (slot.processId != static_cast<uint32_t>(joiner->pid())) continue;
            ++joinedSlots;
            EXPECT_NE(slot.channelHandle, 0u);
            EXPECT_EQ(slot.channelType, link().type);
            EXPECT_EQ(slot.hostAddress, link().host << 4);
            EXPECT_EQ(view.MutexObjectOf(slot.channelMutex), linkMutex);
        }
        EXPECT_EQ(joinedSlots, 1);
        EXPECT_EQ(view.HandleCount(linkMutex), 3);

        joiner->Send("quit");
        loader.Send("quit");
        holder.Send("quit");
        EXPECT_EQ(joiner->Wait(), 0);
        EXPECT_EQ(loader.Wait(), 0);
        EXPECT_EQ(holder.Wait(), 0);
        EXPECT_FALSE(zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid());
        drives_.reset();
        bus_.reset();
        if (HasFailure()) break;
    }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<LinkSpec, Departure>> &info) {
    static const char *const departures[] = {"KilledBeforeTheJoin", "KilledDuringTheJoin",
                                             "LeavesDuringTheJoin"};
    return std::string(std::get<0>(info.param).name) +
           departures[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(, JoinRaceTest,
                         ::testing::Combine(::testing::ValuesIn(kLinks),
                                            ::testing::Values(Departure::KilledBeforeTheJoin,
                                                              Departure::KilledDuringTheJoin,
                                                              Departure::LeavesDuringTheJoin)),
                         CaseName);

} // namespace

// Several real processes load the library against one shared region.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "core/process_context.h"
#include "library_process.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using ztest::Child;

using ztest::Escape;

// A process that loads the library and then follows commands from the test:
//   update        -> "<result> <escaped last error text>" of MSK_UpdateSettings
//   hang-in-log   -> registers a level-1 log handler that reports and then blocks for good, and
//                    calls MSK_UpdateSettings, so the process sits inside the call frame
//   quit          -> unloads and exits 0
int LibraryProcess(Child &self) {
    if (auto go = self.Receive(); !go || *go != "load") return 10;
    ztest::Library library = ztest::LoadLibrary();
    if (!library.module) return 11;
    self.Reply("loaded");
    static Child *channel = nullptr;
    channel = &self;
    while (auto command = self.Receive(std::chrono::seconds(60))) {
        if (*command == "update") {
            int result = library.MSK_UpdateSettings();
            self.Reply(std::to_string(result) + " " + Escape(library.MSK_GetLastError()));
        } else if (*command == "hang-in-log") {
            library.MSK_RegisterDebugLogHandler(1, [](const char *) {
                channel->Reply("in-handler");
                while (true) pause();
            });
            library.MSK_UpdateSettings();
        } else if (*command == "quit") {
            ztest::UnloadLibrary(library);
            return 0;
        }
    }
    return 12;
}

class AttachTest : public ::testing::Test {
protected:
    ztest::UniqueRegion region;
    ztest::SettingsFile settings{"[ZORCOMM]\n"};

    std::unique_ptr<Child> Start(bool load = true) {
        auto child = std::make_unique<Child>(LibraryProcess);
        if (load) Load(*child);
        return child;
    }
    static void Load(Child &child) {
        ASSERT_TRUE(child.Send("load"));
        ASSERT_EQ(child.Read(), "loaded");
    }
    static std::string Call(Child &child, const std::string &command) {
        child.Send(command);
        return child.Read().value_or("<no answer>");
    }
};

const zorcomm::SharedSection &Section(const zorcomm::platform::RegionView &view) {
    return *static_cast<const zorcomm::SharedSection *>(view.library());
}

const std::string kNotOpened =
    "0 Serial communication port not opened. You must have a disponible COM port.\\r\\n";

TEST_F(AttachTest, ProcessesTakeSlotsInOrderWithOneTableMutex) {
    auto a = Start(), b = Start(), c = Start();
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    ASSERT_TRUE(view.valid());
    const auto &section = Section(view);
    EXPECT_EQ(section.processCount, 3);
    const pid_t pids[] = {a->pid(), b->pid(), c->pid()};
    const int object = view.MutexObjectOf(section.slotTable[0].tableMutex);
    ASSERT_GE(object, 0);
    for (int i = 0; i < 3; ++i) {
        const auto &slot = section.slotTable[i];
        EXPECT_EQ(slot.processId, static_cast<uint32_t>(pids[i])) << "slot " << i;
        EXPECT_EQ(slot.channelHandle, 0u);
        // Each process holds its own handle of the one table mutex.
        EXPECT_EQ(view.HandleOwner(slot.tableMutex), static_cast<uint32_t>(pids[i]));
        EXPECT_EQ(view.MutexObjectOf(slot.tableMutex), object);
    }
    EXPECT_NE(section.slotTable[0].tableMutex, section.slotTable[1].tableMutex);
    EXPECT_EQ(view.HandleCount(object), 3);
    EXPECT_EQ(section.slotTable[3].processId, 0u);

    // Without a channel every call that needs one fails with "not opened".
    EXPECT_EQ(Call(*b, "update"), kNotOpened);

    // Detaching frees the slot and the handle; the next process takes the lowest free slot.
    EXPECT_EQ(Call(*b, "quit"), "<no answer>");
    EXPECT_EQ(b->Wait(), 0);
    EXPECT_EQ(section.processCount, 2);
    EXPECT_EQ(section.slotTable[1].processId, 0u);
    EXPECT_EQ(view.HandleCount(object), 2);
    auto d = Start();
    EXPECT_EQ(section.slotTable[1].processId, static_cast<uint32_t>(d->pid()));
    EXPECT_EQ(view.HandleCount(object), 3);
}

TEST_F(AttachTest, TheThirtyThirdProcessIsRefused) {
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < 32; ++i) children.push_back(Start());
    auto extra = Start();
    EXPECT_EQ(Call(*extra, "update"),
              "0 Too many open communication channels and/or number of threads.\\r\\n");
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    ASSERT_TRUE(view.valid());
    EXPECT_EQ(Section(view).processCount, 32);

    // Once a process leaves, the refused one attaches at its next call.
    Call(*children[5], "quit");
    EXPECT_EQ(children[5]->Wait(), 0);
    EXPECT_EQ(Call(*extra, "update"), kNotOpened);
    EXPECT_EQ(Section(view).slotTable[5].processId, static_cast<uint32_t>(extra->pid()));
}

TEST_F(AttachTest, SlotsOfAKilledProcessAreReclaimedAtTheNextAttach) {
    auto a = Start(), b = Start(), c = Start();
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    const auto &section = Section(view);
    const int object = view.MutexObjectOf(section.slotTable[0].tableMutex);
    // Kill the first process, whose handle the others' handles were duplicated from, and one more.
    a->Kill();
    b->Kill();
    a->Wait();
    b->Wait();
    EXPECT_EQ(section.processCount, 3);

    auto d = Start();
    EXPECT_EQ(section.processCount, 2);
    EXPECT_EQ(section.slotTable[0].processId, static_cast<uint32_t>(d->pid()));
    EXPECT_EQ(section.slotTable[1].processId, 0u);
    EXPECT_EQ(section.slotTable[2].processId, static_cast<uint32_t>(c->pid()));
    EXPECT_EQ(view.MutexObjectOf(section.slotTable[0].tableMutex), object);
    EXPECT_EQ(view.HandleCount(object), 2);
    EXPECT_EQ(Call(*d, "update"), kNotOpened);
    EXPECT_EQ(Call(*c, "update"), kNotOpened);
}

TEST_F(AttachTest, AProcessKilledHoldingTheTableMutexFailsTheNextLockedCallOnce) {
    auto holder = Start(), other = Start();
    holder->Send("hang-in-log");
    ASSERT_EQ(holder->Read(), "in-handler");
    holder->Kill();
    holder->Wait();
    EXPECT_EQ(Call(*other, "update"),
              "0 Cannot complete the DLL function call because resource is locked.\\r\\n");
    EXPECT_EQ(Call(*other, "update"), kNotOpened);
    EXPECT_EQ(Call(*other, "update"), kNotOpened);
}

TEST_F(AttachTest, TwoProcessesLoadingAtTheSameInstantInitialiseTheRegionOnce) {
    for (int round = 0; round < 5; ++round) {
        auto a = Start(false), b = Start(false);
        a->Send("load");
        b->Send("load");
        ASSERT_EQ(a->Read(), "loaded");
        ASSERT_EQ(b->Read(), "loaded");
        {
            zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
            ASSERT_TRUE(view.valid());
            const auto &section = Section(view);
            EXPECT_EQ(section.processCount, 2);
            EXPECT_EQ(view.LiveMutexObjects(), 1);
            const uint32_t first = section.slotTable[0].processId;
            const uint32_t second = section.slotTable[1].processId;
            EXPECT_TRUE((first == static_cast<uint32_t>(a->pid()) &&
                         second == static_cast<uint32_t>(b->pid())) ||
                        (first == static_cast<uint32_t>(b->pid()) &&
                         second == static_cast<uint32_t>(a->pid())));
            EXPECT_EQ(section.settings.rs485Dtr, 1);
            EXPECT_EQ(section.settings.rs485Rts, 1);
        }
        Call(*a, "quit");
        Call(*b, "quit");
        EXPECT_EQ(a->Wait(), 0);
        EXPECT_EQ(b->Wait(), 0);
        // The last process to leave removes the region.
        EXPECT_FALSE(zorcomm::platform::RegionView(sizeof(zorcomm::SharedSection)).valid());
    }
}

} // namespace

// Several real processes load the library against one shared region.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/errors.h"
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

// An object left under the region's name before any process of the library runs, as another
// user would plant it (or a careless one leave it): filled with a pattern, so any write shows.
struct PlantedObject {
    std::vector<unsigned char> bytes;
    struct stat status {};
};

std::optional<PlantedObject> Plant(const std::string &name, size_t size, mode_t mode, uid_t owner) {
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return std::nullopt;
    PlantedObject planted;
    planted.bytes.resize(size);
    for (size_t i = 0; i < size; ++i) planted.bytes[i] = static_cast<unsigned char>(0xA5 ^ i);
    const bool made = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                      pwrite(fd, planted.bytes.data(), size, 0) == static_cast<ssize_t>(size) &&
                      fchmod(fd, mode) == 0 && fchown(fd, owner, static_cast<gid_t>(-1)) == 0 &&
                      fstat(fd, &planted.status) == 0;
    close(fd);
    if (!made) return std::nullopt;
    return planted;
}

// The object as it is now under the name: nullopt when it is gone.
std::optional<PlantedObject> Look(const std::string &name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return std::nullopt;
    PlantedObject found;
    bool read = fstat(fd, &found.status) == 0;
    if (read) {
        found.bytes.resize(static_cast<size_t>(found.status.st_size));
        read = pread(fd, found.bytes.data(), found.bytes.size(), 0) ==
               static_cast<ssize_t>(found.bytes.size());
    }
    close(fd);
    if (!read) return std::nullopt;
    return found;
}

const size_t kRegionSize = zorcomm::platform::SharedRegionSize(sizeof(zorcomm::SharedSection));
constexpr uid_t kNobody = 65534;

class RefusedRegionTest : public AttachTest {
protected:
    // A process of the library started beside `planted`, whose every call in the call frame fails
    // with the code's own text and a line that names the object and says what is wrong with it.
    void ExpectRefused(const PlantedObject &planted, uint32_t code, const std::string &detail) {
        const std::string expected =
            "fail " + ztest::Escape(std::string(zorcomm::LibraryErrorText(code)) +
                                    "Shared memory object " + region.name() + ": " + detail +
                                    ". Remove it, or set ZORCOMM_SHM to a name of this user's "
                                    "own.\r\n");
        Child victim(ztest::LibraryProcess);
        ASSERT_EQ(victim.Read(), "loaded");
        EXPECT_EQ(Call(victim, "log 1"), "ok");
        const char *calls[] = {"update", "open COM7 0 0 0", "send 0x10 0x1234", "read 16 1 4",
                               "version", "getbaud", "sethost 1", "reset"};
        for (const char *call : calls) EXPECT_EQ(Call(victim, call), expected) << call;
        // The object is named once; each failing call logs the code's text as every error does.
        EXPECT_EQ(Call(victim, "logged " + region.name()), "ok 1");
        const std::string general(zorcomm::LibraryErrorText(code));
        EXPECT_EQ(Call(victim, "logged " + general.substr(0, general.find(','))),
                  "ok " + std::to_string(std::size(calls) + 1));
        victim.Send("quit");
        EXPECT_EQ(victim.Wait(), 0);

        // Nothing written to it, nothing removed, nothing changed about it.
        const auto after = Look(region.name());
        ASSERT_TRUE(after.has_value()) << "the planted object was removed";
        EXPECT_TRUE(after->bytes == planted.bytes) << "the planted object was written to";
        EXPECT_EQ(after->status.st_uid, planted.status.st_uid);
        EXPECT_EQ(after->status.st_mode, planted.status.st_mode);
        EXPECT_EQ(after->status.st_ino, planted.status.st_ino);
    }
};

TEST_F(RefusedRegionTest, AnotherUsersObjectOfTheRightSizeIsNotUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "giving an object to another user needs root";
    const auto planted = Plant(region.name(), kRegionSize, 0666, kNobody);
    ASSERT_TRUE(planted.has_value()) << std::strerror(errno);
    ExpectRefused(*planted, 0x20000128,
                  "owned by user 65534, not by this process's user " + std::to_string(geteuid()));
}

TEST_F(RefusedRegionTest, AnObjectOpenToOthersOrOfTheWrongSizeIsNotUsed) {
    {
        SCOPED_TRACE("group and other bits");
        const auto planted = Plant(region.name(), kRegionSize, 0640, geteuid());
        ASSERT_TRUE(planted.has_value()) << std::strerror(errno);
        ExpectRefused(*planted, 0x20000129, "mode 0640 lets other users in (it must be 0600)");
        shm_unlink(region.name().c_str());
    }
    {
        SCOPED_TRACE("wrong size");
        const auto planted = Plant(region.name(), 4096, 0600, geteuid());
        ASSERT_TRUE(planted.has_value()) << std::strerror(errno);
        ExpectRefused(*planted, 0x2000012a,
                      "4096 bytes, where this library needs " + std::to_string(kRegionSize));
    }
    // A refused process tries again at each call: once the object is gone it attaches, and it
    // removes the region it made when it leaves.
    Child victim(ztest::LibraryProcess);
    ASSERT_EQ(victim.Read(), "loaded");
    const std::string refused = "Shared memory object " + region.name() + ": 4096 bytes";
    EXPECT_NE(Call(victim, "update").find(refused), std::string::npos);
    shm_unlink(region.name().c_str());
    EXPECT_EQ(Call(victim, "update"), ztest::Failure(0x20000077));
    const auto made = Look(region.name());
    ASSERT_TRUE(made.has_value());
    EXPECT_EQ(made->status.st_uid, geteuid());
    EXPECT_EQ(made->status.st_mode & 07777, 0600u);
    victim.Send("quit");
    EXPECT_EQ(victim.Wait(), 0);
    EXPECT_FALSE(Look(region.name()).has_value());
}

TEST_F(AttachTest, TheRegionIsTheUsersOwnWhateverTheUmaskAndAnEmptyOneIsTakenOver) {
    // Whatever the creator's umask, the object is 0600 and the next process shares it.
    const mode_t former = umask(0);
    auto a = Start();
    umask(former);
    auto b = Start();
    {
        const auto made = Look(region.name());
        ASSERT_TRUE(made.has_value());
        EXPECT_EQ(made->status.st_mode & 07777, 0600u);
        EXPECT_EQ(made->status.st_uid, geteuid());
        EXPECT_EQ(static_cast<size_t>(made->status.st_size), kRegionSize);
        zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
        ASSERT_TRUE(view.valid());
        EXPECT_EQ(Section(view).processCount, 2);
    }
    EXPECT_EQ(Call(*a, "update"), kNotOpened);
    EXPECT_EQ(Call(*b, "update"), kNotOpened);
    Call(*a, "quit");
    Call(*b, "quit");
    EXPECT_EQ(a->Wait(), 0);
    EXPECT_EQ(b->Wait(), 0);
    EXPECT_FALSE(Look(region.name()).has_value());

    // A creator that died before it sized the object left it empty: the next process, of the
    // same user, sizes and initialises it.
    const int fd = shm_open(region.name().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    auto c = Start();
    EXPECT_EQ(Call(*c, "update"), kNotOpened);
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    ASSERT_TRUE(view.valid());
    EXPECT_EQ(Section(view).processCount, 1);
    EXPECT_EQ(Section(view).settings.rs485Dtr, 1);
}

} // namespace

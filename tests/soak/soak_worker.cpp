// A worker process of the soak: it loads the library, opens the link, and runs two threads of
// exchanges on it (memory words written and read back, blocks written and read back,
// executables downloaded and read back) until it is told to leave or is killed. Every word a
// thread writes carries the thread's number and a sequence, in a memory range nobody else uses,
// so a reply that went to the wrong caller shows as data of another thread.
#include "soak.h"

#include <coff_writer.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "test_support.h"

namespace soak {

namespace {

constexpr uint16_t kDataBase = 0x1000;
constexpr uint16_t kRangeWords = 0x100;   // data words of one thread: messages, then blocks
constexpr uint16_t kBlockOffset = 0x40;
constexpr uint16_t kMaxBlock = 64;
constexpr uint16_t kProgramBase = 0x8000;
constexpr uint16_t kProgramWords = 0x40;

// The thread's number across the link's run: top seven bits of every word it writes.
int ThreadKey(int record, int thread) { return record * kThreads + thread; }

uint16_t Word(int key, uint64_t sequence, size_t index) {
    return static_cast<uint16_t>(key << 9 | ((sequence * 7 + index * 3 + 1) & 0x1FF));
}

void CopyText(char *target, size_t size, const std::string &text) {
    std::strncpy(target, text.c_str(), size - 1);
    target[size - 1] = '\0';
}

// Descriptors and mapped files of the process, to see what the library left behind.
struct ProcessResources {
    std::map<std::string, std::string> descriptors; // number -> what it refers to
    std::set<std::string> files;                     // paths of mapped files

    static ProcessResources Now() {
        ProcessResources now;
        if (DIR *dir = opendir("/proc/self/fd")) {
            const int own = dirfd(dir);
            while (dirent *entry = readdir(dir)) {
                if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
                char target[512] = {};
                const std::string path = std::string("/proc/self/fd/") + entry->d_name;
                const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
                now.descriptors[entry->d_name] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
            }
            closedir(dir);
        }
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line);) {
            const auto slash = line.find('/');
            if (slash == std::string::npos) continue;
            // A file replaced while mapped (a rebuilt program) is the same mapping.
            std::string file = line.substr(slash);
            if (file.ends_with(" (deleted)")) file.resize(file.size() - 10);
            now.files.insert(file);
        }
        return now;
    }

    // What is here now and was not before; the library's own file may stay mapped (a C++
    // library with unique symbols is never unloaded), its handlers have run all the same.
    std::string LeftSince(const ProcessResources &before) const {
        std::string left;
        for (const auto &[number, target] : descriptors)
            if (before.descriptors.count(number) == 0 || before.descriptors.at(number) != target)
                left += " fd " + number + "=" + target;
        for (const std::string &file : files)
            if (before.files.count(file) == 0 && file.find("/libzorcomm.so") == std::string::npos)
                left += " mapped " + file;
        return left;
    }
};

class Exchanger {
public:
    Exchanger(const WorkerPlan &plan, ztest::Library &lib, int thread)
        : plan_(plan), lib_(lib), thread_(thread), key_(ThreadKey(plan.record, thread)),
          record_(plan.board->records[plan.record].threads[thread]),
          random_(plan.seed * 7919u + static_cast<uint32_t>(key_)),
          kills_(plan.board->killsDone.load()) {}

    void Run(const std::atomic<bool> &stop) {
        while (!stop.load() && !plan_.board->stopAll.load()) {
            if (plan_.target != 0 && record_.exchanges.load() >= plan_.target) {
                record_.done.store(1);
                return;
            }
            const uint32_t pick = random_() % 100;
            if (pick < 2) Download();
            else if (pick < 20) Block();
            else Message();
            ++record_.exchanges;
            ++sequence_;
        }
    }

private:
    uint16_t DataRange() const {
        return static_cast<uint16_t>(kDataBase + kRangeWords * key_);
    }

    // One or two words at a place of the range's first part, written and read back.
    void Message() {
        ++record_.messages;
        const uint16_t count = static_cast<uint16_t>(1 + random_() % 2);
        const uint16_t address = static_cast<uint16_t>(DataRange() + random_() % (kBlockOffset - 1));
        WriteAndReadBack(address, MEMORY_DATA, count, false);
    }

    void Block() {
        ++record_.blocks;
        const uint16_t count = static_cast<uint16_t>(3 + random_() % (kMaxBlock - 2));
        WriteAndReadBack(static_cast<uint16_t>(DataRange() + kBlockOffset), MEMORY_DATA, count, true);
    }

    void WriteAndReadBack(uint16_t address, uint8_t memory, uint16_t count, bool big) {
        std::vector<uint16_t> words(count), back(count, 0xDEAD);
        for (size_t i = 0; i < count; ++i) words[i] = Word(key_, sequence_, i);
        const bool written = Call([&] {
            return big ? lib_.MSK_SendBigData(words.data(), address, memory, count, nullptr, 0)
                       : lib_.MSK_SendData(words.data(), address, memory, count);
        });
        if (!written) return;
        const bool read = Call([&] {
            return big ? lib_.MSK_ReceiveBigData(back.data(), address, memory, count, nullptr, 0)
                       : lib_.MSK_ReceiveData(back.data(), address, memory, count);
        });
        if (read) Compare(words, back, address);
    }

    void Download() {
        ++record_.downloads;
        const int variant = static_cast<int>(sequence_ % 2);
        const std::string &file = plan_.downloads[thread_ * 2 + variant];
        const bool loaded = Call([&] {
            uint16_t entry = 0, first = 0, last = 0;
            return lib_.MSK_COFFDownload(file.c_str(), &entry, &first, &last, nullptr, 0, 0);
        });
        if (!loaded) return;
        const auto words = DownloadWords(plan_.record, thread_, variant);
        std::vector<uint16_t> back(words.size(), 0xDEAD);
        const uint16_t address = ProgramRangeOf(plan_.record, thread_);
        const bool read = Call([&] {
            return lib_.MSK_ReceiveBigData(back.data(), address, MEMORY_PROGRAM,
                                           static_cast<uint16_t>(back.size()), nullptr, 0);
        });
        if (read) Compare(words, back, address);
    }

    // A word of another thread is a reply that reached the wrong caller; a word of this thread
    // that is not the one just written is an acknowledged write that was lost (or a stale reply).
    void Compare(const std::vector<uint16_t> &written, const std::vector<uint16_t> &back, uint16_t address) {
        if (written == back) return;
        bool foreign = false;
        size_t at = 0;
        for (size_t i = 0; i < back.size(); ++i) {
            if (back[i] == written[i]) continue;
            if (!foreign) at = i;
            if ((back[i] >> 9) != key_) foreign = true;
        }
        ++(foreign ? record_.misdelivered : record_.lost);
        if (record_.noted.exchange(1) == 0) {
            char text[200];
            std::snprintf(text, sizeof text, "%s at 0x%04X+%zu: wrote %04X, read %04X (sequence %llu)",
                          foreign ? "misdelivered" : "lost", address, at, written[at], back[at],
                          static_cast<unsigned long long>(sequence_));
            CopyText(record_.firstWrong, sizeof record_.firstWrong, text);
        }
    }

    // Runs one exported call and accounts for its failure: during a kill it is tolerated; the
    // first call of a thread after a kill must succeed, or be the one report of the abandoned
    // lock; any other failure is a reply that was lost.
    template <class Exported> bool Call(Exported exported) {
        Board &board = *plan_.board;
        const uint32_t kills = board.killsDone.load();
        if (kills != kills_) {
            kills_ = kills;
            afterKill_ = true;
            abandonedAllowed_ = true;
        }
        const int64_t start = NowNs();
        record_.callStart.store(start);
        const bool ok = exported();
        std::string text = ok ? "" : lib_.MSK_GetLastError();
        const int64_t end = NowNs();
        record_.callStart.store(0);
        if (ok) {
            afterKill_ = false;
            return true;
        }
        Account(text, start, end);
        return false;
    }

    void Account(std::string text, int64_t start, int64_t end) {
        ++record_.failures;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) text = "(no text: the other thread's call had cleared it)";
        const bool abandoned = text.find(kAbandonedText) != std::string::npos;
        if (abandoned) ++record_.abandoned;
        Note(text);
        const Board &board = *plan_.board;
        bool duringKill = false;
        const uint32_t sent = std::min<uint32_t>(board.killsSent.load(), kMaxKills);
        for (uint32_t i = 0; i < sent && !duringKill; ++i) {
            const int64_t at = board.killTimes[i].load();
            duringKill = at >= start && at <= end;
        }
        if (duringKill) {
            ++record_.duringKill;
        } else if (afterKill_ && abandoned && abandonedAllowed_) {
            abandonedAllowed_ = false;
        } else if (afterKill_) {
            ++record_.afterKill;
            afterKill_ = false;
        } else {
            ++record_.unexplained;
        }
    }

    void Note(const std::string &text) {
        for (auto &entry : record_.texts) {
            if (entry.count.load() == 0) {
                CopyText(entry.text, sizeof entry.text, text);
                entry.count.store(1);
                return;
            }
            if (text == entry.text) {
                ++entry.count;
                return;
            }
        }
        ++record_.texts[kTexts - 1].count; // more kinds than places: counted with the last
    }

    const WorkerPlan &plan_;
    ztest::Library &lib_;
    int thread_;
    int key_;
    ThreadRecord &record_;
    std::mt19937 random_;
    uint64_t sequence_ = 0;
    uint32_t kills_;
    bool afterKill_ = false;
    bool abandonedAllowed_ = false;
};

// The library's warnings, counted: a message it had to send again.
std::atomic<uint32_t> *retries = nullptr;

void ZORCOMM_CALL CountRetries(const char *line) {
    if (retries && std::strstr(line, "Retrying")) ++*retries;
}

bool OpenLink(const WorkerPlan &plan, ztest::Library &lib, WorkerRecord &record) {
    std::string why;
    // A process killed while it held the slot table or the link makes one call of the next
    // process fail with the abandoned lock: that one report is counted, and the open tried once
    // more. Any other refusal fails the join.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool opened = lib.MSK_OpenComm(plan.device.c_str(), plan.host, 0, plan.type) > 0;
        if (opened && lib.MSK_SetActiveDrive(plan.axis)) {
            CopyText(record.report, sizeof record.report, why);
            return true;
        }
        std::string text = std::string(opened ? "set active drive: " : "open: ") + lib.MSK_GetLastError();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        why += (why.empty() ? "" : "; ") + text;
        if (opened) lib.MSK_CloseComm(-1);
        if (text.find(kAbandonedText) == std::string::npos) break;
        ++record.openFailures;
    }
    CopyText(record.report, sizeof record.report, why);
    return false;
}

} // namespace

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint16_t ProgramRangeOf(int record, int thread) {
    return static_cast<uint16_t>(kProgramBase + kProgramWords * ThreadKey(record, thread));
}

std::vector<uint16_t> DownloadWords(int record, int thread, int variant) {
    const int key = ThreadKey(record, thread);
    std::vector<uint16_t> words(static_cast<size_t>(16 + 8 * variant + key % 8));
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint16_t>(key << 9 | ((variant * 0x100 + i * 5) & 0x1FF));
    return words;
}

std::vector<std::string> WriteDownloads(const std::string &directory, int record, int thread) {
    std::vector<std::string> paths;
    for (int variant = 0; variant < 2; ++variant) {
        coffwriter::Section section;
        section.name = ".text";
        section.runAddress = ProgramRangeOf(record, thread);
        section.words = DownloadWords(record, thread, variant);
        coffwriter::Executable executable;
        executable.entryPoint = static_cast<uint16_t>(section.runAddress);
        executable.sections = {section};
        const std::string path = directory + "/worker" + std::to_string(record) + "-" +
                                 std::to_string(thread) + "-" + std::to_string(variant) + ".out";
        if (!coffwriter::WriteFile(path, executable)) return {};
        paths.push_back(path);
    }
    return paths;
}

int RunWorker(const WorkerPlan &plan) {
    WorkerRecord &record = plan.board->records[plan.record];
    record.pid.store(getpid());
    const ProcessResources before = ProcessResources::Now();
    ztest::Library lib = ztest::LoadLibrary();
    if (!lib.module) {
        CopyText(record.report, sizeof record.report, "the library does not load");
        record.state.store(kFailed);
        return 3;
    }
    retries = &record.retries;
    lib.MSK_RegisterDebugLogHandler(2, CountRetries);
    if (!OpenLink(plan, lib, record)) {
        record.state.store(kFailed);
        return 4;
    }
    record.state.store(kRunning);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { Exchanger(plan, lib, t).Run(stop); });
    while (record.command.load() == kRun) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.store(true);
    for (auto &thread : threads) thread.join();
    const bool last = record.command.load() == kLeaveLast;
    const bool closed = lib.MSK_CloseComm(-1);
    lib.MSK_RegisterDebugLogHandler(0, nullptr);
    ztest::UnloadLibrary(lib);
    std::string left = closed ? "" : " the channel did not close";
    if (last) left += ProcessResources::Now().LeftSince(before);
    if (!left.empty()) {
        record.leaks.store(1);
        CopyText(record.report, sizeof record.report, "left over:" + left);
    }
    record.state.store(kLeft);
    return 0;
}

} // namespace soak

// The soak: several processes of two threads each share one link for a long run, while
// processes join, leave and are killed with SIGKILL at random moments. What the supervisor of a
// link and its worker processes share lives in one anonymous shared mapping (the board),
// created before the workers are forked: counters, the kill log and the commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

constexpr int kSlots = 4;    // worker processes on a link at any moment
constexpr int kThreads = 2;  // threads of each worker
constexpr int kRecords = 64; // worker processes one link may start in a run
constexpr int kTexts = 8;    // distinct failure texts kept per thread
constexpr int kMaxKills = 48;

// The text of the error an abandoned lock is reported with.
constexpr const char *kAbandonedText = "because resource is locked";

// How a link is reached, and how many processes may share one connection to it.
enum class Kind { Rs232, Rs485, Driver, Udp, Tcp, Peak, Esd, Ascii, SocketCan };

struct LinkSpec {
    std::string name;
    Kind kind;
    uint8_t protocol; // CHANNEL_PROTOCOL_ORV or CHANNEL_PROTOCOL_TORVANECAN
};

const std::vector<LinkSpec> &Links();
const LinkSpec *FindLink(const std::string &name);
// Links whose connection is a socket or an in-process driver: the library does not hand those
// to another process, so each worker has a connection of its own to the same kind of link.
bool OwnConnectionPerProcess(Kind kind);
bool IsCan(Kind kind);

struct FailureText {
    char text[120];
    std::atomic<uint32_t> count;
};

// One worker thread's account. Written by that thread only; read by the supervisor.
struct ThreadRecord {
    std::atomic<uint64_t> exchanges, messages, blocks, downloads;
    std::atomic<uint32_t> failures;
    std::atomic<uint32_t> duringKill;   // failed calls that were running when a process was killed
    std::atomic<uint32_t> afterKill;    // first calls after a kill that failed (check)
    std::atomic<uint32_t> unexplained;  // failed calls with no kill in sight (lost replies)
    std::atomic<uint32_t> abandoned;    // failures reporting an abandoned lock
    std::atomic<uint32_t> misdelivered; // data read back that another worker wrote
    std::atomic<uint32_t> lost;         // an acknowledged write not read back as written
    std::atomic<uint32_t> done;         // reached its number of exchanges
    std::atomic<int64_t> callStart;     // ns on the monotonic clock; 0 between calls
    std::atomic<uint32_t> noted;
    char firstWrong[200];
    FailureText texts[kTexts];
};

enum Command : uint32_t { kRun = 0, kLeave = 1, kLeaveLast = 2 };
enum State : uint32_t { kStarting = 0, kRunning = 1, kLeft = 2, kFailed = 3 };

struct WorkerRecord {
    std::atomic<int32_t> pid;
    std::atomic<uint32_t> command;
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> leaks;
    std::atomic<uint32_t> openFailures;
    std::atomic<uint32_t> retries; // the library's "Retrying" warnings in this process
    char report[480]; // why the open failed, or what the last process found left over
    ThreadRecord threads[kThreads];
};

struct Board {
    std::atomic<uint32_t> killsSent;                 // incremented just before each SIGKILL
    std::atomic<uint32_t> killsDone;                 // incremented once the process is gone
    std::atomic<uint32_t> stopAll;                   // the run is over: no more exchanges
    std::atomic<int64_t> killTimes[kMaxKills];       // when each SIGKILL was sent
    WorkerRecord records[kRecords];
};

// What one worker process does.
struct WorkerPlan {
    Board *board = nullptr;
    int record = 0;
    std::string device;
    uint8_t type = 0;
    uint16_t host = 1;
    uint16_t axis = 1;
    uint64_t target = 0; // exchanges per thread; 0: until told to leave
    std::string downloads[kThreads * 2]; // executables: two variants for each thread
    uint32_t seed = 1;
};

// The body of a worker process: its exit status.
int RunWorker(const WorkerPlan &plan);

// The executables a thread downloads: a section of program memory of its own.
uint16_t ProgramRangeOf(int record, int thread);
std::vector<uint16_t> DownloadWords(int record, int thread, int variant);
// Writes both variants of a thread's executable into `directory`: their paths, empty on failure.
std::vector<std::string> WriteDownloads(const std::string &directory, int record, int thread);

int64_t NowNs();

struct RunOptions {
    double secondsPerLink = 0; // 0: until every worker did `target` exchanges
    uint64_t target = 10000;
    int kills = 0;
    int leaves = 0;
    uint32_t seed = 1;
    // Only a lost or misdelivered reply, a leak or a hang fails a link; calls that failed are
    // counted and printed (CI: a busy machine may let a call time out without any fault).
    bool onlyLossFails = false;
};

// Runs one link with its simulators and workers; prints its line. True when it passed.
bool RunLink(const LinkSpec &link, const RunOptions &options);

} // namespace soak

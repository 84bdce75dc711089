// Processes, time, error codes, environment and the module's own path.
#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <sched.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <string>
#include <unistd.h>

#include "platform/posix/shared_region.h"

namespace zorcomm::platform {

namespace {

#ifdef __linux__
constexpr int kPauseSlackNs = 1000;
#endif
// getpid() is a system call; every mutex wait and release asks for the process ID, so it is
// kept, and renewed in the child after a fork.
std::atomic<uint32_t> cachedProcessId{0};
void ForgetProcessId() { cachedProcessId.store(0, std::memory_order_relaxed); }
} // namespace

uint32_t CurrentProcessId() {
    uint32_t pid = cachedProcessId.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const bool registered = pthread_atfork(nullptr, nullptr, ForgetProcessId) == 0;
        (void)registered;
        pid = static_cast<uint32_t>(getpid());
        cachedProcessId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

uint64_t ProcessStartTime(uint32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return 0;
    // The command name in parentheses may hold spaces; the fields after it are plain.
    auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    const char *cursor = line.c_str() + close + 1;
    // Field 22 (start time) is the 20th field after the name.
    for (int field = 0; field < 19 && *cursor; ++field) {
        while (*cursor == ' ') ++cursor;
        while (*cursor && *cursor != ' ') ++cursor;
    }
    return std::strtoull(cursor, nullptr, 10);
}

bool ProcessRunning(uint32_t pid, uint64_t startTime) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    if (startTime == 0) return true;
    return ProcessStartTime(pid) == startTime;
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t MicrosecondClock() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

void SleepMicroseconds(uint32_t microseconds) {
    if (microseconds == 0) {
        sched_yield();
        return;
    }
    timespec wait{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000L};
#ifdef __linux__
    // The thread's timer slack (50 us by default) would double a pause this short; it is
    // narrowed for the pause and given back, since the thread is the application's.
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    const bool narrowed = slack > kPauseSlackNs && prctl(PR_SET_TIMERSLACK, kPauseSlackNs, 0, 0, 0) == 0;
#endif
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
#ifdef __linux__
    if (narrowed) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
#endif
}

LocalTime CurrentLocalTime() {
    time_t now = time(nullptr);
    tm parts{};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec};
}

uint32_t GetSystemError() { return static_cast<uint32_t>(errno); }

void SetSystemError(uint32_t code) { errno = static_cast<int>(code); }

bool SystemErrorText(uint32_t code, std::string &text) {
    if (code == 0 || code > 4095) return false;
    char buffer[256];
    const char *message = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (!message || std::strncmp(message, "Unknown error", 13) == 0) return false;
    text = message;
    return true;
}

std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ModulePath), &info) == 0 || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
}

std::string Environment(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

} // namespace zorcomm::platform

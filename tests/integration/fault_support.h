// Faults injected in the middle of an exported call, and what a test checks after a fault: no
// descriptor, mutex or module of the library left behind.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>

#include "core/process_context.h"
#include "platform/platform.h"
#include "test_support.h"

namespace ztest {

// Runs an action once in the middle of an exported call: when the library has written its
// `nth` piece of traffic since Arm (the level-3 trace line with `caption`, e.g. "Bytes Write"),
// on the library's own thread, before the call goes on.
class MidCall {
public:
    static void Arm(Library &lib, const std::string &caption, int nth, std::function<void()> action) {
        State &state = Get();
        state = State{" " + caption + " : ", nth, std::move(action), false};
        lib.MSK_RegisterDebugLogHandler(3, [](const char *line) {
            State &s = Get();
            if (s.fired || std::string(line).find(s.needle) == std::string::npos) return;
            if (--s.remaining > 0) return;
            s.fired = true;
            s.action();
        });
    }
    static void Disarm(Library &lib) {
        lib.MSK_RegisterDebugLogHandler(0, nullptr);
        Get() = State{};
    }
    static bool Fired() { return Get().fired; }

private:
    struct State {
        std::string needle;
        int remaining = 0;
        std::function<void()> action;
        bool fired = false;
    };
    static State &Get() {
        static State state;
        return state;
    }
};

// How long a piece of a test took.
class Stopwatch {
public:
    std::chrono::milliseconds Elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

inline int OpenDescriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// Mapped files of this process whose path contains `text`, counted once each.
inline int MappedModules(const std::string &text) {
    std::ifstream maps("/proc/self/maps");
    std::string line, last;
    int count = 0;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash == std::string::npos) continue;
        const std::string path = line.substr(slash);
        if (path.find(text) != std::string::npos && path != last) ++count;
        last = path;
    }
    return count;
}

// What the library holds in this process and in the shared region.
struct Holdings {
    int descriptors = 0;
    int mutexes = 0;      // live mutex objects in the shared region
    int modules = 0;      // the simulated adapters' and driver's libraries mapped here
    bool operator==(const Holdings &) const = default;
};

inline Holdings Hold() {
    Holdings holdings;
    holdings.descriptors = OpenDescriptors();
    zorcomm::platform::RegionView view(sizeof(zorcomm::SharedSection));
    holdings.mutexes = view.valid() ? view.LiveMutexObjects() : -1;
    holdings.modules = MappedModules("/sim/vendor/") + MappedModules("zorcomm-simdriver");
    return holdings;
}

inline void PrintTo(const Holdings &h, std::ostream *out) {
    *out << "{descriptors " << h.descriptors << ", mutexes " << h.mutexes << ", modules "
         << h.modules << "}";
}

} // namespace ztest

// CAN channels through the exports, against the simulated bus and the stand-in adapter libraries.
//
// The library loads a vendor's library by bare file name, and the loader reads its search path
// (LD_LIBRARY_PATH) only when a process starts. So each test runs its body in a fresh process
// of this same test program, started with the search path the test needs (the directory of the
// stand-ins, or one of the variant directories lacking a name); the first process only waits for
// it and takes over its result. Helper processes forked from there inherit the path.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "library_process.h"
#include "sim_process.h"
#include "test_support.h"

extern char **environ;

namespace ztest {

inline std::string VendorDir(const std::string &variant = "") {
    const std::string base = std::string(ZORCOMM_BINARY_DIR) + "/sim/vendor";
    return variant.empty() ? base : base + "/" + variant;
}

// True in the process that runs the test's body with the loader's search path `directory`
// (and the variables `extra`, NAME=value, in its environment). Otherwise starts that process,
// waits for it (bounded) and records its failure; false.
inline bool InProcessWithSearchPath(const std::string &directory, const std::vector<std::string> &extra = {}) {
    const char *marker = std::getenv("ZTEST_CAN_BODY");
    if (marker && directory == marker) return true;
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    std::string program = "/proc/self/exe";
    std::vector<char *> argv{program.data(), filter.data(), nullptr};
    std::vector<std::string> variables{"LD_LIBRARY_PATH=" + directory, "ZTEST_CAN_BODY=" + directory};
    variables.insert(variables.end(), extra.begin(), extra.end());
    auto replaced = [&variables](const std::string &text) {
        for (const std::string &given : variables)
            if (text.rfind(given.substr(0, given.find('=') + 1), 0) == 0) return true;
        return false;
    };
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!replaced(text)) variables.push_back(text);
    }
    std::vector<char *> envp;
    for (auto &variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) {
        ADD_FAILURE() << "cannot start the test's process";
        return false;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the test's process did not end in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the test failed in its own process (see its output above)";
    return false;
}

inline const char *kCanSettings = "[ZORCOMM]\n"
                                  "CAN_SEND_TIMEOUT=200\n"
                                  "CAN_RECEIVE_TIMEOUT=200\n"
                                  "RESET_DEAD_TIME=20\n"
                                  "RUN_DEAD_TIME=0\n";

class CanTest : public ::testing::Test {
protected:
    ~CanTest() override {
        if (lib_.module) {
            lib_.MSK_RegisterDebugLogHandler(0, nullptr);
            lib_.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
            UnloadLibrary(lib_);
        }
        unsetenv("ZORCOMM_VENDOR_FAIL");
    }

    // Set-up inside the test's own process: its region, settings, call log and the library.
    // Helper processes that load the library themselves are forked before it is loaded here.
    Library &Start(const std::string &settings = kCanSettings, bool load = true) {
        region_ = std::make_unique<UniqueRegion>();
        settings_ = std::make_unique<SettingsFile>(settings);
        logDir_ = std::make_unique<TempDir>();
        seen_ = 0;
        setenv("ZORCOMM_VENDOR_LOG", logDir_->File("calls.log").c_str(), 1);
        if (load) lib_ = LoadLibrary();
        return lib_;
    }

    // `zorcomm-sim can-bus` with the options; the adapters find it through ZORCOMM_CANBUS.
    std::unique_ptr<SimProcess> StartBus(const std::vector<std::string> &options) {
        std::vector<std::string> arguments{"can-bus"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto bus = std::make_unique<SimProcess>(arguments);
        const std::string &line = bus->firstLine();
        EXPECT_EQ(line.rfind("CANBUS ", 0), 0u) << line;
        setenv("ZORCOMM_CANBUS", line.substr(7).c_str(), 1);
        return bus;
    }

    // The vendor calls made since the last look.
    std::vector<std::string> Calls() {
        std::ifstream file(logDir_->File("calls.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        std::vector<std::string> fresh(lines.begin() + static_cast<long>(std::min(seen_, lines.size())), lines.end());
        seen_ = lines.size();
        return fresh;
    }
    // The calls since the last look, without the polling reads that come and go with timing.
    std::vector<std::string> CallsBut(const std::vector<std::string> &ignored) {
        std::vector<std::string> kept;
        for (const std::string &call : Calls()) {
            bool skip = false;
            for (const std::string &name : ignored) skip = skip || call.rfind(name + " ", 0) == 0 || call == name;
            if (!skip) kept.push_back(call);
        }
        return kept;
    }
    static size_t Count(const std::vector<std::string> &calls, const std::string &prefix) {
        size_t n = 0;
        for (const auto &call : calls) n += call.rfind(prefix, 0) == 0;
        return n;
    }

    // Compares calls with expected lines whose words may be `$name` placeholders for the
    // vendor's handles: a placeholder takes the value it first meets and must keep it.
    ::testing::AssertionResult Match(const std::vector<std::string> &actual,
                                     const std::vector<std::string> &expected) {
        auto words = [](const std::string &line) {
            std::istringstream in(line);
            std::vector<std::string> out;
            for (std::string word; in >> word;) out.push_back(word);
            return out;
        };
        std::ostringstream listing;
        for (const auto &line : actual) listing << "\n  " << line;
        if (actual.size() != expected.size())
            return ::testing::AssertionFailure() << expected.size() << " calls expected, got:" << listing.str();
        for (size_t i = 0; i < actual.size(); ++i) {
            const auto got = words(actual[i]), want = words(expected[i]);
            bool same = got.size() == want.size();
            for (size_t w = 0; same && w < want.size(); ++w) {
                if (want[w].size() > 1 && want[w][0] == '$') {
                    auto [it, fresh] = handles_.emplace(want[w], got[w]);
                    same = fresh || it->second == got[w];
                } else {
                    same = want[w] == got[w];
                }
            }
            if (!same)
                return ::testing::AssertionFailure() << "call " << i << " is not \"" << expected[i] << "\"; got:" << listing.str();
        }
        return ::testing::AssertionSuccess();
    }

    std::string LastError() { return lib_.MSK_GetLastError(); }
    static std::string Text(uint32_t code) { return std::string(zorcomm::LibraryErrorText(code)); }

    // The drive messages on the bus since the last look, as `ADDR:OP[:WORD,...]`.
    static std::vector<std::string> BusMessages(SimProcess &bus, const std::string &source = "") {
        std::istringstream words(bus.Command("history"));
        std::vector<std::string> messages;
        for (std::string word; words >> word;) {
            const auto eq = word.find('=');
            if (word == "OK" || eq == std::string::npos) continue;
            if (!source.empty() && word.rfind(source, 0) != 0) continue;
            messages.push_back(word.substr(eq + 1));
        }
        return messages;
    }

    Library lib_;
    std::unique_ptr<UniqueRegion> region_;
    std::unique_ptr<SettingsFile> settings_;
    std::unique_ptr<TempDir> logDir_;
    size_t seen_ = 0;
    std::map<std::string, std::string> handles_;
};

} // namespace ztest

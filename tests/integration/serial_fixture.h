// A test with its own shared region, a settings file with short time-outs, and the library
// loaded into the test process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/process_context.h"
#include "library_process.h"
#include "platform/platform.h"
#include "sim_process.h"
#include "test_support.h"

namespace ztest {

inline const char *kFastSettings = "[ZORCOMM]\n"
                                   "TIMEOUT_READ_INTERVAL=100\n"
                                   "TIMEOUT_MULTIPLIER=5\n"
                                   "TIMEOUT_CONSTANT=150\n"
                                   "WAIT_AFTER_BAUD_CHANGE=5\n"
                                   "RESET_DEAD_TIME=20\n"
                                   "RUN_DEAD_TIME=0\n";

class LibraryTest : public ::testing::Test {
protected:
    explicit LibraryTest(const std::string &settings = kFastSettings) : settings_(settings) {}

    void SetUp() override { lib = LoadLibrary(); }
    void TearDown() override {
        lib.MSK_RegisterDebugLogHandler(0, nullptr);
        UnloadLibrary(lib);
    }

    // Starts `zorcomm-sim serial` with the options and maps COM<number> to its pty.
    std::unique_ptr<SimProcess> StartSerialSim(const std::vector<std::string> &options,
                                               int number = 7) {
        std::vector<std::string> arguments{"serial"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto sim = std::make_unique<SimProcess>(arguments);
        const std::string &line = sim->firstLine();
        EXPECT_EQ(line.rfind("PTY ", 0), 0u) << line;
        const std::string variable = "ZORCOMM_COM" + std::to_string(number);
        setenv(variable.c_str(), line.substr(4).c_str(), 1);
        return sim;
    }

    std::string LastError() { return lib.MSK_GetLastError(); }
    static std::string Text(uint32_t code) { return std::string(zorcomm::LibraryErrorText(code)); }

    // Log lines collected from the library's handler.
    static std::vector<std::string> &Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    void CollectLog(int level) {
        Lines().clear();
        lib.MSK_RegisterDebugLogHandler(level, [](const char *line) { Lines().emplace_back(line); });
    }
    static int Logged(const std::string &text) {
        int count = 0;
        for (const auto &line : Lines()) count += line.find(text) != std::string::npos;
        return count;
    }

    UniqueRegion region_;
    SettingsFile settings_;
    Library lib;
};

} // namespace ztest

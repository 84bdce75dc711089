// A Windows test with its own copy of the library (so its own shared section) and a log
// collector.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace wtest {

class DllTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(copy_.loaded()) << "zorcomm.dll could not be loaded"; }

    std::string LastError() { return lib.MSK_GetLastError(); }

    static std::vector<std::string> &Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void __stdcall Collect(const char *line) { Lines().emplace_back(line); }
    void CollectLog(int level) {
        Lines().clear();
        lib.MSK_RegisterDebugLogHandler(level, &Collect);
    }
    static int Logged(const std::string &text) {
        int count = 0;
        for (const auto &line : Lines()) count += line.find(text) != std::string::npos;
        return count;
    }
    static bool Has(const std::vector<std::string> &frames, const std::string &frame) {
        for (const auto &f : frames)
            if (f == frame) return true;
        return false;
    }

    LibraryCopy copy_;
    Exports &lib = copy_.lib;
};

} // namespace wtest

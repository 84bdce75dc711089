// A channel on the simulated drives' virtual serial driver, with the driver's control lines at
// hand (peek, poke, faults, the frames the PC sent), and a recorder for progress callbacks.
#pragma once

#include "serial_fixture.h"

#include <dlfcn.h>

#include <functional>
#include <sstream>

namespace ztest {

struct ProgressCall {
    int32_t kind;
    std::string text;
    float percent;
    uint32_t userValue;
};

// The calls the library made to Record, and what Record answers (1 unless told otherwise).
struct ProgressRecorder {
    static std::vector<ProgressCall> &Calls() {
        static std::vector<ProgressCall> calls;
        return calls;
    }
    static std::function<uint8_t(const ProgressCall &)> &Answer() {
        static std::function<uint8_t(const ProgressCall &)> answer;
        return answer;
    }
    static void Reset() {
        Calls().clear();
        Answer() = nullptr;
    }
    static uint8_t ZORCOMM_CALL Record(int32_t kind, const char *text, float percent,
                                       uint32_t userValue) {
        Calls().push_back({kind, text ? text : "<null>", percent, userValue});
        return Answer() ? Answer()(Calls().back()) : 1;
    }
    // The calls of one kind.
    static std::vector<ProgressCall> OfKind(int32_t kind) {
        std::vector<ProgressCall> found;
        for (const auto &call : Calls())
            if (call.kind == kind) found.push_back(call);
        return found;
    }
};

class DriverTest : public LibraryTest {
protected:
    using ControlEntry = uint8_t (*)(const char *, char *, uint32_t);

    void SetUp() override {
        LibraryTest::SetUp();
        ProgressRecorder::Reset();
    }

    void TearDown() override {
        if (driver_) dlclose(driver_);
        ProgressRecorder::Reset();
        lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
        LibraryTest::TearDown();
    }

    // Opens the driver with these simulator options; host axis detected. Its control entry is
    // taken from the same loaded copy, so it reaches the same drives.
    void OpenDriver(const std::string &options = "--axes 1,2 --read-timeout 100") {
        setenv("ZORCOMM_SIM_OPTIONS", options.c_str(), 1);
        const std::string path = SimDriver();
        handle_ = lib.MSK_OpenComm(path.c_str(), 0, 0, CHANNEL_VIRTUAL_SERIAL);
        unsetenv("ZORCOMM_SIM_OPTIONS");
        ASSERT_GT(handle_, 0) << LastError();
        driver_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(driver_, nullptr);
        control_ = reinterpret_cast<ControlEntry>(dlsym(driver_, "SimControl"));
        ASSERT_NE(control_, nullptr);
        History();
    }

    std::string Sim(const std::string &line) {
        std::vector<char> reply(65536);
        control_(line.c_str(), reply.data(), static_cast<uint32_t>(reply.size()));
        return reply.data();
    }

    static std::vector<std::string> Words(const std::string &reply) {
        std::istringstream in(reply);
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        return words;
    }

    // The frames the PC sent since the last call, "ADDR:OP:WORD,..." (the line rate left out).
    std::vector<std::string> History() {
        std::vector<std::string> frames;
        for (const std::string &word : Words(Sim("history")))
            if (word != "OK") frames.push_back(word.substr(word.find(':') + 1));
        return frames;
    }

    std::vector<uint16_t> Peek(const std::string &memory, uint32_t address, size_t count) {
        std::vector<uint16_t> words;
        for (size_t done = 0; done < count; done += 1024) {
            const size_t part = std::min<size_t>(1024, count - done);
            const auto reply = Words(Sim("peek " + memory + " " + std::to_string(address + done) +
                                         " " + std::to_string(part)));
            EXPECT_EQ(reply.size(), part + 1) << reply.front();
            for (size_t i = 1; i < reply.size(); ++i)
                words.push_back(static_cast<uint16_t>(std::stoul(reply[i], nullptr, 16)));
        }
        return words;
    }

    void Poke(const std::string &memory, uint32_t address, const std::vector<uint16_t> &words) {
        std::string line = "poke " + memory + " " + std::to_string(address);
        for (uint16_t word : words) line += " " + std::to_string(word);
        ASSERT_EQ(Sim(line), "OK");
    }

    int32_t handle_ = -1;
    void *driver_ = nullptr;
    ControlEntry control_ = nullptr;
};

// "ADDR:OP:W1,W2" in the simulator's form.
inline std::string Frame(uint16_t address, uint16_t opCode, std::initializer_list<uint16_t> data) {
    char text[64];
    int at = std::snprintf(text, sizeof text, "%04X:%04X", address, opCode);
    const char *separator = ":";
    for (uint16_t word : data) {
        at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), "%s%04X", separator,
                            word);
        separator = ",";
    }
    return text;
}

} // namespace ztest

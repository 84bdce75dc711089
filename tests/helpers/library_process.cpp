#include "library_process.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/errors.h"

namespace ztest {

std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

namespace {

std::vector<std::string> logLines;
std::vector<DriveMessage> handled;

void CollectLine(const char *line) { logLines.emplace_back(line); }

// For "die-in-write": what to leave on the port before the process kills itself.
std::string leftOnPort;

// Right after the library sent a CAN frame (its answer still to come): the start of another
// command goes to the port behind it, and the process dies holding the channel.
void DieAfterWrite(const char *line) {
    if (!std::strstr(line, "CAN Message Sent")) return;
    if (const char *port = std::getenv("ZORCOMM_COM9")) {
        const int fd = open(port, O_WRONLY | O_NOCTTY);
        if (fd >= 0 && write(fd, leftOnPort.data(), leftOnPort.size()) < 0) leftOnPort.clear();
    }
    raise(SIGKILL);
}
void ZORCOMM_CALL CollectMessage(DriveMessage *message) { handled.push_back(*message); }

std::string Describe(const DriveMessage &m) {
    std::ostringstream text;
    text << std::hex << "0x" << m.address << " 0x" << m.opCode;
    for (int i = 0; i < m.length && i < 4; ++i) text << " 0x" << m.data[i];
    return text.str();
}

uint32_t Number(const std::string &word) {
    return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 0));
}

std::string Run(Library &lib, const std::vector<std::string> &w) {
    auto result = [&lib](bool ok, const std::string &value = {}) {
        return ok ? "ok" + (value.empty() ? "" : " " + value)
                  : "fail " + Escape(lib.MSK_GetLastError());
    };
    const std::string &c = w[0];
    if (c == "open" && w.size() == 5) {
        const int32_t h = lib.MSK_OpenComm(w[1].c_str(), static_cast<uint16_t>(Number(w[2])),
                                           static_cast<uint8_t>(Number(w[3])),
                                           static_cast<uint8_t>(Number(w[4])));
        return result(h > 0, std::to_string(h));
    }
    if (c == "close" && w.size() == 2)
        return result(lib.MSK_CloseComm(static_cast<int32_t>(std::strtol(w[1].c_str(), nullptr, 0))));
    if (c == "select" && w.size() == 2) {
        const int32_t h = lib.MSK_SelectComm(static_cast<int32_t>(std::strtol(w[1].c_str(), nullptr, 0)));
        return result(h > 0, std::to_string(h));
    }
    if (c == "send" && w.size() >= 3) {
        DriveMessage m{};
        m.address = static_cast<uint16_t>(Number(w[1]));
        m.opCode = static_cast<uint16_t>(Number(w[2]));
        for (size_t i = 3; i < w.size() && m.length < 4; ++i)
            m.data[m.length++] = static_cast<uint16_t>(Number(w[i]));
        return result(lib.MSK_SendMessage(&m));
    }
    if (c == "receive") {
        DriveMessage m{};
        const bool ok = lib.MSK_ReceiveMessage(&m);
        return result(ok, Describe(m));
    }
    if (c == "read" && w.size() == 4) {
        std::vector<uint16_t> words(Number(w[3]));
        const bool ok = lib.MSK_ReceiveData(words.data(), static_cast<uint16_t>(Number(w[1])),
                                            static_cast<uint8_t>(Number(w[2])),
                                            static_cast<uint16_t>(words.size()));
        std::ostringstream text;
        for (size_t i = 0; i < words.size(); ++i) text << (i ? " " : "") << std::hex << "0x" << words[i];
        return result(ok, text.str());
    }
    if (c == "write" && w.size() >= 3) {
        std::vector<uint16_t> words;
        for (size_t i = 3; i < w.size(); ++i) words.push_back(static_cast<uint16_t>(Number(w[i])));
        return result(lib.MSK_SendData(words.data(), static_cast<uint16_t>(Number(w[1])),
                                       static_cast<uint8_t>(Number(w[2])),
                                       static_cast<uint16_t>(words.size())));
    }
    if (c == "sethost" && w.size() == 2)
        return result(lib.MSK_SetHostDrive(static_cast<uint16_t>(Number(w[1]))));
    if (c == "setactive" && w.size() == 2)
        return result(lib.MSK_SetActiveDrive(static_cast<uint16_t>(Number(w[1]))));
    if (c == "handler" && w.size() == 2) {
        handled.clear();
        lib.MSK_RegisterReceiveUnsolicitedMsgHandler(w[1] == "on" ? CollectMessage : nullptr);
        return "ok";
    }
    if (c == "handled") {
        std::string text;
        for (const DriveMessage &m : handled) text += (text.empty() ? "" : ", ") + Describe(m);
        handled.clear();
        return "ok" + (text.empty() ? "" : " " + text);
    }
    if (c == "baud" && w.size() == 2) return result(lib.MSK_SetBaudRate(Number(w[1])));
    if (c == "getbaud") {
        const uint32_t rate = lib.MSK_GetBaudRate();
        if (rate == 0) return result(false);
        return result(rate != 0, std::to_string(rate));
    }
    if (c == "host" || c == "active") {
        uint16_t axis = 0;
        const bool ok = c == "host" ? lib.MSK_GetHostDrive(&axis) : lib.MSK_GetActiveDrive(&axis);
        return result(ok, std::to_string(axis));
    }
    if (c == "version") {
        char text[16] = {};
        const bool ok = lib.MSK_GetDriveVersion(text);
        return result(ok, text);
    }
    if (c == "reset") return result(lib.MSK_ResetDrive());
    if (c == "update") return result(lib.MSK_UpdateSettings());
    if (c == "queue") {
        const int32_t n = lib.MSK_GetBytesCountInQueue();
        return result(n >= 0, std::to_string(n));
    }
    if (c == "die-in-write" && w.size() == 2) {
        leftOnPort = w[1];
        lib.MSK_RegisterDebugLogHandler(3, DieAfterWrite);
        return "ok";
    }
    if (c == "log" && w.size() == 2) {
        logLines.clear();
        lib.MSK_RegisterDebugLogHandler(static_cast<int32_t>(Number(w[1])), CollectLine);
        return "ok";
    }
    if (c == "logged" && w.size() >= 2) {
        std::string needle = w[1];
        for (size_t i = 2; i < w.size(); ++i) needle += " " + w[i];
        int count = 0;
        for (const auto &line : logLines) count += line.find(needle) != std::string::npos;
        return "ok " + std::to_string(count);
    }
    return "bad-command";
}

} // namespace

int LibraryProcess(Child &self) {
    Library lib = LoadLibrary();
    if (!lib.module) return 11;
    self.Reply("loaded");
    while (auto line = self.Receive(std::chrono::seconds(120))) {
        std::istringstream words(*line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w[0] == "quit") {
            UnloadLibrary(lib);
            return 0;
        }
        self.Reply(Run(lib, w));
    }
    return 12;
}

std::string Failure(uint32_t code) {
    return "fail " + Escape(std::string(zorcomm::LibraryErrorText(code)));
}

std::unique_ptr<Child> StartLibraryProcess() {
    auto child = std::make_unique<Child>(LibraryProcess);
    EXPECT_EQ(child->Read(), "loaded");
    return child;
}

std::string Ask(Child &child, const std::string &command, std::chrono::milliseconds limit) {
    child.Send(command);
    return child.Read(limit).value_or("<no answer>");
}

} // namespace ztest

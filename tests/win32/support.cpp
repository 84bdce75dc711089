#include "support.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "core/errors.h"
#include "test_paths.h"

namespace wtest {

namespace {

// The connection to the harness, opened on first use and kept for the program's life.
class Harness {
public:
    static Harness &Get() {
        static Harness harness;
        return harness;
    }
    std::string Command(const std::string &line) {
        if (socket_ == INVALID_SOCKET) return "ERR no harness (ZORCOMM_HARNESS)";
        const std::string text = line + "\n";
        if (send(socket_, text.data(), static_cast<int>(text.size()), 0) !=
            static_cast<int>(text.size()))
            return "ERR send to the harness failed";
        for (;;) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string reply = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return reply;
            }
            char chunk[512];
            const int got = recv(socket_, chunk, sizeof chunk, 0); // bounded by SO_RCVTIMEO
            if (got <= 0) return "ERR no reply from the harness";
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }

private:
    Harness() {
        char where[64] = {};
        if (GetEnvironmentVariableA("ZORCOMM_HARNESS", where, sizeof where) == 0) return;
        const char *colon = std::strchr(where, ':');
        if (!colon) return;
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(std::atoi(colon + 1)));
        const std::string host(where, static_cast<size_t>(colon - where));
        address.sin_addr.s_addr = inet_addr(host.c_str());
        const DWORD limit = 30000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit),
                   sizeof limit);
        if (connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }
    SOCKET socket_ = INVALID_SOCKET;
    std::string buffer_;
};

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

} // namespace

std::string HarnessCommand(const std::string &line) { return Harness::Get().Command(line); }

SerialSim::SerialSim(const std::vector<std::string> &options, int minimumCom) {
    std::string line = "serial " + std::to_string(minimumCom);
    for (const auto &option : options) line += " " + option;
    const auto words = Words(HarnessCommand(line));
    if (words.size() == 3 && words[0] == "OK") {
        id_ = std::atoi(words[1].c_str());
        com_ = std::atoi(words[2].c_str());
    }
}

SerialSim::~SerialSim() {
    if (id_ > 0) HarnessCommand("stop " + std::to_string(id_));
}

std::string SerialSim::Control(const std::string &line) {
    return HarnessCommand("control " + std::to_string(id_) + " " + line);
}

std::vector<std::string> SerialSim::History() {
    std::vector<std::string> frames;
    for (const auto &word : Words(Control("history")))
        if (word != "OK") frames.push_back(word);
    return frames;
}

TempDir::TempDir() {
    static int counter = 0;
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "zorcomm-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter);
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempDir::~TempDir() {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA(File(found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
}

void TempDir::Write(const std::string &name, const std::string &text) const {
    FILE *file = std::fopen(File(name).c_str(), "wb");
    if (!file) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool BindExports(void *module, Exports &exports) {
    auto bind = [module](auto &function, const char *name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name)));
        return function != nullptr;
    };
    return bind(exports.MSK_COFFDownload, "_MSK_COFFDownload@28") &&
           bind(exports.MSK_CheckSum, "_MSK_CheckSum@12") &&
           bind(exports.MSK_CloseComm, "_MSK_CloseComm@4") &&
           bind(exports.MSK_GetActiveDrive, "_MSK_GetActiveDrive@4") &&
           bind(exports.MSK_GetBaudRate, "_MSK_GetBaudRate@0") &&
           bind(exports.MSK_GetBytesCountInQueue, "_MSK_GetBytesCountInQueue@0") &&
           bind(exports.MSK_GetDriveVersion, "_MSK_GetDriveVersion@4") &&
           bind(exports.MSK_GetHostDrive, "_MSK_GetHostDrive@4") &&
           bind(exports.MSK_GetLastError, "_MSK_GetLastError@0") &&
           bind(exports.MSK_OpenComm, "_MSK_OpenComm@16") &&
           bind(exports.MSK_ReceiveBigData, "_MSK_ReceiveBigData@24") &&
           bind(exports.MSK_ReceiveData, "_MSK_ReceiveData@16") &&
           bind(exports.MSK_ReceiveMessage, "_MSK_ReceiveMessage@4") &&
           bind(exports.MSK_RegisterDebugLogHandler, "_MSK_RegisterDebugLogHandler@8") &&
           bind(exports.MSK_RegisterReceiveUnsolicitedMsgHandler,
                "_MSK_RegisterReceiveUnsolicitedMsgHandler@4") &&
           bind(exports.MSK_ResetDrive, "_MSK_ResetDrive@0") &&
           bind(exports.MSK_SelectComm, "_MSK_SelectComm@4") &&
           bind(exports.MSK_SendBigData, "_MSK_SendBigData@24") &&
           bind(exports.MSK_SendData, "_MSK_SendData@16") &&
           bind(exports.MSK_SendMessage, "_MSK_SendMessage@4") &&
           bind(exports.MSK_SetActiveDrive, "_MSK_SetActiveDrive@4") &&
           bind(exports.MSK_SetBaudRate, "_MSK_SetBaudRate@4") &&
           bind(exports.MSK_SetHostDrive, "_MSK_SetHostDrive@4") &&
           bind(exports.MSK_UpdateSettings, "_MSK_UpdateSettings@0");
}

const char *const kFastSettings = "[ZORCOMM]\r\n"
                                  "TIMEOUT_READ_INTERVAL=100\r\n"
                                  "TIMEOUT_MULTIPLIER=5\r\n"
                                  "TIMEOUT_CONSTANT=150\r\n"
                                  "WAIT_AFTER_BAUD_CHANGE=5\r\n"
                                  "RESET_DEAD_TIME=20\r\n"
                                  "RUN_DEAD_TIME=0\r\n";

LibraryCopy::LibraryCopy(const std::string &settings) : path_(dir_.File("zorcomm.dll")) {
    if (!CopyFileA(kBuiltLibrary, path_.c_str(), FALSE)) return;
    dir_.Write("kernel.cfg", settings);
    module_ = LoadLibraryA(path_.c_str());
    if (module_ && !BindExports(module_, lib)) {
        FreeLibrary(static_cast<HMODULE>(module_));
        module_ = nullptr;
    }
}

LibraryCopy::~LibraryCopy() {
    if (!module_) return;
    lib.MSK_RegisterDebugLogHandler(0, nullptr);
    lib.MSK_RegisterReceiveUnsolicitedMsgHandler(nullptr);
    FreeLibrary(static_cast<HMODULE>(module_));
}

ChildProcess::ChildProcess() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) return;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        CloseHandle(inRead);
        CloseHandle(inWrite);
        return;
    }
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string command = std::string("\"") + program + "\" --child";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (!started) {
        CloseHandle(inWrite);
        CloseHandle(outRead);
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    toChild_ = inWrite;
    fromChild_ = outRead;
}

ChildProcess::~ChildProcess() {
    if (process_) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
    if (toChild_) CloseHandle(toChild_);
    if (fromChild_) CloseHandle(fromChild_);
}

std::optional<std::string> ChildProcess::Command(const std::string &line,
                                                 std::chrono::milliseconds limit) {
    if (!process_) return std::nullopt;
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(toChild_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return std::nullopt;
    const DWORD start = GetTickCount();
    for (;;) {
        const auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string reply = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!reply.empty() && reply.back() == '\r') reply.pop_back();
            return reply;
        }
        // Anonymous pipes have no time-outs: look before reading, for a bounded wait.
        DWORD waiting = 0;
        if (!PeekNamedPipe(fromChild_, nullptr, 0, nullptr, &waiting, nullptr))
            return std::nullopt;
        if (waiting == 0) {
            if (GetTickCount() - start > static_cast<DWORD>(limit.count())) return std::nullopt;
            Sleep(5);
            continue;
        }
        char chunk[512];
        DWORD got = 0;
        if (!ReadFile(fromChild_, chunk, waiting < sizeof chunk ? waiting : sizeof chunk, &got,
                      nullptr))
            return std::nullopt;
        buffer_.append(chunk, got);
    }
}

std::optional<uint32_t> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (!process_ ||
        WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

std::string LibraryText(uint32_t code) { return std::string(zorcomm::LibraryErrorText(code)); }

} // namespace wtest

// Helpers of the Windows tests under Wine: the harness on the POSIX side that starts simulated
// drives behind COM ports, a private copy of zorcomm.dll with its settings file, the exports
// bound by their decorated names, and helper processes that follow line commands.
#pragma once

#include <zorcomm/zorcomm.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wtest {

// The harness of tests/win32/harness/wine_run.cpp, reached through ZORCOMM_HARNESS.
std::string HarnessCommand(const std::string &line);

// `zorcomm-sim serial` behind the first free COM port from `minimumCom` on; stopped at the end.
class SerialSim {
public:
    explicit SerialSim(const std::vector<std::string> &options, int minimumCom = 2);
    ~SerialSim();
    SerialSim(const SerialSim &) = delete;
    SerialSim &operator=(const SerialSim &) = delete;
    bool started() const { return id_ > 0; }
    int com() const { return com_; }
    std::string PortName() const { return "COM" + std::to_string(com_); }
    // One control line and its reply.
    std::string Control(const std::string &line);
    // The frames the PC sent since the last look ("RATE:ADDR:OP[:WORDS]").
    std::vector<std::string> History();

private:
    int id_ = 0;
    int com_ = 0;
};

// A folder of its own under the temporary folder, removed with its files at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "\\" + name; }
    void Write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

// The exports, bound by their decorated names.
struct Exports {
#define WT_EXPORT(name) decltype(&::name) name = nullptr;
    WT_EXPORT(MSK_COFFDownload)
    WT_EXPORT(MSK_CheckSum)
    WT_EXPORT(MSK_CloseComm)
    WT_EXPORT(MSK_GetActiveDrive)
    WT_EXPORT(MSK_GetBaudRate)
    WT_EXPORT(MSK_GetBytesCountInQueue)
    WT_EXPORT(MSK_GetDriveVersion)
    WT_EXPORT(MSK_GetHostDrive)
    WT_EXPORT(MSK_GetLastError)
    WT_EXPORT(MSK_OpenComm)
    WT_EXPORT(MSK_ReceiveBigData)
    WT_EXPORT(MSK_ReceiveData)
    WT_EXPORT(MSK_ReceiveMessage)
    WT_EXPORT(MSK_RegisterDebugLogHandler)
    WT_EXPORT(MSK_RegisterReceiveUnsolicitedMsgHandler)
    WT_EXPORT(MSK_ResetDrive)
    WT_EXPORT(MSK_SelectComm)
    WT_EXPORT(MSK_SendBigData)
    WT_EXPORT(MSK_SendData)
    WT_EXPORT(MSK_SendMessage)
    WT_EXPORT(MSK_SetActiveDrive)
    WT_EXPORT(MSK_SetBaudRate)
    WT_EXPORT(MSK_SetHostDrive)
    WT_EXPORT(MSK_UpdateSettings)
#undef WT_EXPORT
};

// Binds every export of a loaded module by its decorated name; false when one is missing.
bool BindExports(void *module, Exports &exports);

// Short time-outs, as the POSIX tests use.
extern const char *const kFastSettings;

// The built zorcomm.dll copied into a folder of its own with kernel.cfg beside it, so the test
// has a shared section of its own (the loader shares it per module file), and loaded.
class LibraryCopy {
public:
    explicit LibraryCopy(const std::string &settings = kFastSettings);
    ~LibraryCopy();
    LibraryCopy(const LibraryCopy &) = delete;
    LibraryCopy &operator=(const LibraryCopy &) = delete;
    bool loaded() const { return module_ != nullptr; }
    const std::string &path() const { return path_; }
    void *module() const { return module_; }
    Exports lib;

private:
    TempDir dir_;
    std::string path_;
    void *module_ = nullptr;
};

// This test program started again as a helper process (`--child`), talking through pipes.
class ChildProcess {
public:
    ChildProcess();
    ~ChildProcess(); // kills it if it still runs
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    bool running() const { return process_ != nullptr; }
    uint32_t pid() const { return pid_; }
    // One command line and its reply line; nullopt when none came within the limit.
    std::optional<std::string> Command(const std::string &line,
                                       std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits for the exit; the exit code, or nullopt after the limit.
    std::optional<uint32_t> Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    void *process_ = nullptr;
    uint32_t pid_ = 0;
    void *toChild_ = nullptr;
    void *fromChild_ = nullptr;
    std::string buffer_;
};

// The body of a helper process: reads commands on standard input, answers on standard output.
int ChildMain();

// The library's own text of a code, with its final CR LF (from the library's table).
std::string LibraryText(uint32_t code);

} // namespace wtest

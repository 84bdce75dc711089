// Helpers shared by the tests: unique shared-region names, temporary folders, the library loaded
// by path in a helper process, and helper processes with a command pipe.
#pragma once

#include <zorcomm/zorcomm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace ztest {

// Sets ZORCOMM_SHM to a name of its own for this test and removes the region at the end.
class UniqueRegion {
public:
    UniqueRegion();
    ~UniqueRegion();
    const std::string &name() const { return name_; }

private:
    std::string name_;
};

// A temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    // Writes `text` to `name` in the folder and returns its path.
    std::string Write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

// Sets ZORCOMM_SETTINGS to a settings file in its own folder holding `text`.
class SettingsFile {
public:
    explicit SettingsFile(const std::string &text);
    ~SettingsFile();
    const std::string &path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

// The library's exports, bound from the shared object loaded with dlopen.
struct Library {
    void *module = nullptr;
#define ZT_EXPORT(name) decltype(&::name) name = nullptr;
    ZT_EXPORT(MSK_COFFDownload)
    ZT_EXPORT(MSK_CheckSum)
    ZT_EXPORT(MSK_CloseComm)
    ZT_EXPORT(MSK_GetActiveDrive)
    ZT_EXPORT(MSK_GetBaudRate)
    ZT_EXPORT(MSK_GetBytesCountInQueue)
    ZT_EXPORT(MSK_GetDriveVersion)
    ZT_EXPORT(MSK_GetHostDrive)
    ZT_EXPORT(MSK_GetLastError)
    ZT_EXPORT(MSK_OpenComm)
    ZT_EXPORT(MSK_ReceiveBigData)
    ZT_EXPORT(MSK_ReceiveData)
    ZT_EXPORT(MSK_ReceiveMessage)
    ZT_EXPORT(MSK_RegisterDebugLogHandler)
    ZT_EXPORT(MSK_RegisterReceiveUnsolicitedMsgHandler)
    ZT_EXPORT(MSK_ResetDrive)
    ZT_EXPORT(MSK_SelectComm)
    ZT_EXPORT(MSK_SendBigData)
    ZT_EXPORT(MSK_SendData)
    ZT_EXPORT(MSK_SendMessage)
    ZT_EXPORT(MSK_SetActiveDrive)
    ZT_EXPORT(MSK_SetBaudRate)
    ZT_EXPORT(MSK_SetHostDrive)
    ZT_EXPORT(MSK_UpdateSettings)
#undef ZT_EXPORT
};

// Loads the built libzorcomm.so (runs its load handler) and binds every export that exists;
// exports the library does not define yet stay null. Fails the test when dlopen fails.
Library LoadLibrary();
void UnloadLibrary(Library &library);

// A helper process running `body` and exiting with its return value. The body talks to the test
// through two pipes: Receive() reads a line the test sent with Send(); Reply() writes a line the
// test reads with Read().
class Child {
public:
    using Body = std::function<int(Child &self)>;
    explicit Child(Body body);
    ~Child(); // kills the process if still running

    pid_t pid() const { return pid_; }
    // Test side.
    bool Send(const std::string &line);
    std::optional<std::string> Read(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for the exit; the exit code, or 128 + signal, or nullopt after the limit.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Kill();
    // Child side.
    std::optional<std::string> Receive(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Reply(const std::string &line);

private:
    pid_t pid_ = -1;
    int toChild_[2] = {-1, -1};
    int fromChild_[2] = {-1, -1};
    std::string inbox_;
};

// Hex form of an error code as MSK_GetLastError's callers compare it.
std::string Hex(uint32_t value);

} // namespace ztest

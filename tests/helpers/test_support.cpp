#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ztest {

namespace {
std::atomic<int> counter{0};

bool ReadLine(int fd, std::string &buffer, std::string &line, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (auto pos = buffer.find('\n'); pos != std::string::npos) {
            line = buffer.substr(0, pos);
            buffer.erase(0, pos + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}
} // namespace

UniqueRegion::UniqueRegion() {
    name_ = "/zorcomm-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    shm_unlink(name_.c_str());
    setenv("ZORCOMM_SHM", name_.c_str(), 1);
}

UniqueRegion::~UniqueRegion() {
    shm_unlink(name_.c_str());
    unsetenv("ZORCOMM_SHM");
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorcomm-test-XXXXXX").string();
    if (char *made = mkdtemp(pattern.data())) path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &text) const {
    std::string file = File(name);
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

SettingsFile::SettingsFile(const std::string &text) {
    path_ = dir_.Write("kernel.cfg", text);
    setenv("ZORCOMM_SETTINGS", path_.c_str(), 1);
}

SettingsFile::~SettingsFile() { unsetenv("ZORCOMM_SETTINGS"); }

Library LoadLibrary() {
    Library library;
    library.module = dlopen(ZORCOMM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!library.module) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return library;
    }
#define ZT_BIND(name) library.name = reinterpret_cast<decltype(library.name)>(dlsym(library.module, #name));
    ZT_BIND(MSK_COFFDownload)
    ZT_BIND(MSK_CheckSum)
    ZT_BIND(MSK_CloseComm)
    ZT_BIND(MSK_GetActiveDrive)
    ZT_BIND(MSK_GetBaudRate)
    ZT_BIND(MSK_GetBytesCountInQueue)
    ZT_BIND(MSK_GetDriveVersion)
    ZT_BIND(MSK_GetHostDrive)
    ZT_BIND(MSK_GetLastError)
    ZT_BIND(MSK_OpenComm)
    ZT_BIND(MSK_ReceiveBigData)
    ZT_BIND(MSK_ReceiveData)
    ZT_BIND(MSK_ReceiveMessage)
    ZT_BIND(MSK_RegisterDebugLogHandler)
    ZT_BIND(MSK_RegisterReceiveUnsolicitedMsgHandler)
    ZT_BIND(MSK_ResetDrive)
    ZT_BIND(MSK_SelectComm)
    ZT_BIND(MSK_SendBigData)
    ZT_BIND(MSK_SendData)
    ZT_BIND(MSK_SendMessage)
    ZT_BIND(MSK_SetActiveDrive)
    ZT_BIND(MSK_SetBaudRate)
    ZT_BIND(MSK_SetHostDrive)
    ZT_BIND(MSK_UpdateSettings)
#undef ZT_BIND
    return library;
}

void UnloadLibrary(Library &library) {
    if (library.module) dlclose(library.module);
    library = Library{};
}

Child::Child(Body body) {
    if (pipe2(toChild_, O_CLOEXEC) != 0 || pipe2(fromChild_, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(toChild_[1]);
        close(fromChild_[0]);
        toChild_[1] = fromChild_[0] = -1;
        int code = body(*this);
        fflush(nullptr);
        // exit() (not _exit) so that the library's unload handler runs, as at a normal end.
        exit(code);
    }
    close(toChild_[0]);
    close(fromChild_[1]);
    toChild_[0] = fromChild_[1] = -1;
}

Child::~Child() {
    if (pid_ > 0) {
        Kill();
        Wait(std::chrono::seconds(5));
    }
    for (int fd : {toChild_[0], toChild_[1], fromChild_[0], fromChild_[1]})
        if (fd >= 0) close(fd);
}

bool Child::Send(const std::string &line) {
    std::string text = line + "\n";
    return write(toChild_[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> Child::Read(std::chrono::milliseconds limit) {
    std::string line;
    if (!ReadLine(fromChild_[0], inbox_, line, limit)) return std::nullopt;
    return line;
}

std::optional<int> Child::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Child::Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
}

std::optional<std::string> Child::Receive(std::chrono::milliseconds limit) {
    std::string line;
    if (!ReadLine(toChild_[0], inbox_, line, limit)) return std::nullopt;
    return line;
}

void Child::Reply(const std::string &line) {
    std::string text = line + "\n";
    [[maybe_unused]] auto written = write(fromChild_[1], text.data(), text.size());
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace ztest

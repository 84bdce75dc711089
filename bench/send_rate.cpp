// Acknowledged drive messages per second through the library, beside a minimal loop that does
// the same exchange (write the frame, read the acknowledge) against the same simulated drive.
// Prints both rates and their ratio, over the virtual serial driver and over a pty.
#include <zorcomm/zorcomm.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDuration = std::chrono::seconds(2);

// The frame of a message without data to axis 1, op code 0x0001: 04 00 10 00 01 15.
constexpr std::array<uint8_t, 6> kFrame{0x04, 0x00, 0x10, 0x00, 0x01, 0x15};

double Rate(const std::function<bool()> &exchange) {
    for (int i = 0; i < 50; ++i)
        if (!exchange()) return 0;
    long count = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kDuration) {
        if (!exchange()) return 0;
        ++count;
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char *link, double library, double raw) {
    std::printf("%-16s library %9.0f msg/s   raw loop %9.0f msg/s   ratio %.3f\n", link, library,
                raw, raw > 0 ? library / raw : 0.0);
}

struct Library {
    void *module = dlopen(ZORCOMM_LIBRARY_PATH, RTLD_NOW);
    template <typename F> F Get(const char *name) {
        return reinterpret_cast<F>(dlsym(module, name));
    }
};

double LibraryRate(const char *device, uint8_t type) {
    Library lib;
    auto open = lib.Get<decltype(&MSK_OpenComm)>("MSK_OpenComm");
    auto send = lib.Get<decltype(&MSK_SendMessage)>("MSK_SendMessage");
    auto close = lib.Get<decltype(&MSK_CloseComm)>("MSK_CloseComm");
    auto error = lib.Get<decltype(&MSK_GetLastError)>("MSK_GetLastError");
    if (open(device, 1, 0, type) <= 0) {
        std::fprintf(stderr, "open %s: %s", device, error());
        return 0;
    }
    DriveMessage message{0, 0x0010, 0x0001, {}};
    const double rate = Rate([&] { return send(&message) != 0; });
    close(-1);
    dlclose(lib.module);
    return rate;
}

double RawDriverRate() {
    void *driver = dlopen(ZORCOMM_SIM_DRIVER, RTLD_NOW | RTLD_LOCAL);
    using Io = uint8_t (*)(void *, uint32_t, uint32_t *);
    auto write = reinterpret_cast<uint8_t (*)(const void *, uint32_t, uint32_t *)>(dlsym(driver, "WriteData"));
    auto read = reinterpret_cast<Io>(dlsym(driver, "ReadData"));
    const double rate = Rate([&] {
        uint32_t done = 0;
        uint8_t ack = 0;
        return write(kFrame.data(), kFrame.size(), &done) && done == kFrame.size() &&
               read(&ack, 1, &done) && done == 1 && ack == 0x4F;
    });
    dlclose(driver);
    return rate;
}

double RawPtyRate(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    const double rate = Rate([&] {
        if (::write(fd, kFrame.data(), kFrame.size()) != static_cast<ssize_t>(kFrame.size()))
            return false;
        pollfd p{fd, POLLIN, 0};
        uint8_t ack = 0;
        return poll(&p, 1, 1000) == 1 && ::read(fd, &ack, 1) == 1 && ack == 0x4F;
    });
    close(fd);
    return rate;
}

} // namespace

int main() {
    const std::string region = "/zorcomm-bench-" + std::to_string(getpid());
    setenv("ZORCOMM_SHM", region.c_str(), 1);
    setenv("ZORCOMM_SIM_OPTIONS", "--axes 1", 1);
    Report("virtual driver", LibraryRate(ZORCOMM_SIM_DRIVER, CHANNEL_VIRTUAL_SERIAL), RawDriverRate());

    int out[2];
    if (pipe(out) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char *argv[] = {ZORCOMM_SIM_PROGRAM, "serial", "--axes", "1", "--no-control", nullptr};
    pid_t sim = -1;
    posix_spawn(&sim, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
    close(out[1]);
    char line[256] = {};
    ssize_t n = read(out[0], line, sizeof line - 1);
    std::string path = n > 4 ? std::string(line + 4, static_cast<size_t>(n - 4)) : "";
    if (auto end = path.find('\n'); end != std::string::npos) path.resize(end);
    setenv("ZORCOMM_COM7", path.c_str(), 1);
    Report("pty", LibraryRate("COM7", CHANNEL_RS232), RawPtyRate(path));
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    shm_unlink(region.c_str());
    return 0;
}

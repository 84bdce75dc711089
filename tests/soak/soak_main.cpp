// zorcomm-soak: runs the soak on every link, one link after the other, each in a process of its
// own started with what its adapters need in the environment (the stand-in vendor libraries on
// the loader's search path, the SocketCAN interposer preloaded), and bounded by a watchdog.
//
//   zorcomm-soak [--minutes N] [--exchanges N] [--links a,b,...] [--seed N]
//
// Without --minutes every worker thread does --exchanges exchanges (10 000); with it the N
// minutes are split across the links. Exit status 0 when every link passed.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "soak.h"

extern char **environ;

namespace {

using soak::LinkSpec;
using soak::RunOptions;

struct Arguments {
    double minutes = 0;
    RunOptions run;
    std::vector<const LinkSpec *> links;
    std::string only; // the link this process runs (set by the program itself)
    bool valid = true;
};

std::vector<std::string> SplitList(const std::string &text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

Arguments Parse(int argc, char **argv) {
    Arguments arguments;
    arguments.run.seed = static_cast<uint32_t>(std::time(nullptr));
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) arguments.valid = false;
        else if (option == "--minutes") arguments.minutes = std::atof(value);
        else if (option == "--exchanges") arguments.run.target = std::strtoull(value, nullptr, 10);
        else if (option == "--seed") arguments.run.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
        else if (option == "--seconds") arguments.run.secondsPerLink = std::atof(value);
        else if (option == "--kills") arguments.run.kills = std::atoi(value);
        else if (option == "--leaves") arguments.run.leaves = std::atoi(value);
        else if (option == "--link") arguments.only = value;
        else if (option == "--only-loss-fails") arguments.run.onlyLossFails = std::string(value) == "1";
        else if (option == "--links") {
            for (const std::string &name : SplitList(value)) {
                const LinkSpec *link = soak::FindLink(name);
                if (!link) std::fprintf(stderr, "zorcomm-soak: no link named %s\n", name.c_str());
                arguments.valid = arguments.valid && link;
                arguments.links.push_back(link);
            }
        } else arguments.valid = false;
        ++i;
    }
    if (arguments.links.empty())
        for (const auto &link : soak::Links()) arguments.links.push_back(&link);
    if (arguments.minutes < 0 || arguments.run.target == 0) arguments.valid = false;
    return arguments;
}

// Kills and leaves for a link: a few in a short run, more in a long one.
void ChooseEvents(RunOptions &run) {
    if (run.kills != 0 || run.leaves != 0) return;
    if (run.secondsPerLink > 0) {
        run.kills = std::max(1, static_cast<int>(std::lround(run.secondsPerLink / 2.5)));
        run.leaves = std::max(1, static_cast<int>(std::lround(run.secondsPerLink / 6)));
    } else {
        run.kills = 6;
        run.leaves = 3;
    }
    run.kills = std::min(run.kills, soak::kMaxKills);
}

std::string Environment(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

// The link's process: the stand-in CAN libraries on the search path, and for SocketCAN the
// interposer in front of every process of the link.
std::vector<std::string> LinkEnvironment(const LinkSpec &link) {
    const std::string binary = ZORCOMM_BINARY_DIR;
    std::string path = binary + "/sim/vendor";
    std::vector<std::string> variables;
    if (link.kind == soak::Kind::SocketCan) {
        path = binary + "/sim/socketcan/lib:" + path;
        variables.push_back("LD_PRELOAD=" + binary + "/sim/socketcan/libzorcomm-socketcan-sim.so");
        std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
        if (const std::string given = Environment("ASAN_OPTIONS"); !given.empty()) asan += ":" + given;
        variables.push_back(asan);
    }
    variables.push_back("LD_LIBRARY_PATH=" + path);
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const auto &given : variables) replaced = replaced || given.rfind(name, 0) == 0;
        if (!replaced) variables.push_back(text);
    }
    return variables;
}

// Runs one link in a process of its own, in a process group of its own so that a hang can be
// ended with everything the link started. True when it passed.
bool RunLinkProcess(const LinkSpec &link, const RunOptions &run, double limitSeconds) {
    std::vector<std::string> words{"/proc/self/exe", "--link", link.name,
                                   "--exchanges", std::to_string(run.target),
                                   "--seed", std::to_string(run.seed),
                                   "--seconds", std::to_string(run.secondsPerLink),
                                   "--kills", std::to_string(run.kills),
                                   "--leaves", std::to_string(run.leaves),
                                   "--only-loss-fails", run.onlyLossFails ? "1" : "0"};
    std::vector<char *> argv;
    for (auto &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    auto variables = LinkEnvironment(link);
    std::vector<char *> envp;
    for (auto &variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::fflush(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, "/proc/self/exe", nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (failed) {
        std::printf("%-15s FAILED: cannot start its process\n", link.name.c_str());
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            std::printf("%-15s FAILED: hang, the link's run was stopped after %.0f s\n", link.name.c_str(), limitSeconds);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Whatever the link's process left running goes with it.
    kill(-pid, SIGKILL);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char **argv) {
    Arguments arguments = Parse(argc, argv);
    if (!arguments.valid) {
        std::fprintf(stderr, "usage: zorcomm-soak [--minutes N] [--exchanges N] [--links a,b,...] [--seed N] [--only-loss-fails 1]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!arguments.only.empty()) {
        const LinkSpec *link = soak::FindLink(arguments.only);
        return link && soak::RunLink(*link, arguments.run) ? 0 : 1;
    }
    RunOptions run = arguments.run;
    if (arguments.minutes > 0) run.secondsPerLink = arguments.minutes * 60 / static_cast<double>(arguments.links.size());
    ChooseEvents(run);
    const double limit = run.secondsPerLink > 0 ? run.secondsPerLink + 180 : 4 * 3600;
    std::printf("soak: %zu links, %d processes x %d threads each, %s, %d kills and %d leaves per link, seed %u\n",
                arguments.links.size(), soak::kSlots, soak::kThreads,
                run.secondsPerLink > 0 ? (std::to_string(run.secondsPerLink) + " s per link").c_str()
                                       : (std::to_string(run.target) + " exchanges per thread").c_str(),
                run.kills, run.leaves, run.seed);
    int failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const LinkSpec *link : arguments.links) failed += !RunLinkProcess(*link, run, limit);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak: %zu links, %d failed, %.0f s\n", arguments.links.size(), failed, took);
    return failed == 0 ? 0 : 1;
}

// zorcomm-bench: the library beside its baselines on every link, one table.
//
//   zorcomm-bench [--quick] [--rounds N] [--only TEXT]
//
// Every row runs the library's side and its baseline's the same number of times, alternating
// which goes first, and shows the medians. --quick runs every row once and briefly: it fails
// only when a benchmark errs (a transfer failed, a read-back differs), never on a figure.
#include "bench.h"

#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The library finds the stand-in CAN libraries by file name: on the search path, which the
// dynamic loader reads only when a program starts.
void EnsureVendorSearchPath(char **argv)
{
    const char *path = std::getenv("LD_LIBRARY_PATH");
    const std::string vendor = bench::Paths::VendorDir();
    if (path && std::string(path).find(vendor) != std::string::npos) return;
    if (std::getenv("ZORCOMM_BENCH_STARTED")) return; // once only, whatever happened
    setenv("ZORCOMM_BENCH_STARTED", "1", 1);
    setenv("LD_LIBRARY_PATH", (vendor + (path && *path ? ":" + std::string(path) : "")).c_str(), 1);
    execv("/proc/self/exe", argv);
}

std::string Machine()
{
    utsname name{};
    uname(&name);
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    char text[512];
    std::snprintf(text, sizeof text, "Machine: %s, %ld cores, %s %s; load average %.2f at the start", cpu.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), name.sysname, name.release, load[0]);
    return text;
}

int Usage()
{
    std::fprintf(stderr, "usage: zorcomm-bench [--quick] [--rounds N] [--only TEXT]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "worker") == 0) {
        return bench::RunWorker(std::vector<std::string>(argv + 2, argv + argc));
    }
    bench::RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--rounds" && i + 1 < argc) {
            options.rounds = std::atoi(argv[++i]);
            if (options.rounds < 1) return Usage();
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else {
            return Usage();
        }
    }
    EnsureVendorSearchPath(argv);

    // A shared table of our own, so that nothing else using the library meets these channels;
    // the workers of the shared-link row inherit it.
    const std::string region = "/zorcomm-bench-" + std::to_string(getpid());
    setenv("ZORCOMM_SHM", region.c_str(), 1);
    const std::string machine = Machine();

    const std::vector<bench::Group> groups = {
        bench::PacedSerialGroup(),         bench::UnpacedBlockGroup("driver"), bench::UnpacedBlockGroup("pty"),
        bench::UnpacedBlockGroup("udp"),   bench::MessageGroup(),              bench::FastPathGroup(),
        bench::CanGroup(),                 bench::SharedLinkGroup(),
    };
    std::vector<bench::RowResult> results;
    bool failed = false;
    for (const bench::Group &group : groups) {
        std::fprintf(stderr, "%s ", group.name.c_str());
        for (bench::RowResult &result : bench::RunGroup(group, options)) {
            failed = failed || !result.error.empty();
            results.push_back(std::move(result));
        }
        std::fprintf(stderr, "\n");
    }
    shm_unlink(region.c_str());
    bench::PrintTable(results, machine + (options.quick ? " (--quick: one short round, figures mean little)" : ""));
    return failed ? 1 : 0;
}

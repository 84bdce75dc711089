// The POSIX side of the Windows tests: runs one Windows test program under Wine and serves it
// the simulated drives it asks for. The program connects to ZORCOMM_HARNESS (a loopback address
// and port) and sends one command per line; every command gets one reply line:
//
//   serial MIN OPTIONS...   starts `zorcomm-sim serial OPTIONS...` and links the first free
//                           COM port number from MIN on to its pty: "OK ID NUMBER"
//   link MIN PATH           links the first free COM port number from MIN on to PATH (for ports
//                           that lead nowhere): "OK NUMBER"
//   xport OPTIONS...        starts `zorcomm-sim xport OPTIONS...`: "OK ID ADDRESS:PORT"
//   canbus OPTIONS...       starts `zorcomm-sim can-bus OPTIONS...` and a loopback TCP bridge
//                           to its socket, whose connections each get a connection to the
//                           bus and carry its fixed-size packets back to back (AF_UNIX
//                           sequenced packets are beyond Windows programs): "OK ID ADDRESS:PORT"
//   asciican MIN BUS        starts `zorcomm-sim ascii-can` joined to the bus of simulator BUS
//                           and links the first free COM port number from MIN on to its pty:
//                           "OK ID NUMBER"
//   control ID LINE         a control line for simulator ID: its reply line
//   stop ID                 ends simulator ID and removes its COM port link: "OK"
//
// COM ports are links in $WINEPREFIX/dosdevices, made with symlink(), which fails for a name
// that is taken, so parallel tests never share one. Everything started or linked is removed when
// the program ends; the program is killed after --timeout seconds.
//
//   zorcomm-wine-run --prefix DIR --sim PROGRAM --address 127.0.0.N [--timeout S]
//                    [--wine LOADER] -- EXE ARGS...
//
// --wine names the Wine loader to run (and to start the program's own child processes with);
// without it, `wine` from the path. Where the prefix set-up found that this machine cannot run
// that Wine, it left the reason in DIR/unrunnable: the harness prints it and exits with 77, the
// tests' skip code, before starting anything.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string prefix;
    std::string sim;
    std::string address = "127.0.0.1";
    int timeoutSeconds = 240;
    std::string wine; // the loader; empty: `wine` from the path
    std::vector<std::string> program;
};

constexpr int kSkipped = 77;

struct Sim {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    std::string buffer;
    std::string comLink; // the dosdevices link made for it, if any
    int bridge = -1;     // the TCP listener of a bus, if any
    std::string busPath; // the bus's socket
};

// One TCP connection of a Windows stand-in and its connection to the bus.
struct Bridge {
    int tcp = -1;
    int bus = -1;
    std::string pending; // bytes from the TCP side, not yet a whole packet
};
std::vector<Bridge> bridges;
constexpr size_t kBusPacketSize = 40;

std::map<int, Sim> sims;
std::vector<std::string> links;
int nextSimId = 1;

[[noreturn]] void Usage(const char *why) {
    std::fprintf(stderr, "zorcomm-wine-run: %s\nusage: zorcomm-wine-run --prefix DIR --sim "
                         "PROGRAM --address 127.0.0.N [--timeout S] [--wine LOADER] -- "
                         "EXE ARGS...\n", why);
    std::exit(2);
}

Options Parse(int argc, char **argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
        const std::string value = argv[++i];
        if (arg == "--prefix") options.prefix = value;
        else if (arg == "--sim") options.sim = value;
        else if (arg == "--address") options.address = value;
        else if (arg == "--timeout") options.timeoutSeconds = std::atoi(value.c_str());
        else if (arg == "--wine") options.wine = value;
        else Usage(("unknown option " + arg).c_str());
    }
    for (++i; i < argc; ++i) options.program.emplace_back(argv[i]);
    if (options.prefix.empty() || options.sim.empty() || options.program.empty())
        Usage("--prefix, --sim and the program are needed");
    if (options.address.rfind("127.", 0) != 0) Usage("the address must be a loopback address");
    return options;
}

// A line from a descriptor, waiting at most `limit`.
std::optional<std::string> ReadLine(int fd, std::string &buffer, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto end = buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[512];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffer.append(chunk, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// The line without its first `count` words.
std::string Rest(const std::string &line, int count) {
    size_t position = 0;
    for (int i = 0; i < count; ++i) {
        position = line.find_first_not_of(' ', position);
        position = line.find(' ', position);
        if (position == std::string::npos) return {};
    }
    const size_t start = line.find_first_not_of(' ', position);
    return start == std::string::npos ? std::string() : line.substr(start);
}

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::optional<int> StartSim(const Options &options, const std::vector<std::string> &arguments,
                            std::string &firstLine) {
    int in[2], out[2];
    if (pipe(in) != 0) return std::nullopt;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return std::nullopt;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        std::vector<char *> argv{const_cast<char *>(options.sim.c_str())};
        for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    Sim sim{pid, in[1], out[0], {}, {}, -1, {}};
    const auto line = ReadLine(sim.output, sim.buffer, std::chrono::seconds(10));
    const int id = nextSimId++;
    sims[id] = sim;
    if (!line) return std::nullopt;
    firstLine = *line;
    return id;
}

void StopSim(int id) {
    auto found = sims.find(id);
    if (found == sims.end()) return;
    Sim &sim = found->second;
    WriteAll(sim.input, "quit\n");
    close(sim.input);
    close(sim.output);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(sim.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(sim.pid, SIGKILL);
            waitpid(sim.pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    if (!sim.comLink.empty()) unlink(sim.comLink.c_str());
    if (sim.bridge >= 0) close(sim.bridge);
    sims.erase(found);
}

// The first free COM port number from `minimum` on, linked to `target`; 0 when none is free.
int LinkComPort(const Options &options, int minimum, const std::string &target,
                std::string &linkPath) {
    for (int number = std::max(minimum, 1); number <= 255; ++number) {
        linkPath = options.prefix + "/dosdevices/com" + std::to_string(number);
        if (symlink(target.c_str(), linkPath.c_str()) == 0) return number;
        if (errno != EEXIST) return 0;
    }
    return 0;
}

int Listen(const std::string &address, uint16_t &port);

std::string Serve(const Options &options, const std::string &line) {
    const auto words = Words(line);
    if (words.empty()) return "ERR empty command";
    const std::string &command = words[0];
    if ((command == "serial" || command == "link") && words.size() >= 2) {
        const int minimum = std::atoi(words[1].c_str());
        if (command == "link") {
            if (words.size() != 3) return "ERR link MIN PATH";
            std::string path;
            const int number = LinkComPort(options, minimum, words[2], path);
            if (number == 0) return "ERR no free COM port";
            links.push_back(path);
            return "OK " + std::to_string(number);
        }
        std::vector<std::string> arguments{"serial"};
        arguments.insert(arguments.end(), words.begin() + 2, words.end());
        std::string first;
        const auto id = StartSim(options, arguments, first);
        if (!id || first.rfind("PTY ", 0) != 0) return "ERR simulator did not start: " + first;
        std::string path;
        const int number = LinkComPort(options, minimum, first.substr(4), path);
        if (number == 0) return "ERR no free COM port";
        sims[*id].comLink = path;
        return "OK " + std::to_string(*id) + " " + std::to_string(number);
    }
    if (command == "asciican") {
        if (words.size() != 3) return "ERR asciican MIN BUS";
        const auto bus = sims.find(std::atoi(words[2].c_str()));
        if (bus == sims.end() || bus->second.busPath.empty()) return "ERR no such bus";
        std::string first;
        const auto id = StartSim(options, {"ascii-can", "--bus", bus->second.busPath}, first);
        if (!id || first.rfind("PTY ", 0) != 0) return "ERR adapter did not start: " + first;
        std::string path;
        const int number = LinkComPort(options, std::atoi(words[1].c_str()), first.substr(4), path);
        if (number == 0) return "ERR no free COM port";
        sims[*id].comLink = path;
        return "OK " + std::to_string(*id) + " " + std::to_string(number);
    }
    if (command == "xport") {
        std::vector<std::string> arguments{"xport"};
        arguments.insert(arguments.end(), words.begin() + 1, words.end());
        std::string first;
        const auto id = StartSim(options, arguments, first);
        if (!id || first.rfind("XPORT ", 0) != 0) return "ERR simulator did not start: " + first;
        return "OK " + std::to_string(*id) + " " + first.substr(6);
    }
    if (command == "canbus") {
        std::vector<std::string> arguments{"can-bus"};
        arguments.insert(arguments.end(), words.begin() + 1, words.end());
        std::string first;
        const auto id = StartSim(options, arguments, first);
        if (!id || first.rfind("CANBUS ", 0) != 0) return "ERR simulator did not start: " + first;
        uint16_t port = 0;
        const int listener = Listen(options.address, port);
        if (listener < 0) return "ERR no bridge listener";
        sims[*id].bridge = listener;
        sims[*id].busPath = first.substr(7);
        return "OK " + std::to_string(*id) + " " + options.address + ":" + std::to_string(port);
    }
    if (command == "control" && words.size() >= 3) {
        auto found = sims.find(std::atoi(words[1].c_str()));
        if (found == sims.end()) return "ERR no such simulator";
        if (!WriteAll(found->second.input, Rest(line, 2) + "\n")) return "ERR simulator gone";
        const auto reply =
            ReadLine(found->second.output, found->second.buffer, std::chrono::seconds(10));
        return reply ? *reply : "ERR no reply from the simulator";
    }
    if (command == "stop" && words.size() == 2) {
        StopSim(std::atoi(words[1].c_str()));
        return "OK";
    }
    return "ERR unknown command: " + line;
}

int Listen(const std::string &address, uint16_t &port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) return -1;
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(local.sin_port);
    return fd;
}

pid_t StartProgram(const Options &options, uint16_t port) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0); // one group with every process Wine starts for it, killed together
    setenv("WINEPREFIX", options.prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    unsetenv("DISPLAY");
    setenv("ZORCOMM_HARNESS", (options.address + ":" + std::to_string(port)).c_str(), 1);
    // Wine starts the program's child processes with WINELOADER: the same loader, not the
    // wrapper on the path, which may pick the other architecture's.
    if (!options.wine.empty()) setenv("WINELOADER", options.wine.c_str(), 1);
    const char *wine = options.wine.empty() ? "wine" : options.wine.c_str();
    std::vector<char *> argv{const_cast<char *>(wine)};
    for (const auto &argument : options.program) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(wine, argv.data());
    std::perror("zorcomm-wine-run: wine");
    _exit(127);
}

struct Connection {
    int fd;
    std::string buffer;
};

int ConnectBus(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void CloseBridge(Bridge &bridge) {
    if (bridge.tcp >= 0) close(bridge.tcp);
    if (bridge.bus >= 0) close(bridge.bus);
    bridge.tcp = bridge.bus = -1;
}

// TCP -> bus: whole packets only. False when either side has gone.
bool FromStandIn(Bridge &bridge) {
    char chunk[4096];
    const ssize_t got = read(bridge.tcp, chunk, sizeof chunk);
    if (got <= 0) return false;
    bridge.pending.append(chunk, static_cast<size_t>(got));
    while (bridge.pending.size() >= kBusPacketSize) {
        if (send(bridge.bus, bridge.pending.data(), kBusPacketSize, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(kBusPacketSize))
            return false;
        bridge.pending.erase(0, kBusPacketSize);
    }
    return true;
}

// Bus -> TCP: one packet; anything not packet-sized is dropped, as the stand-ins would.
bool FromBus(Bridge &bridge) {
    char packet[kBusPacketSize * 2];
    const ssize_t got = recv(bridge.bus, packet, sizeof packet, 0);
    if (got <= 0) return false;
    if (static_cast<size_t>(got) != kBusPacketSize) return true;
    return WriteAll(bridge.tcp, std::string(packet, kBusPacketSize));
}

// The reason the prefix set-up left when this machine cannot run the prefix's Wine, if it did.
std::optional<std::string> UnrunnableReason(const std::string &prefix) {
    std::ifstream file(prefix + "/unrunnable");
    if (!file) return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

int main(int argc, char **argv) {
    const Options options = Parse(argc, argv);
    if (const auto reason = UnrunnableReason(options.prefix)) {
        std::printf("skipped: %s", reason->c_str());
        return kSkipped;
    }
    signal(SIGPIPE, SIG_IGN);
    uint16_t port = 0;
    const int listener = Listen(options.address, port);
    if (listener < 0) {
        std::perror("zorcomm-wine-run: listen");
        return 1;
    }
    const pid_t program = StartProgram(options, port);
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
    std::vector<Connection> connections;
    int status = 0;
    bool timedOut = false;
    while (waitpid(program, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "zorcomm-wine-run: no end after %d s, killed\n",
                         options.timeoutSeconds);
            kill(-program, SIGKILL);
            waitpid(program, &status, 0);
            timedOut = true;
            break;
        }
        std::vector<pollfd> entries{{listener, POLLIN, 0}};
        for (const auto &connection : connections) entries.push_back({connection.fd, POLLIN, 0});
        // Then the bus bridges' listeners and both sides of each bridge.
        const size_t bridgeStart = entries.size();
        std::vector<int> busSims;
        for (const auto &[id, sim] : sims) {
            if (sim.bridge < 0) continue;
            entries.push_back({sim.bridge, POLLIN, 0});
            busSims.push_back(id);
        }
        const size_t pairStart = entries.size();
        for (const auto &bridge : bridges) {
            entries.push_back({bridge.tcp, POLLIN, 0});
            entries.push_back({bridge.bus, POLLIN, 0});
        }
        if (poll(entries.data(), entries.size(), 50) <= 0) continue;
        for (size_t i = 0; i < bridges.size(); ++i) {
            const short tcp = entries[pairStart + 2 * i].revents;
            const short bus = entries[pairStart + 2 * i + 1].revents;
            bool open = true;
            if (tcp & (POLLIN | POLLHUP | POLLERR)) open = FromStandIn(bridges[i]);
            if (open && (bus & (POLLIN | POLLHUP | POLLERR))) open = FromBus(bridges[i]);
            if (!open) CloseBridge(bridges[i]);
        }
        std::erase_if(bridges, [](const Bridge &b) { return b.tcp < 0; });
        for (size_t i = 0; i < busSims.size(); ++i) {
            if (!(entries[bridgeStart + i].revents & POLLIN)) continue;
            const int fd = accept4(sims[busSims[i]].bridge, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int bus = ConnectBus(sims[busSims[i]].busPath);
            if (bus < 0) {
                close(fd);
                continue;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            bridges.push_back({fd, bus, {}});
        }
        if (entries[0].revents & POLLIN) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) connections.push_back({fd, {}});
        }
        for (size_t i = 1; i < bridgeStart; ++i) {
            if (!(entries[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Connection &connection = connections[i - 1];
            char chunk[1024];
            const ssize_t got = read(connection.fd, chunk, sizeof chunk);
            if (got <= 0) {
                close(connection.fd);
                connection.fd = -1;
                continue;
            }
            connection.buffer.append(chunk, static_cast<size_t>(got));
            for (auto end = connection.buffer.find('\n'); end != std::string::npos;
                 end = connection.buffer.find('\n')) {
                std::string line = connection.buffer.substr(0, end);
                connection.buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                WriteAll(connection.fd, Serve(options, line) + "\n");
            }
        }
        std::erase_if(connections, [](const Connection &c) { return c.fd < 0; });
    }
    kill(-program, SIGKILL); // whatever the program left running in its group
    for (const auto &connection : connections) close(connection.fd);
    for (auto &bridge : bridges) CloseBridge(bridge);
    while (!sims.empty()) StopSim(sims.begin()->first);
    for (const auto &link : links) unlink(link.c_str());
    if (timedOut) return 124;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

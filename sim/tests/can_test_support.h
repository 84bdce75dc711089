// Helpers of the CAN bus and stand-in library tests: a bus process on a socket of its own, a
// raw bus client speaking the packet protocol, a stand-in library loaded with dlopen.
#pragma once

#include "can_bus_protocol.h"
#include "sim_child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zsim_test {

// A directory of its own under /tmp, removed with what is in it.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/zc-canbus-XXXXXX";
        if (mkdtemp(pattern)) path_ = pattern;
    }
    ~TempDir()
    {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// `zorcomm-sim can-bus` on <temp dir>/bus.sock.
class BusProcess {
public:
    explicit BusProcess(std::vector<std::string> options = {})
        : socket_(dir_.File("bus.sock")), sim_(Arguments(socket_, std::move(options)))
    {
        first_ = sim_.Line().value_or("");
    }
    const std::string &first_line() const { return first_; }
    const std::string &socket() const { return socket_; }
    const TempDir &dir() const { return dir_; }
    std::string Control(const std::string &line) { return sim_.Control(line); }
    SimProcess &process() { return sim_; }

private:
    static std::vector<std::string> Arguments(const std::string &socket, std::vector<std::string> options)
    {
        std::vector<std::string> args{"can-bus", "--socket", socket};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
    TempDir dir_;
    std::string socket_;
    SimProcess sim_;
    std::string first_;
};

// Polls `done` every millisecond until it holds or `limit` passes.
inline bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds limit = 3s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A client of the bus speaking its packets directly.
class RawClient {
public:
    RawClient(const std::string &socketPath, const std::string &family, uint32_t rate)
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return;
        zsim::canbus::Packet hello = zsim::canbus::HelloPacket(family, static_cast<uint32_t>(getpid()));
        hello.value = rate;
        connected_ = Send(hello);
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    bool Send(const zsim::canbus::Packet &packet)
    {
        return send(fd_, &packet, sizeof packet, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof packet);
    }
    bool SendFrame(const zsim::canbus::BusFrame &frame) { return Send(zsim::canbus::FramePacket(frame)); }
    // The next packet within `limit`, of whatever type.
    std::optional<zsim::canbus::Packet> ReceivePacket(std::chrono::milliseconds limit = 2s)
    {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        zsim::canbus::Packet packet;
        if (recv(fd_, &packet, sizeof packet, 0) != static_cast<ssize_t>(sizeof packet)) return std::nullopt;
        return packet;
    }
    // The next frame within `limit`.
    std::optional<zsim::canbus::BusFrame> Receive(std::chrono::milliseconds limit = 2s)
    {
        const auto packet = ReceivePacket(limit);
        zsim::canbus::BusFrame frame;
        if (!packet || !zsim::canbus::PacketFrame(*packet, frame)) return std::nullopt;
        return frame;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

inline zsim::canbus::BusFrame MakeFrame(uint32_t id, bool extended, std::initializer_list<uint8_t> bytes)
{
    zsim::canbus::BusFrame frame;
    frame.id = id;
    frame.extended = extended;
    for (uint8_t byte : bytes) frame.data[frame.dlc++] = byte;
    return frame;
}

// Waits until the bus lists `count` clients (they join asynchronously).
inline bool WaitForClients(BusProcess &bus, std::size_t count)
{
    return WaitFor([&] {
        const std::string reply = bus.Control("clients");
        std::size_t listed = 0;
        for (std::size_t at = 0; (at = reply.find(':', at)) != std::string::npos; at += 1) ++listed;
        return listed / 3 == count;
    });
}

// A stand-in library loaded by path for the test's lifetime.
class VendorLibrary {
public:
    explicit VendorLibrary(const std::string &path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~VendorLibrary()
    {
        if (handle_) dlclose(handle_);
    }
    bool loaded() const { return handle_ != nullptr; }
    void *Symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
    template <typename Function> Function Get(const char *name) const
    {
        return reinterpret_cast<Function>(Symbol(name));
    }

private:
    void *handle_;
};

inline std::string VendorPath(const std::string &file) { return std::string(ZSIM_VENDOR_DIR) + "/" + file; }

} // namespace zsim_test

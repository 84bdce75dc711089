// libzorcomm-socketcan-sim.so: SocketCAN for processes on a kernel without it, loaded with
// LD_PRELOAD. It answers the system calls of raw CAN sockets (PF_CAN, SOCK_RAW, CAN_RAW) the way
// the kernel does, over `zorcomm-sim can-bus`: every socket is a client of the bus, the
// interfaces are those of interfaces.h. Descriptors that are not CAN sockets go straight to the
// real calls.
//
// What a socket sees, as on Linux: every frame of the bus that passes its CAN_RAW_FILTER (a
// frame that passes several filters arrives once per filter), frames of other sockets of its
// interface while their CAN_RAW_LOOPBACK is on, its own frames only with CAN_RAW_RECV_OWN_MSGS,
// and error frames whose class is in its CAN_RAW_ERR_FILTER. A write to an interface that is
// down fails with ENETDOWN, one whose transmit queue is full (txqueue=full) with ENOBUFS; a
// socket whose interface goes down gets ENETDOWN once (poll reports POLLERR).
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "can_bus_protocol.h"
#include "interfaces.h"

namespace {

namespace canbus = zsim::canbus;
namespace sc = zsim::socketcan;

struct Real {
    int (*socket)(int, int, int);
    int (*bind)(int, const sockaddr *, socklen_t);
    int (*setsockopt)(int, int, int, const void *, socklen_t);
    int (*getsockopt)(int, int, int, void *, socklen_t *);
    int (*ioctl)(int, unsigned long, void *);
    unsigned (*if_nametoindex)(const char *);
    char *(*if_indextoname)(unsigned, char *);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*send)(int, const void *, size_t, int);
    ssize_t (*recvfrom)(int, void *, size_t, int, sockaddr *, socklen_t *);
    ssize_t (*sendto)(int, const void *, size_t, int, const sockaddr *, socklen_t);
    int (*poll)(pollfd *, nfds_t, int);
    int (*close)(int);
};

template <typename F> void Bind(F &function, const char *name)
{
    function = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const Real &R()
{
    static const Real real = [] {
        Real r{};
        Bind(r.socket, "socket");
        Bind(r.bind, "bind");
        Bind(r.setsockopt, "setsockopt");
        Bind(r.getsockopt, "getsockopt");
        Bind(r.ioctl, "ioctl");
        Bind(r.if_nametoindex, "if_nametoindex");
        Bind(r.if_indextoname, "if_indextoname");
        Bind(r.read, "read");
        Bind(r.write, "write");
        Bind(r.recv, "recv");
        Bind(r.send, "send");
        Bind(r.recvfrom, "recvfrom");
        Bind(r.sendto, "sendto");
        Bind(r.poll, "poll");
        Bind(r.close, "close");
        return r;
    }();
    return real;
}

// Which descriptors are CAN sockets, readable without a lock: every read and write of the
// process asks.
constexpr int kMaxDescriptors = 65536;
std::atomic<uint8_t> gIsCan[kMaxDescriptors];

bool IsCan(int fd) { return fd >= 0 && fd < kMaxDescriptors && gIsCan[fd].load(std::memory_order_acquire) != 0; }

constexpr std::size_t kQueueLimit = 4096; // frames a socket keeps before it drops new ones
constexpr int kSliceMs = 20;              // how often a waiting call looks at the interface again

struct Received {
    can_frame frame;
    bool own;
};

struct CanSocket {
    bool bound = false;
    bool busGone = false;
    uint32_t syncs = 0; // the bus's syncs asked for
    unsigned ifindex = 0;
    std::string ifname;
    std::vector<can_filter> filters{can_filter{0, 0}}; // the kernel's default: everything
    can_err_mask_t errMask = 0;
    int loopback = 1;
    int recvOwn = 0;
    int fdFrames = 0;
    int joinFilters = 0;
    std::deque<Received> ready;
    int pendingError = 0;
    sc::Stamp stamp;
    bool up = false;
    bool txFull = false;
    uint32_t busRate = 0;
};

std::mutex gMutex;
std::map<int, CanSocket> gSockets;

CanSocket *Find(int fd)
{
    auto it = gSockets.find(fd);
    return it == gSockets.end() ? nullptr : &it->second;
}

int Fail(int code)
{
    errno = code;
    return -1;
}

uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000;
}

void TellRate(int fd, CanSocket &socket, uint32_t rate)
{
    if (rate == socket.busRate) return;
    socket.busRate = rate;
    const canbus::Packet packet = canbus::BitRatePacket(rate);
    R().send(fd, &packet, sizeof packet, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Follows the interface's file: its bit rate and state as the bus sees them, and the error a
// socket gets when its interface goes down or away.
void Refresh(int fd, CanSocket &socket)
{
    if (!socket.bound) return;
    const sc::Stamp stamp = sc::StampOf(socket.ifname);
    if (stamp == socket.stamp) return;
    socket.stamp = stamp;
    const auto interface = sc::Find(socket.ifname);
    if (!interface || interface->index != socket.ifindex) {
        if (socket.up) socket.pendingError = ENODEV;
        socket.up = false;
        TellRate(fd, socket, 0);
        return;
    }
    if (socket.up && !interface->up) socket.pendingError = ENETDOWN;
    socket.up = interface->up;
    socket.txFull = interface->txFull;
    TellRate(fd, socket, interface->up ? interface->bitrate : 0);
}

// How often a frame is delivered to the socket: once per filter it passes (error frames: once
// when their class is wanted), as the kernel's receive lists do it.
int Deliveries(const CanSocket &socket, canid_t id)
{
    if (id & CAN_ERR_FLAG) {
        int n = (id & socket.errMask & CAN_ERR_MASK) ? 1 : 0;
        for (const can_filter &filter : socket.filters)
            if ((filter.can_mask & CAN_ERR_FLAG) && (id & filter.can_mask & CAN_ERR_MASK)) ++n;
        return n;
    }
    int n = 0;
    for (const can_filter &filter : socket.filters) {
        canid_t mask = filter.can_mask;
        if (mask & CAN_ERR_FLAG) continue;
        const bool inverted = (filter.can_id & CAN_INV_FILTER) != 0;
        if ((mask & CAN_EFF_FLAG) && !(filter.can_id & CAN_EFF_FLAG))
            mask &= (CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG);
        const bool hit = (id & mask) == (filter.can_id & mask);
        if (hit != inverted) ++n;
    }
    if (socket.joinFilters) return n == static_cast<int>(socket.filters.size()) && n > 0 ? 1 : 0;
    return n;
}

void Enqueue(CanSocket &socket, const can_frame &frame, bool own)
{
    for (int n = Deliveries(socket, frame.can_id); n > 0; --n) {
        if (socket.ready.size() >= kQueueLimit) return;
        socket.ready.push_back({frame, own});
    }
}

can_frame ErrorFrame(const canbus::BusFrame &bus)
{
    can_frame frame{};
    canid_t klass = bus.id & CAN_ERR_MASK;
    if (klass == 0) klass = CAN_ERR_PROT | CAN_ERR_BUSERROR; // the bus tells no more than "error"
    frame.can_id = CAN_ERR_FLAG | klass;
    frame.len = CAN_ERR_DLC;
    std::memcpy(frame.data, bus.data, sizeof frame.data);
    return frame;
}

void OnPacket(CanSocket &socket, const canbus::Packet &packet)
{
    canbus::BusFrame bus;
    if (!canbus::PacketFrame(packet, bus)) return;
    if (bus.error) {
        Enqueue(socket, ErrorFrame(bus), false);
        return;
    }
    // A frame of another socket of this interface that was sent without loopback.
    const std::string origin(packet.name, strnlen(packet.name, sizeof packet.name));
    if ((packet.reserved & canbus::kNoLocalEcho) && origin == socket.ifname) return;
    can_frame frame{};
    frame.can_id = bus.id | (bus.extended ? CAN_EFF_FLAG : 0) | (bus.remote ? CAN_RTR_FLAG : 0);
    frame.len = bus.dlc;
    std::memcpy(frame.data, bus.data, sizeof frame.data);
    Enqueue(socket, frame, false);
}

// Takes in what the bus has sent, without waiting for frames. When nothing is there it asks the
// bus for a sync first: every frame the bus sent before it read the sync arrives ahead of the
// answer, so a frame that reached other sockets of the bus has reached this one too, as on a
// real bus.
void Drain(int fd, CanSocket &socket)
{
    constexpr int kSyncWaitMs = 500;
    if (!socket.bound || socket.busGone) return;
    uint32_t asked = 0;
    for (;;) {
        canbus::Packet packet;
        const ssize_t got = R().recv(fd, &packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                socket.busGone = true;
                socket.pendingError = ENETDOWN;
                return;
            }
            if (asked == 0) {
                while (asked == 0) asked = ++socket.syncs;
                const canbus::Packet sync = canbus::SyncPacket(asked);
                if (R().send(fd, &sync, sizeof sync, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof sync))
                    return;
            }
            pollfd entry{fd, POLLIN, 0};
            if (R().poll(&entry, 1, kSyncWaitMs) != 1) return;
            continue;
        }
        if (static_cast<std::size_t>(got) == sizeof packet &&
            packet.type == static_cast<uint8_t>(canbus::PacketType::Sync)) {
            if (packet.value == asked) return;
            continue;
        }
        if (got == 0) {
            socket.busGone = true;
            socket.pendingError = ENETDOWN;
            return;
        }
        if (static_cast<std::size_t>(got) == sizeof packet) OnPacket(socket, packet);
    }
}

// Brings the socket up to date; true when a read would not wait.
bool Readable(int fd, CanSocket &socket)
{
    Refresh(fd, socket);
    Drain(fd, socket);
    return !socket.ready.empty() || socket.pendingError != 0;
}

bool NonBlocking(int fd, int flags)
{
    return (flags & MSG_DONTWAIT) || (fcntl(fd, F_GETFL) & O_NONBLOCK);
}

// SO_RCVTIMEO / SO_SNDTIMEO of the descriptor in milliseconds, -1 for none.
int TimeoutOf(int fd, int option)
{
    timeval value{};
    socklen_t size = sizeof value;
    if (R().getsockopt(fd, SOL_SOCKET, option, &value, &size) != 0) return -1;
    if (value.tv_sec == 0 && value.tv_usec == 0) return -1;
    return static_cast<int>(value.tv_sec * 1000 + value.tv_usec / 1000);
}

// Waits until a read of the socket would not wait, up to `timeoutMs` (-1: without limit).
bool AwaitReadable(int fd, int timeoutMs)
{
    const uint64_t start = NowMs();
    for (;;) {
        bool bound = false;
        {
            std::lock_guard lock(gMutex);
            CanSocket *socket = Find(fd);
            if (!socket) return true; // closed meanwhile: the call reports it
            if (Readable(fd, *socket)) return true;
            bound = socket->bound && !socket->busGone;
        }
        int slice = kSliceMs;
        if (timeoutMs >= 0) {
            const uint64_t spent = NowMs() - start;
            if (spent >= static_cast<uint64_t>(timeoutMs)) return false;
            slice = std::min<int>(slice, static_cast<int>(timeoutMs - spent));
        }
        pollfd entry{bound ? fd : -1, POLLIN, 0};
        R().poll(&entry, 1, slice);
    }
}

ssize_t CanReceive(int fd, void *buffer, size_t length, int flags, sockaddr *from, socklen_t *fromLength)
{
    if (!AwaitReadable(fd, NonBlocking(fd, flags) ? 0 : TimeoutOf(fd, SO_RCVTIMEO))) return Fail(EAGAIN);
    std::lock_guard lock(gMutex);
    CanSocket *socket = Find(fd);
    if (!socket) return Fail(EBADF);
    if (socket->pendingError) return Fail(std::exchange(socket->pendingError, 0));
    if (socket->ready.empty()) return Fail(EAGAIN);
    const Received received = socket->ready.front();
    if (!(flags & MSG_PEEK)) socket->ready.pop_front();
    const size_t copied = std::min(length, sizeof received.frame);
    if (buffer) std::memcpy(buffer, &received.frame, copied);
    if (from && fromLength) {
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(socket->ifindex);
        std::memcpy(from, &address, std::min<socklen_t>(*fromLength, sizeof address));
        *fromLength = sizeof address;
    }
    return static_cast<ssize_t>(copied);
}

ssize_t CanSend(int fd, const void *buffer, size_t length, int flags, const sockaddr *to, socklen_t toLength)
{
    canbus::Packet packet;
    can_frame frame{};
    {
        std::lock_guard lock(gMutex);
        CanSocket *socket = Find(fd);
        if (!socket) return Fail(EBADF);
        unsigned ifindex = socket->ifindex;
        if (to) {
            if (toLength < sizeof(sockaddr_can) || reinterpret_cast<const sockaddr_can *>(to)->can_family != AF_CAN)
                return Fail(EINVAL);
            ifindex = static_cast<unsigned>(reinterpret_cast<const sockaddr_can *>(to)->can_ifindex);
            if (ifindex != socket->ifindex) return Fail(EOPNOTSUPP); // only the bound interface here
        }
        if (!socket->bound || ifindex == 0) return Fail(ENXIO);
        // Classic frames only: these interfaces carry no CAN FD.
        if (length != CAN_MTU || !buffer) return Fail(EINVAL);
        std::memcpy(&frame, buffer, sizeof frame);
        if (frame.len > CAN_MAX_DLEN || (frame.can_id & CAN_ERR_FLAG)) return Fail(EINVAL);
        Refresh(fd, *socket);
        if (socket->pendingError) return Fail(std::exchange(socket->pendingError, 0));
        if (!socket->up || socket->busGone) return Fail(ENETDOWN);
        if (socket->txFull) return Fail(ENOBUFS);
        canbus::BusFrame bus;
        bus.extended = (frame.can_id & CAN_EFF_FLAG) != 0;
        bus.remote = (frame.can_id & CAN_RTR_FLAG) != 0;
        bus.id = frame.can_id & (bus.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
        bus.dlc = frame.len;
        std::memcpy(bus.data, frame.data, sizeof bus.data);
        packet = canbus::FramePacket(bus);
        std::memcpy(packet.name, socket->ifname.data(), std::min(socket->ifname.size(), sizeof packet.name - 1));
        packet.reserved = socket->loopback ? 0 : canbus::kNoLocalEcho;
    }
    ssize_t sent;
    do {
        sent = R().send(fd, &packet, sizeof packet, MSG_NOSIGNAL | (NonBlocking(fd, flags) ? MSG_DONTWAIT : 0));
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return Fail(errno == EAGAIN || errno == EWOULDBLOCK ? EAGAIN : ENETDOWN);
    std::lock_guard lock(gMutex);
    if (CanSocket *socket = Find(fd); socket && socket->loopback && socket->recvOwn) Enqueue(*socket, frame, true);
    return static_cast<ssize_t>(length);
}

// Joins the bus at `rate` and waits (bounded) until the bus has taken the socket in, so that
// the socket hears every frame sent after bind returns, as a kernel socket does.
int ConnectToBus(int fd, const std::string &path, uint32_t rate)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return Fail(ENETDOWN);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return Fail(ENETDOWN);
    canbus::Packet hello = canbus::HelloPacket("socketcan", static_cast<uint32_t>(getpid()));
    hello.value = rate;
    hello.reserved = canbus::kWantWelcome;
    if (R().send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello)) return Fail(ENETDOWN);
    pollfd entry{fd, POLLIN, 0};
    if (R().poll(&entry, 1, 2000) != 1) return Fail(ENETDOWN);
    canbus::Packet welcome;
    if (R().recv(fd, &welcome, sizeof welcome, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof welcome) ||
        welcome.type != static_cast<uint8_t>(canbus::PacketType::Hello))
        return Fail(ENETDOWN);
    return 0;
}

int CanBind(int fd, const sockaddr *address, socklen_t length)
{
    if (!address || length < sizeof(sockaddr_can)) return Fail(EINVAL);
    const auto *can = reinterpret_cast<const sockaddr_can *>(address);
    if (can->can_family != AF_CAN) return Fail(EINVAL);
    // Binding to every interface at once (index 0) is not simulated.
    if (can->can_ifindex <= 0) return Fail(EINVAL);
    const auto interface = sc::FindByIndex(static_cast<unsigned>(can->can_ifindex));
    if (!interface || interface->type != sc::LinkType::Can) return Fail(ENODEV);
    std::lock_guard lock(gMutex);
    CanSocket *socket = Find(fd);
    if (!socket) return Fail(EBADF);
    if (socket->bound) {
        // Bound again: a fresh connection to the bus under the same descriptor.
        const int fresh = R().socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fresh < 0 || dup3(fresh, fd, O_CLOEXEC) < 0) {
            if (fresh >= 0) R().close(fresh);
            return Fail(ENOMEM);
        }
        R().close(fresh);
        socket->ready.clear();
        socket->bound = false;
        socket->busGone = false;
        socket->busRate = 0;
    }
    const uint32_t rate = interface->up ? interface->bitrate : 0;
    if (ConnectToBus(fd, sc::BusPath(*interface), rate) != 0) return -1;
    socket->busRate = rate;
    socket->bound = true;
    socket->ifindex = interface->index;
    socket->ifname = interface->name;
    socket->stamp = sc::StampOf(interface->name);
    socket->up = interface->up;
    socket->txFull = interface->txFull;
    TellRate(fd, *socket, interface->up ? interface->bitrate : 0);
    // As the kernel does: binding to an interface that is down succeeds, the socket learns it.
    if (!interface->up) socket->pendingError = ENETDOWN;
    return 0;
}

template <typename T> int IntOption(const void *value, socklen_t length, T &into)
{
    if (!value || length != sizeof(int)) return Fail(EINVAL);
    int number;
    std::memcpy(&number, value, sizeof number);
    into = number ? 1 : 0;
    return 0;
}

int CanSetOption(int fd, int name, const void *value, socklen_t length)
{
    std::lock_guard lock(gMutex);
    CanSocket *socket = Find(fd);
    if (!socket) return Fail(EBADF);
    switch (name) {
    case CAN_RAW_FILTER: {
        if (length % sizeof(can_filter) != 0 || length / sizeof(can_filter) > CAN_RAW_FILTER_MAX) return Fail(EINVAL);
        if (length > 0 && !value) return Fail(EFAULT);
        std::vector<can_filter> filters(length / sizeof(can_filter));
        if (length > 0) std::memcpy(filters.data(), value, length);
        socket->filters = std::move(filters);
        return 0;
    }
    case CAN_RAW_ERR_FILTER:
        if (!value || length != sizeof(can_err_mask_t)) return Fail(EINVAL);
        std::memcpy(&socket->errMask, value, sizeof socket->errMask);
        socket->errMask &= CAN_ERR_MASK;
        return 0;
    case CAN_RAW_LOOPBACK:
        return IntOption(value, length, socket->loopback);
    case CAN_RAW_RECV_OWN_MSGS:
        return IntOption(value, length, socket->recvOwn);
    case CAN_RAW_FD_FRAMES:
        return IntOption(value, length, socket->fdFrames);
    case CAN_RAW_JOIN_FILTERS:
        return IntOption(value, length, socket->joinFilters);
    default:
        return Fail(ENOPROTOOPT);
    }
}

int CanGetOption(int fd, int name, void *value, socklen_t *length)
{
    std::lock_guard lock(gMutex);
    CanSocket *socket = Find(fd);
    if (!socket) return Fail(EBADF);
    if (!value || !length) return Fail(EFAULT);
    auto give = [&](const void *data, socklen_t size) {
        const socklen_t copied = std::min(*length, size);
        std::memcpy(value, data, copied);
        *length = copied;
        return 0;
    };
    switch (name) {
    case CAN_RAW_FILTER:
        return give(socket->filters.data(), static_cast<socklen_t>(socket->filters.size() * sizeof(can_filter)));
    case CAN_RAW_ERR_FILTER:
        return give(&socket->errMask, sizeof socket->errMask);
    case CAN_RAW_LOOPBACK:
        return give(&socket->loopback, sizeof(int));
    case CAN_RAW_RECV_OWN_MSGS:
        return give(&socket->recvOwn, sizeof(int));
    case CAN_RAW_FD_FRAMES:
        return give(&socket->fdFrames, sizeof(int));
    case CAN_RAW_JOIN_FILTERS:
        return give(&socket->joinFilters, sizeof(int));
    default:
        return Fail(ENOPROTOOPT);
    }
}

// The interface requests of ioctl for a simulated interface; false when the name is not one.
bool InterfaceRequest(unsigned long request, ifreq *ifr, int &result)
{
    if (!ifr) return false;
    std::optional<sc::Interface> interface;
    if (request == SIOCGIFNAME) interface = sc::FindByIndex(static_cast<unsigned>(ifr->ifr_ifindex));
    else interface = sc::Find(std::string(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ)));
    if (!interface) return false;
    result = 0;
    switch (request) {
    case SIOCGIFINDEX:
        ifr->ifr_ifindex = static_cast<int>(interface->index);
        return true;
    case SIOCGIFNAME:
        std::memset(ifr->ifr_name, 0, IFNAMSIZ);
        std::memcpy(ifr->ifr_name, interface->name.data(), std::min<std::size_t>(interface->name.size(), IFNAMSIZ - 1));
        return true;
    case SIOCGIFFLAGS:
        ifr->ifr_flags = static_cast<short>(interface->up ? (IFF_UP | IFF_RUNNING) : 0);
        if (interface->type == sc::LinkType::Can) ifr->ifr_flags |= IFF_NOARP;
        if (interface->type == sc::LinkType::Loopback) ifr->ifr_flags |= IFF_LOOPBACK;
        return true;
    case SIOCGIFHWADDR:
        std::memset(&ifr->ifr_hwaddr, 0, sizeof ifr->ifr_hwaddr);
        ifr->ifr_hwaddr.sa_family = interface->type == sc::LinkType::Can     ? ARPHRD_CAN
                                    : interface->type == sc::LinkType::Ether ? ARPHRD_ETHER
                                                                             : ARPHRD_LOOPBACK;
        return true;
    case SIOCGIFMTU:
        ifr->ifr_mtu = interface->type == sc::LinkType::Can ? CAN_MTU : 1500;
        return true;
    default:
        return false;
    }
}

bool IsInterfaceQuery(unsigned long request)
{
    return request == SIOCGIFINDEX || request == SIOCGIFNAME || request == SIOCGIFFLAGS ||
           request == SIOCGIFHWADDR || request == SIOCGIFMTU;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol) noexcept
{
    if (domain != PF_CAN) return R().socket(domain, type, protocol);
    // Without simulated interfaces this is a kernel without CAN, as the machines here are.
    if (sc::Directory().empty()) return Fail(EAFNOSUPPORT);
    if ((type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) != SOCK_RAW || protocol != CAN_RAW) return Fail(EPROTONOSUPPORT);
    const int fd = R().socket(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0);
    if (fd < 0) return fd;
    if (fd >= kMaxDescriptors) {
        R().close(fd);
        return Fail(EMFILE);
    }
    std::lock_guard lock(gMutex);
    gSockets[fd] = CanSocket{};
    gIsCan[fd].store(1, std::memory_order_release);
    return fd;
}

__attribute__((visibility("default"))) int bind(int fd, const sockaddr *address, socklen_t length) noexcept
{
    return IsCan(fd) ? CanBind(fd, address, length) : R().bind(fd, address, length);
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name, const void *value,
                                                      socklen_t length) noexcept
{
    if (IsCan(fd) && level == SOL_CAN_RAW) return CanSetOption(fd, name, value, length);
    return R().setsockopt(fd, level, name, value, length);
}

__attribute__((visibility("default"))) int getsockopt(int fd, int level, int name, void *value,
                                                      socklen_t *length) noexcept
{
    if (IsCan(fd) && level == SOL_CAN_RAW) return CanGetOption(fd, name, value, length);
    if (IsCan(fd) && level == SOL_SOCKET && name == SO_ERROR && value && length && *length >= sizeof(int)) {
        // Reading the error clears it, as the kernel's does.
        std::lock_guard lock(gMutex);
        CanSocket *socket = Find(fd);
        if (!socket) return Fail(EBADF);
        Refresh(fd, *socket);
        const int pending = std::exchange(socket->pendingError, 0);
        std::memcpy(value, &pending, sizeof pending);
        *length = sizeof pending;
        return 0;
    }
    return R().getsockopt(fd, level, name, value, length);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (!IsInterfaceQuery(request)) return R().ioctl(fd, request, argument);
    int result = 0;
    if (InterfaceRequest(request, static_cast<ifreq *>(argument), result)) return result;
    if (!IsCan(fd)) return R().ioctl(fd, request, argument);
    // The machine's own interfaces (lo ...), asked on a socket the kernel knows.
    const int scratch = R().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (scratch < 0) return -1;
    result = R().ioctl(scratch, request, argument);
    const int code = errno;
    R().close(scratch);
    errno = code;
    return result;
}

__attribute__((visibility("default"))) unsigned if_nametoindex(const char *name) noexcept
{
    if (name) {
        if (auto interface = sc::Find(std::string(name, strnlen(name, IFNAMSIZ)))) return interface->index;
    }
    return R().if_nametoindex(name);
}

__attribute__((visibility("default"))) char *if_indextoname(unsigned index, char *name) noexcept
{
    if (name) {
        if (auto interface = sc::FindByIndex(index)) {
            std::memset(name, 0, IF_NAMESIZE);
            std::memcpy(name, interface->name.data(), std::min<std::size_t>(interface->name.size(), IF_NAMESIZE - 1));
            return name;
        }
    }
    return R().if_indextoname(index, name);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buffer, size_t length)
{
    return IsCan(fd) ? CanReceive(fd, buffer, length, 0, nullptr, nullptr) : R().read(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buffer, size_t length)
{
    return IsCan(fd) ? CanSend(fd, buffer, length, 0, nullptr, 0) : R().write(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    return IsCan(fd) ? CanReceive(fd, buffer, length, flags, nullptr, nullptr) : R().recv(fd, buffer, length, flags);
}

__attribute__((visibility("default"))) ssize_t send(int fd, const void *buffer, size_t length, int flags)
{
    return IsCan(fd) ? CanSend(fd, buffer, length, flags, nullptr, 0) : R().send(fd, buffer, length, flags);
}

__attribute__((visibility("default"))) ssize_t recvfrom(int fd, void *buffer, size_t length, int flags,
                                                        sockaddr *from, socklen_t *fromLength)
{
    return IsCan(fd) ? CanReceive(fd, buffer, length, flags, from, fromLength)
                     : R().recvfrom(fd, buffer, length, flags, from, fromLength);
}

__attribute__((visibility("default"))) ssize_t sendto(int fd, const void *buffer, size_t length, int flags,
                                                      const sockaddr *to, socklen_t toLength)
{
    return IsCan(fd) ? CanSend(fd, buffer, length, flags, to, toLength)
                     : R().sendto(fd, buffer, length, flags, to, toLength);
}

__attribute__((visibility("default"))) int poll(pollfd *fds, nfds_t count, int timeout)
{
    bool any = false;
    for (nfds_t i = 0; i < count && !any; ++i) any = IsCan(fds[i].fd);
    if (!any) return R().poll(fds, count, timeout);

    const uint64_t start = NowMs();
    std::vector<pollfd> real(fds, fds + count);
    for (;;) {
        bool canReady = false;
        for (nfds_t i = 0; i < count; ++i) {
            real[i] = fds[i];
            if (!IsCan(fds[i].fd)) continue;
            std::lock_guard lock(gMutex);
            CanSocket *socket = Find(fds[i].fd);
            if (!socket) continue;
            canReady = canReady || ((fds[i].events & POLLIN) && Readable(fds[i].fd, *socket)) || socket->pendingError;
            // The bus connection says when frames arrive and whether a write would wait.
            if (!socket->bound || socket->busGone) real[i].fd = -1;
            else real[i].events = static_cast<short>((fds[i].events & POLLOUT) | POLLIN);
        }
        int slice = canReady ? 0 : kSliceMs;
        bool last = false;
        if (timeout >= 0) {
            const uint64_t spent = NowMs() - start;
            const int left = spent >= static_cast<uint64_t>(timeout) ? 0 : static_cast<int>(timeout - spent);
            if (left <= slice) {
                slice = left;
                last = true;
            }
        }
        const int result = R().poll(real.data(), count, slice);
        if (result < 0) return result;
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            short events = real[i].revents;
            if (IsCan(fds[i].fd)) {
                events = 0;
                std::lock_guard lock(gMutex);
                if (CanSocket *socket = Find(fds[i].fd)) {
                    if ((fds[i].events & POLLIN) && Readable(fds[i].fd, *socket) && !socket->ready.empty())
                        events |= POLLIN;
                    if ((fds[i].events & POLLOUT) && (real[i].revents & POLLOUT)) events |= POLLOUT;
                    if (socket->pendingError) events |= POLLERR;
                } else {
                    events = POLLNVAL;
                }
            }
            fds[i].revents = events;
            ready += events != 0;
        }
        if (ready > 0 || last) return ready;
    }
}

__attribute__((visibility("default"))) int close(int fd)
{
    if (IsCan(fd)) {
        std::lock_guard lock(gMutex);
        gSockets.erase(fd);
        gIsCan[fd].store(0, std::memory_order_release);
    }
    return R().close(fd);
}

// The checked forms a program built with _FORTIFY_SOURCE calls instead.
__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buffer, size_t length, size_t)
{
    return read(fd, buffer, length);
}

__attribute__((visibility("default"))) ssize_t __recv_chk(int fd, void *buffer, size_t length, size_t, int flags)
{
    return recv(fd, buffer, length, flags);
}

__attribute__((visibility("default"))) ssize_t __recvfrom_chk(int fd, void *buffer, size_t length, size_t, int flags,
                                                              sockaddr *from, socklen_t *fromLength)
{
    return recvfrom(fd, buffer, length, flags, from, fromLength);
}

__attribute__((visibility("default"))) int __poll_chk(pollfd *fds, nfds_t count, int timeout, size_t)
{
    return poll(fds, count, timeout);
}

} // extern "C"

// SocketCAN raw sockets (PF_CAN, SOCK_RAW, CAN_RAW).
#include "platform/can_socket.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace zorcomm::platform {

namespace {

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000;
}

// Milliseconds left of `timeoutMs` since `start`.
int Left(uint64_t start, uint32_t timeoutMs) {
    const uint64_t spent = NowMs() - start;
    return spent >= timeoutMs ? 0 : static_cast<int>(timeoutMs - spent);
}

bool Wait(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool FillName(ifreq &request, const std::string &interface) {
    if (interface.empty() || interface.size() > kCanInterfaceNameLimit) return false;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, interface.data(), interface.size());
    return true;
}

// What an error frame reports: its class bits, and the controller's state in data byte 1.
uint32_t ProblemsOf(const can_frame &frame) {
    const canid_t klass = frame.can_id & CAN_ERR_MASK;
    uint32_t problems = 0;
    if (klass & CAN_ERR_BUSOFF) problems |= kCanBusOff;
    if (klass & CAN_ERR_CRTL) {
        const uint8_t state = frame.data[1];
        if (state & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) problems |= kCanErrorPassive;
        if (state & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) problems |= kCanErrorWarning;
        if (state & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) problems |= kCanOverflow;
        if (!(problems & (kCanErrorPassive | kCanErrorWarning | kCanOverflow))) problems |= kCanOtherProblem;
    }
    if (klass & (CAN_ERR_PROT | CAN_ERR_BUSERROR)) problems |= kCanProtocolViolation;
    if (klass & CAN_ERR_ACK) problems |= kCanNoAcknowledge;
    if (klass & CAN_ERR_LOSTARB) problems |= kCanLostArbitration;
    if (klass & CAN_ERR_TRX) problems |= kCanTransceiver;
    if (klass & CAN_ERR_TX_TIMEOUT) problems |= kCanTransmitTimeout;
    if (klass & CAN_ERR_RESTARTED) problems |= kCanRestarted;
    return problems ? problems : kCanOtherProblem;
}

CanSocketStatus StatusOfErrno(int code) {
    switch (code) {
    case ENETDOWN:
        return CanSocketStatus::Down;
    case ENODEV:
    case ENXIO:
        return CanSocketStatus::NoInterface;
    default:
        errno = code;
        return CanSocketStatus::Failed;
    }
}

} // namespace

static_assert(sizeof(can_frame) == kCanSocketRecordSize);

bool DecodeCanSocketRecord(std::span<const uint8_t> record, CanSocketFrame &frame) {
    can_frame in{};
    if (record.size() != sizeof in) return false;
    std::memcpy(&in, record.data(), sizeof in);
    frame = CanSocketFrame{};
    if (in.can_id & CAN_ERR_FLAG) {
        frame.problems = ProblemsOf(in);
    } else {
        frame.extended = (in.can_id & CAN_EFF_FLAG) != 0;
        const canid_t bits = frame.extended ? CAN_EFF_MASK : CAN_SFF_MASK;
        // No bus carries such a frame: taking its low bits or first 8 bytes would make a
        // message of something else (a standard 0x821 passing for the 0x021 class).
        if ((in.can_id & CAN_EFF_MASK & ~bits) != 0 || in.len > CAN_MAX_DLEN) return false;
        frame.remote = (in.can_id & CAN_RTR_FLAG) != 0;
        frame.id = in.can_id & bits;
        frame.dlc = in.len;
    }
    std::memcpy(frame.data.data(), in.data, sizeof in.data);
    return true;
}

uint32_t CanInterfaceIndex(const std::string &name) {
    if (name.empty() || name.size() > kCanInterfaceNameLimit) return 0;
    return if_nametoindex(name.c_str());
}

CanSocket::~CanSocket() { Close(); }

void CanSocket::Close() {
    if (fd_ < 0) return;
    const int code = errno;
    close(fd_);
    fd_ = -1;
    errno = code;
}

CanSocketStatus CanSocket::Open(const std::string &interface) {
    Close();
    ifreq request{};
    if (!FillName(request, interface)) return CanSocketStatus::NoInterface;
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) return CanSocketStatus::Unsupported;
        return CanSocketStatus::Failed;
    }
    fd_ = fd;
    auto fail = [this](CanSocketStatus status) {
        Close();
        return status;
    };
    if (ioctl(fd, SIOCGIFINDEX, &request) != 0)
        return fail(errno == ENODEV ? CanSocketStatus::NoInterface : CanSocketStatus::Failed);
    const int index = request.ifr_ifindex;
    if (!FillName(request, interface) || ioctl(fd, SIOCGIFHWADDR, &request) != 0)
        return fail(CanSocketStatus::Failed);
    if (request.ifr_hwaddr.sa_family != ARPHRD_CAN) return fail(CanSocketStatus::NotCan);
    if (!FillName(request, interface) || ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        return fail(CanSocketStatus::Failed);
    if (!(request.ifr_flags & IFF_UP)) return fail(CanSocketStatus::Down);

    const int off = 0;
    const can_err_mask_t everyError = CAN_ERR_MASK;
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &off, sizeof off) != 0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &everyError, sizeof everyError) != 0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0)
        return fail(CanSocketStatus::Failed);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = index;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return fail(errno == ENODEV ? CanSocketStatus::NotCan : CanSocketStatus::Failed);
    return CanSocketStatus::Done;
}

void CanSocket::ClearError() {
    if (fd_ < 0) return;
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &size);
}

bool CanSocket::SetFilters(std::span<const CanAcceptance> filters) {
    if (fd_ < 0) return errno = EBADF, false;
    std::vector<can_filter> table;
    for (const CanAcceptance &filter : filters) {
        const canid_t kind = filter.extended ? CAN_EFF_FLAG : 0;
        const canid_t bits = filter.extended ? CAN_EFF_MASK : CAN_SFF_MASK;
        table.push_back({(filter.id & bits) | kind, (filter.mask & bits) | CAN_EFF_FLAG | CAN_RTR_FLAG});
    }
    return setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FILTER, table.empty() ? nullptr : table.data(),
                      static_cast<socklen_t>(table.size() * sizeof(can_filter))) == 0;
}

CanSocketStatus CanSocket::Send(const CanSocketFrame &frame, uint32_t timeoutMs) {
    if (fd_ < 0) return errno = EBADF, CanSocketStatus::Failed;
    can_frame out{};
    out.can_id = frame.extended ? (frame.id & CAN_EFF_MASK) | CAN_EFF_FLAG : frame.id & CAN_SFF_MASK;
    if (frame.remote) out.can_id |= CAN_RTR_FLAG;
    out.len = frame.dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : frame.dlc;
    std::memcpy(out.data, frame.data.data(), sizeof out.data);
    const uint64_t start = NowMs();
    bool queueFull = false;
    for (;;) {
        const ssize_t sent = send(fd_, &out, sizeof out, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(sizeof out)) return CanSocketStatus::Done;
        if (sent >= 0) return errno = EIO, CanSocketStatus::Failed;
        const int code = errno;
        if (code == EINTR) continue;
        const int left = Left(start, timeoutMs);
        if (code == ENOBUFS) {
            // The interface's queue is full: it drains at the bus's pace.
            queueFull = true;
            if (left == 0) return CanSocketStatus::QueueFull;
            struct timespec pause{0, 1'000'000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (code != EAGAIN && code != EWOULDBLOCK) return StatusOfErrno(code);
        if (left == 0) return queueFull ? CanSocketStatus::QueueFull : CanSocketStatus::TimedOut;
        Wait(fd_, POLLOUT, left);
    }
}

CanSocketStatus CanSocket::Receive(CanSocketFrame &frame, uint32_t timeoutMs) {
    if (fd_ < 0) return errno = EBADF, CanSocketStatus::Failed;
    const uint64_t start = NowMs();
    for (;;) {
        std::array<uint8_t, kCanSocketRecordSize> record{};
        const ssize_t got = recv(fd_, record.data(), record.size(), MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(record.size()) && DecodeCanSocketRecord(record, frame))
            return CanSocketStatus::Done;
        if (got >= 0) continue; // not a classic frame, or one no bus carries: not ours
        const int code = errno;
        if (code == EINTR) continue;
        if (code != EAGAIN && code != EWOULDBLOCK) return StatusOfErrno(code);
        const int left = Left(start, timeoutMs);
        if (left == 0) return CanSocketStatus::TimedOut;
        Wait(fd_, POLLIN, left);
    }
}

} // namespace zorcomm::platform

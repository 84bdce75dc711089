// The socket entry points over BSD sockets. Every failing call records the Windows socket error
// number of its errno for this thread (WSAGetLastError), options and ioctl codes arrive with
// their Windows numbers, and time-outs arrive as 4-byte millisecond values.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <type_traits>
#include <unistd.h>

namespace zorcomm::platform {

namespace {

struct ErrnoNumber {
    int errnoValue;
    int32_t winSock;
};

constexpr ErrnoNumber kErrnoNumbers[] = {
    {EINTR, 10004},           {EBADF, 10009},          {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},         {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},    {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},   {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},     {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},     {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},    {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},     {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},       {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},      {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063},   {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},      {EUSERS, 10068},
    {EDQUOT, 10069},          {ESTALE, 10070},         {EREMOTE, 10071},
    {ENOMEM, 10055},          {EPIPE, 10058},
};

constexpr int32_t kWsaNotSocket = 10038;
constexpr int32_t kWsaFault = 10014;
constexpr int32_t kWsaInvalid = 10022;
constexpr int32_t kWsaMessageSize = 10040;
constexpr int32_t kWsaNoProtocolOption = 10042;
constexpr int32_t kWsaNotSupported = 10045;
constexpr int32_t kWsaFamilyNotSupported = 10047;
constexpr int32_t kWsaNoBuffers = 10055;
constexpr int32_t kWsaVersionNotSupported = 10092;
constexpr int32_t kWsaTryAgain = 11002;
constexpr int32_t kWsaNoRecovery = 11003;

thread_local int32_t lastError = 0;

int32_t Fail(int32_t winSockError) {
    lastError = winSockError;
    return kSocketError;
}

int32_t FailErrno(int errnoValue) { return Fail(WinSockErrorOf(errnoValue)); }

bool Blocking(Socket socket) {
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// A blocking call that ran out of its SO_RCVTIMEO / SO_SNDTIMEO reports EAGAIN here; the
// Windows interface calls that a time-out.
int32_t FailTransfer(Socket socket, int errnoValue) {
    if (errnoValue == EWOULDBLOCK && Blocking(socket)) return Fail(kWsaTimedOut);
    return FailErrno(errnoValue);
}

sockaddr_in ToNative(const SocketAddress &address) {
    sockaddr_in native{};
    native.sin_family = address.family == kAddressFamilyInet ? AF_INET : address.family;
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

SocketAddress FromNative(const sockaddr_in &native) {
    SocketAddress address{};
    address.family = native.sin_family == AF_INET ? kAddressFamilyInet : native.sin_family;
    address.port = native.sin_port;
    address.address = native.sin_addr.s_addr;
    return address;
}

bool ValidAddressArgument(const SocketAddress *address, int32_t length) {
    return address && length >= kSocketAddressSize;
}

// ---- the entry points ------------------------------------------------------------------------

int32_t Startup(uint16_t version, SocketStartupData *data) {
    if ((version & 0xFF) < 1) return kWsaVersionNotSupported;
    if (data) {
        *data = {};
        data->wVersion = kSocketVersion20;
        data->wHighVersion = 0x0202;
        std::strncpy(data->szDescription, "BSD sockets", sizeof data->szDescription - 1);
        std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    }
    return 0;
}

int32_t Cleanup() { return 0; }

int32_t GetLastSocketError() { return lastError; }

uint32_t InetAddr(const char *text) {
    if (!text) return kAddressNone;
    return ::inet_addr(text);
}

// Names of letters, digits, hyphens, dots and underscores only: anything else cannot be a host
// name, and is refused without asking any name service.
bool PlausibleHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

int32_t LookUpError(int code) {
    switch (code) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case EAI_FAMILY:
        return kWsaHostNotFound;
    case EAI_AGAIN:
        return kWsaTryAgain;
    case EAI_MEMORY:
        return kWsaNoBuffers;
    case EAI_SYSTEM:
        return WinSockErrorOf(errno);
    default:
        return kWsaNoRecovery;
    }
}

struct HostStorage {
    static constexpr int kMaxAddresses = 16;
    HostEntry entry{};
    char name[256]{};
    char *aliases[1]{};
    uint32_t addresses[kMaxAddresses]{};
    char *addressList[kMaxAddresses + 1]{};
};

HostEntry *GetHostByName(const char *name) {
    if (!name || !PlausibleHostName(name)) {
        Fail(kWsaHostNotFound);
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int result = getaddrinfo(name, nullptr, &hints, &found);
    if (result != 0) {
        Fail(LookUpError(result));
        return nullptr;
    }
    thread_local HostStorage storage;
    storage = {};
    std::strncpy(storage.name, name, sizeof storage.name - 1);
    int count = 0;
    for (const addrinfo *item = found; item && count < HostStorage::kMaxAddresses;
         item = item->ai_next) {
        if (item->ai_family != AF_INET || !item->ai_addr ||
            item->ai_addrlen < static_cast<socklen_t>(sizeof(sockaddr_in)))
            continue;
        const auto *native = reinterpret_cast<const sockaddr_in *>(item->ai_addr);
        storage.addresses[count] = native->sin_addr.s_addr;
        storage.addressList[count] = reinterpret_cast<char *>(&storage.addresses[count]);
        ++count;
    }
    freeaddrinfo(found);
    if (count == 0) {
        Fail(kWsaHostNotFound);
        return nullptr;
    }
    storage.entry.h_name = storage.name;
    storage.entry.h_aliases = storage.aliases;
    storage.entry.h_addrtype = kAddressFamilyInet;
    storage.entry.h_length = 4;
    storage.entry.h_addr_list = storage.addressList;
    return &storage.entry;
}

// The local address the system would send from toward `destination`: a scratch datagram socket
// connected there tells it.
int32_t RoutingInterface(const SocketAddress &destination, SocketAddress &local) {
    if (destination.family != kAddressFamilyInet) return Fail(kWsaFamilyNotSupported);
    const int scratch = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (scratch < 0) return FailErrno(errno);
    const sockaddr_in target = ToNative(destination);
    sockaddr_in chosen{};
    socklen_t length = sizeof chosen;
    int32_t result = 0;
    if (::connect(scratch, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0 ||
        ::getsockname(scratch, reinterpret_cast<sockaddr *>(&chosen), &length) != 0)
        result = FailErrno(errno);
    else
        local = FromNative(chosen);
    ::close(scratch);
    return result;
}

int32_t Ioctl(Socket socket, uint32_t code, const void *in, uint32_t inSize, void *out,
              uint32_t outSize, uint32_t *returned, void *overlapped, void *completionRoutine) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (overlapped || completionRoutine) return Fail(kWsaNotSupported);
    if (returned) *returned = 0;
    switch (code) {
    case kIoctlNonBlocking: {
        if (!in || inSize < sizeof(uint32_t)) return Fail(kWsaFault);
        uint32_t value = 0;
        std::memcpy(&value, in, sizeof value);
        int on = value != 0;
        if (::ioctl(socket, FIONBIO, &on) != 0) return FailErrno(errno);
        return 0;
    }
    case kIoctlBytesReadable: {
        if (!out || outSize < sizeof(uint32_t)) return Fail(kWsaFault);
        int waiting = 0;
        if (::ioctl(socket, FIONREAD, &waiting) != 0) return FailErrno(errno);
        const uint32_t value = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
        std::memcpy(out, &value, sizeof value);
        if (returned) *returned = sizeof value;
        return 0;
    }
    case kIoctlRoutingInterfaceQuery: {
        if (!in || inSize < sizeof(SocketAddress) || !out || outSize < sizeof(SocketAddress))
            return Fail(kWsaFault);
        SocketAddress destination{};
        std::memcpy(&destination, in, sizeof destination);
        SocketAddress local{};
        if (RoutingInterface(destination, local) != 0) return kSocketError;
        std::memcpy(out, &local, sizeof local);
        if (returned) *returned = sizeof local;
        return 0;
    }
    default:
        return Fail(kWsaInvalid);
    }
}

uint16_t HostToNetworkShort(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
    uint16_t network = 0;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

Socket OpenSocket(int32_t family, int32_t type, int32_t protocol) {
    if (family != kAddressFamilyInet) return Fail(kWsaFamilyNotSupported);
    int nativeType = 0;
    if (type == kSocketStream) nativeType = SOCK_STREAM;
    else if (type == kSocketDatagram) nativeType = SOCK_DGRAM;
    else return FailErrno(ESOCKTNOSUPPORT);
    int socket = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, protocol);
    if (socket < 0) return FailErrno(errno);
    // 0 stands for "no channel" in the slot table, so a socket never takes the standard streams'
    // numbers, even in a program that closed them.
    if (socket < 3) {
        const int moved = fcntl(socket, F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        ::close(socket);
        if (moved < 0) return FailErrno(error);
        socket = moved;
    }
    return socket;
}

int32_t GetSockName(Socket socket, SocketAddress *address, int32_t *length) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (!length || !ValidAddressArgument(address, *length)) return Fail(kWsaFault);
    sockaddr_in native{};
    socklen_t nativeLength = sizeof native;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&native), &nativeLength) != 0)
        return FailErrno(errno);
    *address = FromNative(native);
    *length = kSocketAddressSize;
    return 0;
}

int32_t SetTimeout(Socket socket, int option, const void *value, int32_t length) {
    if (!value || length < static_cast<int32_t>(sizeof(uint32_t))) return Fail(kWsaFault);
    uint32_t milliseconds = 0;
    std::memcpy(&milliseconds, value, sizeof milliseconds);
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
    wait.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (::setsockopt(socket, SOL_SOCKET, option, &wait, sizeof wait) != 0) return FailErrno(errno);
    return 0;
}

int32_t SetFlag(Socket socket, int level, int option, const void *value, int32_t length) {
    if (!value || length < 1) return Fail(kWsaFault);
    // A BOOL of four bytes, or a single byte as the Windows interface also accepts.
    uint32_t raw = 0;
    std::memcpy(&raw, value, length >= 4 ? 4 : 1);
    const int on = raw != 0;
    if (::setsockopt(socket, level, option, &on, sizeof on) != 0) return FailErrno(errno);
    return 0;
}

int32_t SetSockOpt(Socket socket, int32_t level, int32_t name, const void *value, int32_t length) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (level == kSocketLevel) {
        switch (name) {
        case kOptionReceiveTimeout: return SetTimeout(socket, SO_RCVTIMEO, value, length);
        case kOptionSendTimeout: return SetTimeout(socket, SO_SNDTIMEO, value, length);
        case kOptionKeepAlive: return SetFlag(socket, SOL_SOCKET, SO_KEEPALIVE, value, length);
        default: return Fail(kWsaNoProtocolOption);
        }
    }
    if (level == kProtocolTcp && name == kTcpNoDelay)
        return SetFlag(socket, IPPROTO_TCP, TCP_NODELAY, value, length);
    return Fail(kWsaNoProtocolOption);
}

int32_t Bind(Socket socket, const SocketAddress *address, int32_t length) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (!ValidAddressArgument(address, length)) return Fail(kWsaFault);
    const sockaddr_in native = ToNative(*address);
    if (::bind(socket, reinterpret_cast<const sockaddr *>(&native), sizeof native) != 0)
        return FailErrno(errno);
    return 0;
}

int32_t SendTo(Socket socket, const void *bytes, int32_t count, int32_t flags,
               const SocketAddress *to, int32_t toLength) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (count < 0 || (count > 0 && !bytes) || !ValidAddressArgument(to, toLength))
        return Fail(kWsaFault);
    const sockaddr_in native = ToNative(*to);
    while (true) {
        const ssize_t sent =
            ::sendto(socket, bytes, static_cast<size_t>(count), flags | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&native), sizeof native);
        if (sent >= 0) return static_cast<int32_t>(sent);
        if (errno != EINTR) return FailTransfer(socket, errno);
    }
}

// A datagram larger than the buffer fails with "message too long", as on Windows, instead of
// arriving cut short.
int32_t RecvFrom(Socket socket, void *buffer, int32_t size, int32_t flags, SocketAddress *from,
                 int32_t *fromLength) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (size < 0 || (size > 0 && !buffer)) return Fail(kWsaFault);
    if (from && (!fromLength || *fromLength < kSocketAddressSize)) return Fail(kWsaFault);
    sockaddr_in source{};
    iovec piece{buffer, static_cast<size_t>(size)};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    ssize_t received = 0;
    while ((received = ::recvmsg(socket, &message, flags)) < 0)
        if (errno != EINTR) return FailTransfer(socket, errno);
    if (from) {
        *from = FromNative(source);
        *fromLength = message.msg_namelen >= sizeof(sockaddr_in)
                          ? kSocketAddressSize
                          : static_cast<int32_t>(message.msg_namelen);
    }
    if (message.msg_flags & MSG_TRUNC) return Fail(kWsaMessageSize);
    return static_cast<int32_t>(received);
}

int32_t CloseSocket(Socket socket) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (::close(socket) != 0) return FailErrno(errno);
    return 0;
}

int32_t Connect(Socket socket, const SocketAddress *address, int32_t length) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (!ValidAddressArgument(address, length)) return Fail(kWsaFault);
    const sockaddr_in native = ToNative(*address);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&native), sizeof native) == 0)
        return 0;
    // A blocking connect that ran out of SO_SNDTIMEO reports "in progress" here.
    if (errno == EINPROGRESS && Blocking(socket)) return Fail(kWsaTimedOut);
    return FailErrno(errno);
}

int32_t Send(Socket socket, const void *bytes, int32_t count, int32_t flags) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (count < 0 || (count > 0 && !bytes)) return Fail(kWsaFault);
    while (true) {
        const ssize_t sent =
            ::send(socket, bytes, static_cast<size_t>(count), flags | MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int32_t>(sent);
        if (errno != EINTR) return FailTransfer(socket, errno);
    }
}

int32_t Recv(Socket socket, void *buffer, int32_t size, int32_t flags) {
    if (socket < 0) return Fail(kWsaNotSocket);
    if (size < 0 || (size > 0 && !buffer)) return Fail(kWsaFault);
    while (true) {
        const ssize_t received = ::recv(socket, buffer, static_cast<size_t>(size), flags);
        if (received >= 0) return static_cast<int32_t>(received);
        if (errno != EINTR) return FailTransfer(socket, errno);
    }
}

// The entry points must have exactly the types the table is bound with.
static_assert(std::is_same_v<decltype(&Startup), decltype(WinSockApi::WSAStartup)>);
static_assert(std::is_same_v<decltype(&Cleanup), decltype(WinSockApi::WSACleanup)>);
static_assert(std::is_same_v<decltype(&GetLastSocketError), decltype(WinSockApi::WSAGetLastError)>);
static_assert(std::is_same_v<decltype(&InetAddr), decltype(WinSockApi::inet_addr)>);
static_assert(std::is_same_v<decltype(&GetHostByName), decltype(WinSockApi::gethostbyname)>);
static_assert(std::is_same_v<decltype(&Ioctl), decltype(WinSockApi::WSAIoctl)>);
static_assert(std::is_same_v<decltype(&HostToNetworkShort), decltype(WinSockApi::htons)>);
static_assert(std::is_same_v<decltype(&OpenSocket), decltype(WinSockApi::socket)>);
static_assert(std::is_same_v<decltype(&GetSockName), decltype(WinSockApi::getsockname)>);
static_assert(std::is_same_v<decltype(&SetSockOpt), decltype(WinSockApi::setsockopt)>);
static_assert(std::is_same_v<decltype(&Bind), decltype(WinSockApi::bind)>);
static_assert(std::is_same_v<decltype(&SendTo), decltype(WinSockApi::sendto)>);
static_assert(std::is_same_v<decltype(&RecvFrom), decltype(WinSockApi::recvfrom)>);
static_assert(std::is_same_v<decltype(&CloseSocket), decltype(WinSockApi::closesocket)>);
static_assert(std::is_same_v<decltype(&Connect), decltype(WinSockApi::connect)>);
static_assert(std::is_same_v<decltype(&Send), decltype(WinSockApi::send)>);
static_assert(std::is_same_v<decltype(&Recv), decltype(WinSockApi::recv)>);

struct NamedEntry {
    std::string_view name;
    void *address;
};

template <typename Function> void *Address(Function function) {
    return reinterpret_cast<void *>(function);
}

const NamedEntry kEntries[] = {
    {"WSAStartup", Address(&Startup)},
    {"WSACleanup", Address(&Cleanup)},
    {"WSAGetLastError", Address(&GetLastSocketError)},
    {"inet_addr", Address(&InetAddr)},
    {"gethostbyname", Address(&GetHostByName)},
    {"WSAIoctl", Address(&Ioctl)},
    {"htons", Address(&HostToNetworkShort)},
    {"socket", Address(&OpenSocket)},
    {"getsockname", Address(&GetSockName)},
    {"setsockopt", Address(&SetSockOpt)},
    {"bind", Address(&Bind)},
    {"sendto", Address(&SendTo)},
    {"recvfrom", Address(&RecvFrom)},
    {"closesocket", Address(&CloseSocket)},
    {"connect", Address(&Connect)},
    {"send", Address(&Send)},
    {"recv", Address(&Recv)},
};

} // namespace

int32_t WinSockErrorOf(int errnoValue) {
    for (const auto &entry : kErrnoNumbers)
        if (entry.errnoValue == errnoValue) return entry.winSock;
    // Not a socket error the interface has a number for: passed on as it is, which the library
    // reports as an unknown socket error.
    return errnoValue;
}

SocketLibrary::~SocketLibrary() { Unload(); }

bool SocketLibrary::Load() {
    loaded_ = true;
    return true;
}

void SocketLibrary::Unload() { loaded_ = false; }

void *SocketLibrary::Symbol(const char *name) const {
    if (!loaded_ || !name) return nullptr;
    for (const auto &entry : kEntries)
        if (entry.name == name) return entry.address;
    return nullptr;
}

} // namespace zorcomm::platform

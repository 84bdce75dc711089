// Sockets in the shape the library binds them: the seventeen entry points of the Windows socket
// interface, looked up by name in the socket library, with that interface's numbers for address
// families, options, ioctl codes and errors. On POSIX, BSD sockets stand behind the same names
// and their errno values come back as the Windows socket error numbers.
#pragma once

#include <cstdint>

// The socket library's entry points use the standard Windows calling convention there.
#if defined(_WIN32)
#define ZORCOMM_SOCKET_CALL __stdcall
#else
#define ZORCOMM_SOCKET_CALL
#endif

namespace zorcomm::platform {

using Socket = int32_t;
constexpr Socket kInvalidSocket = -1;
constexpr int32_t kSocketError = -1;

// An IPv4 socket address, 16 bytes: the family in host order, port and address in network order.
struct SocketAddress {
    uint16_t family;
    uint16_t port;
    uint32_t address;
    uint8_t zero[8];
};
static_assert(sizeof(SocketAddress) == 16);
constexpr int32_t kSocketAddressSize = sizeof(SocketAddress);

// The result of a host name look-up; valid until the next look-up on the same thread.
struct HostEntry {
    char *h_name;
    char **h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char **h_addr_list; // null-terminated; each entry h_length bytes in network order
};

// The start-up record in full: the library fills all of it, the three last members too.
struct SocketStartupData {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char *lpVendorInfo;
};

constexpr int32_t kAddressFamilyInet = 2;
constexpr int32_t kSocketStream = 1;
constexpr int32_t kSocketDatagram = 2;
constexpr int32_t kProtocolTcp = 6;
constexpr int32_t kProtocolUdp = 17;

constexpr int32_t kSocketLevel = 0xFFFF;
constexpr int32_t kOptionKeepAlive = 0x0008;
constexpr int32_t kOptionSendTimeout = 0x1005;    // 4-byte milliseconds
constexpr int32_t kOptionReceiveTimeout = 0x1006; // 4-byte milliseconds
constexpr int32_t kTcpNoDelay = 0x0001;           // at level kProtocolTcp

constexpr uint32_t kIoctlNonBlocking = 0x8004667E;           // in: 4 bytes, 0 or 1
constexpr uint32_t kIoctlBytesReadable = 0x4004667F;         // out: 4 bytes
constexpr uint32_t kIoctlRoutingInterfaceQuery = 0xC8000014; // in/out: a SocketAddress

constexpr uint32_t kAddressNone = 0xFFFFFFFF;
constexpr uint16_t kSocketVersion20 = 0x0002;

// Windows socket error numbers the library tests for by name.
constexpr int32_t kWsaWouldBlock = 10035;
constexpr int32_t kWsaTimedOut = 10060;
constexpr int32_t kWsaHostNotFound = 11001;

// The entry points, by the names they are bound with.
struct WinSockApi {
    int32_t (ZORCOMM_SOCKET_CALL *WSAStartup)(uint16_t version, SocketStartupData *data);
    int32_t (ZORCOMM_SOCKET_CALL *WSACleanup)();
    int32_t (ZORCOMM_SOCKET_CALL *WSAGetLastError)();
    uint32_t (ZORCOMM_SOCKET_CALL *inet_addr)(const char *text);
    HostEntry *(ZORCOMM_SOCKET_CALL *gethostbyname)(const char *name);
    int32_t (ZORCOMM_SOCKET_CALL *WSAIoctl)(Socket socket, uint32_t code, const void *in,
                                            uint32_t inSize, void *out, uint32_t outSize,
                                            uint32_t *returned, void *overlapped,
                                            void *completionRoutine);
    uint16_t (ZORCOMM_SOCKET_CALL *htons)(uint16_t value);
    Socket (ZORCOMM_SOCKET_CALL *socket)(int32_t family, int32_t type, int32_t protocol);
    int32_t (ZORCOMM_SOCKET_CALL *getsockname)(Socket socket, SocketAddress *address,
                                               int32_t *length);
    int32_t (ZORCOMM_SOCKET_CALL *setsockopt)(Socket socket, int32_t level, int32_t name,
                                              const void *value, int32_t length);
    int32_t (ZORCOMM_SOCKET_CALL *bind)(Socket socket, const SocketAddress *address,
                                        int32_t length);
    int32_t (ZORCOMM_SOCKET_CALL *sendto)(Socket socket, const void *bytes, int32_t count,
                                          int32_t flags, const SocketAddress *to,
                                          int32_t toLength);
    int32_t (ZORCOMM_SOCKET_CALL *recvfrom)(Socket socket, void *buffer, int32_t size,
                                            int32_t flags, SocketAddress *from,
                                            int32_t *fromLength);
    int32_t (ZORCOMM_SOCKET_CALL *closesocket)(Socket socket);
    int32_t (ZORCOMM_SOCKET_CALL *connect)(Socket socket, const SocketAddress *address,
                                           int32_t length);
    int32_t (ZORCOMM_SOCKET_CALL *send)(Socket socket, const void *bytes, int32_t count,
                                        int32_t flags);
    int32_t (ZORCOMM_SOCKET_CALL *recv)(Socket socket, void *buffer, int32_t size, int32_t flags);
};

// The socket library as a loadable module: Load it, then ask for each entry point by name.
class SocketLibrary {
public:
    SocketLibrary() = default;
    ~SocketLibrary();
    SocketLibrary(const SocketLibrary &) = delete;
    SocketLibrary &operator=(const SocketLibrary &) = delete;

    // False (with the system error code set) when the library cannot be loaded.
    bool Load();
    void Unload();
    bool IsLoaded() const { return loaded_; }
    // The entry point's address, or null for a name the library does not have.
    void *Symbol(const char *name) const;

private:
    bool loaded_ = false;
#if defined(_WIN32)
    void *module_ = nullptr; // ws2_32.dll
#endif
};

// The Windows socket error number of an errno value (exposed for tests).
int32_t WinSockErrorOf(int errnoValue);

} // namespace zorcomm::platform

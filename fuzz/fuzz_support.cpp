#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

#include "api/library.h"
#include "codec/drive_message.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/sockets.h"
#include "transport/device_server.h"
#include "transport/winsock.h"

namespace zfuzz {

using zorcomm::Context;
using zorcomm::Error;
using zorcomm::SetError;
namespace platform = zorcomm::platform;

bool ScriptedLink::ReadBytes(std::span<uint8_t> bytes) {
    for (uint8_t &byte : bytes) {
        if (input_.empty()) return SetError(Error::ReceiveTimeout);
        byte = input_.Byte();
    }
    return true;
}

bool ScriptedLink::WriteBytes(std::span<const uint8_t> bytes) {
    written += bytes.size();
    return true;
}

// One memory for every drive of the process: filling 3 x 64 K words for each input would cost
// more than the rest of a run.
DriveLink::DriveLink(zorcomm::Slot &slot) : Link(slot) {
    static std::array<std::array<uint16_t, 0x10000>, 3> words{};
    for (size_t i = 0; i < memory_.size(); ++i) memory_[i] = words[i].data();
}

bool DriveLink::ReadBytes(std::span<uint8_t> bytes) {
    if (bytes.size() > pending_.size()) {
        pending_.clear();
        return SetError(Error::ReceiveTimeout);
    }
    std::copy_n(pending_.begin(), bytes.size(), bytes.begin());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(bytes.size()));
    return true;
}

bool DriveLink::WriteBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() == 1 && bytes[0] == 0xFF) {
        pending_.push_back(0x0D); // the answer to a sync byte
        return true;
    }
    if (bytes.empty()) return true;
    DriveMessage message{};
    size_t at = 1;
    const int parsed = zorcomm::ParseSerialFrame(
        bytes[0],
        [&](std::span<uint8_t> rest) {
            if (bytes.size() - at < rest.size()) return false;
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), rest.size(), rest.begin());
            at += rest.size();
            return true;
        },
        message);
    if (parsed != 1) return true; // a drive ignores what it cannot read
    pending_.push_back(zorcomm::kAcknowledge);
    Carry(message);
    return true;
}

void DriveLink::Answer(uint16_t to, uint16_t opCode, std::initializer_list<uint16_t> words) {
    DriveMessage answer{};
    answer.address = to;
    answer.opCode = opCode;
    for (uint16_t word : words) answer.data[answer.length++] = word;
    const zorcomm::SerialFrame frame = zorcomm::BuildSerialFrame(answer);
    pending_.insert(pending_.end(), frame.bytes.begin(), frame.bytes.begin() + frame.size);
}

void DriveLink::Carry(const DriveMessage &m) {
    constexpr uint16_t kPointer = 0x32B;
    uint16_t *data = memory_[1];
    const uint16_t op = m.opCode;
    const uint8_t type = static_cast<uint8_t>((op >> 2) & 3) % 3;
    if ((op & 0xFFF2) == 0x9000 && m.length >= 2) { // direct writes
        for (uint16_t i = 1; i < m.length; ++i)
            memory_[type][static_cast<uint16_t>(m.data[0] + i - 1)] = m.data[i];
    } else if ((op & 0xFFF2) == 0x9020 && m.length >= 2 && m.data[0] == kPointer) {
        for (uint16_t i = 1; i < m.length; ++i) memory_[type][data[kPointer]++] = m.data[i];
    } else if ((op & 0xFFF2) == 0xB000 && m.length == 2) { // reads
        const uint16_t address = m.data[1];
        if (op & 1)
            Answer(m.data[0], 0xB405, {m.address, address, memory_[type][address],
                                       memory_[type][static_cast<uint16_t>(address + 1)]});
        else
            Answer(m.data[0], 0xB404, {m.address, address, memory_[type][address]});
    } else if ((op & 0xFF9F) == 0xDA10 && m.length == 3) { // checksums
        const uint8_t memory = static_cast<uint8_t>((op >> 5) & 3) % 3;
        uint16_t sum = 0;
        for (uint16_t address = m.data[1];; ++address) {
            sum = static_cast<uint16_t>(sum + memory_[memory][address]);
            if (address == m.data[2]) break;
        }
        Answer(m.data[0], op, {sum});
    }
}

namespace {

std::string regionName;

void Leave() {
    for (int i = 0; i < zorcomm::kSlotCount; ++i) zorcomm::RemoveLink(i);
    zorcomm::LibraryUnload();
    shm_unlink(regionName.c_str());
}

// Log lines are formatted from the fuzzed data too; the handler only looks at them.
void ZORCOMM_CALL ReadLine(const char *line) {
    volatile size_t length = std::strlen(line);
    (void)length;
}

} // namespace

void AttachProcess() {
    if (!regionName.empty()) return;
    regionName = "/zorcomm-fuzz-" + std::to_string(getpid());
    setenv("ZORCOMM_SHM", regionName.c_str(), 1);
    setenv("ZORCOMM_SETTINGS", "/nonexistent/zorcomm-fuzz.cfg", 1);
    shm_unlink(regionName.c_str());
    if (!zorcomm::LibraryLoad()) {
        std::fprintf(stderr, "cannot map the shared region %s\n", regionName.c_str());
        std::abort();
    }
    std::atexit(Leave);
    zorcomm::ProcessContext &context = Context();
    context.settings.runDeadTime = 0;
    context.settings.resetDeadTime = 0;
    context.settings.waitAfterBaudChange = 0;
    context.settings.synchronizationSleepMultiplier = 0;
    context.settings.noTries = 3;
    context.logLevel = zorcomm::kLogTraffic;
    context.logHandler = ReadLine;
    zorcomm::SharedSettings &shared = zorcomm::Shared()->settings;
    shared.udpReceiveTimeout = 200;
    shared.canReceiveTimeout = 0;
    shared.canSendTimeout = 0;
}

zorcomm::Slot &EmptySlot() {
    zorcomm::Slot &slot = *Context().currentSlot;
    zorcomm::ClearChannelFields(slot);
    return slot;
}

zorcomm::Slot &InstallChannel(uint8_t type, std::unique_ptr<zorcomm::Link> link) {
    zorcomm::Slot &slot = *Context().currentSlot;
    slot.channelType = type;
    slot.channelHandle = link->Handle();
    zorcomm::InstallLink(Context().currentSlotIndex, std::move(link));
    Context().lastError = 0;
    return slot;
}

void ReleaseChannel() {
    zorcomm::RemoveLink(Context().currentSlotIndex);
    zorcomm::ClearChannelFields(*Context().currentSlot);
}

TemporaryFile::TemporaryFile(std::span<const uint8_t> bytes) {
    // In memory where there is such a file system: the targets write a file for every input.
    const char *directory = std::getenv("TMPDIR");
    if (access("/dev/shm", W_OK) == 0) directory = "/dev/shm";
    std::string pattern = std::string(directory && *directory ? directory : "/tmp") +
                          "/zorcomm-fuzz-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    close(fd);
    path_ = pattern;
}

TemporaryFile::~TemporaryFile() { unlink(path_.c_str()); }

// ---- the socket library ----------------------------------------------------------------------

namespace {

SocketScript script;

constexpr platform::Socket kDatagramSocket = 7;
constexpr platform::Socket kStreamSocket = 8;
constexpr int32_t kTimedOut = 10060;
constexpr int32_t kWouldBlock = 10035;
constexpr int32_t kConnectionReset = 10054;

platform::SocketAddress lastTarget{};

int32_t Fail(int32_t error) {
    script.lastSocketError = error;
    return -1;
}

bool Scripted() { return !script.automatic && script.input; }

int32_t FakeGetLastError() { return script.lastSocketError; }

int32_t FakeIoctl(platform::Socket, uint32_t code, const void *, uint32_t, void *out,
                  uint32_t outSize, uint32_t *returned, void *, void *) {
    if (code == platform::kIoctlRoutingInterfaceQuery && out &&
        outSize >= sizeof(platform::SocketAddress)) {
        platform::SocketAddress local{};
        local.family = platform::kAddressFamilyInet;
        local.address = 0x0100007F;
        std::memcpy(out, &local, sizeof local);
        if (returned) *returned = sizeof local;
        return 0;
    }
    if (code == platform::kIoctlBytesReadable && out && outSize >= 4) {
        const uint32_t waiting =
            Scripted() ? static_cast<uint32_t>(std::min<size_t>(script.input->remaining(), 128)) : 0;
        std::memcpy(out, &waiting, sizeof waiting);
        if (returned) *returned = 4;
        return 0;
    }
    return 0;
}

platform::Socket FakeSocket(int32_t, int32_t type, int32_t) {
    return type == platform::kSocketDatagram ? kDatagramSocket : kStreamSocket;
}

int32_t FakeSucceed3(platform::Socket, const platform::SocketAddress *, int32_t) { return 0; }

int32_t FakeGetSockName(platform::Socket, platform::SocketAddress *address, int32_t *length) {
    if (address) address->port = 0x3412;
    if (length) *length = platform::kSocketAddressSize;
    return 0;
}

int32_t FakeSetSockOpt(platform::Socket, int32_t, int32_t, const void *, int32_t) { return 0; }

int32_t FakeClose(platform::Socket) { return 0; }

int32_t FakeSendTo(platform::Socket, const void *bytes, int32_t count, int32_t,
                   const platform::SocketAddress *to, int32_t) {
    if (to) lastTarget = *to;
    if (count > 0 && bytes) script.lastCommand = *static_cast<const uint8_t *>(bytes);
    return count;
}

int32_t FakeRecvFrom(platform::Socket, void *buffer, int32_t size, int32_t,
                     platform::SocketAddress *from, int32_t *fromLength) {
    if (!Scripted()) {
        // The device server answers every command properly.
        if (size < 1 || !from || !fromLength) return Fail(kTimedOut);
        *from = lastTarget;
        *fromLength = platform::kSocketAddressSize;
        *static_cast<uint8_t *>(buffer) = static_cast<uint8_t>(script.lastCommand + 1);
        return 1;
    }
    Input &input = *script.input;
    if (input.empty()) return Fail(kTimedOut);
    const uint8_t kind = input.Byte() % 5;
    if (kind == 0) return Fail(kTimedOut);
    platform::SocketAddress source = lastTarget;
    int32_t sourceLength = platform::kSocketAddressSize;
    if (kind == 2) source.port = static_cast<uint16_t>(source.port + 1);
    if (kind == 3) source.address ^= 0x01000000;
    if (kind == 4) sourceLength = 8;
    const auto bytes = input.Bytes(input.Byte());
    // A datagram larger than the buffer fails, as the platform's receive does.
    if (static_cast<int64_t>(bytes.size()) > size) return Fail(10040);
    if (from) *from = source;
    if (fromLength) *fromLength = sourceLength;
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t *>(buffer));
    const bool fromConfigurationPort =
        lastTarget.port == zorcomm::WinSock().htons(zorcomm::kConfigurationPort);
    if (kind == 1 && fromConfigurationPort && bytes.size() == 1 &&
        bytes[0] == static_cast<uint8_t>(script.lastCommand + 1))
        script.answerDelivered = true;
    return static_cast<int32_t>(bytes.size());
}

int32_t FakeSend(platform::Socket, const void *, int32_t count, int32_t) {
    if (!Scripted()) return count;
    const uint8_t taken = script.input->Byte();
    if (script.input->empty() && taken == 0) return Fail(kConnectionReset);
    if (taken == 0) return Fail(kWouldBlock);
    if (taken == 255) return Fail(kConnectionReset);
    return std::min<int32_t>(count, taken);
}

int32_t FakeRecv(platform::Socket, void *buffer, int32_t size, int32_t) {
    if (!Scripted()) return Fail(kTimedOut);
    Input &input = *script.input;
    if (input.empty()) return Fail(kTimedOut);
    const uint8_t length = input.Byte();
    if (length == 0) return 0;
    if (length == 255) return Fail(kConnectionReset);
    const auto bytes = input.Bytes(std::min<size_t>(length, static_cast<size_t>(std::max(size, 0))));
    if (bytes.empty()) return Fail(kTimedOut);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t *>(buffer));
    script.received.insert(script.received.end(), bytes.begin(), bytes.end());
    return static_cast<int32_t>(bytes.size());
}

platform::HostEntry *FakeGetHostByName(const char *) {
    static char address[16];
    static char *addresses[2] = {address, nullptr};
    static char *none[1] = {nullptr};
    static char name[] = "host";
    static platform::HostEntry entry{};
    if (!Scripted()) {
        script.lastSocketError = 11001;
        return nullptr;
    }
    Input &input = *script.input;
    const uint8_t kind = input.Byte() % 4;
    const auto bytes = input.Bytes(4);
    std::memset(address, 0, sizeof address);
    std::copy(bytes.begin(), bytes.end(), address);
    entry = platform::HostEntry{name, none, platform::kAddressFamilyInet, 4, addresses};
    switch (kind) {
    case 0:
        script.lastSocketError = 11001;
        return nullptr;
    case 2:
        entry.h_length = 16;
        break;
    case 3:
        entry.h_addr_list = none;
        break;
    default:
        break;
    }
    return &entry;
}

} // namespace

SocketScript &Script() { return script; }

void FakeSocketLibrary() {
    static bool done = false;
    if (done) return;
    done = true;
    // One reference for the life of the process, so the entry points below are never unbound.
    if (!zorcomm::LoadWinSock()) {
        std::fprintf(stderr, "the socket library cannot be bound\n");
        std::abort();
    }
    auto &api = const_cast<platform::WinSockApi &>(zorcomm::WinSock());
    api.WSAGetLastError = FakeGetLastError;
    api.gethostbyname = FakeGetHostByName;
    api.WSAIoctl = FakeIoctl;
    api.socket = FakeSocket;
    api.getsockname = FakeGetSockName;
    api.setsockopt = FakeSetSockOpt;
    api.bind = FakeSucceed3;
    api.connect = FakeSucceed3;
    api.sendto = FakeSendTo;
    api.recvfrom = FakeRecvFrom;
    api.closesocket = FakeClose;
    api.send = FakeSend;
    api.recv = FakeRecv;
}

} // namespace zfuzz

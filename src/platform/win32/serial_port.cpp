// Serial ports on Windows: the communications functions of the kernel on a port handle, with
// synchronous I/O bounded by the port's time-outs. Processes that share a port each hold a
// duplicate of the handle of the process that opened it.
#include "platform/serial_port.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "platform/win32/area.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

static_assert(sizeof(DCB) == sizeof(DeviceControlBlock), "the block stands for the DCB");
static_assert(sizeof(COMMTIMEOUTS) == sizeof(SerialTimeouts), "the time-outs are COMMTIMEOUTS");

namespace {

HANDLE Native(void *handle) { return static_cast<HANDLE>(handle); }

uint32_t HandleValue(const void *handle) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

// COM7 and \\.\COM7 name the same device, in any case.
bool SameDevice(const char *a, const char *b) {
    auto bare = [](const char *name) {
        return std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    };
    a = bare(a);
    b = bare(b);
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) !=
            std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

class PreservedError {
public:
    PreservedError() : code_(GetLastError()) {}
    ~PreservedError() { SetLastError(code_); }
    PreservedError(const PreservedError &) = delete;
    PreservedError &operator=(const PreservedError &) = delete;

private:
    DWORD code_;
};

} // namespace

namespace win32 {

void RegisterPort(const char *device, uint32_t handle) {
    if (std::strlen(device) >= kDeviceNameSize) return; // such a name is nobody's to join
    const uint32_t self = GetCurrentProcessId();
    RegionLock lock;
    for (auto &entry : TheArea().ports) {
        if (entry.pid != 0 && ProcessAlive(entry.pid)) continue;
        entry.pid = self;
        entry.handle = handle;
        std::memset(entry.device, 0, sizeof entry.device);
        std::memcpy(entry.device, device, std::strlen(device));
        return;
    }
}

void UnregisterPort(uint32_t handle) {
    const uint32_t self = GetCurrentProcessId();
    RegionLock lock;
    for (auto &entry : TheArea().ports)
        if (entry.pid == self && entry.handle == handle) entry = PortEntry{};
}

void *DuplicatePortOfAnotherProcess(const char *device) {
    const uint32_t self = GetCurrentProcessId();
    RegionLock lock;
    for (const auto &entry : TheArea().ports) {
        if (entry.pid == 0 || entry.pid == self || !SameDevice(entry.device, device) ||
            !ProcessAlive(entry.pid))
            continue;
        HANDLE owner = OpenProcess(PROCESS_DUP_HANDLE, FALSE, entry.pid);
        HANDLE own = OpenProcess(PROCESS_DUP_HANDLE, FALSE, self);
        HANDLE duplicate = nullptr;
        const bool done =
            owner && own &&
            DuplicateHandle(owner, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entry.handle)),
                            own, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
        if (owner) CloseHandle(owner);
        if (own) CloseHandle(own);
        if (done) return duplicate;
    }
    return nullptr;
}

} // namespace win32

SerialPort::~SerialPort() { Close(); }

SerialPort::SerialPort(SerialPort &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

SerialPort &SerialPort::operator=(SerialPort &&other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

bool SerialPort::Open(const std::string &path, bool exclusive) {
    Close();
    HANDLE port = exclusive ? nullptr : win32::DuplicatePortOfAnotherProcess(path.c_str());
    if (!port) {
        port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (port == INVALID_HANDLE_VALUE) return false;
        // Receive and transmit queues of 2048 and 1024 bytes; a driver that keeps its own
        // sizes refuses, which does no harm.
        SetupComm(port, 2048, 1024);
    }
    handle_ = port;
    win32::RegisterPort(path.c_str(), HandleValue(handle_));
    return true;
}

bool SerialPort::SetUp() { return handle_ != nullptr; }

void SerialPort::Close() {
    if (!handle_) return;
    PreservedError keep;
    win32::UnregisterPort(HandleValue(handle_));
    CloseHandle(Native(handle_));
    handle_ = nullptr;
}

uint32_t SerialPort::Handle() const { return HandleValue(handle_); }

bool SerialPort::GetState(DeviceControlBlock &dcb) const {
    DCB native{};
    native.DCBlength = sizeof native;
    if (!GetCommState(Native(handle_), &native)) return false;
    std::memcpy(&dcb, &native, sizeof dcb);
    return true;
}

bool SerialPort::SetState(const DeviceControlBlock &dcb) {
    DCB native{};
    std::memcpy(&native, &dcb, sizeof native);
    native.DCBlength = sizeof native;
    return SetCommState(Native(handle_), &native) != FALSE;
}

bool SerialPort::SetTimeouts(const SerialTimeouts &timeouts) {
    COMMTIMEOUTS native{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                        timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                        timeouts.WriteTotalTimeoutConstant};
    return SetCommTimeouts(Native(handle_), &native) != FALSE;
}

bool SerialPort::Purge(uint32_t flags) { return PurgeComm(Native(handle_), flags) != FALSE; }

bool SerialPort::ClearError(uint32_t &flags, uint32_t &bytesInQueue) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(handle_), &errors, &status)) return false;
    flags = errors;
    bytesInQueue = status.cbInQue;
    return true;
}

bool SerialPort::ClearErrorFlags(uint32_t &flags) {
    DWORD errors = 0;
    if (!ClearCommError(Native(handle_), &errors, nullptr)) return false;
    flags = errors;
    return true;
}

bool SerialPort::Read(std::span<uint8_t> buffer, uint32_t &done) {
    DWORD read = 0;
    const BOOL ok =
        ReadFile(Native(handle_), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
    done = read;
    return ok != FALSE;
}

bool SerialPort::Write(std::span<const uint8_t> buffer, uint32_t &done) {
    DWORD written = 0;
    const BOOL ok = WriteFile(Native(handle_), buffer.data(), static_cast<DWORD>(buffer.size()),
                              &written, nullptr);
    done = written;
    return ok != FALSE;
}

std::string ComPortPath(uint32_t number, const char *) {
    const std::string name = "COM" + std::to_string(number);
    return number < 10 ? name : "\\\\.\\" + name;
}

} // namespace zorcomm::platform

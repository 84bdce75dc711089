// Serial ports in the library's terms: the device-control block, the five time-outs, purge
// flags and the port error flags, over the operating system's own port interface.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zorcomm::platform {

// The port settings the library applies (28 bytes, the layout of the block it stands for).
struct DeviceControlBlock {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};
static_assert(sizeof(DeviceControlBlock) == 28);

constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                   RTS_CONTROL_TOGGLE = 3;

// All in milliseconds. Reads: the wait between two bytes is bounded by ReadIntervalTimeout (0 =
// not used) and the whole read by ReadTotalTimeoutMultiplier x count + ReadTotalTimeoutConstant
// (both 0 = not used); an interval of 0xFFFFFFFF with both totals 0 returns at once with what
// is there; all five 0 waits until the count is complete. Writes likewise with the write pair.
struct SerialTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

constexpr uint32_t PURGE_TXABORT = 0x01, PURGE_RXABORT = 0x02, PURGE_TXCLEAR = 0x04,
                   PURGE_RXCLEAR = 0x08;

// Port error flags.
constexpr uint32_t CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004,
                   CE_FRAME = 0x0008, CE_BREAK = 0x0010, CE_TXFULL = 0x0100, CE_PTO = 0x0200,
                   CE_IOE = 0x0400, CE_DNS = 0x0800, CE_OOP = 0x1000, CE_MODE = 0x8000;

// One open port. Failing calls leave the system error code (GetSystemError) set.
class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(SerialPort &&other) noexcept;
    SerialPort &operator=(SerialPort &&other) noexcept;
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Opens the device for reading and writing. `exclusive`: refuse when another open of the
    // device already holds it exclusively, and hold it so (a process joining a port that
    // another process of the library holds opens it without). On Windows, where a port opened
    // exclusively cannot be opened again, a non-exclusive open duplicates the handle of a live
    // process of the library that holds the device into this process instead.
    bool Open(const std::string &path, bool exclusive);
    // Puts the opened device into the state the port's reads and writes expect (raw mode on
    // POSIX; nothing to do on Windows). Fails on a device that is no terminal.
    bool SetUp();
    void Close();
#if defined(_WIN32)
    bool IsOpen() const { return handle_ != nullptr; }
#else
    bool IsOpen() const { return fd_ >= 0; }
#endif
    // A number identifying the open port within this process (never 0 while open).
    uint32_t Handle() const;

    bool GetState(DeviceControlBlock &dcb) const;
    bool SetState(const DeviceControlBlock &dcb);
    bool SetTimeouts(const SerialTimeouts &timeouts);
    bool Purge(uint32_t flags);
    // The error flags gathered since the last call (then cleared) and the bytes waiting.
    bool ClearError(uint32_t &flags, uint32_t &bytesInQueue);
    // The same without counting the bytes waiting, for callers that only reset the flags.
    bool ClearErrorFlags(uint32_t &flags);
    // Synchronous, bounded by the time-outs; `done` is the count actually moved.
    bool Read(std::span<uint8_t> buffer, uint32_t &done);
    bool Write(std::span<const uint8_t> buffer, uint32_t &done);

private:
#if defined(_WIN32)
    void *handle_ = nullptr; // the port's handle; null while closed
#else
    int fd_ = -1;
    SerialTimeouts timeouts_{};
    uint32_t pendingErrors_ = 0;
    // The device's line-error counters (frame, parity, overrun, buffer overrun, break) as last
    // seen; ClearError reports what grew since.
    std::array<uint32_t, 5> errorCounts_{};
    // The device said it keeps no such counters (pseudo terminals, many USB adapters): not
    // asked again until the next open.
    bool noErrorCounts_ = false;
    // The last transfer was a write: the next read waits before it looks, since the answer to
    // what was just written cannot be there yet.
    bool justWrote_ = false;
    // The block last applied: the members the terminal settings have no place for come from it.
    DeviceControlBlock settings_{};
#endif
};

// The device a COM port number opens. POSIX: ZORCOMM_COM<n>, else key COM<n> of section [PORTS]
// of the settings file, else /dev/ttyS<n-1>; empty when there is none (port 0 without a mapping).
// Windows: COM<n> below 10, and from 10 on the device-namespace form \\.\COM<n>.
std::string ComPortPath(uint32_t number, const char *settingsPath);

} // namespace zorcomm::platform

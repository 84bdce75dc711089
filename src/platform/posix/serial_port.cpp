// Serial ports on terminal devices: the device-control block mapped onto termios, the five
// time-outs honoured with poll() on a non-blocking descriptor, exclusive use through flock().
#include "platform/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/platform.h"

namespace zorcomm::platform {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr uint32_t kNoLimit = 0xFFFFFFFF;
// Waits longer than this (about 35 years) count as no limit; keeps the clock arithmetic in range.
constexpr uint64_t kLongestWaitMs = uint64_t{1} << 40;

struct Speed {
    uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200},
#ifdef __linux__
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
#endif
};

std::optional<speed_t> SpeedCode(uint32_t rate) {
    for (const Speed &speed : kSpeeds)
        if (speed.rate == rate) return speed.code;
    return std::nullopt;
}

uint32_t SpeedRate(speed_t code) {
    for (const Speed &speed : kSpeeds)
        if (speed.code == code) return speed.rate;
    return 0;
}

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

#ifdef CMSPAR
constexpr tcflag_t kMarkSpace = CMSPAR;
#else
constexpr tcflag_t kMarkSpace = 0;
#endif
#ifdef CRTSCTS
constexpr tcflag_t kHardwareFlow = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlow = 0;
#endif

bool WantsHardwareFlow(const DeviceControlBlock &dcb) {
    return dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
}

bool ValidBlock(const DeviceControlBlock &dcb) {
    if (!SpeedCode(dcb.BaudRate) || dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
    if (dcb.Parity >= MARKPARITY && kMarkSpace == 0) return false;
    if (WantsHardwareFlow(dcb) && kHardwareFlow == 0) return false;
    // One character cannot both stop and restart the sender.
    return !((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
}

tcflag_t ParityFlags(uint8_t parity) {
    switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    case MARKPARITY: return PARENB | PARODD | kMarkSpace;
    case SPACEPARITY: return PARENB | kMarkSpace;
    default: return 0;
    }
}

uint8_t ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) return NOPARITY;
    if (kMarkSpace != 0 && (cflag & kMarkSpace)) return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

void ApplyBlock(const DeviceControlBlock &dcb, speed_t speed, termios &tio) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | kMarkSpace | CSTOPB | kHardwareFlow);
    tio.c_cflag |= kSizes[dcb.ByteSize - 5] | ParityFlags(dcb.Parity) | CLOCAL | CREAD;
    // One and a half stop bits exist only for 5-bit characters; two is the nearest termios has.
    if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (WantsHardwareFlow(dcb)) tio.c_cflag |= kHardwareFlow;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (dcb.fParity) tio.c_iflag |= INPCK;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

// The line format actually in force matches the one asked for (some drivers drop what they
// cannot do without failing tcsetattr).
bool Took(const termios &wanted, const termios &now) {
    constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CSTOPB;
    return cfgetospeed(&now) == cfgetospeed(&wanted) &&
           (now.c_cflag & kFormat) == (wanted.c_cflag & kFormat);
}

// Ptys and some adapters have no modem lines; the rest of the settings still applies there.
bool SetModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool ApplyModemLines(int fd, const DeviceControlBlock &dcb) {
    // Handshake and toggle modes leave the line to the driver.
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        if (!SetModemLine(fd, TIOCM_DTR, true)) return false;
    } else if (dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        if (!SetModemLine(fd, TIOCM_DTR, false)) return false;
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) return SetModemLine(fd, TIOCM_RTS, true);
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) return SetModemLine(fd, TIOCM_RTS, false);
    return true;
}

// Hardware flow and the modem lines as the device has them, where it says.
void ReadFlowControl(int fd, const termios &tio, DeviceControlBlock &dcb) {
    const bool hardwareFlow = kHardwareFlow != 0 && (tio.c_cflag & kHardwareFlow);
    if (hardwareFlow != WantsHardwareFlow(dcb)) {
        dcb.fOutxCtsFlow = hardwareFlow;
        dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE)
        dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
}

DeviceControlBlock InitialSettings() {
    DeviceControlBlock dcb{};
    dcb.DCBlength = sizeof(DeviceControlBlock);
    dcb.fBinary = 1;
    // Opening a terminal device raises both lines.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

// Input and output unprocessed, reads not held back by the line discipline. The line format
// (size, parity, stop bits, speed) is left to SetState, so that a process joining a port keeps
// the format its holder applied.
void MakeRaw(termios &tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    // With VMIN 1 an empty non-blocking read reports EAGAIN, so a read of 0 means end of line.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

// frame, parity, overrun, buffer overrun, break: the order of SerialPort::errorCounts_.
constexpr uint32_t kCountedErrors[] = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK};

// False when the counts could not be read; `absent` tells that the device keeps none.
bool ReadErrorCounts(int fd, std::array<uint32_t, 5> &counts, bool &absent) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        absent = errno == ENOTTY || errno == EINVAL;
        return false;
    }
    counts = {static_cast<uint32_t>(icount.frame), static_cast<uint32_t>(icount.parity),
              static_cast<uint32_t>(icount.overrun), static_cast<uint32_t>(icount.buf_overrun),
              static_cast<uint32_t>(icount.brk)};
    return true;
#else
    (void)fd;
    (void)counts;
    absent = true;
    return false;
#endif
}

Deadline After(Clock::time_point start, uint64_t milliseconds) {
    if (milliseconds >= kLongestWaitMs) return std::nullopt;
    return start + std::chrono::milliseconds(milliseconds);
}

Deadline Earlier(Deadline a, Deadline b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

enum class Ready { Yes, TimedOut, Failed };

// Waits until the descriptor is ready for `events` or the deadline passes. A line that hung up
// without anything left to read is an error (EIO), not a ready descriptor.
Ready WaitFor(int fd, short events, Deadline deadline) {
    while (true) {
        int timeout = -1;
        if (deadline) {
            const auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) return Ready::TimedOut;
            // Rounded up, so the wait never ends before the deadline.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            timeout = static_cast<int>(std::min<int64_t>(ms, 1 << 30));
        }
        pollfd entry{fd, events, 0};
        const int result = poll(&entry, 1, timeout);
        if (result < 0) {
            if (errno == EINTR) continue;
            return Ready::Failed;
        }
        if (result == 0) continue;
        if (entry.revents & POLLNVAL) {
            errno = EBADF;
            return Ready::Failed;
        }
        if (entry.revents & events) return Ready::Yes;
        if (entry.revents & (POLLHUP | POLLERR)) {
            errno = EIO;
            return Ready::Failed;
        }
    }
}

} // namespace

SerialPort::~SerialPort() { Close(); }

SerialPort::SerialPort(SerialPort &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeouts_(other.timeouts_),
      pendingErrors_(other.pendingErrors_), errorCounts_(other.errorCounts_),
      noErrorCounts_(other.noErrorCounts_), justWrote_(other.justWrote_),
      settings_(other.settings_) {}

SerialPort &SerialPort::operator=(SerialPort &&other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        timeouts_ = other.timeouts_;
        pendingErrors_ = other.pendingErrors_;
        errorCounts_ = other.errorCounts_;
        noErrorCounts_ = other.noErrorCounts_;
        justWrote_ = other.justWrote_;
        settings_ = other.settings_;
    }
    return *this;
}

bool SerialPort::Open(const std::string &path, bool exclusive) {
    Close();
    // Non-blocking, so that a port without carrier does not hold up the open; every wait
    // afterwards goes through poll().
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const auto fail = [&fd] {
        const int code = errno;
        ::close(fd);
        errno = code;
        return false;
    };
    if (fd <= STDERR_FILENO) {
        // Keeps the port clear of the standard streams, and its handle never 0.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) return fail();
        ::close(fd);
        fd = moved;
    }
    if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return fail();
    }
    fd_ = fd;
    timeouts_ = {};
    pendingErrors_ = 0;
    errorCounts_ = {};
    noErrorCounts_ = false;
    justWrote_ = false;
    ReadErrorCounts(fd_, errorCounts_, noErrorCounts_);
    settings_ = InitialSettings();
    return true;
}

bool SerialPort::SetUp() {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    MakeRaw(tio);
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
}

void SerialPort::Close() {
    if (fd_ < 0) return;
    const int code = errno;
    // Released explicitly: a process forked meanwhile shares the descriptor and would otherwise
    // keep the port locked after its holder closed it.
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    errno = code;
}

uint32_t SerialPort::Handle() const { return fd_ >= 0 ? static_cast<uint32_t>(fd_) : 0; }

bool SerialPort::GetState(DeviceControlBlock &dcb) const {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    DeviceControlBlock state = settings_;
    state.DCBlength = sizeof(DeviceControlBlock);
    state.fBinary = 1;
    state.BaudRate = SpeedRate(cfgetospeed(&tio));
    const auto size = std::find(std::begin(kSizes), std::end(kSizes), tio.c_cflag & CSIZE);
    state.ByteSize = static_cast<uint8_t>(5 + (size - std::begin(kSizes)));
    state.Parity = ParityOf(tio.c_cflag);
    if (!(tio.c_cflag & CSTOPB))
        state.StopBits = ONESTOPBIT;
    else if (settings_.StopBits != ONE5STOPBITS)
        state.StopBits = TWOSTOPBITS;
    state.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    state.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    state.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    state.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    ReadFlowControl(fd_, tio, state);
    dcb = state;
    return true;
}

bool SerialPort::SetState(const DeviceControlBlock &dcb) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (!ValidBlock(dcb)) {
        errno = EINVAL;
        return false;
    }
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    ApplyBlock(dcb, *SpeedCode(dcb.BaudRate), tio);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return false;
    termios now{};
    if (tcgetattr(fd_, &now) != 0) return false;
    if (!Took(tio, now)) {
        errno = EINVAL;
        return false;
    }
    if (!ApplyModemLines(fd_, dcb)) return false;
    settings_ = dcb;
    return true;
}

bool SerialPort::SetTimeouts(const SerialTimeouts &timeouts) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    timeouts_ = timeouts;
    return true;
}

bool SerialPort::Purge(uint32_t flags) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    // Transfers are synchronous, so there is never one in flight to abort.
    const bool input = flags & PURGE_RXCLEAR;
    const bool output = flags & PURGE_TXCLEAR;
    if (!input && !output) return true;
    return tcflush(fd_, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) == 0;
}

bool SerialPort::ClearError(uint32_t &flags, uint32_t &bytesInQueue) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return false;
    bytesInQueue = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    return ClearErrorFlags(flags);
}

bool SerialPort::ClearErrorFlags(uint32_t &flags) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    std::array<uint32_t, 5> counts{};
    if (!noErrorCounts_ && ReadErrorCounts(fd_, counts, noErrorCounts_)) {
        for (size_t i = 0; i < counts.size(); ++i)
            if (counts[i] != errorCounts_[i]) pendingErrors_ |= kCountedErrors[i];
        errorCounts_ = counts;
    }
    flags = std::exchange(pendingErrors_, 0);
    return true;
}

bool SerialPort::Read(std::span<uint8_t> buffer, uint32_t &done) {
    done = 0;
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    const size_t count = std::min<size_t>(buffer.size(), kNoLimit);
    if (count == 0) return true;
    const SerialTimeouts &t = timeouts_;
    const auto start = Clock::now();
    // Interval "no limit" with both totals 0: whatever is there, at once.
    const bool immediate = t.ReadIntervalTimeout == kNoLimit && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    // Interval and multiplier "no limit" with a constant: what is there, else the first bytes
    // to arrive within the constant.
    const bool firstArrival = t.ReadIntervalTimeout == kNoLimit &&
                              t.ReadTotalTimeoutMultiplier == kNoLimit &&
                              t.ReadTotalTimeoutConstant != 0 &&
                              t.ReadTotalTimeoutConstant != kNoLimit;
    Deadline total;
    if (firstArrival)
        total = After(start, t.ReadTotalTimeoutConstant);
    else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
        total = After(start, uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                 t.ReadTotalTimeoutConstant);
    // The gap between bytes counts from the first byte on; the first waits for the total only.
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kNoLimit;
    Clock::time_point lastByte{};
    bool toldReadable = false;
    // Right after a write the answer is not there yet: a read first would only say so.
    bool waitFirst = std::exchange(justWrote_, false) && !immediate;

    while (done < count) {
        if (waitFirst) {
            waitFirst = false;
        } else {
            const ssize_t got = ::read(fd_, buffer.data() + done, count - done);
            if (got > 0) {
                done += static_cast<uint32_t>(got);
                lastByte = Clock::now();
                toldReadable = false;
                if (firstArrival) break;
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (got == 0 && toldReadable) {
                // Readable yet nothing to read: the line hung up.
                errno = EIO;
                return false;
            }
            if (immediate) break;
        }
        Deadline deadline = total;
        if (interval && done > 0)
            deadline = Earlier(deadline, After(lastByte, t.ReadIntervalTimeout));
        const Ready ready = WaitFor(fd_, POLLIN, deadline);
        if (ready == Ready::TimedOut) break;
        if (ready == Ready::Failed) return false;
        toldReadable = true;
    }
    return true;
}

bool SerialPort::Write(std::span<const uint8_t> buffer, uint32_t &done) {
    done = 0;
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    const size_t count = std::min<size_t>(buffer.size(), kNoLimit);
    if (count == 0) return true;
    const SerialTimeouts &t = timeouts_;
    Deadline deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
        deadline = After(Clock::now(), uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                                           t.WriteTotalTimeoutConstant);
    while (done < count) {
        const ssize_t put = ::write(fd_, buffer.data() + done, count - done);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            justWrote_ = true;
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const Ready ready = WaitFor(fd_, POLLOUT, deadline);
        if (ready == Ready::TimedOut) break;
        if (ready == Ready::Failed) return false;
    }
    return true;
}

std::string ComPortPath(uint32_t number, const char *settingsPath) {
    const std::string key = "COM" + std::to_string(number);
    std::string path = Environment(("ZORCOMM_" + key).c_str());
    if (!path.empty()) return path;
    if (settingsPath && ReadProfileString("PORTS", key.c_str(), path, settingsPath) &&
        !path.empty())
        return path;
    if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    return {};
}

} // namespace zorcomm::platform

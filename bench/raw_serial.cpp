#include "raw_serial.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr uint8_t kAcknowledge = 0x4F;
constexpr int kReadLimitMs = 1000;
constexpr uint16_t kDownloadPointer = 0x032B;

class Driver final : public RawLink {
public:
    Driver()
    {
        module_ = dlopen(Paths::Driver(), RTLD_NOW | RTLD_LOCAL);
        if (!module_) throw Failure(std::string("cannot load the virtual serial driver: ") + dlerror());
        read_ = reinterpret_cast<ReadFn>(dlsym(module_, "ReadData"));
        write_ = reinterpret_cast<WriteFn>(dlsym(module_, "WriteData"));
        purge_ = reinterpret_cast<PurgeFn>(dlsym(module_, "PurgeQueues"));
        if (!read_ || !write_ || !purge_) throw Failure("the virtual serial driver lacks an entry point");
    }
    ~Driver() override { dlclose(module_); }
    void Write(std::span<const uint8_t> bytes) override
    {
        uint32_t done = 0;
        if (!write_(bytes.data(), static_cast<uint32_t>(bytes.size()), &done) || done != bytes.size())
            throw Failure("WriteData failed");
    }
    void Read(std::span<uint8_t> bytes) override
    {
        uint32_t done = 0;
        if (!read_(bytes.data(), static_cast<uint32_t>(bytes.size()), &done) || done != bytes.size())
            throw Failure("ReadData: " + std::to_string(done) + " of " + std::to_string(bytes.size()) + " bytes");
    }
    void Purge() override { purge_(); }

private:
    using ReadFn = uint8_t (*)(void *, uint32_t, uint32_t *);
    using WriteFn = uint8_t (*)(const void *, uint32_t, uint32_t *);
    using PurgeFn = void (*)();
    void *module_;
    ReadFn read_;
    WriteFn write_;
    PurgeFn purge_;
};

speed_t Speed(uint32_t rate)
{
    switch (rate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
    }
}

class Pty final : public RawLink {
public:
    Pty(const std::string &path, uint32_t rate) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd_ < 0) throw Failure("cannot open " + path);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
        cfsetspeed(&tio, Speed(rate));
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) throw Failure("cannot set up " + path);
    }
    ~Pty() override { close(fd_); }
    void Write(std::span<const uint8_t> bytes) override
    {
        if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) throw Failure("pty write failed");
    }
    void Read(std::span<uint8_t> bytes) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd_, bytes.data() + done, bytes.size() - done);
            if (got > 0) {
                done += static_cast<std::size_t>(got);
                continue;
            }
            if (got < 0 && errno != EAGAIN && errno != EINTR) throw Failure("pty read failed");
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, kReadLimitMs) <= 0) throw Failure("no answer on the pty");
        }
    }
    void Purge() override { tcflush(fd_, TCIOFLUSH); }

private:
    int fd_;
};

class Udp final : public RawLink {
public:
    Udp(const std::string &address, uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        peer_.sin_family = AF_INET;
        peer_.sin_port = htons(port);
        if (fd_ < 0 || inet_pton(AF_INET, address.c_str(), &peer_.sin_addr) != 1) throw Failure("bad address " + address);
    }
    ~Udp() override { close(fd_); }
    void Write(std::span<const uint8_t> bytes) override
    {
        if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&peer_), sizeof peer_) !=
            static_cast<ssize_t>(bytes.size()))
            throw Failure("sendto failed");
    }
    void Read(std::span<uint8_t> bytes) override
    {
        while (buffer_.size() < bytes.size()) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, kReadLimitMs) <= 0) throw Failure("no datagram from the device server");
            uint8_t datagram[2048];
            const ssize_t got = recv(fd_, datagram, sizeof datagram, 0);
            if (got < 0) throw Failure("recv failed");
            buffer_.insert(buffer_.end(), datagram, datagram + got);
        }
        std::copy_n(buffer_.begin(), bytes.size(), bytes.begin());
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(bytes.size()));
    }
    bool PurgesBeforeSend() const override { return false; }
    void Purge() override
    {
        buffer_.clear();
        uint8_t datagram[2048];
        while (recv(fd_, datagram, sizeof datagram, MSG_DONTWAIT) > 0) {
        }
    }

private:
    int fd_;
    sockaddr_in peer_{};
    std::deque<uint8_t> buffer_;
};

uint16_t Word(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

} // namespace

std::unique_ptr<RawLink> DriverLink() { return std::make_unique<Driver>(); }
std::unique_ptr<RawLink> PtyLink(const std::string &path, uint32_t rate) { return std::make_unique<Pty>(path, rate); }
std::unique_ptr<RawLink> UdpLink(const std::string &address, uint16_t port)
{
    return std::make_unique<Udp>(address, port);
}

void SerialFrameInto(std::vector<uint8_t> &frame, uint16_t address, uint16_t opCode, std::span<const uint16_t> words)
{
    frame.assign({static_cast<uint8_t>(2 * words.size() + 4), static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address), static_cast<uint8_t>(opCode >> 8), static_cast<uint8_t>(opCode)});
    for (uint16_t word : words) {
        frame.push_back(static_cast<uint8_t>(word >> 8));
        frame.push_back(static_cast<uint8_t>(word));
    }
    unsigned sum = 0;
    for (uint8_t byte : frame) sum += byte;
    frame.push_back(static_cast<uint8_t>(sum));
}

std::vector<uint8_t> SerialFrame(uint16_t address, uint16_t opCode, std::span<const uint16_t> words)
{
    std::vector<uint8_t> frame;
    SerialFrameInto(frame, address, opCode, words);
    return frame;
}

void RawSerialDrive::Send(uint16_t opCode, std::span<const uint16_t> words, bool purge)
{
    if (purge) link_.Purge();
    SerialFrameInto(out_, address_, opCode, words);
    link_.Write(out_);
    uint8_t ack = 0;
    link_.Read({&ack, 1});
    if (ack != kAcknowledge) throw Failure("no acknowledge");
    lineBytes_ += out_.size() + 1;
}

std::span<const uint16_t> RawSerialDrive::Query(uint16_t opCode, std::span<const uint16_t> words, uint16_t answerOp,
                                                std::size_t answerWords)
{
    if (link_.PurgesBeforeSend()) link_.Purge();
    SerialFrameInto(out_, address_, opCode, words);
    link_.Write(out_);
    // The acknowledge and the answer frame: length, address, op code, words, checksum.
    in_.resize(1 + 6 + 2 * answerWords);
    link_.Read(in_);
    lineBytes_ += out_.size() + in_.size();
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < in_.size(); ++i) sum += in_[i];
    if (in_[0] != kAcknowledge || in_[1] != 2 * answerWords + 4 || static_cast<uint8_t>(sum) != in_.back() ||
        Word(&in_[4]) != answerOp)
        throw Failure("unexpected answer");
    answer_.resize(answerWords);
    for (std::size_t i = 0; i < answerWords; ++i) answer_[i] = Word(&in_[6 + 2 * i]);
    return answer_;
}

void RawSerialDrive::WriteBlock(uint8_t memory, uint16_t address, std::span<const uint16_t> words)
{
    const bool direct = memory == kData;
    if (!direct) {
        const uint16_t pointer[] = {kDownloadPointer, address};
        Send(0x9004, pointer, link_.PurgesBeforeSend());
    }
    uint16_t message[3];
    for (std::size_t at = 0; at < words.size();) {
        const std::size_t n = words.size() - at >= 2 ? 2 : 1;
        message[0] = direct ? static_cast<uint16_t>(address + at) : kDownloadPointer;
        for (std::size_t i = 0; i < n; ++i) message[1 + i] = words[at + i];
        const uint16_t op = direct ? static_cast<uint16_t>(0x9004 | (n - 1))
                                   : static_cast<uint16_t>((((0xE408 | memory) << 2) & 0xFFFF) | (n - 1));
        Send(op, std::span<const uint16_t>(message, n + 1), link_.PurgesBeforeSend());
        at += n;
    }
}

void RawSerialDrive::ReadBlock(uint8_t memory, uint16_t address, std::span<uint16_t> words)
{
    for (std::size_t at = 0; at < words.size();) {
        const std::size_t n = words.size() - at >= 2 ? 2 : 1;
        const uint16_t at16 = static_cast<uint16_t>(address + at);
        const uint16_t request[] = {replyTo_, at16};
        const uint16_t op = static_cast<uint16_t>((((0xEC00 | memory) << 2) & 0xFFFF) | (n - 1));
        const std::span<const uint16_t> answer = Query(op, request, static_cast<uint16_t>(0xB404 | (n - 1)), 2 + n);
        if (answer[1] != at16) throw Failure("answer for another address");
        for (std::size_t i = 0; i < n; ++i) words[at + i] = answer[2 + i];
        at += n;
    }
}

uint16_t RawSerialDrive::Checksum(uint8_t memory, uint16_t first, uint16_t last)
{
    const uint16_t op = static_cast<uint16_t>(0xDA10 | memory << 5);
    const uint16_t query[] = {replyTo_, first, last};
    return Query(op, query, op, 1)[0];
}

} // namespace bench

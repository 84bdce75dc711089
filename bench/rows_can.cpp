// CAN on the paced bus at 500 kbit/s through one stand-in family (PCAN-Basic), both identifier
// schemes: block writes and reads through the library beside a raw loop of the same frames
// through the same stand-in and beside the bus time of those frames.
#include "bench.h"

#include "transport/vendor/pcanbasic.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <numeric>
#include <sched.h>
#include <unistd.h>

namespace bench {

namespace {

namespace pb = zorcomm::vendor::pcanbasic;

constexpr uint32_t kBitRate = 500000;
constexpr uint16_t kBase = 0x8000;
constexpr uint16_t kHost = 0x0010;  // the PC's axis 1
constexpr uint16_t kDrive = 0x0020; // the drive, axis 2
constexpr uint16_t kDownloadPointer = 0x032B;
constexpr pb::TPCANHandle kChannel = pb::kUsbBus1; // device "1" of CHANNEL_PEAK_PCAN_USB

// The bits a frame holds the bus, as the simulated bus counts them (no stuffing bits).
unsigned FrameBits(bool extended, unsigned dlc) { return (extended ? 64 : 44) + 8 * dlc + 3; }

struct Message {
    uint16_t address = 0;
    uint16_t opCode = 0;
    std::vector<uint16_t> words;
};

// A minimal program on the stand-in: writes the frames the library would write for a block and
// polls for the answers without sleeping.
class RawCan {
public:
    explicit RawCan(bool torvane) : torvane_(torvane)
    {
        module_ = dlopen((std::string(Paths::VendorDir()) + "/libpcanbasic.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module_) throw Failure(std::string("cannot load the PCAN-Basic stand-in: ") + dlerror());
        initialize_ = reinterpret_cast<pb::CAN_Initialize_t>(dlsym(module_, "CAN_Initialize"));
        uninitialize_ = reinterpret_cast<pb::CAN_Uninitialize_t>(dlsym(module_, "CAN_Uninitialize"));
        read_ = reinterpret_cast<pb::CAN_Read_t>(dlsym(module_, "CAN_Read"));
        write_ = reinterpret_cast<pb::CAN_Write_t>(dlsym(module_, "CAN_Write"));
        if (!initialize_ || !uninitialize_ || !read_ || !write_) throw Failure("the stand-in lacks an entry point");
        if (initialize_(kChannel, pb::kBaud500K, 0, 0, 0) != pb::kOk) throw Failure("CAN_Initialize failed");
    }
    ~RawCan()
    {
        uninitialize_(kChannel);
        dlclose(module_);
    }

    void WriteBlock(uint8_t memory, uint16_t address, std::span<const uint16_t> words)
    {
        const bool direct = memory == kData;
        if (!direct) Send({kDrive, 0x9004, {kDownloadPointer, address}});
        for (std::size_t at = 0; at < words.size();) {
            const std::size_t n = words.size() - at >= 2 ? 2 : 1;
            Message message{kDrive,
                            direct ? static_cast<uint16_t>(0x9004 | (n - 1))
                                   : static_cast<uint16_t>((((0xE408 | memory) << 2) & 0xFFFF) | (n - 1)),
                            {direct ? static_cast<uint16_t>(address + at) : kDownloadPointer}};
            for (std::size_t i = 0; i < n; ++i) message.words.push_back(words[at + i]);
            Send(message);
            at += n;
        }
    }

    void ReadBlock(uint8_t memory, uint16_t address, std::span<uint16_t> words)
    {
        for (std::size_t at = 0; at < words.size();) {
            const std::size_t n = words.size() - at >= 2 ? 2 : 1;
            const uint16_t at16 = static_cast<uint16_t>(address + at);
            Send({kDrive, static_cast<uint16_t>((((0xEC00 | memory) << 2) & 0xFFFF) | (n - 1)), {kHost, at16}});
            const uint16_t replyOp = static_cast<uint16_t>(0xB404 | (n - 1));
            const Message reply = Await([&](const Message &m) {
                return m.opCode == replyOp && m.words.size() == 2 + n && m.words[1] == at16;
            });
            for (std::size_t i = 0; i < n; ++i) words[at + i] = reply.words[2 + i];
            at += n;
        }
    }

    uint64_t bus_bits() const { return bits_; }

private:
    void Send(const Message &message)
    {
        pb::TPCANMsg frame{};
        const auto op = message.opCode;
        std::size_t at = 0;
        if (torvane_) {
            // The general class: 0x120 | axis, the op code low byte first, then the words.
            frame.ID = 0x120 | ((message.address >> 4) & 0x1F);
            frame.MSGTYPE = pb::kMessageStandard;
            frame.DATA[at++] = static_cast<uint8_t>(op);
            frame.DATA[at++] = static_cast<uint8_t>(op >> 8);
        } else {
            frame.ID = static_cast<uint32_t>((op & 0xFE00) << 13 | (message.address & 0x1FFF) << 9 | (op & 0x1FF));
            frame.MSGTYPE = pb::kMessageExtended;
        }
        for (uint16_t word : message.words) {
            frame.DATA[at++] = static_cast<uint8_t>(word);
            frame.DATA[at++] = static_cast<uint8_t>(word >> 8);
        }
        frame.LEN = static_cast<uint8_t>(at);
        if (write_(kChannel, &frame) != pb::kOk) throw Failure("CAN_Write failed");
        bits_ += FrameBits(!torvane_, frame.LEN);
    }

    // A frame from the drives for the host, as a message.
    std::optional<Message> Decode(const pb::TPCANMsg &frame) const
    {
        Message message;
        auto words = [&](std::size_t from) {
            const std::size_t length = std::min<std::size_t>(frame.LEN, 8);
            for (std::size_t i = from; i + 2 <= length; i += 2) {
                message.words.push_back(static_cast<uint16_t>(frame.DATA[i] | frame.DATA[i + 1] << 8));
            }
        };
        if (torvane_) {
            // Read replies: 0x160 | host axis; op low byte, then the sender, then the words.
            if (frame.MSGTYPE != pb::kMessageStandard || frame.ID != (0x160u | (kHost >> 4)) || frame.LEN < 2) return {};
            message.opCode = static_cast<uint16_t>(0xB400 | frame.DATA[0]);
            message.words.push_back(static_cast<uint16_t>(((frame.DATA[1] >> 3) & 0x1F) << 4));
            words(2);
        } else {
            if (frame.MSGTYPE != pb::kMessageExtended || ((frame.ID >> 9) & 0x1FFE) != kHost) return {};
            message.opCode = static_cast<uint16_t>(((frame.ID >> 13) & 0xFE00) | (frame.ID & 0x1FF));
            words(0);
        }
        message.address = kHost;
        return message;
    }

    template <typename Match> Message Await(Match match)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        pb::TPCANMsg frame{};
        pb::TPCANTimestamp time{};
        while (Clock::now() < deadline) {
            const pb::TPCANStatus status = read_(kChannel, &frame, &time);
            if (status == pb::kErrQrcvEmpty) {
                sched_yield();
                continue;
            }
            if (status != pb::kOk) throw Failure("CAN_Read failed");
            bits_ += FrameBits(frame.MSGTYPE == pb::kMessageExtended, frame.LEN);
            if (auto message = Decode(frame); message && match(*message)) return *message;
        }
        throw Failure("raw CAN: no answer");
    }

    bool torvane_;
    void *module_;
    pb::CAN_Initialize_t initialize_;
    pb::CAN_Uninitialize_t uninitialize_;
    pb::CAN_Read_t read_;
    pb::CAN_Write_t write_;
    uint64_t bits_ = 0;
};

struct CanState {
    std::unique_ptr<SimChild> bus;
    std::string dir;
    bool torvane;
    uint8_t type;
    uint32_t turn = 0;
};

std::vector<std::shared_ptr<CanState>> gCan;

// The bus's sum of the block, through its control line.
void CheckSum(CanState &state, std::span<const uint16_t> words)
{
    char command[64], expected[16];
    std::snprintf(command, sizeof command, "checksum 2 program 0x%04X 0x%04X", kBase,
                  static_cast<unsigned>(static_cast<uint16_t>(kBase + words.size() - 1)));
    std::snprintf(expected, sizeof expected, "OK %04X",
                  static_cast<unsigned>(static_cast<uint16_t>(std::accumulate(words.begin(), words.end(), 0u))));
    const std::string reply = state.bus->Control(command);
    if (reply != expected) throw Failure("CAN: the drive's sum is " + reply + ", " + expected + " was written");
}

// The library's channel on the bus, open while `work` runs: closed between the two sides, so
// that neither finds the other's answers waiting.
template <typename Work> Sample WithChannel(const CanState &state, Work work)
{
    Library &lib = Library::Get();
    const int32_t handle = lib.Open("1", 1, state.type);
    Sample rate;
    try {
        lib.Check(lib.SetActiveDrive(2), "MSK_SetActiveDrive");
        rate = work(lib);
    } catch (...) {
        lib.CloseComm(handle);
        throw;
    }
    lib.CloseComm(handle);
    return rate;
}

std::vector<Row> CanRows(const RunOptions &options)
{
    std::vector<Row> rows;
    const uint16_t count = options.quick ? 64 : 2048;
    for (bool torvane : {false, true}) {
        auto state = std::make_shared<CanState>();
        gCan.push_back(state);
        char pattern[] = "/tmp/zorcomm-bench-can-XXXXXX";
        if (!mkdtemp(pattern)) throw Failure("cannot make a temporary directory");
        state->dir = pattern;
        state->torvane = torvane;
        state->type = static_cast<uint8_t>(CHANNEL_PEAK_PCAN_USB | (torvane ? CHANNEL_PROTOCOL_TORVANECAN : 0));
        state->bus = std::make_unique<SimChild>(std::vector<std::string>{
            "can-bus", "--axes", "2", "--pace", "--protocol", torvane ? "torvanecan" : "orv", "--socket",
            state->dir + "/bus.sock"});
        const std::string scheme = torvane ? "torvanecan" : "orv";
        auto blocks = std::make_shared<std::vector<std::vector<uint16_t>>>(
            std::vector<std::vector<uint16_t>>{Pattern(count, 11), Pattern(count, 12)});
        // The bus time of the raw loop's frames, both ways, counted once.
        setenv("ZORCOMM_CANBUS", state->bus->FirstValue().c_str(), 1);
        uint64_t writeBits = 0, readBits = 0;
        // A write on CAN is done when its frames are handed to the adapter: both sides end it
        // by reading its last word back, so that the time counts the frames through the bus.
        const uint16_t last = static_cast<uint16_t>(kBase + count - 1);
        {
            RawCan probe(torvane);
            probe.WriteBlock(kProgram, kBase, (*blocks)[1]);
            uint16_t word = 0;
            probe.ReadBlock(kProgram, last, {&word, 1});
            writeBits = probe.bus_bits();
            std::vector<uint16_t> got(count);
            probe.ReadBlock(kProgram, kBase, got);
            readBits = probe.bus_bits() - writeBits;
        }
        const std::string size = std::to_string(count) + " w";
        Row write = MakeRow("CAN " + scheme + " MSK_SendData program " + size, "words/s",
                            "raw loop, same stand-in", count / (static_cast<double>(writeBits) / kBitRate), 0.95);
        write.library = [state, blocks, count, last] {
            setenv("ZORCOMM_CANBUS", state->bus->FirstValue().c_str(), 1);
            const auto &words = (*blocks)[state->turn++ % 2];
            uint16_t word = 0;
            const Sample rate = WithChannel(*state, [&](Library &lib) {
                return MeasureOnce(count, [&] {
                    lib.Check(lib.SendData(words.data(), kBase, kProgram, count), "MSK_SendData");
                    lib.Check(lib.ReceiveData(&word, last, kProgram, 1), "MSK_ReceiveData (the write's end)");
                });
            });
            if (word != words.back()) throw Failure("CAN: the block's last word did not land");
            CheckSum(*state, words);
            return rate;
        };
        write.base = [state, blocks, count, last] {
            setenv("ZORCOMM_CANBUS", state->bus->FirstValue().c_str(), 1);
            const auto &words = (*blocks)[state->turn++ % 2];
            RawCan raw(state->torvane);
            uint16_t word = 0;
            const Sample rate = MeasureOnce(count, [&] {
                raw.WriteBlock(kProgram, kBase, words);
                raw.ReadBlock(kProgram, last, {&word, 1});
            });
            if (word != words.back()) throw Failure("raw CAN: the block's last word did not land");
            CheckSum(*state, words);
            return rate;
        };
        Row read = MakeRow("CAN " + scheme + " MSK_ReceiveData program " + size, "words/s",
                           "raw loop, same stand-in", count / (static_cast<double>(readBits) / kBitRate), 0.95);
        read.library = [state, blocks, count] {
            setenv("ZORCOMM_CANBUS", state->bus->FirstValue().c_str(), 1);
            const auto &words = (*blocks)[(state->turn + 1) % 2];
            std::vector<uint16_t> got(count);
            const Sample rate = WithChannel(*state, [&](Library &lib) {
                return MeasureOnce(count, [&] {
                    lib.Check(lib.ReceiveData(got.data(), kBase, kProgram, count), "MSK_ReceiveData");
                });
            });
            CheckWords(got, words, "MSK_ReceiveData over CAN");
            return rate;
        };
        read.base = [state, blocks, count] {
            setenv("ZORCOMM_CANBUS", state->bus->FirstValue().c_str(), 1);
            const auto &words = (*blocks)[(state->turn + 1) % 2];
            std::vector<uint16_t> got(count);
            RawCan raw(state->torvane);
            const Sample rate = MeasureOnce(count, [&] { raw.ReadBlock(kProgram, kBase, got); });
            CheckWords(got, words, "raw read over CAN");
            return rate;
        };
        rows.push_back(std::move(write));
        rows.push_back(std::move(read));
    }
    return rows;
}

void CanTeardown()
{
    for (auto &state : gCan) {
        state->bus.reset();
        if (!state->dir.empty()) rmdir(state->dir.c_str());
    }
    gCan.clear();
}

} // namespace

Group CanGroup() { return Group{"can", CanRows, CanTeardown}; }

} // namespace bench

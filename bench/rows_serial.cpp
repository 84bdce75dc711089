// The byte-stream rows: the paced download and block write on a pseudo terminal, the unpaced
// block transfers over the virtual serial driver, a pseudo terminal and UDP, single messages,
// and several processes sharing one paced line.
#include "raw_serial.h"

#include "coff_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <unistd.h>

namespace bench {

namespace {

constexpr uint32_t kLineRate = 115200;
constexpr double kBitsPerByte = 11;
constexpr uint16_t kProgramBase = 0x8000;

// Words per second the line allows for a transfer of `words` that puts `bytes` on it.
double WireRate(double words, uint64_t bytes, uint32_t rate = kLineRate)
{
    return words / (static_cast<double>(bytes) * kBitsPerByte / rate);
}

uint16_t Sum(std::span<const uint16_t> words)
{
    return static_cast<uint16_t>(std::accumulate(words.begin(), words.end(), 0u));
}

// The drive's own sum of a range, through the simulator's control line: a write that did not
// land shows here without another transfer on the line.
void CheckSum(SimChild &sim, uint8_t memory, uint16_t address, std::span<const uint16_t> words, const std::string &what)
{
    char command[96];
    std::snprintf(command, sizeof command, "checksum %s 0x%04X 0x%04X", MemoryName(memory), address,
                  static_cast<unsigned>(static_cast<uint16_t>(address + words.size() - 1)));
    char expected[16];
    std::snprintf(expected, sizeof expected, "OK %04X", Sum(words));
    const std::string reply = sim.Control(command);
    if (reply != expected) throw Failure(what + ": the drive's sum is " + reply + ", " + expected + " was written");
}

std::string TempDir()
{
    char pattern[] = "/tmp/zorcomm-bench-XXXXXX";
    if (!mkdtemp(pattern)) throw Failure("cannot make a temporary directory");
    return pattern;
}

// ---- paced: the download and the block write beside a raw loop and the wire time ----------

struct PacedState {
    std::unique_ptr<SimChild> sim;
    std::unique_ptr<RawLink> raw;
    std::string dir;
    std::vector<std::string> files; // two executables with different words, used in turn
    std::vector<std::vector<uint16_t>> words;
    uint32_t turn = 0;
    int32_t handle = 0;
};

std::shared_ptr<PacedState> gPaced;

std::vector<Row> PacedRows(const RunOptions &options)
{
    Library &lib = Library::Get();
    auto state = gPaced = std::make_shared<PacedState>();
    const std::size_t count = options.quick ? 512 : 32768;
    state->sim = std::make_unique<SimChild>(std::vector<std::string>{"serial", "--pace"});
    setenv("ZORCOMM_COM7", state->sim->FirstValue().c_str(), 1);
    state->handle = lib.Open("COM7", 1, CHANNEL_RS232);
    lib.Check(lib.SetBaudRate(kLineRate), "MSK_SetBaudRate");
    state->raw = PtyLink(state->sim->FirstValue(), kLineRate);
    state->dir = TempDir();
    for (uint32_t seed : {1u, 2u}) {
        coffwriter::Executable executable;
        executable.entryPoint = kProgramBase;
        coffwriter::Section text;
        text.name = ".text";
        text.runAddress = kProgramBase;
        text.words = Pattern(count, seed);
        executable.sections.push_back(text);
        state->files.push_back(state->dir + "/paced-" + std::to_string(seed) + ".out");
        if (!coffwriter::WriteFile(state->files.back(), executable)) throw Failure("cannot write an executable");
        state->words.push_back(text.words);
    }

    // The bytes of each transfer on the line, counted by a raw loop once.
    RawSerialDrive probe(*state->raw);
    probe.WriteBlock(kProgram, kProgramBase, state->words[0]);
    const uint64_t blockBytes = probe.line_bytes();
    probe.Checksum(kProgram, kProgramBase, static_cast<uint16_t>(kProgramBase + count - 1));
    const uint64_t downloadBytes = probe.line_bytes();

    const std::string size = std::to_string(count) + " w";
    auto next = [state] { return state->turn++ % 2; };
    Row download = MakeRow("paced pty MSK_COFFDownload " + size, "words/s", "raw loop, same frames",
                           WireRate(static_cast<double>(count), downloadBytes), 0.98);
    download.library = [state, next, count] {
        const uint32_t which = next();
        Library &lib = Library::Get();
        uint16_t entry = 0, first = 0, last = 0;
        const Sample rate = MeasureOnce(static_cast<double>(count), [&] {
            lib.Check(lib.COFFDownload(state->files[which].c_str(), &entry, &first, &last, nullptr, 0, 0),
                      "MSK_COFFDownload");
        });
        CheckSum(*state->sim, kProgram, kProgramBase, state->words[which], "download");
        return rate;
    };
    download.base = [state, next, count] {
        const uint32_t which = next();
        RawSerialDrive drive(*state->raw);
        const auto &words = state->words[which];
        const Sample rate = MeasureOnce(static_cast<double>(count), [&] {
            drive.WriteBlock(kProgram, kProgramBase, words);
            if (drive.Checksum(kProgram, kProgramBase, static_cast<uint16_t>(kProgramBase + count - 1)) != Sum(words))
                throw Failure("raw download: checksum differs");
        });
        CheckSum(*state->sim, kProgram, kProgramBase, words, "raw download");
        return rate;
    };

    Row block = MakeRow("paced pty MSK_SendData program " + size, "words/s", "raw loop, same frames",
                        WireRate(static_cast<double>(count), blockBytes), 0.98);
    block.library = [state, next, count] {
        const auto &words = state->words[next()];
        Library &lib = Library::Get();
        const Sample rate = MeasureOnce(static_cast<double>(count), [&] {
            lib.Check(lib.SendData(words.data(), kProgramBase, kProgram, static_cast<uint16_t>(count)), "MSK_SendData");
        });
        CheckSum(*state->sim, kProgram, kProgramBase, words, "MSK_SendData");
        return rate;
    };
    block.base = [state, next, count] {
        const auto &words = state->words[next()];
        RawSerialDrive drive(*state->raw);
        const Sample rate = MeasureOnce(static_cast<double>(count), [&] { drive.WriteBlock(kProgram, kProgramBase, words); });
        CheckSum(*state->sim, kProgram, kProgramBase, words, "raw block write");
        return rate;
    };
    // How late the simulator itself was on the line, over both rows and every round.
    download.note = [state, count, wire = count / download.limit] {
        char text[200];
        std::snprintf(text, sizeof text, "wire time %.2f s; the simulator's lateness on the line (both rows): %s", wire,
                      state->sim->Control("lateness reset").c_str());
        return std::string(text);
    };
    return {download, block};
}

void PacedTeardown()
{
    if (!gPaced) return;
    Library &lib = Library::Get();
    if (gPaced->handle > 0) lib.CloseComm(gPaced->handle);
    for (const std::string &file : gPaced->files) unlink(file.c_str());
    if (!gPaced->dir.empty()) rmdir(gPaced->dir.c_str());
    gPaced.reset();
}

// ---- unpaced block transfers ----------------------------------------------------------------

struct LinkState {
    std::unique_ptr<SimChild> sim;
    std::unique_ptr<RawLink> raw;
    int32_t handle = 0;
    std::unique_ptr<ThreadPin> pin; // this program's thread, while the rows of the link run
};

std::map<std::string, std::shared_ptr<LinkState>> gLinks;

// Opens the library's channel and the raw loop's link of one kind, each against the same drive.
std::shared_ptr<LinkState> OpenLink(const std::string &link, const std::string &key, bool pace = false)
{
    Library &lib = Library::Get();
    auto state = std::make_shared<LinkState>();
    if (link == "driver") {
        state->handle = lib.Open(Paths::Driver(), 1, CHANNEL_VIRTUAL_SERIAL);
        state->raw = DriverLink();
    } else if (link == "pty") {
        std::vector<std::string> args{"serial"};
        if (pace) args.push_back("--pace");
        state->sim = std::make_unique<SimChild>(args);
        const std::string port = key == "messages" ? "10" : key == "shared" ? "9" : "8";
        setenv(("ZORCOMM_COM" + port).c_str(), state->sim->FirstValue().c_str(), 1);
        state->handle = lib.Open("COM" + port, 1, CHANNEL_RS232);
        if (pace) lib.Check(lib.SetBaudRate(kLineRate), "MSK_SetBaudRate");
        state->raw = PtyLink(state->sim->FirstValue(), pace ? kLineRate : 9600);
    } else {
        const std::string address = "127.0.7.1";
        state->sim = std::make_unique<SimChild>(std::vector<std::string>{"xport", "--address", address, "--no-tcp"});
        // Both sides of a row on one processor, this program and the device server: an
        // exchange then hands the processor over directly, without the wake-up on the other
        // core that made the UDP rows move by a fifth from slice to slice.
        const int cpu = LastAllowedCpu();
        state->sim->Pin(cpu);
        state->pin = std::make_unique<ThreadPin>(cpu);
        state->handle = lib.Open(address, 1, CHANNEL_UDP);
        state->raw = UdpLink(address, 1700);
    }
    gLinks[key] = state;
    return state;
}

void CloseLink(const std::string &key)
{
    auto it = gLinks.find(key);
    if (it == gLinks.end()) return;
    if (it->second->handle > 0) Library::Get().CloseComm(it->second->handle);
    it->second->pin.reset();
    gLinks.erase(it);
}

// Where the rows write and read: apart, so that the reads always find what was put there.
uint16_t WriteBase(uint8_t memory) { return memory == kData ? 0x1000 : 0x8000; }
uint16_t ReadBase(uint8_t memory) { return memory == kData ? 0x2000 : 0xA000; }

// What the least call on the driver's channel takes, for the lines under the table.
std::string CheapestCallNote(int32_t handle)
{
    Library::Get().Check(Library::Get().SelectComm(handle) > 0, "MSK_SelectComm");
    char text[160];
    std::snprintf(text, sizeof text, "the cheapest export on the channel, MSK_GetActiveDrive, %.1f ns a call",
                  MeasureCheapestChannelCall());
    return text;
}

std::vector<Row> BlockRows(const std::string &link, const RunOptions &)
{
    Library &lib = Library::Get();
    auto state = OpenLink(link, link);
    constexpr int kSlices = 10;
    const double seconds = 0.5 / kSlices; // a slice
    constexpr uint16_t kLargest = 4096;
    // What the reads expect, put there once.
    auto expected = std::make_shared<std::vector<uint16_t>>(Pattern(kLargest, 77));
    for (uint8_t memory : {kProgram, kData}) {
        lib.Check(lib.SendData(expected->data(), ReadBase(memory), memory, kLargest), "MSK_SendData (reads' words)");
    }

    std::vector<Row> rows;
    for (bool write : {true, false}) {
        for (uint8_t memory : {kProgram, kData}) {
            for (uint16_t size : {2, 16, 64, 4096}) {
                Row row;
                row.name = link + " " + (write ? "MSK_SendData " : "MSK_ReceiveData ") + MemoryName(memory) + " " +
                           std::to_string(size) + " w";
                row.unit = "words/s";
                row.baseline = "raw loop, same frames";
                row.target = 0.95;
                row.slices = kSlices;
                row.perCall = size;
                if (write) {
                    // A few different blocks in turn, so that every write changes the memory.
                    auto blocks = std::make_shared<std::vector<std::vector<uint16_t>>>();
                    for (uint32_t seed = 0; seed < 3; ++seed) blocks->push_back(Pattern(size, 1000 * size + seed));
                    auto turn = std::make_shared<std::size_t>(0);
                    auto check = [blocks, turn, memory, size](const std::string &who) {
                        std::vector<uint16_t> back(size);
                        Library &lib = Library::Get();
                        lib.Check(lib.ReceiveData(back.data(), WriteBase(memory), memory, size), "read-back");
                        CheckWords(back, (*blocks)[(*turn + blocks->size() - 1) % blocks->size()], who + " read-back");
                    };
                    row.library = [=] {
                        Library &lib = Library::Get();
                        const Sample rate = Measure(seconds, [&] {
                            const auto &words = (*blocks)[(*turn)++ % blocks->size()];
                            lib.Check(lib.SendData(words.data(), WriteBase(memory), memory, size), "MSK_SendData");
                            return size;
                        });
                        check("MSK_SendData");
                        return rate;
                    };
                    row.base = [=] {
                        RawSerialDrive drive(*state->raw);
                        const Sample rate = Measure(seconds, [&] {
                            drive.WriteBlock(memory, WriteBase(memory), (*blocks)[(*turn)++ % blocks->size()]);
                            return size;
                        });
                        check("raw write");
                        return rate;
                    };
                } else {
                    const std::span<const uint16_t> want(expected->data(), size);
                    // The lambdas keep the words the span looks at.
                    row.library = [=, keep = expected] {
                        Library &lib = Library::Get();
                        std::vector<uint16_t> got(size);
                        return Measure(seconds, [&] {
                            std::fill(got.begin(), got.end(), 0);
                            lib.Check(lib.ReceiveData(got.data(), ReadBase(memory), memory, size), "MSK_ReceiveData");
                            CheckWords(got, want, "MSK_ReceiveData");
                            return size;
                        });
                    };
                    row.base = [=, keep = expected] {
                        RawSerialDrive drive(*state->raw);
                        std::vector<uint16_t> got(size);
                        return Measure(seconds, [&] {
                            std::fill(got.begin(), got.end(), 0);
                            drive.ReadBlock(memory, ReadBase(memory), got);
                            CheckWords(got, want, "raw read");
                            return size;
                        });
                    };
                }
                rows.push_back(std::move(row));
            }
        }
    }
    if (link == "driver") rows.front().note = [state] { return CheapestCallNote(state->handle); };
    return rows;
}

// ---- single messages -------------------------------------------------------------------------

std::vector<Row> MessageRows(const RunOptions &)
{
    const double seconds = 0.1; // a slice
    std::vector<Row> rows;
    for (const std::string link : {"driver", "pty"}) {
        auto state = OpenLink(link, link == "driver" ? "messages-driver" : "messages");
        for (bool purge : {true, false}) {
            Row row;
            row.name = link + " MSK_SendMessage" + (purge ? "" : ", loop without purge");
            row.unit = "msg/s";
            row.baseline = purge ? "raw loop that purges" : "raw loop, no purge";
            row.slices = 10;
            if (purge) row.target = 0.9;
            if (purge && link == "driver") row.note = [state] { return CheapestCallNote(state->handle); };
            row.perCall = 1;
            row.library = [state, seconds] {
                Library &lib = Library::Get();
                lib.Check(lib.SelectComm(state->handle) > 0, "MSK_SelectComm");
                const DriveMessage message{0, 0x0010, 0x0001, {}};
                return Measure(seconds, [&] {
                    lib.Check(lib.SendMessage(&message), "MSK_SendMessage");
                    return 1.0;
                });
            };
            row.base = [state, seconds, purge] {
                RawSerialDrive drive(*state->raw);
                return Measure(seconds, [&] {
                    drive.Send(0x0001, {}, purge);
                    return 1.0;
                });
            };
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// ---- processes sharing one paced line ----------------------------------------------------------

constexpr int kSharers = 4;
constexpr uint16_t kSharedBlock = 64;

Sample SharedRate(int processes, int blocksEach)
{
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < processes; ++i) {
        const uint16_t address = static_cast<uint16_t>(kProgramBase + i * 0x1000);
        workers.push_back(std::make_unique<Worker>(std::vector<std::string>{
            "COM9", std::to_string(address), std::to_string(blocksEach), std::to_string(kSharedBlock)}));
    }
    for (auto &worker : workers) {
        const std::string line = worker->Line(std::chrono::seconds(30));
        if (line != "ready") throw Failure("worker: " + line);
    }
    for (auto &worker : workers) worker->Send("go");
    int64_t start = INT64_MAX, end = 0;
    for (auto &worker : workers) {
        const std::string line = worker->Line(std::chrono::seconds(120));
        long long first = 0, last = 0;
        if (std::sscanf(line.c_str(), "done %lld %lld", &first, &last) != 2) throw Failure("worker: " + line);
        start = std::min<int64_t>(start, first);
        end = std::max<int64_t>(end, last);
    }
    return Sample{static_cast<double>(processes) * blocksEach * kSharedBlock, static_cast<double>(end - start) / 1e9};
}

std::vector<Row> SharedRows(const RunOptions &options)
{
    OpenLink("pty", "shared", true);
    const int blocksEach = options.quick ? 1 : 16;
    // A block: the pointer (10 + 1), then 32 writes (12 + 1).
    const uint64_t blockBytes = 11 + (kSharedBlock / 2) * 13;
    Row row = MakeRow("4 processes, one paced pty, 64-w blocks", "words/s", "one process alone",
                      WireRate(kSharedBlock, blockBytes), 0.9);
    row.library = [blocksEach] { return SharedRate(kSharers, blocksEach); };
    row.base = [blocksEach] { return SharedRate(1, kSharers * blocksEach); };
    return {row};
}

} // namespace

Group PacedSerialGroup() { return Group{"paced", PacedRows, PacedTeardown}; }

Group UnpacedBlockGroup(const std::string &link)
{
    return Group{link, [link](const RunOptions &options) { return BlockRows(link, options); },
                 [link] { CloseLink(link); }};
}

Group MessageGroup()
{
    return Group{"messages", MessageRows, [] {
                     CloseLink("messages-driver");
                     CloseLink("messages");
                 }};
}

Group SharedLinkGroup() { return Group{"shared", SharedRows, [] { CloseLink("shared"); }}; }

// One process of the shared-link row: joins the port, writes its blocks when told to go, checks
// the last one and reports when it began and ended (monotonic clock, nanoseconds).
int RunWorker(const std::vector<std::string> &args)
{
    try {
        if (args.size() != 4) throw Failure("usage: worker PORT ADDRESS BLOCKS WORDS");
        const std::string port = args[0];
        const auto address = static_cast<uint16_t>(std::stoul(args[1]));
        const int blocks = std::stoi(args[2]);
        const auto words = static_cast<uint16_t>(std::stoul(args[3]));
        Library &lib = Library::Get();
        const int32_t handle = lib.Open(port, 1, CHANNEL_RS232);
        std::printf("ready\n");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin)) return 1;
        std::vector<std::vector<uint16_t>> patterns{Pattern(words, address), Pattern(words, address + 1u)};
        const auto start = Clock::now();
        for (int i = 0; i < blocks; ++i) {
            lib.Check(lib.SendData(patterns[i % 2].data(), address, kProgram, words), "MSK_SendData");
        }
        const auto end = Clock::now();
        std::vector<uint16_t> back(words);
        lib.Check(lib.ReceiveData(back.data(), address, kProgram, words), "read-back");
        CheckWords(back, patterns[(blocks - 1) % 2], "worker read-back");
        lib.CloseComm(handle);
        std::printf("done %" PRId64 " %" PRId64 "\n",
                    static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count()),
                    static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(end.time_since_epoch()).count()));
        std::fflush(stdout);
        return 0;
    } catch (const Failure &failure) {
        std::printf("error %s\n", failure.what());
        std::fflush(stdout);
        return 1;
    }
}

} // namespace bench

// The device server's fast path (one block command on TCP, the device server paces the drive
// messages itself) beside the message path through the same device server, the serial side at
// 115 200 baud and the network 1 ms away each way.
#include "bench.h"

#include <cstdio>
#include <numeric>

namespace bench {

namespace {

constexpr uint32_t kServerRate = 115200;
constexpr uint16_t kBase = 0x8000;
const std::string kAddress = "127.0.7.2";

struct FastState {
    std::unique_ptr<SimChild> sim;
    int32_t fast = 0;     // CHANNEL_XPORT_TCP
    int32_t messages = 0; // CHANNEL_UDP on the same device server
    uint32_t turn = 0;
};

std::shared_ptr<FastState> gFast;

// Opens a channel with the drive and the device server at 9600 and moves both to 115 200.
int32_t OpenFast(FastState &state, uint8_t type)
{
    Library &lib = Library::Get();
    state.sim->ControlOk("baud 1 9600");
    state.sim->ControlOk("line 9600");
    const int32_t handle = lib.Open(kAddress, 1, type);
    lib.Check(lib.SetBaudRate(kServerRate), "MSK_SetBaudRate");
    return handle;
}

void Select(const FastState &, int32_t handle)
{
    Library &lib = Library::Get();
    lib.Check(lib.SelectComm(handle) > 0, "MSK_SelectComm");
}

std::vector<Row> FastRows(const RunOptions &options)
{
    auto state = gFast = std::make_shared<FastState>();
    state->sim = std::make_unique<SimChild>(
        std::vector<std::string>{"xport", "--address", kAddress, "--pace", "--net-delay", "1"});
    state->messages = OpenFast(*state, CHANNEL_UDP);
    state->fast = OpenFast(*state, CHANNEL_XPORT_TCP);

    const uint16_t count = options.quick ? 64 : 4096;
    const double serialSeconds = 11.0 / kServerRate;
    // On the serial side: the pointer (10 + 1 bytes) and a 12-byte write with its acknowledge
    // per two words; a 10-byte request, the acknowledge and a 14-byte answer per two words.
    const double writeLimit = count / ((11 + 13.0 * count / 2) * serialSeconds);
    const double readLimit = count / ((25.0 * count / 2) * serialSeconds);
    const std::string size = std::to_string(count) + " w";

    auto blocks = std::make_shared<std::vector<std::vector<uint16_t>>>(
        std::vector<std::vector<uint16_t>>{Pattern(count, 5), Pattern(count, 6)});
    // What the reads find before any row has written.
    Select(*state, state->fast);
    Library::Get().Check(Library::Get().SendData((*blocks)[1].data(), kBase, kProgram, count), "MSK_SendData");
    auto write = [state, blocks, count](int32_t handle) {
        Select(*state, handle);
        const auto &words = (*blocks)[state->turn++ % 2];
        Library &lib = Library::Get();
        const Sample rate = MeasureOnce(count, [&] {
            lib.Check(lib.SendData(words.data(), kBase, kProgram, count), "MSK_SendData");
        });
        char command[64], expected[16];
        std::snprintf(command, sizeof command, "checksum program 0x%04X 0x%04X", kBase,
                      static_cast<unsigned>(static_cast<uint16_t>(kBase + count - 1)));
        std::snprintf(expected, sizeof expected, "OK %04X",
                      static_cast<unsigned>(static_cast<uint16_t>(std::accumulate(words.begin(), words.end(), 0u))));
        if (state->sim->Control(command) != expected) throw Failure("the block did not land");
        return rate;
    };
    auto read = [state, blocks, count](int32_t handle) {
        Select(*state, handle);
        // Whatever was written last is what is there.
        const auto &words = (*blocks)[(state->turn + 1) % 2];
        Library &lib = Library::Get();
        std::vector<uint16_t> got(count);
        const Sample rate = MeasureOnce(count, [&] {
            lib.Check(lib.ReceiveData(got.data(), kBase, kProgram, count), "MSK_ReceiveData");
        });
        CheckWords(got, words, "MSK_ReceiveData");
        return rate;
    };

    Row fastWrite = MakeRow("xport TCP fast path MSK_SendData " + size, "words/s", "message path, same server",
                            writeLimit, 0.95, true);
    fastWrite.library = [state, write] { return write(state->fast); };
    fastWrite.base = [state, write] { return write(state->messages); };
    Row fastRead = MakeRow("xport TCP fast path MSK_ReceiveData " + size, "words/s", "message path, same server",
                           readLimit, 0.95, true);
    fastRead.library = [state, read] { return read(state->fast); };
    fastRead.base = [state, read] { return read(state->messages); };
    return {fastWrite, fastRead};
}

void FastTeardown()
{
    if (!gFast) return;
    Library &lib = Library::Get();
    for (int32_t handle : {gFast->fast, gFast->messages}) {
        if (handle > 0) lib.CloseComm(handle);
    }
    gFast.reset();
}

} // namespace

Group FastPathGroup() { return Group{"fast path", FastRows, FastTeardown}; }

} // namespace bench

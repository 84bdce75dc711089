// Stand-in VCI V2 library: IXXAT boards on the simulated bus. Received frames reach the
// caller through its receive handler, called from a thread of this library, one per board.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/vci11un6.h"

#include "standin.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace v2 = zorcomm::vendor::vci11un6;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

constexpr uint16_t kMaxBoards = 16;
constexpr uint8_t kCanLines = 4;
constexpr std::size_t kMaxBatch = 64;
constexpr int kPollMs = 20;

struct Acceptance {
    uint32_t id;
    uint32_t mask; // a set bit is compared
};

struct Queue {
    uint16_t handle = 0;
    uint8_t type = 0;
    uint8_t canNum = 0;
    std::vector<Acceptance> accepted;
};

struct Board {
    std::shared_ptr<BusConnection> bus;
    v2::VCI_t_UsrRxIntHdlr rxHandler = nullptr;
    uint8_t btr0 = 0, btr1 = 0, mode = 0;
    bool initialized = false;
    bool started = false;
    std::vector<Queue> queues;
    std::atomic<bool> stop{false};
    std::thread receiver;

    Queue *FindQueue(uint16_t handle)
    {
        auto it = std::find_if(queues.begin(), queues.end(), [&](const Queue &queue) { return queue.handle == handle; });
        return it == queues.end() ? nullptr : &*it;
    }
    void Apply() { bus->SetRate(started ? zsim::standin::RateFromBtr(btr0, btr1) : 0); }
};

struct State {
    uint16_t nextQueue = 1; // queue handles are unique in the process
    std::map<uint16_t, std::unique_ptr<Board>> boards;
};

std::mutex gMutex;
State *gState = nullptr;

void StopBoard(std::unique_ptr<Board> board)
{
    board->stop = true;
    if (board->receiver.joinable()) board->receiver.join();
}

__attribute__((constructor)) void Load() { gState = new State; }
__attribute__((destructor)) void Unload()
{
    std::map<uint16_t, std::unique_ptr<Board>> boards;
    {
        std::lock_guard lock(gMutex);
        if (!gState) return;
        boards.swap(gState->boards);
    }
    // No handler runs once the library is gone.
    for (auto &[handle, board] : boards) StopBoard(std::move(board));
    std::lock_guard lock(gMutex);
    delete gState;
    gState = nullptr;
}

Board *Find(uint16_t handle)
{
    if (!gState) return nullptr;
    auto it = gState->boards.find(handle);
    return it == gState->boards.end() ? nullptr : it->second.get();
}

bool KindMatches(const Board &board, const BusFrame &frame)
{
    return frame.extended == (board.mode == v2::VCI_29B);
}

v2::VCI_CAN_OBJ ToObject(const BusFrame &frame)
{
    v2::VCI_CAN_OBJ object{};
    object.time_stamp = zsim::standin::MillisNow();
    object.id = frame.id;
    object.len_rtr = static_cast<uint8_t>(frame.dlc | (frame.remote ? v2::VCI_RTR : 0));
    std::memcpy(object.a_data, frame.data, sizeof object.a_data);
    return object;
}

// The board's receive thread: frames that arrived together go to the handler in one call per
// receive queue. The lock is never held while the handler runs.
void Receive(Board *board)
{
    bool busGone = false;
    while (!board->stop) {
        if (busGone || !board->bus->Wait(kPollMs)) {
            if (busGone) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        std::vector<std::pair<uint16_t, std::vector<v2::VCI_CAN_OBJ>>> batches;
        v2::VCI_t_UsrRxIntHdlr handler = nullptr;
        {
            std::lock_guard lock(gMutex);
            handler = board->rxHandler;
            BusFrame frame;
            for (std::size_t taken = 0; taken < kMaxBatch; ++taken) {
                const auto receipt = board->bus->Receive(frame);
                if (receipt == BusConnection::Receipt::Closed) busGone = true;
                if (receipt != BusConnection::Receipt::Frame) break;
                if (!board->started || frame.error || !KindMatches(*board, frame)) continue;
                const bool filters = zsim::standin::FiltersEnabled();
                for (const Queue &queue : board->queues) {
                    if (queue.type != v2::VCI_RX_QUE) continue;
                    const bool accepted = !filters || std::any_of(queue.accepted.begin(), queue.accepted.end(), [&](const Acceptance &a) {
                        return (frame.id & a.mask) == (a.id & a.mask);
                    });
                    if (!accepted) continue;
                    auto batch = std::find_if(batches.begin(), batches.end(), [&](const auto &b) { return b.first == queue.handle; });
                    if (batch == batches.end()) {
                        batches.emplace_back(queue.handle, std::vector<v2::VCI_CAN_OBJ>{});
                        batch = batches.end() - 1;
                    }
                    batch->second.push_back(ToObject(frame));
                }
            }
        }
        if (!handler) continue;
        for (auto &[queue, objects] : batches) {
            handler(queue, static_cast<uint16_t>(objects.size()), objects.data());
        }
    }
}

} // namespace

namespace zorcomm::vendor::vci11un6 {

int32_t VCI2_PrepareBoard(uint16_t boardType, uint16_t boardIndex, char *addInfo, uint8_t addLength, VCI_t_PutS puts,
                          VCI_t_UsrRxIntHdlr rxHandler, VCI_t_UsrExcHdlr excHandler)
{
    CallLine("VCI2_PrepareBoard")
        .Dec(boardType)
        .Dec(boardIndex)
        .Pointer(addInfo)
        .Dec(addLength)
        .Pointer(reinterpret_cast<const void *>(puts))
        .Pointer(reinterpret_cast<const void *>(rxHandler))
        .Pointer(reinterpret_cast<const void *>(excHandler));
    if (auto status = InjectedFailure("VCI2_PrepareBoard")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    if (!gState) return VCI_HWSW_ERR;
    uint16_t handle = 0;
    while (handle < kMaxBoards && gState->boards.contains(handle)) ++handle;
    if (handle == kMaxBoards) return VCI_RES_ERR;
    auto bus = BusConnection::Connect("vci11un6");
    if (!bus) return VCI_HWSW_ERR;
    auto board = std::make_unique<Board>();
    board->bus = std::move(bus);
    board->rxHandler = rxHandler;
    board->receiver = std::thread(Receive, board.get());
    gState->boards[handle] = std::move(board);
    return handle;
}

int32_t VCI_CancelBoard(uint16_t board)
{
    CallLine("VCI_CancelBoard").Dec(board);
    if (auto status = InjectedFailure("VCI_CancelBoard")) return static_cast<int32_t>(*status);
    std::unique_ptr<Board> cancelled;
    {
        std::lock_guard lock(gMutex);
        if (!Find(board)) return VCI_PARA_ERR;
        cancelled = std::move(gState->boards[board]);
        gState->boards.erase(board);
    }
    // Joined without the lock: the receive thread may be waiting for it.
    StopBoard(std::move(cancelled));
    return VCI_OK;
}

int32_t VCI_InitCan(uint16_t board, uint8_t canNum, uint8_t btr0, uint8_t btr1, uint8_t mode)
{
    CallLine("VCI_InitCan").Dec(board).Dec(canNum).Byte(btr0).Byte(btr1).Dec(mode);
    if (auto status = InjectedFailure("VCI_InitCan")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit || canNum >= kCanLines || mode > VCI_29B) return VCI_PARA_ERR;
    unit->btr0 = btr0;
    unit->btr1 = btr1;
    unit->mode = mode;
    unit->initialized = true;
    unit->started = false;
    unit->Apply();
    return VCI_OK;
}

int32_t VCI_ResetCan(uint16_t board, uint8_t canNum)
{
    CallLine("VCI_ResetCan").Dec(board).Dec(canNum);
    if (auto status = InjectedFailure("VCI_ResetCan")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit || canNum >= kCanLines) return VCI_PARA_ERR;
    unit->started = false;
    unit->Apply();
    return VCI_OK;
}

int32_t VCI_StartCan(uint16_t board, uint8_t canNum)
{
    CallLine("VCI_StartCan").Dec(board).Dec(canNum);
    if (auto status = InjectedFailure("VCI_StartCan")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit || canNum >= kCanLines) return VCI_PARA_ERR;
    if (!unit->initialized) return VCI_SUPP_ERR;
    unit->started = true;
    unit->Apply();
    return VCI_OK;
}

int32_t VCI_ConfigQueue(uint16_t board, uint8_t canNum, uint8_t queueType, uint16_t queueSize, uint16_t intLimit,
                        uint16_t intTime, uint16_t timestampRes, uint16_t *queueHandle)
{
    CallLine("VCI_ConfigQueue")
        .Dec(board)
        .Dec(canNum)
        .Dec(queueType)
        .Dec(queueSize)
        .Dec(intLimit)
        .Dec(intTime)
        .Dec(timestampRes);
    if (auto status = InjectedFailure("VCI_ConfigQueue")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit || !queueHandle || canNum >= kCanLines || queueType > VCI_RX_QUE || queueSize == 0) return VCI_PARA_ERR;
    Queue queue;
    queue.handle = gState->nextQueue++;
    if (gState->nextQueue == 0) gState->nextQueue = 1;
    queue.type = queueType;
    queue.canNum = canNum;
    unit->queues.push_back(queue);
    *queueHandle = queue.handle;
    return VCI_OK;
}

int32_t VCI_AssignRxQueObj(uint16_t board, uint16_t queueHandle, uint8_t mode, uint32_t id, uint32_t mask)
{
    CallLine("VCI_AssignRxQueObj").Dec(board).Dec(queueHandle).Dec(mode).Hex(id).Hex(mask);
    if (auto status = InjectedFailure("VCI_AssignRxQueObj")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit) return VCI_PARA_ERR;
    Queue *queue = unit->FindQueue(queueHandle);
    if (!queue || queue->type != VCI_RX_QUE) return VCI_QUE_ERR;
    if (mode == VCI_ACCEPT) queue->accepted.push_back(Acceptance{id, mask});
    return VCI_OK;
}

int32_t VCI_ReadQueStatus(uint16_t board, uint16_t queueHandle)
{
    CallLine("VCI_ReadQueStatus").Dec(board).Dec(queueHandle);
    if (auto status = InjectedFailure("VCI_ReadQueStatus")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit) return VCI_PARA_ERR;
    // Frames leave at once and received ones go straight to the handler: queues stay empty.
    return unit->FindQueue(queueHandle) ? 0 : VCI_QUE_ERR;
}

int32_t VCI_TransmitObj(uint16_t board, uint16_t queueHandle, uint32_t id, uint8_t len, uint8_t *data)
{
    CallLine("VCI_TransmitObj").Dec(board).Dec(queueHandle).Hex(id).Dec(len).Bytes(data, len);
    if (auto status = InjectedFailure("VCI_TransmitObj")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit) return VCI_PARA_ERR;
    Queue *queue = unit->FindQueue(queueHandle);
    if (!queue || queue->type != VCI_TX_QUE) return VCI_QUE_ERR;
    BusFrame frame;
    frame.extended = unit->mode == VCI_29B;
    if (len > 8 || (len > 0 && !data) || id > (frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId)) {
        return VCI_PARA_ERR;
    }
    frame.id = id;
    frame.dlc = len;
    if (len > 0) std::memcpy(frame.data, data, len);
    return unit->bus->Send(frame) ? VCI_OK : VCI_TX_ERR;
}

int32_t VCI_ReadQueObj(uint16_t board, uint16_t queueHandle, uint16_t count, VCI_CAN_OBJ *objects)
{
    CallLine("VCI_ReadQueObj").Dec(board).Dec(queueHandle).Dec(count);
    if (auto status = InjectedFailure("VCI_ReadQueObj")) return static_cast<int32_t>(*status);
    std::lock_guard lock(gMutex);
    Board *unit = Find(board);
    if (!unit) return VCI_PARA_ERR;
    if (!unit->FindQueue(queueHandle) || (count > 0 && !objects)) return VCI_QUE_ERR;
    return 0; // the handler has taken everything
}

} // namespace zorcomm::vendor::vci11un6

// Stand-in NTCAN library: esd CAN nets on the simulated bus.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/ntcan.h"

#include "standin.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace nt = zorcomm::vendor::ntcan;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

// A handle that is not open, or a null pointer where the call needs one.
constexpr nt::NTCAN_RESULT kBadArgument = nt::NTCAN_INVALID_DRIVER;
constexpr uint32_t kNoBaudrate = 0x7FFFFFFF;

struct Handle {
    std::shared_ptr<BusConnection> bus;
    int32_t rxTimeout = 0;
    uint32_t baud = kNoBaudrate;
    std::bitset<2048> standardIds;
    std::vector<uint32_t> extendedCodes;
    uint32_t extendedMask = 0; // a set bit is not compared

    bool Passes(const BusFrame &frame) const
    {
        if (frame.error) return false; // error events need their own identifiers
        if (!zsim::standin::FiltersEnabled()) return true;
        if (!frame.extended) return standardIds.test(frame.id & 0x7FF);
        return std::any_of(extendedCodes.begin(), extendedCodes.end(),
                           [&](uint32_t code) { return ((frame.id ^ code) & ~extendedMask & 0x1FFFFFFF) == 0; });
    }
};

struct State {
    std::map<nt::NTCAN_HANDLE, Handle> handles;
};

std::mutex gMutex;
State *gState = nullptr;

__attribute__((constructor)) void Load() { gState = new State; }
__attribute__((destructor)) void Unload()
{
    std::lock_guard lock(gMutex);
    delete gState;
    gState = nullptr;
}

Handle *Find(nt::NTCAN_HANDLE handle)
{
    if (!gState) return nullptr;
    auto it = gState->handles.find(handle);
    return it == gState->handles.end() ? nullptr : &it->second;
}

uint32_t RateFromIndex(uint32_t index)
{
    switch (index) {
    case nt::NTCAN_BAUD_1000: return 1'000'000;
    case nt::NTCAN_BAUD_500: return 500'000;
    case nt::NTCAN_BAUD_250: return 250'000;
    case nt::NTCAN_BAUD_125: return 125'000;
    default: return zsim::canbus::kUnknownRate;
    }
}

void ToCmsg(const BusFrame &frame, nt::CMSG &cmsg)
{
    cmsg.id = static_cast<int32_t>(frame.id | (frame.extended ? nt::NTCAN_20B_BASE : 0));
    cmsg.len = static_cast<uint8_t>(frame.dlc | (frame.remote ? nt::NTCAN_RTR : 0));
    cmsg.msg_lost = 0;
    cmsg.reserved[0] = cmsg.reserved[1] = 0;
    std::memcpy(cmsg.data, frame.data, sizeof cmsg.data);
}

bool FromCmsg(const nt::CMSG &cmsg, BusFrame &frame)
{
    frame.extended = (cmsg.id & nt::NTCAN_20B_BASE) != 0;
    frame.id = static_cast<uint32_t>(cmsg.id) & (frame.extended ? 0x1FFFFFFFu : 0xFFFFFFFFu);
    frame.remote = (cmsg.len & nt::NTCAN_RTR) != 0;
    frame.dlc = cmsg.len & nt::NTCAN_DLC;
    std::memcpy(frame.data, cmsg.data, sizeof frame.data);
    return frame.dlc <= 8 && frame.id <= (frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId);
}

// Up to `capacity` frames that pass the handle's identifiers, without waiting.
int32_t Take(Handle &handle, nt::CMSG *cmsg, int32_t capacity)
{
    int32_t count = 0;
    BusFrame frame;
    while (count < capacity && handle.bus->Receive(frame) == BusConnection::Receipt::Frame) {
        if (handle.bus->rate() == 0 || !handle.Passes(frame)) continue;
        ToCmsg(frame, cmsg[count++]);
    }
    return count;
}

void LogMessages(CallLine &line, const nt::CMSG *cmsg, const int32_t *len)
{
    if (!len) {
        line.Text("null");
        return;
    }
    line.Dec(*len);
    for (int32_t i = 0; cmsg && i < *len && i < 64; ++i) {
        line.Hex(static_cast<uint32_t>(cmsg[i].id)).Byte(cmsg[i].len).Bytes(cmsg[i].data, cmsg[i].len & nt::NTCAN_DLC);
    }
}

nt::NTCAN_RESULT Send(nt::NTCAN_HANDLE h, nt::CMSG *cmsg, int32_t *len)
{
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle || !cmsg || !len || *len < 0) return kBadArgument;
    const int32_t count = *len;
    *len = 0;
    for (int32_t i = 0; i < count; ++i) {
        BusFrame frame;
        if (!FromCmsg(cmsg[i], frame)) return kBadArgument;
        if (!handle->bus->Send(frame)) return nt::NTCAN_CONTR_OFF_BUS;
        ++*len;
    }
    return nt::NTCAN_SUCCESS;
}

} // namespace

namespace zorcomm::vendor::ntcan {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txQueueSize, int32_t rxQueueSize, int32_t txTimeout,
                     int32_t rxTimeout, NTCAN_HANDLE *handle)
{
    CallLine("canOpen").Dec(net).Hex(flags).Dec(txQueueSize).Dec(rxQueueSize).Dec(txTimeout).Dec(rxTimeout);
    if (auto status = InjectedFailure("canOpen")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !handle || net < 0 || net > 255) return kBadArgument;
    auto bus = BusConnection::Connect("ntcan");
    if (!bus) return NTCAN_INVALID_HARDWARE;
    NTCAN_HANDLE next = 1;
    while (gState->handles.contains(next)) ++next;
    Handle &opened = gState->handles[next];
    opened.bus = std::move(bus);
    opened.rxTimeout = rxTimeout;
    *handle = next;
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE h)
{
    CallLine("canClose").Dec(h);
    if (auto status = InjectedFailure("canClose")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!Find(h)) return kBadArgument;
    gState->handles.erase(h);
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE h, uint32_t baud)
{
    CallLine("canSetBaudrate").Dec(h).Dec(baud);
    if (auto status = InjectedFailure("canSetBaudrate")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle) return kBadArgument;
    handle->baud = baud;
    handle->bus->SetRate(RateFromIndex(baud));
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canGetBaudrate(NTCAN_HANDLE h, uint32_t *baud)
{
    CallLine("canGetBaudrate").Dec(h);
    if (auto status = InjectedFailure("canGetBaudrate")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle || !baud) return kBadArgument;
    *baud = handle->baud;
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE h, int32_t id)
{
    CallLine("canIdAdd").Dec(h).Hex(static_cast<uint32_t>(id));
    if (auto status = InjectedFailure("canIdAdd")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle) return kBadArgument;
    const auto value = static_cast<uint32_t>(id);
    if (value & NTCAN_20B_BASE) {
        const uint32_t code = value & 0x1FFFFFFF;
        if (std::find(handle->extendedCodes.begin(), handle->extendedCodes.end(), code) == handle->extendedCodes.end()) {
            handle->extendedCodes.push_back(code);
        }
        return NTCAN_SUCCESS;
    }
    if (value > 0x7FF) return kBadArgument;
    handle->standardIds.set(value);
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE h, int32_t id)
{
    CallLine("canIdDelete").Dec(h).Hex(static_cast<uint32_t>(id));
    if (auto status = InjectedFailure("canIdDelete")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle) return kBadArgument;
    const auto value = static_cast<uint32_t>(id);
    if (value & NTCAN_20B_BASE) {
        auto it = std::find(handle->extendedCodes.begin(), handle->extendedCodes.end(), value & 0x1FFFFFFF);
        if (it == handle->extendedCodes.end()) return NTCAN_ID_NOT_ENABLED;
        handle->extendedCodes.erase(it);
        return NTCAN_SUCCESS;
    }
    if (value > 0x7FF) return kBadArgument;
    if (!handle->standardIds.test(value)) return NTCAN_ID_NOT_ENABLED;
    handle->standardIds.reset(value);
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canTake(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len)
{
    {
        CallLine line("canTake");
        line.Dec(h);
        len ? line.Dec(*len) : line.Text("null");
    }
    if (auto status = InjectedFailure("canTake")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle || !cmsg || !len || *len < 0) return kBadArgument;
    *len = Take(*handle, cmsg, *len);
    return NTCAN_SUCCESS;
}

NTCAN_RESULT canRead(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len, void *overlapped)
{
    {
        CallLine line("canRead");
        line.Dec(h);
        len ? line.Dec(*len) : line.Text("null");
    }
    (void)overlapped;
    if (auto status = InjectedFailure("canRead")) return static_cast<NTCAN_RESULT>(*status);
    std::unique_lock lock(gMutex);
    Handle *handle = Find(h);
    if (!handle || !cmsg || !len || *len < 0) return kBadArgument;
    const int32_t capacity = *len;
    const uint32_t start = zsim::standin::MillisNow();
    const uint32_t timeout = handle->rxTimeout > 0 ? static_cast<uint32_t>(handle->rxTimeout) : 0;
    for (;;) {
        const int32_t count = Take(*handle, cmsg, capacity);
        if (count > 0 || capacity == 0) {
            *len = count;
            return NTCAN_SUCCESS;
        }
        const uint32_t waited = zsim::standin::MillisNow() - start;
        if (waited >= timeout) break;
        // Wait without the lock; the connection stays alive while we hold it.
        std::shared_ptr<BusConnection> bus = handle->bus;
        lock.unlock();
        bus->Wait(static_cast<int>(timeout - waited));
        lock.lock();
        handle = Find(h);
        if (!handle) return kBadArgument;
    }
    *len = 0;
    return NTCAN_RX_TIMEOUT;
}

NTCAN_RESULT canSend(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len)
{
    {
        CallLine line("canSend");
        line.Dec(h);
        LogMessages(line, cmsg, len);
    }
    if (auto status = InjectedFailure("canSend")) return static_cast<NTCAN_RESULT>(*status);
    return Send(h, cmsg, len);
}

NTCAN_RESULT canWrite(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len, void *overlapped)
{
    {
        CallLine line("canWrite");
        line.Dec(h);
        LogMessages(line, cmsg, len);
    }
    (void)overlapped;
    if (auto status = InjectedFailure("canWrite")) return static_cast<NTCAN_RESULT>(*status);
    return Send(h, cmsg, len);
}

NTCAN_RESULT canStatus(NTCAN_HANDLE h, void *status)
{
    CallLine("canStatus").Dec(h);
    if (auto injected = InjectedFailure("canStatus")) return static_cast<NTCAN_RESULT>(*injected);
    std::lock_guard lock(gMutex);
    // The status record's layout is the vendor's; nothing is filled in.
    return Find(h) && status ? NTCAN_SUCCESS : kBadArgument;
}

NTCAN_RESULT canIoctl(NTCAN_HANDLE h, uint32_t cmd, void *arg)
{
    {
        CallLine line("canIoctl");
        line.Dec(h).Dec(cmd);
        if (cmd == NTCAN_IOCTL_SET_20B_HND_FILTER && arg) {
            uint32_t value;
            std::memcpy(&value, arg, sizeof value);
            line.Hex(value);
        } else {
            line.Pointer(arg);
        }
    }
    if (auto status = InjectedFailure("canIoctl")) return static_cast<NTCAN_RESULT>(*status);
    std::lock_guard lock(gMutex);
    Handle *handle = Find(h);
    if (!handle) return kBadArgument;
    if (cmd == NTCAN_IOCTL_SET_20B_HND_FILTER) {
        if (!arg) return kBadArgument;
        std::memcpy(&handle->extendedMask, arg, sizeof handle->extendedMask);
    }
    return NTCAN_SUCCESS;
}

} // namespace zorcomm::vendor::ntcan

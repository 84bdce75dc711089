// Stand-in VCI V3 library: one IXXAT device whose CAN lines are on the simulated bus.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/vcinpl.h"

#include "standin.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace v3 = zorcomm::vendor::vcinpl;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

// Handles are small numbers, never addresses: a handle from the caller is only ever looked up.
// Each kind counts from 1 on its own base: devices 0x10001.., control units 0x20001..,
// channels 0x30001.., enumerators 0x40001...
enum Kind { kDevice, kControl, kChannel, kEnumerator, kKinds };
constexpr uintptr_t kBase[kKinds] = {0x10000, 0x20000, 0x30000, 0x40000};
constexpr uint32_t kCanLines = 4;
constexpr uint32_t kDeviceIdLow = 1;

// Values in the filter form: identifier << 1 | remote request; a set mask bit is compared.
struct Filter {
    uint32_t code = 0;
    uint32_t mask = 0;
    bool Passes(uint32_t value) const { return (value & mask) == (code & mask); }
};

struct Control {
    uintptr_t device = 0;
    uint32_t canNo = 0;
    uint8_t mode = 0;
    uint8_t btr0 = 0, btr1 = 0;
    bool initialized = false;
    bool started = false;
    Filter filter[2];                 // [0] 11-bit, [1] 29-bit
    std::vector<Filter> ids[2];

    void ResetFilters()
    {
        filter[0] = filter[1] = Filter{};
        ids[0].clear();
        ids[1].clear();
    }
    bool Passes(const BusFrame &frame) const
    {
        if (frame.error) return false; // error messages need the error-frame mode
        const bool kindEnabled = mode == 0 || (frame.extended ? (mode & v3::CAN_OPMODE_EXTENDED) : (mode & v3::CAN_OPMODE_STANDARD));
        if (!kindEnabled) return false;
        if (!zsim::standin::FiltersEnabled()) return true;
        const int kind = frame.extended ? 1 : 0;
        const uint32_t value = frame.id << 1 | (frame.remote ? 1u : 0u);
        return filter[kind].Passes(value) ||
               std::any_of(ids[kind].begin(), ids[kind].end(), [&](const Filter &id) { return id.Passes(value); });
    }
};

struct Channel {
    uintptr_t device = 0;
    uint32_t canNo = 0;
    std::shared_ptr<BusConnection> bus;
    bool active = false;
};

struct State {
    uintptr_t next[kKinds] = {1, 1, 1, 1};
    std::map<uintptr_t, bool> enumerators; // handle -> device already listed
    std::map<uintptr_t, uint64_t> devices;
    std::map<uintptr_t, Control> controls;
    std::map<uintptr_t, Channel> channels;
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

uintptr_t Key(v3::HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }
v3::HANDLE MakeHandle(Kind kind)
{
    const uintptr_t number = (gState->next[kind]++ - 1) % 0xFFFF + 1;
    return reinterpret_cast<v3::HANDLE>(kBase[kind] + number);
}

template <typename Map> auto *Find(Map &map, v3::HANDLE handle)
{
    auto it = map.find(Key(handle));
    return it == map.end() ? nullptr : &it->second;
}

const Control *ControlOf(const Channel &channel)
{
    for (const auto &[key, control] : gState->controls) {
        if (control.device == channel.device && control.canNo == channel.canNo) return &control;
    }
    return nullptr;
}

// A channel is on the bus while it is active and its line's control unit is started.
void Apply(Channel &channel)
{
    const Control *control = ControlOf(channel);
    const bool on = channel.active && control && control->started;
    channel.bus->SetRate(on ? zsim::standin::RateFromBtr(control->btr0, control->btr1) : 0);
}

void ApplyAll()
{
    for (auto &[key, channel] : gState->channels) Apply(channel);
}

bool BusPresent()
{
    const char *path = std::getenv("ZORCOMM_CANBUS");
    return path && *path;
}

// The next frame for the channel, without waiting.
bool NextFrame(Channel &channel, v3::CANMSG &msg)
{
    BusFrame frame;
    for (;;) {
        if (channel.bus->Receive(frame) != BusConnection::Receipt::Frame) return false;
        const Control *control = ControlOf(channel);
        if (channel.active && control && control->started && control->Passes(frame)) break;
    }
    msg.dwTime = zsim::standin::MillisNow();
    msg.dwMsgId = frame.id;
    msg.uMsgInfo.bType = v3::CAN_MSGTYPE_DATA;
    msg.uMsgInfo.bAddFlags = 0;
    msg.uMsgInfo.bFlags = static_cast<uint8_t>(frame.dlc | (frame.remote ? v3::CAN_MSGFLAGS_RTR : 0) |
                                               (frame.extended ? v3::CAN_MSGFLAGS_EXT : 0));
    msg.uMsgInfo.bAccept = 0;
    std::memcpy(msg.abData, frame.data, sizeof msg.abData);
    return true;
}

} // namespace

namespace zorcomm::vendor::vcinpl {

HRESULT vciInitialize(void)
{
    CallLine("vciInitialize");
    if (auto status = InjectedFailure("vciInitialize")) return static_cast<HRESULT>(*status);
    return VCI_OK;
}

HRESULT vciEnumDeviceOpen(HANDLE *enumerator)
{
    CallLine("vciEnumDeviceOpen");
    if (auto status = InjectedFailure("vciEnumDeviceOpen")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState) return VCI_E_UNEXPECTED;
    if (!enumerator) return VCI_E_INVPOINTER;
    *enumerator = MakeHandle(kEnumerator);
    gState->enumerators[Key(*enumerator)] = false;
    return VCI_OK;
}

HRESULT vciEnumDeviceClose(HANDLE enumerator)
{
    CallLine("vciEnumDeviceClose").Hex(Key(enumerator));
    if (auto status = InjectedFailure("vciEnumDeviceClose")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !gState->enumerators.erase(Key(enumerator))) return VCI_E_INVHANDLE;
    return VCI_OK;
}

HRESULT vciEnumDeviceNext(HANDLE enumerator, VCIDEVICEINFO *info)
{
    CallLine("vciEnumDeviceNext").Hex(Key(enumerator));
    if (auto status = InjectedFailure("vciEnumDeviceNext")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    bool *listed = gState ? Find(gState->enumerators, enumerator) : nullptr;
    if (!listed) return VCI_E_INVHANDLE;
    if (!info) return VCI_E_INVPOINTER;
    // There is a device exactly when there is a bus to put it on.
    if (*listed || !BusPresent()) return VCI_E_NO_MORE_ITEMS;
    *listed = true;
    std::memset(info, 0, sizeof *info);
    info->VciObjectId[0] = kDeviceIdLow;
    info->VciObjectId[1] = 0;
    return VCI_OK;
}

HRESULT vciDeviceOpen(const VCIID *id, HANDLE *device)
{
    const uint64_t value = id ? (uint64_t{id->AsInt64[1]} << 32 | id->AsInt64[0]) : 0;
    {
        CallLine line("vciDeviceOpen");
        id ? line.Hex(value) : line.Text("null");
    }
    if (auto status = InjectedFailure("vciDeviceOpen")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState) return VCI_E_UNEXPECTED;
    if (!id || !device) return VCI_E_INVPOINTER;
    *device = MakeHandle(kDevice);
    gState->devices[Key(*device)] = value;
    return VCI_OK;
}

HRESULT vciDeviceClose(HANDLE device)
{
    CallLine("vciDeviceClose").Hex(Key(device));
    if (auto status = InjectedFailure("vciDeviceClose")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !gState->devices.erase(Key(device))) return VCI_E_INVHANDLE;
    return VCI_OK;
}

HRESULT canControlOpen(HANDLE device, uint32_t canNo, HANDLE *control)
{
    CallLine("canControlOpen").Hex(Key(device)).Dec(canNo);
    if (auto status = InjectedFailure("canControlOpen")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !Find(gState->devices, device)) return VCI_E_INVHANDLE;
    if (!control) return VCI_E_INVPOINTER;
    if (canNo >= kCanLines) return VCI_E_INVALIDARG;
    for (const auto &[key, open] : gState->controls) {
        if (open.device == Key(device) && open.canNo == canNo) return VCI_E_ACCESSDENIED; // one user per line
    }
    *control = MakeHandle(kControl);
    Control &opened = gState->controls[Key(*control)];
    opened.device = Key(device);
    opened.canNo = canNo;
    return VCI_OK;
}

HRESULT canControlClose(HANDLE control)
{
    CallLine("canControlClose").Hex(Key(control));
    if (auto status = InjectedFailure("canControlClose")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !gState->controls.erase(Key(control))) return VCI_E_INVHANDLE;
    ApplyAll();
    return VCI_OK;
}

HRESULT canControlInitialize(HANDLE control, uint8_t mode, uint8_t btr0, uint8_t btr1)
{
    CallLine("canControlInitialize").Hex(Key(control)).Dec(mode).Byte(btr0).Byte(btr1);
    if (auto status = InjectedFailure("canControlInitialize")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Control *unit = gState ? Find(gState->controls, control) : nullptr;
    if (!unit) return VCI_E_INVHANDLE;
    unit->mode = mode;
    unit->btr0 = btr0;
    unit->btr1 = btr1;
    unit->initialized = true;
    unit->started = false;
    ApplyAll();
    return VCI_OK;
}

HRESULT canControlReset(HANDLE control)
{
    CallLine("canControlReset").Hex(Key(control));
    if (auto status = InjectedFailure("canControlReset")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Control *unit = gState ? Find(gState->controls, control) : nullptr;
    if (!unit) return VCI_E_INVHANDLE;
    unit->started = false;
    unit->ResetFilters();
    ApplyAll();
    return VCI_OK;
}

HRESULT canControlStart(HANDLE control, int32_t start)
{
    CallLine("canControlStart").Hex(Key(control)).Dec(start);
    if (auto status = InjectedFailure("canControlStart")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Control *unit = gState ? Find(gState->controls, control) : nullptr;
    if (!unit) return VCI_E_INVHANDLE;
    unit->started = start != 0 && unit->initialized;
    ApplyAll();
    return VCI_OK;
}

HRESULT canControlSetAccFilter(HANDLE control, int32_t extended, uint32_t code, uint32_t mask)
{
    CallLine("canControlSetAccFilter").Hex(Key(control)).Dec(extended).Hex(code).Hex(mask);
    if (auto status = InjectedFailure("canControlSetAccFilter")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Control *unit = gState ? Find(gState->controls, control) : nullptr;
    if (!unit) return VCI_E_INVHANDLE;
    unit->filter[extended ? 1 : 0] = Filter{code, mask};
    return VCI_OK;
}

HRESULT canControlAddFilterIds(HANDLE control, int32_t extended, uint32_t code, uint32_t mask)
{
    CallLine("canControlAddFilterIds").Hex(Key(control)).Dec(extended).Hex(code).Hex(mask);
    if (auto status = InjectedFailure("canControlAddFilterIds")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Control *unit = gState ? Find(gState->controls, control) : nullptr;
    if (!unit) return VCI_E_INVHANDLE;
    unit->ids[extended ? 1 : 0].push_back(Filter{code, mask});
    return VCI_OK;
}

HRESULT canChannelOpen(HANDLE device, uint32_t canNo, int32_t exclusive, HANDLE *channel)
{
    CallLine("canChannelOpen").Hex(Key(device)).Dec(canNo).Dec(exclusive);
    if (auto status = InjectedFailure("canChannelOpen")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !Find(gState->devices, device)) return VCI_E_INVHANDLE;
    if (!channel) return VCI_E_INVPOINTER;
    if (canNo >= kCanLines) return VCI_E_INVALIDARG;
    auto bus = BusConnection::Connect("vcinpl");
    if (!bus) return VCI_E_FAIL;
    *channel = MakeHandle(kChannel);
    Channel &opened = gState->channels[Key(*channel)];
    opened.device = Key(device);
    opened.canNo = canNo;
    opened.bus = std::move(bus);
    return VCI_OK;
}

HRESULT canChannelClose(HANDLE channel)
{
    CallLine("canChannelClose").Hex(Key(channel));
    if (auto status = InjectedFailure("canChannelClose")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !gState->channels.erase(Key(channel))) return VCI_E_INVHANDLE;
    return VCI_OK;
}

HRESULT canChannelInitialize(HANDLE channel, uint16_t rxFifo, uint16_t rxThreshold, uint16_t txFifo,
                             uint16_t txThreshold)
{
    CallLine("canChannelInitialize").Hex(Key(channel)).Dec(rxFifo).Dec(rxThreshold).Dec(txFifo).Dec(txThreshold);
    if (auto status = InjectedFailure("canChannelInitialize")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !Find(gState->channels, channel)) return VCI_E_INVHANDLE;
    return rxFifo == 0 || txFifo == 0 ? VCI_E_INVALIDARG : VCI_OK;
}

HRESULT canChannelActivate(HANDLE channel, int32_t enable)
{
    CallLine("canChannelActivate").Hex(Key(channel)).Dec(enable);
    if (auto status = InjectedFailure("canChannelActivate")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Channel *line = gState ? Find(gState->channels, channel) : nullptr;
    if (!line) return VCI_E_INVHANDLE;
    line->active = enable != 0;
    Apply(*line);
    return VCI_OK;
}

HRESULT canChannelPeekMessage(HANDLE channel, CANMSG *msg)
{
    CallLine("canChannelPeekMessage").Hex(Key(channel));
    if (auto status = InjectedFailure("canChannelPeekMessage")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Channel *line = gState ? Find(gState->channels, channel) : nullptr;
    if (!line) return VCI_E_INVHANDLE;
    if (!msg) return VCI_E_INVPOINTER;
    return NextFrame(*line, *msg) ? VCI_OK : VCI_E_RXQUEUE_EMPTY;
}

HRESULT canChannelReadMessage(HANDLE channel, uint32_t timeoutMs, CANMSG *msg)
{
    CallLine("canChannelReadMessage").Hex(Key(channel)).Dec(timeoutMs);
    if (auto status = InjectedFailure("canChannelReadMessage")) return static_cast<HRESULT>(*status);
    std::unique_lock lock(gMutex);
    Channel *line = gState ? Find(gState->channels, channel) : nullptr;
    if (!line) return VCI_E_INVHANDLE;
    if (!msg) return VCI_E_INVPOINTER;
    const uint32_t start = zsim::standin::MillisNow();
    for (;;) {
        if (NextFrame(*line, *msg)) return VCI_OK;
        if (timeoutMs == 0) return VCI_E_RXQUEUE_EMPTY;
        const uint32_t waited = zsim::standin::MillisNow() - start;
        if (waited >= timeoutMs) return VCI_E_TIMEOUT;
        // Wait without the lock; the connection stays alive while we hold it.
        std::shared_ptr<BusConnection> bus = line->bus;
        lock.unlock();
        bus->Wait(static_cast<int>(std::min<uint32_t>(timeoutMs - waited, 60'000)));
        lock.lock();
        line = gState ? Find(gState->channels, channel) : nullptr;
        if (!line) return VCI_E_INVHANDLE;
    }
}

HRESULT canChannelSendMessage(HANDLE channel, uint32_t timeoutMs, CANMSG *msg)
{
    {
        CallLine line("canChannelSendMessage");
        line.Hex(Key(channel)).Dec(timeoutMs);
        if (msg) {
            line.Hex(msg->dwMsgId).Byte(msg->uMsgInfo.bFlags).Bytes(msg->abData, msg->uMsgInfo.bFlags & CAN_MSGFLAGS_DLC);
        } else {
            line.Text("null");
        }
    }
    if (auto status = InjectedFailure("canChannelSendMessage")) return static_cast<HRESULT>(*status);
    std::lock_guard lock(gMutex);
    Channel *line = gState ? Find(gState->channels, channel) : nullptr;
    if (!line) return VCI_E_INVHANDLE;
    if (!msg) return VCI_E_INVPOINTER;
    BusFrame frame;
    frame.extended = (msg->uMsgInfo.bFlags & CAN_MSGFLAGS_EXT) != 0;
    frame.remote = (msg->uMsgInfo.bFlags & CAN_MSGFLAGS_RTR) != 0;
    frame.dlc = msg->uMsgInfo.bFlags & CAN_MSGFLAGS_DLC;
    frame.id = msg->dwMsgId;
    if (frame.dlc > 8 || frame.id > (frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId)) {
        return VCI_E_INVALIDARG;
    }
    std::memcpy(frame.data, msg->abData, sizeof frame.data);
    return line->bus->Send(frame) ? VCI_OK : VCI_E_FAIL;
}

} // namespace zorcomm::vendor::vcinpl

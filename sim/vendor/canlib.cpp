// Stand-in CANLIB library: Kvaser channels on the simulated bus.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/canlib.h"

#include "standin.h"

#include <cstring>
#include <map>
#include <mutex>

namespace kv = zorcomm::vendor::canlib;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

struct Filter {
    bool set = false;
    unsigned int code = 0;
    unsigned int mask = 0;
    bool Passes(uint32_t id) const { return !set || (id & mask) == (code & mask); }
};

struct Channel {
    std::shared_ptr<BusConnection> bus;
    uint32_t rate = 0; // set by canSetBusParams
    bool on = false;
    Filter standard;
    Filter extended;
};

struct State {
    bool initialized = false;
    std::map<kv::canHandle, Channel> channels;
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

Channel *Find(kv::canHandle handle)
{
    if (!gState) return nullptr;
    auto it = gState->channels.find(handle);
    return it == gState->channels.end() ? nullptr : &it->second;
}

std::optional<uint32_t> RateFromFreq(long freq)
{
    switch (freq) {
    case kv::canBITRATE_1M: return 1'000'000;
    case kv::canBITRATE_500K: return 500'000;
    case kv::canBITRATE_250K: return 250'000;
    case kv::canBITRATE_125K: return 125'000;
    default: break;
    }
    if (freq > 0 && freq <= 1'000'000) return static_cast<uint32_t>(freq);
    return std::nullopt;
}

void Apply(Channel &channel) { channel.bus->SetRate(channel.on ? channel.rate : 0); }

} // namespace

namespace zorcomm::vendor::canlib {

void canInitializeLibrary(void)
{
    CallLine("canInitializeLibrary");
    InjectedFailure("canInitializeLibrary"); // nothing to return; counted all the same
    std::lock_guard lock(gMutex);
    if (gState) gState->initialized = true;
}

canHandle canOpenChannel(int channel, int flags)
{
    CallLine("canOpenChannel").Dec(channel).Hex(static_cast<unsigned>(flags));
    if (auto status = InjectedFailure("canOpenChannel")) return static_cast<canHandle>(*status);
    std::lock_guard lock(gMutex);
    if (!gState) return canERR_NOTINITIALIZED;
    if (!gState->initialized) return canERR_NOTINITIALIZED;
    if (channel < 0 || channel > 63) return canERR_NOTFOUND;
    auto bus = BusConnection::Connect("canlib");
    if (!bus) return canERR_NOTFOUND;
    canHandle handle = 0;
    while (gState->channels.contains(handle)) ++handle;
    gState->channels[handle].bus = std::move(bus);
    return handle;
}

canStatus canSetBusParams(canHandle h, long freq, unsigned int tseg1, unsigned int tseg2, unsigned int sjw,
                          unsigned int noSamp, unsigned int syncmode)
{
    CallLine("canSetBusParams").Dec(h).Dec(freq).Dec(tseg1).Dec(tseg2).Dec(sjw).Dec(noSamp).Dec(syncmode);
    if (auto status = InjectedFailure("canSetBusParams")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    auto rate = RateFromFreq(freq);
    if (!rate) return canERR_PARAM;
    channel->rate = *rate;
    Apply(*channel);
    return canOK;
}

canStatus canBusOn(canHandle h)
{
    CallLine("canBusOn").Dec(h);
    if (auto status = InjectedFailure("canBusOn")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    channel->on = true;
    Apply(*channel);
    return canOK;
}

canStatus canClose(canHandle h)
{
    CallLine("canClose").Dec(h);
    if (auto status = InjectedFailure("canClose")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    if (!Find(h)) return canERR_INVHANDLE;
    gState->channels.erase(h);
    return canOK;
}

canStatus canReadStatus(canHandle h, unsigned long *flags)
{
    CallLine("canReadStatus").Dec(h);
    if (auto status = InjectedFailure("canReadStatus")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    if (!flags) return canERR_PARAM;
    *flags = 0;
    return canOK;
}

canStatus canWrite(canHandle h, long id, void *msg, unsigned int dlc, unsigned int flag)
{
    CallLine("canWrite").Dec(h).Hex(static_cast<unsigned long>(id)).Bytes(static_cast<const uint8_t *>(msg), dlc).Dec(dlc).Hex(flag);
    if (auto status = InjectedFailure("canWrite")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    BusFrame frame;
    frame.extended = (flag & canMSG_EXT) != 0;
    frame.remote = (flag & canMSG_RTR) != 0;
    const long maxId = frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId;
    if (dlc > 8 || id < 0 || id > maxId || (!msg && dlc > 0 && !frame.remote)) return canERR_PARAM;
    frame.id = static_cast<uint32_t>(id);
    frame.dlc = static_cast<uint8_t>(dlc);
    if (msg && !frame.remote) std::memcpy(frame.data, msg, dlc);
    // A channel that is not on the bus loses the frame, as a controller in bus-off would.
    if (!channel->on) return canOK;
    return channel->bus->Send(frame) ? canOK : canERR_NOTFOUND;
}

canStatus canRead(canHandle h, long *id, void *msg, unsigned int *dlc, unsigned int *flag, unsigned long *time)
{
    CallLine("canRead").Dec(h);
    if (auto status = InjectedFailure("canRead")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    const bool filters = zsim::standin::FiltersEnabled();
    BusFrame frame;
    for (;;) {
        if (channel->bus->Receive(frame) != BusConnection::Receipt::Frame) return canERR_NOMSG;
        if (!channel->on) continue;
        if (frame.error || !filters) break;
        if ((frame.extended ? channel->extended : channel->standard).Passes(frame.id)) break;
    }
    if (id) *id = frame.error ? 0 : static_cast<long>(frame.id);
    if (msg && !frame.remote && !frame.error) std::memcpy(msg, frame.data, frame.dlc);
    if (dlc) *dlc = frame.error ? 0 : frame.dlc;
    if (flag) {
        *flag = frame.error ? canMSG_ERROR_FRAME
                            : (frame.extended ? canMSG_EXT : canMSG_STD) | (frame.remote ? canMSG_RTR : 0u);
    }
    if (time) *time = zsim::standin::MillisNow();
    return canOK;
}

canStatus canSetAcceptanceFilter(canHandle h, unsigned int code, unsigned int mask, int isExtended)
{
    CallLine("canSetAcceptanceFilter").Dec(h).Hex(code).Hex(mask).Dec(isExtended);
    if (auto status = InjectedFailure("canSetAcceptanceFilter")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    Channel *channel = Find(h);
    if (!channel) return canERR_INVHANDLE;
    Filter &filter = isExtended ? channel->extended : channel->standard;
    filter = Filter{true, code, mask};
    return canOK;
}

canStatus canUnloadLibrary(void)
{
    CallLine("canUnloadLibrary");
    if (auto status = InjectedFailure("canUnloadLibrary")) return static_cast<canStatus>(*status);
    std::lock_guard lock(gMutex);
    if (gState) {
        gState->channels.clear();
        gState->initialized = false;
    }
    return canOK;
}

} // namespace zorcomm::vendor::canlib

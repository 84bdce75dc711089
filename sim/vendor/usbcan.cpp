// Stand-in USBCAN library: SYS TEC modules on the simulated bus.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/usbcan.h"

#include "standin.h"

#include <cstring>
#include <map>
#include <mutex>

namespace uc = zorcomm::vendor::usbcan;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

constexpr uint32_t kVersion = 0x00050300;
constexpr std::size_t kMaxModules = 64;

struct Module {
    std::shared_ptr<BusConnection> bus;
    bool canInitialized = false;
    uint32_t rate = 0;
    uint32_t amr = 0xFFFFFFFF; // a set bit is not compared
    uint32_t acr = 0;

    // The acceptance registers compare a frame in the controller's layout.
    bool Passes(const BusFrame &frame) const
    {
        if (frame.error) return false;
        if (!zsim::standin::FiltersEnabled()) return true;
        const uint32_t rtr = frame.remote ? 1 : 0;
        const uint32_t value = frame.extended
                                   ? frame.id << 3 | rtr << 2
                                   : frame.id << 21 | rtr << 20 | uint32_t{frame.data[0]} << 8 | frame.data[1];
        return ((value ^ acr) & ~amr) == 0;
    }
};

struct State {
    std::map<uc::tUcanHandle, Module> modules;
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

Module *Find(uc::tUcanHandle handle)
{
    if (!gState) return nullptr;
    auto it = gState->modules.find(handle);
    return it == gState->modules.end() ? nullptr : &it->second;
}

void Apply(Module &module) { module.bus->SetRate(module.canInitialized ? module.rate : 0); }

} // namespace

namespace zorcomm::vendor::usbcan {

uint32_t UcanGetVersion(void)
{
    CallLine("UcanGetVersion");
    if (auto status = InjectedFailure("UcanGetVersion")) return static_cast<uint32_t>(*status);
    return kVersion;
}

UCANRET UcanInitHwConnectControl(void *callback)
{
    CallLine("UcanInitHwConnectControl").Pointer(callback);
    if (auto status = InjectedFailure("UcanInitHwConnectControl")) return static_cast<UCANRET>(*status);
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanDeinitHwConnectControl(void)
{
    CallLine("UcanDeinitHwConnectControl");
    if (auto status = InjectedFailure("UcanDeinitHwConnectControl")) return static_cast<UCANRET>(*status);
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanInitHardware(tUcanHandle *handle, uint8_t deviceNr, tCallbackFkt callback)
{
    CallLine("UcanInitHardware").Dec(deviceNr).Pointer(reinterpret_cast<const void *>(callback));
    if (auto status = InjectedFailure("UcanInitHardware")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !handle) return USBCAN_ERR_ILLPARAM;
    if (gState->modules.size() >= kMaxModules) return USBCAN_ERR_MAXMODULES;
    auto bus = BusConnection::Connect("usbcan32");
    if (!bus) return USBCAN_ERR_ILLHW;
    tUcanHandle next = 0;
    while (gState->modules.contains(next)) ++next;
    gState->modules[next].bus = std::move(bus);
    *handle = next;
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanGetHardwareInfo(tUcanHandle h, void *info)
{
    CallLine("UcanGetHardwareInfo").Dec(h);
    if (auto status = InjectedFailure("UcanGetHardwareInfo")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    if (!Find(h)) return USBCAN_ERR_ILLHANDLE;
    // The information record's layout is the vendor's; nothing is filled in.
    return info ? USBCAN_SUCCESSFUL : USBCAN_ERR_ILLPARAM;
}

UCANRET UcanInitCan(tUcanHandle h, uint8_t btr0, uint8_t btr1, uint32_t amr, uint32_t acr)
{
    CallLine("UcanInitCan").Dec(h).Byte(btr0).Byte(btr1).Hex(amr).Hex(acr);
    if (auto status = InjectedFailure("UcanInitCan")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    module->rate = zsim::standin::RateFromBtr(btr0, btr1);
    module->amr = amr;
    module->acr = acr;
    module->canInitialized = true;
    Apply(*module);
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanSetBaudrate(tUcanHandle h, uint8_t btr0, uint8_t btr1)
{
    CallLine("UcanSetBaudrate").Dec(h).Byte(btr0).Byte(btr1);
    if (auto status = InjectedFailure("UcanSetBaudrate")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    module->rate = zsim::standin::RateFromBtr(btr0, btr1);
    Apply(*module);
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanSetAcceptance(tUcanHandle h, uint32_t amr, uint32_t acr)
{
    CallLine("UcanSetAcceptance").Dec(h).Hex(amr).Hex(acr);
    if (auto status = InjectedFailure("UcanSetAcceptance")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    module->amr = amr;
    module->acr = acr;
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanResetCan(tUcanHandle h)
{
    CallLine("UcanResetCan").Dec(h);
    if (auto status = InjectedFailure("UcanResetCan")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    return Find(h) ? USBCAN_SUCCESSFUL : USBCAN_ERR_ILLHANDLE;
}

UCANRET UcanReadCanMsg(tUcanHandle h, tCanMsgStruct *msg)
{
    CallLine("UcanReadCanMsg").Dec(h);
    if (auto status = InjectedFailure("UcanReadCanMsg")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    if (!msg) return USBCAN_ERR_ILLPARAM;
    BusFrame frame;
    for (;;) {
        if (module->bus->Receive(frame) != BusConnection::Receipt::Frame) return USBCAN_WARN_NODATA;
        if (module->canInitialized && module->Passes(frame)) break;
    }
    msg->m_dwID = frame.id;
    msg->m_bFF = static_cast<uint8_t>((frame.extended ? USBCAN_MSG_FF_EXT : 0) | (frame.remote ? USBCAN_MSG_FF_RTR : 0));
    msg->m_bDLC = frame.dlc;
    std::memcpy(msg->m_bData, frame.data, sizeof msg->m_bData);
    msg->m_dwTime = zsim::standin::MillisNow();
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanWriteCanMsg(tUcanHandle h, tCanMsgStruct *msg)
{
    {
        CallLine line("UcanWriteCanMsg");
        line.Dec(h);
        if (msg) {
            line.Hex(msg->m_dwID).Byte(msg->m_bFF).Dec(msg->m_bDLC).Bytes(msg->m_bData, msg->m_bDLC);
        } else {
            line.Text("null");
        }
    }
    if (auto status = InjectedFailure("UcanWriteCanMsg")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    if (!msg || msg->m_bDLC > 8 || (msg->m_bFF & ~(USBCAN_MSG_FF_EXT | USBCAN_MSG_FF_RTR)) != 0) return USBCAN_ERR_ILLPARAM;
    BusFrame frame;
    frame.extended = (msg->m_bFF & USBCAN_MSG_FF_EXT) != 0;
    frame.remote = (msg->m_bFF & USBCAN_MSG_FF_RTR) != 0;
    frame.id = msg->m_dwID;
    frame.dlc = msg->m_bDLC;
    if (frame.id > (frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId)) return USBCAN_ERR_ILLPARAM;
    std::memcpy(frame.data, msg->m_bData, sizeof frame.data);
    return module->bus->Send(frame) ? USBCAN_SUCCESSFUL : USBCAN_ERR_IOFAILED;
}

UCANRET UcanGetStatus(tUcanHandle h, void *status)
{
    CallLine("UcanGetStatus").Dec(h);
    if (auto injected = InjectedFailure("UcanGetStatus")) return static_cast<UCANRET>(*injected);
    std::lock_guard lock(gMutex);
    if (!Find(h)) return USBCAN_ERR_ILLHANDLE;
    return status ? USBCAN_SUCCESSFUL : USBCAN_ERR_ILLPARAM;
}

UCANRET UcanDeinitCan(tUcanHandle h)
{
    CallLine("UcanDeinitCan").Dec(h);
    if (auto status = InjectedFailure("UcanDeinitCan")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    Module *module = Find(h);
    if (!module) return USBCAN_ERR_ILLHANDLE;
    module->canInitialized = false;
    Apply(*module);
    return USBCAN_SUCCESSFUL;
}

UCANRET UcanDeinitHardware(tUcanHandle h)
{
    CallLine("UcanDeinitHardware").Dec(h);
    if (auto status = InjectedFailure("UcanDeinitHardware")) return static_cast<UCANRET>(*status);
    std::lock_guard lock(gMutex);
    if (!Find(h)) return USBCAN_ERR_ILLHANDLE;
    gState->modules.erase(h);
    return USBCAN_SUCCESSFUL;
}

} // namespace zorcomm::vendor::usbcan

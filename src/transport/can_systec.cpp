// SYS TEC USBCAN modules.
#include <cstring>

#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "transport/can_families.h"
#include "transport/link_settings.h"
#include "transport/vendor/usbcan.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace uc = vendor::usbcan;

struct SysTecApi {
    uc::UcanGetVersion_t GetVersion;
    uc::UcanInitHwConnectControl_t InitHwConnectControl;
    uc::UcanDeinitHwConnectControl_t DeinitHwConnectControl;
    uc::UcanInitHardware_t InitHardware;
    uc::UcanGetHardwareInfo_t GetHardwareInfo;
    uc::UcanInitCan_t InitCan;
    uc::UcanSetBaudrate_t SetBaudrate;
    uc::UcanSetAcceptance_t SetAcceptance;
    uc::UcanResetCan_t ResetCan;
    uc::UcanReadCanMsg_t ReadCanMsg;
    uc::UcanWriteCanMsg_t WriteCanMsg;
    uc::UcanGetStatus_t GetStatus;
    uc::UcanDeinitCan_t DeinitCan;
    uc::UcanDeinitHardware_t DeinitHardware;

    // Some of these are never called; the library is usable only with all of them.
    static bool Bind(const platform::DynamicLibrary &l, SysTecApi &a) {
        return BindEntry(l, "UcanGetVersion", a.GetVersion) &&
               BindEntry(l, "UcanInitHwConnectControl", a.InitHwConnectControl) &&
               BindEntry(l, "UcanDeinitHwConnectControl", a.DeinitHwConnectControl) &&
               BindEntry(l, "UcanInitHardware", a.InitHardware) &&
               BindEntry(l, "UcanGetHardwareInfo", a.GetHardwareInfo) &&
               BindEntry(l, "UcanInitCan", a.InitCan) &&
               BindEntry(l, "UcanSetBaudrate", a.SetBaudrate) &&
               BindEntry(l, "UcanSetAcceptance", a.SetAcceptance) &&
               BindEntry(l, "UcanResetCan", a.ResetCan) &&
               BindEntry(l, "UcanReadCanMsg", a.ReadCanMsg) &&
               BindEntry(l, "UcanWriteCanMsg", a.WriteCanMsg) &&
               BindEntry(l, "UcanGetStatus", a.GetStatus) &&
               BindEntry(l, "UcanDeinitCan", a.DeinitCan) &&
               BindEntry(l, "UcanDeinitHardware", a.DeinitHardware);
    }
};

VendorLibrary<SysTecApi> &Library() { return Persistent<VendorLibrary<SysTecApi>>(); }
const SysTecApi &Api() { return Library().api(); }

constexpr uint32_t kHandleTag = 0x7FFF0000;

class SysTecLink final : public CanLink {
public:
    explicit SysTecLink(Slot &slot) : CanLink(slot, CanFamily::SysTec) {}
    ~SysTecLink() override {
        if (open_) {
            Api().DeinitCan(module_);
            Api().DeinitHardware(module_);
        }
        Library().Release();
    }

    bool Open(uint32_t number) override {
        const uc::UCANRET status = Api().InitHardware(&module_, static_cast<uint8_t>(number), nullptr);
        if (status != uc::USBCAN_SUCCESSFUL) return Failure(status);
        // The acceptance values in the module's register layout: a set AMR bit is not compared.
        const uint32_t amr = Torvane() ? 0x2FEFFFFF : 0xFE001FFB;
        const uint32_t acr = Torvane() ? 0 : static_cast<uint32_t>(slot_.hostAddress) << 12;
        const uc::UCANRET init = Api().InitCan(module_, 0x00, 0x1C, amr, acr);
        if (init != uc::USBCAN_SUCCESSFUL) {
            // The hardware would otherwise stay claimed and refuse the next open.
            Failure(init);
            const uint32_t code = Context().lastError;
            Api().DeinitHardware(module_);
            Context().lastError = code;
            return false;
        }
        open_ = true;
        slot_.channelHandle = Handle();
        slot_.typeArea.can.canBitRate = kStartBitRate;
        LoadSettings(CHANNEL_SYS_TEC_USBCAN);
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        uc::tCanMsgStruct message{};
        message.m_dwID = frame.id;
        message.m_bFF = frame.extended ? uc::USBCAN_MSG_FF_EXT : uc::USBCAN_MSG_FF_STD;
        message.m_bDLC = frame.dlc;
        std::memcpy(message.m_bData, frame.bytes.data(), sizeof message.m_bData);
        const uc::UCANRET status = Api().WriteCanMsg(module_, &message);
        if (status == uc::USBCAN_SUCCESSFUL) return 1;
        Failure(status);
        return -1;
    }

    bool FollowHostAddress(uint16_t address) override {
        if (Torvane()) return true;
        const uc::UCANRET status =
            Api().SetAcceptance(module_, 0xFE001FFF, static_cast<uint32_t>(address) << 12);
        return status == uc::USBCAN_SUCCESSFUL || Failure(status);
    }

    uint32_t Handle() const override { return kHandleTag | module_; }

protected:
    PollResult Poll(CanFrame &frame, bool) override {
        uc::tCanMsgStruct message{};
        const uc::UCANRET status = Api().ReadCanMsg(module_, &message);
        if (status == uc::USBCAN_WARN_NODATA) return PollResult::Empty;
        // Other warnings come with a frame.
        if (status != uc::USBCAN_SUCCESSFUL && status < uc::USBCAN_WARNING)
            return Failure(status), PollResult::Failed;
        // The frame format is compared whole, so remote requests never count.
        const uint8_t wanted = Torvane() ? uc::USBCAN_MSG_FF_STD : uc::USBCAN_MSG_FF_EXT;
        if (message.m_bFF != wanted || message.m_bDLC > 8 ||
            message.m_dwID >= (Torvane() ? 1u << 11 : 1u << 29))
            return PollResult::Dropped;
        frame.id = message.m_dwID;
        frame.extended = !Torvane();
        frame.dlc = message.m_bDLC;
        std::memcpy(frame.bytes.data(), message.m_bData, sizeof message.m_bData);
        return PollResult::Frame;
    }

    uint32_t RecordSize() const override { return 18; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        const uc::UCANRET status = Api().SetBaudrate(module_, rate.btr0, rate.btr1);
        return status == uc::USBCAN_SUCCESSFUL || Failure(status);
    }

private:
    uc::tUcanHandle module_ = 0;
    bool open_ = false;
};

} // namespace

std::unique_ptr<CanLink> MakeSysTecLink(Slot &slot) {
    if (!Library().Acquire(uc::kLibraryFile)) {
        SetError(0x2000008a);
        return nullptr;
    }
    return std::make_unique<SysTecLink>(slot);
}

} // namespace zorcomm

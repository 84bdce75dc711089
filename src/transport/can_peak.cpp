// PCAN-Basic adapters: PCI, ISA, USB and dongle channels.
#include <cstring>

#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "transport/can_families.h"
#include "transport/link_settings.h"
#include "transport/vendor/pcanbasic.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace pb = vendor::pcanbasic;

struct PeakApi {
    pb::CAN_Initialize_t Initialize;
    pb::CAN_Uninitialize_t Uninitialize;
    pb::CAN_GetStatus_t GetStatus;
    pb::CAN_Write_t Write;
    pb::CAN_Read_t Read;

    static bool Bind(const platform::DynamicLibrary &library, PeakApi &api) {
        return BindEntry(library, "CAN_Initialize", api.Initialize) &&
               BindEntry(library, "CAN_Uninitialize", api.Uninitialize) &&
               BindEntry(library, "CAN_GetStatus", api.GetStatus) &&
               BindEntry(library, "CAN_Write", api.Write) && BindEntry(library, "CAN_Read", api.Read);
    }
};

VendorLibrary<PeakApi> &Library() { return Persistent<VendorLibrary<PeakApi>>(); }

constexpr uint32_t kHandleTag = 0x7FFF0000;

class PeakLink : public CanLink {
public:
    PeakLink(Slot &slot, uint8_t type) : CanLink(slot, CanFamily::Peak), type_(type) {}
    // The channel is released too, so that it can be initialised again while another channel
    // keeps the library loaded.
    ~PeakLink() override {
        if (open_) Library().api().Uninitialize(channel_);
        Library().Release();
    }

    bool Open(uint32_t number) override {
        channel_ = ChannelOf(number);
        if (!PlugAndPlay()) LoadSettings(type_);
        const pb::TPCANStatus status = Initialize(0x001C);
        if (status != pb::kOk) return Failure(status);
        if (PlugAndPlay()) LoadSettings(type_);
        open_ = true;
        slot_.channelHandle = kHandleTag | channel_;
        slot_.typeArea.can.canBitRate = kStartBitRate;
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        pb::TPCANMsg message{};
        message.ID = frame.id;
        message.MSGTYPE = frame.extended ? pb::kMessageExtended : pb::kMessageStandard;
        message.LEN = frame.dlc;
        std::memcpy(message.DATA, frame.bytes.data(), sizeof message.DATA);
        const pb::TPCANStatus status = Library().api().Write(channel_, &message);
        if (status == pb::kOk) return 1;
        Failure(status);
        return -1;
    }

    uint32_t Handle() const override { return kHandleTag | channel_; }

protected:
    PollResult Poll(CanFrame &frame, bool) override {
        pb::TPCANMsg message{};
        pb::TPCANTimestamp time{};
        const pb::TPCANStatus status = Library().api().Read(channel_, &message, &time);
        if (status == pb::kErrQrcvEmpty) return PollResult::Empty;
        if (status != pb::kOk) return Failure(status), PollResult::Failed;
        // The kind is compared whole, so remote requests never count.
        const uint8_t wanted = Torvane() ? pb::kMessageStandard : pb::kMessageExtended;
        if (message.MSGTYPE != wanted || message.LEN > 8) return PollResult::Dropped;
        frame.id = message.ID;
        frame.extended = message.MSGTYPE == pb::kMessageExtended;
        frame.dlc = message.LEN;
        std::memcpy(frame.bytes.data(), message.DATA, sizeof message.DATA);
        return PollResult::Frame;
    }

    uint32_t RecordSize() const override { return 14; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        Library().api().Uninitialize(channel_);
        const pb::TPCANStatus status = Initialize(rate.peakWord);
        return status == pb::kOk || Failure(status);
    }

private:
    bool PlugAndPlay() const {
        return type_ == CHANNEL_PEAK_PCAN_PCI || type_ == CHANNEL_PEAK_PCAN_USB;
    }

    pb::TPCANHandle ChannelOf(uint32_t number) const {
        switch (type_) {
        case CHANNEL_PEAK_PCAN_PCI:
            return static_cast<pb::TPCANHandle>(0x40 + number);
        case CHANNEL_PEAK_PCAN_USB:
            return static_cast<pb::TPCANHandle>(0x50 + number);
        case CHANNEL_PEAK_PCAN_ISA:
            return static_cast<pb::TPCANHandle>(number | 0x20);
        default:
            return pb::kDongleBus1;
        }
    }

    pb::TPCANStatus Initialize(pb::TPCANBaudrate rate) const {
        if (PlugAndPlay()) return Library().api().Initialize(channel_, rate, 0, 0, 0);
        const SharedSettings &settings = Shared()->settings;
        return Library().api().Initialize(channel_, rate,
                                          static_cast<pb::TPCANType>(settings.pcanHardwareType),
                                          settings.pcanIoPort,
                                          static_cast<uint16_t>(settings.pcanInterrupt));
    }

    uint8_t type_;
    pb::TPCANHandle channel_ = 0;
    bool open_ = false;
};

} // namespace

std::unique_ptr<CanLink> MakePeakLink(Slot &slot, uint8_t channelType) {
    if (!Library().Acquire(pb::kLibraryFile)) {
        SetError(0x2000009c);
        return nullptr;
    }
    return std::make_unique<PeakLink>(slot, channelType);
}

} // namespace zorcomm

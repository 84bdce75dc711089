// esd NTCAN adapters. The library's identifier filter is a list of enabled identifiers (and,
// for 29-bit identifiers, a mask), so the host's identifiers are enabled one by one.
#include <array>
#include <cstring>
#include <iterator>

#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "transport/can_families.h"
#include "transport/link_settings.h"
#include "transport/vendor/ntcan.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace nt = vendor::ntcan;

struct EsdApi {
    nt::canSetBaudrate_t SetBaudrate;
    nt::canGetBaudrate_t GetBaudrate;
    nt::canOpen_t Open;
    nt::canClose_t Close;
    nt::canIdAdd_t IdAdd;
    nt::canIdDelete_t IdDelete;
    nt::canTake_t Take;
    nt::canRead_t Read;
    nt::canSend_t Send;
    nt::canWrite_t Write;
    nt::canStatus_t Status;
    nt::canIoctl_t Ioctl;

    // Bound in the order of the vendor's name list (decorated on Win32, plain elsewhere).
    static bool Bind(const platform::DynamicLibrary &l, EsdApi &a) {
        const auto &n = nt::kBoundNames;
        return BindEntry(l, n[0], a.SetBaudrate) && BindEntry(l, n[1], a.GetBaudrate) &&
               BindEntry(l, n[2], a.Open) && BindEntry(l, n[3], a.Close) &&
               BindEntry(l, n[4], a.IdAdd) && BindEntry(l, n[5], a.IdDelete) &&
               BindEntry(l, n[6], a.Take) && BindEntry(l, n[7], a.Read) &&
               BindEntry(l, n[8], a.Send) && BindEntry(l, n[9], a.Write) &&
               BindEntry(l, n[10], a.Status) && BindEntry(l, n[11], a.Ioctl);
    }
};
static_assert(std::size(nt::kBoundNames) == 12);

VendorLibrary<EsdApi> &Library() { return Persistent<VendorLibrary<EsdApi>>(); }
const EsdApi &Api() { return Library().api(); }

constexpr int32_t kExtendedBase = nt::NTCAN_20B_BASE;
// 29-bit identifier bits 10..21 (the destination address) are compared.
constexpr uint32_t kExtendedFilterMask = 0xFFC003FF;
constexpr std::array<int32_t, 3> kHostClasses{0x120, 0x140, 0x160};

// A time-out setting of 0 would mean "wait forever" to the adapter.
int32_t AdapterTimeout(uint32_t milliseconds) {
    return milliseconds == 0 ? 2000 : static_cast<int32_t>(milliseconds);
}

class EsdLink final : public CanLink {
public:
    explicit EsdLink(Slot &slot) : CanLink(slot, CanFamily::Esd) {}
    ~EsdLink() override {
        if (open_) Api().Close(handle_);
        Library().Release();
    }

    bool Open(uint32_t number) override {
        // The adapter's time-outs come from the settings.
        LoadSettings(CHANNEL_ESD_CAN);
        const SharedSettings &settings = Shared()->settings;
        const nt::NTCAN_RESULT status =
            Api().Open(static_cast<int>(number), 0, 1, 16, AdapterTimeout(settings.canSendTimeout),
                       AdapterTimeout(settings.canReceiveTimeout), &handle_);
        if (status != nt::NTCAN_SUCCESS) return Failure(status);
        if (!Initialise()) {
            const uint32_t code = Context().lastError;
            Api().Close(handle_);
            Context().lastError = code;
            return false;
        }
        open_ = true;
        slot_.channelHandle = Handle();
        slot_.typeArea.can.canBitRate = kStartBitRate;
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        nt::CMSG message{};
        message.id = static_cast<int32_t>(frame.id | (frame.extended ? kExtendedBase : 0));
        message.len = frame.dlc;
        std::memcpy(message.data, frame.bytes.data(), sizeof message.data);
        int32_t count = 1;
        const nt::NTCAN_RESULT status = Api().Write(handle_, &message, &count, nullptr);
        if (status == nt::NTCAN_SUCCESS) return 1;
        Failure(status);
        return -1;
    }

    bool FollowHostAddress(uint16_t address) override {
        const uint16_t old = filterHost();
        if (!Torvane())
            return Check(Api().IdDelete(handle_, ExtendedHostId(old))) &&
                   Check(Api().IdAdd(handle_, ExtendedHostId(address)));
        for (int32_t k : kHostClasses)
            if (!Check(Api().IdDelete(handle_, k | (old >> 4))) ||
                !Check(Api().IdAdd(handle_, k | (address >> 4))))
                return false;
        return true;
    }

    // The channel handle is never 0 while the channel is open.
    uint32_t Handle() const override {
        return handle_ != 0 ? static_cast<uint32_t>(handle_) : 0x7FFF0000;
    }

protected:
    PollResult Poll(CanFrame &frame, bool waiting) override {
        nt::CMSG message{};
        int32_t count = 1;
        const nt::NTCAN_RESULT status = waiting ? Api().Read(handle_, &message, &count, nullptr)
                                                : Api().Take(handle_, &message, &count);
        if (status != nt::NTCAN_SUCCESS) return Failure(status), PollResult::Failed;
        if (count != 1) return PollResult::Empty;
        const bool extended = (message.id & kExtendedBase) != 0;
        const uint8_t dlc = message.len & nt::NTCAN_DLC;
        const auto id = static_cast<uint32_t>(message.id & ~kExtendedBase);
        // Remote requests carry no drive message.
        if (extended == Torvane() || (message.len & nt::NTCAN_RTR) || dlc > 8 ||
            id >= (extended ? 1u << 29 : 1u << 11))
            return PollResult::Dropped;
        frame.id = id;
        frame.extended = extended;
        frame.dlc = dlc;
        std::memcpy(frame.bytes.data(), message.data, sizeof message.data);
        return PollResult::Frame;
    }

    uint32_t RecordSize() const override { return 16; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        if (rate.esdIndex < 0) return SetError(Error::BaudRateNotSupported);
        return Check(Api().SetBaudrate(handle_, static_cast<uint32_t>(rate.esdIndex)));
    }

private:
    bool Check(nt::NTCAN_RESULT status) const { return status == nt::NTCAN_SUCCESS || Failure(status); }

    static int32_t ExtendedHostId(uint16_t host) {
        return kExtendedBase | static_cast<int32_t>(static_cast<uint32_t>(host) << 9);
    }

    bool Initialise() {
        const auto &api = Api();
        if (!Check(api.SetBaudrate(handle_, nt::NTCAN_BAUD_500))) return false;
        const uint16_t host = slot_.hostAddress;
        if (!Torvane()) {
            uint32_t mask = kExtendedFilterMask;
            return Check(api.Ioctl(handle_, nt::NTCAN_IOCTL_SET_20B_HND_FILTER, &mask)) &&
                   Check(api.IdAdd(handle_, ExtendedHostId(host)));
        }
        for (int32_t k : kHostClasses)
            if (!Check(api.IdAdd(handle_, k | (host >> 4)))) return false;
        // The 31 identifiers of the class that carries no axis field.
        for (int32_t id = 0x101; id <= 0x11F; ++id)
            if (!Check(api.IdAdd(handle_, id))) return false;
        return true;
    }

    nt::NTCAN_HANDLE handle_ = 0;
    bool open_ = false;
};

} // namespace

std::unique_ptr<CanLink> MakeEsdLink(Slot &slot) {
    if (!Library().Acquire(nt::kLibraryFile)) {
        SetError(0x200000ad);
        return nullptr;
    }
    return std::make_unique<EsdLink>(slot);
}

} // namespace zorcomm

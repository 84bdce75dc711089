// Kvaser CANLIB adapters. The vendor's library is never unloaded once loaded: the last user
// asks it to let go of its resources instead.
#include <array>
#include <cstring>

#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "transport/can_families.h"
#include "transport/link_settings.h"
#include "transport/vendor/canlib.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace kv = vendor::canlib;

struct KvaserApi {
    kv::canInitializeLibrary_t InitializeLibrary;
    kv::canOpenChannel_t OpenChannel;
    kv::canSetBusParams_t SetBusParams;
    kv::canBusOn_t BusOn;
    kv::canClose_t Close;
    kv::canReadStatus_t ReadStatus;
    kv::canWrite_t Write;
    kv::canRead_t Read;
    kv::canSetAcceptanceFilter_t SetAcceptanceFilter;
    kv::canUnloadLibrary_t UnloadLibrary;

    static bool Bind(const platform::DynamicLibrary &l, KvaserApi &a) {
        return BindEntry(l, "canInitializeLibrary", a.InitializeLibrary) &&
               BindEntry(l, "canOpenChannel", a.OpenChannel) &&
               BindEntry(l, "canSetBusParams", a.SetBusParams) && BindEntry(l, "canBusOn", a.BusOn) &&
               BindEntry(l, "canClose", a.Close) && BindEntry(l, "canReadStatus", a.ReadStatus) &&
               BindEntry(l, "canWrite", a.Write) && BindEntry(l, "canRead", a.Read) &&
               BindEntry(l, "canSetAcceptanceFilter", a.SetAcceptanceFilter) &&
               BindEntry(l, "canUnloadLibrary", a.UnloadLibrary);
    }
};

VendorLibrary<KvaserApi> &Library() { return Persistent<VendorLibrary<KvaserApi>>(); }
const KvaserApi &Api() { return Library().api(); }

// The one loader reference that keeps the vendor's library loaded for the rest of the process,
// taken at its first load. The references of later loads are all given back, so they do not pile
// up with every channel opened and closed.
struct Keeper {
    platform::DynamicLibrary library;
};

void KeepLoaded() {
    platform::DynamicLibrary &keeper = Persistent<Keeper>().library;
    if (!keeper.IsLoaded()) keeper.Load(kv::kLibraryFile);
}

void ReleaseLibrary() {
    Library().Release([](platform::DynamicLibrary &library, KvaserApi &api) {
        if (api.UnloadLibrary) api.UnloadLibrary();
        if (Persistent<Keeper>().library.IsLoaded()) library.Unload();
        else library.Detach();
    });
}

constexpr uint32_t kErrorFrame = 0x200000c6;

class KvaserLink final : public CanLink {
public:
    explicit KvaserLink(Slot &slot) : CanLink(slot, CanFamily::Kvaser) {}
    ~KvaserLink() override {
        // Without a close the exclusively opened channel would stay taken while the library
        // stays loaded for another channel.
        if (open_) Api().Close(handle_);
        ReleaseLibrary();
    }

    bool Open(uint32_t number) override {
        const auto &api = Api();
        api.InitializeLibrary();
        const int flags = Torvane() ? kv::canOPEN_EXCLUSIVE
                                    : kv::canOPEN_EXCLUSIVE | kv::canOPEN_REQUIRE_EXTENDED;
        const kv::canHandle handle = api.OpenChannel(static_cast<int>(number), flags);
        if (handle < 0) return Failure(handle);
        handle_ = handle;
        const AcceptanceFilter filter = HostAcceptance(slot_.protocolFlag, slot_.hostAddress);
        if (!Check(api.SetBusParams(handle_, kv::canBITRATE_500K, 0, 0, 0, 0, 0)) ||
            !Check(api.SetAcceptanceFilter(handle_, filter.code, filter.mask, Torvane() ? 0 : 1)) ||
            !Check(api.BusOn(handle_))) {
            const uint32_t code = Context().lastError;
            api.Close(handle_);
            Context().lastError = code;
            return false;
        }
        open_ = true;
        slot_.channelHandle = Handle();
        slot_.typeArea.can.canBitRate = kStartBitRate;
        LoadSettings(CHANNEL_KVASER_CAN);
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        std::array<uint8_t, 8> data = frame.bytes;
        const kv::canStatus status =
            Api().Write(handle_, static_cast<long>(frame.id), data.data(), frame.dlc,
                        frame.extended ? kv::canMSG_EXT : kv::canMSG_STD);
        if (status == kv::canOK) return 1;
        Failure(status);
        return -1;
    }

protected:
    // One read, no waiting: the adapter is asked once.
    int AwaitFrame(DriveMessage &message) override {
        CanFrame frame;
        unsigned int flags = 0;
        const kv::canStatus status = Read(frame, flags);
        if (status == kv::canERR_NOMSG) return 0;
        if (status != kv::canOK) return Failure(status), -1;
        if (flags & kv::canMSG_ERROR_FRAME) return SetError(kErrorFrame), -1;
        return Counts(frame, flags) && Accept(frame, message) ? 1 : 0;
    }

public:

    // Kvaser's filter is left alone when the host changes in the documented procedure. Under the
    // 29-bit protocol it holds the host's address, though: the filter follows the host, or
    // replies to the new host would be dropped. It is set in the same form as at the open.
    // Under TorvaneCAN it does not depend on the host.
    bool FollowHostAddress(uint16_t address) override {
        if (Torvane()) return true;
        const AcceptanceFilter filter = HostAcceptance(slot_.protocolFlag, address);
        return Check(Api().SetAcceptanceFilter(handle_, filter.code, filter.mask, 1));
    }

    uint32_t Handle() const override { return static_cast<uint32_t>(handle_) + 1; }

protected:
    PollResult Poll(CanFrame &frame, bool) override {
        unsigned int flags = 0;
        const kv::canStatus status = Read(frame, flags);
        if (status == kv::canERR_NOMSG) return PollResult::Empty;
        if (status != kv::canOK) return Failure(status), PollResult::Failed;
        return Counts(frame, flags) ? PollResult::Frame : PollResult::Dropped;
    }

    uint32_t RecordSize() const override { return 16; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        return Check(Api().SetBusParams(handle_, rate.kvaserValue, 0, 0, 0, 0, 0));
    }

private:
    bool Check(kv::canStatus status) const { return status == kv::canOK || Failure(status); }

    kv::canStatus Read(CanFrame &frame, unsigned int &flags) const {
        long id = 0;
        // Room for the longest frame the library may hand over.
        std::array<uint8_t, 64> data{};
        unsigned int dlc = 0;
        unsigned long time = 0;
        const kv::canStatus status = Api().Read(handle_, &id, data.data(), &dlc, &flags, &time);
        if (status != kv::canOK) return status;
        frame.id = static_cast<uint32_t>(id);
        frame.extended = (flags & kv::canMSG_EXT) != 0;
        frame.dlc = static_cast<uint8_t>(dlc > 8 ? 0xFF : dlc);
        std::memcpy(frame.bytes.data(), data.data(), frame.bytes.size());
        return status;
    }

    // Data frames of the channel's kind; error frames and remote requests never count.
    bool Counts(const CanFrame &frame, unsigned int flags) const {
        const unsigned int kind = flags & (kv::canMSG_EXT | kv::canMSG_STD);
        const unsigned int wanted = Torvane() ? kv::canMSG_STD : kv::canMSG_EXT;
        return kind == wanted && !(flags & (kv::canMSG_RTR | kv::canMSG_ERROR_FRAME)) &&
               frame.dlc <= 8 && frame.id < (frame.extended ? 1u << 29 : 1u << 11);
    }

    kv::canHandle handle_ = 0;
    bool open_ = false;
};

} // namespace

std::unique_ptr<CanLink> MakeKvaserLink(Slot &slot) {
    if (!Library().Acquire(kv::kLibraryFile)) {
        SetError(0x200000bd);
        return nullptr;
    }
    KeepLoaded();
    return std::make_unique<KvaserLink>(slot);
}

} // namespace zorcomm

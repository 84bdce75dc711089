// IXXAT adapters: through the version 3 library when it can be bound, else through version 2.
// Both share one load count, and the version first bound stays while the count is not zero.
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "transport/can_families.h"
#include "transport/link_settings.h"
#include "transport/vendor/vci11un6.h"
#include "transport/vendor/vcinpl.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace v3 = vendor::vcinpl;
namespace v2 = vendor::vci11un6;

constexpr uint32_t kHandleTag = 0x7FFF0000;
constexpr uint8_t kBtr0 = 0x00, kBtr1 = 0x1C;

struct V3Api {
    v3::vciInitialize_t vciInitialize;
    v3::vciEnumDeviceOpen_t vciEnumDeviceOpen;
    v3::vciEnumDeviceClose_t vciEnumDeviceClose;
    v3::vciEnumDeviceNext_t vciEnumDeviceNext;
    v3::vciDeviceOpen_t vciDeviceOpen;
    v3::vciDeviceClose_t vciDeviceClose;
    v3::canControlOpen_t canControlOpen;
    v3::canControlClose_t canControlClose;
    v3::canControlInitialize_t canControlInitialize;
    v3::canControlReset_t canControlReset;
    v3::canControlStart_t canControlStart;
    v3::canControlSetAccFilter_t canControlSetAccFilter;
    v3::canControlAddFilterIds_t canControlAddFilterIds;
    v3::canChannelOpen_t canChannelOpen;
    v3::canChannelClose_t canChannelClose;
    v3::canChannelInitialize_t canChannelInitialize;
    v3::canChannelActivate_t canChannelActivate;
    v3::canChannelPeekMessage_t canChannelPeekMessage;
    v3::canChannelReadMessage_t canChannelReadMessage;
    v3::canChannelSendMessage_t canChannelSendMessage;

    static bool Bind(const platform::DynamicLibrary &l, V3Api &a) {
        return BindEntry(l, "vciInitialize", a.vciInitialize) &&
               BindEntry(l, "vciEnumDeviceOpen", a.vciEnumDeviceOpen) &&
               BindEntry(l, "vciEnumDeviceClose", a.vciEnumDeviceClose) &&
               BindEntry(l, "vciEnumDeviceNext", a.vciEnumDeviceNext) &&
               BindEntry(l, "vciDeviceOpen", a.vciDeviceOpen) &&
               BindEntry(l, "vciDeviceClose", a.vciDeviceClose) &&
               BindEntry(l, "canControlOpen", a.canControlOpen) &&
               BindEntry(l, "canControlClose", a.canControlClose) &&
               BindEntry(l, "canControlInitialize", a.canControlInitialize) &&
               BindEntry(l, "canControlReset", a.canControlReset) &&
               BindEntry(l, "canControlStart", a.canControlStart) &&
               BindEntry(l, "canControlSetAccFilter", a.canControlSetAccFilter) &&
               BindEntry(l, "canControlAddFilterIds", a.canControlAddFilterIds) &&
               BindEntry(l, "canChannelOpen", a.canChannelOpen) &&
               BindEntry(l, "canChannelClose", a.canChannelClose) &&
               BindEntry(l, "canChannelInitialize", a.canChannelInitialize) &&
               BindEntry(l, "canChannelActivate", a.canChannelActivate) &&
               BindEntry(l, "canChannelPeekMessage", a.canChannelPeekMessage) &&
               BindEntry(l, "canChannelReadMessage", a.canChannelReadMessage) &&
               BindEntry(l, "canChannelSendMessage", a.canChannelSendMessage);
    }
};

struct V2Api {
    v2::VCI2_PrepareBoard_t PrepareBoard;
    v2::VCI_CancelBoard_t CancelBoard;
    v2::VCI_InitCan_t InitCan;
    v2::VCI_ResetCan_t ResetCan;
    v2::VCI_StartCan_t StartCan;
    v2::VCI_ConfigQueue_t ConfigQueue;
    v2::VCI_AssignRxQueObj_t AssignRxQueObj;
    v2::VCI_ReadQueStatus_t ReadQueStatus;
    v2::VCI_TransmitObj_t TransmitObj;
    v2::VCI_ReadQueObj_t ReadQueObj;

    static bool Bind(const platform::DynamicLibrary &l, V2Api &a) {
        return BindEntry(l, "VCI2_PrepareBoard", a.PrepareBoard) &&
               BindEntry(l, "VCI_CancelBoard", a.CancelBoard) &&
               BindEntry(l, "VCI_InitCan", a.InitCan) && BindEntry(l, "VCI_ResetCan", a.ResetCan) &&
               BindEntry(l, "VCI_StartCan", a.StartCan) &&
               BindEntry(l, "VCI_ConfigQueue", a.ConfigQueue) &&
               BindEntry(l, "VCI_AssignRxQueObj", a.AssignRxQueObj) &&
               BindEntry(l, "VCI_ReadQueStatus", a.ReadQueStatus) &&
               BindEntry(l, "VCI_TransmitObj", a.TransmitObj) &&
               BindEntry(l, "VCI_ReadQueObj", a.ReadQueObj);
    }
};

// The two versions' libraries; at most one of them is loaded at a time.
class IxxatLibraries {
public:
    // 3 or 2: the version now loaded (and counted once more); 0 when neither can be used.
    int Acquire() {
        if (v3_.count() != 0) return v3_.Acquire(v3::kLibraryFile) ? 3 : 0;
        if (v2_.count() != 0) return v2_.Acquire(v2::kLibraryFile) ? 2 : 0;
        if (v3_.Acquire(v3::kLibraryFile)) return 3;
        if (v2_.Acquire(v2::kLibraryFile)) return 2;
        return 0;
    }
    void Release(int version) {
        if (version == 3) v3_.Release();
        else v2_.Release();
    }
    const V3Api &V3() const { return v3_.api(); }
    const V2Api &V2() const { return v2_.api(); }

private:
    VendorLibrary<V3Api> v3_;
    VendorLibrary<V2Api> v2_;
};

IxxatLibraries &Libraries() { return Persistent<IxxatLibraries>(); }
const V3Api &Api3() { return Libraries().V3(); }
const V2Api &Api2() { return Libraries().V2(); }

// Identifiers wider than the frame kind allows are malformed.
bool IdentifierFits(uint32_t id, bool extended) { return id < (extended ? 1u << 29 : 1u << 11); }

// ---------------------------------------------------------------------------------------------
// Version 3

class IxxatV3Link final : public CanLink {
public:
    explicit IxxatV3Link(Slot &slot) : CanLink(slot, CanFamily::IxxatV3) {}
    ~IxxatV3Link() override {
        if (channel_) Api3().canChannelClose(channel_);
        if (control_) Api3().canControlClose(control_);
        if (device_) Api3().vciDeviceClose(device_);
        Libraries().Release(3);
    }

    bool Open(uint32_t number) override {
        number_ = number;
        if (!Initialise(number)) {
            CloseAfterFailure();
            return false;
        }
        slot_.channelHandle = Handle();
        slot_.typeArea.can.canBitRate = kStartBitRate;
        LoadSettings(CHANNEL_IXXAT_CAN);
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        v3::CANMSG message{};
        message.dwMsgId = frame.id;
        message.uMsgInfo.bType = v3::CAN_MSGTYPE_DATA;
        message.uMsgInfo.bFlags =
            static_cast<uint8_t>(frame.dlc | (frame.extended ? v3::CAN_MSGFLAGS_EXT : 0));
        std::memcpy(message.abData, frame.bytes.data(), sizeof message.abData);
        const v3::HRESULT status =
            Api3().canChannelSendMessage(channel_, Shared()->settings.canSendTimeout, &message);
        if (status == v3::VCI_OK) return 1;
        Failure(status);
        return status == v3::VCI_E_TIMEOUT || status == v3::VCI_E_TXQUEUE_FULL ? 0 : -1;
    }

    bool FollowHostAddress(uint16_t address) override {
        const auto &api = Api3();
        if (!Check(api.canControlReset(control_))) return false;
        if (!Torvane()) {
            return Check(api.canControlSetAccFilter(control_, 1, static_cast<uint32_t>(address) << 10,
                                                    0x7FF800)) &&
                   Check(api.canControlStart(control_, 1));
        }
        if (!Check(api.canControlSetAccFilter(control_, 0, 0, 0xD00))) return false;
        for (uint32_t k : {0x240u, 0x280u, 0x2C0u})
            if (!Check(api.canControlAddFilterIds(control_, 0, ((address >> 3) & 0x1DBEu) | k, 0xFFF)))
                return false;
        return Check(api.canControlStart(control_, 1));
    }

    // The vendor's handle is a pointer; where it does not fit the channel handle, the adapter
    // number tells the channel apart within the process.
    uint32_t Handle() const override {
        if constexpr (sizeof(v3::HANDLE) <= sizeof(uint32_t))
            return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(channel_));
        else
            return 0x7FFE0000 | (number_ & 0xFFFF);
    }

protected:
    PollResult Poll(CanFrame &frame, bool waiting) override {
        v3::CANMSG message{};
        const v3::HRESULT status =
            waiting ? Api3().canChannelReadMessage(channel_, Shared()->settings.canReceiveTimeout, &message)
                    : Api3().canChannelPeekMessage(channel_, &message);
        if (status == v3::VCI_E_RXQUEUE_EMPTY) return PollResult::Empty;
        if (status == v3::VCI_E_TIMEOUT && waiting) return PollResult::Again;
        if (status != v3::VCI_OK) return Failure(status), PollResult::Failed;
        // Status and error messages of the controller share the FIFO; only data frames count.
        const uint8_t flags = message.uMsgInfo.bFlags;
        const uint8_t kind = flags & (v3::CAN_MSGFLAGS_EXT | v3::CAN_MSGFLAGS_RTR);
        const uint8_t wanted = Torvane() ? 0 : v3::CAN_MSGFLAGS_EXT;
        const uint8_t dlc = flags & v3::CAN_MSGFLAGS_DLC;
        if (message.uMsgInfo.bType != v3::CAN_MSGTYPE_DATA || kind != wanted || dlc > 8 ||
            !IdentifierFits(message.dwMsgId, !Torvane()))
            return PollResult::Dropped;
        frame.id = message.dwMsgId;
        frame.extended = !Torvane();
        frame.dlc = dlc;
        std::memcpy(frame.bytes.data(), message.abData, sizeof message.abData);
        return PollResult::Frame;
    }

    uint32_t RecordSize() const override { return 20; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        const auto &api = Api3();
        return Check(api.canControlStart(control_, 0)) &&
               Check(api.canControlInitialize(control_, Mode(), rate.btr0, rate.btr1)) &&
               Check(api.canControlStart(control_, 1));
    }

private:
    bool Check(v3::HRESULT status) const { return status == v3::VCI_OK || Failure(status); }
    uint8_t Mode() const { return Torvane() ? v3::CAN_OPMODE_STANDARD : v3::CAN_OPMODE_EXTENDED; }

    // The device ID of the settings; both halves all ones ask for the first device found.
    static v3::VCIID ConfiguredDevice() {
        const uint32_t low = ReadSetting("IXXAT_VCIID_LOW", 0xFFFFFFFF);
        uint32_t high = ReadSetting("IXXAT_VCIID_HIGH", 0xFFFFFFFF);
        if (low & 0x80000000u) high = 0xFFFFFFFF;
        return v3::VCIID{{low, high}};
    }

    bool FindFirstDevice(v3::VCIID &id) const {
        const auto &api = Api3();
        v3::HANDLE enumerator = nullptr;
        if (!Check(api.vciEnumDeviceOpen(&enumerator))) return false;
        v3::VCIDEVICEINFO info{};
        const v3::HRESULT status = api.vciEnumDeviceNext(enumerator, &info);
        api.vciEnumDeviceClose(enumerator);
        if (!Check(status)) return false;
        id = v3::VCIID{{info.VciObjectId[0], info.VciObjectId[1]}};
        return true;
    }

    bool Initialise(uint32_t number) {
        const auto &api = Api3();
        v3::VCIID id = ConfiguredDevice();
        if (!Check(api.vciInitialize())) return false;
        if (id.AsInt64[0] == 0xFFFFFFFF && id.AsInt64[1] == 0xFFFFFFFF && !FindFirstDevice(id))
            return false;
        const uint32_t canNumber = number - 1;
        if (!Check(api.vciDeviceOpen(&id, &device_)) ||
            !Check(api.canControlOpen(device_, canNumber, &control_)) ||
            !Check(api.canControlInitialize(control_, Mode(), kBtr0, kBtr1)))
            return false;
        // The filter values carry the remote-request bit below the identifier.
        const AcceptanceFilter filter = HostAcceptance(slot_.protocolFlag, slot_.hostAddress);
        if (!Check(api.canControlSetAccFilter(control_, Torvane() ? 0 : 1, filter.code * 2,
                                              filter.mask * 2)))
            return false;
        if (Torvane()) {
            const uint32_t host = slot_.hostAddress;
            for (uint32_t k : {0x1200u, 0x1400u, 0x1600u})
                if (!Check(api.canControlAddFilterIds(control_, 0, ((host & 0xFFF7) | k) >> 3, 0xFFF)))
                    return false;
        }
        return Check(api.canControlStart(control_, 1)) &&
               Check(api.canChannelOpen(device_, canNumber, 0, &channel_)) &&
               Check(api.canChannelInitialize(channel_, 16, 1, 1, 1)) &&
               Check(api.canChannelActivate(channel_, 1));
    }

    // The results of the clean-up calls do not matter; the error of the failed call stands.
    void CloseAfterFailure() {
        const uint32_t code = Context().lastError;
        // A channel that was opened but could not be set up would otherwise stay open.
        if (channel_) Api3().canChannelClose(channel_);
        if (control_) Api3().canControlClose(control_);
        if (device_) Api3().vciDeviceClose(device_);
        channel_ = control_ = device_ = nullptr;
        Context().lastError = code;
    }

    v3::HANDLE device_ = nullptr;
    v3::HANDLE control_ = nullptr;
    v3::HANDLE channel_ = nullptr;
    uint32_t number_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Version 2: received frames come through a callback on the vendor library's own thread.

class IxxatV2Link;

// The open version 2 channels of this process, for the receive callback. The callback holds the
// lock while it appends, so a channel that has left the list is never touched again.
struct V2Channels {
    std::mutex mutex;
    std::array<IxxatV2Link *, kSlotCount> links{};
};
V2Channels &Channels() { return Persistent<V2Channels>(); }

void ZORCOMM_VENDOR_CALL OnReceive(uint16_t queueHandle, uint16_t count, v2::VCI_CAN_OBJ *objects);

// Frames appended by the callback whose "CAN Message Received" trace is still to be written.
// The log handler belongs to the application's calling thread, so the vendor's thread only
// notes the frames and the next call of the application writes their traces.
class PendingTraces {
public:
    void Add(const CanFrame &frame) {
        std::lock_guard lock(mutex_);
        if (count_ < frames_.size()) frames_[count_++] = frame;
    }
    void Write() {
        std::array<CanFrame, CanReceiveQueue::kCapacity> frames;
        size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            frames = frames_;
            count = std::exchange(count_, 0);
        }
        for (size_t i = 0; i < count; ++i)
            TraceCan(kLogTraffic, "CAN Message Received", frames[i].id, frames[i].bytes.data(),
                     frames[i].dlc);
    }

private:
    std::mutex mutex_;
    std::array<CanFrame, CanReceiveQueue::kCapacity> frames_{};
    size_t count_ = 0;
};

class IxxatV2Link final : public CanLink {
public:
    explicit IxxatV2Link(Slot &slot) : CanLink(slot, CanFamily::IxxatV2) {}
    ~IxxatV2Link() override {
        Unregister();
        if (open_) Api2().CancelBoard(board_);
        Libraries().Release(2);
    }

    bool Open(uint32_t number) override {
        canNumber_ = static_cast<uint8_t>(number - 1);
        torvane_ = Torvane();
        host_.store(slot_.hostAddress);
        const auto boardType = static_cast<uint16_t>(ReadSetting("IXXAT_BOARD_TYPE", 0));
        const auto boardIndex = static_cast<uint16_t>(ReadSetting("IXXAT_BOARD_INDEX", 0));
        const int32_t board =
            Api2().PrepareBoard(boardType, boardIndex, nullptr, 0, nullptr, OnReceive, nullptr);
        if (board < 0) return Failure(board);
        board_ = static_cast<uint16_t>(board);
        if (!Initialise()) {
            const uint32_t code = Context().lastError;
            Api2().CancelBoard(board_);
            Context().lastError = code;
            return false;
        }
        open_ = true;
        Register();
        slot_.channelHandle = Handle();
        slot_.typeArea.can.canBitRate = kStartBitRate;
        LoadSettings(CHANNEL_IXXAT_CAN);
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        pending_.Write();
        std::array<uint8_t, 8> data = frame.bytes;
        const int32_t status = Api2().TransmitObj(board_, txQueue_, frame.id, frame.dlc, data.data());
        if (status != v2::VCI_OK) return Failure(status), -1;
        return AwaitTransmit();
    }

    int Receive(DriveMessage &message) override {
        return AwaitQueued([&] { return queue_.Take(message); });
    }

    // The callback puts every frame into the queue as it comes: nothing waits elsewhere, and
    // the wait tells the earlier ones by their place in the queue.
    bool SetAsideWaiting() override {
        pending_.Write();
        return true;
    }
    int ReceiveSince(uint32_t mark, DriveMessage &message) override {
        return AwaitQueued([&] { return queue_.TakeFrom(mark, message); });
    }

    int32_t BytesInQueue() override {
        pending_.Write();
        return static_cast<int32_t>(queue_.Count() * RecordSize());
    }

    bool FollowHostAddress(uint16_t address) override {
        if (!torvane_) {
            const auto &api = Api2();
            if (!Check(api.ResetCan(board_, canNumber_)) ||
                !Check(api.AssignRxQueObj(board_, rxQueue_, v2::VCI_ACCEPT,
                                          static_cast<uint32_t>(address) << 9, 0x3FFC00)) ||
                !Check(api.StartCan(board_, canNumber_)))
                return false;
        }
        host_.store(address);
        return true;
    }

    uint32_t Handle() const override { return kHandleTag | board_; }

    uint16_t ReceiveQueueHandle() const { return rxQueue_; }

    // On the vendor's thread, under the channel list's lock.
    void Take(uint16_t count, const v2::VCI_CAN_OBJ *objects) {
        for (uint16_t i = 0; i < count && queue_.Count() < CanReceiveQueue::kCapacity; ++i) {
            const v2::VCI_CAN_OBJ &object = objects[i];
            if (object.len_rtr & v2::VCI_RTR) continue;
            CanFrame frame;
            frame.id = object.id;
            frame.extended = !torvane_;
            frame.dlc = object.len_rtr & v2::VCI_LEN;
            if (frame.dlc > 8 || !IdentifierFits(frame.id, frame.extended)) continue;
            std::memcpy(frame.bytes.data(), object.a_data, sizeof object.a_data);
            DriveMessage message{};
            const uint8_t flag = torvane_ ? CHANNEL_PROTOCOL_TORVANECAN : CHANNEL_PROTOCOL_ORV;
            if (!CanFrameToMessage(frame, flag, host_.load(), message)) continue;
            if (queue_.Append(message)) pending_.Add(frame);
        }
    }

protected:
    // Frames come only through the callback.
    PollResult Poll(CanFrame &, bool) override { return PollResult::Empty; }
    uint32_t RecordSize() const override { return 18; }

    bool ApplyBitRate(const CanBitRate &rate) override {
        const auto &api = Api2();
        return Check(api.InitCan(board_, canNumber_, rate.btr0, rate.btr1, Mode())) &&
               Check(api.StartCan(board_, canNumber_));
    }

private:
    bool Check(int32_t status) const { return status == v2::VCI_OK || Failure(status); }
    uint8_t Mode() const { return torvane_ ? v2::VCI_11B : v2::VCI_29B; }

    bool Initialise() {
        const auto &api = Api2();
        const AcceptanceFilter filter = HostAcceptance(slot_.protocolFlag, slot_.hostAddress);
        return Check(api.InitCan(board_, canNumber_, kBtr0, kBtr1, Mode())) &&
               Check(api.ConfigQueue(board_, canNumber_, v2::VCI_TX_QUE, 50, 0, 0, 0, &txQueue_)) &&
               Check(api.ConfigQueue(board_, canNumber_, v2::VCI_RX_QUE, 50, 1, 1, 1, &rxQueue_)) &&
               Check(api.AssignRxQueObj(board_, rxQueue_, v2::VCI_ACCEPT, filter.code, filter.mask)) &&
               Check(api.StartCan(board_, canNumber_));
    }

    // Takes from the queue until `take` succeeds or the receive time-out has passed.
    template <typename Take>
    int AwaitQueued(Take take) {
        const uint32_t start = platform::TickCount();
        const uint32_t limit = Shared()->settings.canReceiveTimeout;
        PollBackoff backoff(TakeEarliestAnswer());
        while (true) {
            pending_.Write();
            if (take()) {
                pending_.Write();
                return 1;
            }
            if (platform::TicksSince(start) >= limit) return 0;
            backoff.Pause();
        }
    }

    // Waits until the transmit queue is empty or the send time-out has passed.
    int AwaitTransmit() {
        const uint32_t limit = Shared()->settings.canSendTimeout;
        if (limit == 0) return 1;
        const uint32_t start = platform::TickCount();
        while (true) {
            const int32_t waiting = Api2().ReadQueStatus(board_, txQueue_);
            if (waiting == 0) return 1;
            if (waiting < 0) return Failure(waiting), 0;
            if (platform::TicksSince(start) >= limit) {
                SetError(Error::SendTimeout);
                return 0;
            }
            platform::Sleep(1);
        }
    }

    void Register() {
        V2Channels &channels = Channels();
        std::lock_guard lock(channels.mutex);
        for (IxxatV2Link *&entry : channels.links)
            if (!entry) {
                entry = this;
                return;
            }
    }

    void Unregister() {
        V2Channels &channels = Channels();
        std::lock_guard lock(channels.mutex);
        for (IxxatV2Link *&entry : channels.links)
            if (entry == this) entry = nullptr;
    }

    uint16_t board_ = 0;
    uint8_t canNumber_ = 0;
    uint16_t txQueue_ = 0;
    uint16_t rxQueue_ = 0;
    bool open_ = false;
    // Fixed at open: the callback must not read the shared slot.
    bool torvane_ = false;
    // The host address the adapter's filter was last set for.
    std::atomic<uint16_t> host_{0};
    PendingTraces pending_;
};

void ZORCOMM_VENDOR_CALL OnReceive(uint16_t queueHandle, uint16_t count, v2::VCI_CAN_OBJ *objects) {
    if (!objects || count == 0) return;
    V2Channels &channels = Channels();
    std::lock_guard lock(channels.mutex);
    for (IxxatV2Link *link : channels.links)
        if (link && link->ReceiveQueueHandle() == queueHandle) {
            link->Take(count, objects);
            return;
        }
}

} // namespace

std::unique_ptr<CanLink> MakeIxxatLink(Slot &slot) {
    switch (Libraries().Acquire()) {
    case 3:
        return std::make_unique<IxxatV3Link>(slot);
    case 2:
        return std::make_unique<IxxatV2Link>(slot);
    default:
        SetError(0x20000082);
        return nullptr;
    }
}

} // namespace zorcomm

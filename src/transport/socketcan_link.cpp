#include "transport/socketcan_link.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/persistent.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "transport/link_settings.h"
#include "transport/vendor/socketcan.h"
#include "transport/vendor_library.h"

namespace zorcomm {

namespace {

namespace nl = vendor::socketcan;
using platform::CanSocketStatus;

struct NetlinkApi {
    nl::can_do_start_t DoStart;
    nl::can_do_stop_t DoStop;
    nl::can_set_bitrate_t SetBitrate;
    nl::can_get_bittiming_t GetBittiming;
    nl::can_get_state_t GetState;

    static bool Bind(const platform::DynamicLibrary &library, NetlinkApi &api) {
        return BindEntry(library, "can_do_start", api.DoStart) && BindEntry(library, "can_do_stop", api.DoStop) &&
               BindEntry(library, "can_set_bitrate", api.SetBitrate) &&
               BindEntry(library, "can_get_bittiming", api.GetBittiming) &&
               BindEntry(library, "can_get_state", api.GetState);
    }
};

VendorLibrary<NetlinkApi> &Netlink() { return Persistent<VendorLibrary<NetlinkApi>>(); }

constexpr uint32_t kHandleTag = 0x7FFE0000;
constexpr uint32_t kSocketCanRecordSize = 16; // the kernel's struct can_frame

struct MappedType {
    uint8_t type;
    const char *key;
};
constexpr MappedType kMappedTypes[] = {
    {CHANNEL_IXXAT_CAN, "IXXAT_CAN"},         {CHANNEL_SYS_TEC_USBCAN, "SYS_TEC_USBCAN"},
    {CHANNEL_PEAK_PCAN_PCI, "PEAK_PCAN_PCI"}, {CHANNEL_ESD_CAN, "ESD_CAN"},
    {CHANNEL_PEAK_PCAN_ISA, "PEAK_PCAN_ISA"}, {CHANNEL_PEAK_PCAN_USB, "PEAK_PCAN_USB"},
    {CHANNEL_PEAK_PCAN_DONGLE, "PEAK_PCAN_DONGLE"}, {CHANNEL_KVASER_CAN, "KVASER_CAN"},
};

struct ProblemCode {
    uint32_t problem;
    Error code;
};
constexpr ProblemCode kProblemCodes[] = {
    {platform::kCanErrorPassive, Error::SocketCanErrorPassive},
    {platform::kCanErrorWarning, Error::SocketCanErrorWarning},
    {platform::kCanOverflow, Error::SocketCanOverflow},
    {platform::kCanProtocolViolation, Error::SocketCanProtocolViolation},
    {platform::kCanNoAcknowledge, Error::SocketCanNoAcknowledge},
    {platform::kCanLostArbitration | platform::kCanTransceiver | platform::kCanTransmitTimeout |
         platform::kCanOtherProblem,
     Error::SocketCanBusError},
    {platform::kCanRestarted, Error::SocketCanRestarted},
};

std::string TextWithoutLineBreaks(uint32_t code) {
    std::string text(LibraryErrorText(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

class SocketCanLink final : public CanLink {
public:
    SocketCanLink(Slot &slot, uint8_t type, std::string interface, bool netlink)
        : CanLink(slot, CanFamily::SocketCan), type_(type), interface_(std::move(interface)), netlink_(netlink) {}
    ~SocketCanLink() override {
        socket_.Close();
        if (netlink_) Netlink().Release();
    }

    bool Open(uint32_t) override {
        const CanSocketStatus status = socket_.Open(interface_);
        if (status != CanSocketStatus::Done) return Failed(status);
        if (!ApplyFilters(slot_.hostAddress) || !BringToStartRate()) return false;
        LoadSettings(type_);
        slot_.typeArea.can.canBitRate = kStartBitRate;
        slot_.channelHandle = Handle();
        return true;
    }

    int Transmit(const CanFrame &frame) override {
        platform::CanSocketFrame out;
        out.id = frame.id;
        out.extended = frame.extended;
        out.dlc = frame.dlc;
        out.data = frame.bytes;
        const CanSocketStatus status = socket_.Send(out, Shared()->settings.canSendTimeout);
        switch (status) {
        case CanSocketStatus::Done:
            return 1;
        case CanSocketStatus::QueueFull:
            SetError(Error::SocketCanQueueFull);
            return 0;
        case CanSocketStatus::TimedOut:
            SetError(Error::SendTimeout);
            return 0;
        default:
            Failed(status);
            return -1;
        }
    }

protected:
    // Waits on the socket itself: a poll loop would wake every millisecond for nothing.
    int AwaitFrame(DriveMessage &message) override {
        const uint32_t start = platform::TickCount();
        const uint32_t limit = Shared()->settings.canReceiveTimeout;
        for (bool first = true;; first = false) {
            const uint32_t spent = platform::TickCount() - start;
            if (spent >= limit && !first) return 0;
            platform::CanSocketFrame in;
            const CanSocketStatus status = socket_.Receive(in, spent >= limit ? 0 : limit - spent);
            if (status == CanSocketStatus::TimedOut) return 0;
            if (status != CanSocketStatus::Done) return Failed(status), -1;
            if (in.problems) {
                if (!ReportProblems(in.problems)) return -1;
                continue;
            }
            CanFrame frame;
            if (SocketCanDataFrame(in, frame) && Accept(frame, message)) return 1;
        }
    }

    bool FollowHostAddress(uint16_t address) override { return ApplyFilters(address); }

public:
    // The interface's own rate where it can be read: another process or the administrator may
    // have changed it.
    uint32_t BaudRate() const override { return InterfaceRate().value_or(slot_.typeArea.can.canBitRate); }

    bool SetLinkBaudRate(uint32_t rate) override {
        if (!FindCanBitRate(rate)) return SetError(Error::BaudRateNotSupported);
        const std::optional<uint32_t> present = InterfaceRate();
        if (present ? *present != rate : rate != slot_.typeArea.can.canBitRate) {
            if (!SetInterfaceRate(rate)) return false;
        }
        slot_.typeArea.can.canBitRate = rate;
        return true;
    }

    uint32_t Handle() const override {
        return kHandleTag | static_cast<uint32_t>(std::max(socket_.Descriptor(), 0) & 0xFFFF);
    }

protected:
    PollResult Poll(CanFrame &frame, bool waiting) override {
        platform::CanSocketFrame in;
        const CanSocketStatus status = socket_.Receive(in, waiting ? 1 : 0);
        if (status == CanSocketStatus::TimedOut) return waiting ? PollResult::Again : PollResult::Empty;
        if (status != CanSocketStatus::Done) return Failed(status), PollResult::Failed;
        if (in.problems) return ReportProblems(in.problems) ? PollResult::Dropped : PollResult::Failed;
        if (!SocketCanDataFrame(in, frame)) return PollResult::Dropped;
        return PollResult::Frame;
    }

    uint32_t RecordSize() const override { return kSocketCanRecordSize; }

    bool ApplyBitRate(const CanBitRate &rate) override { return SetInterfaceRate(rate.bitsPerSecond); }

private:
    bool ApplyFilters(uint16_t hostAddress) {
        const auto filters = SocketCanHostFilters(slot_.protocolFlag, hostAddress);
        return socket_.SetFilters(filters) || SetError(platform::GetSystemError());
    }

    // Sets the error of a failed socket operation; false.
    bool Failed(CanSocketStatus status) {
        switch (status) {
        case CanSocketStatus::NoInterface:
            LogInterface("there is no such network interface");
            return SetError(Error::SocketCanNoInterface);
        case CanSocketStatus::NotCan:
            LogInterface("the network interface is not a CAN interface");
            return SetError(Error::SocketCanNotCan);
        case CanSocketStatus::Down:
            LogInterface("the CAN interface is down");
            return SetError(Error::SocketCanInterfaceDown);
        case CanSocketStatus::Unsupported:
            return SetError(Error::SocketCanUnsupported);
        case CanSocketStatus::QueueFull:
            return SetError(Error::SocketCanQueueFull);
        case CanSocketStatus::TimedOut:
            return SetError(Error::SendTimeout);
        default: {
            const uint32_t code = platform::GetSystemError();
            return SetError(code != 0 ? code : static_cast<uint32_t>(Error::SocketCanBusError));
        }
        }
    }

    void LogInterface(const std::string &what) const {
        Log(kLogErrors, "MSK Error", ("SocketCAN " + interface_ + ": " + what).c_str());
    }

    // Error frames go to the debug log; bus off also fails the operation at hand.
    bool ReportProblems(uint32_t problems) {
        if (problems & platform::kCanBusOff) return SetError(Error::SocketCanBusOff);
        for (const ProblemCode &entry : kProblemCodes) {
            if (!(problems & entry.problem)) continue;
            const std::string line = interface_ + ": " + TextWithoutLineBreaks(static_cast<uint32_t>(entry.code));
            Log(kLogInfo, "MSK Warning", line.c_str());
        }
        return true;
    }

    std::optional<uint32_t> InterfaceRate() const {
        if (!netlink_) return std::nullopt;
        nl::can_bittiming timing{};
        if (Netlink().api().GetBittiming(interface_.c_str(), &timing) != 0 || timing.bitrate == 0)
            return std::nullopt;
        return timing.bitrate;
    }

    // The start rate at open, where the interface has a rate of its own.
    bool BringToStartRate() {
        const std::optional<uint32_t> rate = InterfaceRate();
        return !rate || *rate == kStartBitRate || SetInterfaceRate(kStartBitRate);
    }

    // Down, set, up: the kernel changes the bit timing of a stopped interface only. The
    // interface comes up again even when the rate was refused.
    bool SetInterfaceRate(uint32_t rate) {
        if (!netlink_) return RateNotSet(Error::SocketCanNoBitRateControl, rate);
        const NetlinkApi &api = Netlink().api();
        const char *name = interface_.c_str();
        if (api.DoStop(name) != 0) return RateNotSet(platform::GetSystemError(), rate);
        const bool set = api.SetBitrate(name, rate) == 0;
        const uint32_t setCode = platform::GetSystemError();
        const bool started = api.DoStart(name) == 0;
        const uint32_t startCode = platform::GetSystemError();
        if (!set) return RateNotSet(setCode, rate);
        if (!started) return RateNotSet(startCode, rate);
        // Stopping the interface left this socket an error report of its own.
        socket_.ClearError();
        Log(kLogInfo, "MSK Info", ("SocketCAN " + interface_ + ": bit rate " + std::to_string(rate)).c_str());
        return true;
    }

    bool RateNotSet(uint32_t systemCode, uint32_t rate) {
        const bool refused = systemCode == kPermissionDenied || systemCode == kAccessDenied;
        return RateNotSet(refused ? Error::SocketCanBitRateRefused : Error::SocketCanBitRateFailed, rate);
    }

    bool RateNotSet(Error code, uint32_t rate) {
        SetError(code);
        const std::string n = interface_;
        const std::string command = "Run instead: ip link set " + n + " down && ip link set " + n +
                                    " type can bitrate " + std::to_string(rate) + " && ip link set " + n + " up";
        Log(kLogErrors, "MSK Error", command.c_str());
        return false;
    }

    static constexpr uint32_t kPermissionDenied = 1; // EPERM
    static constexpr uint32_t kAccessDenied = 13;    // EACCES

    uint8_t type_;
    std::string interface_;
    bool netlink_;
    platform::CanSocket socket_;
};

} // namespace

std::string SocketCanSettingsKey(uint8_t type, uint32_t number) {
    for (const MappedType &mapped : kMappedTypes)
        if (mapped.type == type) return mapped.key + std::to_string(number);
    return {};
}

std::string SocketCanInterfaceFor(uint8_t type, uint32_t number, const char *deviceName) {
    if (!platform::kHasCanSockets) return {};
    if (type == CHANNEL_SOCKETCAN) return deviceName ? deviceName : "";
    const std::string key = SocketCanSettingsKey(type, number);
    std::string interface;
    if (key.empty() || !ReadSettingText("SOCKETCAN", key.c_str(), interface)) return {};
    return interface;
}

bool ResolveSocketCanName(const char *deviceName, uint32_t &number) {
    const std::string name = deviceName ? deviceName : "";
    number = platform::CanInterfaceIndex(name);
    if (number != 0) return true;
    Log(kLogErrors, "MSK Error", ("SocketCAN " + name + ": there is no such network interface").c_str());
    return SetError(Error::SocketCanNoInterface);
}

bool SocketCanDataFrame(const platform::CanSocketFrame &in, CanFrame &frame) {
    if (in.problems || in.remote || in.dlc > 8) return false;
    frame.id = in.id;
    frame.extended = in.extended;
    frame.dlc = in.dlc;
    frame.bytes = in.data;
    return true;
}

std::vector<platform::CanAcceptance> SocketCanHostFilters(uint8_t protocolFlag, uint16_t hostAddress) {
    std::vector<platform::CanAcceptance> filters;
    if (protocolFlag != CHANNEL_PROTOCOL_TORVANECAN) {
        // The destination address field (identifier bits 10..21); the PC bit is not compared.
        filters.push_back({static_cast<uint32_t>(hostAddress) << 9, 0x3FFC00, true});
        return filters;
    }
    const uint32_t h = hostAddress >> 4;
    filters.push_back({0x100, 0x7E0, false}); // the class without an axis field
    for (uint32_t id : {0x020 | h, 0x120 | h, 0x140 | h, 0x160 | h}) {
        // A host axis above 31 makes classes meet; a frame must still pass only once.
        const bool seen = std::any_of(filters.begin(), filters.end(), [id](const platform::CanAcceptance &f) {
            return (id & f.mask) == (f.id & f.mask);
        });
        if (!seen) filters.push_back({id, 0x7FF, false});
    }
    return filters;
}

std::unique_ptr<CanLink> MakeSocketCanLink(Slot &slot, uint8_t type, const std::string &interface) {
    // Without the netlink helper SocketCAN still works, without bit-rate control.
    const bool netlink = Netlink().Acquire(nl::kLibraryFile);
    return std::make_unique<SocketCanLink>(slot, type, interface, netlink);
}

} // namespace zorcomm

#include "channel/channel_open.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "channel/channel_sharing.h"
#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "protocol/link_sync.h"
#include "transport/can_link.h"
#include "transport/datagram_link.h"
#include "transport/device_server.h"
#include "transport/link.h"
#include "transport/link_settings.h"
#include "transport/serial_port_link.h"
#include "transport/socketcan_link.h"
#include "transport/virtual_serial_link.h"

namespace zorcomm {

namespace {

// "%lu" as the C library reads it: optional blanks, an optional sign, digits.
bool ParseNumber(const char *text, uint32_t &number) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    if (*text == '+') ++text;
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || value > 0xFFFFFFFFul) return false;
    number = static_cast<uint32_t>(value);
    return true;
}

// Driver channels are told apart by the slot that holds them, so each open of a driver is a
// link of its own and never matches a link of another process.
uint32_t DriverChannelNumber() {
    const ProcessContext &context = Context();
    if (context.currentSlot->channelHandle == 0) return context.currentSlotIndex + 1;
    for (int i = 0; i < kSlotCount; ++i)
        if (Shared()->slotTable[i].processId == 0) return static_cast<uint32_t>(i + 1);
    return 0;
}

constexpr uint32_t kDriverHandleBase = 0x0F000000;

// The adapter's number ranges, checked before anything is loaded.
bool CanNumberAccepted(uint8_t type, uint32_t number) {
    if (type == CHANNEL_PEAK_PCAN_PCI || type == CHANNEL_PEAK_PCAN_USB)
        return number >= 1 && number <= 8;
    if (type == CHANNEL_PEAK_PCAN_ISA) return number == 1;
    return true;
}

bool OpenCanAdapter(int index, Slot &slot, const OpenRequest &request, const char *deviceName) {
    if (!CanNumberAccepted(request.type, request.number)) return SetError(Error::InvalidParameter);
    // The adapter's filters and frame format follow these from the start.
    slot.protocolFlag = request.protocolFlag;
    slot.hostAddress = request.hostAddress;
    // A SocketCAN interface, named or mapped to the adapter by the settings, or the adapter.
    const std::string interface = SocketCanInterfaceFor(request.type, request.number, deviceName);
    std::unique_ptr<CanLink> link = interface.empty() ? MakeCanLink(slot, request.type)
                                                      : MakeSocketCanLink(slot, request.type, interface);
    if (!link) return false;
    CanLink *adapter = link.get();
    InstallLink(index, std::move(link));
    if (adapter->Open(request.number)) return true;
    RemoveLink(index);
    slot.channelHandle = 0;
    return false;
}

// The device server an Ethernet device name leads to, and the reference to the socket library
// taken while decoding it: handed to the link, or given back when the open fails anywhere.
struct EthernetTarget {
    uint32_t address = 0;
    uint16_t port = kDefaultDataPort;
    WinSockReference winsock;
};

bool DecodeEthernetName(const char *name, EthernetTarget &target) {
    target.winsock = WinSockReference::Take();
    return target.winsock.held() && ResolveDeviceName(name, target.address, target.port);
}

bool OpenEthernet(int index, Slot &slot, const OpenRequest &request, EthernetTarget &target) {
    auto link = std::make_unique<DatagramLink>(slot, request.type, std::move(target.winsock));
    // The slot's type is not recorded yet, so the settings give no socket its time-out here; the
    // device server's socket takes UDP_RECEIVE_TIMEOUT as it is opened.
    LoadSettings(request.type);
    if (!link->Open(target.address, target.port)) return false;
    slot.channelHandle = link->Handle();
    InstallLink(index, std::move(link));
    return true;
}

bool OpenLink(const char *deviceName, const OpenRequest &request, EthernetTarget &ethernet) {
    const int index = Context().currentSlotIndex;
    Slot &slot = *Context().currentSlot;
    switch (request.type) {
    case CHANNEL_RS232:
    case CHANNEL_RS485: {
        // Installed first: the port's set-up gives the selected link its time-outs.
        auto link = std::make_unique<SerialPortLink>(slot, request.type);
        SerialPortLink *port = link.get();
        InstallLink(index, std::move(link));
        if (port->Open(request.number)) return true;
        RemoveLink(index);
        slot.channelHandle = 0;
        return false;
    }
    case CHANNEL_VIRTUAL_SERIAL: {
        auto driver =
            std::make_unique<VirtualSerialLink>(slot, kDriverHandleBase + static_cast<uint32_t>(index) + 1);
        if (!driver->Load(deviceName)) return false;
        slot.channelHandle = driver->Handle();
        InstallLink(index, std::move(driver));
        LoadSettings(CHANNEL_VIRTUAL_SERIAL);
        return true;
    }
    case CHANNEL_XPORT_TCP:
    case CHANNEL_UDP:
        return OpenEthernet(index, slot, request, ethernet);
    case CHANNEL_LAWICEL_USBCAN: // a CAN link on a COM port: its link opens the port too
    default:
        return OpenCanAdapter(index, slot, request, deviceName);
    }
}

void RecordChannel(const char *deviceName, const OpenRequest &request) {
    Slot &slot = *Context().currentSlot;
    LogInfo("Channel opened sucessfully");
    slot.channelType = request.type;
    slot.protocolFlag = request.protocolFlag;
    // The stored copy is cut to the field; the link was opened with the full name.
    std::strncpy(slot.deviceName, deviceName, kDeviceNameSize - 1);
    slot.deviceName[kDeviceNameSize - 1] = '\0';
    slot.channelNumber = request.number;
    slot.exclusive = request.exclusive ? 1 : 0;
    slot.hostAddress = request.hostAddress;
    slot.hostVerified = 0;
    slot.activeAddress = request.hostAddress;
    if (IsCanType(request.type)) slot.replyTimeout = Shared()->settings.canReceiveTimeout;
    else if (IsEthernetType(request.type)) slot.replyTimeout = Shared()->settings.udpReceiveTimeout;
    else slot.replyTimeout = ReadSetting("TIMEOUT_READ_INTERVAL", 1000);
}

bool Synchronise() {
    const Slot &slot = *Context().currentSlot;
    if (!IsByteStreamType(slot.channelType)) return true;
    return EstablishLink() && (slot.hostAddress == 0 || EnsureHostVerified());
}

// Undoes a failed open: no mutex, link, or slot of the attempt remains and the former
// selection comes back.
bool AbandonOpen(int16_t formerIndex) {
    const uint32_t code = Context().lastError;
    Slot &slot = *Context().currentSlot;
    const int16_t index = Context().currentSlotIndex;
    if (slot.channelMutex != 0) {
        platform::ReleaseMutex(slot.channelMutex);
        platform::CloseMutex(slot.channelMutex);
    }
    RemoveLink(index);
    ClearChannelFields(slot);
    if (index != formerIndex) {
        ReleaseSlot(index);
        SelectSlot(formerIndex);
    }
    Context().lastError = code;
    return false;
}

} // namespace

bool DecodePortName(const char *name, uint8_t type, uint32_t &number) {
    bool parsed = ParseNumber(name, number);
    if (!parsed && IsSerialPortType(type) && std::strncmp(name, "COM", 3) == 0)
        parsed = ParseNumber(name + 3, number) && name[3] >= '0' && name[3] <= '9';
    return parsed && number <= 255;
}

bool OpenChannel(const char *deviceName, uint16_t hostAddress, bool exclusive, uint8_t type,
                 uint8_t protocolFlag) {
    if (!deviceName) return SetError(Error::InvalidParameter);
    OpenRequest request{type, protocolFlag, 0, hostAddress, exclusive};
    EthernetTarget ethernet;
    if (type == CHANNEL_VIRTUAL_SERIAL) request.number = DriverChannelNumber();
    else if (IsEthernetType(type)) {
        if (!DecodeEthernetName(deviceName, ethernet)) return false;
        request.number = ethernet.address;
    } else if (type == CHANNEL_SOCKETCAN) {
        if (!ResolveSocketCanName(deviceName, request.number)) return false;
    } else if (!DecodePortName(deviceName, type, request.number))
        return SetError(Error::InvalidParameter);

    const int16_t own = FindOwnChannelSlot(type, request.number);
    if (own >= 0) {
        const Slot &existing = Shared()->slotTable[own];
        if (existing.protocolFlag != protocolFlag) return SetError(Error::ProtocolMismatch);
        if (hostAddress != 0 && hostAddress != existing.hostAddress)
            return SetError(Error::HostAxisMismatch);
        return SelectSlot(own);
    }

    const int16_t formerIndex = Context().currentSlotIndex;
    if (Context().currentSlot->channelHandle != 0 && !AllocateSlot()) return false;

    const int16_t other = FindChannelSlot(type, request.number);
    if (other >= 0) {
        const ShareResult shared = ShareChannel(other, request);
        if (shared == ShareResult::Duplicated) return true;
        if (shared == ShareResult::Failed) return AbandonOpen(formerIndex);
    } else {
        Context().currentSlot->channelMutex = platform::CreateMutex(true);
        if (Context().currentSlot->channelMutex == 0) return AbandonOpen(formerIndex);
    }

    if (!OpenLink(deviceName, request, ethernet)) return AbandonOpen(formerIndex);
    RecordChannel(deviceName, request);
    Slot &slot = *Context().currentSlot;
    if (!Synchronise()) {
        const uint32_t code = Context().lastError;
        platform::ReleaseMutex(slot.channelMutex);
        CloseChannel(Context().currentSlotIndex);
        SelectSlot(formerIndex);
        Context().lastError = code;
        return false;
    }
    SetHostAddress(true, slot.hostAddress);
    platform::ReleaseMutex(slot.channelMutex);
    return true;
}

bool CloseChannel(int16_t index) {
    const uint32_t self = Context().ownProcessId;
    if (index < 0 || index >= kSlotCount || Shared()->slotTable[index].processId != self)
        return SetError(Error::InvalidParameter);
    Slot &slot = Shared()->slotTable[index];
    const uint32_t handle = slot.channelHandle;
    CloseChannelLink(slot);
    if (!ReleaseSlot(index)) ClearChannelFields(slot);
    if (handle != 0) LogInfo("Channel closed sucessfully");
    return true;
}

void CloseChannelLink(Slot &slot) {
    if (slot.channelHandle == 0) return;
    if (slot.channelMutex != 0) platform::WaitMutex(slot.channelMutex);
    RemoveLink(SlotIndexOf(slot));
    if (slot.channelMutex != 0) {
        platform::ReleaseMutex(slot.channelMutex);
        platform::CloseMutex(slot.channelMutex);
    }
    slot.channelHandle = 0;
    slot.channelMutex = 0;
}

bool ReapplyPortSettings(Slot &slot) {
    Link *link = LinkOf(SlotIndexOf(slot));
    return link && link->ReapplyPortSettings();
}

bool CheckChannelOpen() {
    Slot &slot = *Context().currentSlot;
    if (slot.channelHandle == 0) return SetError(Error::PortNotOpened);
    if ((slot.channelType == CHANNEL_RS232 || slot.channelType == CHANNEL_RS485) &&
        slot.typeArea.serial.stateChanged) {
        slot.typeArea.serial.stateChanged = 0;
        if (!ReapplyPortSettings(slot)) {
            const uint32_t code = platform::GetSystemError();
            return SetError(code != 0 ? code : static_cast<uint32_t>(Error::ChannelStateModified));
        }
    }
    return true;
}

} // namespace zorcomm

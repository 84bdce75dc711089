// Stand-in PCAN-Basic library: PCAN channels on the simulated bus.
#define ZORCOMM_VENDOR_DECLARE_FUNCTIONS
#include "transport/vendor/pcanbasic.h"

#include "standin.h"

#include <cstring>
#include <map>
#include <mutex>

namespace pb = zorcomm::vendor::pcanbasic;
using zsim::standin::BusConnection;
using zsim::standin::BusFrame;
using zsim::standin::CallLine;
using zsim::standin::InjectedFailure;

namespace {

struct State {
    std::map<pb::TPCANHandle, std::shared_ptr<BusConnection>> channels;
};

std::mutex gMutex;
State *gState = nullptr; // from load to unload

__attribute__((constructor)) void Load() { gState = new State; }
__attribute__((destructor)) void Unload()
{
    std::lock_guard lock(gMutex);
    delete gState;
    gState = nullptr;
}

bool ValidChannel(pb::TPCANHandle channel)
{
    const unsigned bus = channel & 0xF0;
    const unsigned number = channel & 0x0F;
    return (bus == 0x20 || bus == 0x30 || bus == 0x40 || bus == 0x50) && number >= 1 && number <= 8;
}

uint32_t RateFromWord(pb::TPCANBaudrate word)
{
    return zsim::standin::RateFromBtr(static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF));
}

BusConnection *Find(pb::TPCANHandle channel)
{
    if (!gState) return nullptr;
    auto it = gState->channels.find(channel);
    return it == gState->channels.end() ? nullptr : it->second.get();
}

} // namespace

namespace zorcomm::vendor::pcanbasic {

TPCANStatus CAN_Initialize(TPCANHandle channel, TPCANBaudrate btr0btr1, TPCANType hwType, uint32_t ioPort,
                           uint16_t interrupt)
{
    CallLine("CAN_Initialize").Hex(channel).Word(btr0btr1).Dec(hwType).Dec(ioPort).Dec(interrupt);
    if (auto status = InjectedFailure("CAN_Initialize")) return static_cast<TPCANStatus>(*status);
    std::lock_guard lock(gMutex);
    if (!gState || !ValidChannel(channel)) return kErrIllHw;
    // Already initialised in this process: the channel is in use.
    if (gState->channels.contains(channel)) return kErrInitialize;
    auto bus = BusConnection::Connect("pcanbasic");
    if (!bus) return kErrNoDriver;
    bus->SetRate(RateFromWord(btr0btr1));
    gState->channels[channel] = std::move(bus);
    return kOk;
}

TPCANStatus CAN_Uninitialize(TPCANHandle channel)
{
    CallLine("CAN_Uninitialize").Hex(channel);
    if (auto status = InjectedFailure("CAN_Uninitialize")) return static_cast<TPCANStatus>(*status);
    std::lock_guard lock(gMutex);
    if (!Find(channel)) return kErrInitialize;
    gState->channels.erase(channel);
    return kOk;
}

TPCANStatus CAN_GetStatus(TPCANHandle channel)
{
    CallLine("CAN_GetStatus").Hex(channel);
    if (auto status = InjectedFailure("CAN_GetStatus")) return static_cast<TPCANStatus>(*status);
    std::lock_guard lock(gMutex);
    return Find(channel) ? kOk : kErrInitialize;
}

TPCANStatus CAN_Read(TPCANHandle channel, TPCANMsg *msg, TPCANTimestamp *timestamp)
{
    CallLine("CAN_Read").Hex(channel);
    if (auto status = InjectedFailure("CAN_Read")) return static_cast<TPCANStatus>(*status);
    std::lock_guard lock(gMutex);
    BusConnection *bus = Find(channel);
    if (!bus) return kErrInitialize;
    if (!msg) return kErrIllParamVal;
    BusFrame frame;
    for (;;) {
        if (bus->Receive(frame) != BusConnection::Receipt::Frame) return kErrQrcvEmpty;
        if (!frame.error) break; // error frames are not reported to PCAN-Basic clients
    }
    msg->ID = frame.id;
    msg->MSGTYPE = static_cast<uint8_t>((frame.extended ? kMessageExtended : kMessageStandard) |
                                        (frame.remote ? kMessageRtr : 0));
    msg->LEN = frame.dlc;
    std::memcpy(msg->DATA, frame.data, sizeof msg->DATA);
    if (timestamp) {
        const uint32_t now = zsim::standin::MillisNow();
        timestamp->millis = now;
        timestamp->millis_overflow = 0;
        timestamp->micros = 0;
    }
    return kOk;
}

TPCANStatus CAN_Write(TPCANHandle channel, TPCANMsg *msg)
{
    {
        CallLine line("CAN_Write");
        line.Hex(channel);
        if (msg) {
            line.Hex(msg->ID).Byte(msg->MSGTYPE).Dec(msg->LEN).Bytes(msg->DATA, msg->LEN);
        } else {
            line.Text("null");
        }
    }
    if (auto status = InjectedFailure("CAN_Write")) return static_cast<TPCANStatus>(*status);
    std::lock_guard lock(gMutex);
    BusConnection *bus = Find(channel);
    if (!bus) return kErrInitialize;
    if (!msg || msg->LEN > 8 || (msg->MSGTYPE & ~(kMessageExtended | kMessageRtr)) != 0) return kErrIllParamVal;
    BusFrame frame;
    frame.extended = (msg->MSGTYPE & kMessageExtended) != 0;
    frame.remote = (msg->MSGTYPE & kMessageRtr) != 0;
    frame.id = msg->ID;
    frame.dlc = msg->LEN;
    if (frame.id > (frame.extended ? zsim::canbus::kMaxExtendedId : zsim::canbus::kMaxStandardId)) return kErrIllParamVal;
    std::memcpy(frame.data, msg->DATA, sizeof frame.data);
    return bus->Send(frame) ? kOk : kErrBusOff;
}

} // namespace zorcomm::vendor::pcanbasic

// The exported functions: each enters the call frame with its locks, checks the selected channel
// and its arguments, and hands the work down.
#include <zorcomm/zorcomm.h>

#include "channel/channel_open.h"
#include "core/call_frame.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "download/coff_download.h"
#include "protocol/block_transfer.h"
#include "protocol/engine.h"
#include "protocol/link_sync.h"
#include "transport/link.h"
#include "transport/link_settings.h"

using namespace zorcomm;

namespace {

Slot &Selected() { return *Context().currentSlot; }

// The host drive answers, or the link can be brought up again.
bool LinkCheck() { return EnsureHostVerified() || EstablishLink(); }

bool Invalid() { return SetError(Error::InvalidParameter); }

// Frame, open check and link check of the exports that talk to drives.
class DriveCall {
public:
    explicit DriveCall(unsigned flags, bool linkCheck = true)
        : frame_(flags), ready_(frame_.entered() && CheckChannelOpen() && FollowHost() &&
                                (!linkCheck || LinkCheck())) {}
    bool ready() const { return ready_; }

private:
    static bool FollowHost() {
        FollowSharedHost();
        return true;
    }
    CallFrame frame_;
    bool ready_;
};

bool AcceptsUnknownHost(uint8_t type) {
    return type == CHANNEL_RS232 || type == CHANNEL_VIRTUAL_SERIAL || IsEthernetType(type);
}

} // namespace

extern "C" {

ZORCOMM_API int32_t ZORCOMM_CALL MSK_OpenComm(const char *deviceName, uint16_t hostAxisId,
                                              uint8_t exclusive, uint8_t channelType) {
    CallFrame frame(LOCK_TABLE);
    if (!frame.entered()) return 0;
    const uint8_t type = channelType & kTypeMask;
    if (!IsKnownChannelType(type)) return Invalid(), -1;
    uint16_t host = hostAxisId;
    if (!(host == 0 && AcceptsUnknownHost(type)) && !AxisToAddress(host)) return -1;
    if (!OpenChannel(deviceName, host, exclusive != 0, type, channelType & kProtocolMask)) return -1;
    return Context().currentSlot ? static_cast<int32_t>(Selected().channelHandle) : -1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_CloseComm(int32_t handle) {
    CallFrame frame(LOCK_TABLE);
    if (!frame.entered()) return 0;
    const int16_t index = handle < 0 ? static_cast<int16_t>(Context().currentSlotIndex)
                                     : FindSlotByHandle(static_cast<uint32_t>(handle));
    return CloseChannel(index);
}

ZORCOMM_API int32_t ZORCOMM_CALL MSK_SelectComm(int32_t handle) {
    CallFrame frame(0);
    if (!frame.entered()) return 0;
    const int32_t before = Context().currentSlotIndex < 0
                               ? -1
                               : static_cast<int32_t>(Selected().channelHandle);
    if (!SelectSlot(FindSlotByHandle(static_cast<uint32_t>(handle)))) return -1;
    return before < 0 ? static_cast<int32_t>(Selected().channelHandle) : before;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendMessage(const DriveMessage *message) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!message) return Invalid();
    return SendDriveMessage(message) == 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveMessage(DriveMessage *message) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!message) return Invalid();
    return ReceiveDriveMessage(message) == 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetActiveDrive(uint16_t *axisId) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!axisId) return Invalid();
    *axisId = static_cast<uint16_t>(Selected().activeAddress >> 4);
    return 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetHostDrive(uint16_t *axisId) {
    DriveCall call(LOCK_CHANNEL, false);
    if (!call.ready()) return 0;
    if (!axisId) return Invalid();
    *axisId = static_cast<uint16_t>(Selected().hostAddress >> 4);
    return 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetActiveDrive(uint16_t axisId) {
    DriveCall call(LOCK_CHANNEL, false);
    if (!call.ready() || !AxisToAddress(axisId)) return 0;
    Selected().activeAddress = axisId;
    return 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetHostDrive(uint16_t axisId) {
    DriveCall call(LOCK_CHANNEL, false);
    if (!call.ready()) return 0;
    Slot &slot = Selected();
    const uint8_t type = slot.channelType;
    const bool detect = axisId == 0 && (type == CHANNEL_RS232 || IsEthernetType(type));
    uint16_t address = axisId;
    if (!detect && !AxisToAddress(address)) return 0;
    const bool activeWasHost = slot.hostAddress == slot.activeAddress;
    if (detect && !DetectHostAxis(address)) return 0;
    // When the adapter's filter cannot follow, the host stays, and so does the active drive;
    // the call still succeeds.
    const bool hostSet = SetHostAddress(detect, address);
    if (activeWasHost && hostSet) slot.activeAddress = address;
    return 1;
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetDriveVersion(char *versionText) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!versionText) return Invalid();
    return GetBoardInfo(Selected().activeAddress, versionText);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ResetDrive(void) {
    DriveCall call(LOCK_CHANNEL, false);
    return call.ready() && ResetDrive();
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetBaudRate(uint32_t baudRate) {
    DriveCall call(LOCK_TABLE | LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (SetBoardBaudRate(baudRate)) return 1;
    // Recover the link, but report why the change failed, not what the recovery met.
    const uint32_t reason = Context().lastError;
    EstablishLink();
    return SetError(reason);
}

ZORCOMM_API uint32_t ZORCOMM_CALL MSK_GetBaudRate(void) {
    DriveCall call(LOCK_CHANNEL, false);
    if (!call.ready()) return 0;
    // CAN links give their bit rate: the adapter's as last set, or a SocketCAN interface's own.
    Link *link = CurrentLink();
    return link ? link->BaudRate() : 0;
}

ZORCOMM_API int32_t ZORCOMM_CALL MSK_GetBytesCountInQueue(void) {
    DriveCall call(LOCK_CHANNEL, false);
    if (!call.ready()) return 0;
    return BytesInQueue();
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_UpdateSettings(void) {
    DriveCall call(LOCK_TABLE | LOCK_CHANNEL, false);
    if (!call.ready()) return 0;
    return LoadSettings(kOpeningFromUpdate);
}

} // extern "C"

// The block transfers and the download.
namespace {

uint8_t WriteBlock(const uint16_t *buffer, uint16_t address, uint8_t memoryType,
                   uint16_t wordCount, ProgressCallback callback, uint32_t userValue) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!buffer && wordCount != 0) return Invalid();
    return SendDataBlock({buffer, wordCount}, address, memoryType,
                         ApplicationProgress(callback, userValue));
}

uint8_t ReadBlock(uint16_t *buffer, uint16_t address, uint8_t memoryType, uint16_t wordCount,
                  ProgressCallback callback, uint32_t userValue) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!buffer && wordCount != 0) return Invalid();
    return ReceiveDataBlock({buffer, wordCount}, address, memoryType,
                            ApplicationProgress(callback, userValue));
}

} // namespace

extern "C" {

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendData(const uint16_t *buffer, uint16_t address,
                                              uint8_t memoryType, uint16_t wordCount) {
    return WriteBlock(buffer, address, memoryType, wordCount, nullptr, 0);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendBigData(const uint16_t *buffer, uint16_t address,
                                                 uint8_t memoryType, uint16_t wordCount,
                                                 ProgressCallback callback, uint32_t userValue) {
    return WriteBlock(buffer, address, memoryType, wordCount, callback, userValue);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveData(uint16_t *buffer, uint16_t address,
                                                 uint8_t memoryType, uint16_t wordCount) {
    return ReadBlock(buffer, address, memoryType, wordCount, nullptr, 0);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveBigData(uint16_t *buffer, uint16_t address,
                                                    uint8_t memoryType, uint16_t wordCount,
                                                    ProgressCallback callback,
                                                    uint32_t userValue) {
    return ReadBlock(buffer, address, memoryType, wordCount, callback, userValue);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_COFFDownload(const char *fileName, uint16_t *entryPoint,
                                                  uint16_t *startAddress, uint16_t *endAddress,
                                                  ProgressCallback callback, uint32_t userValue,
                                                  uint16_t spiMemorySize) {
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (!fileName) return Invalid();
    return CoffDownload(fileName, callback, userValue, entryPoint, startAddress, endAddress,
                        spiMemorySize);
}

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_CheckSum(uint16_t startAddress, uint16_t endAddress,
                                              uint16_t *checksum) {
    constexpr uint16_t kLowestAddress = 0x4000;
    constexpr uint16_t kProgramStart = 0x8000; // SPI memory lies below
    DriveCall call(LOCK_CHANNEL);
    if (!call.ready()) return 0;
    if (startAddress < kLowestAddress || startAddress > endAddress || !checksum) return Invalid();
    if (startAddress < kProgramStart && endAddress >= kProgramStart) {
        uint16_t spi = 0;
        uint16_t program = 0;
        if (!VerifyChecksum(startAddress, kProgramStart - 1, MEMORY_SPI, spi) ||
            !VerifyChecksum(kProgramStart, endAddress, MEMORY_PROGRAM, program))
            return 0;
        *checksum = static_cast<uint16_t>(spi + program);
        return 1;
    }
    const uint8_t memory = startAddress < kProgramStart ? MEMORY_SPI : MEMORY_PROGRAM;
    return VerifyChecksum(startAddress, endAddress, memory, *checksum);
}

} // extern "C"

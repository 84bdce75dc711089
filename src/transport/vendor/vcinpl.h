// IXXAT VCI version 3: the declarations of the vendor's published C interface that the library
// binds at run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::vcinpl. The
// functions themselves are declared (with C linkage, the vendor's names) only when
// ZORCOMM_VENDOR_DECLARE_FUNCTIONS is defined before inclusion.
#pragma once

#include <cstdint>

#ifndef ZORCOMM_VENDOR_CALL
#if defined(_WIN32)
#define ZORCOMM_VENDOR_CALL __stdcall
#else
#define ZORCOMM_VENDOR_CALL
#endif
#endif

namespace zorcomm::vendor::vcinpl {

using HRESULT = int32_t;
using HANDLE = void *;

struct VCIID {
    uint32_t AsInt64[2]; // 64-bit device id: [0] low half, [1] high half
};
static_assert(sizeof(VCIID) == 8, "VCIID layout");

struct VCIDEVICEINFO {
    uint32_t VciObjectId[2]; // the device id, first
    uint8_t rest[512];
};
static_assert(sizeof(VCIDEVICEINFO) == 520, "VCIDEVICEINFO layout");

struct CANMSGINFO {
    uint8_t bType;     // CAN_MSGTYPE_*
    uint8_t bAddFlags;
    uint8_t bFlags;    // bits 0-3 data length, CAN_MSGFLAGS_RTR, CAN_MSGFLAGS_EXT
    uint8_t bAccept;
};

struct CANMSG {
    uint32_t dwTime;
    uint32_t dwMsgId;
    CANMSGINFO uMsgInfo;
    uint8_t abData[8];
};
static_assert(sizeof(CANMSG) == 20, "CANMSG layout");

inline constexpr HRESULT VCI_OK = 0;
inline constexpr HRESULT VCI_E_UNEXPECTED = static_cast<HRESULT>(0xE0010001u);
inline constexpr HRESULT VCI_E_NOT_IMPLEMENTED = static_cast<HRESULT>(0xE0010002u);
inline constexpr HRESULT VCI_E_OUTOFMEMORY = static_cast<HRESULT>(0xE0010003u);
inline constexpr HRESULT VCI_E_INVALIDARG = static_cast<HRESULT>(0xE0010004u);
inline constexpr HRESULT VCI_E_NOINTERFACE = static_cast<HRESULT>(0xE0010005u);
inline constexpr HRESULT VCI_E_INVPOINTER = static_cast<HRESULT>(0xE0010006u);
inline constexpr HRESULT VCI_E_INVHANDLE = static_cast<HRESULT>(0xE0010007u);
inline constexpr HRESULT VCI_E_ABORT = static_cast<HRESULT>(0xE0010008u);
inline constexpr HRESULT VCI_E_FAIL = static_cast<HRESULT>(0xE0010009u);
inline constexpr HRESULT VCI_E_ACCESSDENIED = static_cast<HRESULT>(0xE001000Au);
inline constexpr HRESULT VCI_E_TIMEOUT = static_cast<HRESULT>(0xE001000Bu);
inline constexpr HRESULT VCI_E_BUSY = static_cast<HRESULT>(0xE001000Cu);
inline constexpr HRESULT VCI_E_PENDING = static_cast<HRESULT>(0xE001000Du);
inline constexpr HRESULT VCI_E_NO_DATA = static_cast<HRESULT>(0xE001000Eu);
inline constexpr HRESULT VCI_E_NO_MORE_ITEMS = static_cast<HRESULT>(0xE001000Fu);
inline constexpr HRESULT VCI_E_NOT_INITIALIZED = static_cast<HRESULT>(0xE0010010u);
inline constexpr HRESULT VCI_E_ALREADY_INITIALIZED = static_cast<HRESULT>(0xE0010011u);
inline constexpr HRESULT VCI_E_RXQUEUE_EMPTY = static_cast<HRESULT>(0xE0010012u);
inline constexpr HRESULT VCI_E_TXQUEUE_FULL = static_cast<HRESULT>(0xE0010013u);

// canControlInitialize operating modes
inline constexpr uint8_t CAN_OPMODE_STANDARD = 0x01;
inline constexpr uint8_t CAN_OPMODE_EXTENDED = 0x02;

inline constexpr uint8_t CAN_MSGTYPE_DATA = 0;
inline constexpr uint8_t CAN_MSGTYPE_ERROR = 2;
inline constexpr uint8_t CAN_MSGFLAGS_DLC = 0x0F;
inline constexpr uint8_t CAN_MSGFLAGS_RTR = 0x40;
inline constexpr uint8_t CAN_MSGFLAGS_EXT = 0x80;

using vciInitialize_t = HRESULT(ZORCOMM_VENDOR_CALL *)(void);
using vciEnumDeviceOpen_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE *enumerator);
using vciEnumDeviceClose_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE enumerator);
using vciEnumDeviceNext_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE enumerator,
                                                           VCIDEVICEINFO *info);
using vciDeviceOpen_t = HRESULT(ZORCOMM_VENDOR_CALL *)(const VCIID *id, HANDLE *device);
using vciDeviceClose_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE device);
using canControlOpen_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE device, uint32_t canNo,
                                                        HANDLE *control);
using canControlClose_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control);
using canControlInitialize_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control, uint8_t mode,
                                                              uint8_t btr0, uint8_t btr1);
using canControlReset_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control);
using canControlStart_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control, int32_t start);
using canControlSetAccFilter_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control, int32_t extended,
                                                                uint32_t code, uint32_t mask);
using canControlAddFilterIds_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE control, int32_t extended,
                                                                uint32_t code, uint32_t mask);
using canChannelOpen_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE device, uint32_t canNo,
                                                        int32_t exclusive, HANDLE *channel);
using canChannelClose_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel);
using canChannelInitialize_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel, uint16_t rxFifo,
                                                              uint16_t rxThreshold,
                                                              uint16_t txFifo,
                                                              uint16_t txThreshold);
using canChannelActivate_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel, int32_t enable);
using canChannelPeekMessage_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel, CANMSG *msg);
using canChannelReadMessage_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel,
                                                               uint32_t timeoutMs, CANMSG *msg);
using canChannelSendMessage_t = HRESULT(ZORCOMM_VENDOR_CALL *)(HANDLE channel,
                                                               uint32_t timeoutMs, CANMSG *msg);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "vcinpl.dll";
#else
inline constexpr char kLibraryFile[] = "libvcinpl.so";
#endif

// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "vciInitialize",          "vciEnumDeviceOpen",      "vciEnumDeviceClose",
    "vciEnumDeviceNext",      "vciDeviceOpen",          "vciDeviceClose",
    "canControlOpen",         "canControlClose",        "canControlInitialize",
    "canControlReset",        "canControlStart",        "canControlSetAccFilter",
    "canControlAddFilterIds", "canChannelOpen",         "canChannelClose",
    "canChannelInitialize",   "canChannelActivate",     "canChannelPeekMessage",
    "canChannelReadMessage",  "canChannelSendMessage",
};

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
HRESULT ZORCOMM_VENDOR_CALL vciInitialize(void);
HRESULT ZORCOMM_VENDOR_CALL vciEnumDeviceOpen(HANDLE *enumerator);
HRESULT ZORCOMM_VENDOR_CALL vciEnumDeviceClose(HANDLE enumerator);
HRESULT ZORCOMM_VENDOR_CALL vciEnumDeviceNext(HANDLE enumerator, VCIDEVICEINFO *info);
HRESULT ZORCOMM_VENDOR_CALL vciDeviceOpen(const VCIID *id, HANDLE *device);
HRESULT ZORCOMM_VENDOR_CALL vciDeviceClose(HANDLE device);
HRESULT ZORCOMM_VENDOR_CALL canControlOpen(HANDLE device, uint32_t canNo, HANDLE *control);
HRESULT ZORCOMM_VENDOR_CALL canControlClose(HANDLE control);
HRESULT ZORCOMM_VENDOR_CALL canControlInitialize(HANDLE control, uint8_t mode, uint8_t btr0,
                                                 uint8_t btr1);
HRESULT ZORCOMM_VENDOR_CALL canControlReset(HANDLE control);
HRESULT ZORCOMM_VENDOR_CALL canControlStart(HANDLE control, int32_t start);
HRESULT ZORCOMM_VENDOR_CALL canControlSetAccFilter(HANDLE control, int32_t extended,
                                                   uint32_t code, uint32_t mask);
HRESULT ZORCOMM_VENDOR_CALL canControlAddFilterIds(HANDLE control, int32_t extended,
                                                   uint32_t code, uint32_t mask);
HRESULT ZORCOMM_VENDOR_CALL canChannelOpen(HANDLE device, uint32_t canNo, int32_t exclusive,
                                           HANDLE *channel);
HRESULT ZORCOMM_VENDOR_CALL canChannelClose(HANDLE channel);
HRESULT ZORCOMM_VENDOR_CALL canChannelInitialize(HANDLE channel, uint16_t rxFifo,
                                                 uint16_t rxThreshold, uint16_t txFifo,
                                                 uint16_t txThreshold);
HRESULT ZORCOMM_VENDOR_CALL canChannelActivate(HANDLE channel, int32_t enable);
HRESULT ZORCOMM_VENDOR_CALL canChannelPeekMessage(HANDLE channel, CANMSG *msg);
HRESULT ZORCOMM_VENDOR_CALL canChannelReadMessage(HANDLE channel, uint32_t timeoutMs,
                                                  CANMSG *msg);
HRESULT ZORCOMM_VENDOR_CALL canChannelSendMessage(HANDLE channel, uint32_t timeoutMs,
                                                  CANMSG *msg);
}
#endif

} // namespace zorcomm::vendor::vcinpl

// SYS TEC USBCAN: the declarations of the vendor's published C interface that the library binds
// at run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::usbcan. The
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

namespace zorcomm::vendor::usbcan {

using tUcanHandle = uint8_t;
using UCANRET = uint8_t; // 0 ok; 0x01..0x7F errors; 0x80 no message (a warning); 0x81.. warnings

#pragma pack(push, 1)
struct tCanMsgStruct {
    uint32_t m_dwID;
    uint8_t m_bFF; // USBCAN_MSG_FF_EXT, USBCAN_MSG_FF_RTR
    uint8_t m_bDLC;
    uint8_t m_bData[8];
    uint32_t m_dwTime;
};
#pragma pack(pop)
static_assert(sizeof(tCanMsgStruct) == 18, "tCanMsgStruct layout");

using tCallbackFkt = void(ZORCOMM_VENDOR_CALL *)(tUcanHandle handle, uint32_t event,
                                                 uint8_t channel, void *arg);

inline constexpr UCANRET USBCAN_SUCCESSFUL = 0x00;
inline constexpr UCANRET USBCAN_ERR_RESOURCE = 0x01;
inline constexpr UCANRET USBCAN_ERR_MAXMODULES = 0x02;
inline constexpr UCANRET USBCAN_ERR_HWINUSE = 0x03;
inline constexpr UCANRET USBCAN_ERR_ILLVERSION = 0x04;
inline constexpr UCANRET USBCAN_ERR_ILLHW = 0x05;
inline constexpr UCANRET USBCAN_ERR_ILLHANDLE = 0x06;
inline constexpr UCANRET USBCAN_ERR_ILLPARAM = 0x07;
inline constexpr UCANRET USBCAN_ERR_BUSY = 0x08;
inline constexpr UCANRET USBCAN_ERR_TIMEOUT = 0x09;
inline constexpr UCANRET USBCAN_ERR_IOFAILED = 0x0A;
inline constexpr UCANRET USBCAN_WARNING = 0x80;      // first warning code
inline constexpr UCANRET USBCAN_WARN_NODATA = 0x80;  // no message waiting

inline constexpr uint8_t USBCAN_MSG_FF_STD = 0x00;
inline constexpr uint8_t USBCAN_MSG_FF_EXT = 0x80;
inline constexpr uint8_t USBCAN_MSG_FF_RTR = 0x40;

using UcanGetVersion_t = uint32_t(ZORCOMM_VENDOR_CALL *)(void);
using UcanInitHwConnectControl_t = UCANRET(ZORCOMM_VENDOR_CALL *)(void *callback);
using UcanDeinitHwConnectControl_t = UCANRET(ZORCOMM_VENDOR_CALL *)(void);
using UcanInitHardware_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle *handle, uint8_t deviceNr,
                                                          tCallbackFkt callback);
using UcanGetHardwareInfo_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, void *info);
using UcanInitCan_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, uint8_t btr0, uint8_t btr1,
                                                     uint32_t amr, uint32_t acr);
using UcanSetBaudrate_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, uint8_t btr0,
                                                         uint8_t btr1);
using UcanSetAcceptance_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, uint32_t amr,
                                                           uint32_t acr);
using UcanResetCan_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h);
using UcanReadCanMsg_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, tCanMsgStruct *msg);
using UcanWriteCanMsg_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, tCanMsgStruct *msg);
using UcanGetStatus_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h, void *status);
using UcanDeinitCan_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h);
using UcanDeinitHardware_t = UCANRET(ZORCOMM_VENDOR_CALL *)(tUcanHandle h);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "usbcan32.dll";
#else
inline constexpr char kLibraryFile[] = "libusbcan32.so";
#endif

// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "UcanGetVersion",   "UcanInitHwConnectControl", "UcanDeinitHwConnectControl",
    "UcanInitHardware", "UcanGetHardwareInfo",      "UcanInitCan",
    "UcanSetBaudrate",  "UcanSetAcceptance",        "UcanResetCan",
    "UcanReadCanMsg",   "UcanWriteCanMsg",          "UcanGetStatus",
    "UcanDeinitCan",    "UcanDeinitHardware",
};

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
uint32_t ZORCOMM_VENDOR_CALL UcanGetVersion(void);
UCANRET ZORCOMM_VENDOR_CALL UcanInitHwConnectControl(void *callback);
UCANRET ZORCOMM_VENDOR_CALL UcanDeinitHwConnectControl(void);
UCANRET ZORCOMM_VENDOR_CALL UcanInitHardware(tUcanHandle *handle, uint8_t deviceNr,
                                             tCallbackFkt callback);
UCANRET ZORCOMM_VENDOR_CALL UcanGetHardwareInfo(tUcanHandle h, void *info);
UCANRET ZORCOMM_VENDOR_CALL UcanInitCan(tUcanHandle h, uint8_t btr0, uint8_t btr1, uint32_t amr,
                                        uint32_t acr);
UCANRET ZORCOMM_VENDOR_CALL UcanSetBaudrate(tUcanHandle h, uint8_t btr0, uint8_t btr1);
UCANRET ZORCOMM_VENDOR_CALL UcanSetAcceptance(tUcanHandle h, uint32_t amr, uint32_t acr);
UCANRET ZORCOMM_VENDOR_CALL UcanResetCan(tUcanHandle h);
UCANRET ZORCOMM_VENDOR_CALL UcanReadCanMsg(tUcanHandle h, tCanMsgStruct *msg);
UCANRET ZORCOMM_VENDOR_CALL UcanWriteCanMsg(tUcanHandle h, tCanMsgStruct *msg);
UCANRET ZORCOMM_VENDOR_CALL UcanGetStatus(tUcanHandle h, void *status);
UCANRET ZORCOMM_VENDOR_CALL UcanDeinitCan(tUcanHandle h);
UCANRET ZORCOMM_VENDOR_CALL UcanDeinitHardware(tUcanHandle h);
}
#endif

} // namespace zorcomm::vendor::usbcan

// esd NTCAN: the declarations of the vendor's published C interface that the library binds at
// run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::ntcan. The
// functions themselves are declared (with C linkage, the vendor's undecorated names) only when
// ZORCOMM_VENDOR_DECLARE_FUNCTIONS is defined before inclusion: Kvaser's library exports some of
// the same names (canRead, canWrite, canClose) with other signatures.
#pragma once

#include <cstdint>

#ifndef ZORCOMM_VENDOR_CALL
#if defined(_WIN32)
#define ZORCOMM_VENDOR_CALL __stdcall
#else
#define ZORCOMM_VENDOR_CALL
#endif
#endif

namespace zorcomm::vendor::ntcan {

using NTCAN_RESULT = int32_t;
using NTCAN_HANDLE = int32_t;

struct CMSG {
    int32_t id;     // | NTCAN_20B_BASE marks a 29-bit identifier
    uint8_t len;    // low 4 bits: data length; NTCAN_RTR marks a remote request
    uint8_t msg_lost;
    uint8_t reserved[2];
    uint8_t data[8];
};
static_assert(sizeof(CMSG) == 16, "CMSG layout");

inline constexpr NTCAN_RESULT NTCAN_SUCCESS = 0;
inline constexpr NTCAN_RESULT NTCAN_RX_TIMEOUT = static_cast<NTCAN_RESULT>(0xE0000001u);
inline constexpr NTCAN_RESULT NTCAN_TX_TIMEOUT = static_cast<NTCAN_RESULT>(0xE0000002u);
inline constexpr NTCAN_RESULT NTCAN_TX_ERROR = static_cast<NTCAN_RESULT>(0xE0000004u);
inline constexpr NTCAN_RESULT NTCAN_CONTR_OFF_BUS = static_cast<NTCAN_RESULT>(0xE0000005u);
inline constexpr NTCAN_RESULT NTCAN_CONTR_BUSY = static_cast<NTCAN_RESULT>(0xE0000006u);
inline constexpr NTCAN_RESULT NTCAN_CONTR_WARN = static_cast<NTCAN_RESULT>(0xE0000007u);
inline constexpr NTCAN_RESULT NTCAN_NO_ID_ENABLED = static_cast<NTCAN_RESULT>(0xE0000009u);
inline constexpr NTCAN_RESULT NTCAN_ID_ALREADY_ENABLED = static_cast<NTCAN_RESULT>(0xE000000Au);
inline constexpr NTCAN_RESULT NTCAN_ID_NOT_ENABLED = static_cast<NTCAN_RESULT>(0xE000000Bu);
inline constexpr NTCAN_RESULT NTCAN_INVALID_FIRMWARE = static_cast<NTCAN_RESULT>(0xE000000Du);
inline constexpr NTCAN_RESULT NTCAN_MESSAGE_LOST = static_cast<NTCAN_RESULT>(0xE000000Eu);
inline constexpr NTCAN_RESULT NTCAN_INVALID_HARDWARE = static_cast<NTCAN_RESULT>(0xE000000Fu);
inline constexpr NTCAN_RESULT NTCAN_PENDING_WRITE = static_cast<NTCAN_RESULT>(0xE0000010u);
inline constexpr NTCAN_RESULT NTCAN_PENDING_READ = static_cast<NTCAN_RESULT>(0xE0000011u);
inline constexpr NTCAN_RESULT NTCAN_INVALID_DRIVER = static_cast<NTCAN_RESULT>(0xE0000012u);

inline constexpr int32_t NTCAN_20B_BASE = 0x20000000;
inline constexpr uint8_t NTCAN_RTR = 0x10;
inline constexpr uint8_t NTCAN_DLC = 0x0F;

// canSetBaudrate indices
inline constexpr uint32_t NTCAN_BAUD_1000 = 0;
inline constexpr uint32_t NTCAN_BAUD_500 = 2;
inline constexpr uint32_t NTCAN_BAUD_250 = 4;
inline constexpr uint32_t NTCAN_BAUD_125 = 6;

// canIoctl command: acceptance mask for 29-bit identifiers (argument: pointer to the mask)
inline constexpr uint32_t NTCAN_IOCTL_SET_20B_HND_FILTER = 5;

using canOpen_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(int net, uint32_t flags,
                                                      int32_t txQueueSize, int32_t rxQueueSize,
                                                      int32_t txTimeout, int32_t rxTimeout,
                                                      NTCAN_HANDLE *handle);
using canClose_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h);
using canSetBaudrate_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, uint32_t baud);
using canGetBaudrate_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, uint32_t *baud);
using canIdAdd_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, int32_t id);
using canIdDelete_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, int32_t id);
// Non-blocking; *len in: capacity in messages, out: messages taken.
using canTake_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len);
using canRead_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len,
                                                      void *overlapped);
using canSend_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len);
using canWrite_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len,
                                                       void *overlapped);
using canStatus_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, void *status);
using canIoctl_t = NTCAN_RESULT(ZORCOMM_VENDOR_CALL *)(NTCAN_HANDLE h, uint32_t cmd, void *arg);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "ntcan.dll";
// The Win32 library exports decorated names.
inline constexpr const char *kBoundNames[] = {
    "__canSetBaudrate@8", "__canGetBaudrate@8", "__canOpen@28",  "__canClose@4",
    "__canIdAdd@8",       "__canIdDelete@8",    "__canTake@12",  "__canRead@16",
    "__canSend@12",       "__canWrite@16",      "__canStatus@8", "__canIoctl@12",
};
#else
inline constexpr char kLibraryFile[] = "libntcan.so";
// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "canSetBaudrate", "canGetBaudrate", "canOpen",  "canClose", "canIdAdd",  "canIdDelete",
    "canTake",        "canRead",        "canSend",  "canWrite", "canStatus", "canIoctl",
};
#endif

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
NTCAN_RESULT ZORCOMM_VENDOR_CALL canOpen(int net, uint32_t flags, int32_t txQueueSize,
                                         int32_t rxQueueSize, int32_t txTimeout,
                                         int32_t rxTimeout, NTCAN_HANDLE *handle);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canClose(NTCAN_HANDLE h);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canSetBaudrate(NTCAN_HANDLE h, uint32_t baud);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canGetBaudrate(NTCAN_HANDLE h, uint32_t *baud);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canIdAdd(NTCAN_HANDLE h, int32_t id);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canIdDelete(NTCAN_HANDLE h, int32_t id);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canTake(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canRead(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len,
                                         void *overlapped);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canSend(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canWrite(NTCAN_HANDLE h, CMSG *cmsg, int32_t *len,
                                          void *overlapped);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canStatus(NTCAN_HANDLE h, void *status);
NTCAN_RESULT ZORCOMM_VENDOR_CALL canIoctl(NTCAN_HANDLE h, uint32_t cmd, void *arg);
}
#endif

} // namespace zorcomm::vendor::ntcan

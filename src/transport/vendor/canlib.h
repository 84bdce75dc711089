// Kvaser CANLIB: the declarations of the vendor's published C interface that the library binds
// at run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::canlib. The
// functions themselves are declared (with C linkage, the vendor's names) only when
// ZORCOMM_VENDOR_DECLARE_FUNCTIONS is defined before inclusion: esd's library exports some of
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

namespace zorcomm::vendor::canlib {

using canHandle = int; // >= 0 valid, < 0 an error status
using canStatus = int; // 0 = canOK, negative = error

inline constexpr canStatus canOK = 0;
inline constexpr canStatus canERR_PARAM = -1;
inline constexpr canStatus canERR_NOMSG = -2; // no message waiting
inline constexpr canStatus canERR_NOTFOUND = -3;
inline constexpr canStatus canERR_NOCHANNELS = -5;
inline constexpr canStatus canERR_NOTINITIALIZED = -8;
inline constexpr canStatus canERR_INVHANDLE = -10;

// canOpenChannel flags
inline constexpr int canOPEN_EXCLUSIVE = 0x0008;
inline constexpr int canOPEN_REQUIRE_EXTENDED = 0x0010;

// message flags
inline constexpr unsigned int canMSG_RTR = 0x0001;
inline constexpr unsigned int canMSG_STD = 0x0002;
inline constexpr unsigned int canMSG_EXT = 0x0004;
inline constexpr unsigned int canMSG_ERROR_FRAME = 0x0020;

// predefined bus parameters for canSetBusParams' freq
inline constexpr long canBITRATE_1M = -1;
inline constexpr long canBITRATE_500K = -2;
inline constexpr long canBITRATE_250K = -3;
inline constexpr long canBITRATE_125K = -4;

using canInitializeLibrary_t = void(ZORCOMM_VENDOR_CALL *)(void);
using canOpenChannel_t = canHandle(ZORCOMM_VENDOR_CALL *)(int channel, int flags);
using canSetBusParams_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h, long freq,
                                                           unsigned int tseg1, unsigned int tseg2,
                                                           unsigned int sjw, unsigned int noSamp,
                                                           unsigned int syncmode);
using canBusOn_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h);
using canClose_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h);
using canReadStatus_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h, unsigned long *flags);
using canWrite_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h, long id, void *msg,
                                                    unsigned int dlc, unsigned int flag);
using canRead_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h, long *id, void *msg,
                                                   unsigned int *dlc, unsigned int *flag,
                                                   unsigned long *time);
using canSetAcceptanceFilter_t = canStatus(ZORCOMM_VENDOR_CALL *)(canHandle h, unsigned int code,
                                                                  unsigned int mask,
                                                                  int isExtended);
using canUnloadLibrary_t = canStatus(ZORCOMM_VENDOR_CALL *)(void);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "canlib32.dll";
#else
inline constexpr char kLibraryFile[] = "libcanlib.so";
#endif

// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "canInitializeLibrary", "canOpenChannel", "canSetBusParams", "canBusOn",
    "canClose",             "canReadStatus",  "canWrite",        "canRead",
    "canSetAcceptanceFilter", "canUnloadLibrary",
};

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
void ZORCOMM_VENDOR_CALL canInitializeLibrary(void);
canHandle ZORCOMM_VENDOR_CALL canOpenChannel(int channel, int flags);
canStatus ZORCOMM_VENDOR_CALL canSetBusParams(canHandle h, long freq, unsigned int tseg1,
                                              unsigned int tseg2, unsigned int sjw,
                                              unsigned int noSamp, unsigned int syncmode);
canStatus ZORCOMM_VENDOR_CALL canBusOn(canHandle h);
canStatus ZORCOMM_VENDOR_CALL canClose(canHandle h);
canStatus ZORCOMM_VENDOR_CALL canReadStatus(canHandle h, unsigned long *flags);
canStatus ZORCOMM_VENDOR_CALL canWrite(canHandle h, long id, void *msg, unsigned int dlc,
                                       unsigned int flag);
canStatus ZORCOMM_VENDOR_CALL canRead(canHandle h, long *id, void *msg, unsigned int *dlc,
                                      unsigned int *flag, unsigned long *time);
canStatus ZORCOMM_VENDOR_CALL canSetAcceptanceFilter(canHandle h, unsigned int code,
                                                     unsigned int mask, int isExtended);
canStatus ZORCOMM_VENDOR_CALL canUnloadLibrary(void);
}
#endif

} // namespace zorcomm::vendor::canlib

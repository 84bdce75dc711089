// PEAK-System PCAN-Basic: the declarations of the vendor's published C interface that the
// library binds at run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::pcanbasic.
// The functions themselves are declared (with C linkage, the vendor's names) only when
// ZORCOMM_VENDOR_DECLARE_FUNCTIONS is defined before inclusion: the library binds them through
// the pointer types and must not declare a second set of C names that would clash with another
// vendor's (esd and Kvaser both export canRead, for instance).
#pragma once

#include <cstdint>

#ifndef ZORCOMM_VENDOR_CALL
#if defined(_WIN32)
#define ZORCOMM_VENDOR_CALL __stdcall
#else
#define ZORCOMM_VENDOR_CALL
#endif
#endif

namespace zorcomm::vendor::pcanbasic {

using TPCANHandle = uint16_t;   // channel: 0x21 ISA1, 0x31 dongle1, 0x41.. PCI, 0x51.. USB
using TPCANStatus = uint32_t;   // 0 = OK, 0x20 = receive queue empty, others: error bits
using TPCANBaudrate = uint16_t; // BTR0 << 8 | BTR1, e.g. 0x001C = 500 kbit/s
using TPCANType = uint8_t;      // hardware type of non-plug-and-play channels

struct TPCANMsg {
    uint32_t ID;
    uint8_t MSGTYPE; // kMessageStandard, kMessageRtr, kMessageExtended
    uint8_t LEN;
    uint8_t DATA[8];
};
static_assert(sizeof(TPCANMsg) == 16, "TPCANMsg layout");

struct TPCANTimestamp {
    uint32_t millis;
    uint16_t millis_overflow;
    uint16_t micros;
};
static_assert(sizeof(TPCANTimestamp) == 8, "TPCANTimestamp layout");

inline constexpr TPCANStatus kOk = 0x00000;
inline constexpr TPCANStatus kErrXmtFull = 0x00001;
inline constexpr TPCANStatus kErrOverrun = 0x00002;
inline constexpr TPCANStatus kErrBusLight = 0x00004;
inline constexpr TPCANStatus kErrBusHeavy = 0x00008;
inline constexpr TPCANStatus kErrBusOff = 0x00010;
inline constexpr TPCANStatus kErrQrcvEmpty = 0x00020; // receive queue empty: no message
inline constexpr TPCANStatus kErrQOverrun = 0x00040;
inline constexpr TPCANStatus kErrQXmtFull = 0x00080;
inline constexpr TPCANStatus kErrRegTest = 0x00100;
inline constexpr TPCANStatus kErrNoDriver = 0x00200;
inline constexpr TPCANStatus kErrIllHw = 0x01400;
inline constexpr TPCANStatus kErrIllNet = 0x01800;
inline constexpr TPCANStatus kErrIllClient = 0x01C00;
inline constexpr TPCANStatus kErrIllParamType = 0x04000;
inline constexpr TPCANStatus kErrIllParamVal = 0x08000;
inline constexpr TPCANStatus kErrInitialize = 0x40000; // channel already initialised

inline constexpr uint8_t kMessageStandard = 0x00;
inline constexpr uint8_t kMessageRtr = 0x01;
inline constexpr uint8_t kMessageExtended = 0x02;

inline constexpr TPCANHandle kIsaBus1 = 0x21;
inline constexpr TPCANHandle kDongleBus1 = 0x31;
inline constexpr TPCANHandle kPciBus1 = 0x41;
inline constexpr TPCANHandle kUsbBus1 = 0x51;

inline constexpr TPCANBaudrate kBaud1M = 0x0014;
inline constexpr TPCANBaudrate kBaud800K = 0x0016;
inline constexpr TPCANBaudrate kBaud500K = 0x001C;
inline constexpr TPCANBaudrate kBaud250K = 0x011C;
inline constexpr TPCANBaudrate kBaud125K = 0x031C;

using CAN_Initialize_t = TPCANStatus(ZORCOMM_VENDOR_CALL *)(TPCANHandle channel,
                                                            TPCANBaudrate btr0btr1,
                                                            TPCANType hwType, uint32_t ioPort,
                                                            uint16_t interrupt);
using CAN_Uninitialize_t = TPCANStatus(ZORCOMM_VENDOR_CALL *)(TPCANHandle channel);
using CAN_GetStatus_t = TPCANStatus(ZORCOMM_VENDOR_CALL *)(TPCANHandle channel);
using CAN_Read_t = TPCANStatus(ZORCOMM_VENDOR_CALL *)(TPCANHandle channel, TPCANMsg *msg,
                                                      TPCANTimestamp *timestamp);
using CAN_Write_t = TPCANStatus(ZORCOMM_VENDOR_CALL *)(TPCANHandle channel, TPCANMsg *msg);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "pcanbasic.dll";
#else
inline constexpr char kLibraryFile[] = "libpcanbasic.so";
#endif

// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "CAN_Initialize", "CAN_Uninitialize", "CAN_GetStatus", "CAN_Write", "CAN_Read",
};

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
TPCANStatus ZORCOMM_VENDOR_CALL CAN_Initialize(TPCANHandle channel, TPCANBaudrate btr0btr1,
                                               TPCANType hwType, uint32_t ioPort,
                                               uint16_t interrupt);
TPCANStatus ZORCOMM_VENDOR_CALL CAN_Uninitialize(TPCANHandle channel);
TPCANStatus ZORCOMM_VENDOR_CALL CAN_GetStatus(TPCANHandle channel);
TPCANStatus ZORCOMM_VENDOR_CALL CAN_Read(TPCANHandle channel, TPCANMsg *msg,
                                         TPCANTimestamp *timestamp);
TPCANStatus ZORCOMM_VENDOR_CALL CAN_Write(TPCANHandle channel, TPCANMsg *msg);
}
#endif

} // namespace zorcomm::vendor::pcanbasic

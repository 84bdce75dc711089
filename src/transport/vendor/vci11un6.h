// IXXAT VCI version 2: the declarations of the vendor's published C interface that the library
// binds at run time (and that the stand-in library in sim/vendor/ implements).
//
// Types, constants and function-pointer types live in namespace zorcomm::vendor::vci11un6. The
// functions themselves are declared (with C linkage, the vendor's names) only when
// ZORCOMM_VENDOR_DECLARE_FUNCTIONS is defined before inclusion.
//
// The receive handler given to VCI2_PrepareBoard runs on the vendor library's own thread.
#pragma once

#include <cstdint>

#ifndef ZORCOMM_VENDOR_CALL
#if defined(_WIN32)
#define ZORCOMM_VENDOR_CALL __stdcall
#else
#define ZORCOMM_VENDOR_CALL
#endif
#endif

namespace zorcomm::vendor::vci11un6 {

#pragma pack(push, 1)
struct VCI_CAN_OBJ {
    uint32_t time_stamp;
    uint32_t id;
    uint8_t len_rtr; // bits 0-3 data length, bit 4 (VCI_RTR) remote request
    uint8_t a_data[8];
    uint8_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(VCI_CAN_OBJ) == 18, "VCI_CAN_OBJ layout");

using VCI_t_PutS = void(ZORCOMM_VENDOR_CALL *)(const char *text);
using VCI_t_UsrRxIntHdlr = void(ZORCOMM_VENDOR_CALL *)(uint16_t queueHandle, uint16_t count,
                                                       VCI_CAN_OBJ *objects);
using VCI_t_UsrExcHdlr = void(ZORCOMM_VENDOR_CALL *)(int32_t func, int32_t errorCode,
                                                     uint16_t extError, const char *text);

inline constexpr int32_t VCI_OK = 1;
inline constexpr int32_t VCI_ERR = 0;
inline constexpr int32_t VCI_HWSW_ERR = -1;
inline constexpr int32_t VCI_SUPP_ERR = -2;
inline constexpr int32_t VCI_PARA_ERR = -3;
inline constexpr int32_t VCI_RES_ERR = -4;
inline constexpr int32_t VCI_QUE_ERR = -5;
inline constexpr int32_t VCI_TX_ERR = -6;

inline constexpr uint8_t VCI_TX_QUE = 0; // VCI_ConfigQueue queue types
inline constexpr uint8_t VCI_RX_QUE = 1;
inline constexpr uint8_t VCI_ACCEPT = 1; // VCI_AssignRxQueObj mode
inline constexpr uint8_t VCI_11B = 0;    // VCI_InitCan modes
inline constexpr uint8_t VCI_29B = 1;
inline constexpr uint8_t VCI_LEN = 0x0F; // len_rtr fields
inline constexpr uint8_t VCI_RTR = 0x10;

using VCI2_PrepareBoard_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t boardType,
                                                           uint16_t boardIndex, char *addInfo,
                                                           uint8_t addLength, VCI_t_PutS puts,
                                                           VCI_t_UsrRxIntHdlr rxHandler,
                                                           VCI_t_UsrExcHdlr excHandler);
using VCI_CancelBoard_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board);
using VCI_InitCan_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint8_t canNum, uint8_t btr0,
                                                     uint8_t btr1, uint8_t mode);
using VCI_ResetCan_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint8_t canNum);
using VCI_StartCan_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint8_t canNum);
using VCI_ConfigQueue_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint8_t canNum,
                                                         uint8_t queueType, uint16_t queueSize,
                                                         uint16_t intLimit, uint16_t intTime,
                                                         uint16_t timestampRes,
                                                         uint16_t *queueHandle);
using VCI_AssignRxQueObj_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint16_t queueHandle,
                                                            uint8_t mode, uint32_t id,
                                                            uint32_t mask);
using VCI_ReadQueStatus_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint16_t queueHandle);
using VCI_TransmitObj_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint16_t queueHandle,
                                                         uint32_t id, uint8_t len, uint8_t *data);
using VCI_ReadQueObj_t = int32_t(ZORCOMM_VENDOR_CALL *)(uint16_t board, uint16_t queueHandle,
                                                        uint16_t count, VCI_CAN_OBJ *objects);

#if defined(_WIN32)
inline constexpr char kLibraryFile[] = "vci11un6.dll";
#else
inline constexpr char kLibraryFile[] = "libvci11un6.so";
#endif

// Every name the library binds; a library lacking one of them is not usable.
inline constexpr const char *kBoundNames[] = {
    "VCI2_PrepareBoard",  "VCI_CancelBoard",   "VCI_InitCan",     "VCI_ResetCan",
    "VCI_StartCan",       "VCI_ConfigQueue",   "VCI_AssignRxQueObj",
    "VCI_ReadQueStatus",  "VCI_TransmitObj",   "VCI_ReadQueObj",
};

#ifdef ZORCOMM_VENDOR_DECLARE_FUNCTIONS
extern "C" {
int32_t ZORCOMM_VENDOR_CALL VCI2_PrepareBoard(uint16_t boardType, uint16_t boardIndex,
                                              char *addInfo, uint8_t addLength, VCI_t_PutS puts,
                                              VCI_t_UsrRxIntHdlr rxHandler,
                                              VCI_t_UsrExcHdlr excHandler);
int32_t ZORCOMM_VENDOR_CALL VCI_CancelBoard(uint16_t board);
int32_t ZORCOMM_VENDOR_CALL VCI_InitCan(uint16_t board, uint8_t canNum, uint8_t btr0,
                                        uint8_t btr1, uint8_t mode);
int32_t ZORCOMM_VENDOR_CALL VCI_ResetCan(uint16_t board, uint8_t canNum);
int32_t ZORCOMM_VENDOR_CALL VCI_StartCan(uint16_t board, uint8_t canNum);
int32_t ZORCOMM_VENDOR_CALL VCI_ConfigQueue(uint16_t board, uint8_t canNum, uint8_t queueType,
                                            uint16_t queueSize, uint16_t intLimit,
                                            uint16_t intTime, uint16_t timestampRes,
                                            uint16_t *queueHandle);
int32_t ZORCOMM_VENDOR_CALL VCI_AssignRxQueObj(uint16_t board, uint16_t queueHandle,
                                               uint8_t mode, uint32_t id, uint32_t mask);
int32_t ZORCOMM_VENDOR_CALL VCI_ReadQueStatus(uint16_t board, uint16_t queueHandle);
int32_t ZORCOMM_VENDOR_CALL VCI_TransmitObj(uint16_t board, uint16_t queueHandle, uint32_t id,
                                            uint8_t len, uint8_t *data);
int32_t ZORCOMM_VENDOR_CALL VCI_ReadQueObj(uint16_t board, uint16_t queueHandle, uint16_t count,
                                           VCI_CAN_OBJ *objects);
}
#endif

} // namespace zorcomm::vendor::vci11un6

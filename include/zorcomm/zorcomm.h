/*
 * zorcomm: communication library for digital motion-control drives.
 *
 * Public C interface. Every routine returns a one-byte boolean (non-zero =
 * success), a channel handle (-1 on failure), a number, a text or nothing;
 * after a failure MSK_GetLastError() returns the text of the error code.
 */
#ifndef ZORCOMM_ZORCOMM_H
#define ZORCOMM_ZORCOMM_H

#include <stdint.h>

#if defined(_WIN32)
#define ZORCOMM_CALL __stdcall
#if defined(ZORCOMM_BUILDING_LIBRARY)
/* The module-definition file names the exports (decorated names, fixed ordinals). */
#define ZORCOMM_API
#else
#define ZORCOMM_API __declspec(dllimport)
#endif
#else
#define ZORCOMM_CALL
#if defined(ZORCOMM_BUILDING_LIBRARY)
#define ZORCOMM_API __attribute__((visibility("default")))
#else
#define ZORCOMM_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Channel type codes (bits 0 to 6 of the channel type byte). */
#define CHANNEL_RS232 0
#define CHANNEL_RS485 1
#define CHANNEL_IXXAT_CAN 2
#define CHANNEL_SYS_TEC_USBCAN 3
#define CHANNEL_PEAK_PCAN_PCI 4
#define CHANNEL_ESD_CAN 5
#define CHANNEL_PEAK_PCAN_ISA 6
#define CHANNEL_PEAK_PCAN_USB 7
#define CHANNEL_PEAK_PCAN_DONGLE 8
#define CHANNEL_LAWICEL_USBCAN 9
#define CHANNEL_KVASER_CAN 10
#define CHANNEL_VIRTUAL_SERIAL 15
#define CHANNEL_XPORT_TCP 16
#define CHANNEL_UDP 17
/* A SocketCAN network interface (Linux; the Windows DLL refuses the type): deviceName is the
 * interface name, for example "can0". See "Error codes" below for its own failures. */
#define CHANNEL_SOCKETCAN 18

/* Protocol flag (bit 7 of the channel type byte). */
#define CHANNEL_PROTOCOL_ORV 0x00
#define CHANNEL_PROTOCOL_TORVANECAN 0x80

/* Memory types of the block transfers. */
#define MEMORY_PROGRAM 0
#define MEMORY_DATA 1
#define MEMORY_SPI 2

/* Progress callback kinds. */
#define PROGRESS_ERROR 1
#define PROGRESS_STEP 3
#define PROGRESS_START 4

/* Error codes. MSK_GetLastError() returns the text of the last error; the library's own codes
 * run from 0x20000064 to 0x2000012b. Those of SocketCAN channels (docs/socketcan.md):
 *   0x20000118  no network interface of this name
 *   0x20000119  the interface is not a CAN interface
 *   0x2000011a  the CAN interface is down
 *   0x2000011b  the system has no CAN sockets
 *   0x2000011c  the interface's transmit queue stayed full for the send time-out
 *   0x2000011d  not permitted to change the bit rate (CAP_NET_ADMIN); the text says what to run
 *   0x2000011e  the interface did not take the bit rate
 *   0x2000011f  no bit-rate control: libsocketcan.so.2 cannot be loaded
 *   0x20000120  bus off (fails the call); error frames of the codes below are written to the
 *   0x20000121  error passive                          debug log as "MSK Warning" lines
 *   0x20000122  error warning
 *   0x20000123  controller buffer overflow
 *   0x20000124  protocol violation
 *   0x20000125  no acknowledge
 *   0x20000126  other error frame (arbitration, transceiver, transmit time-out)
 *   0x20000127  the controller restarted after bus off
 * Those of the shared region (POSIX, docs/security.md): the object under the region's name is not
 * used, written or removed, and every call fails; the text names the object and what is wrong:
 *   0x20000128  another user owns it
 *   0x20000129  other users may open it (group or other permission bits)
 *   0x2000012a  it does not have the size this library needs
 *   0x2000012b  it cannot be opened, locked or mapped, or another version laid it out
 */

/* One drive message: up to four data words for an axis or group address. */
typedef struct DriveMessage {
    uint16_t length;  /* number of data words, 0 to 4 */
    uint16_t address; /* address word: axis ID << 4, bit 12 group flag */
    uint16_t opCode;
    uint16_t data[4];
} DriveMessage;

/* Returns 0 to ask a transfer to stop. */
typedef uint8_t(ZORCOMM_CALL *ProgressCallback)(int32_t kind, const char *text, float percent,
                                                uint32_t userValue);
typedef void(ZORCOMM_CALL *DebugLogHandler)(const char *line);
typedef void(ZORCOMM_CALL *UnsolicitedMessageHandler)(DriveMessage *message);

ZORCOMM_API uint8_t ZORCOMM_CALL MSK_COFFDownload(const char *fileName, uint16_t *entryPoint,
                                                  uint16_t *startAddress, uint16_t *endAddress,
                                                  ProgressCallback callback, uint32_t userValue,
                                                  uint16_t spiMemorySize);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_CheckSum(uint16_t startAddress, uint16_t endAddress,
                                              uint16_t *checksum);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_CloseComm(int32_t handle);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetActiveDrive(uint16_t *axisId);
ZORCOMM_API uint32_t ZORCOMM_CALL MSK_GetBaudRate(void);
ZORCOMM_API int32_t ZORCOMM_CALL MSK_GetBytesCountInQueue(void);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetDriveVersion(char *versionText);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_GetHostDrive(uint16_t *axisId);
ZORCOMM_API const char *ZORCOMM_CALL MSK_GetLastError(void);
ZORCOMM_API int32_t ZORCOMM_CALL MSK_OpenComm(const char *deviceName, uint16_t hostAxisId,
                                              uint8_t exclusive, uint8_t channelType);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveBigData(uint16_t *buffer, uint16_t address,
                                                    uint8_t memoryType, uint16_t wordCount,
                                                    ProgressCallback callback,
                                                    uint32_t userValue);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveData(uint16_t *buffer, uint16_t address,
                                                 uint8_t memoryType, uint16_t wordCount);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ReceiveMessage(DriveMessage *message);
ZORCOMM_API void ZORCOMM_CALL MSK_RegisterDebugLogHandler(int32_t level, DebugLogHandler handler);
ZORCOMM_API void ZORCOMM_CALL
MSK_RegisterReceiveUnsolicitedMsgHandler(UnsolicitedMessageHandler handler);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_ResetDrive(void);
ZORCOMM_API int32_t ZORCOMM_CALL MSK_SelectComm(int32_t handle);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendBigData(const uint16_t *buffer, uint16_t address,
                                                 uint8_t memoryType, uint16_t wordCount,
                                                 ProgressCallback callback, uint32_t userValue);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendData(const uint16_t *buffer, uint16_t address,
                                              uint8_t memoryType, uint16_t wordCount);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SendMessage(const DriveMessage *message);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetActiveDrive(uint16_t axisId);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetBaudRate(uint32_t baudRate);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_SetHostDrive(uint16_t axisId);
ZORCOMM_API uint8_t ZORCOMM_CALL MSK_UpdateSettings(void);

#ifdef __cplusplus
}
#endif

#endif /* ZORCOMM_ZORCOMM_H */

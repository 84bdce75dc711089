// The texts of the library's own error codes.
#include <algorithm>
#include <array>

#include "core/errors.h"

namespace zorcomm {
namespace {

constexpr std::array<LibraryError, kLibraryErrorCount> kLibraryErrors = {{
    {0x20000064, "The selected interface does not support this baud rate.\r\n"},
    {0x20000065, "This version of zorcomm.dll does not support multi-threaded environments.\r\n"
                 "The exported functions should be called from within one thread.\r\n"},
    {0x20000066, "Cannot complete the DLL function call because resource is locked.\r\n"},
    {0x20000067, "Cannot complete the DLL function call because another process modified channel "
                 "state.\r\n"},
    {0x20000068, "Cannot syncronize computer and drive baud rates.\r\n"},
    {0x20000069, "Cannot find board with selected Axis ID.\r\n"},
    {0x2000006a, "Host drive has a different axis ID than the selected one.\r\n"},
    {0x2000006b, "Invalid drive address. Valid axis IDs are between 1 and 255.\r\n"},
    {0x2000006c, "Channel is already opened in exclusive mode.\r\n"},
    {0x2000006d, "Channel is already opened by another process. Cannot open it in exclusive "
                 "mode.\r\n"},
    {0x2000006e, "Channel is already opened by another process/thread, using a different "
                 "protocol.\r\n"
                 "You cannot use different protocols on the same communication channel.\r\n"},
    {0x2000006f, "The peer broke the communication protocol.\r\n"},
    {0x20000070, "Channel is already opened by another process. Cannot duplicate handle for this "
                 "kind of channel type.\r\n"},
    {0x20000071, "Too many open communication channels and/or number of threads.\r\n"},
    {0x20000072, "Cannot open serial port.\r\n"},
    {0x20000073, "Cannot setup serial communication parameters.\r\n"},
    {0x20000074, "Unexpected download counter value (DM address 0x32B).\r\n"},
    {0x20000075, "Send timeout.\r\n"},
    {0x20000076, "Receive timeout.\r\n"},
    {0x20000077, "Serial communication port not opened. You must have a disponible COM port.\r\n"},
    {0x20000078, "File format is not COFF version 1.\r\n"},
    {0x20000079, "An illegal operation on drive memory occured.\r\n"},
    {0x2000007a, "Operation interrupted by user.\r\n"},
    {0x2000007b, "Invalid parameter.\r\n"},
    {0x2000007c, "Incorrect data received.\r\n"},
    {0x2000007d, "Conversion from ORV to TorvaneCAN message has failed.\r\n"},
    {0x2000007e, "Reported checksum of the downloaded section does not match the computed "
                 "checksum.\r\n"},
    {0x2000007f, "In RS485 or CAN mode, the Axis ID of the drive must be different than that of\r\n"
                 "the host PC (set in the Communication Setup).\r\n"
                 "Also check that the \"Axis number\" of the active application matches the Axis "
                 "ID\r\n"
                 "of the drive you are trying to communicate to.\r\n"},
    {0x20000080, "The drive's firmware does not support Axis ID autodetection!\r\n"
                 "If you want to use axis ID autodetection over a serial connection, please "
                 "upgrade your firmware to a version Fxxxy where y is H or newer.\r\n"
                 "Otherwise please specify the Axis ID of the connected drive/motor.\r\n"},
    {0x20000081, "This function is not available for this channel type.\r\n"},
    {0x20000082, "Cannot load interface with IXXAT devices (vcinpl.dll or vci11un6.dll).\r\n"},
    {0x20000083, "IXXAT: Generic error.\r\n"},
    {0x20000084, "IXXAT: Function could not be performed because of hard or software errors.\r\n"},
    {0x20000085, "IXXAT: Function is not supported this way (support-error).\r\n"},
    {0x20000086, "IXXAT: Calling parameters are not correct or out of range\r\n"},
    {0x20000087, "IXXAT: Resource error!\r\n"
                 "The resorce limit exceeded at creation of a queue or something else\r\n"},
    {0x20000088, "IXXAT: Queue overrun!\r\n"
                 "One or more objects couldn't be inserted into the queue and were lost.\r\n"},
    {0x20000089, "IXXAT: A CAN message couldn't be sent for a long time!\r\n"
                 "This is probably because a cable error or wrong baud rate.\r\n"},
    {0x2000008a, "Cannot load interface with SYS TEC USBCAN devices (USBCAN32.DLL).\r\n"},
    {0x2000008b, "SYS TEC USBCAN: Could not create a resource\r\n"},
    {0x2000008c, "SYS TEC USBCAN: The maximum number of open modules is exceeded\r\n"},
    {0x2000008d, "SYS TEC USBCAN: A module is already in use\r\n"},
    {0x2000008e, "SYS TEC USBCAN: The software versions of the module and DLL are "
                 "incompatible\r\n"},
    {0x2000008f, "SYS TEC USBCAN: The module with the corresponding device number is not "
                 "connected\r\n"},
    {0x20000090, "SYS TEC USBCAN: Wrong USB-CAN-Handle handed over to the function\r\n"},
    {0x20000091, "SYS TEC USBCAN: Wrong parameter handed over to the function\r\n"},
    {0x20000092, "SYS TEC USBCAN: Instruction can not be processed at this time\r\n"},
    {0x20000093, "SYS TEC USBCAN: No answer from the module\r\n"},
    {0x20000094, "SYS TEC USBCAN: A request for the driver failed\r\n"},
    {0x20000095, "SYS TEC USBCAN: The message did not fit into the transmission queue\r\n"},
    {0x20000096, "SYS TEC USBCAN: Maximum number of applications is reached\r\n"},
    {0x20000097, "SYS TEC USBCAN: CAN-interface is not yet initialized\r\n"},
    {0x20000098, "SYS TEC USBCAN: The received response does not match with the transmitted "
                 "command\r\n"},
    {0x20000099, "SYS TEC USBCAN: No access to the CAN controler possible\r\n"},
    {0x2000009a, "SYS TEC USBCAN: The module could not interpret the command\r\n"},
    {0x2000009b, "SYS TEC USBCAN: Error while reading the EEPROM occured\r\n"},
    {0x2000009c, "Cannot load interface with PEAK SYS devices (PCANbasic.DLL).\r\n"},
    {0x2000009d, "Cannot load interface with PEAK SYS PCAN-PCI devices (PCAN_2PCI.DLL).\r\n"},
    {0x2000009e, "Cannot load interface with PEAK SYS PCAN-ISA & PCAN-PC/104 devices "
                 "(PCAN_ISA.DLL).\r\n"},
    {0x2000009f, "Cannot load interface with PEAK SYS USB devices (PCAN_USB.DLL).\r\n"},
    {0x200000a0, "Cannot load interface with PEAK SYS Dongle & Dongle Pro devices (PCAN_DNG.DLL or "
                 "PCAN_DNP.DLL).\r\n"},
    {0x200000a1, "PEAK SYS PCAN: Send buffer in the controller is full\r\n"},
    {0x200000a2, "PEAK SYS PCAN: CAN controller was read too late\r\n"},
    {0x200000a3, "PEAK SYS PCAN: Bus error: an error counter reached his limits\r\n"},
    {0x200000a4, "PEAK SYS PCAN: Bus error: CAN_Controller went to 'bus off'\r\n"},
    {0x200000a5, "PEAK SYS PCAN: RcvQueue is empty\r\n"},
    {0x200000a6, "PEAK SYS PCAN: RcvQueue was read too late\r\n"},
    {0x200000a7, "PEAK SYS PCAN: Transmission queue is full\r\n"},
    {0x200000a8, "PEAK SYS PCAN: Register test of the 82C200/SJA100 failed\r\n"},
    {0x200000a9, "PEAK SYS PCAN: Driver not loaded\r\n"},
    {0x200000aa, "PEAK SYS PCAN: Resource (FIFO, Client, timeout) cannot be created\r\n"},
    {0x200000ab, "PEAK SYS PCAN: Invalid parameter type\r\n"},
    {0x200000ac, "PEAK SYS PCAN: Invalid parameter value\r\n"},
    {0x200000ad, "Cannot load interface with ESD CAN devices (NTCAN.DLL).\r\n"},
    {0x200000ae, "ESD CAN: Receive timeout\r\n"},
    {0x200000af, "ESD CAN: Transmit timeout\r\n"},
    {0x200000b0, "ESD CAN: Transmission error\r\n"},
    {0x200000b1, "ESD CAN: Controller bus off\r\n"},
    {0x200000b2, "ESD CAN: Controller busy\r\n"},
    {0x200000b3, "ESD CAN: Controller warning\r\n"},
    {0x200000b4, "ESD CAN: No ID is enabled\r\n"},
    {0x200000b5, "ESD CAN: ID is already enabled\r\n"},
    {0x200000b6, "ESD CAN: ID not enabled\r\n"},
    {0x200000b7, "ESD CAN: Invalid firmware\r\n"},
    {0x200000b8, "ESD CAN: Message lost\r\n"},
    {0x200000b9, "ESD CAN: Invalid hardware\r\n"},
    {0x200000ba, "ESD CAN: Pending write\r\n"},
    {0x200000bb, "ESD CAN: Pending read\r\n"},
    {0x200000bc, "ESD CAN: Invalid driver\r\n"},
    {0x200000bd, "Cannot load interface with Kvaser CAN devices (CANLIB32.DLL).\r\n"},
    {0x200000be, "Kvaser USB: Bus error - CAN controller went to 'bus off'\r\n"},
    {0x200000bf, "Kvaser USB: There has been at least one TX error..\r\n"},
    {0x200000c0, "Kvaser USB: There has been at least one RX error.\r\n"},
    {0x200000c1, "Kvaser USB: There has been at least one hardware buffer overflow.\r\n"},
    {0x200000c2, "Kvaser USB: No CAN interface connected.\r\n"},
    {0x200000c3, "Kvaser USB: No channels available.\r\n"},
    {0x200000c4, "Kvaser USB: Invalid parameter value.\r\n"},
    {0x200000c5, "Kvaser USB: Invalid CANLIB handler.\r\n"},
    {0x200000c6, "Kvaser USB: Error frame received.\r\n"},
    {0x200000c7, "Cannot load WinSock2 library. Please install TCP/IP stack protocols "
                 "(WS2_32.DLL).\r\n"},
    {0x200000c8, "WINSOCK: Function call interrupted.\r\n"},
    {0x200000c9, "WINSOCK: Bad file descriptor.\r\n"},
    {0x200000ca, "WINSOCK: Permission denied.\r\n"},
    {0x200000cb, "WINSOCK: Invalid address.\r\n"},
    {0x200000cc, "WINSOCK: Invalid argument.\r\n"},
    {0x200000cd, "WINSOCK: Too many open files.\r\n"},
    {0x200000ce, "WINSOCK: Resource temporarily unavailable.\r\n"},
    {0x200000cf, "WINSOCK: Operation now in progress.\r\n"},
    {0x200000d0, "WINSOCK: Operation already in progress.\r\n"},
    {0x200000d1, "WINSOCK: Socket operation on non-socket.\r\n"},
    {0x200000d2, "WINSOCK: Destination address required.\r\n"},
    {0x200000d3, "WINSOCK: Message too long.\r\n"},
    {0x200000d4, "WINSOCK: Protocol wrong type for socket.\r\n"},
    {0x200000d5, "WINSOCK: Bad protocol option.\r\n"},
    {0x200000d6, "WINSOCK: Protocol not supported.\r\n"},
    {0x200000d7, "WINSOCK: Socket type not supported.\r\n"},
    {0x200000d8, "WINSOCK: Operation not supported.\r\n"},
    {0x200000d9, "WINSOCK: Protocol family not supported.\r\n"},
    {0x200000da, "WINSOCK: Address family not supported by protocol family.\r\n"},
    {0x200000db, "WINSOCK: Address already in use.\r\n"},
    {0x200000dc, "WINSOCK: Cannot assign requested address.\r\n"},
    {0x200000dd, "WINSOCK: Network is down.\r\n"},
    {0x200000de, "WINSOCK: Network is unreachable.\r\n"},
    {0x200000df, "WINSOCK: Network dropped connection on reset.\r\n"},
    {0x200000e0, "WINSOCK: Software caused connection abort.\r\n"},
    {0x200000e1, "WINSOCK: Connection reset by peer.\r\n"},
    {0x200000e2, "WINSOCK: No buffer space available.\r\n"},
    {0x200000e3, "WINSOCK: Socket is already connected.\r\n"},
    {0x200000e4, "WINSOCK: Socket is not connected.\r\n"},
    {0x200000e5, "WINSOCK: Cannot send after socket shutdown.\r\n"},
    {0x200000e6, "WINSOCK: Too many refs.\r\n"},
    {0x200000e7, "WINSOCK: Connection timed out.\r\n"},
    {0x200000e8, "WINSOCK: Connection refused.\r\n"},
    {0x200000e9, "WINSOCK: Name too long.\r\n"},
    {0x200000ea, "WINSOCK: Host is down.\r\n"},
    {0x200000eb, "WINSOCK: No route to host.\r\n"},
    {0x200000ec, "WINSOCK: Not empty.\r\n"},
    {0x200000ed, "WINSOCK: Too many processes.\r\n"},
    {0x200000ee, "WINSOCK: Network subsystem is unavailable.\r\n"},
    {0x200000ef, "WINSOCK: Version out of range.\r\n"},
    {0x200000f0, "WINSOCK: Not yet initialized.\r\n"},
    {0x200000f1, "WINSOCK: Graceful shutdown in progress.\r\n"},
    {0x200000f2, "WINSOCK: Host not found.\r\n"},
    {0x200000f3, "WINSOCK: Unknown error.\r\n"},
    {0x200000f4, "Cannot load virtual serial driver.\r\n"},
    {0x200000f5, "Virtual serial: Cannot load more than one virtual serial driver per "
                 "process.\r\n"},
    {0x200000f6, "Cannot load virtual serial driver.\r\n"},
    {0x200000f7, "Virtual CAN: Cannot load more than one virtual CAN driver per process.\r\n"},
    {0x200000f8, "Out of memory: Failed to allocate memory!\r\n"
                 "Your system is low on resources. Try to close applications you don't use.\r\n"},
    {0x200000f9, "Unable to open COFF file. Either the file don't exist or you don't have "
                 "permissions to read the file.\r\n"},
    {0x200000fa, "LAWICEL USBCAN: General failure.\r\n"},
    {0x200000fb, "LAWICEL USBCAN: CAN bus error.\r\n"},
    {0x200000fc, "LAWICEL USBCAN: CAN arbitration lost.\r\n"},
    {0x200000fd, "LAWICEL USBCAN: Data overrun.\r\n"},
    {0x200000fe, "LAWICEL USBCAN: Transmit queue is full.\r\n"},
    {0x200000ff, "LAWICEL USBCAN: Receive queue is full.\r\n"},
    {0x20000100, "IXXAT: Unexpected failure\r\n"},
    {0x20000101, "IXXAT: Not implemented\r\n"},
    {0x20000102, "IXXAT: Not enough storage is available to complete this operation\r\n"},
    {0x20000103, "IXXAT: One or more parameters are invalid\r\n"},
    {0x20000104, "IXXAT: The object does not support the requested interface\r\n"},
    {0x20000105, "IXXAT: Invalid pointer\r\n"},
    {0x20000106, "IXXAT: Invalid handle\r\n"},
    {0x20000107, "IXXAT: Operation aborted\r\n"},
    {0x20000108, "IXXAT: Unspecified error\r\n"},
    {0x20000109, "IXXAT: Access is denied\r\n"},
    {0x2000010a, "IXXAT: Timeout period expired\r\n"},
    {0x2000010b, "IXXAT: The requested resource is in use\r\n"},
    {0x2000010c, "IXXAT: The data necessary to complete this operation is not yet available\r\n"},
    {0x2000010d, "IXXAT: No more data available\r\n"},
    {0x2000010e, "IXXAT: No more entries are available from an enumeration operation\r\n"},
    {0x2000010f, "IXXAT: The component is not initialized\r\n"},
    {0x20000110, "IXXAT: The component is already initialized\r\n"},
    {0x20000111, "IXXAT: Receive queue empty\r\n"},
    {0x20000112, "IXXAT: Transmit queue full\r\n"},
    {0x20000113, "IXXAT: The data was too large to fit into the specified buffer\r\n"},
    {0x20000114, "IXXAT: The component is not in a valid state to perform this request\r\n"},
    {0x20000115, "IXXAT: The object already exists\r\n"},
    {0x20000116, "IXXAT: Invalid index\r\n"},
    {0x20000117, "IXXAT: The end-of-file marker has been reached\r\n"},
    {0x20000118, "SocketCAN: There is no network interface of this name (see: ip link).\r\n"},
    {0x20000119, "SocketCAN: The network interface is not a CAN interface.\r\n"},
    {0x2000011a, "SocketCAN: The CAN interface is down. Bring it up first, for example:\r\n"
                 "ip link set can0 up type can bitrate 500000\r\n"},
    {0x2000011b, "SocketCAN: This system has no CAN sockets (load the kernel modules can and "
                 "can_raw).\r\n"},
    {0x2000011c, "SocketCAN: The transmit queue of the CAN interface is full: the frame was not "
                 "sent.\r\n"},
    {0x2000011d, "SocketCAN: Not permitted to change the bit rate of the CAN interface (that needs "
                 "CAP_NET_ADMIN).\r\n"
                 "Have it set instead, for example: ip link set can0 down && ip link set can0 type "
                 "can bitrate 500000 && ip link set can0 up\r\n"},
    {0x2000011e, "SocketCAN: The CAN interface did not take the bit rate.\r\n"},
    {0x2000011f, "SocketCAN: Bit-rate control needs libsocketcan.so.2, which cannot be loaded.\r\n"
                 "Set the bit rate instead, for example: ip link set can0 down && ip link set can0 "
                 "type can bitrate 500000 && ip link set can0 up\r\n"},
    {0x20000120, "SocketCAN: Bus off: the CAN controller left the bus after too many errors.\r\n"},
    {0x20000121, "SocketCAN: Error passive: the CAN controller's error counters passed 127.\r\n"},
    {0x20000122, "SocketCAN: Error warning: the CAN controller's error counters passed 96.\r\n"},
    {0x20000123, "SocketCAN: The CAN controller's receive or transmit buffer overflowed.\r\n"},
    {0x20000124, "SocketCAN: Protocol violation on the bus (bit, form or stuff error).\r\n"},
    {0x20000125, "SocketCAN: No acknowledge: no other node received the frame (check the wiring "
                 "and the bit rate).\r\n"},
    {0x20000126, "SocketCAN: Error frame received (lost arbitration, transceiver or transmit "
                 "time-out).\r\n"},
    {0x20000127, "SocketCAN: The CAN controller restarted after bus off.\r\n"},
    {0x20000128, "The shared memory object of the library belongs to another user, so this process "
                 "does not use it and stays detached.\r\n"},
    {0x20000129, "The shared memory object of the library is open to other users (it has group or "
                 "other permission bits), so this process does not use it and stays detached.\r\n"},
    {0x2000012a, "The shared memory object of the library does not have the size this library "
                 "needs, so this process does not use it and stays detached.\r\n"},
    {0x2000012b, "The shared memory object of the library cannot be used, so this process stays "
                 "detached.\r\n"},
}};

// Every code from the first to the last has its entry at index code - first, so a lookup is
// one subtraction; and every text carries its final CR LF.
constexpr bool TableIsComplete() {
    for (size_t i = 0; i < kLibraryErrors.size(); ++i) {
        if (kLibraryErrors[i].code != kFirstLibraryError + i) return false;
    }
    return true;
}
constexpr bool TextsEndWithLineBreak() {
    return std::all_of(kLibraryErrors.begin(), kLibraryErrors.end(), [](const LibraryError &e) {
        return e.text.size() > 2 && e.text.ends_with("\r\n") &&
               e.text.find('\0') == std::string_view::npos;
    });
}
static_assert(TableIsComplete(), "error table must hold every code once, in order");
static_assert(TextsEndWithLineBreak(), "every error text must end with CR LF");

} // namespace

std::span<const LibraryError> LibraryErrors() { return kLibraryErrors; }

std::string_view LibraryErrorText(uint32_t code) {
    if (code < kFirstLibraryError || code > kLastLibraryError) return {};
    return kLibraryErrors[code - kFirstLibraryError].text;
}

} // namespace zorcomm

"""The C interface of libzorcomm.so as ctypes sees it: the message record, the three callback
types and the argument and result types of the 24 exports."""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char_p, c_float, c_int32, c_uint8, c_uint16, c_uint32

# The soname of the library this binding is written for.
SONAME = "libzorcomm.so.0"


class CDriveMessage(ctypes.Structure):
    """``DriveMessage`` of zorcomm.h."""

    _fields_ = [
        ("length", c_uint16),
        ("address", c_uint16),
        ("opCode", c_uint16),
        ("data", c_uint16 * 4),
    ]


ProgressCallback = ctypes.CFUNCTYPE(c_uint8, c_int32, c_char_p, c_float, c_uint32)
DebugLogHandler = ctypes.CFUNCTYPE(None, c_char_p)
UnsolicitedMessageHandler = ctypes.CFUNCTYPE(None, POINTER(CDriveMessage))

_WordOut = POINTER(c_uint16)

# name: (result type, argument types)
PROTOTYPES: dict[str, tuple[object, list[object]]] = {
    "MSK_COFFDownload": (
        c_uint8,
        [c_char_p, _WordOut, _WordOut, _WordOut, ProgressCallback, c_uint32, c_uint16],
    ),
    "MSK_CheckSum": (c_uint8, [c_uint16, c_uint16, _WordOut]),
    "MSK_CloseComm": (c_uint8, [c_int32]),
    "MSK_GetActiveDrive": (c_uint8, [_WordOut]),
    "MSK_GetBaudRate": (c_uint32, []),
    "MSK_GetBytesCountInQueue": (c_int32, []),
    "MSK_GetDriveVersion": (c_uint8, [c_char_p]),
    "MSK_GetHostDrive": (c_uint8, [_WordOut]),
    "MSK_GetLastError": (c_char_p, []),
    "MSK_OpenComm": (c_int32, [c_char_p, c_uint16, c_uint8, c_uint8]),
    "MSK_ReceiveBigData": (
        c_uint8,
        [_WordOut, c_uint16, c_uint8, c_uint16, ProgressCallback, c_uint32],
    ),
    "MSK_ReceiveData": (c_uint8, [_WordOut, c_uint16, c_uint8, c_uint16]),
    "MSK_ReceiveMessage": (c_uint8, [POINTER(CDriveMessage)]),
    "MSK_RegisterDebugLogHandler": (None, [c_int32, DebugLogHandler]),
    "MSK_RegisterReceiveUnsolicitedMsgHandler": (None, [UnsolicitedMessageHandler]),
    "MSK_ResetDrive": (c_uint8, []),
    "MSK_SelectComm": (c_int32, [c_int32]),
    "MSK_SendBigData": (
        c_uint8,
        [_WordOut, c_uint16, c_uint8, c_uint16, ProgressCallback, c_uint32],
    ),
    "MSK_SendData": (c_uint8, [_WordOut, c_uint16, c_uint8, c_uint16]),
    "MSK_SendMessage": (c_uint8, [POINTER(CDriveMessage)]),
    "MSK_SetActiveDrive": (c_uint8, [c_uint16]),
    "MSK_SetBaudRate": (c_uint8, [c_uint32]),
    "MSK_SetHostDrive": (c_uint8, [c_uint16]),
    "MSK_UpdateSettings": (c_uint8, []),
}


def declare(library: ctypes.CDLL) -> None:
    """Gives every export of ``library`` its argument and result types. Raises AttributeError
    when the library lacks one."""
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments

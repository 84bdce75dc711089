"""Channel types, memory types, progress kinds and log levels, and the drive message."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Iterable

from ._native import CDriveMessage

GROUP_FLAG = 0x1000


class ChannelType(enum.IntEnum):
    """Type codes of ``Library.open`` (the low seven bits of the channel type byte)."""

    RS232 = 0
    RS485 = 1
    IXXAT_CAN = 2
    SYS_TEC_USBCAN = 3
    PEAK_PCAN_PCI = 4
    ESD_CAN = 5
    PEAK_PCAN_ISA = 6
    PEAK_PCAN_USB = 7
    PEAK_PCAN_DONGLE = 8
    LAWICEL_USBCAN = 9
    KVASER_CAN = 10
    VIRTUAL_SERIAL = 15
    XPORT_TCP = 16
    UDP = 17
    SOCKETCAN = 18  # a SocketCAN interface (Linux): the device name is the interface, "can0"


class Protocol(enum.IntEnum):
    """The protocol flag of CAN channels (bit 7 of the channel type byte)."""

    ORV = 0x00
    TORVANECAN = 0x80


class Memory(enum.IntEnum):
    """Drive memories of the block transfers."""

    PROGRAM = 0
    DATA = 1
    SPI = 2


class ProgressKind(enum.IntEnum):
    """What a progress report is: an error text, a step (with its percentage) or a start."""

    ERROR = 1
    STEP = 3
    START = 4


class LogLevel(enum.IntEnum):
    """Debug log levels: each shows the lines of the levels below it too."""

    ERRORS = 1
    INFO = 2
    TRAFFIC = 3


def check_word(name: str, value: int) -> int:
    """``value`` if it is an int from 0 to 0xFFFF; ValueError (TypeError) otherwise. ctypes
    would silently keep the low 16 bits of a larger number."""
    return check_range(name, value, 0, 0xFFFF)


def check_range(name: str, value: int, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be from {low:#x} to {high:#x}, not {value:#x}")
    return value


@dataclass(frozen=True)
class DriveMessage:
    """One drive message: an address word, an operation code and up to four data words.

    The address word is the axis ID shifted left by four; with ``GROUP_FLAG`` (0x1000) set, the
    same bits hold a group number instead. ``for_axis`` and ``for_group`` build it."""

    address: int
    op_code: int
    data: tuple[int, ...] = ()

    def __post_init__(self) -> None:
        check_word("address", self.address)
        check_word("op_code", self.op_code)
        words = tuple(self.data)
        if len(words) > 4:
            raise ValueError(f"a drive message carries at most 4 data words, not {len(words)}")
        for word in words:
            check_word("data word", word)
        object.__setattr__(self, "data", words)

    @classmethod
    def for_axis(cls, axis: int, op_code: int, data: Iterable[int] = ()) -> DriveMessage:
        check_range("axis", axis, 0, 255)
        return cls(axis << 4, op_code, tuple(data))

    @classmethod
    def for_group(cls, group: int, op_code: int, data: Iterable[int] = ()) -> DriveMessage:
        """A message for every drive of ``group`` (0 = all drives)."""
        check_range("group", group, 0, 255)
        return cls(GROUP_FLAG | group << 4, op_code, tuple(data))

    @property
    def is_group(self) -> bool:
        return bool(self.address & GROUP_FLAG)

    @property
    def axis(self) -> int:
        """The axis ID (or, for a group message, the group number) of the address word."""
        return (self.address >> 4) & 0xFF

    def to_c(self) -> CDriveMessage:
        message = CDriveMessage()
        message.length = len(self.data)
        message.address = self.address
        message.opCode = self.op_code
        for index, word in enumerate(self.data):
            message.data[index] = word
        return message

    @classmethod
    def from_c(cls, message: CDriveMessage) -> DriveMessage:
        # The length comes from the library; never read past the four words there are.
        length = min(int(message.length), 4)
        return cls(int(message.address), int(message.opCode), tuple(message.data[:length]))


@dataclass(frozen=True)
class DownloadResult:
    """What ``Channel.download`` reports: the executable's entry point and the lowest and
    highest addresses of the sections it loaded (whatever their memory)."""

    entry_point: int
    start_address: int
    end_address: int
